// The shell's special folders by number (ShellFolderWin.cpp).
#pragma once

constexpr int kCommonStartMenu = 22;  // CSIDL_COMMON_STARTMENU
constexpr int kCommonDesktop = 25;    // CSIDL_COMMON_DESKTOPDIRECTORY
constexpr int kCommonAppData = 35;    // CSIDL_COMMON_APPDATA
constexpr int kProfile = 40;          // CSIDL_PROFILE: the running user's own

// The folder's path followed by '\', or nullptr when the folder cannot be
// resolved (the buffer is then empty).
char* SpecialFolderPath(char* buffer, int csidl);
