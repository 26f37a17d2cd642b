#include <windows.h>

#include "config/CommandLine.h"
#include "config/Settings.h"
#include "install/Uninstall.h"

int32_t ParseCommandLine() {
  int32_t count = ParseCommandText(GetCommandLineA());
  if (Settings.UninstallRequested) Uninstall();
  return count;
}
