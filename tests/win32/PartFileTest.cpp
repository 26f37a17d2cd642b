#include <doctest/doctest.h>

#include <cstring>
#include <string>

#include "Helpers.h"
#include "config/Settings.h"
#include "support/Crypto.h"
#include "support/FindFile.h"
#include "install/Commit.h"
#include "manifest/Manifest.h"
#include "transfer/PartFile.h"

namespace {

// Every file of a folder, as "name|name|...".
std::string FilesIn(const std::string& folder) {
  std::string names;
  TFindFile found((folder + "*").c_str());
  if (!found.Found()) return names;
  do {
    if (!(found.Data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names += std::string(found.Data.cFileName) + "|";
  } while (found.Next());
  return names;
}

// An installation folder whose path is `length` characters, '\' included.
std::string FolderOfLength(const char* tag, int length) {
  std::string base = FreshFolder(tag);
  std::string dir = base + std::string(length - 1 - base.size(), 'd') + "\\";
  CreateDirectoryA(dir.c_str(), nullptr);
  return dir;
}

}  // namespace

// A one-entry file table for the name, as the list would select it.
void SelectOne(const std::string& name, const std::string& data) {
  ResetManifest();
  FileTable = static_cast<TFileEntry*>(calloc(1, sizeof(TFileEntry)));
  strcpy(FileTable[0].Name, name.c_str());
  FileTable[0].Size = static_cast<int32_t>(data.size());
  FileCount = 1;
  PrepareStaging(1);
}

TEST_CASE("a file in transfer replaces its target only when committed, at any path length") {
  InitPartFiles();
  REQUIRE(LoadCrypto());  // the names set aside are random
  struct Case {
    int folder, name;  // lengths; their sum is the target's full path
    bool fits;
  } cases[] = {{60, 20, true},  {200, 55, true},  {200, 56, true}, {196, 63, true},
               {246, 13, true}, {247, 12, false}, {250, 9, false}};
  for (const Case& c : cases) {
    CAPTURE(c.folder);
    CAPTURE(c.name);
    ResetSettings();
    std::string dir = FolderOfLength("part", c.folder);
    REQUIRE(dir.size() == static_cast<size_t>(c.folder));
    strcpy(Settings.InstallDir, dir.c_str());
    std::string name(c.name - 4, 'n');
    name += ".bin";
    WriteAll(dir + name, "old");
    SelectOne(name, "new");
    {
      TPartFile part(FileTable[0], 262144);
      CHECK(part.IsOpen() == c.fits);
      CHECK(part.Write("new", 3) == c.fits);
      CHECK(part.Stage(0, 0) == c.fits);
    }
    CHECK(ReadAll(dir + name) == "old");  // staged, not yet in place
    char why[kTextCapacity + 96] = "";
    if (c.fits) CHECK(CommitFiles(why));
    ReleaseStaging();
    CHECK(ReadAll(dir + name) == (c.fits ? "new" : "old"));
    CHECK(FilesIn(dir) == name + "|");  // no journal, record or file in transfer left
  }
  ResetManifest();
}

TEST_CASE("a thread's file in transfer is deleted before the thread ends early") {
  InitPartFiles();
  ResetSettings();
  std::string dir = FreshFolder("stopped");
  strcpy(Settings.InstallDir, dir.c_str());
  WriteAll(dir + "a.dll", "old");
  TPartFile part("a.dll");
  REQUIRE(part.Write("half", 4));
  CHECK(Exists(dir + "a.dll.~tv"));
  DiscardThreadPart();
  CHECK(FilesIn(dir) == "a.dll|");
  CHECK_FALSE(part.Stage(0, 0));
  CHECK(ReadAll(dir + "a.dll") == "old");
  DiscardThreadPart();  // nothing left to discard
}
