// Writes (or replaces) the INSTDATA resource of a copy of the built program,
// so a customer's downloader is made without compiling.
//   stamp <program.exe> <text>        the text itself
//   stamp <program.exe> @<file>       the text from a file
//   stamp --over-limit <program.exe> <text>|@<file>
//                                     also a text longer than the program
//                                     takes (for tests of its limit)
// The text holds '&'-separated arguments, as on the command line.
// A signed copy is refused: a resource written into it voids its signature.
// Stamp first, then sign the stamped copy (tools/sign.py).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "config/BuiltIn.h"

namespace {

// True when the file's certificate table holds anything: an Authenticode
// signature, whole or not.
bool Signed(const char* path) {
  FILE* f = fopen(path, "rb");
  if (!f) return false;
  IMAGE_DOS_HEADER dos = {};
  IMAGE_NT_HEADERS32 headers = {};  // the 64-bit form shares the start
  IMAGE_DATA_DIRECTORY table = {};
  bool read = fread(&dos, sizeof dos, 1, f) == 1 && dos.e_magic == IMAGE_DOS_SIGNATURE &&
              fseek(f, dos.e_lfanew, SEEK_SET) == 0 && fread(&headers, sizeof headers, 1, f) == 1 &&
              headers.Signature == IMAGE_NT_SIGNATURE;
  if (read) {
    // The directories follow the optional header's fixed part, which is
    // longer in the 64-bit form, and count as many as it says.
    bool wide = headers.OptionalHeader.Magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC;
    long fixed = wide ? 112 : 96;
    long directories = dos.e_lfanew + 4 + static_cast<long>(sizeof(IMAGE_FILE_HEADER)) + fixed;
    DWORD count = 0;
    read = fseek(f, directories - 4, SEEK_SET) == 0 && fread(&count, sizeof count, 1, f) == 1 &&
           count > IMAGE_DIRECTORY_ENTRY_SECURITY &&
           fseek(f, directories + IMAGE_DIRECTORY_ENTRY_SECURITY * static_cast<long>(sizeof table), SEEK_SET) == 0 &&
           fread(&table, sizeof table, 1, f) == 1;
  }
  fclose(f);
  return read && table.VirtualAddress != 0 && table.Size != 0;
}

}  // namespace

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
  if (Signed(argv[1])) {
    fprintf(stderr,
            "stamp: %s is signed, and a resource written into it would void its signature: stamp the unsigned "
            "program, then sign the stamped copy\n",
            argv[1]);
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
