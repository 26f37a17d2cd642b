// The program's entry: the hidden status window, the session, the end.
#include <windows.h>

#include "app/Session.h"
#include "app/StatusWindow.h"
#include "support/SystemLibrary.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  RestrictLibraryLoading();
  CreateStatusWindow();
  InitSession();
  RunSession();
  ExitProcess(static_cast<UINT>(SessionExitCode()));
}
