// The run-after command, opened as the run ends (Win32 side only,
// RunAfterWin.cpp).
#pragma once

// Opens the command through the shell with the verb "open". Silent, a
// program that cannot be started shows no box either.
void StartRunAfter(const char* command, bool silent);
