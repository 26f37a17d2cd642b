// Removing an installation, in two stages through a copy in the temporary
// folder: the decisions on its input (Uninstall.cpp, platform-free) and the
// removal (UninstallWin.cpp).
#pragma once

// A line of the shortcut list that the uninstall may delete: the full path
// of a ".lnk" file.
bool IsShortcutLine(const char* line);
// A folder that an uninstall must never empty: empty, or a drive's or a
// share's root.
bool IsRootFolder(const char* folder);

// Win32 side. Never returns.
[[noreturn]] void Uninstall();
