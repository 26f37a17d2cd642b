#include "transfer/Internet.h"

#include "support/TextUtil.h"

TWinInet WinInet;

namespace {

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

template <typename T>
void Bind(HMODULE module, T& slot, const char* name) {
  slot = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

void RestrictLibraryLoading() {
  typedef BOOL(WINAPI * TSetDefault)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  TSetDefault setDefault = kernel ? reinterpret_cast<TSetDefault>(reinterpret_cast<void*>(
                                        GetProcAddress(kernel, "SetDefaultDllDirectories")))
                                  : nullptr;
  if (setDefault) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

bool LoadWinInet() {
  static HMODULE module;
  if (!module) {
    module = LoadLibraryExA("wininet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module) {
      // Systems without the search flags: name the system folder's file.
      char path[MAX_PATH + 16];
      UINT n = GetSystemDirectoryA(path, MAX_PATH);
      if (n == 0 || n >= MAX_PATH) return false;
      TextAppend(path, "\\wininet.dll", nullptr);
      module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (!module) return false;
    Bind(module, WinInet.Open, "InternetOpenA");
    Bind(module, WinInet.OpenUrl, "InternetOpenUrlA");
    Bind(module, WinInet.ReadFile, "InternetReadFile");
    Bind(module, WinInet.SetFilePointer, "InternetSetFilePointer");
    Bind(module, WinInet.CloseHandle, "InternetCloseHandle");
  }
  return WinInet.Open && WinInet.OpenUrl && WinInet.ReadFile && WinInet.SetFilePointer && WinInet.CloseHandle;
}
