#include "install/Uninstall.h"

#include "config/InstallDir.h"
#include "manifest/Manifest.h"
#include "support/TextUtil.h"

bool IsShortcutLine(const char* line) {
  int n = TextLength(line);
  if (n <= 4 || !TextEquals(line + n - 4, ".lnk")) return false;
  // Only full paths: a relative line would name a file of the current folder.
  return (line[1] == ':' && line[2] == '\\') || (line[0] == '\\' && line[1] == '\\');
}

bool MayRemoveShortcut(const char* line, const char* full, const char* desktop, const char* menu) {
  bool separator0 = line[0] == '\\' || line[0] == '/';
  bool separator1 = line[0] && (line[1] == '\\' || line[1] == '/');
  if (separator0 && separator1) return false;  // \\host\share, \\?\ and \\.\ paths
  if (!IsShortcutLine(line) || !IsShortcutLine(full) || !IsDrivePath(full)) return false;
  int32_t folderLength = static_cast<int32_t>(TextFindLast(full, '\\') - full) + 1;
  const char* folders[] = {desktop, menu};
  for (const char* folder : folders) {
    if (!folder[0] || TextLength(folder) != folderLength) continue;
    int32_t i = 0;
    while (i < folderLength && FoldCase(full[i]) == FoldCase(folder[i])) ++i;
    if (i == folderLength) return true;
  }
  return false;
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

bool EntryKeyName(char* out, const char* installDir, bool tagged) {
  if (IsRootFolder(installDir)) return false;
  int n = TextLength(installDir);
  while (n > 0 && installDir[n - 1] == '\\') --n;
  int start = n;
  while (start > 0 && installDir[start - 1] != '\\' && installDir[start - 1] != '/') --start;
  // A key's name holds up to 255 characters, the tag's 9 included.
  if (start == n || n - start > 255 - 8 - 9) return false;
  char* p = TextCopy(out, "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velorin ");
  p = TextCopyCount(p, installDir + start, n - start);
  if (!tagged) return true;
  // The whole folder, as Windows compares names.
  uint32_t hash = 2166136261u;
  for (int i = 0; i < n; ++i) hash = HashByte(hash, static_cast<uint8_t>(FoldCase(installDir[i])));
  uint8_t bytes[4] = {static_cast<uint8_t>(hash >> 24), static_cast<uint8_t>(hash >> 16),
                      static_cast<uint8_t>(hash >> 8), static_cast<uint8_t>(hash)};
  *TextPutHex(TextPutChar(p, ' '), bytes, 4) = 0;
  return true;
}
