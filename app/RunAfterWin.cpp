#include <windows.h>
#include <shellapi.h>

#include "app/RunAfter.h"

void StartRunAfter(const char* command, bool silent) {
  SHELLEXECUTEINFOA run = {};
  run.cbSize = sizeof run;
  run.fMask = silent ? SEE_MASK_FLAG_NO_UI : 0;
  run.lpVerb = "open";
  run.lpFile = command;
  run.nShow = SW_SHOWNORMAL;
  ShellExecuteExA(&run);
}
