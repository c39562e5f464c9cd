// The four streaming drift detectors, continuous or categorical in flush or
// decay mode: what differs between them (their template is in
// module/drift.hpp).
#include "module/drift.hpp"
#include "module/lumetra.hpp"

namespace lumetra::py {
namespace {

using drift::StreamingCategoricalDataDrift;
using drift::StreamingContinuousDataDrift;
using OptionalCount = std::optional<std::uint64_t>;
using OptionalText = std::optional<std::string>;

// ---- kinds and modes --------------------------------------------------------------------------

struct Continuous : ContinuousKind {
    using Core = StreamingContinuousDataDrift;
    using Example = double;

    struct Snapshot {
        std::vector<double> edges, baseline, stream;
    };
    // {"binEdges": [...], "baselineBins": [...], "streamBins": [...]}
    static PyObject* export_snapshot(PyObject* self) {
        return inspect<Core>(
            self,
            [](const Core& d) -> Result<Snapshot, DriftError> {
                LUMETRA_TRY(std::vector<double> shares, d.stream_shares());
                return Snapshot{d.baseline().bin_edges(), d.baseline().baseline_hist(), std::move(shares)};
            },
            [](const Snapshot& v) -> PyObject* {
                Ref d = Ref::steal(PyDict_New());
                if (!d) return nullptr;
                if (!dict_set_steal(d.get(), "binEdges", float_list(v.edges)) ||
                    !dict_set_steal(d.get(), "baselineBins", float_list(v.baseline)) ||
                    !dict_set_steal(d.get(), "streamBins", float_list(v.stream))) {
                    return nullptr;
                }
                return d.release();
            });
    }
};

struct Categorical : CategoricalKind {
    using Core = StreamingCategoricalDataDrift;
    using Example = StrView;

    // {label: accumulated weight}, labels ascending byte-wise.
    static PyObject* export_snapshot(PyObject* self) {
        return inspect<Core>(self, [](const Core& d) { return d.label_weights(); },
                             [](const std::vector<std::pair<std::string, double>>& weights) -> PyObject* {
                                 Ref d = Ref::steal(PyDict_New());
                                 if (!d) return nullptr;
                                 for (const auto& [label, w] : weights) {
                                     if (!dict_set_steal(d.get(), label, PyFloat_FromDouble(w))) return nullptr;
                                 }
                                 return d.release();
                             });
    }
};

struct Flush {
    static constexpr bool flushes = true;
};
struct Decay {
    static constexpr bool flushes = false;
};

// ---- the four classes -------------------------------------------------------------------------

struct ContinuousFlush : Continuous, Flush {
    static constexpr state::Tag tag = state::Tag::StreamingContinuousFlush;
    static PyObject* construct(PyTypeObject* type, const Float64Data& baseline, const OptionalText& rule_text,
                               const OptionalCount& rate, const OptionalCount& cadence) {
        return with_baseline_and_rule(baseline, rule_text, [&](std::span<const double> values, auto rule) {
            return create_or_raise(type, Core::new_flush(values, rule, rate, cadence));
        });
    }
};

struct ContinuousDecay : Continuous, Decay {
    static constexpr state::Tag tag = state::Tag::StreamingContinuousDecay;
    static PyObject* construct(PyTypeObject* type, const Float64Data& baseline, const OptionalText& rule_text,
                               const OptionalCount& half_life) {
        return with_baseline_and_rule(baseline, rule_text, [&](std::span<const double> values, auto rule) {
            return create_or_raise(type, Core::new_decay(values, rule, half_life));
        });
    }
};

struct CategoricalFlush : Categorical, Flush {
    static constexpr state::Tag tag = state::Tag::StreamingCategoricalFlush;
    static PyObject* construct(PyTypeObject* type, const LabelData& baseline, const OptionalCount& rate,
                               const OptionalCount& cadence) {
        return with_data(baseline, [&](const drift::Labels& labels) {
            return create_or_raise(type, Core::new_flush(labels, rate, cadence));
        });
    }
};

struct CategoricalDecay : Categorical, Decay {
    static constexpr state::Tag tag = state::Tag::StreamingCategoricalDecay;
    static PyObject* construct(PyTypeObject* type, const LabelData& baseline, const OptionalCount& half_life) {
        return with_data(baseline, [&](const drift::Labels& labels) {
            return create_or_raise(type, Core::new_decay(labels, half_life));
        });
    }
};

constexpr ClassDecl kClasses[] = {
    streaming_class<ContinuousFlush>(
        "PyStreamingContinuousDataDriftFlush",
        {"baseline_data", "quantile_type_str", "flush_rate_opt", "flush_cadence_opt"},
        "Streaming continuous data drift detector in flush mode. Accumulates runtime\n"
        "samples and resets accumulated bins on each flush."),
    streaming_class<ContinuousDecay>(
        "PyStreamingContinuousDataDriftDecay", {"baseline_data", "quantile_type_str", "decay_opt"},
        "Streaming continuous data drift detector in decay mode. Applies exponential\n"
        "decay to accumulated runtime bins on each drift computation, giving more weight\n"
        "to recent samples."),
    streaming_class<CategoricalFlush>(
        "PyStreamingCategoricalDataDriftFlush", {"baseline_data", "flush_rate", "flush_cadence"},
        "Streaming categorical data drift detector in flush mode. Accumulates runtime\n"
        "label counts and resets accumulated bins on each flush."),
    streaming_class<CategoricalDecay>(
        "PyStreamingCategoricalDataDriftDecay", {"baseline_data", "half_life_opt"},
        "Streaming categorical data drift detector in decay mode. Applies exponential\n"
        "decay to accumulated label counts on each drift computation, giving more weight\n"
        "to recent samples."),
};

}  // namespace

std::span<const ClassDecl> streaming_drift_classes() { return kClasses; }

}  // namespace lumetra::py
