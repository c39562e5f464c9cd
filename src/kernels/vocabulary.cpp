// The names the engine defines, for the package to read rather than copy:
// the metrics of each family in their order, the drift metrics and the bin
// rules.
#include "kernels/results.hpp"

#include "core/drift.hpp"

namespace lumetra::kernels {
namespace {

// A tuple of the names, or nullptr with the error set.
PyObject* name_tuple(std::span<const std::string_view> names) {
    Ref out = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string_view name = names[i];
        PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
        if (text == nullptr) return nullptr;
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), text);
    }
    return out.release();
}

template <class E>
PyObject* metric_names(std::size_t count = metric_count<E>) {
    return name_tuple(std::span<const std::string_view>(MetricTraits<E>::names).first(count));
}

template <class E, std::size_t N>
PyObject* member_names() {
    std::array<std::string_view, N> names;
    for (std::size_t i = 0; i < N; ++i) names[i] = drift::name(static_cast<E>(i));
    return name_tuple(names);
}

// The names of one entry (a family, "drift_metrics" or "bin_rules").
// nullptr with the error set for an unknown entry.
PyObject* names_of(std::string_view entry) {
    constexpr std::size_t classification = metric_count<ClassificationEvaluationMetric> - 1;  // all but LogLoss
    if (entry == "data_bias") return metric_names<DataBiasMetric>();
    if (entry == "model_bias") return metric_names<ModelBiasMetric>();
    if (entry == "regression") return metric_names<LinearRegressionEvaluationMetric>();
    if (entry == "classification") return metric_names<ClassificationEvaluationMetric>(classification);
    if (entry == "logistic") return metric_names<ClassificationEvaluationMetric>();
    if (entry == "drift_metrics") return member_names<drift::DataDriftType, 4>();
    if (entry == "bin_rules") return member_names<drift::QuantileType, 3>();
    PyErr_Format(PyExc_ValueError, "no names of '%.200s' in the vocabulary", std::string(entry).c_str());
    return nullptr;
}

constexpr std::string_view kEntries[] = {"data_bias", "model_bias",    "regression", "classification",
                                         "logistic",  "drift_metrics", "bin_rules"};

PyObject* vocabulary(const std::optional<std::string>& entry) {
    if (entry) return names_of(*entry);
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    for (const std::string_view name : kEntries) {
        if (!py::dict_set_steal(out.get(), name, names_of(name))) return nullptr;
    }
    return out.release();
}

constexpr const char* kVocabularyDoc =
    "The engine's names, as tuples of str: those of one entry, or a dict of every entry: the metrics of\n"
    "each family in the engine's order (data_bias, model_bias, regression, classification, logistic),\n"
    "drift_metrics and bin_rules.";

constexpr Callable kFunctions[] = {
    py::function<vocabulary>("vocabulary", {"entry=None"}, kVocabularyDoc),
};

}  // namespace

std::span<const Callable> vocabulary_functions() { return kFunctions; }

}  // namespace lumetra::kernels
