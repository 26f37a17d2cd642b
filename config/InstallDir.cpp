#include "config/InstallDir.h"

#include "config/Settings.h"
#include "support/TextUtil.h"

char* MakeInstallPath(char* dest, const char* name) {
  TextJoin(dest, Settings.InstallDir, name, nullptr);
  return dest;
}
