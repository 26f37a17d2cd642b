#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include "config/InstallDir.h"
#include "config/Settings.h"
#include "config/ShellFolder.h"
#include "install/Access.h"
#include "support/TextUtil.h"
#include "support/TinyLib.h"

void* ExtendedAccessList(void* current, const char* trusteeName) {
  EXPLICIT_ACCESSA access;
  ZeroMemory(&access, sizeof access);
  BuildExplicitAccessWithNameA(&access, const_cast<char*>(trusteeName), GENERIC_ALL, GRANT_ACCESS,
                               SUB_CONTAINERS_AND_OBJECTS_INHERIT);
  // A SID in its text form names the trustee on every Windows language.
  PSID sid = nullptr;
  if (TextStartsWith(trusteeName, "S-1-")) {
    if (!ConvertStringSidToSidA(trusteeName, &sid)) return nullptr;
    access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    access.Trustee.TrusteeType = TRUSTEE_IS_WELL_KNOWN_GROUP;
    access.Trustee.ptstrName = static_cast<char*>(sid);
  }
  PACL extended = nullptr;
  if (SetEntriesInAclA(1, &access, static_cast<PACL>(current), &extended) != ERROR_SUCCESS) extended = nullptr;
  if (sid) LocalFree(sid);
  return extended;
}

bool GrantFolderAccess(const char* objectName, const char* trusteeName) {
  // The folder itself, never what a junction or a link in its place points
  // at: opened without following reparse points, and checked to be a plain
  // folder before its access list is changed through the same handle.
  HANDLE folder =
      CreateFileA(objectName, READ_CONTROL | WRITE_DAC, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  bool granted = false;
  BY_HANDLE_FILE_INFORMATION info;
  PACL current = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetFileInformationByHandle(folder, &info) && (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
      !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
      GetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current, nullptr,
                      &descriptor) == ERROR_SUCCESS &&
      current) {
    PACL extended = static_cast<PACL>(ExtendedAccessList(current, trusteeName));
    if (extended) {
      granted = SetSecurityInfo(folder, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, extended,
                                nullptr) == ERROR_SUCCESS;
      LocalFree(extended);
    }
  }
  if (descriptor) LocalFree(descriptor);
  CloseHandle(folder);
  return granted;
}

void GrantUsersAccess() {
  if (!Settings.InstallDir[0] || !PlainFolders(Settings.InstallDir)) return;
  char folder[kTextCapacity];
  GrantFolderAccess(TextCopyFolder(folder, Settings.InstallDir), kUsersSid);
}

void ForceAdminFolders(char* path) {
  char profile[kTextCapacity];
  SpecialFolderPath(profile, kProfile);
  SECURITY_ATTRIBUTES admins = {sizeof admins, nullptr, FALSE};
  if (!StartsWithFolder(path, profile) &&
      !ConvertStringSecurityDescriptorToSecurityDescriptorA(kAdminFolderAccess, SDDL_REVISION_1,
                                                            &admins.lpSecurityDescriptor, nullptr))
    return;  // made as the administrators' or not at all
  ForceFolders(path, 0, admins.lpSecurityDescriptor ? &admins : nullptr);
  if (admins.lpSecurityDescriptor) LocalFree(admins.lpSecurityDescriptor);
}
