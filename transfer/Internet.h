// WinInet, loaded at run time from the system folder only (Win32 side only,
// InternetWin.cpp).
#pragma once
#include <windows.h>
#include <wininet.h>

struct TWinInet {
  decltype(&InternetOpenA) Open;
  decltype(&InternetOpenUrlA) OpenUrl;
  decltype(&InternetReadFile) ReadFile;
  decltype(&InternetSetFilePointer) SetFilePointer;
  decltype(&InternetCloseHandle) CloseHandle;
  decltype(&InternetSetOptionA) SetOption;
  decltype(&InternetQueryDataAvailable) QueryDataAvailable;
  decltype(&HttpQueryInfoA) QueryInfo;
};

// Null members until LoadWinInet succeeded.
extern TWinInet WinInet;

// Loads WinInet from the system folder, once; false when it is not there.
bool LoadWinInet();
