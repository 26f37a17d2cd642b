// The texts and bytes of the file-server protocol, without the socket.
#pragma once
#include <cstdint>

constexpr int32_t kChunkSize = 262144;
// Every reply payload must fit the receive buffer.
constexpr int32_t kReceiveCapacity = kChunkSize + 128;

// "name;offset;count" into out (260 characters are enough for a manifest
// name). Returns out.
char* FormatChunkRequest(char* out, const char* name, int32_t offset, int32_t count);
// XOR with the repeating key, starting at its first character. Its own inverse.
void XorScramble(uint8_t* buffer, int32_t count);

struct TReplyHeader {
  bool Compressed;
  int32_t Length;   // the whole reply, header included
  int32_t Payload;  // Length - 4
};
TReplyHeader DecodeReplyHeader(const uint8_t bytes[4]);
// A header is well formed when its length covers itself and its payload
// fits the receive buffer.
bool ReplyHeaderValid(const TReplyHeader& header);
// The content of a payload that arrived whole in `payload`: inflated into
// `inflated` (of capacity kChunkSize) or unscrambled in place. Sets *data to
// where the content lies; returns its length or -1.
int32_t DecodeReplyPayload(const TReplyHeader& header, uint8_t* payload, uint8_t* inflated, uint8_t** data);
