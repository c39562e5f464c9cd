#include "core/sort.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "core/parallel.hpp"

namespace lumetra::sorting {

namespace {
// Buffers from this size on are aligned to, and rounded up to, huge pages.
constexpr std::size_t kHugePage = std::size_t{1} << 21;
constexpr std::size_t kHugeFrom = std::size_t{1} << 20;
}  // namespace

namespace {

// The large buffers kept for reuse.
struct Kept {
    void* p = nullptr;
    std::size_t bytes = 0;
};
constexpr std::size_t kKeptBuffers = 4;
constexpr std::size_t kKeptBytes = std::size_t{1} << 28;
std::mutex g_kept_mutex;
std::array<Kept, kKeptBuffers> g_kept{};

// A kept buffer of at least `bytes` and at most twice as many, or null.
void* take_kept(std::size_t& bytes) noexcept {
    const std::lock_guard<std::mutex> lock(g_kept_mutex);
    Kept* best = nullptr;
    for (Kept& k : g_kept) {
        if (k.p != nullptr && k.bytes >= bytes && k.bytes <= 2 * bytes && (best == nullptr || k.bytes < best->bytes)) {
            best = &k;
        }
    }
    if (best == nullptr) return nullptr;
    void* p = best->p;
    bytes = best->bytes;
    *best = Kept{};
    return p;
}

// Keeps a freed buffer if there is room; false to free it.
bool keep(void* p, std::size_t bytes) noexcept {
    const std::lock_guard<std::mutex> lock(g_kept_mutex);
    std::size_t total = bytes;
    Kept* slot = nullptr;
    for (Kept& k : g_kept) {
        total += k.bytes;
        if (k.p == nullptr && slot == nullptr) slot = &k;
    }
    if (slot == nullptr || total > kKeptBytes) return false;
    *slot = Kept{p, bytes};
    return true;
}

}  // namespace

void FreeWords::operator()(std::uint64_t* p) const noexcept {
    if (p == nullptr) return;
    if (bytes >= kHugeFrom && keep(p, bytes)) return;
    std::free(p);
}

Words allocate_words(std::size_t n) {
    if (n > (~std::size_t{0} - kHugePage) / sizeof(std::uint64_t)) throw std::bad_alloc();
    std::size_t bytes = (n == 0 ? 1 : n) * sizeof(std::uint64_t);
    void* p = nullptr;
    if (bytes >= kHugeFrom) {
        bytes = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        p = take_kept(bytes);
        if (p == nullptr) {
            p = std::aligned_alloc(kHugePage, bytes);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
            if (p != nullptr) (void)::madvise(p, bytes, MADV_HUGEPAGE);
#endif
        }
    } else {
        p = std::malloc(bytes);
    }
    if (p == nullptr) throw std::bad_alloc();
    return Words(static_cast<std::uint64_t*>(p), FreeWords{bytes});
}

namespace {

// Least-significant-digit passes of 11 bits: 2048 counters per digit stay in
// the first-level cache, and the scatter of a pass writes to few enough
// places to stream. A sort passes over at most three digits: the 33 highest
// bits that tell its keys apart (the highest of all at first, which the
// keys' writer counts as it writes them), enough to leave only short runs of
// keys equal on them unless the keys cluster. Each run is then sorted the
// same way on the bits below, in the cache.
using detail::Counts;
using detail::kComparisonSortBelow;
using detail::kDigit;
using detail::kRadix;
using detail::offsets;
constexpr std::uint64_t kMask = kRadix - 1;
constexpr int kMaxDigits = 3;
constexpr std::size_t kInsertionSortUpTo = 24;
// Keys per thread below which a pass stays on one thread.
constexpr std::size_t kKeysPerThread = std::size_t{1} << 17;

void insertion_sort(std::uint64_t* a, std::size_t n) {
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t v = a[i];
        std::size_t j = i;
        while (j > 0 && v < a[j - 1]) {
            a[j] = a[j - 1];
            --j;
        }
        a[j] = v;
    }
}

void scatter(const std::uint64_t* src, std::uint64_t* dst, std::size_t begin, std::size_t end, int shift,
             std::size_t* at) {
    for (std::size_t i = begin; i < end; ++i) {
        const std::uint64_t w = src[i];
        dst[at[(w >> shift) & kMask]++] = w;
    }
}

// A scatter that counts the next digit of the words it moves (two counters
// per value, summed into `next`).
void scatter_counting(const std::uint64_t* src, std::uint64_t* dst, std::size_t n, int shift, std::size_t* at,
                      int next_shift, Counts& next) {
    std::array<std::array<std::uint32_t, kRadix>, 2> c{};
    std::size_t i = 0;
    if (n < (std::size_t{1} << 32)) {
        for (; i + 1 < n; i += 2) {
            const std::uint64_t w0 = src[i], w1 = src[i + 1];
            dst[at[(w0 >> shift) & kMask]++] = w0;
            ++c[0][(w0 >> next_shift) & kMask];
            dst[at[(w1 >> shift) & kMask]++] = w1;
            ++c[1][(w1 >> next_shift) & kMask];
        }
    }
    for (std::size_t r = 0; r < kRadix; ++r) next[r] = std::size_t{c[0][r]} + c[1][r];
    for (; i < n; ++i) {
        const std::uint64_t w = src[i];
        dst[at[(w >> shift) & kMask]++] = w;
        ++next[(w >> next_shift) & kMask];
    }
}

// Counts one digit of the words.
void count_digit(const std::uint64_t* a, std::size_t n, int shift, Counts& c) {
    c.fill(0);
    for (std::size_t i = 0; i < n; ++i) ++c[(a[i] >> shift) & kMask];
}

// Stable passes over bits [low, low + width) on one thread, each pass
// counting the next digit as it moves the words; the first digit's counts
// are `given` (or made here when null). The sorted words end in `a`.
void lsd_bits(std::uint64_t* a, std::uint64_t* tmp, std::size_t n, int low, int width, const Counts* given,
              int first_digit = 0) {
    const int digits = (width + kDigit - 1) / kDigit;
    Counts counts{}, next{};
    if (given != nullptr) {
        counts = *given;
    } else {
        count_digit(a, n, low + first_digit * kDigit, counts);
    }
    std::uint64_t* src = a;
    std::uint64_t* dst = tmp;
    for (int d = first_digit; d < digits; ++d) {
        const int shift = low + d * kDigit;
        const bool last = d + 1 == digits;
        if (offsets(counts, n)) {
            if (!last) count_digit(src, n, shift + kDigit, counts);
            continue;
        }
        if (last) {
            scatter(src, dst, 0, n, shift, counts.data());
        } else {
            scatter_counting(src, dst, n, shift, counts.data(), shift + kDigit, next);
            counts = next;
        }
        std::swap(src, dst);
    }
    if (src != a) std::memcpy(a, src, n * sizeof(std::uint64_t));
}

// The same passes in `threads` stretches of the words, on the engine's
// threads: each stretch's counts of a digit, then its words scattered to the
// places that the counts of all stretches give them (stretch by stretch, so
// equal digits keep their order as on one thread). Whichever thread runs a
// stretch, the words land in the same places.
void lsd_threads(std::uint64_t* a, std::uint64_t* tmp, std::size_t n, int low, int width, unsigned threads) {
    const int digits = (width + kDigit - 1) / kDigit;
    std::vector<Counts> counts(threads);
    std::vector<std::size_t> bounds(threads + 1);
    for (unsigned t = 0; t <= threads; ++t) bounds[t] = n / threads * t + std::min<std::size_t>(t, n % threads);
    std::uint64_t* src = a;
    std::uint64_t* dst = tmp;
    for (int digit = 0; digit < digits; ++digit) {
        const int shift = low + digit * kDigit;
        run_shares(threads, threads, [&](std::size_t t) noexcept {
            count_digit(src + bounds[t], bounds[t + 1] - bounds[t], shift, counts[t]);
        });
        // Every stretch's counts become its offsets, digit value by digit value.
        Counts total{};
        for (unsigned t = 0; t < threads; ++t) {
            for (std::size_t r = 0; r < kRadix; ++r) total[r] += counts[t][r];
        }
        bool skip = false;
        for (std::size_t r = 0; r < kRadix; ++r) skip = skip || total[r] == n;
        if (skip) continue;  // one value of this digit: the order stands
        std::size_t start = 0;
        for (std::size_t r = 0; r < kRadix; ++r) {
            for (unsigned t = 0; t < threads; ++t) {
                const std::size_t k = counts[t][r];
                counts[t][r] = start;
                start += k;
            }
        }
        run_shares(threads, threads, [&](std::size_t t) noexcept {
            scatter(src, dst, bounds[t], bounds[t + 1], shift, counts[t].data());
        });
        std::swap(src, dst);
    }
    if (src != a) std::memcpy(a, src, n * sizeof(std::uint64_t));
}

// Bits [0, c) are where the words of a[0, n) differ; 0 when they are all equal.
int varying_bits(const std::uint64_t* a, std::size_t n) {
    std::uint64_t lo = a[0], hi = a[0];
    for (std::size_t i = 1; i < n; ++i) {
        lo = std::min(lo, a[i]);
        hi = std::max(hi, a[i]);
    }
    return 64 - std::countl_zero(lo ^ hi);
}

// How many of the varying bits one sort passes over: enough that runs of
// words equal on them are short.
int window_width(std::size_t n, int varying) {
    const int want = static_cast<int>(std::bit_width(n)) + 10;
    const int digits = std::min(kMaxDigits, (want + kDigit - 1) / kDigit);
    return std::min(varying, digits * kDigit);
}

void sort_range(std::uint64_t* a, std::uint64_t* tmp, std::size_t n);

// Sorts each run of words equal above bit `low` in a[begin, end) on the bits below.
void sort_runs(std::uint64_t* a, std::uint64_t* tmp, std::size_t begin, std::size_t end, int low) {
    std::size_t i = begin;
    while (i + 1 < end) {
        if (((a[i] ^ a[i + 1]) >> low) != 0) {
            ++i;
            continue;
        }
        std::size_t j = i + 2;
        while (j < end && ((a[i] ^ a[j]) >> low) == 0) ++j;
        sort_range(a + i, tmp + i, j - i);
        i = j;
    }
}

void sort_range(std::uint64_t* a, std::uint64_t* tmp, std::size_t n) {
    if (n <= kInsertionSortUpTo) {
        insertion_sort(a, n);
        return;
    }
    if (n < kComparisonSortBelow) {
        std::sort(a, a + n);
        return;
    }
    const int varying = varying_bits(a, n);
    if (varying == 0) return;
    const int width = window_width(n, varying);
    const int low = varying - width;
    lsd_bits(a, tmp, n, low, width, nullptr);
    if (low > 0) sort_runs(a, tmp, 0, n, low);
}

// Sorts the runs left by a top pass, the words split among threads at run
// boundaries.
void sort_runs_threads(std::uint64_t* a, std::uint64_t* tmp, std::size_t n, int low, unsigned threads) {
    std::vector<std::size_t> bounds(threads + 1, n);
    bounds[0] = 0;
    for (unsigned t = 1; t < threads; ++t) {
        std::size_t b = std::max(n / threads * t, bounds[t - 1]);
        while (b > 0 && b < n && ((a[b - 1] ^ a[b]) >> low) == 0) ++b;
        bounds[t] = b;
    }
    run_shares(threads, threads, [&](std::size_t t) noexcept { sort_runs(a, tmp, bounds[t], bounds[t + 1], low); });
}

}  // namespace

namespace detail {

void sort_few(std::uint64_t* a, std::size_t n) { sort_range(a, nullptr, n); }

bool offsets(Counts& c, std::size_t n) noexcept {
    bool shared = false;
    std::size_t start = 0;
    for (std::size_t r = 0; r < kRadix; ++r) {
        const std::size_t k = c[r];
        shared = shared || k == n;
        c[r] = start;
        start += k;
    }
    return shared;
}

void finish_top_passes(std::uint64_t* a, std::uint64_t* tmp, std::size_t n, Counts& next) {
    lsd_bits(a, tmp, n, kTopLow, 64 - kTopLow, &next, 1);
    sort_runs(a, tmp, 0, n, kTopLow);
}

}  // namespace detail

void sort_keys(KeyArray& keys, unsigned threads) {
    const std::size_t n = keys.size();
    std::uint64_t* a = keys.data();
    if (n < kComparisonSortBelow) {
        sort_range(a, nullptr, n);
        return;
    }
    Words scratch = allocate_words(n);
    threads = threads_for(n, kKeysPerThread, threads);
    if (threads > 1) {
        // The first passes go over the 33 highest bits; runs of keys equal on
        // them are sorted below.
        lsd_threads(a, scratch.get(), n, detail::kTopLow, 64 - detail::kTopLow, threads);
        sort_runs_threads(a, scratch.get(), n, detail::kTopLow, threads);
        return;
    }
    sort_range(a, scratch.get(), n);
}

namespace {

// Argsort by the keys key(i) of n items, into order[0, n).
template <class Key>
void argsort_by(std::size_t n, Key&& key, unsigned threads, std::uint32_t* order) {
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(i);
    if (n < 2) return;
    const auto by_key = [&](std::uint32_t x, std::uint32_t y) {
        const std::uint64_t kx = key(x), ky = key(y);
        return kx < ky || (kx == ky && x < y);
    };
    if (n < kComparisonSortBelow) {
        std::sort(order, order + n, by_key);
        return;
    }
    // Each word holds 32 bits of its key (the highest that vary) above its
    // index; sorting the words stably on those bits leaves only runs of equal
    // bits to order by the whole key.
    std::uint64_t lo = key(0), hi = lo;
    for (std::size_t i = 1; i < n; ++i) {
        const std::uint64_t k = key(i);
        lo = std::min(lo, k);
        hi = std::max(hi, k);
    }
    const int varying = 64 - std::countl_zero(lo ^ hi);
    if (varying == 0) return;
    const int low = varying > 32 ? varying - 32 : 0;
    const std::uint64_t window_mask = (std::uint64_t{1} << (varying - low)) - 1;
    Words words = allocate_words(n), tmp = allocate_words(n);
    for (std::size_t i = 0; i < n; ++i) words[i] = (((key(i) >> low) & window_mask) << 32) | i;
    threads = threads_for(n, kKeysPerThread, threads);
    if (threads > 1) {
        lsd_threads(words.get(), tmp.get(), n, 32, varying - low, threads);
    } else {
        lsd_bits(words.get(), tmp.get(), n, 32, varying - low, nullptr);
    }
    for (std::size_t i = 0; i < n; ++i) order[i] = static_cast<std::uint32_t>(words[i]);
    if (low == 0) return;
    std::size_t i = 0;
    while (i + 1 < n) {
        if (((words[i] ^ words[i + 1]) >> 32) != 0) {
            ++i;
            continue;
        }
        std::size_t j = i + 2;
        while (j < n && ((words[i] ^ words[j]) >> 32) == 0) ++j;
        std::uint32_t* run = order + i;
        if (j - i <= kInsertionSortUpTo) {
            for (std::size_t r = 1; r < j - i; ++r) {
                const std::uint32_t v = run[r];
                std::size_t b = r;
                while (b > 0 && by_key(v, run[b - 1])) {
                    run[b] = run[b - 1];
                    --b;
                }
                run[b] = v;
            }
        } else {
            std::sort(run, run + (j - i), by_key);
        }
        i = j;
    }
}

}  // namespace

std::vector<std::uint32_t> argsort_keys(std::span<const std::uint64_t> keys, unsigned threads) {
    std::vector<std::uint32_t> order(keys.size());
    argsort_by(keys.size(), [&](std::size_t i) { return keys[i]; }, threads, order.data());
    return order;
}

void argsort_doubles(std::span<const double> values, unsigned threads, std::uint32_t* order) {
    argsort_by(values.size(), [&](std::size_t i) { return float_key(values[i]); }, threads, order);
}

}  // namespace lumetra::sorting
