#include <doctest/doctest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "transfer/Server.h"

namespace {

const char kKey[] = "q7mw5190tzkdrHHXBzqwevr286nbvc";

std::vector<uint8_t> Compress(const std::vector<uint8_t>& content) {
  uLongf size = compressBound(content.size());
  std::vector<uint8_t> out(size);
  REQUIRE(compress(out.data(), &size, content.data(), content.size()) == Z_OK);
  out.resize(size);
  return out;
}

}  // namespace

TEST_CASE("chunk requests") {
  struct Case { const char* name; int32_t offset; int32_t count; const char* text; } cases[] = {
    {"files.ver", 0, kChunkSize, "files.ver;0;262144"},
    {"Bin\\Corvane.exe", 524288, kChunkSize, "Bin\\Corvane.exe;524288;262144"},
    {"a", 2147483647, 0, "a;2147483647;0"},
  };
  for (auto& c : cases) {
    CAPTURE(c.text);
    char out[260];
    memset(out, 'x', sizeof out);
    CHECK(FormatChunkRequest(out, c.name, c.offset, c.count) == out);
    CHECK(std::string(out) == c.text);
  }
}

TEST_CASE("the scramble repeats its key and undoes itself") {
  REQUIRE(strlen(kKey) == 30);
  uint8_t bytes[31] = {};
  XorScramble(bytes, 31);
  for (int i = 0; i < 31; ++i) {
    CAPTURE(i);
    CHECK(bytes[i] == static_cast<uint8_t>(kKey[i % 30]));
  }
  XorScramble(bytes, 31);  // a new call starts at the key's first character again
  for (uint8_t b : bytes) CHECK(b == 0);

  std::string text = "The quick brown fox jumps over the lazy dog, 0123456789";
  std::vector<uint8_t> data(text.begin(), text.end());
  XorScramble(data.data(), static_cast<int32_t>(data.size()));
  CHECK(std::string(data.begin(), data.end()) != text);
  XorScramble(data.data(), static_cast<int32_t>(data.size()));
  CHECK(std::string(data.begin(), data.end()) == text);
  XorScramble(data.data(), 0);
  CHECK(std::string(data.begin(), data.end()) == text);
}

TEST_CASE("reply headers") {
  struct Case { uint8_t bytes[4]; bool compressed; int32_t length; bool valid; } cases[] = {
    {{0x10, 0x00, 0x00, 0x80}, true, 16, true},
    {{0x09, 0x00, 0x00, 0x00}, false, 9, true},
    {{0x04, 0x00, 0x00, 0x00}, false, 4, true},
    {{0x04, 0x00, 0x00, 0x80}, true, 4, true},
    {{0x03, 0x00, 0x00, 0x00}, false, 3, false},
    {{0x00, 0x00, 0x00, 0x80}, true, 0, false},
    {{0x84, 0x00, 0x04, 0x00}, false, 262276, true},   // payload 262272 fills the buffer
    {{0x85, 0x00, 0x04, 0x80}, true, 262277, false},   // one byte more does not fit
    {{0xFF, 0xFF, 0xFF, 0xFF}, true, 0x7FFFFFFF, false},
    {{0xFF, 0xFF, 0xFF, 0x7F}, false, 0x7FFFFFFF, false},
  };
  for (auto& c : cases) {
    CAPTURE(c.length);
    TReplyHeader h = DecodeReplyHeader(c.bytes);
    CHECK(h.Compressed == c.compressed);
    CHECK(h.Length == c.length);
    CHECK(h.Payload == c.length - 4);
    CHECK(ReplyHeaderValid(h) == c.valid);
  }
}

TEST_CASE("reply payloads") {
  std::vector<uint8_t> payload(kReceiveCapacity), inflated(kChunkSize);
  uint8_t* data = nullptr;

  std::vector<uint8_t> hello = {'h', 'e', 'l', 'l', 'o'};
  std::vector<uint8_t> z = Compress(hello);
  memcpy(payload.data(), z.data(), z.size());
  TReplyHeader h{true, static_cast<int32_t>(z.size()) + 4, static_cast<int32_t>(z.size())};
  CHECK(DecodeReplyPayload(h, payload.data(), inflated.data(), &data) == 5);
  CHECK(data == inflated.data());
  CHECK(memcmp(data, "hello", 5) == 0);

  struct Case { size_t size; int32_t result; } sizes[] = {{kChunkSize, kChunkSize}, {kChunkSize + 1, -1}};
  for (auto& c : sizes) {
    CAPTURE(c.size);
    z = Compress(std::vector<uint8_t>(c.size, 'a'));
    memcpy(payload.data(), z.data(), z.size());
    h = TReplyHeader{true, static_cast<int32_t>(z.size()) + 4, static_cast<int32_t>(z.size())};
    CHECK(DecodeReplyPayload(h, payload.data(), inflated.data(), &data) == c.result);
  }

  payload[0] ^= 0x01;  // a broken zlib header
  CHECK(DecodeReplyPayload(h, payload.data(), inflated.data(), &data) == -1);

  memcpy(payload.data(), "hello", 5);
  XorScramble(payload.data(), 5);
  h = TReplyHeader{false, 9, 5};
  data = nullptr;
  CHECK(DecodeReplyPayload(h, payload.data(), inflated.data(), &data) == 5);
  CHECK(data == payload.data());
  CHECK(memcmp(data, "hello", 5) == 0);
}
