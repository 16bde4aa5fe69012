# Fuzz targets (tests/fuzz/fuzz_*.cpp). With HUSH_VAULT_FUZZ (clang only) each becomes a
# libFuzzer binary; with the native tests each also links a plain driver that replays the
# committed seeds and crash inputs under CTest.
file(GLOB FUZZ_TARGET_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/fuzz/fuzz_*.cpp)
set(FUZZ_DIR ${CMAKE_SOURCE_DIR}/tests/fuzz)

foreach(source ${FUZZ_TARGET_SOURCES})
    get_filename_component(target ${source} NAME_WE)
    string(REGEX REPLACE "^fuzz_" "" harness ${target})
    if(HUSH_VAULT_FUZZ)
        add_executable(${target} ${source})
        target_link_libraries(${target} PRIVATE hush_vault_frame_pure hush_vault_secret)
        target_link_options(${target} PRIVATE -fsanitize=fuzzer)
    endif()
    if(HUSH_VAULT_NATIVE_TESTS AND NOT CMAKE_CROSSCOMPILING)
        add_executable(replay_${harness} ${source} ${FUZZ_DIR}/replay_main.cpp)
        target_link_libraries(replay_${harness} PRIVATE hush_vault_frame_pure hush_vault_secret)
        if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
            # GCC 12 reports std::string concatenation at -O3 as overlapping copies (a false alarm).
            target_compile_options(replay_${harness} PRIVATE -Wno-restrict)
        endif()
        add_test(NAME fuzz_replay_${harness}
                 COMMAND replay_${harness} ${FUZZ_DIR}/corpus/${harness}
                         ${FUZZ_DIR}/regressions/${harness})
    endif()
endforeach()
