// Intake of NumPy arrays: element kinds, direct reads of 1-D native buffers,
// the Python-iteration copies used for every other layout, and segmentation of
// an array into a group mask.
#pragma once

#include "python/numpy_api.hpp"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/intake.hpp"
#include "python/ref.hpp"

namespace lumetra::py {

/// The element kind of a NumPy array, decided from its dtype.
ElementKind determine_type(PyObject* array);

/// Native element types whose 1-D buffers are read directly.
enum class NativeType : std::uint8_t { F32, F64, I8, I16, I32, I64, U8, U16, U32, U64, Bool, Unicode };

/// A 1-D array in native byte order with a directly readable dtype. Reading
/// it gives the same values as Python iteration of the array would.
struct NativeColumn {
    NativeType type;
    const char* data;
    std::ptrdiff_t stride;
    std::size_t n;
    std::size_t itemsize;
};

/// The direct-read description of `array`, or nullopt when the array must be
/// read by Python iteration (other shapes, byte-swapped, other dtypes).
std::optional<NativeColumn> native_column(PyObject* array);

/// A boolean column read as 0/1 bytes: any non-zero byte is true, as NumPy's
/// own truth conversion of a bool element has it.
struct BoolStrided {
    const char* data;
    std::ptrdiff_t stride;
    std::size_t n;
    std::size_t size() const noexcept { return n; }
    std::uint8_t operator[](std::size_t i) const noexcept {
        return static_cast<std::uint8_t>(data[static_cast<std::ptrdiff_t>(i) * stride] != 0);
    }
};

/// Calls f(view) with a Strided<T> of the column's numeric element type, or a
/// BoolStrided for booleans. Must not be called for Unicode columns.
template <class F>
decltype(auto) visit_numeric(const NativeColumn& c, F&& f) {
    auto view = [&](auto tag) {
        using T = decltype(tag);
        return Strided<T>{c.data, c.stride, c.n};
    };
    switch (c.type) {
        case NativeType::F32: return f(view(float{}));
        case NativeType::F64: return f(view(double{}));
        case NativeType::I8: return f(view(std::int8_t{}));
        case NativeType::I16: return f(view(std::int16_t{}));
        case NativeType::I32: return f(view(std::int32_t{}));
        case NativeType::I64: return f(view(std::int64_t{}));
        case NativeType::U8: return f(view(std::uint8_t{}));
        case NativeType::U16: return f(view(std::uint16_t{}));
        case NativeType::U32: return f(view(std::uint32_t{}));
        case NativeType::U64: return f(view(std::uint64_t{}));
        case NativeType::Bool:
        case NativeType::Unicode: break;
    }
    return f(BoolStrided{c.data, c.stride, c.n});
}

/// The column as UCS-4 strings (type must be Unicode).
inline Ucs4Column ucs4_column(const NativeColumn& c) { return Ucs4Column{c.data, c.stride, c.n, c.itemsize / 4}; }

/// How many items to reserve for a Python iteration expected to yield `rows`.
/// A row count alone is no evidence of memory (a (2**40, 0) array has no
/// elements, and the first row may fail to convert), so it is capped; the
/// vector grows past the cap as items actually arrive.
inline std::size_t reserve_for_rows(std::size_t rows) noexcept {
    constexpr std::size_t kCap = std::size_t{1} << 16;
    return rows < kCap ? rows : kCap;
}

/// How many items Python iteration of `obj` yields, when cheaply known (a
/// reservation hint, capped for arrays by reserve_for_rows).
std::size_t iteration_hint(PyObject* obj);

/// Walks the items Python iteration of `obj` yields, handing each to `take`,
/// which returns false with an exception set to stop. An exact list is walked
/// by index with each item held while `take` runs: user code may shrink or
/// clear the list, which ends the walk as the list's iterator would. Exact
/// tuples are walked in place; anything else through its iterator.
template <class Take>
bool for_each_item(PyObject* obj, Take&& take) {
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            if (!take(item.get())) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
            if (!take(PyTuple_GET_ITEM(obj, i))) return false;
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) return false;
    while (true) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return !PyErr_Occurred();
        if (!take(item.get())) return false;
    }
}

/// Iterates `obj` and converts each item with Python's float conversion.
/// False with the Python error set.
bool copy_floats(PyObject* obj, std::vector<double>& out);
/// Iterates `obj`, requiring each item to be a str, and copies its UTF-8 text.
bool copy_strings(PyObject* obj, std::vector<std::string>& out);
/// Reads an array as 64-bit floats: directly when possible, else copy_floats.
bool read_floats(PyObject* array, std::vector<double>& out);
/// Reads an array as strings: directly for native unicode arrays, else copy_strings.
bool read_strings(PyObject* array, std::vector<std::string>& out);

/// False, with the OverflowError Python iteration would raise, when a uint64
/// column holds a value beyond the int64 range.
bool uint64_column_fits(const NativeColumn& c);
/// The label of a float column: a float, or an int taken as a 64-bit integer.
/// False with TypeError "Data passed in is of hetergeneous types" otherwise.
bool read_float_label(PyObject* v, double& out);
/// The label of an integer column: an int, or a float truncated toward zero
/// (saturating, NaN as 0). False with the TypeError otherwise.
bool read_integer_label(PyObject* v, std::int64_t& out);

/// Implicit segmentation: label matching or thresholding chosen from the data.
/// nullopt with the Python error set on failure.
std::optional<GroupMask> apply_label(PyObject* array, PyObject* label_or_threshold);

/// Segments `array` like apply_label and hands the result on, so a caller can
/// count while segmenting: a numeric column read in place goes to
/// on_column(view, v), with v a double (float columns) or an int64 (integer
/// columns); any other array is segmented into a mask for on_mask(mask).
/// Returns what they return, or nullptr with the Python error set.
template <class OnColumn, class OnMask>
PyObject* segment_implicit(PyObject* array, PyObject* label, OnColumn&& on_column, OnMask&& on_mask) {
    const ElementKind kind = determine_type(array);
    const auto native = native_column(array);
    if (!native || (kind != ElementKind::Float && kind != ElementKind::Integer)) {
        auto mask = apply_label(array, label);
        if (!mask) return nullptr;
        return on_mask(*mask);
    }
    if (kind == ElementKind::Integer) {
        if (native->type == NativeType::U64 && !uint64_column_fits(*native)) return nullptr;
        std::int64_t v;
        if (!read_integer_label(label, v)) return nullptr;
        return visit_numeric(*native, [&](const auto& src) { return on_column(src, v); });
    }
    double v;
    if (!read_float_label(label, v)) return nullptr;
    return visit_numeric(*native, [&](const auto& src) { return on_column(src, v); });
}

/// Explicit segmentation by a threshold with its comparison, or by a label.
/// nullopt with ValueError "Invalid bias configuration" set on failure.
std::optional<GroupMask> label_explicit(PyObject* array, const std::optional<double>& threshold,
                                        const std::optional<std::string>& label,
                                        const std::optional<std::string>& threshold_type);

}  // namespace lumetra::py
