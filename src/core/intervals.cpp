#include "core/intervals.hpp"

#include <array>
#include <cmath>
#include <limits>

#include "core/data_bias.hpp"
#include "core/model_bias.hpp"
#include "core/model_perf.hpp"
#include "core/resample.hpp"

namespace lumetra::intervals {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The purposes of the streams: each kind of table draws its own.
enum Purpose : std::uint32_t {
    kBiasTables = 0,
    kConfusionTables = 1,
    kChangeTables = 2,  // 2, 3: the two sides
    kDriftReference = 4,
    kDriftCurrent = 5,
};

using Interval = std::pair<double, double>;
constexpr Interval kNone{kNaN, kNaN};

// Percentile bounds of every metric of `groups` groups: metrics(g, replicate,
// values) writes replicate `replicate`'s value of each metric of group g
// into values (false: the group has no interval).
template <class Replicate>
Bounds bootstrap(std::size_t metrics, std::size_t groups, const Spec& spec, Replicate&& replicate) {
    Bounds out(metrics, groups);
    std::vector<std::vector<double>> draws(metrics);
    std::vector<double> values(metrics);
    for (std::size_t g = 0; g < groups; ++g) {
        for (auto& d : draws) d.clear();
        bool any = false;
        for (std::uint64_t b = 0; b < spec.replicates; ++b) {
            if (!replicate(g, b, values)) break;
            any = true;
            for (std::size_t m = 0; m < metrics; ++m) draws[m].push_back(values[m]);
        }
        if (!any) continue;
        for (std::size_t m = 0; m < metrics; ++m) {
            const Interval i = resample::percentile_interval(draws[m], spec.level);
            out.low[m][g] = i.first;
            out.high[m][g] = i.second;
        }
    }
    return out;
}

void set(Bounds& b, std::size_t metric, std::size_t g, Interval i) noexcept {
    b.low[metric][g] = i.first;
    b.high[metric][g] = i.second;
}

// The generalized entropy of a comparison's rows from their counts (benefit
// 0 a missed positive, 1 a found one, 2 a negative), the per-row terms of the
// engine's formula weighted by their counts in double precision: a
// replicate has counts, not rows in order.
float entropy_of_counts(const std::uint64_t* a, const std::uint64_t* d) noexcept {
    // Cells indexed by truth + 2 * prediction.
    const std::uint64_t missed = a[1] + d[1], found = a[3] + d[3], negative = a[0] + a[2] + d[0] + d[2];
    const std::uint64_t n = missed + found + negative;
    if (n == 0) return std::numeric_limits<float>::quiet_NaN();
    float terms[3];
    generalized_entropy_terms(static_cast<float>(found + 2 * negative), static_cast<std::size_t>(n), terms);
    const double sum = static_cast<double>(missed) * terms[0] + static_cast<double>(found) * terms[1] +
                       static_cast<double>(negative) * terms[2];
    return static_cast<float>(sum);
}

Bounds analytic_data_bias(const GroupTallies& t, std::optional<std::size_t> reference, const Spec& spec) {
    Bounds out(metric_count<DataBiasMetric>, t.groups);
    const SideCells totals = tally_totals(t);
    for (std::size_t g = 0; g < t.groups; ++g) {
        const SideCells d = other_side(t, g, reference, totals);
        const FacetCounts c = facet_counts(t.of(g), d.data());
        set(out, static_cast<std::size_t>(DataBiasMetric::DifferenceInProportionOfLabels), g,
            newcombe(c.label_positive_a, c.len_a, c.label_positive_d, c.len_d, spec.z));
    }
    return out;
}

Bounds analytic_model_bias(const GroupTallies& t, std::optional<std::size_t> reference, const Spec& spec) {
    using M = ModelBiasMetric;
    Bounds out(metric_count<ModelBiasMetric>, t.groups);
    const SideCells totals = tally_totals(t);
    for (std::size_t g = 0; g < t.groups; ++g) {
        const SideCells d = other_side(t, g, reference, totals);
        const PostTraining c = post_training_counts(t.of(g), d.data());
        const double z = spec.z;
        auto at = [&](M m) { return static_cast<std::size_t>(m); };
        set(out, at(M::DifferenceInPositivePredictedLabels), g,
            newcombe(c.pred_positive_a, c.len_a, c.pred_positive_d, c.len_d, z));
        set(out, at(M::DisparateImpact), g, katz(c.pred_positive_a, c.len_a, c.pred_positive_d, c.len_d, z));
        set(out, at(M::AccuracyDifference), g,
            newcombe(c.true_positive_a + c.true_negative_a, c.len_a, c.true_positive_d + c.true_negative_d, c.len_d,
                     z));
        set(out, at(M::RecallDifference), g,
            newcombe(c.true_positive_a, c.label_positive_a, c.true_positive_d, c.label_positive_d, z));
        set(out, at(M::DifferenceInAcceptanceRate), g,
            newcombe(c.true_positive_a, c.pred_positive_a, c.true_positive_d, c.pred_positive_d, z));
        set(out, at(M::SpecialityDifference), g,
            newcombe(c.true_negative_a, c.true_negative_a + c.false_positive_a, c.true_negative_d,
                     c.true_negative_d + c.false_positive_d, z));
        // Facet d minus facet a.
        set(out, at(M::DifferenceInRejectionRate), g,
            newcombe(c.true_negative_d, c.true_negative_d + c.false_negative_d, c.true_negative_a,
                     c.true_negative_a + c.false_negative_a, z));
    }
    return out;
}

Bounds analytic_classification(const GroupTallies& t, const Spec& spec) {
    using M = ClassificationEvaluationMetric;
    Bounds out(metric_count<ClassificationEvaluationMetric> - 1, t.groups);
    for (std::size_t g = 0; g < t.groups; ++g) {
        const ConfusionMatrix c = confusion_of(t.of(g));
        const std::uint64_t n = c.true_positive + c.false_positive + c.true_negative + c.false_negative;
        auto at = [&](M m) { return static_cast<std::size_t>(m); };
        set(out, at(M::Accuracy), g, wilson(c.true_positive + c.true_negative, n, spec.z));
        set(out, at(M::PrecisionPositive), g, wilson(c.true_positive, c.true_positive + c.false_positive, spec.z));
        set(out, at(M::PrecisionNegative), g, wilson(c.true_negative, c.true_negative + c.false_negative, spec.z));
        set(out, at(M::RecallPositive), g, wilson(c.true_positive, c.true_positive + c.false_negative, spec.z));
        set(out, at(M::RecallNegative), g, wilson(c.true_negative, c.true_negative + c.false_positive, spec.z));
    }
    return out;
}

// The delta-method interval of the mean of n terms from their sum and the
// sum of their squares (the sample variance with n - 1).
Interval mean_interval(double sum, double squares, double n, double z) noexcept {
    if (!(n > 1.0)) return kNone;
    const double mean = sum / n;
    const double spread = (squares - sum * mean) / (n - 1.0);
    // No sums of squares (NaN), or terms beyond a double's range: no bound,
    // rather than an interval of width 0.
    if (std::isnan(spread)) return kNone;
    const double variance = spread < 0.0 ? 0.0 : spread;
    const double half = z * std::sqrt(variance / n);
    return {mean - half, mean + half};
}

// The square roots of a mean's bounds (a negative lower bound is 0); NaN stays NaN.
Interval root(Interval i) noexcept {
    auto r = [](double x) { return x < 0.0 ? 0.0 : std::sqrt(x); };
    return {r(i.first), r(i.second)};
}

// The metrics of a comparison table (facet a's cells, then facet d's).
void bias_scores(const std::uint64_t* table, std::size_t width, std::vector<double>& values) noexcept {
    std::fill(values.begin(), values.end(), kNaN);
    const std::uint64_t* a = table;
    const std::uint64_t* d = table + width;
    if (width == 2) {
        const FacetCounts c = facet_counts(a, d);
        if (c.len_a == 0 || c.len_d == 0) return;
        pre_training_values(c).for_each([&](DataBiasMetric m, float v) { values[static_cast<std::size_t>(m)] = v; });
        return;
    }
    const PostTraining c = post_training_counts(a, d);
    if (check_post_training(c) == PostTrainingGuard::EmptyFacet) return;
    const EachPostTraining each = post_training_each(c, entropy_of_counts(a, d));
    for (std::size_t m = 0; m < each.values.size(); ++m) values[m] = each.values[m];
    // The generalized entropy is a sum over the comparison's rows: its change
    // is judged per row, so that samples of other sizes compare.
    const auto ge = static_cast<std::size_t>(ModelBiasMetric::GeneralizedEntropy);
    values[ge] /= static_cast<double>(c.len_a + c.len_d);
}

void confusion_scores(const std::uint64_t* cells, std::size_t, std::vector<double>& values) noexcept {
    const auto r = confusion_of(cells).metrics();
    for (std::size_t m = 0; m < values.size(); ++m) values[m] = r.values[m];
}

// The two-sided normal p-value of an estimate of standard error `se`.
double normal_p(double estimate, double se) noexcept {
    if (!std::isfinite(estimate) || std::isnan(se)) return kNaN;
    if (se == 0.0) return estimate == 0.0 ? 1.0 : 0.0;
    return std::erfc(std::fabs(estimate) / (se * std::sqrt(2.0)));
}

// Changes of `metrics` metrics between pairs of tables of `cells` cells,
// scored by score(table, width, values); metric m a ratio when ratio(m).
template <class Score, class Ratio>
Change table_change(std::span<const std::uint64_t> reference, std::span<const std::uint64_t> current,
                    std::size_t rows, std::size_t cells, std::size_t width, std::size_t metrics, const Spec& spec,
                    std::uint32_t purpose, Score&& score, Ratio&& ratio) {
    Change out(metrics, rows);
    std::vector<double> r(metrics), c(metrics);
    std::vector<std::uint64_t> rd(cells), cd(cells);
    std::vector<std::vector<double>> draws(metrics);
    for (std::size_t row = 0; row < rows; ++row) {
        const std::uint64_t* rt = reference.data() + row * cells;
        const std::uint64_t* ct = current.data() + row * cells;
        score(rt, width, r);
        score(ct, width, c);
        for (std::size_t m = 0; m < metrics; ++m) out.change[m][row] = ratio(m) ? c[m] / r[m] : c[m] - r[m];
        std::uint64_t r_rows = 0, c_rows = 0;
        for (std::size_t k = 0; k < cells; ++k) {
            r_rows += rt[k];
            c_rows += ct[k];
        }
        if (r_rows == 0 || c_rows == 0) continue;
        for (auto& d : draws) d.clear();
        for (std::uint64_t b = 0; b < spec.replicates; ++b) {
            const auto g = static_cast<std::uint32_t>(row), rep = static_cast<std::uint32_t>(b);
            resample::Stream rs(spec.seed, rep, g, purpose), cs(spec.seed, rep, g, purpose + 1);
            resample::multinomial(rs, std::span<const std::uint64_t>(rt, cells), rd);
            resample::multinomial(cs, std::span<const std::uint64_t>(ct, cells), cd);
            score(rd.data(), width, r);
            score(cd.data(), width, c);
            for (std::size_t m = 0; m < metrics; ++m) {
                // A ratio's replicates on the log scale, where the interval is symmetric.
                const double d = ratio(m) ? std::log(c[m] / r[m]) : c[m] - r[m];
                if (std::isfinite(d)) draws[m].push_back(d);
            }
        }
        for (std::size_t m = 0; m < metrics; ++m) {
            std::vector<double>& d = draws[m];
            if (d.size() < 2) continue;
            double mean = 0.0;
            for (const double v : d) mean += v;
            mean /= static_cast<double>(d.size());
            double square = 0.0;
            for (const double v : d) square += (v - mean) * (v - mean);
            const double se = std::sqrt(square / static_cast<double>(d.size() - 1));
            const double estimate = ratio(m) ? std::log(out.change[m][row]) : out.change[m][row];
            out.p_value[m][row] = normal_p(estimate, se);
            auto [lo, hi] = resample::percentile_interval(d, spec.level);
            if (ratio(m)) {
                lo = std::exp(lo);
                hi = std::exp(hi);
            }
            out.low[m][row] = lo;
            out.high[m][row] = hi;
        }
    }
    return out;
}

struct Mean {
    double mean = kNaN, variance = kNaN, n = 0.0;
};

// The mean and sample variance of n terms from their sum and sum of squares.
Mean mean_of(double sum, double squares, double n) noexcept {
    Mean m;
    m.n = n;
    if (!(n > 0.0)) return m;
    m.mean = sum / n;
    if (n > 1.0) m.variance = std::max(0.0, (squares - sum * m.mean) / (n - 1.0));
    return m;
}

// The delta-method change of a mean (or, with `root`, of its square root;
// with `negate`, of minus the mean), its interval and p-value.
void mean_change(Change& out, std::size_t metric, std::size_t row, Mean r, Mean c, double z, bool root,
                 bool negate = false) noexcept {
    if (!(r.n > 1.0) || !(c.n > 1.0)) return;
    double change = c.mean - r.mean;
    double se = std::sqrt(r.variance / r.n + c.variance / c.n);
    if (root) {
        const double sr = std::sqrt(r.mean), sc = std::sqrt(c.mean);
        change = sc - sr;
        se = std::sqrt(r.variance / r.n / (4.0 * r.mean) + c.variance / c.n / (4.0 * c.mean));
    }
    if (negate) change = -change;
    out.change[metric][row] = change;
    out.low[metric][row] = change - z * se;
    out.high[metric][row] = change + z * se;
    out.p_value[metric][row] = normal_p(change, se);
}

}  // namespace

Change::Change(std::size_t metrics, std::size_t rows)
    : change(metrics, std::vector<double>(rows, kNaN)),
      low(metrics, std::vector<double>(rows, kNaN)),
      high(metrics, std::vector<double>(rows, kNaN)),
      p_value(metrics, std::vector<double>(rows, kNaN)) {}

Change bias_change(std::span<const std::uint64_t> reference, std::span<const std::uint64_t> current, std::size_t rows,
                   std::size_t width, const Spec& spec) {
    const bool model = width == 4;
    const std::size_t metrics = model ? metric_count<ModelBiasMetric> : metric_count<DataBiasMetric>;
    const auto di = static_cast<std::size_t>(ModelBiasMetric::DisparateImpact);
    return table_change(reference, current, rows, 2 * width, width, metrics, spec, kChangeTables, bias_scores,
                        [&](std::size_t m) { return model && m == di; });
}

Change classification_change(std::span<const std::uint64_t> reference, std::span<const std::uint64_t> current,
                             std::size_t rows, const Spec& spec) {
    return table_change(reference, current, rows, 4, 4, metric_count<ClassificationEvaluationMetric> - 1, spec,
                        kChangeTables, confusion_scores, [](std::size_t) { return false; });
}

Change regression_change(std::span<const double> reference_sums, std::span<const double> reference_moments,
                         std::span<const double> current_sums, std::span<const double> current_moments,
                         std::size_t rows, const Spec& spec) {
    using M = LinearRegressionEvaluationMetric;
    Change out(metric_count<LinearRegressionEvaluationMetric>, rows);
    constexpr std::size_t kSums = 10;
    for (std::size_t row = 0; row < rows; ++row) {
        const double* rs = reference_sums.data() + row * kSums;
        const double* cs = current_sums.data() + row * kSums;
        const double* rm = reference_moments.data() + row * kRegressionMoments;
        const double* cm = current_moments.data() + row * kRegressionMoments;
        const double rn = rs[6], cn = cs[6];
        auto at = [](M m) { return static_cast<std::size_t>(m); };
        const Mean r_mse = mean_of(rs[0], rm[0], rn), c_mse = mean_of(cs[0], cm[0], cn);
        mean_change(out, at(M::MeanSquaredError), row, r_mse, c_mse, spec.z, false);
        mean_change(out, at(M::RootMeanSquaredError), row, r_mse, c_mse, spec.z, true);
        mean_change(out, at(M::MeanAbsoluteError), row, mean_of(rs[1], rs[0], rn), mean_of(cs[1], cs[0], cn), spec.z,
                    false);
        const Mean r_msle = mean_of(rs[3], rm[1], rn), c_msle = mean_of(cs[3], cm[1], cn);
        mean_change(out, at(M::MeanSquaredLogError), row, r_msle, c_msle, spec.z, false);
        mean_change(out, at(M::RootMeanSquaredLogError), row, r_msle, c_msle, spec.z, true);
        mean_change(out, at(M::MeanAbsolutePercentageError), row, mean_of(rs[4], rm[2], rn),
                    mean_of(cs[4], cm[2], cn), spec.z, false);
    }
    return out;
}

Change logistic_change(std::span<const std::uint64_t> reference_counts, std::span<const double> reference_sums,
                       std::span<const double> reference_moments, std::span<const std::uint64_t> current_counts,
                       std::span<const double> current_sums, std::span<const double> current_moments,
                       std::size_t rows, const Spec& spec) {
    auto cells_of_counts = [&](std::span<const std::uint64_t> counts) {
        std::vector<std::uint64_t> cells(rows * 4);
        for (std::size_t g = 0; g < rows; ++g) {
            const std::uint64_t both = counts[4 * g], truth = counts[4 * g + 1], pred = counts[4 * g + 2];
            cells[4 * g + 3] = both;
            cells[4 * g + 1] = truth - both;
            cells[4 * g + 2] = pred - both;
            cells[4 * g + 0] = counts[4 * g + 3] - truth - pred + both;
        }
        return cells;
    };
    const auto rc = cells_of_counts(reference_counts), cc = cells_of_counts(current_counts);
    const Change classes = classification_change(rc, cc, rows, spec);
    Change out(metric_count<ClassificationEvaluationMetric>, rows);
    for (std::size_t m = 0; m < classes.change.size(); ++m) {
        out.change[m] = classes.change[m];
        out.low[m] = classes.low[m];
        out.high[m] = classes.high[m];
        out.p_value[m] = classes.p_value[m];
    }
    const auto log_loss = static_cast<std::size_t>(ClassificationEvaluationMetric::LogLoss);
    for (std::size_t g = 0; g < rows; ++g) {
        const Mean r = mean_of(reference_sums[g], reference_moments[g], static_cast<double>(reference_counts[4 * g + 3]));
        const Mean c = mean_of(current_sums[g], current_moments[g], static_cast<double>(current_counts[4 * g + 3]));
        // The log loss is minus the mean of the terms.
        mean_change(out, log_loss, g, r, c, spec.z, false, true);
    }
    return out;
}

Bounds::Bounds(std::size_t metrics, std::size_t groups)
    : low(metrics, std::vector<double>(groups, kNaN)), high(metrics, std::vector<double>(groups, kNaN)) {}

std::pair<double, double> wilson(std::uint64_t k, std::uint64_t n, double z) noexcept {
    if (n == 0) return kNone;
    const double nn = static_cast<double>(n), p = static_cast<double>(k) / nn, z2 = z * z;
    const double centre = (p + z2 / (2.0 * nn)) / (1.0 + z2 / nn);
    const double half = z / (1.0 + z2 / nn) * std::sqrt(p * (1.0 - p) / nn + z2 / (4.0 * nn * nn));
    return {centre - half, centre + half};
}

std::pair<double, double> newcombe(std::uint64_t k1, std::uint64_t n1, std::uint64_t k2, std::uint64_t n2,
                                   double z) noexcept {
    if (n1 == 0 || n2 == 0) return kNone;
    const double p1 = static_cast<double>(k1) / static_cast<double>(n1);
    const double p2 = static_cast<double>(k2) / static_cast<double>(n2);
    const auto [l1, u1] = wilson(k1, n1, z);
    const auto [l2, u2] = wilson(k2, n2, z);
    const double diff = p1 - p2;
    return {diff - std::sqrt((p1 - l1) * (p1 - l1) + (u2 - p2) * (u2 - p2)),
            diff + std::sqrt((u1 - p1) * (u1 - p1) + (p2 - l2) * (p2 - l2))};
}

std::pair<double, double> katz(std::uint64_t k1, std::uint64_t n1, std::uint64_t k2, std::uint64_t n2,
                               double z) noexcept {
    if (k1 == 0 || k2 == 0 || n1 == 0 || n2 == 0) return kNone;
    const double x1 = static_cast<double>(k1), x2 = static_cast<double>(k2);
    const double m1 = static_cast<double>(n1), m2 = static_cast<double>(n2);
    const double log_ratio = std::log((x1 / m1) / (x2 / m2));
    const double se = std::sqrt(1.0 / x1 - 1.0 / m1 + 1.0 / x2 - 1.0 / m2);
    return {std::exp(log_ratio - z * se), std::exp(log_ratio + z * se)};
}

Bounds bias_bounds(const GroupTallies& t, std::optional<std::size_t> reference, const Spec& spec) {
    const bool model = t.width == 4;
    if (spec.method == Method::Analytic) {
        return model ? analytic_model_bias(t, reference, spec) : analytic_data_bias(t, reference, spec);
    }
    const std::size_t w = t.width;
    const SideCells totals = tally_totals(t);
    std::vector<std::uint64_t> table(2 * w), drawn(2 * w);
    std::size_t current = t.groups;  // the group whose table is set up
    auto replicate = [&](std::size_t g, std::uint64_t b, std::vector<double>& values) {
        if (g != current) {
            const SideCells d = other_side(t, g, reference, totals);
            std::copy(t.of(g), t.of(g) + w, table.begin());
            std::copy(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(w), table.begin() + static_cast<std::ptrdiff_t>(w));
            current = g;
        }
        std::uint64_t a_rows = 0, d_rows = 0;
        for (std::size_t k = 0; k < w; ++k) {
            a_rows += table[k];
            d_rows += table[w + k];
        }
        if (a_rows == 0 || d_rows == 0) return false;  // no comparison: no interval
        resample::Stream s(spec.seed, static_cast<std::uint32_t>(b), static_cast<std::uint32_t>(g), kBiasTables);
        resample::multinomial(s, table, drawn);
        const std::uint64_t* a = drawn.data();
        const std::uint64_t* d = drawn.data() + w;
        std::fill(values.begin(), values.end(), kNaN);
        if (!model) {
            const FacetCounts c = facet_counts(a, d);
            if (c.len_a == 0 || c.len_d == 0) return true;
            pre_training_values(c).for_each([&](DataBiasMetric m, float v) { values[static_cast<std::size_t>(m)] = v; });
            return true;
        }
        const PostTraining c = post_training_counts(a, d);
        if (check_post_training(c) == PostTrainingGuard::EmptyFacet) return true;
        const EachPostTraining each = post_training_each(c, entropy_of_counts(a, d));
        for (std::size_t m = 0; m < each.values.size(); ++m) values[m] = each.values[m];
        return true;
    };
    return bootstrap(model ? metric_count<ModelBiasMetric> : metric_count<DataBiasMetric>, t.groups, spec,
                     replicate);
}

Bounds classification_bounds(const GroupTallies& t, const Spec& spec) {
    if (spec.method == Method::Analytic) return analytic_classification(t, spec);
    std::array<std::uint64_t, 4> drawn{};
    auto replicate = [&](std::size_t g, std::uint64_t b, std::vector<double>& values) {
        if (t.rows(g) == 0) return false;
        resample::Stream s(spec.seed, static_cast<std::uint32_t>(b), static_cast<std::uint32_t>(g), kConfusionTables);
        resample::multinomial(s, std::span<const std::uint64_t>(t.of(g), 4), drawn);
        const auto r = confusion_of(drawn.data()).metrics();
        for (std::size_t m = 0; m < values.size(); ++m) values[m] = r.values[m];
        return true;
    };
    return bootstrap(metric_count<ClassificationEvaluationMetric> - 1, t.groups, spec, replicate);
}

Bounds regression_bounds(std::span<const double> sums, std::span<const double> moments, std::size_t groups,
                         const Spec& spec) {
    using M = LinearRegressionEvaluationMetric;
    Bounds out(metric_count<LinearRegressionEvaluationMetric>, groups);
    constexpr std::size_t kSums = 10;
    for (std::size_t g = 0; g < groups; ++g) {
        const double* s = sums.data() + g * kSums;
        const double* m = moments.data() + g * kRegressionMoments;
        // The regression sums in their order: squared error, absolute error,
        // largest error, squared log error, absolute percentage error, ... , pairs (7th).
        const double n = s[6];
        const Interval mse = mean_interval(s[0], m[0], n, spec.z);
        set(out, static_cast<std::size_t>(M::MeanSquaredError), g, mse);
        set(out, static_cast<std::size_t>(M::RootMeanSquaredError), g, root(mse));
        set(out, static_cast<std::size_t>(M::MeanAbsoluteError), g, mean_interval(s[1], s[0], n, spec.z));
        const Interval msle = mean_interval(s[3], m[1], n, spec.z);
        set(out, static_cast<std::size_t>(M::MeanSquaredLogError), g, msle);
        set(out, static_cast<std::size_t>(M::RootMeanSquaredLogError), g, root(msle));
        set(out, static_cast<std::size_t>(M::MeanAbsolutePercentageError), g, mean_interval(s[4], m[2], n, spec.z));
    }
    return out;
}

Bounds logistic_bounds(std::span<const std::uint64_t> counts, std::span<const double> sums,
                       std::span<const double> moments, std::size_t groups, const Spec& spec) {
    // The counts (both, true_pos, pred_pos, n) as cells indexed by truth + 2 * prediction.
    std::vector<std::uint64_t> cells(groups * 4);
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint64_t both = counts[4 * g], truth = counts[4 * g + 1], pred = counts[4 * g + 2];
        const std::uint64_t n = counts[4 * g + 3];
        cells[4 * g + 3] = both;
        cells[4 * g + 1] = truth - both;
        cells[4 * g + 2] = pred - both;
        cells[4 * g + 0] = n - truth - pred + both;
    }
    const Bounds classes = classification_bounds(GroupTallies{cells.data(), groups, 4}, spec);
    Bounds out(metric_count<ClassificationEvaluationMetric>, groups);
    for (std::size_t m = 0; m < classes.low.size(); ++m) {
        out.low[m] = classes.low[m];
        out.high[m] = classes.high[m];
    }
    const auto log_loss = static_cast<std::size_t>(ClassificationEvaluationMetric::LogLoss);
    for (std::size_t g = 0; g < groups; ++g) {
        // The log loss is minus the mean of the terms.
        const Interval terms = mean_interval(sums[g], moments[g], static_cast<double>(counts[4 * g + 3]), spec.z);
        set(out, log_loss, g, {-terms.second, -terms.first});
    }
    return out;
}

Bounds drift_bounds(std::span<const double> point, std::span<const std::uint64_t> reference,
                    std::span<const std::uint64_t> current, std::span<const drift::DataDriftType> types,
                    drift::BinKind kind, std::uint32_t column, const Spec& spec) {
    Bounds out(types.size(), 1);
    std::uint64_t n_reference = 0, n_current = 0;
    for (const std::uint64_t c : reference) n_reference += c;
    for (const std::uint64_t c : current) n_current += c;
    if (n_reference == 0 || n_current == 0 || reference.size() != current.size() || point.size() != types.size()) {
        return out;
    }
    std::vector<std::uint64_t> ref_draw(reference.size()), cur_draw(current.size());
    std::vector<double> shares(reference.size()), counts(current.size());
    std::vector<std::vector<double>> draws(types.size());
    const double total = static_cast<double>(n_reference);
    for (std::uint64_t b = 0; b < spec.replicates; ++b) {
        resample::Stream rs(spec.seed, static_cast<std::uint32_t>(b), column, kDriftReference);
        resample::Stream cs(spec.seed, static_cast<std::uint32_t>(b), column, kDriftCurrent);
        resample::multinomial(rs, reference, ref_draw);
        resample::multinomial(cs, current, cur_draw);
        for (std::size_t i = 0; i < shares.size(); ++i) {
            shares[i] = static_cast<double>(ref_draw[i]) / total;
            counts[i] = static_cast<double>(cur_draw[i]);
        }
        const auto scores = drift::scores_of_counts(shares, counts, types, kind);
        if (!scores.ok()) continue;
        for (std::size_t m = 0; m < types.size(); ++m) draws[m].push_back(scores.value()[m]);
    }
    for (std::size_t m = 0; m < types.size(); ++m) {
        if (draws[m].empty()) continue;
        const Interval q = resample::percentile_interval(draws[m], spec.level);
        out.low[m][0] = std::max(0.0, 2.0 * point[m] - q.second);
        out.high[m][0] = std::max(0.0, 2.0 * point[m] - q.first);
    }
    return out;
}

}  // namespace lumetra::intervals
