// Placeholder: attribute tables and lifetime slots of function objects.
#include "function/function.h"

namespace function {

PyMethodDef native_function_methods[] = {{nullptr, nullptr, 0, nullptr}};
PyMemberDef native_function_members[] = {{nullptr, 0, 0, 0, nullptr}};
PyGetSetDef native_function_getsets[] = {{nullptr, nullptr, nullptr, nullptr, nullptr}};

PyObject* native_function_repr(PyObject* func)
{
    return PyUnicode_FromFormat("<native function %U at %p>",
                                reinterpret_cast<NativeFunction*>(func)->func_qualname, func);
}

int native_function_traverse(PyObject*, visitproc, void*)
{
    return 0;
}

int native_function_clear(PyObject*)
{
    return 0;
}

void native_function_dealloc(PyObject* func)
{
    PyObject_GC_UnTrack(func);
    PyObject_GC_Del(func);
}

}  // namespace function
