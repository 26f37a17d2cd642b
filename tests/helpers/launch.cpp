// Starts a program with a command line given verbatim (argument 1), waits for
// it and returns its exit code: the tests' way to hand over lines that an
// ordinary argument list would quote.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: launch \"<command line>\"\n");
    return 2;
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started = {};
  if (!CreateProcessA(nullptr, argv[1], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) return 3;
  WaitForSingleObject(started.hProcess, 300000);
  DWORD code = 4;
  GetExitCodeProcess(started.hProcess, &code);
  return static_cast<int>(code);
}
