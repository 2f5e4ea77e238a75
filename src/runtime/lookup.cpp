#include "runtime/lookup.h"

#include "runtime/internals.h"
#include "runtime/platform.h"
#include "runtime/ref.h"
#include "runtime/state.h"

namespace runtime {

namespace {

// Whether `cache` holds the current stamp of `dict`, so that its value (or
// its "absent") still stands.
bool cache_is_current(const DictCache& cache, PyObject* dict) noexcept
{
    return dicts_have_versions && cache.dict_version == dict_version_of(dict);
}

// Probes `dict` and records the value with the dictionary's stamp: a new
// reference, or null when absent. A probe that raised (a colliding key's
// __eq__) records nothing: it found no answer.
Ref dict_probe(PyObject* dict, PyObject* name, DictCache& cache)
{
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && PyErr_Occurred()) {
        return Ref();
    }
    cache.dict_cached_value = value;
    cache.dict_version = dict_version_of(dict);
    return Ref::borrow(value);
}

// NameError "name '...' is not defined", carrying the missing name in its
// `name` attribute as the interpreter's own does (tracebacks read it for their
// "Did you mean" hint). Where the attribute cannot be set, the error goes
// without it; where the error itself cannot be made, the allocation's
// MemoryError is raised instead.
RUNTIME_COLD void raise_name_error(PyObject* name)
{
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    SavedError error;
    PyObject* exc = error.peek();
    if (exc != nullptr && PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_NameError)) &&
        PyObject_SetAttrString(exc, "name", name) < 0) {
        PyErr_Clear();
    }
}

// Builtin `name`: a new reference, or null with NameError set.
PyObject* lookup_builtin(PyObject* name)
{
    // None before an execution has found the builtins module (or after one
    // in a sub-interpreter failed and gave it back).
    PyObject* value = g_state.builtins != nullptr ? get_attr(g_state.builtins, name) : nullptr;
    if (value == nullptr) {
        raise_name_error(name);
    }
    return value;
}

// lookup_global past its cache: a probe, then the builtins.
RUNTIME_NOINLINE PyObject* lookup_global_probe(PyObject* dict, PyObject* name, DictCache& cache)
{
    if (cache_is_current(cache, dict)) {
        return lookup_builtin(name);  // absent from the module when probed last
    }
    Ref value = dict_probe(dict, name, cache);
    if (value || PyErr_Occurred()) {
        return value.release();
    }
    return lookup_builtin(name);
}

}  // namespace

PyObject* lookup_global(PyObject* globals, PyObject* name, DictCache& cache)
{
    if (cache.dict_cached_value != nullptr && cache_is_current(cache, globals)) {
        return Py_NewRef(cache.dict_cached_value);
    }
    return lookup_global_probe(globals, name, cache);
}

PyObject* get_attr(PyObject* obj, PyObject* name)
{
    getattrofunc slot = Py_TYPE(obj)->tp_getattro;
    if (slot != nullptr) {
        return slot(obj, name);
    }
    return PyObject_GetAttr(obj, name);
}

PyObject* dict_lookup_if_modified(PyObject* dict, PyObject* name, DictCache& cache)
{
    if (cache_is_current(cache, dict)) {
        return Py_XNewRef(cache.dict_cached_value);
    }
    return dict_probe(dict, name, cache).release();
}

}  // namespace runtime
