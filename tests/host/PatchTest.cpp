#include <doctest/doctest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "transfer/Patch.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Triple {
  uint64_t add, insert;
  int64_t seek;
};

void PutNumber(Bytes& out, uint64_t value) {
  do {
    uint8_t byte = value & 0x7F;
    value >>= 7;
    out.push_back(static_cast<uint8_t>(byte | (value ? 0x80 : 0)));
  } while (value);
}

Bytes Compressed(const Bytes& data) {
  uLongf n = compressBound(static_cast<uLong>(data.size()));
  Bytes out(n);
  compress2(out.data(), &n, data.data(), static_cast<uLong>(data.size()), 9);
  out.resize(n);
  return out;
}

void PutLittle(Bytes& out, uint64_t value, int n) {
  for (int i = 0; i < n; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A patch of the triples, its differences as given (written as runs of
// zeros and values), the control made from the triples unless given raw.
Bytes MakePatch(uint64_t oldSize, uint64_t newSize, const std::vector<Triple>& triples, const Bytes& difference,
                const Bytes& extra, uint32_t flags = 0, const Bytes* rawControl = nullptr) {
  Bytes control, zeros, values;
  for (const Triple& t : triples) {
    PutNumber(control, t.add);
    PutNumber(control, t.insert);
    PutNumber(control, t.seek < 0 ? (static_cast<uint64_t>(-t.seek) << 1) - 1 : static_cast<uint64_t>(t.seek) << 1);
  }
  uint64_t run = 0;
  for (uint8_t d : difference) {
    if (d == 0) {
      ++run;
      continue;
    }
    PutNumber(zeros, run);
    values.push_back(d);
    run = 0;
  }
  PutNumber(zeros, run);
  Bytes sections[4] = {Compressed(rawControl ? *rawControl : control), Compressed(zeros), Compressed(values),
                       Compressed(extra)};
  Bytes patch = {'T', 'V', 'P', 'A', 'T', 'C', 'H', '1'};
  PutLittle(patch, oldSize, 8);
  PutLittle(patch, newSize, 8);
  PutLittle(patch, flags, 4);
  for (const Bytes& s : sections) PutLittle(patch, s.size(), 4);
  PutLittle(patch, 0, 4);
  for (const Bytes& s : sections) patch.insert(patch.end(), s.begin(), s.end());
  return patch;
}

class TMemoryIo : public TPatchIo {
 public:
  TMemoryIo(const Bytes& patch, const Bytes& old) : Patch(patch), Old(old) {}
  int32_t ReadPatch(uint64_t at, void* buffer, int32_t count) override { return Read(Patch, at, buffer, count); }
  int32_t ReadOld(uint64_t at, void* buffer, int32_t count) override { return Read(Old, at, buffer, count); }
  bool WriteNew(const void* buffer, int32_t count) override {
    New.insert(New.end(), static_cast<const uint8_t*>(buffer), static_cast<const uint8_t*>(buffer) + count);
    return true;
  }
  const Bytes& Patch;
  const Bytes& Old;
  Bytes New;

 private:
  static int32_t Read(const Bytes& from, uint64_t at, void* buffer, int32_t count) {
    if (at > from.size()) return 0;
    size_t n = from.size() - at < static_cast<size_t>(count) ? from.size() - at : static_cast<size_t>(count);
    memcpy(buffer, from.data() + at, n);
    return static_cast<int32_t>(n);
  }
};

Bytes Text(const char* s) { return Bytes(s, s + strlen(s)); }

}  // namespace

TEST_CASE("a patch makes its new file from the old one, or is refused") {
  const Bytes old = Text("0123456789abcdefghij");
  Bytes zeros5(5, 0), bumped(5, 1), overLong;
  for (int i = 0; i < 11; ++i) overLong.push_back(0x80);
  overLong.push_back(0);
  struct Case {
    const char* what;
    Bytes patch;
    TPatchResult result;
    const char* made;  // the new file when applied
  } cases[] = {
      {"a copy, an insert, a copy from further on",
       MakePatch(20, 13, {{5, 3, 5}, {5, 0, 0}}, Bytes(10, 0), Text("XYZ")), kPatchApplied, "01234XYZabcde"},
      {"differences added to the old bytes", MakePatch(20, 5, {{5, 0, 0}}, bumped, {}), kPatchApplied, "12345"},
      {"a copy of the same old bytes twice (back again)", MakePatch(20, 10, {{5, 0, -5}, {5, 0, 0}}, Bytes(10, 0), {}),
       kPatchApplied, "0123401234"},
      {"inserts alone, the old file unread", MakePatch(20, 3, {{0, 3, 0}}, {}, Text("new")), kPatchApplied, "new"},
      {"an empty new file", MakePatch(20, 0, {}, {}, {}), kPatchApplied, ""},
      {"a copy past the old file's end", MakePatch(20, 25, {{25, 0, 0}}, Bytes(25, 0), {}), kPatchMalformed, nullptr},
      {"a seek past the old file's end", MakePatch(20, 10, {{5, 0, 16}, {5, 0, 0}}, Bytes(10, 0), {}), kPatchMalformed,
       nullptr},
      {"a seek before its start", MakePatch(20, 10, {{5, 0, -6}, {5, 0, 0}}, Bytes(10, 0), {}), kPatchMalformed,
       nullptr},
      {"more than the new size", MakePatch(20, 4, {{5, 0, 0}}, zeros5, {}), kPatchMalformed, nullptr},
      {"an insert past the new size", MakePatch(20, 6, {{5, 2, 0}}, zeros5, Text("ab")), kPatchMalformed, nullptr},
      {"a triple that writes nothing", MakePatch(20, 5, {{0, 0, 3}, {5, 0, 0}}, zeros5, {}), kPatchMalformed, nullptr},
      {"differences left over", MakePatch(20, 5, {{5, 0, 0}}, Bytes(6, 0), {}), kPatchMalformed, nullptr},
      {"differences missing", MakePatch(20, 5, {{5, 0, 0}}, Bytes(4, 0), {}), kPatchMalformed, nullptr},
      {"a value among zeros", MakePatch(20, 5, {{5, 0, 0}}, Bytes{0, 0, 2, 0, 0}, {}), kPatchApplied, "01434"},
      {"values one after another", MakePatch(20, 5, {{5, 0, 0}}, Bytes{1, 1, 1, 1, 1}, {}), kPatchApplied, "12345"},
      {"extra bytes left over", MakePatch(20, 3, {{0, 3, 0}}, {}, Text("newer")), kPatchMalformed, nullptr},
      {"control left over", MakePatch(20, 3, {{0, 3, 0}, {0, 1, 0}}, {}, Text("new")), kPatchMalformed, nullptr},
      {"a number of more than 64 bits", MakePatch(20, 3, {}, {}, Text("new"), 0, &overLong), kPatchMalformed, nullptr},
      {"flags not known", MakePatch(20, 3, {{0, 3, 0}}, {}, Text("new"), 1), kPatchMalformed, nullptr},
      {"made for an old file of another size", MakePatch(21, 3, {{0, 3, 0}}, {}, Text("new")), kPatchWrongBase,
       nullptr},
      {"no patch at all", Text("TVPATCH2 and more bytes than a header has, well beyond it"), kPatchMalformed, nullptr},
      {"shorter than a header", Text("TVPATCH1"), kPatchMalformed, nullptr},
  };
  for (Case& c : cases) {
    CAPTURE(c.what);
    TMemoryIo io(c.patch, old);
    CHECK(ApplyPatch(io, c.patch.size(), old.size()) == c.result);
    if (c.made) CHECK(std::string(io.New.begin(), io.New.end()) == c.made);
  }
}

TEST_CASE("a patch cut short, or with a byte changed, never passes for whole") {
  // Large enough for several pieces of every section.
  Bytes old(100000), extra(70000), difference(100000);
  for (size_t i = 0; i < old.size(); ++i) old[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  for (size_t i = 0; i < extra.size(); ++i) extra[i] = static_cast<uint8_t>(i * 13 + (i >> 5));
  for (size_t i = 0; i < difference.size(); i += 97) difference[i] = 3;
  Bytes patch = MakePatch(old.size(), 170000, {{60000, 70000, -20000}, {40000, 0, 0}}, difference, extra);
  TMemoryIo whole(patch, old);
  REQUIRE(ApplyPatch(whole, patch.size(), old.size()) == kPatchApplied);
  REQUIRE(whole.New.size() == 170000);
  for (size_t cut : {size_t{47}, size_t{48}, size_t{60}, patch.size() / 2, patch.size() - 1}) {
    CAPTURE(cut);
    Bytes shorter(patch.begin(), patch.begin() + static_cast<long>(cut));
    TMemoryIo io(shorter, old);
    CHECK(ApplyPatch(io, shorter.size(), old.size()) == kPatchMalformed);
  }
  // A flipped bit anywhere in the sections: zlib's checksums, or the rules,
  // refuse it; nothing else is ever made.
  for (size_t at = kPatchHeaderSize; at < patch.size(); at += 37) {
    CAPTURE(at);
    Bytes flipped = patch;
    flipped[at] ^= 0x10;
    TMemoryIo io(flipped, old);
    TPatchResult r = ApplyPatch(io, flipped.size(), old.size());
    CHECK((r == kPatchMalformed || (r == kPatchApplied && io.New == whole.New)));
  }
}
