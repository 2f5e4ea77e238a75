// Entry point, module definition, creation and execution of the module main.
#include <cstdint>
#include <cstring>
#include <utility>

#include "function/function.h"
#include "module/imports.h"
#include "module/lines.h"
#include "module/state.h"
#include "module/version.h"
#include "notify/lines.h"
#include "notify/send.h"
#include "notify/state.h"
#include "runtime/failure.h"
#include "runtime/internals.h"
#include "runtime/platform.h"
#include "runtime/ref.h"
#include "runtime/state.h"
#include "runtime/strings.h"
#include "runtime/traceback.h"

using runtime::Ref;

// Set nonzero by an embedding host before execution to run the module as
// "__main__".
extern "C" {
RUNTIME_EXPORTED_DATA int module_is_main_main = 0;
}

namespace module {

State g_state;

namespace {

using runtime::fail_at;
using runtime::Failure;

// The first native line of this file's failure sites (runtime/failure.h).
constexpr int native_lines_base = 0 * runtime::native_lines_step;

// The value under `key` in `dict` (borrowed), or null; an error of the probe
// (a colliding key's __eq__) is dropped, as sys.modules look-ups do.
PyObject* lookup_quietly(PyObject* dict, PyObject* key)
{
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) {
        PyErr_Clear();
    }
    return value;
}

// Claims the module for the current interpreter, or refuses another one once
// an interpreter holds the claim. `took` turns true when this call made the
// claim, so that a failure gives back only a claim it took itself.
int check_single_interpreter(bool& took)
{
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) {
        return -1;
    }
    if (g_state.main_interpreter_id == -1) {
        // The look-up caches may hold stamps of another interpreter's
        // dictionaries (one whose execution failed), and from 3.12 each
        // interpreter counts its stamps from zero: they start empty.
        notify::forget_caches();
        runtime::forget_caches();
        g_state.main_interpreter_id = current;
        took = true;
        return 0;
    }
    if (g_state.main_interpreter_id == current) {
        return 0;
    }
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
}

// An import that fails leaves no owner behind: the interpreter claim goes
// back, unless an execution succeeded before (its send may still be called).
void give_back_claim()
{
    if (g_state.phase == Phase::none && !g_state.succeeded_once) {
        g_state.main_interpreter_id = -1;
    }
}

// Returns once no other thread executes the module, waiting with the
// interpreter lock released while one does; an import made then gets what an
// import made after that execution would. The wait lets signals through, as
// the interpreter's own lock waits do: a handler that raises (Ctrl-C's
// KeyboardInterrupt) ends the import with its exception. That also frees a
// child forked while another thread executed, whose lock no thread will ever
// give back. (Windows delivers no signal into a lock wait.) An import on the
// executing thread itself comes from code the execution runs (a registry's or
// a dependency's): it would run the body again over the state being built,
// and is refused. (If the executing thread in turn waits for a thread that
// waits here, both hang, as two plain-Python modules importing each other
// from two threads would.)
int wait_for_execution_elsewhere()
{
    const unsigned long self = PyThread_get_thread_ident();
    while (g_state.phase == Phase::executing) {
        if (g_state.executing_thread == self) {
            PyErr_SetString(PyExc_ImportError,
                            "Module 'main' is already being imported: a nested import of it during its own "
                            "execution is not supported.");
            return -1;
        }
        PyLockStatus waited;
        Py_BEGIN_ALLOW_THREADS
        waited = PyThread_acquire_lock_timed(g_state.execution_lock, -1, 1);
        Py_END_ALLOW_THREADS
        if (waited == PY_LOCK_ACQUIRED) {
            PyThread_release_lock(g_state.execution_lock);
        } else if (PyErr_CheckSignals() < 0) {  // interrupted: the handlers ran, one raised
            return -1;
        }
    }
    return 0;
}

// none -> executing, on this thread; -1 with MemoryError when the first
// execution cannot make its lock.
int begin_execution()
{
    if (g_state.execution_lock == nullptr) {
        g_state.execution_lock = PyThread_allocate_lock();
        if (g_state.execution_lock == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
    }
    PyThread_acquire_lock_timed(g_state.execution_lock, -1, 0);  // free, or held a moment by a waiter
    g_state.phase = Phase::executing;
    g_state.executing_thread = PyThread_get_thread_ident();
    return 0;
}

// executing -> ready, or -> none for a failed execution, which lets go of
// the module it recorded and of the claim it took. The module goes last:
// releasing it may run code that imports the module again.
void end_execution(bool succeeded)
{
    PyObject* dropped = nullptr;
    if (succeeded) {
        g_state.phase = Phase::ready;
        g_state.succeeded_once = true;
    } else {
        g_state.phase = Phase::none;
        dropped = g_state.module;
        g_state.module = nullptr;
        give_back_claim();
    }
    g_state.executing_thread = 0;
    PyThread_release_lock(g_state.execution_lock);
    Py_XDECREF(dropped);
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

// released -> none as soon as the released module object has begun to go:
// its reference count is zero from the start of its end, when its weak
// references' callbacks run, to module_free. An import made from one of those
// callbacks must get a module of its own, not the dying one.
void forget_going_module()
{
    if (g_state.phase == Phase::released && Py_REFCNT(g_state.module) == 0) {
        g_state.phase = Phase::none;
        g_state.module = nullptr;
    }
}

// The module object for `spec`: the one that already ran, or a new one
// carrying the import spec's attributes.
Ref module_object_for(PyObject* spec)
{
    forget_going_module();
    if (g_state.module != nullptr) {
        // The import system forgets the state block of the module handed back
        // here and the exec step allocates a new one: free the old block, or
        // every re-import leaks it. Nothing reads it before the pointer is reset.
        PyMem_Free(PyModule_GetState(g_state.module));
        return Ref::borrow(g_state.module);
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

PyObject* module_create(PyObject* spec, PyModuleDef*) noexcept
{
    bool took_claim = false;
    if (wait_for_execution_elsewhere() < 0 || check_single_interpreter(took_claim) < 0) {
        return nullptr;
    }
    Ref module = module_object_for(spec);
    if (!module && took_claim) {
        give_back_claim();
    }
    return module.release();
}

// One execution of the module: the module object, its dictionary once had,
// and where it failed.
struct Execution {
    PyObject* module;          ///< borrowed from the import system
    PyObject* dict = nullptr;  ///< the module's dictionary: the globals of the body and of send
    bool entered_as_main = false;  ///< this execution added sys.modules["main"]
    Failure failure{native_lines_base};
};

// Stores `value` in the module dictionary under `name`, releasing the local
// reference either way; -1 on failure.
int bind_global(Execution& run, PyObject* name, Ref value)
{
    return PyDict_SetItem(run.dict, name, value.get());
}

// The module's own words (notify builds send's).
int build_module_strings()
{
    const runtime::StringEntry strings[] = {
        {&g_state.name_loguru, "loguru", false},
        {&g_state.name_dunder_main, "__main__", false},
        {&g_state.name_main, "main", false},
        {&g_state.name_dunder_name, "__name__", true},
        {&g_state.name_dunder_test, "__test__", false},
        {&g_state.name_register, "register", false},
    };
    return runtime::build_strings(strings);
}

// Everything the module body and send rely on, in this order: the version
// check, the runtime's empty tuple, the function-object type, the module
// object and its dictionary, the builtins and runtime modules, the strings,
// the "__main__" flag, the sys.modules entry and the constants. The strings
// and constants an earlier execution built stay; the rest is had afresh.
int set_up_runtime(Execution& run)
{
    constexpr auto line = ModuleLine::body;
    Failure& failure = run.failure;
    runtime::State& rt = runtime::g_state;
    if (check_runtime_version(PY_MAJOR_VERSION, PY_MINOR_VERSION, Py_Version) < 0) {
        return fail_at(failure, line);
    }
    Py_XSETREF(rt.empty_tuple, PyTuple_New(0));
    if (rt.empty_tuple == nullptr) {
        return fail_at(failure, line);
    }
    if (function::native_function_register_type() < 0) {
        return fail_at(failure, line);
    }
    g_state.module = Py_NewRef(run.module);
    run.dict = PyModule_GetDict(run.module);
    if (run.dict == nullptr) {
        return fail_at(failure, line);
    }
    PyObject* builtins = runtime::add_module("builtins");
    if (builtins == nullptr) {
        return fail_at(failure, line);
    }
    Py_XSETREF(rt.builtins, builtins);
    PyObject* runtime_module = runtime::add_module("native_runtime");
    if (runtime_module == nullptr) {
        return fail_at(failure, line);
    }
    Py_XSETREF(rt.runtime_module, runtime_module);
    if (PyObject_SetAttrString(run.module, "__builtins__", rt.builtins) < 0) {
        return fail_at(failure, line);
    }
    if (runtime::build_runtime_strings() < 0 || notify::build_words() < 0 || build_module_strings() < 0) {
        return fail_at(failure, line);
    }
    if (module_is_main_main != 0 &&
        PyObject_SetAttr(run.module, g_state.name_dunder_name, g_state.name_dunder_main) < 0) {
        return fail_at(failure, line);
    }
    PyObject* modules = PyImport_GetModuleDict();
    if (modules == nullptr) {
        return fail_at(failure, line);
    }
    if (lookup_quietly(modules, g_state.name_main) == nullptr) {
        if (PyDict_SetItem(modules, g_state.name_main, run.module) < 0) {
            return fail_at(failure, line);
        }
        run.entered_as_main = true;
    }
    return 0;
}

// At interpreter exit (ready -> released) the state lets go of the module
// object, so that the module and everything its globals reach go when the
// interpreter lets go of its modules, as an interpreted module's do; held
// longer, each of them would outlive that step and be taken apart entry by
// entry. send keeps working after: it holds its globals.
PyObject* release_at_exit(PyObject*, PyObject*) noexcept
{
    if (g_state.phase == Phase::ready) {
        g_state.phase = Phase::released;
        Py_DECREF(g_state.module);  // may be the last reference: see module_free
    }
    Py_RETURN_NONE;
}

PyMethodDef release_at_exit_def = {"release_main", release_at_exit, METH_NOARGS, nullptr};

// Registers release_at_exit with atexit (which loguru has imported already).
// Without it the module only costs more at exit, so a failure is dropped.
void register_release_at_exit()
{
    Ref atexit(PyImport_ImportModuleLevel("atexit", nullptr, nullptr, nullptr, 0));
    Ref callback(PyCFunction_New(&release_at_exit_def, nullptr));
    Ref done;
    if (atexit && callback) {
        done = Ref(PyObject_CallMethodOneArg(atexit.get(), g_state.name_register, callback.get()));
    }
    if (!done) {
        PyErr_Clear();
    }
}

// The module body:
//     from loguru import logger
//     import requests
//     import json
//     def send(access_token, text): ...
//     __test__ = {}
int run_module_body(Execution& run)
{
    Failure& failure = run.failure;
    const notify::State& words = notify::g_state;
    // from loguru import logger
    {
        Ref from_list(PyList_New(1));
        if (!from_list) {
            return fail_at(failure, ModuleLine::loguru);
        }
        PyList_SET_ITEM(from_list.get(), 0, Py_NewRef(words.name_logger));
        Ref loguru(import_module(g_state.name_loguru, from_list.get(), run.dict));
        from_list.reset();
        if (!loguru) {
            return fail_at(failure, ModuleLine::loguru);
        }
        Ref logger(import_attribute(loguru.get(), words.name_logger));
        if (!logger || bind_global(run, words.name_logger, std::move(logger)) < 0) {
            return fail_at(failure, ModuleLine::loguru);
        }
    }
    // import requests
    Ref requests(import_module(words.name_requests, nullptr, run.dict));
    if (!requests || bind_global(run, words.name_requests, std::move(requests)) < 0) {
        return fail_at(failure, ModuleLine::requests);
    }
    // import json
    Ref json(import_module(words.name_json, nullptr, run.dict));
    if (!json || bind_global(run, words.name_json, std::move(json)) < 0) {
        return fail_at(failure, ModuleLine::json);
    }
    // def send(access_token, text): its globals are this execution's.
    Ref send(function::native_function_make(&notify::send_method_def, 0, words.name_send, nullptr,
                                            g_state.name_main, run.dict, words.code_send));
    if (!send || bind_global(run, words.name_send, std::move(send)) < 0) {
        return fail_at(failure, ModuleLine::send);
    }
    // __test__ = {}
    Ref test(PyDict_New());
    if (!test || bind_global(run, g_state.name_dunder_test, std::move(test)) < 0) {
        return fail_at(failure, ModuleLine::body);
    }
    register_release_at_exit();
    return 0;
}

// A failed execution in a sub-interpreter gives back the objects that belong
// to that interpreter (its builtins and runtime modules) while it is still
// alive: released later, from another interpreter, they would run that
// interpreter's code after its end. The strings, tuples and code objects
// stay for the process, as after any execution; the next one uses them.
void release_interpreter_objects()
{
    Py_CLEAR(runtime::g_state.builtins);
    Py_CLEAR(runtime::g_state.runtime_module);
}

// Removes the sys.modules["main"] entry a failed execution added, so that a
// later import runs again instead of finding a half-built module. The import
// system removes only the name it imported, which differs when the module is
// loaded under another name. Keeps the pending exception.
void forget_main_entry(PyObject* module)
{
    runtime::SavedError saved;
    PyObject* modules = PyImport_GetModuleDict();
    if (modules != nullptr && lookup_quietly(modules, g_state.name_main) == module &&
        PyDict_DelItem(modules, g_state.name_main) < 0) {
        PyErr_Clear();
    }
}

// The failure exit of module execution: the traceback entry (once the module
// and its dictionary are recorded), then back to the state before execution.
RUNTIME_COLD void execution_failed(const Execution& run)
{
    const bool module_recorded = g_state.module != nullptr;
    if (module_recorded) {
        if (run.dict != nullptr) {
            runtime::add_traceback("init main", run.failure, notify::source_file, run.dict);
        }
        if (run.entered_as_main) {
            forget_main_entry(run.module);
        }
    }
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        release_interpreter_objects();
    }
    if (!module_recorded && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init main");
    }
}

int module_exec(PyObject* module) noexcept
{
    if (wait_for_execution_elsewhere() < 0) {
        return -1;
    }
    if (g_state.module != nullptr) {
        if (g_state.module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'main' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    // A module object made before the claim was given back (by another failed
    // execution) claims again here.
    bool took_claim = false;
    if (check_single_interpreter(took_claim) < 0) {
        return -1;
    }
    // Before anything that can run Python code.
    if (begin_execution() < 0) {
        if (took_claim) {
            give_back_claim();
        }
        return -1;
    }
    Execution run{module};
    const bool succeeded = set_up_runtime(run) == 0 && run_module_body(run) == 0;
    if (!succeeded) {
        execution_failed(run);
    }
    end_execution(succeeded);
    return succeeded ? 0 : -1;
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

// A module object made from this definition goes: when it is the released
// module, the state forgets it, and a later import executes afresh.
void module_free(void*) noexcept
{
    forget_going_module();
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "main", nullptr, 0, module_methods, module_slots, nullptr, nullptr, module_free,
};

}  // namespace

}  // namespace module

PyMODINIT_FUNC PyInit_main()
{
    return PyModuleDef_Init(&module::module_def);
}

static_assert(__LINE__ < runtime::native_lines_step, "failure-site numbers of this file must stay below the next base");
