// Full, inherited access for a trustee on a file-system object.
#pragma once

bool GrantFolderAccess(const char* objectName, const char* trusteeName);
void GrantUsersAccess();
