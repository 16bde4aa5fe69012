# GoogleTest suites for src/secret and the pure frame helpers, run by CTest.
if(CMAKE_CROSSCOMPILING)
    # Debian's libgtest-dev ships the sources; build them with the cross compiler.
    set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
    set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
    add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
    # Our warning flags are for our code, not for GoogleTest's.
    target_compile_options(gtest PRIVATE -w)
    target_compile_options(gtest_main PRIVATE -w)
    set(GTEST_TARGETS gtest gtest_main)
else()
    find_package(GTest REQUIRED)
    set(GTEST_TARGETS GTest::gtest GTest::gtest_main)
endif()

file(GLOB NATIVE_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*_test.cpp)
# What the tests need from the system beyond the OS layer, one file per OS like the layer itself.
if(WIN32)
    list(APPEND NATIVE_TEST_SOURCES ${CMAKE_SOURCE_DIR}/tests/native/support/platform_windows.cpp)
else()
    list(APPEND NATIVE_TEST_SOURCES ${CMAKE_SOURCE_DIR}/tests/native/support/platform_posix.cpp)
endif()
add_executable(native_tests ${NATIVE_TEST_SOURCES})
target_link_libraries(native_tests PRIVATE hush_vault_frame_pure hush_vault_secret ${GTEST_TARGETS})
if(WIN32)
    target_link_libraries(native_tests PRIVATE psapi)
endif()

if(CMAKE_CROSSCOMPILING)
    # One run of the whole executable under the emulator: starting Wine once per test case costs
    # seconds each.
    add_test(NAME native_tests COMMAND native_tests --gtest_color=no)
    set_tests_properties(native_tests PROPERTIES TIMEOUT 600)
else()
    include(GoogleTest)
    # A fault that makes a loop endless fails its test instead of hanging the run. The longest
    # case takes about 12 s here, and several times that under the sanitizers.
    set(HUSH_VAULT_TEST_TIMEOUT 60 CACHE STRING "Seconds each native test may take")
    gtest_discover_tests(native_tests DISCOVERY_MODE PRE_TEST
                         PROPERTIES TIMEOUT ${HUSH_VAULT_TEST_TIMEOUT})
endif()

# Checks that run native code under valgrind (Linux only).
if(NOT CMAKE_CROSSCOMPILING AND NOT WIN32)
    include(${CMAKE_SOURCE_DIR}/cmake/ValgrindChecks.cmake OPTIONAL)
endif()
