#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <functional>
#include <random>
#include <vector>

#include "core/diagnostics.hpp"
#include "support.hpp"

using namespace lumetra;
using namespace lumetra::diagnostics;
using lumetra::testing::F32;

namespace {

ScoredRows rows_of(const std::vector<double>& s, const std::vector<std::uint8_t>& y) {
    auto r = scored_rows(view_of(s), y);
    REQUIRE(r.ok());
    return r.value();
}

ScoreCurves curves_of(const std::vector<double>& s, const std::vector<std::uint8_t>& y, std::size_t points = 200) {
    auto c = score_curves(rows_of(s, y), points);
    REQUIRE(c.ok());
    return c.value();
}

// The AUC as the share of (positive, negative) pairs ranked right, ties half.
double pairwise_auc(const std::vector<double>& s, const std::vector<std::uint8_t>& y) {
    std::uint64_t twice = 0, p = 0, n = 0;
    for (std::size_t i = 0; i < s.size(); ++i) {
        p += y[i];
        n += !y[i];
        if (!y[i]) continue;
        for (std::size_t j = 0; j < s.size(); ++j) {
            if (y[j]) continue;
            twice += s[i] > s[j] ? 2 : s[i] == s[j] ? 1 : 0;
        }
    }
    return static_cast<double>(twice) / static_cast<double>(2 * p * n);
}

// The average precision by its definition, over the distinct scores from the top.
double direct_ap(const std::vector<double>& s, const std::vector<std::uint8_t>& y) {
    std::vector<double> t = s;
    std::sort(t.begin(), t.end(), std::greater<double>());
    t.erase(std::unique(t.begin(), t.end()), t.end());
    double P = 0;
    for (auto v : y) P += v;
    double ap = 0, before = 0;
    for (double threshold : t) {
        double tp = 0, fp = 0;
        for (std::size_t i = 0; i < s.size(); ++i) {
            if (s[i] >= threshold) (y[i] ? tp : fp) += 1;
        }
        ap += (tp / P - before) * (tp / (tp + fp));
        before = tp / P;
    }
    return ap;
}

}  // namespace

TEST_CASE("score curves: figures of small cases, ties and one class") {
    // scikit-learn's documented example: AUC 0.75, AP 0.8333.
    const auto c = curves_of({0.1, 0.4, 0.35, 0.8}, {0, 0, 1, 1});
    CHECK(c.auc == 0.75);
    CHECK(c.average_precision == doctest::Approx(0.8333333333333333).epsilon(1e-15));
    CHECK(c.thresholds == 4);
    CHECK(c.fpr == std::vector<double>{0.0, 0.0, 0.5, 0.5, 1.0});
    CHECK(c.tpr == std::vector<double>{0.0, 0.5, 0.5, 1.0, 1.0});
    CHECK(std::isinf(c.roc_threshold[0]));
    CHECK(c.pr_threshold == std::vector<double>{0.8, 0.4, 0.35, 0.1});

    // One score for every row: a single threshold, AUC 1/2, AP the share of positives.
    const auto tied = curves_of({0.3, 0.3, 0.3, 0.3, 0.3}, {1, 0, 0, 1, 0});
    CHECK(tied.thresholds == 1);
    CHECK(tied.auc == 0.5);
    CHECK(tied.average_precision == 0.4);
    // -0.0 and 0.0 are one score.
    CHECK(curves_of({-0.0, 0.0}, {1, 0}).thresholds == 1);

    const auto negatives = curves_of({0.1, 0.2}, {0, 0});
    CHECK(std::isnan(negatives.auc));
    CHECK(std::isnan(negatives.average_precision));
    CHECK(negatives.fpr.empty());
    CHECK(negatives.recall.empty());
    const auto positives = curves_of({0.1, 0.2}, {1, 1});
    CHECK(std::isnan(positives.auc));
    CHECK(positives.average_precision == 1.0);
    CHECK(positives.fpr.empty());
    CHECK(positives.precision == std::vector<double>{1.0, 1.0});

    const auto none = curves_of({}, {});
    CHECK(none.thresholds == 0);
    CHECK(std::isnan(none.auc));
    // Infinite scores are scores like any other.
    CHECK(curves_of({-INFINITY, INFINITY, 1.0}, {0, 1, 0}).auc == 1.0);
}

TEST_CASE("score curves: random scores with ties against the pairwise AUC and the direct AP") {
    std::mt19937_64 rng(7);
    for (int round = 0; round < 40; ++round) {
        const std::size_t n = 1 + rng() % 300;
        const unsigned levels = 1 + static_cast<unsigned>(rng() % 50);
        std::vector<double> s(n);
        std::vector<std::uint8_t> y(n);
        for (std::size_t i = 0; i < n; ++i) {
            s[i] = static_cast<double>(rng() % levels) / levels;
            y[i] = static_cast<std::uint8_t>(rng() % 3 == 0);
        }
        const auto c = curves_of(s, y);
        if (c.positives == 0 || c.negatives == 0) {
            CHECK(std::isnan(c.auc));
            continue;
        }
        CHECK(c.auc == pairwise_auc(s, y));  // both are 2U / 2PN rounded once
        CHECK(c.average_precision == doctest::Approx(direct_ap(s, y)).epsilon(1e-13));
    }
}

TEST_CASE("score curves: thinning keeps the ends and at most the points asked, the figures unchanged") {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> normal;
    std::vector<double> s(20000);
    std::vector<std::uint8_t> y(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        y[i] = static_cast<std::uint8_t>(rng() % 2);
        s[i] = normal(rng) + (y[i] ? 1.0 : 0.0);
    }
    const auto all = curves_of(s, y, std::size_t{1} << 20);
    CHECK(all.fpr.size() == all.thresholds + 1);
    CHECK(all.recall.size() == all.thresholds);
    for (std::size_t points : {2u, 3u, 10u, 200u}) {
        const auto c = curves_of(s, y, points);
        CHECK(c.auc == all.auc);
        CHECK(c.average_precision == all.average_precision);
        CHECK(c.fpr.size() <= points);
        CHECK(c.recall.size() <= points);
        CHECK(c.fpr.front() == 0.0);
        CHECK(c.fpr.back() == 1.0);
        CHECK(c.tpr.back() == 1.0);
        CHECK(c.recall.front() == all.recall.front());
        CHECK(c.recall.back() == 1.0);
        if (points >= 10) CHECK(c.fpr.size() >= points / 2);
    }
    CHECK(!score_curves(rows_of(s, y), 1).ok());
}

TEST_CASE("scored rows leave out rows and refuse a NaN score of a row that is read") {
    const std::vector<double> s{0.5, NAN, 0.25};
    const std::vector<std::uint8_t> kept{1, kLeftOut, 0};
    const auto r = scored_rows(view_of(s), kept);
    REQUIRE(r.ok());
    CHECK(r.value().score == std::vector<double>{0.5, 0.25});
    CHECK(r.value().positive == std::vector<std::uint8_t>{1, 0});
    const std::vector<std::uint8_t> all{1, 0, 0};
    const auto refused = scored_rows(view_of(s), all);
    REQUIRE(!refused.ok());
    CHECK(refused.error().row == 1);
}

TEST_CASE("edges are those of np.linspace; empty, reversed and unbounded ranges are refused") {
    const auto e = linspace_edges(0.0, 1.0, 10);
    REQUIRE(e.ok());
    CHECK(e.value().size() == 11);
    CHECK(e.value()[3] == 3.0 * 0.1);  // 0.30000000000000004, as NumPy has it
    CHECK(e.value()[10] == 1.0);
    CHECK(linspace_edges(0.0, 5e-324, 4).value()[4] == 5e-324);
    CHECK(linspace_edges(1.0, 1.0, 3).error() == DiagnosticsError::BadRange);
    CHECK(linspace_edges(2.0, 1.0, 3).error() == DiagnosticsError::BadRange);
    CHECK(linspace_edges(-1e308, 1e308, 3).error() == DiagnosticsError::BadRange);
    CHECK(linspace_edges(0.0, INFINITY, 3).error() == DiagnosticsError::BadRange);
    CHECK(linspace_edges(0.0, 1.0, 0).error() == DiagnosticsError::BadBins);
}

TEST_CASE("calibration: a bin holds its upper edge, the first its lower one too; outliers apart") {
    const auto rows = rows_of({0.0, 0.1, 0.15, 1.0, -0.5, 1.5, 0.95}, {0, 1, 1, 1, 0, 1, 0});
    const auto r = calibration(rows, 10, 0.0, 1.0);
    REQUIRE(r.ok());
    const Calibration& c = r.value();
    CHECK(c.negatives[0] == 1);  // 0.0
    CHECK(c.positives[0] == 1);  // 0.1 is bin 0's upper edge
    CHECK(c.positives[1] == 1);  // 0.15
    CHECK(c.positives[9] == 1);  // 1.0
    CHECK(c.negatives[9] == 1);  // 0.95
    CHECK(c.below[0] == 1);
    CHECK(c.above[1] == 1);
    CHECK(c.mean_score[0] == 0.1 / 2);
    CHECK(c.positive_rate[0] == 0.5);
    CHECK(c.positive_rate[9] == 0.5);
    CHECK(std::isnan(c.mean_score[5]));
    CHECK(calibration(rows, 10, 1.0, 0.0).error() == DiagnosticsError::BadRange);
}

TEST_CASE("regression: pairs, grid, residuals and quantiles by rank with ties in row order") {
    const F32 actual{1.0f, 2.0f, 3.0f, 4.0f, NAN, 6.0f};
    const F32 predicted{1.0f, 1.0f, 1.0f, 5.0f, 2.0f, INFINITY};
    const auto pairs = regression_pairs(testing::col(actual), testing::col(predicted), [](std::size_t) { return true; });
    CHECK(pairs.nonfinite == 2);
    REQUIRE(pairs.actual.size() == 4);
    const Extent e = extent(pairs);
    CHECK(e.low == 1.0);
    CHECK(e.high == 5.0);
    CHECK(e.residual_low == -1.0);
    CHECK(e.residual_high == 2.0);

    const auto r = regression(pairs, 1.0, 5.0, 4, -2.0, 2.0, 4, 2);
    REQUIRE(r.ok());
    const Regression& g = r.value();
    // Rows are the actual value's bin, columns the prediction's; 5.0 is in the last bin.
    CHECK(g.density[0 * 4 + 0] == 1);
    CHECK(g.density[1 * 4 + 0] == 1);
    CHECK(g.density[2 * 4 + 0] == 1);
    CHECK(g.density[3 * 4 + 3] == 1);
    CHECK(g.outside == 0);
    CHECK(g.residuals == std::vector<std::uint64_t>{0, 1, 1, 2});  // -1, then 0, then 1 and 2 (last bin, closed)
    // Three tied predictions of 1.0 and one of 5.0 in halves: rows 0 and 1, then 2 and 3.
    const Quantiles& q = g.quantiles;
    CHECK(q.count == std::vector<std::uint64_t>{2, 2});
    CHECK(q.mean_actual == std::vector<double>{1.5, 3.5});
    CHECK(q.mean_absolute_error == std::vector<double>{0.5, 1.5});
    CHECK(q.mean_error == std::vector<double>{0.5, 0.5});
    CHECK(q.low == std::vector<double>{1.0, 1.0});
    CHECK(q.high == std::vector<double>{1.0, 5.0});

    // More quantiles than pairs: some hold none. Selection and sorting agree.
    const auto few = regression(pairs, 1.0, 5.0, 4, -2.0, 2.0, 4, 7);
    CHECK(few.value().quantiles.count == std::vector<std::uint64_t>{1, 1, 0, 1, 0, 1, 0});  // floor(7 r / 4)
    CHECK(std::isnan(few.value().quantiles.mean_error[2]));
    std::mt19937 rng(5);
    F32 a(5000), p(5000);
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = static_cast<float>(rng() % 100);
        p[i] = static_cast<float>(rng() % 37);
    }
    const auto many = regression_pairs(testing::col(a), testing::col(p), [](std::size_t i) { return i % 7 != 0; });
    const auto by_selection = regression(many, 0.0, 100.0, 10, -40.0, 100.0, 10, 32).value().quantiles;
    const auto by_sorting = regression(many, 0.0, 100.0, 10, -40.0, 100.0, 10, 33).value().quantiles;
    std::size_t total = 0;
    for (auto c : by_selection.count) total += c;
    CHECK(total == many.actual.size());
    for (std::size_t k = 1; k < 32; ++k) CHECK(by_selection.low[k] >= by_selection.high[k - 1]);
    CHECK(by_sorting.low[0] == by_selection.low[0]);
    CHECK(by_sorting.high[32] == by_selection.high[31]);
    CHECK(regression(pairs, 1.0, 5.0, 0, -2.0, 2.0, 4, 2).error() == DiagnosticsError::BadBins);
    CHECK(regression(pairs, 1.0, 5.0, 4, -2.0, 2.0, 4, 0).error() == DiagnosticsError::BadBins);
}
