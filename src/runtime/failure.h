// The one failure path of the module's native code. A function that can fail
// records where with fail_at() and returns its failed result; the function
// that owns the traceback then adds one entry for the failure:
//
//     if (!value) {
//         return fail_at(failure, Line::assignment);   // an enum of source lines
//     }
//     ...
//     add_traceback("module.function", failure, "module.py", globals);
#pragma once
#include <source_location>

#include "runtime/platform.h"
#include "runtime/python.h"
#include "runtime/ref.h"

namespace runtime {

/// How far apart the native-line bases of the source files are: a file whose
/// failure sites use base N * native_lines_step ends with
///     static_assert(__LINE__ < runtime::native_lines_step, ...);
/// so that the numbers of its sites never meet the next file's.
inline constexpr int native_lines_step = 1000;

/// Where a failure happened: the line of the Python source it reports, and
/// the failing native site: its file, and its line plus its file's base, a
/// number of its own among all sites (the key of its traceback entry's code
/// object while native lines are shown).
struct Failure {
    int native_base = 0;
    int py_line = 0;
    int native_line = 0;
    const char* native_file = nullptr;  ///< as the compiler names it
};

/// What fail_at returns: the failed result of either kind of function, a
/// null Ref or the status -1.
struct Failed {
    operator Ref() const noexcept { return Ref(); }
    constexpr operator int() const noexcept { return -1; }
};

/// Records a failure at `line` (a line enum of the Python source) of the
/// calling site.
template <class Line>
RUNTIME_COLD Failed fail_at(Failure& failure, Line line,
                             std::source_location site = std::source_location::current()) noexcept
{
    failure.py_line = static_cast<int>(line);
    failure.native_line = failure.native_base + static_cast<int>(site.line());
    failure.native_file = site.file_name();
    return {};
}

}  // namespace runtime
