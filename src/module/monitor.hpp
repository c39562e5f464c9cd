// The class template of the streaming monitors. A monitor's traits
// (MonitorOf) give its core type, the argument types of its constructor, push
// and batches, its names and its metric parser; everything else is here, so a
// method every monitor has is one row of monitor_methods.
#pragma once

#include <array>

#include "core/metrics.hpp"
#include "core/monitors.hpp"
#include "binding/callables.hpp"
#include "binding/classes.hpp"
#include "binding/intake.hpp"
#include "binding/results.hpp"
#include "module/runtime.hpp"
#include "module/state.hpp"

namespace lumetra::py {

inline constexpr char kDriftThresholdName[] = "drift_threshold";
/// The threshold of a drift report, a drift at least which fails; NaN is refused.
using DriftThreshold = NanFreeThreshold<kDriftThresholdName>;

/// A list of converted argument types (a body's parameters after self).
template <class... A>
struct Args {};

/// Args<T, ..., T> with N times T.
template <class T, std::size_t N, class... A>
struct Repeat {
    using type = typename Repeat<T, N - 1, T, A...>::type;
};
template <class T, class... A>
struct Repeat<T, 0, A...> {
    using type = Args<A...>;
};

/// The names of a monitor over N columns: its class, its constructor's C
/// parameters, push's parameters and those of push_batch and reset_baseline.
template <std::size_t N, std::size_t C = N>
struct MonitorNames {
    static constexpr std::size_t columns = N;
    const char* name;
    const char* ctor[C];
    const char* push[N];
    const char* batch[N];
};

/// The traits of a monitor whose core type is `CoreT`, whose columns are
/// converted as `ColumnT` (constructor, push_batch, reset_baseline) and whose
/// push values as `ScalarT`, with the metric parser `Parse`, its names and
/// the class tag of its saved state.
template <class CoreT, class ColumnT, class ScalarT, auto Parse, const auto& Names, state::Tag TagV>
struct MonitorOf {
    using Core = CoreT;
    static constexpr state::Tag tag = TagV;
    using BatchArgs = typename Repeat<ColumnT, Names.columns>::type;
    using PushArgs = typename Repeat<ScalarT, Names.columns>::type;
    using CtorArgs = BatchArgs;
    static constexpr auto parse = Parse;
    static constexpr const auto& names = Names;

    /// Methods of this monitor alone (none).
    template <class Monitor>
    static consteval std::array<Callable, 0> extra_methods() {
        return {};
    }
};

template <class Traits>
struct Monitor {
    using Core = typename Traits::Core;

    /// A body that changes the monitor: op(monitor, views...) under an
    /// exclusive borrow, with column arguments passed as their views.
    template <class Op, class List>
    struct Changing;
    template <class Op, class... A>
    struct Changing<Op, Args<A...>> {
        static PyObject* body(PyObject* self, const A&... args) {
            return with_views(
                [&](const auto&... views) {
                    return change<Core>(self, [&](Core& m) { return Op{}(m, views...); });
                },
                args...);
        }
    };

    template <class List>
    struct Constructor;
    template <class... A>
    struct Constructor<Args<A...>> {
        static PyObject* body(PyTypeObject* type, const A&... args) {
            return with_views([&](const auto&... views) { return create_or_raise(type, Core::create(views...)); },
                              args...);
        }
    };

    struct Push {
        decltype(auto) operator()(Core& m, const auto&... values) const { return m.push(values...); }
    };
    struct PushBatch {
        decltype(auto) operator()(Core& m, const auto&... views) const { return m.push_batch(views...); }
    };
    struct ResetBaseline {
        decltype(auto) operator()(Core& m, const auto&... views) const { return m.reset_baseline(views...); }
    };

    static PyObject* flush(PyObject* self) {
        return change<Core>(self, [](Core& m) { m.flush(); });
    }
    static PyObject* performance_snapshot(PyObject* self) {
        return inspect<Core>(self, [](const Core& m) { return m.current(); },
                             [](const auto& record) { return report_to_py_dict(record.to_map()); });
    }
    static PyObject* drift_snapshot(PyObject* self) {
        return inspect<Core>(self, [](const Core& m) { return m.drift_snapshot(); },
                             [](const auto& drifts) { return report_to_py_dict(drifts); });
    }
    static PyObject* drift_report(PyObject* self, const DriftThreshold& threshold) {
        return inspect<Core>(self, [&](const Core& m) { return m.drift_report(threshold.value); },
                             [](const auto& report) { return report_to_py(report); });
    }
    /// The names are parsed before the monitor is read.
    static PyObject* drift_report_partial(PyObject* self, const StrList& names, const DriftThreshold& threshold) {
        return with_parsed(Traits::parse, names, [&](const auto& only) {
            return inspect<Core>(self, [&](const Core& m) { return m.drift_report(threshold.value, &only); },
                                 [](const auto& report) { return report_to_py(report); });
        });
    }

    /// The methods of every monitor, then the monitor's own, then those that
    /// save, restore and merge its state.
    static consteval auto methods() {
        using Batch = typename Traits::BatchArgs;
        return join(
            std::array{
                method<&Changing<Push, typename Traits::PushArgs>::body>("push", Traits::names.push),
                method<&Changing<PushBatch, Batch>::body>("push_batch", Traits::names.batch),
                noargs_method<&flush>("flush"),
                method<&Changing<ResetBaseline, Batch>::body>("reset_baseline", Traits::names.batch),
                noargs_method<&performance_snapshot>("performance_snapshot"),
                noargs_method<&drift_snapshot>("drift_snapshot"),
                method<&drift_report>("drift_report", {"drift_threshold"}),
                method<&drift_report_partial>("drift_report_partial_metrics", {"metrics", "drift_threshold"}),
            },
            Traits::template extra_methods<Monitor>(), streaming_state_methods<Core, Traits::tag>);
    }
};

template <class Traits>
inline constexpr auto monitor_methods = Monitor<Traits>::methods();

/// The declaration of the monitor class of `Traits`.
template <class Traits>
inline constexpr ClassDecl monitor_class = class_decl<typename Traits::Core>(
    Traits::names.name,
    constructor<&Monitor<Traits>::template Constructor<typename Traits::CtorArgs>::body>(Traits::names.ctor),
    monitor_methods<Traits>);

}  // namespace lumetra::py
