#include "core/diagnostics.hpp"

#include <algorithm>
#include <bit>
#include <functional>
#include <limits>

namespace lumetra::diagnostics {
namespace {

using Wide = unsigned __int128;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Sorts scores (no NaN among them) in decreasing order: a least-significant
// digit radix sort of keys that order as the doubles do, 11 bits a pass,
// passes where every key has the same digit left out. Below a few thousand
// values a comparison sort is quicker. The order of equal values does not
// matter here (they are one threshold).
void sort_decreasing(std::vector<double>& v) {
    constexpr std::size_t kSmall = 4096;
    if (v.size() < kSmall) {
        std::sort(v.begin(), v.end(), std::greater<double>());
        return;
    }
    constexpr unsigned kBits = 11, kPasses = 6;
    constexpr std::size_t kDigits = std::size_t{1} << kBits;
    const std::size_t n = v.size();
    std::vector<std::uint64_t> keys(n), spare(n);
    std::vector<std::size_t> counts(kPasses * kDigits, 0);
    constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
    for (std::size_t i = 0; i < n; ++i) {
        const auto u = std::bit_cast<std::uint64_t>(v[i]);
        // Ascending keys: negative values have every bit flipped, others the
        // sign bit set. Flipped again, they come out in decreasing order.
        const std::uint64_t key = ~((u & kSign) ? ~u : (u | kSign));
        keys[i] = key;
        for (unsigned pass = 0; pass < kPasses; ++pass) ++counts[pass * kDigits + ((key >> (pass * kBits)) & (kDigits - 1))];
    }
    for (unsigned pass = 0; pass < kPasses; ++pass) {
        std::size_t* c = counts.data() + pass * kDigits;
        const unsigned shift = pass * kBits;
        if (c[(keys[0] >> shift) & (kDigits - 1)] == n) continue;  // one digit for every key
        std::size_t at = 0;
        for (std::size_t d = 0; d < kDigits; ++d) {
            const std::size_t count = c[d];
            c[d] = at;
            at += count;
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t key = keys[i];
            spare[c[(key >> shift) & (kDigits - 1)]++] = key;
        }
        keys.swap(spare);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t key = ~keys[i];
        v[i] = std::bit_cast<double>((key & kSign) ? (key & ~kSign) : ~key);
    }
}

// Calls f(score, positives, negatives) for each distinct score of the two
// classes' scores (each sorted in decreasing order), from the largest down.
template <class F>
void walk(const std::vector<double>& pos, const std::vector<double>& neg, F&& f) {
    std::size_t i = 0, j = 0;
    const std::size_t P = pos.size(), N = neg.size();
    while (i < P || j < N) {
        const double s = (i < P && (j == N || pos[i] >= neg[j])) ? pos[i] : neg[j];
        std::uint64_t p = 0, n = 0;
        while (i < P && pos[i] == s) ++i, ++p;
        while (j < N && neg[j] == s) ++j, ++n;
        f(s, p, n);
    }
}

// Which points of a curve of `count` points are kept for `points` points: a
// point is kept where its position along the curve, measured in stretches
// (0 to points - 2 over the whole length), enters a new stretch; the first
// and the last point always.
class Thinning {
public:
    Thinning(std::size_t count, std::size_t points)
        : all_(count <= points), stretches_(static_cast<double>(points - 2)) {}

    /// Stretches per unit of length, for a curve `length` long.
    double scale(double length) const noexcept { return length > 0.0 ? stretches_ / length : 0.0; }

    bool keep(std::size_t k, std::size_t count, double position) {
        if (all_ || k == 0 || k + 1 == count) return true;
        const double at = std::min(std::floor(position), stretches_);
        if (at <= last_) return false;
        last_ = at;
        return true;
    }

private:
    bool all_;
    double stretches_;
    double last_ = 0.0;
};

}  // namespace

Result<ScoreCurves, DiagnosticsError> score_curves(ScoredRows rows, std::size_t points) {
    if (points < kMinCurvePoints || points > kMaxCurvePoints) return DiagnosticsError::BadBins;
    std::vector<double> pos, neg;
    {
        std::size_t positives = 0;
        for (const std::uint8_t c : rows.positive) positives += c;
        pos.reserve(positives);
        neg.reserve(rows.score.size() - positives);
        for (std::size_t i = 0; i < rows.score.size(); ++i) (rows.positive[i] ? pos : neg).push_back(rows.score[i]);
        rows = ScoredRows{};
    }
    sort_decreasing(pos);
    sort_decreasing(neg);

    ScoreCurves out;
    const std::uint64_t P = pos.size(), N = neg.size();
    out.positives = P;
    out.negatives = N;
    const double Pd = static_cast<double>(P), Nd = static_cast<double>(N);

    // First pass: the figures, over every distinct score. Twice the area is
    // an exact integer: each step of n negatives adds n * (2 TP + p), TP the
    // positives above the step's score and p those at it (the trapezoid).
    Wide area = 0;
    std::uint64_t tp = 0, fp = 0, K = 0;
    double ap = 0.0, recall_before = 0.0, precision_before = 0.0, pr_length = 0.0;
    const double inverse_p = P == 0 ? 0.0 : 1.0 / Pd;
    walk(pos, neg, [&](double, std::uint64_t p, std::uint64_t n) {
        area += static_cast<Wide>(n) * (static_cast<Wide>(2) * tp + p);
        tp += p;
        fp += n;
        if (P != 0) {
            const double recall = static_cast<double>(tp) / Pd;
            const double precision = static_cast<double>(tp) / static_cast<double>(tp + fp);
            ap += (recall - recall_before) * precision;
            // The length only places the drawn points: recall's step is taken as p / P.
            if (K != 0) pr_length += static_cast<double>(p) * inverse_p + std::fabs(precision - precision_before);
            recall_before = recall;
            precision_before = precision;
        }
        ++K;
    });
    out.thresholds = K;
    out.auc = (P == 0 || N == 0)
                  ? kNaN
                  : static_cast<double>(area) / static_cast<double>(static_cast<Wide>(2) * P * N);
    out.average_precision = P == 0 ? kNaN : ap;

    // Second pass: the thinned curves. A point's rates are divided out only
    // where it is kept; its position along the curve is found by products.
    const bool roc = P != 0 && N != 0, pr = P != 0;
    Thinning roc_keep(K + 1, points), pr_keep(K, points);
    // The ROC curve is 2 long: fp / N + tp / P.
    const double roc_n = roc ? roc_keep.scale(2.0) / Nd : 0.0, roc_p = roc ? roc_keep.scale(2.0) / Pd : 0.0;
    const double pr_scale = pr_keep.scale(pr_length);
    if (roc) {
        out.fpr.push_back(0.0);
        out.tpr.push_back(0.0);
        out.roc_threshold.push_back(kInf);
    }
    tp = fp = 0;
    std::size_t k = 0;
    double along = 0.0, precision_before2 = 0.0;
    walk(pos, neg, [&](double s, std::uint64_t p, std::uint64_t n) {
        tp += p;
        fp += n;
        if (roc && roc_keep.keep(k + 1, K + 1, static_cast<double>(fp) * roc_n + static_cast<double>(tp) * roc_p)) {
            out.fpr.push_back(static_cast<double>(fp) / Nd);
            out.tpr.push_back(static_cast<double>(tp) / Pd);
            out.roc_threshold.push_back(s);
        }
        if (pr) {
            const double precision = static_cast<double>(tp) / static_cast<double>(tp + fp);
            if (k != 0) along += static_cast<double>(p) * inverse_p + std::fabs(precision - precision_before2);
            precision_before2 = precision;
            if (pr_keep.keep(k, K, along * pr_scale)) {
                out.recall.push_back(static_cast<double>(tp) / Pd);
                out.precision.push_back(precision);
                out.pr_threshold.push_back(s);
            }
        }
        ++k;
    });
    return out;
}

Result<std::vector<double>, DiagnosticsError> linspace_edges(double low, double high, std::size_t bins) {
    if (bins < 1 || bins > kMaxBins) return DiagnosticsError::BadBins;
    const double delta = high - low;
    if (!std::isfinite(low) || !std::isfinite(high) || !(low < high) || !std::isfinite(delta)) {
        return DiagnosticsError::BadRange;
    }
    const double div = static_cast<double>(bins);
    const double step = delta / div;
    std::vector<double> edges(bins + 1);
    for (std::size_t j = 0; j < bins; ++j) {
        const double y = static_cast<double>(j);
        // NumPy scales by the step, or, when the step underflows to zero, by
        // the width after dividing.
        edges[j] = (step == 0.0 ? (y / div) * delta : y * step) + low;
    }
    edges[bins] = high;
    return edges;
}

Result<Calibration, DiagnosticsError> calibration(const ScoredRows& rows, std::size_t bins, double low,
                                                  double high) {
    auto edges = linspace_edges(low, high, bins);
    if (!edges) return edges.error();
    Calibration out;
    out.edges = std::move(edges.value());
    out.negatives.assign(bins, 0);
    out.positives.assign(bins, 0);
    out.score_sum.assign(bins, 0.0);
    const auto inner_begin = out.edges.begin() + 1, inner_end = out.edges.end() - 1;
    for (std::size_t i = 0; i < rows.score.size(); ++i) {
        const double v = rows.score[i];
        const std::uint8_t c = rows.positive[i];
        if (v < low) {
            ++out.below[c];
        } else if (v > high) {
            ++out.above[c];
        } else {
            const auto b = static_cast<std::size_t>(std::lower_bound(inner_begin, inner_end, v) - inner_begin);
            ++(c ? out.positives : out.negatives)[b];
            out.score_sum[b] += v;
        }
    }
    out.mean_score.assign(bins, kNaN);
    out.positive_rate.assign(bins, kNaN);
    for (std::size_t b = 0; b < bins; ++b) {
        const std::uint64_t rows_in = out.negatives[b] + out.positives[b];
        if (rows_in == 0) continue;
        out.mean_score[b] = out.score_sum[b] / static_cast<double>(rows_in);
        out.positive_rate[b] = static_cast<double>(out.positives[b]) / static_cast<double>(rows_in);
    }
    return out;
}

Extent extent(const Pairs& pairs) {
    Extent e;
    if (pairs.actual.empty()) return e;
    e.low = e.high = pairs.actual[0];
    e.residual_low = e.residual_high = pairs.actual[0] - pairs.predicted[0];
    for (std::size_t i = 0; i < pairs.actual.size(); ++i) {
        const double a = pairs.actual[i], p = pairs.predicted[i], r = a - p;
        e.low = std::min({e.low, a, p});
        e.high = std::max({e.high, a, p});
        e.residual_low = std::min(e.residual_low, r);
        e.residual_high = std::max(e.residual_high, r);
    }
    return e;
}

namespace {

// The bin of v among edges as np.histogram counts it ([e_j, e_j+1), the last
// bin closed), or `bins` (the edges' bin count) outside them.
std::size_t histogram_bin(const std::vector<double>& edges, double v) {
    const std::size_t bins = edges.size() - 1;
    if (!(v >= edges.front()) || !(v <= edges.back())) return bins;
    if (v == edges.back()) return bins - 1;
    return static_cast<std::size_t>(std::upper_bound(edges.begin(), edges.end(), v) - edges.begin()) - 1;
}

struct Ranked {
    double value;
    std::uint64_t row;
    bool operator<(const Ranked& o) const noexcept { return value < o.value || (value == o.value && row < o.row); }
};

// Up to this many quantiles the boundaries are found by selection, one
// after the other; more are sorted.
constexpr std::size_t kSelectQuantiles = 32;

Quantiles quantiles_of(const Pairs& pairs, std::size_t Q) {
    const std::size_t n = pairs.predicted.size();
    Quantiles out;
    out.count.assign(Q, 0);
    out.low.assign(Q, kNaN);
    out.high.assign(Q, kNaN);
    std::vector<double> abs_sum(Q, 0.0), err_sum(Q, 0.0), pred_sum(Q, 0.0), act_sum(Q, 0.0);
    // Rank boundaries: quantile q holds ranks [begin[q], begin[q + 1]).
    std::vector<std::size_t> begin(Q + 1);
    for (std::size_t q = 0; q <= Q; ++q) {
        begin[q] = static_cast<std::size_t>((static_cast<Wide>(q) * n + (Q - 1)) / Q);
    }
    std::vector<Ranked> ranked(n);
    for (std::size_t i = 0; i < n; ++i) ranked[i] = Ranked{pairs.predicted[i], i};
    if (Q > kSelectQuantiles) {
        std::sort(ranked.begin(), ranked.end());
    } else {
        // The keys are distinct (ties part by row), so each selection puts
        // exactly the ranks below its boundary before it.
        for (std::size_t q = 1; q < Q; ++q) {
            if (begin[q] >= n) break;
            std::nth_element(ranked.begin() + static_cast<std::ptrdiff_t>(begin[q - 1]),
                             ranked.begin() + static_cast<std::ptrdiff_t>(begin[q]), ranked.end());
        }
    }
    std::vector<std::uint16_t> quantile(n);
    for (std::size_t q = 0; q < Q; ++q) {
        for (std::size_t r = begin[q]; r < begin[q + 1]; ++r) {
            const Ranked& x = ranked[r];
            quantile[x.row] = static_cast<std::uint16_t>(q);
            out.low[q] = r == begin[q] ? x.value : std::min(out.low[q], x.value);
            out.high[q] = r == begin[q] ? x.value : std::max(out.high[q], x.value);
        }
    }
    ranked = {};
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t q = quantile[i];
        const double a = pairs.actual[i], p = pairs.predicted[i], e = a - p;
        ++out.count[q];
        abs_sum[q] += std::fabs(e);
        err_sum[q] += e;
        pred_sum[q] += p;
        act_sum[q] += a;
    }
    out.mean_predicted.assign(Q, kNaN);
    out.mean_actual.assign(Q, kNaN);
    out.mean_absolute_error.assign(Q, kNaN);
    out.mean_error.assign(Q, kNaN);
    for (std::size_t q = 0; q < Q; ++q) {
        if (out.count[q] == 0) continue;
        const double c = static_cast<double>(out.count[q]);
        out.mean_predicted[q] = pred_sum[q] / c;
        out.mean_actual[q] = act_sum[q] / c;
        out.mean_absolute_error[q] = abs_sum[q] / c;
        out.mean_error[q] = err_sum[q] / c;
    }
    return out;
}

}  // namespace

Result<Regression, DiagnosticsError> regression(const Pairs& pairs, double low, double high, std::size_t bins,
                                                double residual_low, double residual_high,
                                                std::size_t residual_bins, std::size_t quantiles) {
    if (bins > kMaxGridBins || quantiles < 1 || quantiles > kMaxQuantiles) return DiagnosticsError::BadBins;
    auto edges = linspace_edges(low, high, bins);
    if (!edges) return edges.error();
    auto residual_edges = linspace_edges(residual_low, residual_high, residual_bins);
    if (!residual_edges) return residual_edges.error();
    Regression out;
    out.edges = std::move(edges.value());
    out.residual_edges = std::move(residual_edges.value());
    out.density.assign(bins * bins, 0);
    out.residuals.assign(residual_bins, 0);
    for (std::size_t i = 0; i < pairs.actual.size(); ++i) {
        const double a = pairs.actual[i], p = pairs.predicted[i];
        const std::size_t row = histogram_bin(out.edges, a), column = histogram_bin(out.edges, p);
        if (row == bins || column == bins) {
            ++out.outside;
        } else {
            ++out.density[row * bins + column];
        }
        const std::size_t r = histogram_bin(out.residual_edges, a - p);
        if (r == residual_bins) {
            ++out.residual_outside;
        } else {
            ++out.residuals[r];
        }
    }
    out.quantiles = quantiles_of(pairs, quantiles);
    return out;
}

}  // namespace lumetra::diagnostics
