/* The build configuration that python.org's CPython for Windows x64 was made
 * with, as far as the public headers consult it. Included by each minor
 * version's pyconfig.h in this folder, which the cross build copies into a
 * copy of that version's include folder (tools/windows.sh). Only the macros
 * an extension module's compile sees are here; the interpreter's own build
 * (Py_BUILD_CORE) is never made from these.
 *
 * The values are the interpreter's, not the compiler's guess: a wrong size
 * here changes the layout of interpreter structs, which the static_asserts
 * in src/ catch at compile time.
 */
#ifndef MAIN_WINDOWS_PYCONFIG_COMMON_H
#define MAIN_WINDOWS_PYCONFIG_COMMON_H

#if !defined(_WIN64) || !defined(__x86_64__) && !defined(_M_X64)
#  error "this pyconfig.h describes CPython for Windows x64 only"
#endif

/* The platform: Windows, 64-bit. pyport.h, pyerrors.h, fileutils.h and
 * initconfig.h read these (MS_WINDOWS adds PyConfig's Windows fields). */
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS      /* pythread.h: Py_tss_t holds a DWORD-sized key */
#define WITH_THREAD

/* The interpreter is python3XY.dll: its functions and data are imported
 * (__declspec(dllimport)) and PyMODINIT_FUNC exports the module's entry. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

/* LLP64: long is 4 bytes, pointers and size_t 8. Py_ssize_t is then
 * intptr_t (pyport.h's last choice), 8 bytes as in the interpreter. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define ALIGNOF_SIZE_T 8
/* wchar_t is a UTF-16 code unit; the interpreter's wide-string API converts. */
#define SIZEOF_WCHAR_T 2
#define HAVE_WCHAR_H 1
/* pid_t is an int there: SIZEOF_PID_T stays undefined, which longobject.h
 * reads as the size of int. */

/* Headers that exist with every Windows C runtime. */
#define HAVE_STDDEF_H 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_ERRNO_H 1
#define HAVE_FCNTL_H 1
#define HAVE_IO_H 1
#define HAVE_PROCESS_H 1
#define HAVE_SIGNAL_H 1
#define HAVE_STDARG_PROTOTYPES

/* How the interpreter was configured. */
#define WITH_PYMALLOC 1
#define WITH_DOC_STRINGS 1

#endif /* MAIN_WINDOWS_PYCONFIG_COMMON_H */
