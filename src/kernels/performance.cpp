// Performance metrics of many groups in one pass, and the per-chunk states
// they follow from.
#include "kernels/results.hpp"

#include "core/errors.hpp"
#include "core/groups.hpp"
#include "core/settings.hpp"

namespace lumetra::kernels {
namespace {

// ---- performance ---------------------------------------------------------------
//
// Each task reduces the rows of every group to a state of counts and sums
// (what the kernels add up as they pass over the rows), and the metrics follow
// from the state. States of separate chunks of rows merge: counts add exactly;
// sums add as partial sums (the regression maximum is the larger one).

enum class Task : std::uint8_t { Regression, Classification, Logistic };

std::optional<Task> task_of(const std::string& task) {
    if (task == "regression") return Task::Regression;
    if (task == "classification") return Task::Classification;
    if (task == "logistic") return Task::Logistic;
    PyErr_Format(PyExc_ValueError, "task must be one of 'regression', 'classification', 'logistic'; got '%s'",
                 task.c_str());
    return std::nullopt;
}

// Cells of a state per group: counts, then sums.
constexpr std::size_t kRegressionSums = 10;
constexpr std::size_t kLogisticCounts = 4;  // both, true_pos, pred_pos, n
std::size_t count_width(Task t) { return t == Task::Regression ? 0 : 4; }
std::size_t sum_width(Task t) { return t == Task::Regression ? kRegressionSums : t == Task::Logistic ? 1 : 0; }

struct PerfState {
    Task task;
    std::size_t groups;
    std::vector<std::uint64_t> counts;  // groups x count_width
    std::vector<double> sums;           // groups x sum_width
};

// The regression sums in the order of their fields.
void regression_row(const LinearRegressionErrorBuckets& b, double* row) {
    const double fields[kRegressionSums] = {
        b.squared_error_sum,   b.absolute_error_sum, b.max_absolute_error,  b.squared_log_error_sum,
        b.absolute_percentage_error_sum, b.y_true_sum, b.pair_count, b.y_true_squared_sum,
        b.y_pred_squared_sum,  b.true_pred_product_sum,
    };
    std::copy(fields, fields + kRegressionSums, row);
}
LinearRegressionErrorBuckets regression_of_row(const double* row) {
    LinearRegressionErrorBuckets b;
    b.squared_error_sum = row[0];
    b.absolute_error_sum = row[1];
    b.max_absolute_error = row[2];
    b.squared_log_error_sum = row[3];
    b.absolute_percentage_error_sum = row[4];
    b.y_true_sum = row[5];
    b.pair_count = row[6];
    b.y_true_squared_sum = row[7];
    b.y_pred_squared_sum = row[8];
    b.true_pred_product_sum = row[9];
    return b;
}

// A column's values in single precision, as the module's performance
// functions read them (numbers only). nullopt with the error set.
std::optional<F32Column> f32_of(const NumericArg& column, const char* argument, std::size_t rows,
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

std::optional<PerfState> classification_state(const Codes& codes, const Outcome& label, const Outcome& prediction) {
    auto mark = outcomes_marker(label, prediction);
    if (!mark) return std::nullopt;
    PerfState s{Task::Classification, codes.groups, std::vector<std::uint64_t>(codes.groups * 4, 0), {}};
    if (!group_pass(codes, [&](const auto& view) { return tally_groups(view, s.groups, 4, *mark, s.counts.data()); })) {
        return std::nullopt;
    }
    return s;
}

std::optional<PerfState> regression_state(const Codes& codes, const NumericArg& label, const NumericArg& prediction) {
    const std::size_t rows = codes.column.n;
    std::vector<float> true_scratch, pred_scratch;
    const auto y_true = f32_of(label, "label", rows, true_scratch);
    if (!y_true) return std::nullopt;
    const auto y_pred = f32_of(prediction, "prediction", rows, pred_scratch);
    if (!y_pred) return std::nullopt;
    std::vector<LinearRegressionErrorBuckets> sums(codes.groups);
    if (!group_pass(codes, [&](const auto& view) { return regression_by_group(view, *y_true, *y_pred, sums); })) {
        return std::nullopt;
    }
    PerfState s{Task::Regression, codes.groups, {}, std::vector<double>(codes.groups * kRegressionSums)};
    for (std::size_t g = 0; g < codes.groups; ++g) regression_row(sums[g], s.sums.data() + g * kRegressionSums);
    return s;
}

std::optional<PerfState> logistic_state(const Codes& codes, const Outcome& label, const NumericArg& prediction,
                                        float threshold) {
    auto mark = outcome_marker(label, kTruthBit);
    if (!mark) return std::nullopt;
    std::vector<float> scratch;
    const auto scores = f32_of(prediction, "prediction", codes.column.n, scratch);
    if (!scores) return std::nullopt;
    const std::optional<ScoreClamp> clamp = ScoreClamp::from_epsilon(stability_eps());
    if (!clamp) {
        py::raise(ModelPerformanceError(ModelPerformanceError::Kind::InvalidData));
        return std::nullopt;
    }
    std::vector<LogisticSums> sums(codes.groups);
    if (!group_pass(codes, [&](const auto& view) {
            return logistic_by_group(view, *mark, *scores, threshold, *clamp, sums);
        })) {
        return std::nullopt;
    }
    PerfState s{Task::Logistic, codes.groups, std::vector<std::uint64_t>(codes.groups * kLogisticCounts),
                std::vector<double>(codes.groups)};
    for (std::size_t g = 0; g < codes.groups; ++g) {
        const LogisticSums& l = sums[g];
        const std::uint64_t row[kLogisticCounts] = {l.both, l.true_pos, l.pred_pos, l.n};
        std::copy(row, row + kLogisticCounts, s.counts.data() + g * kLogisticCounts);
        s.sums[g] = l.log_loss_sum;
    }
    return s;
}

std::optional<PerfState> performance_pass(const std::string& task, const NumericArg& groups,
                                          const std::uint64_t& n_groups, const NumericArg& label,
                                          const Rule& label_rule, const RuleValue& label_value,
                                          const NumericArg& prediction, const Rule& prediction_rule,
                                          const RuleValue& prediction_value, float threshold) {
    auto codes = codes_of(groups, n_groups);
    if (!codes) return std::nullopt;
    const auto t = task_of(task);
    if (!t) return std::nullopt;
    if (*t == Task::Regression) return regression_state(*codes, label, prediction);
    const std::size_t rows = codes->column.n;
    auto truth = outcome_of(label, label_rule, label_value, "label", rows);
    if (!truth) return std::nullopt;
    if (*t == Task::Classification) {
        auto p = outcome_of(prediction, prediction_rule, prediction_value, "prediction", rows);
        if (!p) return std::nullopt;
        return classification_state(*codes, *truth, *p);
    }
    return logistic_state(*codes, *truth, prediction, threshold);
}

// The result of one task: n and the metric columns of family E.
template <class E>
PyObject* performance_table(const std::vector<std::uint64_t>& n, const MetricColumns<E>& m) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    if (!set_array(out.get(), "n", n) || !m.put(out.get())) return nullptr;
    return out.release();
}

// The metrics of every group from its counts (`width` per group) and sums.
PyObject* metrics_of_state(Task task, std::size_t G, const std::uint64_t* counts, const double* sums) {
    std::vector<std::uint64_t> n(G);
    if (task == Task::Classification) {
        MetricColumns<ClassificationEvaluationMetric> m(G);
        for (std::size_t g = 0; g < G; ++g) {
            const GroupTallies t{counts, G, 4};
            n[g] = t.rows(g);
            m.set(g, confusion_of(t.of(g)).metrics().to_map());
        }
        // Binary classification has no log loss.
        m.values.pop_back();
        return performance_table(n, m);
    }
    if (task == Task::Regression) {
        MetricColumns<LinearRegressionEvaluationMetric> m(G);
        for (std::size_t g = 0; g < G; ++g) {
            const LinearRegressionErrorBuckets b = regression_of_row(sums + g * kRegressionSums);
            n[g] = static_cast<std::uint64_t>(b.pair_count);
            if (n[g] == 0) {
                m.errors[g] = message(ModelPerformanceError(ModelPerformanceError::Kind::EmptyDataVector));
                continue;
            }
            m.set(g, regression_metrics(b).to_map());
        }
        return performance_table(n, m);
    }
    MetricColumns<ClassificationEvaluationMetric> m(G);
    for (std::size_t g = 0; g < G; ++g) {
        const std::uint64_t* c = counts + g * kLogisticCounts;
        LogisticSums l;
        l.both = c[0];
        l.true_pos = c[1];
        l.pred_pos = c[2];
        l.n = c[3];
        // The double sum of the group's terms (of partial sums, after a merge).
        l.log_loss_sum = sums[g];
        n[g] = l.n;
        const auto r = logistic_metrics(l);
        if (r) m.set(g, r.value().to_map());
        else m.errors[g] = message(r.error());
    }
    return performance_table(n, m);
}

PyObject* performance(const std::string& task, const NumericArg& groups, const std::uint64_t& n_groups,
                      const NumericArg& label, const Rule& label_rule, const RuleValue& label_value,
                      const NumericArg& prediction, const Rule& prediction_rule, const RuleValue& prediction_value,
                      const DecisionThreshold& threshold) {
    const auto s = performance_pass(task, groups, n_groups, label, label_rule, label_value, prediction,
                                    prediction_rule, prediction_value, threshold.value);
    if (!s) return nullptr;
    return metrics_of_state(s->task, s->groups, s->counts.data(), s->sums.data());
}

PyObject* performance_state(const std::string& task, const NumericArg& groups, const std::uint64_t& n_groups,
                            const NumericArg& label, const Rule& label_rule, const RuleValue& label_value,
                            const NumericArg& prediction, const Rule& prediction_rule,
                            const RuleValue& prediction_value, const DecisionThreshold& threshold) {
    const auto s = performance_pass(task, groups, n_groups, label, label_rule, label_value, prediction,
                                    prediction_rule, prediction_value, threshold.value);
    if (!s) return nullptr;
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    if (!py::dict_set_steal(out.get(), "counts", new_array(s->counts, s->groups, count_width(s->task), true)) ||
        !py::dict_set_steal(out.get(), "sums", new_array(s->sums, s->groups, sum_width(s->task), true))) {
        return nullptr;
    }
    return out.release();
}

PyObject* performance_from_state(const std::string& task, const Column<py::CountTable>& counts,
                                 const Column<py::Float64>& sums) {
    const auto t = task_of(task);
    if (!t) return nullptr;
    const py::CountTable::View c = counts.view();
    return sums.visit([&](std::span<const double> s) -> PyObject* {
        const std::size_t G = c.rows;
        if (c.width != count_width(*t) || s.size() != G * sum_width(*t)) {
            PyErr_Format(PyExc_ValueError,
                         "a %s state has %zu counts and %zu sums per group; got %zu groups of %zu counts and %zu sums",
                         task.c_str(), count_width(*t), sum_width(*t), G, c.width, s.size());
            return nullptr;
        }
        return metrics_of_state(*t, G, c.cells, s.data());
    });
}

constexpr const char* kPerformanceDoc =
    "Performance metrics of every group in one pass. task 'regression' reads label and prediction as\n"
    "numbers; 'classification' maps both to 1/0 by their rules; 'logistic' maps the label by its rule and\n"
    "reads the prediction as scores, with classes by value >= threshold. Returns a dict: n, one float64\n"
    "array per metric, and error (the message of a group the metrics refuse, or None).";

constexpr const char* kPerformanceStateDoc =
    "The state performance() computes its metrics from, per group: a dict of counts (uint64, groups x 4 for\n"
    "classification and logistic, x 0 for regression) and sums (float64, groups x 10 for regression, x 1\n"
    "for logistic, x 0 for classification). States of chunks of rows merge: counts add, sums add (the\n"
    "third regression sum, the largest absolute error, takes the larger value).";
constexpr const char* kPerformanceFromStateDoc =
    "The metrics of a state of performance_state() (sums flattened to one float64 array), as performance()\n"
    "returns them.";

constexpr Callable kFunctions[] = {
    py::function<performance>("performance",
                              {"task", "groups", "n_groups", "label", "label_rule", "label_value", "prediction",
                               "prediction_rule=None", "prediction_value=None", "threshold=0.5"},
                              kPerformanceDoc),
    py::function<performance_state>("performance_state",
                                    {"task", "groups", "n_groups", "label", "label_rule", "label_value",
                                     "prediction", "prediction_rule=None", "prediction_value=None",
                                     "threshold=0.5"},
                                    kPerformanceStateDoc),
    py::function<performance_from_state>("performance_from_state", {"task", "counts", "sums"},
                                         kPerformanceFromStateDoc),
};

}  // namespace

std::span<const Callable> performance_functions() { return kFunctions; }

}  // namespace lumetra::kernels
