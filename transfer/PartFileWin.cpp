#include <windows.h>

#include <cstring>

#include "config/Deployment.h"
#include "config/InstallDir.h"
#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "support/Crypto.h"
#include "support/FindFile.h"
#include "support/Log.h"
#include "support/TextUtil.h"
#include "support/Threads.h"
#include "transfer/PartFile.h"

namespace {
DWORD partSlot = TLS_OUT_OF_INDEXES;
}  // namespace

void InitPartFiles() {
  if (partSlot == TLS_OUT_OF_INDEXES) partSlot = TlsAlloc();
}

void DiscardThreadPart() {
  if (partSlot == TLS_OUT_OF_INDEXES) return;
  if (auto* part = static_cast<TPartFile*>(TlsGetValue(partSlot))) part->Discard();
}

namespace {

bool FileHolds(const char* path, const char* text) {
  TSimpleFile file(path, kForReading);
  if (!file.IsOpen()) return false;
  char held[160];
  int32_t n = file.Read(held, sizeof held - 1);
  if (n != TextLength(text)) return false;
  held[n] = 0;
  return TextEquals(held, text);
}

}  // namespace

TPartFile::TPartFile(const TFileEntry& entry)
    : TPartFile(entry.Name, entry.Size > 0 ? entry.Size : kUnsizedLimit, entry.HasHash ? entry.Sha256 : nullptr) {}

TPartFile::TPartFile(const char* relativeName, int32_t limit, const uint8_t* sha256)
    : Limit(limit), Hashed(sha256 != nullptr) {
  if (Hashed) memcpy(Expected, sha256, kDigestSize);
  Open(relativeName);
  if (Failure) return;
  CreatePart();
}

TPartFile::TPartFile(const TFileEntry& entry, int32_t chunk)
    : Limit(entry.Size > 0 ? entry.Size : kUnsizedLimit), Hashed(entry.HasHash) {
  if (Hashed) memcpy(Expected, entry.Sha256, kDigestSize);
  Open(entry.Name);
  if (Failure) return;
  char identity[160];
  IdentityText(identity, entry);
  // Gone on with where the record names this very line (its size, time and
  // hash or '-' for none: a list without hashes resumes too), and where the
  // record has room for its suffix. The whole is checked as a fresh file is.
  Resumable = TextLength(Part) <= kTextCapacity - 1 - kPartSuffixLength;
  if (Resumable) {
    TextJoin(Identity, Part, kPartSuffix, nullptr);
    if (Reopen(chunk, identity)) return;
  }
  if (!CreatePart()) return;
  if (Resumable) {
    TSimpleFile record(Identity, kMadeAnew);
    Resumable = record.IsOpen() && record.Write(identity, TextLength(identity)) == TextLength(identity);
  }
}

// Made in its folders (made where missing), with them pinned from the
// installation folder down: nothing puts a link in their place between their
// check and the file's creation.
bool TPartFile::CreatePart() {
  ForceFolders(Part, 0);
  TPinnedFolders pinned(Settings.InstallDir, Part);
  if (!pinned.Held()) {
    Fail(kFailLinkInPath);
    return false;
  }
  File = new TSimpleFile(Part, kMadeAnew);
  if (File->IsOpen()) return true;
  Fail(kFailCannotWrite);
  return false;
}

void TPartFile::Open(const char* relativeName) {
  if (partSlot != TLS_OUT_OF_INDEXES) TlsSetValue(partSlot, this);
  MakeInstallPath(Target, relativeName);
  // Nothing is written through a junction or a symbolic link: the elevated
  // program would write wherever it points.
  if (!PartName(Part, Target)) {
    Fail(kFailPathTooLong);
  } else if (!PlainFolders(Target)) {
    Fail(kFailLinkInPath);
  }
}

// The file in transfer of an earlier attempt, when its record names this
// transfer and it ends at a chunk's end: opened to go on with, its content
// hashed again so far.
bool TPartFile::Reopen(int32_t chunk, const char* identity) {
  if (!FileHolds(Identity, identity)) return false;
  TPinnedFolders pinned(Settings.InstallDir, Part);
  if (!pinned.Held()) return false;
  File = new TSimpleFile(Part, kGoneOn);
  LARGE_INTEGER length;
  if (!File->IsOpen() || !GetFileSizeEx(File->Handle, &length) || !MayResumeAt(length.QuadPart, chunk, Limit)) {
    delete File;
    File = nullptr;
    return false;
  }
  uint8_t piece[32768];
  int32_t n;
  while ((n = File->Read(piece, sizeof piece)) > 0) {
    if (Hashed) Hash.Update(piece, n);
    Written += n;
  }
  if (n < 0 || Written != length.QuadPart) {
    delete File;
    File = nullptr;
    Written = 0;
    Hash.Reset();
    return false;
  }
  return true;
}

int64_t KeptPartBytes(const TFileEntry& entry) {
  char target[kTextCapacity + kNameCapacity], part[kTextCapacity], record[kTextCapacity + 8], identity[160];
  MakeInstallPath(target, entry.Name);
  if (!PartName(part, target) || TextLength(part) > kTextCapacity - 1 - kPartSuffixLength) return 0;
  TextJoin(record, part, kPartSuffix, nullptr);
  IdentityText(identity, entry);
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!FileHolds(record, identity) || !GetFileAttributesExA(part, GetFileExInfoStandard, &data)) return 0;
  return static_cast<int64_t>((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
}

void TPartFile::Fail(TFailure why) { Failure = FirstFailure(Failure, why); }

TPartFile::~TPartFile() { Discard(); }

bool TPartFile::Write(const void* data, int32_t count) {
  if (Failure || count <= 0) return !Failure;
  if (Limit >= 0 && count > Limit - Written) {
    Fail(kFailTooLong);  // nothing of it is written
    return false;
  }
  if (File->Write(data, count) != count) {
    Fail(kFailWrite);
    return false;
  }
  Written += count;
  if (Hashed) Hash.Update(data, count);
  return true;
}

bool TPartFile::Commit(uint32_t dosTime) {
  if (Failure || !File) return false;
  if (Hashed) {
    uint8_t digest[kDigestSize];
    if (!Hash.Finish(digest) || memcmp(digest, Expected, kDigestSize) != 0) {
      Fail(kFailHashMismatch);
      return false;
    }
  }
  if (dosTime != 0) SetFileWriteTime(File->Handle, dosTime);
  // On the disk before it is in place: a power cut must not leave a file of
  // the right size and time full of zeros, which every later check accepts.
  bool flushed = FlushFileBuffers(File->Handle) != 0;
  Forget();
  TCommitHold commit;
  bool placed = false;
  // Renamed through the handle that wrote and hashed it, which nobody else
  // could open meanwhile, into folders pinned for the while: what is put in
  // place is what was checked, where it was checked.
  TPinnedFolders pinned(Settings.InstallDir, Target);
  if (!flushed) {
    Fail(kFailWrite);
  } else if (!pinned.Held() || !PlainFolders(Target)) {
    Fail(kFailLinkInPath);
  } else if (RenameOpenFile(File->Handle, Target)) {
    placed = true;
  } else {
    DWORD error = GetLastError();
    bool inUse = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
    placed = inUse && ReplaceInUse();
    if (!placed) Fail(inUse ? kFailInUse : kFailNotReplaced);
  }
  delete File;
  File = nullptr;
  if (!placed) {
    DeleteFileA(Part);
    if (Resumable) DeleteFileA(Identity);
    return false;
  }
  if (Resumable) DeleteFileA(Identity);
  return true;
}

// A running program's file cannot be replaced but can be renamed: the old one
// moves aside (to "~old" and eight random hexadecimal digits, ".~tv", in the
// installation folder) and the new one takes its place. Either the old or the
// new file is at the target at every moment but between the two moves, and a
// second move that fails puts the old one back.
bool TPartFile::ReplaceInUse() {
  // Only a file is renamed aside: a folder in the target's place is refused too.
  DWORD attributes = GetFileAttributesA(Target);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  char aside[kTextCapacity];
  uint8_t random[kAsideRandomBytes];
  if (!RandomBytes(random, sizeof random) || !AsideName(aside, Settings.InstallDir, random)) return false;
  if (!MoveFileExA(Target, aside, MOVEFILE_WRITE_THROUGH)) return false;
  if (!RenameOpenFile(File->Handle, Target)) {
    MoveFileExA(aside, Target, MOVEFILE_WRITE_THROUGH);
    return false;
  }
  // Failing the next run, the next restart removes it.
  MoveFileExA(aside, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  ReplacedInUse = true;
  return true;
}

void LogFetch(const TFileEntry& entry, const char* source, TFailure failure, const char* detail, uint32_t started) {
  if (!LogOpen()) return;
  char bytes[16], ms[16];
  TextFromInt(bytes, static_cast<uint32_t>(entry.Written > 0 ? entry.Written : entry.Size));
  TextFromInt(ms, GetTickCount() - started);
  if (failure == kFailNone)
    LogLine("fetched ", entry.Name, " from ", source, ": ", bytes, " bytes in ", TextAppend(ms, " ms", nullptr));
  else
    LogLine("failed ", entry.Name, " from ", source, ": ", detail ? detail : FailureText(failure));
}

void RemoveAsideFiles() {
  if (!PlainFolders(Settings.InstallDir)) return;
  char pattern[kTextCapacity + 16];
  TextJoin(pattern, Settings.InstallDir, kAsidePrefix, "*");
  TextAppend(pattern, kPartSuffix, nullptr);
  TFindFile found(pattern);
  if (!found.Found()) return;
  do {
    // The long name itself: a pattern also matches short names.
    const char* name = found.Data.cFileName;
    if ((found.Data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsAsideName(name)) continue;
    char path[2 * kTextCapacity];
    TextJoin(path, Settings.InstallDir, name, nullptr);
    DeleteFileA(path);
  } while (found.Next());
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
  // A resumable file that is good so far, and holds something, waits for the
  // next attempt.
  if (!opened || (Resumable && ContentStillGood(Failure) && Written > 0)) return;
  DeleteFileA(Part);
  if (Resumable) DeleteFileA(Identity);
}
