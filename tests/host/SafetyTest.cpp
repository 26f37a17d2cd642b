#include <doctest/doctest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/Progress.h"
#include "config/InstallDir.h"
#include "config/Settings.h"
#include "install/Uninstall.h"
#include "manifest/Manifest.h"
#include "manifest/Sites.h"
#include "support/StallWatch.h"
#include "tests/host/Reset.h"

namespace {

bool NeverUpToDate(const char*, int32_t, uint32_t, const uint8_t*) { return false; }

std::vector<std::string> Selected(const std::string& lines) {
  ResetCore();
  std::string text = "[CLIENT]\r\n" + lines;
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back(0);
  ParseManifest(buffer.data(), static_cast<int32_t>(text.size()), NeverUpToDate);
  std::vector<std::string> names;
  for (int i = 0; i < FileCount; ++i) names.push_back(FileTable[i].Name);
  return names;
}

std::map<std::string, uint32_t> attributes;  // what the fake file system holds
uint32_t FakeAttributes(const char* path) {
  auto found = attributes.find(path);
  return found == attributes.end() ? kMissing : found->second;
}

std::map<std::string, TFolderAccess> folders;  // what the fake system says of each folder
std::vector<std::string> judged;
TFolderAccess FakeAccess(const char* folder) {
  judged.push_back(folder);
  auto found = folders.find(folder);
  return found == folders.end() ? TFolderAccess{false, false, 0, 0} : found->second;
}

}  // namespace

TEST_CASE("manifest names Windows would not keep as they stand are skipped") {
  const char* rejected[] = {
    "CON", "con.txt", "Bin\\NUL", "aux.dll", "Prn", "COM1", "com9.x", "LPT0", "lpt5.log", "COM\xB9",
    "LPT\xB2.txt", "com\xB3", "CON .txt", "NUL..x", "CONIN$", "conout$.txt", "Bin\\com1\\x.dll",
    "a<b", "a>b", "a\"b", "a|b", "a?b", "a*b", "a\x01" "b", "a\tb", "a\x1f",
    "a.", "a ", "Bin.\\x", "Bin \\x", "a\\\\b", "a\\",
    "linkfiles", "LINKFILES", "Tovimar.exe", "tovimar.EXE", "Tovimar.serial", "x.~tv", "Bin\\x.~TV", "~0a1b2c3d.~tv",
  };
  for (const char* name : rejected) {
    CAPTURE(name);
    CHECK(Selected(std::string(name) + "=1\r\nok=2\r\n") == std::vector<std::string>{"ok"});
  }
  const char* accepted[] = {
    "COM10", "COMx", "CONSOLE", "con_x", "LPT", "nul_", "a.b", ".hidden", "..a", "a..b\\c", "NULL.txt",
    "Bin\\linkfiles", "Bin\\Tovimar.exe", "x.~tvx", "\xE9t\xE9.txt",
  };
  for (const char* name : accepted) {
    CAPTURE(name);
    CHECK(Selected(std::string(name) + "=1\r\n") == std::vector<std::string>{name});
  }
}

TEST_CASE("a second line for the same file, up to letter case, is skipped") {
  struct Case { std::string lines; std::vector<std::string> names; } cases[] = {
    {"a.dll=1\r\nA.DLL=2\r\n", {"a.dll"}},
    {"Bin/x=1\r\nbin\\X=2\r\n", {"Bin/x"}},
    {"\xE9t\xE9=1\r\n\xC9T\xC9=2\r\n", {"\xE9t\xE9"}},  // é and É in Windows-1252
    {"\x9A=1\r\n\x8A=2\r\n\xFF=3\r\n\x9F=4\r\n", {"\x9A", "\xFF"}},  // š Š, ÿ Ÿ
    {"a=1\r\nb=2\r\na=3\r\n", {"a", "b"}},
    {"a=1\r\nab=2\r\n", {"a", "ab"}},
  };
  for (auto& c : cases) {
    CAPTURE(c.lines);
    CHECK(Selected(c.lines) == c.names);
  }
  std::string many;
  for (int i = 0; i < 3000; ++i) many += "f" + std::to_string(i) + "=1\r\nF" + std::to_string(i) + "=1\r\n";
  CHECK(Selected(many).size() == 3000);
}

TEST_CASE("only plain folders are walked through") {
  const uint32_t dir = kDirectoryAttribute, link = kDirectoryAttribute | kReparseAttribute, file = 0x20;
  struct Case { std::map<std::string, uint32_t> fs; const char* path; bool plain; } cases[] = {
    {{{"C:\\A", dir}, {"C:\\A\\B", dir}}, "C:\\A\\B\\f.txt", true},
    {{{"C:\\A", dir}}, "C:\\A\\B\\C\\f.txt", true},                  // folders still to be made
    {{{"C:\\A", link}, {"C:\\A\\B", dir}}, "C:\\A\\B\\f.txt", false},  // a junction above
    {{{"C:\\A", dir}, {"C:\\A\\B", link}}, "C:\\A\\B\\f.txt", false},  // the installation folder itself
    {{{"C:\\A", dir}, {"C:\\A\\B", link}}, "C:\\A\\B\\", false},
    {{{"C:\\A", dir}, {"C:\\A\\B", dir}, {"C:\\A\\B\\Sub", link}}, "C:\\A\\B\\Sub\\f.txt", false},
    {{{"C:\\A", dir}, {"C:\\A\\B", file}}, "C:\\A\\B\\f.txt", false},  // a file where a folder should be
    {{{"C:\\A", dir}, {"C:\\A\\f.txt", link}}, "C:\\A\\f.txt", true},  // the file itself is replaced, not walked
    {{{"\\\\h\\s\\A", link}}, "\\\\h\\s\\A\\f", false},
    {{{"\\\\h\\s\\A", dir}}, "\\\\h\\s\\A\\f", true},
    {{}, "\\\\h\\s", true},
    {{{"C:\\A", dir}, {"C:\\A/B", link}}, "C:\\A/B/f.txt", false},  // '/' separates as well
    {{{"C:\\A", dir}, {"C:\\A\\B", 0}}, "C:\\A\\B\\f.txt", false},  // attributes that could not be read
  };
  for (auto& c : cases) {
    CAPTURE(c.path);
    attributes = c.fs;
    CHECK(FoldersArePlain(c.path, FakeAttributes) == c.plain);
  }
}

TEST_CASE("an installation folder and its parents must be the administrators'") {
  const TFolderAccess admins = {true, true, 0x1200A9, 0}, foreign = {true, false, 0x1200A9, 0},
                      addFiles = {true, true, 0x1200A9 | 0x6, 0}, deletable = {true, true, 0x1200A9 | 0x10000, 0},
                      anyList = {true, true, 0xFFFFFFFF, 0}, handsDownAll = {true, true, 0x1200A9, 0x10000000};
  using F = std::map<std::string, TFolderAccess>;
  using V = std::vector<std::string>;
  struct Case {
    F fs;
    const char *path, *profile;
    bool granted;
    TFolderVerdict verdict;
    const char* failed;
    V judged;
  } cases[] = {
      {{{"C:\\Apps", admins}, {"C:\\Apps\\V", admins}}, "C:\\Apps\\V\\", "", false, kFolderTrusted, "",
       V{"C:\\Apps", "C:\\Apps\\V"}},
      // what is missing is made by the program, and nothing below it is asked
      {{{"C:\\Apps", admins}}, "C:\\Apps\\V\\W\\", "", false, kFolderTrusted, "", V{"C:\\Apps", "C:\\Apps\\V"}},
      {{{"C:\\Apps", admins}, {"C:\\Apps\\V", foreign}}, "C:\\Apps\\V\\", "", false, kFolderForeignOwner,
       "C:\\Apps\\V", V{"C:\\Apps", "C:\\Apps\\V"}},
      {{{"C:\\Apps", foreign}, {"C:\\Apps\\V", admins}}, "C:\\Apps\\V\\", "", false, kFolderForeignOwner,
       "C:\\Apps", V{"C:\\Apps"}},
      // users who may add files: refused for the installation folder, not above it
      {{{"C:\\Apps", admins}, {"C:\\Apps\\V", addFiles}}, "C:\\Apps\\V\\", "", false, kFolderOpenToUsers,
       "C:\\Apps\\V", V{"C:\\Apps", "C:\\Apps\\V"}},
      {{{"C:\\ProgramData", addFiles}, {"C:\\ProgramData\\V", admins}}, "C:\\ProgramData\\V\\", "", false,
       kFolderTrusted, "", V{"C:\\ProgramData", "C:\\ProgramData\\V"}},
      // ... but one they may replace is refused anywhere
      {{{"C:\\Apps", deletable}, {"C:\\Apps\\V", admins}}, "C:\\Apps\\V\\", "", false, kFolderOpenToUsers,
       "C:\\Apps", V{"C:\\Apps"}},
      {{{"C:\\Apps", anyList}}, "C:\\Apps\\V\\", "", false, kFolderOpenToUsers, "C:\\Apps", V{"C:\\Apps"}},
      // the cloud folder's own grant to the users; its parents still count
      {{{"C:\\D", admins}, {"C:\\D\\Azure", anyList}}, "C:\\D\\Azure\\", "", true, kFolderTrusted, "",
       V{"C:\\D", "C:\\D\\Azure"}},
      {{{"C:\\D", deletable}, {"C:\\D\\Azure", admins}}, "C:\\D\\Azure\\", "", true, kFolderOpenToUsers,
       "C:\\D", V{"C:\\D"}},
      // the user's own profile is the user's: nothing in it is asked
      {{{"C:\\Users", admins}, {"C:\\Users\\jo", foreign}}, "c:\\users\\JO\\AppData\\V\\",
       "C:\\Users\\jo\\", false, kFolderTrusted, "", V{}},
      {{{"C:\\Users", admins}, {"C:\\Users\\jo", foreign}}, "C:\\Users\\jo2\\V\\", "C:\\Users\\jo\\",
       false, kFolderTrusted, "", V{"C:\\Users", "C:\\Users\\jo2"}},
      {{{"\\\\h\\s\\A", foreign}}, "\\\\h\\s\\A\\", "", false, kFolderForeignOwner, "\\\\h\\s\\A",
       V{"\\\\h\\s\\A"}},
      // full control handed down to every file made in it: the folder's own
      // rights do not tell it
      {{{"C:\\Apps", admins}, {"C:\\Apps\\V", handsDownAll}}, "C:\\Apps\\V\\", "", false, kFolderOpenToUsers,
       "C:\\Apps\\V", V{"C:\\Apps", "C:\\Apps\\V"}},
      {{{"C:\\Apps", handsDownAll}, {"C:\\Apps\\V", admins}}, "C:\\Apps\\V\\", "", false, kFolderTrusted, "",
       V{"C:\\Apps", "C:\\Apps\\V"}},
      // a root is judged as the installation folder
      {{{"D:\\", addFiles}}, "D:\\", "", false, kFolderOpenToUsers, "D:\\", V{"D:\\"}},
      {{{"D:\\", admins}}, "D:\\", "", false, kFolderTrusted, "", V{"D:\\"}},
      {{{"\\\\h\\s", addFiles}}, "\\\\h\\s", "", false, kFolderOpenToUsers, "\\\\h\\s", V{"\\\\h\\s"}},
  };
  for (auto& c : cases) {
    CAPTURE(c.path);
    folders = c.fs;
    judged.clear();
    char failed[kTextCapacity + 64];
    CHECK(JudgeFolders(c.path, c.profile, c.granted, FakeAccess, failed) == c.verdict);
    CHECK(std::string(failed) == c.failed);
    CHECK(judged == c.judged);
  }

  struct Inside {
    const char *path, *folder, *rest;
  } insides[] = {
      {"C:\\Velorin\\Corvane.exe", "C:\\Velorin\\", "Corvane.exe"},
      {"c:\\VELORIN\\bin\\t.exe", "C:\\Velorin\\", "bin\\t.exe"},
      {"C:\\Velorin2\\Corvane.exe", "C:\\Velorin\\", nullptr},  // a sibling that begins alike
      {"C:\\Velorin\\", "C:\\Velorin\\", nullptr},
      {"C:\\Velorin", "C:\\Velorin\\", nullptr},
      {"C:\\Velorin\\x.exe", "C:\\Velorin", nullptr},  // a folder without its '\'
      {"C:\\Velorin\\x.exe", "", nullptr},
  };
  for (const Inside& i : insides) {
    CAPTURE(i.path);
    const char* rest = InsideFolder(i.path, i.folder);
    if (i.rest)
      CHECK(std::string(rest ? rest : "(none)") == i.rest);
    else
      CHECK(rest == nullptr);
  }
}

TEST_CASE("the uninstall removes only shortcuts the program could have made") {
  const char* desktop = "C:\\Users\\Public\\Desktop\\";
  const char* menu = "C:\\ProgramData\\Start Menu\\Velorin\\";
  struct Case { const char* line; const char* full; bool removed; } cases[] = {
    {"C:\\Users\\Public\\Desktop\\Velorin.lnk", "C:\\Users\\Public\\Desktop\\Velorin.lnk", true},
    {"c:\\users\\public\\desktop\\V.LNK", "c:\\users\\public\\desktop\\V.LNK", true},
    {"C:\\ProgramData\\Start Menu\\Velorin\\Uninstall V.lnk", "C:\\ProgramData\\Start Menu\\Velorin\\Uninstall V.lnk",
     true},
    // Made full by the system first: the folder it names is what counts.
    {"C:\\Users\\Public\\Desktop\\..\\x.lnk", "C:\\Users\\Public\\x.lnk", false},
    {"C:\\Users\\Public\\Desktop\\Sub\\x.lnk", "C:\\Users\\Public\\Desktop\\Sub\\x.lnk", false},
    {"C:\\ProgramData\\Start Menu\\x.lnk", "C:\\ProgramData\\Start Menu\\x.lnk", false},
    {"C:\\Windows\\System32\\x.lnk", "C:\\Windows\\System32\\x.lnk", false},
    {"C:\\Users\\Public\\Desktop\\readme.txt", "C:\\Users\\Public\\Desktop\\readme.txt", false},
    {"\\\\host\\share\\x.lnk", "\\\\host\\share\\x.lnk", false},
    {"//host/share/x.lnk", "\\\\host\\share\\x.lnk", false},
    {"\\\\?\\C:\\Users\\Public\\Desktop\\x.lnk", "\\\\?\\C:\\Users\\Public\\Desktop\\x.lnk", false},
    {"x.lnk", "C:\\Users\\Public\\Desktop\\x.lnk", false},  // relative: the current folder's
  };
  for (auto& c : cases) {
    CAPTURE(c.line);
    CHECK(MayRemoveShortcut(c.line, c.full, desktop, menu) == c.removed);
  }
  CHECK_FALSE(MayRemoveShortcut(cases[0].line, cases[0].full, "", ""));
}

TEST_CASE("a trickle is told from a slow but honest peer") {
  struct Case { std::vector<std::pair<uint32_t, int32_t>> waits; bool alive; } cases[] = {
    {{{1000, 1}, {1000, 1}, {999, 1}}, true},             // the window is not over yet
    {{{1000, 1}, {1000, 1}, {1000, 1}}, false},           // 3 bytes in 3 s
    {{{3000, 3072}}, true},
    {{{3000, 3071}}, false},
    {{{0, 2000000000}, {0, 2000000000}, {3000, 0}}, true},  // fast: no overflow
    {{{3000, 5000}, {3000, 10}}, false},                  // every window counts
  };
  for (auto& c : cases) {
    TStallWatch watch(3000, 3072);
    bool alive = true;
    for (auto& w : c.waits) alive = watch.Add(w.first, w.second);
    CHECK(alive == c.alive);
  }
}
