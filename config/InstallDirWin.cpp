#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "config/InstallDir.h"
#include "config/Settings.h"
#include "config/ShellFolder.h"
#include "support/TextUtil.h"

void ExpandInstallDir() {
  static const char* const prefixes[] = {"%AppData%", "%ProgramFiles%"};
  for (const char* prefix : prefixes) {
    int length = TextLength(prefix);
    if (!TextEqualsN(Settings.InstallDir, prefix, length)) continue;
    char variable[32];
    TextCopyCount(variable, prefix + 1, length - 2);
    char value[512];
    DWORD n = GetEnvironmentVariableA(variable, value, 250);
    // Undefined, or too long for its buffer: no folder rather than a folder
    // relative to the drive root.
    if (n == 0 || n >= 250 || !TextFits(value, Settings.InstallDir + length, kTextCapacity)) {
      Settings.InstallDir[0] = 0;
      return;
    }
    TextAppend(value, Settings.InstallDir + length, nullptr);
    TextCopy(Settings.InstallDir, value);
    break;
  }
  if (Settings.InstallDir[0] == 0) return;
  // Once, here: the installation, its shortcuts and its uninstall must all
  // name the same folder, whatever the current folder is later. A full one
  // too is made plain: "C:\\Apps\\none\\..\\link" reaches "link" without ever
  // looking at "none", and the folder checks must see what is reached.
  char full[kTextCapacity];
  DWORD made = GetFullPathNameA(Settings.InstallDir, kTextCapacity, full, nullptr);
  if (made == 0 || made >= kTextCapacity) {
    Settings.InstallDir[0] = 0;
    return;
  }
  TextCopy(Settings.InstallDir, full);
  int n = TextLength(Settings.InstallDir);
  if (Settings.InstallDir[n - 1] != '\\' && n >= kTextCapacity - 1) {
    Settings.InstallDir[0] = 0;  // no room left for the backslash
    return;
  }
  TextEnsureBackslash(Settings.InstallDir);
}

namespace {
// Only a folder that is not there is missing: one that cannot be looked at
// counts as no plain folder.
uint32_t SystemAttributes(const char* path) {
  DWORD attributes = GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) return attributes;
  DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? kMissing : 0;
}
}  // namespace

bool PlainFolders(const char* path) { return FoldersArePlain(path, SystemAttributes); }

namespace {

// The user the program runs as; its owner counts as an administrator's.
uint8_t ownUser[SECURITY_MAX_SID_SIZE];

bool TrustedOwner(PSID owner) {
  if (IsWellKnownSid(owner, WinBuiltinAdministratorsSid) || IsWellKnownSid(owner, WinLocalSystemSid) ||
      (IsValidSid(ownUser) && EqualSid(owner, ownUser)))
    return true;
  char* text = nullptr;
  bool installer = ConvertSidToStringSidA(owner, &text) &&
                   TextEquals(text, "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
  if (text) LocalFree(text);
  return installer;
}

// The administrators' own: what they allow themselves, and what an owner of
// a new file is handed, changes nothing.
bool Trustee(PSID sid) {
  return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinBuiltinAdministratorsSid) ||
         IsWellKnownSid(sid, WinCreatorOwnerSid) || TrustedOwner(sid);
}

// Read through the folder itself, never what a link in its place points at;
// a folder that cannot be read is nobody's that can be trusted.
TFolderAccess SystemFolderAccess(const char* folder) {
  TFolderAccess access = {true, false, 0, 0};
  HANDLE handle = CreateFileA(folder, READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    access.Exists = error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
    return access;
  }
  PSID owner = nullptr;
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                      &list, nullptr, &descriptor) == ERROR_SUCCESS) {
    access.OwnerTrusted = owner && TrustedOwner(owner);
    // No list at all lets everyone do everything.
    access.OrdinaryRights = list ? 0 : 0xFFFFFFFFu;
    for (DWORD i = 0; list && i < list->AceCount; ++i) {
      ACE_HEADER* header = nullptr;
      if (!GetAce(list, i, reinterpret_cast<void**>(&header))) continue;
      // An allowing entry for an object type names its trustee elsewhere:
      // whoever it is, it counts.
      bool plain = header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_ALLOWED_CALLBACK_ACE_TYPE;
      bool typed = header->AceType == ACCESS_ALLOWED_OBJECT_ACE_TYPE ||
                   header->AceType == ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE;
      ACCESS_ALLOWED_ACE* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      if (!typed && (!plain || Trustee(&allowed->SidStart))) continue;
      if (!(header->AceFlags & INHERIT_ONLY_ACE))
        access.OrdinaryRights |= allowed->Mask;
      else if (header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE))
        access.NewFileRights |= allowed->Mask;
    }
  }
  if (descriptor) LocalFree(descriptor);
  CloseHandle(handle);
  return access;
}

}  // namespace

TFolderVerdict TrustedFolders(const char* path, bool granted, char* failed) {
  HANDLE token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    uint8_t user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (GetTokenInformation(token, TokenUser, user, sizeof user, &size))
      CopySid(sizeof ownUser, ownUser, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
    CloseHandle(token);
  }
  char profile[kTextCapacity];
  SpecialFolderPath(profile, kProfile);
  return JudgeFolders(path, profile, granted, SystemFolderAccess, failed);
}
