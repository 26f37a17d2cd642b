// The shortcuts to the client, the uninstaller copy and the list of the
// shortcuts made, which the uninstall reads. Their texts are platform-free
// (Shortcuts.cpp); making them is Win32 (ShortcutsWin.cpp).
#pragma once
#include <cstdint>

#include "config/Settings.h"
#include "support/TinyLib.h"

// Longest client arguments: "/SKVO /HOST:", a host of 259 characters, ':'
// and a port; or "/SAAS:", the host, " /LANG:" and a language.
constexpr int kArgumentsCapacity = 300;

// The client arguments of both client shortcuts. Returns out.
char* ClientArguments(char* out);
// Appends '\' (when missing), the name and the suffix, in place. False, and
// the buffer unchanged, when the result would not fit capacity.
bool AppendPathName(char* buffer, const char* name, const char* suffix, int capacity);

// The cloud folder's users may change what is in it, so its uninstaller,
// which an administrator starts elevated, lives in a folder of its own beside
// it: "C:\ProgramData\Velorin\Azure Uninstall\Tovimar.exe" for
// "C:\ProgramData\Velorin\Azure\" (of kTextCapacity). False, and out empty,
// when it would not fit or the folder is a root.
bool UninstallerBeside(char* out, const char* installDir);
// True when a line of the list names the path, as Windows compares names.
bool ListsPath(const TSimpleStrings& list, const char* path);

// Win32 side.
// Also the uninstaller copy: its path and its arguments are left in
// UninstallerCopy and UninstallerArguments, the path empty when there is none.
void CreateShortcuts();
extern char UninstallerCopy[kTextCapacity + 16];
extern char UninstallerArguments[16 + kTextCapacity];
// The installation's list of the shortcuts it made, read into InflateBuffer
// and cut into its lines (none when there is no list).
int32_t ReadShortcutList();
// The folders the shortcuts go to, each full with '\': the common desktop and
// the common Start menu's folder of ours; empty when the system has none.
void ShortcutFolders(char* desktop, char* menu);
// Creates one shortcut in the folder held by `folder` (of kTextCapacity) and
// leaves the shortcut's full path there. A shortcut of that name is replaced
// only when `ours` (the installation's list of the shortcuts it made) names
// it. False when it was not saved.
bool CreateShortcut(char* folder, const char* program, const char* arguments, const char* linkName,
                    const TSimpleStrings& ours);
