#include <windows.h>
#include <objbase.h>
#include <shlobj.h>

#include "config/InstallDir.h"
#include "config/Settings.h"
#include "config/ShellFolder.h"
#include "install/Shortcuts.h"
#include "support/TextUtil.h"
#include "support/TinyLib.h"

namespace {

// Releases a COM interface when it goes.
template <typename T>
class TComRef {
 public:
  TComRef() = default;
  ~TComRef() {
    if (Ptr) Ptr->Release();
  }
  TComRef(const TComRef&) = delete;
  TComRef& operator=(const TComRef&) = delete;
  T* Ptr = nullptr;
  void** Out() { return reinterpret_cast<void**>(&Ptr); }
};

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
  link.Ptr->SetPath(MakeInstallPath(path, program));
  char* end = TextCopy(path, Settings.InstallDir);
  if (end > path) end[-1] = 0;  // the working folder without its trailing backslash
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

}  // namespace

bool CreateShortcut(char* folder, const char* program, const char* arguments, const char* linkName) {
  TComRef<IShellLinkA> link;
  if (!CreateShellLink(link, program, arguments)) return false;
  if (!AppendPathName(folder, linkName, ".lnk", kTextCapacity)) return false;
  return SaveShellLink(link.Ptr, folder);
}

void CreateShortcuts() {
  char listPath[kTextCapacity + 16];
  TSimpleFile list(TextJoin(listPath, Settings.InstallDir, "linkfiles", nullptr), true);
  char arguments[kArgumentsCapacity];
  ClientArguments(arguments);

  char desktop[kTextCapacity];
  if (SpecialFolderPath(desktop, kCommonDesktop) &&
      CreateShortcut(desktop, "Corvane.exe", arguments, Settings.LinkName)) {
    if (TextEquals(Settings.RunAfter, "link")) TextCopy(Settings.RunAfter, desktop);
    list.WriteLine(desktop);
  }

  char menu[kTextCapacity];
  if (SpecialFolderPath(menu, kCommonStartMenu) && AppendPathName(menu, "Velorin", "\\", kTextCapacity)) {
    ForceFolders(menu, 0);
    char shortcut[kTextCapacity];
    TextCopy(shortcut, menu);
    if (CreateShortcut(shortcut, "Corvane.exe", arguments, Settings.LinkName)) list.WriteLine(shortcut);
  } else {
    menu[0] = 0;
  }

  // The running program itself, whatever name it was started by.
  char self[MAX_PATH];
  char copy[kTextCapacity + 16];
  DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
  if (n > 0 && n < MAX_PATH) CopyFileA(self, MakeInstallPath(copy, "Tovimar.exe"), FALSE);

  if (menu[0]) {
    char name[16 + kNameCapacity];
    TextJoin(name, "Uninstall ", Settings.LinkName, nullptr);
    char shortcut[kTextCapacity];
    TextCopy(shortcut, menu);
    if (CreateShortcut(shortcut, "Tovimar.exe", "uninstall", name)) list.WriteLine(shortcut);
  }
}
