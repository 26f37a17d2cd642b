// The installation folder: its expansion (InstallDirWin.cpp) and the paths
// made inside it (InstallDir.cpp).
#pragma once

// InstallDir followed by the relative name. Returns dest.
char* MakeInstallPath(char* dest, const char* name);

// Win32 side: resolves a leading %AppData% or %ProgramFiles% and ends the
// folder with '\'; an empty folder when that cannot be done whole.
void ExpandInstallDir();
