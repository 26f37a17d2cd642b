#include "manifest/Sites.h"

#include <cstdlib>

#include "manifest/Manifest.h"
#include "support/TextUtil.h"

TSiteInfo* Sites[kMaxSites];
int32_t SiteCount;

TSiteInfo::~TSiteInfo() { free(Tried); }

void ResetSites() {
  for (int i = 0; i < SiteCount; ++i) delete Sites[i];
  SiteCount = 0;
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
  TextCopy(site->Url, text);
  site->Workers = workers;
  Sites[SiteCount++] = site;
}

bool PrepareSites() {
  bool ok = true;
  MakePickOrder();
  for (int i = 0; i < SiteCount; ++i) {
    TSiteInfo* site = Sites[i];
    free(site->Tried);
    site->TriedCount = 0;
    site->FirstOpen = 0;
    site->Tried = static_cast<uint8_t*>(calloc(FileCount > 0 ? FileCount : 1, 1));
    if (site->Tried)
      site->TriedCount = FileCount;
    else
      ok = false;
  }
  return ok;
}
