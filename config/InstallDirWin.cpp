#include <windows.h>

#include "config/InstallDir.h"
#include "config/Settings.h"
#include "support/TextUtil.h"

void ExpandInstallDir() {
  static const char* const prefixes[] = {"%AppData%", "%ProgramFiles%"};
  for (const char* prefix : prefixes) {
    int length = TextLength(prefix);
    if (!TextEqualsN(Settings.InstallDir, prefix, length)) continue;
    char variable[32];
    TextCopyCount(variable, prefix + 1, length - 2);
    char value[512];
    DWORD n = GetEnvironmentVariableA(variable, value, 250);
    // Undefined, or too long for its buffer: no folder rather than a folder
    // relative to the drive root.
    if (n == 0 || n >= 250 || !TextFits(value, Settings.InstallDir + length, kTextCapacity)) {
      Settings.InstallDir[0] = 0;
      return;
    }
    TextAppend(value, Settings.InstallDir + length, nullptr);
    TextCopy(Settings.InstallDir, value);
    break;
  }
  if (Settings.InstallDir[0] == 0) return;
  // Once, here: the installation, its shortcuts and its uninstall must all
  // name the same folder, whatever the current folder is later. A full one
  // too is made plain: "C:\\Apps\\none\\..\\link" reaches "link" without ever
  // looking at "none", and the folder checks must see what is reached.
  char full[kTextCapacity];
  DWORD made = GetFullPathNameA(Settings.InstallDir, kTextCapacity, full, nullptr);
  if (made == 0 || made >= kTextCapacity) {
    Settings.InstallDir[0] = 0;
    return;
  }
  TextCopy(Settings.InstallDir, full);
  int n = TextLength(Settings.InstallDir);
  if (Settings.InstallDir[n - 1] != '\\' && n >= kTextCapacity - 1) {
    Settings.InstallDir[0] = 0;  // no room left for the backslash
    return;
  }
  TextEnsureBackslash(Settings.InstallDir);
}

namespace {
// Only a folder that is not there is missing: one that cannot be looked at
// counts as no plain folder.
uint32_t SystemAttributes(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? kMissing : 0;
}
}  // namespace

bool PlainFolders(const char* path) { return FoldersArePlain(path, SystemAttributes); }
