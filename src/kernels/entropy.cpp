// The generalized entropy of many groups: the one bias input that is not a
// count but an ordered single-precision sum over each comparison's rows, in
// one pass or carried from chunk to chunk in row order.
#include "kernels/results.hpp"

#include "core/groups.hpp"

namespace lumetra::kernels {
namespace {

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

constexpr Callable kFunctions[] = {
    py::function<generalized_entropy>("generalized_entropy",
                                      {"groups", "n_groups", "truth", "truth_rule", "truth_value", "prediction",
                                       "prediction_rule", "prediction_value", "reference=None"},
                                      kEntropyDoc),
    py::function<entropy_sums>("entropy_sums",
                               {"groups", "n_groups", "truth", "truth_rule", "truth_value", "prediction",
                                "prediction_rule", "prediction_value", "reference", "terms", "sums"},
                               kEntropySumsDoc),
    py::function<entropy_terms>("entropy_terms", {"totals", "rows"}, kEntropyTermsDoc),
};

}  // namespace

std::span<const Callable> entropy_functions() { return kFunctions; }

}  // namespace lumetra::kernels
