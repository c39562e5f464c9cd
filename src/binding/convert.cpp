#include "binding/convert.hpp"

#include <algorithm>
#include <type_traits>

#include "binding/ref.hpp"

namespace lumetra::py {

bool wrong_type(PyObject* o, const char* expected) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(o)->tp_name, expected);
    return false;
}

bool refuse_str_as_sequence() {
    PyErr_SetString(PyExc_TypeError, "a str is not accepted as a sequence of str");
    return false;
}

bool refuse_nan(const char* name) {
    PyErr_Format(PyExc_ValueError, "%s must not be NaN", name);
    return false;
}

bool convert(PyObject* o, AnyArg& out) {
    out.obj = o;
    return true;
}

bool convert(PyObject* o, BytesArg& out) {
    if (PyObject_GetBuffer(o, &out.view_, PyBUF_FULL_RO) != 0) {
        // An exporter that cannot serve a full request is still no bytes-like
        // object for us; the message is the interpreter's own.
        if (PyErr_ExceptionMatches(PyExc_BufferError)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%s'", Py_TYPE(o)->tp_name);
        }
        return false;
    }
    out.held_ = true;
    const auto len = static_cast<std::size_t>(out.view_.len);
    if (PyBuffer_IsContiguous(&out.view_, 'C')) {
        out.bytes_ = std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(out.view_.buf), len);
        return true;
    }
    out.copy_.resize(len);
    if (PyBuffer_ToContiguous(out.copy_.data(), &out.view_, out.view_.len, 'C') != 0) return false;
    out.bytes_ = out.copy_;
    return true;
}

bool str_text(PyObject* o, std::string& out) {
    std::string_view text;
    if (!str_text(o, text)) return false;
    out.assign(text);
    return true;
}

bool convert(PyObject* o, StrView& out) { return str_text(o, out.text); }
bool convert(PyObject* o, std::string& out) { return str_text(o, out); }

namespace {

// None leaves the optional empty; any other object converts as a T.
template <class T>
bool convert_optional(PyObject* o, std::optional<T>& out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    T v{};
    if (!convert(o, v)) return false;
    out = std::move(v);
    return true;
}

}  // namespace

bool convert(PyObject* o, std::optional<std::string>& out) { return convert_optional(o, out); }
bool convert(PyObject* o, std::optional<double>& out) { return convert_optional(o, out); }
bool convert(PyObject* o, std::optional<std::uint64_t>& out) { return convert_optional(o, out); }

bool convert(PyObject* o, StrList& out) {
    if (PyUnicode_Check(o)) return refuse_str_as_sequence();
    out.ran_code_ = true;
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        const auto n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(o));
        PyObject** items = PySequence_Fast_ITEMS(o);
        if (std::all_of(items, items + n, [](PyObject* item) { return PyUnicode_CheckExact(item) != 0; })) {
            // Read in place: nothing here can run user code, so the sequence
            // cannot change under the loop.
            out.assign(n, std::string());
            for (std::size_t i = 0; i < n; ++i) {
                if (!str_text(items[i], out[i])) return false;
            }
            out.ran_code_ = false;
            return true;
        }
    }
    if (!PySequence_Check(o)) return wrong_type(o, "Sequence");
    // A tuple snapshot holds its own references: item conversion cannot be
    // disturbed by code that mutates the caller's sequence.
    Ref items = Ref::steal(PySequence_Tuple(o));
    if (!items) return false;
    out.assign(static_cast<std::size_t>(PyTuple_GET_SIZE(items.get())), std::string());
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (!str_text(PyTuple_GET_ITEM(items.get(), static_cast<Py_ssize_t>(i)), out[i])) return false;
    }
    return true;
}

bool convert(PyObject* o, NamedValues& out) {
    if (!PyDict_Check(o)) return wrong_type(o, "dict");
    // Items are copied out first: a value's __float__ may mutate the dict.
    Ref items = Ref::steal(PyDict_Items(o));
    if (!items) return false;
    out.clear();
    out.reserve(static_cast<std::size_t>(PyList_GET_SIZE(items.get())));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        auto& [name, number] = out.emplace_back();
        if (!str_text(PyTuple_GET_ITEM(pair, 0), name) || !convert(PyTuple_GET_ITEM(pair, 1), number)) return false;
    }
    return true;
}

namespace {

template <class T>
constexpr const char* integer_name() {
    if constexpr (std::is_same_v<T, std::int8_t>) return "a signed 8-bit integer";
    else if constexpr (std::is_same_v<T, std::int32_t>) return "a signed 32-bit integer";
    else return "an unsigned 64-bit integer";
}

}  // namespace

template <class T>
bool convert_integer(PyObject* o, T& out) {
    constexpr const char* what = integer_name<T>();
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    if constexpr (std::is_signed_v<T>) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
            PyErr_Format(PyExc_OverflowError, "Python int out of range for %s", what);
            return false;
        }
        out = static_cast<T>(v);
    } else {
        if (_PyLong_Sign(index.get()) < 0) {
            PyErr_Format(PyExc_OverflowError, "can't convert negative int to %s", what);
            return false;
        }
        const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_OverflowError, "Python int out of range for %s", what);
            }
            return false;
        }
        out = static_cast<T>(v);
    }
    return true;
}

template bool convert_integer(PyObject*, std::int8_t&);
template bool convert_integer(PyObject*, std::int32_t&);
template bool convert_integer(PyObject*, std::uint64_t&);

}  // namespace lumetra::py
