#include <windows.h>
#include <sddl.h>

#include <cstring>

#include "config/ExitCodes.h"
#include "config/InstallDir.h"
#include "config/Settings.h"
#include "config/ShellFolder.h"
#include "install/Shortcuts.h"
#include "install/Uninstall.h"
#include "manifest/Manifest.h"
#include "transfer/ManifestFetch.h"
#include "support/Crypto.h"
#include "support/Log.h"
#include "support/TextUtil.h"
#include "support/Threads.h"
#include "support/TinyLib.h"
#include "transfer/Server.h"

namespace {

// The folder the program runs from, full, without trailing backslash.
bool OwnFolder(char* folder) {
  char started[kTextCapacity];
  const char* arg = Settings.Args[0];
  if (TextFindLast(arg, '\\')) {
    TextCopyMax(started, arg, kTextCapacity);
  } else if (!OwnProgramPath(started, kTextCapacity)) {
    return false;
  }
  // Started as ".\Tovimar.exe", the folder is the current one, now: the
  // second stage runs elsewhere and must be handed the folder itself.
  DWORD n = GetFullPathNameA(started, kTextCapacity, folder, nullptr);
  if (n == 0 || n >= kTextCapacity || !IsDrivePath(folder)) return false;
  char* slash = TextFindLast(folder, '\\');
  if (!slash || slash - folder < 3) return false;
  *slash = 0;
  return true;
}

bool IsFile(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool SameContent(const char* a, const char* b) {
  uint8_t first[kDigestSize], second[kDigestSize];
  return Sha256OfFile(a, first) && Sha256OfFile(b, second) && memcmp(first, second, kDigestSize) == 0;
}

// The first stage's copy lies in a folder of this name and 16 random
// hexadecimal digits.
constexpr char kCopyFolderPrefix[] = "Tovimar-";

// The temporary folder, with '\'; one too long to hold the first stage's
// copy (its folder and name) counts as none, at both stages.
bool TemporaryFolder(char* folder) {
  DWORD t = GetTempPathA(kTextCapacity - 32, folder);
  return t > 0 && t < kTextCapacity - 32;
}

// A new folder of the temporary folder, named so that nobody could have
// made it before, with '\'. Only the administrators and the system may
// change what is in it, whatever the temporary folder lets others do.
bool NewTemporaryFolder(char* folder) {
  if (!TemporaryFolder(folder)) return false;
  SECURITY_ATTRIBUTES own = {sizeof own, nullptr, FALSE};
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1,
                                                            &own.lpSecurityDescriptor, nullptr))
    return false;
  bool made = false;
  char* name = TextCopy(folder + TextLength(folder), kCopyFolderPrefix);
  for (int attempt = 0; attempt < 8; ++attempt) {
    uint8_t random[8];
    if (!RandomBytes(random, sizeof random)) break;
    char* p = TextPutHex(name, random, sizeof random);
    *p = 0;
    // Made here, or not at all: a folder that exists already is someone's.
    if (CreateDirectoryA(folder, &own)) {
      TextPutChar(p, '\\')[0] = 0;
      made = true;
      break;
    }
  }
  LocalFree(own.lpSecurityDescriptor);
  return made;
}

// Starts the copy on the folder to remove, in a process of its own.
bool StartSecondStage(const char* copy, const char* folder) {
  // The folder travels as one quoted token, so blanks in it arrive whole.
  char command[2 * kTextCapacity + 64];
  TextJoin(command, "\"", copy, "\" \"uninstall:");
  TextAppend(command, folder, "\"");
  // Not WinExec: it waits for the new process to take input, which this
  // window-less copy never does, and the first stage's own file stays in use.
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessA(copy, command, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) return false;
  CloseHandle(started.hThread);
  CloseHandle(started.hProcess);
  return true;
}

// Copies the program into a new temporary folder and starts the copy on the
// folder to remove. Only an installation (a folder holding the shortcut
// list) is ever handed on: a setup program in a downloads folder is not. Only
// a copy made here and checked to be this program is started.
int32_t FirstStage() {
  char folder[kTextCapacity];
  char list[kTextCapacity + 16];
  if (!OwnFolder(folder)) return kExitUninstallIncomplete;
  TextJoin(list, folder, "\\", kLinkListName);
  if (!IsFile(list)) return kExitComplete;  // not an installation: nothing to remove
  char self[kTextCapacity];
  if (!OwnProgramPath(self, kTextCapacity)) return kExitUninstallIncomplete;
  char temp[kTextCapacity + 16];
  if (!NewTemporaryFolder(temp)) return kExitUninstallIncomplete;
  char copy[kTextCapacity + 32];
  TextJoin(copy, temp, kProgramFileName, nullptr);
  if (CopyFileA(self, copy, TRUE)) {
    // Held with writers and deleters denied from its check until it runs:
    // what is checked is what starts.
    TSimpleFile held(copy, kReadPlain);
    if (held.IsOpen() && SameContent(self, copy) && StartSecondStage(copy, folder)) return kExitComplete;
  }
  DeleteFileA(copy);
  RemoveDirectoryA(temp);
  return kExitUninstallIncomplete;
}

// Deletes every file directly in the folder; true when none was left. The
// listing and the deletion use the system's own (wide) names: an ANSI
// listing turns names the code page lacks into look-alikes ("．．＼" into
// "..\"), and deleting those would reach outside the folder.
bool DeleteFolderFiles(const char* folder) {
  WCHAR pattern[kTextCapacity + 8];
  int length = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, folder, -1, pattern, kTextCapacity);
  if (length <= 0) return false;
  --length;  // without the terminator
  pattern[length] = L'*';
  pattern[length + 1] = 0;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return true;
  bool all = true;
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    WCHAR path[2 * kTextCapacity + 8];
    int name = lstrlenW(found.cFileName);
    if (name <= 0 || length + name >= 2 * kTextCapacity) continue;
    memcpy(path, pattern, sizeof(WCHAR) * static_cast<size_t>(length));
    memcpy(path + length, found.cFileName, sizeof(WCHAR) * static_cast<size_t>(name + 1));
    if (!DeleteFileW(path)) all = false;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  return all;
}

void RemoveShortcuts() {
  int32_t count = ReadShortcutList();
  if (count == 0) return;
  char desktop[kTextCapacity], menu[kTextCapacity];
  ShortcutFolders(desktop, menu);
  TSimpleStrings lines(reinterpret_cast<char*>(InflateBuffer), count);
  for (int32_t i = 0; i < lines.Count; ++i) {
    const char* line = lines.Items[i];
    // Compared as full paths: "..", '/' and the like are resolved first. A
    // share is never even looked at.
    char full[kTextCapacity];
    if (!IsShortcutLine(line) || (line[0] == '\\' && line[1] == '\\')) continue;
    DWORD n = GetFullPathNameA(line, kTextCapacity, full, nullptr);
    if (n == 0 || n >= kTextCapacity) continue;
    if (MayRemoveShortcut(line, full, desktop, menu)) DeleteFileA(full);
  }
}

// The first stage's copy and its folder go at the next start of the system.
void ScheduleCopyRemoval(const char* temp, bool known) {
  char self[kTextCapacity];
  if (!known || !OwnProgramPath(self, kTextCapacity)) return;
  char* slash = TextFindLast(self, '\\');
  int32_t tempLength = TextLength(temp);
  if (!slash || slash - self <= tempLength || !TextEqualsN(self, temp, tempLength) ||
      !TextStartsWith(self + tempLength, kCopyFolderPrefix) || TextFindFirst(self + tempLength, '\\') != slash)
    return;
  MoveFileExA(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  *slash = 0;
  MoveFileExA(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
}

// The installed apps' entries are kept in the 32-bit view, whichever build
// writes them.
constexpr REGSAM kEntryView = KEY_WOW64_32KEY;

// The folder's own entry, or none at all, has the name: another folder's has
// not.
bool EntryOurs(const char* name, bool absent) {
  HKEY key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, name, 0, KEY_QUERY_VALUE | kEntryView, &key) != ERROR_SUCCESS) return absent;
  char location[kTextCapacity], folder[kTextCapacity];
  DWORD size = sizeof location;
  bool ours = RegGetValueA(key, nullptr, "InstallLocation", RRF_RT_REG_SZ, nullptr, location, &size) == ERROR_SUCCESS &&
              SameFileName(location, TextCopyFolder(folder, Settings.InstallDir));
  RegCloseKey(key);
  return ours;
}

void RemoveEntries() {
  char name[kEntryKeyCapacity];
  for (int tagged = 0; tagged < 2; ++tagged)
    if (EntryKeyName(name, Settings.InstallDir, tagged != 0) && EntryOurs(name, false))
      RegDeleteKeyExA(HKEY_LOCAL_MACHINE, name, kEntryView, 0);
}

int32_t SecondStage() {
  // Only a full folder on a drive, not a drive's root, reached through plain
  // folders, that holds the program's own files.
  if (!IsDrivePath(Settings.InstallDir) || IsRootFolder(Settings.InstallDir)) return kExitUninstallIncomplete;
  int n = TextLength(Settings.InstallDir);
  if (Settings.InstallDir[n - 1] != '\\' && n >= kTextCapacity - 1) return kExitUninstallIncomplete;
  TextEnsureBackslash(Settings.InstallDir);
  if (!PlainFolders(Settings.InstallDir)) return kExitUninstallIncomplete;
  char own[kTextCapacity + 16], program[kTextCapacity + 16];
  if (!IsFile(MakeInstallPath(own, kLinkListName)) && !IsFile(MakeInstallPath(program, kProgramFileName)))
    return kExitUninstallIncomplete;
  // Its current folder moves out of the installation: a folder that is some
  // process's current folder cannot be removed.
  char temp[kTextCapacity];
  bool known = TemporaryFolder(temp);
  if (known) SetCurrentDirectoryA(temp);
  RemoveShortcuts();
  // Pinned, a plain folder, from here to its removal: nobody puts a link in
  // its place between the rounds (the cloud folder is its users' to change).
  bool emptied = false;
  {
    TPinnedFolders held(Settings.InstallDir, own);
    if (!held.Held() || !PlainFolders(Settings.InstallDir)) return kExitUninstallIncomplete;
    // The first stage may still be ending: its program file frees a moment
    // after it started this copy.
    for (int round = 0; round < 20 && !(emptied = DeleteFolderFiles(Settings.InstallDir)); ++round) Sleep(100);
  }
  // A link put in its place after this would go, not what it points to.
  char folder[kTextCapacity];
  TextCopyFolder(folder, Settings.InstallDir);
  int32_t result = emptied && RemoveDirectoryA(folder) ? kExitComplete : kExitUninstallIncomplete;
  // Its uninstaller went with the files: an entry left would name nothing,
  // even where folders below it stay.
  if (emptied) RemoveEntries();
  ScheduleCopyRemoval(temp, known);
  // The cloud folder's uninstaller beside it, and its folder, go at the next
  // start of the system as well.
  char beside[kTextCapacity], self[kTextCapacity];
  if (UninstallerBeside(beside, Settings.InstallDir) && OwnProgramPath(self, kTextCapacity) &&
      SameFileName(self, beside)) {
    MoveFileExA(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    *TextFindLast(self, '\\') = 0;
    MoveFileExA(self, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
  return result;
}

}  // namespace

void Uninstall() { ExitProcess(static_cast<UINT>(Settings.InstallDir[0] == 0 ? FirstStage() : SecondStage())); }

namespace {

void SetText(HKEY key, const char* name, const char* text) {
  RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), static_cast<DWORD>(TextLength(text) + 1));
}

void SetNumber(HKEY key, const char* name, DWORD value) {
  RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

}  // namespace

void RegisterInstallation(const char* uninstaller, const char* arguments) {
  char name[kEntryKeyCapacity];
  HKEY key;
  // A step the end of the run waits for: never left half-written.
  TCommitHold commit;
  // Made anew, under the folder's name unless another folder's entry has
  // it: nothing of an earlier version's entry stays.
  RemoveEntries();
  bool named = EntryKeyName(name, Settings.InstallDir, false) &&
               (EntryOurs(name, true) || EntryKeyName(name, Settings.InstallDir, true));
  if (!named || RegCreateKeyExA(HKEY_LOCAL_MACHINE, name, 0, nullptr, 0, KEY_SET_VALUE | kEntryView, nullptr, &key,
                                nullptr) != ERROR_SUCCESS) {
    LogLine("no entry among the installed apps for ", Settings.InstallDir);
    return;
  }
  char text[2 * kTextCapacity + 64];
  SetText(key, "DisplayName", Settings.LinkName);
  // The list's own version, or its serial.
  *TextFromInt(text, ManifestOutcome.Serial) = 0;
  if (ListVersion[0] || ManifestOutcome.Serial) SetText(key, "DisplayVersion", ListVersion[0] ? ListVersion : text);
  SetText(key, "Publisher", "Velorin");
  SetText(key, "InstallLocation", TextCopyFolder(text, Settings.InstallDir));
  SetText(key, "DisplayIcon", MakeInstallPath(text, kClientFileName));
  TextJoin(text, "\"", uninstaller, "\" ");
  TextAppend(text, arguments, nullptr);
  SetText(key, "UninstallString", text);
  SetText(key, "QuietUninstallString", TextAppend(text, " silent", nullptr));
  uint64_t kib = (ListedBytes + 1023) >> 10;
  SetNumber(key, "EstimatedSize", kib > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(kib));
  SetNumber(key, "NoModify", 1);
  SetNumber(key, "NoRepair", 1);
  RegCloseKey(key);
}
