// The file stream over an OS handle and the file helpers of the installation.
#pragma once
#include <cstdint>

#include "support/TinyCore.h"

class TSimpleFile : public TBaseStream {
 public:
  TSimpleFile(const char* name, bool forWriting);
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
// InstallDir followed by the relative name. Returns dest.
char* MakeInstallPath(char* dest, const char* name);
// Creates the missing folders of a path, parents first; k is the position of
// the folder's end, 0 to find it from the end. The text is left as it was.
void ForceFolders(char* path, int32_t k);
// Opens for writing, creating missing folders on a second try. The caller owns
// the result and tests IsOpen.
TSimpleFile* CreateFileWithFolders(char* path);
