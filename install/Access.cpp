#include "install/Access.h"

bool GrantFolderAccess(const char*, const char*) { return false; }
void GrantUsersAccess() {}
