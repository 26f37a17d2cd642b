// What the core's share of a run costs natively, without Wine or a network:
// the file list parsed, the pick order and every file's mirror URL, every
// mirror file inflated from memory, and the server path's reply handling (a
// 256 KiB chunk inflated in one piece, the scramble). Built by the host
// preset without sanitizers; prints one line of JSON.
// Usage: core_bench <files.ver> <mirror folder>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "config/Settings.h"
#include "manifest/Manifest.h"
#include "support/TextUtil.h"
#include "manifest/Sites.h"
#include "transfer/Mirror.h"
#include "transfer/Server.h"
#include "transfer/TinyZip.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

bool ReadWhole(const std::string& path, Bytes& out) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return false;
  out.clear();
  uint8_t piece[65536];
  size_t n;
  while ((n = fread(piece, 1, sizeof piece, f)) > 0) out.insert(out.end(), piece, piece + n);
  fclose(f);
  return true;
}

// Hands out its bytes 8 KiB at a time, as the program's reads get them.
class TMemorySource : public TBaseStream {
 public:
  explicit TMemorySource(const Bytes& data) : Data(data) {}
  int32_t Read(void* buffer, int32_t count) override {
    size_t n = Data.size() - Pos;
    if (n > static_cast<size_t>(count)) n = static_cast<size_t>(count);
    if (n > 8192) n = 8192;
    memcpy(buffer, Data.data() + Pos, n);
    Pos += n;
    return static_cast<int32_t>(n);
  }
  int32_t Seek(int32_t distance, int32_t) override { return static_cast<int32_t>(Pos += distance); }

 private:
  const Bytes& Data;
  size_t Pos = 0;
};

class TCountingSink : public TBaseStream {
 public:
  int32_t Write(const void*, int32_t count) override {
    Total += count;
    return count;
  }
  int64_t Total = 0;
};

bool NoneUpToDate(const char*, int32_t, uint32_t, const uint8_t*) { return false; }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: core_bench <files.ver> <mirror folder>\n");
    return 2;
  }
  ResetSettings();
  TextCopy(Settings.InstallDir, "C:\\Program Files\\Corvane\\");
  Bytes list;
  if (!ReadWhole(argv[1], list)) return 3;
  list.push_back(0);

  // The list, parsed ten times over; its cost is given per file it names.
  constexpr int kParses = 10;
  double parse = 0;
  for (int i = 0; i < kParses; ++i) {
    Bytes text(list);
    auto t = Clock::now();
    ParseManifest(reinterpret_cast<char*>(text.data()), static_cast<int32_t>(list.size() - 1), NoneUpToDate, true);
    parse += Seconds(t);
    if (i + 1 < kParses) ResetManifest();
  }
  int32_t files = FileCount;
  if (files == 0) return 4;

  // The pick order, every file taken in it and its URL built.
  const char base[] = "http://m/";
  char site[sizeof base];
  memcpy(site, base, sizeof base);
  AddSite(site);
  auto t = Clock::now();
  PrepareSites();
  std::vector<std::string> urls;
  urls.reserve(files);
  char url[kTextCapacity];
  for (int32_t i; (i = PickNextFile(Sites[0])) >= 0;) {
    urls.push_back(BuildMirrorUrl(Sites[0], url, &FileTable[i]));
    FileTable[i].State = 1;
  }
  double pick = Seconds(t);

  // Every mirror file inflated from memory.
  double inflate = 0;
  int64_t inflated = 0, compressed = 0;
  Bytes data;
  for (const std::string& u : urls) {
    if (!ReadWhole(std::string(argv[2]) + "/" + u.substr(sizeof base - 1), data)) return 5;
    TMemorySource source(data);
    TCountingSink sink;
    auto s = Clock::now();
    if (InflateStream(source, sink) < 0) return 6;
    inflate += Seconds(s);
    inflated += sink.Total;
    compressed += static_cast<int64_t>(data.size());
  }

  // The server path: 64 MiB of 256 KiB chunks of text-like content, each
  // inflated in one piece, and the same scrambled.
  constexpr int32_t kChunk = 262144;
  Bytes chunk(kChunk), packed(compressBound(kChunk)), out(kChunk + 128);
  for (int32_t i = 0; i < kChunk; ++i) chunk[i] = static_cast<uint8_t>("the quick brown fox jumps\r\n"[i % 27] ^ (i / 4099 % 3));
  uLongf packedSize = packed.size();
  compress2(packed.data(), &packedSize, chunk.data(), kChunk, 6);
  constexpr int kChunks = 256;
  auto s = Clock::now();
  for (int i = 0; i < kChunks; ++i)
    if (InflateBlock(packed.data(), static_cast<int32_t>(packedSize), out.data(), kChunk) != kChunk) return 7;
  double block = Seconds(s);
  s = Clock::now();
  for (int i = 0; i < kChunks; ++i) XorScramble(chunk.data(), kChunk);
  double scramble = Seconds(s);

  double mb = 1e6;
  printf("{\"files\": %d, \"parse_us_per_file\": %.3f, \"pick_and_url_us_per_file\": %.3f, "
         "\"inflate_s\": %.4f, \"inflate_mbps\": %.1f, \"compressed\": %lld, \"inflated\": %lld, "
         "\"chunk_inflate_mbps\": %.1f, \"scramble_mbps\": %.1f}\n",
         files, parse / kParses / files * 1e6, pick / files * 1e6, inflate, inflated / inflate / mb,
         static_cast<long long>(compressed), static_cast<long long>(inflated),
         double(kChunk) * kChunks / block / mb, double(kChunk) * kChunks / scramble / mb);
  return 0;
}
