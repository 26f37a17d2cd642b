// A patch from an installed file to its new version, and its application in
// bounded memory, streaming from the old file into the new one
// (platform-free; the reads and the write are the caller's).
//
// The format, all numbers little-endian:
//   header, 48 bytes: "TVPATCH1", the old size and the new size (u64 each),
//     the flags (u32, none defined yet: a patch with any is refused), the
//     lengths of the four sections that follow (u32 each: control, zeros,
//     values, extra) and 4 reserved bytes (0);
//   four zlib streams, one after another, filling the rest of the patch:
//   - control: triples of LEB128 numbers: add, insert, and seek zigzag-coded
//     (0, -1, 1, -2 ... as 0, 1, 2, 3 ...);
//   - zeros and values: the differences, the bytes added (mod 256) to the
//     old file's bytes from the old position on, `add` of them for each
//     triple, one sequence across all: a run of zeros (a LEB128 number in
//     zeros), a value (a byte in values), a run, a value ... and a last run,
//     since most differences are zeros;
//   - extra: for each triple, `insert` bytes taken as they are.
// A triple writes add + insert bytes (at least one) of the new file; the old
// position moves on by add, then by seek. Every read of the old file lies
// within it, nothing is written past the new size, and the patch ends
// exactly when the new file is whole and every stream has ended.
#pragma once
#include <cstdint>

constexpr int32_t kPatchHeaderSize = 48;
// A control triple's numbers and a section's length have their limits: a
// patch is input from the network.
constexpr uint32_t kPatchSectionLimit = 0x7FFFFFFFu;

constexpr int kPatchSections = 4;

struct TPatchHeader {
  uint64_t OldSize;
  uint64_t NewSize;
  uint32_t Flags;
  uint32_t Sections[kPatchSections];  // their lengths: control, zeros, values, extra
};

// The header of a patch of `patchSize` bytes; false when it is none or its
// sections do not fill the patch exactly.
bool ParsePatchHeader(const uint8_t* bytes, uint64_t patchSize, TPatchHeader& out);

// What the application reads and writes: the patch and the old file at
// offsets, the new file in order. Reads return the bytes read, fewer only at
// the end, -1 on a failure; the write returns false on one.
class TPatchIo {
 public:
  virtual int32_t ReadPatch(uint64_t at, void* buffer, int32_t count) = 0;
  virtual int32_t ReadOld(uint64_t at, void* buffer, int32_t count) = 0;
  virtual bool WriteNew(const void* buffer, int32_t count) = 0;

 protected:
  ~TPatchIo() = default;
};

enum TPatchResult {
  kPatchApplied,
  kPatchMalformed,  // not a patch, or one that breaks a rule above
  kPatchWrongBase,  // made for an old file of another size
  kPatchNoMemory,
  kPatchReadFailed,
  kPatchWriteFailed,
};

// Applies the patch (of patchSize bytes) to the old file (of oldSize) and
// writes the new file, which the caller then checks against its line. About
// 200 KiB of memory, whatever the sizes.
TPatchResult ApplyPatch(TPatchIo& io, uint64_t patchSize, uint64_t oldSize);
const char* PatchResultText(TPatchResult result);
