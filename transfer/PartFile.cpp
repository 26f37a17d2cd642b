#include "transfer/PartFile.h"

#include "manifest/Manifest.h"
#include "support/TextUtil.h"

const char* FailureText(TFailure failure) {
  // In the order of the codes. An HTTP status and a broken connection are
  // logged in the words of their detail, a file fetched as such.
  static const char* const texts[] = {
      "none",
      "path too long",
      "a link in its path",
      "cannot be written",
      "write failed",
      "the disk is full",
      "more than its size",
      "hash mismatch",
      "another size than listed",
      "URL too long",
      "no answer",
      "an answer other than 200",
      "stalled or too long",
      "not a whole zlib stream",
      "the connection broke",
      "a reply that did not inflate",
  };
  static_assert(sizeof texts / sizeof texts[0] == kFailNotInflated + 1, "a failure without its text");
  return texts[failure];
}

bool ContentStillGood(TFailure failure) {
  // Only the way to the file failed (nothing of a reply that did not inflate
  // is written): what arrived of it may be gone on with.
  return failure == kFailNone || failure == kFailNoAnswer || failure == kFailHttpStatus || failure == kFailStalled ||
         failure == kFailConnection || failure == kFailNotInflated;
}

TFailure FirstFailure(TFailure first, TFailure otherwise) { return first != kFailNone ? first : otherwise; }

bool PartName(char* part, const char* target) {
  int32_t n = TextLength(target);
  if (n <= kTextCapacity - 1 - kPartSuffixLength) {
    TextJoin(part, target, kPartSuffix, nullptr);
    return true;
  }
  const char* slash = TextFindLast(target, '\\');
  int32_t folder = slash ? static_cast<int32_t>(slash - target) + 1 : 0;
  constexpr int32_t kShort = 1 + 8 + kPartSuffixLength;  // "~" and eight hex digits
  if (folder > kTextCapacity - 1 - kShort) return false;
  uint32_t hash = kHashBasis;  // of the whole path
  for (const char* c = target; *c; ++c) hash = HashByte(hash, static_cast<uint8_t>(*c));
  const uint8_t bytes[4] = {static_cast<uint8_t>(hash >> 24), static_cast<uint8_t>(hash >> 16),
                            static_cast<uint8_t>(hash >> 8), static_cast<uint8_t>(hash)};
  TextCopyMax(part, target, folder + 1);
  TextCopy(TextPutHex(TextPutChar(part + folder, '~'), bytes, 4), kPartSuffix);
  return true;
}

void IdentityText(char* out, const TFileEntry& entry) {
  char* p = TextFromInt(out, static_cast<uint32_t>(entry.Size));
  p = TextFromInt(TextPutChar(p, ','), entry.DosTime);
  p = TextPutChar(p, ',');
  p = entry.HasHash ? TextPutHex(p, entry.Sha256, kDigestSize) : TextPutChar(p, '-');
  TextCopy(p, "\r\n");
}

bool MayResumeAt(int64_t length, int32_t chunk, int32_t limit) {
  // Within the limit, the length fits 32 bits.
  return length > 0 && length <= limit && chunk > 0 && static_cast<int32_t>(length) % chunk == 0;
}

bool AsideName(char* out, const char* folder, const uint8_t random[kAsideRandomBytes]) {
  if (TextLength(folder) > kTextCapacity - 1 - kAsideNameLength) return false;
  char* p = TextCopy(TextCopy(out, folder), kAsidePrefix);
  TextCopy(TextPutHex(p, random, kAsideRandomBytes), kPartSuffix);
  return true;
}

bool IsAsideName(const char* name) {
  // Eight hexadecimal digits, as made here: a listing by ANSI names reads a
  // fullwidth "＼．．" as "\..", which would lead out of the folder.
  constexpr int32_t kPrefixLength = sizeof kAsidePrefix - 1;
  uint8_t digits[kAsideRandomBytes];
  return TextLength(name) == kAsideNameLength && TextStartsWith(name, kAsidePrefix) &&
         DecodeHex(name + kPrefixLength, digits, kAsideRandomBytes) &&
         TextEquals(name + kPrefixLength + 2 * kAsideRandomBytes, kPartSuffix);
}
