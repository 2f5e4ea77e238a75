// Cached look-up of module globals and the attribute fast path. Each look-up
// site keeps a DictCache: the dictionary's version stamp after the last probe
// and the (borrowed) value found then. The sites' caches belong to the layer
// that owns the site.
#pragma once
#include <cstdint>

#include "runtime/python.h"

namespace runtime {

struct DictCache {
    std::uint64_t dict_version = 0;  ///< 0 matches no dictionary, so the first use probes
    PyObject* dict_cached_value = nullptr;
};

/// The cache of one attribute site on modules: the module dictionary probed
/// last, its stamp after the probe and the (borrowed) value found there.
struct ModuleAttrCache {
    PyObject* dict = nullptr;  ///< not owned; compared, never read through
    DictCache entry;
};

/// Module global `name` (State::module_dict), falling back to the builtins: a
/// new reference, or null with NameError (or the dictionary's own error) set.
PyObject* lookup_global(PyObject* name, DictCache& cache);
/// Builtin `name`: a new reference, or null with NameError set.
PyObject* lookup_builtin(PyObject* name);
/// Attribute through the type's own slot: a new reference, or null.
PyObject* get_attr(PyObject* obj, PyObject* name);
/// Borrowed value of `name` in `dict`, or null when absent or when the probe
/// raised (then with the error set; nothing is cached).
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
