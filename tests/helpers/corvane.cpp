// A stand-in for the client program: it appends its command line, one line a
// start, to the file named by TOVIMAR_CLIENT_LOG (or Corvane.log beside it).
#include <windows.h>

#include <cstdio>
#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char path[MAX_PATH];
  DWORD n = GetEnvironmentVariableA("TOVIMAR_CLIENT_LOG", path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    char* slash = strrchr(path, '\\');
    strcpy(slash ? slash + 1 : path, "Corvane.log");
  }
  FILE* log = fopen(path, "ab");
  if (log) {
    fprintf(log, "%s\n", GetCommandLineA());
    fclose(log);
  }
  return 0;
}
