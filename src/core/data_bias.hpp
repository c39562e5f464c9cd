// Pre-training (data) bias: how the positive outcome is spread over facet a
// (the group a feature selects) and facet d (everyone else).
#pragma once

#include <cstdint>

#include "core/errors.hpp"
#include "core/intake.hpp"
#include "core/metrics.hpp"
#include "core/result.hpp"
#include "core/segment.hpp"

namespace lumetra {

/// Outcome counts of the two facets.
struct FacetCounts {
    std::uint64_t label_positive_a = 0;
    std::uint64_t len_a = 0;
    std::uint64_t label_positive_d = 0;
    std::uint64_t len_d = 0;

    /// Counts one element given its facet and its outcome.
    void add(bool in_facet_a, bool label_positive) noexcept {
        // Each counter chosen by index, without a branch: a streamed pair's
        // facet is as random as the data, and a mispredicted branch costs
        // more than the two additions.
        using Counter = std::uint64_t FacetCounts::*;
        static constexpr Counter kLen[2] = {&FacetCounts::len_a, &FacetCounts::len_d};
        static constexpr Counter kLabelPositive[2] = {&FacetCounts::label_positive_a, &FacetCounts::label_positive_d};
        const unsigned d = in_facet_a ? 0u : 1u;
        this->*kLen[d] += 1;
        this->*kLabelPositive[d] += label_positive;
    }
};

/// Counts facets and positive outcomes from a feature mask and an outcome mask.
FacetCounts count_facets(const GroupMask& feature, const GroupMask& truth);
/// The same from the codes of a feature and an outcome column of equal
/// length, counted in one pass that builds no mask.
FacetCounts count_facets(GroupCodes& feature, GroupCodes& truth);

/// The seven pre-training metrics in single precision of counts whose facets
/// both have members (an empty facet divides by zero).
MetricMap<DataBiasMetric> pre_training_values(const FacetCounts& counts);
/// The seven pre-training metrics; EmptyDataVector when a facet is empty.
Result<MetricMap<DataBiasMetric>, ModelPerformanceError> pre_training_bias(const FacetCounts& counts);

/// Facet counts to metrics; an empty facet (or empty input) is NoFacetDeviation.
Result<MetricMap<DataBiasMetric>, BiasError> data_bias_from_counts(const FacetCounts& counts);

/// Masks to metrics. Masks of different lengths are DataLengthError; an empty
/// facet (or empty input) is NoFacetDeviation.
Result<MetricMap<DataBiasMetric>, BiasError> data_bias_analysis_core(const GroupMask& feature,
                                                                    const GroupMask& truth);

}  // namespace lumetra
