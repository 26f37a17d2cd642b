#include "manifest/ManifestLoad.h"

#include <windows.h>

#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "support/TextUtil.h"
#include "support/TinyLib.h"
#include "transfer/Mirror.h"
#include "transfer/Server.h"

int32_t ReadFileText(const char* path, void* buffer) {
  TSimpleFile file(path, false);
  if (!file.IsOpen()) return 0;
  return file.Read(buffer, kManifestLimit);
}

int32_t ReadUrlManifest() {
  ReplyData = InflateBuffer;
  TIStream stream(Settings.ManifestUrl);
  if (!stream.UrlHandle) return 0;
  return stream.Read(InflateBuffer, kManifestLimit);
}

int32_t ReadLocalManifest() {
  ReplyData = InflateBuffer;
  char path[kTextCapacity];
  // "ver" may replace a shorter extension: keep room for it.
  if (TextLength(Settings.Args[0]) > kTextCapacity - 4) return 0;
  TextCopy(path, Settings.Args[0]);
  TextReplaceExtension(path, "ver");
  return ReadFileText(path, InflateBuffer);
}

bool IsUpToDate(const char* path, int32_t size, uint32_t dosTime) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  if (size == 0) return true;
  if (size < 0 || static_cast<DWORD>(size) != found.nFileSizeLow) return false;
  WORD date = 0, time = 0;
  FileTimeToDosDateTime(&found.ftLastWriteTime, &date, &time);
  return (static_cast<uint32_t>(date) << 16 | time) == dosTime;
}

void LoadManifest() {
  int32_t n = Settings.ManifestUrl[0] ? ReadUrlManifest() : ReadLocalManifest();
  if (n == 0) n = RequestChunk("files.ver", 0);
  if (n > ChunkSize) n = ChunkSize;  // the terminator must stay inside the buffer
  ParseManifest(reinterpret_cast<char*>(ReplyData), n < 0 ? 0 : n, IsUpToDate);
}
