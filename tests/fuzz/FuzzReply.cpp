// Reply decoding: a header and a payload as they come off the wire, through
// the one-shot inflate, and the same bytes through the stream inflate.
#include <cstdint>
#include <cstring>
#include <vector>

#include "support/TinyLib.h"
#include "transfer/Server.h"
#include "transfer/TinyZip.h"

namespace {

class TMemorySource : public TBaseStream {
 public:
  TMemorySource(const uint8_t* data, size_t size) : Data(data), Size(size) {}
  int32_t Read(void* buffer, int32_t count) override {
    size_t n = Size - Position < static_cast<size_t>(count) ? Size - Position : static_cast<size_t>(count);
    if (n > 7) n = n / 2 + 1;  // short reads, as a network gives them
    memcpy(buffer, Data + Position, n);
    Position += n;
    return static_cast<int32_t>(n);
  }
  int32_t Seek(int32_t distance, int32_t) override {
    if (distance > 0 || static_cast<size_t>(-distance) > Position) __builtin_trap();
    Position -= static_cast<size_t>(-distance);
    return static_cast<int32_t>(Position);
  }
  const uint8_t* Data;
  size_t Size;
  size_t Position = 0;
};

class TCountingSink : public TBaseStream {
 public:
  int32_t Write(const void*, int32_t count) override {
    if (count < 0 || count > 32768) __builtin_trap();
    Total += count;
    return count;
  }
  int64_t Total = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  static std::vector<uint8_t> received(kReceiveCapacity);
  static std::vector<uint8_t> inflated(kReceiveCapacity);
  TReplyHeader header = DecodeReplyHeader(data);
  if (ReplyHeaderValid(header) && header.Payload > 0) {
    size_t payload = size - 4 < static_cast<size_t>(header.Payload) ? size - 4 : static_cast<size_t>(header.Payload);
    memcpy(received.data(), data + 4, payload);
    TReplyHeader arrived = header;
    arrived.Payload = static_cast<int32_t>(payload);
    uint8_t* content = nullptr;
    int32_t n = DecodeReplyPayload(arrived, received.data(), inflated.data(), &content);
    if (n > kReceiveCapacity || (n >= 0 && !content)) __builtin_trap();
  }
  TMemorySource source(data + 4, size - 4);
  TCountingSink sink;
  int32_t total = InflateStream(source, sink);
  if (total >= 0 && total != sink.Total) __builtin_trap();
  // Gone on with from a point a record names, over what a site sends back.
  if (size > 8) {
    TInflatePoint point;
    point.In = 3 + data[4];
    point.Bits = data[5] & 7;
    point.Out = 1 + data[6];
    point.Adler = data[7];
    TMemorySource rest(data + 8, size - 8);
    TCountingSink more;
    total = InflateStream(rest, more, &point, data + 8, static_cast<int32_t>(size - 8 < 32768 ? size - 8 : 32768));
    if (total >= 0 && total != more.Total) __builtin_trap();
  }
  return 0;
}
