// The thread services for the host tests: a real mutex, and a stop check that
// never stops (no test thread is ever asked to stop).
#include <mutex>

#include "support/Threads.h"

namespace {
std::recursive_mutex sharedLock;
}

void EnterShared() { sharedLock.lock(); }
void LeaveShared() { sharedLock.unlock(); }
void LockedAdd(volatile int32_t& counter, int32_t delta) {
  TSharedHold hold;
  counter = static_cast<int32_t>(static_cast<uint32_t>(counter) + static_cast<uint32_t>(delta));
}
void CheckStop() {}
