// Ref: a handle that owns one strong reference and releases it when it goes
// out of scope, so that every temporary is released on every path.
#pragma once
#include "runtime/python.h"

namespace runtime {

class Ref {
public:
    Ref() noexcept = default;
    /// Takes over a new reference (which may be null).
    explicit Ref(PyObject* owned) noexcept : ptr_(owned) {}
    /// Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* borrowed) noexcept
    {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept
    {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    /// Gives the reference away to the caller.
    PyObject* release() noexcept
    {
        PyObject* owned = ptr_;
        ptr_ = nullptr;
        return owned;
    }
    /// Stores the new reference first, then releases the old one.
    void reset(PyObject* owned = nullptr) noexcept { Py_XSETREF(ptr_, owned); }

private:
    PyObject* ptr_ = nullptr;
};

}  // namespace runtime
