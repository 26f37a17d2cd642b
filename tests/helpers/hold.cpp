// Holds a file open the way a running program's loader does ("loader":
// sharing read and delete, so it can be renamed but not replaced or
// written) or locked ("locked": sharing nothing), until the file named by
// argument 3 exists or 120 s have passed. Prints "held" once the file is
// open. Usage: hold <file> loader|locked <stop file>
#include <windows.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: hold <file> loader|locked <stop file>\n");
    return 2;
  }
  DWORD share = strcmp(argv[2], "loader") == 0 ? FILE_SHARE_READ | FILE_SHARE_DELETE : 0;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "hold: cannot open %s: %lu\n", argv[1], GetLastError());
    return 3;
  }
  // A loader also maps the file, which keeps it from being overwritten.
  HANDLE mapping = share ? CreateFileMappingA(file, nullptr, PAGE_READONLY, 0, 0, nullptr) : nullptr;
  void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
  printf("held\n");
  fflush(stdout);
  for (int i = 0; i < 1200 && GetFileAttributesA(argv[3]) == INVALID_FILE_ATTRIBUTES; ++i) Sleep(100);
  if (view) UnmapViewOfFile(view);
  if (mapping) CloseHandle(mapping);
  CloseHandle(file);
  return 0;
}
