// Benchmark floor: reads one mirror file (a zlib stream) from a URL with
// InternetReadFile in 32 KiB pieces (or as many bytes as the third argument
// says), inflates it to a file and prints
// "inet <compressed bytes> <inflated bytes> <seconds>".
// Usage: floor_inet <url> <output file> [piece bytes, at most 32768]
#include <windows.h>
#include <wininet.h>
#include <stdio.h>
#include <stdlib.h>
#include <zlib.h>

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: floor_inet <url> <output file> [piece bytes]\n");
    return 2;
  }
  static unsigned char in[32768];
  DWORD piece = argc > 3 ? strtoul(argv[3], NULL, 10) : sizeof in;
  if (piece == 0 || piece > sizeof in) piece = sizeof in;
  LARGE_INTEGER freq, t0, t1;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&t0);
  HINTERNET inet = InternetOpenA("floor_inet", INTERNET_OPEN_TYPE_DIRECT, NULL, NULL, 0);
  if (!inet) return 3;
  HINTERNET url = InternetOpenUrlA(inet, argv[1], NULL, 0,
                                   INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
  if (!url) {
    fprintf(stderr, "open failed %lu\n", GetLastError());
    return 4;
  }
  HANDLE out = CreateFileA(argv[2], GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (out == INVALID_HANDLE_VALUE) return 5;
  static unsigned char outbuf[262144];
  z_stream z = {};
  if (inflateInit(&z) != Z_OK) return 6;
  long long compressed = 0, inflated = 0;
  int zr = Z_OK;
  for (;;) {
    DWORD n = 0;
    if (!InternetReadFile(url, in, piece, &n)) {
      fprintf(stderr, "read failed %lu\n", GetLastError());
      return 7;
    }
    if (n == 0) break;
    compressed += n;
    z.next_in = in;
    z.avail_in = n;
    while (z.avail_in > 0 && zr != Z_STREAM_END) {
      z.next_out = outbuf;
      z.avail_out = sizeof outbuf;
      zr = inflate(&z, Z_NO_FLUSH);
      if (zr != Z_OK && zr != Z_STREAM_END) {
        fprintf(stderr, "inflate failed %d\n", zr);
        return 8;
      }
      DWORD have = (DWORD)(sizeof outbuf - z.avail_out), wrote = 0;
      if (have && !WriteFile(out, outbuf, have, &wrote, NULL)) return 9;
      inflated += have;
    }
  }
  inflateEnd(&z);
  CloseHandle(out);
  InternetCloseHandle(url);
  InternetCloseHandle(inet);
  QueryPerformanceCounter(&t1);
  double secs = double(t1.QuadPart - t0.QuadPart) / double(freq.QuadPart);
  printf("inet %lld %lld %.6f\n", compressed, inflated, secs);
  return zr == Z_STREAM_END ? 0 : 1;
}
