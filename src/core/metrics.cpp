#include "core/metrics.hpp"

namespace lumetra {
namespace {

template <class E>
Result<std::vector<E>, InvalidMetricError> parse_list(const std::vector<std::string>& names,
                                                      InvalidMetricError::Family family) {
    std::vector<E> parsed;
    parsed.reserve(names.size());
    InvalidMetricError refused{family, {}};
    for (const std::string& text : names) {
        if (auto m = metric_from_name<E>(text)) {
            parsed.push_back(*m);
        } else {
            refused.rejected.push_back(text);
        }
    }
    if (!refused.rejected.empty()) return refused;
    return parsed;
}

}  // namespace

Result<DataBiasMetricVec, InvalidMetricError> parse_data_bias_metrics(const std::vector<std::string>& names) {
    return parse_list<DataBiasMetric>(names, InvalidMetricError::Family::DataBias);
}

Result<ModelBiasMetricVec, InvalidMetricError> parse_model_bias_metrics(const std::vector<std::string>& names) {
    return parse_list<ModelBiasMetric>(names, InvalidMetricError::Family::ModelBias);
}

Result<LinearRegressionMetricVec, InvalidMetricError> parse_regression_metrics(const std::vector<std::string>& names) {
    return parse_list<LinearRegressionEvaluationMetric>(names, InvalidMetricError::Family::Regression);
}

Result<LogisticRegressionMetricVec, InvalidMetricError> parse_logistic_metrics(const std::vector<std::string>& names) {
    return parse_list<ClassificationEvaluationMetric>(names, InvalidMetricError::Family::Regression);
}

Result<ClassificationMetricVec, InvalidMetricError> parse_classification_metrics(
    const std::vector<std::string>& names) {
    ClassificationMetricVec parsed;
    parsed.reserve(names.size());
    InvalidMetricError refused{InvalidMetricError::Family::Classification, {}};
    for (const std::string& text : names) {
        const auto m = metric_from_name<ClassificationEvaluationMetric>(text);
        if (m == ClassificationEvaluationMetric::LogLoss) {
            // Binary classification has no log loss: the refusal names it alone.
            return InvalidMetricError{InvalidMetricError::Family::Classification, {std::string(text)}};
        }
        if (m) {
            parsed.push_back(*m);
        } else {
            refused.rejected.push_back(text);
        }
    }
    if (!refused.rejected.empty()) return refused;
    return parsed;
}

}  // namespace lumetra
