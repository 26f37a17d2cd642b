#include "install/Commit.h"

#include "manifest/Manifest.h"
#include "support/TextUtil.h"
#include "support/TinyLib.h"

char* JournalLine(char* out, const char* aside, const TFileEntry& entry) {
  char* p = TextCopy(TextPutChar(TextCopy(out, aside), ' '), entry.Name);
  p = TextFromInt(TextPutChar(p, '='), static_cast<uint32_t>(entry.Size));
  p = TextFromInt(TextPutChar(p, ','), entry.DosTime);
  if (entry.HasHash) p = TextPutHex(TextCopy(p, ",sha256="), entry.Sha256, kDigestSize);
  return TextCopy(p, "\r\n");
}

char* CommitRecord(char* out, int32_t count) {
  return TextCopy(TextFromInt(TextCopy(out, "commit "), static_cast<uint32_t>(count)), "\r\n");
}

bool JournalFile(const char* line, char* aside, TFileEntry* entry) {
  if (TextLength(line) <= kAsideNameLength || line[kAsideNameLength] != ' ') return false;
  TextCopyCount(aside, line, kAsideNameLength);
  if (!IsAsideName(aside)) return false;
  int32_t size;
  uint32_t dosTime;
  if (!ParseFileLine(line + kAsideNameLength + 1, *entry, size, dosTime) || size <= 0) return false;
  entry->Size = size;
  entry->DosTime = dosTime;
  entry->Written = 0;
  entry->State = kPending;
  return true;
}

bool EndsWhole(const char* text, int32_t n) { return n >= 2 && text[n - 2] == '\r' && text[n - 1] == '\n'; }

TJournalState ReadJournal(const TSimpleStrings& lines, bool whole, int32_t* count) {
  *count = 0;
  int32_t total = lines.Count;
  if (total == 0 || !TextEquals(lines.Items[0], kJournalHeader)) return kJournalUnreadable;
  char aside[kTextCapacity];
  TFileEntry entry;
  int32_t files = 1;
  while (files < total && JournalFile(lines.Items[files], aside, &entry)) ++files;
  *count = files - 1;
  // Only the last line may be anything else: a line cut short.
  if (files < total - 1) return kJournalUnreadable;
  if (files == total || !whole) return kJournalBegun;
  const char* record = lines.Items[files];
  if (!TextStartsWith(record, "commit ")) return kJournalBegun;
  const char* digits = record + 7;
  int32_t said = TextParseInt(digits);
  return *digits == 0 && said == *count && said > 0 ? kJournalCommitted : kJournalBegun;
}

int32_t RunCommit(TCommitDisk& disk, int32_t count, int32_t* first) {
  int32_t left = 0;
  *first = -1;
  for (int32_t i = 0; i < count; ++i) {
    if (!disk.PartThere(i)) continue;  // placed before a crash, or to be fetched again
    TPlacing placing = disk.Place(i);
    bool setAside = false;
    if (placing == kTargetInUse && disk.SetAside(i)) {
      setAside = true;
      placing = disk.Place(i);
      if (placing != kPlaced) disk.PutBack(i);
    }
    if (placing == kPlaced) {
      disk.Placed(i, setAside);
      continue;
    }
    if (left++ == 0) *first = i;
  }
  return left;
}

const char* LockedText(char* out, const char* name, const char* program, bool locked) {
  TextJoin(out, "Installation incomplete: ", name, locked ? " is locked by " : " cannot be replaced");
  if (locked) TextAppend(out, program && program[0] ? program : "another program", nullptr);
  TextAppend(out, ". Nothing was replaced.", nullptr);
  return out;
}
