#include "runtime/lookup.h"

#include "runtime/internals.h"
#include "runtime/ref.h"
#include "runtime/state.h"

namespace runtime {

namespace {

// Records `value` (borrowed, may be null) under `stamp`. The value it
// replaces goes to `replaced`, for the caller to release once it holds what it
// returns: releasing it may run code that changes the cache again.
void remember(DictCache& cache, std::uint64_t stamp, PyObject* value, Ref& replaced)
{
    replaced = Ref(cache.dict_cached_value);
    cache.dict_cached_value = Py_XNewRef(value);
    cache.dict_version = stamp;
}

// Probes `dict` and records the value with the dictionary's stamp: a new
// reference, or null when absent. A probe that raised (a colliding key's
// __eq__) records nothing: it found no answer.
Ref dict_probe(PyObject* dict, PyObject* name, DictCache& cache, Ref& replaced)
{
    PyObject* value = PyDict_GetItemWithError(dict, name);
    if (value == nullptr && PyErr_Occurred()) {
        return Ref();
    }
    Ref found = Ref::borrow(value);
    remember(cache, dict_version_of(dict), value, replaced);
    return found;
}

}  // namespace

void confirm_global_stamps(PyObject* globals) noexcept
{
    confirm_dict_stamps(globals);
}

namespace {

// lookup_global past its cache: a probe, then the builtins.
[[gnu::noinline]] PyObject* lookup_global_probe(PyObject* dict, PyObject* name, DictCache& cache)
{
    if (cache.dict_version == dict_version_of(dict)) {
        return lookup_builtin(name);  // absent from the module when probed last
    }
    Ref replaced;
    Ref value = dict_probe(dict, name, cache, replaced);
    if (value || PyErr_Occurred()) {
        return value.release();
    }
    return lookup_builtin(name);
}

}  // namespace

PyObject* lookup_global(PyObject* globals, PyObject* name, DictCache& cache)
{
    if (cache.dict_cached_value != nullptr && cache.dict_version == dict_version_of(globals)) {
        return Py_NewRef(cache.dict_cached_value);
    }
    return lookup_global_probe(globals, name, cache);
}

namespace {

// NameError "name '...' is not defined", carrying the missing name in its
// `name` attribute as the interpreter's own does (tracebacks read it for their
// "Did you mean" hint). Where the attribute cannot be set, the error goes
// without it; where the error itself cannot be made, the allocation's
// MemoryError is raised instead.
[[gnu::cold]] void raise_name_error(PyObject* name)
{
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    SavedError error;
    PyObject* exc = error.peek();
    if (exc != nullptr && PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_NameError)) &&
        PyObject_SetAttrString(exc, "name", name) < 0) {
        PyErr_Clear();
    }
}

}  // namespace

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
    if (cache.dict_version == dict_version_of(dict)) {
        return Py_XNewRef(cache.dict_cached_value);
    }
    Ref replaced;
    return dict_probe(dict, name, cache, replaced).release();
}

void release_cache(DictCache& cache) noexcept
{
    cache.dict_version = 0;
    Py_CLEAR(cache.dict_cached_value);
}

void release_cache(ModuleAttrCache& cache) noexcept
{
    cache.dict = nullptr;
    release_cache(cache.entry);
}

PyObject* get_method(PyObject* obj, PyObject* name, bool& unbound)
{
    PyObject* method;
    unbound = object_get_method(obj, name, &method) != 0;
    return method;
}

namespace {

// get_method_cached past its cache.
[[gnu::noinline]] PyObject* get_method_probe(PyObject* obj, PyObject* name, ModuleAttrCache& cache, bool& unbound)
{
    // Only the exact module type: its attribute look-up is fixed and, for a
    // name the type does not define, gives the module dictionary's value.
    if (Py_TYPE(obj) == &PyModule_Type) {
        PyObject* dict = PyModule_GetDict(obj);
        PyObject* value = PyDict_GetItemWithError(dict, name);
        if (value != nullptr) {
            Ref found = Ref::borrow(value);
            Ref replaced;
            cache.dict = dict;
            remember(cache.entry, dict_version_of(dict), value, replaced);
            unbound = false;
            return found.release();
        }
        // A probe that raised: the module's own look-up passes the error on,
        // unless it is an AttributeError, which it takes as "not found".
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
        }
    }
    return get_method(obj, name, unbound);
}

}  // namespace

PyObject* get_method_cached(PyObject* obj, PyObject* name, ModuleAttrCache& cache, bool& unbound)
{
    if (Py_TYPE(obj) == &PyModule_Type) {
        PyObject* dict = PyModule_GetDict(obj);
        if (cache.dict == dict && cache.entry.dict_version == dict_version_of(dict)) {
            unbound = false;
            return Py_NewRef(cache.entry.dict_cached_value);
        }
    }
    return get_method_probe(obj, name, cache, unbound);
}

}  // namespace runtime
