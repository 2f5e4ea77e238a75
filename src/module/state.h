// The state of module execution: the module object and the words of the
// module body. Written by module creation and execution; read by later
// imports.
#pragma once
#include <cstdint>

#include "runtime/python.h"

namespace module {

struct State {
    /// The module object once execution has begun; cleared when it fails.
    /// Owned until interpreter exit (so that a re-import finds it), borrowed
    /// after, until the module object goes.
    PyObject* module = nullptr;
    bool module_owned = false;
    /// The interpreter that claimed the module, or -1 before any did.
    std::int64_t main_interpreter_id = -1;
    /// True from the first step of an execution to its end: code that the
    /// execution runs (a registry's or a dependency's) may import the module
    /// again, and such a nested import is refused.
    bool executing = false;

    // Names (interned) that only the module body uses; send's (logger,
    // requests, json, send) are notify's.
    PyObject* name_loguru = nullptr;
    PyObject* name_dunder_main = nullptr;  ///< "__main__"
    PyObject* name_main = nullptr;         ///< "main"
    PyObject* name_dunder_name = nullptr;  ///< "__name__"
    PyObject* name_dunder_test = nullptr;  ///< "__test__"
    PyObject* name_register = nullptr;     ///< "register", of atexit
};

extern State g_state;

}  // namespace module
