// Call helpers: borrowed callable and arguments in, a new reference (or null
// with an exception set) out. Exact interpreter functions and built-in
// functions take shorter roads than the generic call.
#pragma once
#include "runtime/python.h"
#include "runtime/ref.h"

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

/// Vector calls: `args` holds the positional values, then one value for each
/// name of `kwnames` (a tuple of keyword names, or null for none); `nargsf` is
/// the positional count, with PY_VECTORCALL_ARGUMENTS_OFFSET when args[-1]
/// may be used by the callee as scratch space.
///
/// True when the callable has a vectorcall entry of its own.
bool has_vectorcall(PyObject* callable);
/// Through the callable's vectorcall entry (which it must have), under the
/// recursion guard, as call_object does through the call slot.
PyObject* call_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);
/// The positional tuple and keyword dictionary of a vector call, for a callee
/// that has only a call slot: 0, or -1 with the error set.
int vector_as_tuple_and_dict(PyObject* const* args, size_t nargsf, PyObject* kwnames, Ref& tuple, Ref& dict);
/// Either of the two: the vectorcall entry where the callable has one, else a
/// tuple and a dictionary through call_object, so that every callee sees the
/// same one level of the recursion guard.
PyObject* call_vector(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);

}  // namespace runtime
