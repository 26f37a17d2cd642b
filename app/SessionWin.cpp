#include <winsock2.h>
#include <objbase.h>

#include "app/Progress.h"
#include "app/RunAfter.h"
#include "app/Session.h"
#include "app/StatusWindow.h"
#include "config/BuiltIn.h"
#include "config/CommandLine.h"
#include "config/InstallDir.h"
#include "config/Settings.h"
#include "install/Access.h"
#include "install/Commit.h"
#include "install/Shortcuts.h"
#include "install/Uninstall.h"
#include "manifest/Manifest.h"
#include "manifest/Signature.h"
#include "manifest/Sites.h"
#include "support/Crypto.h"
#include "support/Log.h"
#include "support/TextUtil.h"
#include "support/Threads.h"
#include "support/TinyLib.h"
#include "transfer/Internet.h"
#include "transfer/ManifestFetch.h"
#include "transfer/Mirror.h"
#include "transfer/PartFile.h"
#include "transfer/Server.h"

namespace {

WSADATA socketLayer;
// Who ends the run: the first to claim it. The other never ends the process
// itself.
constexpr LONG kEndedBySession = 1;
constexpr LONG kEndedByLimit = 2;
volatile LONG ender;

// True when the session may end the run; never returns when the limit's
// watch does (it ends the process).
bool SessionEnds() {
  LONG prior = InterlockedCompareExchange(&ender, kEndedBySession, 0);
  if (prior == kEndedByLimit) Sleep(INFINITE);
  return prior == 0;
}
// The pass ran to its end: every step, shortcuts included, is done.
volatile LONG passCompleted;
volatile LONG passStarted;
volatile LONG exitCode = kExitComplete;
// Selected files that arrived but were not put in place.
volatile LONG uncommitted;

// A message box, unless the run is silent.
void Tell(const char* text, UINT kind) {
  if (!Settings.Silent) MessageBoxA(nullptr, text, nullptr, MB_OK | kind);
}

// A pass that ends short says why in the line as well, while its box shows.
void TellEnd(const char* text, UINT kind) {
  ShowEnd(text);
  UpdateProgress(-1);
  Tell(text, kind);
}

constexpr int32_t kReconnects = 3;

// After about 1, 2 and 4 s, with up to half a second more at random so that
// many clients a server dropped do not come back at once.
void Reconnect(int32_t attempt) {
  uint8_t random = 0;
  RandomBytes(&random, 1);
  uint32_t wait = (1000u << attempt) + random * 2u;
  for (uint32_t waited = 0; waited < wait; waited += 100) {
    CheckStop();
    Sleep(100);
  }
  char number[8];
  TextFromInt(number, static_cast<uint32_t>(attempt + 1));
  bool back = ConnectServer() == 0;
  LogLine("reconnect ", number, " to ", Settings.Host, back ? ": connected" : ": ", back ? "" : SocketError());
}

// The entries of the table not fetched.
int32_t PendingFiles() {
  int32_t pending = 0;
  for (int32_t i = 0; i < FileCount; ++i)
    if (FileTable[i].State != kDone) ++pending;
  return pending;
}

// The end of a run, in steps: the workers stop, the run-after command
// starts, the end line is written, what the session holds is freed.

// True when every thread ended in time.
bool StopWorkers() {
  StopThreads();
  // A worker blocked in a receive wakes when the socket closes (a shutdown
  // alone does not wake it everywhere); it then finds no connection.
  DropConnection();
  return ThreadsEnded(2000);
}

void WriteEndLine() {
  char code[16];
  TextFromInt(code, static_cast<uint32_t>(SessionExitCode()));
  LogLine("end: exit code ", code);
}

// Only once no thread can use any of it.
void ReleaseSession() {
  DoneThreads();
  ReleaseStaging();
  ResetManifest();
  ReleaseTransferBuffers();
  WSACleanup();
}

void DoneSession() {
  if (!SessionEnds()) return;
  bool ended = StopWorkers();
  // Read only once the workers can no longer change the table.
  // Nothing of a refused folder either: what is in it could be anyone's.
  bool verified =
      ended && exitCode != kExitRefused &&
      InstallationVerified(KeysBuiltIn(), passCompleted, ManifestOutcome.Verdict, PendingFiles() + uncommitted);
  bool keys = KeysBuiltIn();
  if (StartsRunAfter(Settings.RunAfter, ended, verified, !keys && Settings.CloudMode == kCloudPreset))
    StartRunAfter(Settings.RunAfter, Settings.Silent, keys);
  // A worker still busy may be in the commit: it finishes its step first,
  // and starts no other.
  if (!ended) HoldCommitFor(30000);
  WriteEndLine();
  if (ended) ReleaseSession();  // still in use: the end of the process releases it all
}

DWORD WINAPI WorkerPass(void* parameter);

// A silent run's limit, on a thread of its own outside the registry: no
// step of the run, however it is held (a server that answers a byte at a
// time, a connection that never opens), keeps a deployment tool waiting past
// it. It touches nothing the session frees.
DWORD WINAPI Watch(void* limit) {
  uint32_t ms = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(limit));
  Sleep(ms);
  if (InterlockedCompareExchange(&ender, kEndedByLimit, 0) != 0) return 0;  // ending anyway
  // A step that replaces files finishes first; a new one never starts.
  HoldCommitFor(30000);
  char seconds[16];
  TextFromInt(seconds, ms / 1000);
  LogLine("the run's time limit of ", seconds, " s passed");
  exitCode = kExitIncomplete;
  WriteEndLine();
  // Files in transfer stay for the next run, which goes on with them. No
  // detach code of the system's libraries runs in threads cut off mid-call.
  TerminateProcess(GetCurrentProcess(), kExitIncomplete);
  return 0;
}

}  // namespace

void InitSession() {
  // Loaded here, before any thread: the workers only use them.
  LoadWinInet();
  LoadCrypto();
  LoadKeys();
  InitPartFiles();
  SetStopCleanup(DiscardThreadPart);
  WSAStartup(0x0202, &socketLayer);
  InitTransferBuffers();
  InitThreads();
}

void RunSession() {
  int32_t count = ParseCommandLine();
  // silent and log= alone leave a copy configured by its resource or its name.
  if (TakesBuiltInSettings(count, Settings.Silent, Settings.LogPath[0] != 0, Settings.TimeoutSeconds >= 0))
    LoadBuiltInSettings();
  // Nobody watching: no system box for a drive without its medium either.
  if (Settings.Silent) SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
  ExpandInstallDir();
  WatchRunAfterProgram();
  // Never written through a link in its folders either; made full first, so
  // that the check sees every folder the path reaches.
  char logPath[kTextCapacity];
  DWORD full = Settings.LogPath[0] ? GetFullPathNameA(Settings.LogPath, kTextCapacity, logPath, nullptr) : 0;
  if (full > 0 && full < kTextCapacity && PlainFolders(logPath) && OpenLog(logPath))
    LogLine("start: settings from ", SettingsSource(count, Settings.ResourceFound), "; folder ", Settings.InstallDir);
  if (uint32_t limit = RunLimitMs(Settings.Silent, Settings.TimeoutSeconds)) {
    HANDLE watch = CreateThread(nullptr, 0, Watch, reinterpret_cast<void*>(static_cast<uintptr_t>(limit)), 0, nullptr);
    if (watch) CloseHandle(watch);
  }
  if (Settings.ManifestUrl[0] == 0 && Settings.Host[0] != 0 && ConnectServer() != 0) {
    LogLine("server ", Settings.Host, " unavailable: ", SocketError());
    Tell("Server Unavailable", 0);
    if (!SessionEnds()) return;
    exitCode = kExitServerUnavailable;
    WriteEndLine();
    CloseLog();
    return;
  }
  if (!MainWnd || Settings.Silent) {
    // Without a window no destroy notification can come: run the pass here
    // and end the session as the notification would.
    if (Settings.InstallDir[0]) WorkerPass(nullptr);
    DoneSession();
    return;
  }
  ShowWindow(MainWnd, SW_SHOWNORMAL);
  if (Settings.InstallDir[0]) StartThread(WorkerPass, nullptr);
  MSG message;
  // The dialog keys: Enter and Escape reach the Cancel button.
  while (GetMessageA(&message, nullptr, 0, 0) > 0)
    if (!IsDialogMessageA(MainWnd, &message)) DispatchMessageA(&message);
}

namespace {

// The pass ends before it fetched anything, and says why.
DWORD EndEarly(const char* why, int32_t code, uint32_t icon) {
  LogLine(why);
  exitCode = code;
  InterlockedExchange(&passCompleted, 1);  // a window closed meanwhile does not change the outcome
  TellEnd(why, icon);
  if (MainWnd && !Settings.Silent) PostMessageA(MainWnd, WM_DESTROY, 0, 0);
  return 0;
}

DWORD EndRefused(const char* why) { return EndEarly(why, kExitRefused, 0); }

// What the finalizing phase is doing, in the detail line.
void Step(const char* what) {
  TransferStats.Step = what;
  UpdateProgress(-1);
}

// What `needed` bytes lack on the installation's volume beyond its free
// space; 0 when they fit or the system cannot say.
int64_t MissingDiskSpace(int64_t needed) {
  ULARGE_INTEGER available;
  if (needed == 0 || !GetDiskFreeSpaceExA(Settings.InstallDir, &available, nullptr, nullptr)) return 0;
  int64_t free = available.QuadPart > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : available.QuadPart;
  return needed > free ? needed - free : 0;
}

DWORD WINAPI WorkerPass(void*) {
  InterlockedExchange(&passStarted, 1);
  TransferStats.Phase = kPhaseInitializing;
  UpdateProgress(-1);
  // Nothing is written in a folder that ordinary users could change or
  // replace, nor made, nor opened to every user, through a junction or a
  // link. A folder someone else made meanwhile is judged as well.
  bool cloud = Settings.CloudMode == kCloudPreset;
  char failed[kTextCapacity + 64];
  TFolderVerdict folder = TrustedFolders(Settings.InstallDir, cloud, failed);
  if (folder == kFolderTrusted && PlainFolders(Settings.InstallDir)) {
    ForceAdminFolders(Settings.InstallDir);
    folder = TrustedFolders(Settings.InstallDir, cloud, failed);
  }
  if (folder != kFolderTrusted) {
    char refusal[kTextCapacity + 160];
    return EndRefused(FolderRefusalText(refusal, folder, failed));
  }
  // A commit a crash cut short is finished before anything else: the old
  // files it set aside are then no longer needed.
  char why[kTextCapacity + 160];
  if (!FinishJournal(why)) return EndEarly(why, kExitIncomplete, MB_ICONWARNING);
  RemoveAsideFiles();
  if (cloud) GrantUsersAccess();
  if (ServerSocket) SendTextMessage("#UPDVER");
  LoadManifest();
  if (VerdictRefuses(ManifestOutcome.Verdict)) return EndRefused(RefusalText(ManifestOutcome.Verdict));
  // What an earlier run fetched whole is not fetched again. The disk needs
  // room for the rest, less what files in transfer already hold, and for the
  // commit's journal, a line for each file; the old files the commit sets
  // aside are renamed, which takes no room.
  PrepareStaging(FileCount);
  int64_t needed = static_cast<int64_t>(FileCount) * kJournalLineCapacity;
  for (int32_t i = 0; i < FileCount; ++i) {
    int64_t left = FileTable[i].Size - TakeKeptPart(i);
    if (left > 0) needed += left;
  }
  // Nothing is fetched for an update the disk cannot hold.
  if (int64_t missing = MissingDiskSpace(needed)) {
    return EndEarly(DiskSpaceText(why, missing, Settings.InstallDir), kExitIncomplete, MB_ICONWARNING);
  }
  TransferStats.DownloadTick = GetTickCount();
  TransferStats.Phase = kPhaseDownloading;
  // Workers only for files to fetch; the pass looks at the progress five
  // times a second and goes on as soon as the last worker ends.
  if (SiteCount > 0 && FileCount > 0) {
    StartSiteWorkers();
    while (RunningWorkers != 0) {
      CheckStop();
      WaitForWake(200);
      UpdateProgress(SumWritten());
    }
  }
  // A connection that drops is opened again, at most kReconnects times in a
  // run; the file then goes on where it broke off.
  bool connected = ServerSocket != 0;
  int32_t reconnects = 0;
  for (int32_t i = 0; i < FileCount; ++i) {
    while (FileTable[i].State == kPending) {
      FetchFromServer(&FileTable[i]);
      if (FileTable[i].State == kDone || ServerSocket || !connected || reconnects == kReconnects) break;
      Reconnect(reconnects++);
    }
  }
  // A pass the user stopped ends here: no shortcuts, no uninstaller and no
  // list of shortcuts for an installation that was cut short.
  CheckStop();
  TransferStats.Phase = kPhaseFinalizing;
  UpdateProgress(-1);
  // Only a whole selection replaces what is installed; the commit keeps the
  // list's serial once it is decided.
  int32_t pending = PendingFiles();
  if (pending == 0) {
    Step("Replacing the installed files...");
    if (!CommitFiles(why)) uncommitted = FileCount;
  }
  ReleaseStaging();
  if (Settings.ShortcutsEnabled && PlainFolders(Settings.InstallDir)) {
    Step("Creating the shortcuts...");
    HRESULT com = CoInitialize(nullptr);
    CreateShortcuts();
    if (com == S_OK || com == S_FALSE) CoUninitialize();
  }
  exitCode = PassExitCode(ManifestOutcome, Settings.ManifestUrl[0] || Settings.Host[0], pending + uncommitted);
  // Found among the installed apps once it is whole.
  if (exitCode == kExitComplete && Settings.ShortcutsEnabled && UninstallerCopy[0])
    RegisterInstallation(UninstallerCopy, UninstallerArguments);
  if (ManifestOutcome.Cut && pending == 0)
    TellEnd("Installation incomplete: the file list is longer than can be read.", MB_ICONWARNING);
  if (uncommitted) TellEnd(why, MB_ICONWARNING);
  if (pending > 0) {
    // Said, not hidden: the user, and whatever ran the program, learn it.
    char text[96];
    IncompleteText(text, pending);
    LogLine(text);
    TellEnd(text, MB_ICONWARNING);
  }
  InterlockedExchange(&passCompleted, 1);
  if (MainWnd && !Settings.Silent) PostMessageA(MainWnd, WM_DESTROY, 0, 0);
  return 0;
}

}  // namespace

int32_t SessionExitCode() {
  // A pass the user stopped did not complete.
  if (passStarted && !passCompleted) return kExitIncomplete;
  return exitCode;
}

void OnDestroy() {
  DoneSession();
  PostQuitMessage(0);
}
