// Drift of chunked data: bin counts against a baseline's edges add up over
// chunks, then score once.
#include "kernels/results.hpp"

#include "core/drift_parts.hpp"
#include "python/drift.hpp"

namespace lumetra::kernels {
namespace {

// ---- drift in parts ----------------------------------------------------------------

PyObject* continuous_baseline(const Column<py::Float64>& values, const Rule& rule_text) {
    const auto rule = py::parse_rule(rule_text);
    if (!rule) return nullptr;
    return values.visit([&](std::span<const double> v) -> PyObject* {
        auto baseline = py::released(v.size(), [&] {
            return drift::BaselineContinuousBins::create(v, *rule);
        });
        if (!baseline.ok()) return py::raise(baseline.error());
        Ref out = Ref::steal(PyDict_New());
        if (!out) return nullptr;
        const auto& b = baseline.value();
        if (!py::dict_set_steal(out.get(), "edges", new_array(b.bin_edges(), b.bin_edges().size())) ||
            !py::dict_set_steal(out.get(), "hist", new_array(b.baseline_hist(), b.baseline_hist().size()))) {
            return nullptr;
        }
        return out.release();
    });
}

constexpr const char* kContinuousBaselineDoc =
    "The baseline of a continuous drift detector built from values with a bin rule (None:\n"
    "FreedmanDiaconis): a dict of its interior bin edges and its bin shares (float64), refused as the\n"
    "detector refuses it.";

PyObject* continuous_counts(const Column<py::Float64>& edges, const Column<py::Float64>& values) {
    return edges.visit([&](std::span<const double> e) -> PyObject* {
        const auto bins = drift::EdgeBins::from_edges(e);
        if (!bins) {
            PyErr_SetString(PyExc_ValueError, "edges must be at least one finite value, ascending");
            return nullptr;
        }
        return values.visit([&](std::span<const double> v) -> PyObject* {
            std::vector<std::uint64_t> counts(bins->num_bins(), 0);
            py::released(v.size(), [&] { bins->count(v, counts.data()); });
            return new_array(counts, counts.size());
        });
    });
}

constexpr const char* kContinuousCountsDoc =
    "How many values fall in each bin of a continuous baseline given by its interior edges (uint64, one\n"
    "count per bin: below the first edge or NaN, between the edges, above the last), as its detector\n"
    "bins them. Counts of separate chunks add up.";

PyObject* drift_scores(const std::string& kind, const Column<py::Float64>& hist, const Column<py::Float64>& counts,
                       const py::StrList& metrics) {
    drift::BinKind bin_kind;
    if (kind == "continuous") {
        bin_kind = drift::BinKind::Continuous;
    } else if (kind == "categorical") {
        bin_kind = drift::BinKind::Categorical;
    } else {
        PyErr_Format(PyExc_ValueError, "kind must be one of 'continuous', 'categorical'; got '%s'", kind.c_str());
        return nullptr;
    }
    const auto types = py::parse_types(metrics);
    if (!types) return nullptr;
    return hist.visit([&](std::span<const double> b) {
        return counts.visit([&](std::span<const double> c) -> PyObject* {
            if (b.size() != c.size()) {
                PyErr_Format(PyExc_ValueError, "counts must hold one value per bin (%zu bins, got %zu)", b.size(),
                             c.size());
                return nullptr;
            }
            return py::scores_or_raise(drift::scores_of_counts(b, c, *types, bin_kind));
        });
    });
}

constexpr const char* kDriftScoresDoc =
    "The drift scores, in the order of metrics, of runtime bin counts (float64, summed over every chunk)\n"
    "against the baseline's bin shares, as the batch detector of that kind scores its own bins.";

constexpr Callable kFunctions[] = {
    py::function<continuous_baseline>("continuous_baseline", {"values", "rule=None"}, kContinuousBaselineDoc),
    py::function<continuous_counts>("continuous_counts", {"edges", "values"}, kContinuousCountsDoc),
    py::function<drift_scores>("drift_scores", {"kind", "hist", "counts", "metrics"}, kDriftScoresDoc),
};

}  // namespace

std::span<const Callable> drift_functions() { return kFunctions; }

}  // namespace lumetra::kernels
