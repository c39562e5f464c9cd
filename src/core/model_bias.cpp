#include "core/model_bias.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace lumetra {

namespace {

inline float f(std::uint64_t v) noexcept { return static_cast<float>(v); }

MembershipSums sum_masks(const GroupMask& feature, const GroupMask& prediction, const GroupMask& truth) {
    // Only an entry of exactly 1 is in the group.
    const auto one = [](std::uint8_t x) noexcept { return x == 1; };
    return sum_memberships(feature.size(), feature, one, prediction, one, truth, one);
}

// Benefit of an element by its (truth, prediction) pair, indexed g * 2 + p.
constexpr std::uint8_t kBenefit[4] = {2, 2, 0, 1};

}  // namespace

void PostTraining::accumulate_single(bool in_facet_a, bool prediction_positive, bool label_positive) noexcept {
    // Each counter chosen by index, without branches: a streamed example's
    // facet and cell are as random as the data, and a mispredicted branch
    // costs more than the four additions.
    using Counter = std::uint64_t PostTraining::*;
    // By facet (a, then d), then truth, then prediction.
    static constexpr Counter kCell[8] = {
        &PostTraining::true_negative_a, &PostTraining::false_positive_a,
        &PostTraining::false_negative_a, &PostTraining::true_positive_a,
        &PostTraining::true_negative_d, &PostTraining::false_positive_d,
        &PostTraining::false_negative_d, &PostTraining::true_positive_d,
    };
    static constexpr Counter kLen[2] = {&PostTraining::len_a, &PostTraining::len_d};
    static constexpr Counter kLabelPositive[2] = {&PostTraining::label_positive_a, &PostTraining::label_positive_d};
    static constexpr Counter kPredPositive[2] = {&PostTraining::pred_positive_a, &PostTraining::pred_positive_d};
    const unsigned d = in_facet_a ? 0u : 1u, g = label_positive, p = prediction_positive;
    this->*kCell[d * 4 + g * 2 + p] += 1;
    this->*kLen[d] += 1;
    this->*kLabelPositive[d] += g;
    this->*kPredPositive[d] += p;
}

void BucketGeneralizedEntropy::add(bool label_positive, bool prediction_positive) noexcept {
    // The benefit counter chosen by index (truth, then prediction), without
    // a branch: a negative truth is benefit 2, a found positive 1, a missed one 0.
    using Counter = std::uint64_t BucketGeneralizedEntropy::*;
    static constexpr Counter kBenefitCount[4] = {
        &BucketGeneralizedEntropy::benefit_2_count, &BucketGeneralizedEntropy::benefit_2_count,
        &BucketGeneralizedEntropy::benefit_0_count, &BucketGeneralizedEntropy::benefit_1_count,
    };
    this->*kBenefitCount[static_cast<unsigned>(label_positive) * 2 + prediction_positive] += 1;
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

// Adds a block of terms to acc with exactly the result of adding them one by
// one, without the chain of dependent float additions, from how many of its
// elements have each benefit. Within a binade of acc every representable
// value is a multiple of the same unit u, so while every partial sum stays
// strictly inside that binade each step adds the term rounded to a multiple
// of u, independently of acc (barring an exact tie, whose rounding depends on
// acc). The block is then a sum of integers, in any order. Returns false,
// leaving acc alone, when that cannot be shown for the block.
bool add_benefit_block(float& acc, const float* terms, const std::int64_t (&count)[3]) noexcept {
    // Zero, tiny (toward the subnormal range, where the unit no longer
    // scales with the binade) and non-finite sums are added one by one.
    if (!(std::fabs(acc) >= 0x1p-100f) || !std::isfinite(acc)) return false;

    int exponent = 0;
    std::frexp(acc, &exponent);  // |acc| in [2^(exponent-1), 2^exponent)
    const double unit = std::ldexp(1.0, exponent - 24);
    constexpr std::int64_t kLow = (std::int64_t{1} << 23) + 1;  // strictly above the binade's floor
    constexpr std::int64_t kHigh = (std::int64_t{1} << 24) - 1;
    std::int64_t steps[3] = {0, 0, 0};
    std::int64_t down = 0, up = 0, total = 0;
    for (int b = 0; b < 3; ++b) {
        if (count[b] == 0) continue;
        const double q = static_cast<double>(terms[b]) / unit;  // exact: scaling by a power of two
        if (!(std::fabs(q) < 0x1p30)) return false;
        const double r = std::nearbyint(q);
        if (std::fabs(q - r) == 0.5) return false;
        steps[b] = static_cast<std::int64_t>(r);
        (steps[b] < 0 ? down : up) += steps[b] * count[b];
        total += steps[b] * count[b];
    }
    const auto start = static_cast<std::int64_t>(static_cast<double>(acc) / unit);
    // Whatever the order of the steps, every partial sum lies in [start + down, start + up].
    const std::int64_t lo = start + down, hi = start + up;
    const bool inside = start > 0 ? (lo >= kLow && hi <= kHigh) : (hi <= -kLow && lo >= -kHigh);
    if (!inside) return false;
    acc = static_cast<float>(static_cast<double>(start + total) * unit);
    return true;
}

namespace {

inline std::uint8_t benefit_of(std::uint32_t g, std::uint32_t p) noexcept { return kBenefit[(g << 1) | p]; }

inline std::uint8_t benefit_at(const std::uint8_t* gm, const std::uint8_t* pm, std::size_t i) noexcept {
    return benefit_of(gm[i] == 1, pm[i] == 1);
}

// The benefits of a batch, block by block, read from its truth and
// prediction masks.
struct MaskBenefits {
    const std::uint8_t* gm;
    const std::uint8_t* pm;
    std::size_t n;
    static constexpr std::size_t kBlock = 1024;

    std::size_t size() const noexcept { return n; }
    std::size_t block_size() const noexcept { return kBlock; }
    // Elements of the block with a positive truth, and those also predicted positive.
    void counts(std::size_t begin, std::size_t end, std::uint64_t& positive, std::uint64_t& found) const noexcept {
        std::uint32_t pos = 0, fnd = 0;
        for (std::size_t i = begin; i < end; ++i) {
            const std::uint32_t g = gm[i] == 1;
            pos += g;
            fnd += g & static_cast<std::uint32_t>(pm[i] == 1);
        }
        positive = pos;
        found = fnd;
    }
    // acc + terms[b_i] over [begin, end), one single-precision rounding per step.
    float add_serially(float acc, const float* terms, std::size_t begin, std::size_t end) const noexcept {
        for (std::size_t i = begin; i < end; ++i) acc += terms[benefit_at(gm, pm, i)];
        return acc;
    }
};

// acc + terms[b_i] over the blocks from the one starting at `begin` to the
// end, with the result of single-precision additions in element order.
template <class Benefits>
float ordered_sum(float acc, const float* terms, const Benefits& benefits, std::size_t begin) noexcept {
    const std::size_t n = benefits.size(), block = benefits.block_size();
    for (std::size_t i = begin; i < n; i += block) {
        const std::size_t stop = std::min(n, i + block);
        std::uint64_t positive, found;
        benefits.counts(i, stop, positive, found);
        const std::int64_t count[3] = {static_cast<std::int64_t>(positive - found), static_cast<std::int64_t>(found),
                                       static_cast<std::int64_t>((stop - i) - positive)};
        if (!add_benefit_block(acc, terms, count)) acc = benefits.add_serially(acc, terms, i, stop);
    }
    return acc;
}

// The generalized entropy of n elements whose benefits sum to s1 (an exact
// integer), with single-precision sums in element order.
template <class Benefits>
float batch_ge(const Benefits& benefits, std::uint64_t s1) noexcept {
    // s = sum of the benefits added one by one in single precision. While the
    // running total stays at or below 2^24 every partial sum is an exact
    // integer, so the total needs no float additions at all; past that point
    // the tail is added in order.
    constexpr std::uint64_t kExact = std::uint64_t{1} << 24;
    const std::size_t n = benefits.size(), block = benefits.block_size();
    float s;
    if (s1 <= kExact) {
        s = static_cast<float>(s1);
    } else {
        std::uint64_t exact = 0;
        std::size_t i = 0;
        while (i < n) {
            const std::size_t end = std::min(n, i + block);
            std::uint64_t positive, found;
            benefits.counts(i, end, positive, found);
            const std::uint64_t sum = found + 2 * ((end - i) - positive);
            if (exact + sum > kExact) break;
            exact += sum;
            i = end;
        }
        const float integer_terms[3] = {0.0f, 1.0f, 2.0f};
        s = ordered_sum(static_cast<float>(exact), integer_terms, benefits, i);
    }

    float terms[3];
    generalized_entropy_terms(s, n, terms);
    return ordered_sum(0.0f, terms, benefits, 0);
}

// The benefits of a batch read from the codes of its truth and prediction
// columns: per-block counts kept from the counting pass, and the codes
// written again only for blocks that must be added one element at a time.
struct CodeBenefits {
    const GroupCodes& truth;
    unsigned truth_bit;
    const GroupCodes& prediction;
    unsigned prediction_bit;
    std::size_t n;
    std::size_t block;
    const std::uint64_t* positive;  // per block
    const std::uint64_t* found;

    std::size_t size() const noexcept { return n; }
    std::size_t block_size() const noexcept { return block; }
    void counts(std::size_t begin, std::size_t, std::uint64_t& pos, std::uint64_t& fnd) const noexcept {
        pos = positive[begin / block];
        fnd = found[begin / block];
    }
    float add_serially(float acc, const float* terms, std::size_t begin, std::size_t end) const noexcept {
        std::uint8_t g[kCodeBlock], p[kCodeBlock];
        for (std::size_t i = begin; i < end; i += kCodeBlock) {
            const std::size_t stop = std::min(end, i + kCodeBlock);
            truth.recode(i, stop, g);
            prediction.recode(i, stop, p);
            for (std::size_t j = 0; j < stop - i; ++j) {
                acc += terms[benefit_of((g[j] >> truth_bit) & 1u, (p[j] >> prediction_bit) & 1u)];
            }
        }
        return acc;
    }
};

}  // namespace

void generalized_entropy_terms(float s, std::size_t n, float (&terms)[3]) noexcept {
    const float mu = s / static_cast<float>(n);
    const float k = 1.0f / mu;
    for (int b = 0; b < 3; ++b) {
        const float kb = k * static_cast<float>(b);
        const float sq = kb * kb;
        terms[b] = sq - 1.0f;
    }
}

float ordered_benefit_sum(float acc, const float (&terms)[3], const GroupMask& prediction,
                          const GroupMask& ground_truth) noexcept {
    const std::size_t n = std::min(prediction.size(), ground_truth.size());
    return ordered_sum(acc, terms, MaskBenefits{ground_truth.data(), prediction.data(), n}, 0);
}

float batch_generalized_entropy(const GroupMask& prediction, const GroupMask& ground_truth) {
    const std::size_t n = std::min(prediction.size(), ground_truth.size());
    std::uint64_t s1 = 0;
    for (std::size_t i = 0; i < n; ++i) s1 += benefit_at(ground_truth.data(), prediction.data(), i);
    return batch_ge(MaskBenefits{ground_truth.data(), prediction.data(), n}, s1);
}

Result<DiscretePostTraining, BiasError> DiscretePostTraining::from_masks(const GroupMask& feature,
                                                                        const GroupMask& prediction,
                                                                        const GroupMask& ground_truth) {
    const std::size_t n = feature.size();
    if (n == 0 || prediction.size() != n || ground_truth.size() != n) return BiasError::DataLengthError;
    return from_sums(sum_masks(feature, prediction, ground_truth), prediction, ground_truth);
}

Result<DiscretePostTraining, BiasError> DiscretePostTraining::from_sums(const MembershipSums& s,
                                                                       const GroupMask& prediction,
                                                                       const GroupMask& ground_truth) {
    const std::size_t n = static_cast<std::size_t>(s.n);
    if (n == 0 || prediction.size() != n || ground_truth.size() != n) return BiasError::DataLengthError;
    DiscretePostTraining out;
    out.counts.add_sums(s);
    // Benefit 1 for a found positive, 2 for every negative.
    const std::uint64_t s1 = s.gp + 2 * (s.n - s.g);
    out.generalized_entropy = batch_ge(MaskBenefits{ground_truth.data(), prediction.data(), n}, s1);
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

EachPostTraining post_training_each(const PostTraining& c, float generalized_entropy) noexcept {
    using M = ModelBiasMetric;
    EachPostTraining out;
    out.values = post_training_values(c, generalized_entropy);
    // Where the guards pass, the engine answers every metric: its values
    // stand as they are, a NaN of its arithmetic included (the reason then
    // only says why).
    const bool answered = check_post_training(c) == PostTrainingGuard::Pass;
    auto undefined = [&](M m, std::string_view why) {
        if (!answered) out.values[static_cast<std::size_t>(m)] = std::numeric_limits<float>::quiet_NaN();
        out.undefined[static_cast<std::size_t>(m)] = why;
    };
    // The denominators of each formula, in single precision as the formulas
    // hold them (a count converted to float is zero only when it is zero;
    // a difference of two converted counts may round to zero).
    const float na = f(c.len_a), nd = f(c.len_d);
    const float pa = f(c.pred_positive_a), pd = f(c.pred_positive_d);
    const float tpa = f(c.true_positive_a), fpa = f(c.false_positive_a);
    const float tna = f(c.true_negative_a), fna = f(c.false_negative_a);
    const float tpd = f(c.true_positive_d), fpd = f(c.false_positive_d);
    const float tnd = f(c.true_negative_d), fnd = f(c.false_negative_d);
    if (pd / nd == 0.0f) undefined(M::DisparateImpact, "facet d has no positive predictions");
    if (tpa + fna == 0.0f || tpd + fnd == 0.0f) undefined(M::RecallDifference, "a facet has no positive labels");
    if (c.label_positive_a == 0 || c.label_positive_d == 0) {
        undefined(M::DifferenceInConditionalAcceptance, "a facet has no positive labels");
    }
    if (tpa + fpa == 0.0f || tpd + fpd == 0.0f) {
        undefined(M::DifferenceInAcceptanceRate, "a facet has no positive predictions");
    }
    if (tna + fpa == 0.0f || tnd + fpd == 0.0f) undefined(M::SpecialityDifference, "a facet has no negative labels");
    if (nd - pd == 0.0f || na - pa == 0.0f) {
        undefined(M::DifferenceInConditionalRejection, "a facet has no negative predictions");
    }
    if (tnd + fnd == 0.0f || tna + fna == 0.0f) {
        undefined(M::DifferenceInRejectionRate, "a facet has no negative predictions");
    }
    if (c.false_positive_a == 0 || c.false_positive_d == 0) {
        undefined(M::TreatmentEquity, "a facet has no false positives");
    }
    if (pa + pd == 0.0f || f(c.len_a + c.len_d - c.pred_positive_a - c.pred_positive_d) == 0.0f) {
        undefined(M::ConditionalDemographicDesparityPredictedLabels,
                  "no positive or no negative prediction in either facet");
    }
    return out;
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

Result<MetricMap<ModelBiasMetric>, BiasError> model_bias_from_codes(GroupCodes& feature, GroupCodes& prediction,
                                                                   GroupCodes& ground_truth) {
    const std::size_t n = feature.size();
    if (n == 0 || prediction.size() != n || ground_truth.size() != n) return BiasError::DataLengthError;

    // The generalized entropy adds per-element terms in order; it needs, per
    // block, how many elements have a positive truth and how many of those
    // are also predicted positive. Blocks grow with n past a fixed number of
    // them, so the counts take bounded memory.
    constexpr std::size_t kMaxBlocks = std::size_t{1} << 16;
    const std::size_t code_blocks = (n + kCodeBlock - 1) / kCodeBlock;
    const std::size_t block = ((code_blocks + kMaxBlocks - 1) / kMaxBlocks) * kCodeBlock;
    std::vector<std::uint64_t> positive((n + block - 1) / block), found(positive.size());

    // Each column is counted by the bit that holds its group as far as its
    // blocks show; when that changes, the blocks before are counted again.
    // A feature whose distinct count nears the limit (a continuous column
    // while its count runs) is counted thresholded too from then on, so that
    // when thresholding turns certain only the blocks before that are counted
    // again: the truth and prediction bits, and so the per-block positives,
    // stay as they were.
    unsigned fb = 0, gb = 0, pb = 0;
    TripleSums sums, thresholded;
    bool both_ways = false;
    std::size_t both_from = 0;
    std::uint8_t f[kCodeBlock], g[kCodeBlock], p[kCodeBlock];
    auto add_block = [&](std::size_t begin, std::size_t end) {
        TripleSums b;
        add_triple_sums(b, f, fb, g, gb, p, pb, end - begin);
        sums += b;
        if (both_ways) {
            TripleSums t;
            add_triple_sums(t, f, 1, g, gb, p, pb, end - begin);
            thresholded += t;
        }
        positive[begin / block] += b.g;
        found[begin / block] += b.gp;
    };
    // The sums of the blocks so far with the feature thresholded: those
    // before counting both ways began counted again, then the rest; false
    // when another bit changed too.
    auto take_thresholded = [&](unsigned nf, unsigned ng, unsigned np) {
        if (!both_ways || nf != 1 || ng != gb || np != pb) return false;
        TripleSums head;
        for (std::size_t begin = 0; begin < both_from; begin += kCodeBlock) {
            const std::size_t stop = std::min(both_from, begin + kCodeBlock);
            feature.recode(begin, stop, f);
            ground_truth.recode(begin, stop, g);
            prediction.recode(begin, stop, p);
            add_triple_sums(head, f, 1, g, gb, p, pb, stop - begin);
        }
        sums = head;
        sums += thresholded;
        fb = 1;
        both_ways = false;
        return true;
    };
    auto recount = [&](std::size_t end) {
        sums = TripleSums{};
        std::fill(positive.begin(), positive.end(), 0);
        std::fill(found.begin(), found.end(), 0);
        for (std::size_t begin = 0; begin < end; begin += kCodeBlock) {
            const std::size_t stop = std::min(end, begin + kCodeBlock);
            feature.recode(begin, stop, f);
            ground_truth.recode(begin, stop, g);
            prediction.recode(begin, stop, p);
            add_block(begin, stop);
        }
    };
    for (std::size_t begin = 0; begin < n; begin += kCodeBlock) {
        const std::size_t end = std::min(n, begin + kCodeBlock);
        feature.scan(begin, end, f);
        ground_truth.scan(begin, end, g);
        prediction.scan(begin, end, p);
        if (!both_ways && fb == 0 && feature.nearing_threshold()) {
            both_ways = true;  // again after a recount: the sums start afresh
            both_from = begin;
            thresholded = {};
        }
        const unsigned nf = feature.provisional_bit(), ng = ground_truth.provisional_bit(),
                       np = prediction.provisional_bit();
        if (nf != fb || ng != gb || np != pb) {
            if (take_thresholded(nf, ng, np)) {
                if (both_from > 0) {  // the buffers held the blocks counted again
                    feature.recode(begin, end, f);
                    ground_truth.recode(begin, end, g);
                    prediction.recode(begin, end, p);
                }
            } else {
                both_ways = false;
                fb = nf, gb = ng, pb = np;
                recount(begin);
                feature.recode(begin, end, f);
                ground_truth.recode(begin, end, g);
                prediction.recode(begin, end, p);
            }
        }
        add_block(begin, end);
    }
    const unsigned nf = feature.final_bit(), ng = ground_truth.final_bit(), np = prediction.final_bit();
    if ((nf != fb || ng != gb || np != pb) && !take_thresholded(nf, ng, np)) {
        fb = nf, gb = ng, pb = np;
        recount(n);
    }

    MembershipSums s;
    s.n = n;
    s.f = sums.f;
    s.g = sums.g;
    s.p = sums.p;
    s.fg = sums.fg;
    s.fp = sums.fp;
    s.gp = sums.gp;
    s.fgp = sums.fgp;
    DiscretePostTraining record;
    record.counts.add_sums(s);
    // The entropy only matters when every guard passes.
    if (check_post_training(record.counts) == PostTrainingGuard::Pass) {
        const std::uint64_t s1 = s.gp + 2 * (s.n - s.g);  // benefit 1 for a found positive, 2 for every negative
        record.generalized_entropy =
            batch_ge(CodeBenefits{ground_truth, gb, prediction, pb, n, block, positive.data(), found.data()}, s1);
    }
    return post_training_bias(record);
}

}  // namespace lumetra
