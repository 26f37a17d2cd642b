#include "transfer/Sites.h"

#include <cstdlib>

#include "app/Lock.h"
#include "manifest/Manifest.h"
#include "support/TextUtil.h"

TSiteInfo* Sites[kMaxSites];
int32_t SiteCount;
volatile int32_t RunningWorkers;

TSiteInfo::~TSiteInfo() { free(Tried); }

void ResetSites() {
  for (int i = 0; i < SiteCount; ++i) delete Sites[i];
  SiteCount = 0;
  RunningWorkers = 0;
}

void AddSite(char* text) {
  if (!TextEqualsN(text, "http://", 7)) return;
  int32_t workers = 1;
  char* eq = TextFindFirst(text, '=');
  if (eq) {
    *eq = 0;
    workers = TextToInt(eq + 1);
  }
  if (SiteCount >= kMaxSites || TextLength(text) > kTextCapacity - 1) return;
  TSiteInfo* site = new TSiteInfo;
  if (!site) return;
  TextCopy(site->Url, text);
  site->Workers = workers;
  Sites[SiteCount++] = site;
}

bool PrepareSites() {
  bool ok = true;
  for (int i = 0; i < SiteCount; ++i) {
    TSiteInfo* site = Sites[i];
    free(site->Tried);
    site->TriedCount = 0;
    site->Tried = static_cast<uint8_t*>(calloc(FileCount > 0 ? FileCount : 1, 1));
    if (site->Tried)
      site->TriedCount = FileCount;
    else
      ok = false;
  }
  return ok;
}

int32_t PickNextFile(TSiteInfo* site) {
  int32_t result = -1;
  EnterShared();
  for (int32_t i = 0; i < FileCount && i < site->TriedCount; ++i) {
    TFileEntry& entry = FileTable[i];
    if (entry.State == 1 || site->Tried[i]) continue;
    if (entry.State == 0) {
      site->Tried[i] = 1;
      entry.State = 2;
      result = i;
      break;
    }
    result = -2;
  }
  LeaveShared();
  return result;
}

char* MonthFolder(char* out, uint32_t v) {
  uint32_t year = (v >> 25) - 20;
  uint32_t month = 0;
  if (v >> 25 >= 29) {
    month = (v >> 21) & 15;
  } else {
    year = 8;
  }
  out = TextPutChar(out, static_cast<char>('0' + year / 10 % 10));
  out = TextPutChar(out, static_cast<char>('0' + year % 10));
  out = TextPutChar(out, static_cast<char>('0' + month / 10));
  out = TextPutChar(out, static_cast<char>('0' + month % 10));
  out = TextPutChar(out, '/');
  *out = 0;
  return out;
}

char* BuildMirrorUrl(const TSiteInfo* site, char* out, const TFileEntry* entry) {
  // Room for the longest URL, '/', the month folder, two ten-digit numbers,
  // two '_' and the longest name; whatever does not fit `out` is refused.
  char url[kTextCapacity + 128];
  char* p = TextCopyMax(url, site->Url, kTextCapacity);
  if (p == url || p[-1] != '/') p = TextPutChar(p, '/');
  if (Settings.CloudMode == 0) p = MonthFolder(p, entry->DosTime);
  p = TextFromInt(p, entry->DosTime);
  p = TextPutChar(p, '_');
  p = TextFromInt(p, static_cast<uint32_t>(entry->Size));
  p = TextPutChar(p, '_');
  for (int i = 0; entry->Name[i] && i < kNameCapacity - 1; ++i)
    p = TextPutChar(p, entry->Name[i] == '\\' ? '_' : entry->Name[i]);
  *p = 0;
  if (p - url > kTextCapacity - 1)
    out[0] = 0;
  else
    TextCopy(out, url);
  return out;
}
