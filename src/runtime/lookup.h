// Cached look-up of module globals and the attribute fast path. Each look-up
// site keeps a DictCache: the dictionary's version stamp after the last probe
// and the (borrowed) value found then.
#pragma once
#include <cstdint>

#include "runtime/python.h"

namespace runtime {

struct DictCache {
    std::uint64_t dict_version = 0;  // 0 matches no dictionary, so the first use probes
    PyObject* dict_cached_value = nullptr;
};

// Module global `name`, falling back to the builtins: a new reference, or
// null with NameError (or the dictionary's own error) set.
PyObject* lookup_global(PyObject* name, DictCache& cache);
// Builtin `name`: a new reference, or null with NameError set.
PyObject* lookup_builtin(PyObject* name);
// Attribute through the type's own slot: a new reference, or null.
PyObject* get_attr(PyObject* obj, PyObject* name);
// Borrowed value of `name` in `dict`, or null when absent or when the probe
// raised (then with the error set; nothing is cached).
PyObject* dict_lookup_if_modified(PyObject* dict, PyObject* name, DictCache& cache);

}  // namespace runtime
