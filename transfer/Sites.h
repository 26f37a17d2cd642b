// The mirror site table and the decisions of the mirror workers: which file a
// worker takes next and under which URL a mirror keeps it.
#pragma once
#include <cstdint>

#include "config/Settings.h"

struct TFileEntry;

constexpr int kMaxSites = 16;

class TSiteInfo {
 public:
  TSiteInfo(const TSiteInfo&) = delete;
  TSiteInfo& operator=(const TSiteInfo&) = delete;
  TSiteInfo() = default;
  ~TSiteInfo();

  char Url[kTextCapacity] = {};
  int32_t Workers = 0;
  // One byte per entry of the file table; set once a worker of this site has
  // claimed that file. Sized by PrepareSites once the table is known.
  uint8_t* Tried = nullptr;
  int32_t TriedCount = 0;
};

extern TSiteInfo* Sites[kMaxSites];
extern int32_t SiteCount;
extern volatile int32_t RunningWorkers;

void ResetSites();

// "http://..." with an optional "=N" worker count; the '=' becomes a
// terminator. Other schemes, a seventeenth site and a URL over 259 characters
// are ignored.
void AddSite(char* text);
// Gives every site a Tried table covering FileCount entries. False when
// memory ran out (that site then tries nothing).
bool PrepareSites();
// Index of a file now claimed for the site, -1 when nothing is left for it,
// -2 when another site holds a file this site has not had yet.
int32_t PickNextFile(TSiteInfo* site);
// The site's URL for an entry, or an empty text when it does not fit 259
// characters. Returns out.
char* BuildMirrorUrl(const TSiteInfo* site, char* out, const TFileEntry* entry);
// Writes "YYMM/" for a DOS date-time; returns the terminator's position.
char* MonthFolder(char* out, uint32_t dosTime);
