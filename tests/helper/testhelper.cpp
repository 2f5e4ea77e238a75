// main_testhelper: a module built beside main for the tests only (never
// installed). It links the same internals as main, with its own copy of the
// process-wide state, and reaches what Python cannot reach through main.
#include <utility>

#include "module/lines.h"
#include "notify/lines.h"
#include "runtime/ref.h"
#include "tests/helper/helpers.h"

namespace {

// SEND_LINES and MODULE_LINES: the lines of "main.py" by name, as the module
// reports them, for the tests to read instead of restating numbers.
using notify::SendLine;
constexpr std::pair<const char*, SendLine> send_lines[] = {
    {"definition", SendLine::definition}, {"log", SendLine::log},
    {"headers", SendLine::headers},       {"post", SendLine::post},
    {"post_arguments", SendLine::post_arguments}, {"dumps", SendLine::dumps},
    {"message", SendLine::message},       {"content", SendLine::content},
    {"reply", SendLine::reply},
};
using module::ModuleLine;
constexpr std::pair<const char*, ModuleLine> module_lines[] = {
    {"body", ModuleLine::body}, {"loguru", ModuleLine::loguru}, {"requests", ModuleLine::requests},
    {"json", ModuleLine::json}, {"send", ModuleLine::send},
};

template <class Line, std::size_t N>
int add_lines(PyObject* module, const char* name, const std::pair<const char*, Line> (&lines)[N])
{
    runtime::Ref dict(PyDict_New());
    if (!dict) {
        return -1;
    }
    for (const auto& [line_name, line] : lines) {
        runtime::Ref number(PyLong_FromLong(static_cast<long>(line)));
        if (!number || PyDict_SetItemString(dict.get(), line_name, number.get()) < 0) {
            return -1;
        }
    }
    return PyModule_AddObjectRef(module, name, dict.get());
}

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
    if (add_function_helpers(module) < 0 || add_runtime_helpers(module) < 0 || add_bench_helpers(module) < 0 ||
        add_capi_helpers(module) < 0 || add_lines(module, "SEND_LINES", send_lines) < 0 ||
        add_lines(module, "MODULE_LINES", module_lines) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}
