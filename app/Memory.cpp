// The program's own allocation operators. Without them the C++ runtime's,
// which report failures by exception, pull in the unwinder and the name
// demangler: more than half of the program's size.
//
// The out-of-memory rule: `new` never returns null. The objects made with it
// are few and small, and a process that cannot get them cannot go on, so it
// ends at once. Buffers whose size comes from input are taken with malloc
// and checked where they are taken.
#include <cstddef>
#include <cstdlib>

namespace {
void* Allocate(size_t size) {
  void* p = malloc(size ? size : 1);
  if (!p) _Exit(1);
  return p;
}
}  // namespace

void* operator new(size_t size) { return Allocate(size); }
void* operator new[](size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

extern "C" void __cxa_pure_virtual() { abort(); }
