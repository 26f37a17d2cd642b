# The core alone, under the address and undefined-behaviour sanitizers.
find_package(ZLIB REQUIRED)
set(SANITIZE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)

add_library(tovimar_core STATIC ${CORE_SOURCES})
target_include_directories(tovimar_core PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(tovimar_core PUBLIC ${SANITIZE} -Wall -Wextra)
target_link_options(tovimar_core PUBLIC ${SANITIZE})
target_link_libraries(tovimar_core PUBLIC ZLIB::ZLIB)

file(GLOB HOST_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/host/*.cpp)
add_executable(host_tests ${HOST_TESTS} $<TARGET_OBJECTS:deploy_test>)
target_link_libraries(host_tests PRIVATE tovimar_core)
target_compile_options(deploy_test PRIVATE ${SANITIZE})
add_test(NAME host_tests COMMAND host_tests)

# What the core costs natively (tools/bench.py): optimised, no sanitizers.
add_library(tovimar_core_plain STATIC ${CORE_SOURCES})
target_include_directories(tovimar_core_plain PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(tovimar_core_plain PUBLIC -O2)
target_link_libraries(tovimar_core_plain PUBLIC ZLIB::ZLIB)
add_executable(core_bench tests/helpers/core_bench.cpp tests/host/FakeShell.cpp tests/host/FakeThreads.cpp
               $<TARGET_OBJECTS:deploy_release>)
target_link_libraries(core_bench PRIVATE tovimar_core_plain)
# The patch reader natively, for the patch benchmark (tools/bench_patch.py).
add_executable(patch_apply tests/helpers/patch_apply.cpp)
target_link_libraries(patch_apply PRIVATE tovimar_core_plain)
