#include "config/Settings.h"
#include "install/Shortcuts.h"
#include "support/TextUtil.h"

char* ClientArguments(char* out) {
  char* p;
  if (Settings.SaasArguments) {
    p = TextCopy(TextCopy(out, "/SAAS:"), Settings.Host);
    if (Settings.CloudMode == 2 && Settings.Language[0]) TextCopy(TextCopy(p, " /LANG:"), Settings.Language);
  } else {
    p = TextCopy(TextCopy(out, "/SKVO /HOST:"), Settings.Host);
    p = TextPutChar(p, ':');
    TextFromInt(p, static_cast<uint32_t>(Settings.Port));
  }
  return out;
}

bool AppendPathName(char* buffer, const char* name, const char* suffix, int capacity) {
  int used = TextLength(buffer);
  bool slash = used == 0 || buffer[used - 1] != '\\';
  int need = (slash ? 1 : 0) + TextLength(name) + TextLength(suffix);
  if (need > capacity - 1 - used) return false;
  char* p = buffer + used;
  if (slash) p = TextPutChar(p, '\\');
  TextCopy(TextCopy(p, name), suffix);
  return true;
}

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
