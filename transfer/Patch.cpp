#include "transfer/Patch.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr uint8_t kMagic[8] = {'T', 'V', 'P', 'A', 'T', 'C', 'H', '1'};
constexpr uint32_t kPiece = 16384;

uint64_t Little(const uint8_t* p, int n) {
  uint64_t value = 0;
  for (int i = n - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

// One of the patch's three zlib streams, inflated a piece at a time.
struct TSection {
  z_stream Z;
  uint64_t At;    // where its compressed bytes not yet read begin
  uint64_t Left;  // how many of them there are
  bool Ended;
  uint32_t Pos, Length;  // what of Out is not yet taken
  uint8_t In[kPiece];
  uint8_t Out[kPiece];
};

// The section's next piece of content into Out; not at its end.
TPatchResult Inflate(TPatchIo& io, TSection& s) {
  s.Z.next_out = s.Out;
  s.Z.avail_out = kPiece;
  while (s.Z.avail_out == kPiece) {
    if (s.Ended) return kPatchMalformed;  // the stream ended before its content did
    if (s.Z.avail_in == 0) {
      if (s.Left == 0) return kPatchMalformed;
      int32_t want = s.Left < kPiece ? static_cast<int32_t>(s.Left) : static_cast<int32_t>(kPiece);
      int32_t got = io.ReadPatch(s.At, s.In, want);
      if (got != want) return kPatchReadFailed;
      s.At += static_cast<uint64_t>(got);
      s.Left -= static_cast<uint64_t>(got);
      s.Z.next_in = s.In;
      s.Z.avail_in = static_cast<uInt>(got);
    }
    int code = inflate(&s.Z, Z_NO_FLUSH);
    if (code == Z_STREAM_END)
      s.Ended = true;
    else if (code != Z_OK)
      return kPatchMalformed;  // a broken stream, or one asking for a dictionary
  }
  s.Pos = 0;
  s.Length = kPiece - s.Z.avail_out;
  return kPatchApplied;
}

// Exactly n bytes of the section's content.
TPatchResult Take(TPatchIo& io, TSection& s, uint8_t* out, uint32_t n) {
  while (n > 0) {
    if (s.Pos == s.Length) {
      TPatchResult r = Inflate(io, s);
      if (r != kPatchApplied) return r;
    }
    uint32_t c = s.Length - s.Pos < n ? s.Length - s.Pos : n;
    memcpy(out, s.Out + s.Pos, c);
    s.Pos += c;
    out += c;
    n -= c;
  }
  return kPatchApplied;
}

// The section has nothing more: its stream ends there, and its bytes too.
bool Finished(TPatchIo& io, TSection& s) {
  if (s.Pos != s.Length) return false;
  if (!s.Ended && Inflate(io, s) != kPatchMalformed) return false;  // more content
  return s.Ended && s.Pos == s.Length && s.Left == 0 && s.Z.avail_in == 0;
}

// A LEB128 number of the control section.
TPatchResult Number(TPatchIo& io, TSection& control, uint64_t& value) {
  value = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    uint8_t byte;
    TPatchResult r = Take(io, control, &byte, 1);
    if (r != kPatchApplied) return r;
    if (shift == 63 && byte > 1) return kPatchMalformed;
    value |= static_cast<uint64_t>(byte & 0x7F) << shift;
    if (!(byte & 0x80)) return kPatchApplied;
  }
  return kPatchMalformed;
}

struct TApply {
  TSection Sections[4];  // control, zeros, values, extra
  uint8_t Old[kPiece];
  uint8_t New[kPiece];
};

// The differences, as zero runs (zeros) between the values that are not.
struct TDifferences {
  TSection& Zeros;
  TSection& Values;
  uint64_t Run;  // zeros still to give before the next value
};

// The next c differences into out, added to the old bytes there.
TPatchResult AddDifferences(TPatchIo& io, TDifferences& d, uint8_t* bytes, uint32_t c, uint64_t room) {
  for (uint32_t i = 0; i < c;) {
    if (d.Run > 0) {
      uint64_t skip = d.Run < c - i ? d.Run : c - i;  // the old bytes as they are
      d.Run -= skip;
      i += static_cast<uint32_t>(skip);
      continue;
    }
    uint8_t value;
    TPatchResult r = Take(io, d.Values, &value, 1);
    if (r != kPatchApplied || (r = Number(io, d.Zeros, d.Run)) != kPatchApplied) return r;
    // No run longer than what is left to write.
    if (d.Run > room) return kPatchMalformed;
    bytes[i++] += value;
  }
  return kPatchApplied;
}

TPatchResult Run(TPatchIo& io, TApply& a, const TPatchHeader& header) {
  TSection& control = a.Sections[0];
  TSection& extra = a.Sections[3];
  TDifferences differences = {a.Sections[1], a.Sections[2], 0};
  uint64_t oldPos = 0, newPos = 0;
  const uint64_t oldSize = header.OldSize, newSize = header.NewSize;
  // The zeros before the first value.
  TPatchResult r = Number(io, differences.Zeros, differences.Run);
  if (r != kPatchApplied) return r;
  if (differences.Run > newSize) return kPatchMalformed;
  while (newPos < newSize) {
    uint64_t add, insert, seek;
    if ((r = Number(io, control, add)) != kPatchApplied || (r = Number(io, control, insert)) != kPatchApplied ||
        (r = Number(io, control, seek)) != kPatchApplied)
      return r;
    uint64_t room = newSize - newPos;
    if (add > room || insert > room - add || add + insert == 0 || add > oldSize - oldPos) return kPatchMalformed;
    for (uint64_t done = 0; done < add;) {
      uint32_t c = add - done < kPiece ? static_cast<uint32_t>(add - done) : kPiece;
      if (io.ReadOld(oldPos + done, a.Old, static_cast<int32_t>(c)) != static_cast<int32_t>(c)) return kPatchReadFailed;
      if ((r = AddDifferences(io, differences, a.Old, c, room - done)) != kPatchApplied) return r;
      if (!io.WriteNew(a.Old, static_cast<int32_t>(c))) return kPatchWriteFailed;
      done += c;
    }
    for (uint64_t done = 0; done < insert;) {
      uint32_t c = insert - done < kPiece ? static_cast<uint32_t>(insert - done) : kPiece;
      if ((r = Take(io, extra, a.New, c)) != kPatchApplied) return r;
      if (!io.WriteNew(a.New, static_cast<int32_t>(c))) return kPatchWriteFailed;
      done += c;
    }
    oldPos += add;
    newPos += add + insert;
    // Zigzag: even numbers forward, odd ones back.
    uint64_t distance = (seek >> 1) + (seek & 1);
    if (seek & 1 ? distance > oldPos : distance > oldSize - oldPos) return kPatchMalformed;
    oldPos = seek & 1 ? oldPos - distance : oldPos + distance;
  }
  // Every difference given, and every section ended with its bytes.
  if (differences.Run != 0) return kPatchMalformed;
  for (TSection& s : a.Sections)
    if (!Finished(io, s)) return kPatchMalformed;
  return kPatchApplied;
}

}  // namespace

bool ParsePatchHeader(const uint8_t* bytes, uint64_t patchSize, TPatchHeader& out) {
  if (patchSize < kPatchHeaderSize || memcmp(bytes, kMagic, sizeof kMagic) != 0) return false;
  out.OldSize = Little(bytes + 8, 8);
  out.NewSize = Little(bytes + 16, 8);
  out.Flags = static_cast<uint32_t>(Little(bytes + 24, 4));
  uint64_t sections = 0;
  bool within = true;
  for (int i = 0; i < kPatchSections; ++i) {
    out.Sections[i] = static_cast<uint32_t>(Little(bytes + 28 + 4 * i, 4));
    within = within && out.Sections[i] <= kPatchSectionLimit;
    sections += out.Sections[i];
  }
  // Sections within their limit that fill the patch; no flags, no reserved
  // bytes that mean anything yet.
  return within && out.Flags == 0 && Little(bytes + 44, 4) == 0 && sections == patchSize - kPatchHeaderSize;
}

TPatchResult ApplyPatch(TPatchIo& io, uint64_t patchSize, uint64_t oldSize) {
  uint8_t bytes[kPatchHeaderSize];
  TPatchHeader header;
  if (patchSize < kPatchHeaderSize) return kPatchMalformed;
  if (io.ReadPatch(0, bytes, kPatchHeaderSize) != kPatchHeaderSize) return kPatchReadFailed;
  if (!ParsePatchHeader(bytes, patchSize, header)) return kPatchMalformed;
  if (header.OldSize != oldSize) return kPatchWrongBase;
  TApply* a = static_cast<TApply*>(calloc(1, sizeof(TApply)));
  if (!a) return kPatchNoMemory;
  uint64_t at = kPatchHeaderSize;
  int ready = 0;
  for (; ready < kPatchSections; ++ready) {
    TSection& s = a->Sections[ready];
    if (inflateInit(&s.Z) != Z_OK) break;
    s.At = at;
    s.Left = header.Sections[ready];
    at += header.Sections[ready];
  }
  TPatchResult result = ready == kPatchSections ? Run(io, *a, header) : kPatchNoMemory;
  for (int i = 0; i < ready; ++i) inflateEnd(&a->Sections[i].Z);
  free(a);
  return result;
}

const char* PatchResultText(TPatchResult result) {
  switch (result) {
    case kPatchApplied:
      return "applied";
    case kPatchMalformed:
      return "the patch is malformed";
    case kPatchWrongBase:
      return "the patch is for another version";
    case kPatchNoMemory:
      return "no memory to apply the patch";
    case kPatchReadFailed:
      return "the patch or the installed file could not be read";
    default:
      return "the new file could not be written";
  }
}
