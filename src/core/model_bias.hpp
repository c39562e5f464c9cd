// Post-training (model) bias: how a model's predictions treat facet a (the
// group a feature selects) and facet d (everyone else) differently. One pass
// over three group masks builds per-facet counts; twelve single-precision
// metrics follow from the counts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "errors.hpp"
#include "intake.hpp"
#include "metrics.hpp"
#include "result.hpp"

namespace lumetra {

/// How a raw value is tested for membership of a group.
enum class CriterionKind : std::uint8_t { GreaterThan, GreaterThanEqualTo, LessThan, LessThanEqualTo, EqualTo };

/// A comparison with a fixed value; `meets(x)` tells whether x is in the group.
template <class T>
struct SegmentationCriterion {
    CriterionKind kind = CriterionKind::EqualTo;
    T value{};

    /// True when x compared with the stored value satisfies the kind.
    bool meets(T x) const noexcept {
        switch (kind) {
            case CriterionKind::GreaterThan: return x > value;
            case CriterionKind::GreaterThanEqualTo: return x >= value;
            case CriterionKind::LessThan: return x < value;
            case CriterionKind::LessThanEqualTo: return x <= value;
            case CriterionKind::EqualTo: return x == value;
        }
        return false;
    }
};

/// Per-facet counts of a population. Every count, the confusion cells
/// included, is an exact 64-bit integer; formulas convert to single precision
/// where they use a value, so a cell above 2^24 elements stays exact.
struct PostTraining {
    std::uint64_t true_positive_a = 0;
    std::uint64_t false_positive_a = 0;
    std::uint64_t true_negative_a = 0;
    std::uint64_t false_negative_a = 0;
    std::uint64_t true_positive_d = 0;
    std::uint64_t false_positive_d = 0;
    std::uint64_t true_negative_d = 0;
    std::uint64_t false_negative_d = 0;
    std::uint64_t len_a = 0;
    std::uint64_t label_positive_a = 0;
    std::uint64_t pred_positive_a = 0;
    std::uint64_t len_d = 0;
    std::uint64_t label_positive_d = 0;
    std::uint64_t pred_positive_d = 0;

    /// Adds one element given as its three memberships.
    void accumulate_single(bool in_facet_a, bool prediction_positive, bool label_positive) noexcept;

    /// Adds parallel columns, each tested with its criterion. DataLengthError
    /// (nothing added) when the feature column is empty or the lengths differ.
    template <class F, class P, class G, class TF, class TP, class TG>
    Result<void, BiasError> accumulate_batch(const F& feature, const SegmentationCriterion<TF>& feature_criterion,
                                             const P& prediction,
                                             const SegmentationCriterion<TP>& prediction_criterion,
                                             const G& ground_truth,
                                             const SegmentationCriterion<TG>& ground_truth_criterion) {
        const std::size_t n = feature.size();
        if (n == 0 || prediction.size() != n || ground_truth.size() != n) return BiasError::DataLengthError;
        for (std::size_t i = 0; i < n; ++i) {
            accumulate_single(feature_criterion.meets(static_cast<TF>(feature[i])),
                              prediction_criterion.meets(static_cast<TP>(prediction[i])),
                              ground_truth_criterion.meets(static_cast<TG>(ground_truth[i])));
        }
        return {};
    }

    bool operator==(const PostTraining&) const = default;
};

/// Streaming input of the generalized entropy: how many elements had each
/// benefit (0: positive truth missed, 1: positive truth found, 2: negative truth).
struct BucketGeneralizedEntropy {
    std::uint64_t benefit_0_count = 0;
    std::uint64_t benefit_1_count = 0;
    std::uint64_t benefit_2_count = 0;

    /// Counts one element by the benefit rule.
    void add(bool label_positive, bool prediction_positive) noexcept;

    /// Counts the first min(len) elements of two columns, each with its criterion.
    template <class G, class P, class TG, class TP>
    void accumulate(const G& ground_truth, const SegmentationCriterion<TG>& ground_truth_criterion,
                    const P& prediction, const SegmentationCriterion<TP>& prediction_criterion) {
        const std::size_t n = ground_truth.size() < prediction.size() ? ground_truth.size() : prediction.size();
        for (std::size_t i = 0; i < n; ++i) {
            add(ground_truth_criterion.meets(static_cast<TG>(ground_truth[i])),
                prediction_criterion.meets(static_cast<TP>(prediction[i])));
        }
    }

    /// Number of elements counted.
    std::uint64_t total() const noexcept { return benefit_0_count + benefit_1_count + benefit_2_count; }

    /// n * n / (S1 * S1) * S2 - n in single precision, from exact integer moments.
    float generalized_entropy() const noexcept;

    bool operator==(const BucketGeneralizedEntropy&) const = default;
};

/// Counts of one batch plus the generalized entropy of its benefits.
struct DiscretePostTraining {
    PostTraining counts;
    float generalized_entropy = 0.0f;

    /// Masks to counts and generalized entropy; DataLengthError when the
    /// feature mask is empty or the lengths differ.
    static Result<DiscretePostTraining, BiasError> from_masks(const GroupMask& feature, const GroupMask& prediction,
                                                              const GroupMask& ground_truth);
};

/// Generalized entropy of a batch: sum of ((b_i / mu)^2 - 1) with the benefits
/// b_i added in element order in single precision (masks of equal length).
float batch_generalized_entropy(const GroupMask& prediction, const GroupMask& ground_truth);

/// acc plus terms[b_i] over the elements' benefits, with the result of one
/// single-precision addition per element in element order.
float ordered_benefit_sum(float acc, const float (&terms)[3], const GroupMask& prediction,
                          const GroupMask& ground_truth) noexcept;

/// Which guard of the post-training formulas a record fails, if any.
enum class PostTrainingGuard : std::uint8_t {
    Pass,        ///< every metric is defined
    EmptyFacet,  ///< facet a or facet d has no element
    Undefined,   ///< a ratio has a zero denominator (no deviation between facets)
};
/// Runs the guards in their fixed order on a record.
PostTrainingGuard check_post_training(const PostTraining& c) noexcept;

/// The conditional demographic disparity of the predicted labels.
float cond_dem_desp_in_pred_labels(const PostTraining& c) noexcept;

/// The twelve metric values in enum order; only meaningful when the guards pass.
std::array<float, metric_count<ModelBiasMetric>> post_training_values(const PostTraining& c,
                                                                     float generalized_entropy) noexcept;

/// The twelve post-training metrics: DataLengthError for an empty facet,
/// NoFacetDeviation when a ratio is undefined; all or nothing.
Result<MetricMap<ModelBiasMetric>, BiasError> post_training_bias(const DiscretePostTraining& record);

/// Masks to metrics: the batch analysis behind the Python analyzers.
Result<MetricMap<ModelBiasMetric>, BiasError> model_bias_analysis_core(const GroupMask& feature,
                                                                      const GroupMask& prediction,
                                                                      const GroupMask& ground_truth);

}  // namespace lumetra
