// Python classes that each wrap one computing object of the core. The
// instance owns the object inline and guards it with a borrow flag: methods
// that change it take it exclusively, read-only methods share it.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "python/binding.hpp"

namespace lumetra::py {

template <class T>
struct Instance {
    PyObject_HEAD
    BorrowFlag borrow;
    bool constructed;
    alignas(T) unsigned char storage[sizeof(T)];

    T& value() noexcept { return *std::launder(reinterpret_cast<T*>(storage)); }
};

template <class T>
Instance<T>* instance(PyObject* self) noexcept {
    return reinterpret_cast<Instance<T>*>(self);
}

/// tp_dealloc for a class wrapping T.
template <class T>
void dealloc(PyObject* self) noexcept {
    Instance<T>* inst = instance<T>(self);
    PyTypeObject* type = Py_TYPE(self);
    if (inst->constructed) inst->value().~T();
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

/// A new instance of `type` holding `value`; nullptr with an exception set.
template <class T>
PyObject* create(PyTypeObject* type, T&& value) {
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    Instance<T>* inst = instance<std::remove_cvref_t<T>>(self);
    new (&inst->borrow) BorrowFlag();
    try {
        new (inst->storage) std::remove_cvref_t<T>(std::forward<T>(value));
    } catch (...) {
        Py_DECREF(self);  // tp_alloc zeroed the instance: it is released as never constructed
        throw;
    }
    inst->constructed = true;
    return self;
}

/// Runs f(const T&) under a shared borrow. Returns f's result, or nullopt
/// with RuntimeError set when the instance is exclusively borrowed.
template <class T, class F>
auto with_shared(PyObject* self, F&& f) -> std::optional<decltype(f(std::declval<const T&>()))> {
    Instance<T>* inst = instance<T>(self);
    SharedBorrow borrow(inst->borrow);
    if (!borrow.ok()) return std::nullopt;
    return f(std::as_const(inst->value()));
}

/// Runs f(T&) under an exclusive borrow; nullopt with RuntimeError set when
/// the instance is already borrowed.
template <class T, class F>
auto with_exclusive(PyObject* self, F&& f) -> std::optional<decltype(f(std::declval<T&>()))> {
    Instance<T>* inst = instance<T>(self);
    ExclusiveBorrow borrow(inst->borrow);
    if (!borrow.ok()) return std::nullopt;
    return f(inst->value());
}

/// The flags every wrapping class uses: final and immutable, no GC (the
/// instances hold no Python references).
inline constexpr unsigned int kClassFlags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE;

/// The PyType_Spec of a class wrapping T: the instance layout and kClassFlags.
template <class T>
constexpr PyType_Spec make_spec(const char* name, PyType_Slot* slots) {
    return PyType_Spec{name, static_cast<int>(sizeof(Instance<T>)), 0, kClassFlags, slots};
}

}  // namespace lumetra::py
