// Typed per-family records of metric values (one single-precision field per
// metric, in enum order), used as baselines and as latest values.
#pragma once

#include <array>
#include <cstddef>

#include "metrics.hpp"

namespace lumetra {

/// A record holding the first N members of metric enumeration E.
template <class E, std::size_t N = metric_count<E>>
struct MetricRecord {
    static constexpr std::size_t size = N;
    std::array<float, N> values{};

    float& operator[](E m) { return values[static_cast<std::size_t>(m)]; }
    float operator[](E m) const { return values[static_cast<std::size_t>(m)]; }

    /// Every field under its member, in enum order.
    MetricMap<E> to_map() const {
        MetricMap<E> out;
        for (std::size_t i = 0; i < N; ++i) out.insert(static_cast<E>(i), values[i]);
        return out;
    }
};

/// The seven pre-training metrics.
struct DataBiasRuntime : MetricRecord<DataBiasMetric> {};
/// The twelve post-training metrics.
struct ModelBiasRuntime : MetricRecord<ModelBiasMetric> {};
/// The eight regression metrics.
struct LinearRegressionRuntime : MetricRecord<LinearRegressionEvaluationMetric> {};
/// The seven classification metrics and the log loss.
struct LogisticRegressionRuntime : MetricRecord<ClassificationEvaluationMetric> {};
/// The seven classification metrics (no log loss).
struct BinaryClassificationRuntime : MetricRecord<ClassificationEvaluationMetric, 7> {};

}  // namespace lumetra
