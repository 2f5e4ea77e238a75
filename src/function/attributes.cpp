// The Python-visible face of function objects (attribute, member and method
// tables, representation) and their end of life (traversal, clearing,
// deallocation). The type may be shared with other modules, so these slots
// can serve records built elsewhere: they rely on the record layout only.
//
// Reference discipline, the one rule of every field store in this project: a
// setter takes its reference to the new value, stores it, and only then
// releases the old value (Py_XSETREF); clearing nulls a field before it
// releases what the field held (Py_CLEAR). Any release may run arbitrary code
// (a __del__, a weak-reference callback) that reads this very object, so the
// record must be consistent at every release.
#include "function/function.h"
#include "runtime/internals.h"

#include "runtime/ref.h"

namespace function {

namespace {

NativeFunction* as_native(PyObject* func) noexcept
{
    return reinterpret_cast<NativeFunction*>(func);
}

// A new reference to `value`, or to None when it is null.
PyObject* new_ref_or_none(PyObject* value) noexcept
{
    return Py_NewRef(value != nullptr ? value : Py_None);
}

PyObject** defaults_slots(NativeFunction* op) noexcept
{
    return static_cast<PyObject**>(op->defaults_block);
}

// Runs the defaults loader and stores both of its results; 0, or -1 with an
// exception set and both fields as they were.
int fill_defaults(NativeFunction* op) noexcept
{
    runtime::Ref pair(op->defaults_loader(reinterpret_cast<PyObject*>(op)));
    if (!pair) {
        return -1;
    }
    // The loader may come from another module: refuse anything but the
    // promised pair rather than read past a shorter tuple.
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_Format(PyExc_SystemError, "defaults loader of %.200s() must return a tuple of two items, not %.200s",
                     op->m_ml->ml_name, Py_TYPE(pair.get())->tp_name);
        return -1;
    }
    PyObject* new_defaults = Py_NewRef(PyTuple_GET_ITEM(pair.get(), 0));
    PyObject* new_kwdefaults = Py_NewRef(PyTuple_GET_ITEM(pair.get(), 1));
    // Both fields hold their new values before either old value goes.
    PyObject* old_defaults = op->func_defaults;
    PyObject* old_kwdefaults = op->func_kwdefaults;
    op->func_defaults = new_defaults;
    op->func_kwdefaults = new_kwdefaults;
    Py_XDECREF(old_defaults);
    Py_XDECREF(old_kwdefaults);
    return 0;
}

// The shared rule of the two defaults getters, for `field` of `op`.
PyObject* get_lazy_defaults(NativeFunction* op, PyObject* NativeFunction::*field) noexcept
{
    if (op->*field != nullptr) {
        return Py_NewRef(op->*field);
    }
    if (op->defaults_loader == nullptr) {
        Py_RETURN_NONE;
    }
    if (fill_defaults(op) < 0) {
        return nullptr;
    }
    // Releasing the old values may have run code that changed the field again.
    return new_ref_or_none(op->*field);
}

PyObject* native_function_get_doc(PyObject* func, void*) noexcept
{
    NativeFunction* op = as_native(func);
    if (op->func_doc != nullptr) {
        return Py_NewRef(op->func_doc);
    }
    if (op->m_ml->ml_doc == nullptr) {
        Py_RETURN_NONE;
    }
    PyObject* doc = PyUnicode_FromString(op->m_ml->ml_doc);
    if (doc == nullptr) {
        return nullptr;
    }
    op->func_doc = doc;  // the record keeps this reference
    return Py_NewRef(doc);
}

int native_function_set_doc(PyObject* func, PyObject* value, void*) noexcept
{
    Py_XSETREF(as_native(func)->func_doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject* native_function_get_name(PyObject* func, void*) noexcept
{
    NativeFunction* op = as_native(func);
    if (op->func_name == nullptr) {
        op->func_name = PyUnicode_InternFromString(op->m_ml->ml_name);
        if (op->func_name == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(op->func_name);
}

int native_function_set_name(PyObject* func, PyObject* value, void*) noexcept
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_native(func)->func_name, Py_NewRef(value));
    return 0;
}

// Never null on a live object; only an object already emptied by clearing
// has none, and it answers None.
PyObject* native_function_get_qualname(PyObject* func, void*) noexcept
{
    return new_ref_or_none(as_native(func)->func_qualname);
}

int native_function_set_qualname(PyObject* func, PyObject* value, void*) noexcept
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_native(func)->func_qualname, Py_NewRef(value));
    return 0;
}

// The closure object is what a bound native function reports as its self.
PyObject* native_function_get_self(PyObject* func, void*) noexcept
{
    return new_ref_or_none(as_native(func)->func_closure);
}

PyObject* native_function_get_dict(PyObject* func, void*) noexcept
{
    NativeFunction* op = as_native(func);
    if (op->func_dict == nullptr) {
        op->func_dict = PyDict_New();
        if (op->func_dict == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(op->func_dict);
}

int native_function_set_dict(PyObject* func, PyObject* value, void*) noexcept
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
        return -1;
    }
    if (!PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
        return -1;
    }
    Py_XSETREF(as_native(func)->func_dict, Py_NewRef(value));
    return 0;
}

// Like the qualified name: None only on an object emptied by clearing.
PyObject* native_function_get_globals(PyObject* func, void*) noexcept
{
    return new_ref_or_none(as_native(func)->func_globals);
}

// A native function has no cells; its closure object shows as __self__.
PyObject* native_function_get_closure(PyObject*, void*) noexcept
{
    Py_RETURN_NONE;
}

PyObject* native_function_get_code(PyObject* func, void*) noexcept
{
    return new_ref_or_none(as_native(func)->func_code);
}

PyObject* native_function_get_defaults(PyObject* func, void*) noexcept
{
    return get_lazy_defaults(as_native(func), &NativeFunction::func_defaults);
}

int native_function_set_defaults(PyObject* func, PyObject* value, void*) noexcept
{
    if (value == nullptr) {
        value = Py_None;
    }
    if (value != Py_None && !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
        return -1;
    }
    Py_XSETREF(as_native(func)->func_defaults, Py_NewRef(value));
    return 0;
}

PyObject* native_function_get_kwdefaults(PyObject* func, void*) noexcept
{
    return get_lazy_defaults(as_native(func), &NativeFunction::func_kwdefaults);
}

int native_function_set_kwdefaults(PyObject* func, PyObject* value, void*) noexcept
{
    if (value == nullptr) {
        value = Py_None;
    }
    if (value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_native(func)->func_kwdefaults, Py_NewRef(value));
    return 0;
}

PyObject* native_function_get_annotations(PyObject* func, void*) noexcept
{
    NativeFunction* op = as_native(func);
    if (op->func_annotations == nullptr) {
        op->func_annotations = PyDict_New();
        if (op->func_annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(op->func_annotations);
}

// None and deletion empty the field, so that the next read makes a new dict.
int native_function_set_annotations(PyObject* func, PyObject* value, void*) noexcept
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_native(func)->func_annotations, Py_XNewRef(value));
    return 0;
}

// Pickling saves the object as a reference to the global named by the native
// definition, in the module named by __module__.
PyObject* native_function_reduce(PyObject* func, PyObject*) noexcept
{
    return PyUnicode_FromString(as_native(func)->m_ml->ml_name);
}

}  // namespace

PyMethodDef native_function_methods[] = {
    {"__reduce__", native_function_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef native_function_members[] = {
    {"__module__", runtime::member_object_or_none, offsetof(NativeFunction, m_module), PY_WRITE_RESTRICTED, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef native_function_getsets[] = {
    {"func_doc", native_function_get_doc, native_function_set_doc, nullptr, nullptr},
    {"__doc__", native_function_get_doc, native_function_set_doc, nullptr, nullptr},
    {"func_name", native_function_get_name, native_function_set_name, nullptr, nullptr},
    {"__name__", native_function_get_name, native_function_set_name, nullptr, nullptr},
    {"__qualname__", native_function_get_qualname, native_function_set_qualname, nullptr, nullptr},
    {"__self__", native_function_get_self, nullptr, nullptr, nullptr},
    {"func_dict", native_function_get_dict, native_function_set_dict, nullptr, nullptr},
    {"__dict__", native_function_get_dict, native_function_set_dict, nullptr, nullptr},
    {"func_globals", native_function_get_globals, nullptr, nullptr, nullptr},
    {"__globals__", native_function_get_globals, nullptr, nullptr, nullptr},
    {"func_closure", native_function_get_closure, nullptr, nullptr, nullptr},
    {"__closure__", native_function_get_closure, nullptr, nullptr, nullptr},
    {"func_code", native_function_get_code, nullptr, nullptr, nullptr},
    {"__code__", native_function_get_code, nullptr, nullptr, nullptr},
    {"func_defaults", native_function_get_defaults, native_function_set_defaults, nullptr, nullptr},
    {"__defaults__", native_function_get_defaults, native_function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", native_function_get_kwdefaults, native_function_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", native_function_get_annotations, native_function_set_annotations, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyObject* native_function_repr(PyObject* func) noexcept
{
    NativeFunction* op = as_native(func);
    if (op->func_qualname == nullptr) {
        // Emptied by clearing: the native name is all that is left.
        return PyUnicode_FromFormat("<native function %s at %p>", op->m_ml->ml_name, func);
    }
    return PyUnicode_FromFormat("<native function %U at %p>", op->func_qualname, func);
}

int native_function_traverse(PyObject* func, visitproc visit, void* arg) noexcept
{
    NativeFunction* op = as_native(func);
    Py_VISIT(op->func_closure);
    Py_VISIT(op->m_module);
    Py_VISIT(op->func_dict);
    Py_VISIT(op->func_name);
    Py_VISIT(op->func_qualname);
    Py_VISIT(op->func_doc);
    Py_VISIT(op->func_globals);
    Py_VISIT(op->func_code);
    Py_VISIT(op->func_class);
    Py_VISIT(op->func_defaults);
    Py_VISIT(op->func_kwdefaults);
    Py_VISIT(op->func_annotations);
    if (op->defaults_block != nullptr) {
        for (std::int32_t i = 0; i < op->defaults_object_count; ++i) {
            Py_VISIT(defaults_slots(op)[i]);
        }
    }
    return 0;
}

int native_function_clear(PyObject* func) noexcept
{
    NativeFunction* op = as_native(func);
    Py_CLEAR(op->func_closure);
    Py_CLEAR(op->m_module);
    Py_CLEAR(op->func_dict);
    Py_CLEAR(op->func_name);
    Py_CLEAR(op->func_qualname);
    Py_CLEAR(op->func_doc);
    Py_CLEAR(op->func_globals);
    Py_CLEAR(op->func_code);
    Py_CLEAR(op->func_class);
    Py_CLEAR(op->func_defaults);
    Py_CLEAR(op->func_kwdefaults);
    Py_CLEAR(op->func_annotations);
    if (op->defaults_block != nullptr) {
        // The block and the count are read again after every release: code run
        // by a release may have cleared this object already.
        for (std::int32_t i = 0; op->defaults_block != nullptr && i < op->defaults_object_count; ++i) {
            Py_CLEAR(defaults_slots(op)[i]);
        }
        void* block = op->defaults_block;
        op->defaults_block = nullptr;
        PyObject_Free(block);
    }
    return 0;
}

// The type in use is always a static type (registration refuses a heap
// type), whose instances hold no reference to it.
void native_function_dealloc(PyObject* func) noexcept
{
    PyObject_GC_UnTrack(func);
    if (as_native(func)->m_weakreflist != nullptr) {
        // Callbacks run here, while every field is still in place.
        PyObject_ClearWeakRefs(func);
    }
    native_function_clear(func);
    PyObject_GC_Del(func);
}

}  // namespace function
