// Interpreter version check of module execution.
#pragma once

namespace module {

/// Warns with RuntimeWarning when the running interpreter's major.minor (read
/// from `running`, a version as in PY_VERSION_HEX) differs from the one the
/// module was compiled for; -1 when the warning was raised as an error, else 0.
int check_runtime_version(int compiled_major, int compiled_minor, unsigned long running);

}  // namespace module
