#include "manifest/Manifest.h"

#include <cstdlib>
#include <cstring>

#include "app/Progress.h"
#include "config/InstallDir.h"
#include "manifest/Sites.h"
#include "support/TextUtil.h"
#include "support/TinyLib.h"

TFileEntry* FileTable;
int32_t FileCount;

void ResetManifest() {
  free(FileTable);
  FileTable = nullptr;
  FileCount = 0;
}

int32_t SectionOf(const char* text) {
  static const char* const names[] = {"CLIENT", "SERVERONLY", "ONDEMAND", "SITES"};
  for (int i = 0; i < 4; ++i)
    if (TextEqualsN(text, names[i], TextLength(names[i]))) return kSectionClient + i;
  return kSectionNone;
}

bool LanguageAllows(const char* name) {
  if (Settings.CloudMode != kCloudPreset) return true;
  const char* slash = TextFindFirst(name, '\\');
  if (!slash) return true;
  if (Settings.Language[0] == 0) return false;
  return TextEqualsN(Settings.Language, name, static_cast<int>(slash - name));
}

bool SafeRelativePath(const char* name, int32_t length) {
  if (length <= 0 || length > kNameCapacity - 1) return false;
  if (length > kTextCapacity - 1 - TextLength(Settings.InstallDir)) return false;
  if (name[0] == '\\' || name[0] == '/') return false;
  // Windows drops trailing dots and blanks of a path element, so any element
  // made of dots and blanks with two dots in it climbs like "..".
  int dots = 0;
  bool onlyDots = true;
  for (int32_t i = 0; i <= length; ++i) {
    char c = i < length ? name[i] : '\\';
    if (c == ':') return false;
    if (c == '\\' || c == '/') {
      if (onlyDots && dots >= 2) return false;
      dots = 0;
      onlyDots = true;
    } else if (c == '.') {
      ++dots;
    } else if (c != ' ') {
      onlyDots = false;
    }
  }
  return true;
}

namespace {

// The names the program keeps in the folder for itself.
bool OwnName(const char* name) { return TextEquals(name, kSerialFileName); }

// Splits a file line into the entry's name, size, DOS date-time and hash.
// False when the path is not one we may write or the hash is malformed.
bool ParseFileLine(const char* line, TFileEntry& entry, int32_t& size, uint32_t& dosTime) {
  int32_t length;
  if (!ParseFileFields(line, length, size, dosTime, entry.HasHash, entry.Sha256)) return false;
  if (!SafeRelativePath(line, length)) return false;
  TextCopyCount(entry.Name, line, length);
  return !OwnName(entry.Name);
}

}  // namespace

bool ParseFileFields(const char* line, int32_t& nameLength, int32_t& size, uint32_t& dosTime, bool& hasHash,
                     uint8_t sha256[kDigestSize]) {
  const char* eq = TextFindFirst(line, '=');
  nameLength = eq ? static_cast<int32_t>(eq - line) : TextLength(line);
  size = 0;
  dosTime = 0;
  hasHash = false;
  if (!eq) return true;
  const char* cursor = eq + 1;
  size = TextParseInt(cursor);
  if (*cursor == 0) return true;
  ++cursor;
  dosTime = static_cast<uint32_t>(TextParseInt(cursor));
  static const char kHashField[] = ",sha256=";
  if (strncmp(cursor, kHashField, sizeof kHashField - 1) != 0) return true;  // not read, as before
  cursor += sizeof kHashField - 1;
  const int32_t digits = 2 * kDigestSize;
  for (int32_t i = 0; i < digits; ++i)
    if (cursor[i] == 0) return false;
  if (!DecodeHex(cursor, sha256, kDigestSize)) return false;
  char after = cursor[digits];
  if (after != 0 && after != ',') return false;  // 65 digits are no hash
  hasHash = true;
  return true;
}

void ParseManifest(char* text, int32_t n, TUpToDateCheck isUpToDate, bool signedList) {
  ResetManifest();
  if (n < 0) n = 0;
  text[n] = 0;
  TSimpleStrings lines(text, n);
  if (lines.Count == 0) return;
  FileTable = static_cast<TFileEntry*>(malloc(sizeof(TFileEntry) * lines.Count));
  if (!FileTable) return;
  char path[kTextCapacity];
  char* nameAt = TextCopyMax(path, Settings.InstallDir, kTextCapacity);
  int32_t section = 0;
  for (int32_t i = 0; i < lines.Count; ++i) {
    char* line = lines.Items[i];
    if (line[0] == 0) continue;
    if (line[0] == '[') {
      section = SectionOf(line + 1);
      continue;
    }
    if (section == kSectionSites) {
      AddSite(line);
      continue;
    }
    if (!(Settings.IncludeSections & (1u << section))) continue;
    TFileEntry& entry = FileTable[FileCount];
    int32_t size;
    uint32_t dosTime;
    if (!ParseFileLine(line, entry, size, dosTime)) continue;
    if (signedList && !entry.HasHash) continue;
    TextCopy(nameAt, entry.Name);
    if (!LanguageAllows(entry.Name)) continue;
    if (isUpToDate(path, size, dosTime, entry.HasHash ? entry.Sha256 : nullptr)) continue;
    entry.Size = size;
    entry.DosTime = dosTime;
    entry.State = kPending;
    entry.Written = 0;
    ++FileCount;
    TransferStats.TotalBytes = static_cast<int32_t>(static_cast<uint32_t>(TransferStats.TotalBytes) + static_cast<uint32_t>(size));
  }
  if (FileCount == 0) {
    ResetManifest();
    return;
  }
  TFileEntry* shrunk = static_cast<TFileEntry*>(realloc(FileTable, sizeof(TFileEntry) * FileCount));
  if (shrunk) FileTable = shrunk;
}

int32_t SumWritten() {
  uint32_t sum = 0;
  for (int32_t i = 0; i < FileCount; ++i) sum += static_cast<uint32_t>(FileTable[i].Written);
  return static_cast<int32_t>(sum);
}
