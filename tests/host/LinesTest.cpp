#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "support/TinyLib.h"

namespace {

std::vector<std::string> Split(std::string data, char* terminatorAt = nullptr) {
  std::vector<char> buffer(data.begin(), data.end());
  buffer.push_back('#');  // the spare byte behind the data
  TSimpleStrings lines(buffer.data(), static_cast<int32_t>(data.size()));
  std::vector<std::string> out;
  for (int i = 0; i < lines.Count; ++i) out.push_back(lines.Items[i]);
  if (terminatorAt) *terminatorAt = buffer[data.size()];
  return out;
}

}  // namespace

TEST_CASE("line splitting") {
  using V = std::vector<std::string>;
  struct Case { std::string data; V lines; } cases[] = {
    {"a\r\nb", V{"a", "b"}},
    {"a\r\n", V{"a"}},
    {"\r\n\r\n", V{"", ""}},
    {"a\r\rb", V{"a", "", "b"}},
    {"a\nb", V{"a\nb"}},
    {"", V{}},
    {"a\r", V{"a"}},
    {std::string("a\0b\r\nc", 6), V{"a", "c"}},
  };
  for (auto& c : cases) {
    CAPTURE(c.data);
    CHECK(Split(c.data) == c.lines);
  }
  char last = '#';
  Split("a\r\nb", &last);
  CHECK(last == 0);
}

TEST_CASE("every one of many lines gets an entry") {
  std::string data;
  for (int i = 0; i < 5000; ++i) data += "line" + std::to_string(i) + "\r\n";
  auto lines = Split(data);
  REQUIRE(lines.size() == 5000);
  CHECK(lines[0] == "line0");
  CHECK(lines[1499] == "line1499");
  CHECK(lines[4999] == "line4999");
}
