#include "runtime/call.h"

#include <utility>

#include "runtime/internals.h"
#include "runtime/ref.h"
#include "runtime/state.h"

namespace runtime {

namespace {

// The interpreter's recursion guard around one call, entered when made and
// left when it goes; false when the depth limit was met (RecursionError set).
class RecursionGuard {
public:
    RecursionGuard() noexcept : entered_(Py_EnterRecursiveCall(" while calling a Python object") == 0) {}
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    ~RecursionGuard()
    {
        if (entered_) {
            Py_LeaveRecursiveCall();
        }
    }
    explicit operator bool() const noexcept { return entered_; }

private:
    bool entered_;
};

PyObject* check_result(PyObject* result)
{
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

// The self that the entry of built-in function `func` receives.
PyObject* self_of(PyObject* func)
{
    return (PyCFunction_GET_FLAGS(func) & METH_STATIC) ? nullptr : PyCFunction_GET_SELF(func);
}

// The METH_FASTCALL entry of a built-in function.
PyObject* call_builtin_fastcall(PyObject* func, PyObject* const* args, Py_ssize_t count)
{
    auto meth = reinterpret_cast<void (*)(void)>(PyCFunction_GET_FUNCTION(func));
    RecursionGuard guard;
    if (!guard) {
        return nullptr;
    }
    if (PyCFunction_GET_FLAGS(func) & METH_KEYWORDS) {
        return check_result(reinterpret_cast<FastcallKeywordsEntry>(meth)(self_of(func), args, count, nullptr));
    }
    return check_result(reinterpret_cast<FastcallEntry>(meth)(self_of(func), args, count));
}

// The METH_O entry of a built-in function with `arg`.
PyObject* call_builtin_o(PyObject* func, PyObject* arg)
{
    RecursionGuard guard;
    if (!guard) {
        return nullptr;
    }
    return check_result(PyCFunction_GET_FUNCTION(func)(self_of(func), arg));
}

// The METH_NOARGS entry of a built-in function.
PyObject* call_builtin_noargs(PyObject* func)
{
    RecursionGuard guard;
    if (!guard) {
        return nullptr;
    }
    return check_result(PyCFunction_GET_FUNCTION(func)(self_of(func), nullptr));
}

// An interpreter function (exact type) with positional arguments only.
PyObject* call_function_fast(PyObject* func, PyObject* const* args, Py_ssize_t count)
{
    RecursionGuard guard;
    if (!guard) {
        return nullptr;
    }
    // The interpreter's own vectorcall entry of a def runs it on a fresh frame
    // with the arguments in place, defaults filled in as needed; it checks
    // the result itself.
    return PyObject_Vectorcall(func, args, static_cast<size_t>(count), nullptr);
}

}  // namespace

PyObject* call_object(PyObject* callable, PyObject* args, PyObject* kwargs)
{
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (slot == nullptr) {
        return PyObject_Call(callable, args, kwargs);
    }
    RecursionGuard guard;
    if (!guard) {
        return nullptr;
    }
    return check_result(slot(callable, args, kwargs));
}

PyObject* call_one_arg(PyObject* callable, PyObject* arg)
{
    PyTypeObject* type = Py_TYPE(callable);
    if (type == &PyFunction_Type) {
        return call_function_fast(callable, &arg, 1);
    }
    if (type == &PyCFunction_Type) {
        int flags = PyCFunction_GET_FLAGS(callable);
        if (flags & METH_O) {
            return call_builtin_o(callable, arg);
        }
        if (flags & METH_FASTCALL) {
            return call_builtin_fastcall(callable, &arg, 1);
        }
    }
    Ref args(PyTuple_New(1));
    if (!args) {
        return nullptr;
    }
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(arg));
    return call_object(callable, args.get(), nullptr);
}

PyObject* call_two_args(PyObject* callable, PyObject* arg1, PyObject* arg2)
{
    PyObject* array[2] = {arg1, arg2};
    PyTypeObject* type = Py_TYPE(callable);
    if (type == &PyFunction_Type) {
        return call_function_fast(callable, array, 2);
    }
    if (type == &PyCFunction_Type &&
        (PyCFunction_GET_FLAGS(callable) & ~(METH_CLASS | METH_STATIC | METH_COEXIST | METH_KEYWORDS)) ==
            METH_FASTCALL) {
        return call_builtin_fastcall(callable, array, 2);
    }
    Ref args(PyTuple_New(2));
    if (!args) {
        return nullptr;
    }
    PyTuple_SET_ITEM(args.get(), 0, Py_NewRef(arg1));
    PyTuple_SET_ITEM(args.get(), 1, Py_NewRef(arg2));
    return call_object(callable, args.get(), nullptr);
}

PyObject* call_no_args(PyObject* callable)
{
    PyTypeObject* type = Py_TYPE(callable);
    if (type == &PyFunction_Type) {
        return call_function_fast(callable, nullptr, 0);
    }
    // Only the interpreter's own built-in functions: a function object of the
    // shared type decides through its call slot where its self comes from.
    if (type == &PyCFunction_Type && (PyCFunction_GET_FLAGS(callable) & METH_NOARGS)) {
        return call_builtin_noargs(callable);
    }
    return call_object(callable, g_state.empty_tuple, nullptr);
}

namespace {

// The positional tuple and keyword dictionary of a vector call, for a callee
// that has only a call slot: 0, or -1 with the error set.
int vector_as_tuple_and_dict(PyObject* const* args, size_t nargsf, PyObject* kwnames, Ref& tuple, Ref& dict)
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Ref positional(PyTuple_New(nargs));
    if (!positional) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    }
    Ref keywords;
    if (kwnames != nullptr) {
        keywords = Ref(PyDict_New());
        if (!keywords) {
            return -1;
        }
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t i = 0; i < nkw; ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                return -1;
            }
        }
    }
    tuple = std::move(positional);
    dict = std::move(keywords);
    return 0;
}

}  // namespace

PyObject* call_vector(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                      bool* arguments_failed)
{
    if (vectorcallfunc entry = PyVectorcall_Function(callable)) {
        RecursionGuard guard;
        if (!guard) {
            return nullptr;
        }
        return check_result(entry(callable, args, nargsf, kwnames));
    }
    Ref tuple;
    Ref dict;
    if (vector_as_tuple_and_dict(args, nargsf, kwnames, tuple, dict) < 0) {
        if (arguments_failed != nullptr) {
            *arguments_failed = true;
        }
        return nullptr;
    }
    return call_object(callable, tuple.get(), dict.get());
}

PyObject* call_method_named(PyObject* name, PyObject* const* args, size_t nargs, PyObject* kwnames)
{
    RecursionGuard guard;
    if (!guard) {
        return nullptr;
    }
    return PyObject_VectorcallMethod(name, args, nargs + 1, kwnames);
}

PyObject* call_method(Ref& callable, PyObject* arg)
{
    PyObject* method = callable.get();
    if (Py_TYPE(method) == &PyMethod_Type && PyMethod_GET_SELF(method) != nullptr) {
        Ref self = Ref::borrow(PyMethod_GET_SELF(method));
        callable = Ref::borrow(PyMethod_GET_FUNCTION(method));
        return arg != nullptr ? call_two_args(callable.get(), self.get(), arg)
                              : call_one_arg(callable.get(), self.get());
    }
    return arg != nullptr ? call_one_arg(method, arg) : call_no_args(method);
}

}  // namespace runtime
