// Segmentation of a column into a group mask: one 0/1 flag per element that
// marks facet a (for a feature) or the positive outcome (for truth and
// predictions). Columns are plain views over memory; the boundary builds them
// from NumPy buffers or from values it converted itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <memory>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/settings.hpp"

namespace lumetra {

/// The class of a NumPy dtype, as the analyses see it.
enum class ElementKind : std::uint8_t { Float, Integer, Boolean, Other };

/// Comparison of an explicit threshold segmentation.
enum class SegmentationThresholdType : std::uint8_t { GreaterThan, GreaterThanEqualTo, LessThan, LessThanEqualTo };

/// Exact, case-sensitive parse of a threshold comparison name.
std::optional<SegmentationThresholdType> threshold_type_from_name(std::string_view text);

/// Allocates without value-initialising: masks are written whole right after
/// they are sized, so zero-filling tens of megabytes first would be wasted.
template <class T>
struct UninitAllocator : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = UninitAllocator<U>;
    };
    UninitAllocator() noexcept = default;
    template <class U>
    UninitAllocator(const UninitAllocator<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};

/// One flag per element: 1 in the group, 0 outside it.
using GroupMask = std::vector<std::uint8_t, UninitAllocator<std::uint8_t>>;

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

/// A view of n aligned values of type T packed one after another: plain typed
/// loads, which the compiler can vectorise.
template <class T>
struct Packed {
    const T* data = nullptr;
    std::size_t n = 0;

    std::size_t size() const noexcept { return n; }
    T operator[](std::size_t i) const noexcept { return data[i]; }
};

/// NumPy's default integers given where 32-bit labels are meant, not yet
/// checked to fit: a consumer checks them as it reads them and fails with
/// nothing changed when one does not fit. Reading them once, checks and
/// counts together, is the point: a separate check would be a second pass
/// over memory.
struct UncheckedInt64 {
    const std::int64_t* data = nullptr;
    std::size_t n = 0;

    std::size_t size() const noexcept { return n; }
};

template <class T>
struct is_strided : std::false_type {};
template <class T>
struct is_strided<Strided<T>> : std::true_type {};

/// Calls f(view) with a Packed view when `src` is a strided view whose
/// elements are adjacent, and with `src` itself otherwise.
template <class Src, class F>
decltype(auto) with_packed(const Src& src, F&& f) {
    if constexpr (is_strided<Src>::value) {
        using T = decltype(src[0]);
        const bool aligned = reinterpret_cast<std::uintptr_t>(src.data) % alignof(T) == 0;
        if (src.stride == static_cast<std::ptrdiff_t>(sizeof(T)) && aligned) {
            return f(Packed<T>{reinterpret_cast<const T*>(src.data), src.n});
        }
    }
    return f(src);
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

/// UTF-8 text of item i (without trailing NULs), built in `buf`; the item
/// must hold only encodable code points (see ucs4_all_encodable).
std::string_view ucs4_utf8(const Ucs4Column& col, std::size_t i, std::string& buf);

/// True when every item holds only code points that have a UTF-8 form.
bool ucs4_all_encodable(const Ucs4Column& col);

namespace detail {

/// Counts distinct 64-bit keys; tiny sets are checked without hashing.
class DistinctCounter {
public:
    /// `column_size` sizes the hash table once small sets are outgrown.
    explicit DistinctCounter(std::size_t column_size = 0) noexcept : column_size_(column_size) {}

    /// Records a key; returns true when it was not seen before.
    bool insert(std::uint64_t key);
    /// Records a value that equals no other (a NaN); always fresh.
    bool add_unhashed() noexcept {
        ++count_;
        return true;
    }
    std::uint64_t count() const noexcept { return count_; }
    /// Hints the memory of `key`'s slot ahead of its insertion (hash mode):
    /// large tables miss the cache on nearly every key.
    void prefetch(std::uint64_t key) const noexcept {
        if (!table_.empty()) __builtin_prefetch(table_.data() + (slot_hash(key) & (table_.size() - 1)));
    }
    static std::size_t slot_hash(std::uint64_t k) noexcept {
        k ^= k >> 33;
        k *= 0xff51afd7ed558ccdULL;
        k ^= k >> 33;
        k *= 0xc4ceb9fe1a85ec53ULL;
        k ^= k >> 33;
        return static_cast<std::size_t>(k);
    }
    /// True while at most a handful of keys have been seen.
    bool small() const noexcept { return table_.empty(); }
    /// The keys seen so far while small(); unused slots repeat the first key.
    const std::uint64_t* small_keys() const noexcept { return small_; }
    std::size_t small_size() const noexcept { return small_n_; }

    static constexpr std::size_t kSmall = 8;

private:
    bool insert_hashed(std::uint64_t key);
    std::size_t initial_table_size() const;
    void grow();

    std::uint64_t small_[kSmall] = {};  // unused slots repeat the first key
    std::size_t small_n_ = 0;
    std::uint64_t count_ = 0;
    std::vector<std::uint64_t> table_;  // open addressing; slot value 0 means empty
    bool has_zero_ = false;
    std::size_t used_ = 0;
    std::size_t column_size_ = 0;
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

namespace detail {

/// Writes the block's codes and tells whether every element repeats one of
/// the first K known keys, so distinct counting can skip the block.
template <std::size_t K, class Src, class Value, class Bits>
bool fill_block_known(const Src& src, std::size_t begin, std::size_t end, std::uint8_t* __restrict codes, Bits bits,
                      const std::uint64_t* key_slots) {
    // Keys are copied to locals: stores to the byte codes could otherwise
    // alias them and keep the loop from vectorising.
    std::uint64_t keys[K];
    for (std::size_t s = 0; s < K; ++s) keys[s] = key_slots[s];
    std::uint64_t misses = 0;
    for (std::size_t j = begin; j < end; ++j) {
        const Value x = static_cast<Value>(src[j]);
        codes[j - begin] = bits(x);
        const std::uint64_t k = key_of(x);
        std::uint64_t hit = 0;
        for (std::size_t s = 0; s < K; ++s) hit |= static_cast<std::uint64_t>(k == keys[s]);
        misses += hit ^ 1u;
    }
    return misses == 0;
}

/// Kernels for the two widest and most common column types, compiled for
/// several instruction sets and picked at load time: comparing 64-bit lanes
/// needs more than the baseline x86-64 vector unit offers. They only compare,
/// so every variant gives identical masks.
namespace kernels {
/// Writes mask bits (bit 0: x == v, bit 1: x >= v) and returns how many
/// elements are none of the `known` keys (the slots past them repeat the first).
std::size_t bits_and_misses(const std::int64_t* src, std::size_t n, std::uint8_t* mask, std::int64_t v,
                            const std::uint64_t* keys, std::size_t known);
std::size_t bits_and_misses(const double* src, std::size_t n, std::uint8_t* mask, double v,
                            const std::uint64_t* keys, std::size_t known);
/// Writes mask bits only.
void bits(const std::int64_t* src, std::size_t n, std::uint8_t* mask, std::int64_t v);
/// True when each of n UCS-4 code points (any alignment) has a UTF-8 form.
bool all_encodable(const char* code_points, std::size_t n) noexcept;
/// True when every value lies in [lo, hi].
bool all_within(const std::int64_t* src, std::size_t n, std::int64_t lo, std::int64_t hi) noexcept;
void bits(const double* src, std::size_t n, std::uint8_t* mask, double v);
}  // namespace kernels

template <class Src, class Value>
inline constexpr bool has_kernel = (std::is_same_v<Src, Packed<std::int64_t>> && std::is_same_v<Value, std::int64_t>) ||
                                   (std::is_same_v<Src, Packed<double>> && std::is_same_v<Value, double>);

inline constexpr std::size_t kSegmentBlock = 1024;

/// Segments a numeric column block by block: each element gets a code (bit 0:
/// equal to v, bit 1: at least v), handed to sink(begin, end, codes,
/// thresholding) one block at a time. Returns the shift that turns a code into
/// the group flag: 0 for label matching, 1 for thresholding. `thresholding`
/// tells a sink that the mode is already certain to be thresholding; until it
/// is, the mode is open, so sinks that cannot wait keep both answers. A scan
/// that ends without deciding is label matching: the count that would make it
/// thresholding decides it the moment it is reached.
template <class Value, class Src, class Sink>
unsigned segment_numeric_impl(const Src& src, Value v, Sink&& sink) {
    const std::size_t n = src.size();
    auto bits = [v](Value x) { return static_cast<std::uint8_t>((x == v) | ((x >= v) << 1)); };
    DistinctCounter distinct(n);
    // Counting stops as soon as thresholding is certain: more than 3 distinct
    // values and a share above the heuristic (which only grows with the count).
    auto decides_threshold = [&](Value x) {
        bool fresh;
        if constexpr (std::is_floating_point_v<Value>) {
            // Every NaN is a value of its own; others differ by bit pattern,
            // so +0.0 and -0.0 are two values.
            fresh = (x != x) ? distinct.add_unhashed() : distinct.insert(key_of(x));
        } else {
            fresh = distinct.insert(key_of(x));
        }
        return fresh && distinct.count() > 3 && !label_mode_for(distinct.count(), n);
    };
    auto codes_only = [&](std::size_t i, std::size_t end, std::uint8_t* codes) {
        if constexpr (has_kernel<Src, Value>) {
            kernels::bits(src.data + i, end - i, codes, v);
        } else {
            for (std::size_t j = i; j < end; ++j) codes[j - i] = bits(static_cast<Value>(src[j]));
        }
    };

    std::uint8_t codes[kSegmentBlock];
    std::size_t i = 0;
    bool threshold = false;
    while (i < n && !threshold) {
        const std::size_t end = std::min(i + kSegmentBlock, n);
        bool all_known = false;
        if (!distinct.small() || distinct.small_size() == 0) {
            codes_only(i, end, codes);
        } else if constexpr (has_kernel<Src, Value>) {
            all_known = kernels::bits_and_misses(src.data + i, end - i, codes, v, distinct.small_keys(),
                                                 distinct.small_size()) == 0;
        } else {
            const std::uint64_t* keys = distinct.small_keys();
            const std::size_t k = distinct.small_size();
            if (k <= 2) {
                all_known = fill_block_known<2, Src, Value>(src, i, end, codes, bits, keys);
            } else if (k <= 4) {
                all_known = fill_block_known<4, Src, Value>(src, i, end, codes, bits, keys);
            } else {
                all_known = fill_block_known<DistinctCounter::kSmall, Src, Value>(src, i, end, codes, bits, keys);
            }
        }
        if (!all_known) {
            constexpr std::size_t kAhead = 16;
            for (std::size_t j = i; j < end; ++j) {
                if (j + kAhead < end) distinct.prefetch(key_of(static_cast<Value>(src[j + kAhead])));
                if (decides_threshold(static_cast<Value>(src[j]))) {
                    threshold = true;
                    break;
                }
            }
        }
        sink(i, end, static_cast<const std::uint8_t*>(codes), threshold);
        i = end;
    }
    for (; i < n; i += kSegmentBlock) {
        const std::size_t end = std::min(i + kSegmentBlock, n);
        codes_only(i, end, codes);
        sink(i, end, static_cast<const std::uint8_t*>(codes), true);
    }
    return (threshold || !label_mode_for(distinct.count(), n)) ? 1u : 0u;
}

}  // namespace detail

/// Implicit segmentation of a numeric column against v, handing codes to a
/// sink block by block (see detail::segment_numeric_impl). `Value` is double
/// (float columns) or int64 (integer columns). Returns the code shift.
template <class Value, class Src, class Sink>
unsigned segment_numeric(const Src& src, Value v, Sink&& sink) {
    return with_packed(src, [&](const auto& s) { return detail::segment_numeric_impl<Value>(s, v, sink); });
}

/// Implicit segmentation of a numeric column against value v: label matching
/// (== v) when the column has at most 3 distinct values or their share, in
/// single precision, is at most the distribution heuristic; thresholding
/// (>= v) otherwise. NaN is in neither group.
template <class Value, class Src>
GroupMask label_numeric(const Src& src, Value v) {
    // Flags are written final: equality flags while the mode is open, which a
    // scan that never decides keeps (label matching); once thresholding is
    // certain, its flags, and the blocks written before are redone.
    GroupMask mask(src.size());
    std::uint8_t* out = mask.data();
    std::size_t redo = 0;
    bool thresholding = false;
    segment_numeric<Value>(src, v, [&](std::size_t begin, std::size_t end, const std::uint8_t* codes, bool known) {
        if (known && !thresholding) {
            thresholding = true;
            redo = begin;
        }
        const unsigned shift = known ? 1u : 0u;
        std::uint8_t* __restrict dst = out + begin;
        for (std::size_t j = 0; j < end - begin; ++j) dst[j] = static_cast<std::uint8_t>((codes[j] >> shift) & 1u);
    });
    with_packed(src, [&](const auto& s) {
        for (std::size_t j = 0; j < redo; ++j) out[j] = static_cast<std::uint8_t>(static_cast<Value>(s[j]) >= v);
    });
    return mask;
}

/// Boolean column: 1 where the element equals the label.
template <class Src>
GroupMask label_bool(const Src& src, bool v) {
    GroupMask mask(src.size());
    for (std::size_t i = 0; i < src.size(); ++i) mask[i] = static_cast<std::uint8_t>(static_cast<bool>(src[i]) == v);
    return mask;
}

/// String column: 1 where the element's UTF-8 text equals the label byte for byte.
GroupMask label_strings(std::span<const std::string_view> items, std::string_view label);
/// The same over a UCS-4 column whose items all have a UTF-8 form.
GroupMask label_strings(const Ucs4Column& col, std::string_view label);
/// The same over a UCS-4 column, with the label as code points.
GroupMask label_ucs4(const Ucs4Column& col, std::u32string_view label);

/// Explicit threshold segmentation; NaN elements are never in the group.
template <class Src>
GroupMask threshold_mask(const Src& src, double t, SegmentationThresholdType type) {
    return with_packed(src, [&](const auto& s) {
        GroupMask mask(s.size());
        auto fill = [&](auto in_group) {
            for (std::size_t i = 0; i < s.size(); ++i) mask[i] = static_cast<std::uint8_t>(in_group(static_cast<double>(s[i])));
        };
        switch (type) {
            case SegmentationThresholdType::GreaterThan: fill([t](double x) { return x > t; }); break;
            case SegmentationThresholdType::GreaterThanEqualTo: fill([t](double x) { return x >= t; }); break;
            case SegmentationThresholdType::LessThan: fill([t](double x) { return x < t; }); break;
            case SegmentationThresholdType::LessThanEqualTo: fill([t](double x) { return x <= t; }); break;
        }
        return mask;
    });
}

}  // namespace lumetra
