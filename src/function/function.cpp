#include "function/function.h"

#include <cstring>

#include "function/state.h"
#include "runtime/internals.h"
#include "runtime/platform.h"
#include "runtime/ref.h"

namespace function {

State g_state;

namespace {

constexpr const char* shared_module_name = "_native_abi_1_0";

NativeFunction* as_native(PyObject* func) noexcept
{
    return reinterpret_cast<NativeFunction*>(func);
}

bool kw_is_empty(PyObject* kw) noexcept
{
    return kw == nullptr || (PyDict_Check(kw) && PyDict_GET_SIZE(kw) == 0);
}

// Why `found` cannot stand in for `static_type`, or null when it can. Records
// of the found type are read and written by this module's code and its by
// ours, so everything the record layout and the calls rely on must agree;
// only a native copy of this very type does (a class made by Python code is
// a heap type, whatever its instance size).
const char* shared_type_problem(PyObject* found, PyTypeObject* static_type)
{
    constexpr const char* not_a_type = "is not a type object";
    constexpr const char* wrong_size = "has the wrong size, try recompiling";
    if (!PyType_Check(found)) {
        return not_a_type;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(found);
    if (type->tp_basicsize != static_type->tp_basicsize) {
        return wrong_size;
    }
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0) {
        return not_a_type;
    }
    // The rest of the layout: the garbage-collector header and the offsets
    // that the interpreter reads in each record.
    constexpr unsigned long layout_flags = Py_TPFLAGS_HAVE_GC;
    if (type->tp_itemsize != static_type->tp_itemsize ||
        (type->tp_flags & layout_flags) != (static_type->tp_flags & layout_flags) ||
        type->tp_dictoffset != static_type->tp_dictoffset ||
        type->tp_weaklistoffset != static_type->tp_weaklistoffset) {
        return wrong_size;
    }
    // What it is and how it is called: a static type of the same name whose
    // calls take the same road.
    constexpr unsigned long call_flags = Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    if (std::strcmp(type->tp_name, static_type->tp_name) != 0 ||
        (type->tp_flags & call_flags) != (static_type->tp_flags & call_flags) ||
        type->tp_vectorcall_offset != static_type->tp_vectorcall_offset) {
        return not_a_type;
    }
    return nullptr;
}

// The item `key` of `dict` into `found` (a new reference, or null when
// absent): 0, or -1 with the error set, when the key's text cannot be made
// or the probe raised.
int dict_item(PyObject* dict, const char* key, runtime::Ref& found)
{
    runtime::Ref text(PyUnicode_FromString(key));
    if (!text) {
        return -1;
    }
    found = runtime::Ref::borrow(PyDict_GetItemWithError(dict, text.get()));
    return found || !PyErr_Occurred() ? 0 : -1;
}

// The attribute `name` of the registry module: a new reference, or null,
// with an error set only when the look-up raised; a search that failed
// (memory ran out) is no answer, and nothing is registered over what may be
// there. A plain module without a __getattr__ of its own is probed in its
// dictionary, which saves making and clearing the AttributeError of the
// usual first import.
runtime::Ref find_registered(PyObject* registry, const char* name)
{
    PyObject* dict = PyModule_CheckExact(registry) ? PyModule_GetDict(registry) : nullptr;
    if (dict != nullptr) {
        runtime::Ref module_getattr;
        if (dict_item(dict, "__getattr__", module_getattr) < 0) {
            return runtime::Ref();
        }
        if (!module_getattr) {
            runtime::Ref found;
            dict_item(dict, name, found);
            return found;
        }
    }
    return runtime::Ref(PyObject_GetAttrString(registry, name));
}

// The type's dictionary and the descriptors in it live as long as the
// process and refer to nothing but the type, their names and their C
// definitions: they cannot be part of a cycle. Untracked, the collector
// passes them by (at exit it would visit them on each of its passes).
void untrack_type_dict(PyTypeObject* type) noexcept
{
    PyObject* dict = type->tp_dict;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (PyObject_GC_IsTracked(value)) {
            PyObject_GC_UnTrack(value);
        }
    }
    PyObject_GC_UnTrack(dict);
}

// The type registered under "_native_abi_1_0", registering `static_type`
// there first if nothing is: a new reference, or null with an exception.
PyObject* fetch_shared_type(PyTypeObject* static_type)
{
    runtime::Ref shared(runtime::add_module(shared_module_name));
    if (!shared) {
        return nullptr;
    }
    runtime::Ref found = find_registered(shared.get(), static_type->tp_name);
    if (found) {
        if (const char* problem = shared_type_problem(found.get(), static_type)) {
            PyErr_Format(PyExc_TypeError, "Shared native type %.200s %s", static_type->tp_name, problem);
            return nullptr;
        }
        return found.release();
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return nullptr;
        }
        PyErr_Clear();
    }
    if (PyType_Ready(static_type) < 0) {
        return nullptr;
    }
    untrack_type_dict(static_type);
    if (PyObject_SetAttrString(shared.get(), static_type->tp_name, reinterpret_cast<PyObject*>(static_type)) < 0) {
        return nullptr;
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(static_type));
}

// A call with `self`: runs the method definition's entry in the calling
// convention its flags name, with the interpreter's errors for arguments
// that convention cannot take.
PyObject* native_function_call_method(PyObject* func, PyObject* self, PyObject* args, PyObject* kw) noexcept
{
    PyMethodDef* def = as_native(func)->m_ml;
    PyCFunction meth = def->ml_meth;
    switch (def->ml_flags & 0xF) {
    case METH_VARARGS:
        if (kw_is_empty(kw)) {
            return meth(self, args);
        }
        break;
    case METH_VARARGS | METH_KEYWORDS:
        return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)(void)>(meth))(self, args, kw);
    case METH_NOARGS:
        if (kw_is_empty(kw)) {
            Py_ssize_t size = PyTuple_GET_SIZE(args);
            if (size == 0) {
                return meth(self, nullptr);
            }
            PyErr_Format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", def->ml_name, size);
            return nullptr;
        }
        break;
    case METH_O:
        if (kw_is_empty(kw)) {
            Py_ssize_t size = PyTuple_GET_SIZE(args);
            if (size == 1) {
                return meth(self, PyTuple_GET_ITEM(args, 0));
            }
            PyErr_Format(PyExc_TypeError, "%.200s() takes exactly one argument (%zd given)", def->ml_name, size);
            return nullptr;
        }
        break;
    default:
        PyErr_SetString(PyExc_SystemError,
                        "Bad call flags in native_function_call. METH_OLDARGS is no longer supported!");
        return nullptr;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", def->ml_name);
    return nullptr;
}

// A call with the object's own m_self as self.
PyObject* native_function_call(PyObject* func, PyObject* args, PyObject* kw) noexcept
{
    return native_function_call_method(func, as_native(func)->m_self, args, kw);
}

// tp_call: the call from Python. With NATIVE_FUNCTION_SELF_ARG (and not
// NATIVE_FUNCTION_STATIC) self is the first positional argument; otherwise
// it is the object's own m_self.
PyObject* native_function_call_as_method(PyObject* func, PyObject* args, PyObject* kw) noexcept
{
    int flags = as_native(func)->flags & (NATIVE_FUNCTION_SELF_ARG | NATIVE_FUNCTION_STATIC);
    if (flags == NATIVE_FUNCTION_SELF_ARG) {
        runtime::Ref new_args(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
        if (!new_args) {
            return nullptr;
        }
        PyObject* self = PyTuple_GetItem(args, 0);
        if (self == nullptr) {
            return nullptr;
        }
        return native_function_call_method(func, self, new_args.get(), kw);
    }
    return native_function_call(func, args, kw);
}

}  // namespace

// Fields not named here are zero; the type's reference count starts at one
// and is never given back, as for every static type.
RUNTIME_ALLOW_MISSING_FIELDS_BEGIN
PyTypeObject NativeFunction_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "native_function_or_method",
    .tp_basicsize = sizeof(NativeFunction),
    .tp_itemsize = 0,
    .tp_dealloc = native_function_dealloc,
    .tp_repr = native_function_repr,
    .tp_call = native_function_call_as_method,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = native_function_traverse,
    .tp_clear = native_function_clear,
    .tp_weaklistoffset = offsetof(NativeFunction, m_weakreflist),
    .tp_methods = native_function_methods,
    .tp_members = native_function_members,
    .tp_getset = native_function_getsets,
    .tp_descr_get = native_function_descr_get,
    .tp_dictoffset = offsetof(NativeFunction, func_dict),
};
RUNTIME_ALLOW_MISSING_FIELDS_END

int native_function_register_type()
{
    PyObject* type = fetch_shared_type(&NativeFunction_Type);
    if (type == nullptr) {
        return -1;
    }
    // The type stays for the life of the process; a registration after a
    // failed import replaces the pointer and drops the earlier reference.
    Py_XSETREF(g_state.native_function_type, reinterpret_cast<PyTypeObject*>(type));
    return 0;
}

PyObject* native_function_make(PyMethodDef* ml, int flags, PyObject* qualname, PyObject* closure, PyObject* module,
                               PyObject* globals, PyObject* code)
{
    NativeFunction* op = PyObject_GC_New(NativeFunction, g_state.native_function_type);
    if (op == nullptr) {
        return nullptr;
    }
    op->flags = flags;
    op->m_weakreflist = nullptr;
    op->m_ml = ml;
    op->m_self = reinterpret_cast<PyObject*>(op);
    op->func_closure = Py_XNewRef(closure);
    op->m_module = Py_XNewRef(module);
    op->func_dict = nullptr;
    op->func_name = nullptr;
    op->func_doc = nullptr;
    op->func_class = nullptr;
    op->func_qualname = Py_NewRef(qualname);
    op->func_globals = Py_NewRef(globals);
    op->func_code = Py_XNewRef(code);
    op->defaults_object_count = 0;
    op->defaults_block_size = 0;
    op->defaults_block = nullptr;
    op->func_defaults = nullptr;
    op->func_kwdefaults = nullptr;
    op->defaults_loader = nullptr;
    op->func_annotations = nullptr;
    PyObject_GC_Track(op);
    return reinterpret_cast<PyObject*>(op);
}

PyObject* native_function_descr_get(PyObject* func, PyObject* obj, PyObject*) noexcept
{
    if (obj == nullptr) {
        return Py_NewRef(func);
    }
    return PyMethod_New(func, obj);
}

}  // namespace function
