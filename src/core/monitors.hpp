// Streaming monitors: a baseline record fixed from reference data, running
// accumulators fed pair by pair or batch by batch, and on request the current
// record, its drift from the baseline and a drift report under a threshold.
// Every accumulator and formula is the one of its family; a monitor only
// decides what it keeps, when it empties and which drift fails.
//
// Label columns are any type with size() and operator[] (the boundary passes
// views of NumPy buffers or of vectors it converted itself); value columns
// are F32Column.
// Every operation either succeeds or leaves the monitor exactly as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/data_bias.hpp"
#include "core/errors.hpp"
#include "core/metrics.hpp"
#include "core/model_bias.hpp"
#include "core/model_perf.hpp"
#include "core/report.hpp"
#include "core/result.hpp"
#include "core/runtime.hpp"

namespace lumetra::state {
struct Access;  // saves, restores and merges the monitors (core/state.cpp)
}

namespace lumetra {

/// The drift report of a drift map: metrics whose drift is at least the
/// threshold (NaN never fails), limited to `only` when given.
template <class E>
DriftReport<E> drift_report_of(const MetricMap<E>& drifts, float threshold, const std::vector<E>* only = nullptr) {
    return DriftReport<E>::from_runtime(failing_drifts(drifts, threshold, only));
}

// ------------------------------------------------------------------ data bias

/// Pre-training bias over a stream of (feature, outcome) labels.
class StreamingDataBias {
public:
    using Criterion = SegmentationCriterion<std::int8_t>;

    /// Baseline from reference labels: Bias Error DataLengthError when the
    /// columns are empty or differ in length, Bias Error NoFacetDeviation when
    /// a facet is empty. Both criteria are "equal to 1".
    template <class F, class G>
    static Result<StreamingDataBias, ModelPerformanceError> create(const F& feature, const G& truth) {
        StreamingDataBias m;
        LUMETRA_TRY(m.baseline_, m.baseline_of(feature, truth));
        return m;
    }

    /// Adds one pair.
    void push(std::int8_t feature, std::int8_t truth) noexcept {
        running_.add(feature_criterion_.meets(feature), outcome_criterion_.meets(truth));
    }

    /// Adds every pair in order; Bias Error DataLengthError (nothing added)
    /// when the columns are empty or differ in length.
    template <class F, class G>
    Result<void, ModelPerformanceError> push_batch(const F& feature, const G& truth) {
        const std::size_t n = feature.size();
        if (n == 0 || truth.size() != n) return ModelPerformanceError::from_bias(BiasError::DataLengthError);
        count_into(running_, feature, truth);
        return {};
    }

    /// Empties the running counts; the baseline stays.
    void flush() noexcept { running_ = FacetCounts{}; }

    /// Replaces the baseline and empties the running counts; on failure
    /// (the errors of `create`) nothing changes.
    template <class F, class G>
    Result<void, ModelPerformanceError> reset_baseline(const F& feature, const G& truth) {
        LUMETRA_TRY(DataBiasRuntime fresh, baseline_of(feature, truth));
        baseline_ = fresh;
        running_ = FacetCounts{};
        return {};
    }

    /// The seven metrics of the running counts: EmptyDataVector when nothing
    /// was received, Bias Error DataLengthError when a facet is empty.
    Result<DataBiasRuntime, ModelPerformanceError> current() const;
    /// |C - B| / max(|B|, eps) per metric.
    Result<MetricMap<DataBiasMetric>, ModelPerformanceError> drift_snapshot() const;
    /// Metrics whose drift is at least the threshold, restricted to `only` when given.
    Result<DriftReport<DataBiasMetric>, ModelPerformanceError> drift_report(
        float threshold = kDefaultThreshold, const DataBiasMetricVec* only = nullptr) const;

    /// Counts of the pairs received since creation, the last flush or reset.
    const FacetCounts& running() const noexcept { return running_; }
    /// The baseline record.
    const DataBiasRuntime& baseline() const noexcept { return baseline_; }

private:
    friend struct lumetra::state::Access;
    StreamingDataBias() = default;

    template <class F, class G>
    void count_into(FacetCounts& counts, const F& feature, const G& truth) const {
        // Branch-free sums, as the batch counting does, so the pass vectorises.
        const std::size_t n = feature.size();
        std::uint64_t in_a = 0, positive = 0, positive_a = 0;
        with_predicate(feature_criterion_, [&](auto in_facet_a) {
            with_predicate(outcome_criterion_, [&](auto is_positive) {
                // The bound and the sums are the loop's own locals, not reached
                // through the captures: the loop stays countable and free of
                // stores however far the lambdas are inlined.
                const std::size_t len = n;
                std::uint64_t a_sum = 0, p_sum = 0, ap_sum = 0;
                for (std::size_t i = 0; i < len; ++i) {
                    const std::uint64_t a = in_facet_a(static_cast<std::int8_t>(feature[i]));
                    const std::uint64_t p = is_positive(static_cast<std::int8_t>(truth[i]));
                    a_sum += a;
                    p_sum += p;
                    ap_sum += a & p;
                }
                in_a = a_sum;
                positive = p_sum;
                positive_a = ap_sum;
            });
        });
        counts.len_a += in_a;
        counts.len_d += n - in_a;
        counts.label_positive_a += positive_a;
        counts.label_positive_d += positive - positive_a;
    }

    template <class F, class G>
    Result<DataBiasRuntime, ModelPerformanceError> baseline_of(const F& feature, const G& truth) const {
        const std::size_t n = feature.size();
        if (n == 0 || truth.size() != n) return ModelPerformanceError::from_bias(BiasError::DataLengthError);
        FacetCounts counts;
        count_into(counts, feature, truth);
        if (counts.len_a == 0 || counts.len_d == 0) {
            return ModelPerformanceError::from_bias(BiasError::NoFacetDeviation);
        }
        return DataBiasRuntime::new_from_pre_training(counts);
    }

    FacetCounts running_;
    DataBiasRuntime baseline_;
    Criterion feature_criterion_{CriterionKind::EqualTo, 1};
    Criterion outcome_criterion_{CriterionKind::EqualTo, 1};
};

// ----------------------------------------------------------------- model bias

/// Post-training bias over a stream of (feature, prediction, ground truth) labels.
class StreamingModelBias {
public:
    using Criterion = SegmentationCriterion<std::int8_t>;

    /// Baseline from reference labels with the three criteria "equal to 1":
    /// Bias Error DataLengthError for an empty feature column or unequal
    /// lengths, then the errors of the baseline record (EmptyDataVector for
    /// an empty facet, InvalidData when a metric is undefined).
    template <class F, class P, class G>
    static Result<StreamingModelBias, ModelPerformanceError> create(const F& feature, const P& prediction,
                                                                    const G& truth) {
        StreamingModelBias m;
        LUMETRA_TRY(m.baseline_, m.baseline_of(feature, prediction, truth));
        return m;
    }

    /// Adds one example.
    void push(std::int8_t feature, std::int8_t prediction, std::int8_t truth) noexcept {
        const bool predicted = prediction_criterion_.meets(prediction);
        const bool positive = truth_criterion_.meets(truth);
        counts_.accumulate_single(feature_criterion_.meets(feature), predicted, positive);
        benefits_.add(positive, predicted);
    }

    /// Adds every example in order; Bias Error DataLengthError (nothing
    /// added) for an empty feature column or unequal lengths.
    template <class F, class P, class G>
    Result<void, ModelPerformanceError> push_batch(const F& feature, const P& prediction, const G& truth) {
        auto added = counts_.accumulate_batch(feature, feature_criterion_, prediction, prediction_criterion_, truth,
                                              truth_criterion_);
        if (!added) return ModelPerformanceError::from_bias(added.error());
        benefits_.accumulate(truth, truth_criterion_, prediction, prediction_criterion_);
        return {};
    }

    /// Empties the running counts and benefits; the baseline stays.
    void flush() noexcept {
        counts_ = PostTraining{};
        benefits_ = BucketGeneralizedEntropy{};
    }

    /// Replaces the baseline (errors of `create`, nothing changes then). The
    /// running data stays and is compared with the new baseline.
    template <class F, class P, class G>
    Result<void, ModelPerformanceError> reset_baseline(const F& feature, const P& prediction, const G& truth) {
        LUMETRA_TRY(ModelBiasRuntime fresh, baseline_of(feature, prediction, truth));
        baseline_ = fresh;
        return {};
    }

    /// The twelve metrics of the running data: EmptyDataVector when nothing
    /// was pushed, then the errors of the record.
    Result<ModelBiasRuntime, ModelPerformanceError> current() const;
    /// |(C - B) / B| per metric.
    Result<MetricMap<ModelBiasMetric>, ModelPerformanceError> drift_snapshot() const;
    /// Metrics whose drift is at least the threshold, restricted to `only` when given.
    Result<DriftReport<ModelBiasMetric>, ModelPerformanceError> drift_report(
        float threshold = kDefaultThreshold, const ModelBiasMetricVec* only = nullptr) const;

    /// Counts of the examples pushed since creation or the last flush.
    const PostTraining& running() const noexcept { return counts_; }
    /// Benefit counts of the same examples.
    const BucketGeneralizedEntropy& benefits() const noexcept { return benefits_; }
    /// The baseline record.
    const ModelBiasRuntime& baseline() const noexcept { return baseline_; }

private:
    friend struct lumetra::state::Access;
    StreamingModelBias() = default;

    template <class F, class P, class G>
    Result<ModelBiasRuntime, ModelPerformanceError> baseline_of(const F& feature, const P& prediction,
                                                                const G& truth) const {
        PostTraining counts;
        auto added = counts.accumulate_batch(feature, feature_criterion_, prediction, prediction_criterion_, truth,
                                             truth_criterion_);
        if (!added) return ModelPerformanceError::from_bias(added.error());
        BucketGeneralizedEntropy benefits;
        benefits.accumulate(truth, truth_criterion_, prediction, prediction_criterion_);
        return ModelBiasRuntime::new_from_post_training(counts, benefits.generalized_entropy());
    }

    PostTraining counts_;
    ModelBiasRuntime baseline_;
    BucketGeneralizedEntropy benefits_;
    Criterion feature_criterion_{CriterionKind::EqualTo, 1};
    Criterion prediction_criterion_{CriterionKind::EqualTo, 1};
    Criterion truth_criterion_{CriterionKind::EqualTo, 1};
};

// ----------------------------------------------------------------- regression

/// Regression performance over a stream of (true, predicted) pairs.
class LinearRegressionStreaming {
public:
    /// Baseline from reference pairs: DataVectorLengthMismatch, then EmptyDataVector.
    static Result<LinearRegressionStreaming, ModelPerformanceError> create(const F32Column& y_true,
                                                                          const F32Column& y_pred);

    /// Adds one pair; validates nothing.
    void push(float t, float p) noexcept { stream_.update(t, p); }
    /// Adds every pair in order: DataVectorLengthMismatch, then EmptyDataVector
    /// (the stream unchanged).
    Result<void, ModelPerformanceError> push_batch(const F32Column& y_true, const F32Column& y_pred);
    /// Zeroes the ten sums; the baseline stays.
    void flush() noexcept { stream_ = LinearRegressionErrorBuckets{}; }
    /// Replaces the baseline (errors of `create`); the stream stays.
    Result<void, ModelPerformanceError> reset_baseline(const F32Column& y_true, const F32Column& y_pred);

    /// The eight metrics of the stream (square roots in single precision);
    /// EmptyDataVector for an empty stream.
    Result<LinearRegressionRuntime, ModelPerformanceError> current() const;
    /// |B - C| per metric.
    Result<MetricMap<LinearRegressionEvaluationMetric>, ModelPerformanceError> drift_snapshot() const;
    /// Metrics whose drift is at least the threshold, restricted to `only` when given.
    Result<DriftReport<LinearRegressionEvaluationMetric>, ModelPerformanceError> drift_report(
        float threshold = kDefaultThreshold, const LinearRegressionMetricVec* only = nullptr) const;

    /// The running sums.
    const LinearRegressionErrorBuckets& stream() const noexcept { return stream_; }
    /// The baseline record.
    const LinearRegressionRuntime& baseline() const noexcept { return baseline_; }

private:
    friend struct lumetra::state::Access;
    LinearRegressionStreaming() = default;

    LinearRegressionRuntime baseline_;
    LinearRegressionErrorBuckets stream_;
};

// ------------------------------------------------------------------- logistic

/// Logistic-regression performance over a stream of (true value, score) pairs.
class LogisticRegressionStreaming {
public:
    /// Baseline from reference pairs under `threshold` (the errors of the
    /// logistic record: DataVectorLengthMismatch, InvalidData).
    static Result<LogisticRegressionStreaming, ModelPerformanceError> create(const F32Column& y_true,
                                                                            const F32Column& y_pred,
                                                                            float threshold);

    /// Adds one pair: its true class is positive when t is exactly 1, its
    /// predicted class when p reaches the decision threshold. InvalidData
    /// when the captured epsilon leaves no room between its clamp bounds.
    Result<void, ModelPerformanceError> push(float t, float p) noexcept;
    /// Adds every pair in order: InvalidData (crossed clamp bounds), then
    /// DataVectorLengthMismatch, then EmptyDataVector; nothing changes on error.
    Result<void, ModelPerformanceError> push_batch(const F32Column& y_true, const F32Column& y_pred);
    /// Zeroes the counts and the log-loss sum and captures the epsilon again.
    void flush() noexcept;
    /// New baseline under the current decision threshold; the stream stays.
    Result<void, ModelPerformanceError> reset_baseline(const F32Column& y_true, const F32Column& y_pred);
    /// Stores the decision threshold (kept even when the baseline then fails),
    /// then resets the baseline with it.
    Result<void, ModelPerformanceError> reset_baseline_and_decision_threshold(const F32Column& y_true,
                                                                             const F32Column& y_pred,
                                                                             float threshold);

    /// The seven metrics of the counts and LogLoss = -(sum of terms) / pairs;
    /// EmptyDataVector for an empty stream. A NaN LogLoss is returned as is.
    Result<LogisticRegressionRuntime, ModelPerformanceError> current() const;
    /// B - C (signed) per metric.
    Result<MetricMap<ClassificationEvaluationMetric>, ModelPerformanceError> drift_snapshot() const;
    /// Metrics whose drift is at least the threshold, restricted to `only` when given.
    Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> drift_report(
        float threshold = kDefaultThreshold, const LogisticRegressionMetricVec* only = nullptr) const;

    /// The running confusion counts.
    const ConfusionMatrix& cells() const noexcept { return cells_; }
    /// The running sum of log-loss terms.
    double log_loss_sum() const noexcept { return log_loss_sum_; }
    /// The threshold from which a score counts as a positive prediction.
    float decision_threshold() const noexcept { return decision_threshold_; }
    /// The baseline record.
    const LogisticRegressionRuntime& baseline() const noexcept { return baseline_; }

private:
    friend struct lumetra::state::Access;
    LogisticRegressionStreaming() = default;
    void update(const ScoreClamp& clamp, float t, float p) noexcept;

    LogisticRegressionRuntime baseline_;
    ConfusionMatrix cells_;
    // Terms are formed in single precision; their running sum is kept in
    // double so that a long stream does not stop absorbing small terms.
    double log_loss_sum_ = 0.0;
    std::optional<ScoreClamp> clamp_;
    float decision_threshold_ = 0.0f;
};

// ------------------------------------------------------- binary classification

/// Binary-classification performance over a stream of integer label pairs.
class BinaryClassificationStreaming {
public:
    /// Baseline from reference pairs of integer columns (positive label 1):
    /// DataVectorLengthMismatch, then EmptyDataVector.
    template <class T, class P>
    static Result<BinaryClassificationStreaming, ModelPerformanceError> create(const T& y_true, const P& y_pred) {
        if (y_true.size() != y_pred.size()) {
            return ModelPerformanceError(ModelPerformanceError::Kind::DataVectorLengthMismatch);
        }
        if (y_true.size() == 0) return ModelPerformanceError(ModelPerformanceError::Kind::EmptyDataVector);
        BinaryClassificationStreaming m;
        LUMETRA_CHECK(m.reset_baseline(y_true, y_pred));
        return m;
    }

    /// Adds one pair; a value is positive when it equals the positive label.
    void push(std::int32_t t, std::int32_t p) noexcept { stream_.push(t, p, positive_label_); }
    /// Adds every pair; DataVectorLengthMismatch leaves the stream unchanged;
    /// two empty columns are accepted.
    template <class T, class P>
    Result<void, ModelPerformanceError> push_batch(const T& y_true, const P& y_pred) {
        return stream_.push_dataset(y_true, y_pred, positive_label_);
    }
    /// Zeroes the stream; the baseline and the label stay.
    void flush() noexcept { stream_ = ConfusionMatrix{}; }
    /// New baseline from the pairs (two empty columns give NaN values) and an
    /// empty stream; DataVectorLengthMismatch changes nothing.
    template <class T, class P>
    Result<void, ModelPerformanceError> reset_baseline(const T& y_true, const P& y_pred) {
        ConfusionMatrix fresh;
        LUMETRA_CHECK(fresh.push_dataset(y_true, y_pred, positive_label_));
        baseline_ = fresh.metrics();
        stream_ = ConfusionMatrix{};
        return {};
    }

    /// The seven metrics of the stream; EmptyDataVector for an empty stream.
    Result<BinaryClassificationRuntime, ModelPerformanceError> current() const;
    /// B - C (signed) per metric.
    Result<MetricMap<ClassificationEvaluationMetric>, ModelPerformanceError> drift_snapshot() const;
    /// Metrics whose drift is at least the threshold, restricted to `only` when given.
    Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> drift_report(
        float threshold = kDefaultThreshold, const ClassificationMetricVec* only = nullptr) const;

    /// The running confusion counts.
    const ConfusionMatrix& stream() const noexcept { return stream_; }
    /// The baseline record.
    const BinaryClassificationRuntime& baseline() const noexcept { return baseline_; }

private:
    friend struct lumetra::state::Access;
    BinaryClassificationStreaming() = default;

    ConfusionMatrix stream_;
    std::int32_t positive_label_ = 1;
    BinaryClassificationRuntime baseline_;
};

inline void LogisticRegressionStreaming::update(const ScoreClamp& clamp, float t, float p) noexcept {
    // The true class is "exactly 1", unlike the baseline, which thresholds
    // true values as well; a NaN score is never positive. (push_batch applies
    // the same rule to whole batches.)
    cells_.push(t == 1.0f ? 1 : 0, p >= decision_threshold_ ? 1 : 0, 1);
    log_loss_sum_ += static_cast<double>(log_loss_term(t, clamp.apply(p)));
}

inline Result<void, ModelPerformanceError> LogisticRegressionStreaming::push(float t, float p) noexcept {
    if (!clamp_) return ModelPerformanceError(ModelPerformanceError::Kind::InvalidData);
    update(*clamp_, t, p);
    return {};
}

}  // namespace lumetra
