// Process-wide state of the module, filled once by module execution and only
// read everywhere else.
#pragma once
#include "runtime/python.h"

namespace module {

extern PyObject* g_module;          // the module object; cleared when execution fails
extern PyObject* g_module_dict;     // its dictionary: globals of send and of traceback frames
extern PyObject* g_builtins;        // the builtins module
extern PyObject* g_runtime_module;  // the shared module "native_runtime"
extern PyObject* g_empty_tuple;
extern PyObject* g_empty_bytes;

}  // namespace module
