// The five streaming monitor classes, each wrapping one monitor of the core.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace lumetra::py {

/// The PyType_Spec of PyDataBiasStreaming.
PyType_Spec* data_bias_streaming_spec();
/// The PyType_Spec of PyModelBiasStreaming.
PyType_Spec* model_bias_streaming_spec();
/// The PyType_Spec of PyBinaryClassificationStreaming.
PyType_Spec* binary_classification_streaming_spec();
/// The PyType_Spec of PyLinearRegressionStreaming.
PyType_Spec* linear_regression_streaming_spec();
/// The PyType_Spec of PyLogisticRegressionStreaming.
PyType_Spec* logistic_regression_streaming_spec();

}  // namespace lumetra::py
