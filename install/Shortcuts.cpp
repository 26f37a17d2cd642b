#include "install/Shortcuts.h"

#include "config/InstallDir.h"
#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "support/TextUtil.h"

char* ClientArguments(char* out) {
  char* p;
  if (Settings.SaasArguments) {
    p = TextCopy(TextCopy(out, "/SAAS:"), Settings.Host);
    if (Settings.CloudMode == kCloudPreset && Settings.Language[0]) TextCopy(TextCopy(p, " /LANG:"), Settings.Language);
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

bool UninstallerBeside(char* out, const char* installDir) {
  int32_t n = TextLength(installDir);
  // Room for " Uninstall\", the program's name and a terminator.
  if (n < 4 || installDir[n - 1] != '\\' || n - 1 > kTextCapacity - 1 - 11 - TextLength(kProgramFileName)) {
    out[0] = 0;
    return false;
  }
  TextCopy(TextCopy(TextCopyCount(out, installDir, n - 1), " Uninstall\\"), kProgramFileName);
  return true;
}

bool ListsPath(const TSimpleStrings& list, const char* path) {
  for (int32_t i = 0; i < list.Count; ++i)
    if (SameFileName(list.Items[i], path)) return true;
  return false;
}
