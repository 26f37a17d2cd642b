#include "app/Session.h"

#include <objbase.h>
#include <shellapi.h>

#include <cstdlib>

#include "app/Progress.h"
#include "config/BuiltIn.h"
#include "config/Settings.h"
#include "install/Access.h"
#include "install/Shortcuts.h"
#include "manifest/Manifest.h"
#include "manifest/ManifestLoad.h"
#include "support/TinyLib.h"
#include "transfer/Mirror.h"
#include "transfer/PartFile.h"
#include "transfer/Server.h"
#include "transfer/Sites.h"
#include "transfer/WinInet.h"

TThreadRegistry ThreadRegistry;
HWND MainWnd;

namespace {

WSADATA socketLayer;
volatile LONG sessionEnded;

}  // namespace

bool StartThread(LPTHREAD_START_ROUTINE routine, void* parameter) {
  for (int i = 0; i < kThreadSlots; ++i) {
    if (ThreadRegistry.Threads[i] != nullptr) continue;
    HANDLE thread = CreateThread(nullptr, 0, routine, parameter, 0, nullptr);
    if (!thread) return false;
    ThreadRegistry.Threads[i] = thread;
    return true;
  }
  return false;
}

void StopThreads() { ThreadRegistry.StopRequested = 1; }

void CheckStop() {
  if (!ThreadRegistry.StopRequested) return;
  // The thread ends without unwinding: its half-written file goes first.
  DiscardThreadPart();
  ExitThread(0);
}

void EnterShared() { EnterCriticalSection(&ThreadRegistry.SharedLock); }
void LeaveShared() { LeaveCriticalSection(&ThreadRegistry.SharedLock); }

void LockedAdd(volatile int32_t& counter, int32_t delta) {
  EnterShared();
  counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(delta));
  LeaveShared();
}

void InitSession() {
  // Loaded here, before any thread: the workers only use it.
  LoadWinInet();
  InitPartFiles();
  WSAStartup(0x0202, &socketLayer);
  ChunkSize = 262144;
  ReceiveBuffer = static_cast<uint8_t*>(malloc(ChunkSize + 128));
  InflateBuffer = static_cast<uint8_t*>(malloc(ChunkSize + 128));
  InitializeCriticalSection(&ThreadRegistry.SharedLock);
}

void CreateStatusWindow() {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = StatusWndProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(1);
  windowClass.lpszClassName = "CN";
  RegisterClassA(&windowClass);
  MainWnd = CreateWindowExA(0, "CN", "Velorin Downloader", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 10, 340, 100,
                            nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
}

void RunSession() {
  int32_t count = ParseCommandLine();
  if (count <= 1) LoadBuiltInSettings();
  ExpandInstallDir();
  if (Settings.ManifestUrl[0] == 0 && Settings.Host[0] != 0 && ConnectServer() != 0) {
    MessageBoxA(nullptr, "Server Unavailable", nullptr, MB_OK);
    return;
  }
  if (!MainWnd) {
    // Without a window no destroy notification can come: run the pass here
    // and end the session as the notification would.
    if (Settings.InstallDir[0]) WorkerPass(nullptr);
    DoneSession();
    return;
  }
  ShowWindow(MainWnd, SW_SHOWNORMAL);
  if (Settings.InstallDir[0]) StartThread(WorkerPass, nullptr);
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
}

DWORD WINAPI WorkerPass(void*) {
  Stats.Phase = 0;
  UpdateProgress(-1);
  ForceFolders(Settings.InstallDir, 0);
  if (Settings.CloudMode == 2) GrantUsersAccess();
  if (ServerSocket) SendTextMessage("#UPDVER");
  LoadManifest();
  Stats.Phase = 1;
  if (SiteCount > 0) {
    StartSiteWorkers();
    do {
      CheckStop();
      Sleep(200);
      UpdateProgress(SumWritten());
    } while (RunningWorkers != 0);
  }
  for (int32_t i = 0; i < FileCount; ++i)
    if (FileTable[i].State == 0) FetchFromServer(&FileTable[i]);
  Stats.Phase = 2;
  UpdateProgress(-1);
  if (Settings.ShortcutsEnabled) {
    HRESULT com = CoInitialize(nullptr);
    CreateShortcuts();
    if (com == S_OK || com == S_FALSE) CoUninitialize();
  }
  if (MainWnd) PostMessageA(MainWnd, WM_DESTROY, 0, 0);
  return 0;
}

LRESULT CALLBACK StatusWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT)
    PaintStatus(window);
  else if (message == WM_DESTROY)
    OnDestroy();
  return DefWindowProcA(window, message, wParam, lParam);
}

void OnDestroy() {
  DoneSession();
  PostQuitMessage(0);
}

namespace {

// Waits a bounded time for every registered thread (the UI thread, which
// runs this, is never one of them).
bool ThreadsEnded(DWORD timeoutMs) {
  HANDLE waitFor[kThreadSlots];
  DWORD count = 0;
  for (int i = 0; i < kThreadSlots; ++i)
    if (ThreadRegistry.Threads[i]) waitFor[count++] = ThreadRegistry.Threads[i];
  if (count == 0) return true;
  return WaitForMultipleObjects(count, waitFor, TRUE, timeoutMs) < WAIT_OBJECT_0 + count;
}

}  // namespace

void DoneSession() {
  if (InterlockedExchange(&sessionEnded, 1) != 0) return;
  StopThreads();
  if (Settings.RunAfter[0]) ShellExecuteA(nullptr, "open", Settings.RunAfter, nullptr, nullptr, SW_SHOWNORMAL);
  // A worker blocked in a receive wakes when the socket closes (a shutdown
  // alone does not wake it everywhere); it then finds no connection.
  if (ServerSocket) {
    SOCKET connection = ServerSocket;
    ServerSocket = 0;
    closesocket(connection);
  }
  if (!ThreadsEnded(2000)) return;  // still in use: the end of the process releases it all
  DeleteCriticalSection(&ThreadRegistry.SharedLock);
  ResetManifest();
  free(InflateBuffer);
  InflateBuffer = nullptr;
  free(ReceiveBuffer);
  ReceiveBuffer = nullptr;
  WSACleanup();
}
