// The metric vocabulary: the four metric enumerations, their names (which are
// also result keys and report names), metric maps and the name-list parsers.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/errors.hpp"
#include "core/result.hpp"

namespace lumetra {

/// Pre-training (data) bias metrics.
enum class DataBiasMetric : std::uint8_t {
    ClassImbalance,
    DifferenceInProportionOfLabels,
    KlDivergence,
    JsDivergence,
    LpNorm,
    TotalVariationDistance,
    KolmogorovSmirnov,
};

/// Post-training (model) bias metrics.
enum class ModelBiasMetric : std::uint8_t {
    DifferenceInPositivePredictedLabels,
    DisparateImpact,
    AccuracyDifference,
    RecallDifference,
    DifferenceInConditionalAcceptance,
    DifferenceInAcceptanceRate,
    SpecialityDifference,
    DifferenceInConditionalRejection,
    DifferenceInRejectionRate,
    TreatmentEquity,
    ConditionalDemographicDesparityPredictedLabels,
    GeneralizedEntropy,
};

/// Regression performance metrics.
enum class LinearRegressionEvaluationMetric : std::uint8_t {
    RootMeanSquaredError,
    MeanSquaredError,
    MeanAbsoluteError,
    RSquared,
    MaxError,
    MeanSquaredLogError,
    RootMeanSquaredLogError,
    MeanAbsolutePercentageError,
};

/// Classification performance metrics; binary classification uses all but LogLoss.
enum class ClassificationEvaluationMetric : std::uint8_t {
    BalancedAccuracy,
    PrecisionPositive,
    PrecisionNegative,
    RecallPositive,
    RecallNegative,
    Accuracy,
    F1Score,
    LogLoss,
};

template <class E>
struct MetricTraits;

template <>
struct MetricTraits<DataBiasMetric> {
    static constexpr std::array<std::string_view, 7> names = {
        "ClassImbalance", "DifferenceInProportionOfLabels", "KlDivergence", "JsDivergence",
        "LpNorm", "TotalVariationDistance", "KolmogorovSmirnov"};
};
template <>
struct MetricTraits<ModelBiasMetric> {
    static constexpr std::array<std::string_view, 12> names = {
        "DifferenceInPositivePredictedLabels", "DisparateImpact", "AccuracyDifference",
        "RecallDifference", "DifferenceInConditionalAcceptance", "DifferenceInAcceptanceRate",
        "SpecialityDifference", "DifferenceInConditionalRejection", "DifferenceInRejectionRate",
        "TreatmentEquity", "ConditionalDemographicDesparityPredictedLabels", "GeneralizedEntropy"};
};
template <>
struct MetricTraits<LinearRegressionEvaluationMetric> {
    static constexpr std::array<std::string_view, 8> names = {
        "RootMeanSquaredError", "MeanSquaredError", "MeanAbsoluteError", "RSquared",
        "MaxError", "MeanSquaredLogError", "RootMeanSquaredLogError", "MeanAbsolutePercentageError"};
};
template <>
struct MetricTraits<ClassificationEvaluationMetric> {
    static constexpr std::array<std::string_view, 8> names = {
        "BalancedAccuracy", "PrecisionPositive", "PrecisionNegative", "RecallPositive",
        "RecallNegative", "Accuracy", "F1Score", "LogLoss"};
};

/// Number of members of a metric enumeration.
template <class E>
inline constexpr std::size_t metric_count = MetricTraits<E>::names.size();

/// The name of a member: its dict key, list text and report name.
template <class E>
constexpr std::string_view metric_name(E m) {
    return MetricTraits<E>::names[static_cast<std::size_t>(m)];
}

/// The member whose name equals `text` exactly, if any.
template <class E>
std::optional<E> metric_from_name(std::string_view text) {
    const auto& names = MetricTraits<E>::names;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (names[i] == text) return static_cast<E>(i);
    }
    return std::nullopt;
}

/// All members of a metric enumeration, in enum order.
template <class E>
std::vector<E> all_metrics() {
    std::vector<E> out;
    out.reserve(metric_count<E>);
    for (std::size_t i = 0; i < metric_count<E>; ++i) out.push_back(static_cast<E>(i));
    return out;
}

/// Map from metric member to a single-precision value. Iterates in enum order,
/// so every dict built from it lists its keys in that order.
template <class E>
class MetricMap {
public:
    static constexpr std::size_t N = metric_count<E>;

    /// Sets the value of `m`, replacing any earlier one.
    void insert(E m, float v) {
        const auto i = static_cast<std::size_t>(m);
        values_[i] = v;
        present_.set(i);
    }
    /// True when `m` has a value.
    bool contains(E m) const { return present_.test(static_cast<std::size_t>(m)); }
    /// The value of `m`, if present.
    std::optional<float> get(E m) const {
        if (!contains(m)) return std::nullopt;
        return values_[static_cast<std::size_t>(m)];
    }
    /// Number of members present.
    std::size_t size() const { return present_.count(); }
    /// True when no member is present.
    bool empty() const { return present_.none(); }

    /// Calls f(member, value) for every present entry, in enum order.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t i = 0; i < N; ++i) {
            if (present_.test(i)) f(static_cast<E>(i), values_[i]);
        }
    }

private:
    std::array<float, N> values_{};
    std::bitset<N> present_{};
};

using DataBiasMetricVec = std::vector<DataBiasMetric>;
using ModelBiasMetricVec = std::vector<ModelBiasMetric>;
using LinearRegressionMetricVec = std::vector<LinearRegressionEvaluationMetric>;
using ClassificationMetricVec = std::vector<ClassificationEvaluationMetric>;
using LogisticRegressionMetricVec = std::vector<ClassificationEvaluationMetric>;

/// Parses data-bias metric names (order and duplicates kept).
Result<DataBiasMetricVec, InvalidMetricError> parse_data_bias_metrics(const std::vector<std::string>& names);
/// Parses model-bias metric names.
Result<ModelBiasMetricVec, InvalidMetricError> parse_model_bias_metrics(const std::vector<std::string>& names);
/// Parses regression metric names.
Result<LinearRegressionMetricVec, InvalidMetricError> parse_regression_metrics(const std::vector<std::string>& names);
/// Parses logistic-regression metric names (all eight; refusals use the regression family).
Result<LogisticRegressionMetricVec, InvalidMetricError> parse_logistic_metrics(const std::vector<std::string>& names);
/// Parses binary-classification metric names; LogLoss ends parsing with a refusal of LogLoss alone.
Result<ClassificationMetricVec, InvalidMetricError> parse_classification_metrics(const std::vector<std::string>& names);

}  // namespace lumetra
