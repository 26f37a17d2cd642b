// A stand-in "wininet.dll" planted beside a program: loading it leaves a
// marker file (named by TOVIMAR_PLANT_MARKER) and it serves nothing.
#include <windows.h>

#include <cstdio>

extern "C" {

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("TOVIMAR_PLANT_MARKER", path, MAX_PATH);
    if (n > 0 && n < MAX_PATH) {
      FILE* f = fopen(path, "wb");
      if (f) {
        fputs("loaded\n", f);
        fclose(f);
      }
    }
  }
  return TRUE;
}

__declspec(dllexport) void* WINAPI InternetOpenA(const char*, DWORD, const char*, const char*, DWORD) {
  return nullptr;
}
__declspec(dllexport) void* WINAPI InternetOpenUrlA(void*, const char*, const char*, DWORD, DWORD, DWORD_PTR) {
  return nullptr;
}
__declspec(dllexport) BOOL WINAPI InternetReadFile(void*, void*, DWORD, DWORD*) { return FALSE; }
__declspec(dllexport) DWORD WINAPI InternetSetFilePointer(void*, LONG, LONG*, DWORD, DWORD_PTR) { return 0; }
__declspec(dllexport) BOOL WINAPI InternetCloseHandle(void*) { return FALSE; }
}
