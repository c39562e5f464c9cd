#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/model_perf.hpp"
#include <string>
#include <string_view>

using namespace lumetra;
using K = ModelPerformanceError::Kind;
using RM = LinearRegressionEvaluationMetric;
using CM = ClassificationEvaluationMetric;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

F32Column col64(const std::vector<double>& v) {
    return F32Column::float64(reinterpret_cast<const char*>(v.data()), sizeof(double), v.size());
}

// Same bit pattern, or both NaN.
bool same(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b && std::signbit(a) == std::signbit(b);
}

LinearRegressionRuntime regress(const std::vector<float>& t, const std::vector<float>& p) {
    auto r = linear_regression_runtime(F32Column::of(t), F32Column::of(p));
    REQUIRE(r.ok());
    return r.value();
}

}  // namespace

TEST_CASE("regression metrics of a small example") {
    const auto r = regress({1, 2, 3}, {1, 2, 4});
    CHECK(r[RM::MeanSquaredError] == static_cast<float>(1.0 / 3.0));
    CHECK(r[RM::RootMeanSquaredError] == static_cast<float>(std::sqrt(1.0 / 3.0)));
    CHECK(r[RM::MeanAbsoluteError] == static_cast<float>(1.0 / 3.0));
    CHECK(r[RM::MaxError] == 1.0f);
    CHECK(r[RM::MeanAbsolutePercentageError] == static_cast<float>((1.0 / 3.0) / 3.0));
    CHECK(r[RM::RSquared] == 0.5f);
    const double log_err = std::log(4.0) - std::log(5.0);
    CHECK(r[RM::MeanSquaredLogError] == static_cast<float>(log_err * log_err / 3.0));
    CHECK(r[RM::RootMeanSquaredLogError] == static_cast<float>(std::sqrt(log_err * log_err / 3.0)));
}

TEST_CASE("regression roots are taken in double before rounding") {
    // MSE = 11/3: the double root rounded differs from the root of the rounded MSE.
    const auto r = regress({0, 0, 0}, {1, 1, 3});
    const double mse = 11.0 / 3.0;
    CHECK(r[RM::RootMeanSquaredError] == static_cast<float>(std::sqrt(mse)));
    CHECK(r[RM::RootMeanSquaredError] != std::sqrt(static_cast<float>(mse)));
}

TEST_CASE("regression length errors come in order") {
    const std::vector<float> none, three{1, 2, 3};
    struct Row {
        const std::vector<float>* t;
        const std::vector<float>* p;
        K expected;
    };
    for (const Row& row : {Row{&none, &three, K::DataVectorLengthMismatch},
                           Row{&three, &none, K::DataVectorLengthMismatch},
                           Row{&none, &none, K::EmptyDataVector}}) {
        auto r = linear_regression_runtime(F32Column::of(*row.t), F32Column::of(*row.p));
        REQUIRE_FALSE(r.ok());
        CHECK(r.error().kind == row.expected);
    }
}

TEST_CASE("degenerate regression values show as NaN or infinity") {
    struct Row {
        std::vector<float> t, p;
        RM metric;
        float expected;
    };
    const Row rows[] = {
        {{0, 2}, {1, 2}, RM::MeanAbsolutePercentageError, kInf},  // zero truth, non-zero error
        {{0, 2}, {0, 2}, RM::MeanAbsolutePercentageError, kNaN},  // 0/0
        {{-2, 1}, {1, 1}, RM::MeanSquaredLogError, kNaN},         // ln of a negative
        {{1, 1}, {-2, 1}, RM::RootMeanSquaredLogError, kNaN},
        {{-1, 1}, {1, 1}, RM::MeanSquaredLogError, kInf},         // ln(0)
        {{1, 1}, {-1, 1}, RM::RootMeanSquaredLogError, kInf},
        {{-1, 1}, {-1, 1}, RM::MeanSquaredLogError, kNaN},        // -inf - -inf
        {{1, kNaN}, {1, 2}, RM::MeanSquaredError, kNaN},
        {{1, 5, 2}, {2, kNaN, 2}, RM::MaxError, 1.0f},            // NaN pair ignored by the maximum
        {{kNaN, 1}, {3, kNaN}, RM::MaxError, 0.0f},               // every pair NaN
        {{kNaN, 1, 7}, {3, 1, 1}, RM::MaxError, 6.0f},
    };
    for (const Row& row : rows) {
        CAPTURE(static_cast<int>(row.metric));
        CAPTURE(row.t[0]);
        CHECK(same(regress(row.t, row.p)[row.metric], row.expected));
    }
}

TEST_CASE("RSquared with constant truth or a perfect fit") {
    struct Row {
        std::vector<float> t, p;
        float expected;
    };
    const Row rows[] = {
        {{2}, {2}, 1.0f},             // single pair, exact
        {{2}, {3}, 0.0f},             // single pair, off
        {{2, 2, 2}, {1, 3, 2}, 0.0f}, // constant truth, errors cancel in the mean but not the residual
        {{0.1f, 0.7f, 0.3f}, {0.1f, 0.7f, 0.3f}, 1.0f},
        {{1, 2}, {2, 1}, -3.0f},      // total 0.5, residual 2
    };
    for (const Row& row : rows) {
        CAPTURE(row.t.size());
        CHECK(regress(row.t, row.p)[RM::RSquared] == row.expected);
    }
}

TEST_CASE("RSquared uses the expanded residual, not the squared error sum") {
    LinearRegressionErrorBuckets b;
    b.pair_count = 2.0;
    b.y_true_sum = 3.0;             // total = 5 - 9/2 = 0.5
    b.y_true_squared_sum = 5.0;
    b.y_pred_squared_sum = 4.0;
    b.true_pred_product_sum = 4.25; // residual = 4 + (5 - 8.5) = 0.5
    b.squared_error_sum = 100.0;    // must not enter
    CHECK(r_squared(b) == 0.0);
    b.y_true_sum = 2.0;             // total = 5 - 2 = 3
    CHECK(r_squared(b) == doctest::Approx(1.0 - 0.5 / 3.0));
    // total 0 and a residual that only the expansion makes non-zero
    LinearRegressionErrorBuckets c;
    c.pair_count = 1.0;
    c.y_true_sum = 1.0;
    c.y_true_squared_sum = 1.0;
    c.y_pred_squared_sum = 1.0;
    c.true_pred_product_sum = 1.0 + 0x1p-52;
    CHECK(r_squared(c) == 0.0);
}

TEST_CASE("per-pair updates reproduce from_dataset bit for bit") {
    // Long enough to span several blocks of the batch pass, with a ragged end
    // and the special values that take different paths.
    std::vector<float> t, p;
    std::uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / 16777216.0f;
    };
    const float specials[] = {0.0f, -1.0f, -2.0f, kNaN, kInf, -0.0f, 1e-30f};
    for (int i = 0; i < 777; ++i) {
        t.push_back(next() * 20.0f - 5.0f);
        p.push_back(next() * 20.0f - 5.0f);
        if (i % 97 == 3) t.back() = specials[(i / 97) % 7];
        if (i % 89 == 5) p.back() = specials[(i / 89) % 7];
    }
    for (std::size_t len : {std::size_t{1}, std::size_t{255}, std::size_t{256}, std::size_t{257}, t.size()}) {
        CAPTURE(len);
        const std::vector<float> tl(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(len));
        const std::vector<float> pl(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(len));
        auto batch = LinearRegressionErrorBuckets::from_dataset(F32Column::of(tl), F32Column::of(pl));
        REQUIRE(batch.ok());
        LinearRegressionErrorBuckets stream;
        for (std::size_t i = 0; i < len; ++i) stream.update(tl[i], pl[i]);
        CHECK(std::memcmp(&batch.value(), &stream, sizeof stream) == 0);
        CHECK(batch.value().pair_count == static_cast<double>(len));
    }
}

TEST_CASE("update sums each term of a pair") {
    LinearRegressionErrorBuckets b;
    b.update(3.5f, 3.0f);
    b.update(-0.25f, 0.5f);
    b.update(7.0f, kNaN);
    CHECK(b.max_absolute_error == 0.75);
    CHECK(b.absolute_error_sum != b.absolute_error_sum);  // NaN
    CHECK(b.y_true_sum == 10.25);
    CHECK(b.pair_count == 3.0);
    CHECK(b.y_true_squared_sum == 3.5 * 3.5 + 0.0625 + 49.0);
    LinearRegressionErrorBuckets c;
    c.update(2.0f, 0.5f);
    CHECK(c.squared_error_sum == 2.25);
    CHECK(c.absolute_percentage_error_sum == 0.75);
    CHECK(c.true_pred_product_sum == 1.0);
    CHECK(c.y_pred_squared_sum == 0.25);
    CHECK(c.squared_log_error_sum == (std::log(3.0) - std::log(1.5)) * (std::log(3.0) - std::log(1.5)));
}

TEST_CASE("float64 columns are rounded to single precision before arithmetic") {
    // Values equal in single precision give an exact fit.
    const std::vector<double> t{1.0, 0.1, 1e8};
    const std::vector<double> p{1.0 + 1e-12, 0.1 + 1e-12, 1e8 + 1.0};
    auto r = linear_regression_runtime(col64(t), col64(p));
    REQUIRE(r.ok());
    CHECK(r.value()[RM::MeanSquaredError] == 0.0f);
    CHECK(r.value()[RM::MaxError] == 0.0f);
    // 0.1 against 0 is the error of 0.1f, not of the double 0.1.
    auto s = linear_regression_runtime(col64({0.1}), col64({0.0}));
    REQUIRE(s.ok());
    const double d = static_cast<double>(0.1f);
    CHECK(s.value()[RM::MeanSquaredError] == static_cast<float>(d * d));
    CHECK(s.value()[RM::MeanSquaredError] != static_cast<float>(0.1 * 0.1));
}

TEST_CASE("strided and reversed columns read the same values") {
    // Interleaved storage: truth at even, predictions at odd positions.
    const std::vector<double> mem{1, 1, 2, 2, 3, 4, 5, 5.5};
    const auto t = F32Column::float64(reinterpret_cast<const char*>(mem.data()), 2 * sizeof(double), 4);
    const auto p = F32Column::float64(reinterpret_cast<const char*>(mem.data() + 1), 2 * sizeof(double), 4);
    const auto direct = regress({1, 2, 3, 5}, {1, 2, 4, 5.5f});
    auto strided = linear_regression_runtime(t, p);
    REQUIRE(strided.ok());
    CHECK(strided.value().values == direct.values);
    // Reversed float32 memory, read back to front.
    const std::vector<float> rev_t{5, 3, 2, 1}, rev_p{5.5f, 4, 2, 1};
    const auto rt = F32Column::float32(reinterpret_cast<const char*>(rev_t.data() + 3), -4, 4);
    const auto rp = F32Column::float32(reinterpret_cast<const char*>(rev_p.data() + 3), -4, 4);
    auto reversed = linear_regression_runtime(rt, rp);
    REQUIRE(reversed.ok());
    CHECK(reversed.value().values == direct.values);
}

TEST_CASE("classification metrics from the four cells") {
    struct Row {
        std::uint64_t tp, fp, tn, fn;
        CM metric;
        float expected;
    };
    const Row rows[] = {
        {1, 1, 1, 1, CM::F1Score, 0.5f},
        {3, 1, 4, 2, CM::PrecisionPositive, 0.75f},        // TP / (TP + FP)
        {3, 1, 4, 2, CM::PrecisionNegative, 4.0f / 6.0f},  // TN / (TN + FN)
        {3, 1, 4, 2, CM::RecallPositive, 0.6f},            // TP / (TP + FN)
        {3, 1, 4, 2, CM::RecallNegative, 0.8f},            // TN / (TN + FP)
        {3, 1, 4, 2, CM::Accuracy, 0.7f},
        {3, 1, 4, 2, CM::BalancedAccuracy, (0.8f + 0.6f) * 0.5f},
        {3, 1, 4, 2, CM::F1Score, 0.75f * (2.0f * 0.6f) / (0.75f + 0.6f)},
        {0, 0, 5, 3, CM::PrecisionPositive, kNaN},         // no positive predictions
        {0, 0, 5, 3, CM::F1Score, kNaN},
        {0, 0, 5, 3, CM::RecallPositive, 0.0f},
        {0, 0, 0, 0, CM::Accuracy, kNaN},
        // Beyond 2^24 a cell keeps counting; only its conversion rounds.
        {(1u << 24) + 2, (1u << 24) + 2, 0, 0, CM::PrecisionPositive, 0.5f},
    };
    for (const Row& row : rows) {
        CAPTURE(static_cast<int>(row.metric));
        CAPTURE(row.tp);
        CHECK(same(classification_metrics(row.tp, row.fp, row.tn, row.fn)[row.metric], row.expected));
    }
}

TEST_CASE("binary classification counts only an exact 1.0 as positive") {
    struct Row {
        std::vector<float> t, p;
        CM metric;
        float expected;
    };
    const Row rows[] = {
        {{1, 0, 1, 0}, {1, 1, 0, 0}, CM::Accuracy, 0.5f},
        {{1, 0, 1, 0}, {1, 1, 0, 0}, CM::BalancedAccuracy, 0.5f},
        {{1, 1}, {0.9999f, 2.0f}, CM::RecallPositive, 0.0f},   // both predictions negative
        {{1, 1}, {1.0f, kNaN}, CM::RecallPositive, 0.5f},
        {{-1, 0.5f}, {0, 0}, CM::Accuracy, 1.0f},               // -1 and 0.5 are negative truth
        {{1, 0}, {0, 0}, CM::PrecisionPositive, kNaN},
        {{1, 0}, {0, 0}, CM::F1Score, kNaN},
    };
    for (const Row& row : rows) {
        CAPTURE(static_cast<int>(row.metric));
        auto r = binary_classification_runtime(F32Column::of(row.t), F32Column::of(row.p));
        REQUIRE(r.ok());
        CHECK(same(r.value()[row.metric], row.expected));
    }
}

TEST_CASE("binary classification: empty input is seven NaN, unequal lengths fail") {
    const std::vector<float> none, one{1};
    auto empty = binary_classification_runtime(F32Column::of(none), F32Column::of(none));
    REQUIRE(empty.ok());
    for (float v : empty.value().values) CHECK(std::isnan(v));
    auto bad = binary_classification_runtime(F32Column::of(none), F32Column::of(one));
    REQUIRE_FALSE(bad.ok());
    CHECK(bad.error().kind == K::DataVectorLengthMismatch);
    // A float64 value that rounds to 1.0f is positive.
    auto rounded = binary_classification_runtime(col64({1.0 + 1e-12}), col64({1.0}));
    REQUIRE(rounded.ok());
    CHECK(rounded.value()[CM::Accuracy] == 1.0f);
    CHECK(rounded.value()[CM::RecallPositive] == 1.0f);
}

TEST_CASE("confusion matrix push_dataset") {
    ConfusionMatrix m;
    const std::vector<std::int32_t> t{1, 1, 0, 2}, p{1, 0, 1, 3};
    REQUIRE(m.push_dataset(view_of(t), view_of(p), 1).ok());
    CHECK(m.true_positive == 1);
    CHECK(m.false_negative == 1);
    CHECK(m.false_positive == 1);
    CHECK(m.true_negative == 1);
    const std::vector<std::int32_t> short_p{1};
    auto bad = m.push_dataset(view_of(t), view_of(short_p), 1);
    REQUIRE_FALSE(bad.ok());
    CHECK(bad.error().kind == K::DataVectorLengthMismatch);
    CHECK(m.total() == 4);
    const std::vector<std::int32_t> none;
    REQUIRE(m.push_dataset(view_of(none), view_of(none), 1).ok());
    CHECK(m.total() == 4);
    // The label decides positivity: with label 2 only (2, 3) has a positive truth.
    ConfusionMatrix by_two;
    REQUIRE(by_two.push_dataset(view_of(t), view_of(p), 2).ok());
    CHECK(by_two.false_negative == 1);
    CHECK(by_two.true_negative == 3);
    by_two.push(2, 2, 2);
    CHECK(by_two.true_positive == 1);
    CHECK(by_two.metrics()[CM::Accuracy] == 0.8f);
}

TEST_CASE("log-loss terms of a block have the bits of the terms pair by pair") {
    // A block of hard labels (0, -0 and 1 only) takes one logarithm a pair;
    // one other true value anywhere in it (a fraction, NaN) takes the block
    // back to the general road. Either way every term keeps its bits.
    const float scores[] = {0.0f,  -0.0f, 1.0f, 0.5f,  0.25f,       1e-38f, 1e-45f,
                            0.99999994f, 2.0f, -1.0f, kNaN, kInf, -kInf};
    const float hard[] = {0.0f, -0.0f, 1.0f};
    for (const std::size_t m : {std::size_t{1}, std::size_t{37}, kLogLossBlock}) {
        for (const float odd : {0.0f, 0.5f, kNaN, 2.0f}) {  // 0: the block stays hard
            for (const std::size_t at : {std::size_t{0}, m - 1}) {
                CAPTURE(m);
                CAPTURE(odd);
                CAPTURE(at);
                std::vector<float> t(m), c(m), terms(m);
                for (std::size_t j = 0; j < m; ++j) {
                    t[j] = hard[(j * 7) % 3];
                    c[j] = scores[(j * 5 + m) % std::size(scores)];
                }
                t[at] = odd;
                log_loss_terms(t.data(), c.data(), m, terms.data());
                for (std::size_t j = 0; j < m; ++j) {
                    const float want = log_loss_term(t[j], c[j]);
                    CHECK(((std::isnan(terms[j]) && std::isnan(want)) ||
                           std::memcmp(&terms[j], &want, sizeof want) == 0));
                }
            }
        }
    }
}

TEST_CASE("log-loss terms and the clamp") {
    CHECK(log_loss_term(1.0f, 1.0f) == 0.0f);  // 0 * ln(0) counts as 0
    CHECK(log_loss_term(0.0f, 0.0f) == 0.0f);
    CHECK(log_loss_term(0.0f, 1.0f) == -kInf);
    CHECK(log_loss_term(1.0f, 0.0f) == -kInf);
    CHECK(std::isnan(log_loss_term(0.5f, kNaN)));
    CHECK(log_loss_term(0.25f, 0.5f) == 0.75f * std::log(0.5f) + 0.25f * std::log(0.5f));
    // Every term has the bits of the rule as written, zeros' signs included
    // (a NaN is a NaN: which operand's sign it carries is the compiler's
    // choice here).
    auto as_written = [](float t, float c) {
        const float neg_factor = 1.0f - t;
        const float neg = neg_factor == 0.0f ? 0.0f : neg_factor * std::log(1.0f - c);
        const float pos = t == 0.0f ? 0.0f : t * std::log(c);
        return neg + pos;
    };
    const float edges[] = {0.0f, -0.0f, 1.0f, 0.5f, 0.25f, 1e-38f, 1e-45f, 0.99999994f, 2.0f, -1.0f, kNaN, kInf, -kInf};
    for (const float t : edges) {
        for (const float c : edges) {
            CAPTURE(t);
            CAPTURE(c);
            const float got = log_loss_term(t, c), want = as_written(t, c);
            CHECK(((std::isnan(got) && std::isnan(want)) || std::memcmp(&got, &want, sizeof got) == 0));
        }
    }

    struct Row {
        double eps;
        bool valid;
        float lo, hi;
    };
    const Row rows[] = {
        {1e-12, true, 1e-12f, 1.0f},  // hi rounds to exactly 1
        {0.25, true, 0.25f, 0.75f},
        {0.5, true, 0.5f, 0.5f},      // bounds meet
        {-0.5, true, -0.5f, 1.5f},    // used as given
        {0.5000001, false, 0, 0},
        {0.75, false, 0, 0},
        {std::numeric_limits<double>::quiet_NaN(), false, 0, 0},
        {std::numeric_limits<double>::infinity(), false, 0, 0},
    };
    for (const Row& row : rows) {
        CAPTURE(row.eps);
        const auto c = ScoreClamp::from_epsilon(row.eps);
        REQUIRE(c.has_value() == row.valid);
        if (!c) continue;
        CHECK(c->lo == row.lo);
        CHECK(c->hi == row.hi);
    }
    const ScoreClamp c{0.25f, 0.75f};
    CHECK(c.apply(0.0f) == 0.25f);
    CHECK(c.apply(1.0f) == 0.75f);
    CHECK(c.apply(0.5f) == 0.5f);
    CHECK(std::isnan(c.apply(kNaN)));
}

namespace {

Result<LogisticRegressionRuntime, ModelPerformanceError> logistic(const std::vector<float>& t,
                                                                  const std::vector<float>& p, float thr,
                                                                  double eps = 1e-12) {
    return logistic_regression_runtime(F32Column::of(t), F32Column::of(p), thr, eps);
}

}  // namespace

TEST_CASE("logistic regression metrics and log loss") {
    auto r = logistic({1, 0}, {0.8f, 0.3f}, 0.5f);
    REQUIRE(r.ok());
    const float expected =
        static_cast<float>(-(static_cast<double>(std::log(0.8f)) + static_cast<double>(std::log(1.0f - 0.3f))) / 2.0);
    CHECK(r.value()[CM::LogLoss] == expected);
    CHECK(r.value()[CM::LogLoss] == doctest::Approx(0.2899).epsilon(1e-4));
    for (int i = 0; i < 7; ++i) CHECK(r.value().values[i] == 1.0f);

    // Threshold above every value: all negative on both sides.
    auto high = logistic({1, 0, 0.5f}, {0.8f, 0.3f, 0.6f}, 2.0f);
    REQUIRE(high.ok());
    CHECK(high.value()[CM::Accuracy] == 1.0f);
    CHECK(high.value()[CM::RecallNegative] == 1.0f);
    CHECK(high.value()[CM::PrecisionNegative] == 1.0f);
    CHECK(std::isnan(high.value()[CM::PrecisionPositive]));
    CHECK(std::isnan(high.value()[CM::RecallPositive]));
    CHECK(std::isnan(high.value()[CM::F1Score]));
    CHECK(std::isnan(high.value()[CM::BalancedAccuracy]));
    CHECK(std::isfinite(high.value()[CM::LogLoss]));

    // The threshold is inclusive, for true values as well.
    auto edge = logistic({0.5f, 0.4f}, {0.5f, 0.5f}, 0.5f);
    REQUIRE(edge.ok());
    CHECK(edge.value()[CM::PrecisionPositive] == 0.5f);
    CHECK(edge.value()[CM::RecallPositive] == 1.0f);
}

TEST_CASE("logistic log loss at the ends of the score range") {
    struct Row {
        std::vector<float> t, p;
        double eps;
        bool ok;
        float loss;
    };
    const float at_eps = -std::log(1e-12f);
    const Row rows[] = {
        {{1}, {1.0f}, 1e-12, true, -0.0f},           // 0 * ln(0) is 0, not NaN
        {{0}, {1.0f}, 1e-12, true, kInf},            // confident and wrong
        {{1}, {0.0f}, 1e-12, true, at_eps},          // clamped up to the epsilon
        {{0}, {0.0f}, 1e-12, true, -0.0f},
        {{1}, {kNaN}, 1e-12, false, 0},              // NaN score: not computable
        {{}, {}, 1e-12, false, 0},                   // empty: 0/0
        {{1}, {0.9f}, 0.75, false, 0},               // crossed clamp bounds
        {{1}, {0.9f}, std::nan(""), false, 0},
        {{1, 0}, {0.9f, 0.1f}, 0.5, true, -std::log(0.5f)},  // bounds meet: every score is 0.5
    };
    for (const Row& row : rows) {
        CAPTURE(row.t.size());
        CAPTURE(row.eps);
        auto r = logistic(row.t, row.p, 0.5f, row.eps);
        REQUIRE(r.ok() == row.ok);
        if (row.ok) {
            CHECK(same(r.value()[CM::LogLoss], row.loss));
        } else {
            CHECK(r.error().kind == K::InvalidData);
        }
    }
    // Unequal lengths win over an unusable epsilon.
    auto mismatch = logistic({1}, {}, 0.5f, 0.75);
    REQUIRE_FALSE(mismatch.ok());
    CHECK(mismatch.error().kind == K::DataVectorLengthMismatch);
}

TEST_CASE("logistic log loss adds single-precision terms in double in index order") {
    // A single-precision sum differs in the last bits here.
    std::vector<float> t, p;
    for (int i = 0; i < 1000; ++i) {
        t.push_back(static_cast<float>(i % 2));
        p.push_back(0.001f * static_cast<float>(i) + 0.0005f);
    }
    auto r = logistic(t, p, 0.5f);
    REQUIRE(r.ok());
    double sum = 0.0;
    float single = 0.0f;
    std::vector<float> terms;
    for (std::size_t i = 0; i < t.size(); ++i) {
        terms.push_back((1.0f - t[i]) == 0.0f ? t[i] * std::log(p[i]) : (1.0f - t[i]) * std::log(1.0f - p[i]));
        sum += static_cast<double>(terms.back());
        single += terms.back();
    }
    const float want = static_cast<float>(-sum / 1000.0);
    CHECK(r.value()[CM::LogLoss] == want);
    CHECK(log_loss_of(sum, 1000) == want);
    REQUIRE(-single / 1000.0f != want);  // the data tells the two widths apart
}

// ------------------------------------------------------------------- checks

namespace {

NamedValues named(const std::vector<std::string_view>& names, float value) {
    NamedValues out;
    for (auto n : names) out.emplace_back(std::string(n), value);
    return out;
}

template <class E>
NamedValues all_named(float value) {
    NamedValues out;
    for (auto n : MetricTraits<E>::names) out.emplace_back(std::string(n), value);
    return out;
}

void set(NamedValues& values, std::string_view name, float v) {
    for (auto& [k, x] : values) {
        if (k == name) x = v;
    }
}

template <class E>
std::vector<FailedMetric<E>> failures(const DriftReport<E>& r) {
    return r.failed_report ? *r.failed_report : std::vector<FailedMetric<E>>{};
}

}  // namespace

TEST_CASE("each family's check applies its own rule at the strict bound") {
    struct Row {
        const char* family;  // "reg", "log", "bin"
        const char* metric;
        float baseline, latest;
        bool fails;
        float drift;
    };
    const Row rows[] = {
        {"reg", "MeanSquaredError", 1.0f, 1.1f, false, 0},  // 1.1f equals 1.1f * 1.0f
        {"reg", "MeanSquaredError", 1.0f, 1.2f, true, 1.2f - 1.0f},
        {"reg", "MaxError", 2.0f, 1.0f, false, 0},           // improving error passes
        {"reg", "RSquared", 0.9f, 0.8f, true, 0.9f - 0.8f},
        {"reg", "RSquared", 0.9f, 0.81f, false, 0},
        {"reg", "RSquared", -1.0f, -1.0f, true, 0.0f},       // negative R² fails against itself
        {"log", "Accuracy", 1.0f, 0.905f, false, 0},         // not below 0.9
        {"log", "Accuracy", 1.0f, 0.9f, false, 0},
        {"log", "Accuracy", 1.0f, 0.89f, true, 1.0f - 0.89f},
        {"log", "LogLoss", 0.2f, 0.3f, true, 0.3f - 0.2f},
        {"log", "LogLoss", 0.2f, 0.22f, false, 0},
        {"log", "LogLoss", 0.2f, 0.1f, false, 0},            // a falling log loss passes
        {"bin", "Accuracy", 1.0f, 0.905f, true, 1.0f - 0.905f},  // 1.1 * 0.905 < 1
        {"bin", "Accuracy", 1.0f, 0.91f, false, 0},
        {"bin", "F1Score", 0.5f, std::numeric_limits<float>::quiet_NaN(), false, 0},  // NaN never fails
    };
    for (const Row& row : rows) {
        CAPTURE(row.family);
        CAPTURE(row.metric);
        CAPTURE(row.latest);
        const std::string family = row.family;
        if (family == "reg") {
            auto b = all_named<LinearRegressionEvaluationMetric>(1.0f), l = b;
            set(b, row.metric, row.baseline);
            set(l, row.metric, row.latest);
            auto r = regression_performance_runtime(b, l, all_metrics<LinearRegressionEvaluationMetric>(), 0.1f);
            REQUIRE(r.ok());
            const auto f = failures(r.value());
            CHECK(r.value().passed == !row.fails);
            if (row.fails) {
                REQUIRE(f.size() == 1);
                CHECK(metric_name(f[0].metric) == row.metric);
                CHECK(f[0].drift == row.drift);
            }
        } else {
            auto b = all_named<ClassificationEvaluationMetric>(1.0f), l = b;
            set(b, row.metric, row.baseline);
            set(l, row.metric, row.latest);
            auto r = family == "log"
                         ? logistic_performance_runtime(b, l, all_metrics<ClassificationEvaluationMetric>(), 0.1f)
                         : classification_performance_runtime(b, l, binary_classification_metrics(), 0.1f);
            REQUIRE(r.ok());
            const auto f = failures(r.value());
            CHECK(r.value().passed == !row.fails);
            if (row.fails) {
                REQUIRE(f.size() == 1);
                CHECK(metric_name(f[0].metric) == row.metric);
                CHECK(f[0].drift == row.drift);
            }
        }
    }
}

TEST_CASE("checks need every name of their record and ignore the rest") {
    using CM = ClassificationEvaluationMetric;
    const auto seven = named({"BalancedAccuracy", "PrecisionPositive", "PrecisionNegative", "RecallPositive",
                              "RecallNegative", "Accuracy", "F1Score"},
                             0.5f);
    const auto eight = all_named<CM>(0.5f);
    // Seven names lack LogLoss for the logistic check, in either position.
    for (int side = 0; side < 2; ++side) {
        auto r = side == 0 ? logistic_performance_runtime(seven, eight, {}, 0.1f)
                           : logistic_performance_runtime(eight, seven, {}, 0.1f);
        REQUIRE_FALSE(r.ok());
        CHECK(r.error().kind == K::InvalidAnalysisReport);
    }
    // Eight names are fine for the binary check, extra keys too.
    auto extra = eight;
    extra.emplace_back("Unrelated", 3.0f);
    auto ok = classification_performance_runtime(extra, eight, binary_classification_metrics(), 0.1f);
    REQUIRE(ok.ok());
    CHECK(ok.value().passed);
    // A regression dict without MaxError; metric lists do not matter.
    auto reg = all_named<LinearRegressionEvaluationMetric>(1.0f);
    reg.erase(reg.begin() + 4);
    auto missing = regression_performance_runtime(all_named<LinearRegressionEvaluationMetric>(1.0f), reg, {}, 0.1f);
    REQUIRE_FALSE(missing.ok());
    CHECK(missing.error().kind == K::InvalidAnalysisReport);
}

TEST_CASE("checks compare only the listed metrics, in list order") {
    using RM = LinearRegressionEvaluationMetric;
    auto b = all_named<RM>(1.0f), l = all_named<RM>(2.0f);
    auto none = regression_performance_runtime(b, l, {}, 0.1f);
    REQUIRE(none.ok());
    CHECK(none.value().passed);
    CHECK_FALSE(none.value().failed_report.has_value());
    auto two = regression_performance_runtime(b, l, {RM::MaxError, RM::MeanSquaredError, RM::MaxError}, 0.1f);
    REQUIRE(two.ok());
    const auto f = failures(two.value());
    REQUIRE(f.size() == 2);
    CHECK(f[0].metric == RM::MeanSquaredError);  // reports list failures in enum order
    CHECK(f[1].metric == RM::MaxError);
    CHECK(binary_classification_metrics().size() == 7);
    CHECK(binary_classification_metrics().back() == ClassificationEvaluationMetric::F1Score);
}

TEST_CASE("the batch log loss equals the sum of per-pair terms, bit for bit") {
    // Truth values of every kind the term rule distinguishes, across several
    // blocks: exact 0 and 1 (one logarithm), -0, fractions and values above 1.
    const float truths[] = {0.0f, 1.0f, -0.0f, 0.5f, 2.0f, 0.25f, 1.0f, 0.0f};
    std::vector<float> t, p;
    std::uint32_t state = 99;
    for (int i = 0; i < 1000; ++i) {
        state = state * 1664525u + 1013904223u;
        t.push_back(truths[(state >> 29) & 7u]);
        state = state * 1664525u + 1013904223u;
        float score = static_cast<float>(state >> 8) / 16777216.0f;  // [0, 1)
        if (i % 50 == 7) score = 0.0f;                                // clamped up
        p.push_back(score);
    }
    for (double eps : {1e-12, 0.25, -1e-3}) {
        CAPTURE(eps);
        const auto clamp = ScoreClamp::from_epsilon(eps);
        REQUIRE(clamp);
        double sum = 0.0;
        for (std::size_t i = 0; i < t.size(); ++i) sum += static_cast<double>(log_loss_term(t[i], clamp->apply(p[i])));
        const float expected = static_cast<float>(-sum / static_cast<double>(t.size()));
        auto r = logistic(t, p, 0.5f, eps);
        if (std::isnan(expected)) {
            REQUIRE_FALSE(r.ok());
            CHECK(r.error().kind == K::InvalidData);
        } else {
            REQUIRE(r.ok());
            CHECK(same(r.value()[CM::LogLoss], expected));
        }
    }
}
