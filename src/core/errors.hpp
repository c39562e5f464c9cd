// The six families of error values the computing core returns. Each value has
// a fixed display text; the Python boundary alone decides which exception type
// carries it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumetra {

/// Failures of the bias analyses and of group segmentation.
enum class BiasError : std::uint8_t {
    NoFacetDeviation,  ///< "No deviation in behavior between facets"
    DataLengthError,   ///< "All data arrays must have equal length and be at least lenght 1"
    BiasConfigError,   ///< "Invalid bias configuration"
};
/// Display text of a bias error.
std::string_view message(BiasError e) noexcept;
/// Variant name of a bias error, as embedded in a performance error's text.
std::string_view variant_name(BiasError e) noexcept;

/// Failures of the drift detectors.
enum class DriftError : std::uint8_t {
    EmptyRuntimeData,          ///< "Data used for runtime drift analysis must be non empty"
    EmptyBaselineData,         ///< "Baseline data must be non empty"
    NaNValueError,             ///< "NaN values are not supported"
    UnsupportedDriftType,      ///< "Unsupported drift type"
    UnsupportedConfiguration,  ///< "Configuration not supported in current drift mode"
    TooManyBins,               ///< baseline range needs more bins than the detector allows
    InfiniteBaselineMinimum,   ///< "Baseline data must be finite: its minimum is -inf"
    InfiniteBaselineMaximum,   ///< "Baseline data must be finite: its maximum is inf"
    BaselineRangeOverflow,     ///< the baseline's maximum minus its minimum overflows a double
};
/// Display text of a drift error.
std::string_view message(DriftError e) noexcept;

/// Metric names that a family's parser refused, in input order.
struct InvalidMetricError {
    enum class Family : std::uint8_t { DataBias, ModelBias, Classification, Regression };
    Family family;
    std::vector<std::string> rejected;
};
/// "Metrics: [\"a\", \"b\"] are not supported", quotes and backslashes escaped.
std::string message(const InvalidMetricError& e);

// The bias metric enumerations (members in metrics.hpp): a missing-metric
// error carries the metric itself, so its text is the metric's own name.
enum class DataBiasMetric : std::uint8_t;
enum class ModelBiasMetric : std::uint8_t;

/// A metric of enumeration E missing from a baseline or latest record.
template <class E>
struct MissingMetric {
    E metric;
    bool operator==(const MissingMetric&) const = default;
};
/// A pre-training metric missing from a baseline or latest record.
using DataBiasRuntimeError = MissingMetric<DataBiasMetric>;
/// A post-training metric missing from a baseline or latest record.
using ModelBiasRuntimeError = MissingMetric<ModelBiasMetric>;
/// Display text: the metric name followed by " not present".
std::string message(const DataBiasRuntimeError& e);
/// Display text: the metric name followed by " not present".
std::string message(const ModelBiasRuntimeError& e);

/// Failures of the performance computations (and, carried inside, bias errors).
struct ModelPerformanceError {
    enum class Kind : std::uint8_t {
        InvalidData,               ///< "Metric cannot be computed with given data"
        EmptyDataVector,           ///< "Empty data vectors"
        DataVectorLengthMismatch,  ///< "Data vectors must be equal length"
        InvalidAnalysisReport,     ///< "Invalid analysis report"
        BiasError,                 ///< "Bias Error: " + the carried variant name
        UnsupportedType,           ///< "UnSupportedType"
        LabelOutOfRange,           ///< an UncheckedInt64 value beyond 32 bits; the boundary raises its own error
    };
    Kind kind;
    lumetra::BiasError bias = lumetra::BiasError::NoFacetDeviation;  ///< meaningful for Kind::BiasError

    ModelPerformanceError(Kind k) : kind(k) {}  // NOLINT: implicit, errors read as plain values
    /// A Kind::BiasError carrying `b`.
    static ModelPerformanceError from_bias(lumetra::BiasError b) {
        ModelPerformanceError e(Kind::BiasError);
        e.bias = b;
        return e;
    }
    bool operator==(const ModelPerformanceError&) const = default;
};
/// Display text of a performance error.
std::string message(const ModelPerformanceError& e);

/// Saved state refused (bytes that are not a state this version can hold),
/// or two objects that cannot be merged. The text names what is wrong.
struct StateError {
    std::string text;
};
/// Display text of a state error.
inline const std::string& message(const StateError& e) noexcept { return e.text; }

}  // namespace lumetra
