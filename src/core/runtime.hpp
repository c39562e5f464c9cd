// Typed per-family records of metric values (one single-precision field per
// metric, in enum order), used as baselines and as latest values: conversion
// from name-keyed and member-keyed maps, comparison of a latest record with a
// baseline under a relative threshold, and the per-metric drift the streaming
// monitors report.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "core/data_bias.hpp"
#include "core/errors.hpp"
#include "core/metrics.hpp"
#include "core/model_bias.hpp"
#include "core/result.hpp"

namespace lumetra {

/// Metric values keyed by name, in the caller's (dict) order.
using NamedValues = std::vector<std::pair<std::string, float>>;

/// Threshold of a runtime check, and of a monitor's drift report, when the
/// caller gives none (the single-precision value nearest 0.1).
inline constexpr float kDefaultThreshold = 0.1f;

/// A record holding the first N members of metric enumeration E.
template <class E, std::size_t N = metric_count<E>>
struct MetricRecord {
    static constexpr std::size_t size = N;
    std::array<float, N> values{};

    /// The field of member m (which must be one of the first N).
    float& operator[](E m) { return values[static_cast<std::size_t>(m)]; }
    float operator[](E m) const { return values[static_cast<std::size_t>(m)]; }

    /// Every field under its member, in enum order.
    MetricMap<E> to_map() const {
        MetricMap<E> out;
        for (std::size_t i = 0; i < N; ++i) out.insert(static_cast<E>(i), values[i]);
        return out;
    }
};

/// A performance record (of type Record): its names are looked up in field
/// order, and any missing one is InvalidAnalysisReport.
template <class Record, class E, std::size_t N = metric_count<E>>
struct PerformanceRecord : MetricRecord<E, N> {
    static Result<Record, ModelPerformanceError> from_names(const NamedValues& values);
};

/// The seven pre-training metrics.
struct DataBiasRuntime : MetricRecord<DataBiasMetric> {
    /// Looks the names up in field order; the first missing one is its error.
    static Result<DataBiasRuntime, DataBiasRuntimeError> from_names(const NamedValues& values);
    /// The same lookup over a member-keyed map.
    static Result<DataBiasRuntime, DataBiasRuntimeError> from_metric_map(const MetricMap<DataBiasMetric>& values);
    /// The seven metrics of facet counts; an empty facet is Bias Error DataLengthError.
    static Result<DataBiasRuntime, ModelPerformanceError> new_from_pre_training(const FacetCounts& counts);
    /// Metrics of `metrics` whose latest value moved beyond the threshold, with their drift.
    static MetricMap<DataBiasMetric> runtime_check(const DataBiasRuntime& latest, const DataBiasRuntime& baseline,
                                                   const std::vector<DataBiasMetric>& metrics, float threshold);
    /// |C - B| / max(|B|, eps) for every metric (eps: the stability epsilon in single precision).
    static MetricMap<DataBiasMetric> runtime_drift_report(const DataBiasRuntime& current,
                                                          const DataBiasRuntime& baseline);
};

/// The twelve post-training metrics.
struct ModelBiasRuntime : MetricRecord<ModelBiasMetric> {
    /// Looks the names up in field order; the first missing one is its error.
    static Result<ModelBiasRuntime, ModelBiasRuntimeError> from_names(const NamedValues& values);
    /// The twelve metrics of post-training counts; EmptyDataVector for an empty
    /// facet, InvalidData when another guard fails (all checked before any value).
    static Result<ModelBiasRuntime, ModelPerformanceError> new_from_post_training(const PostTraining& counts,
                                                                                 float generalized_entropy);
    /// Metrics of `metrics` whose latest value moved beyond the threshold, with their drift.
    static MetricMap<ModelBiasMetric> runtime_check(const ModelBiasRuntime& latest, const ModelBiasRuntime& baseline,
                                                    const std::vector<ModelBiasMetric>& metrics, float threshold);
    /// |(C - B) / B| for every metric (a zero baseline gives infinity or NaN).
    static MetricMap<ModelBiasMetric> runtime_drift_report(const ModelBiasRuntime& current,
                                                           const ModelBiasRuntime& baseline);
};

/// The eight regression metrics.
struct LinearRegressionRuntime : PerformanceRecord<LinearRegressionRuntime, LinearRegressionEvaluationMetric> {
    /// Failed metrics of `metrics`: RSquared must not fall, the others must not rise.
    static MetricMap<LinearRegressionEvaluationMetric> runtime_check(
        const LinearRegressionRuntime& latest, const LinearRegressionRuntime& baseline,
        const std::vector<LinearRegressionEvaluationMetric>& metrics, float threshold);
    /// |B - C| for every metric.
    static MetricMap<LinearRegressionEvaluationMetric> runtime_drift_report(const LinearRegressionRuntime& current,
                                                                           const LinearRegressionRuntime& baseline);
};

/// The seven classification metrics and the log loss.
struct LogisticRegressionRuntime : PerformanceRecord<LogisticRegressionRuntime, ClassificationEvaluationMetric> {
    /// Failed metrics of `metrics`: LogLoss must not rise, the others must not fall.
    static MetricMap<ClassificationEvaluationMetric> runtime_check(
        const LogisticRegressionRuntime& latest, const LogisticRegressionRuntime& baseline,
        const std::vector<ClassificationEvaluationMetric>& metrics, float threshold);
    /// B - C (signed) for every metric.
    static MetricMap<ClassificationEvaluationMetric> runtime_drift_report(const LogisticRegressionRuntime& current,
                                                                         const LogisticRegressionRuntime& baseline);
};

/// The seven classification metrics (no log loss).
struct BinaryClassificationRuntime : PerformanceRecord<BinaryClassificationRuntime, ClassificationEvaluationMetric, 7> {
    /// Failed metrics of `metrics`: a metric fails when (1 + t) * latest < baseline.
    static MetricMap<ClassificationEvaluationMetric> runtime_check(
        const BinaryClassificationRuntime& latest, const BinaryClassificationRuntime& baseline,
        const std::vector<ClassificationEvaluationMetric>& metrics, float threshold);
    /// B - C (signed) for every metric.
    static MetricMap<ClassificationEvaluationMetric> runtime_drift_report(
        const BinaryClassificationRuntime& current, const BinaryClassificationRuntime& baseline);
};

/// The logistic record of seven classification metrics and a log loss.
inline LogisticRegressionRuntime with_log_loss(const BinaryClassificationRuntime& classes, float log_loss) {
    LogisticRegressionRuntime r;
    for (std::size_t i = 0; i < classes.values.size(); ++i) r.values[i] = classes.values[i];
    r[ClassificationEvaluationMetric::LogLoss] = log_loss;
    return r;
}

/// Streaming rule: the metrics whose drift is at least the threshold (NaN never
/// fails), restricted to `only` when given.
template <class E>
MetricMap<E> failing_drifts(const MetricMap<E>& drifts, float threshold, const std::vector<E>* only = nullptr) {
    std::array<bool, metric_count<E>> wanted{};
    if (only != nullptr) {
        for (E m : *only) wanted[static_cast<std::size_t>(m)] = true;
    } else {
        wanted.fill(true);
    }
    MetricMap<E> out;
    drifts.for_each([&](E m, float drift) {
        if (wanted[static_cast<std::size_t>(m)] && drift >= threshold) out.insert(m, drift);
    });
    return out;
}

/// Keeps the data-bias names of a name-keyed map; any other key is refused
/// (all refused keys listed, in map order).
Result<MetricMap<DataBiasMetric>, InvalidMetricError> convert_db_analysis(const NamedValues& values);

}  // namespace lumetra
