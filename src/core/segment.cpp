#include "core/segment.hpp"

#include <bit>

#include "core/cpu.hpp"

#if defined(LUMETRA_AVX2_PATHS)
#include <immintrin.h>
#endif

namespace lumetra {

namespace detail {

std::uint64_t label_limit(std::size_t n) {
    if (label_mode_for(n, n)) return n;
    // The rule holds for a prefix of counts (the share only grows with the
    // count), at least up to 3: the last count for which it holds.
    std::uint64_t lo = 3, hi = n;
    while (hi - lo > 1) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        (label_mode_for(mid, n) ? lo : hi) = mid;
    }
    return lo;
}

float ceil_float(double t) noexcept {
    float f = static_cast<float>(t);
    if (static_cast<double>(f) < t) f = std::nextafter(f, std::numeric_limits<float>::infinity());
    return f;
}

float floor_float(double t) noexcept {
    float f = static_cast<float>(t);
    if (static_cast<double>(f) > t) f = std::nextafter(f, -std::numeric_limits<float>::infinity());
    return f;
}

namespace {

inline std::uint64_t spread(std::uint64_t k) noexcept { return k * 0x9E3779B97F4A7C15ULL; }

constexpr std::size_t kSparseTableBytes = 32 * 1024;

template <class K>
inline K load_key(const unsigned char* keys, std::size_t j) noexcept {
    K k;
    std::memcpy(&k, keys + j * sizeof(K), sizeof(K));
    return k;
}

// Whether a block holds a key that is none of the first S known ones. The
// answer is a flag or-ed over the block, not a count: a sum across the
// vector lanes costs more than the comparisons themselves.
template <std::size_t S, class K>
inline bool new_key_k(const unsigned char* __restrict keys, std::size_t m, const K* known_slots) {
    K known[S];
    for (std::size_t s = 0; s < S; ++s) known[s] = known_slots[s];
    K missed = 0;
    for (std::size_t j = 0; j < m; ++j) {
        const K k = load_key<K>(keys, j);
        K hit = 0;
        for (std::size_t s = 0; s < S; ++s) hit |= static_cast<K>(k == known[s]);
        missed |= hit ^ 1u;
    }
    return missed != 0;
}

// Only as many keys as are known are compared (unused slots repeat the first).
template <class K>
inline bool new_key_impl(const unsigned char* keys, std::size_t m, const K* known, std::size_t n_known) {
    if (n_known <= 2) return new_key_k<2>(keys, m, known);
    if (n_known <= 4) return new_key_k<4>(keys, m, known);
    return new_key_k<8>(keys, m, known);
}

LUMETRA_KERNEL(bool, has_new_key,
               (const unsigned char* keys, std::size_t m, const std::uint32_t* known, std::size_t n_known),
               (keys, m, known, n_known), { return new_key_impl(keys, m, known, n_known); })

LUMETRA_KERNEL(bool, has_new_key,
               (const unsigned char* keys, std::size_t m, const std::uint64_t* known, std::size_t n_known),
               (keys, m, known, n_known), { return new_key_impl(keys, m, known, n_known); })

}  // namespace

template <class K>
bool DistinctDecider<K>::is_nan(K key) const noexcept {
    if (!nan_keys_) return false;
    // Exponent all ones and a non-zero fraction, whatever the sign.
    if constexpr (sizeof(K) == 8) {
        return (key << 1) > (std::uint64_t{0x7FF0000000000000} << 1);
    } else {
        return static_cast<std::uint32_t>(key << 1) > (std::uint32_t{0x7F800000} << 1);
    }
}

template <class K>
bool DistinctDecider<K>::add(const void* keys_in, std::size_t m) {
    if (threshold_) return true;
    const auto* keys = static_cast<const unsigned char*>(keys_in);
    std::size_t j = 0;
    if (phase_ == Phase::Small) j = add_small(keys, m);
    if (!threshold_ && phase_ == Phase::Table) j = add_table(keys, j, m);
    if (!threshold_ && phase_ == Phase::Bits) add_bits(keys, j, m);
    return threshold_;
}

template <class K>
std::size_t DistinctDecider<K>::add_small(const unsigned char* keys, std::size_t m) {
    // Low-cardinality columns (outcomes, categories) stay here, checked
    // branch-free a block at a time. A NaN is never a known key.
    if (small_n_ > 0 && !has_new_key(keys, m, small_, small_n_)) return m;
    for (std::size_t j = 0; j < m; ++j) {
        const K k = load_key<K>(keys, j);
        bool seen = false;
        for (std::size_t s = 0; s < small_n_; ++s) seen |= small_[s] == k;
        if (seen) continue;
        if (is_nan(k)) {
            ++nans_;
            if (over()) return m;
            continue;
        }
        if (small_n_ == kSmall) {
            start_table();
            return j;  // the table takes over from this key
        }
        if (small_n_ == 0) {
            for (K& slot : small_) slot = k;
        }
        small_[small_n_++] = k;
        ++keys_;
        if (over()) return m;
    }
    return m;
}

template <class K>
void DistinctDecider<K>::start_table() {
    table_log2_ = 6;
    table_.assign(std::size_t{1} << table_log2_, 0);
    for (std::size_t s = 0; s < small_n_; ++s) insert_table(small_[s]);
    phase_ = Phase::Table;
}

template <class K>
bool DistinctDecider<K>::insert_table(K key) {
    if (key == 0) {
        if (has_zero_) return false;
        has_zero_ = true;
        return true;
    }
    const std::size_t mask = table_.size() - 1;
    std::size_t i = static_cast<std::size_t>(spread(key) >> (64 - table_log2_));
    while (true) {
        const K slot = table_[i];
        if (slot == key) return false;
        if (slot == 0) break;
        i = (i + 1) & mask;
    }
    table_[i] = key;
    // A key off its home slot costs every one of its elements a mispredicted
    // branch, so the table stays sparse while it fits the first-level cache
    // (1/16 full: about 3% of keys displaced) and half full beyond.
    const std::size_t sparse = table_.size() * sizeof(K) <= kSparseTableBytes ? 16 : 2;
    if (++used_ * sparse > table_.size()) grow_table();
    return true;
}

template <class K>
void DistinctDecider<K>::grow_table() {
    std::vector<K> old(table_.size() * 2, 0);
    old.swap(table_);
    ++table_log2_;
    const std::size_t mask = table_.size() - 1;
    for (const K key : old) {
        if (key == 0) continue;
        std::size_t i = static_cast<std::size_t>(spread(key) >> (64 - table_log2_));
        while (table_[i] != 0) i = (i + 1) & mask;
        table_[i] = key;
    }
}

// Skipping known keys a vector at a time (eight 32-bit or four 64-bit keys)
// where the processor can gather. Each function skips keys from j on while
// all of a step are known and returns where a step with another key starts
// (or where the last few keys start); only a slot holding the key itself is a
// hit, so the keys it stops at are simply looked at one by one.
template <class K>
struct SkipKnown {
    /// Over the collision-free table (slots at direct_slot).
    std::size_t (*direct)(const K* slots, std::uint32_t mul, unsigned log2, const unsigned char* keys,
                          std::size_t j, std::size_t m) noexcept = nullptr;
    /// Over the hash set (2^log2 slots, log2 <= 32): the home slot and the
    /// one after it, where linear probing leaves most displaced keys. For
    /// 32-bit keys only: for 64-bit ones, four to a vector, the two gathers
    /// measured slower than the scalar probes they replace.
    std::size_t (*probed)(const K* table, unsigned log2, const unsigned char* keys, std::size_t j,
                          std::size_t m) noexcept = nullptr;
};

// The collision-free table's slot of a key: the top log2 bits of a 32-bit
// multiplicative hash (of both halves of a 64-bit key, with a second factor).
constexpr std::uint32_t second_factor(std::uint32_t mul) noexcept { return (mul * 0x2545F491u) | 1u; }
template <class K>
std::uint32_t direct_slot(K key, std::uint32_t mul, unsigned log2) noexcept {
    std::uint32_t h = static_cast<std::uint32_t>(key) * mul;
    if constexpr (sizeof(K) == 8) h += static_cast<std::uint32_t>(key >> 32) * second_factor(mul);
    return h >> (32 - log2);
}

#if defined(LUMETRA_AVX2_PATHS)
LUMETRA_TARGET_AVX2 std::size_t skip_direct_avx2(const std::uint32_t* slots, std::uint32_t mul,
                                                            unsigned log2, const unsigned char* keys,
                                                            std::size_t j, std::size_t m) noexcept {
    const __m256i factor = _mm256_set1_epi32(static_cast<int>(mul));
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(32 - log2));
    const __m256i every = _mm256_set1_epi32(-1);
    const int* base = reinterpret_cast<const int*>(slots);
    for (; j + 8 <= m; j += 8) {
        const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + j * 4));
        const __m256i at = _mm256_srl_epi32(_mm256_mullo_epi32(k, factor), shift);
        const __m256i slot = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), base, at, every, 4);
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(slot, k)) != -1) break;
    }
    return j;
}

LUMETRA_TARGET_AVX2 std::size_t skip_direct_avx2_64(const std::uint64_t* slots, std::uint32_t mul,
                                                               unsigned log2, const unsigned char* keys,
                                                               std::size_t j, std::size_t m) noexcept {
    const __m256i low = _mm256_set1_epi64x(static_cast<long long>(mul));
    const __m256i high = _mm256_set1_epi64x(static_cast<long long>(second_factor(mul)));
    const __m256i low32 = _mm256_set1_epi64x(0xFFFFFFFF);
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(32 - log2));
    const __m256i every = _mm256_set1_epi64x(-1);
    const auto* base = reinterpret_cast<const long long*>(slots);
    for (; j + 4 <= m; j += 4) {
        const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + j * 8));
        const __m256i h = _mm256_add_epi64(_mm256_mul_epu32(k, low), _mm256_mul_epu32(_mm256_srli_epi64(k, 32), high));
        const __m256i at = _mm256_srl_epi64(_mm256_and_si256(h, low32), shift);
        const __m256i slot = _mm256_mask_i64gather_epi64(_mm256_setzero_si256(), base, at, every, 8);
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi64(slot, k)) != -1) break;
    }
    return j;
}

// The home slot is the top log2 bits of spread(k), a 64-bit product; for a
// 32-bit key its upper half is hi32(k * lo32(C)) + lo32(k * hi32(C)), mod 2^32.
// Both candidate slots are read always: a branch on the first read would be
// mispredicted for the few displaced keys.
LUMETRA_TARGET_AVX2 std::size_t skip_probed_avx2(const std::uint32_t* table, unsigned log2,
                                                            const unsigned char* keys, std::size_t j,
                                                            std::size_t m) noexcept {
    constexpr std::uint64_t kSpread = 0x9E3779B97F4A7C15ULL;
    const __m256i c_lo = _mm256_set1_epi64x(static_cast<long long>(kSpread & 0xFFFFFFFFu));
    const __m256i c_hi = _mm256_set1_epi32(static_cast<int>(kSpread >> 32));
    const __m128i shift = _mm_cvtsi32_si128(static_cast<int>(32 - log2));
    const __m256i zero = _mm256_setzero_si256(), every = _mm256_set1_epi32(-1), one = _mm256_set1_epi32(1);
    const __m256i wrap = _mm256_set1_epi32(static_cast<int>((std::uint64_t{1} << log2) - 1));
    const int* slots = reinterpret_cast<const int*>(table);
    for (; j + 8 <= m; j += 8) {
        const __m256i k = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(keys + j * 4));
        const __m256i even = _mm256_srli_epi64(_mm256_mul_epu32(k, c_lo), 32);
        const __m256i odd = _mm256_mul_epu32(_mm256_srli_epi64(k, 32), c_lo);
        const __m256i high = _mm256_add_epi32(_mm256_blend_epi32(even, odd, 0xAA), _mm256_mullo_epi32(k, c_hi));
        const __m256i home = _mm256_srl_epi32(high, shift);
        const __m256i next = _mm256_and_si256(_mm256_add_epi32(home, one), wrap);
        const __m256i at_home = _mm256_mask_i32gather_epi32(zero, slots, home, every, 4);
        const __m256i after = _mm256_mask_i32gather_epi32(zero, slots, next, every, 4);
        __m256i hit = _mm256_or_si256(_mm256_cmpeq_epi32(at_home, k), _mm256_cmpeq_epi32(after, k));
        // Zero marks an empty slot, so the key zero is never a hit here.
        hit = _mm256_andnot_si256(_mm256_cmpeq_epi32(k, zero), hit);
        if (_mm256_movemask_epi8(hit) != -1) break;
    }
    return j;
}

template <class K>
SkipKnown<K> skip_known_for_this_machine() {
    if (!cpu::avx2()) return {};
    if constexpr (sizeof(K) == 4) {
        return {skip_direct_avx2, skip_probed_avx2};
    } else {
        return {skip_direct_avx2_64, nullptr};
    }
}
#else
template <class K>
SkipKnown<K> skip_known_for_this_machine() {
    return {};
}
#endif

template <class K>
void DistinctDecider<K>::build_direct() {
    direct_keys_ = keys_;
    direct_.clear();
    if (keys_ == 0 || keys_ > kDirectKeys) return;
    std::vector<K> known;
    for (const K key : table_) {
        if (key != 0) known.push_back(key);
    }
    if (has_zero_) known.push_back(0);
    // About 16 slots per key: a multiplier that leaves no two keys in one
    // slot is soon found among a few of a fixed list (a larger table after).
    // None found leaves the table empty, and the hash set serves alone.
    const unsigned first = static_cast<unsigned>(std::bit_width(known.size())) + 4;
    for (unsigned log2 = first; log2 <= first + 2; ++log2) {
        std::vector<K> slots(std::size_t{1} << log2);
        std::vector<unsigned char> used(slots.size());
        for (std::uint32_t attempt = 0; attempt < 8; ++attempt) {
            const std::uint32_t mul = (0x9E3779B1u + attempt * 0x6C8E9CF6u) | 1u;
            std::fill(used.begin(), used.end(), 0);
            bool alone = true;
            for (const K key : known) {
                const std::uint32_t at = direct_slot(key, mul, log2);
                alone = alone && !used[at];
                used[at] = 1;
                slots[at] = key;
            }
            if (!alone) continue;
            // An empty slot holds a key whose own slot is another, so no key
            // that belongs there can match it.
            for (std::size_t at = 0; at < slots.size(); ++at) {
                if (!used[at]) slots[at] = known[0];
            }
            direct_ = std::move(slots);
            direct_mul_ = mul;
            direct_log2_ = log2;
            return;
        }
    }
}

template <class K>
std::size_t DistinctDecider<K>::add_table(const unsigned char* keys, std::size_t j, std::size_t m) {
    const K* table = table_.data();
    unsigned shift = 64 - table_log2_;
    // Keys already seen are skipped a vector at a time where the processor
    // can gather; from a vector with another key among them on, the keys
    // before `one_by_one` are looked at singly.
    const SkipKnown<K> skip = skip_known_for_this_machine<K>();
    std::size_t one_by_one = j;
    for (; j < m; ++j) {
        if (skip.direct != nullptr && j >= one_by_one) {
            if (direct_keys_ != keys_) build_direct();
            if (!direct_.empty()) {
                j = skip.direct(direct_.data(), direct_mul_, direct_log2_, keys, j, m);
            } else if (skip.probed != nullptr && table_log2_ <= 32) {
                j = skip.probed(table, table_log2_, keys, j, m);
            }
            if (j == m) break;
            one_by_one = j + 32 / sizeof(K);
        }
        const K k = load_key<K>(keys, j);
        // A key already seen mostly sits in its home slot: one probe.
        if (table[spread(k) >> shift] == k && k != 0) continue;
        if (is_nan(k)) {
            ++nans_;
            if (over()) return m;
            continue;
        }
        if (!insert_table(k)) continue;
        table = table_.data();  // the table may have grown
        shift = 64 - table_log2_;
        ++keys_;
        if (over()) return m;
        if (!exact_ && keys_ > kTableKeys) {
            start_bits();
            return j + 1;
        }
    }
    return m;
}

template <class K>
void DistinctDecider<K>::start_bits() {
    // About 16 bits per value the limit allows keeps collisions (which only
    // delay the decision) rare, within a bound on memory.
    const unsigned want = static_cast<unsigned>(std::bit_width(limit_)) + 4;
    bits_log2_ = std::min(26u, std::max(16u, want));
    bits_.assign((std::size_t{1} << bits_log2_) / 64, 0);
    keys_ = 0;
    const unsigned shift = 64 - bits_log2_;
    auto set = [&](K key) {
        const std::uint64_t h = spread(key) >> shift;
        std::uint64_t& word = bits_[h >> 6];
        const std::uint64_t bit = std::uint64_t{1} << (h & 63);
        keys_ += (word & bit) == 0;
        word |= bit;
    };
    for (const K key : table_) {
        if (key != 0) set(key);
    }
    if (has_zero_) set(0);
    std::vector<K>().swap(table_);
    phase_ = Phase::Bits;
    over();
}

template <class K>
void DistinctDecider<K>::add_bits(const unsigned char* keys, std::size_t j, std::size_t m) {
    // A lower bound: equal keys share a hash, so distinct hashes never
    // outnumber distinct keys.
    const unsigned shift = 64 - bits_log2_;
    std::uint64_t* words = bits_.data();
    constexpr std::size_t kAhead = 16;
    for (; j < m; ++j) {
        if (j + kAhead < m) __builtin_prefetch(words + ((spread(load_key<K>(keys, j + kAhead)) >> shift) >> 6), 1);
        const K k = load_key<K>(keys, j);
        if (is_nan(k)) {
            ++nans_;
            if (over()) return;
            continue;
        }
        const std::uint64_t h = spread(k) >> shift;
        const std::uint64_t bit = std::uint64_t{1} << (h & 63);
        std::uint64_t& word = words[h >> 6];
        if (word & bit) continue;
        word |= bit;
        ++keys_;
        if (over()) return;
    }
}

template class DistinctDecider<std::uint32_t>;
template class DistinctDecider<std::uint64_t>;

namespace kernels {
namespace {

template <class T>
inline void implicit_impl(const T* __restrict s, std::size_t n, std::uint8_t* __restrict c,
                          const ImplicitTest<T>& t) {
    const T e = t.e, g = t.ge.g;
    if (t.ge.any && !t.ge.all) {
        if (t.eq) {
            for (std::size_t j = 0; j < n; ++j) c[j] = static_cast<std::uint8_t>((s[j] == e) | ((s[j] >= g) << 1));
        } else {
            for (std::size_t j = 0; j < n; ++j) c[j] = static_cast<std::uint8_t>((s[j] >= g) << 1);
        }
        return;
    }
    const std::uint8_t high = (t.ge.all && t.ge.any) ? 2 : 0;  // every element, or none, at least v
    if (t.eq) {
        for (std::size_t j = 0; j < n; ++j) c[j] = static_cast<std::uint8_t>((s[j] == e) | high);
    } else {
        std::memset(c, high, n);
    }
}

template <class T>
inline void explicit_impl(const T* __restrict s, std::size_t n, std::uint8_t* __restrict c,
                          const ExplicitTest<T>& t) {
    using S = SegmentationThresholdType;
    if constexpr (std::is_floating_point_v<T>) {
        const T b = t.bound;
        switch (t.type) {
            case S::GreaterThan:
                for (std::size_t j = 0; j < n; ++j) c[j] = static_cast<std::uint8_t>((s[j] > b) * 3);
                break;
            case S::GreaterThanEqualTo:
                for (std::size_t j = 0; j < n; ++j) c[j] = static_cast<std::uint8_t>((s[j] >= b) * 3);
                break;
            case S::LessThan:
                for (std::size_t j = 0; j < n; ++j) c[j] = static_cast<std::uint8_t>((s[j] < b) * 3);
                break;
            case S::LessThanEqualTo:
                for (std::size_t j = 0; j < n; ++j) c[j] = static_cast<std::uint8_t>((s[j] <= b) * 3);
                break;
        }
    } else {
        const T g = t.up.g;
        if (t.up.any && !t.up.all) {
            if (t.invert) {
                for (std::size_t j = 0; j < n; ++j) c[j] = static_cast<std::uint8_t>((s[j] < g) * 3);
            } else {
                for (std::size_t j = 0; j < n; ++j) c[j] = static_cast<std::uint8_t>((s[j] >= g) * 3);
            }
        } else {
            const bool in = ((t.up.all & t.up.any) ^ t.invert) != 0;
            std::memset(c, in ? 3 : 0, n);
        }
    }
}

}  // namespace

template <std::size_t S, class T, class K>
inline bool codes_and_new_key_k(const T* __restrict s, std::size_t n, std::uint8_t* __restrict c,
                                const ImplicitTest<T>& t, const K* known_slots) noexcept {
    K known[S];
    for (std::size_t k = 0; k < S; ++k) known[k] = known_slots[k];
    const T e = t.e, g = t.ge.g;
    const std::uint8_t eq = t.eq;
    K missed = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const T x = s[j];
        c[j] = static_cast<std::uint8_t>(((x == e) & eq) | ((x >= g) << 1));
        K key;
        std::memcpy(&key, &x, sizeof key);
        K hit = 0;
        for (std::size_t k = 0; k < S; ++k) hit |= static_cast<K>(key == known[k]);
        missed |= hit ^ 1u;
    }
    return missed != 0;
}

template <class T, class K>
inline bool codes_and_new_key_impl(const T* s, std::size_t n, std::uint8_t* c, const ImplicitTest<T>& t,
                                   const K* known, std::size_t n_known) noexcept {
    if (!(t.ge.any && !t.ge.all)) {
        // Every element or none at least v: the plain kernel, then the check.
        implicit_impl(s, n, c, t);
        return new_key_impl(reinterpret_cast<const unsigned char*>(s), n, known, n_known);
    }
    if (n_known <= 2) return codes_and_new_key_k<2>(s, n, c, t, known);
    if (n_known <= 4) return codes_and_new_key_k<4>(s, n, c, t, known);
    return codes_and_new_key_k<8>(s, n, c, t, known);
}

LUMETRA_KERNEL(bool, codes_and_new_key,
               (const float* src, std::size_t n, std::uint8_t* out, const ImplicitTest<float>& test,
                const std::uint32_t* known, std::size_t n_known) noexcept,
               (src, n, out, test, known, n_known),
               { return codes_and_new_key_impl(src, n, out, test, known, n_known); })

LUMETRA_KERNEL(bool, codes_and_new_key,
               (const double* src, std::size_t n, std::uint8_t* out, const ImplicitTest<double>& test,
                const std::uint64_t* known, std::size_t n_known) noexcept,
               (src, n, out, test, known, n_known),
               { return codes_and_new_key_impl(src, n, out, test, known, n_known); })

#define LUMETRA_DEFINE_CODE_KERNELS(T)                                                                     \
    LUMETRA_KERNEL(void, codes, (const T* src, std::size_t n, std::uint8_t* out, const ImplicitTest<T>& test) noexcept, \
                   (src, n, out, test), { implicit_impl(src, n, out, test); })                              \
    LUMETRA_KERNEL(void, codes, (const T* src, std::size_t n, std::uint8_t* out, const ExplicitTest<T>& test) noexcept, \
                   (src, n, out, test), { explicit_impl(src, n, out, test); })
LUMETRA_DEFINE_CODE_KERNELS(std::int8_t)
LUMETRA_DEFINE_CODE_KERNELS(std::int16_t)
LUMETRA_DEFINE_CODE_KERNELS(std::int32_t)
LUMETRA_DEFINE_CODE_KERNELS(std::int64_t)
LUMETRA_DEFINE_CODE_KERNELS(std::uint8_t)
LUMETRA_DEFINE_CODE_KERNELS(std::uint16_t)
LUMETRA_DEFINE_CODE_KERNELS(std::uint32_t)
LUMETRA_DEFINE_CODE_KERNELS(float)
LUMETRA_DEFINE_CODE_KERNELS(double)
#undef LUMETRA_DEFINE_CODE_KERNELS

#define LUMETRA_DEFINE_RANGE_KERNEL(T)                                                                  \
    LUMETRA_KERNEL(void, min_max, (const T* __restrict src, std::size_t n, T& lo, T& hi) noexcept, \
                   (src, n, lo, hi), {                                                              \
                       T a = src[0], b = src[0];                                                    \
                       for (std::size_t j = 1; j < n; ++j) {                                        \
                           a = src[j] < a ? src[j] : a;                                             \
                           b = src[j] > b ? src[j] : b;                                             \
                       }                                                                            \
                       lo = a;                                                                      \
                       hi = b;                                                                      \
                   })
LUMETRA_DEFINE_RANGE_KERNEL(std::int32_t)
LUMETRA_DEFINE_RANGE_KERNEL(std::int64_t)
LUMETRA_DEFINE_RANGE_KERNEL(std::uint32_t)
#undef LUMETRA_DEFINE_RANGE_KERNEL

#define LUMETRA_DEFINE_GATHER_KERNEL(T)                                                                   \
    LUMETRA_KERNEL(void, every_second, (const char* __restrict src, std::size_t n, T* __restrict out) noexcept, \
                   (src, n, out), {                                                                   \
                       for (std::size_t j = 0; j < n; ++j) {                                          \
                           std::memcpy(out + j, src + 2 * sizeof(T) * j, sizeof(T));                  \
                       }                                                                              \
                   })
LUMETRA_DEFINE_GATHER_KERNEL(std::int8_t)
LUMETRA_DEFINE_GATHER_KERNEL(std::int16_t)
LUMETRA_DEFINE_GATHER_KERNEL(std::int32_t)
LUMETRA_DEFINE_GATHER_KERNEL(std::int64_t)
LUMETRA_DEFINE_GATHER_KERNEL(std::uint8_t)
LUMETRA_DEFINE_GATHER_KERNEL(std::uint16_t)
LUMETRA_DEFINE_GATHER_KERNEL(std::uint32_t)
LUMETRA_DEFINE_GATHER_KERNEL(std::uint64_t)
LUMETRA_DEFINE_GATHER_KERNEL(float)
LUMETRA_DEFINE_GATHER_KERNEL(double)
#undef LUMETRA_DEFINE_GATHER_KERNEL

LUMETRA_KERNEL(void, binary_codes,
               (const std::uint8_t* __restrict src, std::size_t n, std::uint8_t* __restrict out, std::uint8_t zero,
                std::uint8_t one) noexcept,
               (src, n, out, zero, one), {
                   for (std::size_t j = 0; j < n; ++j) out[j] = src[j] != 0 ? one : zero;
               })

LUMETRA_KERNEL(void, codes,
               (const std::uint64_t* src, std::size_t n, std::uint8_t* out,
                const ExplicitTest<std::uint64_t>& test) noexcept,
               (src, n, out, test), { explicit_impl(src, n, out, test); })

}  // namespace kernels
}  // namespace detail

namespace {

// Byte counters take at most this many elements before they are widened.
constexpr std::size_t kByteRun = 240;

template <unsigned A, unsigned B>
inline void pair_sums(PairSums& s, const std::uint8_t* __restrict x, const std::uint8_t* __restrict y,
                      std::size_t m) noexcept {
    std::uint64_t first = 0, second = 0, both = 0;
    for (std::size_t i = 0; i < m; i += kByteRun) {
        const std::size_t end = std::min(m, i + kByteRun);
        std::uint8_t cf = 0, cs = 0, cb = 0;
        for (std::size_t j = i; j < end; ++j) {
            const std::uint8_t u = static_cast<std::uint8_t>((x[j] >> A) & 1u);
            const std::uint8_t v = static_cast<std::uint8_t>((y[j] >> B) & 1u);
            cf = static_cast<std::uint8_t>(cf + u);
            cs = static_cast<std::uint8_t>(cs + v);
            cb = static_cast<std::uint8_t>(cb + (u & v));
        }
        first += cf;
        second += cs;
        both += cb;
    }
    s.first += first;
    s.second += second;
    s.both += both;
}

template <unsigned A, unsigned B, unsigned C>
inline void triple_sums(TripleSums& s, const std::uint8_t* __restrict f, const std::uint8_t* __restrict g,
                        const std::uint8_t* __restrict p, std::size_t m) noexcept {
    TripleSums t;
    for (std::size_t i = 0; i < m; i += kByteRun) {
        const std::size_t end = std::min(m, i + kByteRun);
        std::uint8_t cf = 0, cg = 0, cp = 0, cfg = 0, cfp = 0, cgp = 0, cfgp = 0;
        for (std::size_t j = i; j < end; ++j) {
            const std::uint8_t u = static_cast<std::uint8_t>((f[j] >> A) & 1u);
            const std::uint8_t v = static_cast<std::uint8_t>((g[j] >> B) & 1u);
            const std::uint8_t w = static_cast<std::uint8_t>((p[j] >> C) & 1u);
            const std::uint8_t uv = u & v;
            cf = static_cast<std::uint8_t>(cf + u);
            cg = static_cast<std::uint8_t>(cg + v);
            cp = static_cast<std::uint8_t>(cp + w);
            cfg = static_cast<std::uint8_t>(cfg + uv);
            cfp = static_cast<std::uint8_t>(cfp + (u & w));
            cgp = static_cast<std::uint8_t>(cgp + (v & w));
            cfgp = static_cast<std::uint8_t>(cfgp + (uv & w));
        }
        t.f += cf;
        t.g += cg;
        t.p += cp;
        t.fg += cfg;
        t.fp += cfp;
        t.gp += cgp;
        t.fgp += cfgp;
    }
    s += t;
}

}  // namespace

// The bits are template arguments, so the shifts are constants and the
// byte loops vectorise.
LUMETRA_KERNEL(void, add_pair_sums,
               (PairSums& s, const std::uint8_t* x, unsigned a, const std::uint8_t* y, unsigned b,
                std::size_t m) noexcept,
               (s, x, a, y, b, m), {
    switch ((a << 1) | b) {
        case 0: pair_sums<0, 0>(s, x, y, m); break;
        case 1: pair_sums<0, 1>(s, x, y, m); break;
        case 2: pair_sums<1, 0>(s, x, y, m); break;
        default: pair_sums<1, 1>(s, x, y, m); break;
    }
})

LUMETRA_KERNEL(void, add_triple_sums,
               (TripleSums& s, const std::uint8_t* f, unsigned a, const std::uint8_t* g, unsigned b,
                const std::uint8_t* p, unsigned c, std::size_t m) noexcept,
               (s, f, a, g, b, p, c, m), {
    switch ((a << 2) | (b << 1) | c) {
        case 0: triple_sums<0, 0, 0>(s, f, g, p, m); break;
        case 1: triple_sums<0, 0, 1>(s, f, g, p, m); break;
        case 2: triple_sums<0, 1, 0>(s, f, g, p, m); break;
        case 3: triple_sums<0, 1, 1>(s, f, g, p, m); break;
        case 4: triple_sums<1, 0, 0>(s, f, g, p, m); break;
        case 5: triple_sums<1, 0, 1>(s, f, g, p, m); break;
        case 6: triple_sums<1, 1, 0>(s, f, g, p, m); break;
        default: triple_sums<1, 1, 1>(s, f, g, p, m); break;
    }
})

}  // namespace lumetra
