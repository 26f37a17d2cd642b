// Applies a patch natively, as the program's core does (tools/bench_patch.py
// times it and reads its peak memory):  patch_apply <old> <patch> <new>
#include <cstdio>

#include "transfer/Patch.h"

namespace {

class TFileIo : public TPatchIo {
 public:
  TFileIo(FILE* patch, FILE* old, FILE* out) : Patch(patch), Old(old), Out(out) {}
  int32_t ReadPatch(uint64_t at, void* buffer, int32_t count) override { return Read(Patch, at, buffer, count); }
  int32_t ReadOld(uint64_t at, void* buffer, int32_t count) override { return Read(Old, at, buffer, count); }
  bool WriteNew(const void* buffer, int32_t count) override {
    return fwrite(buffer, 1, static_cast<size_t>(count), Out) == static_cast<size_t>(count);
  }

 private:
  static int32_t Read(FILE* f, uint64_t at, void* buffer, int32_t count) {
    if (fseeko(f, static_cast<off_t>(at), SEEK_SET) != 0) return -1;
    return static_cast<int32_t>(fread(buffer, 1, static_cast<size_t>(count), f));
  }
  FILE* Patch;
  FILE* Old;
  FILE* Out;
};

uint64_t SizeOf(FILE* f) {
  fseeko(f, 0, SEEK_END);
  return static_cast<uint64_t>(ftello(f));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: patch_apply <old> <patch> <new>\n");
    return 2;
  }
  FILE* old = fopen(argv[1], "rb");
  FILE* patch = fopen(argv[2], "rb");
  FILE* out = fopen(argv[3], "wb");
  if (!old || !patch || !out) {
    fprintf(stderr, "patch_apply: cannot open the files\n");
    return 2;
  }
  TFileIo io(patch, old, out);
  TPatchResult result = ApplyPatch(io, SizeOf(patch), SizeOf(old));
  if (fclose(out) != 0 && result == kPatchApplied) result = kPatchWriteFailed;
  if (result != kPatchApplied) fprintf(stderr, "patch_apply: %s\n", PatchResultText(result));
  return result == kPatchApplied ? 0 : 1;
}
