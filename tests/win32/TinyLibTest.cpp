#include <doctest/doctest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Helpers.h"
#include "config/CommandLine.h"
#include "config/InstallDir.h"
#include "config/Settings.h"
#include "support/TinyLib.h"

TEST_CASE("a file opened for writing is new and shared with nobody") {
  std::string dir = FreshFolder("write");
  std::string path = dir + "a.txt";
  WriteAll(path, "old contents");
  {
    TSimpleFile file(path.c_str(), kMadeAnew);
    REQUIRE(file.IsOpen());
    CHECK(file.Write("xyz", 3) == 3);
    CHECK(file.WriteLine("") == 2);
    CHECK(file.WriteLine("line") == 2);
    TSimpleFile other(path.c_str(), kForReading);
    CHECK_FALSE(other.IsOpen());
    CHECK(other.Read(nullptr, 0) == -1);
    CHECK(other.Write("a", 1) == -1);
    CHECK(static_cast<uint32_t>(other.Seek(0, kSeekBegin)) == 0xFFFFFFFFu);
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    CHECK(h == INVALID_HANDLE_VALUE);
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  CHECK(ReadAll(path) == "xyz\r\nline\r\n");
}

TEST_CASE("a plain file held for reading denies writers and deleters; a second name is not opened") {
  std::string dir = FreshFolder("held");
  std::string path = dir + "copy.exe";
  std::string second = dir + "second.exe";
  // The folder of an earlier run under the same process number may be there.
  DeleteFileA(second.c_str());
  DeleteFileA(path.c_str());
  WriteAll(path, "program");
  {
    TSimpleFile held(path.c_str(), kReadPlain);
    REQUIRE(held.IsOpen());
    HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    CHECK(writer == INVALID_HANDLE_VALUE);
    if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
    CHECK_FALSE(DeleteFileA(path.c_str()));
    CHECK_FALSE(MoveFileExA(path.c_str(), (dir + "moved.exe").c_str(), 0));
    TSimpleFile reader(path.c_str(), kForReading);  // a check of its content may read it
    CHECK(reader.IsOpen());
  }
  CHECK(ReadAll(path) == "program");
  REQUIRE(CreateHardLinkA(second.c_str(), path.c_str(), nullptr));
  TSimpleFile linked(second.c_str(), kReadPlain);
  CHECK_FALSE(linked.IsOpen());
  CHECK(GetLastError() == ERROR_CANT_ACCESS_FILE);
}

TEST_CASE("a file opened for reading may be read and written by others") {
  std::string dir = FreshFolder("read");
  std::string path = dir + "r.txt";
  WriteAll(path, "0123456789");
  TSimpleFile file(path.c_str(), kForReading);
  REQUIRE(file.IsOpen());
  TSimpleFile reader(path.c_str(), kForReading);
  CHECK(reader.IsOpen());
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  CHECK(writer != INVALID_HANDLE_VALUE);
  if (writer != INVALID_HANDLE_VALUE) CloseHandle(writer);
  char buffer[16] = {};
  CHECK(file.Read(buffer, 4) == 4);
  CHECK(std::string(buffer) == "0123");
  CHECK(file.Seek(2, kSeekCurrent) == 6);
  CHECK(file.Read(buffer, 16) == 4);
  CHECK(file.Read(buffer, 16) == 0);
  CHECK(file.Seek(-3, kSeekEnd) == 7);
  CHECK(file.Write("x", 1) == -1);  // read-only handle
  TSimpleFile missing((dir + "none.txt").c_str(), kForReading);
  CHECK_FALSE(missing.IsOpen());
}

TEST_CASE("folders are created parents first, up to the file name") {
  std::string base = FreshFolder("force");
  struct Case { std::string path; std::vector<std::string> made; std::vector<std::string> notMade; } cases[] = {
    {base + "A\\B\\file.txt", {base + "A", base + "A\\B"}, {base + "A\\B\\file.txt"}},
    {base + "C\\D\\", {base + "C", base + "C\\D"}, {}},
    {base + "A\\E\\F\\", {base + "A\\E", base + "A\\E\\F"}, {}},
    {base + "plain.txt", {}, {base + "plain.txt"}},
  };
  for (auto& c : cases) {
    CAPTURE(c.path);
    std::string text = c.path;
    ForceFolders(&text[0], 0);
    CHECK(text == c.path);
    for (auto& m : c.made) CHECK(IsFolder(m));
    for (auto& m : c.notMade) CHECK_FALSE(Exists(m));
  }
  char root[] = "C:\\file.txt";
  ForceFolders(root, 0);
  CHECK(std::string(root) == "C:\\file.txt");
  CHECK_FALSE(Exists("C:\\file.txt"));
  char empty[] = "";
  ForceFolders(empty, 0);
}

TEST_CASE("pinned folders can be neither moved nor replaced while what is in them can") {
  std::string base = FreshFolder("pin");
  CreateDirectoryA((base + "a").c_str(), nullptr);
  CreateDirectoryA((base + "a\\b").c_str(), nullptr);
  std::string file = base + "a\\b\\f.bin";
  {
    TPinnedFolders pinned(base.c_str(), file.c_str());
    CHECK(pinned.Held());
    CHECK_FALSE(MoveFileA(base.substr(0, base.size() - 1).c_str(), (base.substr(0, base.size() - 1) + "x").c_str()));
    CHECK_FALSE(MoveFileA((base + "a").c_str(), (base + "moved").c_str()));
    CHECK_FALSE(MoveFileA((base + "a\\b").c_str(), (base + "a\\c").c_str()));
    CHECK_FALSE(RemoveDirectoryA((base + "a\\b").c_str()));
    WriteAll(file, "x");
    CHECK(MoveFileA(file.c_str(), (base + "a\\b\\g.bin").c_str()));
  }
  CHECK(MoveFileA((base + "a").c_str(), (base + "moved").c_str()));
  // A folder that is not there, or a path that does not begin with the first.
  CHECK_FALSE(TPinnedFolders(base.c_str(), (base + "none\\f.bin").c_str()).Held());
  CHECK_FALSE(TPinnedFolders("C:\\elsewhere\\", (base + "moved\\b\\g.bin").c_str()).Held());
  CHECK(TPinnedFolders(base.c_str(), (base + "moved\\b\\g.bin").c_str()).Held());
}

TEST_CASE("DOS time stamps are taken as UTC") {
  std::string base = FreshFolder("stamp");
  // Beside the folder given by the end-to-end test, which checks the Linux side.
  const char* outside = getenv("TOVIMAR_STAMP_FILE");
  std::string path = outside && *outside ? outside : base + "stamp.txt";
  struct Case { uint32_t dos; const char* text; } cases[] = {
    {0x39216000u, "2008-09-01 12:00:00"},
    {976180160u, "2009-01-15 10:30:00"},
  };
  for (auto& c : cases) {
    {
      TSimpleFile file(path.c_str(), kMadeAnew);
      REQUIRE(file.IsOpen());
      file.Write("t", 1);
      CHECK(SetFileWriteTime(file.Handle, c.dos) == 0);
    }
    CHECK(WriteTimeText(path) == c.text);
  }
  TSimpleFile missing((base + "missing.txt").c_str(), kForReading);
  CHECK(SetFileWriteTime(missing.Handle, 0x39216000u) != 0);
}

TEST_CASE("install paths join the folder and the relative name") {
  ResetSettings();
  strcpy(Settings.InstallDir, "C:\\Apps\\Velorin\\");
  char path[260];
  CHECK(MakeInstallPath(path, "Bin\\a.dll") == path);
  CHECK(std::string(path) == "C:\\Apps\\Velorin\\Bin\\a.dll");
}

TEST_CASE("the process command line is parsed as given") {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string out = RunCapture(std::string("\"") + self +
                               "\" \"dir=C:\\Program Files\\Velorin\" kvo:ON next C:\\c.exe --parse-probe");
  CHECK(out.find(std::string("[") + self + "]") != std::string::npos);
  CHECK(out.find("[dir=C:\\Program Files\\Velorin]") != std::string::npos);
  CHECK(out.find("dir=C:\\Program Files\\Velorin|kvo=1|run=\"C:\\c.exe\" \"--parse-probe\"") !=
        std::string::npos);
}
