// A file of the installation written beside its target and staged for the
// commit only once it arrived whole, no longer than it may be and with the
// content its list names, so a broken or forged transfer never damages the
// installed file. Why a transfer failed, the names beside the target and the rule for
// going on with a file are platform-free (PartFile.cpp); the file itself is
// Win32 (PartFileWin.cpp).
#pragma once
#include <cstdint>

#include "config/InstallDir.h"
#include "config/Settings.h"
#include "support/Crypto.h"
#include "support/TinyLib.h"
#include "transfer/TinyZip.h"

struct TFileEntry;

// Why a file's transfer failed; every fetch ends with one, kFailNone when the
// file arrived whole and was staged.
enum TFailure {
  kFailNone,
  // The file in transfer and its target.
  kFailPathTooLong,
  kFailLinkInPath,
  kFailCannotWrite,
  kFailWrite,
  kFailDiskFull,
  kFailTooLong,  // more than its size arrived
  kFailHashMismatch,
  kFailWrongSize,  // whole, but of another size than listed
  // The way to it.
  kFailUrlTooLong,
  kFailNoAnswer,
  kFailHttpStatus,
  kFailStalled,  // a mirror that brings too little, or too much
  kFailNotZlib,
  kFailConnection,  // the server's connection broke
  kFailNotInflated,
};
// The cause in words, for the log.
const char* FailureText(TFailure failure);
// True when the cause says nothing against what arrived so far: a file in
// transfer that failed so may be gone on with. The file in transfer keeps
// its part by the cause it recorded itself.
bool ContentStillGood(TFailure failure);
// The first of two causes that is one.
TFailure FirstFailure(TFailure first, TFailure otherwise);

// The target's name plus the suffix; where that would pass the longest path
// the system takes, a short name made from the target's in the same folder
// ("~" and eight hexadecimal digits). False when not even that fits: the
// file is then not written at all.
bool PartName(char* part, const char* target);
// "size,dostime,sha256" (or "-" for no hash) with CR LF into out (of 160):
// what a transfer is of, as the record beside its file in transfer keeps it.
void IdentityText(char* out, const TFileEntry& entry);
// A file in transfer of that length may be gone on with: it holds something,
// ends at a chunk's end and is no longer than the file may be.
bool MayResumeAt(int64_t length, int32_t chunk, int32_t limit);

// A target in use is renamed aside, in the installation folder, to "~old",
// eight random hexadecimal digits and the suffix.
constexpr char kAsidePrefix[] = "~old";
constexpr int32_t kAsideRandomBytes = 4;
constexpr int32_t kAsideNameLength = sizeof kAsidePrefix - 1 + 2 * kAsideRandomBytes + kPartSuffixLength;
// The aside name in the folder into out (of kTextCapacity); false when it
// does not fit.
bool AsideName(char* out, const char* folder, const uint8_t random[kAsideRandomBytes]);
// A name that AsideName made, and nothing else.
bool IsAsideName(const char* name);

// Win32 side.

// Once at start, before any worker: lets each thread find its open file.
void InitPartFiles();
// Deletes the calling thread's file in transfer, if it has one; for a thread
// that is about to end without unwinding.
void DiscardThreadPart();

class TPartFile {
 public:
  // At most `limit` bytes (negative: no limit); with a hash, committed only
  // when the content has it.
  explicit TPartFile(const char* relativeName, int32_t limit = -1, const uint8_t* sha256 = nullptr);
  // An entry's file (its Size, or kUnsizedLimit for a size of 0, and its
  // hash), resumable: the file is kept across a dropped connection and
  // across runs, beside a record of what identifies its transfer (name, size,
  // time, hash). A file whose record matches and whose length is a whole
  // number of `chunk` bytes goes on where it ended (ResumeAt); any other is
  // started afresh.
  TPartFile(const TFileEntry& entry, int32_t chunk);
  // A mirror's: kept only where a transfer broke off after a block's end of
  // its zlib stream (KeepAt), with that point and the answer's validator in
  // the record; a file whose record says so is gone on with from there, its
  // point and validator given back.
  TPartFile(const TFileEntry& entry, TInflatePoint* point, char* validator);
  // A file never staged is deleted, but for a resumable one whose content
  // is still good so far.
  ~TPartFile();
  TPartFile(const TPartFile&) = delete;
  TPartFile& operator=(const TPartFile&) = delete;

  bool IsOpen() const { return File && File->IsOpen(); }
  // Writes all of it, or marks the file failed; also when it would pass the
  // limit, before anything of it is written.
  bool Write(const void* data, int32_t count);
  // Checks the content, stamps the time (when not 0) and flushes it; then
  // holds it open for the commit as the file table's entry `index`
  // (TakeStagedPart). False when any write failed or the content is not the one
  // named.
  bool Stage(int32_t index, uint32_t dosTime);
  int32_t ResumeAt() const { return Written; }
  // Cut back to the point's content, and kept with it for a later attempt.
  bool KeepAt(const TInflatePoint& point, const char* validator);
  // Emptied, to be written again from the start.
  void Restart();
  // Not to be gone on with: deleted with its record at the end.
  void Abandon() { Resumable = false; }
  // The last (up to 32 KiB) of the content so far, in a buffer of its own
  // (free it); false when it cannot be read.
  bool Window(uint8_t** window, int32_t* length);

  // Why the file was not staged; kFailNone until something failed.
  TFailure Failure = kFailNone;

 private:
  friend void DiscardThreadPart();
  void Open(const char* relativeName);
  bool CreatePart();
  void Identify(const TFileEntry& entry);
  bool Reopen(int32_t chunk, int32_t exact);
  bool WriteRecord(const char* more);
  void Fail(TFailure why);
  void Discard();
  void Forget();
  char Target[kTextCapacity];
  char Part[kTextCapacity + kPartSuffixLength];
  TSimpleFile* File = nullptr;
  int32_t Limit;
  int32_t Written = 0;
  bool Hashed;
  uint8_t Expected[kDigestSize];
  TSha256 Hash;
  bool Resumable = false;
  bool Recorded = false;  // the record has a name: Identity
  char Identity[kTextCapacity + 2 * kPartSuffixLength];
  char IdentityLine[160];
};

// One line of the log for a file's transfer from `source` since the tick
// `started`: fetched with its bytes and time, or failed with its cause, in
// the words of `detail` where it is given (an HTTP status, a socket error).
void LogFetch(const TFileEntry& entry, const char* source, TFailure failure, const char* detail, uint32_t started);

// Reads the rest of the file, into the hash where given: its bytes, or -1
// when a read failed.
int64_t ReadWhole(TSimpleFile* file, TSha256* hash);
// The entry's file in transfer, whole and with the content its line names
// (its size and, where given, its hash), opened to be renamed into place;
// nullptr otherwise.
TSimpleFile* OpenWholePart(const TFileEntry& entry);

// The staged files of the file table, by entry, held open until the commit.
void PrepareStaging(int32_t count);
// The commit takes it over; nullptr when the entry has none.
TSimpleFile* TakeStagedPart(int32_t index);
// Closes them: what was not committed stays for the next run.
void ReleaseStaging();
// The bytes of the entry's file in transfer that this run goes on with or
// takes whole, a part whose record names this very line; 0 for none. One
// that an earlier run left whole and that is still so is staged as if
// fetched now (the entry is done).
int64_t TakeKeptPart(int32_t index);

// Deletes the files that in-use targets were renamed to by earlier runs; what
// is still in use goes at the next restart. Once per pass, before any file.
void RemoveAsideFiles();
