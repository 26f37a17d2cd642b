#include <doctest/doctest.h>

#include <cstdint>
#include <string>

#include "app/Progress.h"

TEST_CASE("status line outside the downloading phase") {
  ResetStats();
  CHECK(std::string(StatusText()) == "Initializing...");
  TransferStats.Phase = 2;
  TransferStats.TotalBytes = 0;  // no division is made here
  CHECK(std::string(StatusText()) == "Finalizing Installation....");
  TransferStats.Phase = 0;
  CHECK(std::string(StatusText()) == "Initializing...");
}

TEST_CASE("status line while downloading") {
  struct Case {
    uint32_t done;
    int32_t total;
    int32_t speed;
    const char* text;
  } cases[] = {
      {999, 1000, 0, "Downloading 99% completed. Speed 0 KB/s"},
      {1000, 1000, 0, "Downloading 100% completed. Speed 0 KB/s"},
      {1500, 1000, 2000, "Downloading 150% completed. Speed 2000 KB/s"},
      {0, 1000, 7, "Downloading 0% completed. Speed 7 KB/s"},
      {0, 0, 0, "Downloading 0% completed. Speed 0 KB/s"},
      {12345, 0, 3, "Downloading 0% completed. Speed 3 KB/s"},
      // BytesDone is read unsigned and the product does not overflow 32 bits.
      {4000000000u, 2000000000, 0, "Downloading 200% completed. Speed 0 KB/s"},
      {50000000, 100000000, 0, "Downloading 50% completed. Speed 0 KB/s"},
      {1, 3, -5, "Downloading 33% completed. Speed 0 KB/s"},
      {2, 3, 2147483647, "Downloading 66% completed. Speed 2147483647 KB/s"},
  };
  for (auto& c : cases) {
    CAPTURE(c.done);
    CAPTURE(c.total);
    CAPTURE(c.speed);
    ResetStats();
    TransferStats.Phase = 1;
    TransferStats.BytesDone = c.done;
    TransferStats.TotalBytes = c.total;
    TransferStats.Speed = c.speed;
    CHECK(std::string(StatusText()) == c.text);
  }
}

TEST_CASE("speed samples") {
  struct Step {
    uint32_t now;
    int32_t received;
    int32_t speed;
    uint32_t tick;
  };
  struct Case {
    const char* what;
    Step steps[4];
    int count;
  } cases[] = {
      {"first sample sets the baseline, the second measures",
       {{5000, 1000, 0, 5000}, {6024, 1000 + 2048000, 2000, 6024}},
       2},
      {"1000 ms is too close, 1001 ms is not",
       {{5000, 0, 0, 5000}, {6000, 5000, 0, 5000}, {6001, 1001000, 1000, 6001}},
       3},
      {"a first call at tick 1000 takes no baseline",
       {{1000, 500, 0, 0}, {1001, 600, 0, 1001}, {2002, 600 + 1001 * 3, 3, 2002}},
       3},
      {"the tick wraps between two samples", {{0xFFFFFC00u, 0, 0, 0xFFFFFC00u}, {0x400, 4096000, 2000, 0x400}}, 2},
      {"a count that went back truncates toward zero",
       {{5000, 10000, 0, 5000}, {6001, 8500, -1, 6001}, {7025, 8500 - 2048, -2, 7025}},
       3},
      {"the speed keeps its value between samples",
       {{5000, 0, 0, 5000}, {7000, 20000, 10, 7000}, {7500, 900000, 10, 7000}},
       3},
  };
  for (auto& c : cases) {
    CAPTURE(c.what);
    ResetStats();
    TransferStats.Phase = 1;
    for (int i = 0; i < c.count; ++i) {
      const Step& s = c.steps[i];
      CAPTURE(i);
      TransferStats.BytesReceived = s.received;
      UpdateSpeedAt(s.now);
      CHECK(TransferStats.Speed == s.speed);
      CHECK(TransferStats.SpeedTick == s.tick);
    }
  }
}

TEST_CASE("a measured speed shows in the line") {
  ResetStats();
  TransferStats.Phase = 1;
  TransferStats.TotalBytes = 1000;
  TransferStats.BytesDone = 999;
  UpdateSpeedAt(10000);
  CHECK(std::string(StatusText()) == "Downloading 99% completed. Speed 0 KB/s");
  TransferStats.BytesReceived = 2048000;
  UpdateSpeedAt(11024);
  CHECK(std::string(StatusText()) == "Downloading 99% completed. Speed 2000 KB/s");
}

TEST_CASE("what a disk too small for the update says") {
  struct Case {
    int64_t missing;
    const char *folder, *text;
  } cases[] = {
      {1, "C:\\Velorin\\", "Not enough disk space: 1 MB more are needed on C:"},
      {1048576, "e:\\inst\\", "Not enough disk space: 1 MB more are needed on e:"},
      {1048577, "C:\\", "Not enough disk space: 2 MB more are needed on C:"},
      {int64_t{5} << 40, "C:\\Big\\", "Not enough disk space: 5242880 MB more are needed on C:"},
      {3 << 20, "\\\\host\\share\\Velorin\\", "Not enough disk space: 3 MB more are needed on \\\\host\\share"},
  };
  for (const Case& c : cases) {
    CAPTURE(c.missing);
    char text[64 + 260];
    CHECK(std::string(DiskSpaceText(text, c.missing, c.folder)) == c.text);
  }
}

TEST_CASE("the detail line: what is done of how much, and how long is left") {
  constexpr uint64_t MB = 1 << 20;
  struct Case {
    uint64_t done, total;
    uint32_t speed, elapsed;  // bytes a millisecond, milliseconds so far
    const char* text;
  } cases[] = {
      {12 * MB + MB / 3, 294 * MB, 0, 10000, "12.3 of 294.0 MB"},             // no speed yet
      {12 * MB, 294 * MB, 5000, 2999, "12.0 of 294.0 MB"},                    // the first seconds
      {12 * MB, 294 * MB, 6000, 3000, "12.0 of 294.0 MB, about 50 s left"},   // 49.3 s, in steps of 5
      {12 * MB, 294 * MB, 5000, 3000, "12.0 of 294.0 MB, about 1 min left"},  // 59.1 s
      {0, 294 * MB, 100, 60000, "0.0 of 294.0 MB, about 51 min left"},
      {0, 294 * MB, 1, 60000, "0.0 of 294.0 MB, about 86 h left"},                 // a trickle
      {294 * MB - 1, 294 * MB, 5000, 60000, "293.9 of 294.0 MB, about 5 s left"},  // never 294.0 before the end
      {294 * MB, 294 * MB, 5000, 60000, "294.0 of 294.0 MB"},
      {300 * MB, 294 * MB, 5000, 60000, "294.0 of 294.0 MB"},  // more than selected: all of it
      {0, 0, 0, 0, "0.0 of 0.0 MB"},
      // Above 2 and 4 GiB.
      {3ull << 30, 5ull << 30, 100000, 60000, "3072.0 of 5120.0 MB, about 25 s left"},
      {0, 40ull << 30, 0, 60000, "0.0 of 40960.0 MB"},
      {0, 40ull << 30, 50000, 60000, "0.0 of 40960.0 MB, about 14 min left"},
  };
  for (const Case& c : cases) {
    CAPTURE(c.text);
    char out[kDetailCapacity];
    CHECK(std::string(DetailText(out, c.done, c.total, c.speed, c.elapsed)) == c.text);
  }
}

TEST_CASE("the line, the bar and the detail line in each phase") {
  constexpr int32_t MB = 1 << 20;
  std::string longText(400, 'x');
  struct Case {
    int32_t phase;
    uint32_t done;
    int32_t total;
    int32_t speed;
    const char* step;
    const char* end;  // shown with ShowEnd
    uint32_t now;     // ms after the download began
    const char* line;
    uint32_t percent;
    const char* detail;
  } cases[] = {
      {0, 0, 0, 0, nullptr, nullptr, 0, "Initializing...", 0, ""},
      {1, 3 * MB, 10 * MB, 0, nullptr, nullptr, 500, "Downloading 30% completed. Speed 0 KB/s", 30, "3.0 of 10.0 MB"},
      {1, 3 * MB, 10 * MB, 1000, nullptr, nullptr, 5000, "Downloading 30% completed. Speed 1000 KB/s", 30,
       "3.0 of 10.0 MB, about 10 s left"},
      {1, 15 * MB, 10 * MB, 1000, nullptr, nullptr, 5000, "Downloading 150% completed. Speed 1000 KB/s", 100,
       "10.0 of 10.0 MB"},                                                                    // the bar stops full
      {1, 0, 0, 0, nullptr, nullptr, 5000, "Downloading 0% completed. Speed 0 KB/s", 0, ""},  // nothing selected
      {2, 10 * MB, 10 * MB, 0, nullptr, nullptr, 0, "Finalizing Installation....", 100, ""},
      {2, 10 * MB, 10 * MB, 0, "Creating the shortcuts...", nullptr, 0, "Finalizing Installation....", 100,
       "Creating the shortcuts..."},
      {1, 5 * MB, 10 * MB, 0, nullptr, "Update Refused: the file list is not signed.", 0,
       "Update Refused: the file list is not signed.", 50, ""},
      {1, 0, 10, 0, nullptr, longText.c_str(), 0, nullptr, 0, ""},  // cut to the line's buffer
  };
  for (const Case& c : cases) {
    CAPTURE(c.line);
    ResetStats();
    TransferStats.Phase = c.phase;
    TransferStats.BytesDone = c.done;
    TransferStats.TotalBytes = c.total;
    TransferStats.Speed = c.speed;
    TransferStats.Step = c.step;
    TransferStats.DownloadTick = 1000;
    if (c.end) ShowEnd(c.end);
    CHECK(std::string(StatusText()) == (c.line ? std::string(c.line) : longText.substr(0, 255)));
    CHECK(ProgressPercent() == c.percent);
    char detail[kDetailCapacity];
    CHECK(std::string(StatusDetail(detail, 1000 + c.now)) == c.detail);
  }
}
