// Python results built from the core's values: floats, lists, metric dicts
// (keys in enum order) and report dicts. Each returns a new reference, or
// nullptr with the interpreter's error set.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/metrics.hpp"
#include "core/report.hpp"
#include "binding/ref.hpp"

namespace lumetra::py {

/// A new Python float from a single-precision value (widened exactly).
inline PyObject* to_py(float v) { return PyFloat_FromDouble(static_cast<double>(v)); }
inline PyObject* to_py(double v) { return PyFloat_FromDouble(v); }
inline PyObject* to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
/// `None`, with a new reference.
inline PyObject* none() { Py_RETURN_NONE; }

/// Sets d[key] = value, stealing `value`; false with the interpreter's error set.
bool dict_set_steal(PyObject* d, std::string_view key, PyObject* value);
/// A new list of floats.
PyObject* float_list(std::span<const double> values);
/// A new dict {label: value}, pairing labels[i] with values[i].
PyObject* label_dict(const std::vector<std::string>& labels, std::span<const double> values);

/// A new dict {metric name: float}, keys in enum order. A failed insertion
/// raises instead of being dropped, so a dict is never silently short.
template <class E>
PyObject* report_to_py_dict(const MetricMap<E>& map) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    bool ok = true;
    map.for_each([&](E metric, float value) {
        if (ok) ok = dict_set_steal(dict.get(), metric_name(metric), to_py(value));
    });
    return ok ? dict.release() : nullptr;
}

/// One failed entry with its metric already turned into its name.
using NamedDrift = std::pair<std::string_view, float>;

/// {"passed": True} or {"passed": False, "failed_report": [{"metric": name,
/// "drift": value}, ...]} from the pass flag and the failed entries in order.
PyObject* report_dict(bool passed, const std::vector<NamedDrift>& failed);

/// The report dict of a drift report.
template <class E>
PyObject* report_to_py(const DriftReport<E>& report) {
    std::vector<NamedDrift> failed;
    if (report.failed_report) {
        failed.reserve(report.failed_report->size());
        for (const auto& entry : *report.failed_report) failed.emplace_back(metric_name(entry.metric), entry.drift);
    }
    return report_dict(report.passed, failed);
}

}  // namespace lumetra::py
