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

#include "columns.hpp"
#include "core/errors.hpp"
#include "core/groups.hpp"
#include "core/metrics.hpp"
#include "core/settings.hpp"
#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/model_perf.hpp"

namespace lumetra::kernels {
namespace {

using py::AnyArg;
using py::ArrayArg;
using py::BoundArgs;
using py::Ref;
using py::Signature;

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

// ---- arguments -----------------------------------------------------------------

// The group codes and the number of groups, read in place.
struct Codes {
    py::NativeColumn column;
    std::size_t groups;
};

std::optional<Codes> codes_arg(PyObject* groups, std::uint64_t n_groups) {
    auto c = column_arg(groups, "groups");
    if (!c) return std::nullopt;
    if (n_groups > (std::uint64_t{1} << 40)) {
        PyErr_SetString(PyExc_ValueError, "n_groups is too large");
        return std::nullopt;
    }
    return Codes{*c, static_cast<std::size_t>(n_groups)};
}

// An outcome column and its rule: the (array, rule, value) arguments at
// `first`; the array must have one value per row.
struct OutcomeArgs {
    py::NativeColumn column;
    std::string rule;
    PyObject* value;
    const char* argument;
};

std::optional<OutcomeArgs> outcome_args(const Signature& sig, const BoundArgs& b, std::size_t first,
                                        std::size_t rows) {
    const char* argument = sig.name(first);
    auto c = column_arg(b[first], argument);
    if (!c) return std::nullopt;
    if (c->n != rows) {
        PyErr_Format(PyExc_ValueError, "%s must have one value per row (%zu rows, got %zu)", argument, rows, c->n);
        return std::nullopt;
    }
    if (b[first + 1] == nullptr || b[first + 2] == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s needs a rule and a value", argument);
        return std::nullopt;
    }
    std::string rule;
    if (!py::convert_arg(sig, b, first + 1, rule)) return std::nullopt;
    return OutcomeArgs{*c, std::move(rule), b[first + 2], argument};
}

std::optional<OutcomeMarker> outcome_arg(const Signature& sig, const BoundArgs& b, std::size_t first, unsigned bit,
                                         std::size_t rows) {
    auto o = outcome_args(sig, b, first, rows);
    if (!o) return std::nullopt;
    return outcome_marker(o->column, o->rule, o->value, bit, o->argument);
}

// The truth marker, with the prediction's marker added when one is given.
std::optional<OutcomeMarker> outcomes_arg(const Signature& sig, const BoundArgs& b, std::size_t truth,
                                          std::size_t prediction, std::size_t rows, bool& with_prediction) {
    auto t = outcome_arg(sig, b, truth, kTruthBit, rows);
    if (!t) return std::nullopt;
    with_prediction = b[prediction] != nullptr && b[prediction] != Py_None;
    if (!with_prediction) return t;
    auto p = outcome_arg(sig, b, prediction, kPredictionBit, rows);
    if (!p) return std::nullopt;
    return OutcomeMarker([t = std::move(*t), p = std::move(*p)](std::size_t begin, std::size_t end,
                                                                 std::uint8_t* flags) {
        t(begin, end, flags);
        p(begin, end, flags);
    });
}

PyObject* code_out_of_range() {
    PyErr_SetString(PyExc_ValueError, "groups holds a code at or beyond n_groups");
    return nullptr;
}

// ---- tally ---------------------------------------------------------------------

const Signature kTallySig{"tally()",
                          {"groups", "n_groups", "truth", "truth_rule", "truth_value", "prediction",
                           "prediction_rule", "prediction_value"},
                          5};

const char* const kTallyDoc =
    "tally(groups, n_groups, truth, truth_rule, truth_value, prediction=None, prediction_rule=None, "
    "prediction_value=None)\n--\n\n"
    "Outcome counts of every group in one pass: a uint64 array of n_groups rows of 2 cells (truth only)\n"
    "or 4 (truth and prediction), cell = truth_positive + 2 * prediction_positive. A row with a\n"
    "negative group code is left out. Tallies of separate chunks of rows add up.";

// Tallies of a ground truth alone, tested as each row is counted (signed codes).
PyObject* tally_truth(const Signature& sig, const BoundArgs& b, const Codes& codes) {
    auto truth = outcome_args(sig, b, 2, codes.column.n);
    if (!truth) return nullptr;
    std::vector<std::uint64_t> cells(codes.groups * 2, 0);
    auto counted = with_outcome<bool>(truth->column, truth->rule, truth->value, truth->argument,
                                      [&](const auto& src, const auto& criterion) {
        bool ok = false;
        visit_signed_codes(codes.column, [&](const auto& view) -> PyObject* {
            without_gil([&] { ok = tally_groups(view, codes.groups, src, criterion, cells.data()); });
            return Py_None;
        });
        return ok;
    });
    if (!counted) return nullptr;
    if (!*counted) return code_out_of_range();
    return new_array(cells, codes.groups, 2);
}

PyObject* tally(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!py::bind(kTallySig, args, nargs, kwnames, b)) return nullptr;
        AnyArg groups;
        std::uint64_t n_groups = 0;
        if (!py::convert_args(kTallySig, b, groups, n_groups)) return nullptr;
        auto codes = codes_arg(groups.obj, n_groups);
        if (!codes) return nullptr;
        const bool signed_codes = visit_signed_codes(codes->column, [](const auto&) { return Py_None; }) != nullptr;
        if ((b[5] == nullptr || b[5] == Py_None) && signed_codes) return tally_truth(kTallySig, b, *codes);
        bool with_prediction = false;
        auto mark = outcomes_arg(kTallySig, b, 2, 5, codes->column.n, with_prediction);
        if (!mark) return nullptr;
        const std::size_t width = with_prediction ? 4 : 2;
        std::vector<std::uint64_t> cells(codes->groups * width, 0);
        return visit_codes(codes->column, "groups", [&](const auto& view) -> PyObject* {
            bool ok = false;
            without_gil([&] { ok = tally_groups(view, codes->groups, width, *mark, cells.data()); });
            if (!ok) return code_out_of_range();
            return new_array(cells, codes->groups, width);
        });
    });
}

// ---- generalized entropy -------------------------------------------------------

const Signature kEntropySig{"generalized_entropy()",
                            {"groups", "n_groups", "truth", "truth_rule", "truth_value", "prediction",
                             "prediction_rule", "prediction_value", "reference"},
                            8};

const char* const kEntropyDoc =
    "generalized_entropy(groups, n_groups, truth, truth_rule, truth_value, prediction, prediction_rule, "
    "prediction_value, reference=None)\n--\n\n"
    "The generalized entropy of each group's comparison (float32, NaN for a group without rows): over\n"
    "every row kept, or with a reference group over the rows of the group and the reference, in row order.";

PyObject* generalized_entropy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!py::bind(kEntropySig, args, nargs, kwnames, b)) return nullptr;
        AnyArg groups;
        std::uint64_t n_groups = 0;
        if (!py::convert_args(kEntropySig, b, groups, n_groups)) return nullptr;
        std::optional<std::uint64_t> reference;
        if (!py::convert_arg(kEntropySig, b, 8, reference)) return nullptr;
        auto codes = codes_arg(groups.obj, n_groups);
        if (!codes) return nullptr;
        if (reference && *reference >= n_groups) {
            PyErr_SetString(PyExc_ValueError, "reference must be a group code below n_groups");
            return nullptr;
        }
        if (b[5] == nullptr || b[5] == Py_None) {
            PyErr_SetString(PyExc_TypeError, "generalized_entropy() needs a prediction column");
            return nullptr;
        }
        bool with_prediction = false;
        auto mark = outcomes_arg(kEntropySig, b, 2, 5, codes->column.n, with_prediction);
        if (!mark) return nullptr;
        std::optional<std::size_t> ref;
        if (reference) ref = static_cast<std::size_t>(*reference);
        return visit_codes(codes->column, "groups", [&](const auto& view) -> PyObject* {
            std::optional<std::vector<float>> out;
            without_gil([&] { out = grouped_generalized_entropy(view, codes->groups, *mark, ref); });
            if (!out) return code_out_of_range();
            return new_array(*out, out->size());
        });
    });
}

// ---- bias from tallies ---------------------------------------------------------

const Signature kBiasSig{"bias()", {"tallies", "reference", "entropy"}, 1};

const char* const kBiasDoc =
    "bias(tallies, reference=None, entropy=None)\n--\n\n"
    "The bias metrics of every group from its tallies: data bias for 2 cells per group, model bias for 4\n"
    "(which needs each group's generalized entropy). Each group is facet a, against the reference group or\n"
    "against every other row as facet d. Returns a dict: n, n_other, one float64 array per metric in the\n"
    "family's order (NaN where refused), and error (the refusal's message, or None).";

// A C-contiguous array of `type` (converted when safe), or nullptr with TypeError set.
Ref contiguous(PyObject* o, int type, const char* argument) {
    if (!PyArray_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s must be a NumPy array", argument);
        return Ref();
    }
    return Ref::steal(PyArray_FROM_OTF(o, type, NPY_ARRAY_IN_ARRAY));
}

PyObject* bias(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!py::bind(kBiasSig, args, nargs, kwnames, b)) return nullptr;
        AnyArg tallies_arg, entropy_arg;
        std::optional<std::uint64_t> reference;
        if (!py::convert_args(kBiasSig, b, tallies_arg, reference, entropy_arg)) return nullptr;
        Ref cells = contiguous(tallies_arg.obj, NPY_UINT64, "tallies");
        if (!cells) return nullptr;
        auto* a = reinterpret_cast<PyArrayObject*>(cells.get());
        if (PyArray_NDIM(a) != 2 || (PyArray_DIM(a, 1) != 2 && PyArray_DIM(a, 1) != 4)) {
            PyErr_SetString(PyExc_ValueError, "tallies must have 2 or 4 cells per group");
            return nullptr;
        }
        const GroupTallies t{static_cast<const std::uint64_t*>(PyArray_DATA(a)),
                             static_cast<std::size_t>(PyArray_DIM(a, 0)), static_cast<std::size_t>(PyArray_DIM(a, 1))};
        if (reference && *reference >= t.groups) {
            PyErr_SetString(PyExc_ValueError, "reference must be a group code below the number of groups");
            return nullptr;
        }
        std::optional<std::size_t> ref;
        if (reference) ref = static_cast<std::size_t>(*reference);
        Ref entropy;
        if (t.width == 4) {
            if (entropy_arg.obj == nullptr || entropy_arg.obj == Py_None) {
                PyErr_SetString(PyExc_TypeError, "model bias tallies need the groups' entropy");
                return nullptr;
            }
            entropy = contiguous(entropy_arg.obj, NPY_FLOAT32, "entropy");
            if (!entropy) return nullptr;
            auto* e = reinterpret_cast<PyArrayObject*>(entropy.get());
            if (PyArray_NDIM(e) != 1 || static_cast<std::size_t>(PyArray_DIM(e, 0)) != t.groups) {
                PyErr_SetString(PyExc_ValueError, "entropy must hold one value per group");
                return nullptr;
            }
        }

        const SideCells totals = tally_totals(t);
        std::vector<std::uint64_t> n(t.groups), n_other(t.groups);
        Ref out = Ref::steal(PyDict_New());
        if (!out) return nullptr;
        auto sizes = [&](std::size_t g, const SideCells& d) {
            n[g] = t.rows(g);
            n_other[g] = 0;
            for (std::size_t k = 0; k < t.width; ++k) n_other[g] += d[k];
        };
        if (t.width == 2) {
            MetricColumns<DataBiasMetric> m(t.groups);
            for (std::size_t g = 0; g < t.groups; ++g) {
                const SideCells d = other_side(t, g, ref, totals);
                sizes(g, d);
                const auto r = data_bias_from_counts(facet_counts(t.of(g), d.data()));
                if (r) m.set(g, r.value());
                else m.errors[g] = std::string(message(r.error()));
            }
            if (!set_array(out.get(), "n", n) || !set_array(out.get(), "n_other", n_other) || !m.put(out.get())) {
                return nullptr;
            }
            return out.release();
        }
        const auto* ge = static_cast<const float*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(entropy.get())));
        MetricColumns<ModelBiasMetric> m(t.groups);
        for (std::size_t g = 0; g < t.groups; ++g) {
            const SideCells d = other_side(t, g, ref, totals);
            sizes(g, d);
            DiscretePostTraining record;
            record.counts = post_training_counts(t.of(g), d.data());
            record.generalized_entropy = ge[g];
            const auto r = post_training_bias(record);
            if (r) m.set(g, r.value());
            else m.errors[g] = std::string(message(r.error()));
        }
        if (!set_array(out.get(), "n", n) || !set_array(out.get(), "n_other", n_other) || !m.put(out.get())) {
            return nullptr;
        }
        return out.release();
    });
}

// ---- performance ---------------------------------------------------------------

const Signature kPerformanceSig{"performance()",
                                {"task", "groups", "n_groups", "label", "label_rule", "label_value", "prediction",
                                 "prediction_rule", "prediction_value", "threshold"},
                                7};

const char* const kPerformanceDoc =
    "performance(task, groups, n_groups, label, label_rule, label_value, prediction, prediction_rule=None, "
    "prediction_value=None, threshold=0.5)\n--\n\n"
    "Performance metrics of every group in one pass. task 'regression' reads label and prediction as\n"
    "numbers; 'classification' maps both to 1/0 by their rules; 'logistic' maps the label by its rule and\n"
    "reads the prediction as scores, with classes by value >= threshold. Returns a dict: n, one float64\n"
    "array per metric, and error (the message of a group the metrics refuse, or None).";

// A column read as single precision, as the module's performance functions read it.
bool f32_arg(PyObject* o, const char* argument, std::size_t rows, py::F32Input& out) {
    auto c = column_arg(o, argument);
    if (!c) return false;
    if (c->n != rows) {
        PyErr_Format(PyExc_ValueError, "%s must have one value per row (%zu rows, got %zu)", argument, rows, c->n);
        return false;
    }
    const py::F32Failure f = py::convert_f32(o, out);
    if (f == py::F32Failure::UnsupportedType) {
        PyErr_Format(PyExc_TypeError, "%s must be numeric", argument);
        return false;
    }
    return f == py::F32Failure::None;
}

PyObject* performance(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return py::guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!py::bind(kPerformanceSig, args, nargs, kwnames, b)) return nullptr;
        std::string task;
        AnyArg groups;
        std::uint64_t n_groups = 0;
        if (!py::convert_args(kPerformanceSig, b, task, groups, n_groups)) return nullptr;
        float threshold = 0.5f;
        if (!py::convert_arg(kPerformanceSig, b, 9, threshold)) return nullptr;
        auto codes = codes_arg(groups.obj, n_groups);
        if (!codes) return nullptr;
        const std::size_t rows = codes->column.n;
        const std::size_t G = codes->groups;
        Ref out = Ref::steal(PyDict_New());
        if (!out) return nullptr;

        if (task == "classification") {
            bool with_prediction = false;
            auto mark = outcomes_arg(kPerformanceSig, b, 3, 6, rows, with_prediction);
            if (!mark) return nullptr;
            if (!with_prediction) {
                PyErr_SetString(PyExc_TypeError, "classification needs a prediction column");
                return nullptr;
            }
            std::vector<std::uint64_t> cells(G * 4, 0);
            PyObject* done = visit_codes(codes->column, "groups", [&](const auto& view) -> PyObject* {
                bool ok = false;
                without_gil([&] { ok = tally_groups(view, G, 4, *mark, cells.data()); });
                return ok ? Py_None : code_out_of_range();
            });
            if (done == nullptr) return nullptr;
            const GroupTallies t{cells.data(), G, 4};
            std::vector<std::uint64_t> n(G);
            MetricColumns<ClassificationEvaluationMetric> m(G);
            for (std::size_t g = 0; g < G; ++g) {
                n[g] = t.rows(g);
                m.set(g, confusion_of(t.of(g)).metrics().to_map());
            }
            // Binary classification has no log loss.
            m.values.pop_back();
            if (!set_array(out.get(), "n", n) || !m.put(out.get())) return nullptr;
            return out.release();
        }

        if (task == "regression") {
            py::F32Input y_true, y_pred;
            if (!f32_arg(b[3], "label", rows, y_true) || !f32_arg(b[6], "prediction", rows, y_pred)) return nullptr;
            std::vector<LinearRegressionErrorBuckets> sums(G);
            PyObject* done = visit_codes(codes->column, "groups", [&](const auto& view) -> PyObject* {
                bool ok = false;
                without_gil([&] { ok = regression_by_group(view, y_true.column, y_pred.column, sums); });
                return ok ? Py_None : code_out_of_range();
            });
            if (done == nullptr) return nullptr;
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
            if (!set_array(out.get(), "n", n) || !m.put(out.get())) return nullptr;
            return out.release();
        }

        if (task == "logistic") {
            auto mark = outcome_arg(kPerformanceSig, b, 3, kTruthBit, rows);
            if (!mark) return nullptr;
            py::F32Input scores;
            if (!f32_arg(b[6], "prediction", rows, scores)) return nullptr;
            const std::optional<ScoreClamp> clamp = ScoreClamp::from_epsilon(stability_eps());
            if (!clamp) return py::raise(ModelPerformanceError(ModelPerformanceError::Kind::InvalidData));
            std::vector<LogisticSums> sums(G);
            PyObject* done = visit_codes(codes->column, "groups", [&](const auto& view) -> PyObject* {
                bool ok = false;
                without_gil([&] { ok = logistic_by_group(view, *mark, scores.column, threshold, *clamp, sums); });
                return ok ? Py_None : code_out_of_range();
            });
            if (done == nullptr) return nullptr;
            std::vector<std::uint64_t> n(G);
            MetricColumns<ClassificationEvaluationMetric> m(G);
            for (std::size_t g = 0; g < G; ++g) {
                n[g] = sums[g].n;
                const auto r = logistic_metrics(sums[g]);
                if (r) m.set(g, r.value().to_map());
                else m.errors[g] = message(r.error());
            }
            if (!set_array(out.get(), "n", n) || !m.put(out.get())) return nullptr;
            return out.release();
        }

        PyErr_Format(PyExc_ValueError, "task must be one of 'regression', 'classification', 'logistic'; got '%s'",
                     task.c_str());
        return nullptr;
    });
}

// ---- module ----------------------------------------------------------------------

PyMethodDef g_functions[] = {
    {"tally", py::fastcall<tally>(), py::kFastKw, kTallyDoc},
    {"generalized_entropy", py::fastcall<generalized_entropy>(), py::kFastKw, kEntropyDoc},
    {"bias", py::fastcall<bias>(), py::kFastKw, kBiasDoc},
    {"performance", py::fastcall<performance>(), py::kFastKw, kPerformanceDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "lumetra._kernels", "Compiled kernels of the lumetra package: many groups in one pass.",
    0, g_functions, nullptr, nullptr, nullptr, nullptr,
};

// Single-phase init, as _lumetra: the module belongs to the interpreter that
// built it; a re-import returns it, another interpreter is refused.
PyObject* g_module = nullptr;
PyInterpreterState* g_owner = nullptr;

}  // namespace
}  // namespace lumetra::kernels

PyMODINIT_FUNC PyInit__kernels(void) {
    using namespace lumetra::kernels;
    return lumetra::py::guarded([]() -> PyObject* {
        PyInterpreterState* here = PyInterpreterState_Get();
        if (g_module != nullptr) {
            if (here != g_owner) {
                PyErr_SetString(PyExc_ImportError,
                                "lumetra._kernels does not support sub-interpreters: it is already initialised "
                                "in another interpreter of this process");
                return nullptr;
            }
            return lumetra::py::Ref::borrow(g_module).release();
        }
        if (_import_array() < 0) return nullptr;
        if (!lumetra::py::init_internal_error_type()) return nullptr;
        PyObject* module = PyModule_Create(&g_module_def);
        if (module == nullptr) return nullptr;
        g_module = lumetra::py::Ref::borrow(module).release();  // kept for the process
        g_owner = here;
        return module;
    });
}
