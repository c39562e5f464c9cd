#include "model_bias.hpp"

#include <algorithm>

namespace lumetra {

namespace {

inline float f(std::uint64_t v) noexcept { return static_cast<float>(v); }

// Integer sums that fully describe a batch of three 0/1 columns; the eight
// confusion cells and both bucket forms follow from them.
struct MaskSums {
    std::uint64_t n = 0;
    std::uint64_t f = 0, g = 0, p = 0;   // facet a, positive truth, positive prediction
    std::uint64_t fg = 0, fp = 0, gp = 0, fgp = 0;
};

MaskSums sum_masks(const GroupMask& feature, const GroupMask& prediction, const GroupMask& truth) {
    MaskSums s;
    s.n = feature.size();
    const std::uint8_t* fm = feature.data();
    const std::uint8_t* pm = prediction.data();
    const std::uint8_t* gm = truth.data();
    // Blocks short enough for 32-bit lane counters keep the loop vectorisable.
    constexpr std::size_t kBlock = 1u << 20;
    for (std::size_t start = 0; start < s.n; start += kBlock) {
        const std::size_t end = std::min(s.n, start + kBlock);
        std::uint32_t cf = 0, cg = 0, cp = 0, cfg = 0, cfp = 0, cgp = 0, cfgp = 0;
        for (std::size_t i = start; i < end; ++i) {
            // Only an entry of exactly 1 is in the group.
            const std::uint32_t a = fm[i] == 1;
            const std::uint32_t p = pm[i] == 1;
            const std::uint32_t g = gm[i] == 1;
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

// Benefit of an element by its (truth, prediction) pair, indexed g * 2 + p.
constexpr std::uint8_t kBenefit[4] = {2, 2, 0, 1};

}  // namespace

void PostTraining::accumulate_single(bool in_facet_a, bool prediction_positive, bool label_positive) noexcept {
    if (in_facet_a) {
        len_a += 1;
        label_positive_a += label_positive;
        pred_positive_a += prediction_positive;
        if (label_positive) {
            (prediction_positive ? true_positive_a : false_negative_a) += 1;
        } else {
            (prediction_positive ? false_positive_a : true_negative_a) += 1;
        }
    } else {
        len_d += 1;
        label_positive_d += label_positive;
        pred_positive_d += prediction_positive;
        if (label_positive) {
            (prediction_positive ? true_positive_d : false_negative_d) += 1;
        } else {
            (prediction_positive ? false_positive_d : true_negative_d) += 1;
        }
    }
}

void BucketGeneralizedEntropy::add(bool label_positive, bool prediction_positive) noexcept {
    if (!label_positive) {
        benefit_2_count += 1;
    } else if (prediction_positive) {
        benefit_1_count += 1;
    } else {
        benefit_0_count += 1;
    }
}

float BucketGeneralizedEntropy::generalized_entropy() const noexcept {
    // With mu = S1 / n, sum((b / mu)^2) - n = n^2 / S1^2 * S2 - n, where S1
    // and S2 are the first and second moments of the benefits.
    const std::uint64_t n = total();
    const std::uint64_t s1 = benefit_1_count + 2 * benefit_2_count;
    const std::uint64_t s2 = benefit_1_count + 4 * benefit_2_count;
    const float nf = f(n);
    const float s1f = f(s1);
    const float s2f = f(s2);
    const float nn = nf * nf;
    const float ss = s1f * s1f;
    return nn / ss * s2f - nf;
}

float batch_generalized_entropy(const GroupMask& prediction, const GroupMask& ground_truth) {
    const std::size_t n = std::min(prediction.size(), ground_truth.size());
    const std::uint8_t* pm = prediction.data();
    const std::uint8_t* gm = ground_truth.data();
    auto benefit = [&](std::size_t i) -> std::uint8_t {
        return kBenefit[((gm[i] == 1) << 1) | (pm[i] == 1)];
    };

    // s = sum of the benefits added one by one in single precision. While the
    // running total stays at or below 2^24 every partial sum is an exact
    // integer, so whole blocks are summed as integers and only the tail past
    // that point is added float by float, in order.
    constexpr std::uint64_t kExact = std::uint64_t{1} << 24;
    constexpr std::size_t kBlock = 4096;
    std::uint64_t exact = 0;
    std::size_t i = 0;
    while (i < n) {
        const std::size_t end = std::min(n, i + kBlock);
        std::uint32_t block = 0;
        for (std::size_t j = i; j < end; ++j) block += benefit(j);
        if (exact + block > kExact) break;
        exact += block;
        i = end;
    }
    float s = static_cast<float>(exact);
    for (; i < n; ++i) s += static_cast<float>(benefit(i));

    const float mu = s / static_cast<float>(n);
    const float k = 1.0f / mu;
    float terms[3];
    for (int b = 0; b < 3; ++b) {
        const float kb = k * static_cast<float>(b);
        const float sq = kb * kb;
        terms[b] = sq - 1.0f;
    }
    // The terms take three values only, but their running sum rounds at every
    // step, so it is added in element order.
    float ge = 0.0f;
    for (std::size_t j = 0; j < n; ++j) ge += terms[benefit(j)];
    return ge;
}

Result<DiscretePostTraining, BiasError> DiscretePostTraining::from_masks(const GroupMask& feature,
                                                                        const GroupMask& prediction,
                                                                        const GroupMask& ground_truth) {
    const std::size_t n = feature.size();
    if (n == 0 || prediction.size() != n || ground_truth.size() != n) return BiasError::DataLengthError;
    const MaskSums s = sum_masks(feature, prediction, ground_truth);

    DiscretePostTraining out;
    PostTraining& c = out.counts;
    c.len_a = s.f;
    c.label_positive_a = s.fg;
    c.pred_positive_a = s.fp;
    c.true_positive_a = s.fgp;
    c.false_negative_a = s.fg - s.fgp;
    c.false_positive_a = s.fp - s.fgp;
    c.true_negative_a = s.f - s.fg - s.fp + s.fgp;
    c.len_d = s.n - s.f;
    c.label_positive_d = s.g - s.fg;
    c.pred_positive_d = s.p - s.fp;
    c.true_positive_d = s.gp - s.fgp;
    c.false_negative_d = c.label_positive_d - c.true_positive_d;
    c.false_positive_d = c.pred_positive_d - c.true_positive_d;
    c.true_negative_d = c.len_d - c.label_positive_d - c.pred_positive_d + c.true_positive_d;
    out.generalized_entropy = batch_generalized_entropy(prediction, ground_truth);
    return out;
}

PostTrainingGuard check_post_training(const PostTraining& c) noexcept {
    if (c.len_a == 0 || c.len_d == 0) return PostTrainingGuard::EmptyFacet;
    const float na = f(c.len_a), nd = f(c.len_d);
    const float pa = f(c.pred_positive_a), pd = f(c.pred_positive_d);
    // Facet d never predicted positive: disparate impact has no denominator.
    if (pd / nd == 0.0f) return PostTrainingGuard::Undefined;
    // A facet without positive ground truth: no conditional acceptance.
    if (c.label_positive_a == 0 || c.label_positive_d == 0) return PostTrainingGuard::Undefined;
    // A facet predicted positive throughout: no conditional rejection.
    if (nd - pd == 0.0f || na - pa == 0.0f) return PostTrainingGuard::Undefined;
    // A facet without predicted negatives: no rejection rate.
    if (f(c.true_negative_d) + f(c.false_negative_d) == 0.0f ||
        f(c.true_negative_a) + f(c.false_negative_a) == 0.0f) {
        return PostTrainingGuard::Undefined;
    }
    // A facet without false positives: no treatment equity.
    if (c.false_positive_a == 0 || c.false_positive_d == 0) return PostTrainingGuard::Undefined;
    return PostTrainingGuard::Pass;
}

// Conditional demographic disparity of the predicted labels. A facet g is at a
// disadvantage when it holds a larger share of the rejections (predicted
// negatives) than of the acceptances (predicted positives):
//     D_g = rejected_g / rejected_total - accepted_g / accepted_total.
// The two facets' disparities are averaged weighted by facet size:
//     CDD = (D_d * n_d + D_a * n_a) / N.
// Rejections per facet and all totals are exact 64-bit counts, converted to
// single precision once; the arithmetic that follows is single precision.
float cond_dem_desp_in_pred_labels(const PostTraining& c) noexcept {
    const std::uint64_t total = c.len_a + c.len_d;
    const std::uint64_t accepted = c.pred_positive_a + c.pred_positive_d;
    const float na = f(c.len_a), nd = f(c.len_d), n = f(total);
    const float pa = f(c.pred_positive_a), pd = f(c.pred_positive_d);
    const float rejected_a = f(c.len_a - c.pred_positive_a);
    const float rejected_d = f(c.len_d - c.pred_positive_d);
    const float rejected_total = f(total - accepted);
    const float accepted_total = f(accepted);
    const float da = rejected_a / rejected_total - pa / accepted_total;
    const float dd = rejected_d / rejected_total - pd / accepted_total;
    const float wd = dd * nd;
    const float wa = da * na;
    return (wd + wa) / n;
}

std::array<float, metric_count<ModelBiasMetric>> post_training_values(const PostTraining& c,
                                                                     float generalized_entropy) noexcept {
    using M = ModelBiasMetric;
    std::array<float, metric_count<ModelBiasMetric>> v{};
    auto at = [&v](M m) -> float& { return v[static_cast<std::size_t>(m)]; };

    const float na = f(c.len_a), nd = f(c.len_d);
    const float pa = f(c.pred_positive_a), pd = f(c.pred_positive_d);
    const float la = f(c.label_positive_a), ld = f(c.label_positive_d);
    const float tpa = f(c.true_positive_a), fpa = f(c.false_positive_a);
    const float tna = f(c.true_negative_a), fna = f(c.false_negative_a);
    const float tpd = f(c.true_positive_d), fpd = f(c.false_positive_d);
    const float tnd = f(c.true_negative_d), fnd = f(c.false_negative_d);

    // Differences are facet a minus facet d except for the three rejection
    // style metrics (conditional rejection, rejection rate, treatment equity),
    // which are facet d minus facet a.
    const float rate_a = pa / na;
    const float rate_d = pd / nd;
    at(M::DifferenceInPositivePredictedLabels) = rate_a - rate_d;
    at(M::DisparateImpact) = rate_a / rate_d;
    at(M::AccuracyDifference) = (tpa + tna) / (tna + ((tpa + fpa) + fna)) - (tpd + tnd) / (tnd + ((tpd + fpd) + fnd));
    at(M::RecallDifference) = tpa / (tpa + fna) - tpd / (tpd + fnd);
    at(M::DifferenceInConditionalAcceptance) = pa / la - pd / ld;
    at(M::DifferenceInAcceptanceRate) = tpa / (tpa + fpa) - tpd / (tpd + fpd);
    at(M::SpecialityDifference) = tna / (tna + fpa) - tnd / (tnd + fpd);
    at(M::DifferenceInConditionalRejection) = (nd - ld) / (nd - pd) - (na - la) / (na - pa);
    at(M::DifferenceInRejectionRate) = tnd / (tnd + fnd) - tna / (tna + fna);
    at(M::TreatmentEquity) = fnd / fpd - fna / fpa;
    at(M::ConditionalDemographicDesparityPredictedLabels) = cond_dem_desp_in_pred_labels(c);
    at(M::GeneralizedEntropy) = generalized_entropy;
    return v;
}

Result<MetricMap<ModelBiasMetric>, BiasError> post_training_bias(const DiscretePostTraining& record) {
    switch (check_post_training(record.counts)) {
        case PostTrainingGuard::EmptyFacet: return BiasError::DataLengthError;
        case PostTrainingGuard::Undefined: return BiasError::NoFacetDeviation;
        case PostTrainingGuard::Pass: break;
    }
    const auto values = post_training_values(record.counts, record.generalized_entropy);
    MetricMap<ModelBiasMetric> out;
    for (std::size_t i = 0; i < values.size(); ++i) out.insert(static_cast<ModelBiasMetric>(i), values[i]);
    return out;
}

Result<MetricMap<ModelBiasMetric>, BiasError> model_bias_analysis_core(const GroupMask& feature,
                                                                      const GroupMask& prediction,
                                                                      const GroupMask& ground_truth) {
    LUMETRA_TRY(const DiscretePostTraining record, DiscretePostTraining::from_masks(feature, prediction, ground_truth));
    return post_training_bias(record);
}

}  // namespace lumetra
