#include "binding/errors.hpp"

#include <string_view>

#include "core/stats.hpp"

namespace lumetra::py {
namespace {

PyObject* set(PyObject* type, std::string_view text) {
    PyObject* msg = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (msg != nullptr) {
        PyErr_SetObject(type, msg);
        Py_DECREF(msg);
    }
    return nullptr;
}

// The exception type of a performance error depends on its kind alone.
PyObject* exception_type(const ModelPerformanceError& e) noexcept {
    using K = ModelPerformanceError::Kind;
    switch (e.kind) {
        case K::EmptyDataVector:
        case K::DataVectorLengthMismatch:
        case K::InvalidAnalysisReport: return PyExc_ValueError;
        case K::InvalidData:
        case K::BiasError:
        case K::UnsupportedType: return PyExc_TypeError;
        case K::LabelOutOfRange: return PyExc_OverflowError;
    }
    return PyExc_TypeError;
}

}  // namespace

PyObject* raise(BiasError e) { return set(PyExc_ValueError, message(e)); }
PyObject* raise(DriftError e) { return set(PyExc_ValueError, message(e)); }
PyObject* raise(const InvalidMetricError& e) { return set(PyExc_ValueError, message(e)); }
PyObject* raise(const DataBiasRuntimeError& e) { return set(PyExc_ValueError, message(e)); }
PyObject* raise(const ModelBiasRuntimeError& e) { return set(PyExc_ValueError, message(e)); }
PyObject* raise(const ModelPerformanceError& e) { return set(exception_type(e), message(e)); }
PyObject* raise(const StateError& e) { return set(PyExc_ValueError, message(e)); }
PyObject* raise(stats::StatsError e) {
    // An exact distribution too large to hold is the memory it would need.
    return set(e == stats::StatsError::ExactTooLarge ? PyExc_MemoryError : PyExc_ValueError, stats::message(e));
}

}  // namespace lumetra::py
