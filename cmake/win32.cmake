# The Windows program, its test helpers and the Win32 unit tests.
# Link-time optimisation over the whole program takes a tenth off its size;
# the objects keep their machine code as well, for the unit tests and the
# helpers that link them without it.
set(SIZE_FLAGS -Os -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
    -ffunction-sections -fdata-sections -Wall -Wextra -flto -ffat-lto-objects)
# Windows 7 API level; winsock2 instead of the old socket header.
add_compile_definitions(WIN32_LEAN_AND_MEAN _WIN32_WINNT=0x0601)
set(WIN_LIBS z ws2_32 ole32 oleaut32 shell32 uuid advapi32 gdi32 user32)

# The core and its Win32 halves, one library of the program's modules.
add_library(tovimar_win STATIC ${CORE_SOURCES} ${WIN_SOURCES})
target_include_directories(tovimar_win PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(tovimar_win PRIVATE ${SIZE_FLAGS})
target_link_libraries(tovimar_win PUBLIC ${WIN_LIBS})

# Unit tests under Wine: doctest wants exceptions, so they build with defaults.
file(GLOB WIN32_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win32/*.cpp)
# The cross compiler does not search the build machine's headers, so the
# single-header test framework is copied into a folder of its own.
find_file(DOCTEST_HEADER doctest/doctest.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
configure_file(${DOCTEST_HEADER} ${CMAKE_BINARY_DIR}/doctest-include/doctest/doctest.h COPYONLY)
if(WIN32_TESTS)
  add_executable(win32_tests ${WIN32_TESTS} $<TARGET_OBJECTS:deploy_test>)
  target_include_directories(win32_tests PRIVATE ${CMAKE_BINARY_DIR}/doctest-include)
  # The win32 thread model has no std::mutex; the tests run on one thread.
  target_compile_definitions(win32_tests PRIVATE DOCTEST_CONFIG_NO_MULTITHREADING)
  target_link_libraries(win32_tests PRIVATE tovimar_win)
  target_link_options(win32_tests PRIVATE -static)
  add_test(NAME win32_tests COMMAND win32_tests)
endif()

# The program: GUI subsystem, static, small, alone in bin/. TovimarTest is
# the same program with the test deployment values: in test/, with the test
# helpers; the stamping tool goes to tools/.
set(TEST_BIN ${CMAKE_BINARY_DIR}/test)
# The program links with the linker's own script but for the unwind tables,
# which nothing in it reads (no exceptions are thrown, and the runtime
# registers them only for a shared unwinder it never finds): 4 KiB of i686.
execute_process(COMMAND ${CMAKE_LINKER} --verbose OUTPUT_VARIABLE LINK_SCRIPT)
string(REGEX MATCH "=+\n(.*)\n=+" LINK_SCRIPT "${LINK_SCRIPT}")
string(REGEX REPLACE "\\.eh_frame BLOCK\\(__section_alignment__\\) :[^}]*}" "/DISCARD/ : { *(.eh_frame*) }"
       PROGRAM_SCRIPT "${CMAKE_MATCH_1}")
set(PROGRAM_LINK_OPTIONS -static -s -Wl,--gc-sections -flto -Os)
# The program starts at its own entry (app/Tovimar.cpp), without the C
# runtime's start-up code and what it pulls in: 7 KiB of i686. No data is
# imported without a declaration, so nothing needs the runtime's relocation.
# The linker crashes when link-time optimisation brings in a helper of the
# compiler's or a function of the C library that nothing named before: those
# the program's code may call are named up front.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(C_PREFIX _)
else()
  set(C_PREFIX "")
endif()
set(EARLY_SYMBOLS __divdi3 __udivdi3 __udivmoddi4 __umoddi3 __moddi3 __divmoddi4 memcpy memset memmove memcmp strlen
    strcmp strncmp malloc free realloc calloc _exit abort)
# The stack probe has one name in both.
list(APPEND PROGRAM_LINK_OPTIONS -nostartfiles -Wl,--disable-auto-import -Wl,-e,${C_PREFIX}WinMainCRTStartup
     -Wl,-u,___chkstk_ms)
foreach(symbol ${EARLY_SYMBOLS})
  list(APPEND PROGRAM_LINK_OPTIONS -Wl,-u,${C_PREFIX}${symbol})
endforeach()
if(PROGRAM_SCRIPT MATCHES "DISCARD/ : { \\*\\(\\.eh_frame")
  file(WRITE ${CMAKE_BINARY_DIR}/program.ld "${PROGRAM_SCRIPT}")
  list(APPEND PROGRAM_LINK_OPTIONS -Wl,-T,${CMAKE_BINARY_DIR}/program.ld)
else()
  message(WARNING "the linker's script has no .eh_frame block to leave out: the program keeps its unwind tables")
endif()
foreach(variant Tovimar TovimarTest)
  if(variant STREQUAL "Tovimar")
    set(deploy deploy_release)
  else()
    set(deploy deploy_test)
  endif()
  add_executable(${variant} WIN32 app/Tovimar.cpp app/Memory.cpp app/Tovimar.rc $<TARGET_OBJECTS:${deploy}>)
  target_compile_options(${variant} PRIVATE ${SIZE_FLAGS})
  target_link_options(${variant} PRIVATE ${PROGRAM_LINK_OPTIONS})
  target_link_libraries(${variant} PRIVATE tovimar_win)
endforeach()
set_target_properties(TovimarTest PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TEST_BIN})
target_compile_options(deploy_release PRIVATE ${SIZE_FLAGS})
target_compile_options(deploy_test PRIVATE ${SIZE_FLAGS})

# Helpers of the end-to-end tests: a window probe and a stand-in client.
add_executable(winprobe tests/helpers/winprobe.cpp)
target_link_options(winprobe PRIVATE -static)
add_executable(Corvane WIN32 tests/helpers/corvane.cpp)
target_link_options(Corvane PRIVATE -static -s)

# The stamping tool: writes INSTDATA into a copy of the program.
add_executable(stamp tools/stamp.cpp)
target_include_directories(stamp PRIVATE ${CMAKE_SOURCE_DIR})
target_link_options(stamp PRIVATE -static)

# The planted-library check: a stand-in wininet.dll, and a program that
# imports WinInet statically.
add_library(planted_wininet SHARED tests/helpers/planted_wininet.cpp)
set_target_properties(planted_wininet PROPERTIES OUTPUT_NAME wininet PREFIX "" SUFFIX ".dll"
  RUNTIME_OUTPUT_DIRECTORY ${TEST_BIN}/planted)
target_link_options(planted_wininet PRIVATE -static -Wl,--kill-at)
add_executable(static_inet tests/helpers/static_inet.cpp)
target_link_libraries(static_inet PRIVATE wininet)
target_link_options(static_inet PRIVATE -static)
add_executable(launch tests/helpers/launch.cpp)
target_link_options(launch PRIVATE -static)

# Benchmark floors (tools/bench.py): bare recv loops and one WinInet stream.
add_executable(floor_recv tests/helpers/floor_recv.cpp)
target_link_libraries(floor_recv PRIVATE ws2_32)
target_link_options(floor_recv PRIVATE -static)
add_executable(floor_inet tests/helpers/floor_inet.cpp)
target_link_libraries(floor_inet PRIVATE wininet z)
target_link_options(floor_inet PRIVATE -static)
add_executable(floor_sha256 tests/helpers/floor_sha256.cpp)
target_link_libraries(floor_sha256 PRIVATE tovimar_win)
target_link_options(floor_sha256 PRIVATE -static)
add_executable(wine_costs tests/helpers/wine_costs.cpp)
target_link_options(wine_costs PRIVATE -static)
add_executable(hold tests/helpers/hold.cpp)
target_link_options(hold PRIVATE -static)

set_target_properties(stamp PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
foreach(helper winprobe Corvane static_inet launch floor_recv floor_inet floor_sha256 wine_costs hold win32_tests)
  set_target_properties(${helper} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${TEST_BIN})
endforeach()
