// Owned references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace lumetra::py {

/// An owned (strong) reference, released on destruction.
class Ref {
public:
    Ref() noexcept = default;
    /// Takes over a new reference (may be null, as returned on error).
    static Ref steal(PyObject* o) noexcept { return Ref(o); }
    /// Takes a new reference to a borrowed object.
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }

    Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ref& operator=(Ref other) noexcept {
        // `other` already holds its reference, so the old one is dropped last
        // (a finaliser run by the drop then sees this handle consistent).
        std::swap(p_, other.p_);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    /// Gives up ownership to the caller.
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    explicit Ref(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

}  // namespace lumetra::py
