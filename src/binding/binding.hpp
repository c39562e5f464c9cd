// The argument binder: vectorcall (or constructor) arguments bound to a
// callable's declared parameters with CPython's own checks and messages, then
// converted in parameter order. Its last step settles the arguments that view
// a buffer in place (see binding/intake.hpp): once any conversion may have run
// user code, each of them is read again as it now stands.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <concepts>
#include <cstddef>

#include "binding/convert.hpp"

namespace lumetra::py {

/// Most parameters a callable may declare; declarations are checked against
/// it when they are compiled (binding/callables.hpp).
inline constexpr std::size_t kMaxParams = 12;

/// A callable's parameters as the binder sees them: names in order, how many
/// are required (the rest have defaults), the name used in messages ("f()",
/// "Cls.m()") and the names interned once, so keywords match by identity
/// first (a keyword built at run time still matches by its text).
struct Signature {
    const char* display = "";
    std::array<const char*, kMaxParams> names{};
    std::size_t count = 0;
    std::size_t required = 0;
    std::array<PyObject*, kMaxParams> interned{};  // null where interning failed

    std::size_t size() const noexcept { return count; }
    const char* name(std::size_t i) const noexcept { return names[i]; }
};

class BoundArgs;
/// The general road of bind(): keywords, surplus and missing arguments.
bool bind_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out);

/// Arguments bound to parameters; a null slot is an omitted optional parameter.
class BoundArgs {
public:
    PyObject* operator[](std::size_t i) const noexcept { return slots_[i]; }

private:
    friend bool bind(const Signature&, PyObject* const*, Py_ssize_t, PyObject*, BoundArgs&);
    friend bool bind_general(const Signature&, PyObject* const*, Py_ssize_t, PyObject*, BoundArgs&);
    friend bool bind(const Signature&, PyObject*, PyObject*, BoundArgs&);
    // A call that passes every parameter positionally is bound to its own
    // argument vector; any other call fills `storage_`.
    PyObject* const* slots_ = nullptr;
    std::array<PyObject*, kMaxParams> storage_;
};

/// Binds vectorcall arguments (positionals, then keyword values named by
/// `kwnames`) with CPython's checks and messages. False with TypeError set.
/// A call that passes every parameter by position has nothing to check.
inline bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out) {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == sig.size()) {
        out.slots_ = args;
        return true;
    }
    return bind_general(sig, args, nargs, kwnames, out);
}
/// Binds the (args, kwargs) pair a type's constructor receives.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

/// Re-raises a converter's TypeError as "argument 'name': <message>".
void prefix_argument_error(const char* name) noexcept;

/// An argument that views a buffer in place and must be read again once user
/// code may have run: `settle(ran_code)` reads it afresh (setting `ran_code`
/// when that read itself may have run user code).
template <class T>
concept Settles = requires(T& t, bool& ran_code) {
    { t.settle(ran_code) } -> std::same_as<bool>;
};

/// Whether converting `o` into `out` may have run user code (a Python method,
/// or a finaliser run by a garbage collection that an allocation triggered).
template <class T>
bool may_have_run_code(PyObject* o, const T& out) {
    if constexpr (requires { out.ran_code(); }) {
        return out.ran_code();
    } else if constexpr (requires { T::kInert; }) {
        return false;  // kept as it is, nothing converted
    } else {
        return !is_plain_value(o);
    }
}

/// Settles every Settles argument while user code may have run, again after
/// any re-reading that itself may have run it: each such re-reading moves an
/// argument off its in-place road for good, so the loop ends. `on_failure(i)`
/// is called with the index of an argument whose re-reading failed.
template <class OnFailure, class... T>
bool settle_all(bool ran_code, OnFailure&& on_failure, T&... args) {
    while (ran_code) {
        ran_code = false;
        std::size_t i = 0;
        auto one = [&](auto& arg) {
            const std::size_t k = i++;
            if constexpr (Settles<std::remove_cvref_t<decltype(arg)>>) {
                if (!arg.settle(ran_code)) {
                    on_failure(k);
                    return false;
                }
            }
            return true;
        };
        if (!(one(args) && ...)) return false;
    }
    return true;
}

/// An argument whose reader left a check to its consumer (RangeCheck in
/// binding/intake.hpp).
template <class T>
concept ChecksLate = requires(const T& t) {
    { t.check_late() } -> std::same_as<bool>;
};

/// After a failed call: runs the late checks of the arguments in parameter
/// order, and the first that fails replaces the pending exception, as it
/// would have been raised first had the check run when its argument was read
/// (a TypeError named after its argument, as conversion names it).
template <class... T>
void raise_late_checks_first(const Signature& sig, const T&... args) {
    if constexpr ((ChecksLate<T> || ...)) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        bool replaced = false;
        std::size_t i = 0;
        auto one = [&](const auto& arg) {
            const std::size_t k = i++;
            if constexpr (ChecksLate<std::remove_cvref_t<decltype(arg)>>) {
                if (!replaced && !arg.check_late()) {
                    prefix_argument_error(sig.name(k));
                    replaced = true;
                }
            }
        };
        (one(args), ...);
        if (replaced) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
        } else {
            PyErr_Restore(type, value, traceback);
        }
    }
}

/// Converts every bound argument in parameter order, stopping at the first
/// failure (a TypeError gains the argument's name), then settles the
/// arguments read in place. An omitted optional argument keeps its default.
template <class... T>
[[gnu::always_inline]] inline bool convert_args(const Signature& sig, const BoundArgs& b, T&... outs) {
    std::size_t i = 0;
    bool ran_code = false;
    [[maybe_unused]] auto one = [&](auto& out) __attribute__((always_inline)) {
        PyObject* o = b[i++];
        if (o == nullptr) return true;
        if (!convert(o, out)) {
            prefix_argument_error(sig.name(i - 1));
            return false;
        }
        if constexpr ((Settles<T> || ...)) ran_code = ran_code || may_have_run_code(o, out);
        return true;
    };
    if (!(one(outs) && ...)) return false;
    if constexpr ((Settles<T> || ...)) {
        return settle_all(ran_code, [&](std::size_t k) { prefix_argument_error(sig.name(k)); }, outs...);
    } else {
        return true;
    }
}

}  // namespace lumetra::py
