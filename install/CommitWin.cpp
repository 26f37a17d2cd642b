#include <windows.h>
#include <restartmanager.h>

#include <cstdlib>

#include "config/Deployment.h"
#include "config/InstallDir.h"
#include "config/Settings.h"
#include "install/Commit.h"
#include "manifest/Manifest.h"
#include "manifest/Signature.h"
#include "support/Crypto.h"
#include "support/Log.h"
#include "support/SystemLibrary.h"
#include "support/TextUtil.h"
#include "support/Threads.h"
#include "support/TinyLib.h"
#include "transfer/ManifestFetch.h"
#include "transfer/PartFile.h"

namespace {

// The test variant's crash: the process ends right after the step named.
int32_t stepsDone;
void Step() {
  char stop[16];
  ++stepsDone;
  if (kFaultVariable[0] && GetEnvironmentVariableA(kFaultVariable, stop, sizeof stop) - 1 < sizeof stop - 1 &&
      TextToInt(stop) == stepsDone)
    TerminateProcess(GetCurrentProcess(), 99);
}

using TAside = char[kAsideNameLength + 1];

// The disk of a commit: the staged files of this pass, or, after a crash,
// the files in transfer that the journal names, checked again.
class TDisk final : public TCommitDisk {
 public:
  TDisk(TFileEntry* entries, TAside* asides, bool again) : Entries(entries), Asides(asides), Again(again) {}
  ~TDisk() { Let(); }
  TDisk(const TDisk&) = delete;
  TDisk& operator=(const TDisk&) = delete;

  bool PartThere(int32_t i) override {
    Let();
    MakeInstallPath(Target, Entries[i].Name);
    TextJoin(Aside, Settings.InstallDir, Asides[i], nullptr);
    Part = Again ? OpenWholePart(Entries[i]) : TakeStagedPart(i);
    // Its folders stay what was checked until it is in place.
    Pinned = new TPinnedFolders(Settings.InstallDir, Target);
    if (!Part && Pinned->Held() && PlainFolders(Target)) {
      // Placed before a crash, which left its record; or not whole, and
      // fetched again. Should it have gone between the two renames of a
      // file in use, the old file comes back until then.
      DeleteRecord();
      if (Again && GetFileAttributesA(Target) == INVALID_FILE_ATTRIBUTES)
        MoveFileExA(Aside, Target, MOVEFILE_WRITE_THROUGH);
    }
    return Part != nullptr;
  }

  TPlacing Place(int32_t) override {
    if (!Pinned->Held() || !PlainFolders(Target)) return kNotPlaced;
    if (RenameOpenFile(Part->Handle, Target)) {
      Step();
      return kPlaced;
    }
    DWORD error = GetLastError();
    // Only a file is set aside: a folder in the target's place is refused.
    DWORD attributes = GetFileAttributesA(Target);
    bool file = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    return file && (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) ? kTargetInUse : kNotPlaced;
  }

  bool SetAside(int32_t) override {
    if (!MoveFileExA(Target, Aside, MOVEFILE_WRITE_THROUGH)) return false;
    Step();
    return true;
  }

  void PutBack(int32_t) override {
    if (MoveFileExA(Aside, Target, MOVEFILE_WRITE_THROUGH)) Step();
  }

  void Placed(int32_t i, bool setAside) override {
    DeleteRecord();
    if (!setAside) {
      LogLine("replaced ", Entries[i].Name);
      return;
    }
    // Failing the next run, the next restart removes it.
    MoveFileExA(Aside, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
    LogLine(Entries[i].Name, " was in use: the old file was renamed aside");
  }

 private:
  void DeleteRecord() {
    char record[kTextCapacity + kNameCapacity + 2 * kPartSuffixLength];
    if (PartName(record, Target) && TextFits(record, kPartSuffix, sizeof record)) {
      TextAppend(record, kPartSuffix, nullptr);
      DeleteFileA(record);
    }
  }
  void Let() {
    delete Part;
    Part = nullptr;
    delete Pinned;
    Pinned = nullptr;
  }
  TFileEntry* Entries;
  TAside* Asides;
  bool Again;
  TSimpleFile* Part = nullptr;
  TPinnedFolders* Pinned = nullptr;
  char Target[kTextCapacity + kNameCapacity];
  char Aside[kTextCapacity + kAsideNameLength];
};

// The program that holds a file, as the system's restart manager names it;
// empty when it cannot say.
void HolderOf(const char* path, char* program, int32_t capacity) {
  program[0] = 0;
  static void* module;
  if (!module) module = LoadSystemLibrary("rstrtmgr.dll");
  DWORD(WINAPI * start)(DWORD*, DWORD, WCHAR*);
  DWORD(WINAPI * add)(DWORD, UINT, LPCWSTR*, UINT, RM_UNIQUE_PROCESS*, UINT, LPCWSTR*);
  DWORD(WINAPI * list)(DWORD, UINT*, UINT*, RM_PROCESS_INFO*, DWORD*);
  DWORD(WINAPI * end)(DWORD);
  if (!BindExport(module, start, "RmStartSession") || !BindExport(module, add, "RmRegisterResources") ||
      !BindExport(module, list, "RmGetList") || !BindExport(module, end, "RmEndSession"))
    return;
  DWORD session;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  WCHAR wide[MAX_PATH];
  LPCWSTR files[] = {wide};
  if (MultiByteToWideChar(CP_ACP, 0, path, -1, wide, MAX_PATH) <= 0 || start(&session, 0, key) != ERROR_SUCCESS) return;
  // Of several holders, the first names them well enough.
  constexpr UINT kHolders = 4;
  RM_PROCESS_INFO* info = static_cast<RM_PROCESS_INFO*>(calloc(kHolders, sizeof(RM_PROCESS_INFO)));
  UINT needed = 0, count = kHolders;
  DWORD reasons = 0;
  if (info && add(session, 1, files, 0, nullptr, 0, nullptr) == ERROR_SUCCESS &&
      list(session, &needed, &count, info, &reasons) == ERROR_SUCCESS && count > 0 &&
      WideCharToMultiByte(CP_ACP, 0, info->strAppName, -1, program, capacity, nullptr, nullptr) <= 0)
    program[0] = 0;
  program[capacity - 1] = 0;
  free(info);
  end(session);
}

// Every target can be replaced: missing, or a file that may be renamed (a
// running program's file may). False, with why, for the first that cannot.
bool TargetsFree(char* why) {
  for (int32_t i = 0; i < FileCount; ++i) {
    char target[kTextCapacity + kNameCapacity];
    MakeInstallPath(target, FileTable[i].Name);
    DWORD attributes = GetFileAttributesA(target);
    if (attributes == INVALID_FILE_ATTRIBUTES) continue;
    HANDLE handle = (attributes & FILE_ATTRIBUTE_DIRECTORY)
                        ? INVALID_HANDLE_VALUE
                        : CreateFileA(target, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      CloseHandle(handle);
      continue;
    }
    DWORD error = GetLastError();
    bool locked =
        !(attributes & FILE_ATTRIBUTE_DIRECTORY) && (error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION);
    char program[kNameCapacity];
    if (locked) HolderOf(target, program, sizeof program);
    LogLine(LockedText(why, FileTable[i].Name, locked ? program : nullptr, locked));
    return false;
  }
  return true;
}

// In a folder too long for its name, under a name no longer than the
// shortest name of a file in transfer, which fits wherever one does.
bool JournalPath(char* path) {
  char shortName[16];
  TextJoin(shortName, kShortJournalName, kPartSuffix, nullptr);
  const char* name = TextFits(Settings.InstallDir, kJournalFileName, kTextCapacity) ? kJournalFileName : shortName;
  if (!TextFits(Settings.InstallDir, name, kTextCapacity)) return false;
  TextJoin(path, Settings.InstallDir, name, nullptr);
  return true;
}

// The most a journal holds: a line for each file a list can name.
constexpr int32_t kJournalLimit = kManifestLimit / 2 * kJournalLineCapacity;

// The journal's lines, flushed, then the commit record, flushed, and with
// it the list's serial: each on the disk before what it announces happens.
bool WriteJournal(TSimpleFile& journal, TAside* asides) {
  constexpr int32_t kBlock = 16384;
  char* block = static_cast<char*>(malloc(kBlock));
  char line[kJournalLineCapacity];
  bool good = journal.IsOpen() && block;
  int32_t used = good ? TextLength(TextJoin(block, kJournalHeader, "\r\n", nullptr)) : 0;
  int64_t total = used;
  for (int32_t i = 0; good && i <= FileCount; ++i) {
    bool record = i == FileCount;
    // A file of unknown size is journaled with the size it arrived with.
    TFileEntry entry = FileTable[record ? 0 : i];
    if (entry.Size <= 0) entry.Size = entry.Written;
    int32_t n =
        static_cast<int32_t>((record ? CommitRecord(line, FileCount) : JournalLine(line, asides[i], entry)) - line);
    total += n;
    if (record || used > kBlock - 1 - n) {
      good = total <= kJournalLimit && journal.Write(block, used) == used;
      used = 0;
      if (record) {
        good = good && FlushFileBuffers(journal.Handle);
        if (good) Step();  // the file lines are on the disk, the record not yet
      }
    }
    TextCopy(block + used, line);
    used += n;
  }
  good = good && journal.Write(block, used) == used && FlushFileBuffers(journal.Handle);
  free(block);
  if (!good) return false;
  // The commit is decided: whatever cuts it short, the next start finishes it.
  if (ManifestOutcome.Verdict == kManifestSigned) KeepSerial(ManifestOutcome.Serial);
  Step();
  return true;
}

// The text of "<name> could not be replaced" for the first file left.
bool Unfinished(char* why, int32_t left, const char* name) {
  if (left == 0) return true;
  TextJoin(why, "Installation incomplete: ", name, " could not be replaced. The next run finishes the update.");
  LogLine(why);
  return false;
}

bool Refused(char* why, const char* text) {
  TextCopy(why, text);
  LogLine(why);
  return false;
}

}  // namespace

bool CommitFiles(char* why) {
  static const char kNoJournal[] = "Installation incomplete: the journal could not be written. Nothing was replaced.";
  if (FileCount == 0) {
    if (ManifestOutcome.Verdict == kManifestSigned) KeepSerial(ManifestOutcome.Serial);
    return true;
  }
  char path[kTextCapacity];
  uint8_t random[kAsideRandomBytes];
  if (!JournalPath(path) || !PlainFolders(Settings.InstallDir) || !RandomBytes(random, sizeof random))
    return Refused(why, kNoJournal);
  if (!TargetsFree(why)) return false;
  // The folder stays what was checked, and the journal, held open, keeps it
  // from being emptied and turned into a link, until the journal goes.
  TPinnedFolders pinned(Settings.InstallDir, path);
  TAside* asides = static_cast<TAside*>(malloc(sizeof(TAside) * FileCount));
  if (!pinned.Held() || !asides) {
    free(asides);
    return Refused(why, kNoJournal);
  }
  // One random number, counted up: the names differ from each other.
  uint32_t base = (uint32_t{random[0]} << 24) | (uint32_t{random[1]} << 16) | (uint32_t{random[2]} << 8) | random[3];
  for (int32_t i = 0; i < FileCount; ++i) {
    uint32_t n = base + static_cast<uint32_t>(i);
    const uint8_t bytes[kAsideRandomBytes] = {static_cast<uint8_t>(n >> 24), static_cast<uint8_t>(n >> 16),
                                              static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)};
    char aside[kTextCapacity];
    AsideName(aside, "", bytes);
    TextCopy(asides[i], aside);
  }
  char count[16];
  TextFromInt(count, static_cast<uint32_t>(FileCount));
  LogLine("commit begun: ", count, " file(s)");
  // A run ended from outside waits for the commit; past its patience the
  // journal finishes what the commit began.
  TCommitHold hold;
  TSimpleFile journal(path, kMadeAnew);
  bool done = false;
  if (!WriteJournal(journal, asides)) {
    DeleteOpenFile(journal.Handle);
    Refused(why, kNoJournal);
  } else {
    TDisk disk(FileTable, asides, false);
    int32_t first;
    int32_t left = RunCommit(disk, FileCount, &first);
    done = Unfinished(why, left, left ? FileTable[first].Name : "");
  }
  free(asides);
  if (!done) return false;
  DeleteOpenFile(journal.Handle);
  Step();
  LogLine("commit done");
  return true;
}

bool FinishJournal(char* why) {
  char path[kTextCapacity];
  if (!JournalPath(path)) return true;
  TPinnedFolders pinned(Settings.InstallDir, path);
  DWORD attributes = GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return true;
  static const char kUnread[] = "Installation incomplete: the journal of an earlier update could not be read.";
  // Read and removed through one handle, held until the journal is done
  // with: what is removed is what was read.
  TSimpleFile file(path, kGoneOn);
  LARGE_INTEGER size;
  if (!pinned.Held() || !file.IsOpen() || !GetFileSizeEx(file.Handle, &size)) {
    // Not a plain file with one name: a link is no journal of ours, and goes
    // (itself, not what it leads to).
    bool link = pinned.Held() && GetLastError() == ERROR_CANT_ACCESS_FILE;
    if (link) DeleteFileA(path);
    return link || Refused(why, kUnread);
  }
  // Longer than any journal the commit writes: not one of ours either.
  int32_t n = size.QuadPart <= kJournalLimit ? static_cast<int32_t>(size.QuadPart) : -1;
  char* text = n >= 0 ? static_cast<char*>(malloc(n + 1)) : nullptr;
  if (n >= 0 && (!text || file.Read(text, n) != n)) {
    free(text);
    return Refused(why, kUnread);
  }
  int32_t count = 0;
  TJournalState state = kJournalUnreadable;
  TSimpleStrings* lines = nullptr;
  if (text) {
    bool whole = EndsWhole(text, n);
    lines = new TSimpleStrings(text, n);
    state = ReadJournal(*lines, whole, &count);
  }
  bool finished = true;
  if (state == kJournalCommitted) {
    char files[16];
    TextFromInt(files, static_cast<uint32_t>(count));
    LogLine("journal found: finishing the commit of ", files, " file(s)");
    TFileEntry* entries = static_cast<TFileEntry*>(calloc(count, sizeof(TFileEntry)));
    TAside* asides = static_cast<TAside*>(calloc(count, sizeof(TAside)));
    if (entries && asides) {
      for (int32_t i = 0; i < count; ++i) JournalFile(lines->Items[i + 1], asides[i], &entries[i]);
      TCommitHold hold;
      TDisk disk(entries, asides, true);
      int32_t first;
      int32_t left = RunCommit(disk, count, &first);
      finished = Unfinished(why, left, left ? entries[first].Name : "");
    } else {
      finished = Refused(why, kUnread);
    }
    if (finished) LogLine("journal finished: the commit is done");
    free(entries);
    free(asides);
  } else {
    LogLine(state == kJournalBegun ? "journal found without its commit record: nothing had been replaced"
                                   : "journal found unreadable: removed");
  }
  delete lines;
  free(text);
  if (finished) DeleteOpenFile(file.Handle);
  return finished;
}
