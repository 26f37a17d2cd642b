#include "install/Uninstall.h"

#include "support/TextUtil.h"

bool IsShortcutLine(const char* line) {
  int n = TextLength(line);
  if (n <= 4 || !TextEquals(line + n - 4, ".lnk")) return false;
  // Only full paths: a relative line would name a file of the current folder.
  return (line[1] == ':' && line[2] == '\\') || (line[0] == '\\' && line[1] == '\\');
}

bool IsRootFolder(const char* folder) {
  int n = TextLength(folder);
  while (n > 0 && (folder[n - 1] == '\\' || folder[n - 1] == '/')) --n;
  if (n == 0) return true;
  if (n == 2 && folder[1] == ':') return true;  // C: or C:\ .
  if (folder[0] == '\\' && folder[1] == '\\') {
    // \\server\share is a root; a folder needs one more element.
    int separators = 0;
    for (int i = 2; i < n; ++i)
      if (folder[i] == '\\' || folder[i] == '/') ++separators;
    return separators < 2;
  }
  return false;
}
