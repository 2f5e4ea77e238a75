// Process-wide objects that every layer reads: set once by module execution
// (and again only after a failed one), read-only everywhere else.
#pragma once
#include "runtime/python.h"

namespace runtime {

extern PyObject* g_module_dict;     ///< the module's dictionary: globals of send and of traceback frames
extern PyObject* g_builtins;        ///< the builtins module
extern PyObject* g_runtime_module;  ///< the shared module "native_runtime"
extern PyObject* g_empty_tuple;
extern PyObject* g_empty_bytes;
/// The function-object type in use; its records begin like a built-in
/// function's, so the call helpers may enter their method entry directly.
extern PyTypeObject* g_native_function_type;

}  // namespace runtime
