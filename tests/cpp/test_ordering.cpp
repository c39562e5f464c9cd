#include <doctest/doctest.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/ordering.hpp"

using namespace lumetra::ordering;

namespace {

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// What the scans must find, read off a stable sort of a copy.
struct Sorted {
    bool nan = false;
    double lo = 0, hi = 0, q0 = 0, q1 = 0, sum = 0, squares = 0;
};

Sorted by_sorting(const std::vector<double>& x, std::size_t r0, std::size_t r1) {
    Sorted r;
    for (double v : x) r.nan = r.nan || std::isnan(v);
    if (r.nan) return r;
    std::vector<double> s(x);
    std::stable_sort(s.begin(), s.end());
    r.lo = s.front();
    r.hi = s.back();
    r.q0 = s[r0];
    r.q1 = s[r1];
    double sum = -0.0;
    for (double v : s) sum += v;
    const double mean = sum / static_cast<double>(s.size());
    double ss = -0.0;
    for (double v : s) {
        const double d = v - mean;
        ss += d * d;
    }
    r.sum = sum;
    r.squares = ss;
    return r;
}

// Every scan of x on `threads` threads against the sorted copy.
void check_scans(const std::vector<double>& x, unsigned threads) {
    const std::size_t n = x.size();
    const std::size_t r0 = static_cast<std::size_t>(std::floor(0.25 * static_cast<double>(n)));
    const std::size_t r1 = std::min(n - 1, static_cast<std::size_t>(std::floor(0.75 * static_cast<double>(n))));
    const Sorted want = by_sorting(x, r0, r1);
    const SampleScan scans[3] = {scan_extremes(x, threads), scan_ranks(x, r0, r1, threads),
                                 scan_ascending_sums(x, threads)};
    for (const SampleScan& s : scans) {
        REQUIRE(s.nan == want.nan);
        if (want.nan) continue;
        CHECK(same_bits(s.lo, want.lo));
        CHECK(same_bits(s.hi, want.hi));
    }
    if (want.nan || !(std::isfinite(want.lo) && std::isfinite(want.hi) && want.lo < want.hi)) return;
    CHECK(scans[1].at[0] == want.q0);
    CHECK(scans[1].at[1] == want.q1);
    CHECK(same_bits(scans[2].sum, want.sum));
    CHECK(same_bits(scans[2].squares, want.squares));
}

using Fill = std::function<double(std::mt19937_64&, std::size_t, std::size_t)>;

struct Kind {
    const char* what;
    Fill value;  // (rng, index, n)
};

// Samples that stress each part: ties and signed zeros at the extremes and
// quartiles, binades crossed often, terms halfway between two units, sorted
// and periodic layouts, subnormal, huge and wide-ranging values.
const std::vector<Kind>& kinds() {
    static const std::vector<Kind> k = {
        {"normal", [](auto& g, auto, auto) { return std::normal_distribution<double>(0, 1)(g); }},
        {"integers", [](auto& g, auto, auto) { return std::floor(std::normal_distribution<double>(0, 3)(g)); }},
        {"signed zeros among values",
         [](auto& g, auto, auto) {
             return g() % 3 == 0 ? ((g() & 1) ? -0.0 : 0.0) : std::normal_distribution<double>(0, 1)(g);
         }},
        {"signed zeros over one", [](auto& g, auto i, auto) { return i == 0 ? 1.0 : ((g() & 1) ? -0.0 : 0.0); }},
        {"signed zeros under minus one",
         [](auto& g, auto i, auto n) { return i + 1 == n ? -1.0 : ((g() & 1) ? -0.0 : 0.0); }},
        {"log-normal over 80 binades",
         [](auto& g, auto, auto) { return std::exp(std::normal_distribution<double>(0, 30)(g)); }},
        {"narrow around a million",
         [](auto& g, auto, auto) { return 1e6 + std::uniform_real_distribution<double>(0, 1e-6)(g); }},
        {"ascending", [](auto&, auto i, auto n) { return static_cast<double>(i) - static_cast<double>(n) / 2; }},
        {"descending", [](auto&, auto i, auto) { return -std::sqrt(static_cast<double>(i)); }},
        {"period 7", [](auto&, auto i, auto) { return static_cast<double>(i % 7); }},
        {"subnormal", [](auto& g, auto, auto) { return std::ldexp(static_cast<double>(g() % 1000), -1074); }},
        {"huge", [](auto& g, auto, auto) { return std::normal_distribution<double>(0, 1)(g) * 1e300; }},
        {"53-bit integers", [](auto& g, auto, auto) { return static_cast<double>(g() >> 11); }},
        {"powers of two",
         [](auto& g, auto, auto) {
             return std::ldexp(1.0, static_cast<int>(g() % 2000) - 1000) * ((g() & 1) ? 1.0 : -1.0);
         }},
        {"halves", [](auto& g, auto, auto) { return 0.5 * static_cast<double>(g() % 5); }},
        {"two values, one rare", [](auto& g, auto, auto) { return g() % 100 == 0 ? 5.0 : 1.0; }},
        {"a quarter of zeros", [](auto&, auto i, auto n) { return 4 * i < n ? 0.0 : 1.0 + static_cast<double>(i % 3); }},
        {"three quarters of zeros",
         [](auto& g, auto, auto) {
             return g() % 4 != 0 ? 0.0 : std::uniform_real_distribution<double>(0, 1)(g);
         }},
        {"three quarters of zeros, in order", [](auto&, auto i, auto n) {
             return 4 * i < 3 * n ? 0.0 : static_cast<double>(i) / static_cast<double>(n);
         }},
        {"one outlier", [](auto& g, auto i, auto) { return i == 5 ? 1e300 : std::uniform_real_distribution<double>(0, 1)(g); }},
        {"NaN in the middle",
         [](auto& g, auto i, auto n) {
             return i == n / 2 ? std::nan("") : std::normal_distribution<double>(0, 1)(g);
         }},
        {"infinity", [](auto& g, auto i, auto n) {
             return i == n / 3 ? std::numeric_limits<double>::infinity() : std::normal_distribution<double>(0, 1)(g);
         }},
    };
    return k;
}

std::vector<double> fill(const Kind& kind, std::size_t n, std::mt19937_64& g) {
    std::vector<double> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = kind.value(g, i, n);
    return x;
}

}  // namespace

TEST_CASE("scans agree with a stable sort, bit for bit, on any number of threads") {
    std::mt19937_64 g(42);
    // Sizes on both sides of each path's threshold (direct selection, sorted
    // small samples, one block, many blocks).
    for (std::size_t n : {2, 3, 5, 17, 100, 4096, 4097, 16384, 16385, 70000, 200000}) {
        for (const Kind& kind : kinds()) {
            const std::vector<double> x = fill(kind, n, g);
            for (unsigned threads : {1u, 2u, 3u}) {
                CAPTURE(kind.what);
                CAPTURE(n);
                CAPTURE(threads);
                check_scans(x, threads);
            }
        }
    }
}

TEST_CASE("the ascending sums keep their bits under another rounding mode") {
    // The in-binade shortcut assumes rounding to nearest; other modes take
    // the sorted path, which rounds as the sequential additions do.
    std::mt19937_64 g(3);
    const std::vector<double> x = fill(kinds()[0], 50000, g);
    for (int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO}) {
        CAPTURE(mode);
        std::fesetround(mode);
        const Sorted want = by_sorting(x, 0, 0);
        const SampleScan s = scan_ascending_sums(x, 2);
        std::fesetround(FE_TONEAREST);
        CHECK(same_bits(s.sum, want.sum));
        CHECK(same_bits(s.squares, want.squares));
    }
}

TEST_CASE("ranks are exact whatever the sample the brackets come from") {
    std::mt19937_64 g(5);
    const std::vector<double> x = fill(kinds()[0], 100000, g);
    const std::size_t r0 = 25000, r1 = 75000;
    const Sorted want = by_sorting(x, r0, r1);
    std::vector<double> low(4096), high(4096), narrow(4096, x[7]);
    for (std::size_t i = 0; i < low.size(); ++i) {
        low[i] = -10.0 - static_cast<double>(i);  // every rank above the brackets
        high[i] = 10.0 + static_cast<double>(i);  // every rank below them
    }
    const std::vector<double> samples[] = {low, high, narrow, {}, {1.0}, {std::nan(""), 0.0, 1.0}};
    for (const std::vector<double>& sample : samples) {
        CAPTURE(sample.size());
        const SampleScan s = scan_ranks(x, r0, r1, 2, sample);
        CHECK_FALSE(s.nan);
        CHECK(s.at[0] == want.q0);
        CHECK(s.at[1] == want.q1);
    }
}
