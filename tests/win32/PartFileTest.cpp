#include <doctest/doctest.h>

#include <cstring>
#include <string>

#include "Helpers.h"
#include "config/Settings.h"
#include "support/FindFile.h"
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

TEST_CASE("a file in transfer replaces its target only when committed, at any path length") {
  InitPartFiles();
  struct Case {
    int folder, name;  // lengths; their sum is the target's full path
    bool fits;
  } cases[] = {{60, 20, true}, {200, 55, true}, {200, 56, true}, {196, 63, true}, {246, 13, true},
               {247, 12, false}, {250, 9, false}};
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
    {
      TPartFile part(name.c_str());
      CHECK(part.IsOpen() == c.fits);
      CHECK(part.Write("new", 3) == c.fits);
      CHECK(part.Commit(0) == c.fits);
    }
    CHECK(ReadAll(dir + name) == (c.fits ? "new" : "old"));
    CHECK(FilesIn(dir) == name + "|");
  }
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
  CHECK_FALSE(part.Commit(0));
  CHECK(ReadAll(dir + "a.dll") == "old");
  DiscardThreadPart();  // nothing left to discard
}
