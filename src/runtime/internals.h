// Every difference between the interpreters the module is built for (CPython
// 3.11 to 3.15), each a named inline beside its version gate: the list a port
// has to check. The public API is used wherever the version has one; the few
// private reads that stay say why.
#pragma once
#include <cstdint>

#include "runtime/platform.h"
#include "runtime/python.h"

namespace runtime {

// --- dictionary version stamps -----------------------------------------------

#if PY_VERSION_HEX < 0x030E0000
/// Dictionaries carry a version tag: a DictCache that holds the current tag of
/// a dictionary may reuse its value without a probe.
inline constexpr bool dicts_have_versions = true;
/// The dictionary's version tag, which changes on every mutation that has an
/// effect and is unique across dictionaries; never 0. Private: the field is
/// the only such stamp these versions have (deprecated from 3.12, still
/// updated up to 3.13).
inline std::uint64_t dict_version_of(PyObject* dict) noexcept
{
    RUNTIME_ALLOW_DEPRECATED_BEGIN
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
    RUNTIME_ALLOW_DEPRECATED_END
}
#else
/// 3.14 took the tag away: cached look-ups keep their form but never hit, so
/// each one probes its dictionary (a few dozen instructions).
inline constexpr bool dicts_have_versions = false;
inline std::uint64_t dict_version_of(PyObject*) noexcept
{
    return 0;
}
#endif

// --- the pending exception -----------------------------------------------------

/// Takes the pending exception (if any) off the thread and puts it back on
/// restore(), so that interpreter calls in between run with none set.
class SavedError {
public:
    SavedError() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        exc_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&type_, &exc_, &tb_);
#endif
    }
    /// The saved exception object (borrowed), or null when none was pending.
    /// On 3.11 a pending exception may still be a bare type and value: it is
    /// made into its instance first (which can fail into a MemoryError).
    PyObject* peek() noexcept
    {
#if PY_VERSION_HEX < 0x030C0000
        if (type_ != nullptr) {
            PyErr_NormalizeException(&type_, &exc_, &tb_);
        }
#endif
        return exc_;
    }
    SavedError(const SavedError&) = delete;
    SavedError& operator=(const SavedError&) = delete;
    /// Puts the exception back, replacing any raised since; the destructor
    /// does it when this was not called.
    void restore() noexcept
    {
        if (!active_) {
            return;
        }
        active_ = false;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(exc_);
#else
        PyErr_Restore(type_, exc_, tb_);
        type_ = tb_ = nullptr;
#endif
        exc_ = nullptr;
    }
    ~SavedError() { restore(); }

private:
#if PY_VERSION_HEX < 0x030C0000
    PyObject* type_ = nullptr;
    PyObject* tb_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
    bool active_ = true;
};

// --- modules, code objects, built-in functions ----------------------------------

/// sys.modules[name], made and entered when missing: a new reference, or null.
inline PyObject* add_module(const char* name) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef(name);
#else
    return Py_XNewRef(PyImport_AddModule(name));
#endif
}

/// A code object from all its parts (the interpreter's own constructor, public
/// but unstable from 3.12).
inline PyObject* code_new(int argcount, int nlocals, int stacksize, int flags, PyObject* code, PyObject* consts,
                          PyObject* names, PyObject* varnames, PyObject* filename, PyObject* name,
                          PyObject* qualname, int firstlineno, PyObject* linetable, PyObject* exceptiontable,
                          PyObject* empty_tuple) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
    auto* made = PyUnstable_Code_NewWithPosOnlyArgs(
#else
    auto* made = PyCode_NewWithPosOnlyArgs(
#endif
        argcount, 0, 0, nlocals, stacksize, flags, code, consts, names, varnames, empty_tuple, empty_tuple,
        filename, name, qualname, firstlineno, linetable, exceptiontable);
    return reinterpret_cast<PyObject*>(made);
}

/// The entry types of METH_FASTCALL built-ins (public names from 3.13).
#if PY_VERSION_HEX >= 0x030D0000
using FastcallEntry = PyCFunctionFast;
using FastcallKeywordsEntry = PyCFunctionFastWithKeywords;
#else
using FastcallEntry = _PyCFunctionFast;
using FastcallKeywordsEntry = _PyCFunctionFastWithKeywords;
#endif

// --- member tables -------------------------------------------------------------

/// A member that reads None while its field is null. Private name from 3.12:
/// the public object member raises AttributeError instead, and a getset in
/// its place would change the descriptor the type shows for __module__.
#if PY_VERSION_HEX >= 0x030C0000
inline constexpr int member_object_or_none = _Py_T_OBJECT;
#else
inline constexpr int member_object_or_none = T_OBJECT;
#endif

}  // namespace runtime

// --- module slots --------------------------------------------------------------

// Slots the later interpreters read: sub-interpreters that share the main
// interpreter's lock may import the module (and meet its own one-interpreter
// rule), isolated ones with a lock of their own are refused by the interpreter;
// and the module needs the interpreter lock.
#if PY_VERSION_HEX >= 0x030C0000
#define RUNTIME_SLOT_MULTIPLE_INTERPRETERS {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#else
#define RUNTIME_SLOT_MULTIPLE_INTERPRETERS
#endif
#if PY_VERSION_HEX >= 0x030D0000
#define RUNTIME_SLOT_GIL {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define RUNTIME_SLOT_GIL
#endif
