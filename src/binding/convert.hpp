// Converters of single arguments: each turns one Python object into an owned
// C++ value, or returns false with a Python exception set. The binder runs
// them in parameter order and adds the argument's name to a TypeError.
// (Array arguments are converted by the intake, binding/intake.hpp.)
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace lumetra::py {

/// Any Python object, borrowed for the duration of the call.
struct AnyArg {
    PyObject* obj = nullptr;
};
/// The UTF-8 text of a str, viewed in place (the str outlives the call's use of it).
struct StrView {
    std::string_view text;
    operator std::string_view() const noexcept { return text; }  // NOLINT: passes where text is taken
};
/// A dict of str to numbers, narrowed to single precision, in dict order.
using NamedValues = std::vector<std::pair<std::string, float>>;
/// A sequence of str; a str itself is refused. Converting an exact list or
/// tuple of exact str creates no object and calls no method, so it runs no
/// user code, and the binder need not read the call's arrays again for it.
struct StrList : std::vector<std::string> {
    bool ran_code() const noexcept { return ran_code_; }
    bool ran_code_ = true;
};

/// The bytes of a bytes-like object (anything with the buffer protocol),
/// held for the duration of the call: the exporter cannot resize them
/// meanwhile. A buffer that is not contiguous is copied once.
class BytesArg {
public:
    BytesArg() noexcept = default;
    BytesArg(const BytesArg&) = delete;
    BytesArg& operator=(const BytesArg&) = delete;
    ~BytesArg() {
        if (held_) PyBuffer_Release(&view_);
    }
    std::span<const std::uint8_t> bytes() const noexcept { return bytes_; }

private:
    friend bool convert(PyObject* o, BytesArg& out);
    Py_buffer view_{};
    bool held_ = false;
    std::vector<std::uint8_t> copy_;
    std::span<const std::uint8_t> bytes_{};
};

bool convert(PyObject* o, AnyArg& out);
bool convert(PyObject* o, BytesArg& out);
bool convert(PyObject* o, StrView& out);
bool convert(PyObject* o, std::string& out);
bool convert(PyObject* o, std::optional<std::string>& out);
bool convert(PyObject* o, StrList& out);
bool convert(PyObject* o, NamedValues& out);
bool convert(PyObject* o, std::optional<double>& out);
bool convert(PyObject* o, std::optional<std::uint64_t>& out);

/// Python's float conversion (any object with __float__ or __index__).
inline bool convert(PyObject* o, double& out) {
    if (PyFloat_CheckExact(o)) {
        out = PyFloat_AS_DOUBLE(o);
        return true;
    }
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

/// Python's float conversion, narrowed to single precision.
inline bool convert(PyObject* o, float& out) {
    double v;
    if (!convert(o, v)) return false;
    out = static_cast<float>(v);
    return true;
}

/// A threshold that every comparison is made against: Python's float
/// conversion narrowed to single precision, NaN refused. Every comparison
/// with NaN is false, so a NaN threshold would let every check pass. `Name`
/// is the parameter's name, which the refusal carries ("threshold must not be
/// NaN"); `Default` is the value of an omitted argument.
template <const char* Name, float Default = 0.0f>
struct NanFreeThreshold {
    float value = Default;
};
/// ValueError "<name> must not be NaN"; returns false.
bool refuse_nan(const char* name);
template <const char* Name, float Default>
bool convert(PyObject* o, NanFreeThreshold<Name, Default>& out) {
    if (!convert(o, out.value)) return false;
    if (out.value != out.value) return refuse_nan(Name);
    return true;
}

/// Python's integer conversion (__index__) into T, with OverflowError "Python
/// int out of range for <what>" (or "can't convert negative int to <what>").
template <class T>
bool convert_integer(PyObject* o, T& out);

/// The value of an exact int of at most one digit, read in place without a
/// branch on its value. A monitor's push takes labels of 0 and 1 in no
/// predictable order: the conversion call branches on the sign, and its
/// mispredictions cost more than the rest of the binding.
inline bool compact_int(PyObject* o, long& out) noexcept {
    const auto* l = reinterpret_cast<const PyLongObject*>(o);
#if PY_VERSION_HEX >= 0x030C0000
    if (!PyUnstable_Long_IsCompact(l)) return false;
    out = static_cast<long>(PyUnstable_Long_CompactValue(l));
#else
    const Py_ssize_t size = Py_SIZE(o);
    if (size < -1 || size > 1) return false;
#if PY_VERSION_HEX >= 0x030B0000
    // Every int has room for one digit; zero's may hold anything, and the
    // size it is multiplied by is 0.
    out = static_cast<long>(size) * static_cast<long>(l->ob_digit[0]);
#else
    // Zero may have no digit allocated: it is not read.
    out = size == 0 ? 0L : static_cast<long>(size) * static_cast<long>(l->ob_digit[0]);
#endif
#endif
    return true;
}

/// An exact int or a bool in range converts directly (a bool is an int of
/// one digit inside); anything else takes Python's integer conversion, which
/// also gives every error its exact form.
template <class T>
bool convert_exact_or_index(PyObject* o, T& out) {
    if constexpr (std::numeric_limits<T>::digits <= std::numeric_limits<long>::digits) {
        if (PyLong_CheckExact(o) || PyBool_Check(o)) {
            int overflow = 0;
            long v;
            if (!compact_int(o, v)) v = PyLong_AsLongAndOverflow(o, &overflow);
            if (overflow == 0 && v >= static_cast<long>(std::numeric_limits<T>::min()) &&
                v <= static_cast<long>(std::numeric_limits<T>::max())) {
                out = static_cast<T>(v);
                return true;
            }
        }
    }
    return convert_integer(o, out);
}

inline bool convert(PyObject* o, std::int8_t& out) { return convert_exact_or_index(o, out); }
inline bool convert(PyObject* o, std::int32_t& out) { return convert_exact_or_index(o, out); }
inline bool convert(PyObject* o, std::uint64_t& out) { return convert_exact_or_index(o, out); }

/// The TypeError for a str passed where a sequence of str is expected (a
/// string is not read as a sequence of one-character strings).
bool refuse_str_as_sequence();
/// The TypeError a converter raises for an object of the wrong type.
bool wrong_type(PyObject* o, const char* expected);

/// The text of a compact ASCII str (its UTF-8 text is its own data), read
/// from the str's fields alone: no call, nothing written. False for any other
/// object, which is left unread past its type.
inline bool ascii_text(PyObject* o, std::string_view& out) noexcept {
    if (!PyUnicode_Check(o) || !PyUnicode_IS_COMPACT_ASCII(o)) return false;
    out = std::string_view(static_cast<const char*>(PyUnicode_DATA(o)),
                           static_cast<std::size_t>(PyUnicode_GET_LENGTH(o)));
    return true;
}

/// UTF-8 text of a str (or subclass), cached by the str itself; false with an
/// exception set otherwise.
inline bool str_text(PyObject* o, std::string_view& out) {
    // Most labels are ASCII: read without a call per label.
    if (ascii_text(o, out)) return true;
    if (!PyUnicode_Check(o)) return wrong_type(o, "str");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &len);
    if (text == nullptr) return false;
    out = std::string_view(text, static_cast<std::size_t>(len));
    return true;
}
bool str_text(PyObject* o, std::string& out);

/// True for objects whose conversion runs no user code and allocates no
/// Python object: exact floats, ints and strs, bools and None. Converting any
/// other object may call back into Python or trigger a garbage collection.
inline bool is_plain_value(PyObject* o) noexcept {
    return PyFloat_CheckExact(o) || PyLong_CheckExact(o) || PyUnicode_CheckExact(o) || PyBool_Check(o) ||
           o == Py_None;
}

}  // namespace lumetra::py
