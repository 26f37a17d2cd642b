#include <windows.h>

#include <cstring>

#include "config/Deployment.h"
#include "config/InstallDir.h"
#include "manifest/Manifest.h"
#include "support/Crypto.h"
#include "support/FindFile.h"
#include "support/Log.h"
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

namespace {

// "size,dostime,sha256" (or "-" for no hash) with CR LF: what a transfer is
// of, as its record beside the file in transfer keeps it.
void IdentityText(char* out, const TFileEntry& entry) {
  char* p = TextFromInt(out, static_cast<uint32_t>(entry.Size));
  p = TextFromInt(TextPutChar(p, ','), entry.DosTime);
  p = TextPutChar(p, ',');
  p = entry.HasHash ? TextPutHex(p, entry.Sha256, kDigestSize) : TextPutChar(p, '-');
  TextCopy(p, "\r\n");
}

bool FileHolds(const char* path, const char* text) {
  TSimpleFile file(path, false);
  if (!file.IsOpen()) return false;
  char held[160];
  int32_t n = file.Read(held, sizeof held - 1);
  if (n != TextLength(text)) return false;
  held[n] = 0;
  return TextEquals(held, text);
}

constexpr char kAsidePrefix[] = "~old";

}  // namespace

TPartFile::TPartFile(const TFileEntry& entry)
    : TPartFile(entry.Name, entry.Size > 0 ? entry.Size : kUnsizedLimit, entry.HasHash ? entry.Sha256 : nullptr) {}

TPartFile::TPartFile(const char* relativeName, int32_t limit, const uint8_t* sha256)
    : Limit(limit), Hashed(sha256 != nullptr) {
  if (Hashed) memcpy(Expected, sha256, kDigestSize);
  Open(relativeName);
  if (Failed) return;
  File = CreateFileWithFolders(Part);
  if (!File->IsOpen()) Fail("cannot be written");
}

TPartFile::TPartFile(const TFileEntry& entry, int32_t chunk)
    : Limit(entry.Size > 0 ? entry.Size : kUnsizedLimit), Hashed(entry.HasHash) {
  if (Hashed) memcpy(Expected, entry.Sha256, kDigestSize);
  Open(entry.Name);
  if (Failed) return;
  char identity[160];
  IdentityText(identity, entry);
  // Only what a hash checks at the end is gone on with (a part of another
  // version would otherwise pass), and the record needs room for its suffix.
  Resumable = Hashed && TextLength(Part) <= kTextCapacity - 1 - kPartSuffixLength;
  if (Resumable) {
    TextJoin(Identity, Part, kPartSuffix, nullptr);
    if (Reopen(chunk, identity)) return;
  }
  File = CreateFileWithFolders(Part);
  if (!File->IsOpen()) {
    Fail("cannot be written");
    return;
  }
  if (Resumable) {
    TSimpleFile record(Identity, true);
    Resumable = record.IsOpen() && record.Write(identity, TextLength(identity)) == TextLength(identity);
  }
}

void TPartFile::Open(const char* relativeName) {
  if (partSlot != TLS_OUT_OF_INDEXES) TlsSetValue(partSlot, this);
  MakeInstallPath(Target, relativeName);
  // Nothing is written through a junction or a symbolic link: the elevated
  // program would write wherever it points.
  if (!PartName(Part, Target)) {
    Fail("path too long");
  } else if (!PlainFolders(Target)) {
    Fail("a link in its path");
  }
}

// The file in transfer of an earlier attempt, when its record names this
// transfer and it ends at a chunk's end: opened to go on with, its content
// hashed again so far.
bool TPartFile::Reopen(int32_t chunk, const char* identity) {
  if (!FileHolds(Identity, identity)) return false;
  File = new TSimpleFile(Part, true, true);
  DWORD high = 0;
  DWORD length = File->IsOpen() ? GetFileSize(File->Handle, &high) : INVALID_FILE_SIZE;
  if (length == INVALID_FILE_SIZE || high != 0 || length == 0 || length % static_cast<DWORD>(chunk) != 0 ||
      length > static_cast<DWORD>(Limit)) {
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
  if (n < 0 || Written != static_cast<int32_t>(length)) {
    delete File;
    File = nullptr;
    Written = 0;
    Hash.Reset();
    return false;
  }
  return true;
}

void TPartFile::Fail(const char* why) {
  if (!Failure) Failure = why;
  Failed = true;
  Spoiled = true;
}

TPartFile::~TPartFile() { Discard(); }

bool TPartFile::Write(const void* data, int32_t count) {
  if (Failed || count <= 0) return !Failed;
  if (Limit >= 0 && count > Limit - Written) {
    Fail("more than its size");  // nothing of it is written
    return false;
  }
  if (File->Write(data, count) != count) {
    Fail("write failed");
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
    if (!Hash.Finish(digest) || memcmp(digest, Expected, kDigestSize) != 0) {
      Fail("hash mismatch");
      return false;
    }
  }
  if (dosTime != 0) SetFileWriteTime(File->Handle, dosTime);
  // On the disk before it is in place: a power cut must not leave a file of
  // the right size and time full of zeros, which every later check accepts.
  bool flushed = FlushFileBuffers(File->Handle) != 0;
  Forget();
  delete File;
  File = nullptr;
  bool placed = false;
  if (!flushed) {
    Fail("write failed");
  } else if (!PlainFolders(Target)) {
    Fail("a link in its path");
  } else if (MoveFileExA(Part, Target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    placed = true;
  } else {
    DWORD error = GetLastError();
    placed = (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) && ReplaceInUse();
    if (!placed) Fail(error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ? "in use" : "not replaced");
  }
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
  char aside[kTextCapacity + 32];
  uint8_t random[4];
  if (!RandomBytes(random, sizeof random) ||
      TextLength(Settings.InstallDir) > kTextCapacity - 1 - 4 - 8 - kPartSuffixLength)
    return false;
  char* p = TextCopy(TextCopy(aside, Settings.InstallDir), kAsidePrefix);
  TextCopy(TextPutHex(p, random, sizeof random), kPartSuffix);
  if (!MoveFileExA(Target, aside, MOVEFILE_WRITE_THROUGH)) return false;
  if (!MoveFileExA(Part, Target, MOVEFILE_WRITE_THROUGH)) {
    MoveFileExA(aside, Target, MOVEFILE_WRITE_THROUGH);
    return false;
  }
  // Failing the next run, the next restart removes it.
  MoveFileExA(aside, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  ReplacedInUse = true;
  return true;
}

void LogFetch(const TFileEntry& entry, const char* source, bool done, const char* cause, uint32_t started) {
  if (!LogOpen()) return;
  char bytes[16], ms[16];
  TextFromInt(bytes, static_cast<uint32_t>(entry.Written > 0 ? entry.Written : entry.Size));
  TextFromInt(ms, GetTickCount() - started);
  if (done)
    LogLine("fetched ", entry.Name, " from ", source, ": ", bytes, " bytes in ", TextAppend(ms, " ms", nullptr));
  else
    LogLine("failed ", entry.Name, " from ", source, ": ", cause ? cause : "not whole");
}

void RemoveAsideFiles() {
  if (!PlainFolders(Settings.InstallDir)) return;
  char pattern[kTextCapacity + 16];
  TextJoin(pattern, Settings.InstallDir, kAsidePrefix, "*");
  TextAppend(pattern, kPartSuffix, nullptr);
  TFindFile found(pattern);
  if (!found.Found()) return;
  uint8_t digits[4];
  do {
    // The long name itself: a pattern also matches short names. And only the
    // names made here, eight hexadecimal digits: a listing by ANSI names
    // reads a fullwidth "＼．．" as "\..", which would lead out of the folder.
    const char* name = found.Data.cFileName;
    if ((found.Data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || TextLength(name) != 4 + 8 + kPartSuffixLength ||
        !TextStartsWith(name, kAsidePrefix) || !DecodeHex(name + 4, digits, sizeof digits))
      continue;
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
  if (!opened || (Resumable && !Spoiled && Written > 0)) return;
  DeleteFileA(Part);
  if (Resumable) DeleteFileA(Identity);
}
