/* pyconfig.h of CPython 3.11 for Windows x64 (python.org's build, as the
 * embeddable distribution ships it), for cross-compiling extension modules.
 * The cross build installs this file as pyconfig.h beside a copy of 3.11's
 * public headers (tools/windows.sh).
 */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#include "pyconfig-common.h"

/* 3.11 still keeps a wchar_t copy of some strings (PyASCIIObject.wstr is
 * there on every platform; cpython/unicodeobject.h turns the cache on). */

#endif /* Py_CONFIG_H */
