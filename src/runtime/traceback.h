// Traceback entries for failures of the module's native code: each entry
// names a module function ("main.send", "init main") at a line of "main.py".
#pragma once
#include <cstdint>

#include "runtime/python.h"

namespace runtime {

// Appends one entry to the traceback of the exception being raised. Never
// fails toward the caller. `native_line` (0 for none) is shown in the entry's
// name only while native_runtime.native_line_in_traceback is true.
void add_traceback(const char* funcname, int native_line, int py_line, const char* filename);

// Native file name shown beside native lines. Native lines are source lines
// offset by file, so that every failure site has its own number: module
// execution as they are, argument binding from 1000, the send body from 2000.
inline constexpr const char* native_source_name = "main.cpp";
inline constexpr int native_lines_module = 0;
inline constexpr int native_lines_binding = 1000;
inline constexpr int native_lines_send = 2000;

// The cache of code objects, sorted by key; exposed for tests.
struct CodeCacheEntry {
    PyObject* code;    // owned
    std::int32_t key;  // Python line, or the negated native line; never 0
};
struct CodeCache {
    std::int32_t count = 0;
    std::int32_t capacity = 0;
    CodeCacheEntry* entries = nullptr;
};
extern CodeCache code_cache;

// Borrowed code object cached under `key`, or null.
PyObject* code_cache_lookup(std::int32_t key);
// Stores `code` under `key` (taking a reference); silently does nothing when
// the key is 0 or memory runs out.
void code_cache_insert(std::int32_t key, PyObject* code);

}  // namespace runtime
