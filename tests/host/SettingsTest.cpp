#include <doctest/doctest.h>

#include <string>
#include <vector>

#include "config/CommandLine.h"
#include "config/Settings.h"
#include "manifest/Sites.h"
#include "tests/host/Reset.h"

namespace {

std::vector<std::string> Tokens(const std::string& line) {
  ResetCore();
  ParseCommandText(line.c_str());
  std::vector<std::string> out;
  for (int i = 0; i < Settings.ArgCount; ++i) out.push_back(Settings.Args[i]);
  return out;
}

}  // namespace

TEST_CASE("tokeniser") {
  using V = std::vector<std::string>;
  struct Case {
    std::string line;
    V args;
  } cases[] = {
      {"C:\\T.exe", V{"C:\\T.exe"}},
      {"\"C:\\My Apps\\T.exe\" \"dir=C:\\Program Files\\Velorin\" kvo:ON",
       V{"C:\\My Apps\\T.exe", "dir=C:\\Program Files\\Velorin", "kvo:ON"}},
      {"T dir=\"C:\\A B\"", V{"T", "dir=\"C:\\A", "B\""}},
      {"T \"abc\"def", V{"T", "abc", "def"}},
      {"T \"\"", V{"T", ""}},
      {"T a\tb  \t c", V{"T", "a\tb", "c"}},
      {"T a   \t", V{"T", "a"}},
      {" T", V{"", "T"}},
      {"T \"never closed a b", V{"T", "never closed a b"}},
      {"T \"", V{"T", ""}},
      {"", V{""}},
  };
  for (auto& c : cases) {
    CAPTURE(c.line);
    CHECK(Tokens(c.line) == c.args);
  }
}

TEST_CASE("overlong command lines are cut and extra arguments dropped") {
  std::string line = "T";
  for (int i = 0; i < 20; ++i) line += " a" + std::to_string(i);
  auto args = Tokens(line);
  CHECK(args.size() == 16);
  CHECK(args[15] == "a14");

  Tokens("T linkname=" + std::string(100, 'n'));
  CHECK(std::string(Settings.LinkName) == std::string(63, 'n'));
}

TEST_CASE("a token cut by the end of an overlong command line is dropped") {
  using V = std::vector<std::string>;
  const std::string pad(240, 'p');  // "T " and pad end at character 242
  struct Case {
    std::string line;
    V args;
  } cases[] = {
      {"T dir=" + std::string(400, 'x'), V{"T"}},
      {"T host=" + std::string(300, 'h') + ":22001", V{"T"}},
      {"T " + pad + " next \"C:\\Long Folder\\Client.exe\"", V{"T", pad, "next"}},
      {"T " + pad + " next C:\\Client\\Client.exe /x", V{"T", pad, "next"}},
      // Whole tokens that end right at the cut stay.
      {"T " + pad + " " + std::string(16, 'w') + " more", V{"T", pad, std::string(16, 'w')}},
      {"T " + pad + " \"" + std::string(14, 'q') + "\" more", V{"T", pad, std::string(14, 'q')}},
      // The sixteenth argument is whole; the cut one was never taken.
      {"T a b c d e f g h i j k l m n o " + std::string(300, 'z'),
       V{"T", "a", "b", "c", "d", "e", "f", "g", "h", "i", "j", "k", "l", "m", "n", "o"}},
  };
  for (auto& c : cases) {
    CAPTURE(c.line);
    CHECK(Tokens(c.line) == c.args);
  }
  Tokens("T dir=C:\\A next " + std::string(300, 'r'));
  CHECK(std::string(Settings.InstallDir) == "C:\\A");
  CHECK(Settings.RunAfter[0] == 0);
}

TEST_CASE("keywords") {
  struct Case {
    std::string line;
    std::string host;
    int32_t port;
    std::string dir;
    bool shortcuts;
    int32_t cloud;
    int include;
    std::string runAfter;
    std::string link;
  } cases[] = {
      {"T", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T host=10.0.0.5:22001", "10.0.0.5", 22001, "", false, 0, 2, "", "Velorin Client"},
      {"T host=srv1", "srv1", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T HOSTNAME=x", "AME=x", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T host=srv:80x", "srv", 80, "", false, 0, 2, "", "Velorin Client"},
      {"T host", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T KVO:on", "", 0, "", true, 0, 2, "", "Velorin Client"},
      {"T kvo=ON", "", 0, "", true, 0, 2, "", "Velorin Client"},
      {"T kvo:OFF", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T kvo:O", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T kvo", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T \"linkname=My Client\"", "", 0, "", false, 0, 2, "", "My Client"},
      {"T linkname=..\\..\\Startup\\x", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T linkname=a/b", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T linkname=..", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T linkname=con", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T linkname=", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T dir=C:\\X", "", 0, "C:\\X", false, 0, 2, "", "Velorin Client"},
      {"T dir", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T DIR:", "", 0, "", false, 0, 2, "", "Velorin Client"},
      {"T azure", "", 0, "", false, 1, 2, "", "Velorin Client"},
      {"T include=14", "", 0, "", false, 0, 14, "", "Velorin Client"},
      {"T include=256", "", 0, "", false, 0, 0, "", "Velorin Client"},
      {"T include=x", "", 0, "", false, 0, 0, "", "Velorin Client"},
      {"T include", "", 0, "", false, 0, 0, "", "Velorin Client"},
      {"T next a b", "", 0, "", false, 0, 2, "\"a\" \"b\"", "Velorin Client"},
      {"T next host=x", "", 0, "", false, 0, 2, "\"host=x\"", "Velorin Client"},
      {"T nextx C:\\Apps\\Corvane.exe /x", "", 0, "", false, 0, 2, "\"C:\\Apps\\Corvane.exe\" \"/x\"",
       "Velorin Client"},
      {"T unknown=1 dir=D:\\", "", 0, "D:\\", false, 0, 2, "", "Velorin Client"},
  };
  for (auto& c : cases) {
    CAPTURE(c.line);
    Tokens(c.line);
    CHECK(std::string(Settings.Host) == c.host);
    CHECK(Settings.Port == c.port);
    CHECK(std::string(Settings.InstallDir) == c.dir);
    CHECK(Settings.ShortcutsEnabled == c.shortcuts);
    CHECK(Settings.CloudMode == c.cloud);
    CHECK(int(Settings.IncludeSections) == c.include);
    CHECK(std::string(Settings.RunAfter) == c.runAfter);
    CHECK(std::string(Settings.LinkName) == c.link);
    CHECK_FALSE(Settings.UninstallRequested);
  }
  // A silent run's limit: seconds in digits alone, or it stays unset (-1).
  struct Limit {
    const char* line;
    int32_t seconds;
  } limits[] = {
      {"T timeout=600", 600}, {"T timeout=0", 0}, {"T timeout=-1", -1},      {"T timeout=1h", -1},
      {"T timeout=", -1},     {"T timeout", -1},  {"T timeout=1234567", -1}, {"T timeout=999999", 999999},
  };
  for (const Limit& l : limits) {
    CAPTURE(l.line);
    Tokens(l.line);
    CHECK(Settings.TimeoutSeconds == l.seconds);
  }
}

TEST_CASE("uninstall requests") {
  struct Case {
    std::string line;
    std::string dir;
  } cases[] = {
      {"T uninstall", ""},
      {"T uninstall dir=C:\\X", "C:\\X"},
      {"T dir=C:\\X uninstall", "C:\\X"},
      {"T uninstall:C:\\Apps\\Velorin", "C:\\Apps\\Velorin"},
      {"T \"uninstall:C:\\My Apps\\V\"", "C:\\My Apps\\V"},
      {"T uninstallX", ""},
  };
  for (auto& c : cases) {
    CAPTURE(c.line);
    Tokens(c.line);
    CHECK(Settings.UninstallRequested);
    CHECK(std::string(Settings.InstallDir) == c.dir);
  }
}

TEST_CASE("a port inside the resource is taken one lower") {
  ResetSettings();
  Settings.ResourceFound = 1;
  CHECK(SetHost("10.0.0.5:22001"));
  CHECK(Settings.Port == 22000);
  CHECK_FALSE(SetHost("srv1"));
  CHECK(Settings.Port == 22000);  // without ':' the port stays
  // Digits past 32 bits wrap; one lower than the lowest value wraps too.
  CHECK_FALSE(SetHost("srv1:2147483648"));
  CHECK(Settings.Port == 2147483647);
}

TEST_CASE("run-after arguments never hold half an argument") {
  ResetSettings();
  AppendRunAfter(std::string(250, 'a').c_str());
  CHECK(std::string(Settings.RunAfter).size() == 252);
  AppendRunAfter("abcdefgh");  // 11 more would need 263 characters
  CHECK(std::string(Settings.RunAfter).size() == 252);
  AppendRunAfter("abcd");  // 7 more: 259 fits
  CHECK(std::string(Settings.RunAfter).size() == 259);
}

TEST_CASE("mirror sites from arguments") {
  Tokens(
      "T web:http://m1/files=3 web:HTTP://m2/files web:https://m3/files web:ftp://x web:http://m4/=x web:http://m5=");
  REQUIRE(SiteCount == 4);
  CHECK(std::string(Sites[0]->Url) == "http://m1/files");
  CHECK(Sites[0]->Workers == 3);
  CHECK(std::string(Sites[1]->Url) == "HTTP://m2/files");
  CHECK(Sites[1]->Workers == 1);
  CHECK(Sites[2]->Workers == 0);
  CHECK(std::string(Sites[3]->Url) == "http://m5");
  CHECK(Sites[3]->Workers == 0);
}

TEST_CASE("the site table holds sixteen sites and refuses overlong URLs") {
  ResetSites();
  std::vector<std::string> texts;
  for (int i = 0; i < 17; ++i) texts.push_back("http://site" + std::to_string(i) + "/");
  texts.push_back("http://" + std::string(253, 'u'));  // 260 characters
  for (auto& t : texts) AddSite(&t[0]);
  CHECK(SiteCount == 16);
  CHECK(std::string(Sites[15]->Url) == "http://site15/");
  ResetSites();
  std::string longest = "http://" + std::string(252, 'u');  // 259 characters
  AddSite(&longest[0]);
  std::string tooLong = "http://" + std::string(253, 'u');
  AddSite(&tooLong[0]);
  CHECK(SiteCount == 1);
  ResetSites();
}
