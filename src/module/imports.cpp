#include "module/imports.h"

#include "runtime/lookup.h"
#include "runtime/ref.h"

namespace module {

PyObject* import_module(PyObject* name, PyObject* from_list, PyObject* globals)
{
    runtime::Ref own_list;
    if (from_list == nullptr) {
        own_list = runtime::Ref(PyList_New(0));
        if (!own_list) {
            return nullptr;
        }
        from_list = own_list.get();
    }
    runtime::Ref locals(PyDict_New());
    if (!locals) {
        return nullptr;
    }
    return PyImport_ImportModuleLevelObject(name, globals, locals.get(), from_list, 0);
}

PyObject* import_attribute(PyObject* module, PyObject* name)
{
    PyObject* value = runtime::get_attr(module, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

}  // namespace module
