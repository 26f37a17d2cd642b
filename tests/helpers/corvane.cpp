// A stand-in for the client program. Each start appends its command line, one
// line a start, to C:\corvane-starts\<key>.log, and writes <key>.token there:
// its token's elevation, the program that started it and its working folder.
// The key is its own full path in lower case, every character but a letter or
// a digit made '_' (tools/winenv.py's client_records). It reads no
// environment: a start through the desktop's shell hands it the shell's, not
// the setup program's, and the installation folder stays as installed.
#include <windows.h>
#include <tlhelp32.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace {

// The file name of the process that started this one; "?" when gone.
void ParentName(char* name, size_t capacity) {
  snprintf(name, capacity, "?");
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32 entry = {};
  entry.dwSize = sizeof entry;
  DWORD self = GetCurrentProcessId(), parent = 0;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry))
    if (parent && entry.th32ProcessID == parent) snprintf(name, capacity, "%s", entry.szExeFile);
  CloseHandle(snapshot);
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  char self[MAX_PATH] = {}, path[MAX_PATH + 32];
  GetModuleFileNameA(nullptr, self, MAX_PATH);
  for (char* c = self; *c; ++c) *c = isalnum(static_cast<unsigned char>(*c)) ? static_cast<char>(tolower(*c)) : '_';
  CreateDirectoryA("C:\\corvane-starts", nullptr);
  snprintf(path, sizeof path, "C:\\corvane-starts\\%s.log", self);
  if (FILE* log = fopen(path, "ab")) {
    fprintf(log, "%s\n", GetCommandLineA());
    fclose(log);
  }
  TOKEN_ELEVATION elevation = {};
  TOKEN_ELEVATION_TYPE type = TokenElevationTypeDefault;
  HANDLE token;
  DWORD size;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    GetTokenInformation(token, TokenElevationType, &type, sizeof type, &size);
    CloseHandle(token);
  }
  char parent[MAX_PATH], folder[MAX_PATH] = {};
  ParentName(parent, sizeof parent);
  GetCurrentDirectoryA(MAX_PATH, folder);
  snprintf(path, sizeof path, "C:\\corvane-starts\\%s.token", self);
  if (FILE* out = fopen(path, "wb")) {
    fprintf(out, "elevated=%lu\ntype=%d\nparent=%s\nfolder=%s\n", elevation.TokenIsElevated, static_cast<int>(type),
            parent, folder);
    fclose(out);
  }
  return 0;
}
