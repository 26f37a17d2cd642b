#include <windows.h>

#include <cstring>

#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "support/TinyLib.h"

int32_t ReadFileText(const char* path, void* buffer) {
  TSimpleFile file(path, kForReading);
  if (!file.IsOpen()) return 0;
  return file.Read(buffer, kManifestLimit + 1);
}

bool IsUpToDate(const char* path, int32_t size, uint32_t dosTime, const uint8_t* sha256) {
  // The attributes by path: one look-up, where a directory search opens,
  // reads and closes a handle.
  WIN32_FILE_ATTRIBUTE_DATA found;
  if (!GetFileAttributesExA(path, GetFileExInfoStandard, &found)) return false;
  bool sameSize = found.nFileSizeHigh == 0 && static_cast<DWORD>(size) == found.nFileSizeLow;
  if (Settings.VerifyFiles && sha256) {
    // The content decides, whatever the size and time say.
    if (size > 0 && !sameSize) return false;
    uint8_t digest[kDigestSize];
    return Sha256OfFile(path, digest) && memcmp(digest, sha256, kDigestSize) == 0;
  }
  if (size == 0) return true;
  if (size < 0 || !sameSize) return false;
  WORD date = 0, time = 0;
  FileTimeToDosDateTime(&found.ftLastWriteTime, &date, &time);
  return (static_cast<uint32_t>(date) << 16 | time) == dosTime;
}
