// Every difference between the interpreters the module is built for (CPython
// 3.11 to 3.15) and every read of an interpreter structure's layout, each a
// named inline beside its version gate: this file (with internals.cpp) is the
// list a port has to check. The public API is used wherever the version has
// one.
#pragma once
#include <cstdint>
#include <cstring>

#include "runtime/python.h"

namespace runtime {

// --- dictionary version stamps -----------------------------------------------

/// A stamp of `dict` that changes on every mutation that has an effect; a
/// DictCache that holds the current stamp may reuse its value without a probe.
/// Stamps are never 0. A dictionary that cannot be watched gets a fresh stamp
/// on every read, so its caches always probe (correct, only slower).
#if PY_VERSION_HEX < 0x030E0000
// The dictionary's own version tag: deprecated from 3.12, still updated on
// every change up to 3.13, gone in 3.14.
inline std::uint64_t dict_version_of(PyObject* dict) noexcept
{
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if PY_VERSION_HEX >= 0x030C0000
#pragma GCC diagnostic pop
#endif
}
inline void stop_dict_watching() noexcept {}
inline void confirm_dict_stamps(PyObject*) noexcept {}
#else
// A dictionary watcher (public from 3.12) stamps each watched dictionary from
// one counter on every change (internals.cpp).
std::uint64_t dict_version_of(PyObject* dict) noexcept;
/// Unwatches every dictionary and gives the watcher back: for when the module
/// stops using its caches (a failed execution). Later reads watch again.
void stop_dict_watching() noexcept;
/// Checks that the stamps still move, through `dict` (a live dictionary that
/// is read with stamps): once per call of a function that reads them, before
/// its first read, with no exception pending. A watcher lost to other code is
/// dropped, and every stamp starts afresh.
void confirm_dict_stamps(PyObject* dict) noexcept;
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

// --- method look-up --------------------------------------------------------------

#if PY_VERSION_HEX >= 0x030C0000
// Still exported from 3.12 on, but declared only in the internal headers.
extern "C" int _PyObject_GetMethod(PyObject* obj, PyObject* name, PyObject** method);
#endif

/// The interpreter's own look-up for a method call obj.name(...): when the
/// type's attribute is a plain function or method descriptor that the
/// instance dictionary does not shadow, stores it (a new reference, unbound)
/// in *method and returns 1, so that it is called with obj in front.
/// Otherwise stores the attribute as getattr(obj, name) gives it (or null with
/// the error set) and returns 0. No bound-method object is made.
inline int object_get_method(PyObject* obj, PyObject* name, PyObject** method) noexcept
{
    *method = nullptr;
    return _PyObject_GetMethod(obj, name, method);
}

// --- vectorcall ------------------------------------------------------------------

/// The vectorcall entry of `callable`, or null when its type has none: what
/// PyVectorcall_Function answers, read in place instead of through a call.
inline vectorcallfunc vectorcall_entry(PyObject* callable) noexcept
{
    PyTypeObject* type = Py_TYPE(callable);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) {
        return nullptr;
    }
    vectorcallfunc entry;
    std::memcpy(&entry, reinterpret_cast<char*>(callable) + type->tp_vectorcall_offset, sizeof entry);
    return entry;
}

// --- thread state, code objects, built-in functions ----------------------------

/// sys.modules[name], made and entered when missing: a new reference, or null.
inline PyObject* add_module(const char* name) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef(name);
#else
    return Py_XNewRef(PyImport_AddModule(name));
#endif
}

/// The current thread state, or null when the thread holds none.
inline PyThreadState* thread_state_unchecked() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return PyThreadState_GetUnchecked();
#else
    return _PyThreadState_UncheckedGet();
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

/// The parts of a code object that code_new takes and the public API has no
/// getter for (borrowed).
struct CodeParts {
    PyObject* consts;
    PyObject* names;
    PyObject* linetable;
    PyObject* exceptiontable;
    int stacksize;
};
inline CodeParts code_parts(PyObject* code) noexcept
{
    auto* co = reinterpret_cast<PyCodeObject*>(code);
    return {co->co_consts, co->co_names, co->co_linetable, co->co_exceptiontable, co->co_stacksize};
}

/// The co_name of a code object (borrowed).
inline PyObject* code_name(PyObject* code) noexcept
{
    return reinterpret_cast<PyCodeObject*>(code)->co_name;
}

/// The method definition of a built-in function object (PyCFunction_Type),
/// or of a record that begins like one (the function-object type).
inline PyMethodDef* builtin_method_def(PyObject* func) noexcept
{
    return reinterpret_cast<PyCFunctionObject*>(func)->m_ml;
}

/// The self that the method entry of such an object receives.
inline PyObject* builtin_self(PyObject* func) noexcept
{
    return reinterpret_cast<PyCFunctionObject*>(func)->m_self;
}

#if PY_VERSION_HEX >= 0x030D0000
using FastcallEntry = PyCFunctionFast;
using FastcallKeywordsEntry = PyCFunctionFastWithKeywords;
#else
using FastcallEntry = _PyCFunctionFast;
using FastcallKeywordsEntry = _PyCFunctionFastWithKeywords;
#endif

// --- member tables -------------------------------------------------------------

/// A member that reads None while its field is null (no public spelling from
/// 3.12 on, where the public object member raises AttributeError instead).
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
