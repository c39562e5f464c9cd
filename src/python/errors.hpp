// The one table from the core's error values to Python exceptions. Each
// overload sets the exception and returns nullptr, so an entry point can write
// `return raise(result.error());`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "core/errors.hpp"

namespace lumetra::py {

PyObject* raise(BiasError e);
PyObject* raise(DriftError e);
PyObject* raise(const InvalidMetricError& e);
PyObject* raise(DataBiasRuntimeError e);
PyObject* raise(ModelBiasRuntimeError e);
PyObject* raise(const ModelPerformanceError& e);

/// The exception type an error value becomes (depends on the variant only).
PyObject* exception_type(BiasError e) noexcept;
PyObject* exception_type(DriftError e) noexcept;
PyObject* exception_type(const ModelPerformanceError& e) noexcept;

}  // namespace lumetra::py
