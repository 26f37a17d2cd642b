// Full, inherited access for a trustee on a file-system object (Win32 side
// only, AccessWin.cpp).
#pragma once

bool GrantFolderAccess(const char* objectName, const char* trusteeName);
// The access list `current` extended by full, inherited access for the
// trustee; nullptr on failure. The caller frees it with LocalFree.
void* ExtendedAccessList(void* current, const char* trusteeName);
void GrantUsersAccess();
