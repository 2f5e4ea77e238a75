// main_testhelper: a module built beside main for the tests only (never
// installed). It links the same internals as main, with its own copy of the
// process-wide state, and reaches what Python cannot reach through main.
#include "tests/helper/helpers.h"

namespace {

PyModuleDef helper_def = {
    PyModuleDef_HEAD_INIT, "main_testhelper", nullptr, -1, nullptr, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_main_testhelper()
{
    PyObject* module = PyModule_Create(&helper_def);
    if (module == nullptr) {
        return nullptr;
    }
    if (add_function_helpers(module) < 0 || add_runtime_helpers(module) < 0 ||
        add_bench_helpers(module) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
