// What the drift detectors share at the boundary: the data of each kind
// (continuous values or categorical labels; names are parsed by
// binding/drift_names.hpp), and the class templates of the batch and the
// streaming detectors.
// module/drift_batch.cpp and module/drift_streaming.cpp declare their classes
// from traits (core type, kind, mode, constructor) with each class's name,
// constructor parameters and doc. A method every detector of a family has is
// one row of batch_methods or streaming_methods_of, its doc chosen by the
// detector's kind or mode. Traits also give the class tag of the saved state.
#pragma once

#include <array>
#include <atomic>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/drift.hpp"
#include "binding/callables.hpp"
#include "binding/drift_names.hpp"
#include "binding/classes.hpp"
#include "binding/gil.hpp"
#include "binding/intake.hpp"
#include "binding/results.hpp"
#include "module/state.hpp"

namespace lumetra::py {

#define LUMETRA_DRIFT_TYPES_PARAGRAPH                                                      \
    "`drift_type` must be one of: `\"JensenShannon\"`, `\"PopulationStabilityIndex\"`,\n" \
    "`\"WassersteinDistance\"`, `\"KullbackLeibler\"`."

// ---- data of each kind ----------------------------------------------------------------

/// Continuous data: 1-D float64 arrays, viewed as spans of doubles.
using Float64Data = Column<Float64>;
/// Categorical data: sequences of str or unicode arrays, viewed as drift::Labels.
using LabelData = Column<StrLabels>;
/// Categorical data that is only binned (the batch detectors' runtime data,
/// the one-shot function's candidate):
/// a unicode array's code points are checked cell by distinct cell as it is
/// binned (see UncheckedStrLabels).
using BinnedLabelData = Column<UncheckedStrLabels>;

/// Calls f(span) or f(drift::Labels) with the data's view; nullptr with the
/// error raised when a continuous array cannot be viewed.
template <class F>
PyObject* with_data(const Float64Data& data, F&& f) {
    return data.visit(f);
}
template <class F>
PyObject* with_data(const LabelData& data, F&& f) {
    return data.visit([&](const auto& view) { return f(drift::Labels(view)); });
}
/// The same for labels that are only binned. When a cell without a UTF-8
/// form was met, what f returned is discarded and the call fails: the
/// binder's late check then raises the error reading the labels raises (the
/// RuntimeError set here stands only if the array changed meanwhile). A list
/// is binned from its ASCII strs' texts in place; when another item is met,
/// what f returned is discarded and every item's text is viewed instead
/// (f's work leaves no trace on a detector: its runtime bins end at zero).
template <class F>
PyObject* with_data(const BinnedLabelData& data, F&& f) {
    std::atomic<bool> unencodable{false};
    PyObject* result = data.visit([&](const auto& view) -> PyObject* {
        using View = std::remove_cvref_t<decltype(view)>;
        if constexpr (std::is_same_v<View, Ucs4Column>) {
            return f(drift::Labels(view, &unencodable));
        } else if constexpr (std::is_same_v<View, ListTexts>) {
            const drift::ItemTexts items = view.items();
            std::atomic<bool> unreadable{false};
            PyObject* r = f(drift::Labels(items, &unreadable));
            if (!unreadable.load(std::memory_order_relaxed)) return r;
            if (r != nullptr) {
                Py_DECREF(r);
            } else {
                PyErr_Clear();
            }
            std::vector<std::string_view> views;
            if (!view.view_all(views)) return nullptr;
            return f(drift::Labels(views));
        } else {
            return f(drift::Labels(view));
        }
    });
    if (result != nullptr && unencodable.load(std::memory_order_relaxed)) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "runtime_data changed while it was read");
        return nullptr;
    }
    return result;
}

/// What every continuous detector shares: its data, and its baseline exported
/// as the list of its bin shares.
struct ContinuousKind {
    static constexpr bool continuous = true;
    using Data = Float64Data;
    using RuntimeData = Float64Data;

    template <class Core>
    static PyObject* export_baseline(PyObject* self) {
        return inspect<Core>(self, [](const Core& d) { return d.baseline().baseline_hist(); },
                             [](const std::vector<double>& hist) { return float_list(hist); });
    }
};

/// Calls make(values, rule) with a continuous baseline, read first, and the
/// bin-count rule parsed from its name; nullptr with the error raised.
template <class Make>
PyObject* with_baseline_and_rule(const Float64Data& baseline, const std::optional<std::string>& rule_text,
                                 Make&& make) {
    return with_data(baseline, [&](std::span<const double> values) -> PyObject* {
        const auto rule = parse_rule(rule_text);
        if (!rule) return nullptr;
        return make(values, *rule);
    });
}

/// What every categorical detector shares; its baseline is exported as
/// {label: share}, labels ascending byte-wise (no unseen-label slot).
struct CategoricalKind {
    static constexpr bool continuous = false;
    using Data = LabelData;
    using RuntimeData = BinnedLabelData;

    template <class Core>
    static PyObject* export_baseline(PyObject* self) {
        return inspect<Core>(
            self,
            [](const Core& d) { return std::pair{d.baseline().label_index().labels(), d.baseline().baseline_hist()}; },
            [](const auto& shares) { return label_dict(shares.first, shares.second); });
    }
};

// ---- batch detectors ---------------------------------------------------------------------

template <class Traits>
struct BatchDetector {
    using Core = typename Traits::Core;
    using Data = typename Traits::Data;
    using RuntimeData = typename Traits::RuntimeData;

    // Scores runtime data with `score(Core&, values)`. The detector's own
    // bins are zero between calls, so a long runtime column is scored on a
    // copy of the detector, with the lock released: the instance itself is
    // only read, under the lock, and keeps no trace of the call either way.
    template <class Score, class Build>
    static PyObject* scored(PyObject* self, const RuntimeData& runtime, Score&& score, Build&& build) {
        return with_data(runtime, [&](const auto& values) -> PyObject* {
            const std::size_t n = values.size();
            auto in_place = [&] { return change<Core>(self, [&](Core& d) { return score(d, values); }, build); };
            // Labels read where they are keep the lock anyway: no copy then.
            if (n < kReleaseAtElements || KeepLock::active()) return in_place();
            // Copying pays when the column is longer than the baseline's bins.
            auto copy = with_exclusive<Core>(self, [&](Core& d) -> std::optional<Core> {
                if (n < d.baseline().num_bins()) return std::nullopt;
                return d;
            });
            if (!copy) return nullptr;
            if (!*copy) return in_place();
            auto outcome = released(n, [&] { return score(**copy, values); });
            return detail::outcome_to_py(outcome, build);
        });
    }

    // The metric names are parsed before the runtime data is read.
    static PyObject* compute(PyObject* self, const RuntimeData& runtime, const std::string& name) {
        const auto type = parse_type(name);
        if (!type) return nullptr;
        return scored(self, runtime, [&](Core& d, const auto& values) { return d.compute_drift(values, *type); },
                      [](double score) { return to_py(score); });
    }
    static PyObject* compute_multiple(PyObject* self, const RuntimeData& runtime, const StrList& names) {
        const auto types = parse_types(names);
        if (!types) return nullptr;
        return scored(self, runtime,
                      [&](Core& d, const auto& values) { return d.compute_drift_multiple(values, *types); },
                      [](const std::vector<double>& scores) { return float_list(scores); });
    }
    static PyObject* reset_baseline(PyObject* self, const Data& baseline) {
        return with_data(baseline, [&](const auto& values) {
            return change<Core>(self, [&](Core& d) { return d.reset_baseline(values); });
        });
    }
    static PyObject* export_baseline(PyObject* self) { return Traits::template export_baseline<Core>(self); }
    static PyObject* num_bins(PyObject* self) {
        return inspect<Core>(self, [](const Core& d) { return static_cast<std::uint64_t>(d.baseline().num_bins()); },
                             [](std::uint64_t n) { return to_py(n); });
    }
};

// Texts that depend on the kind: continuous first, then categorical.
template <class Traits>
constexpr const char* by_kind(const char* continuous, const char* categorical) {
    return Traits::continuous ? continuous : categorical;
}
template <class Traits>
inline constexpr const char* kResetParam = by_kind<Traits>("baseline_data", "new_baseline");
template <class Traits>
inline constexpr const char* kExportDoc =
    by_kind<Traits>("Return the baseline as a normalized probability distribution (sums to 1.0).",
                    "Return the baseline label frequencies as a normalized distribution.");

template <class Traits>
inline constexpr auto batch_methods = join(std::array{
    method<&BatchDetector<Traits>::compute>("compute_drift", {"runtime_data", "drift_type"},
                                            "Compute a single drift metric against `runtime_data`.\n\n"
                                            LUMETRA_DRIFT_TYPES_PARAGRAPH),
    method<&BatchDetector<Traits>::compute_multiple>("compute_drift_mutliple_criteria",
                                                     {"runtime_data", "drift_types"}),
    method<&BatchDetector<Traits>::reset_baseline>(
        "reset_baseline", {kResetParam<Traits>},
        by_kind<Traits>("Replace the baseline with a new data slice, recomputing the histogram.",
                        "Replace the baseline with a new set of labels, recomputing the distribution.")),
    method<&BatchDetector<Traits>::export_baseline>("export_baseline", kNoParams, kExportDoc<Traits>),
}, saving_methods<typename Traits::Core, Traits::tag>);

template <class Traits>
inline constexpr std::array batch_getters{
    getter<&BatchDetector<Traits>::num_bins>("num_bins",
                                             by_kind<Traits>("Number of histogram bins used for this baseline.", "")),
};

/// The declaration of a batch detector class: its traits, name, constructor
/// parameters (of Traits::construct) and doc.
template <class Traits, std::size_t N>
consteval ClassDecl batch_class(const char* name, const char* const (&params)[N], const char* doc) {
    return class_decl<typename Traits::Core>(name, constructor<&Traits::construct>(params, doc),
                                             batch_methods<Traits>, batch_getters<Traits>);
}

// ---- streaming detectors -------------------------------------------------------------------

template <class Traits>
struct StreamingDetector {
    using Core = typename Traits::Core;
    using Data = typename Traits::Data;

    static PyObject* update(PyObject* self, const typename Traits::Example& example) {
        return change<Core>(self, [&](Core& d) { d.update_stream(example); });
    }
    static PyObject* update_batch(PyObject* self, const Data& runtime) {
        return with_data(runtime, [&](const auto& values) {
            return change<Core>(self, [&](Core& d) { return d.update_stream_batch(values); });
        });
    }
    static PyObject* compute(PyObject* self, const std::string& name) {
        const auto type = parse_type(name);
        if (!type) return nullptr;
        const drift::DataDriftType one[1] = {*type};
        return change<Core>(self, [&](Core& d) { return d.compute_drift_multiple(one); },
                            [](const std::vector<double>& scores) { return to_py(scores[0]); });
    }
    static PyObject* compute_multiple(PyObject* self, const StrList& names) {
        const auto types = parse_types(names);
        if (!types) return nullptr;
        return change<Core>(self, [&](Core& d) { return d.compute_drift_multiple(*types); },
                            [](const std::vector<double>& scores) { return float_list(scores); });
    }
    static PyObject* reset_baseline(PyObject* self, const Data& baseline) {
        return with_data(baseline, [&](const auto& values) {
            return change<Core>(self, [&](Core& d) { return d.reset_baseline(values); });
        });
    }
    static PyObject* export_snapshot(PyObject* self) { return Traits::export_snapshot(self); }
    static PyObject* export_baseline(PyObject* self) { return Traits::template export_baseline<Core>(self); }
    static PyObject* flush(PyObject* self) {
        return change<Core>(self, [](Core& d) { d.state().flush_now(); });
    }
    static PyObject* total_samples(PyObject* self) {
        return inspect<Core>(self, [](const Core& d) { return d.state().total_samples(); },
                             [](std::uint64_t n) { return to_py(n); });
    }
    static PyObject* n_bins(PyObject* self) {
        return inspect<Core>(
            self, [](const Core& d) { return static_cast<std::uint64_t>(d.state().runtime_bins().size()); },
            [](std::uint64_t n) { return to_py(n); });
    }
    static PyObject* last_flush(PyObject* self) {
        return inspect<Core>(self, [](const Core& d) { return d.state().seconds_since_flush(); },
                             [](std::uint64_t n) { return to_py(n); });
    }
};

// Texts that depend on the mode: flush first, then decay.
template <class Traits>
constexpr const char* by_mode(const char* flush, const char* decay) {
    return Traits::flushes ? flush : decay;
}

/// The rows of every streaming detector, then flush() in flush mode.
template <class Traits>
consteval auto streaming_methods_of() {
    using D = StreamingDetector<Traits>;
    constexpr std::array every{
        method<&D::update>("update_stream", {"runtime_example"},
                           by_kind<Traits>("Add a single runtime sample to the stream buffer.",
                                           "Add a single runtime label to the stream buffer.")),
        method<&D::update_batch>("update_stream_batch", {"runtime_data"},
                                 by_kind<Traits>("Add a batch of runtime samples to the stream buffer.",
                                                 "Add a batch of runtime labels to the stream buffer.")),
        method<&D::compute>("compute_drift", {"drift_type"},
                            by_mode<Traits>("Compute a single drift metric against the current stream bins. "
                                            "Triggers a\nflush if the configured flush cadence or rate has been "
                                            "reached.\n\n" LUMETRA_DRIFT_TYPES_PARAGRAPH,
                                            "Apply decay to stream bins and compute a single drift metric.\n\n"
                                            LUMETRA_DRIFT_TYPES_PARAGRAPH)),
        method<&D::compute_multiple>("compute_drift_multiple_criteria", {"drift_types"},
                                     by_mode<Traits>("Compute multiple drift metrics in a single pass. Returns "
                                                     "scores in the same\norder as `drift_types`.",
                                                     "Apply decay and compute multiple drift metrics in a single "
                                                     "pass. Returns\nscores in the same order as `drift_types`.")),
        method<&D::reset_baseline>(
            "reset_baseline", {kResetParam<Traits>},
            by_kind<Traits>("Replace the baseline distribution with a new data slice and clear the stream.",
                            "Replace the baseline distribution with a new set of labels and clear the stream.")),
        method<&D::export_snapshot>(
            "export_snapshot", kNoParams,
            by_kind<Traits>("Export the current stream histogram as a map of bin label to bin values.",
                            "Export the current stream label counts as a map of label to count.")),
        method<&D::export_baseline>("export_baseline", kNoParams, kExportDoc<Traits>),
    };
    constexpr auto& moving = streaming_state_methods<typename Traits::Core, Traits::tag>;
    if constexpr (Traits::flushes) {
        return join(every,
                    std::array{method<&D::flush>(
                        "flush", kNoParams,
                        by_kind<Traits>("Flush the stream, resetting accumulated runtime bins.",
                                        "Flush the stream, resetting accumulated runtime label counts."))},
                    moving);
    } else {
        return join(every, moving);
    }
}

template <class Traits>
consteval auto streaming_getters_of() {
    using D = StreamingDetector<Traits>;
    constexpr std::array every{
        getter<&D::total_samples>("total_samples",
                                  by_mode<Traits>("Total number of runtime samples accumulated since the last flush.",
                                                  "Effective sample count after decay weighting.")),
        getter<&D::n_bins>("n_bins", by_kind<Traits>("Number of histogram bins.", "Number of distinct label bins.")),
    };
    if constexpr (Traits::flushes) {
        return join(every, std::array{getter<&D::last_flush>(
                               "last_flush", "Whole seconds elapsed since the last flush (monotonic clock).")});
    } else {
        return every;
    }
}

template <class Traits>
inline constexpr auto streaming_methods = streaming_methods_of<Traits>();
template <class Traits>
inline constexpr auto streaming_getters = streaming_getters_of<Traits>();

/// The declaration of a streaming detector class: its traits, name,
/// constructor parameters (of Traits::construct) and doc.
template <class Traits, std::size_t N>
consteval ClassDecl streaming_class(const char* name, const char* const (&params)[N], const char* doc) {
    return class_decl<typename Traits::Core>(name, constructor<&Traits::construct>(params, doc),
                                             streaming_methods<Traits>, streaming_getters<Traits>);
}

}  // namespace lumetra::py
