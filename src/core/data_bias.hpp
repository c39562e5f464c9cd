// Pre-training (data) bias: how the positive outcome is spread over facet a
// (the group a feature selects) and facet d (everyone else).
#pragma once

#include <cstdint>

#include "core/errors.hpp"
#include "core/intake.hpp"
#include "core/metrics.hpp"
#include "core/result.hpp"

namespace lumetra {

/// Outcome counts of the two facets.
struct FacetCounts {
    std::uint64_t label_positive_a = 0;
    std::uint64_t len_a = 0;
    std::uint64_t label_positive_d = 0;
    std::uint64_t len_d = 0;

    /// Counts one element given its facet and its outcome.
    void add(bool in_facet_a, bool label_positive) noexcept {
        if (in_facet_a) {
            len_a += 1;
            label_positive_a += label_positive;
        } else {
            len_d += 1;
            label_positive_d += label_positive;
        }
    }
};

/// Counts facets and positive outcomes from a feature mask and an outcome mask.
FacetCounts count_facets(const GroupMask& feature, const GroupMask& truth);

/// The seven pre-training metrics in single precision of counts whose facets
/// both have members (an empty facet divides by zero).
MetricMap<DataBiasMetric> pre_training_values(const FacetCounts& counts);
/// The seven pre-training metrics; EmptyDataVector when a facet is empty.
Result<MetricMap<DataBiasMetric>, ModelPerformanceError> pre_training_bias(const FacetCounts& counts);

/// Segments a numeric feature column against v (as label_numeric does) and
/// counts it against an outcome mask of the same length in the same pass,
/// without building the feature's mask.
template <class Value, class Src>
FacetCounts count_facets_segmented(const Src& feature, Value v, const GroupMask& truth) {
    // Both candidate groupings are counted; the segmentation's mode picks one.
    std::uint64_t equal = 0, at_least = 0, positive_equal = 0, positive_at_least = 0, positive = 0;
    const std::uint8_t* t = truth.data();
    const unsigned shift = segment_numeric<Value>(feature, v, [&](std::size_t begin, std::size_t end, const std::uint8_t* codes, bool) {
        std::uint64_t eq = 0, ge = 0, pos_eq = 0, pos_ge = 0, pos = 0;
        for (std::size_t j = begin; j < end; ++j) {
            const std::uint64_t c = codes[j - begin];
            const std::uint64_t o = t[j];
            eq += c & 1u;
            ge += c >> 1;
            pos_eq += c & o;
            pos_ge += (c >> 1) & o;
            pos += o;
        }
        equal += eq;
        at_least += ge;
        positive_equal += pos_eq;
        positive_at_least += pos_ge;
        positive += pos;
    });
    FacetCounts c;
    c.len_a = shift != 0 ? at_least : equal;
    c.label_positive_a = shift != 0 ? positive_at_least : positive_equal;
    c.len_d = feature.size() - c.len_a;
    c.label_positive_d = positive - c.label_positive_a;
    return c;
}

/// Facet counts to metrics; an empty facet (or empty input) is NoFacetDeviation.
Result<MetricMap<DataBiasMetric>, BiasError> data_bias_from_counts(const FacetCounts& counts);

/// Masks to metrics. Masks of different lengths are DataLengthError; an empty
/// facet (or empty input) is NoFacetDeviation.
Result<MetricMap<DataBiasMetric>, BiasError> data_bias_analysis_core(const GroupMask& feature,
                                                                    const GroupMask& truth);

}  // namespace lumetra
