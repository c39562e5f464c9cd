#include "core/model_perf.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "core/settings.hpp"

namespace lumetra {
namespace {

using Kind = ModelPerformanceError::Kind;

inline double squared_log_error(double t, double p) noexcept {
    const double log_diff = std::log(t + 1.0) - std::log(p + 1.0);
    return log_diff * log_diff;
}

// The per-pair update, with the pair's squared log error computed by the caller.
inline void add_pair(LinearRegressionErrorBuckets& b, double t, double p, double sq_log) noexcept {
    const double d = t - p;
    const double a = std::fabs(d);
    const double d2 = d * d;
    b.squared_error_sum += d2;
    b.absolute_error_sum += a;
    // The maximum ignores a NaN operand, so one NaN pair does not hide the
    // largest error. The running maximum starts at 0 and never becomes NaN,
    // and a is never -0, so this comparison is fmax (which would otherwise
    // be a call into the maths library in the hot loop).
    b.max_absolute_error = a > b.max_absolute_error ? a : b.max_absolute_error;
    b.squared_log_error_sum += sq_log;
    b.absolute_percentage_error_sum += std::fabs(a / t);
    b.y_true_sum += t;
    b.pair_count += 1.0;
    const double tt = t * t;
    const double pp = p * p;
    const double tp = t * p;
    b.y_true_squared_sum += tt;
    b.y_pred_squared_sum += pp;
    b.true_pred_product_sum += tp;
}

// The per-pair terms of a block of pairs, one array per term.
struct BlockTerms {
    static constexpr std::size_t kBlock = 256;
    double t[kBlock], p[kBlock], sq_err[kBlock], abs_err[kBlock], sq_log[kBlock], pct[kBlock], tt[kBlock],
        pp[kBlock], tp[kBlock];

    void set(std::size_t j, double tv, double pv) noexcept {
        const double d = tv - pv;
        const double a = std::fabs(d);
        t[j] = tv;
        p[j] = pv;
        sq_err[j] = d * d;
        abs_err[j] = a;
        pct[j] = std::fabs(a / tv);
        tt[j] = tv * tv;
        pp[j] = pv * pv;
        tp[j] = tv * pv;
    }

    void add_to(LinearRegressionErrorBuckets& b, std::size_t m) const noexcept {
        for (std::size_t j = 0; j < m; ++j) {
            b.squared_error_sum += sq_err[j];
            b.absolute_error_sum += abs_err[j];
            b.max_absolute_error = abs_err[j] > b.max_absolute_error ? abs_err[j] : b.max_absolute_error;
            b.squared_log_error_sum += sq_log[j];
            b.absolute_percentage_error_sum += pct[j];
            b.y_true_sum += t[j];
            b.pair_count += 1.0;
            b.y_true_squared_sum += tt[j];
            b.y_pred_squared_sum += pp[j];
            b.true_pred_product_sum += tp[j];
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

void LinearRegressionErrorBuckets::update(float t_in, float p_in) noexcept {
    const double t = t_in;
    const double p = p_in;
    add_pair(*this, t, p, squared_log_error(t, p));
}

Result<LinearRegressionErrorBuckets, ModelPerformanceError> LinearRegressionErrorBuckets::from_dataset(
    const F32Column& y_true, const F32Column& y_pred) {
    if (y_true.size() != y_pred.size()) return ModelPerformanceError(Kind::DataVectorLengthMismatch);
    if (y_true.size() == 0) return ModelPerformanceError(Kind::EmptyDataVector);
    LinearRegressionErrorBuckets acc;
    acc.add_dataset(y_true, y_pred);
    return acc;
}

void LinearRegressionErrorBuckets::add_dataset(const F32Column& y_true, const F32Column& y_pred) noexcept {
    const std::size_t n = y_true.size();
    *this = with_readers(y_true, y_pred, [n, start = *this](auto t, auto p) {
        // Blocks of pairs, each in three passes: the element-wise terms (a
        // loop without reductions, so it vectorises), the logarithms (calls
        // into the maths library, which clobber every vector register), and
        // finally the ten sums, which thus stay in registers. Each sum still
        // runs in ascending index order with the same terms.
        constexpr std::size_t kBlock = BlockTerms::kBlock;
        BlockTerms terms;
        LinearRegressionErrorBuckets acc = start;
        for (std::size_t base = 0; base < n; base += kBlock) {
            const std::size_t m = std::min(kBlock, n - base);
            for (std::size_t j = 0; j < m; ++j) terms.set(j, t[base + j], p[base + j]);
            for (std::size_t j = 0; j < m; ++j) terms.sq_log[j] = squared_log_error(terms.t[j], terms.p[j]);
            terms.add_to(acc, m);
        }
        return acc;
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

void ConfusionMatrix::push(std::int32_t y_true, std::int32_t y_pred, std::int32_t label) noexcept {
    const bool t = y_true == label;
    const bool p = y_pred == label;
    if (t) {
        if (p) ++true_positive;
        else ++false_negative;
    } else {
        if (p) ++false_positive;
        else ++true_negative;
    }
}

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

float log_loss_term(float t, float c) noexcept {
    // A factor of exactly 0 stands for a pair that lies entirely on the other
    // side: its product is 0 even where the logarithm is infinite.
    const float neg_factor = 1.0f - t;
    const float neg = neg_factor == 0.0f ? 0.0f : neg_factor * std::log(1.0f - c);
    const float pos = t == 0.0f ? 0.0f : t * std::log(c);
    return neg + pos;
}

void log_loss_terms(const float* truth, const float* score, std::size_t m, float* terms) noexcept {
    // Lists which pairs need which logarithm (a factor of exactly 0 needs
    // none), takes only those in tight loops without unpredictable branches,
    // then forms the terms.
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

Result<LogisticRegressionRuntime, ModelPerformanceError> logistic_regression_runtime(const F32Column& y_true,
                                                                                   const F32Column& y_pred,
                                                                                   float threshold, double epsilon) {
    if (y_true.size() != y_pred.size()) return ModelPerformanceError(Kind::DataVectorLengthMismatch);
    const std::optional<ScoreClamp> clamp = ScoreClamp::from_epsilon(epsilon);
    if (!clamp) return ModelPerformanceError(Kind::InvalidData);
    const std::size_t n = y_true.size();

    const LogisticSums sums = with_readers(y_true, y_pred, [n, threshold, clamp = *clamp](auto t, auto p) {
        // Blocks of pairs, each in three passes. The first counts the cells,
        // clamps the scores and lists which pairs need which logarithm (a
        // factor of exactly 0 needs none); the second takes only those
        // logarithms, in tight loops without unpredictable branches; the third
        // forms the terms and adds them in index order in single precision.
        constexpr std::size_t kBlock = kLogLossBlock;
        float truth[kBlock], score[kBlock], terms[kBlock];
        std::uint64_t both = 0, true_pos = 0, pred_pos = 0;
        float sum = 0.0f;
        for (std::size_t base = 0; base < n; base += kBlock) {
            const std::size_t m = std::min(kBlock, n - base);
            for (std::size_t j = 0; j < m; ++j) {
                const float tv = t[base + j];
                const float pv = p[base + j];
                const std::uint64_t tc = tv >= threshold;
                const std::uint64_t pc = pv >= threshold;
                both += tc & pc;
                true_pos += tc;
                pred_pos += pc;
                truth[j] = tv;
                score[j] = clamp.apply(pv);
            }
            log_loss_terms(truth, score, m, terms);
            for (std::size_t j = 0; j < m; ++j) sum += terms[j];
        }
        return LogisticSums{both, true_pos, pred_pos, n, sum};
    });
    return logistic_metrics(sums);
}

Result<LogisticRegressionRuntime, ModelPerformanceError> logistic_metrics(const LogisticSums& sums) {
    const float log_loss = -sums.log_loss_sum / static_cast<float>(sums.n);
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
