#include "transfer/Server.h"

#include <cstdlib>

#include "support/TextUtil.h"
#include "transfer/TinyZip.h"

int32_t ChunkSize;
uint8_t* ReceiveBuffer;
uint8_t* InflateBuffer;
uint8_t* ReplyData;

namespace {
const char kScrambleKey[] = "q7mw5190tzkdrHHXBzqwevr286nbvc";
}

bool InitTransferBuffers() {
  ChunkSize = kChunkSize;
  ReceiveBuffer = static_cast<uint8_t*>(malloc(kReceiveCapacity));
  InflateBuffer = static_cast<uint8_t*>(malloc(kReceiveCapacity));
  if (ReceiveBuffer && InflateBuffer) return true;
  ReleaseTransferBuffers();
  return false;
}

void ReleaseTransferBuffers() {
  free(InflateBuffer);
  InflateBuffer = nullptr;
  free(ReceiveBuffer);
  ReceiveBuffer = nullptr;
  ReplyData = nullptr;
}

char* FormatChunkRequest(char* out, const char* name, int32_t offset, int32_t count) {
  char* p = TextCopy(out, name);
  p = TextPutChar(p, ';');
  p = TextFromInt(p, static_cast<uint32_t>(offset));
  p = TextPutChar(p, ';');
  TextFromInt(p, static_cast<uint32_t>(count));
  return out;
}

void XorScramble(uint8_t* buffer, int32_t count) {
  const char* key = kScrambleKey;
  for (int32_t i = 0; i < count; ++i) {
    if (*key == 0) key = kScrambleKey;
    buffer[i] ^= static_cast<uint8_t>(*key++);
  }
}

TReplyHeader DecodeReplyHeader(const uint8_t bytes[4]) {
  uint32_t word = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
                  static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
  TReplyHeader header;
  header.Compressed = (word & 0x80000000u) != 0;
  header.Length = static_cast<int32_t>(word & 0x7FFFFFFFu);
  header.Payload = header.Length - 4;
  return header;
}

bool ReplyHeaderValid(const TReplyHeader& header) { return header.Length >= 4 && header.Payload <= kReceiveCapacity; }

int32_t DecodeReplyPayload(const TReplyHeader& header, uint8_t* payload, uint8_t* inflated, uint8_t** data) {
  if (header.Compressed) {
    *data = inflated;
    return InflateBlock(payload, header.Payload, inflated, kChunkSize);
  }
  XorScramble(payload, header.Payload);
  *data = payload;
  return header.Payload;
}
