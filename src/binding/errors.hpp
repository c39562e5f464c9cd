// The one table from the core's error values to Python exceptions. Each
// overload sets the exception and returns nullptr, so an entry point can write
// `return raise(result.error());`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/errors.hpp"

namespace lumetra::stats {
enum class StatsError : std::uint8_t;
}  // namespace lumetra::stats

namespace lumetra::py {

PyObject* raise(BiasError e);
PyObject* raise(DriftError e);
PyObject* raise(const InvalidMetricError& e);
PyObject* raise(const DataBiasRuntimeError& e);
PyObject* raise(const ModelBiasRuntimeError& e);
PyObject* raise(const ModelPerformanceError& e);
PyObject* raise(const StateError& e);
PyObject* raise(stats::StatsError e);

}  // namespace lumetra::py
