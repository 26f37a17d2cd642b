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
int32_t* PickOrder;
char WatchedName[kTextCapacity];
char ListVersion[kVersionCapacity];
uint64_t ListedBytes;
TFileEntry WatchedLine = {"", -1, 0, kPending, 0, false, {}};

void ResetManifest() {
  free(FileTable);
  FileTable = nullptr;
  FileCount = 0;
  // The order named entries of the old table.
  free(PickOrder);
  PickOrder = nullptr;
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
  int32_t start = 0;
  for (int32_t i = 0; i <= length; ++i) {
    if (i < length && name[i] != '\\' && name[i] != '/') continue;
    if (!SafeNameElement(name + start, i - start)) return false;
    start = i + 1;
  }
  return true;
}

bool OwnName(const char* name) {
  static const char* const own[] = {kLinkListName, kProgramFileName, kSerialFileName, kJournalFileName,
                                    kShortJournalName};
  for (const char* o : own)
    if (TextEquals(name, o)) return true;
  int32_t n = TextLength(name);
  // Files in transfer, whatever their folder.
  return n >= kPartSuffixLength && TextEquals(name + n - kPartSuffixLength, kPartSuffix);
}

bool SameFileName(const char* a, const char* b) {
  for (;; ++a, ++b) {
    char x = *a == '/' ? '\\' : FoldCase(*a);
    char y = *b == '/' ? '\\' : FoldCase(*b);
    if (x != y) return false;
    if (x == 0) return true;
  }
}

bool ParseFileLine(const char* line, TFileEntry& entry, int32_t& size, uint32_t& dosTime) {
  int32_t length;
  if (!ParseFileFields(line, length, size, dosTime, entry.HasHash, entry.Sha256)) return false;
  if (!SafeRelativePath(line, length)) return false;
  TextCopyCount(entry.Name, line, length);
  return !OwnName(entry.Name);
}

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

int32_t ParsePatchFields(const char* fields, TPatchField* out, int32_t capacity) {
  static const char kPatchField[] = "patch=";
  const int32_t digits = 2 * kDigestSize;
  int32_t count = 0;
  for (const char* field = TextFindFirst(fields, ','); field && count < capacity; field = TextFindFirst(field, ',')) {
    ++field;
    if (strncmp(field, kPatchField, sizeof kPatchField - 1) != 0) continue;
    const char* cursor = field + sizeof kPatchField - 1;
    TPatchField& f = out[count];
    // Each part whole: digits up to a ':' or the field's end, nothing more.
    if (TextLength(cursor) < digits || !DecodeHex(cursor, f.Base, kDigestSize) || cursor[digits] != ':') continue;
    cursor += digits + 1;
    if (*cursor < '0' || *cursor > '9') continue;
    f.Size = TextParseInt(cursor);
    if (f.Size <= 0 || *cursor != ':' || TextLength(++cursor) < digits || !DecodeHex(cursor, f.Sha256, kDigestSize))
      continue;
    if (cursor[digits] != 0 && cursor[digits] != ',') continue;
    ++count;
  }
  return count;
}

namespace {

// The names of the file lines taken so far, to find a second line that names
// the same file in other letter case: an open-addressing set over the
// manifest's own text.
class TNameSet {
 public:
  explicit TNameSet(int32_t lines) {
    while (Capacity < 2 * lines) Capacity *= 2;
    Slots = static_cast<const char**>(calloc(static_cast<size_t>(Capacity), sizeof(const char*)));
  }
  ~TNameSet() { free(Slots); }
  TNameSet(const TNameSet&) = delete;
  TNameSet& operator=(const TNameSet&) = delete;

  // False when a name equal up to case was added before; adds it otherwise.
  // Without memory every name counts as new.
  bool Add(const char* name) {
    if (!Slots) return true;
    uint32_t hash = kHashBasis;
    for (const char* c = name; *c; ++c) hash = HashByte(hash, static_cast<uint8_t>(*c == '/' ? '\\' : FoldCase(*c)));
    for (uint32_t i = hash & static_cast<uint32_t>(Capacity - 1);; i = (i + 1) & static_cast<uint32_t>(Capacity - 1)) {
      if (!Slots[i]) {
        Slots[i] = name;
        return true;
      }
      if (SameFileName(Slots[i], name)) return false;
    }
  }

 private:
  int32_t Capacity = 16;
  const char** Slots;
};

}  // namespace

namespace {

// Printable ASCII of a short version, or nothing.
void TakeVersion(const char* text) {
  int32_t n = TextLength(text);
  for (int32_t i = 0; i < n; ++i)
    if (text[i] < ' ' || text[i] > '~') return;
  if (n < kVersionCapacity) TextCopy(ListVersion, text);
}

}  // namespace

void ParseManifest(char* text, int32_t n, TUpToDateCheck isUpToDate, bool signedList, TInstalledHash installedHash) {
  ResetManifest();
  // Kept past the table: they matter most when nothing is to be fetched.
  WatchedLine.Size = -1;
  ListVersion[0] = 0;
  ListedBytes = 0;
  if (n < 0) n = 0;
  text[n] = 0;
  TSimpleStrings lines(text, n);
  if (lines.Count == 0) return;
  FileTable = static_cast<TFileEntry*>(malloc(sizeof(TFileEntry) * lines.Count));
  if (!FileTable) return;
  char path[kTextCapacity];
  char* nameAt = TextCopyMax(path, Settings.InstallDir, kTextCapacity);
  TNameSet names(lines.Count);
  int32_t section = 0;
  for (int32_t i = 0; i < lines.Count; ++i) {
    char* line = lines.Items[i];
    if (line[0] == 0) continue;
    if (line[0] == '[') {
      section = SectionOf(line + 1);
      continue;
    }
    if (section == kSectionSites) {
      if (TextStartsWith(line, "version="))
        TakeVersion(line + 8);
      else
        AddSite(line);
      continue;
    }
    if (!(Settings.IncludeSections & (1u << section))) continue;
    TFileEntry& entry = FileTable[FileCount];
    int32_t size;
    uint32_t dosTime;
    if (!ParseFileLine(line, entry, size, dosTime)) continue;
    if (signedList && !entry.HasHash) continue;
    const char* fields = line + TextLength(entry.Name) + 1;  // after the '=' (a hash says there was one)
    // The set keeps the name in the line's own text: the slot of a skipped
    // entry in the table is used again.
    line[TextLength(entry.Name)] = 0;
    if (!names.Add(line)) continue;
    TextCopy(nameAt, entry.Name);
    if (!LanguageAllows(entry.Name)) continue;
    if (size > 0) ListedBytes += static_cast<uint32_t>(size);
    if (WatchedName[0] && SameFileName(entry.Name, WatchedName)) {
      WatchedLine = entry;
      WatchedLine.Size = size;
    }
    if (isUpToDate(path, size, dosTime, entry.HasHash ? entry.Sha256 : nullptr)) continue;
    entry.HasPatch = false;
    TPatchField patches[kPatchFields];
    int32_t offered = entry.HasHash && installedHash ? ParsePatchFields(fields, patches, kPatchFields) : 0;
    uint8_t installed[kDigestSize];
    if (offered > 0 && installedHash(path, installed)) {
      for (int32_t k = 0; k < offered && !entry.HasPatch; ++k) {
        if (memcmp(patches[k].Base, installed, kDigestSize) != 0) continue;
        entry.HasPatch = true;
        entry.PatchSize = patches[k].Size;
        memcpy(entry.PatchBase, installed, kDigestSize);
        memcpy(entry.PatchSha256, patches[k].Sha256, kDigestSize);
      }
    }
    entry.Size = size;
    entry.DosTime = dosTime;
    entry.State = kPending;
    entry.Written = 0;
    ++FileCount;
    // What is fetched is what counts.
    uint32_t fetched = static_cast<uint32_t>(entry.HasPatch ? entry.PatchSize : size);
    TransferStats.TotalBytes = static_cast<int32_t>(static_cast<uint32_t>(TransferStats.TotalBytes) + fetched);
  }
  if (FileCount == 0) {
    ResetManifest();
    return;
  }
  TFileEntry* shrunk = static_cast<TFileEntry*>(realloc(FileTable, sizeof(TFileEntry) * FileCount));
  if (shrunk) FileTable = shrunk;
}

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

}  // namespace

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

int32_t SumWritten() {
  uint32_t sum = 0;
  for (int32_t i = 0; i < FileCount; ++i) sum += static_cast<uint32_t>(FileTable[i].Written);
  return static_cast<int32_t>(sum);
}
