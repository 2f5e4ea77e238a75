// The state of module execution: the module's life in this process and the
// words of the module body. Written by module creation, execution, the exit
// handler and the module's end; read by later imports.
#pragma once
#include <cstdint>

#include "runtime/python.h"

namespace module {

/// The module's life in this process, one phase at a time:
///
///     none ──exec──▶ executing ──body ran──▶ ready ──interpreter exit──▶ released
///       ▲                │                                                   │
///       └─── it failed ──┘                                                   │
///       └───────────────────────── the module object went ───────────────────┘
///
/// - none: no module object; the next import creates one and executes it.
/// - executing: `module` (owned) runs its body on `executing_thread`. A nested
///   import from that thread is refused; one from another thread waits for
///   the execution to end, then goes on as an import made after it would.
/// - ready: `module` (owned) ran; every import hands it out again.
/// - released: the exit handler let go of `module`, so that it goes with the
///   interpreter's module table; it is borrowed now and still handed out
///   while it lives. Once it begins to go (its weak references' callbacks
///   run first), the phase is none again, and a later import executes afresh.
///
/// The interpreter claim (`main_interpreter_id`) is taken by the first
/// creation or execution and given back by a failed one; an execution that
/// succeeded keeps it for the process.
enum class Phase { none, executing, ready, released };

struct State {
    Phase phase = Phase::none;
    /// Null in `none`; owned in `executing` and `ready`; borrowed in `released`.
    PyObject* module = nullptr;
    /// The thread running the execution (PyThread_get_thread_ident), in `executing`.
    unsigned long executing_thread = 0;
    /// Held by that thread for the length of the execution, so that an import
    /// from another thread can wait for its end without the interpreter lock.
    /// Made by the first execution; kept for the process.
    PyThread_type_lock execution_lock = nullptr;
    /// The interpreter that claimed the module, or -1 before any did.
    std::int64_t main_interpreter_id = -1;
    /// An execution succeeded once: its send may still be called, so the
    /// claim is kept from then on.
    bool succeeded_once = false;

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
