#include "core/drift_parts.hpp"

#include <cmath>
#include <limits>

namespace lumetra::drift {

std::optional<EdgeBins> EdgeBins::from_edges(std::span<const double> edges) {
    if (edges.empty()) return std::nullopt;
    for (std::size_t i = 0; i < edges.size(); ++i) {
        if (!std::isfinite(edges[i]) || (i > 0 && !(edges[i - 1] < edges[i]))) return std::nullopt;
    }
    EdgeBins b;
    const double inf = std::numeric_limits<double>::infinity();
    b.padded_.reserve(edges.size() + 3);
    b.padded_.push_back(-inf);
    b.padded_.insert(b.padded_.end(), edges.begin(), edges.end());
    b.padded_.push_back(inf);
    b.padded_.push_back(inf);
    const std::size_t k = edges.size();
    const double first = edges.front(), last = edges.back();
    // The lookup's first guess only saves steps: the edges decide every bin.
    const double inv_width = k > 1 ? static_cast<double>(k - 1) / (last - first) : 0.0;
    b.lookup_ = BinLookup{b.padded_.data() + 1, k, k + 1, first, last, inv_width, static_cast<double>(k - 1),
                          k > 1 && std::isfinite(inv_width) && inv_width > 0.0};
    return b;
}

void EdgeBins::count(std::span<const double> values, std::uint64_t* counts) const noexcept {
    const BinLookup lookup = lookup_;
    for (const double v : values) ++counts[lookup(v)];
}

Result<std::vector<double>, DriftError> scores_of_counts(std::span<const double> baseline_hist,
                                                         std::span<const double> counts,
                                                         std::span<const DataDriftType> types, BinKind kind) {
    const double total = runtime_sum(counts);
    // A batch detector refuses runtime data without values before it bins.
    if (!(total > 0.0)) return DriftError::EmptyRuntimeData;
    std::vector<double> out;
    out.reserve(types.size());
    for (const DataDriftType t : types) out.push_back(global_compute_drift(baseline_hist, counts, total, t, kind));
    return out;
}

}  // namespace lumetra::drift
