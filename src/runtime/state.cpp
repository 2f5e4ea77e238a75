#include "runtime/state.h"

namespace runtime {

PyObject* g_module_dict = nullptr;
PyObject* g_builtins = nullptr;
PyObject* g_runtime_module = nullptr;
PyObject* g_empty_tuple = nullptr;
PyObject* g_empty_bytes = nullptr;
PyTypeObject* g_native_function_type = nullptr;

}  // namespace runtime
