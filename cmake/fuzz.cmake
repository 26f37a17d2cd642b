# libFuzzer targets over the core (clang only).
find_package(ZLIB REQUIRED)
set(FUZZ_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -g -O1)
add_library(tovimar_fuzzcore STATIC ${CORE_SOURCES} tests/host/FakeThreads.cpp tests/host/FakeShell.cpp
  $<TARGET_OBJECTS:deploy_test>)
target_include_directories(tovimar_fuzzcore PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(tovimar_fuzzcore PUBLIC ${FUZZ_FLAGS})
target_compile_options(deploy_test PRIVATE ${FUZZ_FLAGS})
target_link_libraries(tovimar_fuzzcore PUBLIC ZLIB::ZLIB)
foreach(target Manifest CommandLine BuiltIn Reply Patch)
  add_executable(fuzz_${target} tests/fuzz/Fuzz${target}.cpp)
  target_link_libraries(fuzz_${target} PRIVATE tovimar_fuzzcore)
  target_link_options(fuzz_${target} PRIVATE -fsanitize=fuzzer,address,undefined)
endforeach()
