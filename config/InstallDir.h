// The installation folder: its expansion (InstallDirWin.cpp) and the paths
// made inside it (InstallDir.cpp).
#pragma once

// The names the program keeps in the installation folder; no manifest line
// may name them.
// Appended to a target's name for the file in transfer.
constexpr char kPartSuffix[] = ".~tv";
constexpr int kPartSuffixLength = sizeof(kPartSuffix) - 1;
// Keeps the highest serial of a signed file list taken for the folder.
constexpr char kSerialFileName[] = "Tovimar.serial";

// InstallDir followed by the relative name. Returns dest.
char* MakeInstallPath(char* dest, const char* name);

// Win32 side: resolves a leading %AppData% or %ProgramFiles% and ends the
// folder with '\'; an empty folder when that cannot be done whole.
void ExpandInstallDir();
