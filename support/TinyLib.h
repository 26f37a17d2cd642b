// The support library: the stream base class, the in-place line splitter, the
// file stream over an OS handle and the file helpers of the installation.
// The first two are platform-free (TinyLib.cpp), the rest Win32 (TinyLibWin.cpp).
#pragma once
#include <cstdint>

// Seek's origins, the system's own numbers.
constexpr int32_t kSeekBegin = 0;
constexpr int32_t kSeekCurrent = 1;
constexpr int32_t kSeekEnd = 2;

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

// How a TSimpleFile is opened.
enum TOpenMode {
  kForReading,  // shared with readers and writers
  kReadPlain,   // the same, but only a plain file with one name
  kMadeAnew,    // for writing: what had the name, a link included, is deleted first
  kGoneOn,      // for writing, as it is: only a plain file with one name
};

class TSimpleFile : public TBaseStream {
 public:
  TSimpleFile(const char* name, TOpenMode mode);
  ~TSimpleFile() override;

  bool IsOpen() const;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Write(const void* buffer, int32_t count) override;
  int32_t Seek(int32_t distance, int32_t origin) override;
  int32_t WriteLine(const char* text);

  // The OS handle: the invalid-handle value after a failed open, 0 once closed.
  void* Handle;
};

// The handle when it is a plain file with one name; otherwise it is closed
// and the invalid-handle value comes back. A link in a file's place would
// have the elevated program read or write wherever it points: opened with
// FILE_FLAG_OPEN_REPARSE_POINT, the link itself is refused here.
void* OnlyPlain(void* handle);
// Gives the file open for writing (a written file's handle holds the right
// to) the full path `path`, replacing what has that name; the system's error
// stays for the caller when it cannot.
bool RenameOpenFile(void* handle, const char* path);
// The open file (opened with the right to delete it) goes when its handle
// closes: what is deleted is what was opened, whatever its name leads to by
// then.
bool DeleteOpenFile(void* handle);
// Stamps the last-write time from a DOS date-time taken as UTC. 0 or an OS
// error code.
uint32_t SetFileWriteTime(void* handle, uint32_t dosTime);
// Creates the missing folders of a path, parents first; k is the position of
// the folder's end, 0 to find it from the end. The text is left as it was.
// The highest folder made gets the security attributes `highest` gives (a
// SECURITY_ATTRIBUTES; nullptr: what it inherits), the folders below it
// inherit from it.
void ForceFolders(char* path, int32_t k, void* highest = nullptr);
// The running program's own file, whatever name it was started by; false
// when its path does not fit capacity.
bool OwnProgramPath(char* path, int32_t capacity);
// The folders of a file's path from `from` (a folder of it, with '\\') down to
// the file's own, held open with their renaming and deleting denied to
// everyone, each found a plain folder (no link, no junction) through its own
// handle. While held, nobody can move them or put a link in their place:
// what the path names stays what was checked.
class TPinnedFolders {
 public:
  TPinnedFolders(const char* from, const char* path);
  ~TPinnedFolders();
  TPinnedFolders(const TPinnedFolders&) = delete;
  TPinnedFolders& operator=(const TPinnedFolders&) = delete;
  bool Held() const { return Whole; }

 private:
  static constexpr int32_t kMaxFolders = 64;
  void* Handles[kMaxFolders];
  int32_t Count = 0;
  bool Whole = false;
};
