// Interpreter version check of module execution.
#pragma once
#include <cstddef>

namespace module {

/// Writes the "major.minor" that begins `version` (such as "3.11" of
/// "3.11.2 (main, ...)") into `out`, NUL-terminated and cut to `size`.
void major_minor_of(const char* version, char* out, std::size_t size);

/// Warns with RuntimeWarning when the running interpreter's major.minor differs
/// from `compiled`; -1 when the warning was raised as an error, else 0.
int check_runtime_version(const char* compiled, const char* running_version);

}  // namespace module
