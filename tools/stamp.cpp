// Writes (or replaces) the INSTDATA resource of a copy of the built program,
// so a customer's downloader is made without compiling.
//   stamp <program.exe> <text>        the text itself
//   stamp <program.exe> @<file>       the text from a file
//   stamp --over-limit <program.exe> <text>|@<file>
//                                     also a text longer than the program
//                                     takes (for tests of its limit)
// The text holds '&'-separated arguments, as on the command line.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "config/BuiltIn.h"

int main(int argc, char** argv) {
  bool overLimit = argc == 4 && !strcmp(argv[1], "--over-limit");
  if (overLimit) {
    --argc;
    ++argv;
  }
  if (argc != 3 || !strcmp(argv[1], "--help")) {
    fprintf(stderr, "usage: stamp [--over-limit] <program.exe> <text>|@<file>\n");
    return 2;
  }
  std::string text = argv[2];
  if (!text.empty() && text[0] == '@') {
    FILE* f = fopen(text.c_str() + 1, "rb");
    if (!f) {
      fprintf(stderr, "stamp: cannot read %s\n", text.c_str() + 1);
      return 1;
    }
    text.clear();
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
    fclose(f);
  }
  // The program takes only whole arguments within its limit: a longer text
  // would lose its last ones without a word.
  if (text.size() > static_cast<size_t>(kInstDataLimit) && !overLimit) {
    fprintf(stderr, "stamp: %u bytes of arguments, more than the %d the program takes\n",
            static_cast<unsigned>(text.size()), static_cast<int>(kInstDataLimit));
    return 1;
  }
  HANDLE update = BeginUpdateResourceA(argv[1], FALSE);
  if (!update) {
    fprintf(stderr, "stamp: cannot open %s (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  if (!UpdateResourceA(update, MAKEINTRESOURCEA(10), "INSTDATA", MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL),
                       const_cast<char*>(text.data()), static_cast<DWORD>(text.size()))) {
    fprintf(stderr, "stamp: cannot write the resource (error %lu)\n", GetLastError());
    EndUpdateResourceA(update, TRUE);
    return 1;
  }
  if (!EndUpdateResourceA(update, FALSE)) {
    fprintf(stderr, "stamp: cannot save %s (error %lu)\n", argv[1], GetLastError());
    return 1;
  }
  printf("stamped %s with %u bytes\n", argv[1], static_cast<unsigned>(text.size()));
  return 0;
}
