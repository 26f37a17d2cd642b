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
// A line of the shortcut list that the uninstall removes: a shortcut the
// program could have made, directly in the common desktop or the common
// Start menu's Velorin folder (full paths with '\', either may be empty).
// `full` is the line made full by the system; a share is never taken.
bool MayRemoveShortcut(const char* line, const char* full, const char* desktop, const char* menu);

// The installation's entry among the installed apps, under HKLM: the key
// "Software\Microsoft\Windows\CurrentVersion\Uninstall\Velorin <name>"
// named by the folder's last element (a customer's name, as a rule); tagged,
// with " <8 hex digits>" of the whole folder after it, for a folder whose
// name another folder's entry has. False for a root, which has none, and for
// a name too long for a key. Into out (of kEntryKeyCapacity).
constexpr int kEntryKeyCapacity = 64 + 256;
bool EntryKeyName(char* out, const char* installDir, bool tagged);

// Win32 side. Never returns.
[[noreturn]] void Uninstall();
// After a complete run that made the uninstaller: the entry written anew,
// its uninstall commands being the uninstaller with its arguments, and with
// " silent" after them. Nothing in it is read to decide anything but whose
// entry it is (its InstallLocation), so that an installation neither
// replaces nor removes another's.
void RegisterInstallation(const char* uninstaller, const char* arguments);
