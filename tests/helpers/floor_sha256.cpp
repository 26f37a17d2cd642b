// Benchmark floor: the program's SHA-256 (the system's bcrypt) over one file,
// read in 32 KiB pieces as the up-to-date check does. Prints
// "sha256 <bytes> <seconds>". Usage: floor_sha256 <file>
#include <windows.h>

#include <cstdio>

#include "support/Crypto.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: floor_sha256 <file>\n");
    return 2;
  }
  if (!LoadCrypto()) return 3;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(argv[1], GetFileExInfoStandard, &data)) return 4;
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&t0);
  uint8_t digest[kDigestSize];
  if (!Sha256OfFile(argv[1], digest)) return 5;
  QueryPerformanceCounter(&t1);
  printf("sha256 %lu %.6f\n", data.nFileSizeLow, double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart));
  return 0;
}
