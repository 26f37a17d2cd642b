#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "config/InstallDir.h"
#include "config/Settings.h"
#include "config/ShellFolder.h"
#include "install/Access.h"
#include "install/Shortcuts.h"
#include "install/Uninstall.h"
#include "manifest/Manifest.h"
#include "support/ComRef.h"
#include "support/Log.h"
#include "support/TextUtil.h"
#include "support/Threads.h"
#include "support/TinyLib.h"
#include "transfer/Server.h"

namespace {

const CLSID kShellLinkClass = {0x00021401, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kUnknown = {0x00000000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kShellLinkA = {0x000214EE, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kPersistFile = {0x0000010B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

bool CreateShellLink(TComRef<IShellLinkA>& link, const char* program, const char* arguments) {
  TComRef<IUnknown> object;
  if (FAILED(CoCreateInstance(kShellLinkClass, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, kUnknown,
                              object.Out())))
    return false;
  if (FAILED(object.Ptr->QueryInterface(kShellLinkA, link.Out()))) return false;
  char path[kTextCapacity + kTextCapacity];
  // A program outside the folder (the cloud folder's uninstaller) starts in
  // its own folder.
  if (IsDrivePath(program)) {
    link.Ptr->SetPath(program);
    TextCopy(path, program);
    if (char* slash = TextFindLast(path, '\\')) *slash = 0;
  } else {
    link.Ptr->SetPath(MakeInstallPath(path, program));
    TextCopyFolder(path, Settings.InstallDir);
  }
  link.Ptr->SetWorkingDirectory(path);
  link.Ptr->SetArguments(arguments);
  return true;
}

bool SaveShellLink(IShellLinkA* link, const char* path) {
  WCHAR wide[kTextCapacity];
  if (!MultiByteToWideChar(CP_ACP, 0, path, TextLength(path) + 1, wide, kTextCapacity)) return false;
  TComRef<IPersistFile> file;
  if (FAILED(link->QueryInterface(kPersistFile, file.Out()))) return false;
  return SUCCEEDED(file.Ptr->Save(wide, TRUE));
}

// Made for the administrators (where missing) and found to be theirs: the
// folder of the file at path.
bool AdminFolderFor(char* path) {
  ForceAdminFolders(path);
  char folder[kTextCapacity + 64], failed[kTextCapacity + 64];
  TextCopy(folder, path);
  char* slash = TextFindLast(folder, '\\');
  if (!slash) return false;
  slash[1] = 0;
  return GetFileAttributesA(folder) != INVALID_FILE_ATTRIBUTES && PlainFolders(folder) &&
         TrustedFolders(folder, false, failed) == kFolderTrusted;
}

}  // namespace

bool CreateShortcut(char* folder, const char* program, const char* arguments, const char* linkName,
                    const TSimpleStrings& ours) {
  if (!AppendPathName(folder, linkName, ".lnk", kTextCapacity)) return false;
  // Another program's shortcut of the same name stays as it is.
  if (GetFileAttributesA(folder) != INVALID_FILE_ATTRIBUTES && !ListsPath(ours, folder)) return false;
  TComRef<IShellLinkA> link;
  return CreateShellLink(link, program, arguments) && SaveShellLink(link.Ptr, folder);
}

int32_t ReadShortcutList() {
  char list[kTextCapacity + 16];
  int32_t n = InflateBuffer ? ReadFileText(MakeInstallPath(list, kLinkListName), InflateBuffer) : 0;
  // The read's extra byte tells a longer text; the buffer keeps room behind the limit.
  return n < 0 ? 0 : n > kManifestLimit ? kManifestLimit : n;
}

void ShortcutFolders(char* desktop, char* menu) {
  if (!SpecialFolderPath(desktop, kCommonDesktop)) desktop[0] = 0;
  if (!SpecialFolderPath(menu, kCommonStartMenu) || !TextFits(menu, kStartMenuFolder, kTextCapacity))
    menu[0] = 0;
  else
    TextAppend(menu, kStartMenuFolder, nullptr);
}

char UninstallerCopy[kTextCapacity + 16];
char UninstallerArguments[16 + kTextCapacity];

void CreateShortcuts() {
  TCommitHold commit;
  // The shortcuts an earlier run made, read before the list is made anew.
  TSimpleStrings ours(reinterpret_cast<char*>(InflateBuffer), ReadShortcutList());
  char listPath[kTextCapacity + 16];
  TSimpleFile list(MakeInstallPath(listPath, kLinkListName), kMadeAnew);
  char arguments[kArgumentsCapacity];
  ClientArguments(arguments);
  char desktop[kTextCapacity], menu[kTextCapacity];
  ShortcutFolders(desktop, menu);
  char made[3][kTextCapacity];
  int32_t count = 0;

  TextCopy(made[count], desktop);
  if (desktop[0] && CreateShortcut(made[count], kClientFileName, arguments, Settings.LinkName, ours)) {
    if (TextEquals(Settings.RunAfter, "link")) TextCopy(Settings.RunAfter, made[count]);
    list.WriteLine(made[count++]);
  }

  if (menu[0]) {
    ForceAdminFolders(menu);
    TextCopy(made[count], menu);
    if (CreateShortcut(made[count], kClientFileName, arguments, Settings.LinkName, ours)) list.WriteLine(made[count++]);
  }

  // The running program itself, whatever name it was started by. Made anew,
  // as every file the program writes: a link at the name is not written
  // through.
  // The cloud folder's users may change what is in it: its uninstaller, which
  // an administrator starts elevated, goes to a folder of the
  // administrators' beside it, and starts on the folder by name.
  char* copy = UninstallerCopy;
  char* uninstall = UninstallerArguments;
  bool placed = true;
  TextCopy(uninstall, "uninstall");
  if (Settings.CloudMode == kCloudPreset) {
    char folder[kTextCapacity + 64];
    DeleteFileA(MakeInstallPath(copy, kProgramFileName));  // an earlier version's, in the users' folder
    placed = UninstallerBeside(copy, Settings.InstallDir) && AdminFolderFor(copy);
    TextJoin(uninstall, "\"uninstall:", TextCopyFolder(folder, Settings.InstallDir), "\"");
    if (!placed) LogLine("no uninstaller: no folder of the administrators' for it beside ", folder);
  } else {
    MakeInstallPath(copy, kProgramFileName);
  }
  char self[kTextCapacity];
  if (placed && OwnProgramPath(self, kTextCapacity) && !SameFileName(self, copy)) {
    DeleteFileA(copy);
    CopyFileA(self, copy, TRUE);
  }
  placed = placed && GetFileAttributesA(copy) != INVALID_FILE_ATTRIBUTES;
  if (!placed) copy[0] = 0;

  if (menu[0] && placed) {
    char name[16 + kNameCapacity];
    TextJoin(name, "Uninstall ", Settings.LinkName, nullptr);
    TextCopy(made[count], menu);
    if (CreateShortcut(made[count], copy, uninstall, name, ours)) list.WriteLine(made[count++]);
  }

  // What an earlier run made and this one did not make again (a name since
  // changed, a save that failed) stays the installation's, for the next run
  // and the uninstall.
  for (int32_t i = 0; i < ours.Count; ++i) {
    const char* line = ours.Items[i];
    bool again = false;
    for (int32_t k = 0; k < count; ++k) again = again || SameFileName(line, made[k]);
    if (again || !IsShortcutLine(line) || GetFileAttributesA(line) == INVALID_FILE_ATTRIBUTES) continue;
    // The cloud folder's own list is its users' to write, and such a shortcut
    // may start what they put in the folder: one not made again goes, where
    // the uninstall would remove it.
    if (Settings.CloudMode != kCloudPreset) {
      list.WriteLine(line);
      continue;
    }
    char full[kTextCapacity];
    DWORD n = GetFullPathNameA(line, kTextCapacity, full, nullptr);
    if (n > 0 && n < kTextCapacity && MayRemoveShortcut(line, full, desktop, menu)) DeleteFileA(full);
  }
}
