// Python classes that each wrap one computing object of the core. The
// instance owns the object inline and guards it with a borrow flag: methods
// that change it take it exclusively, read-only methods share it. A class is
// declared by a ClassDecl (constructor, methods, attributes) from which its
// type spec is built.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "core/result.hpp"
#include "binding/borrow.hpp"
#include "binding/callables.hpp"
#include "binding/errors.hpp"
#include "binding/results.hpp"

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
    Instance<std::remove_cvref_t<T>>* inst = instance<std::remove_cvref_t<T>>(self);
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

/// A new instance from a core constructor's result, or its error raised.
template <class T, class E>
PyObject* create_or_raise(PyTypeObject* type, Result<T, E>&& made) {
    if (!made.ok()) return raise(made.error());
    return create(type, std::move(made).value());
}

// ---- borrows -----------------------------------------------------------------

/// Holds a shared (or exclusive) borrow for a scope. Check ok() after
/// construction: when false, RuntimeError "Already mutably borrowed" (or
/// "Already borrowed") is set.
template <bool Exclusive>
class Borrow {
public:
    explicit Borrow(BorrowFlag& f) noexcept {
        if (Exclusive ? f.try_exclusive() : f.try_shared()) {
            flag_ = &f;
        } else {
            PyErr_SetString(PyExc_RuntimeError, Exclusive ? "Already borrowed" : "Already mutably borrowed");
        }
    }
    ~Borrow() { release(); }
    /// Ends the borrow before the scope does.
    void release() noexcept {
        if (flag_ == nullptr) return;
        if constexpr (Exclusive) {
            flag_->release_exclusive();
        } else {
            flag_->release_shared();
        }
        flag_ = nullptr;
    }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    bool ok() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_ = nullptr;
};
using SharedBorrow = Borrow<false>;
using ExclusiveBorrow = Borrow<true>;

/// Runs f(T&) under an exclusive borrow; nullopt with RuntimeError set when
/// the instance is already borrowed.
template <class T, class F>
auto with_exclusive(PyObject* self, F&& f) -> std::optional<decltype(f(std::declval<T&>()))> {
    Instance<T>* inst = instance<T>(self);
    ExclusiveBorrow borrow(inst->borrow);
    if (!borrow.ok()) return std::nullopt;
    return f(inst->value());
}

namespace detail {

template <class R>
struct is_result : std::false_type {};
template <class V, class E>
struct is_result<Result<V, E>> : std::true_type {};

// The Python result of an outcome computed under a borrow (the borrow is
// released by now): a core error raised, otherwise build(value); an outcome
// that is no Result is a value itself.
template <class R, class Build>
PyObject* outcome_to_py(R& outcome, Build&& build) {
    if constexpr (is_result<R>::value) {
        if (!outcome.ok()) return raise(outcome.error());
        if constexpr (requires { outcome.value(); }) {
            return build(outcome.value());
        } else {
            return build();
        }
    } else {
        return build(outcome);
    }
}

// Runs f on the instance under a borrow (exclusive: f(T&); shared:
// f(const T&)) and returns the Python result of its outcome, built once the
// borrow is released. The outcome is kept as it is, not wrapped in an
// optional: a small Result copied into one field at a time and read back
// whole stalls the processor, a cost paid on every push of a monitor.
template <bool Exclusive, class T, class F, class Build>
PyObject* borrowed(PyObject* self, F&& f, Build&& build) {
    Instance<T>* inst = instance<T>(self);
    Borrow<Exclusive> borrow(inst->borrow);
    if (!borrow.ok()) return nullptr;
    auto r = [&]() -> decltype(auto) {
        if constexpr (Exclusive) {
            return f(inst->value());
        } else {
            return f(std::as_const(inst->value()));
        }
    }();
    borrow.release();
    return outcome_to_py(r, build);
}

}  // namespace detail

/// Runs f(T&) under an exclusive borrow. f returns nothing, a value or a
/// Result; its error is raised, otherwise the call returns build(value) (or
/// build() when there is no value), built once the borrow is released.
template <class T, class F, class Build>
PyObject* change(PyObject* self, F&& f, Build&& build) {
    if constexpr (std::is_void_v<decltype(f(std::declval<T&>()))>) {
        {
            ExclusiveBorrow borrow(instance<T>(self)->borrow);
            if (!borrow.ok()) return nullptr;
            f(instance<T>(self)->value());
        }
        return build();
    } else {
        return detail::borrowed<true, T>(self, std::forward<F>(f), std::forward<Build>(build));
    }
}

/// change() whose result is None.
template <class T, class F>
PyObject* change(PyObject* self, F&& f) {
    return change<T>(self, std::forward<F>(f), [](auto&&...) { return none(); });
}

/// Runs f(const T&) under a shared borrow; a Result's error is raised,
/// otherwise the call returns build(value), built once the borrow is released.
template <class T, class F, class Build>
PyObject* inspect(PyObject* self, F&& f, Build&& build) {
    return detail::borrowed<false, T>(self, std::forward<F>(f), std::forward<Build>(build));
}

// ---- declaring a class -----------------------------------------------------------

/// A Python class wrapping one core type: its name, its constructor (whose
/// doc is the class's), its methods and its read-only attributes.
struct ClassDecl {
    const char* name;
    Callable constructor;
    std::span<const Callable> methods;
    std::span<const Callable> getters;
    int basicsize;
    destructor dealloc;
};

/// The declaration of a class wrapping T.
template <class T>
constexpr ClassDecl class_decl(const char* name, const Callable& constructor, std::span<const Callable> methods,
                               std::span<const Callable> getters = {}) {
    return ClassDecl{name, constructor, methods, getters, static_cast<int>(sizeof(Instance<T>)), &dealloc<T>};
}

// ---- instances of the module's classes -----------------------------------------------

/// Records a class made from a ClassDecl (module init does), so arguments can
/// be recognised as instances of one of them.
void register_class(PyTypeObject* type);
/// True when `o` is an instance of a registered class.
bool is_registered_instance(PyObject* o) noexcept;

/// An argument that must be an instance of one of the module's classes (which
/// one is for the body to check): borrowed for the call. Anything else is a
/// TypeError.
struct Peer {
    PyObject* obj = nullptr;
};
bool convert(PyObject* o, Peer& out);

/// The type spec of a declared class in module `module_name`, built once and
/// kept for the process: final and immutable, no GC (instances hold no
/// Python references). nullptr with an exception set on failure.
PyType_Spec* class_spec(const ClassDecl& c, const char* module_name);

}  // namespace lumetra::py
