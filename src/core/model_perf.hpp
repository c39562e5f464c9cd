// Model performance: regression error sums, confusion counts and the metrics
// formed from them, and the logistic-regression log loss. Inputs are columns of
// single-precision values; the boundary presents NumPy buffers or values it
// converted itself as such columns.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "core/errors.hpp"
#include "core/intake.hpp"
#include "core/metrics.hpp"
#include "core/report.hpp"
#include "core/result.hpp"
#include "core/runtime.hpp"

namespace lumetra {

/// Values read as single precision from float32 or float64 memory at any
/// stride (negative strides included); float64 values are rounded to single
/// precision as they are read, so no narrowed copy is ever made.
struct F32Column {
    enum class Width : std::uint8_t { Float32, Float64 };

    const char* data = nullptr;
    std::ptrdiff_t stride = sizeof(float);
    std::size_t n = 0;
    Width width = Width::Float32;

    /// Number of values.
    std::size_t size() const noexcept { return n; }
    /// Value i, narrowed to single precision (for tests and single reads; loops use typed readers).
    float operator[](std::size_t i) const noexcept;

    /// A column over owned single-precision values (the vector must outlive it).
    static F32Column of(const std::vector<float>& v) noexcept;
    /// A column over float32 memory.
    static F32Column float32(const char* data, std::ptrdiff_t stride, std::size_t n) noexcept;
    /// A column over float64 memory, narrowed on read.
    static F32Column float64(const char* data, std::ptrdiff_t stride, std::size_t n) noexcept;
};

/// Reads element i of a column's memory as single precision. The contiguous
/// form has a compile-time stride, so counting loops over it vectorise; memcpy
/// keeps both forms free of alignment and aliasing assumptions.
template <class T, bool Contiguous>
struct F32Reader {
    const char* data;
    std::ptrdiff_t stride;

    float operator[](std::size_t i) const noexcept {
        T v;
        if constexpr (Contiguous) {
            std::memcpy(&v, data + i * sizeof(T), sizeof(T));
        } else {
            std::memcpy(&v, data + static_cast<std::ptrdiff_t>(i) * stride, sizeof(T));
        }
        return static_cast<float>(v);
    }
};

/// Calls f(reader) with the F32Reader of element type T matching the column's layout.
template <class T, class F>
decltype(auto) with_typed_reader(const F32Column& c, F&& f) {
    if (c.stride == static_cast<std::ptrdiff_t>(sizeof(T))) return f(F32Reader<T, true>{c.data, c.stride});
    return f(F32Reader<T, false>{c.data, c.stride});
}

/// Calls f(reader) with the F32Reader matching the column's width and layout.
template <class F>
decltype(auto) with_reader(const F32Column& c, F&& f) {
    if (c.width == F32Column::Width::Float64) return with_typed_reader<double>(c, f);
    return with_typed_reader<float>(c, f);
}

/// Calls f(reader_a, reader_b) with the readers matching both columns.
template <class F>
decltype(auto) with_readers(const F32Column& a, const F32Column& b, F&& f) {
    return with_reader(a, [&](auto ra) { return with_reader(b, [&](auto rb) { return f(ra, rb); }); });
}

// ---------------------------------------------------------------- regression

/// Ten double-precision running sums from which the regression metrics follow.
struct LinearRegressionErrorBuckets {
    double squared_error_sum = 0.0;
    double absolute_error_sum = 0.0;
    double max_absolute_error = 0.0;
    double squared_log_error_sum = 0.0;
    double absolute_percentage_error_sum = 0.0;
    double y_true_sum = 0.0;
    double pair_count = 0.0;
    double y_true_squared_sum = 0.0;
    double y_pred_squared_sum = 0.0;
    double true_pred_product_sum = 0.0;

    /// Adds one (true, predicted) pair, widened to double; validates nothing.
    void update(float t, float p) noexcept;
    /// Adds the pairs of two columns in index order (the columns must have
    /// equal lengths), exactly as `update` on each pair would. Large inputs
    /// form their terms on several threads (up to the thread cap). Throws
    /// std::bad_alloc, with the sums unchanged, when its fixed-size block
    /// buffers cannot be had.
    void add_dataset(const F32Column& y_true, const F32Column& y_pred);
    /// The same on at most `threads` threads; the sums do not depend on it.
    void add_dataset(const F32Column& y_true, const F32Column& y_pred, unsigned threads);

    /// Sums over every pair in index order; DataVectorLengthMismatch, then EmptyDataVector.
    static Result<LinearRegressionErrorBuckets, ModelPerformanceError> from_dataset(const F32Column& y_true,
                                                                                   const F32Column& y_pred);
};

namespace detail {
/// A pair's squared log error, (ln(t + 1) - ln(p + 1))^2.
inline double squared_log_error(double t, double p) noexcept {
    const double log_diff = std::log(t + 1.0) - std::log(p + 1.0);
    return log_diff * log_diff;
}
}  // namespace detail

// Inline: a monitor's push is this update, and a call per pair costs as much
// as the additions.
inline void LinearRegressionErrorBuckets::update(float t_in, float p_in) noexcept {
    const double t = t_in;
    const double p = p_in;
    const double d = t - p;
    const double a = std::fabs(d);
    const double d2 = d * d;
    squared_error_sum += d2;
    absolute_error_sum += a;
    // The maximum ignores a NaN operand, so one NaN pair does not hide the
    // largest error. The running maximum starts at 0 and never becomes NaN,
    // and a is never -0, so this comparison is fmax (which would otherwise
    // be a call into the maths library in the hot loop).
    max_absolute_error = a > max_absolute_error ? a : max_absolute_error;
    squared_log_error_sum += detail::squared_log_error(t, p);
    absolute_percentage_error_sum += std::fabs(a / t);
    y_true_sum += t;
    pair_count += 1.0;
    const double tt = t * t;
    const double pp = p * p;
    const double tp = t * p;
    y_true_squared_sum += tt;
    y_pred_squared_sum += pp;
    true_pred_product_sum += tp;
}

/// Coefficient of determination from the sums, with the expanded residual (double precision).
double r_squared(const LinearRegressionErrorBuckets& b) noexcept;

/// The eight regression metrics of the sums (square roots taken in double before rounding).
LinearRegressionRuntime regression_metrics(const LinearRegressionErrorBuckets& b) noexcept;

/// Regression record from paired columns: from_dataset, then regression_metrics.
Result<LinearRegressionRuntime, ModelPerformanceError> linear_regression_runtime(const F32Column& y_true,
                                                                               const F32Column& y_pred);

// ------------------------------------------------------------ classification

/// The seven classification metrics from the four confusion counts, in single
/// precision with no guards (a zero denominator gives NaN).
BinaryClassificationRuntime classification_metrics(std::uint64_t true_positive, std::uint64_t false_positive,
                                                   std::uint64_t true_negative, std::uint64_t false_negative) noexcept;

/// Pairs positive in both columns, in truth, in prediction.
struct LabelPairCounts {
    std::uint64_t both = 0, true_pos = 0, pred_pos = 0;
};
/// The counts of n pairs whose values equal `label` (int64 values within the int32 range).
LabelPairCounts count_label_pairs(const std::int64_t* y_true, const std::int64_t* y_pred, std::size_t n,
                                  std::int32_t label) noexcept;
LabelPairCounts count_label_pairs(const std::int32_t* y_true, const std::int32_t* y_pred, std::size_t n,
                                  std::int32_t label) noexcept;
/// The counts of n pairs of int64 values not yet known to fit int32, in the
/// same pass; nullopt when one does not fit.
std::optional<LabelPairCounts> count_label_pairs_checked(const std::int64_t* y_true, const std::int64_t* y_pred,
                                                         std::size_t n, std::int32_t label) noexcept;

/// Confusion counts over integer labels. Cells count exactly in 64 bits and
/// are rounded to single precision only where a formula uses them.
struct ConfusionMatrix {
    std::uint64_t true_positive = 0;
    std::uint64_t false_positive = 0;
    std::uint64_t true_negative = 0;
    std::uint64_t false_negative = 0;

    /// Counts one pair; a value is positive when it equals `label`.
    void push(std::int32_t y_true, std::int32_t y_pred, std::int32_t label) noexcept {
        // The cell chosen by index (truth, then prediction), without a branch:
        // the cell of a pair is as random as the pairs are, and a mispredicted
        // branch costs more than the addition.
        using Counter = std::uint64_t ConfusionMatrix::*;
        static constexpr Counter kCell[4] = {
            &ConfusionMatrix::true_negative, &ConfusionMatrix::false_positive,
            &ConfusionMatrix::false_negative, &ConfusionMatrix::true_positive,
        };
        this->*kCell[static_cast<unsigned>(y_true == label) * 2 + static_cast<unsigned>(y_pred == label)] += 1;
    }
    /// Counts every pair of two integer columns (any types with size() and
    /// operator[], or UncheckedInt64); DataVectorLengthMismatch and
    /// LabelOutOfRange leave the counts unchanged.
    template <class T, class P>
    Result<void, ModelPerformanceError> push_dataset(const T& y_true, const P& y_pred, std::int32_t label) {
        if (y_true.size() != y_pred.size()) {
            return ModelPerformanceError(ModelPerformanceError::Kind::DataVectorLengthMismatch);
        }
        const std::size_t n = y_true.size();
        constexpr bool unchecked_true = std::is_same_v<T, UncheckedInt64>;
        constexpr bool unchecked_pred = std::is_same_v<P, UncheckedInt64>;
        if constexpr (unchecked_true && unchecked_pred) {
            const auto c = count_label_pairs_checked(y_true.data, y_pred.data, n, label);
            if (!c) return ModelPerformanceError(ModelPerformanceError::Kind::LabelOutOfRange);
            add_pairs(c->both, c->true_pos, c->pred_pos, n);
            return {};
        } else if constexpr (unchecked_true || unchecked_pred) {
            // One column of each kind (a list beside an array): the unchecked
            // one is checked on its own first.
            const UncheckedInt64& wide = [&]() -> const UncheckedInt64& {
                if constexpr (unchecked_true) return y_true;
                else return y_pred;
            }();
            if (!detail::kernels::all_within(wide.data, n, std::numeric_limits<std::int32_t>::min(),
                                             std::numeric_limits<std::int32_t>::max())) {
                return ModelPerformanceError(ModelPerformanceError::Kind::LabelOutOfRange);
            }
            const Packed<std::int64_t> checked{wide.data, n};
            if constexpr (unchecked_true) return push_dataset(checked, y_pred, label);
            else return push_dataset(y_true, checked, label);
        } else if constexpr (std::is_same_v<T, P> && (std::is_same_v<T, Packed<std::int64_t>> ||
                                                      std::is_same_v<T, Packed<std::int32_t>>)) {
            // NumPy's default integers and the monitor's own: a kernel for
            // the widest vector unit (values are known to fit 32 bits).
            const LabelPairCounts c = count_label_pairs(y_true.data, y_pred.data, n, label);
            add_pairs(c.both, c.true_pos, c.pred_pos, n);
            return {};
        } else {
            // Branch-free sums of the two memberships and their overlap, so the pass vectorises.
            std::uint64_t both = 0, true_pos = 0, pred_pos = 0;
            for (std::size_t i = 0; i < n; ++i) {
                const std::uint64_t t = static_cast<std::int32_t>(y_true[i]) == label;
                const std::uint64_t p = static_cast<std::int32_t>(y_pred[i]) == label;
                both += t & p;
                true_pos += t;
                pred_pos += p;
            }
            add_pairs(both, true_pos, pred_pos, n);
            return {};
        }
    }
    /// Adds n pairs of which `true_pos` are positive in truth, `pred_pos` in
    /// prediction and `both` in both.
    void add_pairs(std::uint64_t both, std::uint64_t true_pos, std::uint64_t pred_pos, std::uint64_t n) noexcept;
    /// Number of pairs counted.
    std::uint64_t total() const noexcept;
    /// The seven metrics of the current counts.
    BinaryClassificationRuntime metrics() const noexcept;
};

/// Binary classification of hard predictions: a value is positive when it is
/// exactly 1.0. DataVectorLengthMismatch; empty input gives seven NaN values.
Result<BinaryClassificationRuntime, ModelPerformanceError> binary_classification_runtime(const F32Column& y_true,
                                                                                       const F32Column& y_pred);

// ------------------------------------------------------------------ logistic

/// Bounds [lo, hi] that keep a score away from 0 and 1 before its logarithm:
/// lo is the stability epsilon in single precision and hi = 1 - lo.
struct ScoreClamp {
    float lo;
    float hi;

    /// The bounds for an epsilon; nullopt when they cross or are NaN (an
    /// epsilon above 0.5, or NaN), since no score then lies between them.
    static std::optional<ScoreClamp> from_epsilon(double eps) noexcept;
    /// p limited to [lo, hi]; NaN stays NaN.
    float apply(float p) const noexcept { return p < lo ? lo : (p > hi ? hi : p); }
};

/// One pair's log-loss term (1 - t) ln(1 - c) + t ln(c) in single precision; a
/// product whose first factor is exactly 0 contributes 0 (the limit of x ln x).
inline float log_loss_term(float t, float c) noexcept {
    // A factor of exactly 0 stands for a pair that lies entirely on the other
    // side: its product is 0 even where the logarithm is infinite.
    const float neg_factor = 1.0f - t;
    const float neg = neg_factor == 0.0f ? 0.0f : neg_factor * std::log(1.0f - c);
    const float pos = t == 0.0f ? 0.0f : t * std::log(c);
    return neg + pos;
}

/// Most pairs one call of log_loss_terms takes.
inline constexpr std::size_t kLogLossBlock = 256;
/// terms[j] = log_loss_term(truth[j], score[j]) for m <= kLogLossBlock pairs
/// of true values and clamped scores, with the logarithms in tight loops.
void log_loss_terms(const float* truth, const float* score, std::size_t m, float* terms) noexcept;

/// The log loss of n pairs whose terms add up to `sum`: -sum / n in double
/// precision, rounded once to single. The sum is the single-precision terms,
/// each widened to double and added in double in pair order, so that a long
/// input keeps absorbing its terms (a single-precision sum of ten million
/// terms of about 1 has a spacing of 1 and drifts by percents). n = 0 gives
/// NaN (0/0). The batch record, the logistic monitor and the package's
/// per-group kernels all end in this.
inline float log_loss_of(double sum, std::uint64_t n) noexcept {
    return static_cast<float>(-sum / static_cast<double>(n));
}

/// Running sums of a logistic-regression evaluation: how many pairs have a
/// positive truth, a positive prediction and both (value >= threshold), and
/// the log-loss terms added in pair order in double precision (log_loss_of).
struct LogisticSums {
    std::uint64_t both = 0;
    std::uint64_t true_pos = 0;
    std::uint64_t pred_pos = 0;
    std::uint64_t n = 0;
    double log_loss_sum = 0.0;

    /// Adds one pair given its two memberships and its log-loss term.
    void add(bool truth_positive, bool prediction_positive, float term) noexcept {
        both += truth_positive && prediction_positive;
        true_pos += truth_positive;
        pred_pos += prediction_positive;
        n += 1;
        log_loss_sum += static_cast<double>(term);
    }
};

/// The logistic-regression record of the sums; InvalidData when the log loss
/// is NaN (no pairs included).
Result<LogisticRegressionRuntime, ModelPerformanceError> logistic_metrics(const LogisticSums& sums);

/// Which true values count as the positive class in a log-loss pass.
enum class TruthRule : std::uint8_t {
    AtLeastThreshold,  ///< at least the decision threshold (the batch record)
    ExactlyOne,        ///< exactly 1 (the streaming monitor)
};

/// Class counts of a log-loss pass: pairs positive in both, in truth, in prediction.
struct LogLossCounts {
    std::uint64_t both = 0, true_pos = 0, pred_pos = 0;
};

/// One pass over pairs of equal-length columns: counts the classes (a score
/// is positive from `threshold` on, a true value by `rule`) and adds the
/// log-loss terms of the clamped scores to `sum`, each widened to double, one
/// addition per pair in index order. Large inputs form their terms on
/// several threads (up to the thread cap); the sum does not depend on it.
/// Throws std::bad_alloc, with `sum` unchanged, when its fixed-size block
/// buffers cannot be had.
LogLossCounts log_loss_pass(const F32Column& y_true, const F32Column& y_pred, float threshold, TruthRule rule,
                            const ScoreClamp& clamp, double& sum);
/// The same on at most `threads` threads.
LogLossCounts log_loss_pass(const F32Column& y_true, const F32Column& y_pred, float threshold, TruthRule rule,
                            const ScoreClamp& clamp, double& sum, unsigned threads);

/// Logistic-regression record: classes by value >= threshold (true values
/// too), log loss of the raw values with scores clamped by the epsilon.
/// DataVectorLengthMismatch; InvalidData when the log loss is NaN (empty
/// input included) or the epsilon's clamp bounds cross.
Result<LogisticRegressionRuntime, ModelPerformanceError> logistic_regression_runtime(const F32Column& y_true,
                                                                                   const F32Column& y_pred,
                                                                                   float threshold, double epsilon);
/// The same with the process's stability epsilon.
Result<LogisticRegressionRuntime, ModelPerformanceError> logistic_regression_runtime(const F32Column& y_true,
                                                                                   const F32Column& y_pred,
                                                                                   float threshold);

// -------------------------------------------------------------------- checks

/// Regression check: baseline record, then latest record (a missing name is
/// InvalidAnalysisReport), then RSquared must not fall and the others must not rise.
Result<DriftReport<LinearRegressionEvaluationMetric>, ModelPerformanceError> regression_performance_runtime(
    const NamedValues& baseline, const NamedValues& latest, const LinearRegressionMetricVec& metrics,
    float threshold);

/// Logistic-regression check: LogLoss must not rise, the seven others must not fall below (1 - t) B.
Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> logistic_performance_runtime(
    const NamedValues& baseline, const NamedValues& latest, const LogisticRegressionMetricVec& metrics,
    float threshold);

/// Binary-classification check: a metric fails when (1 + t) L < B. The list never holds LogLoss.
Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> classification_performance_runtime(
    const NamedValues& baseline, const NamedValues& latest, const ClassificationMetricVec& metrics,
    float threshold);

/// The metrics of a full binary-classification check: BalancedAccuracy to F1Score.
ClassificationMetricVec binary_classification_metrics();

}  // namespace lumetra
