#include <doctest/doctest.h>

#include <cstring>
#include <set>
#include <string>

#include "manifest/Manifest.h"
#include "transfer/PartFile.h"

TEST_CASE("the name of a file in transfer") {
  std::string folder = "C:\\Velorin\\" + std::string(200, 'f') + "\\";
  struct Case {
    std::string target;
    bool made;
    std::string part;  // empty: a short name in the target's folder
  } cases[] = {
      {"C:\\Velorin\\Corvane.exe", true, "C:\\Velorin\\Corvane.exe.~tv"},
      {std::string(255, 'a'), true, std::string(255, 'a') + ".~tv"},  // 259 in all: still the plain name
      {folder + std::string(50, 'n'), true, ""},
      {folder + std::string(55, 'n') + "x", true, ""},
      {std::string(245, 'd') + "\\" + std::string(13, 'n'), true, ""},  // the folder just leaves room
      {std::string(246, 'd') + "\\" + std::string(12, 'n'), false, ""},
  };
  std::set<std::string> shorts;
  for (const Case& c : cases) {
    CAPTURE(c.target.size());
    char part[kTextCapacity + kPartSuffixLength];
    memset(part, '#', sizeof part);
    REQUIRE(PartName(part, c.target.c_str()) == c.made);
    if (!c.made) continue;
    std::string got = part;
    CHECK(got.size() <= static_cast<size_t>(kTextCapacity - 1));
    if (!c.part.empty()) {
      CHECK(got == c.part);
      continue;
    }
    // "~", eight hexadecimal digits and the suffix, beside the target
    size_t slash = c.target.rfind('\\');
    CHECK(got.compare(0, slash + 1, c.target, 0, slash + 1) == 0);
    std::string name = got.substr(slash + 1);
    CHECK(name.size() == 13);
    CHECK(name[0] == '~');
    CHECK(name.find_first_not_of("0123456789abcdef", 1) == 9);
    CHECK(name.substr(9) == ".~tv");
    shorts.insert(name);
  }
  CHECK(shorts.size() == 3);  // other paths, other names
}

TEST_CASE("a file in transfer is gone on with at a chunk's end, within its size") {
  struct Case {
    int64_t length;
    int32_t chunk, limit;
    bool resumes;
  } cases[] = {
      {262144, 262144, 1000000, true}, {524288, 262144, 524288, true},  {0, 262144, 1000000, false},
      {1000, 262144, 1000000, false},  {524288, 262144, 524287, false}, {1LL << 32, 262144, 1000000, false},
      {262144, 0, 1000000, false},
  };
  for (const Case& c : cases) {
    CAPTURE(c.length);
    CHECK(MayResumeAt(c.length, c.chunk, c.limit) == c.resumes);
  }
  TFileEntry entry = {};
  entry.Size = 300000;
  entry.DosTime = 976180160;
  char text[160];
  IdentityText(text, entry);
  CHECK(std::string(text) == "300000,976180160,-\r\n");
  entry.HasHash = true;
  for (int i = 0; i < kDigestSize; ++i) entry.Sha256[i] = static_cast<uint8_t>(i % 16 * 17);
  IdentityText(text, entry);
  CHECK(std::string(text) == "300000,976180160,00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff\r\n");
}

TEST_CASE("only names made aside are taken for them") {
  const uint8_t random[kAsideRandomBytes] = {0x0a, 0x1b, 0x2c, 0xff};
  char aside[kTextCapacity];
  REQUIRE(AsideName(aside, "C:\\Velorin\\", random));
  CHECK(std::string(aside) == "C:\\Velorin\\~old0a1b2cff.~tv");
  CHECK(IsAsideName(aside + strlen("C:\\Velorin\\")));
  std::string long_folder = std::string(kTextCapacity - kAsideNameLength - 1, 'd');
  CHECK(AsideName(aside, long_folder.c_str(), random));
  CHECK_FALSE(AsideName(aside, (long_folder + "d").c_str(), random));
  const char* others[] = {
      "~old0a1b2cf.~tv",      // seven digits
      "~old0a1b2cfff.~tv",    // nine
      "~old0a1b2cfg.~tv",     // not hexadecimal
      "~old\\..\\..\\x.~tv",  // what a fullwidth name reads as: as long, no digits
      "~old0a1b2cff.~tx",    "Corvane.exe", "",
  };
  for (const char* name : others) {
    CAPTURE(name);
    CHECK_FALSE(IsAsideName(name));
  }
}

TEST_CASE("a failure's cause decides what is kept, and says itself") {
  struct Case {
    TFailure failure;
    bool kept;
  } cases[] = {
      {kFailNone, true},         {kFailStalled, true},       {kFailConnection, true},  {kFailNoAnswer, true},
      {kFailHttpStatus, true},   {kFailHashMismatch, false}, {kFailTooLong, false},    {kFailWrite, false},
      {kFailNotZlib, false},     {kFailNotInflated, true},   {kFailWrongSize, false},  {kFailCannotWrite, false},
      {kFailPathTooLong, false}, {kFailLinkInPath, false},   {kFailUrlTooLong, false},
  };
  std::set<std::string> texts;
  for (const Case& c : cases) {
    CAPTURE(c.failure);
    CHECK(ContentStillGood(c.failure) == c.kept);
    texts.insert(FailureText(c.failure));
  }
  CHECK(texts.size() == sizeof cases / sizeof cases[0]);  // each cause its own words
  CHECK(FirstFailure(kFailNone, kFailNotZlib) == kFailNotZlib);
  CHECK(FirstFailure(kFailWrite, kFailNotZlib) == kFailWrite);
}
