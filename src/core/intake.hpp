// Segmentation of a column into a group mask: one 0/1 flag per element that
// marks facet a (for a feature) or the positive outcome (for truth and
// predictions). Columns are plain views over memory; the boundary builds them
// from NumPy buffers or from values it converted itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "settings.hpp"

namespace lumetra {

/// The class of a NumPy dtype, as the analyses see it.
enum class ElementKind : std::uint8_t { Float, Integer, Boolean, Other };

/// Comparison of an explicit threshold segmentation.
enum class SegmentationThresholdType : std::uint8_t { GreaterThan, GreaterThanEqualTo, LessThan, LessThanEqualTo };

/// Exact, case-sensitive parse of a threshold comparison name.
std::optional<SegmentationThresholdType> threshold_type_from_name(std::string_view text);

/// One flag per element: 1 in the group, 0 outside it.
using GroupMask = std::vector<std::uint8_t>;

/// A read-only view of n values of type T spaced `stride` bytes apart (the
/// stride may be negative). Reads go through memcpy, so no alignment or
/// aliasing assumption is made about the memory.
template <class T>
struct Strided {
    const char* data = nullptr;
    std::ptrdiff_t stride = sizeof(T);
    std::size_t n = 0;

    std::size_t size() const noexcept { return n; }
    T operator[](std::size_t i) const noexcept {
        T v;
        std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
        return v;
    }
};

/// A view over a contiguous vector.
template <class T>
Strided<T> view_of(const std::vector<T>& v) {
    return Strided<T>{reinterpret_cast<const char*>(v.data()), static_cast<std::ptrdiff_t>(sizeof(T)), v.size()};
}

/// A column of fixed-width UCS-4 strings (NumPy's unicode layout): `width`
/// code points per item, trailing NULs not part of the text.
struct Ucs4Column {
    const char* data = nullptr;
    std::ptrdiff_t stride = 0;
    std::size_t n = 0;
    std::size_t width = 0;

    std::size_t size() const noexcept { return n; }
    /// Code points of item i without its trailing NULs.
    std::u32string_view item(std::size_t i, std::u32string& scratch) const;
};

/// True when every item holds only code points that have a UTF-8 form.
bool ucs4_all_encodable(const Ucs4Column& col);

namespace detail {

/// Counts distinct 64-bit keys; tiny sets are checked without hashing.
class DistinctCounter {
public:
    /// Records a key; returns true when it was not seen before.
    bool insert(std::uint64_t key);
    /// Records a value that equals no other (a NaN); always fresh.
    bool add_unhashed() noexcept {
        ++count_;
        return true;
    }
    std::uint64_t count() const noexcept { return count_; }

private:
    static constexpr std::size_t kSmall = 8;
    bool insert_hashed(std::uint64_t key);
    void grow();

    std::uint64_t small_[kSmall] = {};  // unused slots repeat the first key
    std::size_t small_n_ = 0;
    std::uint64_t count_ = 0;
    std::vector<std::uint64_t> table_;  // open addressing; slot value 0 means empty
    bool has_zero_ = false;
    std::size_t used_ = 0;
};

/// Label matching when the column has at most 3 distinct values or their
/// share, in single precision, is at most the heuristic.
inline bool label_mode_for(std::uint64_t distinct, std::size_t n) {
    if (distinct <= 3) return true;
    return static_cast<float>(distinct) / static_cast<float>(n) <= distribution_heuristic();
}

inline std::uint64_t key_of(double x) {
    std::uint64_t k;
    std::memcpy(&k, &x, sizeof k);
    return k;
}
inline std::uint64_t key_of(std::int64_t x) { return static_cast<std::uint64_t>(x); }

}  // namespace detail

/// Implicit segmentation of a numeric column against value v. `Value` is
/// double (float columns) or int64 (integer columns); `Src` yields values
/// convertible to it. Counts distinct values (bit patterns for floats, every
/// NaN distinct) only until the mode is decided, then either matches v
/// exactly or keeps elements >= v.
template <class Value, class Src>
GroupMask label_numeric(const Src& src, Value v) {
    const std::size_t n = src.size();
    GroupMask mask(n);
    // Each element gets both answers (bit 0: equal, bit 1: at least v) in the
    // same pass that counts distinct values; the mode picks one at the end.
    detail::DistinctCounter distinct;
    std::size_t i = 0;
    bool decided_threshold = false;
    for (; i < n; ++i) {
        const Value x = static_cast<Value>(src[i]);
        mask[i] = static_cast<std::uint8_t>((x == v) | ((x >= v) << 1));
        bool fresh;
        if constexpr (std::is_floating_point_v<Value>) {
            // Every NaN is a distinct value of its own; other values are told
            // apart by bit pattern (so +0.0 and -0.0 differ).
            fresh = (x != x) ? distinct.add_unhashed() : distinct.insert(detail::key_of(x));
        } else {
            fresh = distinct.insert(detail::key_of(x));
        }
        if (fresh && distinct.count() > 3 && !detail::label_mode_for(distinct.count(), n)) {
            decided_threshold = true;
            ++i;
            break;
        }
    }
    if (decided_threshold) {
        for (; i < n; ++i) {
            const Value x = static_cast<Value>(src[i]);
            mask[i] = static_cast<std::uint8_t>((x >= v) << 1);
        }
    }
    const int shift = (decided_threshold || !detail::label_mode_for(distinct.count(), n)) ? 1 : 0;
    for (std::size_t k = 0; k < n; ++k) mask[k] = static_cast<std::uint8_t>((mask[k] >> shift) & 1u);
    return mask;
}

/// Boolean column: 1 where the element equals the label.
template <class Src>
GroupMask label_bool(const Src& src, bool v) {
    GroupMask mask(src.size());
    for (std::size_t i = 0; i < src.size(); ++i) mask[i] = static_cast<std::uint8_t>(static_cast<bool>(src[i]) == v);
    return mask;
}

/// String column: 1 where the element equals the label byte for byte.
GroupMask label_strings(const std::vector<std::string>& items, std::string_view label);
/// The same over a UCS-4 column, with the label as code points.
GroupMask label_ucs4(const Ucs4Column& col, std::u32string_view label);

/// Explicit threshold segmentation; NaN elements are never in the group.
template <class Src>
GroupMask threshold_mask(const Src& src, double t, SegmentationThresholdType type) {
    GroupMask mask(src.size());
    for (std::size_t i = 0; i < src.size(); ++i) {
        const double x = static_cast<double>(src[i]);
        bool in = false;
        switch (type) {
            case SegmentationThresholdType::GreaterThan: in = x > t; break;
            case SegmentationThresholdType::GreaterThanEqualTo: in = x >= t; break;
            case SegmentationThresholdType::LessThan: in = x < t; break;
            case SegmentationThresholdType::LessThanEqualTo: in = x <= t; break;
        }
        mask[i] = static_cast<std::uint8_t>(in);
    }
    return mask;
}

}  // namespace lumetra
