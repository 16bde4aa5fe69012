# GoogleTest suites for src/secret and the pure frame helpers, run by CTest.
if(CMAKE_CROSSCOMPILING)
    # Debian's libgtest-dev ships the sources; build them with the cross compiler.
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    set(GTEST_TARGETS gtest gtest_main)
else()
    find_package(GTest REQUIRED)
    set(GTEST_TARGETS GTest::gtest GTest::gtest_main)
endif()

file(GLOB NATIVE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*_test.cpp)
add_executable(native_tests ${NATIVE_TEST_SOURCES})
target_link_libraries(native_tests PRIVATE hush_vault_frame_pure hush_vault_secret ${GTEST_TARGETS})
include(GoogleTest)
gtest_discover_tests(native_tests DISCOVERY_MODE PRE_TEST)

# Checks that run native code under valgrind (Linux only).
if(NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
    include(${CMAKE_SOURCE_DIR}/cmake/ValgrindChecks.cmake OPTIONAL)
endif()
