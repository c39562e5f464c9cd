// Python entry points of the drift detectors: the two one-shot functions and
// the six detector classes.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace lumetra::py {

extern const char* const kComputeDriftCategoricalDoc;
PyObject* py_compute_drift_categorical_distribtuion(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) noexcept;

extern const char* const kComputeDriftContinuousDoc;
PyObject* py_compute_drift_continuous_distribtuion(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) noexcept;

/// Type specs of the drift classes, in registration order.
PyType_Spec* categorical_data_drift_spec();
PyType_Spec* continuous_data_drift_spec();
PyType_Spec* streaming_continuous_flush_spec();
PyType_Spec* streaming_continuous_decay_spec();
PyType_Spec* streaming_categorical_flush_spec();
PyType_Spec* streaming_categorical_decay_spec();

}  // namespace lumetra::py
