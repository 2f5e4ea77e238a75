// Traceback entries for failures of native code: each entry names a function
// of the module at a line of the Python source the module stands for.
#pragma once
#include "runtime/failure.h"
#include "runtime/platform.h"
#include "runtime/python.h"

namespace runtime {

/// Appends one entry for `failure` (recorded by fail_at) to the traceback of
/// the exception being raised: function `funcname` at its Python line of
/// `filename`, in a frame whose globals are `globals` (the failing function's
/// own; no entry without them). While native_runtime.native_line_in_traceback
/// is true, the name also shows the native site ("main.send
/// (notify/send.cpp:93)"). Code objects are cached by Python line, or by the
/// site's number while sites are shown. Never fails toward the caller.
RUNTIME_COLD void add_traceback(const char* funcname, const Failure& failure, const char* filename,
                                 PyObject* globals);

}  // namespace runtime
