// The program's entry: the hidden status window, the session, the end.
#include <windows.h>

#include "app/Session.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  CreateStatusWindow();
  InitSession();
  RunSession();
  ExitProcess(0);
}
