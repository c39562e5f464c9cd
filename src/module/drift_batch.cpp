// The batch drift detectors and the one-shot drift functions: what differs
// between the two detector classes (their template is in module/drift.hpp).
#include "module/drift.hpp"
#include "binding/gil.hpp"
#include "module/lumetra.hpp"

namespace lumetra::py {
namespace {

using drift::CategoricalDataDrift;
using drift::ContinuousDataDrift;

struct Continuous : ContinuousKind {
    using Core = ContinuousDataDrift;
    static constexpr state::Tag tag = state::Tag::ContinuousDataDrift;
    // The rule is parsed before the baseline is read.
    static PyObject* construct(PyTypeObject* type, const Float64Data& baseline,
                               const std::optional<std::string>& rule_text) {
        const auto rule = parse_rule(rule_text);
        if (!rule) return nullptr;
        return with_data(baseline, [&](std::span<const double> values) {
            return create_or_raise(type, released(values.size(), [&] { return Core::create(*rule, values); }));
        });
    }
};

struct Categorical : CategoricalKind {
    using Core = CategoricalDataDrift;
    static constexpr state::Tag tag = state::Tag::CategoricalDataDrift;
    static PyObject* construct(PyTypeObject* type, const LabelData& baseline) {
        return with_data(baseline, [&](const drift::Labels& labels) {
            return create_or_raise(type, released(labels.size(), [&] { return Core::create(labels); }));
        });
    }
};

constexpr ClassDecl kClasses[] = {
    batch_class<Categorical>("PyCategoricalDataDrift", {"baseline_data"},
                             "Batch categorical data drift detector. Computes drift metrics between a fixed\n"
                             "baseline label distribution and a runtime label slice on each call."),
    batch_class<Continuous>("PyContinuousDataDrift", {"baseline_data", "quantile_type_str"},
                            "Batch continuous data drift detector. Computes drift metrics between a fixed\n"
                            "baseline histogram and a runtime data slice on each call."),
};

// ---- one-shot functions -----------------------------------------------------------

// The candidate is only binned: read as a batch detector's runtime data is.
PyObject* categorical_distribution(const LabelData& baseline, const BinnedLabelData& candidate, const StrList& names) {
    const auto types = parse_types(names);
    if (!types) return nullptr;
    return with_data(baseline, [&](const drift::Labels& base) {
        return with_data(candidate, [&](const drift::Labels& cand) {
            return scores_or_raise(released(base.size() + cand.size(), [&] {
                return drift::compute_drift_categorical_distribution(base, cand, *types);
            }));
        });
    });
}

// Both arrays are read, baseline first, before the names and the rule are parsed.
PyObject* continuous_distribution(const Float64Data& baseline, const Float64Data& candidate, const StrList& names,
                                  const std::optional<std::string>& rule_text) {
    return with_data(baseline, [&](std::span<const double> base) {
        return with_data(candidate, [&](std::span<const double> cand) -> PyObject* {
            const auto types = parse_types(names);
            if (!types) return nullptr;
            const auto rule = parse_rule(rule_text);
            if (!rule) return nullptr;
            return scores_or_raise(released(base.size() + cand.size(), [&] {
                return drift::compute_drift_continuous_distribution(base, cand, *types, *rule);
            }));
        });
    });
}

constexpr Callable kFunctions[] = {
    function<categorical_distribution>("py_compute_drift_categorical_distribtuion",
                                       {"baseline", "candidate", "drift_metrics"}),
    function<continuous_distribution>("py_compute_drift_continuous_distribtuion",
                                      {"baseline", "candidate", "drift_metrics", "quantile_type"}),
};

}  // namespace

std::span<const ClassDecl> batch_drift_classes() { return kClasses; }
std::span<const Callable> drift_functions() { return kFunctions; }

}  // namespace lumetra::py
