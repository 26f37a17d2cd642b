#include <windows.h>
#include <wininet.h>

#include <cstdlib>

#include "app/Progress.h"
#include "config/Deployment.h"
#include "support/Log.h"
#include "support/TextUtil.h"
#include "manifest/Manifest.h"
#include "manifest/Sites.h"
#include "support/Threads.h"
#include "transfer/Internet.h"
#include "transfer/Mirror.h"
#include "transfer/PartFile.h"
#include "transfer/TinyZip.h"

namespace {
DWORD WINAPI SiteWorker(void* site);

// One request on a thread of its own, waited for with a deadline: WinInet
// gives a request's headers none (a byte every few seconds holds it for
// ever), and a handle closed under a blocked request does not end it
// everywhere. Of the thread and the one waiting, the last to let go frees it;
// a request given up closes its own answer.
struct TRequest {
  volatile LONG Holders;
  HINTERNET Internet;
  DWORD Flags;
  HINTERNET Answer;
  char UrlText[kTextCapacity];
  char Headers[kResumeCapacity + 32];
};

DWORD WINAPI Request(void* parameter) {
  TRequest* request = static_cast<TRequest*>(parameter);
  const char* headers = request->Headers[0] ? request->Headers : nullptr;
  request->Answer = WinInet.OpenUrl(request->Internet, request->UrlText, headers, headers ? static_cast<DWORD>(-1) : 0,
                                    request->Flags, 0);
  if (InterlockedDecrement(&request->Holders) == 0) {
    if (request->Answer) WinInet.CloseHandle(request->Answer);
    delete request;
  }
  return 0;
}

HINTERNET OpenUrlInTime(HINTERNET internet, const char* url, DWORD flags, const char* headers) {
  TRequest* request = new TRequest{2, internet, flags, nullptr, {}, {}};
  TextCopyMax(request->UrlText, url, kTextCapacity);
  TextCopyMax(request->Headers, headers, sizeof request->Headers);
  HANDLE thread = CreateThread(nullptr, 0, Request, request, 0, nullptr);
  if (!thread) {
    delete request;
    return nullptr;
  }
  WaitForSingleObject(thread, kMirrorStallMs);
  CloseHandle(thread);
  if (InterlockedDecrement(&request->Holders) != 0) return nullptr;  // the thread lets go of it
  HINTERNET answer = request->Answer;
  delete request;
  return answer;
}

// A text header of the answer into out (of capacity); empty when it has none.
void QueryText(HINTERNET answer, DWORD which, char* out, DWORD capacity) {
  if (!WinInet.QueryInfo(answer, which, out, &capacity, nullptr)) out[0] = 0;
}

}  // namespace

TIStream::TIStream(const char* url, const char* headers) : Watch(kMirrorStallMs, kMirrorStallBytes) {
  if (!LoadWinInet()) return;
  InternetHandle = WinInet.Open("VELORIN", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (!InternetHandle) return;
  // A read that waits a whole stall window for its first byte fails.
  DWORD timeout = kMirrorStallMs;
  WinInet.SetOption(InternetHandle, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  WinInet.SetOption(InternetHandle, INTERNET_OPTION_CONNECT_TIMEOUT, &timeout, sizeof timeout);
  WinInet.SetOption(InternetHandle, INTERNET_OPTION_SEND_TIMEOUT, &timeout, sizeof timeout);
  // Straight from the mirror to the file: no copy in the URL cache (it
  // doubled the disk writes of every download) and no answer from it. No
  // credentials of the signed-in user for a server or a proxy that asks,
  // no cookies, and redirects only as followed below.
  const DWORD flags = INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_COOKIES |
                      INTERNET_FLAG_NO_AUTH | INTERNET_FLAG_NO_AUTO_REDIRECT | INTERNET_FLAG_NO_UI;
  // Two by turns: a relative Location is made full against the URL it
  // answered.
  char hops[2][kTextCapacity];
  for (int32_t redirects = 0;; ++redirects) {
    char* location = hops[redirects % 2];
    UrlHandle = OpenUrlInTime(InternetHandle, url, flags, headers);
    DWORD status = 0, size = sizeof status;
    Status = 0;
    if (UrlHandle &&
        WinInet.QueryInfo(UrlHandle, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status, &size, nullptr))
      Status = status;
    // Whatever a redirect brings is judged like any answer; a redirect not
    // followed is a failure of this source.
    size = kTextCapacity;
    bool fromHttps = TextStartsWith(url, "https://");
    if (!UrlHandle || !IsRedirect(Status) || redirects == kMaxRedirects ||
        !WinInet.QueryInfo(UrlHandle, HTTP_QUERY_LOCATION, location, &size, nullptr) ||
        !ResolveLocation(location, url, kTextCapacity) || !RedirectTarget(location, fromHttps))
      break;
    LogLine("redirected to ", location);
    WinInet.CloseHandle(UrlHandle);
    UrlHandle = nullptr;
    url = location;
  }
  if (!UrlHandle) return;
  // What a later request sends back with If-Range: the strong validator
  // first.
  QueryText(UrlHandle, HTTP_QUERY_ETAG, Validator, sizeof Validator);
  if (!SendableValidator(Validator)) QueryText(UrlHandle, HTTP_QUERY_LAST_MODIFIED, Validator, sizeof Validator);
  if (!SendableValidator(Validator)) Validator[0] = 0;
  QueryText(UrlHandle, HTTP_QUERY_CONTENT_RANGE, ContentRange, sizeof ContentRange);
}

TIStream::~TIStream() {
  if (UrlHandle) WinInet.CloseHandle(UrlHandle);
  if (InternetHandle) WinInet.CloseHandle(InternetHandle);
}

int32_t TIStream::Read(void* buffer, int32_t count) {
  int32_t got = 0;
  while (got < count && !Abandoned) {
    // A read asks only for what has arrived: one for a whole buffer would
    // wait for all of it, and a trickle could hold it for hours.
    DWORD available = 0;
    uint32_t start = GetTickCount();
    DWORD n = 0;
    if (!WinInet.QueryDataAvailable(UrlHandle, &available, 0, 0) || available == 0) {
      Dry = true;
      break;
    }
    DWORD want = available < static_cast<DWORD>(count - got) ? available : static_cast<DWORD>(count - got);
    if (!WinInet.ReadFile(UrlHandle, static_cast<char*>(buffer) + got, want, &n) || n == 0) {
      Dry = true;
      break;
    }
    CheckStop();
    got += static_cast<int32_t>(n);
    Total += n;
    // A trickle holds a worker as long as silence does.
    if (!Watch.Add(GetTickCount() - start, static_cast<int32_t>(n))) Abandoned = true;
    if (Limit >= 0 && Total > Limit) Abandoned = true;
  }
  LockedAdd(TransferStats.BytesReceived, got);
  return Abandoned ? 0 : got;
}

int32_t TIStream::Seek(int32_t distance, int32_t origin) {
  if (origin != kSeekCurrent) return 0;
  DWORD position = WinInet.SetFilePointer(UrlHandle, distance, nullptr, FILE_CURRENT, 0);
  LockedAdd(TransferStats.BytesReceived, distance);
  return static_cast<int32_t>(position);
}

TOStream::TOStream(TFileEntry* entry, TInflatePoint* from, char* validator)
    : Entry(entry), Target(new TPartFile(*entry, from, validator)) {
  Entry->Written = Target->ResumeAt();
}

TOStream::~TOStream() { delete Target; }

int32_t TOStream::Write(const void* buffer, int32_t count) {
  Wrote = true;
  if (!Target->Write(buffer, count)) return 0;
  Entry->Written += count;
  return count;
}

TFailure TOStream::Failure() const { return Target->Failure; }

TFailure TOStream::Stage() {
  if (!Wrote) return kFailWrongSize;  // nothing ever arrived
  bool whole = Entry->Size <= 0 || Entry->Written == Entry->Size;
  return whole && Target->Stage(static_cast<int32_t>(Entry - FileTable), Entry->DosTime)
             ? kFailNone
             : FirstFailure(Target->Failure, kFailWrongSize);
}

void StartSiteWorkers() {
  PrepareSites();
  // WinInet keeps to a few connections to one server unless told otherwise,
  // and the workers of a site beyond them would wait for one: each worker
  // gets its own. Set for the process, before the first request.
  DWORD connections = kThreadSlots;
  if (LoadWinInet()) {
    WinInet.SetOption(nullptr, INTERNET_OPTION_MAX_CONNS_PER_SERVER, &connections, sizeof connections);
    WinInet.SetOption(nullptr, INTERNET_OPTION_MAX_CONNS_PER_1_0_SERVER, &connections, sizeof connections);
  }
  for (int32_t i = 0; i < SiteCount; ++i) {
    for (int32_t w = 0; w < Sites[i]->Workers; ++w) {
      LockedAdd(RunningWorkers, 1);
      if (!StartThread(SiteWorker, Sites[i])) {
        LockedAdd(RunningWorkers, -1);
        return;  // every slot is taken: no later start can succeed either
      }
    }
  }
}

namespace {

DWORD WINAPI SiteWorker(void* parameter) {
  TSiteInfo* site = static_cast<TSiteInfo*>(parameter);
  for (;;) {
    int32_t i = PickNextFile(site);
    if (i == kNothingLeft) break;
    if (i >= 0) {
      FetchFromSite(site, &FileTable[i]);
    } else {
      CheckStop();
      Sleep(200);
    }
  }
  LockedAdd(RunningWorkers, -1);
  WakeWaiter();
  return 0;
}

}  // namespace

namespace {

// One request for the entry's file: from the start, or where a kept file in
// transfer ended. `again` when another attempt at the site may bring it: what
// arrived stays to be gone on with, or a wrong range was thrown away.
TFailure FetchOnce(const TSiteInfo* site, const char* url, TFileEntry* entry, bool* again, char* detail) {
  TInflatePoint from;
  char validator[kValidatorCapacity] = "";
  TOStream sink(entry, &from, validator);
  if (!sink.Target->IsOpen()) return sink.Failure();
  bool resuming = sink.Target->ResumeAt() > 0;
  char headers[kResumeCapacity + 32] = "";
  if (resuming) {
    RangeHeaders(headers, from, validator);
    char at[24];
    TextFromInt(at, RangeStart(from));
    LogLine(entry->Name, " from ", site->Url, ": resumed at ", at);
  }
  TIStream source(url, headers);
  // What a file's zlib stream can take at the most: stored blocks add five
  // bytes to each 64 KiB.
  int64_t limit = entry->Size > 0 ? entry->Size : kUnsizedLimit;
  source.Limit = limit + limit / 8 + 65536;
  const TInflatePoint* start = nullptr;
  if (source.Status == 200 && resuming) {
    // The file changed since, or the site ignores ranges: all of it again.
    sink.Target->Restart();
    entry->Written = 0;
  } else if (resuming && source.Status == 206 && RangeStartsAt(source.ContentRange, RangeStart(from))) {
    start = &from;
  } else if (resuming && (source.Status == 206 || source.Status == 416)) {
    // Not the bytes asked for: the file in transfer goes, and the next
    // attempt asks for all of it.
    sink.Target->Abandon();
    TextCopy(detail, "a range other than asked for");
    *again = true;
    return kFailHttpStatus;
  }
  if (!source.UrlHandle) return kFailNoAnswer;
  if (source.Status != 200 && !start) {
    // Whatever else a site answers is no file: nothing of it is read.
    TextFromInt(TextCopy(detail, "HTTP "), source.Status);
    return kFailHttpStatus;
  }
  // The validator of the answer the bytes come from.
  if (!start) TextCopy(validator, source.Validator);
  uint8_t* window = nullptr;
  int32_t windowLength = 0;
  if (start && !sink.Target->Window(&window, &windowLength)) return kFailWrite;
  TInflatePoint reached = from;
  int32_t inflated = InflateStream(source, sink, start, window, windowLength, &reached);
  free(window);
  if (inflated >= 0) return sink.Stage();
  bool cut = source.Abandoned || source.Dry;
  TFailure failure =
      source.Abandoned ? kFailStalled : FirstFailure(sink.Failure(), cut ? kFailConnection : kFailNotZlib);
  // Cut off after a block's end, with a validator to send back: kept there.
  *again =
      cut && ContentStillGood(failure) && reached.Out > 0 && validator[0] && sink.Target->KeepAt(reached, validator);
  return failure;
}

}  // namespace

void FetchFromSite(TSiteInfo* site, TFileEntry* entry) {
  char url[kTextCapacity];
  TFailure failure = kFailUrlTooLong;
  uint32_t started = GetTickCount();
  if (BuildMirrorUrl(site, url, entry)[0]) {
    // A site that drops a file is asked again, a few times, for the rest.
    for (int32_t attempt = 0;; ++attempt) {
      char detail[kTextCapacity] = "";
      bool again = false;
      failure = FetchOnce(site, url, entry, &again, detail);
      if (failure == kFailNone || !again || attempt == kMirrorRetries) {
        LogFetch(*entry, site->Url, failure, detail[0] ? detail : nullptr, started);
        break;
      }
      for (uint32_t waited = 0; waited < RetryWaitMs(kMirrorStallMs, attempt); waited += 100) {
        CheckStop();
        Sleep(100);
      }
    }
  }
  TSharedHold hold;
  if (failure == kFailNone) {
    entry->State = kDone;
  } else {
    entry->State = kPending;
    entry->Written = 0;
  }
}
