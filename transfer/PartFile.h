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
  ~TPartFile();  // a file never committed is deleted
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

 private:
  friend void DiscardThreadPart();
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
};
