// send(access_token, text): the module's one public operation.
#pragma once
#include "runtime/python.h"

namespace notify {

// Method definition through which module execution binds send.
extern PyMethodDef send_method_def;

// Native entry (METH_VARARGS | METH_KEYWORDS): binds the arguments, runs the body.
PyObject* send_wrapper(PyObject* self, PyObject* args, PyObject* kwargs);
// The body with both arguments bound (borrowed).
PyObject* send_body(PyObject* self, PyObject* access_token, PyObject* text);

}  // namespace notify
