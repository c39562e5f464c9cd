// Post-training (model) bias: how a model's predictions treat facet a (the
// group a feature selects) and facet d (everyone else) differently. One pass
// over three group masks builds per-facet counts; twelve single-precision
// metrics follow from the counts.
#pragma once

#include <array>
#include <string_view>
#include <cstddef>
#include <cstdint>

#include "core/errors.hpp"
#include "core/intake.hpp"
#include "core/metrics.hpp"
#include "core/result.hpp"
#include "core/segment.hpp"

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

/// Calls f with a predicate equivalent to the criterion. "Equal to" gets a
/// predicate of its own, so counting loops over it carry no branch and vectorise.
template <class T, class F>
decltype(auto) with_predicate(const SegmentationCriterion<T>& c, F&& f) {
    if (c.kind == CriterionKind::EqualTo) return f([v = c.value](T x) noexcept { return x == v; });
    return f([c](T x) noexcept { return c.meets(x); });
}

/// Integer sums that fully describe a batch of three memberships (facet a,
/// positive truth, positive prediction): the eight confusion cells and the
/// benefit counts follow from them.
struct MembershipSums {
    std::uint64_t n = 0;
    std::uint64_t f = 0, g = 0, p = 0;  // facet a, positive truth, positive prediction
    std::uint64_t fg = 0, fp = 0, gp = 0, fgp = 0;
};

/// The membership sums of n elements of three columns, each tested by its
/// predicate. Branch-free, in blocks short enough for 32-bit lane counters.
template <class F, class P, class G, class InA, class PredPos, class TruthPos>
MembershipSums sum_memberships(std::size_t n, const F& feature, InA in_a, const P& prediction, PredPos pred_pos,
                               const G& truth, TruthPos truth_pos) {
    MembershipSums s;
    s.n = n;
    constexpr std::size_t kBlock = 1u << 20;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t end = n < start + kBlock ? n : start + kBlock;
        std::uint32_t cf = 0, cg = 0, cp = 0, cfg = 0, cfp = 0, cgp = 0, cfgp = 0;
        for (std::size_t i = start; i < end; ++i) {
            const std::uint32_t a = in_a(feature[i]);
            const std::uint32_t p = pred_pos(prediction[i]);
            const std::uint32_t g = truth_pos(truth[i]);
            cf += a;
            cg += g;
            cp += p;
            cfg += a & g;
            cfp += a & p;
            cgp += g & p;
            cfgp += a & g & p;
        }
        s.f += cf;
        s.g += cg;
        s.p += cp;
        s.fg += cfg;
        s.fp += cfp;
        s.gp += cgp;
        s.fgp += cfgp;
    }
    return s;
}

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

    /// Adds a batch given by its membership sums.
    void add_sums(const MembershipSums& s) noexcept {
        len_a += s.f;
        label_positive_a += s.fg;
        pred_positive_a += s.fp;
        true_positive_a += s.fgp;
        false_negative_a += s.fg - s.fgp;
        false_positive_a += s.fp - s.fgp;
        true_negative_a += s.f - s.fg - s.fp + s.fgp;
        const std::uint64_t len = s.n - s.f, label_positive = s.g - s.fg, pred_positive = s.p - s.fp;
        const std::uint64_t true_positive = s.gp - s.fgp;
        len_d += len;
        label_positive_d += label_positive;
        pred_positive_d += pred_positive;
        true_positive_d += true_positive;
        false_negative_d += label_positive - true_positive;
        false_positive_d += pred_positive - true_positive;
        true_negative_d += len - label_positive - pred_positive + true_positive;
    }

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
        // Same counts as accumulate_single on every element, summed branch-free.
        with_predicate(feature_criterion, [&](auto in_a) {
            with_predicate(prediction_criterion, [&](auto pred_pos) {
                with_predicate(ground_truth_criterion, [&](auto truth_pos) {
                    add_sums(sum_memberships(
                        n, feature, [&](auto x) { return in_a(static_cast<TF>(x)); }, prediction,
                        [&](auto x) { return pred_pos(static_cast<TP>(x)); }, ground_truth,
                        [&](auto x) { return truth_pos(static_cast<TG>(x)); }));
                });
            });
        });
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
        // The benefit rule over a batch, counted branch-free: every negative
        // truth is benefit 2, a found positive 1, a missed positive 0.
        std::uint64_t positive = 0, found = 0;
        with_predicate(ground_truth_criterion, [&](auto truth_pos) {
            with_predicate(prediction_criterion, [&](auto pred_pos) {
                // Locals of the loop's own (see StreamingDataBias::count_into).
                const std::size_t len = n;
                std::uint64_t g_sum = 0, gp_sum = 0;
                for (std::size_t i = 0; i < len; ++i) {
                    const std::uint64_t g = truth_pos(static_cast<TG>(ground_truth[i]));
                    const std::uint64_t p = pred_pos(static_cast<TP>(prediction[i]));
                    g_sum += g;
                    gp_sum += g & p;
                }
                positive = g_sum;
                found = gp_sum;
            });
        });
        benefit_2_count += n - positive;
        benefit_1_count += found;
        benefit_0_count += positive - found;
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
    /// The same from a batch's membership sums and its prediction and truth
    /// masks (which the generalized entropy reads).
    static Result<DiscretePostTraining, BiasError> from_sums(const MembershipSums& sums, const GroupMask& prediction,
                                                             const GroupMask& ground_truth);
};

/// Generalized entropy of a batch: sum of ((b_i / mu)^2 - 1) with the benefits
/// b_i added in element order in single precision (masks of equal length).
float batch_generalized_entropy(const GroupMask& prediction, const GroupMask& ground_truth);

/// The term (b / mu)^2 - 1 of each benefit b = 0, 1, 2 of the generalized
/// entropy of n elements whose benefits add up to s (mu = s / n), in single
/// precision as the batch computes them.
void generalized_entropy_terms(float s, std::size_t n, float (&terms)[3]) noexcept;

/// acc plus count[b] terms terms[b] for each benefit b = 0, 1, 2, with the
/// result of single-precision additions one by one in any order, when that
/// result does not depend on the order (every partial sum stays inside the
/// binade of acc, where each addition rounds its term to the same multiple
/// of the binade's unit); false, leaving acc alone, when that cannot be shown.
bool add_benefit_block(float& acc, const float* terms, const std::int64_t (&count)[3]) noexcept;

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

/// Each metric of a record on its own: its value where its formula is
/// defined, the engine's bits wherever the guards pass; NaN and the reason
/// (a static text) where one of its own denominators is zero.
struct EachPostTraining {
    std::array<float, metric_count<ModelBiasMetric>> values{};
    std::array<std::string_view, metric_count<ModelBiasMetric>> undefined{};  ///< empty: the metric has a value
};
/// Every metric that the counts define, for a record whose facets both have
/// elements (the guards may fail): one zero denominator no longer takes the
/// other metrics with it.
EachPostTraining post_training_each(const PostTraining& c, float generalized_entropy) noexcept;

/// The twelve post-training metrics: DataLengthError for an empty facet,
/// NoFacetDeviation when a ratio is undefined; all or nothing.
Result<MetricMap<ModelBiasMetric>, BiasError> post_training_bias(const DiscretePostTraining& record);

/// The twelve metrics from the codes of three columns, counted in one pass
/// that builds no mask (the generalized entropy may write the codes of a few
/// blocks of truth and prediction again). DataLengthError when the feature is
/// empty or the lengths differ; otherwise as model_bias_analysis_core.
Result<MetricMap<ModelBiasMetric>, BiasError> model_bias_from_codes(GroupCodes& feature, GroupCodes& prediction,
                                                                   GroupCodes& ground_truth);

/// Masks to metrics: the batch analysis behind the Python analyzers.
Result<MetricMap<ModelBiasMetric>, BiasError> model_bias_analysis_core(const GroupMask& feature,
                                                                      const GroupMask& prediction,
                                                                      const GroupMask& ground_truth);

}  // namespace lumetra
