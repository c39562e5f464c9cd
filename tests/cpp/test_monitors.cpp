#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "core/monitors.hpp"
#include "support.hpp"

using namespace lumetra;
using namespace lumetra::testing;
using K = ModelPerformanceError::Kind;
using DM = DataBiasMetric;
using MM = ModelBiasMetric;
using RM = LinearRegressionEvaluationMetric;
using CM = ClassificationEvaluationMetric;

namespace {

/// A column repeating one value n times (stride 0), for long streams without memory.
template <class T>
Strided<T> repeat(const T& value, std::size_t n) {
    return Strided<T>{reinterpret_cast<const char*>(&value), 0, n};
}

bool same(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return a == b;
}

template <class R>
bool same_record(const R& a, const R& b) {
    for (std::size_t i = 0; i < a.values.size(); ++i) {
        if (!same(a.values[i], b.values[i])) return false;
    }
    return true;
}

bool is(const ModelPerformanceError& e, K kind) { return e.kind == kind; }
bool is_bias(const ModelPerformanceError& e, BiasError b) { return e.kind == K::BiasError && e.bias == b; }

// Facets a and d of the model-bias reference population: per facet the four
// (truth, prediction) pairs (1,1), (0,1), (0,0), (1,0).
const I8 kFeature{1, 1, 1, 1, 0, 0, 0, 0};
const I8 kPred{1, 1, 0, 0, 1, 1, 0, 0};
const I8 kTruth{1, 0, 0, 1, 1, 0, 0, 1};

StreamingDataBias data_bias() {
    auto m = StreamingDataBias::create(col(I8{1, 0, 1, 0}), col(I8{1, 0, 0, 0}));
    REQUIRE(m.ok());
    return m.value();
}

StreamingModelBias model_bias() {
    auto m = StreamingModelBias::create(col(kFeature), col(kPred), col(kTruth));
    REQUIRE(m.ok());
    return m.value();
}

LinearRegressionStreaming regression() {
    auto m = LinearRegressionStreaming::create(col(F32{1, 2, 3}), col(F32{1, 2, 4}));
    REQUIRE(m.ok());
    return m.value();
}

LogisticRegressionStreaming logistic(float threshold = 0.5f) {
    auto m = LogisticRegressionStreaming::create(col(F32{1, 0, 1, 0}), col(F32{0.8f, 0.3f, 0.4f, 0.6f}), threshold);
    REQUIRE(m.ok());
    return m.value();
}

BinaryClassificationStreaming binary() {
    auto m = BinaryClassificationStreaming::create(col(I32{1, 0, 1, 0}), col(I32{1, 1, 0, 0}));
    REQUIRE(m.ok());
    return m.value();
}

}  // namespace

// ---------------------------------------------------------------- data bias

TEST_CASE("data bias: construction failures, in their order") {
    CHECK(is_bias(StreamingDataBias::create(col(I8{}), col(I8{})).error(), BiasError::DataLengthError));
    CHECK(is_bias(StreamingDataBias::create(col(I8{1, 0}), col(I8{1})).error(), BiasError::DataLengthError));
    // Unequal lengths win over an empty facet.
    CHECK(is_bias(StreamingDataBias::create(col(I8{1, 1}), col(I8{1})).error(), BiasError::DataLengthError));
    CHECK(is_bias(StreamingDataBias::create(col(I8{1, 1}), col(I8{1, 0})).error(), BiasError::NoFacetDeviation));
    // Only exactly 1 is facet a: 2 and -1 are facet d, so no facet is empty here.
    CHECK(StreamingDataBias::create(col(I8{1, 2}), col(I8{1, 0})).ok());
    CHECK(is_bias(StreamingDataBias::create(col(I8{2, -1}), col(I8{1, 0})).error(), BiasError::NoFacetDeviation));
}

TEST_CASE("data bias: empty after construction and flush, facet errors on running data") {
    auto m = data_bias();
    CHECK(m.baseline()[DM::DifferenceInProportionOfLabels] == 0.5f);
    CHECK(is(m.current().error(), K::EmptyDataVector));
    m.push(1, 1);
    // Facet d is empty in the running counts.
    CHECK(is_bias(m.current().error(), BiasError::DataLengthError));
    m.push(0, 2);  // outcome 2 is negative
    REQUIRE(m.current().ok());
    CHECK(m.running().len_a == 1);
    CHECK(m.running().len_d == 1);
    CHECK(m.running().label_positive_a == 1);
    CHECK(m.running().label_positive_d == 0);
    m.flush();
    CHECK(is(m.drift_snapshot().error(), K::EmptyDataVector));
}

TEST_CASE("data bias: reset empties the stream; a failed reset changes nothing") {
    auto m = data_bias();
    m.push(1, 1);
    m.push(0, 0);
    const DataBiasRuntime before = m.baseline();
    CHECK(is_bias(m.reset_baseline(col(I8{1, 1}), col(I8{1, 0})).error(), BiasError::NoFacetDeviation));
    CHECK(same_record(m.baseline(), before));
    CHECK(m.running().len_a + m.running().len_d == 2);
    REQUIRE(m.reset_baseline(col(I8{1, 0}), col(I8{0, 0})).ok());
    CHECK(m.baseline()[DM::DifferenceInProportionOfLabels] == 0.0f);
    CHECK(m.running().len_a + m.running().len_d == 0);
}

TEST_CASE("data bias: a batch adds exactly what its pairs pushed one by one add") {
    const I8 f{1, 0, 1, 0, 2, -1, 1, 1, 0};
    const I8 g{1, 0, 0, 0, 1, 1, 2, 1, 1};
    auto batch = data_bias();
    auto single = data_bias();
    REQUIRE(batch.push_batch(col(f), col(g)).ok());
    for (std::size_t i = 0; i < f.size(); ++i) single.push(f[i], g[i]);
    CHECK(batch.running().len_a == single.running().len_a);
    CHECK(batch.running().len_d == single.running().len_d);
    CHECK(batch.running().label_positive_a == single.running().label_positive_a);
    CHECK(batch.running().label_positive_d == single.running().label_positive_d);
    // A failed batch adds nothing.
    CHECK(is_bias(batch.push_batch(col(f), col(I8{1})).error(), BiasError::DataLengthError));
    CHECK(is_bias(batch.push_batch(col(I8{}), col(I8{})).error(), BiasError::DataLengthError));
    CHECK(batch.running().len_a == single.running().len_a);
}

TEST_CASE("data bias: drift is relative with the epsilon floor, inclusive at the threshold") {
    auto m = data_bias();
    // Baseline qa = 0.5, qd = 0; stream qa = 1, qd = 0: DPL moves from 0.5 to 1.
    REQUIRE(m.push_batch(col(I8{1, 0}), col(I8{1, 0})).ok());
    auto drift = m.drift_snapshot();
    REQUIRE(drift.ok());
    CHECK(drift.value().get(DM::DifferenceInProportionOfLabels) == 1.0f);  // |1 - 0.5| / 0.5
    CHECK(drift.value().get(DM::ClassImbalance) == 0.0f);
    // Equal to the drift: listed; just above it: not.
    auto at = m.drift_report(1.0f);
    REQUIRE(at.ok());
    REQUIRE_FALSE(at.value().passed);
    bool listed = false;
    for (const auto& e : *at.value().failed_report) listed |= e.metric == DM::DifferenceInProportionOfLabels;
    CHECK(listed);
    const DataBiasMetricVec only{DM::DifferenceInProportionOfLabels};
    auto above = m.drift_report(std::nextafter(1.0f, 2.0f), &only);
    REQUIRE(above.ok());
    CHECK(above.value().passed);
    auto partial = m.drift_report(0.0f, &only);
    REQUIRE(partial.ok());
    REQUIRE(partial.value().failed_report);
    REQUIRE(partial.value().failed_report->size() == 1);
    CHECK(partial.value().failed_report->front().metric == DM::DifferenceInProportionOfLabels);
}

// ---------------------------------------------------------------- model bias

TEST_CASE("model bias: construction failures") {
    CHECK(is_bias(StreamingModelBias::create(col(I8{}), col(I8{}), col(I8{})).error(), BiasError::DataLengthError));
    CHECK(is_bias(StreamingModelBias::create(col(I8{1, 0}), col(I8{1, 0}), col(I8{1})).error(),
                  BiasError::DataLengthError));
    // Every feature 1: facet d empty.
    CHECK(is(StreamingModelBias::create(col(I8{1, 1}), col(I8{1, 0}), col(I8{1, 0})).error(), K::EmptyDataVector));
    // Facet a without false positives: a guard of the formulas.
    CHECK(is(StreamingModelBias::create(col(I8{1, 1, 0, 0}), col(I8{1, 0, 1, 0}), col(I8{1, 0, 0, 1})).error(),
             K::InvalidData));
}

TEST_CASE("model bias: the baseline pushed again drifts by zero; flush empties; reset keeps the stream") {
    auto m = model_bias();
    CHECK(m.baseline()[MM::DisparateImpact] == 1.0f);
    CHECK(is(m.current().error(), K::EmptyDataVector));
    REQUIRE(m.push_batch(col(kFeature), col(kPred), col(kTruth)).ok());
    auto drift = m.drift_snapshot();
    REQUIRE(drift.ok());
    // Relative drift: 0 where the baseline is non-zero, NaN (0/0) where it is 0.
    CHECK(drift.value().get(MM::DisparateImpact) == 0.0f);
    CHECK(std::isnan(*drift.value().get(MM::AccuracyDifference)));
    auto report = m.drift_report(0.1f);
    REQUIRE(report.ok());
    CHECK(report.value().passed);
    // Inclusive: a zero drift fails a zero threshold; NaN never does.
    auto zero = m.drift_report(0.0f);
    REQUIRE(zero.ok());
    REQUIRE(zero.value().failed_report);
    for (const auto& e : *zero.value().failed_report) CHECK(e.drift == 0.0f);

    // A failed reset (facet d empty) keeps the baseline; a good one keeps the stream.
    const ModelBiasRuntime before = m.baseline();
    CHECK(is(m.reset_baseline(col(I8{1, 1}), col(I8{1, 0}), col(I8{1, 0})).error(), K::EmptyDataVector));
    CHECK(same_record(m.baseline(), before));
    const PostTraining counts = m.running();
    REQUIRE(m.reset_baseline(col(kFeature), col(kPred), col(kTruth)).ok());
    CHECK(m.running() == counts);
    m.flush();
    CHECK(m.running() == PostTraining{});
    CHECK(m.benefits() == BucketGeneralizedEntropy{});
    CHECK(is(m.drift_report(0.1f).error(), K::EmptyDataVector));
}

TEST_CASE("model bias: batch and single pushes agree; a failed batch adds nothing") {
    const I8 f{1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 2, -1};
    const I8 p{1, 1, 1, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 1, 3};
    const I8 g{1, 1, 1, 0, 0, 0, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1};
    auto batch = model_bias();
    auto single = model_bias();
    REQUIRE(batch.push_batch(col(f), col(p), col(g)).ok());
    for (std::size_t i = 0; i < f.size(); ++i) single.push(f[i], p[i], g[i]);
    CHECK(batch.running() == single.running());
    CHECK(batch.benefits() == single.benefits());
    CHECK(is_bias(batch.push_batch(col(f), col(p), col(I8{1})).error(), BiasError::DataLengthError));
    CHECK(is_bias(batch.push_batch(col(I8{}), col(I8{}), col(I8{})).error(), BiasError::DataLengthError));
    CHECK(batch.running() == single.running());
    CHECK(batch.benefits() == single.benefits());
}

TEST_CASE("model bias: counts stay exact beyond 2^24 per cell") {
    auto m = model_bias();
    const std::size_t n = (std::size_t{1} << 24) + 3;
    const std::int8_t one = 1;
    REQUIRE(m.push_batch(repeat(one, n), repeat(one, n), repeat(one, n)).ok());
    m.push(1, 1, 1);
    CHECK(m.running().true_positive_a == n + 1);
    CHECK(m.running().len_a == n + 1);
    CHECK(m.benefits().benefit_1_count == n + 1);
}

// ----------------------------------------------------------------- regression

TEST_CASE("regression: stream roots are single-precision roots of the rounded means") {
    auto m = regression();
    REQUIRE(m.push_batch(col(F32{0, 0, 0}), col(F32{1, 1, 3})).ok());
    auto now = m.current();
    REQUIRE(now.ok());
    const float mse = static_cast<float>(11.0 / 3.0);
    CHECK(now.value()[RM::MeanSquaredError] == mse);
    CHECK(now.value()[RM::RootMeanSquaredError] == std::sqrt(mse));
    // The batch form roots the double mean first; the two differ in the last bit here.
    CHECK(now.value()[RM::RootMeanSquaredError] != static_cast<float>(std::sqrt(11.0 / 3.0)));
}

TEST_CASE("regression: one pair after construction; drift is the absolute difference") {
    auto m = regression();
    CHECK(is(m.current().error(), K::EmptyDataVector));
    m.push(1.0f, 1.0f);
    auto now = m.current();
    REQUIRE(now.ok());
    CHECK(now.value()[RM::MeanSquaredError] == 0.0f);
    CHECK(now.value()[RM::RSquared] == 1.0f);
    CHECK(now.value()[RM::MaxError] == 0.0f);
    auto drift = m.drift_snapshot();
    REQUIRE(drift.ok());
    CHECK(drift.value().get(RM::MeanSquaredError) == static_cast<float>(1.0 / 3.0));
    // RSquared falls from 0.5 to 1.0 the other way: the drift is still positive.
    CHECK(drift.value().get(RM::RSquared) == 0.5f);
}

TEST_CASE("regression: batches continue the running sums exactly; failures change nothing") {
    const F32 t{0.5f, 2.25f, -0.75f, 3.0f, 1e-3f};
    const F32 p{0.25f, 2.0f, -0.5f, 3.5f, 2e-3f};
    auto batch = regression();
    auto single = regression();
    batch.push(1.5f, 1.25f);
    single.push(1.5f, 1.25f);
    REQUIRE(batch.push_batch(col(t), col(p)).ok());
    for (std::size_t i = 0; i < t.size(); ++i) single.push(t[i], p[i]);
    const auto& a = batch.stream();
    const auto& b = single.stream();
    CHECK(a.squared_error_sum == b.squared_error_sum);
    CHECK(a.squared_log_error_sum == b.squared_log_error_sum);
    CHECK(a.absolute_percentage_error_sum == b.absolute_percentage_error_sum);
    CHECK(a.true_pred_product_sum == b.true_pred_product_sum);
    CHECK(a.max_absolute_error == b.max_absolute_error);
    CHECK(a.pair_count == 6.0);
    CHECK(is(batch.push_batch(col(t), col(F32{1})).error(), K::DataVectorLengthMismatch));
    CHECK(is(batch.push_batch(col(F32{}), col(F32{})).error(), K::EmptyDataVector));
    CHECK(is(batch.reset_baseline(col(F32{}), col(F32{1})).error(), K::DataVectorLengthMismatch));
    CHECK(batch.stream().pair_count == 6.0);
    // reset keeps the stream, flush keeps the baseline.
    REQUIRE(batch.reset_baseline(col(F32{1, 2}), col(F32{1, 2})).ok());
    CHECK(batch.stream().pair_count == 6.0);
    CHECK(batch.baseline()[RM::MeanSquaredError] == 0.0f);
    batch.flush();
    CHECK(batch.stream().pair_count == 0.0);
    CHECK(batch.baseline()[RM::MeanSquaredError] == 0.0f);
}

TEST_CASE("regression: an infinite drift fails any finite threshold, a NaN drift none") {
    auto m = regression();
    m.push(0.0f, 1.0f);  // MAPE +inf
    auto report = m.drift_report(1e30f);
    REQUIRE(report.ok());
    REQUIRE(report.value().failed_report);
    REQUIRE(report.value().failed_report->size() == 1);
    CHECK(report.value().failed_report->front().metric == RM::MeanAbsolutePercentageError);
    CHECK(std::isinf(report.value().failed_report->front().drift));
}

// ------------------------------------------------------------------- logistic

TEST_CASE("logistic: true class is exactly 1; predicted class uses the decision threshold") {
    auto m = logistic();
    CHECK(is(m.current().error(), K::EmptyDataVector));
    REQUIRE(m.push(0.9f, 0.8f).ok());  // 0.9 is not 1: a false positive
    CHECK(m.cells().false_positive == 1);
    REQUIRE(m.push(1.0f, 0.5f).ok());  // at the threshold: positive
    CHECK(m.cells().true_positive == 1);
    REQUIRE(m.push(1.0f, std::numeric_limits<float>::quiet_NaN()).ok());  // NaN score: negative
    CHECK(m.cells().false_negative == 1);
}

TEST_CASE("logistic: log loss of the stream and a term of 0 * ln 0") {
    auto m = logistic();
    REQUIRE(m.push(1.0f, 0.8f).ok());
    REQUIRE(m.push(0.0f, 0.3f).ok());
    auto now = m.current();
    REQUIRE(now.ok());
    const double sum = static_cast<double>(std::log(0.8f)) + static_cast<double>(std::log(1.0f - 0.3f));
    CHECK(now.value()[CM::LogLoss] == static_cast<float>(-sum / 2.0));
    for (CM c : {CM::BalancedAccuracy, CM::Accuracy, CM::F1Score, CM::PrecisionNegative}) {
        CHECK(now.value()[c] == 1.0f);
    }
    // (1 - 1) * ln(1 - 1) counts as 0: the stream stays finite.
    REQUIRE(m.push(1.0f, 1.0f).ok());
    auto after = m.current();
    REQUIRE(after.ok());
    CHECK(after.value()[CM::LogLoss] == static_cast<float>(-sum / 3.0));
    // A confident wrong score is infinite, not an error.
    REQUIRE(m.push(0.0f, 1.0f).ok());
    CHECK(std::isinf(m.current().value()[CM::LogLoss]));
}

TEST_CASE("logistic: drift is signed, baseline minus stream") {
    auto m = logistic();
    // Baseline: threshold 0.5 on truths and scores gives TP 1, FP 1, TN 1, FN 1.
    CHECK(m.baseline()[CM::Accuracy] == 0.5f);
    REQUIRE(m.push(1.0f, 0.9f).ok());
    REQUIRE(m.push(0.0f, 0.1f).ok());
    auto drift = m.drift_snapshot();
    REQUIRE(drift.ok());
    CHECK(drift.value().get(CM::Accuracy) == -0.5f);  // stream better than baseline
    // A better log loss drifts positively and fails; worse metrics never fail a
    // non-negative threshold.
    CHECK(*drift.value().get(CM::LogLoss) > 0.0f);
    auto report = m.drift_report(0.0f);
    REQUIRE(report.ok());
    REQUIRE(report.value().failed_report);
    for (const auto& e : *report.value().failed_report) CHECK(e.drift >= 0.0f);
    auto negative = m.drift_report(-0.5f);
    REQUIRE(negative.ok());
    bool accuracy = false;
    for (const auto& e : *negative.value().failed_report) accuracy |= e.metric == CM::Accuracy;
    CHECK(accuracy);  // -0.5 >= -0.5
}

TEST_CASE("logistic: resets keep the stream; the new decision threshold survives a failed reset") {
    auto m = logistic();
    REQUIRE(m.push(1.0f, 0.8f).ok());
    const LogisticRegressionRuntime before = m.baseline();
    CHECK(is(m.reset_baseline(col(F32{1, 0}), col(F32{0.5f})).error(), K::DataVectorLengthMismatch));
    CHECK(same_record(m.baseline(), before));
    CHECK(is(m.reset_baseline_and_decision_threshold(col(F32{1, 0}), col(F32{0.5f}), 0.9f).error(),
             K::DataVectorLengthMismatch));
    CHECK(m.decision_threshold() == 0.9f);
    CHECK(same_record(m.baseline(), before));
    CHECK(is(m.reset_baseline(col(F32{}), col(F32{})).error(), K::InvalidData));  // NaN log loss
    CHECK(m.cells().total() == 1);
    REQUIRE(m.push(1.0f, 0.8f).ok());  // below the new threshold
    CHECK(m.cells().false_negative == 1);
    CHECK(is(m.push_batch(col(F32{1}), col(F32{})).error(), K::DataVectorLengthMismatch));
    CHECK(is(m.push_batch(col(F32{}), col(F32{})).error(), K::EmptyDataVector));
    CHECK(m.cells().total() == 2);
    m.flush();
    CHECK(m.cells().total() == 0);
    CHECK(m.log_loss_sum() == 0.0);
    CHECK(m.decision_threshold() == 0.9f);
}

TEST_CASE("logistic: a batch adds exactly what single pushes add") {
    const F32 t{1, 0, 1, 0, 0.5f, 1};
    const F32 p{0.9f, 0.2f, 0.4f, 0.7f, 0.5f, 0.0f};
    auto batch = logistic();
    auto single = logistic();
    REQUIRE(batch.push_batch(col(t), col(p)).ok());
    for (std::size_t i = 0; i < t.size(); ++i) REQUIRE(single.push(t[i], p[i]).ok());
    CHECK(batch.log_loss_sum() == single.log_loss_sum());
    CHECK(batch.cells().true_positive == single.cells().true_positive);
    CHECK(batch.cells().false_negative == single.cells().false_negative);
    CHECK(same_record(batch.current().value(), single.current().value()));
}

TEST_CASE("logistic: batches spanning several blocks match single pushes") {
    // 1000 pairs: truths 0, 1 and fractions; scores on both sides of the
    // threshold and at the clamp bounds.
    F32 t, p;
    for (int i = 0; i < 1000; ++i) {
        t.push_back(i % 3 == 0 ? 1.0f : (i % 3 == 1 ? 0.0f : 0.25f * static_cast<float>(i % 5)));
        // A score of exactly 1 only where the truth is 1, so the sum stays finite.
        p.push_back(i % 21 == 0 ? 1.0f : (i % 11 == 0 ? 0.0f : static_cast<float>(i % 97) / 97.0f));
    }
    auto batch = logistic();
    auto single = logistic();
    REQUIRE(batch.push_batch(col(t), col(p)).ok());
    for (std::size_t i = 0; i < t.size(); ++i) REQUIRE(single.push(t[i], p[i]).ok());
    REQUIRE(std::isfinite(single.log_loss_sum()));
    CHECK(batch.log_loss_sum() == single.log_loss_sum());
    CHECK(batch.cells().true_positive == single.cells().true_positive);
    CHECK(batch.cells().false_positive == single.cells().false_positive);
    CHECK(batch.cells().true_negative == single.cells().true_negative);
    CHECK(batch.cells().false_negative == single.cells().false_negative);
}

// ------------------------------------------------------- binary classification

TEST_CASE("binary: construction, empty batches, and reset emptying the stream") {
    CHECK(is(BinaryClassificationStreaming::create(col(I32{1}), col(I32{})).error(), K::DataVectorLengthMismatch));
    CHECK(is(BinaryClassificationStreaming::create(col(I32{}), col(I32{})).error(), K::EmptyDataVector));
    auto m = binary();
    CHECK(m.baseline()[CM::Accuracy] == 0.5f);
    m.push(2, 1);  // 2 is not the positive label: a false positive
    CHECK(m.stream().false_positive == 1);
    REQUIRE(m.push_batch(col(I32{}), col(I32{})).ok());
    CHECK(is(m.push_batch(col(I32{1}), col(I32{})).error(), K::DataVectorLengthMismatch));
    CHECK(m.stream().total() == 1);
    CHECK(is(m.reset_baseline(col(I32{1}), col(I32{})).error(), K::DataVectorLengthMismatch));
    CHECK(m.stream().total() == 1);
    CHECK(m.baseline()[CM::Accuracy] == 0.5f);
    // Two empty columns are a valid baseline of NaN values, and the stream empties.
    REQUIRE(m.reset_baseline(col(I32{}), col(I32{})).ok());
    CHECK(m.stream().total() == 0);
    CHECK(std::isnan(m.baseline()[CM::Accuracy]));
    m.push(1, 1);
    auto report = m.drift_report(-1e30f);
    REQUIRE(report.ok());
    CHECK(report.value().passed);  // every drift NaN
}

TEST_CASE("binary: the baseline pushed again drifts by exactly zero, signed") {
    auto m = binary();
    REQUIRE(m.push_batch(col(I32{1, 0, 1, 0}), col(I32{1, 1, 0, 0})).ok());
    auto zero = m.drift_report(0.0f);
    REQUIRE(zero.ok());
    REQUIRE(zero.value().failed_report);
    CHECK(zero.value().failed_report->size() == 7);
    auto passed = m.drift_report(std::numeric_limits<float>::denorm_min());
    REQUIRE(passed.ok());
    CHECK(passed.value().passed);
    m.push(1, 1);  // the stream improves: negative drift
    CHECK(*m.drift_snapshot().value().get(CM::Accuracy) < 0.0f);
    m.flush();
    CHECK(is(m.current().error(), K::EmptyDataVector));
}

TEST_CASE("binary: cells count exactly beyond 2^24") {
    auto m = binary();
    const std::size_t n = (std::size_t{1} << 24) + 2;
    const std::int32_t one = 1;
    REQUIRE(m.push_batch(repeat(one, n), repeat(one, n)).ok());
    m.push(0, 1);
    CHECK(m.stream().true_positive == n);
    // Single-precision counting would have stopped at 2^24, making this 1.
    const float tp = static_cast<float>(n);
    CHECK(m.current().value()[CM::PrecisionPositive] == tp / (tp + 1.0f));
    CHECK(m.current().value()[CM::PrecisionPositive] < 1.0f);
}
