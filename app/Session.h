// The session: start, the install pass on the worker thread and the end of
// the run (Win32 side only, SessionWin.cpp).
#pragma once
#include <windows.h>

#include <cstdint>

#include "config/ExitCodes.h"

void InitSession();
void RunSession();
void DoneSession();
DWORD WINAPI WorkerPass(void* parameter);
void OnDestroy();
// The exit code of the run: see config/ExitCodes.h.
int32_t SessionExitCode();
