#include "config/InstallDir.h"

#include "config/Settings.h"
#include "support/TextUtil.h"

char* MakeInstallPath(char* dest, const char* name) {
  TextJoin(dest, Settings.InstallDir, name, nullptr);
  return dest;
}

bool IsDrivePath(const char* path) {
  char letter = AsciiUpper(path[0]);
  return letter >= 'A' && letter <= 'Z' && path[1] == ':' && path[2] == '\\';
}

bool FoldersArePlain(const char* path, TAttributesOf attributesOf) {
  int32_t n = TextLength(path);
  char folder[kTextCapacity + 64];
  if (n > static_cast<int32_t>(sizeof folder) - 1) return false;
  // Where the first folder below the root begins.
  int32_t i = 0;
  if (IsDrivePath(path)) {
    i = 3;
  } else if (path[0] == '\\' && path[1] == '\\') {
    int32_t separators = 0;
    for (i = 2; i < n && separators < 2; ++i)
      if (path[i] == '\\') ++separators;
    if (separators < 2) return true;  // a share's root: nothing below it
  }
  for (; i < n; ++i) {
    if (path[i] != '\\' && path[i] != '/') continue;  // Windows takes either
    TextCopyCount(folder, path, i);
    uint32_t attributes = attributesOf(folder);
    if (attributes == kMissing) return true;  // made later, by the program, plain
    if ((attributes & kReparseAttribute) || !(attributes & kDirectoryAttribute)) return false;
  }
  return true;
}
