#include "support/Threads.h"

#include <windows.h>

namespace {

struct TThreadRegistry {
  HANDLE Threads[kThreadSlots];  // 0 marks a free slot
  volatile uint8_t StopRequested;
  CRITICAL_SECTION SharedLock;
  void (*StopCleanup)();
  HANDLE Wake;
};

TThreadRegistry ThreadRegistry;

// For the life of the process, ready before any code that commits runs.
struct TCommitLock {
  TCommitLock() { InitializeCriticalSection(&Section); }
  CRITICAL_SECTION Section;
} CommitLock;

}  // namespace

void InitThreads() {
  InitializeCriticalSection(&ThreadRegistry.SharedLock);
  ThreadRegistry.Wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

void WakeWaiter() {
  if (ThreadRegistry.Wake) SetEvent(ThreadRegistry.Wake);
}

bool WaitForWake(uint32_t timeoutMs) {
  if (!ThreadRegistry.Wake) {
    Sleep(timeoutMs);
    return false;
  }
  return WaitForSingleObject(ThreadRegistry.Wake, timeoutMs) == WAIT_OBJECT_0;
}

void SetStopCleanup(void (*cleanup)()) { ThreadRegistry.StopCleanup = cleanup; }

bool StartThread(TThreadRoutine routine, void* parameter) {
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
  // The thread ends without unwinding: what it leaves half done goes first.
  if (ThreadRegistry.StopCleanup) ThreadRegistry.StopCleanup();
  ExitThread(0);
}

void EnterCommit() { EnterCriticalSection(&CommitLock.Section); }
void LeaveCommit() { LeaveCriticalSection(&CommitLock.Section); }

bool HoldCommitFor(uint32_t timeoutMs) {
  for (uint32_t waited = 0;; waited += 50) {
    if (TryEnterCriticalSection(&CommitLock.Section)) return true;
    if (waited >= timeoutMs) return false;
    Sleep(50);
  }
}

void EnterShared() { EnterCriticalSection(&ThreadRegistry.SharedLock); }
void LeaveShared() { LeaveCriticalSection(&ThreadRegistry.SharedLock); }

// One locked instruction: every worker adds its bytes here, and the shared
// lock would make them queue for it.
void LockedAdd(volatile int32_t& counter, int32_t delta) {
  static_assert(sizeof(LONG) == sizeof(int32_t), "a counter is a LONG");
  InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&counter), delta);
}

bool ThreadsEnded(uint32_t timeoutMs) {
  HANDLE waitFor[kThreadSlots];
  DWORD count = 0;
  for (int i = 0; i < kThreadSlots; ++i)
    if (ThreadRegistry.Threads[i]) waitFor[count++] = ThreadRegistry.Threads[i];
  if (count == 0) return true;
  return WaitForMultipleObjects(count, waitFor, TRUE, timeoutMs) < WAIT_OBJECT_0 + count;
}

void DoneThreads() {
  DeleteCriticalSection(&ThreadRegistry.SharedLock);
  if (ThreadRegistry.Wake) CloseHandle(ThreadRegistry.Wake);
  ThreadRegistry.Wake = nullptr;
}
