#include "runtime.hpp"

#include "binding.hpp"
#include "core/runtime.hpp"
#include "errors.hpp"
#include "report.hpp"

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
        auto latest_record = DataBiasRuntime::from_names(latest);
        if (!latest_record) return raise(latest_record.error());
        auto baseline_record = DataBiasRuntime::from_names(baseline);
        if (!baseline_record) return raise(baseline_record.error());
        const auto failures =
            DataBiasRuntime::runtime_check(latest_record.value(), baseline_record.value(), metrics.value(), threshold);
        return report_to_py(DriftReport<DataBiasMetric>::from_runtime(failures));
    });
}

PyObject* py_model_bias_runtime_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kModelFullSig, args, nargs, kwnames, b)) return nullptr;
        NamedValues baseline, latest;
        float threshold = kDefaultThreshold;
        if (!convert_args(kModelFullSig, b, baseline, latest, threshold)) return nullptr;
        auto latest_record = ModelBiasRuntime::from_names(latest);
        if (!latest_record) return raise(latest_record.error());
        auto baseline_record = ModelBiasRuntime::from_names(baseline);
        if (!baseline_record) return raise(baseline_record.error());
        const auto failures = ModelBiasRuntime::runtime_check(latest_record.value(), baseline_record.value(),
                                                              all_metrics<ModelBiasMetric>(), threshold);
        return report_to_py(DriftReport<ModelBiasMetric>::from_runtime(failures));
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
        auto latest_record = ModelBiasRuntime::from_names(latest);
        if (!latest_record) return raise(latest_record.error());
        auto baseline_record = ModelBiasRuntime::from_names(baseline);
        if (!baseline_record) return raise(baseline_record.error());
        const auto failures =
            ModelBiasRuntime::runtime_check(latest_record.value(), baseline_record.value(), metrics.value(), threshold);
        return report_to_py(DriftReport<ModelBiasMetric>::from_runtime(failures));
    });
}

}  // namespace lumetra::py
