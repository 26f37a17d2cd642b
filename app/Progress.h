// The counters behind the status line, the speed sampling and the line itself
// (Progress.cpp, platform-free), and the repaint request the workers post
// (ProgressWin.cpp). The manifest and the transfer add to the counters.
#pragma once
#include <cstdint>

// TTransferStats::Phase.
constexpr int32_t kPhaseInitializing = 0;
constexpr int32_t kPhaseDownloading = 1;
constexpr int32_t kPhaseFinalizing = 2;
constexpr int32_t kPhaseIncomplete = 3;  // the pass ended with Pending files not fetched

struct TTransferStats {
  volatile int32_t Phase;
  volatile int32_t BytesReceived;
  volatile uint32_t BytesDone;
  volatile int32_t TotalBytes;
  uint32_t SpeedTick;  // 0: no sample yet
  uint32_t SpeedBytes;
  volatile int32_t Speed;  // bytes per millisecond, shown as KB/s
  volatile int32_t Pending;
};

extern TTransferStats TransferStats;

void ResetStats();

// A speed sample at the given millisecond tick; samples closer than 1001 ms
// to the last one are skipped.
void UpdateSpeedAt(uint32_t now);
// The line for the current phase. The buffer belongs to the UI thread.
const char* StatusText();
// "Installation incomplete: N file(s) could not be downloaded." into out (of
// 80 characters at least). Returns out.
const char* IncompleteText(char* out, int32_t pending);
// "Not enough disk space: N MB more are needed on C:" for the installation
// folder's drive or share (out holds 64 characters and the share's root).
const char* DiskSpaceText(char* out, int64_t missing, const char* folder);

// Win32 side: posts the repaint; bytesDone -1 means repaint only.
void UpdateProgress(int32_t bytesDone);
void UpdateSpeed();
