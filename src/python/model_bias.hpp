// Python entry points of the post-training bias analysis.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace lumetra::py {

extern const char* const kModelBiasAnalyzerDoc;
PyObject* py_model_bias_analyzer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

extern const char* const kModelBiasAnalyzerExplicitSegDoc;
PyObject* py_model_bias_analyzer_explicit_seg(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) noexcept;

}  // namespace lumetra::py
