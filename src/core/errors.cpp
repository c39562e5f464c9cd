#include "core/errors.hpp"

#include "core/metrics.hpp"

namespace lumetra {

namespace {

// Each bias error's variant name and display text, in declaration order.
struct BiasErrorText {
    std::string_view variant, message;
};
constexpr BiasErrorText kBiasErrors[] = {
    {"NoFacetDeviation", "No deviation in behavior between facets"},
    {"DataLengthError", "All data arrays must have equal length and be at least lenght 1"},
    {"BiasConfigError", "Invalid bias configuration"},
};

}  // namespace

std::string_view message(BiasError e) noexcept { return kBiasErrors[static_cast<std::size_t>(e)].message; }

std::string_view variant_name(BiasError e) noexcept { return kBiasErrors[static_cast<std::size_t>(e)].variant; }

std::string_view message(DriftError e) noexcept {
    switch (e) {
        case DriftError::EmptyRuntimeData: return "Data used for runtime drift analysis must be non empty";
        case DriftError::EmptyBaselineData: return "Baseline data must be non empty";
        case DriftError::NaNValueError: return "NaN values are not supported";
        case DriftError::UnsupportedDriftType: return "Unsupported drift type";
        case DriftError::UnsupportedConfiguration: return "Configuration not supported in current drift mode";
        case DriftError::TooManyBins:
            return "The baseline's range needs too many histogram bins (at most 16777216 are allowed)";
        case DriftError::InfiniteBaselineMinimum: return "Baseline data must be finite: its minimum is -inf";
        case DriftError::InfiniteBaselineMaximum: return "Baseline data must be finite: its maximum is inf";
        case DriftError::BaselineRangeOverflow:
            return "Baseline data is too spread: its maximum minus its minimum overflows a double";
    }
    return "Unsupported drift type";
}

std::string message(const InvalidMetricError& e) {
    std::string out = "Metrics: [";
    bool first = true;
    for (const std::string& name : e.rejected) {
        if (!first) out += ", ";
        first = false;
        out += '"';
        for (char c : name) {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        out += '"';
    }
    out += "] are not supported";
    return out;
}

std::string message(const DataBiasRuntimeError& e) { return std::string(metric_name(e.metric)) + " not present"; }

std::string message(const ModelBiasRuntimeError& e) { return std::string(metric_name(e.metric)) + " not present"; }

std::string message(const ModelPerformanceError& e) {
    using K = ModelPerformanceError::Kind;
    switch (e.kind) {
        case K::InvalidData: return "Metric cannot be computed with given data";
        case K::EmptyDataVector: return "Empty data vectors";
        case K::DataVectorLengthMismatch: return "Data vectors must be equal length";
        case K::InvalidAnalysisReport: return "Invalid analysis report";
        case K::BiasError: return "Bias Error: " + std::string(variant_name(e.bias));
        case K::UnsupportedType: return "UnSupportedType";
        case K::LabelOutOfRange: return "label out of the 32-bit range";
    }
    return "Invalid analysis report";
}

}  // namespace lumetra
