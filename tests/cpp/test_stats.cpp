#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "core/intake.hpp"
#include "core/sort.hpp"
#include "core/stats.hpp"

using namespace lumetra;

namespace {

std::uint64_t next(std::uint64_t& s) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return s ^ (s >> 29);
}

sorting::KeyArray keys_of(const std::vector<std::uint64_t>& v) {
    sorting::KeyArray k(v.size());
    std::copy(v.begin(), v.end(), k.begin());
    return k;
}

// Key sets a radix sort finds hard: clustered below its first window, few
// distinct values, one value, the extremes, sizes around its thresholds.
std::vector<std::vector<std::uint64_t>> hard_key_sets() {
    std::vector<std::vector<std::uint64_t>> sets;
    std::uint64_t s = 7;
    for (std::size_t n : {0u, 1u, 2u, 23u, 25u, 1535u, 1536u, 5000u, 300000u}) {
        std::vector<std::uint64_t> random(n), clustered(n), few(n), same(n, 42), extremes(n);
        for (std::size_t i = 0; i < n; ++i) {
            random[i] = next(s);
            clustered[i] = (std::uint64_t{0xABC} << 40) | (next(s) & 0xFFFFFF);
            few[i] = next(s) % 3 == 0 ? ~std::uint64_t{0} : (next(s) % 2) << 63;
            extremes[i] = i % 2 == 0 ? 0 : ~std::uint64_t{0} - (next(s) & 1);
        }
        for (auto* v : {&random, &clustered, &few, &same, &extremes}) sets.push_back(*v);
    }
    return sets;
}

}  // namespace

TEST_CASE("radix sorts order keys as std::sort does, on one thread and several") {
    for (const auto& set : hard_key_sets()) {
        std::vector<std::uint64_t> expected = set;
        std::sort(expected.begin(), expected.end());
        for (unsigned threads : {1u, 2u, 3u}) {
            CAPTURE(set.size());
            CAPTURE(threads);
            sorting::KeyArray k = keys_of(set);
            sorting::sort_keys(k, threads);
            CHECK(std::equal(k.begin(), k.end(), expected.begin(), expected.end()));
            // The permutation sorts the keys, and equal keys keep their index order.
            const auto order = sorting::argsort_keys(set, threads);
            bool sorted = order.size() == set.size();
            for (std::size_t r = 1; sorted && r < order.size(); ++r) {
                const std::uint64_t a = set[order[r - 1]], b = set[order[r]];
                sorted = a < b || (a == b && order[r - 1] < order[r]);
            }
            CHECK(sorted);
        }
        // The keys of values read by the first pass itself.
        bool nan = true;
        const sorting::KeyArray direct =
            sorting::sorted_keys(view_of(set), [](std::uint64_t v) { return v; }, nan);
        CHECK(std::equal(direct.begin(), direct.end(), expected.begin(), expected.end()));
    }
}

TEST_CASE("float keys order doubles, signed zeros together and every NaN last") {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<double> ordered = {-inf, -1e300, -1.0, -std::numeric_limits<double>::denorm_min(), 0.0,
                                         std::numeric_limits<double>::denorm_min(), 1e-300, 1.0, 1e300, inf};
    for (std::size_t i = 1; i < ordered.size(); ++i) {
        CHECK(sorting::float_key(ordered[i - 1]) < sorting::float_key(ordered[i]));
        CHECK(sorting::float_of_key(sorting::float_key(ordered[i])) == ordered[i]);
    }
    CHECK(sorting::float_key(-0.0) == sorting::float_key(0.0));
    CHECK(sorting::float_key(std::nan("")) == sorting::kNanKey);
    CHECK(sorting::float_key(-std::nan("")) == sorting::kNanKey);
    CHECK(sorting::float_key(inf) < sorting::kNanKey);
    CHECK(sorting::signed_of_key(sorting::signed_key(std::numeric_limits<std::int64_t>::min())) ==
          std::numeric_limits<std::int64_t>::min());
}

namespace {

// P(D >= h / lcm) by counting every arrangement of m x's and n y's.
double brute_ks(int m, int n, std::int64_t h, bool two_sided) {
    const std::int64_t g = std::gcd(m, n), mg = m / g, ng = n / g;
    double outside = 0, total = 0;
    for (unsigned mask = 0; mask < (1u << (m + n)); ++mask) {
        if (__builtin_popcount(mask) != m) continue;
        std::int64_t x = 0, y = 0, best = 0;
        for (int b = 0; b < m + n; ++b) {
            if ((mask >> b) & 1u) ++x;
            else ++y;
            // (x/m - y/n) lcm = x ng - y mg
            const std::int64_t d = x * ng - y * mg;
            best = std::max(best, two_sided ? std::abs(d) : d);
        }
        total += 1;
        outside += best >= h ? 1 : 0;
    }
    return outside / total;
}

}  // namespace

TEST_CASE("exact two-sample KS tails match a count of every arrangement") {
    for (int m = 1; m <= 7; ++m) {
        for (int n = 1; n <= 7; ++n) {
            const std::int64_t lcm = std::lcm(m, n);
            for (std::int64_t h = 1; h <= lcm; ++h) {
                for (bool two_sided : {true, false}) {
                    CAPTURE(m);
                    CAPTURE(n);
                    CAPTURE(h);
                    CAPTURE(two_sided);
                    double p = -1;
                    const double expected = brute_ks(m, n, h, two_sided);
                    if (stats::ks_exact_sf(m, n, h, two_sided, p)) {
                        CHECK(p == doctest::Approx(expected).epsilon(1e-12));
                    } else {
                        // The alternating sum of equal sizes rounds past 1 only
                        // where the tail is 1 (the test then falls back, as SciPy's).
                        CHECK(expected == 1.0);
                        CHECK(p > 1.0);
                    }
                }
            }
        }
    }
}

TEST_CASE("exact Cramer-von Mises p-values match every split of the pooled ranks") {
    // For m + n distinct values, U depends on which ranks go to x.
    for (int m = 2; m <= 6; ++m) {
        for (int n = 2; n <= 6; ++n) {
            std::vector<double> us;
            for (unsigned mask = 0; mask < (1u << (m + n)); ++mask) {
                if (__builtin_popcount(mask) != m) continue;
                double sx = 0, sy = 0;
                int ix = 0, iy = 0;
                for (int r = 1; r <= m + n; ++r) {
                    if ((mask >> (r - 1)) & 1u) {
                        ++ix;
                        sx += double(r - ix) * double(r - ix);
                    } else {
                        ++iy;
                        sy += double(r - iy) * double(r - iy);
                    }
                }
                us.push_back(m * sx + n * sy);
            }
            // The sample whose x's take ranks 1, 3, 5, ... (as far as they go).
            std::vector<double> x, y;
            for (int r = 1, xs = 0; r <= m + n; ++r) {
                if (xs < m && (r % 2 == 1 || m + n - r < m - xs)) {
                    x.push_back(r);
                    ++xs;
                } else {
                    y.push_back(r);
                }
            }
            double sx = 0, sy = 0;
            for (int i = 0; i < m; ++i) sx += (x[i] - (i + 1)) * (x[i] - (i + 1));
            for (int j = 0; j < n; ++j) sy += (y[j] - (j + 1)) * (y[j] - (j + 1));
            const double u = m * sx + n * sy;
            const double expected =
                double(std::count_if(us.begin(), us.end(), [&](double v) { return v >= u - 1e-9; })) / us.size();
            auto r = stats::cramervonmises_2samp(stats::source_of(view_of(x), sorting::KeyKind::Float),
                                                 stats::source_of(view_of(y), sorting::KeyKind::Float),
                                                 stats::CvmMethod::Exact, stats::NanPolicy::Propagate);
            REQUIRE(r.ok());
            CAPTURE(m);
            CAPTURE(n);
            CHECK(r.value().pvalue == doctest::Approx(expected).epsilon(1e-14));
        }
    }
}

TEST_CASE("tests refuse and note as the reference does") {
    const std::vector<double> nan_sample = {1.0, std::nan(""), 2.0}, other = {0.5, 1.5};
    const auto source = [](const std::vector<double>& v) {
        return stats::source_of(view_of(v), sorting::KeyKind::Float);
    };
    using stats::NanPolicy;
    auto raised = stats::ks_2samp(source(nan_sample), source(other), stats::Alternative::TwoSided,
                                  stats::KsMethod::Auto, NanPolicy::Raise);
    CHECK((!raised.ok() && raised.error() == stats::StatsError::NanInput));
    auto propagated = stats::ks_2samp(source(nan_sample), source(other), stats::Alternative::TwoSided,
                                      stats::KsMethod::Auto, NanPolicy::Propagate);
    CHECK((propagated.ok() && propagated.value().undefined && propagated.value().notes == 0));
    auto omitted = stats::ks_2samp(source({std::nan("")}), source(other), stats::Alternative::TwoSided,
                                   stats::KsMethod::Auto, NanPolicy::Omit);
    CHECK((omitted.ok() && omitted.value().notes == stats::kSmallAfterOmit));
    auto small = stats::cramervonmises_2samp(source({1.0}), source(other), stats::CvmMethod::Auto, NanPolicy::Omit);
    CHECK((small.ok() && small.value().notes == stats::kSmallSample));

    // Adjustments keep the reference's NaN spreading: a NaN p-value sorts
    // last, and BH's running minimum from the end carries it everywhere.
    const std::vector<double> p = {0.01, std::nan(""), 0.04};
    std::uint8_t reject[3];
    double corrected[3];
    REQUIRE(stats::adjust_pvalues(p, 0.05, stats::Correction::FdrBH, false, false, reject, corrected).ok());
    CHECK((std::isnan(corrected[0]) && std::isnan(corrected[2])));
    REQUIRE(stats::adjust_pvalues(p, 0.05, stats::Correction::Holm, false, false, reject, corrected).ok());
    CHECK(corrected[0] == doctest::Approx(0.03));
    CHECK((reject[0] == 1 && reject[1] == 0 && reject[2] == 0));
    // NaN is never above its threshold: all NaN p-values are all rejected.
    const std::vector<double> all_nan = {std::nan(""), std::nan("")};
    REQUIRE(stats::adjust_pvalues(all_nan, 0.05, stats::Correction::Holm, false, false, reject, corrected).ok());
    CHECK((reject[0] == 1 && reject[1] == 1));
}
