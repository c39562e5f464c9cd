#include "python/intake.hpp"

#include <cmath>
#include <cstdint>
#include <limits>

#include "python/binding.hpp"
#include "python/errors.hpp"

namespace lumetra::py {
namespace {

constexpr const char* kHeterogeneous = "Data passed in is of hetergeneous types";

PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

bool equiv(int t, int other) { return PyArray_EquivTypenums(t, other) != 0; }

std::optional<NativeType> native_type_of(int t) {
    if (t == NPY_UNICODE) return NativeType::Unicode;
    if (t == NPY_BOOL) return NativeType::Bool;
    // Type numbers are compared by equivalence: on Linux int64 is NPY_LONG,
    // while NPY_LONGLONG is a different number for the same type.
    static constexpr std::pair<int, NativeType> table[] = {
        {NPY_FLOAT64, NativeType::F64}, {NPY_FLOAT32, NativeType::F32}, {NPY_INT8, NativeType::I8},
        {NPY_INT16, NativeType::I16},   {NPY_INT32, NativeType::I32},   {NPY_INT64, NativeType::I64},
        {NPY_UINT8, NativeType::U8},    {NPY_UINT16, NativeType::U16},  {NPY_UINT32, NativeType::U32},
        {NPY_UINT64, NativeType::U64},
    };
    for (const auto& [num, type] : table) {
        if (equiv(t, num)) return type;
    }
    return std::nullopt;
}

bool copy_int64(PyObject* obj, std::vector<std::int64_t>& out) {
    out.clear();
    out.reserve(iteration_hint(obj));
    return for_each_item(obj, [&](PyObject* item) {
        Ref index = Ref::steal(PyNumber_Index(item));
        if (!index) return false;
        const long long v = PyLong_AsLongLong(index.get());
        if (v == -1 && PyErr_Occurred()) return false;
        out.push_back(v);
        return true;
    });
}

bool copy_bools(PyObject* obj, std::vector<std::uint8_t>& out) {
    out.clear();
    out.reserve(iteration_hint(obj));
    return for_each_item(obj, [&](PyObject* item) {
        if (!PyBool_Check(item) && !PyArray_IsScalar(item, Bool)) return wrong_type(item, "bool");
        const int truth = PyObject_IsTrue(item);
        if (truth < 0) return false;
        out.push_back(static_cast<std::uint8_t>(truth));
        return true;
    });
}

// The error a uint64 element above the int64 range raises when converted the
// way Python iteration would convert it.
bool raise_uint64_overflow(std::uint64_t value) {
    Ref big = Ref::steal(PyLong_FromUnsignedLongLong(value));
    if (!big) return false;
    const long long v = PyLong_AsLongLong(big.get());
    if (v == -1 && PyErr_Occurred()) return false;
    raise_internal("uint64 value expected to overflow int64");
    return false;
}

}  // namespace

bool uint64_column_fits(const NativeColumn& c) {
    const Strided<std::uint64_t> src{c.data, c.stride, c.n};
    std::uint64_t high = 0;
    for (std::size_t i = 0; i < c.n; ++i) high |= src[i];
    if (high <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return true;
    for (std::size_t i = 0; i < c.n; ++i) {
        if (src[i] > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return raise_uint64_overflow(src[i]);
        }
    }
    return true;
}

namespace {

bool heterogeneous() {
    PyErr_SetString(PyExc_TypeError, kHeterogeneous);
    return false;
}

}  // namespace

bool read_float_label(PyObject* v, double& out) {
    if (PyFloat_Check(v)) {
        out = PyFloat_AS_DOUBLE(v);
        return true;
    }
    if (PyLong_Check(v)) {
        const long long i = PyLong_AsLongLong(v);
        if (i == -1 && PyErr_Occurred()) return false;
        out = static_cast<double>(i);
        return true;
    }
    return heterogeneous();
}

namespace {

}  // namespace

bool read_integer_label(PyObject* v, std::int64_t& out) {
    if (PyFloat_Check(v)) {
        // Truncation toward zero, saturating at the bounds, NaN as 0.
        const double d = PyFloat_AS_DOUBLE(v);
        if (std::isnan(d)) {
            out = 0;
        } else if (d >= 9223372036854775808.0) {
            out = std::numeric_limits<std::int64_t>::max();
        } else if (d < -9223372036854775808.0) {
            out = std::numeric_limits<std::int64_t>::min();
        } else {
            out = static_cast<std::int64_t>(d);
        }
        return true;
    }
    if (PyLong_Check(v)) {
        const long long i = PyLong_AsLongLong(v);
        if (i == -1 && PyErr_Occurred()) return false;
        out = i;
        return true;
    }
    return heterogeneous();
}

namespace {

bool bool_label(PyObject* v, bool& out) {
    if (Py_IS_TYPE(v, &PyBool_Type)) {
        out = v == Py_True;
        return true;
    }
    if (PyLong_Check(v)) {
        int overflow = 0;
        const long long i = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (i == -1 && PyErr_Occurred()) return false;
        out = overflow == 0 && i == 1;
        return true;
    }
    return heterogeneous();
}

std::optional<GroupMask> label_float_kind(PyObject* array, PyObject* label) {
    const auto native = native_column(array);
    std::vector<double> owned;
    if (!native && !copy_floats(array, owned)) return std::nullopt;
    double v;
    if (!read_float_label(label, v)) return std::nullopt;
    if (native) return visit_numeric(*native, [&](const auto& src) { return label_numeric<double>(src, v); });
    return label_numeric<double>(view_of(owned), v);
}

std::optional<GroupMask> label_integer_kind(PyObject* array, PyObject* label) {
    const auto native = native_column(array);
    std::vector<std::int64_t> owned;
    if (native) {
        if (native->type == NativeType::U64 && !uint64_column_fits(*native)) return std::nullopt;
    } else if (!copy_int64(array, owned)) {
        return std::nullopt;
    }
    std::int64_t v;
    if (!read_integer_label(label, v)) return std::nullopt;
    if (native) {
        return visit_numeric(*native, [&](const auto& src) { return label_numeric<std::int64_t>(src, v); });
    }
    return label_numeric<std::int64_t>(view_of(owned), v);
}

std::optional<GroupMask> label_bool_kind(PyObject* array, PyObject* label) {
    const auto native = native_column(array);
    std::vector<std::uint8_t> owned;
    if (!native && !copy_bools(array, owned)) return std::nullopt;
    bool v;
    if (!bool_label(label, v)) return std::nullopt;
    if (native) return label_bool(BoolStrided{native->data, native->stride, native->n}, v);
    return label_bool(view_of(owned), v);
}

std::optional<GroupMask> label_string_kind(PyObject* array, PyObject* label) {
    const auto native = native_column(array);
    if (native && native->type == NativeType::Unicode && ucs4_all_encodable(ucs4_column(*native))) {
        if (!PyUnicode_Check(label)) {
            heterogeneous();
            return std::nullopt;
        }
        std::string text;
        if (!str_text(label, text)) return std::nullopt;  // refuses unencodable labels
        Py_UCS4* ucs4 = PyUnicode_AsUCS4Copy(label);
        if (ucs4 == nullptr) return std::nullopt;
        const std::u32string code_points(reinterpret_cast<const char32_t*>(ucs4),
                                         static_cast<std::size_t>(PyUnicode_GET_LENGTH(label)));
        PyMem_Free(ucs4);
        return label_ucs4(ucs4_column(*native), code_points);
    }
    std::vector<std::string> items;
    if (!copy_strings(array, items)) return std::nullopt;
    if (!PyUnicode_Check(label)) {
        heterogeneous();
        return std::nullopt;
    }
    std::string text;
    if (!str_text(label, text)) return std::nullopt;
    return label_strings(items, text);
}

}  // namespace

std::size_t iteration_hint(PyObject* obj) {
    if (PyList_CheckExact(obj)) return static_cast<std::size_t>(PyList_GET_SIZE(obj));
    if (PyTuple_CheckExact(obj)) return static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
    if (PyArray_Check(obj) && PyArray_NDIM(as_array(obj)) > 0) {
        return reserve_for_rows(static_cast<std::size_t>(PyArray_DIM(as_array(obj), 0)));
    }
    return 0;
}

ElementKind determine_type(PyObject* array) {
    const int t = PyArray_TYPE(as_array(array));
    if (equiv(t, NPY_FLOAT64) || equiv(t, NPY_FLOAT32)) return ElementKind::Float;
    for (int num : {NPY_INT8, NPY_INT16, NPY_INT32, NPY_INT64, NPY_UINT8, NPY_UINT16, NPY_UINT32, NPY_UINT64}) {
        if (equiv(t, num)) return ElementKind::Integer;
    }
    if (t == NPY_BOOL) return ElementKind::Boolean;
    return ElementKind::Other;
}

std::optional<NativeColumn> native_column(PyObject* array) {
    if (!PyArray_Check(array)) return std::nullopt;
    PyArrayObject* a = as_array(array);
    if (PyArray_NDIM(a) != 1 || !PyArray_ISNOTSWAPPED(a)) return std::nullopt;
    const auto type = native_type_of(PyArray_TYPE(a));
    if (!type) return std::nullopt;
    return NativeColumn{*type, static_cast<const char*>(PyArray_DATA(a)), PyArray_STRIDE(a, 0),
                        static_cast<std::size_t>(PyArray_DIM(a, 0)), static_cast<std::size_t>(PyArray_ITEMSIZE(a))};
}

bool copy_floats(PyObject* obj, std::vector<double>& out) {
    out.clear();
    out.reserve(iteration_hint(obj));
    return for_each_item(obj, [&](PyObject* item) {
        const double v = PyFloat_AsDouble(item);
        if (v == -1.0 && PyErr_Occurred()) return false;
        out.push_back(v);
        return true;
    });
}

bool copy_strings(PyObject* obj, std::vector<std::string>& out) {
    out.clear();
    out.reserve(iteration_hint(obj));
    return for_each_item(obj, [&](PyObject* item) {
        std::string text;
        if (!str_text(item, text)) return false;
        out.push_back(std::move(text));
        return true;
    });
}

bool read_floats(PyObject* array, std::vector<double>& out) {
    const auto native = native_column(array);
    if (!native || native->type == NativeType::Unicode) return copy_floats(array, out);
    visit_numeric(*native, [&](const auto& src) {
        out.resize(src.size());
        for (std::size_t i = 0; i < src.size(); ++i) out[i] = static_cast<double>(src[i]);
    });
    return true;
}

bool read_strings(PyObject* array, std::vector<std::string>& out) {
    const auto native = native_column(array);
    if (!native || native->type != NativeType::Unicode || !ucs4_all_encodable(ucs4_column(*native))) {
        return copy_strings(array, out);
    }
    const Ucs4Column col = ucs4_column(*native);
    out.clear();
    out.reserve(col.n);
    std::string text;
    for (std::size_t i = 0; i < col.n; ++i) {
        out.emplace_back(ucs4_utf8(col, i, text));
    }
    return true;
}

std::optional<GroupMask> apply_label(PyObject* array, PyObject* label_or_threshold) {
    switch (determine_type(array)) {
        case ElementKind::Float: return label_float_kind(array, label_or_threshold);
        case ElementKind::Integer: return label_integer_kind(array, label_or_threshold);
        case ElementKind::Boolean: return label_bool_kind(array, label_or_threshold);
        case ElementKind::Other: return label_string_kind(array, label_or_threshold);
    }
    return label_string_kind(array, label_or_threshold);
}

std::optional<GroupMask> label_explicit(PyObject* array, const std::optional<double>& threshold,
                                        const std::optional<std::string>& label,
                                        const std::optional<std::string>& threshold_type) {
    auto config_error = [] {
        raise(BiasError::BiasConfigError);
        return std::nullopt;
    };
    if (threshold) {
        if (label || !threshold_type) return config_error();
        const auto native = native_column(array);
        std::vector<double> owned;
        if (!native || native->type == NativeType::Unicode) {
            if (!copy_floats(array, owned)) {
                PyErr_Clear();  // any unreadable array is a configuration error here
                return config_error();
            }
        }
        const auto type = threshold_type_from_name(*threshold_type);
        if (!type) return config_error();
        if (native && native->type != NativeType::Unicode) {
            return visit_numeric(*native, [&](const auto& src) { return threshold_mask(src, *threshold, *type); });
        }
        return threshold_mask(view_of(owned), *threshold, *type);
    }
    if (label) {
        if (threshold_type) return config_error();
        std::vector<std::string> items;
        if (!read_strings(array, items)) {
            PyErr_Clear();
            return config_error();
        }
        return label_strings(items, *label);
    }
    return config_error();
}

}  // namespace lumetra::py

namespace lumetra::py {

bool convert(PyObject* o, ArrayArg& out) {
    if (!PyArray_Check(o)) return wrong_type(o, "PyUntypedArray");
    out.obj = o;
    return true;
}

}  // namespace lumetra::py
