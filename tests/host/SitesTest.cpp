#include <doctest/doctest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <algorithm>
#include <vector>

#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "manifest/Sites.h"
#include "tests/host/Reset.h"
#include "transfer/Mirror.h"

namespace {

uint32_t Dos(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
  return static_cast<uint32_t>(year - 1980) << 25 | month << 21 | day << 16 | hour << 11 | minute << 5 | second / 2;
}

void Fresh(int files) {
  ResetCore();
  FileTable = static_cast<TFileEntry*>(calloc(files > 0 ? files : 1, sizeof(TFileEntry)));
  FileCount = files;
}

TSiteInfo* Add(std::string url) {
  AddSite(&url[0]);
  return Sites[SiteCount - 1];
}

}  // namespace

TEST_CASE("two sites share one file") {
  Fresh(1);
  TSiteInfo* a = Add("http://a/files");
  TSiteInfo* b = Add("http://b/files");
  REQUIRE(PrepareSites());
  CHECK(PickNextFile(a) == 0);
  CHECK(FileTable[0].State == 2);
  CHECK(PickNextFile(b) == -2);  // A holds it, B has not had it
  CHECK(PickNextFile(a) == -1);
  FileTable[0].State = 0;        // A failed it
  CHECK(PickNextFile(a) == -1);  // never again for A
  CHECK(PickNextFile(b) == 0);
  CHECK(PickNextFile(a) == -1);
  FileTable[0].State = 0;  // B failed it too
  CHECK(PickNextFile(a) == -1);
  CHECK(PickNextFile(b) == -1);
  CHECK(FileTable[0].State == 0);  // left to the server

  Fresh(3);
  // Sizes whose pick order (largest, smallest, the rest) is the table's: 0, 1, 2.
  FileTable[0].Size = 3, FileTable[1].Size = 1, FileTable[2].Size = 2;
  a = Add("http://a/");
  b = Add("http://b/");
  REQUIRE(PrepareSites());
  CHECK(PickNextFile(a) == 0);
  CHECK(PickNextFile(b) == 1);  // passes over the file A is fetching
  FileTable[1].State = 1;
  CHECK(PickNextFile(b) == 2);
  FileTable[2].State = 1;
  CHECK(PickNextFile(b) == -2);
  FileTable[0].State = 0;  // A failed it: B, past it by now, goes back for it
  CHECK(PickNextFile(b) == 0);
  FileTable[0].State = 1;
  CHECK(PickNextFile(b) == -1);
  ResetCore();
}

TEST_CASE("workers take the largest and the smallest files alternately") {
  // Of equal sizes the earlier counts as the larger: the large end takes them
  // in the table's order, the small end in reverse.
  struct Case {
    std::vector<int32_t> sizes;
    std::vector<int32_t> picks;
  } cases[] = {
      {{5, 100, 7, 100, 0}, {1, 4, 3, 0, 2}},
      {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {8, 0, 7, 1, 6, 2, 5, 3, 4}},
      {{3, 3, 3}, {0, 2, 1}},
      {{7, 7, 7, 7}, {0, 3, 1, 2}},
      {{1, 2}, {1, 0}},
      {{0}, {0}},
  };
  for (auto& c : cases) {
    Fresh(static_cast<int>(c.sizes.size()));
    for (size_t i = 0; i < c.sizes.size(); ++i) FileTable[i].Size = c.sizes[i];
    TSiteInfo* a = Add("http://a/");
    REQUIRE(PrepareSites());
    std::vector<int32_t> picks;
    for (int32_t i; (i = PickNextFile(a)) >= 0;) picks.push_back(i);
    CHECK(picks == c.picks);
    ResetCore();
  }
  // A long table: the first, third ... picks go down from the largest, the
  // second, fourth ... up from the smallest, and the two never cross.
  Fresh(1000);
  for (int i = 0; i < 1000; ++i) FileTable[i].Size = i * 7919 % 101;
  TSiteInfo* a = Add("http://a/");
  REQUIRE(PrepareSites());
  std::vector<int32_t> picks;
  for (int32_t i; (i = PickNextFile(a)) >= 0;) picks.push_back(i);
  REQUIRE(picks.size() == 1000);
  auto before = [](int32_t x, int32_t y) {  // x is taken before y in the sorted order
    return FileTable[x].Size > FileTable[y].Size || (FileTable[x].Size == FileTable[y].Size && x < y);
  };
  for (size_t k = 2; k < picks.size(); k += 2) REQUIRE(before(picks[k - 2], picks[k]));  // down from the top
  for (size_t k = 3; k < picks.size(); k += 2) REQUIRE(before(picks[k], picks[k - 2]));  // up from the bottom
  CHECK(before(picks[998], picks[999]));                                                 // where they meet
  std::sort(picks.begin(), picks.end());
  for (int i = 0; i < 1000; ++i) REQUIRE(picks[i] == i);
  ResetCore();
}

TEST_CASE("a site claims every file of a long table once") {
  for (int files : {0, 1, 512, 513, 700}) {
    CAPTURE(files);
    Fresh(files);
    TSiteInfo* a = Add("http://a/");
    REQUIRE(PrepareSites());
    CHECK(a->TriedCount == files);
    std::vector<int32_t> picks;
    for (int i = 0; i < files; ++i) picks.push_back(PickNextFile(a));
    CHECK(PickNextFile(a) == -1);
    std::sort(picks.begin(), picks.end());
    for (int i = 0; i < files; ++i) REQUIRE(picks[i] == i);
    ResetCore();
  }
}

TEST_CASE("month folders") {
  struct Case {
    uint32_t time;
    const char* folder;
  } cases[] = {
      {Dos(2008, 12, 31, 23, 59, 58), "0800/"},
      {Dos(2009, 1, 1), "0901/"},
      {Dos(2009, 1, 15, 10, 30), "0901/"},
      {976180160, "0901/"},
      {Dos(2015, 10, 3), "1510/"},
      {Dos(2019, 12, 31), "1912/"},
      {Dos(1980, 1, 1), "0800/"},
      {0, "0800/"},
      {Dos(2043, 7, 1), "4307/"},
      {Dos(2044, 1, 1), "4401/"},
  };
  for (auto& c : cases) {
    CAPTURE(c.time);
    char out[16];
    memset(out, 'x', sizeof out);
    char* end = MonthFolder(out, c.time);
    CHECK(std::string(out) == c.folder);
    CHECK(end == out + 5);
  }
}

TEST_CASE("mirror URLs") {
  struct Case {
    const char* url;
    int cloud;
    const char* name;
    int32_t size;
    uint32_t time;
    std::string expected;
  } cases[] = {
      {"http://m/files", 0, "bin\\app.dll", 1234, 976180160, "http://m/files/0901/976180160_1234_bin_app.dll"},
      {"http://m/files/", 0, "bin\\app.dll", 1234, 976180160, "http://m/files/0901/976180160_1234_bin_app.dll"},
      {"http://m/files", 1, "bin\\app.dll", 1234, 976180160, "http://m/files/976180160_1234_bin_app.dll"},
      {"http://m/files/", 2, "bin\\app.dll", 1234, 976180160, "http://m/files/976180160_1234_bin_app.dll"},
      {"http://m", 0, "a\\b\\c.dat", 0, 0, "http://m/0800/0_0_a_b_c.dat"},
      {"http://m", 1, "a b%20/c.dat", 5, 7, "http://m/7_5_a b%20/c.dat"},
      {"http://m", 0, "x", 1, Dos(2044, 1, 1), "http://m/4401/2149646336_1_x"},
      {"http://m", 0, "x", 1, Dos(2015, 10, 3, 12), "http://m/1510/" + std::to_string(Dos(2015, 10, 3, 12)) + "_1_x"},
  };
  for (auto& c : cases) {
    CAPTURE(c.expected);
    Fresh(1);
    Settings.CloudMode = c.cloud;
    TSiteInfo* site = Add(c.url);
    strcpy(FileTable[0].Name, c.name);
    FileTable[0].Size = c.size;
    FileTable[0].DosTime = c.time;
    char out[260];
    CHECK(BuildMirrorUrl(site, out, &FileTable[0]) == out);
    CHECK(std::string(out) == c.expected);
  }
  ResetCore();
}

TEST_CASE("a mirror URL that does not fit is empty") {
  const std::string tail = "/0901/976180160_1234_bin_app.dll";
  for (int extra : {0, 1, 32}) {
    CAPTURE(extra);
    Fresh(1);
    std::string url = "http://" + std::string(259 - 7 - tail.size() + extra, 'u');
    REQUIRE(url.size() <= 259);
    TSiteInfo* site = Add(url);
    strcpy(FileTable[0].Name, "bin\\app.dll");
    FileTable[0].Size = 1234;
    FileTable[0].DosTime = 976180160;
    char out[260];
    memset(out, 'x', sizeof out);
    BuildMirrorUrl(site, out, &FileTable[0]);
    CHECK(std::string(out) == (extra == 0 ? url + tail : std::string()));
  }
  Fresh(1);
  TSiteInfo* site = Add("http://" + std::string(252, 'u'));  // the longest site URL
  strcpy(FileTable[0].Name, std::string(63, 'n').c_str());
  FileTable[0].Size = -1;
  FileTable[0].DosTime = 0xFFFFFFFFu;
  char out[260];
  CHECK(std::string(BuildMirrorUrl(site, out, &FileTable[0])).empty());
  ResetCore();
}

TEST_CASE("the redirects a mirror request follows") {
  struct Case {
    const char* location;
    bool followed;
  } cases[] = {
      {"http://cdn.example/a/b", true},
      {"https://cdn.example/a", true},
      {"HTTPS://CDN.example", true},
      {"ftp://cdn.example/a", false},
      {"file:///C:/x", false},
      {"/relative/path", false},
      {"http://", false},
      {"http:///x", false},
      {"http://a b/", false},
      {"http://a/\r\nX-Evil: 1", false},
      {"", false},
      {"javascript:x", false},
  };
  for (const Case& c : cases) {
    CAPTURE(c.location);
    CHECK(RedirectTarget(c.location, false) == c.followed);
  }
  // From https:// only to another https:// URL.
  CHECK(RedirectTarget("https://cdn.example/a", true));
  CHECK_FALSE(RedirectTarget("http://cdn.example/a", true));
  // A relative Location is taken against the URL it answered.
  struct Relative {
    const char *base, *location, *resolved;
  } relatives[] = {
      {"http://m.example/x/y/f.z", "/a/b", "http://m.example/a/b"},
      {"http://m.example/x/y/f.z", "a/b", "http://m.example/x/y/a/b"},
      {"https://m.example/x/f.z", "//cdn.example/a", "https://cdn.example/a"},
      {"http://m.example", "a", "http://m.example/a"},
      {"http://m.example", "/a", "http://m.example/a"},
      {"http://m.example:8080/f?q=/x", "/a", "http://m.example:8080/a"},
      {"http://m.example/f", "https://cdn.example/a", "https://cdn.example/a"},
      {"http://m.example/f", "ftp://cdn.example/a", "ftp://cdn.example/a"},  // refused after
      {"http://m.example/f", "javascript:x", "javascript:x"},
      {"http://m.example/a/b?x=/c", "d", "http://m.example/a/d"},  // a '/' of the query is no folder's
      {"http://m.example/a/b?x=/c", "?q=1", "http://m.example/a/b?q=1"},
      {"http://m.example?x=/c", "d", "http://m.example/d"},
      {"http://m.example/a/b#f/g", "/e", "http://m.example/e"},
  };
  for (const Relative& r : relatives) {
    CAPTURE(r.location);
    char location[kTextCapacity];
    strcpy(location, r.location);
    REQUIRE(ResolveLocation(location, r.base, kTextCapacity));
    CHECK(std::string(location) == r.resolved);
  }
  char location[16] = "/a/long/path";
  CHECK_FALSE(ResolveLocation(location, "http://m.example/", sizeof location));
  CHECK(std::string(location) == "/a/long/path");
  for (uint32_t status : {301u, 302u, 303u, 307u, 308u}) CHECK(IsRedirect(status));
  for (uint32_t status : {200u, 300u, 304u, 305u, 401u, 407u}) CHECK_FALSE(IsRedirect(status));
}

TEST_CASE("where a mirror transfer goes on, as its record keeps it and a request asks for it") {
  TInflatePoint point;
  point.In = 1557617;
  point.Bits = 3;
  point.Out = 1572864;
  point.Adler = 0xDEADBEEF;
  char text[kResumeCapacity], validator[kValidatorCapacity];
  ResumeText(text, point, "\"8a1b-300000\"");
  CHECK(std::string(text) == "z,1557617,3,1572864,3735928559,\"8a1b-300000\"\r\n");
  TInflatePoint back;
  REQUIRE(ParseResume(text, &back, validator));
  CHECK((back.In == point.In && back.Bits == 3 && back.Out == point.Out && back.Adler == point.Adler));
  CHECK(std::string(validator) == "\"8a1b-300000\"");
  char headers[kResumeCapacity + 32];
  CHECK(std::string(RangeHeaders(headers, back, validator)) ==
        "Range: bytes=1557616-\r\nIf-Range: \"8a1b-300000\"\r\n");
  // Records that are no point to go on from, and validators that could end
  // the request's header early.
  for (const char* bad :
       {"z,1557617,8,1572864,1,\"e\"\r\n", "z,2,0,10,1,\"e\"\r\n", "z,100,0,0,1,\"e\"\r\n",
        "z,100,0,10,4294967296,\"e\"\r\n", "z,100,0,10,1,\r\n", "z,100,0,10,1,\"e\"", "z,100,0,10,1,a\rb\r\n",
        "z,1234567890123456789,0,10,1,\"e\"\r\n", "y,100,0,10,1,\"e\"\r\n"}) {
    CAPTURE(bad);
    CHECK_FALSE(ParseResume(bad, &back, validator));
  }
  CHECK(SendableValidator("Wed, 09 Dec 2026 11:00:00 GMT"));
  CHECK_FALSE(SendableValidator(""));
  CHECK_FALSE(SendableValidator("\"a\"\nX-Evil: 1"));
  CHECK_FALSE(SendableValidator(std::string(kValidatorCapacity, 'a').c_str()));
  struct {
    const char* range;
    int64_t first;
    bool fits;
  } ranges[] = {{"bytes 1557616-3145727/3145728", 1557616, true},
                {"bytes 1558616-3145727/3145728", 1557616, false},
                {"bytes */3145728", 0, false},
                {"", 0, false},
                {"bytes 0-9/10", 0, true},
                {"items 5-9/10", 5, false}};
  for (const auto& r : ranges) {
    CAPTURE(r.range);
    CHECK(RangeStartsAt(r.range, r.first) == r.fits);
  }
}
