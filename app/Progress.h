// The counters behind the status line, the speed sampling and the line itself
// (Progress.cpp, platform-free), and the repaint request the workers post
// (ProgressWin.cpp). The manifest and the transfer add to the counters.
#pragma once
#include <cstdint>

// TTransferStats::Phase.
constexpr int32_t kPhaseInitializing = 0;
constexpr int32_t kPhaseDownloading = 1;
constexpr int32_t kPhaseFinalizing = 2;
constexpr int32_t kPhaseEnded = 3;  // the pass ended short of a complete run: the line says why

struct TTransferStats {
  volatile int32_t Phase;
  volatile int32_t BytesReceived;
  volatile uint32_t BytesDone;
  volatile int32_t TotalBytes;
  uint32_t SpeedTick;  // 0: no sample yet
  uint32_t SpeedBytes;
  volatile int32_t Speed;          // bytes per millisecond, shown as KB/s
  volatile uint32_t DownloadTick;  // when the downloading phase began
  const char* volatile Step;       // what the finalizing phase is doing; nullptr: nothing to say
};

extern TTransferStats TransferStats;

void ResetStats();

// A speed sample at the given millisecond tick; samples closer than 1001 ms
// to the last one are skipped.
void UpdateSpeedAt(uint32_t now);
// The line for the current phase. The buffer belongs to the UI thread.
const char* StatusText();
// The line of a pass that ended short: a copy of text, cut to the line's
// buffer, for the rest of the process.
void ShowEnd(const char* text);
// The bar's measure, the line's percentage up to 100.
uint32_t ProgressPercent();
// The detail line for the current phase at the millisecond tick now: the
// bytes and the time left while downloading, the step while finalizing.
const char* StatusDetail(char* out, uint32_t now);
// "Installation incomplete: N file(s) could not be downloaded." into out (of
// 80 characters at least). Returns out.
const char* IncompleteText(char* out, int32_t pending);
// "Not enough disk space: N MB more are needed on C:" for the installation
// folder's drive or share (out holds 64 characters and the share's root).
const char* DiskSpaceText(char* out, int64_t missing, const char* folder);

// The line under the progress bar: "12.3 of 294.0 MB" (MB of 2^20 bytes,
// tenths rounded down, so that only a whole download shows all of it) and,
// once the speed (bytes a millisecond) is known and the first seconds have
// passed, ", about 1 min left": up to 55 s in steps of 5 s, then minutes,
// from 90 minutes on hours. Into out (of kDetailCapacity). Returns out.
constexpr int32_t kDetailCapacity = 80;
const char* DetailText(char* out, uint64_t done, uint64_t total, uint32_t bytesPerMs, uint32_t elapsedMs);

// Win32 side: posts the repaint; bytesDone -1 means repaint only.
void UpdateProgress(int32_t bytesDone);
void UpdateSpeed();
