// Full, inherited access for a trustee on a file-system object (Win32 side
// only, AccessWin.cpp).
#pragma once

// The Users group by its SID, the same on every Windows language.
constexpr char kUsersSid[] = "S-1-5-32-545";

// The trustee by its name or, beginning "S-1-", by its SID.
bool GrantFolderAccess(const char* objectName, const char* trusteeName);
// The access list `current` extended by full, inherited access for the
// trustee; nullptr on failure. The caller frees it with LocalFree.
void* ExtendedAccessList(void* current, const char* trusteeName);
void GrantUsersAccess();
