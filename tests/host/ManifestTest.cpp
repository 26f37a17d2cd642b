#include <doctest/doctest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "app/Progress.h"
#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "manifest/Sites.h"
#include "tests/host/Reset.h"

namespace {

std::set<std::string> upToDate;    // full paths that exist and match
std::vector<std::string> checked;  // every full path asked about

bool StubUpToDate(const char* path, int32_t, uint32_t, const uint8_t*) {
  checked.push_back(path);
  return upToDate.count(path) != 0;
}

void Fresh() {
  ResetCore();
  upToDate.clear();
  checked.clear();
}

// Parses `text` from a buffer with exactly one spare byte; returns the names.
std::vector<std::string> Parse(const std::string& text) {
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back('#');  // the spare byte
  ParseManifest(buffer.data(), static_cast<int32_t>(text.size()), StubUpToDate);
  std::vector<std::string> names;
  for (int i = 0; i < FileCount; ++i) names.push_back(FileTable[i].Name);
  return names;
}

using V = std::vector<std::string>;

}  // namespace

TEST_CASE("sections and the include bits") {
  const std::string text =
      "top=1\r[client]\r\nc=2\r[SERVERONLY]\rs=3\r[OnDemand]\ro=4\r[Other]\rx=5\r"
      "[CLIENTS]\rc2=6\r[CLI\rz=7\r\r";
  struct Case {
    int include;
    V names;
  } cases[] = {
      {2, V{"c", "c2"}},
      {1, V{"top", "x", "z"}},
      {4, V{"s"}},
      {8, V{"o"}},
      {14, V{"c", "s", "o", "c2"}},
      {0, V{}},
      {255, V{"top", "c", "s", "o", "x", "c2", "z"}},
  };
  for (auto& c : cases) {
    CAPTURE(c.include);
    Fresh();
    Settings.IncludeSections = static_cast<uint8_t>(c.include);
    CHECK(Parse(text) == c.names);
  }
}

TEST_CASE("file lines") {
  struct Case {
    const char* line;
    const char* name;
    int32_t size;
    uint32_t time;
  } cases[] = {
      {"Bin\\Corvane.exe=1048576,976180160", "Bin\\Corvane.exe", 1048576, 976180160},
      {"a.dll=100;976180160", "a.dll", 100, 976180160},
      {"a.dll=100", "a.dll", 100, 0},
      {"a.dll", "a.dll", 0, 0},
      {"a.dll=", "a.dll", 0, 0},
      {"a.dll=,77", "a.dll", 0, 77},
      {"a.dll=12,x9", "a.dll", 12, 0},
      {"a b.dll=1=2", "a b.dll", 1, 2},
      {"a.dll=1,5\nb.dll=2,7", "a.dll", 1, 5},  // a lone LF does not end the line
  };
  for (auto& c : cases) {
    CAPTURE(c.line);
    Fresh();
    REQUIRE(Parse(std::string("[CLIENT]\r\n") + c.line + "\r\n") == V{c.name});
    CHECK(FileTable[0].Size == c.size);
    CHECK(FileTable[0].DosTime == c.time);
    CHECK(FileTable[0].State == 0);
    CHECK(FileTable[0].Written == 0);
  }
}

TEST_CASE("paths that could leave the installation folder are skipped") {
  const std::string name63(63, 'n');
  const char* rejected[] = {
      "\\abs.dll",
      "/abs.dll",
      "C:x.dll",
      "a\\b:c",
      "..",
      "..\\x",
      "a\\..\\b",
      "a/../b",
      "a\\..",
      "...\\x",
      ". .\\x",
      "a\\.. \\b",
      " ..\\x",
      "a\\. . \\b",
      "=5",
      // An element ending in a dot is not the one named: Windows drops the dot.
      ".\\x",
      "a\\.x.\\b",
  };
  for (const char* r : rejected) {
    CAPTURE(r);
    Fresh();
    CHECK(Parse(std::string("[CLIENT]\r") + r + "=1\rok=2\r") == V{"ok"});
    CHECK(TransferStats.TotalBytes == 2);
  }
  const char* accepted[] = {"a..b\\c", ".hidden", "a\\.x\\b", "..a"};
  for (const char* a : accepted) {
    CAPTURE(a);
    Fresh();
    CHECK(Parse(std::string("[CLIENT]\r") + a + "=1\r") == V{a});
  }
  Fresh();
  CHECK(Parse("[CLIENT]\r" + name63 + "=1\r" + name63 + "x=1\r") == V{name63});
  Fresh();
  std::string dir(200, 'd');
  strcpy(Settings.InstallDir, (dir + "\\").c_str());  // 201 characters
  CHECK(Parse("[CLIENT]\r" + std::string(58, 'a') + "\r" + std::string(59, 'b') + "\r") == V{std::string(58, 'a')});
}

TEST_CASE("up-to-date files, duplicates, totals and order") {
  Fresh();
  strcpy(Settings.InstallDir, "C:\\Inst\\");
  upToDate = {"C:\\Inst\\Bin\\a.dll"};
  V names = Parse("[CLIENT]\r\nBin\\a.dll=100,976180160\r\nb.dll=7\r\nb.dll=7\r\nc=5,1\r\n");
  // A second line for the same file is skipped before anything is asked.
  CHECK(names == V{"b.dll", "c"});
  CHECK(checked == V{"C:\\Inst\\Bin\\a.dll", "C:\\Inst\\b.dll", "C:\\Inst\\c"});
  CHECK(FileCount == 2);
  CHECK(TransferStats.TotalBytes == 12);

  // The watched file's line is kept whether it is fetched or up to date, and
  // only from a selected line.
  struct Watch {
    const char* name;
    int32_t size;
  } watches[] = {{"bin/A.DLL", 100}, {"b.dll", 7}, {"Bin", -1}, {"s.exe", -1}, {"", -1}};
  for (const Watch& w : watches) {
    CAPTURE(w.name);
    Fresh();
    strcpy(Settings.InstallDir, "C:\\Inst\\");
    strcpy(WatchedName, w.name);
    upToDate = {"C:\\Inst\\Bin\\a.dll"};
    Parse("[CLIENT]\r\nBin\\a.dll=100,976180160\r\nb.dll=7\r\n[SERVERONLY]\r\ns.exe=3\r\n");
    CHECK(WatchedLine.Size == w.size);
    // ... and when every file is up to date, so that no table is left.
    upToDate.insert("C:\\Inst\\b.dll");
    Parse("[CLIENT]\r\nBin\\a.dll=100,976180160\r\nb.dll=7\r\n[SERVERONLY]\r\ns.exe=3\r\n");
    CHECK(FileTable == nullptr);
    CHECK(WatchedLine.Size == w.size);
  }

  Fresh();
  upToDate = {"x"};
  CHECK(Parse("[CLIENT]\rx=1\r").empty());
  CHECK(FileTable == nullptr);
  CHECK(TransferStats.TotalBytes == 0);
  for (const char* text : {"", "\r\n\r\n", "[CLIENT]\r", "no header=1\r"}) {
    CAPTURE(text);
    Fresh();
    CHECK(Parse(text).empty());
    CHECK(FileTable == nullptr);
  }
}

TEST_CASE("the language filter of the cloud preset") {
  const std::string text = "[CLIENT]\rEN\\x.txt\ren\\y.txt\rx.txt\rDE\\x.txt\rENG\\z.txt\r";
  struct Case {
    int cloud;
    const char* language;
    V names;
  } cases[] = {
      {2, "EN", V{"EN\\x.txt", "en\\y.txt", "x.txt"}},
      {2, "ENGLISH", V{"EN\\x.txt", "en\\y.txt", "x.txt", "ENG\\z.txt"}},
      {2, "", V{"x.txt"}},
      {0, "", V{"EN\\x.txt", "en\\y.txt", "x.txt", "DE\\x.txt", "ENG\\z.txt"}},
      {1, "DE", V{"EN\\x.txt", "en\\y.txt", "x.txt", "DE\\x.txt", "ENG\\z.txt"}},
  };
  for (auto& c : cases) {
    CAPTURE(c.cloud);
    CAPTURE(c.language);
    Fresh();
    Settings.CloudMode = c.cloud;
    strcpy(Settings.Language, c.language);
    CHECK(Parse(text) == c.names);
  }
}

TEST_CASE("mirror sites in the manifest") {
  Fresh();
  Settings.IncludeSections = 0;
  V names = Parse(
      "[SITES]\rhttp://m1/files=3\rversion=2.4.1 (beta)\rhttp://m2/files\rhttps://m3/files\ra.dll=5\r"
      "[CLIENT]\rb=1\r");
  CHECK(names.empty());
  CHECK(std::string(ListVersion) == "2.4.1 (beta)");
  // A version line is no site: the programs that do not know it skip it.
  char line[] = "version=2.4.1";
  AddSite(line);
  REQUIRE(SiteCount == 2);
  CHECK(std::string(Sites[0]->Url) == "http://m1/files");
  CHECK(Sites[0]->Workers == 3);
  CHECK(std::string(Sites[1]->Url) == "http://m2/files");
  CHECK(Sites[1]->Workers == 1);
  ResetSites();
}

TEST_CASE("the list's version and the size of all it selects") {
  struct Case {
    const char* text;
    const char* version;
    uint64_t listed;
  } cases[] = {
      {"[CLIENT]\ra=5\rb=7\r[SITES]\rVERSION=7\r", "7", 12},
      {"[SITES]\rversion=\r[CLIENT]\ra=5\r", "", 5},
      {"[SITES]\rversion=1.0\tx\r", "", 0},  // not printable
      {"[SITES]\rversion=0123456789012345678901234567890\r", "0123456789012345678901234567890", 0},
      {"[SITES]\rversion=01234567890123456789012345678901\r", "", 0},  // too long
      {"[CLIENT]\rversion=3\r", "", 3},                                // a file of that name
      {"[CLIENT]\ra=5\r[SERVERONLY]\rs=9\r", "", 5},                   // only what is selected
  };
  for (auto& c : cases) {
    CAPTURE(c.text);
    Fresh();
    upToDate = {"b"};
    Parse(c.text);
    CHECK(std::string(ListVersion) == c.version);
    CHECK(ListedBytes == c.listed);
  }
}

namespace {

// Hex of 32 bytes of one value.
std::string Digest(char c) { return std::string(64, c); }

std::set<std::string> installedA;  // full paths whose content hashes to all 0xaa

bool StubInstalledHash(const char* path, uint8_t sha256[32]) {
  if (!installedA.count(path)) return false;
  memset(sha256, 0xaa, 32);
  return true;
}

}  // namespace

TEST_CASE("patch fields: a patch from the installed content is taken, and counts its size") {
  const std::string hash = ",sha256=" + Digest('1');
  const std::string fromA = ",patch=" + Digest('a') + ":300:" + Digest('c');
  const std::string fromB = ",patch=" + Digest('b') + ":200:" + Digest('d');
  struct Case {
    const char* what;
    std::string line;
    bool installed;  // the installed file hashes to 0xaa...
    int32_t patchSize;  // 0: none taken
  } cases[] = {
      {"the second of two, from the installed content", "f.dll=1000,5" + hash + fromB + fromA, true, 300},
      {"none from the installed content", "f.dll=1000,5" + hash + fromB, true, 0},
      {"no installed file", "f.dll=1000,5" + hash + fromA, false, 0},
      {"a line without a hash takes none", "f.dll=1000,5" + fromA, true, 0},
      {"a malformed field is skipped, a good one after it taken",
       "f.dll=1000,5" + hash + ",patch=" + Digest('a') + ":0:" + Digest('c') + fromA, true, 300},
      {"digits cut short", "f.dll=1000,5" + hash + ",patch=" + Digest('a').substr(1) + ":300:" + Digest('c'), true, 0},
      {"a field that runs on", "f.dll=1000,5" + hash + fromA + "0", true, 0},
      {"a field older programs know nothing of, before it", "f.dll=1000,5" + hash + ",mode=x" + fromA, true, 300},
  };
  for (const Case& c : cases) {
    CAPTURE(c.what);
    Fresh();
    strcpy(Settings.InstallDir, "C:\\Inst\\");
    installedA.clear();
    if (c.installed) installedA.insert("C:\\Inst\\f.dll");
    std::string text = "[CLIENT]\r\n" + c.line + "\r\nother.txt=7\r\n";
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('#');
    ParseManifest(buffer.data(), static_cast<int32_t>(text.size()), StubUpToDate, false, StubInstalledHash);
    REQUIRE(FileCount == 2);
    CHECK(FileTable[0].HasPatch == (c.patchSize > 0));
    CHECK(FileTable[0].Size == 1000);  // the result's size stays the line's
    CHECK(TransferStats.TotalBytes == (c.patchSize > 0 ? c.patchSize : 1000) + 7);
    if (c.patchSize) {
      CHECK(FileTable[0].PatchSize == c.patchSize);
      CHECK(FileTable[0].PatchBase[31] == 0xaa);
      CHECK(FileTable[0].PatchSha256[0] == 0xcc);
    }
    CHECK_FALSE(FileTable[1].HasPatch);
  }
}

TEST_CASE("a long manifest selects every file in order") {
  Fresh();
  std::string text = "[CLIENT]\r\n";
  for (int i = 0; i < 650; ++i) text += "f" + std::to_string(i) + "=" + std::to_string(i) + "\r\n";
  V names = Parse(text);
  REQUIRE(FileCount == 650);
  for (int i = 0; i < 650; ++i) {
    CAPTURE(i);
    CHECK(names[i] == "f" + std::to_string(i));
    CHECK(FileTable[i].Size == i);
    FileTable[i].Written = i;
  }
  CHECK(TransferStats.TotalBytes == 650 * 649 / 2);
  CHECK(SumWritten() == 650 * 649 / 2);
  ResetManifest();
}
