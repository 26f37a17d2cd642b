#include <doctest/doctest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "install/Commit.h"
#include "manifest/Manifest.h"

namespace {

TFileEntry Entry(const char* name, int32_t size, bool hashed) {
  TFileEntry e = {};
  strcpy(e.Name, name);
  e.Size = size;
  e.DosTime = 976180160;
  e.HasHash = hashed;
  for (int32_t i = 0; i < kDigestSize; ++i) e.Sha256[i] = static_cast<uint8_t>(i * 7);
  return e;
}

std::string JournalOf(const std::vector<TFileEntry>& entries) {
  std::string text = std::string(kJournalHeader) + "\r\n";
  char line[kJournalLineCapacity];
  for (const TFileEntry& e : entries) {
    JournalLine(line, "~old0123abcd.~tv", e);
    text += line;
  }
  CommitRecord(line, static_cast<int32_t>(entries.size()));
  return text + line;
}

TJournalState StateOf(std::string text, int32_t* count) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back(0);                                                       // the spare byte
  bool whole = EndsWhole(buffer.data(), static_cast<int32_t>(text.size()));  // before the split ends the lines
  TSimpleStrings lines(buffer.data(), static_cast<int32_t>(text.size()));
  return ReadJournal(lines, whole, count);
}

}  // namespace

TEST_CASE("a journal counts as committed only when its record is whole, whatever a crash left of it") {
  std::vector<TFileEntry> entries = {Entry("Corvane.exe", 60000, true), Entry("Bin\\core.dll", 785432, false),
                                     Entry("Data/S01/a b.dat", 1, true)};
  std::string whole = JournalOf(entries);
  int32_t count = 0;
  REQUIRE(StateOf(whole, &count) == kJournalCommitted);
  CHECK(count == 3);
  // Every prefix, and every prefix followed by the zeros a power cut may
  // leave in a file's last block: never committed, nothing begun.
  for (size_t n = 0; n < whole.size(); ++n) {
    CAPTURE(n);
    CHECK(StateOf(whole.substr(0, n), &count) != kJournalCommitted);
    CHECK(StateOf(whole.substr(0, n) + std::string(512, '\0'), &count) != kJournalCommitted);
  }
  // Each file line reads back as it was written.
  std::vector<char> buffer(whole.begin(), whole.end());
  buffer.push_back(0);
  TSimpleStrings lines(buffer.data(), static_cast<int32_t>(whole.size()));
  for (size_t i = 0; i < entries.size(); ++i) {
    char aside[kAsideNameLength + 1];
    TFileEntry e;
    REQUIRE(JournalFile(lines.Items[i + 1], aside, &e));
    CHECK(std::string(aside) == "~old0123abcd.~tv");
    CHECK(std::string(e.Name) == entries[i].Name);
    CHECK(e.Size == entries[i].Size);
    CHECK(e.DosTime == entries[i].DosTime);
    CHECK(e.HasHash == entries[i].HasHash);
    if (e.HasHash) CHECK(memcmp(e.Sha256, entries[i].Sha256, kDigestSize) == 0);
  }
}

TEST_CASE("a journal that names anything but files of the folder and asides of ours is not followed") {
  const std::string head = std::string(kJournalHeader) + "\r\n";
  struct Case {
    std::string text;
    TJournalState state;
  } cases[] = {
      {head + "~old0123abcd.~tv a.dll=5,1\r\ncommit 1\r\n", kJournalCommitted},
      {head + "~old0123abcd.~tv a.dll=5,1\r\ncommit 2\r\n", kJournalBegun},  // not the lines written
      {head + "~old0123abcd.~tv a.dll=5,1\r\ncommit 1x\r\n", kJournalBegun},
      {head + "commit 0\r\n", kJournalBegun},
      {head + "~old0123abcd.~tv ..\\..\\Windows\\x.dll=5,1\r\ncommit 1\r\n", kJournalUnreadable},
      {head + "~old0123abcd.~tv C:\\x.dll=5,1\r\ncommit 1\r\n", kJournalUnreadable},
      {head + "~old0123abcd.~tv Tovimar.exe=5,1\r\ncommit 1\r\n", kJournalUnreadable},  // our own
      {head + "..\\..\\evil.dll a.dll=5,1\r\ncommit 1\r\n", kJournalUnreadable},        // not an aside name
      {head + "~old0123abcd.~tv a.dll=0,1\r\ncommit 1\r\n", kJournalUnreadable},        // no size
      {head + "~old0123abcd.~tv a.dll=5,1,sha256=12\r\ncommit 1\r\n", kJournalUnreadable},
      {"Tovimar journal 2\r\n~old0123abcd.~tv a.dll=5,1\r\ncommit 1\r\n", kJournalUnreadable},
      {"", kJournalUnreadable},
  };
  for (const Case& c : cases) {
    CAPTURE(c.text);
    int32_t count;
    CHECK(StateOf(c.text, &count) == c.state);
  }
}

namespace {

// The files of a folder by name, "old" or "new" or nothing, and which of
// them a running program holds: a file in use is renamed, never replaced.
// After `crashAt` steps every further change is lost, as in a power cut.
struct TFakeDisk final : TCommitDisk {
  std::map<std::string, std::string> Files;
  std::map<std::string, bool> InUse;
  int32_t Steps = 0;
  int32_t CrashAt = -1;
  int32_t Count;
  explicit TFakeDisk(int32_t count) : Count(count) {}

  static std::string Target(int32_t i) { return "f" + std::to_string(i); }
  static std::string Part(int32_t i) { return Target(i) + ".~tv"; }
  static std::string Aside(int32_t i) { return "~old" + std::to_string(i); }
  bool Crashed() const { return CrashAt >= 0 && Steps >= CrashAt; }
  bool Move(const std::string& from, const std::string& to, bool replace) {
    if (Crashed() || !Files.count(from) || (Files.count(to) && (!replace || InUse[to]))) return false;
    Files[to] = Files[from];
    InUse[to] = InUse[from];
    Files.erase(from);
    InUse.erase(from);
    ++Steps;
    return true;
  }

  bool PartThere(int32_t i) override { return Files.count(Part(i)) && Files[Part(i)] == "new"; }
  TPlacing Place(int32_t i) override {
    if (Move(Part(i), Target(i), true)) return kPlaced;
    return !Crashed() && InUse[Target(i)] ? kTargetInUse : kNotPlaced;
  }
  bool SetAside(int32_t i) override { return Move(Target(i), Aside(i), false); }
  void PutBack(int32_t i) override { Move(Aside(i), Target(i), false); }
  void Placed(int32_t, bool) override {}
};

// Files 0 to 4 installed old, all but 3 with a new file staged (3 is new
// to this version); 1 and 4 are running.
TFakeDisk Staged() {
  TFakeDisk disk(5);
  for (int32_t i = 0; i < 5; ++i) {
    if (i != 3) disk.Files[TFakeDisk::Target(i)] = "old";
    disk.Files[TFakeDisk::Part(i)] = "new";
  }
  disk.InUse["f1"] = disk.InUse["f4"] = true;
  return disk;
}

// No file of either version is lost: each is at its name, or set aside
// between the two renames of a file in use, with its new file still there.
void CheckNothingLost(TFakeDisk& disk) {
  for (int32_t i = 0; i < disk.Count; ++i) {
    CAPTURE(i);
    bool target = disk.Files.count(TFakeDisk::Target(i)) > 0;
    bool part = disk.PartThere(i);
    bool aside = disk.Files.count(TFakeDisk::Aside(i)) > 0;
    if (target && disk.Files[TFakeDisk::Target(i)] == "new") continue;  // placed
    CHECK(part);                                                        // the new one waits
    CHECK((target || aside || i == 3));                                 // the old one is kept
  }
}

}  // namespace

TEST_CASE("a commit cut off after any step is finished by the next start, even when that is cut off too") {
  int32_t first;
  TFakeDisk whole = Staged();
  REQUIRE(RunCommit(whole, 5, &first) == 0);
  const int32_t steps = whole.Steps;  // a rename each, two more for each file in use
  CHECK(steps == 7);
  for (int32_t crash = 0; crash <= steps; ++crash) {
    for (int32_t second = 0; second <= steps; ++second) {
      CAPTURE(crash);
      CAPTURE(second);
      TFakeDisk disk = Staged();
      disk.CrashAt = crash;
      RunCommit(disk, 5, &first);
      CheckNothingLost(disk);
      // The next start, itself cut off, then the one after it.
      disk.Steps = 0;
      disk.CrashAt = second;
      RunCommit(disk, 5, &first);
      CheckNothingLost(disk);
      disk.CrashAt = -1;
      CHECK(RunCommit(disk, 5, &first) == 0);
      for (int32_t i = 0; i < 5; ++i) {
        CHECK(disk.Files[TFakeDisk::Target(i)] == "new");
        CHECK_FALSE(disk.Files.count(TFakeDisk::Part(i)));
      }
      // Only the files in use were set aside, each once.
      CHECK(disk.Files.count("~old1") == 1);
      CHECK(disk.Files.count("~old4") == 1);
      CHECK(disk.Files.size() == 7);
    }
  }
}

TEST_CASE("a file that cannot be placed is put back and named, and the others are placed") {
  TFakeDisk disk = Staged();
  // 2 is held so that not even its renaming aside works.
  disk.InUse["f2"] = true;
  struct TLocked final : TCommitDisk {
    TFakeDisk& Disk;
    explicit TLocked(TFakeDisk& disk) : Disk(disk) {}
    bool PartThere(int32_t i) override { return Disk.PartThere(i); }
    TPlacing Place(int32_t i) override { return Disk.Place(i); }
    bool SetAside(int32_t i) override { return i != 2 && Disk.SetAside(i); }
    void PutBack(int32_t i) override { Disk.PutBack(i); }
    void Placed(int32_t i, bool aside) override { Disk.Placed(i, aside); }
  } locked(disk);
  int32_t first;
  CHECK(RunCommit(locked, 5, &first) == 1);
  CHECK(first == 2);
  CHECK(disk.Files["f2"] == "old");
  CHECK(disk.Files["f2.~tv"] == "new");
  CHECK(disk.Files["f0"] == "new");
  CHECK(disk.Files["f4"] == "new");
}

TEST_CASE("the text of a file that holds back the commit") {
  char out[kTextCapacity + 96];
  CHECK(std::string(LockedText(out, "readme.txt", "Corvane", true)) ==
        "Installation incomplete: readme.txt is locked by Corvane. Nothing was replaced.");
  CHECK(std::string(LockedText(out, "readme.txt", "", true)) ==
        "Installation incomplete: readme.txt is locked by another program. Nothing was replaced.");
  CHECK(std::string(LockedText(out, "Bin\\core.dll", nullptr, false)) ==
        "Installation incomplete: Bin\\core.dll cannot be replaced. Nothing was replaced.");
}
