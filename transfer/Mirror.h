// The mirror workers: which file a worker takes next and under which URL a
// mirror keeps it (Mirror.cpp, platform-free), and the workers with the two
// streams of a download, a URL read through WinInet and an entry's file
// written as it inflates (MirrorWin.cpp).
#pragma once
#include <cstdint>

#include "support/StallWatch.h"
#include "support/TinyLib.h"
#include "transfer/PartFile.h"
#include "transfer/TinyZip.h"

struct TFileEntry;
class TSiteInfo;

// Workers started and not yet ended.
extern volatile int32_t RunningWorkers;

// PickNextFile's results besides an index.
constexpr int32_t kNothingLeft = -1;  // the site's worker ends
constexpr int32_t kOthersBusy = -2;   // another site holds a file this site has not had yet

// Index of a file now claimed for the site, the first open one in PickOrder,
// or one of the two above.
int32_t PickNextFile(TSiteInfo* site);
// The site's URL for an entry, or an empty text when it does not fit 259
// characters. Returns out.
char* BuildMirrorUrl(const TSiteInfo* site, char* out, const TFileEntry* entry);
// The HTTP statuses that redirect, and the most of them one request follows.
bool IsRedirect(uint32_t status);
constexpr int32_t kMaxRedirects = 5;
// A redirect's target that is followed: a full http:// or https:// URL with a
// host, of printable characters; from an https:// URL only another.
bool RedirectTarget(const char* location, bool fromHttps);
// A relative Location ("/a", "a", "//host/a") made full against the URL it
// came from, in place (of capacity); a full one, or one of another scheme,
// stays as it is. False when the result would not fit or base is no URL.
bool ResolveLocation(char* location, const char* base, int32_t capacity);
// Writes "YYMM/" for a DOS date-time; returns the terminator's position.
char* MonthFolder(char* out, uint32_t dosTime);

// A mirror transfer kept to go on with: the record's second line,
// "z,<in>,<bits>,<out>,<adler>,<validator>" and CR LF (of kResumeCapacity),
// where the validator is the ETag or Last-Modified of the answer it came
// from, as If-Range sends it back.
constexpr int32_t kValidatorCapacity = 96;
constexpr int32_t kResumeCapacity = kValidatorCapacity + 72;
char* ResumeText(char* out, const TInflatePoint& point, const char* validator);
// False for anything else, or a point that could not be one.
bool ParseResume(const char* text, TInflatePoint* point, char* validator);
// A validator that may be sent back: 1 to kValidatorCapacity - 1 printable
// characters (no line break could end the request's header there).
bool SendableValidator(const char* text);
// The request's headers that go on at the point (of kResumeCapacity + 32).
// Returns out.
char* RangeHeaders(char* out, const TInflatePoint& point, const char* validator);
// The compressed byte a request that goes on at the point asks for first.
inline int64_t RangeStart(const TInflatePoint& point) { return point.In - (point.Bits ? 1 : 0); }
// A Content-Range of the answer, "bytes <first>-<last>/<length>", that starts
// where it was asked to.
bool RangeStartsAt(const char* contentRange, int64_t first);
// Between two attempts at one site, the milliseconds to wait: a twentieth of
// the stall window, doubled each time.
inline uint32_t RetryWaitMs(uint32_t stallMs, int32_t attempt) { return (stallMs / 20) << attempt; }
constexpr int32_t kMirrorRetries = 3;

// Win32 side.

class TIStream : public TBaseStream {
 public:
  // With request headers (a Range and its If-Range); "" for none.
  explicit TIStream(const char* url, const char* headers = "");
  ~TIStream() override;
  // Ends the stream early, for good, when the bytes read would pass Limit or
  // when a stall window brings too little (Abandoned).
  int32_t Read(void* buffer, int32_t count) override;
  int32_t Seek(int32_t distance, int32_t origin) override;

  void* InternetHandle = nullptr;  // HINTERNET
  void* UrlHandle = nullptr;
  uint32_t Status = 0;  // the HTTP status of the answer; 0 for none
  int64_t Limit = -1;   // negative: no limit
  int64_t Total = 0;
  bool Abandoned = false;
  bool Dry = false;                         // a read found nothing more: the body ended or broke off
  char Validator[kValidatorCapacity] = "";  // its ETag, or its Last-Modified; "" for none
  char ContentRange[64] = "";

 private:
  TStallWatch Watch;
};

class TOStream : public TBaseStream {
 public:
  // The entry's file in transfer, gone on with where an earlier attempt kept
  // it: `from` and `validator` then say where and from which answer.
  TOStream(TFileEntry* entry, TInflatePoint* from, char* validator);
  ~TOStream() override;
  int32_t Write(const void* buffer, int32_t count) override;
  // kFailNone when every byte handed over reached the file, which is then
  // staged for the commit; otherwise why not.
  TFailure Stage();
  // Why a write failed; kFailNone when none did.
  TFailure Failure() const;

  TFileEntry* Entry;
  TPartFile* Target;
  bool Wrote = false;
};

// Starts every site's workers; each started worker is counted in
// RunningWorkers before it runs.
void StartSiteWorkers();
void FetchFromSite(TSiteInfo* site, TFileEntry* entry);
