/* pyconfig.h for building the module for CPython 3.11 on macOS (x86-64 and
 * arm64, LP64) from another machine. CPython's other headers are the same on
 * every platform; this file answers what they ask of the configuration, as a
 * macOS build of CPython 3.11 (deployment target 11.0 or later) does, and
 * nothing else. tools/macos.sh puts it into a copy of Debian's
 * /usr/include/python3.11, where Python.h includes it from its own folder.
 *
 * pymacconfig.h, which Python.h includes right after this file, settles the
 * sizes that depend on the architecture (long, size_t, void *, pthread_t,
 * time_t, uintptr_t, _Bool), the byte order and the x87 question from the
 * compiler's own macros; the values below are the same ones, so that nothing
 * depends on the order.
 */
#ifndef Py_PYCONFIG_H
#define Py_PYCONFIG_H

#if !defined(__APPLE__) || !defined(__LP64__)
#error "this pyconfig.h is for 64-bit macOS only"
#endif

/* --- what the interpreter is ----------------------------------------------- */

/* A release build: no Py_DEBUG, Py_TRACE_REFS or Py_STATS, which change the
 * object header and the reference counting that the module compiles in. */
/* #undef Py_DEBUG */
/* #undef Py_TRACE_REFS */
/* #undef Py_STATS */

/* Py_ENABLE_SHARED matters to the headers only on Windows and Cygwin (where
 * it selects the import declarations); macOS framework builds leave it
 * unset in pyconfig.h. */
/* #undef Py_ENABLE_SHARED */

/* The default string hash (SipHash-1-3 in 3.11) is chosen in pyhash.h. */
/* #undef Py_HASH_ALGORITHM */

/* 30-bit digits, the default on 64-bit platforms (pyport.h). */
/* #undef PYLONG_BITS_IN_DIGIT */

#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1
#define WITH_FREELISTS 1
/* #undef WITH_DTRACE */
#define HAVE_DYNAMIC_LOADING 1

/* --- sizes (LP64, as on 64-bit Linux) ---------------------------------------- */

#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 8
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_LONG_DOUBLE 16
#define SIZEOF_SIZE_T 8
#define SIZEOF_VOID_P 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_OFF_T 8
#define SIZEOF_FPOS_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_PID_T 4
#define SIZEOF_PTHREAD_T 8
#define SIZEOF_PTHREAD_KEY_T 8
#define SIZEOF_WCHAR_T 4
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 8

/* --- floating point and byte order ----------------------------------------- */

/* Both architectures are little-endian IEEE 754 (pymacconfig.h says so too). */
#define DOUBLE_IS_LITTLE_ENDIAN_IEEE754 1
/* #undef WORDS_BIGENDIAN */
/* #undef DOUBLE_IS_BIG_ENDIAN_IEEE754 */
/* #undef DOUBLE_IS_ARM_MIXED_ENDIAN_IEEE754 */
/* x87 inline assembly is for 32-bit x86 only; x86-64 uses SSE2. */
/* #undef HAVE_GCC_ASM_FOR_X87 */
/* #undef HAVE_GCC_ASM_FOR_MC68881 */
/* #undef X87_DOUBLE_ROUNDING */

/* --- the C library and system headers -------------------------------------- */

#define HAVE_SSIZE_T 1
#define HAVE_WCHAR_H 1
#define HAVE_LANGINFO_H 1
#define HAVE_SYS_SELECT_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_SYS_TIME_H 1
/* #undef HAVE_SYS_TERMIO_H */
/* #undef HAVE_IEEEFP_H */
/* #undef HAVE__GETPTY */
#define HAVE_PTHREAD_H 1
/* #undef HAVE_PTHREAD_STUBS */
#define HAVE_FORK 1
#define HAVE_DLOPEN 1
#define HAVE_DECL_RTLD_NOW 1
#define HAVE_READLINK 1
#define HAVE_REALPATH 1
/* clock_gettime is in the C library from macOS 10.12 on; kqueue always. */
#define HAVE_CLOCK_GETTIME 1
#define HAVE_KQUEUE 1
/* C11 atomics and the compiler's __atomic builtins (clang). */
#define HAVE_STD_ATOMIC 1
#define HAVE_BUILTIN_ATOMIC 1
/* wchar_t is 4 bytes and holds code points: not a usable UCS-2 type, and
 * its representation is Unicode. */
/* #undef HAVE_USABLE_WCHAR_T */
/* #undef HAVE_NON_UNICODE_WCHAR_T_REPRESENTATION */
/* Unaligned loads are allowed on both architectures (pyhash.h). */
/* #undef HAVE_ALIGNED_REQUIRED */
/* Right shifts of negative numbers keep the sign (pyport.h). */
/* #undef SIGNED_RIGHT_SHIFT_ZERO_FILLS */
/* 64-bit off_t needs no large-file switch. */
/* #undef HAVE_LARGEFILE_SUPPORT */
/* In 64-bit mode setpgrp takes no arguments. */
/* #undef SETPGRP_HAVE_ARG */
/* The interpreter's thread stack size is set in its own sources for macOS. */
/* #undef THREAD_STACK_SIZE */
/* #undef ALT_SOABI */

/* curses, for py_curses.h (not included by Python.h): the system ncurses. */
#define HAVE_NCURSES_H 1
#define HAVE_CURSES_IS_PAD 1
#define MVWDELCH_IS_EXPRESSION 1
#define WINDOW_HAS_FLAGS 1

/* --- feature macros ------------------------------------------------------- */

/* CPython's configure defines neither _POSIX_C_SOURCE nor _XOPEN_SOURCE on
 * macOS (they would hide the Darwin extensions); it asks for everything with
 * _DARWIN_C_SOURCE instead. _POSIX_THREADS comes from <unistd.h>. */
#ifndef _DARWIN_C_SOURCE
#define _DARWIN_C_SOURCE 1
#endif
#ifndef __BSD_VISIBLE
#define __BSD_VISIBLE 1
#endif

#endif /* Py_PYCONFIG_H */
