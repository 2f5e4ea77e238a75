// The one way this project includes the interpreter's API.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>
#include <structmember.h>

// The function-object record is shared by layout with other modules of the
// process, and that layout assumes the 16-byte object header of the default
// build; a free-threaded interpreter's header is 32 bytes.
#if defined(Py_GIL_DISABLED)
#error "free-threaded CPython builds are not supported: the shared function-object layout needs the default object header"
#endif
