// Metric maps to Python dicts keyed by metric name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "python/binding.hpp"
#include "core/metrics.hpp"

namespace lumetra::py {

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

}  // namespace lumetra::py
