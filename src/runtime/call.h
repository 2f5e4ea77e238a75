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
/// callable(arg), callable(arg1, arg2), callable(): any callable, on the
/// shortest road its type has.
PyObject* call_one_arg(PyObject* callable, PyObject* arg);
PyObject* call_two_args(PyObject* callable, PyObject* arg1, PyObject* arg2);
PyObject* call_no_args(PyObject* callable);

/// A vector call: `args` holds the positional values, then one value for each
/// name of `kwnames` (a tuple of keyword names, or null for none); `nargsf` is
/// the positional count, with PY_VECTORCALL_ARGUMENTS_OFFSET when args[-1]
/// may be used by the callee as scratch space. Through the callable's
/// vectorcall entry where it has one, else with a tuple and a dictionary
/// through its call slot, so that every callee sees the same one level of
/// the recursion guard. When building the tuple or the dictionary fails,
/// `*arguments_failed` (if given) turns true.
PyObject* call_vector(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                      bool* arguments_failed = nullptr);

/// obj.name(...) as the interpreter makes a method call: args[0] holds obj,
/// then come `nargs` positional values and one value for each name of
/// `kwnames` (or null). A function of obj's type gets obj in front, with no
/// bound method made.
PyObject* call_method_named(PyObject* name, PyObject* const* args, size_t nargs, PyObject* kwnames);

/// A method call obj.name(arg), or obj.name() when `arg` is null, of the
/// attribute `callable` (get_attr). A bound method object is unpacked, so
/// that its function is called with its self in front; `callable` then holds
/// that function.
PyObject* call_method(Ref& callable, PyObject* arg);

}  // namespace runtime
