// The support library: the stream base class, the in-place line splitter, the
// file stream over an OS handle and the file helpers of the installation.
// The first two are platform-free (TinyLib.cpp), the rest Win32 (TinyLibWin.cpp).
#pragma once
#include <cstdint>

class TBaseStream {
 public:
  TBaseStream() = default;
  TBaseStream(const TBaseStream&) = delete;
  TBaseStream& operator=(const TBaseStream&) = delete;
  virtual int32_t Read(void* buffer, int32_t count);
  virtual int32_t Write(const void* buffer, int32_t count);
  virtual int32_t Seek(int32_t distance, int32_t origin);
  virtual ~TBaseStream();
};

// Cuts a buffer into lines in place: CR ends a line and swallows one LF after
// it; a lone LF stays in the line. The buffer needs one spare byte after the
// data for the last terminator.
class TSimpleStrings {
 public:
  TSimpleStrings(char* buffer, int32_t length);
  ~TSimpleStrings();
  TSimpleStrings(const TSimpleStrings&) = delete;
  TSimpleStrings& operator=(const TSimpleStrings&) = delete;

  int32_t Count = 0;
  char** Items = nullptr;
};

// Win32 side.

class TSimpleFile : public TBaseStream {
 public:
  // For writing: made anew (what had the name, a link included, is deleted
  // first), or with `existing` opened as it is, to go on with, when it is a
  // plain file with one name; for reading: shared with readers and writers.
  TSimpleFile(const char* name, bool forWriting, bool existing = false);
  ~TSimpleFile() override;

  bool IsOpen() const;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int32_t Seek(int32_t distance, int32_t origin) override;
  int32_t WriteLine(const char* text);

  // The OS handle: the invalid-handle value after a failed open, 0 once closed.
  void* Handle;
};

// Stamps the last-write time from a DOS date-time taken as UTC. 0 or an OS
// error code.
uint32_t SetFileWriteTime(void* handle, uint32_t dosTime);
// Creates the missing folders of a path, parents first; k is the position of
// the folder's end, 0 to find it from the end. The text is left as it was.
void ForceFolders(char* path, int32_t k);
// Opens for writing, creating missing folders on a second try. The caller owns
// the result and tests IsOpen.
TSimpleFile* CreateFileWithFolders(char* path);
