/* The build facts of CPython 3.12 and 3.13 for 64-bit Windows (the python.org release builds)
 * that the interpreter's public headers read, for compiling the extension with mingw-w64 against
 * those headers: tools/windows_module.sh puts this file where the interpreter's own configuration
 * (made for the machine the headers were installed on) would be. A build on Windows uses the
 * interpreter's own file instead. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__MINGW32__)
#error "this configuration describes 64-bit Windows, for mingw-w64"
#endif

#include <stdio.h>

/* Which system: Windows 64-bit, Windows threads. */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define PLATFORM "win32"
#define COMPILER "[gcc]"
#define PY_SUPPORT_TIER 1

/* The interpreter lives in python312.dll (python313.dll): its functions and data are imported,
 * and the module's init function is exported. */
#define Py_ENABLE_SHARED 1
#define MS_COREDLL
#define HAVE_DECLSPEC_DLL

/* LLP64: long stays 32 bits, pointers and sizes are 64 (mingw-w64 agrees with MSVC here). */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_HKEY 8
#define SIZEOF_WCHAR_T 2
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_MAX_ALIGN_T 8
#define LONG_BIT 32
#define WORD_BIT 32
#define PY_LONG_LONG long long
#define PY_LLONG_MIN LLONG_MIN
#define PY_LLONG_MAX LLONG_MAX
#define PY_ULLONG_MAX ULLONG_MAX
#define HAVE_SSIZE_T 1
#define HAVE_LARGEFILE_SUPPORT

/* The release build: no debug or trace-refs object layout, pymalloc in, doc strings kept. */
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1
#define HAVE_DYNAMIC_LOADING
#define HAVE_WCHAR_H 1

#endif /* Py_CONFIG_H */
