#include <doctest/doctest.h>

#include <cstring>
#include <string>

#include "config/BuiltIn.h"
#include "config/CommandLine.h"
#include "config/Settings.h"
#include "install/Shortcuts.h"
#include "install/Uninstall.h"
#include "manifest/Sites.h"
#include "tests/host/Reset.h"

namespace {

void FromName(const std::string& program) {
  ResetCore();
  ParseCommandText(("\"" + program + "\"").c_str());
  ApplyFileNameScheme();
}

}  // namespace

TEST_CASE("the file-name scheme") {
  struct Case {
    std::string name;
    std::string host;
    int32_t port;
    std::string dir;
    std::string link;
    int32_t cloud;
    std::string language;
  } cases[] = {
      {"acme-setup.exe", "acme.saas.example", 22000, "%AppData%\\Velorin\\acme\\", "acme", 0, ""},
      {"C:\\Downloads\\acme-setup.exe", "acme.saas.example", 22000, "%AppData%\\Velorin\\acme\\", "acme", 0, ""},
      {"acme-22001-setup.exe", "acme.saas.example", 22001, "%AppData%\\Velorin\\acme\\", "acme", 0, ""},
      {"acme-My_Client-setup.exe", "acme.saas.example", 22000, "%AppData%\\Velorin\\acme\\", "My Client", 0, ""},
      {"acme-22001-My_Client-setup.exe", "acme.saas.example", 22001, "%AppData%\\Velorin\\acme\\", "My Client", 0, ""},
      {"acme-Shop-Extra-setup.exe", "acme.saas.example", 22000, "%AppData%\\Velorin\\acme\\", "Shop", 0, ""},
      {"acme-22x-setup.exe", "acme.saas.example", 22, "%AppData%\\Velorin\\acme\\", "acme", 0, ""},
      {"10.0.0.5-setup.exe", "10.0.0.5", 22000, "%AppData%\\Velorin\\10.0.0.5\\", "10.0.0.5", 0, ""},
      {"my_firm-setup.exe", "my firm.saas.example", 22000, "%AppData%\\Velorin\\my firm\\", "my firm", 0, ""},
      // The first character is never examined: a leading '_' stays.
      {"_acme-setup.exe", "_acme.saas.example", 22000, "%AppData%\\Velorin\\_acme\\", "_acme", 0, ""},
      {"acme-1-Two-x-y-setup.exe", "acme.saas.example", 1, "%AppData%\\Velorin\\acme\\", "Two", 0, ""},
      {"AzureEN-setup.exe", "127.0.0.1", 22000, "C:\\ProgramData\\Velorin\\Azure\\", "Velorin on Azure", 2, "EN"},
      {"azure-setup.exe", "127.0.0.1", 22000, "C:\\ProgramData\\Velorin\\Azure\\", "Velorin on Azure", 2, ""},
      {"setup.exe", "", 0, "", "Velorin Client", 0, ""},
  };
  for (auto& c : cases) {
    CAPTURE(c.name);
    FromName(c.name);
    CHECK(Settings.ShortcutsEnabled);
    CHECK(Settings.SaasArguments);
    CHECK(std::string(Settings.Host) == c.host);
    CHECK(Settings.Port == c.port);
    CHECK(std::string(Settings.InstallDir) == c.dir);
    CHECK(std::string(Settings.LinkName) == c.link);
    CHECK(Settings.CloudMode == c.cloud);
    CHECK(std::string(Settings.Language) == c.language);
    if (c.cloud == 2) {
      CHECK(std::string(Settings.ManifestUrl) == "http://127.0.0.1:38917/install/files.ver");
      CHECK(std::string(Settings.RunAfter) == "link");
    }
  }
}

TEST_CASE("a file name that names another folder installs nowhere") {
  // "..-setup.exe" would install into %AppData% itself, and its uninstall
  // would empty it; a shortcut part of ".." would leave the shortcut folder.
  struct Case {
    std::string name, dir, link;
  } cases[] = {
      {"..-setup.exe", "", ".."},
      {"...-setup.exe", "", "..."},
      {". .-setup.exe", "", ". ."},
      {"acme.-setup.exe", "", "acme."},
      {"con-setup.exe", "", "con"},
      {"nul.txt-setup.exe", "", "nul.txt"},
      {"c:/x/..-setup.exe", "", "c:/x/.."},
      {"a:b-setup.exe", "", "a:b"},
      {"acme-..-setup.exe", "%AppData%\\Velorin\\acme\\", "acme"},
      {"acme-22001-a/..-setup.exe", "%AppData%\\Velorin\\acme\\", "acme"},
      {"acme-x.y-setup.exe", "%AppData%\\Velorin\\acme\\", "x.y"},
  };
  for (auto& c : cases) {
    CAPTURE(c.name);
    FromName(c.name);
    CHECK(std::string(Settings.InstallDir) == c.dir);
    CHECK(std::string(Settings.LinkName) == c.link);
  }
}

TEST_CASE("overlong file names do not overrun") {
  FromName(std::string(100, 'a') + "-" + std::string(100, 'b') + "-setup.exe");
  CHECK(std::string(Settings.LinkName) == std::string(63, 'b'));
  CHECK(std::string(Settings.InstallDir).size() < 260);
  FromName("azure" + std::string(200, 'L') + "-setup.exe");
  CHECK(std::string(Settings.Language).size() == 63);
}

TEST_CASE("INSTDATA arguments") {
  struct Case {
    std::string data;
    std::string dir;
    bool shortcuts;
    int32_t port;
    int32_t argCount;
  } cases[] = {
      {"dir=%ProgramFiles%\\Velorin\\Client&kvo:ON", "%ProgramFiles%\\Velorin\\Client", true, 0, 3},
      {"host=srv1:22001", "", false, 22000, 2},
      {"dir=C:\\X&", "C:\\X", false, 0, 3},
      {"linkname=Velorin Client&dir=C:\\A B\\\"q\"", "C:\\A B\\\"q\"", false, 0, 3},
      // Only whole arguments within 1023 bytes: the one the limit cuts is dropped.
      {std::string(2000, 'x'), "", false, 0, 2},
      // "kvo:ON&x=" and 1008 bytes, then "&dir=C:\\Apps": the limit cuts "dir=C:\\Ap".
      {"kvo:ON&x=" + std::string(1008, 'p') + "&dir=C:\\Apps", "", true, 0, 3},
      // The limit falls on the '&' after a whole argument, which is taken.
      {"kvo:ON&dir=C:\\A&x=" + std::string(1005, 'p') + "&dir=C:\\B", "C:\\A", true, 0, 4},
  };
  for (auto& c : cases) {
    CAPTURE(c.data);
    ResetSettings();
    ParseCommandText("C:\\setup.exe");
    ApplyInstData(c.data.data(), static_cast<int32_t>(c.data.size()));
    CHECK(std::string(Settings.InstallDir) == c.dir);
    CHECK(Settings.ShortcutsEnabled == c.shortcuts);
    CHECK(Settings.Port == c.port);
    CHECK(Settings.ArgCount == c.argCount);
    CHECK(Settings.ResourceFound == 1);
  }
  // The uninstall keyword inside the resource only sets the folder.
  ResetSettings();
  ParseCommandText("C:\\setup.exe");
  std::string data = "uninstall:C:\\Apps";
  ApplyInstData(data.data(), static_cast<int32_t>(data.size()));
  CHECK(std::string(Settings.InstallDir) == "C:\\Apps");
}

TEST_CASE("client arguments") {
  struct Case {
    bool saas;
    int32_t cloud;
    const char* language;
    const char* text;
  } cases[] = {
      {true, 2, "el", "/SAAS:srv1 /LANG:el"},
      {true, 2, "", "/SAAS:srv1"},
      {true, 0, "el", "/SAAS:srv1"},
      {false, 2, "el", "/SKVO /HOST:srv1:22000"},
      {false, 0, "", "/SKVO /HOST:srv1:22000"},
  };
  for (auto& c : cases) {
    ResetSettings();
    strcpy(Settings.Host, "srv1");
    Settings.Port = 22000;
    Settings.SaasArguments = c.saas;
    Settings.CloudMode = c.cloud;
    strcpy(Settings.Language, c.language);
    char out[kArgumentsCapacity];
    CHECK(std::string(ClientArguments(out)) == c.text);
  }
  ResetSettings();
  memset(Settings.Host, 'h', 259);
  Settings.Port = 2147483647;
  char out[kArgumentsCapacity];
  CHECK(std::string(ClientArguments(out)).size() == 12 + 259 + 1 + 10);
}

TEST_CASE("path names, shortcut lines and root folders") {
  char buffer[32];
  strcpy(buffer, "C:\\Desk");
  CHECK(AppendPathName(buffer, "Velorin Client", ".lnk", 32));
  CHECK(std::string(buffer) == "C:\\Desk\\Velorin Client.lnk");
  strcpy(buffer, "C:\\Desk\\");
  CHECK(AppendPathName(buffer, "x", ".lnk", 32));
  CHECK(std::string(buffer) == "C:\\Desk\\x.lnk");
  strcpy(buffer, "C:\\Desk\\");
  CHECK_FALSE(AppendPathName(buffer, "a name that is far too long", ".lnk", 32));
  CHECK(std::string(buffer) == "C:\\Desk\\");

  struct Line {
    const char* text;
    bool shortcut;
  } lines[] = {
      {"C:\\users\\Public\\Desktop\\Velorin Client.lnk", true},
      {"C:\\X\\A.LNK", true},
      {"\\\\srv\\share\\a.lnk", true},
      {"C:\\", false},
      {"", false},
      {"C:\\Windows\\system.ini", false},
      {"a.lnk", false},
      {".lnk", false},
      {"C:\\a.lnk.exe", false},
  };
  for (auto& l : lines) {
    CAPTURE(l.text);
    CHECK(IsShortcutLine(l.text) == l.shortcut);
  }
  // The shortcuts an installation made: only those it may replace.
  char made[] = "C:\\users\\Public\\Desktop\\Velorin Client.lnk\r\nC:\\Menu\\Velorin\\Velorin Client.lnk\r\n ";
  TSimpleStrings ours(made, static_cast<int32_t>(strlen(made)) - 1);
  CHECK(ListsPath(ours, "C:\\users\\Public\\Desktop\\Velorin Client.lnk"));
  CHECK(ListsPath(ours, "c:\\USERS\\public\\desktop\\velorin client.LNK"));
  CHECK(ListsPath(ours, "C:\\Menu\\Velorin\\Velorin Client.lnk"));
  CHECK_FALSE(ListsPath(ours, "C:\\users\\Public\\Desktop\\Foo.lnk"));
  CHECK_FALSE(ListsPath(ours, "C:\\users\\Public\\Desktop\\Velorin Client.lnk.bak"));
  CHECK_FALSE(ListsPath(TSimpleStrings(made, 0), "C:\\Menu\\Velorin\\Velorin Client.lnk"));
  // The cloud folder's uninstaller, beside it.
  char uninstaller[kTextCapacity];
  CHECK(UninstallerBeside(uninstaller, "C:\\ProgramData\\Velorin\\Azure\\"));
  CHECK(std::string(uninstaller) == "C:\\ProgramData\\Velorin\\Azure Uninstall\\Tovimar.exe");
  std::string longest = "C:\\" + std::string(234, 'f') + "\\";  // 238 characters
  CHECK(UninstallerBeside(uninstaller, longest.c_str()));
  CHECK(std::string(uninstaller).size() == 259);
  CHECK_FALSE(UninstallerBeside(uninstaller, ("C:\\f" + longest.substr(3)).c_str()));
  CHECK(uninstaller[0] == 0);
  CHECK_FALSE(UninstallerBeside(uninstaller, "C:\\"));
  struct Root {
    const char* folder;
    bool root;
  } roots[] = {
      {"", true},
      {"C:", true},
      {"C:\\", true},
      {"\\", true},
      {"\\\\srv\\share\\", true},
      {"\\\\srv", true},
      {"C:\\Apps", false},
      {"C:\\Apps\\", false},
      {"\\\\srv\\share\\dir", false},
  };
  for (auto& r : roots) {
    CAPTURE(r.folder);
    CHECK(IsRootFolder(r.folder) == r.root);
  }
  // The entry among the installed apps is named by the folder's last element.
  const std::string prefix = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Velorin ";
  const std::string keyLongest(238, 'n');
  struct Entry {
    std::string folder;
    const char* name;
  } entries[] = {
      {"C:\\Program Files\\Acme\\", "Acme"},
      {"C:\\Acme", "Acme"},
      {"D:\\a b\\c d\\\\", "c d"},
      {"\\\\srv\\share\\Acme\\", "Acme"},
      {"C:\\", nullptr},
      {"\\\\srv\\share\\", nullptr},
      {"", nullptr},
      {"C:\\" + keyLongest + "\\", keyLongest.c_str()},
      {"C:\\" + std::string(239, 'n') + "\\", nullptr},  // longer than a key's name, tagged
  };
  for (auto& e : entries) {
    CAPTURE(e.folder);
    char key[kEntryKeyCapacity];
    CHECK(EntryKeyName(key, e.folder.c_str(), false) == (e.name != nullptr));
    if (e.name) CHECK(std::string(key) == prefix + e.name);
    // Tagged, the name is followed by the folder's hash: the same for the
    // same folder in any letter case, another for another folder.
    REQUIRE(EntryKeyName(key, e.folder.c_str(), true) == (e.name != nullptr));
    if (!e.name) continue;
    std::string tagged = key;
    CHECK(tagged.size() == prefix.size() + strlen(e.name) + 9);
    CHECK(tagged.compare(0, prefix.size() + strlen(e.name) + 1, prefix + e.name + " ") == 0);
    std::string upper = e.folder;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EntryKeyName(key, upper.c_str(), true);
    CHECK(std::string(key).substr(tagged.size() - 8) == tagged.substr(tagged.size() - 8));
    EntryKeyName(key, ("E" + e.folder.substr(1)).c_str(), true);
    CHECK(std::string(key) != tagged);
  }
}
