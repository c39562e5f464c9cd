// Python entry points of the bias runtime checks: a baseline and a latest dict
// of metric values compared under a relative threshold.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace lumetra::py {

extern const char* const kDataBiasRuntimeCheckDoc;
PyObject* py_data_bias_runtime_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

extern const char* const kDataBiasPartialCheckDoc;
PyObject* py_data_bias_partial_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

extern const char* const kModelBiasRuntimeCheckDoc;
PyObject* py_model_bias_runtime_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

extern const char* const kModelBiasPartialCheckDoc;
PyObject* py_model_bias_partial_check(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace lumetra::py
