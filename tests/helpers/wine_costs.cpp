// Benchmark yardstick: what the steps a file pays for cost one by one under
// this Wine. Times n rounds of each and prints
// "costs <n> <request us> <attributes us> <missing us> <fsync us>":
// one wineserver round trip (ResetEvent on an event), the attributes of a
// file that exists, of a name that does not (Wine then reads the folder for
// the same name in other letter case), and writing, flushing and deleting a
// 4000-byte file. Usage: wine_costs <folder> [n]
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

LARGE_INTEGER frequency;

double MicrosecondsSince(const LARGE_INTEGER& start, int rounds) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return double(now.QuadPart - start.QuadPart) * 1e6 / double(frequency.QuadPart) / rounds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: wine_costs <folder> [n]\n");
    return 2;
  }
  std::string folder = std::string(argv[1]) + "\\";
  int rounds = argc > 2 ? atoi(argv[2]) : 2000;
  QueryPerformanceFrequency(&frequency);
  CreateDirectoryA(folder.c_str(), nullptr);
  // A folder as full as the benchmark's: 200 names.
  for (int i = 0; i < 200; ++i) {
    std::string name = folder + "f" + std::to_string(i) + ".bin";
    HANDLE file = CreateFileA(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    CloseHandle(file);
  }
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  LARGE_INTEGER start;
  QueryPerformanceCounter(&start);
  for (int i = 0; i < rounds; ++i) ResetEvent(event);
  double request = MicrosecondsSince(start, rounds);

  std::string present = folder + "f7.bin", missing = folder + "absent.bin";
  WIN32_FILE_ATTRIBUTE_DATA data;
  QueryPerformanceCounter(&start);
  for (int i = 0; i < rounds; ++i) GetFileAttributesExA(present.c_str(), GetFileExInfoStandard, &data);
  double attributes = MicrosecondsSince(start, rounds);
  QueryPerformanceCounter(&start);
  for (int i = 0; i < rounds; ++i) GetFileAttributesExA(missing.c_str(), GetFileExInfoStandard, &data);
  double absent = MicrosecondsSince(start, rounds);

  static char block[4000];
  int files = rounds / 10 > 0 ? rounds / 10 : 1;
  std::string scratch = folder + "scratch.bin";
  QueryPerformanceCounter(&start);
  for (int i = 0; i < files; ++i) {
    HANDLE file = CreateFileA(scratch.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, block, sizeof block, &written, nullptr);
    FlushFileBuffers(file);
    CloseHandle(file);
    DeleteFileA(scratch.c_str());
  }
  double flushed = MicrosecondsSince(start, files);
  printf("costs %d %.2f %.2f %.2f %.2f\n", rounds, request, attributes, absent, flushed);
  CloseHandle(event);
  return 0;
}
