#include <doctest/doctest.h>

#include <cstring>
#include <string>

#include "support/TextUtil.h"

TEST_CASE("copying routines return the terminator they wrote") {
  char d[64];
  CHECK(TextCopy(d, "") == d);
  CHECK(d[0] == 0);
  const char* src = "%AppData%\\Velorin";
  CHECK(TextCopyCount(d, src + 1, 7) == d + 7);
  CHECK(std::string(d) == "AppData");
  CHECK(TextCopyCount(d, "abc", 0) == d);
  CHECK(TextCopyCount(d, "abc", -3) == d);
  CHECK(d[0] == 0);
  char* p = TextCopy(d, "host");
  p = TextPutChar(p, ':');
  p = TextFromInt(p, 22000);
  CHECK(std::string(d) == "host:22000");
  CHECK(p == d + 10);
  const uint8_t bytes[] = {0x00, 0x0f, 0xa5, 0xff};
  p = TextPutHex(d, bytes, 4);
  *p = 0;
  CHECK(std::string(d) == "000fa5ff");
  CHECK(TextPutHex(d, bytes, 0) == d);
}

TEST_CASE("join and append") {
  char d[64];
  strcpy(d, "x");
  TextJoin(d, d, "abc", nullptr);
  CHECK(std::string(d) == "xabc");
  TextJoin(d, "p", nullptr, "q");
  CHECK(std::string(d) == "p");
  TextJoin(d, "a", "b", "c");
  CHECK(std::string(d) == "abc");
  TextAppend(d, "d", "e");
  CHECK(std::string(d) == "abcde");
  TextAppend(d, nullptr, "f");
  CHECK(std::string(d) == "abcde");
}

TEST_CASE("find, backslash and extension") {
  char d[64];
  strcpy(d, "C:\\App");
  CHECK(TextEnsureBackslash(d) == d + 7);
  CHECK(std::string(d) == "C:\\App\\");
  CHECK(TextEnsureBackslash(d) == d + 7);
  d[0] = 0;
  CHECK(TextEnsureBackslash(d) == d);
  CHECK(d[0] == 0);
  struct Folder { const char* in; const char* out; } folders[] = {
    {"C:\\App\\", "C:\\App"}, {"C:\\App", "C:\\App"}, {"C:\\", "C:"}, {"", ""},
  };
  for (auto& f : folders) CHECK(std::string(TextCopyFolder(d, f.in)) == f.out);

  struct Case { const char* in; const char* out; } cases[] = {
    {"C:\\App\\Tovimar.exe", "C:\\App\\Tovimar.ver"},
    {"C:\\Users\\john.doe\\Downloads\\acme-setup", "C:\\Users\\john.doe\\Downloads\\acme-setup.ver"},
    {"C:/john.doe/acme-setup", "C:/john.doe/acme-setup.ver"},
    {"README", "README.ver"},
    {"a.b.exe", "a.b.ver"},
  };
  for (auto& c : cases) {
    strcpy(d, c.in);
    CHECK(std::string(TextReplaceExtension(d, "ver")) == c.out);
  }
  strcpy(d, "a\\b\\c");
  CHECK(TextFindFirst(d, '\\') == d + 1);
  CHECK(TextFindLast(d, '\\') == d + 3);
  CHECK(TextFindFirst(d, 'z') == nullptr);
  CHECK(TextFindLast(d, 0) == nullptr);
}

TEST_CASE("numbers") {
  char d[16];
  struct Case { uint32_t v; const char* text; } out[] = {
    {0, "0"}, {7, "7"}, {10, "10"}, {2147483647u, "2147483647"}, {4294967295u, "4294967295"},
  };
  for (auto& c : out) {
    CHECK(TextFromInt(d, c.v) == d + strlen(c.text));
    CHECK(std::string(d) == c.text);
  }
  struct Parse { const char* in; int32_t value; int moved; } in[] = {
    {"8080/x", 8080, 4}, {"abc", 0, 0}, {"-5", 0, 0}, {"", 0, 0}, {"4294967297", 1, 10},
  };
  for (auto& c : in) {
    const char* cursor = c.in;
    CHECK(TextParseInt(cursor) == c.value);
    CHECK(cursor - c.in == c.moved);
    CHECK(TextToInt(c.in) == c.value);
  }
}

TEST_CASE("comparisons fold ASCII letters only") {
  CHECK(AsciiUpper('a') == 'A');
  CHECK(AsciiUpper('{') == '{');
  CHECK(AsciiUpper('\xe9') == '\xe9');
  struct Case { const char* a; const char* b; bool equal; } eq[] = {
    {"Link", "LINK", true}, {"link", "links", false}, {"links", "link", false}, {"", "", true},
    {"\xc9", "\xe9", false},
  };
  for (auto& c : eq) CHECK(TextEquals(c.a, c.b) == c.equal);
  struct CaseN { const char* a; const char* b; int n; bool equal; } eqn[] = {
    {"next", "NEXT", 4, true}, {"ne", "next", 4, false}, {"dir:C:\\x", "dir", 3, true},
    {"HOST:server", "host", 4, true}, {"x", "y", 0, true}, {"x", "y", -1, true},
  };
  for (auto& c : eqn) CHECK(TextEqualsN(c.a, c.b, c.n) == c.equal);
}

TEST_CASE("bounded variants cut at the capacity and terminate") {
  char d[8];
  memset(d, 'z', sizeof d);
  CHECK(TextCopyMax(d, "abcdefghijk", 8) == d + 7);
  CHECK(std::string(d) == "abcdefg");
  CHECK(TextCopyMax(d, "ab", 8) == d + 2);
  strcpy(d, "abc");
  TextAppendMax(d, "defghij", 8);
  CHECK(std::string(d) == "abcdefg");
  strcpy(d, "abc");
  CHECK(TextFits(d, "defg", 8));
  CHECK(!TextFits(d, "defgh", 8));
  CHECK(TextStartsWith("http://x", "HTTP://"));
  CHECK(!TextStartsWith("htt", "http://"));
}
