// Random draws that no thread count, partitioning or merge order can change:
// a counter-based generator (Philox 4x32, ten rounds) keyed by a seed and
// addressed by (replicate, group, purpose), so that each replicate of each
// group draws from a stream of its own, computed from its address alone;
// exact binomial and multinomial draws from such a stream; and percentile
// intervals of replicate values.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace lumetra::resample {

/// One stream of 32-bit words: the Philox 4x32-10 block of each counter
/// value (seed as the key; replicate, group, purpose and a block index as the
/// counter), four words a block, in order.
class Stream {
public:
    Stream(std::uint64_t seed, std::uint32_t replicate, std::uint32_t group, std::uint32_t purpose) noexcept;
    /// The next word of the stream.
    std::uint32_t next() noexcept;
    /// A uniform double in [0, 1) from the next two words (53 random bits).
    double uniform() noexcept;

private:
    std::array<std::uint32_t, 2> key_;
    std::array<std::uint32_t, 4> counter_;
    std::array<std::uint32_t, 4> block_{};
    unsigned used_ = 4;
};

/// The Philox 4x32-10 block of a counter under a key (for tests against the
/// published known-answer vectors).
std::array<std::uint32_t, 4> philox(std::array<std::uint32_t, 4> counter, std::array<std::uint32_t, 2> key) noexcept;

/// A Binomial(n, p) draw, p in [0, 1]: inversion while n * min(p, 1 - p) is
/// below 10, the transformed rejection of Hörmann (BTRD) above.
std::uint64_t binomial(Stream& s, std::uint64_t n, double p) noexcept;

/// A Multinomial(total, cells / total) draw into `out` (as many cells):
/// each cell a binomial draw of what is left, given the cells after it, in
/// cell order. A replicate of a count table.
void multinomial(Stream& s, std::span<const std::uint64_t> cells, std::span<std::uint64_t> out) noexcept;

/// The percentile interval of replicate values at `level` (0.95: the 2.5th
/// and 97.5th percentiles, interpolated linearly between order statistics as
/// NumPy's default does); NaN values are left out, and an interval of no
/// values is NaN. Sorts `values`.
std::pair<double, double> percentile_interval(std::vector<double>& values, double level) noexcept;

}  // namespace lumetra::resample
