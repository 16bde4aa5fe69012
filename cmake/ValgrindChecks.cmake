# Constant time checked by valgrind's memcheck: constant_time_eq runs with its inputs marked
# undefined and must draw no report. Skipped without valgrind or its client-request header.
find_program(VALGRIND_PROGRAM valgrind)
find_path(VALGRIND_INCLUDE_DIR valgrind/memcheck.h)
if(NOT VALGRIND_PROGRAM OR NOT VALGRIND_INCLUDE_DIR)
    message(STATUS "valgrind or valgrind/memcheck.h not found: constant-time check skipped")
    return()
endif()
if(HUSH_VAULT_SANITIZE)
    message(STATUS "sanitizer build: constant-time check under valgrind skipped")
    return()
endif()

# Optimised whatever the build type: the optimiser is what could bring a branch back. -O3 is what
# a release build ships.
foreach(level 2 3)
    set(check constant_time_check_O${level})
    add_executable(${check}
        ${CMAKE_SOURCE_DIR}/tests/native/valgrind/ct_check.cpp
        ${CMAKE_SOURCE_DIR}/src/secret/constant_time.cpp)
    target_include_directories(${check} PRIVATE ${CMAKE_SOURCE_DIR}/src ${VALGRIND_INCLUDE_DIR})
    target_compile_options(${check} PRIVATE -O${level})
    add_test(NAME constant_time_under_valgrind_O${level}
        COMMAND ${CMAKE_COMMAND} -DVALGRIND=${VALGRIND_PROGRAM} -DCHECK=$<TARGET_FILE:${check}>
                -P ${CMAKE_SOURCE_DIR}/cmake/RunConstantTimeCheck.cmake)
    set_tests_properties(constant_time_under_valgrind_O${level} PROPERTIES TIMEOUT 120)
endforeach()
