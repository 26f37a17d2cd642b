// A file of the installation written beside its target and put in its place
// only once it arrived whole, no longer than it may be and with the content
// its list names, so a broken or forged transfer never damages the installed
// file.
#pragma once
#include <cstdint>

#include "config/InstallDir.h"
#include "config/Settings.h"
#include "support/Crypto.h"
#include "support/TinyLib.h"

// Win32 side only (PartFileWin.cpp).

struct TFileEntry;

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
  // An entry's file: its Size, or kUnsizedLimit for a size of 0, and its hash.
  explicit TPartFile(const TFileEntry& entry);
  // The same, resumable: the file is kept across a dropped connection and
  // across runs, beside a record of what identifies its transfer (name, size,
  // time, hash). A file whose record matches and whose length is a whole
  // number of `chunk` bytes goes on where it ended (ResumeAt); any other is
  // started afresh.
  TPartFile(const TFileEntry& entry, int32_t chunk);
  // A file never committed is deleted, but for a resumable one whose content
  // is still good so far.
  ~TPartFile();
  TPartFile(const TPartFile&) = delete;
  TPartFile& operator=(const TPartFile&) = delete;

  bool IsOpen() const { return File && File->IsOpen(); }
  // Writes all of it, or marks the file failed; also when it would pass the
  // limit, before anything of it is written.
  bool Write(const void* data, int32_t count);
  // Stamps the time (when not 0), closes and replaces the target. False when
  // any write failed, the content is not the one named, or the replace did
  // not happen.
  bool Commit(uint32_t dosTime);
  int32_t ResumeAt() const { return Written; }

  // Why the file was not committed, for the log; nullptr until something
  // failed.
  const char* Failure = nullptr;
  // The target was in use: it was renamed aside and the new file put in its
  // place.
  bool ReplacedInUse = false;

 private:
  friend void DiscardThreadPart();
  void Open(const char* relativeName);
  bool Reopen(int32_t chunk, const char* identity);
  void Fail(const char* why);
  bool ReplaceInUse();
  void Discard();
  void Forget();
  char Target[kTextCapacity];
  char Part[kTextCapacity + kPartSuffixLength];
  TSimpleFile* File = nullptr;
  bool Failed = false;
  int32_t Limit;
  int32_t Written = 0;
  bool Hashed;
  uint8_t Expected[kDigestSize];
  TSha256 Hash;
  bool Resumable = false;
  bool Spoiled = false;  // its content cannot be gone on with
  char Identity[kTextCapacity + 2 * kPartSuffixLength];
};

// One line of the log for a file's transfer from `source` since the tick
// `started`: fetched with its bytes and time, or failed with its cause.
void LogFetch(const TFileEntry& entry, const char* source, bool done, const char* cause, uint32_t started);

// Deletes the files that in-use targets were renamed to by earlier runs; what
// is still in use goes at the next restart. Once per pass, before any file.
void RemoveAsideFiles();
