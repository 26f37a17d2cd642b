#include <windows.h>

#include "config/Settings.h"
#include "install/Uninstall.h"
#include "manifest/Manifest.h"
#include "support/FindFile.h"
#include "support/TextUtil.h"
#include "support/TinyLib.h"
#include "transfer/Server.h"

namespace {

// The folder the program runs from, without trailing backslash.
bool OwnFolder(char* folder) {
  const char* arg = Settings.Args[0];
  if (TextFindLast(arg, '\\')) {
    TextCopyMax(folder, arg, kTextCapacity);
  } else {
    DWORD n = GetModuleFileNameA(nullptr, folder, kTextCapacity);
    if (n == 0 || n >= kTextCapacity) return false;
  }
  char* slash = TextFindLast(folder, '\\');
  if (!slash) return false;
  *slash = 0;
  return true;
}

// Copies the program to the temporary folder and starts the copy on the
// folder to remove. Only an installation (a folder holding the shortcut
// list) is ever handed on: a setup program in a downloads folder is not.
void FirstStage() {
  char folder[kTextCapacity];
  char list[kTextCapacity + 16];
  if (!OwnFolder(folder)) return;
  TextJoin(list, folder, "\\linkfiles", nullptr);
  if (GetFileAttributesA(list) == INVALID_FILE_ATTRIBUTES) return;
  char self[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return;
  char temp[kTextCapacity + 16];
  DWORD t = GetTempPathA(250, temp);
  if (t == 0 || t >= 250) return;
  TextAppend(temp, "Tovimar.exe", nullptr);
  CopyFileA(self, temp, FALSE);
  // The folder travels as one quoted token, so blanks in it arrive whole.
  char command[2 * kTextCapacity + 32];
  TextJoin(command, "\"", temp, "\" \"uninstall:");
  TextAppend(command, folder, "\"");
  // Not WinExec: it waits for the new process to take input, which this
  // window-less copy never does, and the first stage's own file stays in use.
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started = {};
  if (CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    CloseHandle(started.hThread);
    CloseHandle(started.hProcess);
  }
}

// Deletes every file directly in the folder; true when none was left.
bool DeleteFolderFiles(const char* folder) {
  char pattern[kTextCapacity + 8];
  TextJoin(pattern, folder, "*.*", nullptr);
  TFindFile found(pattern);
  if (!found.Found()) return true;
  bool all = true;
  do {
    if (found.Data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    char path[2 * kTextCapacity];
    TextJoin(path, folder, found.Data.cFileName, nullptr);
    if (!DeleteFileA(path)) all = false;
  } while (found.Next());
  return all;
}

void SecondStage() {
  if (IsRootFolder(Settings.InstallDir)) return;
  // Its current folder moves out of the installation: a folder that is some
  // process's current folder cannot be removed.
  char temp[kTextCapacity];
  DWORD t = GetTempPathA(kTextCapacity, temp);
  if (t > 0 && t < kTextCapacity) SetCurrentDirectoryA(temp);
  int n = TextLength(Settings.InstallDir);
  if (Settings.InstallDir[n - 1] != '\\' && n >= kTextCapacity - 1) return;
  TextEnsureBackslash(Settings.InstallDir);
  char list[kTextCapacity + 16];
  TextJoin(list, Settings.InstallDir, "linkfiles", nullptr);
  int32_t count = InflateBuffer ? ReadFileText(list, InflateBuffer) : 0;
  if (count > 0) {
    TSimpleStrings lines(reinterpret_cast<char*>(InflateBuffer), count);
    for (int32_t i = 0; i < lines.Count; ++i)
      if (IsShortcutLine(lines.Items[i])) DeleteFileA(lines.Items[i]);
  }
  // The first stage may still be ending: its program file frees a moment
  // after it started this copy.
  for (int round = 0; round < 20 && !DeleteFolderFiles(Settings.InstallDir); ++round) Sleep(100);
  Settings.InstallDir[TextLength(Settings.InstallDir) - 1] = 0;
  RemoveDirectoryA(Settings.InstallDir);
}

}  // namespace

void Uninstall() {
  if (Settings.InstallDir[0] == 0)
    FirstStage();
  else
    SecondStage();
  ExitProcess(0);
}
