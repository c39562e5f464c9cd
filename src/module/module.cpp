// The initialiser of _lumetra and the order in which its functions and
// classes are registered.
#define LUMETRA_NUMPY_IMPORT
#include "binding/numpy_api.hpp"

#include "module/lumetra.hpp"
#include "binding/module_init.hpp"

namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_lumetra", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};
lumetra::py::ModuleCache g_cache;

}  // namespace

PyMODINIT_FUNC PyInit__lumetra(void) {
    using namespace lumetra::py;
    if (g_cache.module == nullptr && _import_array() < 0) return nullptr;
    return init_module(g_module_def, g_cache,
                       {
                           {data_bias_functions(), model_bias_functions(), model_perf_functions(), drift_functions()},
                           {batch_drift_classes(), streaming_drift_classes(), monitor_classes()},
                       });
}
