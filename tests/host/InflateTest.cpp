#include <doctest/doctest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "transfer/TinyZip.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Serves its bytes at most `piece` at a time and records every Seek.
class TMemSource : public TBaseStream {
 public:
  TMemSource(Bytes data, int32_t piece = 1 << 30) : Data(std::move(data)), Piece(piece) {}
  int32_t Read(void* buffer, int32_t count) override {
    int32_t n = std::min({count, Piece, static_cast<int32_t>(Data.size() - Pos)});
    if (n > 0) memcpy(buffer, Data.data() + Pos, n);
    Pos += n;
    return n;
  }
  int32_t Seek(int32_t distance, int32_t origin) override {
    Seeks.push_back({distance, origin});
    Pos += distance;
    return static_cast<int32_t>(Pos);
  }
  Bytes Data;
  int32_t Piece;
  size_t Pos = 0;
  std::vector<std::pair<int32_t, int32_t>> Seeks;
};

class TMemSink : public TBaseStream {
 public:
  int32_t Write(const void* buffer, int32_t count) override {
    Sizes.push_back(count);
    if (count > 0)
      Data.insert(Data.end(), static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + count);
    return count;
  }
  std::vector<int32_t> Sizes;
  Bytes Data;
};

Bytes Content(size_t n) {
  Bytes b(n);
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 28);
  return b;
}

// windowBits 15: zlib, 31: gzip. A dictionary makes the stream ask for it.
Bytes Deflate(const Bytes& content, int windowBits = 15, const char* dictionary = nullptr) {
  z_stream s{};
  REQUIRE(deflateInit2(&s, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY) == Z_OK);
  if (dictionary)
    deflateSetDictionary(&s, reinterpret_cast<const Bytef*>(dictionary), static_cast<uInt>(strlen(dictionary)));
  Bytes out(deflateBound(&s, content.size()) + 16);
  s.next_in = const_cast<Bytef*>(content.data());
  s.avail_in = static_cast<uInt>(content.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  REQUIRE(deflate(&s, Z_FINISH) == Z_STREAM_END);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

int32_t Block(const Bytes& in, int32_t capacity, Bytes* out = nullptr) {
  Bytes buffer(capacity + 1);
  int32_t n = InflateBlock(in.data(), static_cast<int32_t>(in.size()), buffer.data(), capacity);
  if (out && n >= 0) out->assign(buffer.begin(), buffer.begin() + n);
  return n;
}

}  // namespace

TEST_CASE("an empty source and a stream of empty content") {
  TMemSource none(Bytes{});
  TMemSink sink;
  CHECK(InflateStream(none, sink) == 0);
  CHECK(sink.Sizes.empty());

  Bytes empty = Deflate(Bytes{});
  REQUIRE(empty.size() == 8);
  CHECK(Block(empty, 16) == 0);
  CHECK(Block(empty, 0) == 0);
  TMemSource source(empty);
  CHECK(InflateStream(source, sink) == 0);
  // The sink hears of the empty content: its file is made.
  CHECK_FALSE(sink.Sizes.empty());
  CHECK(sink.Data.empty());
  CHECK(source.Seeks.empty());
}

TEST_CASE("whole streams in memory") {
  Bytes content = Content(70000);
  Bytes z = Deflate(content);
  Bytes out;
  CHECK(Block(z, 70000, &out) == 70000);
  CHECK(out == content);
  CHECK(Block(z, 69999) == -1);
  CHECK(Block(z, 262144, &out) == 70000);
  CHECK(Block(Bytes(z.begin(), z.end() - 1), 70000) == -1);
}

TEST_CASE("bytes after the stream go back to the source") {
  Bytes content = Content(1000);
  Bytes z = Deflate(content);
  z.insert(z.end(), {'X', 'Y', 'Z', '1', '2'});
  TMemSource source(z);
  TMemSink sink;
  CHECK(InflateStream(source, sink) == 1000);
  CHECK(sink.Data == content);
  CHECK(source.Seeks == std::vector<std::pair<int32_t, int32_t>>{{-5, 1}});
  CHECK(source.Pos == z.size() - 5);
}

TEST_CASE("large output reaches the sink in order, from any read size") {
  Bytes content = Content(200000);
  Bytes z = Deflate(content);
  for (int32_t piece : {1 << 30, 32768, 1000, 1}) {
    CAPTURE(piece);
    TMemSource source(z, piece);
    TMemSink sink;
    CHECK(InflateStream(source, sink) == 200000);
    CHECK(sink.Data == content);
    CHECK(sink.Sizes.size() >= 7);
    for (int32_t n : sink.Sizes) CHECK(n <= 32768);
    CHECK(source.Seeks.empty());
  }
}

TEST_CASE("streams that must fail") {
  Bytes content = Content(5000);
  Bytes good = Deflate(content);
  Bytes badHeader = good;
  badHeader[0] ^= 0x01;
  Bytes badCheck = good;
  badCheck.back() ^= 0x01;
  Bytes badBlock = good;
  badBlock[2] = 0xFF;  // reserved block type
  struct Case {
    const char* what;
    Bytes data;
  } cases[] = {
      {"gzip", Deflate(content, 31)},
      {"preset dictionary", Deflate(content, 15, "some dictionary text")},
      {"bad header", badHeader},
      {"bad check value", badCheck},
      {"bad block", badBlock},
      {"cut short", Bytes(good.begin(), good.begin() + good.size() / 2)},
      {"trailer missing", Bytes(good.begin(), good.end() - 4)},
      {"header only", Bytes(good.begin(), good.begin() + 2)},
  };
  for (auto& c : cases) {
    CAPTURE(c.what);
    CHECK(Block(c.data, 10000) == -1);
    for (int32_t piece : {1 << 30, 1}) {
      CAPTURE(piece);
      TMemSource source(c.data, piece);
      TMemSink sink;
      CHECK(InflateStream(source, sink) == -1);
    }
  }
}

TEST_CASE("a stream cut off anywhere goes on from the last block end it passed, to the same content") {
  // Text-like and random stretches, so that blocks of both kinds (stored and
  // Huffman-coded) end at every bit position.
  Bytes content = Content(300000);
  for (size_t i = 0; i < content.size(); i += 7) content[i] = static_cast<uint8_t>('a' + i % 3);
  Bytes random(120000);
  uint32_t x = 99;
  for (uint8_t& b : random) b = static_cast<uint8_t>((x = x * 1664525u + 1013904223u) >> 24);
  content.insert(content.begin() + 100000, random.begin(), random.end());
  Bytes z = Deflate(content);
  int resumed = 0;
  for (size_t cut = 1; cut < z.size(); cut += z.size() / 37 + 1) {
    CAPTURE(cut);
    TMemSource first(Bytes(z.begin(), z.begin() + cut), 1000);
    TMemSink got;
    TInflatePoint point;
    point.In = -1;
    CHECK(InflateStream(first, got, nullptr, nullptr, 0, &point) == -1);
    if (point.In < 0) continue;  // no block ended yet: the next attempt starts afresh
    ++resumed;
    REQUIRE(point.Out <= static_cast<int64_t>(got.Data.size()));
    REQUIRE(point.In <= static_cast<int64_t>(cut));
    Bytes kept(got.Data.begin(), got.Data.begin() + point.Out);
    CHECK(point.Adler == adler32(1, kept.data(), static_cast<uInt>(kept.size())));
    size_t window = std::min<size_t>(kept.size(), 32768);
    TMemSource rest(Bytes(z.begin() + point.In - (point.Bits ? 1 : 0), z.end()), 777);
    TMemSink more;
    int32_t n = InflateStream(rest, more, &point, kept.data() + kept.size() - window, static_cast<int32_t>(window));
    CHECK(n == static_cast<int32_t>(content.size() - kept.size()));
    kept.insert(kept.end(), more.Data.begin(), more.Data.end());
    CHECK(kept == content);
  }
  CHECK(resumed > 20);
  // Gone on with the wrong content before it, the checksum tells.
  TMemSource first(Bytes(z.begin(), z.begin() + z.size() / 2));
  TMemSink got;
  TInflatePoint point;
  InflateStream(first, got, nullptr, nullptr, 0, &point);
  REQUIRE(point.Out > 0);
  point.Adler ^= 1;
  TMemSource rest(Bytes(z.begin() + point.In - (point.Bits ? 1 : 0), z.end()));
  TMemSink more;
  CHECK(InflateStream(rest, more, &point, got.Data.data() + point.Out - 32768, 32768) == -1);
}
