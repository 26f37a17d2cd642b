// The session: the thread registry and its lock, the status window, the
// install pass and the end of the run.
#pragma once
#include <winsock2.h>
#include <windows.h>

#include <cstdint>

#include "app/Lock.h"

constexpr int kThreadSlots = 16;

struct TThreadRegistry {
  HANDLE Threads[kThreadSlots];  // 0 marks a free slot; slots are never reused
  volatile uint8_t StopRequested;
  CRITICAL_SECTION SharedLock;
};

extern TThreadRegistry ThreadRegistry;
extern HWND MainWnd;

// Runs routine(parameter) on a new thread in the lowest free slot. False when
// every slot is taken (nothing started).
bool StartThread(LPTHREAD_START_ROUTINE routine, void* parameter);
void StopThreads();

void InitSession();
void RunSession();
void DoneSession();
DWORD WINAPI WorkerPass(void* parameter);
LRESULT CALLBACK StatusWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
void OnDestroy();
// Registers the class and creates the hidden status window.
void CreateStatusWindow();
void PaintStatus(HWND window);
