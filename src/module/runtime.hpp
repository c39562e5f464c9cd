// Runtime checks: a baseline and a latest dict of metric values compared
// under a relative threshold, over every metric of a family or a named list.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <vector>

#include "core/metrics.hpp"
#include "core/report.hpp"
#include "core/runtime.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/results.hpp"

namespace lumetra::py {

inline constexpr char kThresholdName[] = "threshold";
/// The threshold of a runtime check (declared "threshold=0.10"): the check's
/// default when omitted, else Python's float conversion in single precision;
/// NaN is refused.
using Threshold = NanFreeThreshold<kThresholdName, kDefaultThreshold>;

/// Calls f(metrics) with the parsed metric names, or raises the parser's refusal.
template <class Parse, class F>
PyObject* with_parsed(Parse&& parse, const StrList& names, F&& f) {
    auto metrics = parse(names);
    if (!metrics.ok()) return raise(metrics.error());
    return f(metrics.value());
}

/// A bias check: both records from name-keyed values (a name missing from the
/// latest is reported before one missing from the baseline), then the check
/// over `metrics`.
template <class Record, class E>
PyObject* check_named(const NamedValues& baseline, const NamedValues& latest, const std::vector<E>& metrics,
                      float threshold) {
    auto latest_record = Record::from_names(latest);
    if (!latest_record.ok()) return raise(latest_record.error());
    auto baseline_record = Record::from_names(baseline);
    if (!baseline_record.ok()) return raise(baseline_record.error());
    const auto failures = Record::runtime_check(latest_record.value(), baseline_record.value(), metrics, threshold);
    return report_to_py(DriftReport<E>::from_runtime(failures));
}

/// The partial check of a bias family: the caller's names, parsed before
/// either dict is examined, then check_named.
template <class Record, auto Parse>
PyObject* bias_partial_check(const NamedValues& baseline, const NamedValues& latest, const StrList& names,
                             const Threshold& threshold) {
    return with_parsed(Parse, names, [&](const auto& metrics) {
        return check_named<Record>(baseline, latest, metrics, threshold.value);
    });
}

}  // namespace lumetra::py
