// A patch as it comes from a mirror or the server, applied to a fixed old
// file: whatever it holds, the reads stay within the patch and the old file
// and the new file within its bound.
#include <cstdint>
#include <cstring>

#include "transfer/Patch.h"

namespace {

constexpr uint32_t kOldSize = 4096;
constexpr uint64_t kNewLimit = 1 << 20;

class TFuzzIo : public TPatchIo {
 public:
  TFuzzIo(const uint8_t* data, size_t size) : Data(data), Size(size) {
    for (uint32_t i = 0; i < kOldSize; ++i) Old[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  }
  int32_t ReadPatch(uint64_t at, void* buffer, int32_t count) override {
    if (at > Size || count < 0) __builtin_trap();
    size_t n = Size - at < static_cast<size_t>(count) ? Size - at : static_cast<size_t>(count);
    memcpy(buffer, Data + at, n);
    return static_cast<int32_t>(n);
  }
  int32_t ReadOld(uint64_t at, void* buffer, int32_t count) override {
    // The rules keep every read of the old file within it.
    if (count < 0 || at > kOldSize || static_cast<uint64_t>(count) > kOldSize - at) __builtin_trap();
    memcpy(buffer, Old + at, static_cast<size_t>(count));
    return count;
  }
  bool WriteNew(const void*, int32_t count) override {
    Written += static_cast<uint64_t>(count);
    return Written <= kNewLimit;
  }
  const uint8_t* Data;
  size_t Size;
  uint8_t Old[kOldSize];
  uint64_t Written = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TFuzzIo io(data, size);
  TPatchResult result = ApplyPatch(io, size, kOldSize);
  if (result == kPatchApplied && size >= kPatchHeaderSize) {
    TPatchHeader header;
    // Applied: exactly the new size the header gives.
    if (!ParsePatchHeader(data, size, header) || header.NewSize != io.Written) __builtin_trap();
  }
  return 0;
}
