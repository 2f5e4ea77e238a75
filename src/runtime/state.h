// The runtime's state: what its look-ups, calls and traceback entries read.
// Written by each module execution's runtime set-up (the strings only by the
// first that gets to them); read-only everywhere else.
#pragma once
#include <cstdint>

#include "runtime/lookup.h"
#include "runtime/python.h"

namespace runtime {

/// The code objects of traceback entries, sorted by key (traceback.cpp).
struct CodeCacheEntry {
    PyObject* code;    ///< owned
    std::int32_t key;  ///< Python line, or the negated native line; never 0
};
struct CodeCache {
    std::int32_t count = 0;
    std::int32_t capacity = 0;
    CodeCacheEntry* entries = nullptr;
};

struct State {
    /// The builtins module: the fallback of the global look-up. (The globals
    /// themselves are the caller's: each function reads its own.)
    PyObject* builtins = nullptr;
    /// The shared module "native_runtime", home of the switch that shows
    /// native lines in traceback entries.
    PyObject* runtime_module = nullptr;
    PyObject* empty_tuple = nullptr;
    /// "native_line_in_traceback", interned (build_runtime_strings).
    PyObject* name_native_line_in_traceback = nullptr;
    /// "co_name", interned: a name the interpreter's type cache may keep.
    PyObject* name_co_name = nullptr;

    /// Filled by traceback entries as failures happen, kept for the process.
    CodeCache code_cache;
    /// The switch's look-up in the runtime module's dictionary.
    DictCache switch_cache;
};

/// Every object field holds one reference, kept for the process.
extern State g_state;

/// Empties the runtime's look-up caches: their next use probes.
void forget_caches() noexcept;

}  // namespace runtime
