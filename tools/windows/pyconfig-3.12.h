/* pyconfig.h of CPython 3.12 for Windows x64 (python.org's build, as the
 * embeddable distribution ships it), for cross-compiling extension modules.
 * The cross build installs this file as pyconfig.h beside a copy of 3.12's
 * public headers (tools/windows.sh).
 */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#include "pyconfig-common.h"

/* From 3.12 pyport.h reads the alignment of max_align_t; MSVC's is 8. */
#define ALIGNOF_MAX_ALIGN_T 8

#endif /* Py_CONFIG_H */
