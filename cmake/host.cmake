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
