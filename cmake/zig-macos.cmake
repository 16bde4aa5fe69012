# Cross-compiles for macOS with zig (PyPI's ziglang): its clang, the macOS C headers and libSystem
# stubs it carries, and its libc++, linked in statically. tools/macos_module.sh passes:
#   HUSH_VAULT_ZIG          the zig executable
#   HUSH_VAULT_MACOS_ARCH   arm64 or x86_64
# The release wheels are built on macOS with the system's own compiler, not with this file.
set(CMAKE_SYSTEM_NAME Darwin)
set(CMAKE_SYSTEM_VERSION 20)  # Darwin 20 is macOS 11, the wheels' deployment target
# The try_compile projects CMake runs while detecting the compiler read the same file.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES HUSH_VAULT_ZIG HUSH_VAULT_MACOS_ARCH)

if(NOT HUSH_VAULT_ZIG OR NOT EXISTS "${HUSH_VAULT_ZIG}")
    message(FATAL_ERROR "zig-macos: HUSH_VAULT_ZIG must name the zig executable "
                        "(given: '${HUSH_VAULT_ZIG}')")
endif()
if(HUSH_VAULT_MACOS_ARCH STREQUAL "arm64")
    set(zig_arch aarch64)
elseif(HUSH_VAULT_MACOS_ARCH STREQUAL "x86_64")
    set(zig_arch x86_64)
else()
    message(FATAL_ERROR "zig-macos: HUSH_VAULT_MACOS_ARCH must be arm64 or x86_64 "
                        "(given: '${HUSH_VAULT_MACOS_ARCH}')")
endif()
set(CMAKE_SYSTEM_PROCESSOR ${HUSH_VAULT_MACOS_ARCH})

# CMake runs one program per tool; zig is one program with subcommands. Each tool is a small
# script naming zig and the target, written beside the build.
set(zig_tools "${CMAKE_BINARY_DIR}/zig-macos-${HUSH_VAULT_MACOS_ARCH}")
foreach(tool c++ ar ranlib)
    file(WRITE "${zig_tools}/${tool}"
         "#!/bin/sh\nexec \"${CMAKE_CURRENT_LIST_DIR}/zig-macos/zig-tool.sh\" "
         "\"${HUSH_VAULT_ZIG}\" ${zig_arch}-macos.11.0 ${tool} \"$@\"\n")
    file(CHMOD "${zig_tools}/${tool}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
         GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CXX_COMPILER "${zig_tools}/c++")
set(CMAKE_AR "${zig_tools}/ar" CACHE FILEPATH "zig's archiver" FORCE)
set(CMAKE_RANLIB "${zig_tools}/ranlib" CACHE FILEPATH "zig's ranlib" FORCE)

# No Xcode here: no SDK to look up, and the target's minimum macOS is in zig's target name.
set(CMAKE_OSX_SYSROOT "" CACHE PATH "" FORCE)
set(CMAKE_OSX_DEPLOYMENT_TARGET "" CACHE STRING "" FORCE)
set(CMAKE_OSX_ARCHITECTURES "" CACHE STRING "" FORCE)

set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
