#include "manifest/Sites.h"

#include <cstdlib>

#include "manifest/Manifest.h"
#include "support/TextUtil.h"

TSiteInfo* Sites[kMaxSites];
int32_t SiteCount;
int32_t* PickOrder;

namespace {

// Larger first; of equal sizes, the earlier in the table first.
bool TakenBefore(int32_t a, int32_t b) {
  return FileTable[a].Size != FileTable[b].Size ? FileTable[a].Size > FileTable[b].Size : a < b;
}

// A merge sort of the entry numbers, runs of 1, 2, 4 ... between the two
// buffers; the result ends in `order`.
void SortPickOrder(int32_t* order, int32_t* spare, int32_t n) {
  int32_t* from = order;
  int32_t* to = spare;
  for (int32_t width = 1; width < n; width *= 2) {
    for (int32_t left = 0; left < n; left += 2 * width) {
      int32_t mid = left + width < n ? left + width : n;
      int32_t right = left + 2 * width < n ? left + 2 * width : n;
      int32_t i = left, j = mid, k = left;
      while (i < mid && j < right) to[k++] = TakenBefore(from[j], from[i]) ? from[j++] : from[i++];
      while (i < mid) to[k++] = from[i++];
      while (j < right) to[k++] = from[j++];
    }
    int32_t* swap = from;
    from = to;
    to = swap;
  }
  if (from != order)
    for (int32_t i = 0; i < n; ++i) order[i] = from[i];
}

void MakePickOrder() {
  free(PickOrder);
  PickOrder = nullptr;
  if (FileCount <= 0) return;
  int32_t* order = static_cast<int32_t*>(malloc(sizeof(int32_t) * FileCount));
  int32_t* spare = static_cast<int32_t*>(malloc(sizeof(int32_t) * FileCount));
  if (order && spare) {
    for (int32_t i = 0; i < FileCount; ++i) order[i] = i;
    SortPickOrder(order, spare, FileCount);
    // The largest and the smallest alternately: while some workers carry the
    // large files, the others go through the small ones, whose time is mostly
    // round trips; the large files all start early, so the run does not end
    // on one of them.
    for (int32_t k = 0, front = 0, back = FileCount - 1; k < FileCount; ++k)
      spare[k] = k % 2 == 0 ? order[front++] : order[back--];
    PickOrder = spare;
    spare = nullptr;
  }
  free(order);
  free(spare);
}

}  // namespace

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
