// Full, inherited access for a trustee on a file-system object, and the
// access of the folders the program makes (Win32 side only, AccessWin.cpp).
#pragma once

// The Users group by its SID, the same on every Windows language.
constexpr char kUsersSid[] = "S-1-5-32-545";

// The trustee by its name or, beginning "S-1-", by its SID.
bool GrantFolderAccess(const char* objectName, const char* trusteeName);
// The access list `current` extended by full, inherited access for the
// trustee; nullptr on failure. The caller frees it with LocalFree.
void* ExtendedAccessList(void* current, const char* trusteeName);
void GrantUsersAccess();

// A folder the program makes outside the user's own profile: SYSTEM and the
// administrators full, the users read and run, nothing inherited from above.
constexpr char kAdminFolderAccess[] = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
// ForceFolders, the highest folder made with that access outside the profile.
void ForceAdminFolders(char* path);
