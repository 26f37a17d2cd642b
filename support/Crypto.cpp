#include "support/Crypto.h"

namespace {

int32_t Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

int32_t HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int32_t DecodeBase64(const char* text, int32_t length, uint8_t* out, int32_t capacity) {
  if (length <= 0 || length % 4 != 0) return -1;
  int32_t written = 0;
  for (int32_t i = 0; i < length; i += 4) {
    bool last = i + 4 == length;
    int32_t padding = 0;
    uint32_t group = 0;
    for (int32_t j = 0; j < 4; ++j) {
      char c = text[i + j];
      int32_t v = Base64Value(c);
      if (c == '=' && last && j >= 2 && (j == 3 || text[i + 3] == '=')) {
        ++padding;
        v = 0;
      } else if (v < 0 || padding > 0) {
        return -1;
      }
      group = group << 6 | static_cast<uint32_t>(v);
    }
    int32_t bytes = 3 - padding;
    if (bytes > capacity - written) return -1;
    for (int32_t k = 0; k < bytes; ++k) out[written++] = static_cast<uint8_t>(group >> (16 - 8 * k));
  }
  return written;
}

bool DecodeHex(const char* text, uint8_t* out, int32_t count) {
  for (int32_t i = 0; i < count; ++i) {
    int32_t high = HexValue(text[2 * i]);
    if (high < 0) return false;
    int32_t low = HexValue(text[2 * i + 1]);
    if (low < 0) return false;
    out[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return true;
}
