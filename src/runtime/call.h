// Call helpers: a borrowed callable and arguments in, a new reference (or null
// with an exception set) out; the caller keeps the callable and the arguments
// alive for the call. Exact interpreter functions and built-in functions take
// shorter roads than the generic call.
//
// Every road enters the callee under the interpreter's recursion guard, and a
// callee that returns null without an exception raises SystemError, as the
// interpreter's own calls do (PyObject_Vectorcall checks both itself).
#pragma once
#include "runtime/python.h"
#include "runtime/ref.h"

namespace runtime {

/// Through the type's call slot.
PyObject* call_object(PyObject* callable, PyObject* args, PyObject* kwargs);
/// The METH_O entry of a built-in or native function with `arg`, and its
/// METH_NOARGS entry when `arg` is null.
PyObject* call_meth_o(PyObject* func, PyObject* arg);
/// An interpreter function (exact type) with positional arguments only.
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
/// Through the callable's vectorcall entry, which it must have.
PyObject* call_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames);
/// Through the vectorcall entry where the callable has one, else with a
/// tuple and a dictionary through its call slot, so that every callee sees
/// the same one level of the recursion guard. When building the tuple or the
/// dictionary fails, `*arguments_failed` (if given) turns true.
PyObject* call_vector(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                      bool* arguments_failed = nullptr);

/// Method calls obj.name(...) of a callable found by get_method (lookup.h),
/// where `unbound` says whether it must get obj in front.
///
/// With `arg`, or with no argument when it is null. A bound method object is
/// unpacked, so that its function is called with its self in front;
/// `callable` then holds that function.
PyObject* call_method(Ref& callable, bool unbound, PyObject* obj, PyObject* arg);
/// With keyword arguments: args[0] holds obj, then come `nargs` positional
/// values and one value for each name of `kwnames`. A callee that is not
/// unbound may use args[0] as scratch space. `*arguments_failed` as for
/// call_vector.
PyObject* call_method_keywords(PyObject* callable, bool unbound, PyObject** args, size_t nargs,
                               PyObject* kwnames, bool* arguments_failed);

}  // namespace runtime
