// Test access to the runtime internals: call helpers, global look-up, the
// traceback code-object cache and the version check. The helper module keeps
// its own copy of the module state, set up by setup_runtime().
#include <cstdint>
#include <source_location>

#include "module/version.h"
#include "runtime/call.h"
#include "runtime/lookup.h"
#include "runtime/ref.h"
#include "runtime/state.h"
#include "runtime/strings.h"
#include "runtime/traceback.h"
#include "tests/helper/helpers.h"

namespace {

using runtime::Ref;

// One look-up site: its cache serves one name, and starts afresh when the
// tests ask for another.
runtime::DictCache lookup_cache;
PyObject* lookup_cache_name = nullptr;  // owned
// The globals of the look-ups and traceback frames (owned).
PyObject* held_globals = nullptr;

// setup_runtime(globals): builds this copy's strings and state; `globals`
// becomes the dictionary of traceback frames and of global look-ups.
PyObject* setup_runtime(PyObject*, PyObject* globals)
{
    if (!PyDict_CheckExact(globals)) {
        PyErr_SetString(PyExc_TypeError, "globals must be a dict");
        return nullptr;
    }
    runtime::State& rt = runtime::g_state;
    if (rt.empty_tuple == nullptr) {
        rt.empty_tuple = PyTuple_New(0);
        if (rt.empty_tuple == nullptr || runtime::build_runtime_strings() < 0) {
            return nullptr;
        }
        PyObject* builtins = PyImport_AddModule("builtins");
        PyObject* runtime_module = PyImport_AddModule("native_runtime");
        if (builtins == nullptr || runtime_module == nullptr) {
            return nullptr;
        }
        rt.builtins = Py_NewRef(builtins);
        rt.runtime_module = Py_NewRef(runtime_module);
    }
    Py_XSETREF(held_globals, Py_NewRef(globals));
    lookup_cache = runtime::DictCache{};
    Py_RETURN_NONE;
}

// fail_with_traceback(exc, funcname, native_line, py_line): raises exc with
// one traceback entry added by add_traceback.
PyObject* fail_with_traceback(PyObject*, PyObject* args)
{
    PyObject* exc;
    const char* funcname;
    int native_line;
    int py_line;
    if (!PyArg_ParseTuple(args, "Osii", &exc, &funcname, &native_line, &py_line)) {
        return nullptr;
    }
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    // A site of this file, numbered `native_line`.
    const runtime::Failure failure{0, py_line, native_line, std::source_location::current().file_name()};
    runtime::add_traceback(funcname, failure, "main.py", held_globals);
    return nullptr;
}

// lookup_global(name) -> (value, cached version, cached value or None)
PyObject* lookup_global(PyObject*, PyObject* name)
{
    if (!PyUnicode_CheckExact(name) || held_globals == nullptr) {
        PyErr_SetString(PyExc_TypeError, "name must be a str, after setup_runtime()");
        return nullptr;
    }
    Ref interned = Ref::borrow(name);
    PyObject* raw = interned.release();
    PyUnicode_InternInPlace(&raw);
    interned = Ref(raw);
    if (PyObject_Hash(interned.get()) == -1) {
        return nullptr;
    }
    if (interned.get() != lookup_cache_name) {
        lookup_cache = runtime::DictCache{};
        Py_XSETREF(lookup_cache_name, Py_NewRef(interned.get()));
    }
    Ref value(runtime::lookup_global(held_globals, interned.get(), lookup_cache));
    if (!value) {
        return nullptr;
    }
    PyObject* cached = lookup_cache.dict_cached_value != nullptr ? lookup_cache.dict_cached_value : Py_None;
    return Py_BuildValue("OKO", value.get(), static_cast<unsigned long long>(lookup_cache.dict_version), cached);
}

PyObject* call_object(PyObject*, PyObject* args)
{
    PyObject* callable;
    PyObject* call_args;
    PyObject* kwargs = nullptr;
    if (!PyArg_ParseTuple(args, "OO!|O", &callable, &PyTuple_Type, &call_args, &kwargs)) {
        return nullptr;
    }
    return runtime::call_object(callable, call_args, kwargs == Py_None ? nullptr : kwargs);
}

PyObject* call_one_arg(PyObject*, PyObject* args)
{
    PyObject* callable;
    PyObject* arg;
    if (!PyArg_ParseTuple(args, "OO", &callable, &arg)) {
        return nullptr;
    }
    return runtime::call_one_arg(callable, arg);
}

PyObject* call_two_args(PyObject*, PyObject* args)
{
    PyObject* callable;
    PyObject* first;
    PyObject* second;
    if (!PyArg_ParseTuple(args, "OOO", &callable, &first, &second)) {
        return nullptr;
    }
    return runtime::call_two_args(callable, first, second);
}

PyObject* call_no_args(PyObject*, PyObject* callable)
{
    return runtime::call_no_args(callable);
}

// check_version(major, minor, running): the module's version check of a
// module compiled for major.minor, `running` as in sys.hexversion.
PyObject* check_version(PyObject*, PyObject* args)
{
    int major;
    int minor;
    unsigned long running;
    if (!PyArg_ParseTuple(args, "iik", &major, &minor, &running)) {
        return nullptr;
    }
    if (module::check_runtime_version(major, minor, running) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// Callables whose entries record what they receive.
PyObject* echo_meth_o(PyObject*, PyObject* arg)
{
    return Py_BuildValue("(sO)", "O", arg);
}

PyObject* echo_varargs(PyObject*, PyObject* args)
{
    return Py_BuildValue("(sO)", "VARARGS", args);
}

PyObject* echo_fastcall(PyObject*, PyObject* const* args, Py_ssize_t count)
{
    Ref items(PyTuple_New(count));
    if (!items) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyTuple_SET_ITEM(items.get(), i, Py_NewRef(args[i]));
    }
    return Py_BuildValue("(sO)", "FASTCALL", items.get());
}

PyObject* echo_noargs(PyObject*, PyObject* arg)
{
    return Py_BuildValue("(sO)", "NOARGS", arg == nullptr ? Py_None : arg);
}

// A callable type whose call slot returns null without setting an error.
PyObject* silent_null_call(PyObject*, PyObject*, PyObject*)
{
    return nullptr;
}

PyTypeObject make_silent_null_type()
{
    PyTypeObject type{};
    Py_SET_REFCNT(reinterpret_cast<PyObject*>(&type), 1);
    type.tp_name = "main_testhelper.SilentNull";
    type.tp_basicsize = sizeof(PyObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_call = silent_null_call;
    type.tp_new = PyType_GenericNew;
    return type;
}

PyTypeObject silent_null_type = make_silent_null_type();

PyMethodDef echo_defs[] = {
    {"echo_o", echo_meth_o, METH_O, nullptr},
    {"echo_varargs", echo_varargs, METH_VARARGS, nullptr},
    {"echo_fastcall", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(echo_fastcall)),
     METH_FASTCALL, nullptr},
    {"echo_noargs", echo_noargs, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef runtime_methods[] = {
    {"setup_runtime", setup_runtime, METH_O, nullptr},
    {"fail_with_traceback", fail_with_traceback, METH_VARARGS, nullptr},
    {"lookup_global", lookup_global, METH_O, nullptr},
    {"call_object", call_object, METH_VARARGS, nullptr},
    {"call_one_arg", call_one_arg, METH_VARARGS, nullptr},
    {"call_two_args", call_two_args, METH_VARARGS, nullptr},
    {"call_no_args", call_no_args, METH_O, nullptr},
    {"check_version", check_version, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_runtime_helpers(PyObject* module)
{
    if (PyModule_AddFunctions(module, runtime_methods) < 0 || PyModule_AddFunctions(module, echo_defs) < 0) {
        return -1;
    }
    if (PyType_Ready(&silent_null_type) < 0) {
        return -1;
    }
    return PyModule_AddObjectRef(module, "SilentNull", reinterpret_cast<PyObject*>(&silent_null_type));
}
