// The bound on a transfer that is kept alive with a trickle (platform-free,
// all here).
#pragma once
#include <cstdint>

// Tells a peer that keeps a transfer alive with a trickle: over every window
// of `windowMs` spent waiting for it, it must bring `minimum` bytes.
class TStallWatch {
 public:
  TStallWatch(uint32_t windowMs, int32_t minimum) : WindowMs(windowMs), Minimum(minimum) {}
  // One wait of `waitedMs` that brought `bytes`; false once a window brought
  // too little (and for good after that).
  bool Add(uint32_t waitedMs, int32_t bytes) {
    Waited += waitedMs;
    // Counted up to the minimum only: a fast peer never overflows it.
    Bytes = bytes >= Minimum - Bytes ? Minimum : Bytes + bytes;
    if (Waited >= WindowMs) {
      if (Bytes < Minimum) Stalled = true;
      Waited = 0;
      Bytes = 0;
    }
    return !Stalled;
  }
  void Reset() { Waited = 0, Bytes = 0, Stalled = false; }

 private:
  uint32_t WindowMs;
  int32_t Minimum;
  uint32_t Waited = 0;
  int32_t Bytes = 0;
  bool Stalled = false;
};
