// The state of the function layer: the function-object type in use. Written
// by the type's registration at module execution; read by the constructor.
#pragma once
#include "runtime/python.h"

namespace function {

struct State {
    /// The type registered under "_native_abi_1_0" (this module's copy or
    /// another module's), holding one reference for the process; null until
    /// a registration succeeds.
    PyTypeObject* native_function_type = nullptr;
};

extern State g_state;

}  // namespace function
