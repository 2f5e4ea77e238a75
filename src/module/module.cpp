// Entry point, module definition, creation and execution of the module main.
#include <cstdint>
#include <cstring>
#include <utility>

#include "function/function.h"
#include "module/imports.h"
#include "module/state.h"
#include "module/strings.h"
#include "module/version.h"
#include "notify/send.h"
#include "runtime/internals.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

using runtime::Ref;

// Set nonzero by an embedding host before execution to run the module as
// "__main__".
extern "C" {
__attribute__((visibility("default"))) int module_is_main_main = 0;
}

namespace module {

using namespace runtime;  // the shared slots this layer builds

namespace {

std::int64_t main_interpreter_id = -1;

// An import that fails leaves no owner behind: the interpreter that claimed
// the module gives the claim up again until an execution has succeeded.
void release_interpreter_claim()
{
    if (g_module == nullptr) {
        main_interpreter_id = -1;
    }
}

int check_single_interpreter()
{
    std::int64_t current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (main_interpreter_id == -1) {
        main_interpreter_id = current;
        return current == -1 ? -1 : 0;
    }
    if (main_interpreter_id == current) {
        return 0;
    }
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
}

int copy_spec_attribute(PyObject* spec, PyObject* moddict, const char* from_name, const char* to_name,
                        int allow_none)
{
    Ref value(PyObject_GetAttrString(spec, from_name));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (allow_none || value.get() != Py_None) {
        return PyDict_SetItemString(moddict, to_name, value.get());
    }
    return 0;
}

// The module object for `spec`: the one that already ran, or a new one
// carrying the import spec's attributes.
Ref create_module(PyObject* spec)
{
    if (g_module != nullptr) {
        // The import system forgets the state block of the module handed back
        // here and the exec step allocates a new one: free the old block, or
        // every re-import leaks it. Nothing reads it before the pointer is reset.
        PyMem_Free(PyModule_GetState(g_module));
        return Ref::borrow(g_module);
    }
    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) {
        return Ref();
    }
    Ref module(PyModule_NewObject(name.get()));
    name.reset();
    if (!module) {
        return Ref();
    }
    PyObject* moddict = PyModule_GetDict(module.get());
    if (moddict == nullptr) {
        return Ref();
    }
    if (copy_spec_attribute(spec, moddict, "loader", "__loader__", 1) < 0 ||
        copy_spec_attribute(spec, moddict, "origin", "__file__", 1) < 0 ||
        copy_spec_attribute(spec, moddict, "parent", "__package__", 1) < 0 ||
        copy_spec_attribute(spec, moddict, "submodule_search_locations", "__path__", 0) < 0) {
        return Ref();
    }
    return module;
}

PyObject* module_create(PyObject* spec, PyModuleDef*)
{
    if (check_single_interpreter() < 0) {
        return nullptr;
    }
    Ref module = create_module(spec);
    if (!module) {
        release_interpreter_claim();
    }
    return module.release();
}

// Replaces a process-wide slot left by an earlier, failed execution.
void store_state(PyObject*& slot, PyObject* owned)
{
    PyObject* old = slot;
    slot = owned;
    Py_XDECREF(old);
}

// Stores `value` in the module dictionary under `name`, releasing the local
// reference either way; -1 on failure.
int bind_global(PyObject* name, Ref value)
{
    return PyDict_SetItem(g_module_dict, name, value.get());
}

// A failed execution in a sub-interpreter gives back the objects that belong
// to that interpreter (the failed module's dictionary with the dependencies
// bound in it, its builtins and runtime modules) while it is still alive:
// released later, from another interpreter, they would run that interpreter's
// code after its end. The strings, tuples and code objects stay, as after any
// failed execution; the next execution replaces them.
void release_interpreter_objects()
{
    Py_CLEAR(g_module_dict);
    Py_CLEAR(g_builtins);
    Py_CLEAR(g_runtime_module);
}

// Removes the sys.modules["main"] entry a failed execution added, so that a
// later import runs again instead of finding a half-built module. The import
// system removes only the name it imported, which differs when the module is
// loaded under another name. Keeps the pending exception.
void forget_main_entry(PyObject* module)
{
    runtime::SavedError saved;
    PyObject* modules = PyImport_GetModuleDict();
    if (modules != nullptr && PyDict_GetItemString(modules, "main") == module &&
        PyDict_DelItemString(modules, "main") < 0) {
        PyErr_Clear();
    }
}

int module_exec(PyObject* module)
{
    if (g_module != nullptr) {
        if (g_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'main' has already been imported. Re-initialisation is not supported.");
        return -1;
    }

    int py_line = 1;
    int native_line = 0;
    bool entered_as_main = false;  // this execution added sys.modules["main"]
    // Records where execution failed and leaves through the failure exit.
#define FAIL_AT(line)                                           \
    do {                                                        \
        py_line = (line);                                       \
        native_line = runtime::native_lines_module + __LINE__;  \
        goto failed;                                            \
    } while (0)

    char compiled[16];
    PyOS_snprintf(compiled, sizeof compiled, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
    if (check_runtime_version(compiled, Py_GetVersion()) < 0) {
        FAIL_AT(1);
    }
    store_state(g_empty_tuple, PyTuple_New(0));
    if (g_empty_tuple == nullptr) {
        FAIL_AT(1);
    }
    store_state(g_empty_bytes, PyBytes_FromStringAndSize("", 0));
    if (g_empty_bytes == nullptr) {
        FAIL_AT(1);
    }
    if (function::native_function_register_type() < 0) {
        FAIL_AT(1);
    }
    g_module = Py_NewRef(module);
    {
        PyObject* dict = PyModule_GetDict(module);
        if (dict == nullptr) {
            FAIL_AT(1);
        }
        store_state(g_module_dict, Py_NewRef(dict));
    }
    {
        PyObject* builtins = PyImport_AddModule("builtins");
        if (builtins == nullptr) {
            FAIL_AT(1);
        }
        store_state(g_builtins, Py_NewRef(builtins));
    }
    {
        PyObject* runtime_module = PyImport_AddModule("native_runtime");
        if (runtime_module == nullptr) {
            FAIL_AT(1);
        }
        store_state(g_runtime_module, Py_NewRef(runtime_module));
    }
    if (PyObject_SetAttrString(module, "__builtins__", g_builtins) < 0) {
        FAIL_AT(1);
    }
    if (init_string_table(string_table) < 0) {
        FAIL_AT(1);
    }
    if (module_is_main_main != 0 && PyObject_SetAttr(module, name_name, name_main) < 0) {
        FAIL_AT(1);
    }
    {
        PyObject* modules = PyImport_GetModuleDict();
        if (modules == nullptr) {
            FAIL_AT(1);
        }
        if (PyDict_GetItemString(modules, "main") == nullptr) {
            if (PyDict_SetItemString(modules, "main", module) < 0) {
                FAIL_AT(1);
            }
            entered_as_main = true;
        }
    }
    if (init_constants() < 0) {
        FAIL_AT(1);
    }

    // from loguru import logger
    {
        Ref from_list(PyList_New(1));
        if (!from_list) {
            FAIL_AT(4);
        }
        PyList_SET_ITEM(from_list.get(), 0, Py_NewRef(name_logger));
        Ref loguru(import_module(name_loguru, from_list.get()));
        from_list.reset();
        if (!loguru) {
            FAIL_AT(4);
        }
        Ref logger(import_attribute(loguru.get(), name_logger));
        if (!logger) {
            FAIL_AT(4);
        }
        if (bind_global(name_logger, std::move(logger)) < 0) {
            FAIL_AT(4);
        }
    }
    // import requests
    {
        Ref requests(import_module(name_requests, nullptr));
        if (!requests || bind_global(name_requests, std::move(requests)) < 0) {
            FAIL_AT(5);
        }
    }
    // import json
    {
        Ref json(import_module(name_json, nullptr));
        if (!json || bind_global(name_json, std::move(json)) < 0) {
            FAIL_AT(6);
        }
    }
    // def send(access_token, text)
    {
        Ref send(function::native_function_make(&notify::send_method_def, 0, name_send, nullptr, name_main_2,
                                                g_module_dict, code_send));
        if (!send || bind_global(name_send, std::move(send)) < 0) {
            FAIL_AT(9);
        }
    }
    // __test__ = {}
    {
        Ref test(PyDict_New());
        if (!test || bind_global(name_test, std::move(test)) < 0) {
            FAIL_AT(1);
        }
    }
    return 0;

#undef FAIL_AT
failed:
    const bool module_recorded = g_module != nullptr;  // the failure came after step 6
    if (module_recorded) {
        if (g_module_dict != nullptr) {
            runtime::add_traceback("init main", native_line, py_line, "main.py");
        }
        if (entered_as_main) {
            forget_main_entry(module);
        }
        PyObject* failed_module = g_module;
        g_module = nullptr;
        Py_DECREF(failed_module);
    }
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        release_interpreter_objects();
    }
    runtime::stop_dict_watching();
    release_interpreter_claim();
    if (!module_recorded && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init main");
    }
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    RUNTIME_SLOT_MULTIPLE_INTERPRETERS
    RUNTIME_SLOT_GIL
    {0, nullptr},
};

PyMethodDef module_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "main", nullptr, 0, module_methods, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace module

PyMODINIT_FUNC PyInit_main()
{
    return PyModuleDef_Init(&module::module_def);
}
