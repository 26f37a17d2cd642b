// The counters behind the status line, the speed sampling and the line itself.
#pragma once
#include <cstdint>

struct TTransferStats {
  volatile int32_t Phase;  // 0 initializing, 1 downloading, 2 finalizing
  volatile int32_t BytesReceived;
  volatile uint32_t BytesDone;
  volatile int32_t TotalBytes;
  uint32_t SpeedTick;  // 0: no sample yet
  uint32_t SpeedBytes;
  volatile int32_t Speed;  // bytes per millisecond, shown as KB/s
};

extern TTransferStats Stats;

void ResetStats();

// A speed sample at the given millisecond tick; samples closer than 1001 ms
// to the last one are skipped.
void UpdateSpeedAt(uint32_t now);
// The line for the current phase. The buffer belongs to the UI thread.
const char* StatusText();

// Win32 side: posts the repaint; bytesDone -1 means repaint only.
void UpdateProgress(int32_t bytesDone);
void UpdateSpeed();
