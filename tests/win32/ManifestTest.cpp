#include <doctest/doctest.h>

#include <cstdlib>
#include <cstring>

#include "Helpers.h"
#include "config/CommandLine.h"
#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "transfer/ManifestFetch.h"
#include "support/TinyLib.h"
#include "transfer/Server.h"
#include "manifest/Sites.h"

namespace {

void Stamp(const std::string& path, const std::string& data, uint32_t dosTime) {
  TSimpleFile file(path.c_str(), kMadeAnew);
  file.Write(data.data(), static_cast<int32_t>(data.size()));
  SetFileWriteTime(file.Handle, dosTime);
}

// The transfer buffers, as the session sets them up.
struct Buffers {
  Buffers() { InitTransferBuffers(); }
  ~Buffers() { ReleaseTransferBuffers(); }
};

}  // namespace

TEST_CASE("a file is up to date when its size and DOS time match") {
  std::string dir = FreshFolder("uptodate");
  Stamp(dir + "a.dll", std::string(100, 'a'), 976180160u);
  Stamp(dir + "empty.dat", "", 976180160u);
  struct Case { std::string path; int32_t size; uint32_t time; bool upToDate; } cases[] = {
    {dir + "a.dll", 100, 976180160u, true},
    {dir + "a.dll", 101, 976180160u, false},
    {dir + "a.dll", 100, 976180162u, false},  // two seconds later
    {dir + "a.dll", 100, 0, false},                    // a real file's DOS time is never 0
    {dir + "a.dll", 0, 0, true},                       // size 0: it only has to exist
    {dir + "a.dll", -100, 976180160u, false},
    {dir + "missing.dll", 0, 0, false},
    {dir + "empty.dat", 0, 12345, true},
  };
  for (auto& c : cases) {
    CAPTURE(c.path);
    CAPTURE(c.size);
    CHECK(IsUpToDate(c.path.c_str(), c.size, c.time, nullptr) == c.upToDate);
  }
}

TEST_CASE("the manifest beside the program selects what is missing or differs") {
  Buffers buffers;
  std::string app = FreshFolder("app");
  std::string inst = FreshFolder("inst");
  CreateDirectoryA((inst + "Bin").c_str(), nullptr);
  Stamp(inst + "Bin\\same.dll", std::string(10, 's'), 976180160u);
  Stamp(inst + "Bin\\older.dll", std::string(10, 'o'), 976180160u - 0x10000);
  WriteAll(app + "Setup.ver",
           "[CLIENT]\r\nBin\\same.dll=10,976180160\r\nBin\\older.dll=10,976180160\r\n"
           "Bin\\new.dll=5,976180160\r\n..\\evil.dll=1,1\r\n[SITES]\r\nhttp://m1/files=2\r\n");
  ResetSettings();
  ResetSites();
  ParseCommandText(("\"" + app + "Setup.exe\" dir=" + inst).c_str());
  LoadManifest();
  REQUIRE(FileCount == 2);
  CHECK(std::string(FileTable[0].Name) == "Bin\\older.dll");
  CHECK(std::string(FileTable[1].Name) == "Bin\\new.dll");
  CHECK(FileTable[1].Size == 5);
  CHECK(FileTable[1].DosTime == 976180160u);
  REQUIRE(SiteCount == 1);
  CHECK(Sites[0]->Workers == 2);
  ResetSites();
  ResetManifest();
}

TEST_CASE("without a manifest and without a server nothing is selected") {
  Buffers buffers;
  std::string app = FreshFolder("nover");
  ResetSettings();
  ParseCommandText(("\"" + app + "Setup.exe\" dir=C:\\nowhere\\").c_str());
  ServerSocket = 0;
  LoadManifest();
  CHECK(FileCount == 0);
  CHECK(FileTable == nullptr);
}

TEST_CASE("a manifest file is read up to 256 KiB, and a longer one is known as cut") {
  Buffers buffers;
  std::string app = FreshFolder("bigver");
  // 12-byte lines after a 10-byte header: the cut leaves 6 bytes of line
  // 21845, which are not used.
  std::string text = "[CLIENT]\r\n";
  for (int i = 0; i < 23000; ++i) {
    char line[32];
    snprintf(line, sizeof line, "f%05d=1,1\r\n", i);
    text += line;
  }
  WriteAll(app + "Big.ver", text);
  ResetSettings();
  ParseCommandText(("\"" + app + "Big.exe\" dir=C:\\nowhere-big\\").c_str());
  LoadManifest();
  CHECK(ManifestOutcome.Cut);
  REQUIRE(FileCount == 21844);
  CHECK(std::string(FileTable[21843].Name) == "f21843");
  CHECK(FileTable[21843].Size == 1);
  ResetManifest();

  // Exactly the limit is whole.
  WriteAll(app + "Big.ver", text.substr(0, 256 * 1024));
  LoadManifest();
  CHECK_FALSE(ManifestOutcome.Cut);
  ResetManifest();
}
