// Python entry points of the model performance analyses and checks, and the
// reading of NumPy arrays as single-precision columns that they share.
#pragma once

#include "python/numpy_api.hpp"

#include <vector>

#include "core/errors.hpp"
#include "core/model_perf.hpp"

namespace lumetra::py {

/// A NumPy array read as single-precision values: a view of the array's own
/// float buffer (valid while the array lives), or a view of `owned`.
struct F32Input {
    std::vector<float> owned;
    F32Column column;
};

/// Why convert_f32 failed: a Python error is set, or the dtype is unsupported
/// (no error set).
enum class F32Failure { None, PythonError, UnsupportedType };

/// Reads an array as single precision. Float and integer dtypes only (integers
/// through double, as Python's float conversion gives them); 1-D native
/// buffers are read directly at any stride, every other layout by Python
/// iteration with float conversion of each item.
F32Failure convert_f32(PyObject* array, F32Input& out);

extern const char* const kLinearRegressionDoc;
PyObject* py_model_perf_linear_regression(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) noexcept;

extern const char* const kClassificationDoc;
PyObject* py_model_perf_classification(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) noexcept;

extern const char* const kLogisticRegressionDoc;
PyObject* py_model_perf_logistic_regression(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) noexcept;

// ---- runtime checks: a full and a partial check per model family

extern const char* const kClassFullDoc;
PyObject* py_model_perf_class_rt_full(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
extern const char* const kClassPartialDoc;
PyObject* py_model_perf_class_rt_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                         PyObject* kwnames) noexcept;
extern const char* const kLogRegPartialDoc;
PyObject* py_model_perf_log_reg_rt_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) noexcept;
extern const char* const kLinRegFullDoc;
PyObject* py_model_perf_lin_reg_rt_full(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept;
extern const char* const kLinRegPartialDoc;
PyObject* py_model_perf_lin_reg_rt_partial(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) noexcept;
extern const char* const kLogRegFullDoc;
PyObject* py_model_perf_log_reg_rt_full(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) noexcept;

}  // namespace lumetra::py
