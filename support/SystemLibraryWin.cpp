#include <windows.h>

#include "support/SystemLibrary.h"
#include "support/TextUtil.h"

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

void RestrictLibraryLoading() {
  typedef BOOL(WINAPI * TSetDefault)(DWORD);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  TSetDefault setDefault =
      kernel
          ? reinterpret_cast<TSetDefault>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetDefaultDllDirectories")))
          : nullptr;
  if (setDefault) setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

void* LoadSystemLibrary(const char* name) {
  HMODULE module = LoadLibraryExA(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module) return module;
  // Systems without the search flags: name the system folder's file.
  char path[MAX_PATH + 32];
  UINT n = GetSystemDirectoryA(path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH || !TextFits(path, name, MAX_PATH)) return nullptr;
  TextAppend(path, "\\", name);
  return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

void* ExportAddress(void* module, const char* name) {
  if (!module) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(module), name));
}
