#include "errors.hpp"

#include <array>

namespace lumetra {

std::string_view message(BiasError e) noexcept {
    switch (e) {
        case BiasError::NoFacetDeviation: return "No deviation in behavior between facets";
        case BiasError::NoSegmentationParameters: return "No segmentation parameters provided";
        case BiasError::AmbiguousSegmentationParameters: return "Ambiguous segmentation parameters";
        case BiasError::DataLengthError:
            return "All data arrays must have equal length and be at least lenght 1";
        case BiasError::BiasConfigError: return "Invalid bias configuration";
    }
    return "Invalid bias configuration";
}

std::string_view variant_name(BiasError e) noexcept {
    switch (e) {
        case BiasError::NoFacetDeviation: return "NoFacetDeviation";
        case BiasError::NoSegmentationParameters: return "NoSegmentationParameters";
        case BiasError::AmbiguousSegmentationParameters: return "AmbiguousSegmentationParameters";
        case BiasError::DataLengthError: return "DataLengthError";
        case BiasError::BiasConfigError: return "BiasConfigError";
    }
    return "BiasConfigError";
}

std::string_view message(DriftError e) noexcept {
    switch (e) {
        case DriftError::EmptyRuntimeData: return "Data used for runtime drift analysis must be non empty";
        case DriftError::MalformedTimestamp: return "Unable to convert internal timestamp into DateTime object";
        case DriftError::MalformedRuntimeBins: return "Internal runtime bins are malformed";
        case DriftError::EmptyBaselineData: return "Baseline data must be non empty";
        case DriftError::NaNValueError: return "NaN values are not supported";
        case DriftError::UnsupportedDriftType: return "Unsupported drift type";
        case DriftError::UnsupportedOperation: return "Operation not supported in current drift mode";
        case DriftError::UnsupportedConfiguration: return "Configuration not supported in current drift mode";
        case DriftError::TooManyBins:
            return "The baseline's range needs too many histogram bins (at most 16777216 are allowed)";
    }
    return "Internal runtime bins are malformed";
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

namespace {
constexpr std::array<std::string_view, 7> kDataBiasRuntimeNames = {
    "ClassImbalance", "DifferenceInProportionOfLabels", "KlDivergence", "JsDivergence",
    "TotalVariationDistance", "KolmogorovSmirnov", "LpNorm"};
constexpr std::array<std::string_view, 12> kModelBiasRuntimeNames = {
    "DifferenceInPositivePredictedLabels", "DisparateImpact", "AccuracyDifference",
    "RecallDifference", "DifferenceInConditionalAcceptance", "DifferenceInAcceptanceRate",
    "SpecialityDifference", "DifferenceInConditionalRejection", "TreatmentEquity",
    "ConditionalDemographicDesparityPredictedLabels", "DifferenceInRejectionRate",
    "GeneralizedEntropy"};
}  // namespace

std::string message(DataBiasRuntimeError e) {
    return std::string(kDataBiasRuntimeNames.at(static_cast<std::size_t>(e))) + " not present";
}

std::string message(ModelBiasRuntimeError e) {
    return std::string(kModelBiasRuntimeNames.at(static_cast<std::size_t>(e))) + " not present";
}

std::string message(const ModelPerformanceError& e) {
    using K = ModelPerformanceError::Kind;
    switch (e.kind) {
        case K::InvalidData: return "Metric cannot be computed with given data";
        case K::EmptyDataVector: return "Empty data vectors";
        case K::DataVectorLengthMismatch: return "Data vectors must be equal length";
        case K::InvalidAnalysisReport: return "Invalid analysis report";
        case K::BiasError: return "Bias Error: " + std::string(variant_name(e.bias));
        case K::DataVectorTypeMismatch: return "Data Vector type mistmatch";
        case K::UnsupportedType: return "UnSupportedType";
    }
    return "Invalid analysis report";
}

}  // namespace lumetra
