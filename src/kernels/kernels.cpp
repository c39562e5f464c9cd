// lumetra._kernels: the compiled part of the lumetra package, for many groups
// at once. Its work splits the way chunked data needs it:
//   tally                one pass over a chunk of rows: per-group outcome counts
//                        (tallies of chunks add up as integers);
//   bias                 the bias metrics of every group from tallies;
//   generalized_entropy  the one bias input that is not a count: an ordered
//                        single-precision sum over each comparison's rows
//                        (entropy_sums and entropy_terms carry it from chunk
//                        to chunk in row order);
//   performance          per-group performance metrics in one pass, from the
//                        state that performance_state gives per chunk;
//   continuous_baseline, continuous_counts, drift_scores
//                        drift of chunked data: bin counts against a
//                        baseline's edges add up, then score once.
// Every number comes from the core's own formulas.
#define LUMETRA_NUMPY_IMPORT
#include "python/numpy_api.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "core/errors.hpp"
#include "core/drift_parts.hpp"
#include "core/groups.hpp"
#include "core/metrics.hpp"
#include "core/settings.hpp"
#include "kernels/columns.hpp"
#include "python/callables.hpp"
#include "python/drift.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/module_init.hpp"
#include "python/results.hpp"

namespace lumetra::kernels {
namespace {

using py::Callable;
using py::Column;
using py::OrNone;
using py::Ref;
using Rule = std::optional<std::string>;

// ---- results -----------------------------------------------------------------

template <class T>
constexpr int npy_type() {
    if constexpr (std::is_same_v<T, double>) return NPY_FLOAT64;
    if constexpr (std::is_same_v<T, float>) return NPY_FLOAT32;
    return NPY_UINT64;
}

// A new 1-D (or, with `table`, rows x cols) array holding a copy of `values`.
template <class T>
PyObject* new_array(const std::vector<T>& values, std::size_t rows, std::size_t cols = 0, bool table = false) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    Ref a = Ref::steal(PyArray_SimpleNew(cols == 0 && !table ? 1 : 2, dims, npy_type<T>()));
    if (!a) return nullptr;
    if (!values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())), values.data(),
                    values.size() * sizeof(T));
    }
    return a.release();
}

// Sets d[key] to a new array of `values` (one per group).
template <class T>
bool set_array(PyObject* d, std::string_view key, const std::vector<T>& values) {
    return py::dict_set_steal(d, key, new_array(values, values.size()));
}

// One column of metric values per metric of family E, in enum order, plus
// the error text of each group (empty when the group has its metrics).
template <class E>
struct MetricColumns {
    std::vector<std::vector<double>> values;
    std::vector<std::string> errors;

    explicit MetricColumns(std::size_t groups)
        : values(metric_count<E>, std::vector<double>(groups, std::numeric_limits<double>::quiet_NaN())),
          errors(groups) {}

    template <class Map>
    void set(std::size_t g, const Map& map) {
        map.for_each([&](E m, float v) { values[static_cast<std::size_t>(m)][g] = static_cast<double>(v); });
    }

    // Adds "name": array for each metric, then "error": [str or None, ...].
    bool put(PyObject* d) const {
        for (std::size_t m = 0; m < values.size(); ++m) {
            if (!set_array(d, metric_name(static_cast<E>(m)), values[m])) return false;
        }
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(errors.size())));
        if (!list) return false;
        for (std::size_t g = 0; g < errors.size(); ++g) {
            PyObject* item = errors[g].empty()
                                 ? py::none()
                                 : PyUnicode_FromStringAndSize(errors[g].data(),
                                                               static_cast<Py_ssize_t>(errors[g].size()));
            if (item == nullptr) return false;
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(g), item);
        }
        return py::dict_set_steal(d, "error", list.release());
    }
};

// ---- tally ---------------------------------------------------------------------

PyObject* code_out_of_range() {
    PyErr_SetString(PyExc_ValueError, "groups holds a code at or beyond n_groups");
    return nullptr;
}

// The prediction's outcome when a prediction column is given.
bool prediction_of(const OrNone<NumericArg>& column, const Rule& rule, const RuleValue& value, std::size_t rows,
                   std::optional<Outcome>& out) {
    if (column.get() == nullptr) return true;
    out = outcome_of(*column.get(), rule, value, "prediction", rows);
    return out.has_value();
}

// Tallies of a ground truth alone, tested as each row is counted (signed codes).
PyObject* tally_truth(const Codes& codes, const Outcome& truth) {
    std::vector<std::uint64_t> cells(codes.groups * 2, 0);
    auto counted = with_outcome<bool>(truth, [&](const auto& src, const auto& criterion) {
        bool ok = false;
        visit_codes(codes, [&](const auto& view) -> PyObject* {
            using C = std::remove_cvref_t<decltype(view[0])>;
            if constexpr (std::is_signed_v<C>) {
                ok = py::released(view.size(),
                                  [&] { return tally_groups(view, codes.groups, src, criterion, cells.data()); });
            }
            return Py_None;
        });
        return ok;
    });
    if (!counted) return nullptr;
    if (!*counted) return code_out_of_range();
    return new_array(cells, codes.groups, 2);
}

bool signed_codes(const Codes& codes) {
    switch (codes.column.type) {
        case py::NativeType::I8:
        case py::NativeType::I16:
        case py::NativeType::I32:
        case py::NativeType::I64: return true;
        default: return false;
    }
}

PyObject* tally(const NumericArg& groups, const std::uint64_t& n_groups, const NumericArg& truth,
                const Rule& truth_rule, const RuleValue& truth_value, const OrNone<NumericArg>& prediction,
                const Rule& prediction_rule, const RuleValue& prediction_value) {
    auto codes = codes_of(groups, n_groups);
    if (!codes) return nullptr;
    const std::size_t rows = codes->column.n;
    auto t = outcome_of(truth, truth_rule, truth_value, "truth", rows);
    if (!t) return nullptr;
    std::optional<Outcome> p;
    if (!prediction_of(prediction, prediction_rule, prediction_value, rows, p)) return nullptr;
    if (!p && signed_codes(*codes)) return tally_truth(*codes, *t);
    auto mark = outcomes_marker(*t, p);
    if (!mark) return nullptr;
    const std::size_t width = p ? 4 : 2;
    std::vector<std::uint64_t> cells(codes->groups * width, 0);
    return visit_codes(*codes, [&](const auto& view) -> PyObject* {
        bool ok = false;
        ok = py::released(view.size(),
                          [&] { return tally_groups(view, codes->groups, width, *mark, cells.data()); });
        if (!ok) return code_out_of_range();
        return new_array(cells, codes->groups, width);
    });
}

constexpr const char* kTallyDoc =
    "Outcome counts of every group in one pass: a uint64 array of n_groups rows of 2 cells (truth only)\n"
    "or 4 (truth and prediction), cell = truth_positive + 2 * prediction_positive. A row with a\n"
    "negative group code is left out. Tallies of separate chunks of rows add up.";

// ---- generalized entropy -------------------------------------------------------

// What both entropy kernels read: the codes, the outcome flags of truth and
// prediction, and the reference group. nullopt with the error set.
struct EntropyInput {
    Codes codes;
    OutcomeMarker mark;
    std::optional<std::size_t> reference;
};

std::optional<EntropyInput> entropy_input(const NumericArg& groups, std::uint64_t n_groups, const NumericArg& truth,
                                          const Rule& truth_rule, const RuleValue& truth_value,
                                          const NumericArg& prediction, const Rule& prediction_rule,
                                          const RuleValue& prediction_value,
                                          const std::optional<std::uint64_t>& reference) {
    auto codes = codes_of(groups, n_groups);
    if (!codes) return std::nullopt;
    if (reference && *reference >= n_groups) {
        PyErr_SetString(PyExc_ValueError, "reference must be a group code below n_groups");
        return std::nullopt;
    }
    const std::size_t rows = codes->column.n;
    auto t = outcome_of(truth, truth_rule, truth_value, "truth", rows);
    if (!t) return std::nullopt;
    auto p = outcome_of(prediction, prediction_rule, prediction_value, "prediction", rows);
    if (!p) return std::nullopt;
    auto mark = outcomes_marker(*t, p);
    if (!mark) return std::nullopt;
    std::optional<std::size_t> ref;
    if (reference) ref = static_cast<std::size_t>(*reference);
    return EntropyInput{*codes, std::move(*mark), ref};
}

PyObject* generalized_entropy(const NumericArg& groups, const std::uint64_t& n_groups, const NumericArg& truth,
                              const Rule& truth_rule, const RuleValue& truth_value, const NumericArg& prediction,
                              const Rule& prediction_rule, const RuleValue& prediction_value,
                              const std::optional<std::uint64_t>& reference) {
    auto in = entropy_input(groups, n_groups, truth, truth_rule, truth_value, prediction, prediction_rule,
                            prediction_value, reference);
    if (!in) return nullptr;
    return visit_codes(in->codes, [&](const auto& view) -> PyObject* {
        std::optional<std::vector<float>> out;
        out = py::released(view.size(), [&] {
            return grouped_generalized_entropy(view, in->codes.groups, in->mark, in->reference);
        });
        if (!out) return code_out_of_range();
        return new_array(*out, out->size());
    });
}

constexpr const char* kEntropyDoc =
    "The generalized entropy of each group's comparison (float32, NaN for a group without rows): over\n"
    "every row kept, or with a reference group over the rows of the group and the reference, in row order.";

// ---- bias from tallies ---------------------------------------------------------

// Adds n (rows of each group), n_other (rows of its comparison side) and the
// metric columns of family E, each group's metrics given by metrics(g, d).
template <class E, class Metrics>
PyObject* bias_table(const GroupTallies& t, std::optional<std::size_t> ref, Metrics&& metrics) {
    const SideCells totals = tally_totals(t);
    std::vector<std::uint64_t> n(t.groups), n_other(t.groups);
    MetricColumns<E> m(t.groups);
    for (std::size_t g = 0; g < t.groups; ++g) {
        const SideCells d = other_side(t, g, ref, totals);
        n[g] = t.rows(g);
        n_other[g] = 0;
        for (std::size_t k = 0; k < t.width; ++k) n_other[g] += d[k];
        const auto r = metrics(g, d);
        if (r) m.set(g, r.value());
        else m.errors[g] = std::string(message(r.error()));
    }
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    if (!set_array(out.get(), "n", n) || !set_array(out.get(), "n_other", n_other) || !m.put(out.get())) {
        return nullptr;
    }
    return out.release();
}

PyObject* bias(const Column<py::CountTable>& tallies, const std::optional<std::uint64_t>& reference,
               const OrNone<Column<py::Float32>>& entropy) {
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
    if (t.width == 2) {
        return bias_table<DataBiasMetric>(t, ref, [&](std::size_t g, const SideCells& d) {
            return data_bias_from_counts(facet_counts(t.of(g), d.data()));
        });
    }
    if (entropy.get() == nullptr) {
        PyErr_SetString(PyExc_TypeError, "model bias tallies need the groups' entropy");
        return nullptr;
    }
    const F32Column ge = entropy.get()->view();
    if (ge.size() != t.groups) {
        PyErr_SetString(PyExc_ValueError, "entropy must hold one value per group");
        return nullptr;
    }
    return bias_table<ModelBiasMetric>(t, ref, [&](std::size_t g, const SideCells& d) {
        DiscretePostTraining record;
        record.counts = post_training_counts(t.of(g), d.data());
        record.generalized_entropy = ge[g];
        return post_training_bias(record);
    });
}

constexpr const char* kBiasDoc =
    "The bias metrics of every group from its tallies: data bias for 2 cells per group, model bias for 4\n"
    "(which needs each group's generalized entropy). Each group is facet a, against the reference group or\n"
    "against every other row as facet d. Returns a dict: n, n_other, one float64 array per metric in the\n"
    "family's order (NaN where refused), and error (the refusal's message, or None).";

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

// Runs a per-group pass over the codes (the lock released for long ones);
// false for a code at or beyond the groups (error set).
template <class Pass>
bool group_pass(const Codes& codes, Pass&& pass) {
    return visit_codes(codes, [&](const auto& view) -> PyObject* {
        const bool ok = py::released(view.size(), [&] { return pass(view); });
        return ok ? Py_None : code_out_of_range();
    }) != nullptr;
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
        s.sums[g] = static_cast<double>(l.log_loss_sum);
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
        // Partial sums of single-precision terms, added in double: one rounding here.
        l.log_loss_sum = static_cast<float>(sums[g]);
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
                      const float& threshold) {
    const auto s = performance_pass(task, groups, n_groups, label, label_rule, label_value, prediction,
                                    prediction_rule, prediction_value, threshold);
    if (!s) return nullptr;
    return metrics_of_state(s->task, s->groups, s->counts.data(), s->sums.data());
}

PyObject* performance_state(const std::string& task, const NumericArg& groups, const std::uint64_t& n_groups,
                            const NumericArg& label, const Rule& label_rule, const RuleValue& label_value,
                            const NumericArg& prediction, const Rule& prediction_rule,
                            const RuleValue& prediction_value, const float& threshold) {
    const auto s = performance_pass(task, groups, n_groups, label, label_rule, label_value, prediction,
                                    prediction_rule, prediction_value, threshold);
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

// ---- generalized entropy, chunk by chunk -----------------------------------------

PyObject* entropy_sums(const NumericArg& groups, const std::uint64_t& n_groups, const NumericArg& truth,
                       const Rule& truth_rule, const RuleValue& truth_value, const NumericArg& prediction,
                       const Rule& prediction_rule, const RuleValue& prediction_value,
                       const std::optional<std::uint64_t>& reference, const Column<py::Float32>& terms,
                       const Column<py::Float32>& sums) {
    auto in = entropy_input(groups, n_groups, truth, truth_rule, truth_value, prediction, prediction_rule,
                            prediction_value, reference);
    if (!in) return nullptr;
    const std::size_t comparisons = reference ? in->codes.groups : 1;
    const F32Column t = terms.view(), running = sums.view();
    if (t.size() != 3 * comparisons || running.size() != comparisons) {
        PyErr_Format(PyExc_ValueError, "%zu comparisons need 3 terms and 1 sum each; got %zu terms and %zu sums",
                     comparisons, t.size(), running.size());
        return nullptr;
    }
    std::vector<float> term_values(t.size()), out(comparisons);
    for (std::size_t i = 0; i < t.size(); ++i) term_values[i] = t[i];
    for (std::size_t c = 0; c < comparisons; ++c) out[c] = running[c];
    if (!group_pass(in->codes, [&](const auto& view) {
            return continue_entropy_sums(view, in->codes.groups, in->mark, in->reference, term_values.data(),
                                         out.data());
        })) {
        return nullptr;
    }
    return new_array(out, out.size());
}

constexpr const char* kEntropySumsDoc =
    "The generalized entropy of each comparison over chunks of rows taken in row order: continues each\n"
    "comparison's single-precision sum (sums, float32) with terms[3 c + b] for each of its rows of this\n"
    "chunk, b being the row's benefit (0 missed positive, 1 found positive, 2 negative truth). One\n"
    "comparison without a reference (every row kept), one per group with one (the rows of the group and\n"
    "the reference). A first pass over all chunks with terms 0, 1, 2 gives each benefit total s, a\n"
    "second with entropy_terms(s, n) the entropy, as generalized_entropy() has it for all rows at once.";

PyObject* entropy_terms(const Column<py::Float32>& totals, const NumericArg& rows) {
    const F32Column s = totals.view();
    const py::NativeColumn n = rows.view();
    if (!py::is_integer(n.type) || n.n != s.size()) {
        PyErr_SetString(PyExc_ValueError, "rows must hold one integer count per benefit total");
        return nullptr;
    }
    std::vector<float> out(3 * s.size());
    py::visit_numeric(n, [&](const auto& counts) {
        for (std::size_t c = 0; c < s.size(); ++c) {
            float t[3];
            generalized_entropy_terms(s[c], static_cast<std::size_t>(counts[c]), t);
            std::copy(t, t + 3, out.data() + 3 * c);
        }
    });
    return new_array(out, out.size());
}

constexpr const char* kEntropyTermsDoc =
    "The terms (b / mu)^2 - 1 for b = 0, 1, 2 of each comparison (float32, 3 per comparison), from its\n"
    "benefit total s and its number of rows n (mu = s / n), as the generalized entropy computes them.";

// ---- drift in parts ----------------------------------------------------------------

PyObject* continuous_baseline(const Column<py::Float64>& values, const Rule& rule_text) {
    const auto rule = py::parse_rule(rule_text);
    if (!rule) return nullptr;
    return values.visit([&](std::span<const double> v) -> PyObject* {
        auto baseline = py::released(v.size(), [&] {
            return drift::BaselineContinuousBins::create(v, *rule);
        });
        if (!baseline.ok()) return py::raise(baseline.error());
        Ref out = Ref::steal(PyDict_New());
        if (!out) return nullptr;
        const auto& b = baseline.value();
        if (!py::dict_set_steal(out.get(), "edges", new_array(b.bin_edges(), b.bin_edges().size())) ||
            !py::dict_set_steal(out.get(), "hist", new_array(b.baseline_hist(), b.baseline_hist().size()))) {
            return nullptr;
        }
        return out.release();
    });
}

constexpr const char* kContinuousBaselineDoc =
    "The baseline of a continuous drift detector built from values with a bin rule (None:\n"
    "FreedmanDiaconis): a dict of its interior bin edges and its bin shares (float64), refused as the\n"
    "detector refuses it.";

PyObject* continuous_counts(const Column<py::Float64>& edges, const Column<py::Float64>& values) {
    return edges.visit([&](std::span<const double> e) -> PyObject* {
        const auto bins = drift::EdgeBins::from_edges(e);
        if (!bins) {
            PyErr_SetString(PyExc_ValueError, "edges must be at least one finite value, ascending");
            return nullptr;
        }
        return values.visit([&](std::span<const double> v) -> PyObject* {
            std::vector<std::uint64_t> counts(bins->num_bins(), 0);
            py::released(v.size(), [&] { bins->count(v, counts.data()); });
            return new_array(counts, counts.size());
        });
    });
}

constexpr const char* kContinuousCountsDoc =
    "How many values fall in each bin of a continuous baseline given by its interior edges (uint64, one\n"
    "count per bin: below the first edge or NaN, between the edges, above the last), as its detector\n"
    "bins them. Counts of separate chunks add up.";

PyObject* drift_scores(const std::string& kind, const Column<py::Float64>& hist, const Column<py::Float64>& counts,
                       const py::StrList& metrics) {
    drift::BinKind bin_kind;
    if (kind == "continuous") {
        bin_kind = drift::BinKind::Continuous;
    } else if (kind == "categorical") {
        bin_kind = drift::BinKind::Categorical;
    } else {
        PyErr_Format(PyExc_ValueError, "kind must be one of 'continuous', 'categorical'; got '%s'", kind.c_str());
        return nullptr;
    }
    const auto types = py::parse_types(metrics);
    if (!types) return nullptr;
    return hist.visit([&](std::span<const double> b) {
        return counts.visit([&](std::span<const double> c) -> PyObject* {
            if (b.size() != c.size()) {
                PyErr_Format(PyExc_ValueError, "counts must hold one value per bin (%zu bins, got %zu)", b.size(),
                             c.size());
                return nullptr;
            }
            return py::scores_or_raise(drift::scores_of_counts(b, c, *types, bin_kind));
        });
    });
}

constexpr const char* kDriftScoresDoc =
    "The drift scores, in the order of metrics, of runtime bin counts (float64, summed over every chunk)\n"
    "against the baseline's bin shares, as the batch detector of that kind scores its own bins.";

// ---- module ----------------------------------------------------------------------

constexpr Callable kFunctions[] = {
    py::function<tally>("tally",
                        {"groups", "n_groups", "truth", "truth_rule", "truth_value", "prediction=None",
                         "prediction_rule=None", "prediction_value=None"},
                        kTallyDoc),
    py::function<generalized_entropy>("generalized_entropy",
                                      {"groups", "n_groups", "truth", "truth_rule", "truth_value", "prediction",
                                       "prediction_rule", "prediction_value", "reference=None"},
                                      kEntropyDoc),
    py::function<bias>("bias", {"tallies", "reference=None", "entropy=None"}, kBiasDoc),
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
    py::function<entropy_sums>("entropy_sums",
                               {"groups", "n_groups", "truth", "truth_rule", "truth_value", "prediction",
                                "prediction_rule", "prediction_value", "reference", "terms", "sums"},
                               kEntropySumsDoc),
    py::function<entropy_terms>("entropy_terms", {"totals", "rows"}, kEntropyTermsDoc),
    py::function<continuous_baseline>("continuous_baseline", {"values", "rule=None"}, kContinuousBaselineDoc),
    py::function<continuous_counts>("continuous_counts", {"edges", "values"}, kContinuousCountsDoc),
    py::function<drift_scores>("drift_scores", {"kind", "hist", "counts", "metrics"}, kDriftScoresDoc),
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "lumetra._kernels", "Compiled kernels of the lumetra package: many groups in one pass.",
    0, nullptr, nullptr, nullptr, nullptr, nullptr,
};
py::ModuleCache g_cache;

}  // namespace
}  // namespace lumetra::kernels

PyMODINIT_FUNC PyInit__kernels(void) {
    using namespace lumetra::kernels;
    if (g_cache.module == nullptr && _import_array() < 0) return nullptr;
    return lumetra::py::init_module(g_module_def, g_cache, {{kFunctions}, {}});
}
