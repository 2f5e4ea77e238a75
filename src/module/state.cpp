#include "module/state.h"

namespace module {

PyObject* g_module = nullptr;

}  // namespace module
