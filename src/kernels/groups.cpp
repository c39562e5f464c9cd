// Outcome tallies of many groups in one pass, and the bias metrics of every
// group from them (tallies of separate chunks of rows add up as integers).
#include "kernels/results.hpp"

#include "core/groups.hpp"

namespace lumetra::kernels {
namespace {

// ---- tally ---------------------------------------------------------------------

// The prediction's outcome when a prediction column is given.
bool prediction_of(const OrNone<NumericArg>& column, const Rule& rule, const RuleValue& value, std::size_t rows,
                   std::optional<Outcome>& out) {
    if (column.get() == nullptr) return true;
    out = outcome_of(*column.get(), rule, value, "prediction", rows);
    return out.has_value();
}

// Tallies of a ground truth alone, tested as each row is counted. For signed
// codes in adjacent elements (as the package's are): the pass is compiled for
// every truth dtype and rule, so it exists for those codes only, and other
// codes take the general pass, which counts the same.
PyObject* tally_truth(const Codes& codes, const Outcome& truth) {
    std::vector<std::uint64_t> cells(codes.groups * 2, 0);
    auto counted = with_outcome<bool>(truth, [&](const auto& src, const auto& criterion) {
        bool ok = false;
        visit_codes(codes, [&](const auto& view) -> PyObject* {
            using C = std::remove_cvref_t<decltype(view[0])>;
            if constexpr (std::is_signed_v<C>) {
                const Packed<C> packed{reinterpret_cast<const C*>(view.data), view.size()};
                ok = py::released(packed.size(),
                                  [&] { return tally_groups(packed, codes.groups, src, criterion, cells.data()); });
            }
            return Py_None;
        });
        return ok;
    });
    if (!counted) return nullptr;
    if (!*counted) return code_out_of_range();
    return new_array(cells, codes.groups, 2);
}

bool packed_signed_codes(const Codes& codes) {
    const auto address = reinterpret_cast<std::uintptr_t>(codes.column.data);
    if (!codes.column.contiguous() || address % codes.column.itemsize != 0) return false;
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
    if (!p && packed_signed_codes(*codes)) return tally_truth(*codes, *t);
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

// ---- bias from tallies ---------------------------------------------------------

// Adds n (rows of each group), n_other (rows of its comparison side) and the
// metric columns of family E, each group's metrics given by metrics(g, d).
template <class E, class Metrics>
PyObject* bias_table(const GroupTallies& t, std::optional<std::size_t> ref, Metrics&& metrics,
                     const std::vector<std::string>* undefined = nullptr) {
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
    if (!set_array(out.get(), "n", n) || !set_array(out.get(), "n_other", n_other) || !m.put(out.get()) ||
        (undefined != nullptr && !put_texts(out.get(), "undefined", *undefined))) {
        return nullptr;
    }
    return out.release();
}

// The metrics without a value, "Metric: why; ..." in metric order, or "".
std::string undefined_text(const EachPostTraining& each) {
    std::string out;
    for (std::size_t m = 0; m < each.undefined.size(); ++m) {
        if (each.undefined[m].empty()) continue;
        if (!out.empty()) out += "; ";
        out += metric_name(static_cast<ModelBiasMetric>(m));
        out += ": ";
        out += each.undefined[m];
    }
    return out;
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
    // Each metric its counts define, whether or not the engine would answer
    // all twelve: one zero denominator leaves the other metrics their values.
    std::vector<std::string> undefined(t.groups);
    return bias_table<ModelBiasMetric>(
        t, ref,
        [&](std::size_t g, const SideCells& d) -> Result<MetricMap<ModelBiasMetric>, BiasError> {
            const PostTraining counts = post_training_counts(t.of(g), d.data());
            if (check_post_training(counts) == PostTrainingGuard::EmptyFacet) return BiasError::DataLengthError;
            const EachPostTraining each = post_training_each(counts, ge[g]);
            undefined[g] = undefined_text(each);
            MetricMap<ModelBiasMetric> out;
            for (std::size_t i = 0; i < each.values.size(); ++i) out.insert(static_cast<ModelBiasMetric>(i), each.values[i]);
            return out;
        },
        &undefined);
}

constexpr const char* kBiasDoc =
    "The bias metrics of every group from its tallies: data bias for 2 cells per group, model bias for 4\n"
    "(which needs each group's generalized entropy). Each group is facet a, against the reference group or\n"
    "against every other row as facet d. Returns a dict: n, n_other, one float64 array per metric in the\n"
    "family's order (NaN where refused), and error (the refusal's message, or None). Model bias gives\n"
    "each metric its counts define, and undefined: \"Metric: why; ...\" for the metrics without a value, or\n"
    "None.";

constexpr Callable kFunctions[] = {
    py::function<tally>("tally",
                        {"groups", "n_groups", "truth", "truth_rule", "truth_value", "prediction=None",
                         "prediction_rule=None", "prediction_value=None"},
                        kTallyDoc),
    py::function<bias>("bias", {"tallies", "reference=None", "entropy=None"}, kBiasDoc),
};

}  // namespace

std::span<const Callable> group_functions() { return kFunctions; }

}  // namespace lumetra::kernels
