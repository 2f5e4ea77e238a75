// Traceback entries for failures of the module's native code: each entry
// names a module function ("main.send", "init main") at a line of "main.py".
#pragma once
#include <cstdint>

#include "runtime/failure.h"
#include "runtime/python.h"
#include "runtime/state.h"

namespace runtime {

/// Appends one entry to the traceback of the exception being raised. Never
/// fails toward the caller. `native_line` (0 for none) is shown in the entry's
/// name only while native_runtime.native_line_in_traceback is true.
void add_traceback(const char* funcname, int native_line, int py_line, const char* filename);
/// The entry of a failure recorded by fail_at.
[[gnu::cold]] void add_traceback(const char* funcname, const Failure& failure, const char* filename);

/// Native file name shown beside native lines.
inline constexpr const char* native_source_name = "main.cpp";

/// Borrowed code object cached under `key`, or null.
PyObject* code_cache_lookup(std::int32_t key);
/// Stores `code` under `key` (taking a reference); silently does nothing when
/// the key is 0 or memory runs out.
void code_cache_insert(std::int32_t key, PyObject* code);

}  // namespace runtime
