#include "core/monitors.hpp"

#include <cmath>

#include "core/settings.hpp"

namespace lumetra {
namespace {

using Kind = ModelPerformanceError::Kind;

// Length rule shared by the performance monitors' batch inputs.
Result<void, ModelPerformanceError> check_pairs(const F32Column& y_true, const F32Column& y_pred) {
    if (y_true.size() != y_pred.size()) return ModelPerformanceError(Kind::DataVectorLengthMismatch);
    if (y_true.size() == 0) return ModelPerformanceError(Kind::EmptyDataVector);
    return {};
}

}  // namespace

// ------------------------------------------------------------------ data bias

Result<DataBiasRuntime, ModelPerformanceError> StreamingDataBias::current() const {
    if (running_.len_a + running_.len_d == 0) return ModelPerformanceError(Kind::EmptyDataVector);
    return DataBiasRuntime::new_from_pre_training(running_);
}

Result<MetricMap<DataBiasMetric>, ModelPerformanceError> StreamingDataBias::drift_snapshot() const {
    LUMETRA_TRY(DataBiasRuntime now, current());
    return DataBiasRuntime::runtime_drift_report(now, baseline_);
}

Result<DriftReport<DataBiasMetric>, ModelPerformanceError> StreamingDataBias::drift_report(
    float threshold, const DataBiasMetricVec* only) const {
    LUMETRA_TRY(MetricMap<DataBiasMetric> drifts, drift_snapshot());
    return drift_report_of(drifts, threshold, only);
}

// ----------------------------------------------------------------- model bias

Result<ModelBiasRuntime, ModelPerformanceError> StreamingModelBias::current() const {
    if (benefits_.total() == 0) return ModelPerformanceError(Kind::EmptyDataVector);
    return ModelBiasRuntime::new_from_post_training(counts_, benefits_.generalized_entropy());
}

Result<MetricMap<ModelBiasMetric>, ModelPerformanceError> StreamingModelBias::drift_snapshot() const {
    LUMETRA_TRY(ModelBiasRuntime now, current());
    return ModelBiasRuntime::runtime_drift_report(now, baseline_);
}

Result<DriftReport<ModelBiasMetric>, ModelPerformanceError> StreamingModelBias::drift_report(
    float threshold, const ModelBiasMetricVec* only) const {
    LUMETRA_TRY(MetricMap<ModelBiasMetric> drifts, drift_snapshot());
    return drift_report_of(drifts, threshold, only);
}

// ----------------------------------------------------------------- regression

Result<LinearRegressionStreaming, ModelPerformanceError> LinearRegressionStreaming::create(const F32Column& y_true,
                                                                                         const F32Column& y_pred) {
    LinearRegressionStreaming m;
    LUMETRA_TRY(m.baseline_, linear_regression_runtime(y_true, y_pred));
    return m;
}

Result<void, ModelPerformanceError> LinearRegressionStreaming::push_batch(const F32Column& y_true,
                                                                        const F32Column& y_pred) {
    LUMETRA_CHECK(check_pairs(y_true, y_pred));
    // The sums continue in index order from where the stream stands, so a
    // batch adds exactly what pushing its pairs one by one would add.
    stream_.add_dataset(y_true, y_pred);
    return {};
}

Result<void, ModelPerformanceError> LinearRegressionStreaming::reset_baseline(const F32Column& y_true,
                                                                            const F32Column& y_pred) {
    LUMETRA_TRY(LinearRegressionRuntime fresh, linear_regression_runtime(y_true, y_pred));
    baseline_ = fresh;
    return {};
}

Result<LinearRegressionRuntime, ModelPerformanceError> LinearRegressionStreaming::current() const {
    using M = LinearRegressionEvaluationMetric;
    const double n = stream_.pair_count;
    if (n == 0.0) return ModelPerformanceError(Kind::EmptyDataVector);
    LinearRegressionRuntime r;
    // Means are formed in double and rounded once; the square roots of the
    // stream are then taken of the rounded means, in single precision.
    const float mse = static_cast<float>(stream_.squared_error_sum / n);
    const float msle = static_cast<float>(stream_.squared_log_error_sum / n);
    r[M::MeanSquaredError] = mse;
    r[M::RootMeanSquaredError] = std::sqrt(mse);
    r[M::MeanSquaredLogError] = msle;
    r[M::RootMeanSquaredLogError] = std::sqrt(msle);
    r[M::MeanAbsoluteError] = static_cast<float>(stream_.absolute_error_sum / n);
    r[M::MeanAbsolutePercentageError] = static_cast<float>(stream_.absolute_percentage_error_sum / n);
    r[M::MaxError] = static_cast<float>(stream_.max_absolute_error);
    r[M::RSquared] = static_cast<float>(r_squared(stream_));
    return r;
}

Result<MetricMap<LinearRegressionEvaluationMetric>, ModelPerformanceError> LinearRegressionStreaming::drift_snapshot()
    const {
    LUMETRA_TRY(LinearRegressionRuntime now, current());
    return LinearRegressionRuntime::runtime_drift_report(now, baseline_);
}

Result<DriftReport<LinearRegressionEvaluationMetric>, ModelPerformanceError> LinearRegressionStreaming::drift_report(
    float threshold, const LinearRegressionMetricVec* only) const {
    LUMETRA_TRY(MetricMap<LinearRegressionEvaluationMetric> drifts, drift_snapshot());
    return drift_report_of(drifts, threshold, only);
}

// ------------------------------------------------------------------- logistic

Result<LogisticRegressionStreaming, ModelPerformanceError> LogisticRegressionStreaming::create(
    const F32Column& y_true, const F32Column& y_pred, float threshold) {
    LogisticRegressionStreaming m;
    LUMETRA_TRY(m.baseline_, logistic_regression_runtime(y_true, y_pred, threshold));
    m.clamp_ = ScoreClamp::from_epsilon(stability_eps());
    m.decision_threshold_ = threshold;
    return m;
}

Result<void, ModelPerformanceError> LogisticRegressionStreaming::push_batch(const F32Column& y_true,
                                                                          const F32Column& y_pred) {
    if (!clamp_) return ModelPerformanceError(Kind::InvalidData);
    LUMETRA_CHECK(check_pairs(y_true, y_pred));
    // The same classes and terms as `update`, the terms added in index order.
    double sum = log_loss_sum_;
    const LogLossCounts counts =
        log_loss_pass(y_true, y_pred, decision_threshold_, TruthRule::ExactlyOne, *clamp_, sum);
    cells_.add_pairs(counts.both, counts.true_pos, counts.pred_pos, y_true.size());
    log_loss_sum_ = sum;
    return {};
}

void LogisticRegressionStreaming::flush() noexcept {
    cells_ = ConfusionMatrix{};
    log_loss_sum_ = 0.0;
    clamp_ = ScoreClamp::from_epsilon(stability_eps());
}

Result<void, ModelPerformanceError> LogisticRegressionStreaming::reset_baseline(const F32Column& y_true,
                                                                              const F32Column& y_pred) {
    LUMETRA_TRY(LogisticRegressionRuntime fresh, logistic_regression_runtime(y_true, y_pred, decision_threshold_));
    baseline_ = fresh;
    return {};
}

Result<void, ModelPerformanceError> LogisticRegressionStreaming::reset_baseline_and_decision_threshold(
    const F32Column& y_true, const F32Column& y_pred, float threshold) {
    decision_threshold_ = threshold;
    return reset_baseline(y_true, y_pred);
}

Result<LogisticRegressionRuntime, ModelPerformanceError> LogisticRegressionStreaming::current() const {
    const std::uint64_t total = cells_.total();
    if (total == 0) return ModelPerformanceError(Kind::EmptyDataVector);
    return with_log_loss(cells_.metrics(), log_loss_of(log_loss_sum_, total));
}

Result<MetricMap<ClassificationEvaluationMetric>, ModelPerformanceError> LogisticRegressionStreaming::drift_snapshot()
    const {
    LUMETRA_TRY(LogisticRegressionRuntime now, current());
    return LogisticRegressionRuntime::runtime_drift_report(now, baseline_);
}

Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> LogisticRegressionStreaming::drift_report(
    float threshold, const LogisticRegressionMetricVec* only) const {
    LUMETRA_TRY(MetricMap<ClassificationEvaluationMetric> drifts, drift_snapshot());
    return drift_report_of(drifts, threshold, only);
}

// ------------------------------------------------------- binary classification

Result<BinaryClassificationRuntime, ModelPerformanceError> BinaryClassificationStreaming::current() const {
    if (stream_.total() == 0) return ModelPerformanceError(Kind::EmptyDataVector);
    return stream_.metrics();
}

Result<MetricMap<ClassificationEvaluationMetric>, ModelPerformanceError> BinaryClassificationStreaming::drift_snapshot()
    const {
    LUMETRA_TRY(BinaryClassificationRuntime now, current());
    return BinaryClassificationRuntime::runtime_drift_report(now, baseline_);
}

Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> BinaryClassificationStreaming::drift_report(
    float threshold, const ClassificationMetricVec* only) const {
    LUMETRA_TRY(MetricMap<ClassificationEvaluationMetric> drifts, drift_snapshot());
    return drift_report_of(drifts, threshold, only);
}

}  // namespace lumetra
