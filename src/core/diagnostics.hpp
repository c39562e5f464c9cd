// Diagnostics of a model's scores and predictions, exact from the rows:
// - ranking: the ROC and precision-recall curves of scores against a binary
//   truth, one threshold per distinct score (one sort of each class's
//   scores), the area under the ROC curve by the trapezoid over those
//   points and the average precision sum_k (R_k - R_{k-1}) P_k; the curves
//   handed back thinned to a drawable number of points, the two figures
//   computed on every point;
// - calibration: equal-width bins of the score, the rows of each class per
//   bin, the mean score and the share of positives per bin;
// - regression: the rows' (actual, predicted) pairs on a square grid, the
//   histogram of the residuals actual - predicted, and the errors of each
//   quantile of the predictions (quantiles by rank: the exact order
//   statistics).
// Every sum runs in row order (or in the order named), on one thread.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/model_perf.hpp"
#include "core/result.hpp"

namespace lumetra::diagnostics {

/// The class of each row: 1 positive, 0 negative, kLeftOut for a row that no
/// diagnostic reads.
inline constexpr std::uint8_t kLeftOut = 0xFF;

/// Refusals of the diagnostics; the row of a NaN is reported beside it.
enum class DiagnosticsError : std::uint8_t {
    NanScore,      ///< a row that is read has a NaN score
    BadRange,      ///< low >= high, a bound that is not finite, or high - low overflows
    BadBins,       ///< a number of bins, quantiles or points out of its range
};

/// A NaN score and its row.
struct NanAt {
    std::size_t row = 0;
};

/// The scores of the rows that are read, in row order, as doubles (a
/// negative zero read as zero), with each row's class (0 or 1).
struct ScoredRows {
    std::vector<double> score;
    std::vector<std::uint8_t> positive;
};

/// The rows of `classes` that are not left out, with their scores. The
/// first NaN score of such a row is refused with its row.
template <class Scores>
Result<ScoredRows, NanAt> scored_rows(const Scores& scores, std::span<const std::uint8_t> classes) {
    ScoredRows out;
    std::size_t kept = 0;
    for (const std::uint8_t c : classes) kept += c != kLeftOut;
    out.score.reserve(kept);
    out.positive.reserve(kept);
    for (std::size_t i = 0; i < classes.size(); ++i) {
        if (classes[i] == kLeftOut) continue;
        const double v = static_cast<double>(scores[i]);
        if (std::isnan(v)) return NanAt{i};
        out.score.push_back(v + 0.0);  // -0.0 + 0.0 is +0.0: the two zeros are one score
        out.positive.push_back(classes[i] != 0);
    }
    return out;
}

/// The ROC and precision-recall curves of scored rows, and their figures.
struct ScoreCurves {
    std::uint64_t positives = 0;
    std::uint64_t negatives = 0;
    std::uint64_t thresholds = 0;  ///< distinct scores
    double auc = 0.0;              ///< NaN without rows of both classes
    double average_precision = 0.0;  ///< NaN without positive rows
    // ROC points, thinned: from (0, 0) at threshold +inf through each kept
    // threshold in decreasing order to (1, 1). Empty without both classes.
    std::vector<double> fpr, tpr, roc_threshold;
    // Precision-recall points, thinned: one per kept threshold in decreasing
    // order (increasing recall), the first and the last always kept. Empty
    // without positive rows.
    std::vector<double> recall, precision, pr_threshold;
};

/// The fewest points a curve may be thinned to.
inline constexpr std::size_t kMinCurvePoints = 2;
/// The most points asked of a curve.
inline constexpr std::size_t kMaxCurvePoints = std::size_t{1} << 20;

/// Both curves of `rows` (its vectors are consumed), each thinned to at most
/// `points` points (kMinCurvePoints to kMaxCurvePoints, else BadBins):
/// points are kept where the curve has moved another 1 / (points - 2) of its
/// whole length (the sum of |dx| + |dy| over its steps) since the last kept
/// one.
Result<ScoreCurves, DiagnosticsError> score_curves(ScoredRows rows, std::size_t points);

/// The edges np.linspace(low, high, bins + 1) gives: low + j * step with
/// step = (high - low) / bins, the last edge high. Needs low < high, both
/// finite and high - low finite (else BadRange), and 1 <= bins <= kMaxBins.
inline constexpr std::size_t kMaxBins = std::size_t{1} << 16;
Result<std::vector<double>, DiagnosticsError> linspace_edges(double low, double high, std::size_t bins);

/// Calibration of scored rows over equal-width bins of [low, high]. Bin j
/// holds the scores in (e_j, e_j+1], the first bin [e_0, e_1] as well: the
/// bin of a score is the number of inner edges below it. Scores below low or
/// above high are counted apart.
struct Calibration {
    std::vector<double> edges;
    std::vector<std::uint64_t> negatives, positives;  ///< rows of each class per bin
    std::vector<double> score_sum;                    ///< sum of the bin's scores in row order
    std::vector<double> mean_score;                   ///< score_sum / rows (NaN for an empty bin)
    std::vector<double> positive_rate;                ///< positives / rows (NaN for an empty bin)
    std::uint64_t below[2] = {0, 0};                  ///< [negatives, positives] below low
    std::uint64_t above[2] = {0, 0};                  ///< [negatives, positives] above high
};
Result<Calibration, DiagnosticsError> calibration(const ScoredRows& rows, std::size_t bins, double low, double high);

/// The (actual, predicted) pairs of the rows that are read and have both
/// values finite, in row order, each value as single precision widened.
struct Pairs {
    std::vector<double> actual, predicted;
    std::uint64_t nonfinite = 0;  ///< rows read whose actual or predicted value is not finite
};

/// The pairs of rows kept by `keep` (0 leaves a row out).
template <class Keep>
Pairs regression_pairs(const F32Column& actual, const F32Column& predicted, const Keep& keep) {
    Pairs out;
    with_readers(actual, predicted, [&](auto t, auto p) {
        for (std::size_t i = 0; i < actual.size(); ++i) {
            if (!keep(i)) continue;
            const double tv = t[i], pv = p[i];
            if (!std::isfinite(tv) || !std::isfinite(pv)) {
                ++out.nonfinite;
                continue;
            }
            out.actual.push_back(tv);
            out.predicted.push_back(pv);
        }
    });
    return out;
}

/// The extremes of the pairs: of the actual and predicted values together,
/// and of the residuals actual - predicted. NaN when there are no pairs.
struct Extent {
    double low = NAN, high = NAN;
    double residual_low = NAN, residual_high = NAN;
};
Extent extent(const Pairs& pairs);

/// The errors of each quantile of the predictions. Quantile q of Q holds the
/// pairs whose prediction has rank r (0-based, ascending, ties in row order)
/// with floor(r * Q / n) = q: ranks ceil(q n / Q) up to ceil((q + 1) n / Q).
struct Quantiles {
    std::vector<std::uint64_t> count;
    std::vector<double> low, high;         ///< the smallest and largest prediction in it
    std::vector<double> mean_predicted, mean_actual;
    std::vector<double> mean_absolute_error;  ///< mean |actual - predicted|
    std::vector<double> mean_error;           ///< mean (actual - predicted)
};

/// The regression diagnostics of pairs: density[i * bins + j] counts the
/// pairs with the actual value in bin i and the predicted value in bin j of
/// edges; residuals[k] those with the residual in bin k of residual_edges.
/// A bin holds [e_j, e_j+1), the last one [e_bins-1, e_bins] (np.histogram's
/// bins); values outside the edges are counted apart.
struct Regression {
    std::vector<double> edges;
    std::vector<std::uint64_t> density;
    std::uint64_t outside = 0;
    std::vector<double> residual_edges;
    std::vector<std::uint64_t> residuals;
    std::uint64_t residual_outside = 0;
    Quantiles quantiles;
};
Result<Regression, DiagnosticsError> regression(const Pairs& pairs, double low, double high, std::size_t bins,
                                                double residual_low, double residual_high,
                                                std::size_t residual_bins, std::size_t quantiles);

/// The most quantiles asked of the predictions.
inline constexpr std::size_t kMaxQuantiles = 1000;
/// The most bins of a side of the density grid (the grid has its square).
inline constexpr std::size_t kMaxGridBins = 1000;

}  // namespace lumetra::diagnostics
