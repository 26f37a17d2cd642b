#include "support/TinyLib.h"

#include <cstdlib>

int32_t TBaseStream::Read(void*, int32_t) { return 0; }
int32_t TBaseStream::Write(const void*, int32_t) { return 0; }
int32_t TBaseStream::Seek(int32_t, int32_t) { return 0; }
TBaseStream::~TBaseStream() = default;

TSimpleStrings::TSimpleStrings(char* buffer, int32_t length) {
  int32_t capacity = 1024;
  Items = static_cast<char**>(malloc(sizeof(char*) * capacity));
  if (!Items) return;
  int32_t p = 0;
  while (p < length) {
    if (Count == capacity) {
      char** grown = static_cast<char**>(realloc(Items, sizeof(char*) * capacity * 2));
      if (!grown) break;  // out of memory: keep the lines found so far
      Items = grown;
      capacity *= 2;
    }
    Items[Count++] = buffer + p;
    while (p < length && buffer[p] != 13) ++p;
    buffer[p] = 0;
    ++p;
    if (p < length && buffer[p] == 10) ++p;
  }
  if (Count == 0) {
    free(Items);
    Items = nullptr;
  } else if (Count < capacity) {
    char** trimmed = static_cast<char**>(realloc(Items, sizeof(char*) * Count));
    if (trimmed) Items = trimmed;
  }
}

TSimpleStrings::~TSimpleStrings() { free(Items); }
