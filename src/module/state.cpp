#include "module/state.h"

namespace module {

PyObject* g_module = nullptr;
PyObject* g_module_dict = nullptr;
PyObject* g_builtins = nullptr;
PyObject* g_runtime_module = nullptr;
PyObject* g_empty_tuple = nullptr;
PyObject* g_empty_bytes = nullptr;

}  // namespace module
