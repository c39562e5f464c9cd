// Each callable declared once. A table row carries the name, the parameters
// as the text signature shows them ("x" or "x=0.10"), the doc text and the
// body; the entry point CPython calls, the binder's signature, the PyMethodDef
// row and the "name(params)\n--\n\n" text are generated from it.
//
// A body takes its arguments already converted, one C++ parameter per
// declared parameter, in order: the converter of each argument is chosen by
// its C++ type. A method's body takes `PyObject* self` first, a constructor's
// or class method's `PyTypeObject* type`; a function's body takes only its
// arguments.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>

#include "binding/binding.hpp"
#include "binding/guard.hpp"

namespace lumetra::py {

/// How CPython calls an entry point.
enum class CallKind : std::uint8_t { Function, Method, NoArgsMethod, Constructor, Getter, ClassMethod };

using FastEntry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept;
using NoArgsEntry = PyObject* (*)(PyObject*, PyObject*) noexcept;
using NewEntry = PyObject* (*)(PyTypeObject*, PyObject*, PyObject*) noexcept;
using GetEntry = PyObject* (*)(PyObject*, void*) noexcept;

/// One declared callable: a module function, a method, a constructor or a
/// read-only attribute.
struct Callable {
    const char* name = nullptr;
    std::array<const char*, kMaxParams> params{};  // "x" or "x=default", as the text signature shows them
    std::size_t count = 0;
    const char* doc = nullptr;  // text after the signature (the attribute's doc for a getter); may be null
    CallKind kind = CallKind::Function;
    FastEntry fast = nullptr;        // Function, Method, ClassMethod
    NoArgsEntry noargs = nullptr;    // NoArgsMethod
    NewEntry construct = nullptr;    // Constructor
    GetEntry get = nullptr;          // Getter
    Signature* signature = nullptr;  // the entry point's binder signature, filled when the table is built
};

namespace detail {

template <class T>
using Converted = std::remove_cvref_t<T>;

// What a body takes: its leading parameter (self, type or none), which tells
// its kind, and the converted arguments.
template <CallKind Kind, class... A>
struct BodyShape {
    static constexpr CallKind kind = Kind;
    using Args = std::tuple<Converted<A>...>;
};

template <class F>
struct BodyTraits;
template <class... A>
struct BodyTraits<PyObject* (*)(A...)> : BodyShape<CallKind::Function, A...> {};
template <class... A>
struct BodyTraits<PyObject* (*)(PyObject*, A...)> : BodyShape<CallKind::Method, A...> {};
template <class... A>
struct BodyTraits<PyObject* (*)(PyTypeObject*, A...)> : BodyShape<CallKind::Constructor, A...> {};

template <class F>
inline constexpr std::size_t arity = std::tuple_size_v<typename BodyTraits<F>::Args>;

// The entry points of one body: bind, convert, call, all under the guard.
template <auto Body>
struct Entry {
    using Traits = BodyTraits<decltype(Body)>;
    static inline Signature sig{};

    template <class Lead>
    static PyObject* convert_and_call(Lead lead, const BoundArgs& b) {
        typename Traits::Args args{};
        const bool ok = std::apply([&](auto&... a) { return convert_args(sig, b, a...); }, args);
        PyObject* result = nullptr;
        if (ok) {
            result = std::apply(
                [&](auto&... a) {
                    if constexpr (Traits::kind == CallKind::Function) {
                        return Body(a...);
                    } else {
                        return Body(lead, a...);
                    }
                },
                args);
        }
        if (result == nullptr) std::apply([](const auto&... a) { raise_late_checks_first(sig, a...); }, args);
        return result;
    }

    static PyObject* fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
        return guarded([&]() -> PyObject* {
            BoundArgs b;
            if (!bind(sig, args, nargs, kwnames, b)) return nullptr;
            return convert_and_call(self, b);
        });
    }
    // A class method: CPython passes the class where a method gets self.
    static PyObject* fast_class(PyObject* type, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
        return guarded([&]() -> PyObject* {
            BoundArgs b;
            if (!bind(sig, args, nargs, kwnames, b)) return nullptr;
            return convert_and_call(reinterpret_cast<PyTypeObject*>(type), b);
        });
    }
    static PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
        return guarded([&]() -> PyObject* {
            BoundArgs b;
            if (!bind(sig, args, kwargs, b)) return nullptr;
            return convert_and_call(type, b);
        });
    }
    static PyObject* noargs(PyObject* self, PyObject*) noexcept {
        return guarded([&]() -> PyObject* { return Body(self); });
    }
    static PyObject* get(PyObject* self, void*) noexcept {
        return guarded([&]() -> PyObject* { return Body(self); });
    }
};

// The declared parameters: at most kMaxParams, and those with a default
// ("name=value") after every required one.
template <std::size_t N>
consteval Callable declare(const char* name, const char* const (&params)[N], const char* doc, CallKind kind) {
    static_assert(N <= kMaxParams, "more parameters than the binder holds (kMaxParams)");
    Callable c;
    c.name = name;
    c.count = N;
    c.doc = doc;
    c.kind = kind;
    bool defaulted = false;
    for (std::size_t i = 0; i < N; ++i) {
        bool has_default = false;
        for (const char* p = params[i]; *p != '\0'; ++p) has_default = has_default || *p == '=';
        if (defaulted && !has_default) throw "a parameter without a default follows one with a default";
        defaulted = has_default;
        c.params[i] = params[i];
    }
    return c;
}

}  // namespace detail

namespace detail {

// A callable with parameters whose body is of kind `Kind`.
template <auto Body, CallKind Kind, std::size_t N>
consteval Callable with_params(const char* name, const char* const (&params)[N], const char* doc) {
    static_assert(BodyTraits<decltype(Body)>::kind == Kind,
                  "a function's body takes its arguments, a method's PyObject* self first, a constructor's "
                  "PyTypeObject* type first");
    static_assert(arity<decltype(Body)> == N, "one declared parameter per argument of the body");
    Callable c = declare(name, params, doc, Kind);
    if constexpr (Kind == CallKind::Constructor) {
        c.construct = &Entry<Body>::construct;
    } else {
        c.fast = &Entry<Body>::fast;
    }
    c.signature = &Entry<Body>::sig;
    return c;
}

// A callable without parameters whose body takes PyObject* self.
template <auto Body, CallKind Kind>
consteval Callable self_only(const char* name, const char* doc) {
    static_assert(std::is_same_v<decltype(Body), PyObject* (*)(PyObject*)>, "the body takes PyObject* self alone");
    Callable c;
    c.name = name;
    c.doc = doc;
    c.kind = Kind;
    if constexpr (Kind == CallKind::Method) {
        c.fast = &Entry<Body>::fast;
        c.signature = &Entry<Body>::sig;
    } else if constexpr (Kind == CallKind::NoArgsMethod) {
        c.noargs = &Entry<Body>::noargs;
    } else {
        c.get = &Entry<Body>::get;
    }
    return c;
}

}  // namespace detail

/// A module function: PyObject* body(args...).
template <auto Body, std::size_t N>
consteval Callable function(const char* name, const char* const (&params)[N], const char* doc = nullptr) {
    return detail::with_params<Body, CallKind::Function>(name, params, doc);
}

/// A method: PyObject* body(PyObject* self, args...).
template <auto Body, std::size_t N>
consteval Callable method(const char* name, const char* const (&params)[N], const char* doc = nullptr) {
    return detail::with_params<Body, CallKind::Method>(name, params, doc);
}

/// A class method (METH_CLASS): PyObject* body(PyTypeObject* type, args...),
/// called with the class it was looked up on.
template <auto Body, std::size_t N>
consteval Callable class_method(const char* name, const char* const (&params)[N], const char* doc = nullptr) {
    static_assert(detail::BodyTraits<decltype(Body)>::kind == CallKind::Constructor,
                  "a class method's body takes PyTypeObject* type first");
    static_assert(detail::arity<decltype(Body)> == N, "one declared parameter per argument of the body");
    Callable c = detail::declare(name, params, doc, CallKind::ClassMethod);
    c.fast = &detail::Entry<Body>::fast_class;
    c.signature = &detail::Entry<Body>::sig;
    return c;
}

/// A class's constructor: PyObject* body(PyTypeObject* type, args...); `doc`
/// is the class's doc.
template <auto Body, std::size_t N>
consteval Callable constructor(const char* const (&params)[N], const char* doc = nullptr) {
    return detail::with_params<Body, CallKind::Constructor>(nullptr, params, doc);
}

/// The parameter list of a callable that takes none.
struct NoParams {};
inline constexpr NoParams kNoParams{};

/// A method without parameters that still takes (and refuses) arguments
/// through the binder: PyObject* body(PyObject* self).
template <auto Body>
consteval Callable method(const char* name, NoParams, const char* doc = nullptr) {
    return detail::self_only<Body, CallKind::Method>(name, doc);
}

/// A method called without arguments (METH_NOARGS): PyObject* body(PyObject* self).
template <auto Body>
consteval Callable noargs_method(const char* name, const char* doc = nullptr) {
    return detail::self_only<Body, CallKind::NoArgsMethod>(name, doc);
}

/// A read-only attribute: PyObject* body(PyObject* self).
template <auto Body>
consteval Callable getter(const char* name, const char* doc = nullptr) {
    return detail::self_only<Body, CallKind::Getter>(name, doc);
}

/// Rows of several tables as one (a class's family methods and its own).
template <std::size_t... N>
consteval auto join(const std::array<Callable, N>&... tables) {
    std::array<Callable, (N + ... + 0)> out{};
    std::size_t i = 0;
    ((std::copy(tables.begin(), tables.end(), out.begin() + static_cast<std::ptrdiff_t>(i)), i += N), ...);
    return out;
}

// ---- building the tables CPython reads (once, at module init) --------------------

/// The "name(params)\n--\n\n" text (with "$self, " first for methods, "$type, "
/// for class methods) followed
/// by the doc, as CPython reads a text signature from it.
std::string signature_doc(const char* name, const Callable& c);

/// The PyMethodDef rows of a table (sentinel-terminated), with every binder
/// signature filled; `owner` is the class name shown in messages, or null for
/// module functions. Kept for the life of the process; nullptr with an
/// exception set on failure.
PyMethodDef* method_defs(std::span<const Callable> rows, const char* owner);
/// The PyGetSetDef rows of a table of getters (sentinel-terminated), kept for the process.
PyGetSetDef* getset_defs(std::span<const Callable> rows);
/// Fills a constructor's binder signature (shown as "Class()"); false with an exception set.
bool prepare_constructor(const Callable& c, const char* class_name);

}  // namespace lumetra::py
