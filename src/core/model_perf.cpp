#include "core/model_perf.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <stdexcept>

#include "core/cpu.hpp"
#include "core/parallel.hpp"
#include "core/settings.hpp"

namespace lumetra {
namespace {

using Kind = ModelPerformanceError::Kind;

// Pairs a pipeline block holds: enough work (two logarithms a pair) to pay
// for handing the block between threads, small enough for the ring of
// blocks to stay in the second-level caches.
constexpr std::size_t kRegressionBlock = 1024;
// Pairs below which a regression pass stays on one thread.
constexpr std::size_t kRegressionPairsPerThread = std::size_t{1} << 15;

// The per-pair terms of one block of pairs. The eight summed terms of a pair
// lie side by side, so that the eight running sums, each still added in
// ascending index order, advance together as the lanes of vector additions.
struct RegressionBlock {
    enum Lane { SquaredError, AbsoluteError, SquaredLog, Percentage, True, TrueSquared, PredSquared, Product };
    static constexpr std::size_t kLanes = 8;
    double terms[kRegressionBlock][kLanes];
    double max_abs = 0.0;  // largest |t - p| of the block (a NaN never counts), at least 0
    std::size_t m = 0;

    // Forms the terms of pairs [base, base + m): the element-wise terms first
    // (a loop without calls, which vectorises), then the logarithms (calls
    // into the maths library). The predicted value waits in the log lane.
    template <class T, class P>
    void produce(const T& t, const P& p, std::size_t base, std::size_t count) noexcept {
        m = count;
        double mx = 0.0;
        for (std::size_t j = 0; j < m; ++j) {
            const double tv = t[base + j];
            const double pv = p[base + j];
            const double d = tv - pv;
            const double a = std::fabs(d);
            double* lane = terms[j];
            lane[SquaredError] = d * d;
            lane[AbsoluteError] = a;
            lane[SquaredLog] = pv;
            lane[Percentage] = std::fabs(a / tv);
            lane[True] = tv;
            lane[TrueSquared] = tv * tv;
            lane[PredSquared] = pv * pv;
            lane[Product] = tv * pv;
            mx = a > mx ? a : mx;
        }
        for (std::size_t j = 0; j < m; ++j) {
            double* lane = terms[j];
            lane[SquaredLog] = detail::squared_log_error(lane[True], lane[SquaredLog]);
        }
        max_abs = mx;
    }

    // Adds the block to the sums, pair by pair in index order.
    void add_to(LinearRegressionErrorBuckets& b) const noexcept {
        double acc[kLanes] = {b.squared_error_sum, b.absolute_error_sum, b.squared_log_error_sum,
                              b.absolute_percentage_error_sum, b.y_true_sum, b.y_true_squared_sum,
                              b.y_pred_squared_sum, b.true_pred_product_sum};
        for (std::size_t j = 0; j < m; ++j) {
            for (std::size_t k = 0; k < kLanes; ++k) acc[k] += terms[j][k];
        }
        b.squared_error_sum = acc[SquaredError];
        b.absolute_error_sum = acc[AbsoluteError];
        b.squared_log_error_sum = acc[SquaredLog];
        b.absolute_percentage_error_sum = acc[Percentage];
        b.y_true_sum = acc[True];
        b.y_true_squared_sum = acc[TrueSquared];
        b.y_pred_squared_sum = acc[PredSquared];
        b.true_pred_product_sum = acc[Product];
        // The maximum of non-NaN values does not depend on their order.
        b.max_absolute_error = max_abs > b.max_absolute_error ? max_abs : b.max_absolute_error;
        // Adding 1.0 m times is exact below 2^53; past it, one by one as ever.
        if (b.pair_count < 0x1p52) {
            b.pair_count += static_cast<double>(m);
        } else {
            for (std::size_t j = 0; j < m; ++j) b.pair_count += 1.0;
        }
    }
};

// The confusion cells of n pairs counted as memberships and their overlap.
ConfusionMatrix cells_of(std::uint64_t both, std::uint64_t true_pos, std::uint64_t pred_pos,
                         std::uint64_t n) noexcept {
    ConfusionMatrix cells;
    cells.add_pairs(both, true_pos, pred_pos, n);
    return cells;
}

}  // namespace

// ------------------------------------------------------------------- columns

float F32Column::operator[](std::size_t i) const noexcept {
    return with_reader(*this, [i](auto r) { return r[i]; });
}

F32Column F32Column::of(const std::vector<float>& v) noexcept {
    return float32(reinterpret_cast<const char*>(v.data()), sizeof(float), v.size());
}

F32Column F32Column::float32(const char* data, std::ptrdiff_t stride, std::size_t n) noexcept {
    return F32Column{data, stride, n, Width::Float32};
}

F32Column F32Column::float64(const char* data, std::ptrdiff_t stride, std::size_t n) noexcept {
    return F32Column{data, stride, n, Width::Float64};
}

// ---------------------------------------------------------------- regression

Result<LinearRegressionErrorBuckets, ModelPerformanceError> LinearRegressionErrorBuckets::from_dataset(
    const F32Column& y_true, const F32Column& y_pred) {
    if (y_true.size() != y_pred.size()) return ModelPerformanceError(Kind::DataVectorLengthMismatch);
    if (y_true.size() == 0) return ModelPerformanceError(Kind::EmptyDataVector);
    LinearRegressionErrorBuckets acc;
    acc.add_dataset(y_true, y_pred);
    return acc;
}

void LinearRegressionErrorBuckets::add_dataset(const F32Column& y_true, const F32Column& y_pred) {
    add_dataset(y_true, y_pred, threads_for(y_true.size(), kRegressionPairsPerThread));
}

void LinearRegressionErrorBuckets::add_dataset(const F32Column& y_true, const F32Column& y_pred,
                                               unsigned threads) {
    const std::size_t n = y_true.size();
    const std::size_t nblocks = (n + kRegressionBlock - 1) / kRegressionBlock;
    with_readers(y_true, y_pred, [&](auto t, auto p) {
        // The logarithms dominate: blocks of terms are formed on up to
        // `threads` threads, and added here in index order.
        ordered_blocks<RegressionBlock>(
            nblocks, threads,
            [&](std::size_t b, RegressionBlock& block) noexcept {
                const std::size_t base = b * kRegressionBlock;
                block.produce(t, p, base, std::min(kRegressionBlock, n - base));
            },
            [&](std::size_t, const RegressionBlock& block) noexcept { block.add_to(*this); });
    });
}

double r_squared(const LinearRegressionErrorBuckets& b) noexcept {
    const double total = b.y_true_squared_sum - (b.y_true_sum * b.y_true_sum) / b.pair_count;
    // Expanded sum of squared residuals; it can be slightly off zero for a
    // perfect fit, which is what the caller sees.
    const double twice_product = 2.0 * b.true_pred_product_sum;
    const double residual = b.y_pred_squared_sum + (b.y_true_squared_sum - twice_product);
    if (total != 0.0) return 1.0 - residual / total;
    return residual == 0.0 ? 1.0 : 0.0;
}

LinearRegressionRuntime regression_metrics(const LinearRegressionErrorBuckets& b) noexcept {
    using M = LinearRegressionEvaluationMetric;
    const double n = b.pair_count;
    const double mse = b.squared_error_sum / n;
    const double msle = b.squared_log_error_sum / n;
    LinearRegressionRuntime r;
    r[M::RootMeanSquaredError] = static_cast<float>(std::sqrt(mse));
    r[M::MeanSquaredError] = static_cast<float>(mse);
    r[M::MeanAbsoluteError] = static_cast<float>(b.absolute_error_sum / n);
    r[M::RSquared] = static_cast<float>(r_squared(b));
    r[M::MaxError] = static_cast<float>(b.max_absolute_error);
    r[M::MeanSquaredLogError] = static_cast<float>(msle);
    r[M::RootMeanSquaredLogError] = static_cast<float>(std::sqrt(msle));
    r[M::MeanAbsolutePercentageError] = static_cast<float>(b.absolute_percentage_error_sum / n);
    return r;
}

Result<LinearRegressionRuntime, ModelPerformanceError> linear_regression_runtime(const F32Column& y_true,
                                                                               const F32Column& y_pred) {
    LUMETRA_TRY(const LinearRegressionErrorBuckets buckets,
                LinearRegressionErrorBuckets::from_dataset(y_true, y_pred));
    return regression_metrics(buckets);
}

// ------------------------------------------------------------ classification

BinaryClassificationRuntime classification_metrics(std::uint64_t true_positive, std::uint64_t false_positive,
                                                   std::uint64_t true_negative,
                                                   std::uint64_t false_negative) noexcept {
    using M = ClassificationEvaluationMetric;
    const float tp = static_cast<float>(true_positive);
    const float fp = static_cast<float>(false_positive);
    const float tn = static_cast<float>(true_negative);
    const float fn = static_cast<float>(false_negative);

    const float precision_positive = tp / (tp + fp);
    const float precision_negative = tn / (tn + fn);
    const float recall_positive = tp / (tp + fn);
    const float recall_negative = tn / (tn + fp);
    const float predicted_positive = tp + fp;
    const float others = predicted_positive + fn;
    const float correct = tp + tn;
    const float twice_recall = 2.0f * recall_positive;
    const float f1_numerator = precision_positive * twice_recall;

    BinaryClassificationRuntime r;
    r[M::BalancedAccuracy] = (recall_negative + recall_positive) * 0.5f;
    r[M::PrecisionPositive] = precision_positive;
    r[M::PrecisionNegative] = precision_negative;
    r[M::RecallPositive] = recall_positive;
    r[M::RecallNegative] = recall_negative;
    r[M::Accuracy] = correct / (tn + others);
    r[M::F1Score] = f1_numerator / (precision_positive + recall_positive);
    return r;
}

namespace {

/// With `Check`, also whether every value fits int32 (`outside` stays 0).
template <class T, bool Check = false>
inline LabelPairCounts count_label_pairs_impl(const T* __restrict t, const T* __restrict p, std::size_t n,
                                              T label, std::uint64_t* outside = nullptr) noexcept {
    // Lane counters of the element width, widened every block so they cannot wrap.
    constexpr std::size_t kBlock = std::size_t{1} << 16;
    LabelPairCounts c;
    std::uint64_t out = 0;
    for (std::size_t start = 0; start < n; start += kBlock) {
        const std::size_t end = std::min(n, start + kBlock);
        T both = 0, true_pos = 0, pred_pos = 0;
        for (std::size_t i = start; i < end; ++i) {
            const T tv = t[i] == label;
            const T pv = p[i] == label;
            both += tv & pv;
            true_pos += tv;
            pred_pos += pv;
            if constexpr (Check) {
                // Shifted by 2^31, an int32 value is below 2^32 as unsigned (wrapping is defined).
                constexpr std::uint64_t kShift = std::uint64_t{1} << 31;
                out |= ((static_cast<std::uint64_t>(t[i]) + kShift) | (static_cast<std::uint64_t>(p[i]) + kShift)) >> 32;
            }
        }
        c.both += static_cast<std::uint64_t>(both);
        c.true_pos += static_cast<std::uint64_t>(true_pos);
        c.pred_pos += static_cast<std::uint64_t>(pred_pos);
        if constexpr (Check) {
            if (out != 0) break;  // the counts are void; stop reading
        }
    }
    if constexpr (Check) *outside = out;
    return c;
}

}  // namespace

LUMETRA_KERNEL(LabelPairCounts, count_label_pairs,
               (const std::int64_t* y_true, const std::int64_t* y_pred, std::size_t n, std::int32_t label) noexcept,
               (y_true, y_pred, n, label),
               { return count_label_pairs_impl<std::int64_t>(y_true, y_pred, n, label); })

LUMETRA_KERNEL(std::optional<LabelPairCounts>, count_label_pairs_checked,
               (const std::int64_t* y_true, const std::int64_t* y_pred, std::size_t n, std::int32_t label) noexcept,
               (y_true, y_pred, n, label), {
    std::uint64_t outside = 0;
    const LabelPairCounts c = count_label_pairs_impl<std::int64_t, true>(y_true, y_pred, n, label, &outside);
    if (outside != 0) return std::nullopt;
    return c;
})

LUMETRA_KERNEL(LabelPairCounts, count_label_pairs,
               (const std::int32_t* y_true, const std::int32_t* y_pred, std::size_t n, std::int32_t label) noexcept,
               (y_true, y_pred, n, label),
               { return count_label_pairs_impl<std::int32_t>(y_true, y_pred, n, label); })

void ConfusionMatrix::add_pairs(std::uint64_t both, std::uint64_t true_pos, std::uint64_t pred_pos,
                                std::uint64_t n) noexcept {
    const std::uint64_t fp = pred_pos - both;
    const std::uint64_t fn = true_pos - both;
    true_positive += both;
    false_positive += fp;
    false_negative += fn;
    true_negative += n - both - fp - fn;
}

std::uint64_t ConfusionMatrix::total() const noexcept {
    return true_positive + false_positive + true_negative + false_negative;
}

BinaryClassificationRuntime ConfusionMatrix::metrics() const noexcept {
    return classification_metrics(true_positive, false_positive, true_negative, false_negative);
}

Result<BinaryClassificationRuntime, ModelPerformanceError> binary_classification_runtime(const F32Column& y_true,
                                                                                       const F32Column& y_pred) {
    if (y_true.size() != y_pred.size()) return ModelPerformanceError(Kind::DataVectorLengthMismatch);
    const std::size_t n = y_true.size();
    const ConfusionMatrix cells = with_readers(y_true, y_pred, [n](auto t, auto p) {
        // Only an exact 1.0 is positive; counted branch-free so the pass vectorises.
        std::uint64_t both = 0, true_pos = 0, pred_pos = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t tv = t[i] == 1.0f;
            const std::uint64_t pv = p[i] == 1.0f;
            both += tv & pv;
            true_pos += tv;
            pred_pos += pv;
        }
        return cells_of(both, true_pos, pred_pos, n);
    });
    return cells.metrics();
}

// ------------------------------------------------------------------ logistic

std::optional<ScoreClamp> ScoreClamp::from_epsilon(double eps) noexcept {
    const float lo = static_cast<float>(eps);
    const float hi = 1.0f - lo;
    // Written so that NaN bounds fail the test as well as crossed ones.
    if (!(lo <= hi)) return std::nullopt;
    return ScoreClamp{lo, hi};
}

void log_loss_terms(const float* truth, const float* score, std::size_t m, float* terms) noexcept {
    // Hard labels (every true value 0 or 1, the common case): one factor is
    // 0 and the other 1, so the term is the one logarithm itself, of 1 - c
    // for a 0 and of c for a 1. (The rule's sum adds a zero product, which
    // changes no logarithm: none is -0.) One tight loop of logarithms.
    // (Counts and masks, not conditionals: written as conditionals, both
    // loops were compiled into branches on each label.)
    std::uint32_t soft = 0;
    for (std::size_t j = 0; j < m; ++j) soft += static_cast<std::uint32_t>(truth[j] != 0.0f) & (truth[j] != 1.0f);
    if (soft == 0) {
        float x[kLogLossBlock];
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint32_t negative = 0u - static_cast<std::uint32_t>(truth[j] == 0.0f);
            x[j] = std::bit_cast<float>((std::bit_cast<std::uint32_t>(1.0f - score[j]) & negative) |
                                        (std::bit_cast<std::uint32_t>(score[j]) & ~negative));
        }
        for (std::size_t j = 0; j < m; ++j) terms[j] = std::log(x[j]);
        return;
    }
    // Otherwise lists which pairs need which logarithm (a factor of exactly
    // 0 needs none), takes only those in tight loops without unpredictable
    // branches, then forms the terms.
    float ln_neg[kLogLossBlock], ln_pos[kLogLossBlock];
    std::uint32_t need_neg[kLogLossBlock], need_pos[kLogLossBlock];
    std::size_t n_neg = 0, n_pos = 0;
    for (std::size_t j = 0; j < m; ++j) {
        const float tv = truth[j];
        ln_neg[j] = 0.0f;
        ln_pos[j] = 0.0f;
        need_neg[n_neg] = static_cast<std::uint32_t>(j);
        n_neg += (1.0f - tv) != 0.0f;
        need_pos[n_pos] = static_cast<std::uint32_t>(j);
        n_pos += tv != 0.0f;
    }
    for (std::size_t k = 0; k < n_neg; ++k) {
        const std::size_t j = need_neg[k];
        ln_neg[j] = std::log(1.0f - score[j]);
    }
    for (std::size_t k = 0; k < n_pos; ++k) {
        const std::size_t j = need_pos[k];
        ln_pos[j] = std::log(score[j]);
    }
    for (std::size_t j = 0; j < m; ++j) {
        // A skipped logarithm is stored as 0, so its product with a zero
        // factor is a zero as the rule has it, with no branch. (When t is -0
        // that zero is -0; added to ln(1 - c), which is never -0, it changes
        // nothing.)
        const float neg_factor = 1.0f - truth[j];
        const float neg = neg_factor * ln_neg[j];
        const float pos = truth[j] * ln_pos[j];
        terms[j] = neg + pos;
    }
}

namespace {

// Pairs a log-loss pipeline block holds, and pairs below which a log-loss
// pass stays on one thread.
constexpr std::size_t kLogLossPipelineBlock = 2048;
constexpr std::size_t kLogLossPairsPerThread = std::size_t{1} << 15;

// The class counts and log-loss terms of one block of pairs.
struct LogLossBlock {
    float terms[kLogLossPipelineBlock];
    std::uint64_t both = 0, true_pos = 0, pred_pos = 0;
    std::size_t m = 0;

    // Counts the classes, clamps the scores and lists which pairs need which
    // logarithm (a factor of exactly 0 needs none), then takes only those
    // logarithms in tight loops, a sub-block at a time.
    template <class T, class P>
    void produce(const T& t, const P& p, std::size_t base, std::size_t count, float threshold, TruthRule rule,
                 const ScoreClamp& clamp) noexcept {
        m = count;
        std::uint64_t b = 0, tp = 0, pp = 0;
        float truth[kLogLossBlock], raw[kLogLossBlock], score[kLogLossBlock];
        const bool at_least = rule == TruthRule::AtLeastThreshold;
        const ScoreClamp bounds = clamp;  // a local copy: the vector loop need not reload it
        for (std::size_t start = 0; start < m; start += kLogLossBlock) {
            const std::size_t len = std::min(kLogLossBlock, m - start);
            // Separate loops of one element type each, so that each vectorises.
            for (std::size_t j = 0; j < len; ++j) {
                truth[j] = t[base + start + j];
                raw[j] = p[base + start + j];
            }
            std::uint32_t bs = 0, tps = 0, pps = 0;
            for (std::size_t j = 0; j < len; ++j) {
                const std::uint32_t tc = at_least ? truth[j] >= threshold : truth[j] == 1.0f;
                const std::uint32_t pc = raw[j] >= threshold;
                bs += tc & pc;
                tps += tc;
                pps += pc;
            }
            b += bs;
            tp += tps;
            pp += pps;
            for (std::size_t j = 0; j < len; ++j) score[j] = bounds.apply(raw[j]);
            log_loss_terms(truth, score, len, terms + start);
        }
        both = b;
        true_pos = tp;
        pred_pos = pp;
    }
};

}  // namespace

LogLossCounts log_loss_pass(const F32Column& y_true, const F32Column& y_pred, float threshold, TruthRule rule,
                            const ScoreClamp& clamp, double& sum, unsigned threads) {
    const std::size_t n = y_true.size();
    const std::size_t nblocks = (n + kLogLossPipelineBlock - 1) / kLogLossPipelineBlock;
    LogLossCounts counts;
    double acc = sum;
    with_readers(y_true, y_pred, [&](auto t, auto p) {
        // The logarithms dominate: blocks of terms are formed on up to
        // `threads` threads, and added here in index order.
        ordered_blocks<LogLossBlock>(
            nblocks, threads,
            [&](std::size_t b, LogLossBlock& block) noexcept {
                const std::size_t base = b * kLogLossPipelineBlock;
                block.produce(t, p, base, std::min(kLogLossPipelineBlock, n - base), threshold, rule, clamp);
            },
            [&](std::size_t, const LogLossBlock& block) noexcept {
                double local = acc;
                for (std::size_t j = 0; j < block.m; ++j) local += static_cast<double>(block.terms[j]);
                acc = local;
                counts.both += block.both;
                counts.true_pos += block.true_pos;
                counts.pred_pos += block.pred_pos;
            });
    });
    sum = acc;
    return counts;
}

LogLossCounts log_loss_pass(const F32Column& y_true, const F32Column& y_pred, float threshold, TruthRule rule,
                            const ScoreClamp& clamp, double& sum) {
    return log_loss_pass(y_true, y_pred, threshold, rule, clamp, sum,
                         threads_for(y_true.size(), kLogLossPairsPerThread));
}

Result<LogisticRegressionRuntime, ModelPerformanceError> logistic_regression_runtime(const F32Column& y_true,
                                                                                   const F32Column& y_pred,
                                                                                   float threshold, double epsilon) {
    if (y_true.size() != y_pred.size()) return ModelPerformanceError(Kind::DataVectorLengthMismatch);
    const std::optional<ScoreClamp> clamp = ScoreClamp::from_epsilon(epsilon);
    if (!clamp) return ModelPerformanceError(Kind::InvalidData);
    const std::size_t n = y_true.size();

    // Classes by value >= threshold, true values too; the terms summed in
    // double in index order, as the monitor sums them.
    double sum = 0.0;
    const LogLossCounts counts = log_loss_pass(y_true, y_pred, threshold, TruthRule::AtLeastThreshold, *clamp, sum);
    return logistic_metrics(LogisticSums{counts.both, counts.true_pos, counts.pred_pos, n, sum});
}

Result<LogisticRegressionRuntime, ModelPerformanceError> logistic_metrics(const LogisticSums& sums) {
    const float log_loss = log_loss_of(sums.log_loss_sum, sums.n);
    if (std::isnan(log_loss)) return ModelPerformanceError(Kind::InvalidData);
    return with_log_loss(cells_of(sums.both, sums.true_pos, sums.pred_pos, sums.n).metrics(), log_loss);
}

Result<LogisticRegressionRuntime, ModelPerformanceError> logistic_regression_runtime(const F32Column& y_true,
                                                                                   const F32Column& y_pred,
                                                                                   float threshold) {
    return logistic_regression_runtime(y_true, y_pred, threshold, stability_eps());
}

// -------------------------------------------------------------------- checks

namespace {

template <class Record, class E>
Result<DriftReport<E>, ModelPerformanceError> check_records(const NamedValues& baseline, const NamedValues& latest,
                                                            const std::vector<E>& metrics, float threshold) {
    LUMETRA_TRY(const Record baseline_record, Record::from_names(baseline));
    LUMETRA_TRY(const Record latest_record, Record::from_names(latest));
    const MetricMap<E> failures = Record::runtime_check(latest_record, baseline_record, metrics, threshold);
    return DriftReport<E>::from_runtime(failures);
}

}  // namespace

Result<DriftReport<LinearRegressionEvaluationMetric>, ModelPerformanceError> regression_performance_runtime(
    const NamedValues& baseline, const NamedValues& latest, const LinearRegressionMetricVec& metrics,
    float threshold) {
    return check_records<LinearRegressionRuntime>(baseline, latest, metrics, threshold);
}

Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> logistic_performance_runtime(
    const NamedValues& baseline, const NamedValues& latest, const LogisticRegressionMetricVec& metrics,
    float threshold) {
    return check_records<LogisticRegressionRuntime>(baseline, latest, metrics, threshold);
}

Result<DriftReport<ClassificationEvaluationMetric>, ModelPerformanceError> classification_performance_runtime(
    const NamedValues& baseline, const NamedValues& latest, const ClassificationMetricVec& metrics,
    float threshold) {
    // The record has no LogLoss field; the parser refuses the name, and a
    // list built in code that holds it anyway is a broken invariant.
    for (const auto m : metrics) {
        if (static_cast<std::size_t>(m) >= BinaryClassificationRuntime::size) {
            throw std::logic_error("LogLoss in a binary classification check");
        }
    }
    return check_records<BinaryClassificationRuntime>(baseline, latest, metrics, threshold);
}

ClassificationMetricVec binary_classification_metrics() {
    ClassificationMetricVec out;
    for (std::size_t i = 0; i < BinaryClassificationRuntime::size; ++i) {
        out.push_back(static_cast<ClassificationEvaluationMetric>(i));
    }
    return out;
}

}  // namespace lumetra
