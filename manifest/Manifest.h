// The manifest: its sections and file lines, and the table of the files to
// fetch that it selects.
#pragma once
#include <cstdint>

#include "config/Settings.h"

struct TFileEntry {
  char Name[kNameCapacity];  // relative path as the manifest gives it
  int32_t Size;
  uint32_t DosTime;  // DOS date in the high 16 bits, time in the low; 0 = none
  volatile int32_t State;  // 0 pending, 1 done, 2 in progress at a mirror
  volatile int32_t Written;
};

extern TFileEntry* FileTable;
extern int32_t FileCount;

// The largest manifest text taken from a URL or a file.
constexpr int32_t kManifestLimit = 100000;

void ResetManifest();

// 0 lines before any header or under an unknown one, 1 CLIENT, 2 SERVERONLY,
// 3 ONDEMAND, 4 SITES.
int32_t SectionOf(const char* text);
bool LanguageAllows(const char* name);
// False for a relative path that could leave the installation folder or does
// not fit the entry and the full path.
bool SafeRelativePath(const char* name, int32_t length);

using TUpToDateCheck = bool (*)(const char* path, int32_t size, uint32_t dosTime);
// Parses n bytes of manifest text in place (the buffer has one spare byte
// behind them), adds the sites and builds FileTable and the total.
void ParseManifest(char* text, int32_t n, TUpToDateCheck isUpToDate);
int32_t SumWritten();
