#include "transfer/PartFile.h"

#include <windows.h>

#include "support/TextUtil.h"

TPartFile::TPartFile(const char* relativeName) {
  MakeInstallPath(Target, relativeName);
  TextJoin(Part, Target, kPartSuffix, nullptr);
  File = CreateFileWithFolders(Part);
  if (!File->IsOpen()) Failed = true;
}

TPartFile::~TPartFile() { Discard(); }

bool TPartFile::Write(const void* data, int32_t count) {
  if (Failed) return false;
  if (count > 0 && File->Write(data, count) != count) Failed = true;
  return !Failed;
}

bool TPartFile::Commit(uint32_t dosTime) {
  if (Failed || !File) return false;
  if (dosTime != 0) SetFileWriteTime(File->Handle, dosTime);
  delete File;
  File = nullptr;
  if (!MoveFileExA(Part, Target, MOVEFILE_REPLACE_EXISTING)) {
    DeleteFileA(Part);
    return false;
  }
  return true;
}

void TPartFile::Discard() {
  if (!File) return;
  bool opened = File->IsOpen();
  delete File;
  File = nullptr;
  if (opened) DeleteFileA(Part);
}
