// The services of the thread registry that the platform-free core calls: the
// one shared lock and the stop check. The program defines them over a critical
// section; the host tests define them over their own lock.
#pragma once
#include <cstdint>

void EnterShared();
void LeaveShared();
void LockedAdd(volatile int32_t& counter, int32_t delta);
// Ends the calling thread when a stop was requested.
void CheckStop();
