// The compiler- and platform-specific spellings of the project, each written
// once: GCC and Clang read the first branch, MSVC the second. Everything else
// is standard C++ and the interpreter's API.
#pragma once

#if defined(__GNUC__) || defined(__clang__)

/// A function on a failure path: kept out of the hot code.
#define RUNTIME_COLD [[gnu::cold]]
/// A function that stays out of line.
#define RUNTIME_NOINLINE [[gnu::noinline]]
/// Out of line and never cloned under another name (a benchmark loop that a
/// profiler finds by its name); clang keeps the name of a noinline function.
#if defined(__clang__)
#define RUNTIME_NOT_INLINED_OR_CLONED [[gnu::noinline]]
#else
#define RUNTIME_NOT_INLINED_OR_CLONED [[gnu::noipa]]
#endif
/// A data symbol that the shared library exports (ELF and Mach-O hide
/// everything else). Windows exports only what is marked, and this mark is
/// empty there: see meson.build.
#define RUNTIME_EXPORTED_DATA __attribute__((visibility("default")))
/// Silences the deprecation of one read (an interpreter field kept on purpose).
#define RUNTIME_ALLOW_DEPRECATED_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wdeprecated-declarations\"")
#define RUNTIME_ALLOW_DEPRECATED_END _Pragma("GCC diagnostic pop")
/// A static table whose unnamed fields are zero on purpose.
#define RUNTIME_ALLOW_MISSING_FIELDS_BEGIN \
    _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmissing-field-initializers\"")
#define RUNTIME_ALLOW_MISSING_FIELDS_END _Pragma("GCC diagnostic pop")

#elif defined(_MSC_VER)

#define RUNTIME_COLD
#define RUNTIME_NOINLINE __declspec(noinline)
#define RUNTIME_NOT_INLINED_OR_CLONED __declspec(noinline)
#define RUNTIME_EXPORTED_DATA
#define RUNTIME_ALLOW_DEPRECATED_BEGIN __pragma(warning(push)) __pragma(warning(disable : 4996))
#define RUNTIME_ALLOW_DEPRECATED_END __pragma(warning(pop))
#define RUNTIME_ALLOW_MISSING_FIELDS_BEGIN
#define RUNTIME_ALLOW_MISSING_FIELDS_END

#else
#error "unknown compiler: give its spellings in runtime/platform.h"
#endif
