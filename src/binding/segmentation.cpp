#include "binding/segmentation.hpp"

#include <cmath>
#include <limits>
#include <string_view>
#include <vector>

#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/guard.hpp"

namespace lumetra::py {
namespace {

constexpr const char* kHeterogeneous = "Data passed in is of hetergeneous types";

// The group mask `make` builds from `column` (a buffer or a copy the call
// owns), with the lock released for a long column.
template <class Column, class Make>
std::optional<GroupMask> mask_of(const Column& column, Make&& make) {
    return released(column.size(), make);
}

bool heterogeneous() {
    PyErr_SetString(PyExc_TypeError, kHeterogeneous);
    return false;
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

bool copy_int64(PyObject* obj, std::vector<std::int64_t>& out) {
    return copy_items(obj, out, [](PyObject* item, std::int64_t& v) {
        Ref index = Ref::steal(PyNumber_Index(item));
        if (!index) return false;
        v = PyLong_AsLongLong(index.get());
        return !(v == -1 && PyErr_Occurred());
    });
}

bool copy_bools(PyObject* obj, std::vector<std::uint8_t>& out) {
    return copy_items(obj, out, [](PyObject* item, std::uint8_t& v) {
        if (!PyBool_Check(item) && !PyArray_IsScalar(item, Bool)) return wrong_type(item, "bool");
        const int truth = PyObject_IsTrue(item);
        if (truth < 0) return false;
        v = static_cast<std::uint8_t>(truth);
        return true;
    });
}

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
    if (native) {
        return visit_numeric(*native, [&](const auto& src) {
            return mask_of(src, [&] { return label_numeric<double>(src, v); });
        });
    }
    return mask_of(owned, [&] { return label_numeric<double>(view_of(owned), v); });
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
        return visit_numeric(*native, [&](const auto& src) {
            return mask_of(src, [&] { return label_numeric<std::int64_t>(src, v); });
        });
    }
    return mask_of(owned, [&] { return label_numeric<std::int64_t>(view_of(owned), v); });
}

std::optional<GroupMask> label_bool_kind(PyObject* array, PyObject* label) {
    const auto native = native_column(array);
    std::vector<std::uint8_t> owned;
    if (!native && !copy_bools(array, owned)) return std::nullopt;
    bool v;
    if (!bool_label(label, v)) return std::nullopt;
    if (native) {
        const BoolStrided src{native->data, native->stride, native->n};
        return mask_of(src, [&] { return label_bool(src, v); });
    }
    return mask_of(owned, [&] { return label_bool(view_of(owned), v); });
}

std::optional<GroupMask> label_string_kind(PyObject* array, PyObject* label) {
    Column<StrLabels> items;
    if (!items.read(array)) return std::nullopt;
    if (!PyUnicode_Check(label)) {
        heterogeneous();
        return std::nullopt;
    }
    std::string_view text;
    if (!str_text(label, text)) return std::nullopt;  // refuses unencodable labels
    return items.visit([&](const auto& column) -> std::optional<GroupMask> {
        if constexpr (std::is_same_v<std::remove_cvref_t<decltype(column)>, Ucs4Column>) {
            Py_UCS4* ucs4 = PyUnicode_AsUCS4Copy(label);
            if (ucs4 == nullptr) return std::nullopt;
            const std::u32string code_points(reinterpret_cast<const char32_t*>(ucs4),
                                             static_cast<std::size_t>(PyUnicode_GET_LENGTH(label)));
            PyMem_Free(ucs4);
            return mask_of(column, [&] { return label_ucs4(column, code_points); });
        } else {
            return mask_of(column, [&] { return label_strings(column, text); });
        }
    });
}

// A view of a column's elements as T: packed when contiguous and aligned.
template <class T, class F>
std::unique_ptr<GroupCodes> with_view(const NativeColumn& c, F&& f) {
    return with_packed(Strided<T>{c.data, c.stride, c.n}, std::forward<F>(f));
}

template <class T, class V>
std::unique_ptr<GroupCodes> implicit_of(const NativeColumn& c, V v) {
    return with_view<T>(c, [v](const auto& src) -> std::unique_ptr<GroupCodes> {
        return std::make_unique<ImplicitCodes<T, std::decay_t<decltype(src)>>>(src, v);
    });
}

template <class T>
std::unique_ptr<GroupCodes> explicit_of(const NativeColumn& c, double t, SegmentationThresholdType type) {
    return with_view<T>(c, [t, type](const auto& src) -> std::unique_ptr<GroupCodes> {
        return std::make_unique<ExplicitCodes<T, std::decay_t<decltype(src)>>>(src, t, type);
    });
}

// Bytes of a boolean column (any non-zero byte is true) with the codes of
// false and true elements.
std::unique_ptr<GroupCodes> binary_of(const NativeColumn& c, bool zero_in, bool one_in) {
    return with_view<std::uint8_t>(c, [zero_in, one_in](const auto& src) -> std::unique_ptr<GroupCodes> {
        return std::make_unique<BinaryCodes<std::decay_t<decltype(src)>>>(src, zero_in, one_in);
    });
}

std::unique_ptr<GroupCodes> from_mask(std::optional<GroupMask> mask) {
    if (!mask) return nullptr;
    return std::make_unique<MaskCodes>(std::move(*mask));
}

bool compare(double x, double t, SegmentationThresholdType type) {
    switch (type) {
        case SegmentationThresholdType::GreaterThan: return x > t;
        case SegmentationThresholdType::GreaterThanEqualTo: return x >= t;
        case SegmentationThresholdType::LessThan: return x < t;
        case SegmentationThresholdType::LessThanEqualTo: return x <= t;
    }
    return false;
}

}  // namespace

std::unique_ptr<GroupCodes> implicit_codes(PyObject* array, PyObject* label, bool& ran_python) {
    const ElementKind kind = determine_type(array);
    const auto native = native_column(array);
    if (native && kind == ElementKind::Integer && is_integer(native->type)) {
        if (native->type == NativeType::U64 && !uint64_column_fits(*native)) return nullptr;
        std::int64_t v;
        if (!read_integer_label(label, v)) return nullptr;
        switch (native->type) {
            case NativeType::I8: return implicit_of<std::int8_t>(*native, v);
            case NativeType::I16: return implicit_of<std::int16_t>(*native, v);
            case NativeType::I32: return implicit_of<std::int32_t>(*native, v);
            case NativeType::U8: return implicit_of<std::uint8_t>(*native, v);
            case NativeType::U16: return implicit_of<std::uint16_t>(*native, v);
            case NativeType::U32: return implicit_of<std::uint32_t>(*native, v);
            default: return implicit_of<std::int64_t>(*native, v);  // int64, and uint64 whose values fit
        }
    }
    if (native && kind == ElementKind::Float && (native->type == NativeType::F32 || native->type == NativeType::F64)) {
        double v;
        if (!read_float_label(label, v)) return nullptr;
        if (native->type == NativeType::F32) return implicit_of<float>(*native, v);
        return implicit_of<double>(*native, v);
    }
    if (native && kind == ElementKind::Boolean && native->type == NativeType::Bool) {
        bool v;
        if (!bool_label(label, v)) return nullptr;
        return binary_of(*native, !v, v);
    }
    ran_python = true;
    return from_mask(apply_label(array, label));
}

std::unique_ptr<GroupCodes> explicit_codes(PyObject* array, const std::optional<double>& threshold,
                                           const std::optional<std::string>& label,
                                           const std::optional<std::string>& threshold_type, bool& ran_python) {
    if (threshold && !label && threshold_type) {
        const auto native = native_column(array);
        const auto type = threshold_type_from_name(*threshold_type);
        if (native && native->type != NativeType::Unicode && type) {
            const double t = *threshold;
            switch (native->type) {
                case NativeType::F32: return explicit_of<float>(*native, t, *type);
                case NativeType::F64: return explicit_of<double>(*native, t, *type);
                case NativeType::I8: return explicit_of<std::int8_t>(*native, t, *type);
                case NativeType::I16: return explicit_of<std::int16_t>(*native, t, *type);
                case NativeType::I32: return explicit_of<std::int32_t>(*native, t, *type);
                case NativeType::I64: return explicit_of<std::int64_t>(*native, t, *type);
                case NativeType::U8: return explicit_of<std::uint8_t>(*native, t, *type);
                case NativeType::U16: return explicit_of<std::uint16_t>(*native, t, *type);
                case NativeType::U32: return explicit_of<std::uint32_t>(*native, t, *type);
                case NativeType::U64: return explicit_of<std::uint64_t>(*native, t, *type);
                case NativeType::Bool: return binary_of(*native, compare(0.0, t, *type), compare(1.0, t, *type));
                case NativeType::Unicode: break;
            }
        }
    }
    ran_python = true;
    return from_mask(label_explicit(array, threshold, label, threshold_type));
}

void reserve_mask_budget(std::size_t n) {
    // Default-initialised bytes: the allocator maps them, nothing writes
    // them. The pointer escapes, so the allocation is not optimised away.
    auto reserved = std::make_unique_for_overwrite<std::uint8_t[]>(n);
    std::uint8_t* p = reserved.get();
    asm volatile("" : : "r"(p) : "memory");
}

bool uint64_column_fits(const NativeColumn& c) {
    const Strided<std::uint64_t> src{c.data, c.stride, c.n};
    std::uint64_t high = 0;
    if (c.stride == static_cast<std::ptrdiff_t>(sizeof(std::uint64_t))) {
        // Packed: a constant stride, so the pass vectorises.
        for (std::size_t i = 0; i < c.n; ++i) {
            std::uint64_t v;
            std::memcpy(&v, c.data + i * sizeof(v), sizeof(v));
            high |= v;
        }
    } else {
        for (std::size_t i = 0; i < c.n; ++i) high |= src[i];
    }
    if (high <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return true;
    for (std::size_t i = 0; i < c.n; ++i) {
        if (src[i] > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return raise_uint64_overflow(src[i]);
        }
    }
    return true;
}

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
        const bool in_place = native && native->type != NativeType::Unicode;
        std::vector<double> owned;
        if (!in_place && !copy_floats(array, owned)) {
            PyErr_Clear();  // any unreadable array is a configuration error here
            return config_error();
        }
        const auto type = threshold_type_from_name(*threshold_type);
        if (!type) return config_error();
        if (in_place) {
            return visit_numeric(*native, [&](const auto& src) {
                return mask_of(src, [&] { return threshold_mask(src, *threshold, *type); });
            });
        }
        return mask_of(owned, [&] { return threshold_mask(view_of(owned), *threshold, *type); });
    }
    if (label) {
        if (threshold_type) return config_error();
        Column<StrLabels> items;
        if (!items.read(array)) {
            PyErr_Clear();
            return config_error();
        }
        return items.visit(
            [&](const auto& column) { return mask_of(column, [&] { return label_strings(column, *label); }); });
    }
    return config_error();
}

}  // namespace lumetra::py
