#include "core/data_bias.hpp"

#include <algorithm>
#include <cmath>

namespace lumetra {

FacetCounts count_facets(const GroupMask& feature, const GroupMask& truth) {
    // Masks hold only 0 and 1, so the counts are plain sums; kept branch-free
    // so the compiler can vectorise the pass.
    const std::size_t n = std::min(feature.size(), truth.size());
    std::uint64_t in_a = 0, positive = 0, positive_a = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t f = feature[i];
        const std::uint64_t t = truth[i];
        in_a += f;
        positive += t;
        positive_a += f & t;
    }
    FacetCounts c;
    c.len_a = in_a;
    c.len_d = n - in_a;
    c.label_positive_a = positive_a;
    c.label_positive_d = positive - positive_a;
    return c;
}

FacetCounts count_facets(GroupCodes& feature, GroupCodes& truth) {
    const std::size_t n = feature.size();
    std::uint8_t f[kCodeBlock], t[kCodeBlock];
    // Each column is counted by the bit that holds its group as far as its
    // blocks show; when that changes, the blocks before are counted again. A
    // feature nearing thresholding is counted thresholded too from then on,
    // so that only the blocks before that are counted again when it turns
    // (as the model bias pass does).
    unsigned fb = 0, tb = 0;
    PairSums s, thresholded;
    bool both_ways = false;
    std::size_t both_from = 0;
    auto add_block = [&](std::size_t m) {
        add_pair_sums(s, f, fb, t, tb, m);
        if (both_ways) add_pair_sums(thresholded, f, 1, t, tb, m);
    };
    auto recount = [&](std::size_t end) {
        s = PairSums{};
        for (std::size_t begin = 0; begin < end; begin += kCodeBlock) {
            const std::size_t stop = std::min(end, begin + kCodeBlock);
            feature.recode(begin, stop, f);
            truth.recode(begin, stop, t);
            add_pair_sums(s, f, fb, t, tb, stop - begin);
        }
    };
    // The sums of the blocks so far with the feature thresholded: those
    // before counting both ways began counted again, then the rest; false
    // when the truth's bit changed too.
    auto take_thresholded = [&](unsigned nf, unsigned nt) {
        if (!both_ways || nf != 1 || nt != tb) return false;
        fb = 1;
        both_ways = false;
        recount(both_from);
        s += thresholded;
        return true;
    };
    for (std::size_t begin = 0; begin < n; begin += kCodeBlock) {
        const std::size_t end = std::min(n, begin + kCodeBlock);
        feature.scan(begin, end, f);
        truth.scan(begin, end, t);
        if (!both_ways && fb == 0 && feature.nearing_threshold()) {
            both_ways = true;  // again after a recount: the sums start afresh
            both_from = begin;
            thresholded = {};
        }
        const unsigned nf = feature.provisional_bit(), nt = truth.provisional_bit();
        if (nf != fb || nt != tb) {
            if (take_thresholded(nf, nt)) {
                if (both_from > 0) {  // the buffers held the blocks counted again
                    feature.recode(begin, end, f);
                    truth.recode(begin, end, t);
                }
            } else {
                both_ways = false;
                fb = nf;
                tb = nt;
                recount(begin);
                feature.recode(begin, end, f);
                truth.recode(begin, end, t);
            }
        }
        add_block(end - begin);
    }
    const unsigned final_fb = feature.final_bit(), final_tb = truth.final_bit();
    if ((final_fb != fb || final_tb != tb) && !take_thresholded(final_fb, final_tb)) {
        fb = final_fb;
        tb = final_tb;
        recount(n);
    }
    FacetCounts c;
    c.len_a = s.first;
    c.len_d = n - s.first;
    c.label_positive_a = s.both;
    c.label_positive_d = s.second - s.both;
    return c;
}

Result<MetricMap<DataBiasMetric>, ModelPerformanceError> pre_training_bias(const FacetCounts& c) {
    if (c.len_a == 0 || c.len_d == 0) return ModelPerformanceError(ModelPerformanceError::Kind::EmptyDataVector);
    return pre_training_values(c);
}

MetricMap<DataBiasMetric> pre_training_values(const FacetCounts& c) {
    using M = DataBiasMetric;
    MetricMap<DataBiasMetric> out;

    // |len_a - len_d| in unsigned arithmetic: a restored monitor may hold
    // facets of 2^63 members or more, where a signed difference overflows.
    const std::uint64_t magnitude = c.len_a >= c.len_d ? c.len_a - c.len_d : c.len_d - c.len_a;
    out.insert(M::ClassImbalance, static_cast<float>(magnitude) / static_cast<float>(c.len_a + c.len_d));

    const float qa = static_cast<float>(c.label_positive_a) / static_cast<float>(c.len_a);
    const float qd = static_cast<float>(c.label_positive_d) / static_cast<float>(c.len_d);

    const float dpl = qa - qd;
    out.insert(M::DifferenceInProportionOfLabels, dpl);

    const float kl_neg = (1.0f - qa) * std::log((1.0f - qa) / (1.0f - qd));
    const float kl_pos = qa * std::log(qa / qd);
    out.insert(M::KlDivergence, kl_neg + kl_pos);

    const float m = (qa + qd) * 0.5f;
    const float pa_neg = (1.0f - qa) * std::log((1.0f - qa) / (1.0f - m));
    const float pa_pos = qa * std::log(qa / m);
    const float pa = pa_neg + pa_pos;
    const float pd_neg = (1.0f - qd) * std::log((1.0f - qd) / (1.0f - m));
    const float pd_pos = qd * std::log(qd / m);
    const float pd = pd_neg + pd_pos;
    out.insert(M::JsDivergence, (pa + pd) * 0.5f);

    // Difference of the negative-outcome rates, grouped as written.
    const float r = (1.0f - qa) + (qd - 1.0f);
    const float r2 = r * r;
    const float dpl2 = dpl * dpl;
    out.insert(M::LpNorm, std::sqrt(r2 + dpl2));
    out.insert(M::TotalVariationDistance, (std::fabs(dpl) + std::fabs(r)) * 0.5f);
    out.insert(M::KolmogorovSmirnov, std::fmax(std::fabs(r), std::fabs(dpl)));
    return out;
}

Result<MetricMap<DataBiasMetric>, BiasError> data_bias_analysis_core(const GroupMask& feature,
                                                                    const GroupMask& truth) {
    // Pairing masks of different lengths would silently drop part of the
    // population, so it is refused.
    if (feature.size() != truth.size()) return BiasError::DataLengthError;
    return data_bias_from_counts(count_facets(feature, truth));
}

Result<MetricMap<DataBiasMetric>, BiasError> data_bias_from_counts(const FacetCounts& counts) {
    if (counts.len_a == 0 || counts.len_d == 0) return BiasError::NoFacetDeviation;
    return pre_training_values(counts);
}

}  // namespace lumetra
