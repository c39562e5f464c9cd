#include "core/ordering.hpp"

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

#include "core/cpu.hpp"
#include "core/parallel.hpp"

namespace lumetra::ordering {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Values per block of a pass: a block's work is handed from thread to thread
// as a whole, and its results are merged in block order.
constexpr std::size_t kScanBlock = std::size_t{1} << 14;

// ---- keys ----------------------------------------------------------------------

// An unsigned key per double that orders as the doubles do (-0.0 just below
// 0.0, NaN outside every finite value and infinity): the sign bit flipped
// for positives, every bit flipped for negatives.
inline std::uint64_t key_of(double v) noexcept {
    std::uint64_t u;
    std::memcpy(&u, &v, sizeof u);
    const std::uint64_t negative = static_cast<std::uint64_t>(static_cast<std::int64_t>(u) >> 63);
    return u ^ (negative | 0x8000000000000000ULL);
}

inline int bit_length(std::uint64_t v) noexcept { return v == 0 ? 0 : 64 - __builtin_clzll(v); }

// A fixed mix of a counter: the positions of a sample, the same on every run.
inline std::uint64_t mix(std::uint64_t x) noexcept {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// `s` values of x at positions spread over it: one from each of s stretches
// of (about) equal length that cover x, at a mixed offset inside it, so that
// no period of the data meets a fixed stride. A sorted x gives a sorted
// sample whose ranks follow those of x.
std::vector<double> sample_of(std::span<const double> x, std::size_t s) {
    std::vector<double> out(s);
    const std::size_t n = x.size(), stride = n / s, extra = n % s;
    // Stretch j is [floor(j n / s), floor((j + 1) n / s)), stepped without a division.
    std::size_t begin = 0, remainder = 0;
    for (std::size_t j = 0; j < s; ++j) {
        std::size_t length = stride;
        remainder += extra;
        if (remainder >= s) {
            remainder -= s;
            ++length;
        }
        const auto offset = static_cast<std::size_t>(((mix(j) >> 32) * length) >> 32);
        out[j] = x[begin + offset];
        begin += length;
    }
    return out;
}

// ---- extremes -------------------------------------------------------------------

struct Extremes {
    double lo = kInf;
    double hi = -kInf;
    bool nan = false;

    void merge(const Extremes& o) noexcept {
        lo = o.lo < lo ? o.lo : lo;
        hi = o.hi > hi ? o.hi : hi;
        nan = nan || o.nan;
    }
};

void extremes_scalar(const double* x, std::size_t m, Extremes& e) noexcept {
    double lo = e.lo, hi = e.hi;
    bool nan = e.nan;
    for (std::size_t i = 0; i < m; ++i) {
        const double v = x[i];
        nan |= v != v;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
    }
    e.lo = lo;
    e.hi = hi;
    e.nan = nan;
}

// The extremes of a block, up to the sign of a zero extreme (fixed by the
// caller) and meaningless when it holds a NaN.
void block_extremes(const double* x, std::size_t m, Extremes& e) noexcept {
#if defined(__SSE2__)
    // SSE2 is part of every x86-64 processor: no dispatch needed.
    __m128d lo0 = _mm_set1_pd(e.lo), lo1 = lo0, hi0 = _mm_set1_pd(e.hi), hi1 = hi0;
    __m128d bad = _mm_setzero_pd();
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) {
        const __m128d a = _mm_loadu_pd(x + i), b = _mm_loadu_pd(x + i + 2);
        bad = _mm_or_pd(bad, _mm_or_pd(_mm_cmpunord_pd(a, a), _mm_cmpunord_pd(b, b)));
        lo0 = _mm_min_pd(lo0, a);
        lo1 = _mm_min_pd(lo1, b);
        hi0 = _mm_max_pd(hi0, a);
        hi1 = _mm_max_pd(hi1, b);
    }
    double lanes[4];
    _mm_storeu_pd(lanes, _mm_min_pd(lo0, lo1));
    e.lo = std::min({e.lo, lanes[0], lanes[1]});
    _mm_storeu_pd(lanes, _mm_max_pd(hi0, hi1));
    e.hi = std::max({e.hi, lanes[0], lanes[1]});
    e.nan = e.nan || _mm_movemask_pd(bad) != 0;
    extremes_scalar(x + i, m - i, e);
#else
    extremes_scalar(x, m, e);
#endif
}

// The zero a stable sort puts first (lo) or last (hi) among equal zeros.
void fix_zero_signs(std::span<const double> x, SampleScan& s) noexcept {
    if (s.nan) return;
    if (s.lo == 0.0) {
        for (double v : x) {
            if (v == 0.0) {
                s.lo = v;
                break;
            }
        }
    }
    if (s.hi == 0.0) {
        for (std::size_t i = x.size(); i-- > 0;) {
            if (x[i] == 0.0) {
                s.hi = x[i];
                break;
            }
        }
    }
}

SampleScan scan_of(std::span<const double> x, const Extremes& e) noexcept {
    SampleScan s;
    s.nan = e.nan;
    s.lo = e.lo;
    s.hi = e.hi;
    fix_zero_signs(x, s);
    return s;
}

bool ordered_range(const SampleScan& s) noexcept {
    return !s.nan && std::isfinite(s.lo) && std::isfinite(s.hi) && s.lo < s.hi;
}

// ---- selection ----------------------------------------------------------------

// The values at the ascending ranks `ranks` (ascending, at most 4) of v,
// which is reordered: nth_element on the middle rank, then each side for the
// ranks on it (a rank repeated takes the value once found).
void select_ranks(double* v, std::size_t n, const std::size_t* ranks, double* out, std::size_t count) {
    if (count == 0) return;
    const std::size_t mid = count / 2, r = ranks[mid];
    std::nth_element(v, v + r, v + n);
    const double pivot = v[r];
    out[mid] = pivot;
    std::size_t left = mid, right = mid + 1;
    while (left > 0 && ranks[left - 1] == r) out[--left] = pivot;
    while (right < count && ranks[right] == r) out[right++] = pivot;
    select_ranks(v, r, ranks, out, left);
    std::size_t shifted[4];
    for (std::size_t k = right; k < count; ++k) shifted[k - right] = ranks[k] - (r + 1);
    select_ranks(v + r + 1, n - r - 1, shifted, out + right, count - right);
}

// The values at the ascending ranks `ranks` (ascending, at most 4) of
// v[0, n), which is only read, by radix selection: a histogram of 11 key bits
// below those all the values share finds the bucket of each rank, whose
// values are gathered and selected from in turn (nth_element on the last
// few hundred). Keys order -0.0 just below 0.0, a refinement of the order of
// values, so each value found equals the one at its rank in any ascending
// order.
void radix_select(const double* v, std::size_t n, const std::size_t* ranks, double* out, std::size_t count) {
    if (count == 0) return;
    if (n <= 512) {
        std::vector<double> copy(v, v + n);
        select_ranks(copy.data(), n, ranks, out, count);
        return;
    }
    std::uint64_t low = ~std::uint64_t{0}, high = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t k = key_of(v[i]);
        low = k < low ? k : low;
        high = k > high ? k : high;
    }
    if (low == high) {
        std::fill(out, out + count, v[0]);
        return;
    }
    constexpr int kDigitBits = 11;
    const int shift = std::max(0, bit_length(high - low) - kDigitBits);
    std::vector<std::size_t> start((std::size_t{1} << kDigitBits) + 1, 0);
    for (std::size_t i = 0; i < n; ++i) ++start[((key_of(v[i]) - low) >> shift) + 1];
    for (std::size_t d = 1; d < start.size(); ++d) start[d] += start[d - 1];
    // The distinct buckets of the ranks (ascending with them) and each
    // rank's place inside its bucket.
    std::size_t bucket[4], first_rank[5], inner[4];
    std::size_t distinct = 0;
    for (std::size_t k = 0; k < count; ++k) {
        const auto d = static_cast<std::size_t>(
            std::upper_bound(start.begin(), start.end(), ranks[k]) - start.begin() - 1);
        if (distinct == 0 || bucket[distinct - 1] != d) {
            bucket[distinct] = d;
            first_rank[distinct] = k;
            ++distinct;
        }
        inner[k] = ranks[k] - start[d];
    }
    first_rank[distinct] = count;
    std::size_t total = 0, offset[4];
    for (std::size_t j = 0; j < distinct; ++j) {
        offset[j] = total;
        total += start[bucket[j] + 1] - start[bucket[j]];
    }
    std::vector<double> gathered(total);
    std::size_t at[4];
    std::copy(offset, offset + distinct, at);
    for (std::size_t i = 0; i < n; ++i) {
        const auto d = static_cast<std::size_t>((key_of(v[i]) - low) >> shift);
        for (std::size_t j = 0; j < distinct; ++j) {
            if (d == bucket[j]) gathered[at[j]++] = v[i];
        }
    }
    for (std::size_t j = 0; j < distinct; ++j) {
        const std::size_t size = start[bucket[j] + 1] - start[bucket[j]];
        radix_select(gathered.data() + offset[j], size, inner + first_rank[j], out + first_rank[j],
                     first_rank[j + 1] - first_rank[j]);
    }
}

// Exact selection over the whole sample.
void select_exact(std::span<const double> x, std::size_t r0, std::size_t r1, double (&at)[2]) {
    const std::size_t ranks[2] = {r0, r1};
    radix_select(x.data(), x.size(), ranks, at, 2);
}

// A stretch of value around a rank, taken from a sample: one pass counts the
// values below `lo` and those up to `hi` and keeps those in [lo, hi], among
// which the rank then falls. A bracket with lo == hi keeps nothing (the rank
// is lo or outside).
struct Bracket {
    double lo = -kInf;
    double hi = kInf;
    bool keeps() const noexcept { return lo < hi; }
};

// Values in a bracket that a block keeps by itself; a block with more hands
// them over when it is merged.
constexpr std::size_t kSlotKept = 2048;

struct RankSlot {
    Extremes extremes;
    std::uint64_t below[2] = {0, 0};  // values < lo
    std::uint64_t upto[2] = {0, 0};   // values <= hi
    std::size_t inside[2] = {0, 0};   // values in [lo, hi] of a bracket that keeps, all counted
    double kept[2][kSlotKept];
};

inline bool in_bracket(double v, const Bracket& b) noexcept { return !(v < b.lo) & (v <= b.hi); }

void rank_block_scalar(const double* x, std::size_t m, const Bracket (&br)[2], RankSlot& s) noexcept {
    const bool keeps[2] = {br[0].keeps(), br[1].keeps()};
    for (std::size_t i = 0; i < m; ++i) {
        const double v = x[i];
        for (int t = 0; t < 2; ++t) {
            s.below[t] += v < br[t].lo;
            s.upto[t] += v <= br[t].hi;
            if (keeps[t] && in_bracket(v, br[t])) {
                if (s.inside[t] < kSlotKept) s.kept[t][s.inside[t]] = v;
                ++s.inside[t];
            }
        }
    }
    extremes_scalar(x, m, s.extremes);
}

#if defined(__x86_64__) && defined(__GNUC__)
// For each 4-bit mask of kept lanes, the 32-bit lanes that move those doubles
// to the front, in order.
struct KeepTable {
    alignas(32) std::int32_t lanes[16][8];
    constexpr KeepTable() : lanes{} {
        for (int mask = 0; mask < 16; ++mask) {
            int k = 0;
            for (int j = 0; j < 4; ++j) {
                if ((mask >> j) & 1) {
                    lanes[mask][2 * k] = 2 * j;
                    lanes[mask][2 * k + 1] = 2 * j + 1;
                    ++k;
                }
            }
        }
    }
};
constexpr KeepTable kKeepTable{};

// The same four values at a time, with the extremes. Kept lanes are moved
// to the front of a vector stored at the end of what is kept (four places
// of room), without a branch per value; once the room is used up the block
// only counts, and its kept values are taken again when it is merged.
LUMETRA_TARGET_AVX2 void rank_block_avx2(const double* x, std::size_t m, const Bracket (&br)[2],
                                                    RankSlot& s) noexcept {
    const __m256d lo0 = _mm256_set1_pd(br[0].lo), hi0 = _mm256_set1_pd(br[0].hi);
    const __m256d lo1 = _mm256_set1_pd(br[1].lo), hi1 = _mm256_set1_pd(br[1].hi);
    const int keep0 = br[0].keeps() ? 0xF : 0, keep1 = br[1].keeps() ? 0xF : 0;
    __m256i below0 = _mm256_setzero_si256(), upto0 = below0, below1 = below0, upto1 = below0;
    __m256d lo = _mm256_set1_pd(s.extremes.lo), hi = _mm256_set1_pd(s.extremes.hi), bad = _mm256_setzero_pd();
    double* out0 = s.kept[0];
    double* out1 = s.kept[1];
    std::size_t k0 = 0, k1 = 0;  // kept so far, counted in full
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) {
        const __m256d v = _mm256_loadu_pd(x + i);
        bad = _mm256_or_pd(bad, _mm256_cmp_pd(v, v, _CMP_UNORD_Q));
        lo = _mm256_min_pd(lo, v);
        hi = _mm256_max_pd(hi, v);
        const __m256d a0 = _mm256_cmp_pd(v, lo0, _CMP_LT_OQ), d0 = _mm256_cmp_pd(v, hi0, _CMP_LE_OQ);
        const __m256d a1 = _mm256_cmp_pd(v, lo1, _CMP_LT_OQ), d1 = _mm256_cmp_pd(v, hi1, _CMP_LE_OQ);
        // A true compare is -1 in its lane: subtracting it counts.
        below0 = _mm256_sub_epi64(below0, _mm256_castpd_si256(a0));
        upto0 = _mm256_sub_epi64(upto0, _mm256_castpd_si256(d0));
        below1 = _mm256_sub_epi64(below1, _mm256_castpd_si256(a1));
        upto1 = _mm256_sub_epi64(upto1, _mm256_castpd_si256(d1));
        const int in0 = _mm256_movemask_pd(_mm256_andnot_pd(a0, d0)) & keep0;
        const int in1 = _mm256_movemask_pd(_mm256_andnot_pd(a1, d1)) & keep1;
        const __m256i bits = _mm256_castpd_si256(v);
        if (k0 <= kSlotKept - 4) {
            const __m256i to = _mm256_load_si256(reinterpret_cast<const __m256i*>(kKeepTable.lanes[in0]));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out0 + k0), _mm256_permutevar8x32_epi32(bits, to));
        }
        if (k1 <= kSlotKept - 4) {
            const __m256i to = _mm256_load_si256(reinterpret_cast<const __m256i*>(kKeepTable.lanes[in1]));
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out1 + k1), _mm256_permutevar8x32_epi32(bits, to));
        }
        k0 += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(in0)));
        k1 += static_cast<std::size_t>(__builtin_popcount(static_cast<unsigned>(in1)));
    }
    // A block that ran out of room keeps none: the merge takes them again.
    s.inside[0] = k0 <= kSlotKept - 4 ? k0 : kSlotKept + 1;
    s.inside[1] = k1 <= kSlotKept - 4 ? k1 : kSlotKept + 1;
    alignas(32) std::uint64_t lanes[4];
    const __m256i counts[4] = {below0, upto0, below1, upto1};
    std::uint64_t* totals[4] = {&s.below[0], &s.upto[0], &s.below[1], &s.upto[1]};
    for (int k = 0; k < 4; ++k) {
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), counts[k]);
        *totals[k] += lanes[0] + lanes[1] + lanes[2] + lanes[3];
    }
    alignas(32) double ends[4];
    _mm256_store_pd(ends, lo);
    s.extremes.lo = std::min({ends[0], ends[1], ends[2], ends[3]});
    _mm256_store_pd(ends, hi);
    s.extremes.hi = std::max({ends[0], ends[1], ends[2], ends[3]});
    s.extremes.nan = s.extremes.nan || _mm256_movemask_pd(bad) != 0;
    rank_block_scalar(x + i, m - i, br, s);
}

void rank_block(const double* x, std::size_t m, const Bracket (&br)[2], RankSlot& s) noexcept {
    if (cpu::avx2()) {
        rank_block_avx2(x, m, br, s);
    } else {
        rank_block_scalar(x, m, br, s);
    }
}
#else
void rank_block(const double* x, std::size_t m, const Bracket (&br)[2], RankSlot& s) noexcept {
    rank_block_scalar(x, m, br, s);
}
#endif

// What a pass over brackets found: the counts of each, and the values each
// kept (all of them while no more than `cap`).
struct BracketPass {
    Extremes extremes;
    std::uint64_t below[2] = {0, 0};
    std::uint64_t upto[2] = {0, 0};
    std::size_t inside[2] = {0, 0};
    std::size_t cap = 0;
    std::unique_ptr<double[]> kept[2];

    bool complete(int t) const noexcept { return inside[t] <= cap; }
};

// One pass over x for two brackets, on up to `threads` threads. The space for
// the kept values is `cap` each; only the part written is ever touched.
BracketPass bracket_pass(std::span<const double> x, const Bracket (&br)[2], std::size_t cap, unsigned threads) {
    const std::size_t n = x.size();
    BracketPass pass;
    pass.cap = cap;
    pass.kept[0] = std::make_unique_for_overwrite<double[]>(cap);
    pass.kept[1] = std::make_unique_for_overwrite<double[]>(cap);
    ordered_blocks<RankSlot>(
        (n + kScanBlock - 1) / kScanBlock, threads,
        [&](std::size_t b, RankSlot& slot) noexcept {
            slot.extremes = Extremes{};
            slot.below[0] = slot.below[1] = slot.upto[0] = slot.upto[1] = 0;
            slot.inside[0] = slot.inside[1] = 0;
            const std::size_t begin = b * kScanBlock;
            rank_block(x.data() + begin, std::min(kScanBlock, n - begin), br, slot);
        },
        [&](std::size_t b, const RankSlot& slot) noexcept {
            pass.extremes.merge(slot.extremes);
            const std::size_t begin = b * kScanBlock, end = std::min(n, begin + kScanBlock);
            for (int t = 0; t < 2; ++t) {
                pass.below[t] += slot.below[t];
                pass.upto[t] += slot.upto[t];
                std::size_t& inside = pass.inside[t];
                if (slot.inside[t] <= kSlotKept) {
                    const std::size_t take = std::min(slot.inside[t], cap - std::min(cap, inside));
                    if (take > 0) std::copy(slot.kept[t], slot.kept[t] + take, pass.kept[t].get() + inside);
                    inside += slot.inside[t];
                    continue;
                }
                // More than the block keeps by itself: taken again from the
                // block, unless the bracket already keeps more than it has
                // room for.
                if (inside > cap) continue;
                for (std::size_t i = begin; i < end; ++i) {
                    if (!in_bracket(x[i], br[t])) continue;
                    if (inside < cap) pass.kept[t][inside] = x[i];
                    ++inside;
                }
            }
        });
    return pass;
}

// ---- sums in ascending order --------------------------------------------------

// The term a value adds to each sum.
struct Identity {
    static constexpr bool kSquares = false;
    double mean = 0.0;  // unused
    double operator()(double v) const noexcept { return v; }
};
struct SquaredDeviation {
    static constexpr bool kSquares = true;
    double mean;
    double operator()(double v) const noexcept {
        const double d = v - mean;
        return d * d;
    }
};

// (q + kRound) - kRound rounds q to an integer (to nearest, ties to even)
// while |q| < kLimit.
constexpr double kRound = 0x1.8p52;
constexpr double kLimit = 0x1p51;

// The terms of a span as multiples of a unit: the sums of the positive and
// of the negative multiples, and whether a term was halfway between two
// multiples or too large to round.
struct Units {
    double pos = 0.0, neg = 0.0;
    bool bad = false;
};

template <class Term>
void units_scalar(const double* p, std::size_t m, double inv, const Term& term, Units& u) noexcept {
    for (std::size_t i = 0; i < m; ++i) {
        const double q = term(p[i]) * inv;
        const double r = (q + kRound) - kRound;
        u.bad |= std::fabs(q - r) == 0.5 || !(std::fabs(q) < kLimit);
        u.pos += r > 0.0 ? r : 0.0;
        u.neg += r < 0.0 ? r : 0.0;
    }
}

#if defined(__x86_64__) && defined(__GNUC__)
// The same four terms at a time, each formed as the scalar one (no fused
// multiply-add: the target is AVX2 alone).
template <class Term>
LUMETRA_TARGET_AVX2 void units_avx2(const double* p, std::size_t m, double inv, const Term& term,
                                               Units& u) noexcept {
    const __m256d vinv = _mm256_set1_pd(inv), round = _mm256_set1_pd(kRound), half = _mm256_set1_pd(0.5);
    const __m256d limit = _mm256_set1_pd(kLimit), zero = _mm256_setzero_pd(), mean = _mm256_set1_pd(term.mean);
    const __m256d magnitude = _mm256_castsi256_pd(_mm256_set1_epi64x(0x7FFFFFFFFFFFFFFFLL));
    __m256d up0 = zero, up1 = zero, down0 = zero, down1 = zero, flags = zero;
    std::size_t i = 0;
    for (; i + 8 <= m; i += 8) {
        __m256d t0 = _mm256_loadu_pd(p + i), t1 = _mm256_loadu_pd(p + i + 4);
        if constexpr (Term::kSquares) {
            t0 = _mm256_sub_pd(t0, mean);
            t1 = _mm256_sub_pd(t1, mean);
            t0 = _mm256_mul_pd(t0, t0);
            t1 = _mm256_mul_pd(t1, t1);
        }
        const __m256d q0 = _mm256_mul_pd(t0, vinv), q1 = _mm256_mul_pd(t1, vinv);
        const __m256d r0 = _mm256_sub_pd(_mm256_add_pd(q0, round), round);
        const __m256d r1 = _mm256_sub_pd(_mm256_add_pd(q1, round), round);
        const __m256d off0 = _mm256_and_pd(_mm256_sub_pd(q0, r0), magnitude);
        const __m256d off1 = _mm256_and_pd(_mm256_sub_pd(q1, r1), magnitude);
        flags = _mm256_or_pd(flags, _mm256_or_pd(_mm256_cmp_pd(off0, half, _CMP_EQ_OQ),
                                                 _mm256_cmp_pd(off1, half, _CMP_EQ_OQ)));
        flags = _mm256_or_pd(flags, _mm256_or_pd(_mm256_cmp_pd(_mm256_and_pd(q0, magnitude), limit, _CMP_NLT_UQ),
                                                 _mm256_cmp_pd(_mm256_and_pd(q1, magnitude), limit, _CMP_NLT_UQ)));
        up0 = _mm256_add_pd(up0, _mm256_max_pd(r0, zero));
        up1 = _mm256_add_pd(up1, _mm256_max_pd(r1, zero));
        down0 = _mm256_add_pd(down0, _mm256_min_pd(r0, zero));
        down1 = _mm256_add_pd(down1, _mm256_min_pd(r1, zero));
    }
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, _mm256_add_pd(up0, up1));
    u.pos += (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    _mm256_store_pd(lanes, _mm256_add_pd(down0, down1));
    u.neg += (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
    u.bad = u.bad || _mm256_movemask_pd(flags) != 0;
    units_scalar(p + i, m - i, inv, term, u);
}

template <class Term>
void units_of(const double* p, std::size_t m, double inv, const Term& term, Units& u) noexcept {
    if (cpu::avx2()) {
        units_avx2(p, m, inv, term, u);
    } else {
        units_scalar(p, m, inv, term, u);
    }
}
#else
template <class Term>
void units_of(const double* p, std::size_t m, double inv, const Term& term, Units& u) noexcept {
    units_scalar(p, m, inv, term, u);
}
#endif

// Adds the terms of p[0, m) to acc with the result of adding them one by
// one in any order, when that result does not depend on the order; false,
// leaving acc alone, when that cannot be shown. Within the binade of acc,
// [2^(e-1), 2^e), every double is a multiple of the unit u = 2^(e-53); while
// acc stays inside the binade, acc + t rounds (to nearest) to acc plus t
// rounded to a multiple of u, unless t / u lies exactly halfway between two
// integers, where the tie goes to the even neighbour and so depends on acc.
// So when no term is such a tie and every partial sum, in whatever order,
// stays strictly inside the binade, the terms add as the integers
// round(t / u), in any order. The integers are added in double precision,
// where sums of integers below 2^53 are exact, in vector lanes.
template <class Term>
bool add_in_binade(double& acc, const double* p, std::size_t m, const Term& term) noexcept {
    const double mag = std::fabs(acc);
    // Zero and tiny sums (whose unit would be subnormal) and non-finite ones are added in order.
    if (!(mag >= 0x1p-960) || !(mag <= std::numeric_limits<double>::max())) return false;
    int e = 0;
    std::frexp(acc, &e);
    const double inv = std::ldexp(1.0, 53 - e);  // 1 / u: scaling by it is exact
    const double unit = std::ldexp(1.0, e - 53);
    Units u;
    units_of(p, m, inv, term, u);
    // Below 2^52 the lane sums and their total are exact (every partial sum
    // of same-signed integers is smaller); at or above it the steps could not
    // stay inside the binade anyway.
    if (u.bad || !(u.pos < 0x1p52) || !(-u.neg < 0x1p52)) return false;
    constexpr double kLow = 0x1p52 + 1.0, kHigh = 0x1p53 - 1.0;  // strictly inside, in units
    const double start = acc * inv;  // an integer of magnitude in [2^52, 2^53)
    const double lo = acc > 0.0 ? start + u.neg : -start - u.pos;  // magnitudes of the partial sums
    const double hi = acc > 0.0 ? start + u.pos : -start - u.neg;
    if (!(lo >= kLow && hi <= kHigh)) return false;
    acc = (start + (u.pos + u.neg)) * unit;
    return true;
}

// acc plus k additions of the term t, each rounded as written, in a few
// steps per binade the sum passes through: inside a binade each addition adds
// t rounded to the binade's unit (add_in_binade), so the additions that keep
// the sum strictly inside it add up as integers. Where that cannot be shown
// (a zero or tiny sum, a tie, the edge of a binade) one addition is made.
double add_repeated(double acc, double t, std::size_t k) noexcept {
    constexpr double kLow = 0x1p52 + 1.0, kHigh = 0x1p53 - 1.0;  // strictly inside, in units
    while (k > 0) {
        const double mag = std::fabs(acc);
        if (mag >= 0x1p-960 && mag <= std::numeric_limits<double>::max()) {
            int e = 0;
            std::frexp(acc, &e);
            const double inv = std::ldexp(1.0, 53 - e), unit = std::ldexp(1.0, e - 53);
            const double q = t * inv;
            const double r = (q + kRound) - kRound;
            if (std::fabs(q) < kLimit && std::fabs(q - r) != 0.5) {
                if (r == 0.0) return acc;  // every addition leaves acc as it is
                const double start = std::fabs(acc * inv);  // an integer in [2^52, 2^53)
                // Room left in units, in the direction the sum moves (the
                // partial sums move one way, so the last one bounds them all).
                const double room = (acc > 0.0) == (r > 0.0) ? kHigh - start : start - kLow;
                const double step = std::fabs(r);
                if (start >= kLow && room >= step) {
                    const auto steps = std::min<std::uint64_t>(
                        k, static_cast<std::uint64_t>(room) / static_cast<std::uint64_t>(step));
                    acc = (acc * inv + static_cast<double>(steps) * r) * unit;  // exact: below 2^53 in units
                    k -= static_cast<std::size_t>(steps);
                    continue;
                }
            }
        }
        acc += t;
        --k;
    }
    return acc;
}

// Spans of at most this many values are sorted and added in order.
constexpr std::size_t kSortedSpan = 64;

template <class Term>
void add_sorted(double& acc, double* p, std::size_t m, const Term& term) noexcept {
    // Equal values are equal doubles except for the sign of zero, and zeros
    // add alike in any order (acc + 0.0 and acc + -0.0 differ only when acc
    // is a zero, and a run of zeros then leaves -0.0 exactly when all are
    // -0.0): the order of equal values does not matter.
    std::sort(p, p + m);
    for (std::size_t i = 0; i < m; ++i) acc += term(p[i]);
}

// Adds the terms of the values of p[0, m), a stretch of the ascending order
// in any order, to acc as additions in ascending order would. p is
// reordered; scratch holds at least m values.
template <class Term>
void add_ascending(double& acc, double* p, std::size_t m, const Term& term, double* scratch, bool in_binade) {
    if (m == 0) return;
    if (in_binade && add_in_binade(acc, p, m, term)) return;
    if (m <= kSortedSpan) {
        add_sorted(acc, p, m, term);
        return;
    }
    std::uint64_t low = ~std::uint64_t{0}, high = 0;
    for (std::size_t i = 0; i < m; ++i) {
        const std::uint64_t k = key_of(p[i]);
        low = k < low ? k : low;
        high = k > high ? k : high;
    }
    if (low == high) {
        // One value throughout (the same bits): any order is the ascending
        // one, and every addition adds the same term.
        acc = in_binade ? add_repeated(acc, term(p[0]), m) : [&] {
            for (std::size_t i = 0; i < m; ++i) acc += term(p[i]);
            return acc;
        }();
        return;
    }
    // Partition by the 8 key bits below those the span's values share, then
    // each part in ascending order.
    const int shift = std::max(0, bit_length(high - low) - 8);
    std::size_t start[257] = {};
    for (std::size_t i = 0; i < m; ++i) ++start[((key_of(p[i]) - low) >> shift) + 1];
    for (int d = 0; d < 256; ++d) start[d + 1] += start[d];
    std::size_t next[256];
    std::copy(start, start + 256, next);
    for (std::size_t i = 0; i < m; ++i) scratch[next[(key_of(p[i]) - low) >> shift]++] = p[i];
    std::copy(scratch, scratch + m, p);
    for (int d = 0; d < 256; ++d) add_ascending(acc, p + start[d], start[d + 1] - start[d], term, scratch, in_binade);
}

// Ranges of value that partition a sample into buckets, from a sample of it:
// a key's cell (2^16 cells between the sample's smallest and largest key,
// values outside in the end cells) maps to a bucket of about equal share.
constexpr int kCellBits = 16;
constexpr std::size_t kCells = std::size_t{1} << kCellBits;

struct BucketMap {
    std::uint64_t low = 0;
    int shift = 0;
    std::vector<std::uint16_t> table;  // cell -> bucket, ascending
    std::size_t buckets = 1;

    std::size_t operator()(double v) const noexcept {
        const std::uint64_t k = key_of(v);
        const std::uint64_t c = k <= low ? 0 : std::min<std::uint64_t>((k - low) >> shift, kCells - 1);
        return table[static_cast<std::size_t>(c)];
    }
};

BucketMap bucket_map(const std::vector<double>& sample, std::size_t wanted) {
    BucketMap map;
    std::uint64_t low = ~std::uint64_t{0}, high = 0;
    for (double v : sample) {
        const std::uint64_t k = key_of(v);
        low = k < low ? k : low;
        high = k > high ? k : high;
    }
    map.low = low;
    map.shift = std::max(0, bit_length(high - low) - kCellBits);
    std::vector<std::uint32_t> hist(kCells, 0);
    for (double v : sample) {
        const std::uint64_t c = std::min<std::uint64_t>((key_of(v) - low) >> map.shift, kCells - 1);
        ++hist[static_cast<std::size_t>(c)];
    }
    map.table.resize(kCells);
    const double per = static_cast<double>(sample.size()) / static_cast<double>(wanted);
    double seen = 0.0;
    std::size_t b = 0;
    for (std::size_t c = 0; c < kCells; ++c) {
        map.table[c] = static_cast<std::uint16_t>(b);
        seen += hist[c];
        if (seen >= per * static_cast<double>(b + 1) && b + 1 < wanted) ++b;
    }
    map.buckets = static_cast<std::size_t>(map.table[kCells - 1]) + 1;
    return map;
}

// Values per block of the partition passes, and below which a sample is
// simply sorted.
constexpr std::size_t kPartitionBlock = std::size_t{1} << 16;
constexpr std::size_t kSortedSample = std::size_t{1} << 12;

struct NoSlot {};

}  // namespace

SampleScan scan_extremes(std::span<const double> x, unsigned threads) {
    Extremes total;
    const std::size_t n = x.size();
    ordered_blocks<Extremes>(
        (n + kScanBlock - 1) / kScanBlock, threads,
        [&](std::size_t b, Extremes& e) noexcept {
            e = Extremes{};
            const std::size_t begin = b * kScanBlock;
            block_extremes(x.data() + begin, std::min(kScanBlock, n - begin), e);
        },
        [&](std::size_t, const Extremes& e) noexcept { total.merge(e); });
    return scan_of(x, total);
}

SampleScan scan_ranks(std::span<const double> x, std::size_t r0, std::size_t r1, unsigned threads) {
    const std::size_t n = x.size();
    constexpr std::size_t kDirect = std::size_t{1} << 14;
    if (n <= kDirect) {
        SampleScan s = scan_extremes(x, 1);
        if (ordered_range(s)) select_exact(x, r0, r1, s.at);
        return s;
    }
    // s balances the selection in the sample against that among the values
    // the brackets keep.
    const std::size_t s = std::clamp<std::size_t>(
        static_cast<std::size_t>(std::pow(4.5 * static_cast<double>(n), 2.0 / 3.0)), 1024, std::size_t{1} << 15);
    return scan_ranks(x, r0, r1, threads, sample_of(x, s));
}

SampleScan scan_ranks(std::span<const double> x, std::size_t r0, std::size_t r1, unsigned threads,
                      std::vector<double> sample) {
    const std::size_t n = x.size();
    const std::size_t s = sample.size();
    if (s < 2 || std::any_of(sample.begin(), sample.end(), [](double v) { return v != v; })) {
        // No sample to take brackets from (or one that shows the sample's NaN).
        SampleScan out = scan_extremes(x, threads);
        if (ordered_range(out)) select_exact(x, r0, r1, out.at);
        return out;
    }
    // Brackets about 4.5 s^(1/2) sample ranks wide, which hold each rank
    // with near certainty.
    const auto d = static_cast<std::ptrdiff_t>(std::ceil(2.25 * std::sqrt(static_cast<double>(s)))) + 4;
    const std::size_t ranks[2] = {r0, r1};
    Bracket br[2];
    {
        std::size_t want[4];
        bool bounded[4];
        for (int t = 0; t < 2; ++t) {
            const auto k = static_cast<std::ptrdiff_t>((static_cast<double>(ranks[t]) + 0.5) *
                                                       static_cast<double>(s) / static_cast<double>(n));
            bounded[2 * t] = k - d >= 0;
            bounded[2 * t + 1] = k + d < static_cast<std::ptrdiff_t>(s);
            want[2 * t] = bounded[2 * t] ? static_cast<std::size_t>(k - d) : 0;
            want[2 * t + 1] = bounded[2 * t + 1] ? static_cast<std::size_t>(k + d) : s - 1;
        }
        std::size_t order[4];
        std::copy(want, want + 4, order);
        std::sort(order, order + 4);
        double got[4];
        radix_select(sample.data(), s, order, got, 4);
        auto value_at = [&](std::size_t rank) { return got[std::find(order, order + 4, rank) - order]; };
        for (int t = 0; t < 2; ++t) {
            br[t].lo = bounded[2 * t] ? value_at(want[2 * t]) : -kInf;
            br[t].hi = bounded[2 * t + 1] ? value_at(want[2 * t + 1]) : kInf;
        }
    }
    // One pass: the extremes, the counts of both brackets and the values
    // they keep, with room for four times what they should keep.
    const double share = 2.0 * static_cast<double>(d) / static_cast<double>(s);
    const std::size_t cap = std::min(n, static_cast<std::size_t>(4.0 * share * static_cast<double>(n)) + 4096);
    const BracketPass pass = bracket_pass(x, br, cap, threads);
    SampleScan out = scan_of(x, pass.extremes);
    if (!ordered_range(out)) return out;
    // A bracket that kept more than its room holds many values equal to one
    // of its ends: a second pass over the same bracket with both ends left
    // out (bounds one double inward) counts the values at or below lo and
    // below hi, and keeps only those strictly between.
    Bracket inner[2];
    bool again = false;
    for (int t = 0; t < 2; ++t) {
        if (pass.complete(t) || !br[t].keeps()) {
            inner[t] = Bracket{0.0, -0.0};  // keeps nothing
            continue;
        }
        inner[t] = Bracket{std::nextafter(br[t].lo, kInf), std::nextafter(br[t].hi, -kInf)};
        again = true;
    }
    BracketPass strict;
    if (again) strict = bracket_pass(x, inner, cap, threads);
    for (int t = 0; t < 2; ++t) {
        const std::size_t r = ranks[t];
        const std::uint64_t below = pass.below[t], upto = pass.upto[t];
        bool found = false;
        if (r >= below && r < upto) {
            if (!br[t].keeps()) {
                out.at[t] = br[t].lo;
                found = true;
            } else if (pass.complete(t)) {
                const std::size_t at = static_cast<std::size_t>(r - below);
                radix_select(pass.kept[t].get(), pass.inside[t], &at, &out.at[t], 1);
                found = true;
            } else if (strict.complete(t)) {
                // Below `at_lo` the values equal lo, from `at_hi` on they equal hi.
                const std::uint64_t at_lo = strict.below[t], at_hi = strict.upto[t];
                if (r < at_lo) {
                    out.at[t] = br[t].lo;
                } else if (r >= at_hi) {
                    out.at[t] = br[t].hi;
                } else {
                    const std::size_t at = static_cast<std::size_t>(r - at_lo);
                    radix_select(strict.kept[t].get(), strict.inside[t], &at, &out.at[t], 1);
                }
                found = true;
            }
        }
        if (!found) {
            // The sample missed the rank: exact selection over all the
            // values, which takes longer.
            select_exact(x, r0, r1, out.at);
            break;
        }
    }
    return out;
}

SampleScan scan_ascending_sums(std::span<const double> x, unsigned threads) {
    const std::size_t n = x.size();
    // The binade argument assumes rounding to nearest; under another mode
    // every value is ordered exactly and added in order.
    const bool nearest = std::fegetround() == FE_TONEAREST;
    if (n <= kSortedSample) {
        SampleScan s = scan_extremes(x, 1);
        if (!ordered_range(s)) return s;
        std::vector<double> sorted(x.begin(), x.end());
        s.sum = -0.0;
        add_sorted(s.sum, sorted.data(), n, Identity{});
        const SquaredDeviation deviation{s.sum / static_cast<double>(n)};
        s.squares = -0.0;
        for (double v : sorted) s.squares += deviation(v);
        return s;
    }
    // Buckets of about 2^10 values each, at most 2^12 of them.
    const std::size_t wanted = std::clamp<std::size_t>(n >> 10, 16, std::size_t{1} << 12);
    const BucketMap map = bucket_map(sample_of(x, std::min<std::size_t>(n, std::size_t{1} << 14)), wanted);
    const std::size_t nb = map.buckets;
    const std::size_t nblocks = (n + kPartitionBlock - 1) / kPartitionBlock;
    // Per block, how many of its values go to each bucket: then every block
    // knows where its values of each bucket go, whichever thread moves them.
    // Each block counts in two interleaved rows (the second one's space after
    // all the blocks' first rows), so that runs of values of one bucket form
    // two chains of increments instead of one.
    std::vector<std::uint32_t> counts(2 * nblocks * nb, 0);
    Extremes total;
    ordered_blocks<Extremes>(
        nblocks, threads,
        [&](std::size_t b, Extremes& e) noexcept {
            e = Extremes{};
            const std::size_t begin = b * kPartitionBlock, m = std::min(kPartitionBlock, n - begin);
            block_extremes(x.data() + begin, m, e);
            std::uint32_t* c = counts.data() + b * nb;
            std::uint32_t* d = counts.data() + (nblocks + b) * nb;
            std::size_t i = begin;
            for (; i + 2 <= begin + m; i += 2) {
                ++c[map(x[i])];
                ++d[map(x[i + 1])];
            }
            if (i < begin + m) ++c[map(x[i])];
            for (std::size_t k = 0; k < nb; ++k) c[k] += d[k];
        },
        [&](std::size_t, const Extremes& e) noexcept { total.merge(e); });
    SampleScan out = scan_of(x, total);
    if (!ordered_range(out)) return out;

    std::vector<std::size_t> start(nb + 1, 0);
    for (std::size_t b = 0; b < nblocks; ++b) {
        for (std::size_t k = 0; k < nb; ++k) start[k + 1] += counts[b * nb + k];
    }
    for (std::size_t k = 0; k < nb; ++k) start[k + 1] += start[k];
    // counts become each block's next position in each bucket.
    std::vector<std::size_t> next(nblocks * nb);
    {
        std::vector<std::size_t> at(start.begin(), start.end() - 1);
        for (std::size_t b = 0; b < nblocks; ++b) {
            for (std::size_t k = 0; k < nb; ++k) {
                next[b * nb + k] = at[k];
                at[k] += counts[b * nb + k];
            }
        }
    }
    const std::unique_ptr<double[]> grouped = std::make_unique_for_overwrite<double[]>(n);
    ordered_blocks<NoSlot>(
        nblocks, threads,
        [&](std::size_t b, NoSlot&) noexcept {
            const std::size_t begin = b * kPartitionBlock, m = std::min(kPartitionBlock, n - begin);
            std::size_t* at = next.data() + b * nb;
            for (std::size_t i = begin; i < begin + m; ++i) grouped[at[map(x[i])]++] = x[i];
        },
        [](std::size_t, const NoSlot&) noexcept {});

    std::size_t largest = 0;
    for (std::size_t k = 0; k < nb; ++k) largest = std::max(largest, start[k + 1] - start[k]);
    const std::unique_ptr<double[]> scratch = std::make_unique_for_overwrite<double[]>(largest);
    // The buckets in ascending order: the values, then their squared deviations.
    double sum = -0.0;
    for (std::size_t k = 0; k < nb; ++k) {
        add_ascending(sum, grouped.get() + start[k], start[k + 1] - start[k], Identity{}, scratch.get(), nearest);
    }
    const SquaredDeviation deviation{sum / static_cast<double>(n)};
    double squares = -0.0;
    for (std::size_t k = 0; k < nb; ++k) {
        add_ascending(squares, grouped.get() + start[k], start[k + 1] - start[k], deviation, scratch.get(),
                      nearest);
    }
    out.sum = sum;
    out.squares = squares;
    return out;
}

}  // namespace lumetra::ordering
