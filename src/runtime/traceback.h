// Traceback entries for failures of native code: each entry names a function
// of the module at a line of the Python source the module stands for.
#pragma once
#include <cstdint>

#include "runtime/failure.h"
#include "runtime/python.h"
#include "runtime/state.h"

namespace runtime {

/// Appends one entry to the traceback of the exception being raised, for a
/// frame whose globals are `globals` (the failing function's own; no entry
/// without them). Never fails toward the caller. `native_line` (0 for none)
/// is shown in the entry's name only while
/// native_runtime.native_line_in_traceback is true.
void add_traceback(const char* funcname, int native_line, int py_line, const char* filename, PyObject* globals);
/// The entry of a failure recorded by fail_at.
[[gnu::cold]] void add_traceback(const char* funcname, const Failure& failure, const char* filename,
                                 PyObject* globals);


/// Borrowed code object cached under `key`, or null.
PyObject* code_cache_lookup(std::int32_t key);
/// Stores `code` under `key` (taking a reference); silently does nothing when
/// the key is 0 or memory runs out.
void code_cache_insert(std::int32_t key, PyObject* code);

}  // namespace runtime
