// Drift of chunked data: bin counts against a baseline's edges add up over
// chunks, then score once.
#include "kernels/results.hpp"

#include <cmath>

#include "binding/drift_names.hpp"
#include "core/drift_parts.hpp"
#include "core/intervals.hpp"

namespace lumetra::kernels {
namespace {

// ---- drift in parts ----------------------------------------------------------------

// A column's kind, or nullopt with ValueError set.
std::optional<drift::BinKind> bin_kind_of(const std::string& kind) {
    if (kind == "continuous") return drift::BinKind::Continuous;
    if (kind == "categorical") return drift::BinKind::Categorical;
    PyErr_Format(PyExc_ValueError, "kind must be one of 'continuous', 'categorical'; got '%s'", kind.c_str());
    return std::nullopt;
}


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
    const auto bin_kind_or = bin_kind_of(kind);
    if (!bin_kind_or) return nullptr;
    const drift::BinKind bin_kind = *bin_kind_or;
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

// ---- many columns in one call ------------------------------------------------------
//
// A wide frame is hundreds of columns of a few thousand values: a call per
// column would cost more than the arithmetic. These take every column at
// once (each read where it is) and release the interpreter lock once for all
// of them; a column the engine refuses gives the text of its error in its
// place, for the caller to raise in column order.

using F64List = ColumnList<py::Float64>;

// Each column's values viewed, or nullopt with the error set (a column that
// is not a contiguous 1-D float64 array).
std::optional<std::vector<std::span<const double>>> spans_of(const F64List& columns, std::size_t& total) {
    std::vector<std::span<const double>> out;
    out.reserve(columns.size());
    total = 0;
    for (std::size_t i = 0; i < columns.size(); ++i) {
        // visit gives nullptr, with TypeError set, for a column it cannot view.
        const PyObject* viewed = columns[i].visit([&](std::span<const double> v) -> PyObject* {
            out.push_back(v);
            return Py_None;
        });
        if (viewed == nullptr) return std::nullopt;
        total += out.back().size();
    }
    return out;
}

PyObject* text_of(const DriftError& e) {
    const std::string_view m = message(e);
    return PyUnicode_FromStringAndSize(m.data(), static_cast<Py_ssize_t>(m.size()));
}

// A list of n items, item(i) making each (nullptr with the error set stops it).
template <class Item>
PyObject* list_of(std::size_t n, Item&& item) {
    Ref out = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* x = item(i);
        if (x == nullptr) return nullptr;
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), x);
    }
    return out.release();
}

PyObject* continuous_baselines(const F64List& values, const Rule& rule_text) {
    const auto rule = py::parse_rule(rule_text);
    if (!rule) return nullptr;
    std::size_t total = 0;
    const auto spans = spans_of(values, total);
    if (!spans) return nullptr;
    using Built = Result<drift::BaselineContinuousBins, DriftError>;
    std::vector<std::optional<Built>> built(spans->size());
    py::released(total, [&] {
        for (std::size_t i = 0; i < spans->size(); ++i) {
            built[i].emplace(drift::BaselineContinuousBins::create((*spans)[i], *rule));
        }
        return 0;
    });
    return list_of(built.size(), [&](std::size_t i) -> PyObject* {
        const Built& b = *built[i];
        if (!b.ok()) return text_of(b.error());
        const auto& bins = b.value();
        Ref edges = Ref::steal(new_array(bins.bin_edges(), bins.bin_edges().size()));
        Ref hist = Ref::steal(new_array(bins.baseline_hist(), bins.baseline_hist().size()));
        return edges && hist ? PyTuple_Pack(2, edges.get(), hist.get()) : nullptr;
    });
}

constexpr const char* kContinuousBaselinesDoc =
    "continuous_baseline() of many columns at once: a list holding, for each column of values, its\n"
    "(edges, hist) or the text of the error its detector refuses it with.";

PyObject* categorical_baselines(const py::StrList& texts, const F64List& counts) {
    std::size_t total = 0;
    const auto spans = spans_of(counts, total);
    if (!spans) return nullptr;
    if (total != texts.size()) {
        PyErr_Format(PyExc_ValueError, "texts must hold one text per count (%zu counts, got %zu texts)", total,
                     texts.size());
        return nullptr;
    }
    std::vector<std::pair<std::string_view, std::uint64_t>> column;
    std::size_t at = 0;
    return list_of(spans->size(), [&](std::size_t i) -> PyObject* {
        column.clear();
        for (const double c : (*spans)[i]) {
            // Counts are whole numbers that a double holds exactly.
            if (!(c >= 0.0 && c <= 9007199254740992.0) || c != std::floor(c)) {
                PyErr_Format(PyExc_ValueError, "counts must be whole numbers from 0 to 2**53 (column %zu)", i);
                return nullptr;
            }
            column.emplace_back(texts[at++], static_cast<std::uint64_t>(c));
        }
        const auto built = drift::BaselineCategoricalBins::from_counts(column);
        if (!built.ok()) return text_of(built.error());
        const auto& labels = built.value().label_index().labels();
        const auto& hist = built.value().baseline_hist();
        Ref names = Ref::steal(list_of(labels.size(), [&](std::size_t j) {
            return PyUnicode_FromStringAndSize(labels[j].data(), static_cast<Py_ssize_t>(labels[j].size()));
        }));
        Ref shares = Ref::steal(new_array(hist, hist.size()));
        return names && shares ? PyTuple_Pack(2, names.get(), shares.get()) : nullptr;
    });
}

constexpr const char* kCategoricalBaselinesDoc =
    "The categorical detector's baseline of many columns already counted: texts holds each column's\n"
    "label texts one after the other, counts each column's count of each (float64 whole numbers, as\n"
    "many as its texts; equal texts add, a count of 0 is no label). A list holding, for each column,\n"
    "(labels, hist) as export_baseline() orders them with the unseen-label share last, or the text of\n"
    "the error its detector refuses it with.";

PyObject* continuous_counts_many(const F64List& edges, const F64List& values) {
    if (edges.size() != values.size()) {
        PyErr_Format(PyExc_ValueError, "edges and values must hold as many columns (%zu against %zu)", edges.size(),
                     values.size());
        return nullptr;
    }
    std::size_t total = 0, edge_total = 0;
    const auto value_spans = spans_of(values, total);
    if (!value_spans) return nullptr;
    const auto edge_spans = spans_of(edges, edge_total);
    if (!edge_spans) return nullptr;
    std::vector<drift::EdgeBins> bins;
    bins.reserve(edges.size());
    for (const auto& e : *edge_spans) {
        auto b = drift::EdgeBins::from_edges(e);
        if (!b) {
            PyErr_SetString(PyExc_ValueError, "edges must be at least one finite value, ascending");
            return nullptr;
        }
        bins.push_back(std::move(*b));
    }
    std::vector<std::vector<std::uint64_t>> counts(bins.size());
    for (std::size_t i = 0; i < bins.size(); ++i) counts[i].assign(bins[i].num_bins(), 0);
    py::released(total, [&] {
        for (std::size_t i = 0; i < bins.size(); ++i) bins[i].count((*value_spans)[i], counts[i].data());
        return 0;
    });
    return list_of(counts.size(), [&](std::size_t i) { return new_array(counts[i], counts[i].size()); });
}

constexpr const char* kContinuousCountsManyDoc =
    "continuous_counts() of many columns at once: for each column of values, its counts over the bins of\n"
    "the edges at the same place (a list of uint64 arrays).";

PyObject* drift_scores_many(const py::StrList& kinds, const F64List& hists, const F64List& counts,
                            const py::StrList& metrics) {
    if (kinds.size() != hists.size() || hists.size() != counts.size()) {
        PyErr_Format(PyExc_ValueError, "kinds, hists and counts must hold as many columns (%zu, %zu, %zu)",
                     kinds.size(), hists.size(), counts.size());
        return nullptr;
    }
    const auto types = py::parse_types(metrics);
    if (!types) return nullptr;
    std::vector<drift::BinKind> bin_kinds;
    for (const std::string& kind : kinds) {
        const auto k = bin_kind_of(kind);
        if (!k) return nullptr;
        bin_kinds.push_back(*k);
    }
    std::size_t total = 0, count_total = 0;
    const auto hist_spans = spans_of(hists, total);
    if (!hist_spans) return nullptr;
    const auto count_spans = spans_of(counts, count_total);
    if (!count_spans) return nullptr;
    for (std::size_t i = 0; i < bin_kinds.size(); ++i) {
        if ((*hist_spans)[i].size() != (*count_spans)[i].size()) {
            PyErr_Format(PyExc_ValueError, "counts must hold one value per bin (column %zu: %zu bins, got %zu)", i,
                         (*hist_spans)[i].size(), (*count_spans)[i].size());
            return nullptr;
        }
    }
    using Scores = Result<std::vector<double>, DriftError>;
    std::vector<std::optional<Scores>> scores(bin_kinds.size());
    py::released(total + count_total, [&] {
        for (std::size_t i = 0; i < bin_kinds.size(); ++i) {
            scores[i].emplace(drift::scores_of_counts((*hist_spans)[i], (*count_spans)[i], *types, bin_kinds[i]));
        }
        return 0;
    });
    return list_of(scores.size(), [&](std::size_t i) {
        const Scores& r = *scores[i];
        return r.ok() ? py::float_list(r.value()) : text_of(r.error());
    });
}

constexpr const char* kDriftScoresManyDoc =
    "drift_scores() of many columns at once: for each column, its scores (a list of floats in the order\n"
    "of metrics) or the text of the error its scoring is refused with.";

// ---- intervals of the scores ---------------------------------------------------------

// Bin counts given as float64 (as the scores take them) as whole numbers, or
// nullopt with ValueError set.
std::optional<std::vector<std::uint64_t>> whole_counts(std::span<const double> c, const char* argument,
                                                       std::size_t column) {
    std::vector<std::uint64_t> out(c.size());
    for (std::size_t i = 0; i < c.size(); ++i) {
        if (!(c[i] >= 0.0 && c[i] <= 9007199254740992.0 && c[i] == std::floor(c[i]))) {
            PyErr_Format(PyExc_ValueError, "%s must be whole counts from 0 to 2**53 (column %zu)", argument, column);
            return std::nullopt;
        }
        out[i] = static_cast<std::uint64_t>(c[i]);
    }
    return out;
}

PyObject* drift_intervals(const py::StrList& kinds, const F64List& hists, const F64List& reference_counts,
                          const F64List& current_counts, const py::StrList& metrics, const double& level,
                          const std::uint64_t& replicates, const std::uint64_t& seed) {
    const std::size_t n = kinds.size();
    if (hists.size() != n || reference_counts.size() != n || current_counts.size() != n) {
        PyErr_SetString(PyExc_ValueError,
                        "kinds, hists, reference_counts and current_counts must hold as many columns");
        return nullptr;
    }
    if (!(level > 0.0 && level < 1.0)) {
        PyErr_SetString(PyExc_ValueError, "level must be between 0 and 1");
        return nullptr;
    }
    if (replicates < 1 || replicates > (std::uint64_t{1} << 24) || n > 0xFFFFFFFFu) {
        PyErr_SetString(PyExc_ValueError, "replicates must be from 1 to 2^24");
        return nullptr;
    }
    const auto types = py::parse_types(metrics);
    if (!types) return nullptr;
    std::vector<drift::BinKind> bin_kinds;
    for (const std::string& kind : kinds) {
        const auto k = bin_kind_of(kind);
        if (!k) return nullptr;
        bin_kinds.push_back(*k);
    }
    std::size_t total = 0, ref_total = 0, cur_total = 0;
    const auto hist_spans = spans_of(hists, total);
    if (!hist_spans) return nullptr;
    const auto ref_spans = spans_of(reference_counts, ref_total);
    if (!ref_spans) return nullptr;
    const auto cur_spans = spans_of(current_counts, cur_total);
    if (!cur_spans) return nullptr;
    std::vector<std::vector<std::uint64_t>> refs, curs;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t bins = (*hist_spans)[i].size();
        if ((*ref_spans)[i].size() != bins || (*cur_spans)[i].size() != bins) {
            PyErr_Format(PyExc_ValueError, "counts must hold one value per bin (column %zu: %zu bins)", i, bins);
            return nullptr;
        }
        auto r = whole_counts((*ref_spans)[i], "reference_counts", i);
        if (!r) return nullptr;
        auto c = whole_counts((*cur_spans)[i], "current_counts", i);
        if (!c) return nullptr;
        refs.push_back(std::move(*r));
        curs.push_back(std::move(*c));
    }
    intervals::Spec spec;
    spec.level = level;
    spec.replicates = replicates;
    spec.seed = seed;
    std::vector<std::optional<intervals::Bounds>> bounds(n);
    py::released(replicates * (total + 1), [&] {
        for (std::size_t i = 0; i < n; ++i) {
            const auto point = drift::scores_of_counts((*hist_spans)[i], (*cur_spans)[i], *types, bin_kinds[i]);
            if (!point.ok()) {
                bounds[i].emplace(types->size(), 1);
                continue;
            }
            bounds[i].emplace(intervals::drift_bounds(point.value(), refs[i], curs[i], *types, bin_kinds[i],
                                                      static_cast<std::uint32_t>(i), spec));
        }
        return 0;
    });
    return list_of(n, [&](std::size_t i) -> PyObject* {
        std::vector<double> low, high;
        for (std::size_t m = 0; m < types->size(); ++m) {
            low.push_back(bounds[i]->low[m][0]);
            high.push_back(bounds[i]->high[m][0]);
        }
        Ref lows = Ref::steal(py::float_list(low)), highs = Ref::steal(py::float_list(high));
        return lows && highs ? PyTuple_Pack(2, lows.get(), highs.get()) : nullptr;
    });
}

constexpr const char* kDriftIntervalsDoc =
    "Bootstrap intervals of the drift scores of many columns: for each column, the (low, high) lists of its\n"
    "scores in the order of metrics at `level`, from its baseline shares, its reference and its current bin\n"
    "counts (whole float64 counts), by `replicates` multinomial redraws of both sides keyed by seed,\n"
    "replicate and column (basic bootstrap; NaN where a side has no count or the scoring is refused).";

constexpr Callable kFunctions[] = {
    py::function<continuous_baseline>("continuous_baseline", {"values", "rule=None"}, kContinuousBaselineDoc),
    py::function<continuous_counts>("continuous_counts", {"edges", "values"}, kContinuousCountsDoc),
    py::function<drift_scores>("drift_scores", {"kind", "hist", "counts", "metrics"}, kDriftScoresDoc),
    py::function<continuous_baselines>("continuous_baselines", {"values", "rule=None"}, kContinuousBaselinesDoc),
    py::function<continuous_counts_many>("continuous_counts_many", {"edges", "values"}, kContinuousCountsManyDoc),
    py::function<categorical_baselines>("categorical_baselines", {"texts", "counts"}, kCategoricalBaselinesDoc),
    py::function<drift_scores_many>("drift_scores_many", {"kinds", "hists", "counts", "metrics"},
                                    kDriftScoresManyDoc),
    py::function<drift_intervals>("drift_intervals",
                                  {"kinds", "hists", "reference_counts", "current_counts", "metrics", "level=0.95",
                                   "replicates=1000", "seed=0"},
                                  kDriftIntervalsDoc),
};

}  // namespace

std::span<const Callable> drift_functions() { return kFunctions; }

}  // namespace lumetra::kernels
