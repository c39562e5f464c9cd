// Segmentation of an array argument into a group mask (facet a, or the
// positive outcome): implicitly, by a label or threshold whose mode the data
// decides, or explicitly, by a threshold with its comparison or a label.
#pragma once

#include "binding/numpy_api.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "core/intake.hpp"
#include "core/segment.hpp"
#include "binding/intake.hpp"

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

/// Explicit segmentation by a threshold with its comparison, or by a label.
/// nullopt with ValueError "Invalid bias configuration" set on failure.
std::optional<GroupMask> label_explicit(PyObject* array, const std::optional<double>& threshold,
                                        const std::optional<std::string>& label,
                                        const std::optional<std::string>& threshold_type);

/// The group codes of an array for implicit segmentation (as apply_label
/// decides it): a numeric or boolean array read in place is segmented block
/// by block while an analysis counts; any other array is segmented into a
/// mask first, which sets `ran_python` (Python iteration may run user code).
/// nullptr with the Python error set on failure.
std::unique_ptr<GroupCodes> implicit_codes(PyObject* array, PyObject* label, bool& ran_python);

/// The group codes of an array for explicit segmentation (as label_explicit
/// decides it), in place for a numeric or boolean array segmented by
/// threshold. nullptr with ValueError "Invalid bias configuration" set on failure.
std::unique_ptr<GroupCodes> explicit_codes(PyObject* array, const std::optional<double>& threshold,
                                           const std::optional<std::string>& label,
                                           const std::optional<std::string>& threshold_type, bool& ran_python);

/// Makes the codes of N columns in order with make(i, ran_python); the first
/// failure ends it (false, with the Python error set). User code run while a
/// later column was read by Python iteration may have resized or retyped an
/// array read in place before it, so such columns are read again, as they
/// then stand, before any is counted.
/// Analyses count without masks, yet keep the memory a mask of their
/// longest column would take as their bound: it is reserved (never touched,
/// so it costs no page of memory) and released at once. A column longer than
/// any mask could be (a broadcast view of 2**50 elements) is thus refused
/// with MemoryError, as a call that cannot be completed, instead of being
/// read for days. Throws std::bad_alloc.
void reserve_mask_budget(std::size_t n);

template <std::size_t N, class Make>
bool codes_in_order(std::array<std::unique_ptr<GroupCodes>, N>& out, Make&& make) {
    std::size_t last_python = N;
    for (std::size_t i = 0; i < N; ++i) {
        bool ran = false;
        out[i] = make(i, ran);
        if (!out[i]) return false;
        if (ran) last_python = i;
    }
    while (last_python != N) {
        const std::size_t upto = last_python;
        last_python = N;
        for (std::size_t i = 0; i < upto; ++i) {
            if (!out[i]->reads_in_place()) continue;
            bool ran = false;
            out[i] = make(i, ran);
            if (!out[i]) return false;
            if (ran) last_python = i;  // it became a copy: those before it are read again
        }
    }
    std::size_t longest = 0;
    for (const auto& c : out) longest = c->size() > longest ? c->size() : longest;
    reserve_mask_budget(longest);
    return true;
}

}  // namespace lumetra::py
