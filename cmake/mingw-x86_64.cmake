# The same sources for 64-bit Windows, for machines that cannot run 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_TRIPLET x86_64-w64-mingw32)
set(MINGW_BUILD win64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
