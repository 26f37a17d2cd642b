// The mirror site table: the sites the command line and the manifest name,
// each with its worker count and the files its workers have claimed.
#pragma once
#include <cstdint>

#include "config/Settings.h"

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
  // Every entry below it is done or tried here, and stays so: a worker's
  // look for its next file starts there.
  int32_t FirstOpen = 0;
};

extern TSiteInfo* Sites[kMaxSites];
extern int32_t SiteCount;

void ResetSites();

// "http://..." with an optional "=N" worker count; the '=' becomes a
// terminator. Other schemes, a seventeenth site and a URL over 259 characters
// are ignored.
void AddSite(char* text);
// Gives every site a Tried table covering FileCount entries, and makes the
// pick order. False when memory ran out (that site then tries nothing).
bool PrepareSites();
