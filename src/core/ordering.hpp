// What the bin rules of a continuous baseline read of its ascending order,
// found without sorting the whole sample: the extremes in one pass, two order
// statistics by selection, and the two sums that run over the ascending order
// (of the values, then of their squared deviations from the mean), added as
// one pass in ascending order would add them. Values are ordered as
// operator< orders them, so -0.0 and 0.0 are equal; NaN has no place in the
// order, and a sample that holds one reports it instead of the rest.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace lumetra::ordering {

/// What a scan of a sample found. The extremes are those a stable ascending
/// sort puts first and last: of equal zeros, `lo` is the first in sample
/// order and `hi` the last. Ranks and sums are filled only where asked for
/// and the sample is finite with lo < hi.
struct SampleScan {
    bool nan = false;            ///< the sample holds a NaN (nothing else is meaningful)
    double lo = 0.0;             ///< smallest value
    double hi = 0.0;             ///< largest value
    double at[2] = {0.0, 0.0};   ///< values at the two ranks asked for
    double sum = 0.0;            ///< sum of the values in ascending order, from -0.0
    double squares = 0.0;        ///< sum of (x - sum / n)^2 in ascending order, from -0.0
};

/// NaN and extremes of a non-empty sample, on up to `threads` threads.
SampleScan scan_extremes(std::span<const double> x, unsigned threads);

/// scan_extremes plus the values at ranks r0 <= r1 < x.size() of the
/// ascending order, found by selection around the ranks of a sample of the
/// values (the result does not depend on the sample, only the time does).
/// Each equals (==) the value a sort puts at its rank; a zero may carry the
/// other sign.
SampleScan scan_ranks(std::span<const double> x, std::size_t r0, std::size_t r1, unsigned threads);

/// scan_ranks with the brackets taken from `sample` (any values: one that
/// misses the ranks only costs an exact selection over all of x).
SampleScan scan_ranks(std::span<const double> x, std::size_t r0, std::size_t r1, unsigned threads,
                      std::vector<double> sample);

/// scan_extremes plus the two sums over the ascending order, bit for bit as
/// sequential double-precision additions over a sorted copy give them. The
/// values are grouped by ranges of value (a radix partition); a group's
/// additions are found from its values in any order while every partial sum
/// stays inside one binade, where each addition rounds its term to the same
/// multiple of the binade's unit; otherwise the group is partitioned further
/// and, at the end, sorted and added in order.
SampleScan scan_ascending_sums(std::span<const double> x, unsigned threads);

}  // namespace lumetra::ordering
