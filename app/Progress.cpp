#include "app/Progress.h"

#include <cstring>

#include "config/InstallDir.h"
#include "support/TextUtil.h"

TTransferStats TransferStats;

void ResetStats() { memset(const_cast<TTransferStats*>(&TransferStats), 0, sizeof(TransferStats)); }

void UpdateSpeedAt(uint32_t now) {
  uint32_t elapsed = now - TransferStats.SpeedTick;
  if (elapsed <= 1000) return;
  int32_t received = TransferStats.BytesReceived;
  if (TransferStats.SpeedTick != 0) {
    int64_t delta = static_cast<int64_t>(received) - static_cast<int64_t>(TransferStats.SpeedBytes);
    TransferStats.Speed =
        static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(delta / static_cast<int64_t>(elapsed))));
  }
  TransferStats.SpeedTick = now;
  TransferStats.SpeedBytes = static_cast<uint32_t>(received);
}

namespace {

uint32_t Percentage() {
  int32_t total = TransferStats.TotalBytes;
  if (total <= 0) return 0;  // nothing selected: nothing to measure against
  return static_cast<uint32_t>(static_cast<uint64_t>(TransferStats.BytesDone) * 100u / static_cast<uint32_t>(total));
}

char endText[256];

}  // namespace

uint32_t ProgressPercent() {
  uint32_t percent = Percentage();
  return percent > 100 ? 100 : percent;
}

void ShowEnd(const char* text) {
  TextCopyMax(endText, text, sizeof endText);
  // The text is whole before the UI thread can see the phase.
  __atomic_store_n(&TransferStats.Phase, kPhaseEnded, __ATOMIC_RELEASE);
}

const char* IncompleteText(char* out, int32_t pending) {
  char* p = TextCopy(out, "Installation incomplete: ");
  p = TextFromInt(p, static_cast<uint32_t>(pending));
  TextCopy(p, " file(s) could not be downloaded.");
  return out;
}

const char* DiskSpaceText(char* out, int64_t missing, const char* folder) {
  // Whole megabytes (of 2^20 bytes), rounded up: "0 MB more" is no reason.
  uint64_t mb = (static_cast<uint64_t>(missing) + 1048575u) >> 20;
  char* p = TextCopy(out, "Not enough disk space: ");
  p = TextFromInt(p, mb > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(mb));
  p = TextCopy(p, " MB more are needed on ");
  // The drive ("C:"), or the share's root, without the '\' after it.
  int32_t root = FirstBelowRoot(folder, TextLength(folder));
  int32_t n = root > 0 ? root - 1 : 0;
  TextCopyCount(p, folder, n);
  return out;
}

const char* StatusText() {
  static char buffer[256];
  switch (TransferStats.Phase) {
    case kPhaseDownloading:
      break;
    case kPhaseFinalizing:
      return "Finalizing Installation....";
    case kPhaseEnded:
      return endText;
    default:
      return "Initializing...";
  }
  static const char kTemplate[] = "Downloading $1% completed. Speed $2 KB/s";
  char* out = buffer;
  for (const char* t = kTemplate;; ++t) {
    if (*t != '$') {
      *out++ = *t;
      if (*t == 0) break;
      continue;
    }
    ++t;
    int32_t speed = TransferStats.Speed;
    out = TextFromInt(out, *t == '1' ? Percentage() : static_cast<uint32_t>(speed < 0 ? 0 : speed));
    if (*t == 0) break;
  }
  return buffer;
}

namespace {

// Tenths of a MB, written "12.3".
char* PutMegabytes(char* p, uint64_t bytes) {
  uint64_t tenths = bytes * 10 >> 20;
  return TextFromInt(TextPutChar(TextFromInt(p, tenths / 10), '.'), tenths % 10);
}

// What the first seconds measure is the connection's start, not its speed.
constexpr uint32_t kSteadyAfterMs = 3000;

}  // namespace

const char* DetailText(char* out, uint64_t done, uint64_t total, uint32_t bytesPerMs, uint32_t elapsedMs) {
  if (done > total) done = total;
  char* p = PutMegabytes(TextCopy(PutMegabytes(out, done), " of "), total);
  p = TextCopy(p, " MB");
  if (done == total || bytesPerMs == 0 || elapsedMs < kSteadyAfterMs) return out;
  uint64_t ms = (total - done + bytesPerMs - 1) / bytesPerMs;
  uint64_t seconds = (ms + 999) / 1000;
  p = TextCopy(p, ", about ");
  if (seconds <= 55) {
    p = TextCopy(TextFromInt(p, (seconds + 4) / 5 * 5), " s");
  } else if (seconds < 90 * 60) {
    uint64_t minutes = (seconds + 30) / 60;
    p = TextCopy(TextFromInt(p, minutes), " min");
  } else {
    p = TextCopy(TextFromInt(p, (seconds + 1800) / 3600), " h");
  }
  TextCopy(p, " left");
  return out;
}

const char* StatusDetail(char* out, uint32_t now) {
  out[0] = 0;
  int32_t total = TransferStats.TotalBytes;
  if (TransferStats.Phase == kPhaseDownloading && total > 0) {
    int32_t speed = TransferStats.Speed;
    return DetailText(out, TransferStats.BytesDone, static_cast<uint32_t>(total),
                      speed > 0 ? static_cast<uint32_t>(speed) : 0, now - TransferStats.DownloadTick);
  }
  const char* step = TransferStats.Step;
  if (TransferStats.Phase == kPhaseFinalizing && step) TextCopy(out, step);
  return out;
}
