#include "core/stats.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <utility>

#include "core/cpu.hpp"
#include "core/parallel.hpp"
#include "core/settings.hpp"
#include "core/special.hpp"

namespace lumetra::stats {

std::string_view message(StatsError e) noexcept {
    switch (e) {
        case StatsError::NanInput: return "The input contains nan values";
        case StatsError::TooFewSamples: return "anderson_ksamp needs at least two samples";
        case StatsError::EmptySample: return "anderson_ksamp encountered sample without observations";
        case StatsError::OneDistinctValue: return "anderson_ksamp needs more than one distinct observation";
        case StatsError::TooFewObservations: return "anderson_ksamp needs at least three observations in all";
        case StatsError::NegativeVariance:
            return "anderson_ksamp: the statistic's variance is negative for so few observations";
        case StatsError::NegativeCount: return "All values in `observed` must be nonnegative.";
        case StatsError::NoData: return "No data: every bin is empty in both counts";
        case StatsError::ZeroTotal:
            return "The counts of one side sum to zero: its expected frequencies are all zero";
        case StatsError::ExactTooLarge:
            return "The exact distribution for samples this large needs too much memory; use "
                   "method='asymptotic'";
        case StatsError::TooManyValues: return "Too many values (at most 2**32 - 1)";
    }
    return "";
}

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Above every key: the end of a sorted sample.
constexpr std::uint64_t kEnd = ~std::uint64_t{0};
// Samples at least this large are sorted on threads of their own.
constexpr std::size_t kSortOnThreadFrom = std::size_t{1} << 16;

double clip01(double p) noexcept { return p < 0.0 ? 0.0 : (p > 1.0 ? 1.0 : p); }

// Keys and sorts every sample, several large samples on threads of their
// own (at most the thread cap, one thread per sample). The keys end the
// same whichever way.
std::vector<Sample> make_samples(std::vector<SampleSource>& sources) {
    const std::size_t k = sources.size();
    std::vector<Sample> samples(k);
    std::size_t large = 0;
    for (const SampleSource& s : sources) large += s.size >= kSortOnThreadFrom ? 1 : 0;
    const unsigned cap = thread_cap();
    const unsigned threads = static_cast<unsigned>(std::min<std::size_t>(cap, large));
    const auto one = [&](std::size_t i) { samples[i] = sources[i].make(); };
    if (threads <= 1) {
        for (std::size_t i = 0; i < k; ++i) one(i);
        return samples;
    }
    std::vector<std::uint8_t> done(k, 0);
    run_shares(k, threads, [&](std::size_t i) noexcept {
        try {
            one(i);
            done[i] = 1;
        } catch (...) {
            // Out of memory on this thread: left to the caller's thread below.
        }
    });
    for (std::size_t i = 0; i < k; ++i) {
        if (done[i] == 0) one(i);
    }
    return samples;
}

// Drops the trailing NaN keys of a sorted sample that holds NaN.
void drop_nan(Sample& s) {
    if (!s.has_nan) return;
    while (!s.keys.empty() && s.keys.back() == sorting::kNanKey) s.keys.pop_back();
    s.has_nan = false;
}

// The merged walks stop at kEnd, which is also the key of the largest
// integers. Sorted samples that hold it get their keys replaced by their
// ranks among the pooled distinct keys (the same order and ties); the
// distinct keys are returned to translate ranks back (empty when the keys
// are kept).
std::vector<std::uint64_t> rank_keys_if_needed(const std::vector<Sample*>& samples) {
    bool reaches_end = false;
    for (const Sample* s : samples) reaches_end = reaches_end || (!s->keys.empty() && s->keys.back() == kEnd);
    if (!reaches_end) return {};
    std::vector<std::uint64_t> distinct;
    for (const Sample* s : samples) distinct.insert(distinct.end(), s->keys.begin(), s->keys.end());
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    for (Sample* s : samples) {
        std::size_t at = 0;
        for (std::uint64_t& k : s->keys) {
            while (distinct[at] < k) ++at;
            k = at;
        }
    }
    return distinct;
}

// ---- Kolmogorov-Smirnov ------------------------------------------------------------

// The largest (or smallest) ECDF difference among values of one sample, and
// the first (smallest) such value.
struct Extreme {
    double value = 0.0;
    std::uint64_t key = 0;
    bool set = false;

    void more(double d, std::uint64_t k) noexcept {
        if (!set || d > value) *this = {d, k, true};
    }
    void less(double d, std::uint64_t k) noexcept {
        if (!set || d < value) *this = {d, k, true};
    }
};

struct KsWalk {
    Extreme max_x, max_y, min_x, min_y;
    double d1 = 1.0, d2 = 1.0;

    // The end of a run of equal values k, reached with counts (i, j): its
    // difference of ECDFs, for the extremes it may be.
    [[gnu::noinline, gnu::cold]] void record(std::uint64_t k, std::size_t i, std::size_t j, bool in_x, bool in_y,
                                             bool near_max, bool near_min) noexcept {
        const double diff = static_cast<double>(i) / d1 - static_cast<double>(j) / d2;
        if (near_max) {
            if (in_x) max_x.more(diff, k);
            if (in_y) max_y.more(diff, k);
        }
        if (near_min) {
            if (in_x) min_x.less(diff, k);
            if (in_y) min_y.less(diff, k);
        }
    }
};

// One walk over part of the merged sorted samples. At the end of each run
// of equal values, cdf1 - cdf2 = c1/n1 - c2/n2 in double precision, as the
// reference forms it; only ends whose exact difference (the integer
// c1 n2 - c2 n1) is within rounding reach of the walk's running extremes are
// formed, so a step costs a few integer operations, with no branch on which
// sample its value is from.
template <class I>
struct KsChain {
    const std::uint64_t* a;
    const std::uint64_t* b;
    std::size_t i, j;
    std::uint64_t ka, kb;
    I v, vmax, vmin, slack, step_x, step_y;
    std::uint64_t run_x = 0, run_y = 0;  // the current run holds values of x, of y
    KsWalk w;

    KsChain(const std::uint64_t* a_, const std::uint64_t* b_, std::size_t i0, std::size_t j0, std::int64_t n1,
            std::int64_t n2)
        : a(a_), b(b_), i(i0), j(j0), ka(a_[i0]), kb(b_[j0]) {
        w.d1 = static_cast<double>(n1);
        w.d2 = static_cast<double>(n2);
        // Two differences whose exact values are closer than 4 units of 2^-52
        // may round either way round; in units of 1 / (n1 n2) that is the slack.
        slack = static_cast<I>(std::ceil(w.d1 * w.d2 * 8.9e-16)) + 1;
        step_x = static_cast<I>(n2);
        step_y = static_cast<I>(n1);
        v = static_cast<I>(i0) * step_x - static_cast<I>(j0) * step_y;
        vmax = std::numeric_limits<I>::min();
        vmin = std::numeric_limits<I>::max();
    }

    // Takes the next value (the caller knows there is one).
    void step() noexcept {
        const std::uint64_t tx = static_cast<std::uint64_t>(ka <= kb);
        const std::uint64_t k = kb ^ ((ka ^ kb) & (0 - tx));  // min(ka, kb)
        i += tx;
        j += tx ^ 1;
        v += static_cast<I>(tx) * (step_x + step_y) - step_y;
        run_x |= tx;
        run_y |= tx ^ 1;
        ka = a[i];
        kb = b[j];
        const std::uint64_t next = ka < kb ? ka : kb;
        if (next == k) return;
        vmax = v > vmax ? v : vmax;
        vmin = v < vmin ? v : vmin;
        const bool near_max = v >= vmax - slack, near_min = v <= vmin + slack;
        if (near_max || near_min) w.record(k, i, j, run_x != 0, run_y != 0, near_max, near_min);
        run_x = run_y = 0;
    }
};

// The extremes of the whole merge from two consecutive parts: a tie in
// double precision goes to the first part, whose values are the smaller.
Extreme first_more(const Extreme& p, const Extreme& q) {
    if (!q.set || (p.set && p.value >= q.value)) return p;
    return q;
}
Extreme first_less(const Extreme& p, const Extreme& q) {
    if (!q.set || (p.set && p.value <= q.value)) return p;
    return q;
}

// Walks the merged sorted samples (each ending in kEnd) as two chains side
// by side, split at the first sample's median value (runs of equal values
// stay whole): each step of a merge waits on the loads of the last, so two
// independent chains take little longer than one.
template <class I>
KsWalk ks_walk(const std::uint64_t* a, const std::uint64_t* b, std::int64_t n1, std::int64_t n2) {
    const std::uint64_t pivot = a[n1 / 2];
    const auto i0 = static_cast<std::size_t>(std::lower_bound(a, a + n1, pivot) - a);
    const auto j0 = static_cast<std::size_t>(std::lower_bound(b, b + n2, pivot) - b);
    KsChain<I> first(a, b, 0, 0, n1, n2), second(a, b, i0, j0, n1, n2);
    std::size_t left = i0 + j0;  // the first chain's values
    std::size_t right = static_cast<std::size_t>(n1 + n2) - left;
    while (left != 0 && right != 0) {
        first.step();
        second.step();
        --left;
        --right;
    }
    for (; left != 0; --left) first.step();
    for (; right != 0; --right) second.step();
    KsWalk w = first.w;
    w.max_x = first_more(first.w.max_x, second.w.max_x);
    w.max_y = first_more(first.w.max_y, second.w.max_y);
    w.min_x = first_less(first.w.min_x, second.w.min_x);
    w.min_y = first_less(first.w.min_y, second.w.min_y);
    return w;
}

// Pr(D_{n,n} >= h/n): 2 (A0 (1 - A1 (1 - A2 (...)))), each A_k a product of
// h ratios, in the reference's order of operations.
double prob_outside_square(std::int64_t n, std::int64_t h) noexcept {
    double P = 0.0;
    auto k = static_cast<std::int64_t>(std::floor(static_cast<double>(n) / static_cast<double>(h)));
    while (k >= 0) {
        double p1 = 1.0;
        for (std::int64_t j = 0; j < h; ++j) {
            p1 = static_cast<double>(n - k * h - j) * p1 / static_cast<double>(n + k * h + j + 1);
            if (p1 == 0.0) break;
        }
        P = p1 * (1.0 - P);
        --k;
    }
    return 2.0 * P;
}

// The share of lattice paths from (0, 0) to (m, n) that leave the band
// |x/m - y/n| < h/lcm(m, n), carried column by column as the probability of
// having left it (Viehmann's recursion of Hodges' inside method).
double outer_prob_inside(std::int64_t m, std::int64_t n, std::int64_t g, std::int64_t h) {
    if (m < n) std::swap(m, n);
    const std::int64_t mg = m / g, ng = n / g;
    const double dmg = static_cast<double>(mg);
    std::int64_t minj = 0;
    std::int64_t maxj = std::min(static_cast<std::int64_t>(std::ceil(static_cast<double>(h) / dmg)), n + 1);
    std::int64_t curlen = maxj - minj;
    const std::int64_t len_a = std::min(2 * maxj + 2, n + 1);
    std::vector<double> A(static_cast<std::size_t>(len_a), 1.0);
    std::fill(A.begin(), A.begin() + maxj, 0.0);
    const auto at = [&](std::int64_t idx) { return idx < len_a ? A[static_cast<std::size_t>(idx)] : 1.0; };
    for (std::int64_t i = 1; i <= m; ++i) {
        const std::int64_t lastminj = minj, lastlen = curlen;
        minj = std::max(static_cast<std::int64_t>(std::floor(static_cast<double>(ng * i - h) / dmg)) + 1,
                        std::int64_t{0});
        minj = std::min(minj, n);
        maxj = std::min(static_cast<std::int64_t>(std::ceil(static_cast<double>(ng * i + h) / dmg)), n + 1);
        if (maxj <= minj) return 1.0;
        double val = minj == 0 ? 0.0 : 1.0;
        const double di = static_cast<double>(i);
        const std::int64_t width = std::min(maxj - minj, len_a);
        for (std::int64_t jj = 0; jj < width; ++jj) {
            const std::int64_t j = jj + minj;
            val = (at(jj + minj - lastminj) * di + val * static_cast<double>(j)) / static_cast<double>(i + j);
            A[static_cast<std::size_t>(jj)] = val;
        }
        curlen = maxj - minj;
        if (lastlen > curlen) {
            for (std::int64_t c = curlen; c < std::min(lastlen, len_a); ++c) A[static_cast<std::size_t>(c)] = 1.0;
        }
    }
    const std::int64_t last = maxj - minj - 1;
    return last >= 0 && last < len_a ? A[static_cast<std::size_t>(last)] : 1.0;
}

// The share of lattice paths from (0, 0) to (m, n) that reach the line
// x/m - y/n >= h/lcm(m, n): the same recursion with the one boundary, over
// every point above it. Exact but for rounding (every step a convex
// combination), where counting paths would subtract huge binomials.
double one_sided_prob(std::int64_t m, std::int64_t n, std::int64_t g, std::int64_t h) {
    if (m < n) std::swap(m, n);
    const std::int64_t mg = m / g, ng = n / g;
    const double dmg = static_cast<double>(mg);
    std::vector<double> A(static_cast<std::size_t>(n + 1), 0.0);  // column 0: no path has reached it
    for (std::int64_t x = 1; x <= m; ++x) {
        // Points with y <= floor((ng x - h) / mg) are on or beyond the line.
        const std::int64_t lo =
            std::max(static_cast<std::int64_t>(std::floor(static_cast<double>(ng * x - h) / dmg)) + 1, std::int64_t{0});
        if (lo > n) return 1.0;
        double val = lo == 0 ? 0.0 : 1.0;
        const double dx = static_cast<double>(x);
        for (std::int64_t y = lo; y <= n; ++y) {
            val = (A[static_cast<std::size_t>(y)] * dx + val * static_cast<double>(y)) / static_cast<double>(x + y);
            A[static_cast<std::size_t>(y)] = val;
        }
    }
    return A[static_cast<std::size_t>(n)];
}

// log C(n, k).
double log_binomial(std::int64_t n, std::int64_t k) noexcept {
    return special::log_gamma(static_cast<double>(n) + 1.0) - special::log_gamma(static_cast<double>(k) + 1.0) -
           special::log_gamma(static_cast<double>(n - k) + 1.0);
}

}  // namespace

bool ks_exact_sf(std::int64_t m, std::int64_t n, std::int64_t h, bool two_sided, double& p) noexcept {
    const std::int64_t g = std::gcd(m, n);
    try {
        if (two_sided) {
            p = m == n ? prob_outside_square(m, h) : outer_prob_inside(m, n, g, h);
        } else if (m == n) {
            // binom(2n, n - h) / binom(2n, n), as a product of ratios.
            double prod = 1.0;
            for (std::int64_t j = 0; j < h; ++j) {
                const double t = static_cast<double>(m - j) / (static_cast<double>(m + j) + 1.0);
                prod = j == 0 ? t : prod * t;
            }
            p = prod;
        } else {
            // Counting the paths needs binom(m + n, n) in double precision:
            // beyond it the exact p-value is not attempted.
            if (log_binomial(m + n, std::min(m, n)) > 709.782712893384) return false;
            p = one_sided_prob(m, n, g, h);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    return p >= 0.0 && p <= 1.0;
}

Result<KsResult, StatsError> ks_2samp(SampleSource x_source, SampleSource y_source, Alternative alternative,
                                      KsMethod method,
                                      NanPolicy nan_policy) {
    KsResult r;
    const auto undefined = [](unsigned notes) {
        KsResult u;
        u.statistic = u.pvalue = kNaN;
        u.undefined = true;
        u.notes = notes;
        return u;
    };
    std::vector<SampleSource> sources{std::move(x_source), std::move(y_source)};
    std::vector<Sample> samples = make_samples(sources);
    Sample& x = samples[0];
    Sample& y = samples[1];
    // As the reference orders its checks: NaN first, then the sizes.
    const bool nan = x.has_nan || y.has_nan;
    if (nan && nan_policy == NanPolicy::Raise) return StatsError::NanInput;
    if (nan && nan_policy == NanPolicy::Propagate) return undefined(0);
    std::vector<Sample*> both{&x, &y};
    drop_nan(x);
    drop_nan(y);
    if (x.keys.empty() || y.keys.empty()) return undefined(nan ? kSmallAfterOmit : kSmallSample);
    const std::vector<std::uint64_t> distinct = rank_keys_if_needed(both);
    const auto n1 = static_cast<std::int64_t>(x.keys.size()), n2 = static_cast<std::int64_t>(y.keys.size());
    x.keys.push_back(kEnd);
    y.keys.push_back(kEnd);
    const KsWalk w = n1 < (std::int64_t{1} << 31) && n2 < (std::int64_t{1} << 31)
                         ? ks_walk<std::int64_t>(x.keys.data(), y.keys.data(), n1, n2)
                         : ks_walk<__int128>(x.keys.data(), y.keys.data(), n1, n2);
    // The first index of the extreme in the two samples laid end to end:
    // the first sample's values come first.
    const Extreme& max = !w.max_y.set || (w.max_x.set && w.max_x.value >= w.max_y.value) ? w.max_x : w.max_y;
    const Extreme& min = !w.min_y.set || (w.min_x.set && w.min_x.value <= w.min_y.value) ? w.min_x : w.min_y;
    const double min_s = clip01(-min.value), max_s = max.value;
    double d;
    if (alternative == Alternative::Less || (alternative == Alternative::TwoSided && min_s > max_s)) {
        d = min_s;
        r.location = min.key;
        r.sign = -1;
    } else {
        d = max_s;
        r.location = max.key;
        r.sign = 1;
    }
    if (!distinct.empty()) r.location = distinct[r.location];

    const std::int64_t g = std::gcd(n1, n2);
    const std::int64_t n1g = n1 / g, n2g = n2 / g;
    KsMethod mode = method;
    if (mode == KsMethod::Auto) {
        mode = std::max(n1, n2) <= 10000 ? KsMethod::Exact : KsMethod::Asymp;
    } else if (mode == KsMethod::Exact &&
               static_cast<double>(n1g) >= 2147483647.0 / static_cast<double>(n2g)) {
        mode = KsMethod::Asymp;
        r.notes |= kExactImpossible;
    }
    double prob = -std::numeric_limits<double>::infinity();
    if (mode == KsMethod::Exact) {
        const std::int64_t lcm = n1g * n2;
        const auto h = static_cast<std::int64_t>(std::nearbyint(d * static_cast<double>(lcm)));
        d = static_cast<double>(h) / static_cast<double>(lcm);
        bool ok = true;
        if (h == 0) {
            prob = 1.0;
        } else {
            ok = ks_exact_sf(n1, n2, h, alternative == Alternative::TwoSided, prob);
        }
        if (!ok) {
            mode = KsMethod::Asymp;
            r.notes |= kExactFailed;
        }
    }
    if (mode == KsMethod::Asymp) {
        const double m = static_cast<double>(std::max(n1, n2)), n = static_cast<double>(std::min(n1, n2));
        const double en = m * n / (m + n);
        if (alternative == Alternative::TwoSided) {
            const double rounded = std::nearbyint(en);
            prob = rounded >= 1.0 ? special::kolmogorov_n(static_cast<std::int64_t>(rounded), d, false) : kNaN;
        } else {
            const double z = std::sqrt(en) * d;
            const double expt = -2.0 * (z * z) - 2.0 * z * (m + 2.0 * n) / std::sqrt(m * n * (m + n)) / 3.0;
            prob = std::exp(expt);
        }
    }
    r.statistic = d;
    r.pvalue = std::isnan(prob) ? prob : clip01(prob);
    return r;
}

// ---- Cramer-von Mises --------------------------------------------------------------

namespace {

using I128 = __int128;
using U128 = unsigned __int128;

// sum over t = 1..c of (D - 2t)^2.
I128 squares_below(I128 c, I128 D) noexcept {
    return c * D * D - 2 * D * c * (c + 1) + (2 * c * (c + 1) * (2 * c + 1)) / 3;
}

// 4 sum (r_i - i)^2 over each sample's values in ascending order, r_i the
// value's midrank in the pooled sample: exact, from runs of equal values.
void cvm_rank_sums(const std::uint64_t* a, const std::uint64_t* b, I128& sx, I128& sy) {
    // A value alone in its run is the common case: an x value with gj values
    // of y below it has 2 (r - i) = 2 gj, a y value 2 gi. Runs of ties take
    // the closed form.
    U128 single_x = 0, single_y = 0;
    I128 tied_x = 0, tied_y = 0;
    std::size_t i = 0, j = 0, gi = 0, gj = 0;
    std::uint64_t ka = a[0], kb = b[0];
    while (true) {
        const std::size_t tx = ka <= kb ? 1 : 0;
        const std::uint64_t k = ka <= kb ? ka : kb;
        if (k == kEnd) break;
        i += tx;
        j += 1 - tx;
        ka = a[i];
        kb = b[j];
        const std::uint64_t next = ka < kb ? ka : kb;
        if (next == k) continue;
        const std::size_t cx = i - gi, cy = j - gj;
        if (cx + cy == 1) {
            const std::uint64_t twice = 2 * static_cast<std::uint64_t>(tx != 0 ? gj : gi);
            const U128 sq = static_cast<U128>(twice) * twice;
            single_x += tx != 0 ? sq : 0;
            single_y += tx != 0 ? 0 : sq;
        } else {
            // Twice the midrank of the run: 2 (gi + gj) + cx + cy + 1.
            const I128 twice_rank = 2 * static_cast<I128>(gi + gj) + static_cast<I128>(cx + cy) + 1;
            if (cx != 0) tied_x += squares_below(static_cast<I128>(cx), twice_rank - 2 * static_cast<I128>(gi));
            if (cy != 0) tied_y += squares_below(static_cast<I128>(cy), twice_rank - 2 * static_cast<I128>(gj));
        }
        gi = i;
        gj = j;
    }
    sx = static_cast<I128>(single_x) + tied_x;
    sy = static_cast<I128>(single_y) + tied_y;
}

// a / b rounded once for exact integers (twice, in the last place at most,
// beyond 2^53).
double ratio(I128 a, I128 b) noexcept {
    constexpr I128 exact = I128{1} << 53;
    if (a < exact && a > -exact && b < exact && b > -exact) return static_cast<double>(a) / static_cast<double>(b);
    return static_cast<double>(static_cast<long double>(a) / static_cast<long double>(b));
}

// Floor division of exact integers.
I128 floor_div(I128 a, I128 b) noexcept {
    I128 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

struct Frequency {
    std::uint64_t value;
    U128 count;
};
using Table = std::vector<Frequency>;

// The union of two frequency tables sorted by value, counts of equal values added.
void merge_into(const Table& a, const Table& b, Table& out) {
    out.clear();
    out.reserve(a.size() + b.size());
    std::size_t i = 0, j = 0;
    while (i < a.size() || j < b.size()) {
        if (j == b.size() || (i < a.size() && a[i].value < b[j].value)) {
            out.push_back(a[i++]);
        } else if (i == a.size() || b[j].value < a[i].value) {
            out.push_back(b[j++]);
        } else {
            out.push_back({a[i].value, a[i].count + b[j].count});
            ++i;
            ++j;
        }
    }
}

// The exact p-value: the share of the C(m+n, m) arrangements whose statistic
// is at least the observed one, from the frequency tables of the path sums
// of (a v - b u)^2 (Xiao, Gordon and Yakovlev's algorithm). `u4` is 4 U.
Result<double, StatsError> cvm_exact_pvalue(I128 u4, std::int64_t m, std::int64_t n) {
    if (log_binomial(m + n, m) > 126.0 * std::log(2.0)) return StatsError::ExactTooLarge;
    const std::int64_t lcm = std::lcm(m, n);
    const std::uint64_t a = static_cast<std::uint64_t>(lcm / m), b = static_cast<std::uint64_t>(lcm / n);
    const I128 mn = static_cast<I128>(m) * n;
    const I128 L = lcm;
    // zeta = floor(lcm^2 (m + n) (6 U - mn (4 mn - 1)) / (6 mn^2)), with 6 U = 3 u4 / 2.
    const I128 zeta = floor_div(L * L * (m + n) * (3 * u4 - 2 * mn * (4 * mn - 1)), 12 * mn * mn);
    constexpr std::size_t kMaxEntries = std::size_t{1} << 23;
    std::vector<Table> gs(static_cast<std::size_t>(m + 1)), next(static_cast<std::size_t>(m + 1));
    gs[0].push_back({0, 1});
    Table tmp, merged;
    for (std::int64_t u = 0; u <= n; ++u) {
        tmp.clear();
        std::size_t entries = 0;
        for (std::int64_t v = 0; v <= m; ++v) {
            merge_into(tmp, gs[static_cast<std::size_t>(v)], merged);
            const auto diff = static_cast<std::int64_t>(a) * v - static_cast<std::int64_t>(b) * u;
            const auto shift = static_cast<std::uint64_t>(diff < 0 ? -diff : diff);
            for (Frequency& f : merged) f.value += shift * shift;
            entries += merged.size();
            if (entries > kMaxEntries) return StatsError::ExactTooLarge;
            next[static_cast<std::size_t>(v)] = merged;
            tmp.swap(merged);
        }
        gs.swap(next);
    }
    U128 total = 0, at_least = 0;
    for (const Frequency& f : gs[static_cast<std::size_t>(m)]) {
        total += f.count;
        if (static_cast<I128>(f.value) >= zeta) at_least += f.count;
    }
    return static_cast<double>(at_least) / static_cast<double>(total);
}

}  // namespace

Result<CvmResult, StatsError> cramervonmises_2samp(SampleSource x_source, SampleSource y_source, CvmMethod method,
                                                  NanPolicy nan_policy) {
    const auto undefined = [](unsigned notes) {
        CvmResult u;
        u.statistic = u.pvalue = kNaN;
        u.undefined = true;
        u.notes = notes;
        return u;
    };
    std::vector<SampleSource> sources{std::move(x_source), std::move(y_source)};
    std::vector<Sample> samples = make_samples(sources);
    Sample& x = samples[0];
    Sample& y = samples[1];
    const bool nan = x.has_nan || y.has_nan;
    if (nan && nan_policy == NanPolicy::Raise) return StatsError::NanInput;
    if (nan && nan_policy == NanPolicy::Propagate) return undefined(0);
    std::vector<Sample*> both{&x, &y};
    drop_nan(x);
    drop_nan(y);
    if (x.keys.size() <= 1 || y.keys.size() <= 1) return undefined(nan ? kSmallAfterOmit : kSmallSample);
    rank_keys_if_needed(both);
    const auto nx = static_cast<std::int64_t>(x.keys.size()), ny = static_cast<std::int64_t>(y.keys.size());
    x.keys.push_back(kEnd);
    y.keys.push_back(kEnd);
    I128 sx4, sy4;
    cvm_rank_sums(x.keys.data(), y.keys.data(), sx4, sy4);
    const double u = static_cast<double>(nx) * (static_cast<double>(sx4) / 4.0) +
                     static_cast<double>(ny) * (static_cast<double>(sy4) / 4.0);
    const I128 k = static_cast<I128>(nx) * ny, N = nx + ny;
    const double t = u / static_cast<double>(k * N) - ratio(4 * k - 1, 6 * N);
    CvmResult r;
    r.statistic = t;
    if (method == CvmMethod::Auto) method = std::max(nx, ny) > 20 ? CvmMethod::Asymptotic : CvmMethod::Exact;
    if (method == CvmMethod::Exact) {
        LUMETRA_TRY(const double p, cvm_exact_pvalue(sx4 * nx + sy4 * ny, nx, ny));
        r.pvalue = p;
        return r;
    }
    // Anderson's mean and variance of T, normalised onto the limiting
    // distribution of the one-sample statistic.
    const double dN = static_cast<double>(N);
    const double et = (1.0 + 1.0 / dN) / 6.0;
    const I128 vt_num = (N + 1) * (4 * k * N - 3 * (static_cast<I128>(nx) * nx + static_cast<I128>(ny) * ny) - 2 * k);
    const double vt = ratio(vt_num, 45 * N * N * 4 * k);
    const double tn = 1.0 / 6.0 + (t - et) / std::sqrt(45.0 * vt);
    if (!(tn >= 0.003)) {
        r.pvalue = std::isnan(tn) ? kNaN : 1.0;
    } else if (std::isinf(tn)) {
        r.pvalue = 0.0;
    } else {
        const double p = 1.0 - special::cvm_limit_cdf(tn);
        r.pvalue = p < 0.0 ? 0.0 : p;
    }
    return r;
}

// ---- Anderson-Darling --------------------------------------------------------------

namespace {

// Neumaier's compensated sum, in index order.
struct CompensatedSum {
    double sum = 0.0, carry = 0.0;
    void add(double v) noexcept {
        const double t = sum + v;
        if (std::fabs(sum) >= std::fabs(v)) {
            carry += (sum - t) + v;
        } else {
            carry += (v - t) + sum;
        }
        sum = t;
    }
    double value() const noexcept { return sum + carry; }
};

// The coefficients of the least-squares parabola through (x_i, y_i), highest
// power first, from the column-scaled Vandermonde matrix by Householder QR.
void fit_parabola(const double* x, const double* y, std::size_t n, double out[3]) {
    std::vector<double> A(n * 3), rhs(y, y + n);
    double scale[3] = {0.0, 0.0, 0.0};
    for (std::size_t i = 0; i < n; ++i) {
        A[i * 3 + 0] = x[i] * x[i];
        A[i * 3 + 1] = x[i];
        A[i * 3 + 2] = 1.0;
        for (int c = 0; c < 3; ++c) scale[c] += A[i * 3 + c] * A[i * 3 + c];
    }
    for (double& s : scale) s = std::sqrt(s);
    for (std::size_t i = 0; i < n; ++i) {
        for (int c = 0; c < 3; ++c) A[i * 3 + c] /= scale[c];
    }
    for (std::size_t c = 0; c < 3; ++c) {
        double norm = 0.0;
        for (std::size_t i = c; i < n; ++i) norm += A[i * 3 + c] * A[i * 3 + c];
        norm = std::sqrt(norm);
        const double alpha = A[c * 3 + c] > 0 ? -norm : norm;
        std::vector<double> v(n, 0.0);
        for (std::size_t i = c; i < n; ++i) v[i] = A[i * 3 + c];
        v[c] -= alpha;
        double vnorm2 = 0.0;
        for (std::size_t i = c; i < n; ++i) vnorm2 += v[i] * v[i];
        if (vnorm2 == 0.0) continue;
        for (std::size_t cc = c; cc < 3; ++cc) {
            double dot = 0.0;
            for (std::size_t i = c; i < n; ++i) dot += v[i] * A[i * 3 + cc];
            const double f = 2.0 * dot / vnorm2;
            for (std::size_t i = c; i < n; ++i) A[i * 3 + cc] -= f * v[i];
        }
        double dot = 0.0;
        for (std::size_t i = c; i < n; ++i) dot += v[i] * rhs[i];
        const double f = 2.0 * dot / vnorm2;
        for (std::size_t i = c; i < n; ++i) rhs[i] -= f * v[i];
    }
    double coef[3];
    for (int c = 2; c >= 0; --c) {
        double s = rhs[static_cast<std::size_t>(c)];
        for (int cc = c + 1; cc < 3; ++cc) s -= A[static_cast<std::size_t>(c) * 3 + cc] * coef[cc];
        coef[c] = s / A[static_cast<std::size_t>(c) * 3 + c];
    }
    for (int c = 0; c < 3; ++c) out[c] = coef[c] / scale[c];
}

// The statistic's sum over the distinct values of the pooled samples,
// merged from the sorted samples (each ending in kEnd).
// The midrank or right sum of two samples (each ending in kEnd), merged one
// value per step without a branch on which sample it is from.
double ad_sum_two(const std::vector<Sample>& samples, AdVariant variant, std::size_t N) {
    const std::uint64_t* a = samples[0].keys.data();
    const std::uint64_t* b = samples[1].keys.data();
    const double n1 = static_cast<double>(samples[0].keys.size() - 1), n2 = static_cast<double>(samples[1].keys.size() - 1);
    const double dN = static_cast<double>(N);
    CompensatedSum acc_x, acc_y;
    std::size_t i = 0, j = 0, gi = 0, gj = 0;
    std::uint64_t ka = a[0], kb = b[0];
    while (true) {
        const std::uint64_t tx = static_cast<std::uint64_t>(ka <= kb);
        const std::uint64_t k = kb ^ ((ka ^ kb) & (0 - tx));
        if (k == kEnd) break;
        i += tx;
        j += tx ^ 1;
        ka = a[i];
        kb = b[j];
        const std::uint64_t next = ka < kb ? ka : kb;
        if (next == k) continue;
        const std::size_t left = gi + gj, lj = (i - gi) + (j - gj);
        if (variant == AdVariant::Midrank) {
            const double l = static_cast<double>(lj);
            const double Bj = static_cast<double>(left) + l / 2.0;
            const double weight = l / dN;
            const double denom = Bj * (dN - Bj) - static_cast<double>(N * lj) / 4.0;
            const double mx = static_cast<double>(i) - static_cast<double>(i - gi) / 2.0;
            const double my = static_cast<double>(j) - static_cast<double>(j - gj) / 2.0;
            const double dx = dN * mx - Bj * n1, dy = dN * my - Bj * n2;
            acc_x.add(weight * (dx * dx) / denom);
            acc_y.add(weight * (dy * dy) / denom);
        } else if (left + lj != N) {  // right: the largest value is left out
            const double weight = static_cast<double>(lj) / dN;
            const auto Bj = static_cast<I128>(left + lj);
            const double denom = static_cast<double>(Bj * (static_cast<I128>(N) - Bj));
            const double dx = static_cast<double>(static_cast<I128>(N) * static_cast<I128>(i) -
                                                  Bj * static_cast<I128>(samples[0].keys.size() - 1));
            const double dy = static_cast<double>(static_cast<I128>(N) * static_cast<I128>(j) -
                                                  Bj * static_cast<I128>(samples[1].keys.size() - 1));
            acc_x.add(weight * (dx * dx) / denom);
            acc_y.add(weight * (dy * dy) / denom);
        }
        gi = i;
        gj = j;
    }
    double total = acc_x.value() / n1 + acc_y.value() / n2;
    if (variant == AdVariant::Midrank) total *= (dN - 1.0) / dN;
    return total;
}

double ad_sum(const std::vector<Sample>& samples, AdVariant variant, std::size_t N) {
    const std::size_t k = samples.size();
    if (k == 2 && variant != AdVariant::Continuous) return ad_sum_two(samples, variant, N);
    std::vector<std::size_t> pos(k, 0), f(k, 0);
    std::vector<CompensatedSum> acc(k);
    const double dN = static_cast<double>(N);
    std::size_t left = 0;  // pooled values below the current one
    while (true) {
        std::uint64_t z = kEnd;
        for (std::size_t i = 0; i < k; ++i) z = std::min(z, samples[i].keys[pos[i]]);
        if (z == kEnd) break;
        std::size_t lj = 0;
        for (std::size_t i = 0; i < k; ++i) {
            const std::size_t start = pos[i];
            const std::uint64_t* keys = samples[i].keys.data();
            while (keys[pos[i]] == z) ++pos[i];
            f[i] = pos[i] - start;
            lj += f[i];
        }
        const std::size_t right = left + lj;  // pooled values up to the current one
        switch (variant) {
            case AdVariant::Midrank: {
                const double l = static_cast<double>(lj);
                const double Bj = static_cast<double>(left) + l / 2.0;
                const double weight = l / dN;
                const double denom = Bj * (dN - Bj) - static_cast<double>(N * lj) / 4.0;
                for (std::size_t i = 0; i < k; ++i) {
                    const double Mij = static_cast<double>(pos[i]) - static_cast<double>(f[i]) / 2.0;
                    const double ni = static_cast<double>(samples[i].keys.size() - 1);
                    const double diff = dN * Mij - Bj * ni;
                    acc[i].add(weight * (diff * diff) / denom);
                }
                break;
            }
            case AdVariant::Right: {
                if (right == N) break;  // the largest value is left out
                const double weight = static_cast<double>(lj) / dN;
                const auto Bj = static_cast<I128>(right);
                const double denom = static_cast<double>(Bj * (static_cast<I128>(N) - Bj));
                for (std::size_t i = 0; i < k; ++i) {
                    const auto ni = static_cast<I128>(samples[i].keys.size() - 1);
                    const double diff = static_cast<double>(static_cast<I128>(N) * static_cast<I128>(pos[i]) - Bj * ni);
                    acc[i].add(weight * (diff * diff) / denom);
                }
                break;
            }
            case AdVariant::Continuous: {
                // One term per pooled position j = left + 1 .. right (up to N - 1).
                const std::size_t last = std::min(right, N - 1);
                for (std::size_t j = left + 1; j <= last; ++j) {
                    const auto dj = static_cast<I128>(j);
                    const double denom = static_cast<double>(dj * (static_cast<I128>(N) - dj));
                    for (std::size_t i = 0; i < k; ++i) {
                        const auto ni = static_cast<I128>(samples[i].keys.size() - 1);
                        const I128 diff = static_cast<I128>(N) * static_cast<I128>(pos[i]) - dj * ni;
                        const U128 sq = static_cast<U128>(diff < 0 ? -diff : diff) * static_cast<U128>(diff < 0 ? -diff : diff);
                        acc[i].add(static_cast<double>(sq) / denom);
                    }
                }
                break;
            }
        }
        left = right;
    }
    double total = 0.0;
    for (std::size_t i = 0; i < k; ++i) total += acc[i].value() / static_cast<double>(samples[i].keys.size() - 1);
    if (variant == AdVariant::Midrank) total *= (dN - 1.0) / dN;
    if (variant == AdVariant::Continuous) total /= dN;
    return total;
}

}  // namespace

Result<AdResult, StatsError> anderson_ksamp(std::vector<SampleSource> sources, AdVariant variant) {
    const std::size_t k = sources.size();
    if (k < 2) return StatsError::TooFewSamples;
    std::size_t N = 0;
    for (const SampleSource& s : sources) N += s.size;
    // NaN is a value here, above every other: the samples are sorted with it.
    std::vector<Sample> samples = make_samples(sources);
    std::vector<Sample*> all;
    for (Sample& s : samples) all.push_back(&s);
    // Distinct values of the pooled samples, found as the samples merge.
    {
        std::uint64_t lo = kEnd, hi = 0;
        for (const Sample& s : samples) {
            if (s.keys.empty()) continue;
            lo = std::min(lo, s.keys.front());
            hi = std::max(hi, s.keys.back());
        }
        if (N == 0 || lo == hi) return StatsError::OneDistinctValue;
    }
    for (const Sample& s : samples) {
        if (s.keys.empty()) return StatsError::EmptySample;
    }
    if (N < 3) return StatsError::TooFewObservations;
    rank_keys_if_needed(all);
    for (Sample& s : samples) s.keys.push_back(kEnd);
    const double A2kN = ad_sum(samples, variant, N);

    std::vector<double> inv_n(k);
    for (std::size_t i = 0; i < k; ++i) inv_n[i] = 1.0 / static_cast<double>(samples[i].keys.size() - 1);
    const double H = pairwise_sum(inv_n.data(), k);
    // hs_cs[t] = 1/(N-1) + ... + 1/(N-1-t), t = 0 .. N-3; h = hs_cs[N-3] + 1;
    // g = sum of hs_cs[t] / (t + 2).
    // (g summed compensated, in index order, where the reference sums its
    // array pairwise: the two agree to a unit in the last place or so.)
    double hs = 0.0;
    CompensatedSum g_sum;
    for (std::size_t t = 0; t + 2 < N; ++t) {
        hs += 1.0 / static_cast<double>(N - 1 - t);
        g_sum.add(hs / static_cast<double>(t + 2));
    }
    const double h = hs + 1.0;
    const double g = g_sum.value();
    const double dk = static_cast<double>(k);
    const double k2 = dk * dk;
    const double a = (4 * g - 6) * (dk - 1) + (10 - 6 * g) * H;
    const double b = (2 * g - 4) * k2 + 8 * h * dk + (2 * g - 14 * h - 4) * H - 8 * h + 4 * g - 6;
    const double c = (6 * h + 2 * g - 2) * k2 + (4 * h - 4 * g + 6) * dk + (2 * h - 6) * H + 4 * h;
    const double d = (2 * h + 6) * k2 - 4 * h * dk;
    const auto N128 = static_cast<U128>(N);
    const double dN = static_cast<double>(N);
    const double sigmasq = (a * static_cast<double>(N128 * N128 * N128) + b * static_cast<double>(N128 * N128) +
                            c * dN + d) /
                           ((dN - 1.0) * (dN - 2.0) * (dN - 3.0));
    if (sigmasq < 0.0) return StatsError::NegativeVariance;
    const double m = dk - 1.0;
    AdResult r;
    r.statistic = (A2kN - m) / std::sqrt(sigmasq);

    // Scholz and Stephens' Table 2: interpolation coefficients of the
    // critical values at the significance levels below.
    constexpr double b0[7] = {0.675, 1.281, 1.645, 1.96, 2.326, 2.573, 3.085};
    constexpr double b1[7] = {-0.245, 0.25, 0.678, 1.149, 1.822, 2.364, 3.615};
    constexpr double b2[7] = {-0.105, -0.305, -0.362, -0.391, -0.396, -0.345, -0.154};
    constexpr double sig[7] = {0.25, 0.1, 0.05, 0.025, 0.01, 0.005, 0.001};
    const double sqrt_m = std::sqrt(m);
    double lo = std::numeric_limits<double>::infinity(), hi = -lo;
    for (int i = 0; i < 7; ++i) {
        r.critical[i] = b0[i] + b1[i] / sqrt_m + b2[i] / m;
        lo = std::min(lo, r.critical[i]);
        hi = std::max(hi, r.critical[i]);
    }
    const double A2 = r.statistic;
    if (A2 < lo) {
        r.pvalue = 0.25;
        r.notes |= kPvalueCapped;
    } else if (A2 > hi) {
        r.pvalue = 0.001;
        r.notes |= kPvalueFloored;
    } else {
        double logsig[7];
        for (int i = 0; i < 7; ++i) logsig[i] = std::log(sig[i]);
        double pf[3];
        fit_parabola(r.critical, logsig, 7, pf);
        double y = 0.0;
        for (double coef : pf) y = y * A2 + coef;
        r.pvalue = std::exp(y);
    }
    return r;
}

// ---- chi-square and G on bins -------------------------------------------------------

double pairwise_sum(const double* a, std::size_t n) noexcept {
    if (n < 8) {
        double res = 0.0;
        for (std::size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int j = 0; j < 8; ++j) r[j] = a[j];
        std::size_t i = 8;
        for (; i < n - (n % 8); i += 8) {
            for (int j = 0; j < 8; ++j) r[j] += a[i + j];
        }
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    std::size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

namespace {

template <class T>
constexpr bool kIntegerCounts = std::is_integral_v<T>;

// A column's sum in the reference's pairwise order (float counts).
template <class View>
double pairwise_column_sum(const View& v) {
    std::vector<double> values(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) values[i] = static_cast<double>(v[i]);
    return pairwise_sum(values.data(), values.size());
}

}  // namespace

template <class View>
Result<BinTotals, StatsError> scan_bins(const View& reference, const View& current) {
    using T = std::remove_cvref_t<decltype(reference[0])>;
    BinTotals t;
    t.bins = reference.size();
    const std::size_t n = reference.size();
    std::size_t kept = 0;
    bool negative = false;
    if constexpr (kIntegerCounts<T>) {
        U128 rs = 0, cs = 0;
        // Exactly, in blocks summed in 64 bits while every count of the block
        // is below 2^47 (block sums then stay below 2^63); a block holding a
        // larger or a negative count is summed again in 128 bits.
        constexpr std::size_t kBlock = 4096;
        const auto exact = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const T r = reference[i], c = current[i];
                if constexpr (std::is_signed_v<T>) negative = negative || r < 0 || c < 0;
                rs += static_cast<U128>(static_cast<std::uint64_t>(r));
                cs += static_cast<U128>(static_cast<std::uint64_t>(c));
                kept += (r != 0 || c != 0) ? 1 : 0;
            }
        };
        if (reference.stride == static_cast<std::ptrdiff_t>(sizeof(T)) &&
            current.stride == static_cast<std::ptrdiff_t>(sizeof(T)) &&
            reinterpret_cast<std::uintptr_t>(reference.data) % alignof(T) == 0 &&
            reinterpret_cast<std::uintptr_t>(current.data) % alignof(T) == 0) {
            const T* a = reinterpret_cast<const T*>(reference.data);
            const T* b = reinterpret_cast<const T*>(current.data);
            for (std::size_t begin = 0; begin < n; begin += kBlock) {
                const std::size_t end = std::min(n, begin + kBlock);
                std::uint64_t sa = 0, sb = 0, large = 0, k = 0;
                for (std::size_t i = begin; i < end; ++i) {
                    const auto x = static_cast<std::uint64_t>(a[i]), y = static_cast<std::uint64_t>(b[i]);
                    sa += x;
                    sb += y;
                    large |= (x | y) >> 47;
                    k += static_cast<std::uint64_t>((x | y) != 0);
                }
                if (large == 0) {
                    rs += sa;
                    cs += sb;
                    kept += k;
                } else {
                    exact(begin, end);
                }
            }
        } else {
            exact(0, n);
        }
        if (negative) return StatsError::NegativeCount;
        t.integer = true;
        t.reference_sum = rs;
        t.current_sum = cs;
        t.reference_total = static_cast<double>(rs);
        t.current_total = static_cast<double>(cs);
        t.total = static_cast<double>(rs + cs);
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            const double r = static_cast<double>(reference[i]), c = static_cast<double>(current[i]);
            negative = negative || r < 0 || c < 0;
            kept += (r != 0 || c != 0) ? 1 : 0;
        }
        if (negative) return StatsError::NegativeCount;
        // Each side's total in the pairwise order; the grand total their sum.
        t.reference_total = pairwise_column_sum(reference);
        t.current_total = pairwise_column_sum(current);
        t.total = t.reference_total + t.current_total;
    }
    t.kept = kept;
    if (kept == 0) return StatsError::NoData;
    if (t.reference_total == 0.0 || t.current_total == 0.0) return StatsError::ZeroTotal;
    return t;
}

namespace {

// xlogy(x, y): 0 where x is 0 (and y is not NaN), else x log y.
inline double xlogy(double x, double y) noexcept { return (x == 0.0 && !std::isnan(y)) ? 0.0 : x * std::log(y); }

}  // namespace

namespace {

// log(x) for a positive, normal, finite x, as fdlibm computes it (under one
// unit in the last place): x = 2^k m with m in [sqrt(1/2), sqrt(2)), and
// log(m) = f - (f^2/2 - s (f^2/2 + R(s^2))), s = f / (2 + f). No branch, so
// that loops of it vectorise.
inline double log_positive(double x) noexcept {
    constexpr double ln2_hi = 6.93147180369123816490e-01, ln2_lo = 1.90821492927058770002e-10;
    constexpr double Lg1 = 6.666666666666735130e-01, Lg2 = 3.999999999940941908e-01,
                     Lg3 = 2.857142874366239149e-01, Lg4 = 2.222219843214978396e-01,
                     Lg5 = 1.818357216161805012e-01, Lg6 = 1.531383769920937332e-01,
                     Lg7 = 1.479819860511658591e-01;
    const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
    // The biased exponent as a double, through the mantissa of 2^52 (no
    // integer conversion, which the vector units lack for 64 bits).
    const double biased = std::bit_cast<double>(0x4330000000000000ull | (bits >> 52)) - 4503599627370496.0;
    const double m1 = std::bit_cast<double>((bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
    // m1 above sqrt(2) is halved (and the exponent raised): bits, not a branch.
    const std::uint64_t big = 0 - static_cast<std::uint64_t>(m1 > 1.4142135623730951);
    const double m = std::bit_cast<double>(std::bit_cast<std::uint64_t>(m1) - (big & 0x0010000000000000ull));
    const double dk = (biased - 1023.0) + std::bit_cast<double>(big & 0x3FF0000000000000ull);
    const double f = m - 1.0;
    const double sv = f / (2.0 + f);
    const double z = sv * sv, w = z * z;
    const double t1 = w * (Lg2 + w * (Lg4 + w * Lg6));
    const double t2 = z * (Lg1 + w * (Lg3 + w * (Lg5 + w * Lg7)));
    const double R = t2 + t1;
    const double hfsq = 0.5 * f * f;
    return dk * ln2_hi - ((hfsq - (sv * (hfsq + R) + dk * ln2_lo)) - f);
}

// Bins per block of the fast pass: each block's terms are summed in eight
// lanes, and the blocks' sums in block order, whichever thread forms them.
constexpr std::size_t kBinBlock = 2048;
// (The pass is bound by memory and done in milliseconds: a thread of its own pays only for
// tables of millions of bins, where waiting for a busy core to start it costs relatively little.)
constexpr std::size_t kBinsPerThread = std::size_t{1} << 21;

struct BinRatios {
    double rt, ut, tr, tu;  // R / T, U / T, T / R, T / U
    double r, u, t;         // R, U, T
};

// The Pearson terms of m bins (counts r and u as doubles), summed in eight
// lanes (bin j in lane j % 8); the expected frequencies written to e0, e1.
// Each bin's two terms share one division, by its column total.
LUMETRA_KERNEL(double, pearson_block, (const double* __restrict r, const double* __restrict u, std::size_t m, BinRatios q,
                     double* __restrict e0, double* __restrict e1) noexcept, (r, u, m, q, e0, e1), {
    double lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::size_t j = 0;
    for (; j + 8 <= m; j += 8) {
        for (std::size_t l = 0; l < 8; ++l) {
            const double c = r[j + l] + u[j + l];
            const double a = c * q.rt, b = c * q.ut;
            e0[j + l] = a;
            e1[j + l] = b;
            const double inv = 1.0 / c;
            const double d0 = r[j + l] - a, d1 = u[j + l] - b;
            lane[l] += d0 * d0 * inv * q.tr + d1 * d1 * inv * q.tu;
        }
    }
    for (; j < m; ++j) {
        const double c = r[j] + u[j];
        const double a = c * q.rt, b = c * q.ut;
        e0[j] = a;
        e1[j] = b;
        const double inv = 1.0 / c;
        const double d0 = r[j] - a, d1 = u[j] - b;
        lane[j % 8] += d0 * d0 * inv * q.tr + d1 * d1 * inv * q.tu;
    }
    return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
})

// The G terms 2 o log(o / e) of m bins, as pearson_block; `odd` is set for
// a ratio the fast logarithm does not take (the caller redoes the block).
LUMETRA_KERNEL(double, g_block, (const double* __restrict r, const double* __restrict u, std::size_t m, BinRatios q,
               double* __restrict e0, double* __restrict e1, bool& odd) noexcept, (r, u, m, q, e0, e1, odd), {
    constexpr double lo = 2.2250738585072014e-308, hi = 1.7976931348623157e308;
    // Selections by bit masks: a branch (or a select the compiler will not
    // hoist past a floating-point comparison) would keep the loops scalar.
    const auto pick = [](std::uint64_t mask, double yes, double no) {
        return std::bit_cast<double>((std::bit_cast<std::uint64_t>(yes) & mask) |
                                     (std::bit_cast<std::uint64_t>(no) & ~mask));
    };
    double q0[kBinBlock], q1[kBinBlock];
    std::uint64_t bad = 0;
    for (std::size_t j = 0; j < m; ++j) {
        // As the reference forms them, cell by cell: a ratio shared by every
        // cell of a row (R / T) would put its one rounding into every
        // logarithm, and the log-likelihood sum carries it T times.
        const double c = r[j] + u[j];
        const double ea = q.r * c / q.t, eb = q.u * c / q.t;
        e0[j] = ea;
        e1[j] = eb;
        const double a = r[j] / ea, b = u[j] / eb;
        const std::uint64_t ok_a = static_cast<std::uint64_t>(a >= lo) & static_cast<std::uint64_t>(a <= hi);
        const std::uint64_t ok_b = static_cast<std::uint64_t>(b >= lo) & static_cast<std::uint64_t>(b <= hi);
        const std::uint64_t nz_r = static_cast<std::uint64_t>(std::bit_cast<std::uint64_t>(r[j]) != 0);
        const std::uint64_t nz_u = static_cast<std::uint64_t>(std::bit_cast<std::uint64_t>(u[j]) != 0);
        bad |= ((ok_a ^ 1) & nz_r) | ((ok_b ^ 1) & nz_u);
        q0[j] = pick(0 - ok_a, a, 1.0);
        q1[j] = pick(0 - ok_b, b, 1.0);
    }
    odd = bad != 0;
    for (std::size_t j = 0; j < m; ++j) {
        q0[j] = log_positive(q0[j]);
        q1[j] = log_positive(q1[j]);
    }
    // A zero count's term is 0 (as xlogy has it), its log whatever it is.
    const auto term = [&](std::size_t i) {
        const std::uint64_t nz_r = 0 - static_cast<std::uint64_t>(std::bit_cast<std::uint64_t>(r[i]) != 0);
        const std::uint64_t nz_u = 0 - static_cast<std::uint64_t>(std::bit_cast<std::uint64_t>(u[i]) != 0);
        const double l0 = pick(nz_r, r[i] * q0[i], 0.0), l1 = pick(nz_u, u[i] * q1[i], 0.0);
        return 2.0 * l0 + 2.0 * l1;
    };
    double lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    std::size_t j = 0;
    for (; j + 8 <= m; j += 8) {
        for (std::size_t l = 0; l < 8; ++l) lane[l] += term(j + l);
    }
    for (; j < m; ++j) lane[j % 8] += term(j);
    return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
})

// The Pearson or G statistic of a table without empty bins, in one pass
// over the counts: each bin's column total, its two expected frequencies
// (written out), and its two terms.
template <class T>
struct FastBins {
    const T* ref;
    const T* cur;
    std::size_t n;
    BinRatios q;
    bool g_test;
    double* expected;

    // The sum of the terms of bins [begin, end), begin a multiple of 8.
    double block(std::size_t begin, std::size_t end) const noexcept {
        double r[kBinBlock], u[kBinBlock];
        const std::size_t m = end - begin;
        for (std::size_t j = 0; j < m; ++j) {
            r[j] = static_cast<double>(ref[begin + j]);
            u[j] = static_cast<double>(cur[begin + j]);
        }
        double* e0 = expected + begin;
        double* e1 = expected + n + begin;
        if (!g_test) return pearson_block(r, u, m, q, e0, e1);
        bool odd = false;
        const double sum = g_block(r, u, m, q, e0, e1, odd);
        if (!odd) return sum;
        // Zero counts give 0 (as xlogy), anything else the library's logarithm.
        double lane[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (std::size_t j = 0; j < m; ++j) {
            const double c = r[j] + u[j];
            lane[j % 8] += 2.0 * xlogy(r[j], r[j] / (q.r * c / q.t)) + 2.0 * xlogy(u[j], u[j] / (q.u * c / q.t));
        }
        return ((lane[0] + lane[1]) + (lane[2] + lane[3])) + ((lane[4] + lane[5]) + (lane[6] + lane[7]));
    }
};

template <class T>
double fast_bins(const FastBins<T>& f) {
    const std::size_t blocks = (f.n + kBinBlock - 1) / kBinBlock;
    std::vector<double> sums(blocks, 0.0);
    const auto run = [&](std::size_t first, std::size_t last) {
        for (std::size_t b = first; b < last; ++b) sums[b] = f.block(b * kBinBlock, std::min(f.n, (b + 1) * kBinBlock));
    };
    const unsigned threads =
        static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(thread_cap(), f.n / kBinsPerThread)));
    if (threads <= 1) {
        run(0, blocks);
    } else {
        const auto bound = [&](std::size_t t) { return blocks * t / threads; };
        run_shares(threads, threads, [&](std::size_t t) noexcept { run(bound(t), bound(t + 1)); });
    }
    return pairwise_sum(sums.data(), sums.size());
}

}  // namespace

template <class View>
ContingencyResult contingency_bins(const View& reference, const View& current, const BinTotals& totals,
                                   bool correction, double lambda, double* expected) {
    using T = std::remove_cvref_t<decltype(reference[0])>;
    const std::size_t n = reference.size(), kept = totals.kept;
    ContingencyResult r;
    r.dof = static_cast<std::int64_t>(kept) - 1;
    // Contiguous counts with every bin kept, more than two of them (no
    // Yates), Pearson or G: one pass. (The terms are then summed in lanes,
    // and the expected frequencies formed as column total times R / T: both
    // a unit in the last place from the reference's rounding at most.)
    if (kept == n && n >= 3 && (lambda == 1.0 || lambda == 0.0) &&
        reference.stride == static_cast<std::ptrdiff_t>(sizeof(T)) &&
        current.stride == static_cast<std::ptrdiff_t>(sizeof(T)) &&
        reinterpret_cast<std::uintptr_t>(reference.data) % alignof(T) == 0 &&
        reinterpret_cast<std::uintptr_t>(current.data) % alignof(T) == 0) {
        const BinRatios q{totals.reference_total / totals.total,
                          totals.current_total / totals.total,
                          totals.total / totals.reference_total,
                          totals.total / totals.current_total,
                          totals.reference_total,
                          totals.current_total,
                          totals.total};
        const FastBins<T> f{reinterpret_cast<const T*>(reference.data), reinterpret_cast<const T*>(current.data), n,
                            q, lambda == 0.0, expected};
        r.statistic = fast_bins(f);
        r.pvalue = special::chi2_sf(r.statistic, static_cast<double>(r.dof));
        return r;
    }
    // Observed counts of the kept bins, row by row (reference, then current).
    std::vector<double> observed(2 * kept);
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const T a = reference[i], b = current[i];
        if (a == 0 && b == 0) continue;
        const double col = [&] {
            if constexpr (kIntegerCounts<T>) {
                return 0.0;
            } else {
                return static_cast<double>(a) + static_cast<double>(b);
            }
        }();
        if constexpr (kIntegerCounts<T>) {
            // Row total times column total, exact, then divided by the total.
            const U128 c = static_cast<U128>(static_cast<std::uint64_t>(a)) + static_cast<std::uint64_t>(b);
            const auto product = [&](U128 row) {
                constexpr U128 limit = U128{1} << 64;
                if (row < limit && c < limit) return static_cast<double>(row * c);
                return static_cast<double>(row) * static_cast<double>(c);
            };
            expected[at] = product(totals.reference_sum) / totals.total;
            expected[kept + at] = product(totals.current_sum) / totals.total;
        } else {
            expected[at] = totals.reference_total * col / totals.total;
            expected[kept + at] = totals.current_total * col / totals.total;
        }
        observed[at] = static_cast<double>(a);
        observed[kept + at] = static_cast<double>(b);
        ++at;
    }
    if (r.dof == 0) {
        r.statistic = 0.0;
        r.pvalue = 1.0;
        return r;
    }
    if (r.dof == 1 && correction) {
        // Yates: each count moves half a unit towards its expected value, at most all the way.
        for (std::size_t i = 0; i < 2 * kept; ++i) {
            const double diff = expected[i] - observed[i];
            const double direction = diff > 0 ? 1.0 : (diff < 0 ? -1.0 : (diff == 0 ? 0.0 : diff));
            observed[i] = observed[i] + std::min(0.5, std::fabs(diff)) * direction;
        }
    }
    std::vector<double>& terms = observed;  // each term replaces its count
    const std::size_t cells = 2 * kept;
    if (lambda == 1.0) {
        for (std::size_t i = 0; i < cells; ++i) {
            const double d = terms[i] - expected[i];
            terms[i] = d * d / expected[i];
        }
    } else if (lambda == 0.0) {
        for (std::size_t i = 0; i < cells; ++i) terms[i] = 2.0 * xlogy(terms[i], terms[i] / expected[i]);
    } else if (lambda == -1.0) {
        for (std::size_t i = 0; i < cells; ++i) terms[i] = 2.0 * xlogy(expected[i], expected[i] / terms[i]);
    } else {
        const double divisor = 0.5 * lambda * (lambda + 1.0);
        for (std::size_t i = 0; i < cells; ++i) {
            terms[i] = terms[i] * (std::pow(terms[i] / expected[i], lambda) - 1.0);
            terms[i] /= divisor;
        }
    }
    r.statistic = pairwise_sum(terms.data(), cells);
    r.pvalue = special::chi2_sf(r.statistic, static_cast<double>(r.dof));
    return r;
}

#define LUMETRA_BINS(T)                                                                                         \
    template Result<BinTotals, StatsError> scan_bins(const Strided<T>&, const Strided<T>&);                     \
    template ContingencyResult contingency_bins(const Strided<T>&, const Strided<T>&, const BinTotals&, bool, \
                                                double, double*);
LUMETRA_BINS(std::int8_t)
LUMETRA_BINS(std::int16_t)
LUMETRA_BINS(std::int32_t)
LUMETRA_BINS(std::int64_t)
LUMETRA_BINS(std::uint8_t)
LUMETRA_BINS(std::uint16_t)
LUMETRA_BINS(std::uint32_t)
LUMETRA_BINS(std::uint64_t)
LUMETRA_BINS(float)
LUMETRA_BINS(double)
#undef LUMETRA_BINS

// ---- p-value adjustments ------------------------------------------------------------

namespace {

// NumPy's maximum and minimum: NaN wins.
inline double nan_max(double a, double b) noexcept { return (a != a || b != b) ? kNaN : (a > b ? a : b); }
inline double nan_min(double a, double b) noexcept { return (a != a || b != b) ? kNaN : (a < b ? a : b); }

}  // namespace

Result<void, StatsError> adjust_pvalues(std::span<const double> pvalues, double alpha, Correction method,
                                        bool is_sorted, bool return_sorted, std::uint8_t* reject,
                                        double* corrected) {
    const std::size_t n = pvalues.size();
    if (n > std::numeric_limits<std::uint32_t>::max()) return StatsError::TooManyValues;
    const bool elementwise = method == Correction::Bonferroni || method == Correction::Sidak;
    const bool sort = !is_sorted && (!elementwise || return_sorted);
    std::unique_ptr<std::uint32_t[]> order;
    if (sort) {
        order.reset(new std::uint32_t[n == 0 ? 1 : n]);
        sorting::argsort_doubles(pvalues, thread_cap(), order.get());
    }
    // Rank r's p-value and the place its results go, in one pass over the
    // ranks: the gathers and scatters of the order meet each index once.
    const double* p = pvalues.data();
    const std::uint32_t* ord = order.get();
    const bool to_rank = !sort || return_sorted;
    const auto index = [&](std::size_t r) -> std::size_t { return sort ? ord[r] : r; };
    // The gathers and scatters of the order miss the cache: the indices of
    // ranks a few steps ahead are fetched early.
    constexpr std::size_t kAhead = 24;
    const auto ahead = [&](std::size_t r) {
        if (!sort || r >= n) return;
        const std::size_t i = ord[r];
        __builtin_prefetch(p + i);
        if (!to_rank) {
            __builtin_prefetch(corrected + i, 1);
            __builtin_prefetch(reject + i, 1);
        }
    };
    const auto put = [&](std::size_t r, std::size_t i, double q, bool rej) {
        const std::size_t at = to_rank ? r : i;
        corrected[at] = q > 1.0 ? 1.0 : q;
        reject[at] = rej ? 1 : 0;
    };
    const double dn = static_cast<double>(n);
    switch (method) {
        case Correction::Bonferroni: {
            const double threshold = alpha / dn;
            for (std::size_t r = 0; r < n; ++r) {
                ahead(r + kAhead);
                const std::size_t i = index(r);
                put(r, i, p[i] * dn, p[i] <= threshold);
            }
            break;
        }
        case Correction::Sidak: {
            const double threshold = 1.0 - std::pow(1.0 - alpha, 1.0 / dn);
            for (std::size_t r = 0; r < n; ++r) {
                ahead(r + kAhead);
                const std::size_t i = index(r);
                put(r, i, -std::expm1(dn * std::log1p(-p[i])), p[i] <= threshold);
            }
            break;
        }
        case Correction::HolmSidak:
        case Correction::Holm: {
            // Step-down: from the first rank above its threshold on, every
            // hypothesis is kept; the adjusted values are running maxima.
            bool kept = false;
            double q = 0.0;
            for (std::size_t r = 0; r < n; ++r) {
                ahead(r + kAhead);
                const std::size_t i = index(r);
                const double left = static_cast<double>(n - r);
                double raw, threshold;
                if (method == Correction::Holm) {
                    raw = p[i] * left;
                    threshold = alpha / left;
                } else {
                    raw = -std::expm1(left * std::log1p(-p[i]));
                    threshold = 1.0 - std::pow(1.0 - alpha, 1.0 / left);
                }
                kept = kept || p[i] > threshold;
                q = r == 0 ? raw : nan_max(q, raw);
                put(r, i, q, !kept);
            }
            break;
        }
        case Correction::SimesHochberg:
        case Correction::FdrBH:
        case Correction::FdrBY: {
            // Step-up: every rank up to the last one at or below its
            // threshold is rejected; the adjusted values are running minima
            // from the end.
            double cm = 1.0;
            if (method == Correction::FdrBY) {
                std::vector<double> inv(n);
                for (std::size_t k = 0; k < n; ++k) inv[k] = 1.0 / static_cast<double>(k + 1);
                cm = pairwise_sum(inv.data(), n);
            }
            bool found = false;
            double q = 0.0;
            for (std::size_t r = n; r-- > 0;) {
                if (r >= kAhead) ahead(r - kAhead);
                const std::size_t i = index(r);
                double raw;
                bool below;
                if (method == Correction::SimesHochberg) {
                    const double left = static_cast<double>(n - r);
                    below = p[i] <= alpha / left;
                    raw = left * p[i];
                } else {
                    double ecdf = static_cast<double>(r + 1) / dn;
                    if (method == Correction::FdrBY) ecdf /= cm;
                    below = p[i] <= ecdf * alpha;
                    raw = p[i] / ecdf;
                }
                found = found || below;
                q = r + 1 == n ? raw : nan_min(q, raw);
                put(r, i, q, found);
            }
            break;
        }
    }
    return {};
}

}  // namespace lumetra::stats
