#include "core/intake.hpp"

#include "core/cpu.hpp"

namespace lumetra {

std::optional<SegmentationThresholdType> threshold_type_from_name(std::string_view text) {
    if (text == "GreaterThan") return SegmentationThresholdType::GreaterThan;
    if (text == "GreaterThanEqualTo") return SegmentationThresholdType::GreaterThanEqualTo;
    if (text == "LessThan") return SegmentationThresholdType::LessThan;
    if (text == "LessThanEqualTo") return SegmentationThresholdType::LessThanEqualTo;
    return std::nullopt;
}

std::u32string_view Ucs4Column::item(std::size_t i, std::u32string& scratch) const {
    const char* p = data + static_cast<std::ptrdiff_t>(i) * stride;
    scratch.resize(width);
    if (width != 0) std::memcpy(scratch.data(), p, width * sizeof(char32_t));
    std::size_t len = width;
    while (len > 0 && scratch[len - 1] == U'\0') --len;
    return std::u32string_view(scratch.data(), len);
}

bool ucs4_all_encodable(const Ucs4Column& col) {
    // Trailing NULs are encodable too, so every code point of every cell is
    // checked, in place: a contiguous column is one run of code points.
    const std::size_t cell = col.width * sizeof(char32_t);
    if (col.stride == static_cast<std::ptrdiff_t>(cell)) return detail::kernels::all_encodable(col.data, col.n * col.width);
    for (std::size_t i = 0; i < col.n; ++i) {
        if (!detail::kernels::all_encodable(col.data + static_cast<std::ptrdiff_t>(i) * col.stride, col.width)) {
            return false;
        }
    }
    return true;
}

std::string_view ucs4_utf8(const Ucs4Column& col, std::size_t i, std::string& buf) {
    // Reads code points straight from the column: this runs once per label
    // on hot paths, so it allocates nothing beyond `buf`'s own growth.
    buf.clear();
    const char* p = col.data + static_cast<std::ptrdiff_t>(i) * col.stride;
    auto at = [p](std::size_t j) {
        char32_t c;
        std::memcpy(&c, p + j * sizeof(char32_t), sizeof(char32_t));
        return c;
    };
    std::size_t len = col.width;
    while (len > 0 && at(len - 1) == U'\0') --len;
    for (std::size_t j = 0; j < len; ++j) {
        const char32_t c = at(j);
        if (c < 0x80) {
            buf.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            buf.push_back(static_cast<char>(0xC0 | (c >> 6)));
            buf.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            buf.push_back(static_cast<char>(0xE0 | (c >> 12)));
            buf.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            buf.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            buf.push_back(static_cast<char>(0xF0 | (c >> 18)));
            buf.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            buf.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            buf.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return buf;
}

GroupMask label_strings(std::span<const std::string_view> items, std::string_view label) {
    GroupMask mask(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) mask[i] = static_cast<std::uint8_t>(items[i] == label);
    return mask;
}

GroupMask label_strings(const Ucs4Column& col, std::string_view label) {
    GroupMask mask(col.n);
    std::string buf;
    for (std::size_t i = 0; i < col.n; ++i) mask[i] = static_cast<std::uint8_t>(ucs4_utf8(col, i, buf) == label);
    return mask;
}

GroupMask label_ucs4(const Ucs4Column& col, std::u32string_view label) {
    GroupMask mask(col.n);
    std::u32string scratch;
    for (std::size_t i = 0; i < col.n; ++i) mask[i] = static_cast<std::uint8_t>(col.item(i, scratch) == label);
    return mask;
}

namespace detail {

namespace kernels {

namespace {
template <class T>
inline std::uint64_t bit_key(T x) {
    std::uint64_t k;
    std::memcpy(&k, &x, sizeof k);
    return k;
}

template <std::size_t K, class T>
inline std::size_t bits_and_misses_k(const T* __restrict src, std::size_t n, std::uint8_t* __restrict mask, T v,
                                     const std::uint64_t* key_slots) {
    std::uint64_t keys[K];
    for (std::size_t s = 0; s < K; ++s) keys[s] = key_slots[s];
    std::size_t misses = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const T x = src[j];
        mask[j] = static_cast<std::uint8_t>((x == v) | ((x >= v) << 1));
        const std::uint64_t k = bit_key(x);
        std::size_t hit = 0;
        for (std::size_t s = 0; s < K; ++s) hit |= static_cast<std::size_t>(k == keys[s]);
        misses += hit ^ 1u;
    }
    return misses;
}

// Only as many keys as are known are compared (unused slots repeat the first).
template <class T>
inline std::size_t bits_and_misses_impl(const T* src, std::size_t n, std::uint8_t* mask, T v,
                                        const std::uint64_t* keys, std::size_t known) {
    if (known <= 2) return bits_and_misses_k<2>(src, n, mask, v, keys);
    if (known <= 4) return bits_and_misses_k<4>(src, n, mask, v, keys);
    return bits_and_misses_k<DistinctCounter::kSmall>(src, n, mask, v, keys);
}

template <class T>
inline void bits_impl(const T* __restrict src, std::size_t n, std::uint8_t* __restrict mask, T v) {
    for (std::size_t j = 0; j < n; ++j) {
        const T x = src[j];
        mask[j] = static_cast<std::uint8_t>((x == v) | ((x >= v) << 1));
    }
}
}  // namespace

LUMETRA_KERNEL(std::size_t, bits_and_misses,
               (const std::int64_t* src, std::size_t n, std::uint8_t* mask, std::int64_t v,
                const std::uint64_t* keys, std::size_t known),
               (src, n, mask, v, keys, known), { return bits_and_misses_impl(src, n, mask, v, keys, known); })

LUMETRA_KERNEL(std::size_t, bits_and_misses,
               (const double* src, std::size_t n, std::uint8_t* mask, double v, const std::uint64_t* keys,
                std::size_t known),
               (src, n, mask, v, keys, known), { return bits_and_misses_impl(src, n, mask, v, keys, known); })

LUMETRA_KERNEL(void, bits, (const std::int64_t* src, std::size_t n, std::uint8_t* mask, std::int64_t v),
               (src, n, mask, v), { bits_impl(src, n, mask, v); })

LUMETRA_KERNEL(void, bits, (const double* src, std::size_t n, std::uint8_t* mask, double v), (src, n, mask, v),
               { bits_impl(src, n, mask, v); })

LUMETRA_KERNEL(bool, all_encodable, (const char* code_points, std::size_t n) noexcept, (code_points, n), {
    // Above U+10FFFF, or a surrogate (U+D800 to U+DFFF): no UTF-8 form.
    std::uint32_t bad = 0;
    for (std::size_t j = 0; j < n; ++j) {
        std::uint32_t c;
        std::memcpy(&c, code_points + j * sizeof c, sizeof c);
        bad |= static_cast<std::uint32_t>(c > 0x10FFFFu) | static_cast<std::uint32_t>(c - 0xD800u < 0x800u);
    }
    return bad == 0;
})

LUMETRA_KERNEL(bool, all_within,
               (const std::int64_t* __restrict src, std::size_t n, std::int64_t lo, std::int64_t hi) noexcept,
               (src, n, lo, hi), {
    std::uint64_t outside = 0;
    for (std::size_t j = 0; j < n; ++j) outside |= static_cast<std::uint64_t>((src[j] < lo) | (src[j] > hi));
    return outside == 0;
})

}  // namespace kernels


bool DistinctCounter::insert(std::uint64_t key) {
    if (table_.empty()) {
        // Low-cardinality columns (outcomes, categories) never leave this
        // branch-free check of a handful of keys.
        bool seen = false;
        for (std::size_t k = 0; k < kSmall; ++k) seen |= (small_[k] == key);
        if (seen && small_n_ > 0) return false;
        if (small_n_ == 0) {
            for (std::uint64_t& slot : small_) slot = key;
            small_n_ = 1;
            ++count_;
            return true;
        }
        if (small_n_ < kSmall) {
            small_[small_n_++] = key;
            ++count_;
            return true;
        }
        table_.assign(initial_table_size(), 0);
        for (std::uint64_t k : small_) insert_hashed(k);
    }
    if (!insert_hashed(key)) return false;
    ++count_;
    return true;
}

std::size_t DistinctCounter::initial_table_size() const {
    // Counting stops once the share of distinct values passes the heuristic,
    // so a table sized for that many keys never needs to grow (past this
    // point more than 3 values were seen, so the heuristic is in use anyway).
    constexpr std::size_t kMaxInitial = std::size_t{1} << 22;
    const double bound = static_cast<double>(distribution_heuristic()) * static_cast<double>(column_size_) + 2.0;
    std::size_t want = 64;
    while (want < kMaxInitial && static_cast<double>(want) < 2.0 * bound) want *= 2;
    return want;
}

bool DistinctCounter::insert_hashed(std::uint64_t key) {
    if (key == 0) {
        if (has_zero_) return false;
        has_zero_ = true;
        return true;
    }
    const std::size_t mask = table_.size() - 1;
    std::size_t i = slot_hash(key) & mask;
    while (true) {
        const std::uint64_t slot = table_[i];
        if (slot == key) return false;
        if (slot == 0) break;
        i = (i + 1) & mask;
    }
    table_[i] = key;
    if (++used_ * 2 > table_.size()) grow();
    return true;
}

void DistinctCounter::grow() {
    std::vector<std::uint64_t> old(table_.size() * 2, 0);
    old.swap(table_);
    const std::size_t mask = table_.size() - 1;
    for (std::uint64_t key : old) {
        if (key == 0) continue;
        std::size_t i = slot_hash(key) & mask;
        while (table_[i] != 0) i = (i + 1) & mask;
        table_[i] = key;
    }
}

}  // namespace detail
}  // namespace lumetra
