// The report every runtime check and streaming drift report answers with:
// passed, or the failed metrics with their drift values.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "core/metrics.hpp"

namespace lumetra {

/// One failed metric and its drift value.
template <class E>
struct FailedMetric {
    E metric;
    float drift;
    bool operator==(const FailedMetric&) const = default;
};

/// Outcome of a check over metric enumeration E.
template <class E>
struct DriftReport {
    bool passed = true;
    /// Present exactly when the check failed; never empty then.
    std::optional<std::vector<FailedMetric<E>>> failed_report;

    /// Builds the report from a failure map, entries in enum order.
    static DriftReport from_runtime(const MetricMap<E>& failures) {
        DriftReport r;
        if (failures.empty()) return r;
        r.passed = false;
        std::vector<FailedMetric<E>> entries;
        entries.reserve(failures.size());
        failures.for_each([&](E m, float drift) { entries.push_back(FailedMetric<E>{m, drift}); });
        r.failed_report = std::move(entries);
        return r;
    }
};

}  // namespace lumetra
