// The program's entry: the hidden status window, the session, the end.
//
// The program starts here, without the C runtime's start-up: the runtime's
// own DLL readies itself when loaded, and of what the start-up does the
// program needs only its global objects made. The command line is the
// system's (GetCommandLineA), and the process ends with ExitProcess.
#include <windows.h>

#include "app/Session.h"
#include "app/StatusWindow.h"
#include "support/SystemLibrary.h"

// The linker's list of the global constructors: -1, each constructor, 0.
extern "C" void (*__CTOR_LIST__[])();
// Asked for by the linker for data imported without a declaration, which
// the program has none of (it links with --disable-auto-import).
extern "C" void _pei386_runtime_relocator() {}

extern "C" __attribute__((force_align_arg_pointer)) void WinMainCRTStartup() {
  // Last to first, as the runtime runs them.
  int count = 1;
  while (__CTOR_LIST__[count]) ++count;
  while (--count > 0) __CTOR_LIST__[count]();
  RestrictLibraryLoading();
  CreateStatusWindow();
  InitSession();
  RunSession();
  ExitProcess(static_cast<UINT>(SessionExitCode()));
}
