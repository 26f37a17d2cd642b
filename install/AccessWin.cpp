#include <windows.h>
#include <aclapi.h>

#include "config/Settings.h"
#include "install/Access.h"
#include "support/TextUtil.h"

void* ExtendedAccessList(void* current, const char* trusteeName) {
  EXPLICIT_ACCESSA access;
  ZeroMemory(&access, sizeof access);
  BuildExplicitAccessWithNameA(&access, const_cast<char*>(trusteeName), GENERIC_ALL, GRANT_ACCESS,
                               SUB_CONTAINERS_AND_OBJECTS_INHERIT);
  PACL extended = nullptr;
  if (SetEntriesInAclA(1, &access, static_cast<PACL>(current), &extended) != ERROR_SUCCESS) return nullptr;
  return extended;
}

bool GrantFolderAccess(const char* objectName, const char* trusteeName) {
  PACL current = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  GetNamedSecurityInfoA(objectName, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &current,
                        nullptr, &descriptor);
  bool granted = false;
  if (current) {
    PACL extended = static_cast<PACL>(ExtendedAccessList(current, trusteeName));
    if (extended) {
      granted = SetNamedSecurityInfoA(const_cast<char*>(objectName), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                      nullptr, nullptr, extended, nullptr) == ERROR_SUCCESS;
      LocalFree(extended);
    }
  }
  if (descriptor) LocalFree(descriptor);
  return granted;
}

void GrantUsersAccess() {
  int last = TextLength(Settings.InstallDir) - 1;
  if (last < 0) return;
  char kept = Settings.InstallDir[last];
  Settings.InstallDir[last] = 0;
  GrantFolderAccess(Settings.InstallDir, "Users");
  Settings.InstallDir[last] = kept;
}
