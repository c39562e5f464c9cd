// Segmentation of an array argument into a group mask (facet a, or the
// positive outcome): implicitly, by a label or threshold whose mode the data
// decides, or explicitly, by a threshold with its comparison or a label.
#pragma once

#include "python/numpy_api.hpp"

#include <cstdint>
#include <optional>
#include <string>

#include "core/intake.hpp"
#include "python/intake.hpp"

namespace lumetra::py {

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
