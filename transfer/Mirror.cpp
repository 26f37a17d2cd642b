#include "transfer/Mirror.h"

#include "manifest/Manifest.h"
#include "manifest/Sites.h"
#include "support/TextUtil.h"
#include "support/Threads.h"

volatile int32_t RunningWorkers;

int32_t PickNextFile(TSiteInfo* site) {
  int32_t result = kNothingLeft;
  TSharedHold hold;
  int32_t end = FileCount < site->TriedCount ? FileCount : site->TriedCount;
  auto entryAt = [](int32_t k) { return PickOrder ? PickOrder[k] : k; };
  int32_t& first = site->FirstOpen;
  while (first < end && (FileTable[entryAt(first)].State == kDone || site->Tried[entryAt(first)])) ++first;
  for (int32_t k = first; k < end; ++k) {
    int32_t i = entryAt(k);
    TFileEntry& entry = FileTable[i];
    if (entry.State == kDone || site->Tried[i]) continue;
    if (entry.State == kPending) {
      site->Tried[i] = 1;
      entry.State = kAtMirror;
      return i;
    }
    result = kOthersBusy;
  }
  return result;
}

char* MonthFolder(char* out, uint32_t v) {
  // Files before 2009 all lie in 0800/: mirrors in use are laid out so, and the
  // names are published, so the rule stays.
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
  if (Settings.CloudMode == kCloudOff) p = MonthFolder(p, entry->DosTime);
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

bool IsRedirect(uint32_t status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool ResolveLocation(char* location, const char* base, int32_t capacity) {
  if (location[0] == 0 || TextStartsWith(location, "http://") || TextStartsWith(location, "https://")) return true;
  for (const char* c = location; *c && *c != '/' && *c != '?' && *c != '#'; ++c)
    if (*c == ':') return true;  // another scheme: not followed
  const char* authority = TextFindFirst(base, ':');
  if (!authority || authority[1] != '/' || authority[2] != '/') return false;
  authority += 3;
  // The base without its query or fragment, where a '/' is no folder's.
  int32_t end = static_cast<int32_t>(authority - base);
  while (base[end] && base[end] != '?' && base[end] != '#') ++end;
  const char* path = TextFindFirst(authority, '/');
  if (path && path - base > end) path = nullptr;
  int32_t keep;
  if (location[0] == '/' && location[1] == '/') {
    keep = static_cast<int32_t>(authority - 2 - base);  // the scheme and its ':'
  } else if (location[0] == '/' || location[0] == '?' || location[0] == '#') {
    keep = location[0] != '/' ? end : path ? static_cast<int32_t>(path - base) : end;
  } else {
    keep = end;
    while (path && keep > path - base && base[keep - 1] != '/') --keep;
  }
  bool slash = location[0] != '/' && location[0] != '?' && location[0] != '#' &&
               (!path || keep <= static_cast<int32_t>(path - base));
  int32_t n = TextLength(location);
  if (keep + (slash ? 1 : 0) > capacity - 1 - n) return false;
  char joined[kTextCapacity * 2];
  if (keep + 1 + n > static_cast<int32_t>(sizeof joined) - 1) return false;
  char* p = TextCopyCount(joined, base, keep);
  if (slash) p = TextPutChar(p, '/');
  TextCopy(p, location);
  TextCopy(location, joined);
  return true;
}

bool RedirectTarget(const char* location, bool fromHttps) {
  // Never from https:// down to http://.
  const char* host = TextStartsWith(location, "http://") && !fromHttps ? location + 7
                     : TextStartsWith(location, "https://")            ? location + 8
                                                                       : nullptr;
  if (!host || *host == 0 || *host == '/') return false;
  for (const char* c = location; *c; ++c)
    if (static_cast<uint8_t>(*c) <= ' ' || *c == 127) return false;
  return true;
}

namespace {

// Up to 18 decimal digits; false for none or more.
bool ParseCount(const char*& cursor, int64_t* value) {
  int32_t digits = 0;
  *value = 0;
  for (; *cursor >= '0' && *cursor <= '9'; ++cursor) {
    if (++digits > 18) return false;
    *value = *value * 10 + (*cursor - '0');
  }
  return digits > 0;
}

}  // namespace

bool SendableValidator(const char* text) {
  int32_t n = 0;
  for (; text[n]; ++n)
    if (text[n] < 0x20 || text[n] > 0x7E || n == kValidatorCapacity - 1) return false;
  return n > 0;
}

char* ResumeText(char* out, const TInflatePoint& point, const char* validator) {
  char* p = TextFromInt(TextCopy(out, "z,"), point.In);
  p = TextFromInt(TextPutChar(p, ','), point.Bits);
  p = TextFromInt(TextPutChar(p, ','), point.Out);
  p = TextFromInt(TextPutChar(p, ','), point.Adler);
  return TextCopy(TextCopy(TextPutChar(p, ','), validator), "\r\n");
}

bool ParseResume(const char* text, TInflatePoint* point, char* validator) {
  const char* c = text;
  int64_t in, bits, out, adler;
  if (!TextStartsWith(c, "z,")) return false;
  c += 2;
  if (!ParseCount(c, &in) || *c++ != ',' || !ParseCount(c, &bits) || *c++ != ',' || !ParseCount(c, &out) ||
      *c++ != ',' || !ParseCount(c, &adler) || *c++ != ',')
    return false;
  // The validator up to the line's end.
  const char* end = c;
  while (*end && *end != '\r') ++end;
  if (!TextEquals(end, "\r\n") || end - c >= kValidatorCapacity) return false;
  TextCopyCount(validator, c, static_cast<int32_t>(end - c));
  // A block ends past the two header bytes, and its byte is read again only
  // with bits left of it.
  if (in < 3 || bits > 7 || out <= 0 || adler > 0xFFFFFFFFll || !SendableValidator(validator)) return false;
  point->In = in;
  point->Bits = static_cast<int32_t>(bits);
  point->Out = out;
  point->Adler = static_cast<uint32_t>(adler);
  return true;
}

char* RangeHeaders(char* out, const TInflatePoint& point, const char* validator) {
  char* p = TextFromInt(TextCopy(out, "Range: bytes="), RangeStart(point));
  TextCopy(TextCopy(TextCopy(p, "-\r\nIf-Range: "), validator), "\r\n");
  return out;
}

bool RangeStartsAt(const char* contentRange, int64_t first) {
  const char* c = contentRange;
  int64_t at;
  if (!TextStartsWith(c, "bytes ")) return false;
  c += 6;
  return ParseCount(c, &at) && *c == '-' && at == first;
}
