#include <windows.h>
#include <shlobj.h>

#include "config/Settings.h"
#include "config/ShellFolder.h"
#include "support/TextUtil.h"

char* SpecialFolderPath(char* buffer, int csidl) {
  buffer[0] = 0;
  LPITEMIDLIST items = nullptr;
  if (FAILED(SHGetSpecialFolderLocation(nullptr, csidl, &items)) || !items) return nullptr;
  char path[MAX_PATH] = {};
  BOOL found = SHGetPathFromIDListA(items, path);
  CoTaskMemFree(items);
  if (!found || !path[0] || TextLength(path) > kTextCapacity - 2) return nullptr;
  TextPutChar(TextCopy(buffer, path), '\\')[0] = 0;
  return buffer;
}
