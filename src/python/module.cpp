// The module initialiser and the registration of every function and class,
// in their public order.
#define LUMETRA_NUMPY_IMPORT
#include "python/numpy_api.hpp"

#include "python/binding.hpp"
#include "python/data_bias.hpp"
#include "python/monitors.hpp"
// -- bias checks and post-training bias --
#include "python/model_bias.hpp"
#include "python/runtime.hpp"
// -- end bias --
#include "python/model_perf.hpp"
#include "python/drift.hpp"

namespace lumetra::py {
namespace {

PyMethodDef g_functions[] = {
    {"py_data_bias_analyzer", fastcall<py_data_bias_analyzer>(), kFastKw, kDataBiasAnalyzerDoc},
    {"py_data_bias_runtime_check", fastcall<py_data_bias_runtime_check>(), kFastKw, kDataBiasRuntimeCheckDoc},
    {"py_data_bias_partial_check", fastcall<py_data_bias_partial_check>(), kFastKw, kDataBiasPartialCheckDoc},
    {"py_data_bias_analyzer_explicit_seg", fastcall<py_data_bias_analyzer_explicit_seg>(), kFastKw,
     kDataBiasAnalyzerExplicitSegDoc},
    {"py_model_bias_analyzer", fastcall<py_model_bias_analyzer>(), kFastKw, kModelBiasAnalyzerDoc},
    {"py_model_bias_runtime_check", fastcall<py_model_bias_runtime_check>(), kFastKw, kModelBiasRuntimeCheckDoc},
    {"py_model_bias_partial_check", fastcall<py_model_bias_partial_check>(), kFastKw, kModelBiasPartialCheckDoc},
    {"py_model_bias_analyzer_explicit_seg", fastcall<py_model_bias_analyzer_explicit_seg>(), kFastKw,
     kModelBiasAnalyzerExplicitSegDoc},
    // ---- model performance (9 to 17)
    {"py_model_perf_linear_regression", fastcall<py_model_perf_linear_regression>(), kFastKw, kLinearRegressionDoc},
    {"py_model_perf_class_rt_full", fastcall<py_model_perf_class_rt_full>(), kFastKw, kClassFullDoc},
    {"py_model_perf_class_rt_partial", fastcall<py_model_perf_class_rt_partial>(), kFastKw, kClassPartialDoc},
    {"py_model_perf_classification", fastcall<py_model_perf_classification>(), kFastKw, kClassificationDoc},
    {"py_model_perf_log_reg_rt_partial", fastcall<py_model_perf_log_reg_rt_partial>(), kFastKw, kLogRegPartialDoc},
    {"py_model_perf_logistic_regression", fastcall<py_model_perf_logistic_regression>(), kFastKw,
     kLogisticRegressionDoc},
    {"py_model_perf_lin_reg_rt_full", fastcall<py_model_perf_lin_reg_rt_full>(), kFastKw, kLinRegFullDoc},
    {"py_model_perf_lin_reg_rt_partial", fastcall<py_model_perf_lin_reg_rt_partial>(), kFastKw, kLinRegPartialDoc},
    {"py_model_perf_log_reg_rt_full", fastcall<py_model_perf_log_reg_rt_full>(), kFastKw, kLogRegFullDoc},
    // ---- end of model performance
    // ---- drift (functions 18, 19) ----
    {"py_compute_drift_categorical_distribtuion", fastcall<py_compute_drift_categorical_distribtuion>(), kFastKw,
     kComputeDriftCategoricalDoc},
    {"py_compute_drift_continuous_distribtuion", fastcall<py_compute_drift_continuous_distribtuion>(), kFastKw,
     kComputeDriftContinuousDoc},
    // ---- end drift ----
    {nullptr, nullptr, 0, nullptr},
};

/// Class type specs in registration order; each subsystem provides its own.
using SpecFn = PyType_Spec* (*)();
const SpecFn g_classes[] = {
    // ---- drift (classes 1-6) ----
    categorical_data_drift_spec,
    continuous_data_drift_spec,
    streaming_continuous_flush_spec,
    streaming_continuous_decay_spec,
    streaming_categorical_flush_spec,
    streaming_categorical_decay_spec,
    // ---- end drift ----
    nullptr,
    // ---- streaming monitors (classes 7 to 11) ----
    data_bias_streaming_spec,
    model_bias_streaming_spec,
    binary_classification_streaming_spec,
    linear_regression_streaming_spec,
    logistic_regression_streaming_spec,
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_lumetra", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

// Single-phase init: CPython calls the initialiser again on a re-import, and
// the same module object is returned. The module belongs to the interpreter
// that built it; another interpreter is refused.
PyObject* g_module = nullptr;
PyInterpreterState* g_owner = nullptr;

PyObject* build_module() {
    if (_import_array() < 0) return nullptr;
    if (!init_internal_error_type()) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    for (PyMethodDef* def = g_functions; def->ml_name != nullptr; ++def) {
        Ref fn = Ref::steal(PyCFunction_NewEx(def, nullptr, nullptr));
        if (!fn) return nullptr;
        if (PyModule_AddObjectRef(module.get(), def->ml_name, fn.get()) < 0) return nullptr;
    }
    for (SpecFn spec : g_classes) {
        if (spec == nullptr) continue;
        Ref type = Ref::steal(PyType_FromModuleAndSpec(module.get(), spec(), nullptr));
        if (!type) return nullptr;
        if (PyModule_AddType(module.get(), reinterpret_cast<PyTypeObject*>(type.get())) < 0) return nullptr;
    }
    return module.release();
}

}  // namespace
}  // namespace lumetra::py

PyMODINIT_FUNC PyInit__lumetra(void) {
    using namespace lumetra::py;
    return guarded([]() -> PyObject* {
        PyInterpreterState* here = PyInterpreterState_Get();
        if (g_module != nullptr) {
            if (here != g_owner) {
                PyErr_SetString(PyExc_ImportError,
                                "_lumetra does not support sub-interpreters: it is already initialised "
                                "in another interpreter of this process");
                return nullptr;
            }
            return Ref::borrow(g_module).release();
        }
        PyObject* module = build_module();
        if (module == nullptr) return nullptr;
        g_module = Ref::borrow(module).release();  // kept for the process
        g_owner = here;
        return module;
    });
}
