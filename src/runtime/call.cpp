#include "runtime/call.h"

#include <utility>

#include "runtime/state.h"
#include "runtime/internals.h"
#include "runtime/ref.h"

namespace runtime {

namespace {

constexpr const char* recursion_where = " while calling a Python object";

PyObject* check_result(PyObject* result)
{
    if (result == nullptr && !PyErr_Occurred()) {
        PyErr_SetString(PyExc_SystemError, "NULL result without error in PyObject_Call");
    }
    return result;
}

// The METH_FASTCALL entry of a built-in function.
PyObject* call_fastcall(PyObject* func, PyObject* const* args, Py_ssize_t count)
{
    PyMethodDef* def = builtin_method_def(func);
    PyObject* self = (def->ml_flags & METH_STATIC) ? nullptr : builtin_self(func);
    if (Py_EnterRecursiveCall(recursion_where)) {
        return nullptr;
    }
    PyObject* result;
    if (def->ml_flags & METH_KEYWORDS) {
        auto entry = reinterpret_cast<FastcallKeywordsEntry>(reinterpret_cast<void (*)(void)>(def->ml_meth));
        result = entry(self, args, count, nullptr);
    } else {
        auto entry = reinterpret_cast<FastcallEntry>(reinterpret_cast<void (*)(void)>(def->ml_meth));
        result = entry(self, args, count);
    }
    Py_LeaveRecursiveCall();
    return check_result(result);
}

// Built-in functions and native function objects share this leading field.
PyMethodDef* method_def_of(PyObject* func)
{
    return builtin_method_def(func);
}

}  // namespace

PyObject* call_object(PyObject* callable, PyObject* args, PyObject* kwargs)
{
    ternaryfunc slot = Py_TYPE(callable)->tp_call;
    if (slot == nullptr) {
        return PyObject_Call(callable, args, kwargs);
    }
    if (Py_EnterRecursiveCall(recursion_where)) {
        return nullptr;
    }
    PyObject* result = slot(callable, args, kwargs);
    Py_LeaveRecursiveCall();
    return check_result(result);
}

PyObject* call_meth_o(PyObject* func, PyObject* arg)
{
    PyMethodDef* def = method_def_of(func);
    PyObject* self = (def->ml_flags & METH_STATIC) ? nullptr : builtin_self(func);
    if (Py_EnterRecursiveCall(recursion_where)) {
        return nullptr;
    }
    PyObject* result = def->ml_meth(self, arg);
    Py_LeaveRecursiveCall();
    return check_result(result);
}

PyObject* call_function_fast(PyObject* func, PyObject* const* args, Py_ssize_t count)
{
    if (Py_EnterRecursiveCall(recursion_where)) {
        return nullptr;
    }
    // The interpreter's own vectorcall entry of a def runs it on a fresh frame
    // with the arguments in place, defaults filled in as needed; it checks
    // the result itself.
    PyObject* result = PyObject_Vectorcall(func, args, static_cast<size_t>(count), nullptr);
    Py_LeaveRecursiveCall();
    return result;
}

PyObject* call_one_arg(PyObject* callable, PyObject* arg)
{
    PyTypeObject* type = Py_TYPE(callable);
    if (type == &PyFunction_Type) {
        return call_function_fast(callable, &arg, 1);
    }
    if (type == &PyCFunction_Type) {
        int flags = method_def_of(callable)->ml_flags;
        if (flags & METH_O) {
            return call_meth_o(callable, arg);
        }
        if (flags & METH_FASTCALL) {
            return call_fastcall(callable, &arg, 1);
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
        (method_def_of(callable)->ml_flags & ~(METH_CLASS | METH_STATIC | METH_COEXIST | METH_KEYWORDS)) ==
            METH_FASTCALL) {
        return call_fastcall(callable, array, 2);
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
    if (type == &PyCFunction_Type && (method_def_of(callable)->ml_flags & METH_NOARGS)) {
        return call_meth_o(callable, nullptr);
    }
    return call_object(callable, g_state.empty_tuple, nullptr);
}

bool has_vectorcall(PyObject* callable)
{
    return vectorcall_entry(callable) != nullptr;
}

PyObject* call_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames)
{
    vectorcallfunc entry = vectorcall_entry(callable);
    if (Py_EnterRecursiveCall(recursion_where)) {
        return nullptr;
    }
    PyObject* result = entry(callable, args, nargsf, kwnames);
    Py_LeaveRecursiveCall();
    return check_result(result);
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
    if (has_vectorcall(callable)) {
        return call_vectorcall(callable, args, nargsf, kwnames);
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

PyObject* call_method(Ref& callable, bool unbound, PyObject* obj, PyObject* arg)
{
    if (unbound) {
        PyObject* args[2] = {obj, arg};
        return call_vector(callable.get(), args, arg != nullptr ? 2 : 1, nullptr);
    }
    PyObject* method = callable.get();
    if (Py_TYPE(method) == &PyMethod_Type && PyMethod_GET_SELF(method) != nullptr) {
        Ref self = Ref::borrow(PyMethod_GET_SELF(method));
        callable = Ref::borrow(PyMethod_GET_FUNCTION(method));
        return arg != nullptr ? call_two_args(callable.get(), self.get(), arg)
                              : call_one_arg(callable.get(), self.get());
    }
    return arg != nullptr ? call_one_arg(method, arg) : call_no_args(method);
}

PyObject* call_method_keywords(PyObject* callable, bool unbound, PyObject** args, size_t nargs,
                               PyObject* kwnames, bool* arguments_failed)
{
    if (unbound) {
        return call_vector(callable, args, nargs + 1, kwnames, arguments_failed);
    }
    return call_vector(callable, args + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames, arguments_failed);
}

}  // namespace runtime
