// The few interpreter internals the runtime relies on, kept in one place so
// that a port to a later interpreter changes only this file.
#pragma once
#include <cstdint>

#include "runtime/python.h"

namespace runtime {

// Version stamp of a dictionary: changes on every mutation that has an effect.
inline std::uint64_t dict_version_of(PyObject* dict) noexcept
{
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

// Hash cached in a str object (computed when the string table was built).
inline Py_hash_t cached_hash(PyObject* str) noexcept
{
    return reinterpret_cast<PyASCIIObject*>(str)->hash;
}

// Borrowed look-up with the name's cached hash; null when absent or on error.
inline PyObject* dict_get_known_hash(PyObject* dict, PyObject* name) noexcept
{
    return _PyDict_GetItem_KnownHash(dict, name, cached_hash(name));
}

inline PyThreadState* thread_state_unchecked() noexcept
{
    return _PyThreadState_UncheckedGet();
}

inline PyObject** object_dict_slot(PyObject* obj) noexcept
{
    return _PyObject_GetDictPtr(obj);
}

}  // namespace runtime
