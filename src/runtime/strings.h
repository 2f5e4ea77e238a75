// String tables: each layer keeps the names and texts it uses in slots of its
// own state, built once from a table when the module executes, hashed, and
// kept for the process.
#pragma once
#include <span>

#include "runtime/python.h"

namespace runtime {

struct StringEntry {
    PyObject** slot;   ///< receives the string
    const char* utf8;  ///< NUL-terminated
    bool interned;     ///< an identifier (interned), or a plain str
};

/// Builds each entry of `table` whose slot is still empty: 0, or -1 with the
/// error at the first entry that failed (its slot stays empty). A string once
/// built stays for the process: a send of an earlier execution may be using
/// it, in a call that runs a later execution.
int build_strings(std::span<const StringEntry> table);

/// The runtime's own strings (State::name_native_line_in_traceback, name_co_name).
int build_runtime_strings();

}  // namespace runtime
