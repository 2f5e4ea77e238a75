/* pyconfig.h of CPython 3.13 for Windows x64 (python.org's build, as the
 * embeddable distribution ships it), for cross-compiling extension modules.
 * The cross build installs this file as pyconfig.h beside a copy of 3.13's
 * public headers (tools/windows.sh).
 */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#include "pyconfig-common.h"

/* From 3.12 pyport.h reads the alignment of max_align_t; MSVC's is 8. */
#define ALIGNOF_MAX_ALIGN_T 8
/* The default build, with the GIL: python313.dll. python.org's free-threaded
 * DLL (python313t.dll, not in the embeddable distribution) would need
 * Py_GIL_DISABLED, and its object header is another size. */
/* #undef Py_GIL_DISABLED */

#endif /* Py_CONFIG_H */
