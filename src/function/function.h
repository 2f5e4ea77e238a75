// The module's own callable type, "native_function_or_method": a native entry
// point with the attribute set of a Python function. The type is shared by
// name with other extension modules of the process, so the record layout and
// the behaviour of every slot are a contract that must not change.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/python.h"

namespace function {

/// The call slot never takes self from the positional arguments.
inline constexpr int NATIVE_FUNCTION_STATIC = 0x01;
/// Unless NATIVE_FUNCTION_STATIC is set too, self is the first positional argument.
inline constexpr int NATIVE_FUNCTION_SELF_ARG = 0x04;

/// Computes (defaults, kwdefaults) on first read: a new 2-tuple, or null with
/// an exception set.
using DefaultsLoader = PyObject* (*)(PyObject* func);

struct NativeFunction {
    PyObject_HEAD
    // The first four fields mirror the interpreter's built-in function object.
    PyMethodDef* m_ml;           ///< not owned
    PyObject* m_self;            ///< not owned: the object itself
    PyObject* m_module;          ///< owned, may be null
    PyObject* m_weakreflist;     ///< weak-reference list head
    PyObject* func_dict;         ///< owned, lazily made
    PyObject* func_name;         ///< owned, lazily made
    PyObject* func_qualname;     ///< owned, never null while alive
    PyObject* func_doc;          ///< owned, lazily made
    PyObject* func_globals;      ///< owned, never null while alive
    PyObject* func_code;         ///< owned, may be null
    PyObject* func_closure;      ///< owned, may be null; shown as __self__
    PyObject* func_class;        ///< owned, may be null
    void* defaults_block;        ///< PyObject_Malloc'ed; owned object slots first
    std::int32_t defaults_object_count;
    std::size_t defaults_block_size;
    std::int32_t flags;
    PyObject* func_defaults;     ///< owned, may be null
    PyObject* func_kwdefaults;   ///< owned, may be null
    DefaultsLoader defaults_loader;
    PyObject* func_annotations;  ///< owned, may be null
};

static_assert(sizeof(NativeFunction) == 176, "record size is part of the shared contract");
static_assert(offsetof(NativeFunction, m_weakreflist) == 40, "weak-list offset is shared");
static_assert(offsetof(NativeFunction, func_dict) == 48, "dict offset is shared");

/// The globals of a function object of the type (borrowed): the dictionary of
/// the module execution that made it, which its calls read. Null only once
/// the object has been emptied by clearing.
inline PyObject* native_function_globals(PyObject* func) noexcept
{
    return reinterpret_cast<NativeFunction*>(func)->func_globals;
}

/// This module's static type object; used only when no other module of the
/// process has registered the type first.
extern PyTypeObject NativeFunction_Type;

/// Finds the type in use, registering this module's copy if nobody has, and
/// keeps it in g_state (state.h): 0, or -1 with an exception set and the
/// type of an earlier registration kept.
int native_function_register_type();

/// A new function object of the type in use, or null.
PyObject* native_function_make(PyMethodDef* ml, int flags, PyObject* qualname, PyObject* closure, PyObject* module,
                               PyObject* globals, PyObject* code);

/// tp_descr_get: on a class the function itself, on an instance a bound
/// method, as a def binds.
PyObject* native_function_descr_get(PyObject* func, PyObject* obj, PyObject* type) noexcept;

// Attribute and lifetime slots (attributes.cpp).
/// tp_methods: __reduce__, so that pickling saves a reference by name.
extern PyMethodDef native_function_methods[];
/// tp_members: __module__, None while unset.
extern PyMemberDef native_function_members[];
/// tp_getset: the attribute set of a Python function (and the old func_* names).
extern PyGetSetDef native_function_getsets[];
/// tp_repr: "<native function QUALNAME at ADDRESS>".
PyObject* native_function_repr(PyObject* func) noexcept;
/// tp_traverse: every object field, for the cycle collector.
int native_function_traverse(PyObject* func, visitproc visit, void* arg) noexcept;
/// tp_clear: empties every object field (the record stays consistent at each release).
int native_function_clear(PyObject* func) noexcept;
/// tp_dealloc: weak references first, then the fields, then the record.
void native_function_dealloc(PyObject* func) noexcept;

}  // namespace function
