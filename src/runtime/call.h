// Call helpers: borrowed callable and arguments in, a new reference (or null
// with an exception set) out. Exact interpreter functions and built-in
// functions take shorter roads than the generic call.
#pragma once
#include "runtime/python.h"

namespace runtime {

// Through the type's call slot under the recursion guard.
PyObject* call_object(PyObject* callable, PyObject* args, PyObject* kwargs);
// METH_O / METH_NOARGS entry of a built-in or native function; arg null for none.
PyObject* call_meth_o(PyObject* func, PyObject* arg);
// An interpreter function (exact type) with positional arguments only.
PyObject* call_function_fast(PyObject* func, PyObject* const* args, Py_ssize_t count);
PyObject* call_one_arg(PyObject* callable, PyObject* arg);
PyObject* call_two_args(PyObject* callable, PyObject* arg1, PyObject* arg2);
PyObject* call_no_args(PyObject* callable);

}  // namespace runtime
