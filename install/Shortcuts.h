// The shortcuts to the client, the uninstaller copy and their list.
#pragma once

void CreateShortcuts();
