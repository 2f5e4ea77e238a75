// send(access_token, text): the module's one public operation.
#pragma once
#include "runtime/python.h"

namespace notify {

/// Method definition through which module execution binds send.
extern PyMethodDef send_method_def;

/// Builds send's names, texts and constants (the code object among them),
/// those an earlier execution has not built: 0, or -1 with the error set.
/// Once built, each stays for the process, since a send of an earlier
/// execution may be in a call. Needs the runtime's empty tuple.
int build_words();

/// Empties send's look-up caches: the next call probes.
void forget_caches() noexcept;

/// Native entry (METH_VARARGS | METH_KEYWORDS): binds the arguments, runs the body.
PyObject* send_wrapper(PyObject* self, PyObject* args, PyObject* kwargs) noexcept;
/// The body with both arguments bound (borrowed).
PyObject* send_body(PyObject* self, PyObject* access_token, PyObject* text) noexcept;

}  // namespace notify
