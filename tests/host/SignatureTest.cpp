#include <doctest/doctest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/Progress.h"
#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "manifest/Signature.h"
#include "manifest/Sites.h"
#include "support/Crypto.h"
#include "tests/host/Reset.h"

namespace {

bool NeverUpToDate(const char*, int32_t, uint32_t, const uint8_t*) { return false; }

struct Table {
  std::vector<std::string> names;
  std::vector<bool> hashed;
  std::vector<std::string> sites;
  int32_t total;
  bool operator==(const Table& o) const {
    return names == o.names && sites == o.sites && total == o.total;
  }
};

Table Parse(const std::string& text, uint8_t include, bool signedList = false) {
  ResetCore();
  Settings.IncludeSections = include;
  std::vector<char> buffer(text.begin(), text.end());
  buffer.push_back(0);
  ParseManifest(buffer.data(), static_cast<int32_t>(text.size()), NeverUpToDate, signedList);
  Table t;
  for (int i = 0; i < FileCount; ++i) {
    t.names.push_back(FileTable[i].Name);
    t.hashed.push_back(FileTable[i].HasHash);
  }
  for (int i = 0; i < SiteCount; ++i) t.sites.push_back(Sites[i]->Url);
  t.total = TransferStats.TotalBytes;
  return t;
}

const std::string kHash = "9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
// 88 characters of base64 for 64 bytes.
const std::string kSig64 = std::string(86, 'A') + "==";
const std::string kKey64 = std::string(85, 'B') + "A==";

std::string Block(const std::string& serial = "1700000000", const std::string& id = "main",
                  const std::string& sig = kSig64) {
  return "[SITES]\r\nserial=" + serial + "\r\nsignature=" + id + ":" + sig + "\r\n";
}

}  // namespace

TEST_CASE("hashes and a signature block change no selection, under every include value") {
  const std::string plain =
      "top=3,976180160\r\n[CLIENT]\r\nCorvane.exe=10,976180160\r\nBin\\a.dll=20,976180162\r\n"
      "[SERVERONLY]\r\ns.dat=30,976180164\r\n[ONDEMAND]\r\no.dat=40,0\r\n[SITES]\r\nhttp://m/x=3\r\n";
  std::string added =
      "top=3,976180160,sha256=" + kHash + "\r\n[CLIENT]\r\nCorvane.exe=10,976180160,sha256=" + kHash +
      "\r\nBin\\a.dll=20,976180162,sha256=" + kHash + "\r\n[SERVERONLY]\r\ns.dat=30,976180164,sha256=" + kHash +
      "\r\n[ONDEMAND]\r\no.dat=40,0,sha256=" + kHash + "\r\n[SITES]\r\nhttp://m/x=3\r\n" + Block();
  for (int include = 0; include < 16; ++include) {
    CAPTURE(include);
    Table before = Parse(plain, static_cast<uint8_t>(include));
    Table after = Parse(added, static_cast<uint8_t>(include));
    CHECK(after == before);
    CHECK(after.sites == std::vector<std::string>{"http://m/x"});
    for (bool h : after.hashed) CHECK(h);
  }
}

TEST_CASE("the hash field of a file line") {
  struct Case { std::string line; bool parses; bool hashed; int32_t size; uint32_t time; } cases[] = {
    {"a=5,976180160,sha256=" + kHash, true, true, 5, 976180160},
    {"a=5,976180160,SHA256=" + kHash, true, false, 5, 976180160},  // not the field: ignored as before
    {"a=5,976180160,sha256=" + std::string(kHash.size(), 'F'), true, true, 5, 976180160},
    {"a=5,976180160,sha256=" + kHash + ",more=1", true, true, 5, 976180160},
    // Patch fields, as every program reads a line: the file's own fields first.
    {"a=5,976180160,sha256=" + kHash + ",patch=" + kHash + ":300:" + kHash + ",patch=" + kHash + ":9:" + kHash, true,
     true, 5, 976180160},
    {"a=5,976180160,sha256=" + kHash.substr(1), false, false, 5, 976180160},  // 63 digits
    {"a=5,976180160,sha256=" + kHash + "0", false, false, 5, 976180160},      // 65 digits
    {"a=5,976180160,sha256=" + kHash.substr(2) + "zz", false, false, 5, 976180160},
    {"a=5,976180160,sha256=", false, false, 5, 976180160},
    {"a=5,976180160 comment", true, false, 5, 976180160},
    {"a=5,976180160", true, false, 5, 976180160},
    {"a=5", true, false, 5, 0},
    {"a", true, false, 0, 0},
  };
  for (auto& c : cases) {
    CAPTURE(c.line);
    int32_t length, size;
    uint32_t time;
    bool hashed;
    uint8_t digest[kDigestSize];
    REQUIRE(ParseFileFields(c.line.c_str(), length, size, time, hashed, digest) == c.parses);
    CHECK(length == 1);
    CHECK(size == c.size);
    CHECK(time == c.time);
    CHECK(hashed == c.hashed);
    if (hashed && c.line.find("FFFF") == std::string::npos) CHECK(digest[0] == 0x9f);
  }
}

TEST_CASE("a signed list takes only lines with a hash, and never the serial file") {
  std::string text = "[CLIENT]\r\nwith=1,2,sha256=" + kHash + "\r\nwithout=1,2\r\nTOVIMAR.SERIAL=1,2,sha256=" +
                     kHash + "\r\nbad=1,2,sha256=12\r\n";
  CHECK(Parse(text, 2, true).names == std::vector<std::string>{"with"});
  CHECK(Parse(text, 2, false).names == std::vector<std::string>{"with", "without"});
}

TEST_CASE("the signature block is found only whole and last") {
  const std::string body = "[CLIENT]\r\na=1,2,sha256=" + kHash + "\r\n";
  struct Case { std::string text; bool found; } cases[] = {
    {body + Block(), true},
    {body + Block().substr(0, Block().size() - 2), true},        // the last line without its end
    {body + Block().substr(0, Block().size() - 1), true},        // ... or with a lone CR
    {body + Block() + "\r\n", false},                            // an empty line after it
    {body + Block() + "x=1,2\r\n", false},                       // a line after it
    {Block() + body, false},                                     // at the start
    {body + "[sites]\r\nserial=5\r\nsignature=main:" + kSig64, true},
    {body + "[SITES]\r\n\r\nserial=5\r\nsignature=main:" + kSig64, false},  // not adjacent
    {body + "[CLIENT]\r\nserial=5\r\nsignature=main:" + kSig64, false},
    {body + Block("0"), true},
    {body + Block("999999999999999999"), true},                  // 18 digits
    {body + Block("1000000000000000000"), false},                // 19 digits
    {body + Block(""), false},
    {body + Block("12a"), false},
    {body + Block("1", "a-Z_09"), true},
    {body + Block("1", "0123456789abcdef"), true},               // 16 characters
    {body + Block("1", "0123456789abcdefg"), false},             // 17
    {body + Block("1", ""), false},
    {body + Block("1", "a.b"), false},
    {body + Block("1", "main", kSig64.substr(4)), false},        // 60 bytes
    {body + Block("1", "main", kSig64 + "AAAA"), false},         // 67 bytes
    {body + Block("1", "main", std::string(87, 'A') + "!"), false},
    {body + "[SITES]\nserial=5\nsignature=main:" + kSig64 + "\n", false},  // LF alone ends no line
    {"[SITES]\r\nserial=5\r\nsignature=main:" + kSig64, true},  // a list of nothing but the block
    {"serial=5\r\nsignature=main:" + kSig64, false},
    {"signature=main:" + kSig64, false},
    {"", false},
  };
  for (auto& c : cases) {
    CAPTURE(c.text);
    TSignatureBlock block;
    REQUIRE(FindSignatureBlock(c.text.data(), static_cast<int32_t>(c.text.size()), block) == c.found);
    if (!c.found) continue;
    // The signature covers every byte before its own line, and no other.
    size_t line = c.text.rfind("signature=");
    CHECK(block.SignedLength == static_cast<int32_t>(line));
  }
}

TEST_CASE("the serial and the key id of a block") {
  std::string text = "[SITES]\r\nserial=000123456789012345678\r\nsignature=k1:" + kSig64 + "\r\n";
  TSignatureBlock block;
  CHECK_FALSE(FindSignatureBlock(text.data(), static_cast<int32_t>(text.size()), block));  // 21 digits
  text = "[SITES]\r\nserial=123456789012345678\r\nsignature=k1:" + kSig64 + "\r\n";
  REQUIRE(FindSignatureBlock(text.data(), static_cast<int32_t>(text.size()), block));
  CHECK(block.Serial == 123456789012345678ull);
  CHECK(std::string(block.KeyId) == "k1");
  // A NUL byte before the block is covered like any other byte.
  std::string withNul = std::string("a=1\0x\r\n", 7) + text;
  REQUIRE(FindSignatureBlock(withNul.data(), static_cast<int32_t>(withNul.size()), block));
  CHECK(block.SignedLength == static_cast<int32_t>(withNul.find("signature=")));
  // Taken over the installed serial, never below it nor below the lowest
  // this program was built with (500 in the test variant).
  struct Taken {
    uint64_t list, installed;
    bool taken;
  } serials[] = {{2000, 2000, true}, {2001, 2000, true}, {1999, 2000, false}, {500, 0, true}, {499, 0, false}};
  for (const Taken& t : serials) {
    CAPTURE(t.list);
    CHECK(SerialTaken(t.list, t.installed) == t.taken);
  }
  // The kept serial: digits alone, 1 to 18 of them.
  uint64_t serial = 7;
  CHECK_FALSE(ParseSerial("", 0, &serial));
  CHECK_FALSE(ParseSerial("12a", 3, &serial));
  CHECK_FALSE(ParseSerial("1234567890123456789", 19, &serial));
  CHECK(serial == 7);
  CHECK(ParseSerial("0042", 4, &serial));
  CHECK(serial == 42);
}

TEST_CASE("the key list as the build gives it") {
  TPublicKey keys[kMaxKeys];
  struct Case { std::string text; int32_t count; } cases[] = {
    {"", 0},
    {"main=" + kKey64, 1},
    {"old=" + kKey64 + ";new=" + kKey64, 2},
    {"old=" + kKey64 + ";new=" + kKey64 + ";", 2},
    {"a=" + kKey64 + ";b=" + kKey64 + ";c=" + kKey64, -1},  // three
    {"main", -1},
    {"=" + kKey64, -1},
    {"main=" + kKey64.substr(4), -1},
    {"ma in=" + kKey64, -1},
    {"main=" + kKey64 + "x", -1},
  };
  for (auto& c : cases) {
    CAPTURE(c.text);
    CHECK(ParseKeyList(c.text.c_str(), keys, kMaxKeys) == c.count);
  }
  REQUIRE(ParseKeyList(("old=" + kKey64 + ";new=" + kKey64).c_str(), keys, kMaxKeys) == 2);
  CHECK(std::string(keys[1].Id) == "new");
  CHECK(keys[0].Point[0] == 0x04);  // 'B' is 1: 000001 000001 ...
}

TEST_CASE("base64 and hexadecimal decoding") {
  uint8_t out[8];
  struct Case { const char* text; int32_t result; const char* bytes; } cases[] = {
    {"TWFu", 3, "Man"}, {"TWE=", 2, "Ma"}, {"TQ==", 1, "M"}, {"TQ=A", -1, ""}, {"T===", -1, ""},
    {"TWF", -1, ""}, {"TW=u", -1, ""}, {"TWFu\r\n", -1, ""}, {"", -1, ""}, {"TWFuTWFuTWFu", -1, ""},
  };
  for (auto& c : cases) {
    CAPTURE(c.text);
    int32_t n = DecodeBase64(c.text, static_cast<int32_t>(strlen(c.text)), out, 8);
    CHECK(n == c.result);
    if (n > 0) CHECK(std::string(reinterpret_cast<char*>(out), static_cast<size_t>(n)) == c.bytes);
  }
  CHECK(DecodeHex("00fFa5", out, 3));
  CHECK((out[0] == 0 && out[1] == 0xff && out[2] == 0xa5));
  CHECK_FALSE(DecodeHex("0g", out, 1));
  CHECK_FALSE(DecodeHex("0", out, 1));
}
