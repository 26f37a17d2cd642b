#include <doctest/doctest.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <string>

#include "Helpers.h"
#include "config/BuiltIn.h"
#include "config/InstallDir.h"
#include "config/CommandLine.h"
#include "config/Settings.h"
#include "install/Access.h"
#include "support/TinyLib.h"

namespace {
// The current folder, with its '\\'.
std::string Here() {
  char here[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, here);
  std::string folder = here;
  return folder.back() == '\\' ? folder : folder + "\\";
}
}  // namespace

TEST_CASE("the installation folder expands AppData and ProgramFiles") {
  char appData[512], programFiles[512];
  REQUIRE(GetEnvironmentVariableA("AppData", appData, sizeof appData) > 0);
  REQUIRE(GetEnvironmentVariableA("ProgramFiles", programFiles, sizeof programFiles) > 0);
  // A 32-bit process on 64-bit Windows is given the (x86) folder; a 64-bit one,
  // or one on 32-bit Windows, the plain one.
  BOOL wow64 = FALSE;
  REQUIRE(IsWow64Process(GetCurrentProcess(), &wow64));
  CHECK(std::string(programFiles) == (wow64 ? "C:\\Program Files (x86)" : "C:\\Program Files"));
  std::string longValue(240, 'v');
  SetEnvironmentVariableA("AppData", (std::string("C:\\") + longValue).c_str());
  struct Case { std::string dir; std::string expanded; } cases[] = {
    {"%AppData%\\Velorin\\acme\\", std::string("C:\\") + longValue + "\\Velorin\\acme\\"},
    {"%APPDATA%\\X", std::string("C:\\") + longValue + "\\X\\"},
    {"%ProgramFiles%\\Velorin\\Client", std::string(programFiles) + "\\Velorin\\Client\\"},
    {"X\\%AppData%", Here() + "X\\%AppData%\\"},  // a relative folder is made full, once
    {"C:\\Apps", "C:\\Apps\\"},
    {"C:\\Apps\\", "C:\\Apps\\"},
    {"C:\\Apps\\none\\..\\Velorin", "C:\\Apps\\Velorin\\"},  // what the checks look at is what is reached
    {"C:\\Apps\\Velorin.", "C:\\Apps\\Velorin\\"},
    {"", ""},
    {"%AppData%\\" + std::string(30, 'f'), ""},  // 243 + 31 characters do not fit
  };
  for (auto& c : cases) {
    CAPTURE(c.dir);
    ResetSettings();
    strcpy(Settings.InstallDir, c.dir.c_str());
    ExpandInstallDir();
    CHECK(std::string(Settings.InstallDir) == c.expanded);
  }
  // Undefined, or 250 characters and more: no folder at all.
  for (const std::string& value : {std::string(), std::string("C:\\") + std::string(250, 'w')}) {
    SetEnvironmentVariableA("AppData", value.empty() ? nullptr : value.c_str());
    ResetSettings();
    strcpy(Settings.InstallDir, "%AppData%\\Velorin\\acme\\");
    ExpandInstallDir();
    CHECK(std::string(Settings.InstallDir) == "");
  }
  SetEnvironmentVariableA("AppData", appData);
}

namespace {

// True when the list grants the Users group full access inherited by files
// and folders.
bool GrantsUsers(PACL dacl) {
  BYTE usersSid[SECURITY_MAX_SID_SIZE];
  DWORD sidSize = sizeof usersSid;
  if (!CreateWellKnownSid(WinBuiltinUsersSid, nullptr, usersSid, &sidSize)) return false;
  // Wine has no GetExplicitEntriesFromAclA: read the entries themselves.
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    if (!EqualSid(reinterpret_cast<PSID>(&ace->SidStart), usersSid)) continue;
    bool inherited = (ace->Header.AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) ==
                     (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    if (inherited && (ace->Mask == GENERIC_ALL || (ace->Mask & FILE_ALL_ACCESS) == FILE_ALL_ACCESS)) return true;
  }
  return false;
}

}  // namespace

TEST_CASE("the users group gets full inherited access to the folder") {
  std::string dir = FreshFolder("grant");
  std::string object = dir.substr(0, dir.size() - 1);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR sd = nullptr;
  REQUIRE(GetNamedSecurityInfoA(object.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                                nullptr, &sd) == ERROR_SUCCESS);
  REQUIRE(dacl);
  CHECK_FALSE(GrantsUsers(dacl));
  PACL extended = static_cast<PACL>(ExtendedAccessList(dacl, "Users"));
  CHECK(GrantsUsers(extended));
  CHECK(extended->AceCount == dacl->AceCount + 1);
  LocalFree(extended);
  CHECK(ExtendedAccessList(dacl, "NoSuchGroupAnywhere") == nullptr);
  // By its SID, as the program grants it: the same group on every Windows language.
  extended = static_cast<PACL>(ExtendedAccessList(dacl, kUsersSid));
  CHECK(GrantsUsers(extended));
  LocalFree(extended);
  CHECK(ExtendedAccessList(dacl, "S-1-5-32-545-x") == nullptr);
  LocalFree(sd);  // the list read lies in it

  // Wine accepts the list but keeps only what the file's mode bits hold, so
  // reading it back shows no new entry here; on Windows it does.
  CHECK(GrantFolderAccess(object.c_str(), "Users"));
  CHECK_FALSE(GrantFolderAccess((dir + "missing").c_str(), "Users"));
  CHECK_FALSE(GrantFolderAccess(object.c_str(), "NoSuchGroupAnywhere"));
  ResetSettings();
  strcpy(Settings.InstallDir, dir.c_str());
  GrantUsersAccess();
  CHECK(std::string(Settings.InstallDir) == dir);  // the backslash is back
}

TEST_CASE("the highest folder the program makes is the administrators' alone") {
  // The list as built: protected, SYSTEM and the administrators full, the
  // users read and run, each inherited by folders and files.
  PSECURITY_DESCRIPTOR built = nullptr;
  REQUIRE(ConvertStringSecurityDescriptorToSecurityDescriptorA(kAdminFolderAccess, SDDL_REVISION_1, &built, nullptr));
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  REQUIRE(GetSecurityDescriptorControl(built, &control, &revision));
  CHECK((control & SE_DACL_PROTECTED) != 0);
  BOOL present = FALSE, defaulted = FALSE;
  PACL list = nullptr;
  REQUIRE(GetSecurityDescriptorDacl(built, &present, &list, &defaulted));
  REQUIRE(list);
  REQUIRE(list->AceCount == 3);
  struct Entry {
    WELL_KNOWN_SID_TYPE who;
    DWORD mask;
  } entries[] = {{WinLocalSystemSid, FILE_ALL_ACCESS},
                 {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
                 {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE}};
  for (DWORD i = 0; i < 3; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    REQUIRE(GetAce(list, i, reinterpret_cast<void**>(&ace)));
    CHECK(ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE);
    CHECK(ace->Header.AceFlags == (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE));
    CHECK(IsWellKnownSid(&ace->SidStart, entries[i].who));
    CHECK(ace->Mask == entries[i].mask);
  }
  LocalFree(built);

  // Made: Wine keeps the list as the folder's mode, so what it reads back
  // names nobody but SYSTEM and the owner. Everyone, on a folder made with
  // the inherited access, may read.
  // Outside the profile, where the temporary folder lies.
  std::string dir = "C:\\tovimar-admins-" + std::to_string(GetCurrentProcessId()) + "\\";
  for (const char* leftover : {"top\\inner", "top", "plain", ""}) RemoveDirectoryA((dir + leftover).c_str());
  CreateDirectoryA(dir.c_str(), nullptr);
  auto everyone = [](const std::string& folder) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD mask = 0;
    if (GetNamedSecurityInfoA(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &sd) == ERROR_SUCCESS)
      for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&ace)) && IsWellKnownSid(&ace->SidStart, WinWorldSid))
          mask |= ace->Mask;
      }
    LocalFree(sd);
    return mask;
  };
  std::string made = dir + "top\\inner\\", plain = dir + "plain\\";
  ForceAdminFolders(&made[0]);
  ForceFolders(&plain[0], 0);
  CHECK((GetFileAttributesA(made.c_str()) & FILE_ATTRIBUTE_DIRECTORY) != 0);
  CHECK(everyone(dir + "top") == 0);
  CHECK(everyone(dir + "plain") != 0);
  for (const char* made : {"top\\inner", "top", "plain", ""}) RemoveDirectoryA((dir + made).c_str());
}

TEST_CASE("a stamped copy reads its INSTDATA") {
  char self[MAX_PATH];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  std::string dir = FreshFolder("stamped");
  std::string copy = dir + "acme-setup.exe";
  REQUIRE(CopyFileA(self, copy.c_str(), FALSE));
  // The build's tools\ beside its test\ folder.
  std::string test = std::string(self).substr(0, std::string(self).rfind('\\'));
  std::string stampTool = test.substr(0, test.rfind('\\') + 1) + "tools\\stamp.exe";
  std::string out = RunCapture("\"" + stampTool + "\" \"" + copy + "\" \"dir=C:\\Stamped&kvo:ON&host=h:22001\"");
  REQUIRE(out.find("stamped") != std::string::npos);
  std::string probe = RunCapture("\"" + copy + "\" --builtin-probe");
  CHECK(probe.find("dir=C:\\Stamped\\|kvo=1|host=h|port=22000|resource=1") != std::string::npos);
  // Unstamped, the same name configures itself from the name.
  std::string plain = dir + "acme-22005-setup.exe";
  REQUIRE(CopyFileA(self, plain.c_str(), FALSE));
  probe = RunCapture("\"" + plain + "\" --builtin-probe");
  CHECK(probe.find("|host=acme.saas.example|port=22005|resource=0") != std::string::npos);
}
