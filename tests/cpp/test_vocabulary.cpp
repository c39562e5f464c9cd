#include <doctest/doctest.h>

#include <cmath>

#include "core/errors.hpp"
#include "core/metrics.hpp"
#include "core/result.hpp"
#include "core/settings.hpp"

using namespace lumetra;

TEST_CASE("setting texts parse whole, without trimming") {
    CHECK(parse_setting_f64("1e-6") == 1e-6);
    CHECK(parse_setting_f64("+2.5") == 2.5);
    CHECK(parse_setting_f64("-0.25") == -0.25);
    CHECK(std::isinf(*parse_setting_f64("INFINITY")));
    CHECK(std::isinf(*parse_setting_f64("-inf")));
    CHECK(std::isnan(*parse_setting_f64("NaN")));
    for (const char* bad : {"", " 1e-6", "1e-6 ", "abc", "1e", "+-1", "++1", "nan(1)", "0x10", "1,5"}) {
        CAPTURE(bad);
        CHECK_FALSE(parse_setting_f64(bad).has_value());
    }
    CHECK(parse_setting_f32("0.2") == 0.2f);
    CHECK(std::isinf(*parse_setting_f32("1e39")));
}

TEST_CASE("binary classification lists refuse LogLoss alone") {
    auto r = parse_classification_metrics({"Made", "LogLoss", "Up"});
    REQUIRE_FALSE(r.ok());
    CHECK(message(r.error()) == "Metrics: [\"LogLoss\"] are not supported");
    auto l = parse_logistic_metrics({"Accuracy", "LogLoss"});
    REQUIRE(l.ok());
    CHECK(l.value() == LogisticRegressionMetricVec{ClassificationEvaluationMetric::Accuracy,
                                                   ClassificationEvaluationMetric::LogLoss});
}

TEST_CASE("refused names are escaped in the message") {
    auto r = parse_data_bias_metrics({"a\"b", "c\\d", "LpNorm"});
    REQUIRE_FALSE(r.ok());
    CHECK(message(r.error()) == "Metrics: [\"a\\\"b\", \"c\\\\d\"] are not supported");
}

TEST_CASE("a result without a value keeps every error it is given") {
    using Kind = ModelPerformanceError::Kind;
    CHECK(Result<void, ModelPerformanceError>().ok());
    for (const Kind k : {Kind::InvalidData, Kind::EmptyDataVector, Kind::DataVectorLengthMismatch,
                         Kind::InvalidAnalysisReport, Kind::UnsupportedType, Kind::LabelOutOfRange}) {
        const Result<void, ModelPerformanceError> r = ModelPerformanceError(k);
        REQUIRE_FALSE(r.ok());
        CHECK(r.error().kind == k);
    }
    for (const BiasError b : {BiasError::NoFacetDeviation, BiasError::DataLengthError, BiasError::BiasConfigError}) {
        const Result<void, ModelPerformanceError> r = ModelPerformanceError::from_bias(b);
        REQUIRE_FALSE(r.ok());
        CHECK(r.error().kind == Kind::BiasError);
        CHECK(r.error().bias == b);
    }
    // The first enumerator is all zero bytes, and still an error.
    const Result<void, BiasError> first = BiasError::NoFacetDeviation;
    REQUIRE_FALSE(first.ok());
    CHECK(first.error() == BiasError::NoFacetDeviation);
}
