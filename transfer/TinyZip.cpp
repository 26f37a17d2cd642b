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

// A stream asking for a preset dictionary has no dictionary here: an error.
bool Failed(int code) { return code < 0 || code == Z_NEED_DICT; }

// One inflate call into the output buffer, whose bytes go to the sink (also
// none). Returns zlib's code.
int InflateInto(z_stream& stream, int flush, uint8_t* out, TBaseStream& sink, int32_t& total) {
  stream.next_out = out;
  stream.avail_out = kPiece;
  int code = inflate(&stream, flush);
  if (Failed(code)) return code;
  int32_t n = kPiece - static_cast<int32_t>(stream.avail_out);
  // A sink that takes less than all ends the stream at once.
  if (sink.Write(out, n) != n && n > 0) return Z_STREAM_ERROR;
  total += n;
  return code;
}

}  // namespace

int32_t InflateStream(TBaseStream& source, TBaseStream& sink) {
  uint8_t in[kPiece];
  uint8_t out[kPiece];
  int32_t result = -1;
  int32_t total = 0;
  z_stream stream;
  memset(&stream, 0, sizeof stream);
  inflateInit(&stream);
  int code = Z_STREAM_END;
  int32_t available = source.Read(in, kPiece);
  while (available > 0) {
    stream.next_in = in;
    stream.avail_in = static_cast<uInt>(available);
    do {
      code = InflateInto(stream, Z_NO_FLUSH, out, sink, total);
      if (Failed(code)) goto done;
    } while (code != Z_STREAM_END && stream.avail_in > 0);
    if (code != Z_STREAM_END) {
      available = source.Read(in, kPiece);
    } else {
      if (stream.avail_in > 0) source.Seek(-static_cast<int32_t>(stream.avail_in), kSeekCurrent);
      available = 0;
    }
  }
  // A stream cut short makes Z_FINISH report a buffer error, which ends it.
  while (code != Z_STREAM_END) {
    code = InflateInto(stream, Z_FINISH, out, sink, total);
    if (Failed(code)) goto done;
  }
  result = total;
done:
  inflateEnd(&stream);
  return result;
}
