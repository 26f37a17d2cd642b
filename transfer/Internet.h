// WinInet, loaded at run time from the system folder only: an elevated
// program started from a downloads folder must never load a planted copy
// (Win32 side only, InternetWin.cpp).
#pragma once
#include <windows.h>
#include <wininet.h>

struct TWinInet {
  decltype(&InternetOpenA) Open;
  decltype(&InternetOpenUrlA) OpenUrl;
  decltype(&InternetReadFile) ReadFile;
  decltype(&InternetSetFilePointer) SetFilePointer;
  decltype(&InternetCloseHandle) CloseHandle;
};

// Null members until LoadWinInet succeeded.
extern TWinInet WinInet;

// Restricts later library loads to the system folder, where the system
// offers it. Called first thing at start.
void RestrictLibraryLoading();
// Loads WinInet from the system folder, once; false when it is not there.
bool LoadWinInet();
