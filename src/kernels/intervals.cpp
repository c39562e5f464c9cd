// Confidence intervals of the metrics of many groups, from their tallies,
// performance states and moments (core/intervals.hpp).
#include "kernels/results.hpp"

#include "core/errors.hpp"
#include "core/intervals.hpp"
#include "core/resample.hpp"
#include "core/settings.hpp"
#include "core/state.hpp"
#include "binding/convert.hpp"

namespace lumetra::kernels {
namespace {

using intervals::Bounds;
using intervals::Spec;

// Arguments with the defaults their signatures show (an omitted argument
// keeps its converted value's default).
struct LevelArg {
    double value = 0.95;
};
struct QuantileArg {
    double value = 1.959963984540054;
};
struct ReplicatesArg {
    std::uint64_t value = 1000;
};
struct MethodArg {
    std::string value = "bootstrap";
};
bool convert(PyObject* o, LevelArg& out) { return py::convert(o, out.value); }
bool convert(PyObject* o, QuantileArg& out) { return py::convert(o, out.value); }
bool convert(PyObject* o, ReplicatesArg& out) { return py::convert(o, out.value); }
bool convert(PyObject* o, MethodArg& out) { return py::convert(o, out.value); }

// The interval's settings, or nullopt with ValueError set.
std::optional<Spec> spec_of(const LevelArg& level_arg, const QuantileArg& z_arg, const ReplicatesArg& replicates_arg,
                            std::uint64_t seed, const MethodArg& method_arg) {
    const double level = level_arg.value, z = z_arg.value;
    const std::uint64_t replicates = replicates_arg.value;
    const std::string& method = method_arg.value;
    if (!(level > 0.0 && level < 1.0)) {
        PyErr_SetString(PyExc_ValueError, "level must be between 0 and 1");
        return std::nullopt;
    }
    if (!(z > 0.0) || !std::isfinite(z)) {
        PyErr_SetString(PyExc_ValueError, "z must be a finite positive quantile");
        return std::nullopt;
    }
    Spec s{level, z, replicates, seed, intervals::Method::Bootstrap};
    if (method == "analytic") {
        s.method = intervals::Method::Analytic;
    } else if (method != "bootstrap") {
        PyErr_Format(PyExc_ValueError, "method must be one of 'bootstrap', 'analytic'; got '%s'", method.c_str());
        return std::nullopt;
    }
    if (s.method == intervals::Method::Bootstrap && (replicates < 2 || replicates > (std::uint64_t{1} << 24))) {
        PyErr_SetString(PyExc_ValueError, "replicates must be from 2 to 2^24");
        return std::nullopt;
    }
    return s;
}

// "<Metric>_low" and "<Metric>_high" arrays of family E, in metric order.
template <class E>
PyObject* bounds_dict(const Bounds& b) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (std::size_t m = 0; m < b.low.size(); ++m) {
        const std::string name(metric_name(static_cast<E>(m)));
        if (!set_array(out.get(), name + "_low", b.low[m]) || !set_array(out.get(), name + "_high", b.high[m])) {
            return nullptr;
        }
    }
    return out.release();
}

PyObject* bias_intervals(const Column<py::CountTable>& tallies, const std::optional<std::uint64_t>& reference,
                         const LevelArg& level, const QuantileArg& z, const ReplicatesArg& replicates,
                         const std::uint64_t& seed, const MethodArg& method) {
    const auto spec = spec_of(level, z, replicates, seed, method);
    if (!spec) return nullptr;
    const py::CountTable::View cells = tallies.view();
    if (cells.width != 2 && cells.width != 4) {
        PyErr_SetString(PyExc_ValueError, "tallies must have 2 or 4 cells per group");
        return nullptr;
    }
    const GroupTallies t{cells.cells, cells.rows, cells.width};
    if (reference && *reference >= t.groups) {
        PyErr_SetString(PyExc_ValueError, "reference must be a group code below the number of groups");
        return nullptr;
    }
    std::optional<std::size_t> ref;
    if (reference) ref = static_cast<std::size_t>(*reference);
    const Bounds b = py::released(t.groups * spec->replicates, [&] { return intervals::bias_bounds(t, ref, *spec); });
    return t.width == 2 ? bounds_dict<DataBiasMetric>(b) : bounds_dict<ModelBiasMetric>(b);
}

constexpr const char* kBiasIntervalsDoc =
    "Confidence bounds of the bias metrics of every group from its tallies (as bias() reads them):\n"
    "method 'bootstrap' (replicates multinomial draws over each comparison's cells, from streams keyed\n"
    "by seed, replicate and group; percentile bounds at level) or 'analytic' (Newcombe's interval of a\n"
    "difference of proportions, Katz's of a ratio; NaN for other metrics). z is the normal quantile of\n"
    "(1 + level) / 2. Returns a dict of float64 arrays, <Metric>_low and <Metric>_high.";

enum class Task : std::uint8_t { Regression, Classification, Logistic };

std::optional<Task> task_of(const std::string& task) {
    if (task == "regression") return Task::Regression;
    if (task == "classification") return Task::Classification;
    if (task == "logistic") return Task::Logistic;
    PyErr_Format(PyExc_ValueError, "task must be one of 'regression', 'classification', 'logistic'; got '%s'",
                 task.c_str());
    return std::nullopt;
}

std::size_t moment_width(Task t) {
    return t == Task::Regression ? intervals::kRegressionMoments
                                 : t == Task::Logistic ? intervals::kLogisticMoments : 0;
}

// A column in single precision as the performance kernels read it.
std::optional<F32Column> f32_column(const NumericArg& column, const char* argument, std::size_t rows,
                                    std::vector<float>& scratch) {
    const py::NativeColumn c = column.view();
    if (c.n != rows) {
        PyErr_Format(PyExc_ValueError, "%s must have one value per row (%zu rows, got %zu)", argument, rows, c.n);
        return std::nullopt;
    }
    auto values = py::f32_values(c, scratch);
    if (!values) PyErr_Format(PyExc_TypeError, "%s must be numeric", argument);
    return values;
}

PyObject* performance_moments(const std::string& task, const NumericArg& groups, const std::uint64_t& n_groups,
                              const NumericArg& label, const Rule& label_rule, const RuleValue& label_value,
                              const NumericArg& prediction, const DecisionThreshold& threshold) {
    (void)threshold;  // the classes do not enter the moments
    auto codes = codes_of(groups, n_groups);
    if (!codes) return nullptr;
    const auto t = task_of(task);
    if (!t) return nullptr;
    const std::size_t rows = codes->column.n, width = moment_width(*t);
    std::vector<double> out(codes->groups * width, 0.0);
    if (*t == Task::Regression) {
        std::vector<float> a, b;
        const auto y_true = f32_column(label, "label", rows, a);
        if (!y_true) return nullptr;
        const auto y_pred = f32_column(prediction, "prediction", rows, b);
        if (!y_pred) return nullptr;
        if (!group_pass(*codes, [&](const auto& view) {
                return intervals::regression_moments(view, *y_true, *y_pred, codes->groups, out.data());
            })) {
            return nullptr;
        }
    } else if (*t == Task::Logistic) {
        auto truth = outcome_of(label, label_rule, label_value, "label", rows);
        if (!truth) return nullptr;
        auto mark = outcome_marker(*truth, kTruthBit);
        if (!mark) return nullptr;
        std::vector<float> scratch;
        const auto scores = f32_column(prediction, "prediction", rows, scratch);
        if (!scores) return nullptr;
        const std::optional<ScoreClamp> clamp = ScoreClamp::from_epsilon(stability_eps());
        if (!clamp) return py::raise(ModelPerformanceError(ModelPerformanceError::Kind::InvalidData));
        if (!group_pass(*codes, [&](const auto& view) {
                return intervals::logistic_moments(view, *mark, *scores, *clamp, codes->groups, out.data());
            })) {
            return nullptr;
        }
    }
    return new_array(out, codes->groups, width, true);
}

constexpr const char* kPerformanceMomentsDoc =
    "The sums beyond performance_state() that the intervals of the mean metrics need, per group\n"
    "(float64, groups x 3 for regression: e^4, squared log error squared, absolute percentage error\n"
    "squared; x 1 for logistic: the squared log-loss terms; x 0 for classification), the pairs read as\n"
    "performance_state() reads them. Moments of separate chunks of rows add up.";

PyObject* performance_intervals(const std::string& task, const Column<py::CountTable>& counts,
                                const Column<py::Float64>& sums, const Column<py::Float64>& moments,
                                const LevelArg& level, const QuantileArg& z, const ReplicatesArg& replicates,
                                const std::uint64_t& seed, const MethodArg& method) {
    const auto t = task_of(task);
    if (!t) return nullptr;
    const auto spec = spec_of(level, z, replicates, seed, method);
    if (!spec) return nullptr;
    const py::CountTable::View c = counts.view();
    return sums.visit([&](std::span<const double> s) {
        return moments.visit([&](std::span<const double> m) -> PyObject* {
            const std::size_t G = c.rows, width = moment_width(*t);
            const std::size_t sum_width = *t == Task::Regression ? 10 : *t == Task::Logistic ? 1 : 0;
            const std::size_t count_width = *t == Task::Regression ? 0 : 4;
            if ((count_width != 0 && c.width != count_width) || s.size() != G * sum_width || m.size() != G * width) {
                PyErr_Format(PyExc_ValueError,
                             "a %s state has %zu counts, %zu sums and %zu moments per group; got %zu groups of %zu "
                             "counts, %zu sums and %zu moments",
                             task.c_str(), count_width, sum_width, width, G, c.width, s.size(), m.size());
                return nullptr;
            }
            const std::size_t work = G * spec->replicates;
            if (*t == Task::Regression) {
                return bounds_dict<LinearRegressionEvaluationMetric>(intervals::regression_bounds(s, m, G, *spec));
            }
            if (*t == Task::Classification) {
                const GroupTallies tallies{c.cells, G, 4};
                return bounds_dict<ClassificationEvaluationMetric>(
                    py::released(work, [&] { return intervals::classification_bounds(tallies, *spec); }));
            }
            const std::span<const std::uint64_t> cells(c.cells, G * 4);
            return bounds_dict<ClassificationEvaluationMetric>(
                py::released(work, [&] { return intervals::logistic_bounds(cells, s, m, G, *spec); }));
        });
    });
}

constexpr const char* kPerformanceIntervalsDoc =
    "Confidence bounds of the performance metrics of every group from its state (counts and sums of\n"
    "performance_state(), moments of performance_moments()): the classification metrics by method\n"
    "'bootstrap' (multinomial replicates of each group's four cells) or 'analytic' (Wilson's interval\n"
    "of a proportion; NaN for BalancedAccuracy and F1Score); the mean metrics of regression and the log\n"
    "loss by the delta method with z, their roots as the roots of the bounds; none for RSquared and\n"
    "MaxError. Returns a dict of float64 arrays, <Metric>_low and <Metric>_high.";

PyObject* count_replicates(const Column<py::CountTable>& cells, const std::uint64_t& replicates,
                           const std::uint64_t& seed, const std::uint64_t& group) {
    const py::CountTable::View c = cells.view();
    if (c.rows != 1) {
        PyErr_SetString(PyExc_ValueError, "cells must be one table of counts (1 x k)");
        return nullptr;
    }
    if (replicates > (std::uint64_t{1} << 24) || group > 0xFFFFFFFFu) {
        PyErr_SetString(PyExc_ValueError, "replicates must be at most 2^24 and group below 2^32");
        return nullptr;
    }
    std::vector<std::uint64_t> out(replicates * c.width);
    for (std::uint64_t b = 0; b < replicates; ++b) {
        resample::Stream s(seed, static_cast<std::uint32_t>(b), static_cast<std::uint32_t>(group), 0);
        resample::multinomial(s, std::span<const std::uint64_t>(c.cells, c.width),
                              std::span<std::uint64_t>(out.data() + b * c.width, c.width));
    }
    return new_array(out, replicates, c.width, true);
}

constexpr const char* kCountReplicatesDoc =
    "The bootstrap replicates of one table of counts (1 x k): replicates x k multinomial draws of the same\n"
    "total over its cells, from the streams of (seed, replicate, group) that bias_intervals() draws a\n"
    "group's comparison from.";

// "<Metric>_change", "_change_low", "_change_high" and "_p" arrays of family E.
template <class E>
PyObject* change_dict(const intervals::Change& c) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (std::size_t m = 0; m < c.change.size(); ++m) {
        const std::string name(metric_name(static_cast<E>(m)));
        if (!set_array(out.get(), name + "_change", c.change[m]) ||
            !set_array(out.get(), name + "_change_low", c.low[m]) ||
            !set_array(out.get(), name + "_change_high", c.high[m]) || !set_array(out.get(), name + "_p", c.p_value[m])) {
            return nullptr;
        }
    }
    return out.release();
}

PyObject* bias_change(const Column<py::CountTable>& reference, const Column<py::CountTable>& current,
                      const LevelArg& level, const QuantileArg& z, const ReplicatesArg& replicates,
                      const std::uint64_t& seed) {
    const auto spec = spec_of(level, z, replicates, seed, MethodArg{});
    if (!spec) return nullptr;
    const py::CountTable::View r = reference.view(), c = current.view();
    if ((r.width != 4 && r.width != 8) || r.width != c.width || r.rows != c.rows) {
        PyErr_SetString(PyExc_ValueError,
                        "reference and current must be tables of as many rows of 4 (data bias) or 8 (model bias) cells");
        return nullptr;
    }
    const std::size_t width = r.width / 2;
    const std::span<const std::uint64_t> rs(r.cells, r.rows * r.width), cs(c.cells, c.rows * c.width);
    const intervals::Change out =
        py::released(r.rows * spec->replicates, [&] { return intervals::bias_change(rs, cs, r.rows, width, *spec); });
    return width == 2 ? change_dict<DataBiasMetric>(out) : change_dict<ModelBiasMetric>(out);
}

constexpr const char* kBiasChangeDoc =
    "The change of every bias metric from reference to current comparison tables (rows of facet a's cells\n"
    "then facet d's: 2 + 2 for data bias, 4 + 4 for model bias): current minus reference (current over\n"
    "reference for DisparateImpact), the percentile interval of the changes of bootstrap replicates of\n"
    "both sides, and the two-sided normal p-value of no change from their standard deviation (log scale\n"
    "for the ratio; GeneralizedEntropy, a sum over rows, per row). A dict of float64 arrays,\n"
    "<Metric>_change, _change_low, _change_high and _p.";

PyObject* performance_change(const std::string& task, const Column<py::CountTable>& reference_counts,
                             const Column<py::Float64>& reference_sums, const Column<py::Float64>& reference_moments,
                             const Column<py::CountTable>& current_counts, const Column<py::Float64>& current_sums,
                             const Column<py::Float64>& current_moments, const LevelArg& level, const QuantileArg& z,
                             const ReplicatesArg& replicates, const std::uint64_t& seed) {
    const auto t = task_of(task);
    if (!t) return nullptr;
    const auto spec = spec_of(level, z, replicates, seed, MethodArg{});
    if (!spec) return nullptr;
    const py::CountTable::View rc = reference_counts.view(), cc = current_counts.view();
    return reference_sums.visit([&](std::span<const double> rs) {
        return reference_moments.visit([&](std::span<const double> rm) {
            return current_sums.visit([&](std::span<const double> cs) {
                return current_moments.visit([&](std::span<const double> cm) -> PyObject* {
                    const std::size_t rows = *t == Task::Regression ? rs.size() / 10 : rc.rows;
                    const std::size_t sum_width = *t == Task::Regression ? 10 : *t == Task::Logistic ? 1 : 0;
                    const std::size_t width = moment_width(*t), count_width = *t == Task::Regression ? 0 : 4;
                    const bool counts_ok = count_width == 0 || (rc.width == count_width && cc.width == count_width &&
                                                                rc.rows == rows && cc.rows == rows);
                    if (!counts_ok || rs.size() != rows * sum_width || cs.size() != rows * sum_width ||
                        rm.size() != rows * width || cm.size() != rows * width) {
                        PyErr_Format(PyExc_ValueError,
                                     "reference and current must be %s states of as many groups (%zu counts, %zu "
                                     "sums and %zu moments a group)",
                                     task.c_str(), count_width, sum_width, width);
                        return nullptr;
                    }
                    if (*t == Task::Regression) {
                        return change_dict<LinearRegressionEvaluationMetric>(
                            intervals::regression_change(rs, rm, cs, cm, rows, *spec));
                    }
                    const std::span<const std::uint64_t> rcs(rc.cells, rows * 4), ccs(cc.cells, rows * 4);
                    const std::size_t work = rows * spec->replicates;
                    if (*t == Task::Classification) {
                        return change_dict<ClassificationEvaluationMetric>(
                            py::released(work, [&] { return intervals::classification_change(rcs, ccs, rows, *spec); }));
                    }
                    return change_dict<ClassificationEvaluationMetric>(py::released(
                        work, [&] { return intervals::logistic_change(rcs, rs, rm, ccs, cs, cm, rows, *spec); }));
                });
            });
        });
    });
}

constexpr const char* kPerformanceChangeDoc =
    "The change of every performance metric from reference to current group states (counts, sums and\n"
    "moments as performance_state() and performance_moments() give them, the same groups in the same\n"
    "order): classification metrics as bias_change() judges them, the mean metrics by the delta method\n"
    "(their roots likewise); none for RSquared and MaxError. A dict as bias_change() gives.";

// ---- a monitor's state, as the interval kernels read it ----------------------

constexpr std::size_t kRegressionFields = 10;

PyObject* state_dict(const char* kind, const std::vector<std::uint64_t>& counts, std::size_t rows, std::size_t width,
                     const std::vector<double>& sums) {
    py::Ref out = py::Ref::steal(PyDict_New());
    if (!out) return nullptr;
    py::Ref name = py::Ref::steal(PyUnicode_FromString(kind));
    if (!name || PyDict_SetItemString(out.get(), "kind", name.get()) < 0 ||
        !py::dict_set_steal(out.get(), "counts", new_array(counts, rows, width, true)) ||
        !py::dict_set_steal(out.get(), "sums", new_array(sums, sums.size()))) {
        return nullptr;
    }
    return out.release();
}

// Facet a as group 0 and facet d as group 1, each row's cells truth_positive
// + 2 * prediction_positive: group 0 against the rest is a against d.
PyObject* data_bias_state(const StreamingDataBias& m) {
    const FacetCounts& c = m.running();
    const std::vector<std::uint64_t> cells = {c.len_a - c.label_positive_a, c.label_positive_a,
                                              c.len_d - c.label_positive_d, c.label_positive_d};
    return state_dict("data_bias", cells, 2, 2, {});
}

PyObject* model_bias_state(const StreamingModelBias& m) {
    const PostTraining& c = m.running();
    const std::vector<std::uint64_t> cells = {c.true_negative_a, c.false_negative_a, c.false_positive_a,
                                              c.true_positive_a, c.true_negative_d, c.false_negative_d,
                                              c.false_positive_d, c.true_positive_d};
    return state_dict("model_bias", cells, 2, 4, {});
}

std::vector<std::uint64_t> confusion_cells(const ConfusionMatrix& c) {
    return {c.true_negative, c.false_negative, c.false_positive, c.true_positive};
}

PyObject* logistic_state(const LogisticRegressionStreaming& m) {
    // The logistic state's counts: both positive, truly positive, predicted
    // positive, pairs.
    const ConfusionMatrix& c = m.cells();
    const std::vector<std::uint64_t> counts = {
        c.true_positive, c.true_positive + c.false_negative, c.true_positive + c.false_positive,
        c.true_positive + c.false_positive + c.true_negative + c.false_negative};
    return state_dict("logistic", counts, 1, 4, {m.log_loss_sum()});
}

PyObject* regression_state(const LinearRegressionStreaming& m) {
    const LinearRegressionErrorBuckets& b = m.stream();
    const std::vector<double> sums = {
        b.squared_error_sum,  b.absolute_error_sum, b.max_absolute_error, b.squared_log_error_sum,
        b.absolute_percentage_error_sum, b.y_true_sum, b.pair_count, b.y_true_squared_sum,
        b.y_pred_squared_sum, b.true_pred_product_sum};
    static_assert(kRegressionFields == 10);
    return state_dict("regression", {}, 1, 0, sums);
}

template <class Core, class Read>
PyObject* read_state(std::span<const std::uint8_t> bytes, state::Tag tag, Read&& read) {
    auto restored = state::from_bytes<Core>(bytes, tag);
    if (!restored.ok()) return py::raise(restored.error());
    return read(restored.value());
}

PyObject* monitor_state(const py::BytesArg& data) {
    const std::span<const std::uint8_t> bytes = data.bytes();
    using state::Tag;
    const Tag tag = bytes.size() >= state::kHeaderSize ? static_cast<Tag>(bytes[6]) : Tag::DataBiasStreaming;
    switch (tag) {
        case Tag::DataBiasStreaming:
            return read_state<StreamingDataBias>(bytes, tag, data_bias_state);
        case Tag::ModelBiasStreaming:
            return read_state<StreamingModelBias>(bytes, tag, model_bias_state);
        case Tag::BinaryClassificationStreaming:
            return read_state<BinaryClassificationStreaming>(bytes, tag, [](const BinaryClassificationStreaming& m) {
                return state_dict("classification", confusion_cells(m.stream()), 1, 4, {});
            });
        case Tag::LinearRegressionStreaming:
            return read_state<LinearRegressionStreaming>(bytes, tag, regression_state);
        case Tag::LogisticRegressionStreaming:
            return read_state<LogisticRegressionStreaming>(bytes, tag, logistic_state);
        default:
            break;
    }
    // A detector's state, or bytes whose class byte names nothing: the reader
    // of the first class names what is wrong with them.
    const auto value = static_cast<std::uint8_t>(tag);
    if (value >= static_cast<std::uint8_t>(Tag::ContinuousDataDrift) &&
        value <= static_cast<std::uint8_t>(Tag::StreamingCategoricalFlush)) {
        const std::string_view name = state::class_name(tag);
        PyErr_Format(PyExc_ValueError,
                     "a streaming monitor's state is needed (its to_bytes()); got the state of a %.*s",
                     static_cast<int>(name.size()), name.data());
        return nullptr;
    }
    return read_state<StreamingDataBias>(bytes, Tag::DataBiasStreaming, data_bias_state);
}

constexpr const char* kMonitorStateDoc =
    "What a streaming monitor has accumulated since its last flush, read from its to_bytes() (every\n"
    "byte checked): a dict of 'kind' ('data_bias', 'model_bias', 'classification', 'regression',\n"
    "'logistic'), 'counts' (uint64 rows as tally() and performance_state() give them; facet a is row 0\n"
    "and facet d row 1) and 'sums' (float64, performance_state()'s sums).";

constexpr Callable kFunctions[] = {
    py::function<bias_intervals>("bias_intervals",
                                 {"tallies", "reference=None", "level=0.95", "z=1.959963984540054",
                                  "replicates=1000", "seed=0", "method='bootstrap'"},
                                 kBiasIntervalsDoc),
    py::function<performance_moments>("performance_moments",
                                      {"task", "groups", "n_groups", "label", "label_rule", "label_value",
                                       "prediction", "threshold=0.5"},
                                      kPerformanceMomentsDoc),
    py::function<performance_intervals>("performance_intervals",
                                        {"task", "counts", "sums", "moments", "level=0.95", "z=1.959963984540054",
                                         "replicates=1000", "seed=0", "method='bootstrap'"},
                                        kPerformanceIntervalsDoc),
    py::function<bias_change>("bias_change",
                              {"reference", "current", "level=0.95", "z=1.959963984540054", "replicates=1000",
                               "seed=0"},
                              kBiasChangeDoc),
    py::function<performance_change>("performance_change",
                                     {"task", "reference_counts", "reference_sums", "reference_moments",
                                      "current_counts", "current_sums", "current_moments", "level=0.95",
                                      "z=1.959963984540054", "replicates=1000", "seed=0"},
                                     kPerformanceChangeDoc),
    py::function<count_replicates>("count_replicates", {"cells", "replicates", "seed", "group"}, kCountReplicatesDoc),
    py::function<monitor_state>("monitor_state", {"data"}, kMonitorStateDoc),
};

}  // namespace

std::span<const Callable> interval_functions() { return kFunctions; }

}  // namespace lumetra::kernels
