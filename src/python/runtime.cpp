#include "python/runtime.hpp"

#include "python/binding.hpp"
#include "core/runtime.hpp"
#include "python/errors.hpp"
#include "python/report.hpp"

namespace lumetra::py {

const char* const kDataBiasRuntimeCheckDoc = "py_data_bias_runtime_check(baseline, latest, threshold=0.10)\n--\n\n";
const char* const kDataBiasPartialCheckDoc =
    "py_data_bias_partial_check(baseline, latest, metrics, threshold=0.10)\n--\n\n";
const char* const kModelBiasRuntimeCheckDoc = "py_model_bias_runtime_check(baseline, latest, threshold=0.10)\n--\n\n";
const char* const kModelBiasPartialCheckDoc =
    "py_model_bias_partial_check(baseline, latest, metrics, threshold=0.10)\n--\n\n";

namespace {

const Signature kDataFullSig{"py_data_bias_runtime_check()", {"baseline", "latest", "threshold"}, 2};
const Signature kDataPartialSig{"py_data_bias_partial_check()", {"baseline", "latest", "metrics", "threshold"}, 3};
const Signature kModelFullSig{"py_model_bias_runtime_check()", {"baseline", "latest", "threshold"}, 2};
const Signature kModelPartialSig{"py_model_bias_partial_check()", {"baseline", "latest", "metrics", "threshold"}, 3};

// Both records from name-keyed values (a name missing from the latest is
// reported before one missing from the baseline), then the check over `metrics`.
template <class Record, class E>
PyObject* check_named(const NamedValues& baseline, const NamedValues& latest, const std::vector<E>& metrics,
                      float threshold) {
    auto latest_record = Record::from_names(latest);
    if (!latest_record) return raise(latest_record.error());
    auto baseline_record = Record::from_names(baseline);
    if (!baseline_record) return raise(baseline_record.error());
    const auto failures = Record::runtime_check(latest_record.value(), baseline_record.value(), metrics, threshold);
    return report_to_py(DriftReport<E>::from_runtime(failures));
}

}  // namespace

PyObject* py_data_bias_runtime_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kDataFullSig, args, nargs, kwnames, b)) return nullptr;
        NamedValues baseline, latest;
        float threshold = kDefaultThreshold;
        if (!convert_args(kDataFullSig, b, baseline, latest, threshold)) return nullptr;
        // The full check accepts only the seven names: foreign keys of the
        // baseline, then of the latest, before any missing name.
        auto baseline_map = convert_db_analysis(baseline);
        if (!baseline_map) return raise(baseline_map.error());
        auto latest_map = convert_db_analysis(latest);
        if (!latest_map) return raise(latest_map.error());
        auto baseline_record = DataBiasRuntime::from_metric_map(baseline_map.value());
        if (!baseline_record) return raise(baseline_record.error());
        auto latest_record = DataBiasRuntime::from_metric_map(latest_map.value());
        if (!latest_record) return raise(latest_record.error());
        const auto failures = DataBiasRuntime::runtime_check(latest_record.value(), baseline_record.value(),
                                                             all_metrics<DataBiasMetric>(), threshold);
        return report_to_py(DriftReport<DataBiasMetric>::from_runtime(failures));
    });
}

PyObject* py_data_bias_partial_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kDataPartialSig, args, nargs, kwnames, b)) return nullptr;
        NamedValues baseline, latest;
        StrList names;
        float threshold = kDefaultThreshold;
        if (!convert_args(kDataPartialSig, b, baseline, latest, names, threshold)) return nullptr;
        auto metrics = parse_data_bias_metrics(names);
        if (!metrics) return raise(metrics.error());
        return check_named<DataBiasRuntime>(baseline, latest, metrics.value(), threshold);
    });
}

PyObject* py_model_bias_runtime_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kModelFullSig, args, nargs, kwnames, b)) return nullptr;
        NamedValues baseline, latest;
        float threshold = kDefaultThreshold;
        if (!convert_args(kModelFullSig, b, baseline, latest, threshold)) return nullptr;
        return check_named<ModelBiasRuntime>(baseline, latest, all_metrics<ModelBiasMetric>(), threshold);
    });
}

PyObject* py_model_bias_partial_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kModelPartialSig, args, nargs, kwnames, b)) return nullptr;
        NamedValues baseline, latest;
        StrList names;
        float threshold = kDefaultThreshold;
        if (!convert_args(kModelPartialSig, b, baseline, latest, names, threshold)) return nullptr;
        // Refused metric names are reported before either dict is examined.
        auto metrics = parse_model_bias_metrics(names);
        if (!metrics) return raise(metrics.error());
        return check_named<ModelBiasRuntime>(baseline, latest, metrics.value(), threshold);
    });
}

}  // namespace lumetra::py
