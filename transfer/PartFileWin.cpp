#include <windows.h>

#include <cstring>

#include "config/Deployment.h"
#include "config/InstallDir.h"
#include "manifest/Manifest.h"
#include "support/TextUtil.h"
#include "transfer/PartFile.h"

namespace {
DWORD partSlot = TLS_OUT_OF_INDEXES;

// The target's name plus the suffix; where that would pass the longest path
// the system takes, a short name made from the target's in the same folder.
// False when not even that fits: the file is then not written at all.
bool PartName(char* part, const char* target) {
  int32_t n = TextLength(target);
  if (n <= kTextCapacity - 1 - kPartSuffixLength) {
    TextJoin(part, target, kPartSuffix, nullptr);
    return true;
  }
  const char* slash = TextFindLast(target, '\\');
  int32_t folder = slash ? static_cast<int32_t>(slash - target) + 1 : 0;
  constexpr int32_t kShort = 1 + 8 + kPartSuffixLength;  // "~" and eight hex digits
  if (folder > kTextCapacity - 1 - kShort) return false;
  uint32_t hash = 2166136261u;  // FNV-1a of the whole path
  for (const char* c = target; *c; ++c) hash = (hash ^ static_cast<uint8_t>(*c)) * 16777619u;
  TextCopyMax(part, target, folder + 1);
  char* p = part + folder;
  *p++ = '~';
  for (int shift = 28; shift >= 0; shift -= 4) *p++ = "0123456789abcdef"[(hash >> shift) & 15];
  TextCopy(p, kPartSuffix);
  return true;
}
}  // namespace

void InitPartFiles() {
  if (partSlot == TLS_OUT_OF_INDEXES) partSlot = TlsAlloc();
}

void DiscardThreadPart() {
  if (partSlot == TLS_OUT_OF_INDEXES) return;
  if (auto* part = static_cast<TPartFile*>(TlsGetValue(partSlot))) part->Discard();
}

TPartFile::TPartFile(const TFileEntry& entry)
    : TPartFile(entry.Name, entry.Size > 0 ? entry.Size : kUnsizedLimit, entry.HasHash ? entry.Sha256 : nullptr) {}

TPartFile::TPartFile(const char* relativeName, int32_t limit, const uint8_t* sha256)
    : Limit(limit), Hashed(sha256 != nullptr) {
  if (Hashed) memcpy(Expected, sha256, kDigestSize);
  if (partSlot != TLS_OUT_OF_INDEXES) TlsSetValue(partSlot, this);
  MakeInstallPath(Target, relativeName);
  // Nothing is written through a junction or a symbolic link: the elevated
  // program would write wherever it points.
  if (!PartName(Part, Target) || !PlainFolders(Target)) {
    Failed = true;
    return;
  }
  File = CreateFileWithFolders(Part);
  if (!File->IsOpen()) Failed = true;
}

TPartFile::~TPartFile() { Discard(); }

bool TPartFile::Write(const void* data, int32_t count) {
  if (Failed || count <= 0) return !Failed;
  if (Limit >= 0 && count > Limit - Written) {
    Failed = true;  // more than the file may hold: nothing of it is written
    return false;
  }
  if (File->Write(data, count) != count) {
    Failed = true;
    return false;
  }
  Written += count;
  if (Hashed) Hash.Update(data, count);
  return true;
}

bool TPartFile::Commit(uint32_t dosTime) {
  if (Failed || !File) return false;
  if (Hashed) {
    uint8_t digest[kDigestSize];
    if (!Hash.Finish(digest) || memcmp(digest, Expected, kDigestSize) != 0) return false;
  }
  if (dosTime != 0) SetFileWriteTime(File->Handle, dosTime);
  // On the disk before it is in place: a power cut must not leave a file of
  // the right size and time full of zeros, which every later check accepts.
  bool flushed = FlushFileBuffers(File->Handle) != 0;
  Forget();
  delete File;
  File = nullptr;
  if (!flushed || !PlainFolders(Target) ||
      !MoveFileExA(Part, Target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileA(Part);
    return false;
  }
  return true;
}

void TPartFile::Forget() {
  if (partSlot != TLS_OUT_OF_INDEXES && TlsGetValue(partSlot) == this) TlsSetValue(partSlot, nullptr);
}

void TPartFile::Discard() {
  Forget();
  if (!File) return;
  bool opened = File->IsOpen();
  delete File;
  File = nullptr;
  if (opened) DeleteFileA(Part);
}
