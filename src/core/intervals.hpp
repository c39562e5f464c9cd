// Confidence intervals of the metrics of many groups, from the counts and
// sums the groups were reduced to (never from rows again):
// - bootstrap: a replicate of a group's count table is a multinomial draw
//   over its cells (resample.hpp), scored by the engine's own formulas; the
//   interval is the percentile interval of the replicates. Each (replicate,
//   group) draws from a stream of its own, so the bounds are the same bits
//   for any thread count, partitioning or merge order;
// - analytic: Wilson's score interval of a proportion, Newcombe's hybrid score
//   interval of a difference of two proportions, Katz's log interval of a
//   ratio of two, where the metric is one of those; NaN elsewhere;
// - the delta method for the means of per-pair terms (regression errors, log
//   loss) from the sums of the terms and of their squares.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/drift_parts.hpp"
#include "core/groups.hpp"
#include "core/model_perf.hpp"

namespace lumetra::intervals {

enum class Method : std::uint8_t { Bootstrap, Analytic };

/// What an interval is asked to be: its level (0.95), the standard normal
/// quantile of (1 + level) / 2 (for the analytic and delta-method bounds),
/// the bootstrap's replicates and seed, and the method for count metrics.
struct Spec {
    double level = 0.95;
    double z = 1.959963984540054;
    std::uint64_t replicates = 1000;
    std::uint64_t seed = 0;
    Method method = Method::Bootstrap;
};

/// Lower and upper bounds, [metric][group], NaN where there is none.
struct Bounds {
    std::vector<std::vector<double>> low, high;
    Bounds(std::size_t metrics, std::size_t groups);
};

/// Bounds of the data-bias (2 cells a group) or model-bias (4 cells) metrics
/// of every group, each group as facet a against its comparison side (the
/// reference group, or every other row).
Bounds bias_bounds(const GroupTallies& t, std::optional<std::size_t> reference, const Spec& spec);

/// Bounds of the seven classification metrics of every group from its four
/// cells (truth + 2 * prediction).
Bounds classification_bounds(const GroupTallies& t, const Spec& spec);

/// The sums beyond a performance state that the delta method needs, per
/// group: for regression the sums of e^4, of the squared log error squared and
/// of the squared absolute percentage error (e = truth - prediction, each pair
/// as the regression sums read it); for logistic the sum of the squared
/// log-loss terms. Added in row order in double precision.
inline constexpr std::size_t kRegressionMoments = 3;
inline constexpr std::size_t kLogisticMoments = 1;

/// Bounds of the eight regression metrics from the ten regression sums and
/// the three moments of each group: MeanSquaredError, MeanAbsoluteError,
/// MeanSquaredLogError and MeanAbsolutePercentageError by the delta method,
/// RootMeanSquaredError and RootMeanSquaredLogError as the square roots of
/// those; RSquared and MaxError have none (NaN).
Bounds regression_bounds(std::span<const double> sums, std::span<const double> moments, std::size_t groups,
                         const Spec& spec);

/// Bounds of the eight logistic metrics: the seven classification metrics of
/// the counts (both, true_pos, pred_pos, n per group) as classification_bounds
/// gives them, LogLoss by the delta method from its sum and moment.
Bounds logistic_bounds(std::span<const std::uint64_t> counts, std::span<const double> sums,
                       std::span<const double> moments, std::size_t groups, const Spec& spec);

/// The regression moments of each group (kRegressionMoments a group, into
/// out), the pairs read as regression_by_group reads them. False for a code
/// at or beyond `groups`.
template <class Codes>
bool regression_moments(const Codes& codes, const F32Column& y_true, const F32Column& y_pred, std::size_t groups,
                        double* out) {
    using C = detail::code_t<Codes>;
    bool bad = false;
    with_readers(y_true, y_pred, [&](auto t, auto p) {
        for (std::size_t i = 0; i < codes.size(); ++i) {
            const std::size_t g = detail::slot_of<C>(codes[i], groups, bad);
            if (bad) return;
            if (g == groups) continue;
            const double tv = t[i], pv = p[i];
            const double d = tv - pv;
            const double d2 = d * d;
            const double sle = detail::squared_log_error(tv, pv);
            const double pct = std::fabs(std::fabs(d) / tv);
            double* m = out + g * kRegressionMoments;
            m[0] += d2 * d2;
            m[1] += sle * sle;
            m[2] += pct * pct;
        }
    });
    return !bad;
}

/// The logistic moment of each group (the sum of its squared log-loss terms),
/// the terms formed as logistic_by_group forms them. False for a code at or
/// beyond `groups`.
template <class Codes>
bool logistic_moments(const Codes& codes, const OutcomeMarker& mark, const F32Column& scores,
                      const ScoreClamp& clamp, std::size_t groups, double* out) {
    using C = detail::code_t<Codes>;
    bool bad = false;
    with_reader(scores, [&](auto p) {
        constexpr std::size_t kBlock = kLogLossBlock;
        std::uint8_t flags[kBlock];
        float truth[kBlock], score[kBlock], terms[kBlock];
        for (std::size_t begin = 0; begin < codes.size() && !bad; begin += kBlock) {
            const std::size_t m = std::min(kBlock, codes.size() - begin);
            mark(begin, begin + m, flags);
            for (std::size_t j = 0; j < m; ++j) {
                truth[j] = (flags[j] & 1u) != 0 ? 1.0f : 0.0f;
                score[j] = clamp.apply(p[begin + j]);
            }
            log_loss_terms(truth, score, m, terms);
            for (std::size_t j = 0; j < m; ++j) {
                const std::size_t g = detail::slot_of<C>(codes[begin + j], groups, bad);
                if (g == groups) continue;
                const double term = terms[j];
                out[g] += term * term;
            }
        }
    });
    return !bad;
}

/// The change of each metric from a reference table to a current one, for
/// a check that judges change rather than noise: the change (current minus
/// reference; current over reference for a ratio metric), its interval and
/// the p-value of no change, [metric][row].
struct Change {
    std::vector<std::vector<double>> change, low, high, p_value;
    Change(std::size_t metrics, std::size_t rows);
};

/// The changes of the data-bias (width 2) or model-bias (width 4) metrics of
/// `rows` pairs of comparison tables, each table the `width` cells of facet a
/// then the `width` cells of facet d. Bootstrap replicates of each side from
/// streams of their own; the interval is the percentile interval of the
/// replicates' changes, the p-value two-sided from the change over the
/// replicates' standard deviation (normal; on the log scale for the ratio,
/// DisparateImpact).
Change bias_change(std::span<const std::uint64_t> reference, std::span<const std::uint64_t> current, std::size_t rows,
                   std::size_t width, const Spec& spec);

/// The changes of the performance metrics of `rows` pairs of group states:
/// classification metrics from the four cells of each side (bootstrap, as
/// bias_change), the mean metrics by the delta method from the sums and
/// moments (regression: ten sums and three moments a group; logistic: counts
/// both, true_pos, pred_pos, n, one sum and one moment). RSquared and
/// MaxError have none.
Change classification_change(std::span<const std::uint64_t> reference, std::span<const std::uint64_t> current,
                             std::size_t rows, const Spec& spec);
Change regression_change(std::span<const double> reference_sums, std::span<const double> reference_moments,
                         std::span<const double> current_sums, std::span<const double> current_moments,
                         std::size_t rows, const Spec& spec);
Change logistic_change(std::span<const std::uint64_t> reference_counts, std::span<const double> reference_sums,
                       std::span<const double> reference_moments, std::span<const std::uint64_t> current_counts,
                       std::span<const double> current_sums, std::span<const double> current_moments,
                       std::size_t rows, const Spec& spec);

/// Bounds of the drift scores (in the order of `types`) of one column from
/// its reference and current bin counts: a replicate draws each side's counts
/// afresh (multinomial, same totals, from streams keyed by seed, replicate
/// and `column`) and scores the current draw against the reference draw's
/// shares as the batch detector scores its bins. The interval is the basic
/// bootstrap interval around `point` (the scores of the samples as they
/// are): 2 point - the upper and lower percentiles of the replicates, so the
/// upward bias a divergence of finite samples has is taken off; bounds below
/// zero are zero. NaN where a side has no count.
Bounds drift_bounds(std::span<const double> point, std::span<const std::uint64_t> reference,
                    std::span<const std::uint64_t> current, std::span<const drift::DataDriftType> types,
                    drift::BinKind kind, std::uint32_t column, const Spec& spec);

/// Wilson's score interval of k successes in n (NaN for n = 0).
std::pair<double, double> wilson(std::uint64_t k, std::uint64_t n, double z) noexcept;
/// Newcombe's hybrid score interval of k1 / n1 - k2 / n2.
std::pair<double, double> newcombe(std::uint64_t k1, std::uint64_t n1, std::uint64_t k2, std::uint64_t n2,
                                   double z) noexcept;
/// Katz's log interval of (k1 / n1) / (k2 / n2) (NaN when k1 or k2 is 0).
std::pair<double, double> katz(std::uint64_t k1, std::uint64_t n1, std::uint64_t k2, std::uint64_t n2,
                               double z) noexcept;

}  // namespace lumetra::intervals
