// State of the module object itself; the objects every layer shares live in
// runtime/state.h.
#pragma once
#include "runtime/python.h"
#include "runtime/state.h"

namespace module {

extern PyObject* g_module;  ///< the module object; cleared when execution fails

using runtime::g_builtins;
using runtime::g_empty_bytes;
using runtime::g_empty_tuple;
using runtime::g_module_dict;
using runtime::g_runtime_module;

}  // namespace module
