#include "support/TinyLib.h"

#include <windows.h>

#include "support/TextUtil.h"

void* OnlyPlain(void* handle) {
  BY_HANDLE_FILE_INFORMATION info;
  if (handle == INVALID_HANDLE_VALUE ||
      (GetFileInformationByHandle(handle, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
       info.nNumberOfLinks == 1))
    return handle;
  CloseHandle(handle);
  SetLastError(ERROR_CANT_ACCESS_FILE);
  return INVALID_HANDLE_VALUE;
}

TSimpleFile::TSimpleFile(const char* name, TOpenMode mode) {
  if (mode == kForReading) {
    Handle = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  } else if (mode == kReadPlain) {
    Handle = OnlyPlain(CreateFileA(name, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  } else if (mode == kGoneOn) {
    Handle = OnlyPlain(CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  } else {
    // Made anew: whatever has the name goes first (a link goes, not what it
    // points to), and a name taken again meanwhile is not opened.
    DeleteFileA(name);
    Handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  }
}

TSimpleFile::~TSimpleFile() {
  if (Handle != nullptr) {
    if (Handle != INVALID_HANDLE_VALUE) CloseHandle(Handle);
    Handle = nullptr;
  }
}

bool TSimpleFile::IsOpen() const { return Handle != INVALID_HANDLE_VALUE; }

int32_t TSimpleFile::Read(void* buffer, int32_t count) {
  DWORD done = 0;
  if (!ReadFile(Handle, buffer, static_cast<DWORD>(count), &done, nullptr)) return -1;
  return static_cast<int32_t>(done);
}

int32_t TSimpleFile::Write(const void* buffer, int32_t count) {
  // A write the disk took only in part is gone on with: the next one says
  // why it stopped (a full disk).
  int32_t total = 0;
  while (total < count) {
    DWORD done = 0;
    if (!WriteFile(Handle, static_cast<const char*>(buffer) + total, static_cast<DWORD>(count - total), &done, nullptr))
      return -1;
    if (done == 0) break;
    total += static_cast<int32_t>(done);
  }
  return total;
}

int32_t TSimpleFile::Seek(int32_t distance, int32_t origin) {
  // The origin is masked to its low 7 bits, as the stream contract has it;
  // callers pass kSeekBegin, kSeekCurrent or kSeekEnd, so the mask changes
  // nothing and stays.
  return static_cast<int32_t>(SetFilePointer(Handle, distance, nullptr, static_cast<DWORD>(origin & 0x7F)));
}

int32_t TSimpleFile::WriteLine(const char* text) {
  int32_t n = TextLength(text);
  if (n > 0) Write(text, n);
  return Write("\r\n", 2);
}

bool RenameOpenFile(void* handle, const char* path) {
  struct {
    FILE_RENAME_INFO Info;
    WCHAR Rest[MAX_PATH];
  } rename = {};
  int n = MultiByteToWideChar(CP_ACP, 0, path, -1, rename.Info.FileName, MAX_PATH);
  if (n <= 0) return false;
  rename.Info.ReplaceIfExists = TRUE;
  rename.Info.FileNameLength = static_cast<DWORD>(n - 1) * sizeof(WCHAR);
  return SetFileInformationByHandle(handle, FileRenameInfo, &rename, sizeof rename) != FALSE;
}

bool DeleteOpenFile(void* handle) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

uint32_t SetFileWriteTime(void* handle, uint32_t dosTime) {
  FILETIME time;
  if (!DosDateTimeToFileTime(static_cast<WORD>(dosTime >> 16), static_cast<WORD>(dosTime & 0xFFFF), &time))
    return GetLastError();
  if (!SetFileTime(handle, nullptr, nullptr, &time)) return GetLastError();
  return 0;
}

namespace {

// Leftward search for the end of the folder part: a '\' at position 4 or
// beyond, or the first position of 3 or less.
int32_t FolderEnd(const char* path, int32_t from) {
  int32_t k = from;
  while (k >= 4 && path[k] != '\\') --k;
  return k;
}

}  // namespace

namespace {

// True when it made a folder: below it, none is the highest made.
bool MakeFolders(char* path, int32_t k, void* highest) {
  char kept = path[k];
  path[k] = 0;
  bool made = false;
  if (k > 3) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      int32_t j = FolderEnd(path, k - 1);
      bool above = j >= 4 && MakeFolders(path, j, highest);
      made = CreateDirectoryA(path, static_cast<SECURITY_ATTRIBUTES*>(above ? nullptr : highest)) || above;
    }
  }
  path[k] = kept;
  return made;
}

}  // namespace

void ForceFolders(char* path, int32_t k, void* highest) {
  if (path[0] == 0) return;
  MakeFolders(path, k == 0 ? FolderEnd(path, TextLength(path) - 1) : k, highest);
}

TPinnedFolders::TPinnedFolders(const char* from, const char* path) {
  int32_t n = TextLength(path), start = TextLength(from);
  char folder[MAX_PATH];
  if (start < 4 || n >= MAX_PATH || !TextEqualsN(path, from, start)) return;
  // Each folder end: the '\' that ends `from`, then every later one.
  for (int32_t i = start - 1; i < n; ++i) {
    if (path[i] != '\\') continue;
    if (Count == kMaxFolders) return;
    TextCopyCount(folder, path, i);
    HANDLE handle = CreateFileA(folder, FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    Handles[Count++] = handle;
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info) || !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return;
  }
  Whole = Count > 0;
}

TPinnedFolders::~TPinnedFolders() {
  while (Count > 0) CloseHandle(Handles[--Count]);
}

bool OwnProgramPath(char* path, int32_t capacity) {
  DWORD n = GetModuleFileNameA(nullptr, path, static_cast<DWORD>(capacity));
  return n > 0 && n < static_cast<DWORD>(capacity);
}
