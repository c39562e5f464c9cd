// The calling frame shared by every function and method: a guard that keeps
// C++ exceptions out of the interpreter, the argument binder with Python's own
// wording, converters, and the borrow flag of class instances.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "python/borrow.hpp"
#include "python/ref.hpp"

namespace lumetra::py {

/// Raises the boundary's own exception for a broken internal invariant.
void raise_internal(std::string_view text) noexcept;
/// The exception type used for internal failures (created at module init).
PyObject* internal_error_type() noexcept;
/// Creates the internal-failure exception type once (module init); false with an exception set.
bool init_internal_error_type() noexcept;

/// Runs `body`, turning any escaping C++ exception into a Python exception:
/// allocation failures become MemoryError, anything else an internal failure.
/// `failure` is what the entry point returns with an exception set.
template <class R, class F>
R guarded_as(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal(e.what());
    } catch (...) {
        raise_internal("unknown C++ exception");
    }
    return failure;
}

/// guarded_as for entry points that return a new reference, nullptr on failure.
template <class F>
PyObject* guarded(F&& body) noexcept {
    return guarded_as<PyObject*>(nullptr, std::forward<F>(body));
}

inline constexpr std::size_t kMaxParams = 12;

/// A callable's parameter list: names in order, how many are required (the
/// rest have defaults), and the name used in messages ("f()", "Cls.m()").
struct Signature {
    const char* display;
    std::initializer_list<const char*> names;
    std::size_t required;

    std::size_t size() const noexcept { return names.size(); }
    const char* name(std::size_t i) const noexcept { return names.begin()[i]; }
};

/// Arguments bound to parameters; a null slot is an omitted optional parameter.
struct BoundArgs {
    std::array<PyObject*, kMaxParams> slots{};
    PyObject* operator[](std::size_t i) const noexcept { return slots[i]; }
};

/// Binds vectorcall arguments (positionals, then keyword values named by
/// `kwnames`) with CPython's checks and messages. False with TypeError set.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out);
/// Binds the (args, kwargs) pair a type's constructor receives.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out);

// ---- converters: each returns false with a Python exception set ------------

/// Any Python object, borrowed for the duration of the call.
struct AnyArg {
    PyObject* obj = nullptr;
};
/// A NumPy array of any dtype and shape, borrowed.
struct ArrayArg {
    PyObject* obj = nullptr;
};
/// A dict of str to numbers, narrowed to single precision, in dict order.
using NamedValues = std::vector<std::pair<std::string, float>>;
/// A sequence of str; a str itself is refused.
using StrList = std::vector<std::string>;

bool convert(PyObject* o, AnyArg& out);
bool convert(PyObject* o, ArrayArg& out);
bool convert(PyObject* o, double& out);
bool convert(PyObject* o, float& out);
bool convert(PyObject* o, std::optional<double>& out);
bool convert(PyObject* o, std::string& out);
bool convert(PyObject* o, std::optional<std::string>& out);
bool convert(PyObject* o, StrList& out);
bool convert(PyObject* o, NamedValues& out);
bool convert(PyObject* o, std::int8_t& out);
bool convert(PyObject* o, std::int32_t& out);
bool convert(PyObject* o, std::uint64_t& out);
bool convert(PyObject* o, std::optional<std::uint64_t>& out);

/// UTF-8 text of a str (or subclass); false with an exception set otherwise.
bool str_text(PyObject* o, std::string& out);
/// The TypeError for a str passed where a sequence of str is expected (a
/// string is not read as a sequence of one-character strings).
bool refuse_str_as_sequence();
/// The TypeError a converter raises for an object of the wrong type.
bool wrong_type(PyObject* o, const char* expected);

/// Re-raises a converter's TypeError as "argument 'name': <message>".
void prefix_argument_error(const char* name) noexcept;

/// Converts bound argument i into `out`, adding the argument prefix to a
/// TypeError. An omitted optional argument leaves `out` at its default.
template <class T>
bool convert_arg(const Signature& sig, const BoundArgs& b, std::size_t i, T& out) {
    PyObject* o = b[i];
    if (o == nullptr) return true;
    if (convert(o, out)) return true;
    prefix_argument_error(sig.name(i));
    return false;
}

/// Converts every bound argument in parameter order, stopping at the first failure.
template <class... T>
bool convert_args(const Signature& sig, const BoundArgs& b, T&... outs) {
    std::size_t i = 0;
    return (convert_arg(sig, b, i++, outs) && ...);
}

// ---- borrow flag of class instances ----------------------------------------

/// Holds a shared borrow for a scope. Check ok() after construction: when
/// false, RuntimeError "Already mutably borrowed" is set.
class SharedBorrow {
public:
    explicit SharedBorrow(BorrowFlag& f) noexcept;
    ~SharedBorrow() {
        if (flag_) flag_->release_shared();
    }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    bool ok() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_ = nullptr;
};

/// Holds an exclusive borrow for a scope. When ok() is false, RuntimeError
/// "Already borrowed" is set.
class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowFlag& f) noexcept;
    ~ExclusiveBorrow() {
        if (flag_) flag_->release_exclusive();
    }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    bool ok() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_ = nullptr;
};

// ---- method tables -------------------------------------------------------------

/// Flags of a function or method that takes vectorcall arguments and keywords.
inline constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

/// A METH_FASTCALL | METH_KEYWORDS entry point F in the type a PyMethodDef stores.
template <auto F>
PyCFunction fastcall() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(F));
}

// ---- building results --------------------------------------------------------

/// A new Python float from a single-precision value (widened exactly).
inline PyObject* to_py(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
/// `None`, with a new reference.
inline PyObject* none() { Py_RETURN_NONE; }
/// Sets d[key] = value, stealing `value`; false with the interpreter's error set.
bool dict_set_steal(PyObject* d, const char* key, std::size_t key_len, PyObject* value);
bool dict_set_steal(PyObject* d, std::string_view key, PyObject* value);
/// A new list of floats.
PyObject* float_list(const std::vector<double>& values);

}  // namespace lumetra::py
