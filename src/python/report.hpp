// Drift reports to Python dicts: {"passed": True} or {"passed": False,
// "failed_report": [{"metric": name, "drift": value}, ...]}.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <utility>
#include <vector>

#include "core/report.hpp"

namespace lumetra::py {

/// One failed entry with its metric already turned into its name.
using NamedDrift = std::pair<std::string_view, float>;

/// The report dict from the pass flag and the failed entries in order.
PyObject* report_dict(bool passed, const std::vector<NamedDrift>& failed);

/// A new report dict; nullptr with the interpreter's error set on failure.
template <class E>
PyObject* report_to_py(const DriftReport<E>& report) {
    std::vector<NamedDrift> failed;
    if (report.failed_report) {
        failed.reserve(report.failed_report->size());
        for (const auto& entry : *report.failed_report) failed.emplace_back(metric_name(entry.metric), entry.drift);
    }
    return report_dict(report.passed, failed);
}

}  // namespace lumetra::py
