// A directory search that closes its handle when it goes (Win32 side only).
#pragma once
#include <windows.h>

class TFindFile {
 public:
  // Found tells whether the pattern matched; Data then holds the first entry.
  explicit TFindFile(const char* pattern) : Handle(FindFirstFileA(pattern, &Data)) {}
  ~TFindFile() {
    if (Found()) FindClose(Handle);
  }
  TFindFile(const TFindFile&) = delete;
  TFindFile& operator=(const TFindFile&) = delete;

  bool Found() const { return Handle != INVALID_HANDLE_VALUE; }
  // The next entry into Data; false when there is none.
  bool Next() { return FindNextFileA(Handle, &Data) != 0; }

  WIN32_FIND_DATAA Data;

 private:
  HANDLE Handle;
};
