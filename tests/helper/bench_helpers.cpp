// Loops for the benchmark (bench/send_bench.py). The calls to count run in
// the two functions measured_calls and measured_floor, plain C names that
// callgrind can be told to collect in alone (--toggle-collect=measured_*)
// and to dump after (--dump-after= each name); noipa keeps them from being inlined or
// cloned under another name.
#include "runtime/platform.h"
#include "tests/helper/helpers.h"

// Kept out of line under their own names.
#define MEASURED RUNTIME_NOT_INLINED_OR_CLONED

namespace {

// One step of the dependency floor: a callable (or the text "format" for
// format(a, b), "str" for str(a)), its arguments, the keyword names or None.
struct Step {
    PyObject* callable;
    PyObject* const* args;
    size_t nargs;
    PyObject* kwnames;
    int kind;  // 0 call, 1 PyObject_Format, 2 PyObject_Str
};

}  // namespace

// Calls `callable` `n` times with the items of `args`, as a caller in C would.
extern "C" MEASURED int measured_calls(PyObject* callable, PyObject* args, Py_ssize_t n)
{
    PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
    size_t nargs = static_cast<size_t>(PyTuple_GET_SIZE(args));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* result = PyObject_Vectorcall(callable, items, nargs, nullptr);
        if (result == nullptr) {
            return -1;
        }
        Py_DECREF(result);
    }
    return 0;
}

// Makes exactly the dependency calls of the steps, `n` times over: what a
// send would cost if its own work were free.
extern "C" MEASURED int measured_floor(const Step* steps, Py_ssize_t count, Py_ssize_t n)
{
    for (Py_ssize_t i = 0; i < n; ++i) {
        for (Py_ssize_t s = 0; s < count; ++s) {
            const Step& step = steps[s];
            PyObject* result;
            if (step.kind == 1) {
                result = PyObject_Format(step.args[0], step.args[1]);
            } else if (step.kind == 2) {
                result = PyObject_Str(step.args[0]);
            } else {
                result = PyObject_Vectorcall(step.callable, step.args, step.nargs, step.kwnames);
            }
            if (result == nullptr) {
                return -1;
            }
            Py_DECREF(result);
        }
    }
    return 0;
}

namespace {

// call_repeatedly(callable, args, n)
PyObject* call_repeatedly(PyObject*, PyObject* args)
{
    PyObject* callable;
    PyObject* call_args;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "OO!n", &callable, &PyTuple_Type, &call_args, &n)) {
        return nullptr;
    }
    if (measured_calls(callable, call_args, n) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

// dependency_floor(steps, n): steps is a tuple of (callable, args, kwnames),
// where callable may be "format" or "str" and kwnames is a tuple or None.
PyObject* dependency_floor(PyObject*, PyObject* args)
{
    PyObject* steps_tuple;
    Py_ssize_t n;
    if (!PyArg_ParseTuple(args, "O!n", &PyTuple_Type, &steps_tuple, &n)) {
        return nullptr;
    }
    constexpr Py_ssize_t max_steps = 16;
    Py_ssize_t count = PyTuple_GET_SIZE(steps_tuple);
    if (count > max_steps) {
        PyErr_SetString(PyExc_ValueError, "too many steps");
        return nullptr;
    }
    Step steps[max_steps];
    for (Py_ssize_t s = 0; s < count; ++s) {
        PyObject* callable;
        PyObject* step_args;
        PyObject* kwnames;
        if (!PyArg_ParseTuple(PyTuple_GET_ITEM(steps_tuple, s), "OO!O", &callable, &PyTuple_Type, &step_args,
                              &kwnames)) {
            return nullptr;
        }
        Step& step = steps[s];
        step.callable = callable;
        step.args = &PyTuple_GET_ITEM(step_args, 0);
        step.kwnames = kwnames == Py_None ? nullptr : kwnames;
        Py_ssize_t nkw = step.kwnames != nullptr ? PyTuple_GET_SIZE(step.kwnames) : 0;
        step.nargs = static_cast<size_t>(PyTuple_GET_SIZE(step_args) - nkw);
        step.kind = 0;
        if (PyUnicode_Check(callable)) {
            step.kind = PyUnicode_CompareWithASCIIString(callable, "format") == 0 ? 1 : 2;
        }
    }
    // The tuples of `steps_tuple` keep every callable and argument alive.
    if (measured_floor(steps, count, n) < 0) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyMethodDef bench_methods[] = {
    {"call_repeatedly", call_repeatedly, METH_VARARGS, nullptr},
    {"dependency_floor", dependency_floor, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_bench_helpers(PyObject* module)
{
    return PyModule_AddFunctions(module, bench_methods);
}
