// The import statements of the module body.
#pragma once
#include "runtime/python.h"

namespace module {

/// Absolute import of `name` from the module whose dictionary is `globals`;
/// `from_list` null for a plain import. New reference or null.
PyObject* import_module(PyObject* name, PyObject* from_list, PyObject* globals);
/// `from module import name`: new reference, or null (ImportError for a missing name).
PyObject* import_attribute(PyObject* module, PyObject* name);

}  // namespace module
