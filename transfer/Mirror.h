// The mirror workers and the two streams of a download: a URL read through
// WinInet, and an entry's file written as it inflates.
#pragma once
#include <windows.h>
#include <wininet.h>

#include <cstdint>

#include "support/TinyCore.h"
#include "transfer/PartFile.h"

struct TFileEntry;
class TSiteInfo;

class TIStream : public TBaseStream {
 public:
  explicit TIStream(const char* url);
  ~TIStream() override;
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Seek(int32_t distance, int32_t origin) override;

  HINTERNET InternetHandle = nullptr;
  HINTERNET UrlHandle = nullptr;
};

class TOStream : public TBaseStream {
 public:
  explicit TOStream(TFileEntry* entry);
  ~TOStream() override;
  int32_t Write(const void* buffer, int32_t count) override;
  // True when every byte handed over reached the file; the file then
  // replaces the installed one.
  bool Commit();

  TFileEntry* Entry;
  TPartFile* Target = nullptr;
};

// Starts every site's workers; each started worker is counted in
// RunningWorkers before it runs.
void StartSiteWorkers();
DWORD WINAPI SiteWorker(void* site);
void FetchFromSite(TSiteInfo* site, TFileEntry* entry);
