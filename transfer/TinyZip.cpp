#include "transfer/TinyZip.h"

#include <zlib.h>

#include <cstring>

int32_t InflateBlock(const void* input, int32_t length, void* output, int32_t capacity) {
  z_stream stream;
  memset(&stream, 0, sizeof stream);
  inflateInit(&stream);
  stream.next_in = static_cast<Bytef*>(const_cast<void*>(input));
  stream.avail_in = length > 0 ? static_cast<uInt>(length) : 0;
  stream.next_out = static_cast<Bytef*>(output);
  stream.avail_out = capacity > 0 ? static_cast<uInt>(capacity) : 0;
  int code = inflate(&stream, Z_NO_FLUSH);
  int32_t result = code == Z_STREAM_END ? static_cast<int32_t>(stream.total_out) : -1;
  inflateEnd(&stream);
  return result;
}

namespace {

constexpr int32_t kPiece = 32768;

// A zlib header of a deflate stream without a preset dictionary.
bool ZlibHeader(uint8_t method, uint8_t flags) {
  return (method & 0x0F) == Z_DEFLATED && (method >> 4) <= 7 && ((method << 8) | flags) % 31 == 0 && !(flags & 0x20);
}

// At least `need` bytes in the buffer, `have` of them there already; false
// when the source ends before.
bool Fill(TBaseStream& source, uint8_t* buffer, int32_t& have, int32_t need) {
  while (have < need) {
    int32_t n = source.Read(buffer + have, kPiece - have);
    if (n <= 0) return false;
    have += n;
  }
  return true;
}

}  // namespace

// Raw deflate between a header and a trailer of its own reading, so that a
// stream can be gone on with from the end of any of its blocks.
int32_t InflateStream(TBaseStream& source, TBaseStream& sink, const TInflatePoint* from, const uint8_t* window,
                      int32_t windowLength, TInflatePoint* reached) {
  uint8_t in[kPiece];
  uint8_t out[kPiece];
  int32_t result = -1;
  int32_t handed = 0;
  z_stream stream;
  memset(&stream, 0, sizeof stream);
  inflateInit2(&stream, -MAX_WBITS);
  int32_t have = 0;
  int32_t skip = 0;
  // The stream's offset of in[0], its content before it and that content's
  // checksum.
  int64_t base = 0;
  int64_t produced = 0;
  uint32_t adler = 1;
  int code = Z_OK;
  if (!from) {
    if (!Fill(source, in, have, 2)) {
      if (have == 0) result = 0;  // nothing at all: no stream, and no content
      goto done;
    }
    if (!ZlibHeader(in[0], in[1])) goto done;
    skip = 2;
  } else {
    base = from->In - (from->Bits ? 1 : 0);
    produced = from->Out;
    adler = from->Adler;
    if (from->Bits) {
      // The block's first bits are the end of the byte before it.
      if (!Fill(source, in, have, 1)) goto done;
      inflatePrime(&stream, from->Bits, in[0] >> (8 - from->Bits));
      skip = 1;
    }
    if (windowLength > 0) inflateSetDictionary(&stream, window, static_cast<uInt>(windowLength));
  }
  stream.next_in = in + skip;
  stream.avail_in = static_cast<uInt>(have - skip);
  for (;;) {
    if (stream.avail_in == 0) {
      base += have;
      have = source.Read(in, kPiece);
      if (have <= 0) goto done;  // cut short
      stream.next_in = in;
      stream.avail_in = static_cast<uInt>(have);
    }
    stream.next_out = out;
    stream.avail_out = kPiece;
    code = inflate(&stream, Z_BLOCK);
    if (code == Z_BUF_ERROR) continue;  // more input needed
    if (code < 0 || code == Z_NEED_DICT) goto done;
    int32_t n = kPiece - static_cast<int32_t>(stream.avail_out);
    // A sink that takes less than all ends the stream at once.
    if (sink.Write(out, n) != n && n > 0) goto done;
    handed += n;
    produced += n;
    adler = adler32(adler, out, static_cast<uInt>(n));
    if (code == Z_STREAM_END) break;
    // At the end of a block that is not the last: where a later attempt
    // may go on.
    if (reached && (stream.data_type & 128) && !(stream.data_type & 64) && produced > 0) {
      reached->In = base + (stream.next_in - in);
      reached->Bits = stream.data_type & 7;
      reached->Out = produced;
      reached->Adler = adler;
    }
  }
  {
    // The trailer: the content's checksum, most significant byte first.
    int32_t at = static_cast<int32_t>(stream.next_in - in);
    if (have - at < 4) {
      memmove(in, in + at, static_cast<size_t>(have - at));
      have -= at;
      at = 0;
      if (!Fill(source, in, have, 4)) goto done;
    }
    uint32_t said = (uint32_t{in[at]} << 24) | (uint32_t{in[at + 1]} << 16) | (uint32_t{in[at + 2]} << 8) | in[at + 3];
    if (said != adler) goto done;
    if (have - at - 4 > 0) source.Seek(-(have - at - 4), kSeekCurrent);
  }
  result = handed;
done:
  inflateEnd(&stream);
  return result;
}
