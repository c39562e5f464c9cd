#include "python/model_perf.hpp"

#include "python/binding.hpp"
#include "python/errors.hpp"
#include "python/intake.hpp"
#include "python/metrics.hpp"
#include "python/report.hpp"

namespace lumetra::py {

const char* const kLinearRegressionDoc = "py_model_perf_linear_regression(y_true_src, y_pred_src)\n--\n\n";
const char* const kClassificationDoc = "py_model_perf_classification(y_true_src, y_pred_src)\n--\n\n";
const char* const kLogisticRegressionDoc =
    "py_model_perf_logistic_regression(y_true_src, y_pred_src, threshold)\n--\n\n";

namespace {

using PerfKind = ModelPerformanceError::Kind;

const Signature kLinearRegressionSig{"py_model_perf_linear_regression()", {"y_true_src", "y_pred_src"}, 2};
const Signature kClassificationSig{"py_model_perf_classification()", {"y_true_src", "y_pred_src"}, 2};
const Signature kLogisticRegressionSig{
    "py_model_perf_logistic_regression()", {"y_true_src", "y_pred_src", "threshold"}, 3};

PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

// Every other layout: Python iteration over the first axis, each item through
// Python's float conversion, rounded to single precision.
bool iterate_floats(PyObject* array, std::size_t hint, std::vector<float>& out) {
    out.clear();
    out.reserve(reserve_for_rows(hint));
    return for_each_item(array, [&](PyObject* item) {
        const double v = PyFloat_AsDouble(item);
        if (v == -1.0 && PyErr_Occurred()) return false;
        out.push_back(static_cast<float>(v));
        return true;
    });
}

// The record's dict, or its error raised.
template <class Record>
PyObject* record_or_raise(const Result<Record, ModelPerformanceError>& record) {
    if (!record) return raise(record.error());
    return report_to_py_dict(record.value().to_map());
}

// Raises a conversion failure the way the classification functions report it.
PyObject* raise_conversion(F32Failure f) {
    if (f == F32Failure::UnsupportedType) return raise(ModelPerformanceError(PerfKind::UnsupportedType));
    return nullptr;  // the Python error is already set
}

// Reads both arrays, y_true first; a failure of y_true leaves y_pred unread.
// Reading y_pred by iteration can run user code that resizes or retypes
// y_true, so a y_true viewed in place is described again afterwards (its old
// buffer may be gone); reading a native 1-D array runs no Python code.
F32Failure convert_pair(PyObject* y_true, PyObject* y_pred, F32Input& t, F32Input& p) {
    const bool true_in_place = native_column(y_true).has_value();
    const F32Failure f = convert_f32(y_true, t);
    if (f != F32Failure::None) return f;
    const bool pred_in_place = native_column(y_pred).has_value();
    const F32Failure g = convert_f32(y_pred, p);
    if (g != F32Failure::None || pred_in_place || !true_in_place) return g;
    t = F32Input{};
    return convert_f32(y_true, t);
}

}  // namespace

F32Failure convert_f32(PyObject* array, F32Input& out) {
    PyArrayObject* a = as_array(array);
    // The length comes first: a 0-d array reports len()'s own TypeError even
    // when its dtype is unsupported.
    std::size_t length = 0;
    if (PyArray_NDIM(a) == 0) {
        const Py_ssize_t n = PyObject_Length(array);
        if (n < 0) return F32Failure::PythonError;
        length = static_cast<std::size_t>(n);
    } else {
        length = static_cast<std::size_t>(PyArray_DIM(a, 0));
    }
    const ElementKind kind = determine_type(array);
    if (kind != ElementKind::Float && kind != ElementKind::Integer) return F32Failure::UnsupportedType;

    if (const auto native = native_column(array)) {
        switch (native->type) {
            case NativeType::F32:
                out.column = F32Column::float32(native->data, native->stride, native->n);
                return F32Failure::None;
            case NativeType::F64:
                out.column = F32Column::float64(native->data, native->stride, native->n);
                return F32Failure::None;
            default:
                break;
        }
        // Integers: through double first, as Python's float conversion does,
        // then to single precision.
        visit_numeric(*native, [&](const auto& src) {
            out.owned.resize(src.size());
            for (std::size_t i = 0; i < src.size(); ++i) {
                out.owned[i] = static_cast<float>(static_cast<double>(src[i]));
            }
        });
        out.column = F32Column::of(out.owned);
        return F32Failure::None;
    }
    if (!iterate_floats(array, length, out.owned)) return F32Failure::PythonError;
    out.column = F32Column::of(out.owned);
    return F32Failure::None;
}

PyObject* py_model_perf_linear_regression(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kLinearRegressionSig, args, nargs, kwnames, b)) return nullptr;
        ArrayArg y_true, y_pred;
        if (!convert_args(kLinearRegressionSig, b, y_true, y_pred)) return nullptr;
        F32Input t, p;
        if (convert_pair(y_true.obj, y_pred.obj, t, p) != F32Failure::None) {
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
        return record_or_raise(linear_regression_runtime(t.column, p.column));
    });
}

PyObject* py_model_perf_classification(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kClassificationSig, args, nargs, kwnames, b)) return nullptr;
        ArrayArg y_true, y_pred;
        if (!convert_args(kClassificationSig, b, y_true, y_pred)) return nullptr;
        F32Input t, p;
        const F32Failure f = convert_pair(y_true.obj, y_pred.obj, t, p);
        if (f != F32Failure::None) return raise_conversion(f);
        return record_or_raise(binary_classification_runtime(t.column, p.column));
    });
}

PyObject* py_model_perf_logistic_regression(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kLogisticRegressionSig, args, nargs, kwnames, b)) return nullptr;
        ArrayArg y_true, y_pred;
        float threshold = 0.0f;
        if (!convert_args(kLogisticRegressionSig, b, y_true, y_pred, threshold)) return nullptr;
        F32Input t, p;
        const F32Failure f = convert_pair(y_true.obj, y_pred.obj, t, p);
        if (f != F32Failure::None) return raise_conversion(f);
        return record_or_raise(logistic_regression_runtime(t.column, p.column, threshold));
    });
}

// ---- runtime checks -------------------------------------------------------------

const char* const kClassFullDoc = "py_model_perf_class_rt_full(baseline, latest, threshold=0.10)\n--\n\n";
const char* const kClassPartialDoc =
    "py_model_perf_class_rt_partial(baseline, latest, evaluation_metrics, threshold=0.10)\n--\n\n";
const char* const kLogRegPartialDoc =
    "py_model_perf_log_reg_rt_partial(baseline, latest, evaluation_metrics, threshold=0.10)\n--\n\n";
const char* const kLinRegFullDoc = "py_model_perf_lin_reg_rt_full(baseline, latest, threshold=0.10)\n--\n\n";
const char* const kLinRegPartialDoc =
    "py_model_perf_lin_reg_rt_partial(baseline, latest, evaluation_metrics, threshold=0.10)\n--\n\n";
const char* const kLogRegFullDoc = "py_model_perf_log_reg_rt_full(baseline, latest, threshold=0.10)\n--\n\n";

namespace {

const Signature kClassFullSig{"py_model_perf_class_rt_full()", {"baseline", "latest", "threshold"}, 2};
const Signature kClassPartialSig{
    "py_model_perf_class_rt_partial()", {"baseline", "latest", "evaluation_metrics", "threshold"}, 3};
const Signature kLogRegPartialSig{
    "py_model_perf_log_reg_rt_partial()", {"baseline", "latest", "evaluation_metrics", "threshold"}, 3};
const Signature kLinRegFullSig{"py_model_perf_lin_reg_rt_full()", {"baseline", "latest", "threshold"}, 2};
const Signature kLinRegPartialSig{
    "py_model_perf_lin_reg_rt_partial()", {"baseline", "latest", "evaluation_metrics", "threshold"}, 3};
const Signature kLogRegFullSig{"py_model_perf_log_reg_rt_full()", {"baseline", "latest", "threshold"}, 2};

template <class E>
PyObject* report_or_raise(const Result<DriftReport<E>, ModelPerformanceError>& report) {
    if (!report) return raise(report.error());
    return report_to_py(report.value());
}

// A full check: every metric of the family, in enum order.
template <class Check, class Metrics>
PyObject* full_check(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     Check check, Metrics all) {
    BoundArgs b;
    if (!bind(sig, args, nargs, kwnames, b)) return nullptr;
    NamedValues baseline, latest;
    float threshold = kDefaultThreshold;
    if (!convert_args(sig, b, baseline, latest, threshold)) return nullptr;
    return report_or_raise(check(baseline, latest, all(), threshold));
}

// A partial check: the caller's names, parsed by the family's parser before
// either dict is examined.
template <class Check, class Parse>
PyObject* partial_check(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        Check check, Parse parse) {
    BoundArgs b;
    if (!bind(sig, args, nargs, kwnames, b)) return nullptr;
    NamedValues baseline, latest;
    StrList names;
    float threshold = kDefaultThreshold;
    if (!convert_args(sig, b, baseline, latest, names, threshold)) return nullptr;
    auto metrics = parse(names);
    if (!metrics) return raise(metrics.error());
    return report_or_raise(check(baseline, latest, metrics.value(), threshold));
}

}  // namespace

PyObject* py_model_perf_class_rt_full(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&] {
        return full_check(kClassFullSig, args, nargs, kwnames, classification_performance_runtime,
                          binary_classification_metrics);
    });
}

PyObject* py_model_perf_class_rt_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept {
    return guarded([&] {
        return partial_check(kClassPartialSig, args, nargs, kwnames, classification_performance_runtime,
                             parse_classification_metrics);
    });
}

PyObject* py_model_perf_log_reg_rt_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) noexcept {
    return guarded([&] {
        return partial_check(kLogRegPartialSig, args, nargs, kwnames, logistic_performance_runtime,
                             parse_logistic_metrics);
    });
}

PyObject* py_model_perf_lin_reg_rt_full(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    return guarded([&] {
        return full_check(kLinRegFullSig, args, nargs, kwnames, regression_performance_runtime,
                          all_metrics<LinearRegressionEvaluationMetric>);
    });
}

PyObject* py_model_perf_lin_reg_rt_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) noexcept {
    return guarded([&] {
        return partial_check(kLinRegPartialSig, args, nargs, kwnames, regression_performance_runtime,
                             parse_regression_metrics);
    });
}

PyObject* py_model_perf_log_reg_rt_full(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept {
    return guarded([&] {
        return full_check(kLogRegFullSig, args, nargs, kwnames, logistic_performance_runtime,
                          all_metrics<ClassificationEvaluationMetric>);
    });
}

}  // namespace lumetra::py
