// lumetra._kernels: the compiled part of the lumetra package, for many groups
// at once. Its work splits the way chunked data needs it:
//   tally                one pass over a chunk of rows: per-group outcome counts
//                        (tallies of chunks add up as integers);
//   bias                 the bias metrics of every group from tallies;
//   generalized_entropy  the one bias input that is not a count: an ordered
//                        single-precision sum over each comparison's rows;
//   performance          per-group performance metrics in one pass.
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
#include "core/groups.hpp"
#include "core/metrics.hpp"
#include "core/settings.hpp"
#include "kernels/columns.hpp"
#include "python/callables.hpp"
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

// A new 1-D (or rows x cols) array holding a copy of `values`.
template <class T>
PyObject* new_array(const std::vector<T>& values, std::size_t rows, std::size_t cols = 0) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    Ref a = Ref::steal(PyArray_SimpleNew(cols == 0 ? 1 : 2, dims, npy_type<T>()));
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

PyObject* generalized_entropy(const NumericArg& groups, const std::uint64_t& n_groups, const NumericArg& truth,
                              const Rule& truth_rule, const RuleValue& truth_value, const NumericArg& prediction,
                              const Rule& prediction_rule, const RuleValue& prediction_value,
                              const std::optional<std::uint64_t>& reference) {
    auto codes = codes_of(groups, n_groups);
    if (!codes) return nullptr;
    if (reference && *reference >= n_groups) {
        PyErr_SetString(PyExc_ValueError, "reference must be a group code below n_groups");
        return nullptr;
    }
    const std::size_t rows = codes->column.n;
    auto t = outcome_of(truth, truth_rule, truth_value, "truth", rows);
    if (!t) return nullptr;
    auto p = outcome_of(prediction, prediction_rule, prediction_value, "prediction", rows);
    if (!p) return nullptr;
    auto mark = outcomes_marker(*t, p);
    if (!mark) return nullptr;
    std::optional<std::size_t> ref;
    if (reference) ref = static_cast<std::size_t>(*reference);
    return visit_codes(*codes, [&](const auto& view) -> PyObject* {
        std::optional<std::vector<float>> out;
        out = py::released(view.size(),
                           [&] { return grouped_generalized_entropy(view, codes->groups, *mark, ref); });
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

// The result of one task: n and the metric columns of family E.
template <class E>
PyObject* performance_table(const std::vector<std::uint64_t>& n, const MetricColumns<E>& m) {
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    if (!set_array(out.get(), "n", n) || !m.put(out.get())) return nullptr;
    return out.release();
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

PyObject* classification(const Codes& codes, const Outcome& label, const Outcome& prediction) {
    auto mark = outcomes_marker(label, prediction);
    if (!mark) return nullptr;
    const std::size_t G = codes.groups;
    std::vector<std::uint64_t> cells(G * 4, 0);
    if (!group_pass(codes, [&](const auto& view) { return tally_groups(view, G, 4, *mark, cells.data()); })) {
        return nullptr;
    }
    const GroupTallies t{cells.data(), G, 4};
    std::vector<std::uint64_t> n(G);
    MetricColumns<ClassificationEvaluationMetric> m(G);
    for (std::size_t g = 0; g < G; ++g) {
        n[g] = t.rows(g);
        m.set(g, confusion_of(t.of(g)).metrics().to_map());
    }
    // Binary classification has no log loss.
    m.values.pop_back();
    return performance_table(n, m);
}

PyObject* regression(const Codes& codes, const NumericArg& label, const NumericArg& prediction) {
    const std::size_t rows = codes.column.n;
    std::vector<float> true_scratch, pred_scratch;
    const auto y_true = f32_of(label, "label", rows, true_scratch);
    if (!y_true) return nullptr;
    const auto y_pred = f32_of(prediction, "prediction", rows, pred_scratch);
    if (!y_pred) return nullptr;
    const std::size_t G = codes.groups;
    std::vector<LinearRegressionErrorBuckets> sums(G);
    if (!group_pass(codes, [&](const auto& view) { return regression_by_group(view, *y_true, *y_pred, sums); })) {
        return nullptr;
    }
    std::vector<std::uint64_t> n(G);
    MetricColumns<LinearRegressionEvaluationMetric> m(G);
    for (std::size_t g = 0; g < G; ++g) {
        n[g] = static_cast<std::uint64_t>(sums[g].pair_count);
        if (n[g] == 0) {
            m.errors[g] = message(ModelPerformanceError(ModelPerformanceError::Kind::EmptyDataVector));
            continue;
        }
        m.set(g, regression_metrics(sums[g]).to_map());
    }
    return performance_table(n, m);
}

PyObject* logistic(const Codes& codes, const Outcome& label, const NumericArg& prediction, float threshold) {
    auto mark = outcome_marker(label, kTruthBit);
    if (!mark) return nullptr;
    std::vector<float> scratch;
    const auto scores = f32_of(prediction, "prediction", codes.column.n, scratch);
    if (!scores) return nullptr;
    const std::optional<ScoreClamp> clamp = ScoreClamp::from_epsilon(stability_eps());
    if (!clamp) return py::raise(ModelPerformanceError(ModelPerformanceError::Kind::InvalidData));
    const std::size_t G = codes.groups;
    std::vector<LogisticSums> sums(G);
    if (!group_pass(codes, [&](const auto& view) {
            return logistic_by_group(view, *mark, *scores, threshold, *clamp, sums);
        })) {
        return nullptr;
    }
    std::vector<std::uint64_t> n(G);
    MetricColumns<ClassificationEvaluationMetric> m(G);
    for (std::size_t g = 0; g < G; ++g) {
        n[g] = sums[g].n;
        const auto r = logistic_metrics(sums[g]);
        if (r) m.set(g, r.value().to_map());
        else m.errors[g] = message(r.error());
    }
    return performance_table(n, m);
}

PyObject* performance(const std::string& task, const NumericArg& groups, const std::uint64_t& n_groups,
                      const NumericArg& label, const Rule& label_rule, const RuleValue& label_value,
                      const NumericArg& prediction, const Rule& prediction_rule, const RuleValue& prediction_value,
                      const float& threshold) {
    auto codes = codes_of(groups, n_groups);
    if (!codes) return nullptr;
    if (task == "regression") return regression(*codes, label, prediction);
    const std::size_t rows = codes->column.n;
    if (task == "classification") {
        auto t = outcome_of(label, label_rule, label_value, "label", rows);
        if (!t) return nullptr;
        auto p = outcome_of(prediction, prediction_rule, prediction_value, "prediction", rows);
        if (!p) return nullptr;
        return classification(*codes, *t, *p);
    }
    if (task == "logistic") {
        auto t = outcome_of(label, label_rule, label_value, "label", rows);
        if (!t) return nullptr;
        return logistic(*codes, *t, prediction, threshold);
    }
    PyErr_Format(PyExc_ValueError, "task must be one of 'regression', 'classification', 'logistic'; got '%s'",
                 task.c_str());
    return nullptr;
}

constexpr const char* kPerformanceDoc =
    "Performance metrics of every group in one pass. task 'regression' reads label and prediction as\n"
    "numbers; 'classification' maps both to 1/0 by their rules; 'logistic' maps the label by its rule and\n"
    "reads the prediction as scores, with classes by value >= threshold. Returns a dict: n, one float64\n"
    "array per metric, and error (the message of a group the metrics refuse, or None).";

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
