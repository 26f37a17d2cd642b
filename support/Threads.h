// The thread registry and the one shared lock. The platform-free core uses
// only the lock and the stop check; the program defines them over a critical
// section (ThreadsWin.cpp), the host tests over their own lock. No window or
// socket API here.
#pragma once
#include <cstdint>

void EnterShared();
void LeaveShared();
void LockedAdd(volatile int32_t& counter, int32_t delta);
// Ends the calling thread when a stop was requested, after the thread's stop
// clean-up (SetStopCleanup) has run.
void CheckStop();

// Holds a lock for a scope.
template <void (*Enter)(), void (*Leave)()>
class THold {
 public:
  THold() { Enter(); }
  ~THold() { Leave(); }
  THold(const THold&) = delete;
  THold& operator=(const THold&) = delete;
};
using TSharedHold = THold<EnterShared, LeaveShared>;

#ifdef _WIN32
constexpr int kThreadSlots = 16;

// A thread's routine, as the system calls it.
typedef unsigned long(__stdcall* TThreadRoutine)(void* parameter);

// Creates the lock; once at start, before any thread.
void InitThreads();
// Runs before a thread ends at a check point: it deletes what the thread
// leaves half done. Set once at start.
void SetStopCleanup(void (*cleanup)());
// Runs routine(parameter) on a new thread in the lowest free slot. False when
// every slot is taken (nothing started). Slots are never reused.
bool StartThread(TThreadRoutine routine, void* parameter);
void StopThreads();
// Waits at most timeoutMs for every started thread; true when all have ended.
bool ThreadsEnded(uint32_t timeoutMs);
// A wake-up for one waiting thread: a worker that ends sets it, and the
// waiter goes on at once instead of at its next look. Auto-reset.
void WakeWaiter();
// Waits at most timeoutMs for a wake-up; true when one came.
bool WaitForWake(uint32_t timeoutMs);
// The commit lock, held across each step that replaces what is installed (a
// file's move into place, and aside and back; the serial; the shortcut list
// and the uninstaller copy), so that a run ended from outside never leaves
// one half done. Never held across a check point.
void EnterCommit();
void LeaveCommit();
// Takes the lock within timeoutMs, for good; false when it did not come.
bool HoldCommitFor(uint32_t timeoutMs);
using TCommitHold = THold<EnterCommit, LeaveCommit>;
// Deletes the shared lock; only once no thread can take it any more. The
// commit lock lives as long as the process.
void DoneThreads();
#endif
