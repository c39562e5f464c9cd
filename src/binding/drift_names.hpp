// The drift names both compiled modules parse at the boundary: metric names
// and bin rules, each refused with the engine's error raised, and a list of
// scores or the error of its scoring.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/results.hpp"
#include "core/drift.hpp"

namespace lumetra::py {

/// The value of a parse, or nullopt with its error raised.
template <class V>
std::optional<V> parsed_or_raise(Result<V, DriftError>&& r) {
    if (!r.ok()) {
        raise(r.error());
        return std::nullopt;
    }
    return std::move(r).value();
}

inline std::optional<drift::DataDriftType> parse_type(const std::string& name) {
    return parsed_or_raise(drift::parse_drift_type(name));
}
inline std::optional<std::vector<drift::DataDriftType>> parse_types(const StrList& names) {
    return parsed_or_raise(drift::parse_drift_types(names));
}
inline std::optional<drift::QuantileType> parse_rule(const std::optional<std::string>& text) {
    return parsed_or_raise(drift::parse_optional_quantile_type(text));
}

/// A list of scores, or the error raised.
inline PyObject* scores_or_raise(const Result<std::vector<double>, DriftError>& r) {
    if (!r.ok()) return raise(r.error());
    return float_list(r.value());
}

}  // namespace lumetra::py
