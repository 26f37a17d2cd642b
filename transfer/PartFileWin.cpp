#include <windows.h>

#include <cstdlib>
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
#include "transfer/Mirror.h"
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

// The record's second line once its file is whole, flushed and checked:
// only such a file is taken up by a later run without being fetched.
constexpr char kWholeLine[] = "whole\r\n";
// A record's text into held (of kRecordCapacity); false for none.
constexpr int32_t kRecordCapacity = 160 + kResumeCapacity;
bool ReadRecord(const char* path, char* held) {
  TSimpleFile file(path, kForReading);
  int32_t n = file.IsOpen() ? file.Read(held, kRecordCapacity - 1) : -1;
  if (n < 0) return false;
  held[n] = 0;
  return true;
}

bool FileHolds(const char* path, const char* text) {
  char held[kRecordCapacity];
  return ReadRecord(path, held) && TextEquals(held, text);
}

}  // namespace

// The record's name, where it has room for its suffix, and its text.
void TPartFile::Identify(const TFileEntry& entry) {
  IdentityText(IdentityLine, entry);
  Recorded = TextLength(Part) <= kTextCapacity - 1 - kPartSuffixLength;
  if (Recorded) TextJoin(Identity, Part, kPartSuffix, nullptr);
}

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
  // Gone on with where the record names this very line (its size, time and
  // hash or '-' for none: a list without hashes resumes too), and where the
  // record has room for its suffix. The whole is checked as a fresh file is.
  Identify(entry);
  if (Recorded && FileHolds(Identity, IdentityLine) && Reopen(chunk, 0)) {
    Resumable = true;
    return;
  }
  if (!CreatePart()) return;
  Resumable = Recorded && WriteRecord("");
}

bool TPartFile::WriteRecord(const char* more) {
  char text[kRecordCapacity];
  TextJoin(text, IdentityLine, more, nullptr);
  TSimpleFile record(Identity, kMadeAnew);
  int32_t n = TextLength(text);
  return record.IsOpen() && record.Write(text, n) == n;
}

TPartFile::TPartFile(const TFileEntry& entry, TInflatePoint* point, char* validator)
    : Limit(entry.Size > 0 ? entry.Size : kUnsizedLimit), Hashed(entry.HasHash) {
  if (Hashed) memcpy(Expected, entry.Sha256, kDigestSize);
  Open(entry.Name);
  if (Failure) return;
  Identify(entry);
  char held[kRecordCapacity];
  int32_t n = TextLength(IdentityLine);
  if (Recorded && ReadRecord(Identity, held) && TextEqualsN(held, IdentityLine, n) &&
      ParseResume(held + n, point, validator) && point->Out <= Limit &&
      Reopen(static_cast<int32_t>(point->Out), static_cast<int32_t>(point->Out))) {
    Resumable = true;
    return;
  }
  CreatePart();
}

bool TPartFile::KeepAt(const TInflatePoint& point, const char* validator) {
  LARGE_INTEGER at;
  at.QuadPart = point.Out;
  char resume[kResumeCapacity];
  ResumeText(resume, point, validator);
  if (Failure || !File || !Recorded || point.Out > Written ||
      !SetFilePointerEx(File->Handle, at, nullptr, FILE_BEGIN) || !SetEndOfFile(File->Handle) || !WriteRecord(resume))
    return false;
  Written = static_cast<int32_t>(point.Out);
  Resumable = true;
  return true;
}

void TPartFile::Restart() {
  LARGE_INTEGER start = {};
  if (!File || !SetFilePointerEx(File->Handle, start, nullptr, FILE_BEGIN) || !SetEndOfFile(File->Handle))
    Fail(kFailWrite);
  Written = 0;
  Hash.Reset();
}

bool TPartFile::Window(uint8_t** window, int32_t* length) {
  *length = Written < 32768 ? Written : 32768;
  *window = static_cast<uint8_t*>(malloc(32768));
  LARGE_INTEGER at, end = {};
  at.QuadPart = Written - *length;
  bool read = *window && SetFilePointerEx(File->Handle, at, nullptr, FILE_BEGIN) &&
              File->Read(*window, *length) == *length && SetFilePointerEx(File->Handle, end, nullptr, FILE_END);
  if (!read) {
    free(*window);
    *window = nullptr;
  }
  return read;
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
bool TPartFile::Reopen(int32_t chunk, int32_t exact) {
  TPinnedFolders pinned(Settings.InstallDir, Part);
  if (!pinned.Held()) return false;
  File = new TSimpleFile(Part, kGoneOn);
  LARGE_INTEGER length;
  if (File->IsOpen() && GetFileSizeEx(File->Handle, &length) && MayResumeAt(length.QuadPart, chunk, Limit) &&
      (exact == 0 || length.QuadPart == exact) && ReadWhole(File, Hashed ? &Hash : nullptr) == length.QuadPart) {
    Written = static_cast<int32_t>(length.QuadPart);
    return true;
  }
  delete File;
  File = nullptr;
  Hash.Reset();
  return false;
}

int64_t ReadWhole(TSimpleFile* file, TSha256* hash) {
  uint8_t piece[32768];
  int64_t total = 0;
  int32_t n;
  while ((n = file->Read(piece, sizeof piece)) > 0) {
    if (hash) hash->Update(piece, n);
    total += n;
  }
  return n < 0 ? -1 : total;
}

namespace {

// The entry's target, its file in transfer and the record beside it; false
// when the record would not fit.
bool PartNames(const TFileEntry& entry, char* target, char* part, char* record) {
  MakeInstallPath(target, entry.Name);
  if (!PartName(part, target) || TextLength(part) > kTextCapacity - 1 - kPartSuffixLength) return false;
  TextJoin(record, part, kPartSuffix, nullptr);
  return true;
}

}  // namespace

TSimpleFile* OpenWholePart(const TFileEntry& entry) {
  char target[kTextCapacity + kNameCapacity], part[kTextCapacity], record[kTextCapacity + 8];
  if (entry.Size <= 0 || !PartNames(entry, target, part, record)) return nullptr;
  TPinnedFolders pinned(Settings.InstallDir, part);
  if (!pinned.Held()) return nullptr;
  TSimpleFile* file = new TSimpleFile(part, kGoneOn);
  TSha256 hash;
  uint8_t digest[kDigestSize];
  LARGE_INTEGER length;
  if (file->IsOpen() && GetFileSizeEx(file->Handle, &length) && length.QuadPart == entry.Size &&
      ReadWhole(file, &hash) == entry.Size &&
      (!entry.HasHash || (hash.Finish(digest) && memcmp(digest, entry.Sha256, kDigestSize) == 0)))
    return file;
  delete file;
  return nullptr;
}

namespace {
TSimpleFile** staged;
int32_t stagedCount;
}  // namespace

void PrepareStaging(int32_t count) {
  ReleaseStaging();
  if (count <= 0) return;
  // Without the memory nothing is staged: each file fails as a write would.
  staged = static_cast<TSimpleFile**>(calloc(count, sizeof(TSimpleFile*)));
  stagedCount = staged ? count : 0;
}

TSimpleFile* TakeStagedPart(int32_t index) {
  if (index < 0 || index >= stagedCount) return nullptr;
  TSimpleFile* file = staged[index];
  staged[index] = nullptr;
  return file;
}

void ReleaseStaging() {
  for (int32_t i = 0; i < stagedCount; ++i) delete staged[i];
  free(staged);
  staged = nullptr;
  stagedCount = 0;
}

int64_t TakeKeptPart(int32_t index) {
  TFileEntry& entry = FileTable[index];
  char target[kTextCapacity + kNameCapacity], part[kTextCapacity], record[kTextCapacity + 8], identity[160];
  char held[kRecordCapacity];
  IdentityText(identity, entry);
  // One read of the record tells both: a file whole, or one to go on with.
  if (!PartNames(entry, target, part, record) || !ReadRecord(record, held) || !TextStartsWith(held, identity)) return 0;
  if (TextEquals(held + TextLength(identity), kWholeLine) && index < stagedCount && !staged[index] &&
      (staged[index] = OpenWholePart(entry)) != nullptr) {
    entry.Written = entry.Size;
    entry.State = kDone;
  }
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(part, GetFileExInfoStandard, &data)) return 0;
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
    DWORD error = GetLastError();
    Fail(error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL ? kFailDiskFull : kFailWrite);
    return false;
  }
  Written += count;
  if (Hashed) Hash.Update(data, count);
  return true;
}

bool TPartFile::Stage(int32_t index, uint32_t dosTime) {
  if (Failure || !File) return false;
  if (Hashed) {
    uint8_t digest[kDigestSize];
    if (!Hash.Finish(digest) || memcmp(digest, Expected, kDigestSize) != 0) {
      Fail(kFailHashMismatch);
      return false;
    }
  }
  if (dosTime != 0) SetFileWriteTime(File->Handle, dosTime);
  // On the disk before the commit can take it: a power cut must not leave a
  // file of the right size and time full of zeros, which every later check
  // accepts. The record names it for the next run, should this one end
  // before the commit.
  if (!FlushFileBuffers(File->Handle) || (Recorded && !WriteRecord(kWholeLine))) {
    Fail(kFailWrite);
    return false;
  }
  if (index < 0 || index >= stagedCount) {
    Fail(kFailWrite);
    return false;
  }
  // Held open, its writing and deleting denied to everyone, until the commit
  // renames it through this very handle: what is put in place is what was
  // checked.
  Forget();
  staged[index] = File;
  File = nullptr;
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
