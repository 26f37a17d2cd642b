// The manifest: its sections and file lines, and the table of the files to
// fetch that it selects. Platform-free (Manifest.cpp) but for the reads of the
// disk (ManifestWin.cpp).
#pragma once
#include <cstdint>

#include "config/Settings.h"

// TFileEntry::State.
constexpr int32_t kPending = 0;
constexpr int32_t kDone = 1;
constexpr int32_t kAtMirror = 2;  // claimed by a mirror worker

struct TFileEntry {
  char Name[kNameCapacity];  // relative path as the manifest gives it
  int32_t Size;
  uint32_t DosTime;  // DOS date in the high 16 bits, time in the low; 0 = none
  volatile int32_t State;
  volatile int32_t Written;
};

extern TFileEntry* FileTable;
extern int32_t FileCount;

// The largest manifest text taken from a URL or a file.
constexpr int32_t kManifestLimit = 100000;

// SectionOf's results; Settings.IncludeSections has one bit for each.
constexpr int32_t kSectionNone = 0;  // lines before any header or under an unknown one
constexpr int32_t kSectionClient = 1;
constexpr int32_t kSectionServerOnly = 2;
constexpr int32_t kSectionOnDemand = 3;
constexpr int32_t kSectionSites = 4;

void ResetManifest();

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

// Win32 side.
// One read of at most kManifestLimit bytes; 0 when the file cannot be opened,
// -1 when the read fails.
int32_t ReadFileText(const char* path, void* buffer);
bool IsUpToDate(const char* path, int32_t size, uint32_t dosTime);
