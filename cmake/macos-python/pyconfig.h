/* The build facts of CPython 3.12 to 3.15 for macOS (arm64 and x86_64) that the interpreter's
 * public headers read, for compiling the extension with zig against those headers:
 * tools/macos_module.sh puts this file where the interpreter's own configuration (made for the
 * Linux machine the headers were installed on) would be. A build on macOS uses the interpreter's
 * own file instead.
 *
 * Where the values come from: CPython's configure.ac as it runs on Darwin (which feature macros it
 * defines there, which headers and functions macOS has) and the LP64 data model both macOS
 * architectures share. What pymacconfig.h sets is not here: Python.h includes it after this file,
 * and it sets at compile time, as for universal2 builds, the facts that differ between arm64 and
 * x86_64 (long double, max_align_t, the x87 and x64 inline assembly) and the LP64 sizes of long,
 * size_t, pointers, time_t and pthread_t.
 * The sizes below are checked against the compiler at the end of the file. */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H

#if !defined(__APPLE__) || !defined(__MACH__) || !defined(__LP64__)
#error "this configuration describes 64-bit macOS"
#endif

/* Feature macros: configure defines these on every system; on Darwin it leaves out
 * _POSIX_C_SOURCE and _XOPEN_SOURCE, which would hide the BSD and Darwin interfaces there.
 * (off_t is 64 bits on macOS whatever _FILE_OFFSET_BITS says.) */
#define _DARWIN_C_SOURCE 1
#define _NETBSD_SOURCE 1
#define __BSD_VISIBLE 1

/* What macOS has. */
#define HAVE_CLOCK_GETTIME 1
#define HAVE_DLOPEN 1
#define HAVE_DYNAMIC_LOADING 1
#define HAVE_FORK 1
#define HAVE_LANGINFO_H 1
#define HAVE_PTHREAD_H 1
#define HAVE_SSIZE_T 1
#define HAVE_STDINT_H 1
#define HAVE_STDLIB_H 1
#define HAVE_SYS_SELECT_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TIME_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_UNISTD_H 1
#define HAVE_WCHAR_H 1
#define STDC_HEADERS 1

/* LP64, the sizes pymacconfig.h leaves alone. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_OFF_T 8
#define SIZEOF_FPOS_T 8
#define SIZEOF_PID_T 4
#define SIZEOF_WCHAR_T 4
#define SIZEOF_PTHREAD_KEY_T 8
#define ALIGNOF_LONG 8
#define ALIGNOF_SIZE_T 8

/* The release build of python.org's installers and Homebrew: no debug or trace-refs object
 * layout, no free threading, pymalloc and mimalloc in (3.13 on; mimalloc changes nothing the
 * headers lay out for a GIL build), doc strings kept. They are framework builds, not
 * --enable-shared ones: Py_ENABLE_SHARED stays undefined (the headers read it only on Windows
 * and Cygwin). */
#define WITH_PYMALLOC 1
#define WITH_MIMALLOC 1
#define WITH_DOC_STRINGS 1
#define _Py_STACK_GROWS_DOWN 1

/* The sizes above, checked against the compiler for this target: a wrong one fails the build
 * instead of laying out the interpreter's structures differently from the interpreter. */
#if defined(__cplusplus)
#define Py_MACOS_CONFIG_CHECK(fact) static_assert(fact, #fact)
#define Py_MACOS_CONFIG_ALIGNOF(type) alignof(type)
#else
#define Py_MACOS_CONFIG_CHECK(fact) _Static_assert(fact, #fact)
#define Py_MACOS_CONFIG_ALIGNOF(type) _Alignof(type)
#endif
#include <pthread.h>
#include <stdio.h>
#include <sys/types.h>
#include <wchar.h>
Py_MACOS_CONFIG_CHECK(sizeof(short) == SIZEOF_SHORT);
Py_MACOS_CONFIG_CHECK(sizeof(int) == SIZEOF_INT);
Py_MACOS_CONFIG_CHECK(sizeof(long long) == SIZEOF_LONG_LONG);
Py_MACOS_CONFIG_CHECK(sizeof(float) == SIZEOF_FLOAT);
Py_MACOS_CONFIG_CHECK(sizeof(double) == SIZEOF_DOUBLE);
Py_MACOS_CONFIG_CHECK(sizeof(off_t) == SIZEOF_OFF_T);
Py_MACOS_CONFIG_CHECK(sizeof(fpos_t) == SIZEOF_FPOS_T);
Py_MACOS_CONFIG_CHECK(sizeof(pid_t) == SIZEOF_PID_T);
Py_MACOS_CONFIG_CHECK(sizeof(wchar_t) == SIZEOF_WCHAR_T);
Py_MACOS_CONFIG_CHECK(sizeof(pthread_key_t) == SIZEOF_PTHREAD_KEY_T);
Py_MACOS_CONFIG_CHECK(Py_MACOS_CONFIG_ALIGNOF(long) == ALIGNOF_LONG);
Py_MACOS_CONFIG_CHECK(Py_MACOS_CONFIG_ALIGNOF(size_t) == ALIGNOF_SIZE_T);
#undef Py_MACOS_CONFIG_CHECK
#undef Py_MACOS_CONFIG_ALIGNOF

#endif /* Py_PYCONFIG_H */
