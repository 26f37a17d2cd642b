// The program's own allocation operators. Without them the C++ runtime's,
// which report failures by exception, pull in the unwinder and the name
// demangler: more than half of the program's size.
#include <cstddef>
#include <cstdlib>

void* operator new(size_t size) { return malloc(size ? size : 1); }
void* operator new[](size_t size) { return malloc(size ? size : 1); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

extern "C" void __cxa_pure_virtual() { abort(); }
