// A file of the installation written beside its target and put in its place
// only once it arrived whole, so a broken transfer never damages the
// installed file.
#pragma once
#include <cstdint>

#include "config/Settings.h"
#include "support/TinyLib.h"

// Win32 side only (PartFileWin.cpp).

// Appended to the target's name for the file in transfer.
constexpr char kPartSuffix[] = ".~tv";
constexpr int kPartSuffixLength = sizeof(kPartSuffix) - 1;

// Once at start, before any worker: lets each thread find its open file.
void InitPartFiles();
// Deletes the calling thread's file in transfer, if it has one; for a thread
// that is about to end without unwinding.
void DiscardThreadPart();

class TPartFile {
 public:
  explicit TPartFile(const char* relativeName);
  ~TPartFile();  // a file never committed is deleted
  TPartFile(const TPartFile&) = delete;
  TPartFile& operator=(const TPartFile&) = delete;

  bool IsOpen() const { return File && File->IsOpen(); }
  // Writes all of it, or marks the file failed.
  bool Write(const void* data, int32_t count);
  // Stamps the time (when not 0), closes and replaces the target. False when
  // any write failed or the replace did not happen.
  bool Commit(uint32_t dosTime);

 private:
  friend void DiscardThreadPart();
  void Discard();
  void Forget();
  char Target[kTextCapacity];
  char Part[kTextCapacity + kPartSuffixLength];
  TSimpleFile* File = nullptr;
  bool Failed = false;
};
