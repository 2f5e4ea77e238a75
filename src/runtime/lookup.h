// Cached look-up of module globals and the attribute fast path. Each look-up
// site keeps a DictCache: the dictionary's version stamp after the last probe
// and the value found then. Where dictionaries have no version stamps
// (internals.h), the cache never hits and every look-up probes. The sites'
// caches belong to the layer that owns the site.
//
// A cache owns nothing, so a rebound global's old value goes as soon as its
// last holder lets go, as with an interpreted function. Its value is read
// only while its stamp is the dictionary's current one: the dictionary is
// unchanged since the probe, and still holds the value.
#pragma once
#include <cstdint>

#include "runtime/python.h"

namespace runtime {

struct DictCache {
    std::uint64_t dict_version = 0;  ///< 0 matches no dictionary, so the first use probes
    PyObject* dict_cached_value = nullptr;  ///< borrowed; null when the name was absent
};

/// Global `name` of `globals` (a module dictionary, which the caller keeps
/// alive), falling back to the builtins: a new reference, or null with
/// NameError (or the dictionary's own error) set. A cache may serve sites of
/// several dictionaries: stamps are unique across dictionaries.
PyObject* lookup_global(PyObject* globals, PyObject* name, DictCache& cache);
/// Attribute through the type's own slot: a new reference, or null.
PyObject* get_attr(PyObject* obj, PyObject* name);
/// Value of `name` in `dict` (a new reference), or null when absent or when
/// the probe raised (then with the error set; nothing is cached).
PyObject* dict_lookup_if_modified(PyObject* dict, PyObject* name, DictCache& cache);

}  // namespace runtime
