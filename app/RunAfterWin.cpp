#include <windows.h>
#include <exdisp.h>
#include <shellapi.h>
#include <shldisp.h>
#include <shlobj.h>

#include <cstring>

#include "app/RunAfter.h"
#include "config/InstallDir.h"
#include "config/Settings.h"
#include "install/Shortcuts.h"
#include "manifest/Manifest.h"
#include "support/ComRef.h"
#include "support/Crypto.h"
#include "support/Log.h"
#include "support/TextUtil.h"
#include "support/TinyLib.h"

namespace {

// The program's full path, a relative name taken inside the installation
// folder; false when the path does not fit, or for a relative name without
// a folder: never the current folder's file.
bool FullProgramPath(const char* program, char* full) {
  char joined[kTextCapacity + kTextCapacity];
  bool relative = IsRelativeProgram(program);
  if ((relative && !Settings.InstallDir[0]) ||
      (!relative && !IsDrivePath(program) && !(program[0] == '\\' && program[1] == '\\')))
    return false;
  if (relative)
    MakeInstallPath(joined, program);
  else
    TextCopy(joined, program);
  DWORD n = GetFullPathNameA(joined, kTextCapacity, full, nullptr);
  return n > 0 && n < kTextCapacity;
}

bool Elevated() {
  HANDLE token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return true;
  TOKEN_ELEVATION elevation = {};
  DWORD size = 0;
  bool elevated = !GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) ||
                  elevation.TokenIsElevated != 0;
  CloseHandle(token);
  return elevated;
}

// The quoted program (the client's path at the most), a blank and arguments.
constexpr int kCommandLineCapacity = kTextCapacity + kNameCapacity + 3 + kArgumentsCapacity;

// The start's texts, as the shell's interfaces take them.
struct TWideStart {
  WCHAR Program[kTextCapacity + kNameCapacity];
  WCHAR Arguments[kTextCapacity];
  WCHAR Folder[kTextCapacity];
  WCHAR CommandLine[kCommandLineCapacity];
};

bool Widen(const char* text, WCHAR* wide, int32_t capacity) {
  return MultiByteToWideChar(CP_ACP, 0, text, -1, wide, capacity) > 0;
}

class TBstr {
 public:
  explicit TBstr(const WCHAR* text) : Text(SysAllocString(text)) {}
  ~TBstr() { SysFreeString(Text); }
  TBstr(const TBstr&) = delete;
  TBstr& operator=(const TBstr&) = delete;
  BSTR Text;
};

VARIANT TextVariant(BSTR text) {
  VARIANT v = {};
  v.vt = VT_BSTR;
  v.bstrVal = text;
  return v;
}

// Through the desktop's own shell: its folder view's application object
// opens the program as the shell would, in the shell's process, with the
// desktop user's token.
bool StartThroughShell(const TWideStart& start) {
  TComRef<IShellWindows> windows;
  if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows, windows.Out())))
    return false;
  VARIANT none = {};
  long window = 0;
  TComRef<IDispatch> desktop;
  if (windows.Ptr->FindWindowSW(&none, &none, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, &desktop.Ptr) != S_OK ||
      !desktop.Ptr)
    return false;
  TComRef<IServiceProvider> provider;
  TComRef<IShellBrowser> browser;
  TComRef<IShellView> view;
  TComRef<IDispatch> background;
  TComRef<IShellFolderViewDual> folderView;
  TComRef<IDispatch> application;
  TComRef<IShellDispatch2> shell;
  if (FAILED(desktop.Ptr->QueryInterface(IID_IServiceProvider, provider.Out())) ||
      FAILED(provider.Ptr->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.Out())) ||
      FAILED(browser.Ptr->QueryActiveShellView(&view.Ptr)) ||
      FAILED(view.Ptr->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.Out())) ||
      FAILED(background.Ptr->QueryInterface(IID_IShellFolderViewDual, folderView.Out())) ||
      FAILED(folderView.Ptr->get_Application(&application.Ptr)) ||
      FAILED(application.Ptr->QueryInterface(IID_IShellDispatch2, shell.Out())))
    return false;
  TBstr program(start.Program), arguments(start.Arguments), folder(start.Folder), verb(L"open");
  VARIANT show = {};
  show.vt = VT_I4;
  show.lVal = SW_SHOWNORMAL;
  return SUCCEEDED(shell.Ptr->ShellExecute(program.Text, TextVariant(arguments.Text), TextVariant(folder.Text),
                                           TextVariant(verb.Text), show));
}

// With the token of the desktop shell's process: elevated only where the
// desktop itself is.
bool StartWithShellToken(TWideStart& start) {
  HWND shellWindow = GetShellWindow();
  DWORD id = 0;
  if (!shellWindow || !GetWindowThreadProcessId(shellWindow, &id)) return false;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (!process) return false;
  HANDLE token = nullptr, primary = nullptr;
  bool started = false;
  if (OpenProcessToken(process, TOKEN_DUPLICATE, &token) &&
      DuplicateTokenEx(
          token, TOKEN_QUERY | TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_ADJUST_DEFAULT | TOKEN_ADJUST_SESSIONID,
          nullptr, SecurityImpersonation, TokenPrimary, &primary)) {
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started_ = {};
    if (CreateProcessWithTokenW(primary, 0, start.Program, start.CommandLine, 0, nullptr, start.Folder, &startup,
                                &started_)) {
      CloseHandle(started_.hThread);
      CloseHandle(started_.hProcess);
      started = true;
    }
  }
  if (primary) CloseHandle(primary);
  if (token) CloseHandle(token);
  CloseHandle(process);
  return started;
}

// As the program runs, where it has no elevation to drop.
bool StartDirectly(const char* program, const char* arguments, const char* folder, bool silent) {
  SHELLEXECUTEINFOA run = {};
  run.cbSize = sizeof run;
  run.fMask = silent ? SEE_MASK_FLAG_NO_UI : 0;
  run.lpVerb = "open";
  run.lpFile = program;
  run.lpParameters = arguments;
  run.lpDirectory = folder;
  run.nShow = SW_SHOWNORMAL;
  return ShellExecuteExA(&run) != FALSE;
}

// True when the file is the one its signed line names; read with writers
// shut out, which the caller keeps until the program has started.
bool HoldsSignedContent(TSimpleFile& file) {
  uint8_t digest[kDigestSize];
  return WatchedLine.Size >= 0 && WatchedLine.HasHash && Sha256OfOpenFile(file, digest) &&
         memcmp(digest, WatchedLine.Sha256, kDigestSize) == 0;
}

}  // namespace

void WatchRunAfterProgram() {
  WatchedName[0] = 0;
  if (TextEquals(Settings.RunAfter, "link")) {
    TextCopy(WatchedName, kClientFileName);
    return;
  }
  char program[kTextCapacity], full[kTextCapacity];
  const char* arguments;
  if (SplitRunAfter(Settings.RunAfter, program, kTextCapacity, &arguments) != kRunCommand ||
      !FullProgramPath(program, full))
    return;
  if (const char* inside = InsideFolder(full, Settings.InstallDir)) TextCopyMax(WatchedName, inside, kTextCapacity);
}

void StartRunAfter(const char* command, bool silent, bool keysBuiltIn) {
  char program[kTextCapacity], full[kTextCapacity];
  const char* arguments;
  TRunAfterKind kind = SplitRunAfter(command, program, kTextCapacity, &arguments);
  if (kind == kRunNothing) return;
  bool relative = IsRelativeProgram(program);
  bool found = FullProgramPath(program, full) && GetFileAttributesA(full) != INVALID_FILE_ATTRIBUTES;
  // A full name is a drive's or a share's ("C:x.exe" would be the current
  // folder's), and there: the shell would show a box for one that is not. A
  // relative name that the folder does not hold goes to the shell's own
  // lookup, never to the folder the setup program was started from; with
  // keys, not even there: the shell would also take the folder's Corvane.com
  // for "Corvane", unchecked.
  if (!found && (!relative || keysBuiltIn)) {
    LogLine("run-after: ", program, " not started: there is no such program to check");
    return;
  }
  const char* started = found ? full : program;
  char client[kTextCapacity + kNameCapacity];
  const char* checked = kind == kRunShortcut ? MakeInstallPath(client, kClientFileName) : started;
  bool check = keysBuiltIn && InsideFolder(checked, Settings.InstallDir);
  TSimpleFile held(check ? checked : "", kReadPlain);
  if (check && !HoldsSignedContent(held)) {
    LogLine("run-after: ", checked, " not started: it is not the file its signed line names");
    return;
  }

  // Without an installation folder, the program's own.
  char folder[kTextCapacity];
  TextCopyFolder(folder, Settings.InstallDir);
  if (!folder[0] && started == full) {
    TextCopy(folder, full);
    if (char* slash = TextFindLast(folder, '\\')) *slash = 0;
  }
  const char* how = nullptr;
  if (!Elevated()) {
    if (StartDirectly(started, arguments, folder, silent)) how = " as the program runs";
  } else {
    TWideStart wide = {};
    // The token's start takes no shortcut: it starts what the shortcut would.
    char shortcutArguments[kArgumentsCapacity];
    const char* tokenProgram = kind == kRunShortcut ? client : started;
    const char* tokenArguments = kind == kRunShortcut ? ClientArguments(shortcutArguments) : arguments;
    char commandLine[kCommandLineCapacity];
    char* p = TextPutChar(TextCopy(TextPutChar(commandLine, '"'), tokenProgram), '"');
    TextCopyMax(TextPutChar(p, ' '), tokenArguments, kArgumentsCapacity);
    HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // Nothing the shell's process hands back is unmarshalled by code of its
    // choosing in this one.
    bool secured = SUCCEEDED(CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_DEFAULT,
                                                  RPC_C_IMP_LEVEL_IDENTIFY, nullptr,
                                                  EOAC_NO_CUSTOM_MARSHAL | EOAC_DISABLE_AAA, nullptr));
    bool widened = Widen(folder, wide.Folder, kTextCapacity);
    if (secured && widened && Widen(started, wide.Program, kTextCapacity) &&
        Widen(arguments, wide.Arguments, kTextCapacity) && StartThroughShell(wide)) {
      how = " through the desktop's shell";
    } else if (widened && (found || kind == kRunShortcut) &&
               Widen(tokenProgram, wide.Program, kTextCapacity + kNameCapacity) &&
               Widen(commandLine, wide.CommandLine, kCommandLineCapacity) && StartWithShellToken(wide)) {
      how = " with the desktop shell's token";
    }
    if (com == S_OK || com == S_FALSE) CoUninitialize();
  }
  if (how)
    LogLine("run-after: started ", started, how);
  else
    LogLine("run-after: ", started, " not started: no desktop shell could start it as the desktop's user");
}
