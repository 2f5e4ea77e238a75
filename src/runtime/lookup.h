// Cached look-up of module globals and the attribute fast path. Each look-up
// site keeps a DictCache: the dictionary's version stamp after the last probe
// and the value found then, which the cache holds a reference to: a stamp
// that fails to move (rule-breaking native code can stop it, see
// internals.cpp) serves an old value at worst, never a freed one. The sites'
// caches belong to the layer that owns the site.
#pragma once
#include <cstdint>

#include "runtime/python.h"

namespace runtime {

struct DictCache {
    std::uint64_t dict_version = 0;  ///< 0 matches no dictionary, so the first use probes
    PyObject* dict_cached_value = nullptr;  ///< owned; null when the name was absent
};

/// The cache of one attribute site on modules: the module dictionary probed
/// last, its stamp after the probe and the value found there.
struct ModuleAttrCache {
    PyObject* dict = nullptr;  ///< not owned; compared, never read through
    DictCache entry;
};

/// Empties a cache and releases its value (the next use probes).
void release_cache(DictCache& cache) noexcept;
void release_cache(ModuleAttrCache& cache) noexcept;

/// Once per call of a function that looks up globals in `globals`, before the
/// first and with no exception pending: makes sure the stamps of its caches
/// still move.
void confirm_global_stamps(PyObject* globals) noexcept;
/// Global `name` of `globals` (a module dictionary, which the caller keeps
/// alive), falling back to the builtins: a new reference, or null with
/// NameError (or the dictionary's own error) set. A cache may serve sites of
/// several dictionaries: stamps are unique across dictionaries.
PyObject* lookup_global(PyObject* globals, PyObject* name, DictCache& cache);
/// Builtin `name`: a new reference, or null with NameError set.
PyObject* lookup_builtin(PyObject* name);
/// Attribute through the type's own slot: a new reference, or null.
PyObject* get_attr(PyObject* obj, PyObject* name);
/// Value of `name` in `dict` (a new reference), or null when absent or when
/// the probe raised (then with the error set; nothing is cached).
PyObject* dict_lookup_if_modified(PyObject* dict, PyObject* name, DictCache& cache);

/// The callable of a method call obj.name(...), found as the interpreter finds
/// it: a new reference, or null with the attribute error set. `unbound` tells
/// whether it must be called with obj in front (a plain function or method
/// descriptor of the type); otherwise it is the attribute itself.
PyObject* get_method(PyObject* obj, PyObject* name, bool& unbound);
/// The same for a site whose object is usually a module: on an object of the
/// exact module type, a value of the module dictionary is served from `cache`
/// while the dictionary is unchanged (a module attribute is never unbound).
/// Names the module dictionary lacks (a module __getattr__, an error) and
/// other objects take get_method, and nothing is cached for them. Only for
/// names that the module type itself does not define (not its dunders).
PyObject* get_method_cached(PyObject* obj, PyObject* name, ModuleAttrCache& cache, bool& unbound);

}  // namespace runtime
