// Model performance: the three batch analyses of true and predicted values and
// the runtime checks of their records.
#include "module/lumetra.hpp"

#include "core/model_perf.hpp"
#include "binding/gil.hpp"
#include "binding/intake.hpp"
#include "module/runtime.hpp"

namespace lumetra::py {
namespace {

// Why reading an array failed: a Python error is set, or its dtype is
// unsupported (no error set).
enum class ReadFailure { None, PythonError, UnsupportedType };

// Reads an array as single precision. Float and integer dtypes only; the
// length comes first: a 0-d array reports len()'s own TypeError even when its
// dtype is unsupported.
ReadFailure read_values(PyObject* array, Column<Float32>& out) {
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject*>(array)) == 0 && PyObject_Length(array) < 0) {
        return ReadFailure::PythonError;
    }
    const ElementKind kind = determine_type(array);
    if (kind != ElementKind::Float && kind != ElementKind::Integer) return ReadFailure::UnsupportedType;
    return out.read(array) ? ReadFailure::None : ReadFailure::PythonError;
}

// Reads both arrays, y_true first (a failure of y_true leaves y_pred unread),
// then settles them: reading one by iteration may have run user code that
// resized or retyped the other.
ReadFailure read_pair(const ArrayArg& y_true, const ArrayArg& y_pred, Column<Float32>& t, Column<Float32>& p) {
    const ReadFailure f = read_values(y_true.obj, t);
    if (f != ReadFailure::None) return f;
    const ReadFailure g = read_values(y_pred.obj, p);
    if (g != ReadFailure::None) return g;
    const bool settled = settle_all(t.ran_code() || p.ran_code(), [](std::size_t) {}, t, p);
    return settled ? ReadFailure::None : ReadFailure::PythonError;
}

// Calls f(y_true, y_pred) with both arrays as columns; a failure is raised the
// way the classification functions report it.
template <class F>
PyObject* with_pair(const ArrayArg& y_true, const ArrayArg& y_pred, F&& f) {
    Column<Float32> t, p;
    switch (read_pair(y_true, y_pred, t, p)) {
        case ReadFailure::None: break;
        case ReadFailure::PythonError: return nullptr;
        case ReadFailure::UnsupportedType:
            return raise(ModelPerformanceError(ModelPerformanceError::Kind::UnsupportedType));
    }
    return with_views(f, t, p);
}

// The record's dict, or its error raised.
template <class Record>
PyObject* record_or_raise(const Result<Record, ModelPerformanceError>& record) {
    if (!record.ok()) return raise(record.error());
    return report_to_py_dict(record.value().to_map());
}

// The record `compute` makes from a pair of columns (the lock released for
// long ones), as a dict or its error raised.
template <class Compute>
PyObject* computed(const F32Column& y_true, const F32Column& y_pred, Compute&& compute) {
    return record_or_raise(released(y_true.size() + y_pred.size(), compute));
}

PyObject* linear_regression(const ArrayArg& y_true, const ArrayArg& y_pred) {
    Column<Float32> t, p;
    if (read_pair(y_true, y_pred, t, p) != ReadFailure::None) {
        // Data that cannot be read as numbers is reported with one message.
        // An interrupt, an exit request or an exhausted memory is not a
        // property of the data and passes unchanged.
        if (PyErr_Occurred() != nullptr &&
            (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_MemoryError))) {
            return nullptr;
        }
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "Invalid types passed");
        return nullptr;
    }
    return with_views([](const F32Column& tv, const F32Column& pv) {
        return computed(tv, pv, [&] { return linear_regression_runtime(tv, pv); });
    }, t, p);
}

PyObject* classification(const ArrayArg& y_true, const ArrayArg& y_pred) {
    return with_pair(y_true, y_pred, [](const F32Column& t, const F32Column& p) {
        return computed(t, p, [&] { return binary_classification_runtime(t, p); });
    });
}

PyObject* logistic_regression(const ArrayArg& y_true, const ArrayArg& y_pred, const float& threshold) {
    return with_pair(y_true, y_pred, [&](const F32Column& t, const F32Column& p) {
        return computed(t, p, [&] { return logistic_regression_runtime(t, p, threshold); });
    });
}

// ---- runtime checks: a full and a partial check per model family

template <class E>
PyObject* report_or_raise(const Result<DriftReport<E>, ModelPerformanceError>& report) {
    if (!report.ok()) return raise(report.error());
    return report_to_py(report.value());
}

// Every metric of the family, in enum order.
template <auto Check, auto All>
PyObject* full_check(const NamedValues& baseline, const NamedValues& latest, const Threshold& threshold) {
    return report_or_raise(Check(baseline, latest, All(), threshold.value));
}

// The caller's names, parsed by the family's parser before either dict is examined.
template <auto Check, auto Parse>
PyObject* partial_check(const NamedValues& baseline, const NamedValues& latest, const StrList& names,
                        const Threshold& threshold) {
    return with_parsed(Parse, names, [&](const auto& metrics) {
        return report_or_raise(Check(baseline, latest, metrics, threshold.value));
    });
}

constexpr const char* kFullParams[] = {"baseline", "latest", "threshold=0.10"};
constexpr const char* kPartialParams[] = {"baseline", "latest", "evaluation_metrics", "threshold=0.10"};

constexpr Callable kFunctions[] = {
    function<linear_regression>("py_model_perf_linear_regression", {"y_true_src", "y_pred_src"}),
    function<full_check<classification_performance_runtime, binary_classification_metrics>>(
        "py_model_perf_class_rt_full", kFullParams),
    function<partial_check<classification_performance_runtime, parse_classification_metrics>>(
        "py_model_perf_class_rt_partial", kPartialParams),
    function<classification>("py_model_perf_classification", {"y_true_src", "y_pred_src"}),
    function<partial_check<logistic_performance_runtime, parse_logistic_metrics>>(
        "py_model_perf_log_reg_rt_partial", kPartialParams),
    function<logistic_regression>("py_model_perf_logistic_regression", {"y_true_src", "y_pred_src", "threshold"}),
    function<full_check<regression_performance_runtime, all_metrics<LinearRegressionEvaluationMetric>>>(
        "py_model_perf_lin_reg_rt_full", kFullParams),
    function<partial_check<regression_performance_runtime, parse_regression_metrics>>(
        "py_model_perf_lin_reg_rt_partial", kPartialParams),
    function<full_check<logistic_performance_runtime, all_metrics<ClassificationEvaluationMetric>>>(
        "py_model_perf_log_reg_rt_full", kFullParams),
};

}  // namespace

std::span<const Callable> model_perf_functions() { return kFunctions; }

}  // namespace lumetra::py
