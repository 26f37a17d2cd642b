#include "manifest/Signature.h"

#include <cstring>

#include "config/Deployment.h"
#include "manifest/Manifest.h"
#include "support/TextUtil.h"

namespace {

bool IsKeyIdChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// A key id of 1 to 16 characters, the `length` characters at `text`, into
// `id`; false when the span is not one.
bool TakeKeyId(const char* text, int32_t length, char* id) {
  if (length < 1 || length > kKeyIdCapacity - 1) return false;
  for (int32_t i = 0; i < length; ++i)
    if (!IsKeyIdChar(text[i])) return false;
  memcpy(id, text, static_cast<size_t>(length));
  id[length] = 0;
  return true;
}

bool StartsWith(const char* text, int32_t length, const char* prefix) {
  int32_t n = TextLength(prefix);
  return length >= n && memcmp(text, prefix, static_cast<size_t>(n)) == 0;
}

// The start of the line that ends where the line starting at `next` begins
// (a CR, and one LF after it, end a line); -1 when `next` starts the text or
// is not the start of a line.
int32_t PreviousLine(const char* text, int32_t next, int32_t* end) {
  int32_t e = next;
  if (e >= 1 && text[e - 1] == '\n' && e >= 2 && text[e - 2] == '\r')
    e -= 2;
  else if (e >= 1 && text[e - 1] == '\r')
    e -= 1;
  else
    return -1;
  int32_t s = e;
  while (s > 0 && text[s - 1] != '\r') --s;
  if (s > 0 && s < e && text[s] == '\n') ++s;  // the LF that the CR before swallows
  *end = e;
  return s;
}

}  // namespace

bool SerialTaken(uint64_t list, uint64_t installed) { return list >= installed && list >= kLowestSerial; }

bool VerdictRefuses(TManifestVerdict verdict) {
  return verdict == kManifestNotSigned || verdict == kManifestOlder || verdict == kManifestNoSerial;
}

bool ParseSerial(const char* digits, int32_t length, uint64_t* serial) {
  if (length < 1 || length > kSerialDigits) return false;
  uint64_t value = 0;
  for (int32_t i = 0; i < length; ++i) {
    if (digits[i] < '0' || digits[i] > '9') return false;
    value = value * 10 + static_cast<uint64_t>(digits[i] - '0');
  }
  *serial = value;
  return true;
}

char* SerialText(char* out, uint64_t serial) {
  char digits[24];
  char* p = digits + sizeof digits - 1;
  *p = 0;
  do {
    *--p = static_cast<char>('0' + serial % 10);
    serial /= 10;
  } while (serial > 0);
  TextCopy(out, p);
  return out;
}

int32_t ParseKeyList(const char* text, TPublicKey* keys, int32_t capacity) {
  int32_t count = 0;
  const char* p = text;
  while (*p) {
    const char* entry = p;
    while (*p && *p != ';') ++p;
    int32_t length = static_cast<int32_t>(p - entry);
    if (*p == ';') ++p;
    if (length == 0) continue;
    const char* eq = entry;
    while (eq < entry + length && *eq != '=') ++eq;
    if (eq == entry + length || count == capacity) return -1;
    TPublicKey& key = keys[count];
    if (!TakeKeyId(entry, static_cast<int32_t>(eq - entry), key.Id)) return -1;
    const char* value = eq + 1;
    int32_t valueLength = static_cast<int32_t>(entry + length - value);
    if (DecodeBase64(value, valueLength, key.Point, kPublicKeySize) != kPublicKeySize) return -1;
    ++count;
  }
  return count;
}

bool FindSignatureBlock(const char* text, int32_t n, TSignatureBlock& block) {
  if (n <= 0) return false;
  // The last line, without its line end.
  int32_t end = n;
  if (end >= 2 && text[end - 2] == '\r' && text[end - 1] == '\n')
    end -= 2;
  else if (text[end - 1] == '\r')
    end -= 1;
  int32_t start = end;
  while (start > 0 && text[start - 1] != '\r') --start;
  if (start > 0 && start < end && text[start] == '\n') ++start;
  if (start == 0) return false;  // a signature line alone signs nothing

  static const char kSignature[] = "signature=";
  const char* line = text + start;
  int32_t length = end - start;
  if (!StartsWith(line, length, kSignature)) return false;
  const char* id = line + sizeof kSignature - 1;
  const char* colon = id;
  while (colon < line + length && *colon != ':') ++colon;
  if (colon == line + length || !TakeKeyId(id, static_cast<int32_t>(colon - id), block.KeyId)) return false;
  int32_t encoded = static_cast<int32_t>(line + length - (colon + 1));
  if (DecodeBase64(colon + 1, encoded, block.Signature, kSignatureSize) != kSignatureSize) return false;

  int32_t serialEnd;
  int32_t serialStart = PreviousLine(text, start, &serialEnd);
  if (serialStart < 0) return false;
  static const char kSerial[] = "serial=";
  const char* serial = text + serialStart;
  int32_t serialLength = serialEnd - serialStart;
  int32_t digits = serialLength - (static_cast<int32_t>(sizeof kSerial) - 1);
  uint64_t value = 0;
  if (!StartsWith(serial, serialLength, kSerial) || !ParseSerial(serial + serialLength - digits, digits, &value))
    return false;

  int32_t headerEnd;
  int32_t headerStart = PreviousLine(text, serialStart, &headerEnd);
  if (headerStart < 0 || text[headerStart] != '[' || headerEnd - headerStart < 6) return false;
  char header[8];
  TextCopyCount(header, text + headerStart + 1, 5);
  if (SectionOf(header) != kSectionSites) return false;

  block.SignedLength = start;
  block.Serial = value;
  return true;
}
