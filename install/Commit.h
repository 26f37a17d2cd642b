// The commit: once every selected file has arrived and been checked, the
// files in transfer replace the installed ones, one after another, behind a
// journal in the installation folder that the next start finishes after a
// crash. The journal's text, its reading and the order of the renames are
// platform-free (Commit.cpp); the disk, the checks before the first rename
// and the finish at start are Win32 (CommitWin.cpp).
#pragma once
#include <cstdint>

#include "config/Settings.h"
#include "support/TinyLib.h"
#include "transfer/PartFile.h"

struct TFileEntry;

constexpr char kJournalHeader[] = "Tovimar journal 1";
// A file's line: its aside name, a blank and the file's line as the list
// gave it ("~old0123abcd.~tv Bin\core.dll=5000,976180160,sha256=..."); the
// last line, "commit" and the number of file lines, makes the commit.
constexpr int32_t kJournalLineCapacity = kAsideNameLength + 1 + kNameCapacity + 96;
char* JournalLine(char* out, const char* aside, const TFileEntry& entry);
char* CommitRecord(char* out, int32_t count);

enum TJournalState {
  kJournalUnreadable,  // no journal of ours, or one with a line that names no file we may write
  kJournalBegun,       // no whole commit record: nothing was renamed yet
  kJournalCommitted,   // the renames may have begun: finished at the next start
};
// What a journal says, its text split into lines: the file lines are lines
// 1 to count. `whole` when the text ends with CR LF (EndsWhole): a record cut
// short by a crash ends without them, or is zeros.
bool EndsWhole(const char* text, int32_t n);
TJournalState ReadJournal(const TSimpleStrings& lines, bool whole, int32_t* count);
// One file line of a journal: the aside name (of kAsideNameLength + 1) and
// the entry. False for anything else.
bool JournalFile(const char* line, char* aside, TFileEntry* entry);

// The disk as the commit sees it, file by file: i's file in transfer, its
// target and its aside name.
enum TPlacing { kPlaced, kTargetInUse, kNotPlaced };
class TCommitDisk {
 public:
  // The file in transfer is there, whole and with the content its line names
  // (one that is not is left to the next pass, which fetches it again).
  virtual bool PartThere(int32_t i) = 0;
  // The file in transfer takes the target's name, replacing what had it.
  virtual TPlacing Place(int32_t i) = 0;
  // The target to its aside name, and back.
  virtual bool SetAside(int32_t i) = 0;
  virtual void PutBack(int32_t i) = 0;
  // i is in place, its old file set aside or not.
  virtual void Placed(int32_t i, bool setAside) = 0;

 protected:
  ~TCommitDisk() = default;
};
// The renames, first file to last. A file still in use is set aside first;
// its file in transfer then takes its name, or the aside is put back. The
// same run after a crash finishes it: a file without its file in transfer
// was placed. The files not placed (none: 0); `first` is the first of them.
int32_t RunCommit(TCommitDisk& disk, int32_t count, int32_t* first);

// "Installation incomplete: <name> is locked by <program>. Nothing was
// replaced." (or "by another program" for no name; "cannot be replaced" for a
// file that is not locked) into out (of kTextCapacity + 96). Returns out.
const char* LockedText(char* out, const char* name, const char* program, bool locked);

// Win32 side.

// The verified files of the pass replace the installed ones, and a signed
// list's serial is kept once the commit record is on the disk (at once when
// nothing is to be replaced). True when all did; otherwise why not is in
// `why` (of kTextCapacity + 96), nothing was replaced when a check before
// the first rename failed, and the next start finishes a commit begun.
bool CommitFiles(char* why);
// Before anything else of a pass: a journal found is finished, or removed
// when nothing was begun. False, with why, when a file of it still cannot be
// placed: the journal stays for the next run.
bool FinishJournal(char* why);
