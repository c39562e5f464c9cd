// Drift of data held in parts (the partitions of a distributed frame): each
// part counts its values into the bins of a baseline, the counts of all parts
// add up exactly, and the drift metrics follow from the sum as a batch
// detector scores its own bins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/drift.hpp"

namespace lumetra::drift {

/// The bins of a continuous baseline rebuilt from its interior edges (as
/// BaselineContinuousBins::bin_edges gives them): below the first edge or
/// NaN bin 0, above the last edge the last bin, else the number of edges <=
/// the value; num_bins() is the number of edges plus two.
class EdgeBins {
public:
    /// nullopt unless the edges are at least one, finite and ascending.
    static std::optional<EdgeBins> from_edges(std::span<const double> edges);

    std::size_t num_bins() const noexcept { return lookup_.last_bin + 1; }
    /// Adds the bin of each value to counts[0, num_bins()).
    void count(std::span<const double> values, std::uint64_t* counts) const noexcept;

    // The lookup points into the copy's own edges.
    EdgeBins(const EdgeBins& other) : padded_(other.padded_), lookup_(other.lookup_) {
        lookup_.edges = padded_.data() + 1;
    }
    EdgeBins& operator=(const EdgeBins&) = delete;

private:
    EdgeBins() = default;
    std::vector<double> padded_;  // -inf, the edges, +inf, +inf, as the lookup reads them
    BinLookup lookup_{};
};

/// The drift scores of runtime bin counts (one per baseline bin, summed over
/// every part) against the baseline's shares, in the order of `types`:
/// EmptyRuntimeData when the counts hold no value.
Result<std::vector<double>, DriftError> scores_of_counts(std::span<const double> baseline_hist,
                                                         std::span<const double> counts,
                                                         std::span<const DataDriftType> types, BinKind kind);

}  // namespace lumetra::drift
