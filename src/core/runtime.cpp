#include "core/runtime.hpp"

#include <cmath>

#include "core/settings.hpp"

namespace lumetra {

namespace {

// The value under `name`; a name given twice counts with its last value, as a
// later dict entry would replace an earlier one.
const float* find_named(const NamedValues& values, std::string_view name) {
    for (auto it = values.rbegin(); it != values.rend(); ++it) {
        if (it->first == name) return &it->second;
    }
    return nullptr;
}

// Fills a record from names in field order; `missing(member)` is the error of
// the first name that is absent.
template <class Record, class E, class Error, class Missing>
Result<Record, Error> record_from_names(const NamedValues& values, Missing missing) {
    Record r;
    for (std::size_t i = 0; i < Record::size; ++i) {
        const E m = static_cast<E>(i);
        const float* v = find_named(values, metric_name(m));
        if (v == nullptr) return Error(missing(m));
        r.values[i] = *v;
    }
    return r;
}

template <class E>
MissingMetric<E> missing_metric(E m) {
    return MissingMetric<E>{m};
}

ModelPerformanceError invalid_report(auto) { return ModelPerformanceError::Kind::InvalidAnalysisReport; }

// Runs `rule(member, latest, baseline, drift&)` for each requested member of a
// record; members the record does not hold are skipped.
template <class E, std::size_t N, class Rule>
MetricMap<E> compare(const MetricRecord<E, N>& latest, const MetricRecord<E, N>& baseline,
                     const std::vector<E>& metrics, Rule rule) {
    MetricMap<E> failures;
    for (E m : metrics) {
        const auto i = static_cast<std::size_t>(m);
        if (i >= N) continue;
        float drift = 0.0f;
        if (rule(m, latest.values[i], baseline.values[i], drift)) failures.insert(m, drift);
    }
    return failures;
}

// The two rules most metrics follow: a metric fails when it rises above
// (1 + t) B, its drift L - B, or when it falls below (1 - t) B, its drift B - L.
bool fails_rising(float l, float b, float up, float& drift) {
    drift = l - b;
    return l > up * b;
}
bool fails_falling(float l, float b, float down, float& drift) {
    drift = b - l;
    return l < down * b;
}

// A check in which every metric fails one way (rising when `rising_fails`)
// except `reversed`, which fails the other way.
template <class E, std::size_t N>
MetricMap<E> compare_directed(const MetricRecord<E, N>& latest, const MetricRecord<E, N>& baseline,
                              const std::vector<E>& metrics, float threshold, E reversed, bool rising_fails) {
    const float up = 1.0f + threshold;
    const float down = 1.0f - threshold;
    return compare(latest, baseline, metrics, [=](E m, float l, float b, float& drift) {
        if ((m == reversed) != rising_fails) return fails_rising(l, b, up, drift);
        return fails_falling(l, b, down, drift);
    });
}

template <class E, std::size_t N, class Drift>
MetricMap<E> drift_map(const MetricRecord<E, N>& current, const MetricRecord<E, N>& baseline, Drift drift) {
    MetricMap<E> out;
    for (std::size_t i = 0; i < N; ++i) out.insert(static_cast<E>(i), drift(current.values[i], baseline.values[i]));
    return out;
}

}  // namespace

// ---- data bias ----------------------------------------------------------------

Result<DataBiasRuntime, DataBiasRuntimeError> DataBiasRuntime::from_names(const NamedValues& values) {
    return record_from_names<DataBiasRuntime, DataBiasMetric, DataBiasRuntimeError>(values,
                                                                                    missing_metric<DataBiasMetric>);
}

Result<DataBiasRuntime, DataBiasRuntimeError> DataBiasRuntime::from_metric_map(
    const MetricMap<DataBiasMetric>& values) {
    DataBiasRuntime r;
    for (std::size_t i = 0; i < size; ++i) {
        const auto m = static_cast<DataBiasMetric>(i);
        const auto v = values.get(m);
        if (!v) return DataBiasRuntimeError{m};
        r.values[i] = *v;
    }
    return r;
}

Result<DataBiasRuntime, ModelPerformanceError> DataBiasRuntime::new_from_pre_training(const FacetCounts& counts) {
    if (counts.len_a == 0 || counts.len_d == 0) return ModelPerformanceError::from_bias(BiasError::DataLengthError);
    DataBiasRuntime r;
    pre_training_values(counts).for_each([&r](DataBiasMetric m, float v) { r[m] = v; });
    return r;
}

MetricMap<DataBiasMetric> DataBiasRuntime::runtime_check(const DataBiasRuntime& latest,
                                                         const DataBiasRuntime& baseline,
                                                         const std::vector<DataBiasMetric>& metrics,
                                                         float threshold) {
    const float up = 1.0f + threshold;
    return compare(latest, baseline, metrics, [up](DataBiasMetric m, float l, float b, float& drift) {
        switch (m) {
            case DataBiasMetric::ClassImbalance:
                drift = std::fabs(std::fabs(l) - std::fabs(b));
                return std::fabs(l) > std::fabs(up * std::fabs(b));
            case DataBiasMetric::DifferenceInProportionOfLabels:
                drift = std::fabs(l - b);
                return std::fabs(l) > up * std::fabs(b);
            default: return fails_rising(l, b, up, drift);
        }
    });
}

MetricMap<DataBiasMetric> DataBiasRuntime::runtime_drift_report(const DataBiasRuntime& current,
                                                                const DataBiasRuntime& baseline) {
    const float eps = static_cast<float>(stability_eps());
    return drift_map(current, baseline,
                     [eps](float c, float b) { return std::fabs(c - b) / std::fmax(std::fabs(b), eps); });
}

Result<MetricMap<DataBiasMetric>, InvalidMetricError> convert_db_analysis(const NamedValues& values) {
    MetricMap<DataBiasMetric> out;
    std::vector<std::string> rejected;
    for (const auto& [name, value] : values) {
        if (const auto m = metric_from_name<DataBiasMetric>(name)) {
            out.insert(*m, value);
        } else {
            rejected.push_back(name);
        }
    }
    if (!rejected.empty()) return InvalidMetricError{InvalidMetricError::Family::DataBias, std::move(rejected)};
    return out;
}

// ---- model bias ---------------------------------------------------------------

Result<ModelBiasRuntime, ModelBiasRuntimeError> ModelBiasRuntime::from_names(const NamedValues& values) {
    return record_from_names<ModelBiasRuntime, ModelBiasMetric, ModelBiasRuntimeError>(values,
                                                                                      missing_metric<ModelBiasMetric>);
}

Result<ModelBiasRuntime, ModelPerformanceError> ModelBiasRuntime::new_from_post_training(const PostTraining& counts,
                                                                                         float generalized_entropy) {
    switch (check_post_training(counts)) {
        case PostTrainingGuard::EmptyFacet: return ModelPerformanceError(ModelPerformanceError::Kind::EmptyDataVector);
        case PostTrainingGuard::Undefined: return ModelPerformanceError(ModelPerformanceError::Kind::InvalidData);
        case PostTrainingGuard::Pass: break;
    }
    ModelBiasRuntime r;
    r.values = post_training_values(counts, generalized_entropy);
    return r;
}

MetricMap<ModelBiasMetric> ModelBiasRuntime::runtime_check(const ModelBiasRuntime& latest,
                                                           const ModelBiasRuntime& baseline,
                                                           const std::vector<ModelBiasMetric>& metrics,
                                                           float threshold) {
    const float up = 1.0f + threshold;
    return compare(latest, baseline, metrics, [up](ModelBiasMetric m, float l, float b, float& drift) {
        // Disparate impact and generalized entropy are ratios and entropies:
        // only a rise is a regression. The differences are judged by magnitude.
        if (m == ModelBiasMetric::DisparateImpact || m == ModelBiasMetric::GeneralizedEntropy) {
            drift = std::fabs(l - b);
            return l > up * b;
        }
        drift = std::fabs(std::fabs(l) - std::fabs(b));
        return std::fabs(l) > up * std::fabs(b);
    });
}

MetricMap<ModelBiasMetric> ModelBiasRuntime::runtime_drift_report(const ModelBiasRuntime& current,
                                                                  const ModelBiasRuntime& baseline) {
    return drift_map(current, baseline, [](float c, float b) { return std::fabs((c - b) / b); });
}

// ---- performance ----------------------------------------------------------------

template <class Record, class E, std::size_t N>
Result<Record, ModelPerformanceError> PerformanceRecord<Record, E, N>::from_names(const NamedValues& values) {
    return record_from_names<Record, E, ModelPerformanceError>(values, invalid_report<E>);
}

template struct PerformanceRecord<LinearRegressionRuntime, LinearRegressionEvaluationMetric>;
template struct PerformanceRecord<LogisticRegressionRuntime, ClassificationEvaluationMetric>;
template struct PerformanceRecord<BinaryClassificationRuntime, ClassificationEvaluationMetric, 7>;

MetricMap<LinearRegressionEvaluationMetric> LinearRegressionRuntime::runtime_check(
    const LinearRegressionRuntime& latest, const LinearRegressionRuntime& baseline,
    const std::vector<LinearRegressionEvaluationMetric>& metrics, float threshold) {
    // RSquared must not fall, the errors must not rise.
    return compare_directed(latest, baseline, metrics, threshold, LinearRegressionEvaluationMetric::RSquared, true);
}

MetricMap<LinearRegressionEvaluationMetric> LinearRegressionRuntime::runtime_drift_report(
    const LinearRegressionRuntime& current, const LinearRegressionRuntime& baseline) {
    return drift_map(current, baseline, [](float c, float b) { return std::fabs(b - c); });
}

MetricMap<ClassificationEvaluationMetric> LogisticRegressionRuntime::runtime_check(
    const LogisticRegressionRuntime& latest, const LogisticRegressionRuntime& baseline,
    const std::vector<ClassificationEvaluationMetric>& metrics, float threshold) {
    // LogLoss must not rise, the seven others must not fall.
    return compare_directed(latest, baseline, metrics, threshold, ClassificationEvaluationMetric::LogLoss, false);
}

MetricMap<ClassificationEvaluationMetric> LogisticRegressionRuntime::runtime_drift_report(
    const LogisticRegressionRuntime& current, const LogisticRegressionRuntime& baseline) {
    return drift_map(current, baseline, [](float c, float b) { return b - c; });
}

MetricMap<ClassificationEvaluationMetric> BinaryClassificationRuntime::runtime_check(
    const BinaryClassificationRuntime& latest, const BinaryClassificationRuntime& baseline,
    const std::vector<ClassificationEvaluationMetric>& metrics, float threshold) {
    const float up = 1.0f + threshold;
    return compare(latest, baseline, metrics, [up](ClassificationEvaluationMetric, float l, float b, float& drift) {
        drift = b - l;
        return up * l < b;
    });
}

MetricMap<ClassificationEvaluationMetric> BinaryClassificationRuntime::runtime_drift_report(
    const BinaryClassificationRuntime& current, const BinaryClassificationRuntime& baseline) {
    return drift_map(current, baseline, [](float c, float b) { return b - c; });
}

}  // namespace lumetra
