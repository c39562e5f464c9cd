// lumetra._kernels: the compiled part of the lumetra package, for many groups
// at once. Its work splits the way chunked data needs it:
//   tally                one pass over a chunk of rows: per-group outcome counts
//                        (tallies of chunks add up as integers);
//   bias                 the bias metrics of every group from tallies;
//   generalized_entropy  the one bias input that is not a count: an ordered
//                        single-precision sum over each comparison's rows
//                        (entropy_sums and entropy_terms carry it from chunk
//                        to chunk in row order);
//   performance          per-group performance metrics in one pass, from the
//                        state that performance_state gives per chunk;
//   continuous_baseline, continuous_counts, drift_scores
//                        drift of chunked data: bin counts against a
//                        baseline's edges add up, then score once;
//   bias_intervals, performance_moments, performance_intervals
//                        confidence bounds from the same tallies and states;
//   score_curves, calibration, regression_extent, regression_diagnostics
//                        the report's diagnostics of scores and predictions,
//                        exact from the rows of one frame;
//   vocabulary           the names the engine defines (metrics, drift
//                        metrics, bin rules);
//   ks_2samp, cramervonmises_2samp, anderson_ksamp, contingency_bins,
//   multipletests, special
//                        significance tests of samples and of binned
//                        counts, p-value adjustments (lumetra.stats).
// Every number comes from the core's own formulas.
#define LUMETRA_NUMPY_IMPORT
#include "binding/numpy_api.hpp"

#include "kernels/results.hpp"
#include "binding/module_init.hpp"

namespace lumetra::kernels {
namespace {

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "lumetra._kernels", "Compiled kernels of the lumetra package: many groups in one pass.",
    0, nullptr, nullptr, nullptr, nullptr, nullptr,
};
py::ModuleCache g_cache;

}  // namespace
}  // namespace lumetra::kernels

PyMODINIT_FUNC PyInit__kernels(void) {
    using namespace lumetra::kernels;
    if (g_cache.module == nullptr && _import_array() < 0) return nullptr;
    return lumetra::py::init_module(
        g_module_def, g_cache,
        {{group_functions(), entropy_functions(), performance_functions(), drift_functions(), interval_functions(),
          diagnostics_functions(), vocabulary_functions(), stats_functions()},
         {}});
}
