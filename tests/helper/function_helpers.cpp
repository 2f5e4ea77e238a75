// Function-object helpers: make function objects over native definitions of
// every calling convention, install defaults loaders and defaults blocks, and
// reach the slots that Python cannot call directly.
#include <cstring>

#include "function/function.h"
#include "runtime/ref.h"
#include "function/state.h"
#include "tests/helper/helpers.h"

namespace {

using function::NativeFunction;
using runtime::Ref;

// Each entry point answers with a tuple naming itself and showing what it
// received, so that tests can see which road the dispatch took.
PyObject* answer_noargs(PyObject* self, PyObject* arg)
{
    return Py_BuildValue("(sOO)", "noargs", self, arg != nullptr ? Py_True : Py_False);
}

PyObject* answer_o(PyObject* self, PyObject* arg)
{
    return Py_BuildValue("(sOO)", "o", self, arg);
}

PyObject* answer_varargs(PyObject* self, PyObject* args)
{
    return Py_BuildValue("(sOO)", "varargs", self, args);
}

// kw shows as None when the call passed null.
PyObject* answer_keywords(PyObject* self, PyObject* args, PyObject* kw)
{
    return Py_BuildValue("(sOOO)", "keywords", self, args, kw != nullptr ? kw : Py_None);
}

PyCFunction as_cfunction(PyCFunctionWithKeywords meth)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(meth));
}

// The definitions that make_function can wrap, named by their ml_name.
PyMethodDef definitions[] = {
    {"noargs", answer_noargs, METH_NOARGS, nullptr},
    {"o", answer_o, METH_O, nullptr},
    {"varargs", answer_varargs, METH_VARARGS, nullptr},
    {"keywords", as_cfunction(answer_keywords), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"documented", answer_noargs, METH_NOARGS, "Answers with its own name."},
    // Bits above the four calling-convention bits do not change the road.
    {"varargs_coexist", answer_varargs, METH_VARARGS | METH_COEXIST, nullptr},
    // Flag sets that no call accepts; their entry points are never run.
    {"flags_zero", answer_varargs, 0, nullptr},
    {"keywords_alone", answer_varargs, METH_KEYWORDS, nullptr},
    {"noargs_varargs", answer_varargs, METH_NOARGS | METH_VARARGS, nullptr},
    {"o_noargs", answer_varargs, METH_O | METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// This module's own view of the shared type: main's copy once main has
// registered it, else the helper's own copy, registered here.
PyTypeObject* shared_type()
{
    if (function::g_state.native_function_type == nullptr && function::native_function_register_type() < 0) {
        return nullptr;
    }
    return function::g_state.native_function_type;
}

NativeFunction* native_arg(PyObject* func)
{
    PyTypeObject* type = shared_type();
    if (type == nullptr) {
        return nullptr;
    }
    if (Py_TYPE(func) != type) {
        PyErr_Format(PyExc_TypeError, "expected a native function, not %.200s", Py_TYPE(func)->tp_name);
        return nullptr;
    }
    return reinterpret_cast<NativeFunction*>(func);
}

// make_function(name, flags=0, qualname=name, closure=None, module="main_testhelper",
//               globals=<this module's dict>, code=None)
PyObject* make_function(PyObject* helper, PyObject* args, PyObject* kw)
{
    static const char* keywords[] = {"name", "flags", "qualname", "closure", "module", "globals", "code", nullptr};
    const char* name = nullptr;
    int flags = 0;
    PyObject* qualname = nullptr;
    PyObject* closure = nullptr;
    PyObject* module = nullptr;
    PyObject* globals = nullptr;
    PyObject* code = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kw, "s|iUOOO!O", const_cast<char**>(keywords), &name, &flags,
                                     &qualname, &closure, &module, &PyDict_Type, &globals, &code)) {
        return nullptr;
    }
    PyMethodDef* def = definitions;
    while (def->ml_name != nullptr && std::strcmp(def->ml_name, name) != 0) {
        ++def;
    }
    if (def->ml_name == nullptr) {
        PyErr_Format(PyExc_ValueError, "no native definition named %s", name);
        return nullptr;
    }
    Ref default_qualname;
    if (qualname == nullptr) {
        default_qualname = Ref(PyUnicode_FromString(name));
        if (!default_qualname) {
            return nullptr;
        }
        qualname = default_qualname.get();
    }
    Ref default_module;
    if (module == nullptr) {
        default_module = Ref(PyModule_GetNameObject(helper));
        if (!default_module) {
            return nullptr;
        }
        module = default_module.get();
    }
    if (shared_type() == nullptr) {
        return nullptr;
    }
    return function::native_function_make(def, flags, qualname, closure == Py_None ? nullptr : closure, module,
                                          globals != nullptr ? globals : PyModule_GetDict(helper),
                                          code == Py_None ? nullptr : code);
}

// Loaders: they count their calls; the failing one fails while its budget of
// failures lasts.
long g_loader_calls = 0;
long g_loader_failures_left = 0;

PyObject* loader_succeeding(PyObject*)
{
    ++g_loader_calls;
    return Py_BuildValue("((ii){si})", 1, 2, "k", 3);
}

PyObject* loader_failing(PyObject* func)
{
    if (g_loader_failures_left > 0) {
        ++g_loader_calls;
        --g_loader_failures_left;
        PyErr_SetString(PyExc_RuntimeError, "defaults loader failed");
        return nullptr;
    }
    return loader_succeeding(func);
}

PyObject* loader_malformed(PyObject*)
{
    ++g_loader_calls;
    return Py_BuildValue("(i)", 1);
}

// set_defaults_loader(func, kind, failures=0): kind is "ok", "failing" or
// "malformed"; the call counter starts again from zero.
PyObject* set_defaults_loader(PyObject*, PyObject* args)
{
    PyObject* func = nullptr;
    const char* kind = nullptr;
    long failures = 0;
    if (!PyArg_ParseTuple(args, "Os|l", &func, &kind, &failures)) {
        return nullptr;
    }
    NativeFunction* op = native_arg(func);
    if (op == nullptr) {
        return nullptr;
    }
    if (std::strcmp(kind, "ok") == 0) {
        op->defaults_loader = loader_succeeding;
    } else if (std::strcmp(kind, "failing") == 0) {
        op->defaults_loader = loader_failing;
    } else if (std::strcmp(kind, "malformed") == 0) {
        op->defaults_loader = loader_malformed;
    } else {
        PyErr_Format(PyExc_ValueError, "no loader named %s", kind);
        return nullptr;
    }
    g_loader_calls = 0;
    g_loader_failures_left = failures;
    Py_RETURN_NONE;
}

PyObject* loader_calls(PyObject*, PyObject*)
{
    return PyLong_FromLong(g_loader_calls);
}

// set_defaults_block(func, *objects): a block owning a reference to each
// object, None leaving its slot null, behind one pointer-sized tail word that
// holds no object.
PyObject* set_defaults_block(PyObject*, PyObject* args)
{
    Py_ssize_t count = PyTuple_GET_SIZE(args) - 1;
    if (count < 0) {
        PyErr_SetString(PyExc_TypeError, "set_defaults_block() needs a function");
        return nullptr;
    }
    NativeFunction* op = native_arg(PyTuple_GET_ITEM(args, 0));
    if (op == nullptr) {
        return nullptr;
    }
    if (op->defaults_block != nullptr) {
        PyErr_SetString(PyExc_ValueError, "the function has a defaults block already");
        return nullptr;
    }
    std::size_t size = static_cast<std::size_t>(count + 1) * sizeof(PyObject*);
    auto slots = static_cast<PyObject**>(PyObject_Malloc(size));
    if (slots == nullptr) {
        return PyErr_NoMemory();
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(args, i + 1);
        slots[i] = item == Py_None ? nullptr : Py_NewRef(item);
    }
    slots[count] = nullptr;
    op->defaults_block = slots;
    op->defaults_object_count = static_cast<std::int32_t>(count);
    op->defaults_block_size = size;
    Py_RETURN_NONE;
}

// clear(func): runs the type's clear slot, as the cycle collector would.
PyObject* clear(PyObject*, PyObject* func)
{
    if (native_arg(func) == nullptr) {
        return nullptr;
    }
    Py_TYPE(func)->tp_clear(func);
    Py_RETURN_NONE;
}

// native_type(): the type this module uses, registering it if nobody has.
PyObject* native_type(PyObject*, PyObject*)
{
    return Py_XNewRef(reinterpret_cast<PyObject*>(shared_type()));
}

// own_type_state(): (whether the type in use is this module's static copy,
// whether that static copy has been readied).
PyObject* own_type_state(PyObject*, PyObject*)
{
    return Py_BuildValue("(OO)", function::g_state.native_function_type == &function::NativeFunction_Type ? Py_True : Py_False,
                         (function::NativeFunction_Type.tp_flags & Py_TPFLAGS_READY) ? Py_True : Py_False);
}

// lookalike_type(kind): a static type that matches the shared type in
// instance size but differs in one thing its records or calls rely on:
// "name", "gc", "dict", "weaklist", "vectorcall" or "method_descriptor".
// Each is made and readied once, and never instantiated.
PyObject* lookalike_call(PyObject*, PyObject*, PyObject*)
{
    Py_RETURN_NONE;
}

PyObject* lookalike_type(PyObject*, PyObject* arg)
{
    static const char* const kinds[] = {"name", "gc", "dict", "weaklist", "vectorcall", "method_descriptor"};
    constexpr int count = sizeof kinds / sizeof kinds[0];
    static PyTypeObject types[count];
    const char* kind = PyUnicode_AsUTF8(arg);
    if (kind == nullptr) {
        return nullptr;
    }
    int i = 0;
    while (i < count && std::strcmp(kinds[i], kind) != 0) {
        ++i;
    }
    if (i == count) {
        return PyErr_Format(PyExc_ValueError, "no look-alike type %s", kind);
    }
    PyTypeObject* type = &types[i];
    if (type->tp_name == nullptr) {
        Py_SET_REFCNT(reinterpret_cast<PyObject*>(type), 1);
        type->tp_name = "native_function_or_method";
        type->tp_basicsize = sizeof(NativeFunction);
        type->tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
        type->tp_traverse = function::native_function_traverse;
        type->tp_clear = function::native_function_clear;
        type->tp_dealloc = function::native_function_dealloc;
        type->tp_weaklistoffset = offsetof(NativeFunction, m_weakreflist);
        type->tp_dictoffset = offsetof(NativeFunction, func_dict);
        type->tp_call = lookalike_call;
        switch (i) {
        case 0: type->tp_name = "main_testhelper.lookalike"; break;
        case 1: type->tp_flags &= ~Py_TPFLAGS_HAVE_GC; type->tp_traverse = nullptr; type->tp_clear = nullptr; break;
        case 2: type->tp_dictoffset = offsetof(NativeFunction, func_name); break;
        case 3: type->tp_weaklistoffset = offsetof(NativeFunction, func_name); break;
        case 4:
            type->tp_flags |= Py_TPFLAGS_HAVE_VECTORCALL;
            type->tp_vectorcall_offset = offsetof(NativeFunction, func_name);
            break;
        default:
            type->tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
            type->tp_descr_get = function::native_function_descr_get;
            break;
        }
        if (PyType_Ready(type) < 0) {
            type->tp_name = nullptr;
            return nullptr;
        }
    }
    return Py_NewRef(reinterpret_cast<PyObject*>(type));
}

PyMethodDef helper_methods[] = {
    {"lookalike_type", lookalike_type, METH_O, nullptr},
    {"make_function", as_cfunction(make_function), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"set_defaults_loader", set_defaults_loader, METH_VARARGS, nullptr},
    {"loader_calls", loader_calls, METH_NOARGS, nullptr},
    {"set_defaults_block", set_defaults_block, METH_VARARGS, nullptr},
    {"clear", clear, METH_O, nullptr},
    {"native_type", native_type, METH_NOARGS, nullptr},
    {"own_type_state", own_type_state, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_function_helpers(PyObject* module)
{
    if (PyModule_AddFunctions(module, helper_methods) < 0) {
        return -1;
    }
    if (PyModule_AddIntConstant(module, "NATIVE_FUNCTION_STATIC", function::NATIVE_FUNCTION_STATIC) < 0) {
        return -1;
    }
    return PyModule_AddIntConstant(module, "NATIVE_FUNCTION_SELF_ARG", function::NATIVE_FUNCTION_SELF_ARG);
}
