// Many groups at once. A column of integer group codes (one code per row, a
// negative code leaves the row out) is read once, and every group gets its
// outcome tallies: how many of its rows have each combination of a positive
// ground truth and a positive prediction. Tallies are plain counts, so the
// tallies of separate chunks of rows add up to those of all the rows. From
// them follow, for each group, the two-facet records of the bias analyses
// (the group as facet a against every other row, or against one reference
// group, as facet d) and the confusion counts of classification; the bias and
// performance formulas themselves stay in their own subsystems.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <type_traits>
#include <vector>

#include "data_bias.hpp"
#include "model_bias.hpp"
#include "model_perf.hpp"

namespace lumetra {

/// Rows are handled in blocks of this many: first the block's outcome flags,
/// then its counts.
inline constexpr std::size_t kGroupBlock = 4096;

/// Outcome flags of a row: bit 0 is set when the ground truth is positive,
/// bit 1 when the prediction is. A group's tally has one cell per flag value:
/// 2 cells with a ground truth only, 4 with a prediction as well
/// (cell 1 + 2 = both positive).
inline constexpr unsigned kTruthBit = 0;
inline constexpr unsigned kPredictionBit = 1;

/// Writes the flags of rows [begin, end) into flags[0, end - begin).
using OutcomeMarker = std::function<void(std::size_t begin, std::size_t end, std::uint8_t* flags)>;

/// Sets bit `bit` of the flag of each row of [begin, end) whose value meets
/// the criterion (values are compared as V). Bit 0 overwrites the flag, so
/// the ground truth is marked first.
template <class Src, class V>
void mark_outcome(const Src& column, const SegmentationCriterion<V>& criterion, unsigned bit, std::size_t begin,
                  std::size_t end, std::uint8_t* __restrict flags) {
    with_packed(column, [&](const auto& view) {
        with_predicate(criterion, [&view, bit, begin, end, flags](auto meets) {
            // Local copies of the view and the bounds, inside the loop's own
            // function: byte stores through `flags` could alias anything
            // reached through a reference, which would be read again after
            // every store and keep the loop from vectorising.
            const auto src = view;
            const std::size_t first = begin, stop = end;
            std::uint8_t* __restrict out = flags - first;
            if (bit == 0) {
                for (std::size_t i = first; i < stop; ++i) out[i] = static_cast<std::uint8_t>(meets(static_cast<V>(src[i])));
            } else {
                // The bit as a byte to select (a shift of bytes by a variable count does not vectorise).
                const auto set = static_cast<std::uint8_t>(1u << bit);
                for (std::size_t i = first; i < stop; ++i) {
                    out[i] |= meets(static_cast<V>(src[i])) ? set : std::uint8_t{0};
                }
            }
        });
    });
}

/// Tallies of `groups` groups of `width` cells each (2 or 4), cell
/// g * width + flags, over memory owned elsewhere.
struct GroupTallies {
    const std::uint64_t* cells = nullptr;
    std::size_t groups = 0;
    std::size_t width = 2;

    /// The cells of group g.
    const std::uint64_t* of(std::size_t g) const noexcept { return cells + g * width; }
    /// Rows of group g.
    std::uint64_t rows(std::size_t g) const noexcept;
};

/// The cells of group g's comparison side: the reference group's cells, or
/// those of every row outside group g.
using SideCells = std::array<std::uint64_t, 4>;

/// The comparison side of group g (facet d): the reference group when given
/// (empty for the reference itself), otherwise every other row. `totals` are
/// the cell sums over all groups.
SideCells other_side(const GroupTallies& t, std::size_t g, std::optional<std::size_t> reference,
                     const SideCells& totals) noexcept;

/// Cell sums over all groups.
SideCells tally_totals(const GroupTallies& t) noexcept;

/// Facet counts of facet a (cells [negative, positive]) against facet d.
FacetCounts facet_counts(const std::uint64_t* a, const std::uint64_t* d) noexcept;

/// Post-training counts of facet a against facet d, each given by four cells
/// indexed by its outcome flags.
PostTraining post_training_counts(const std::uint64_t* a, const std::uint64_t* d) noexcept;

/// The confusion counts of four cells indexed by outcome flags.
ConfusionMatrix confusion_of(const std::uint64_t* cells) noexcept;

namespace detail {

template <class Codes>
using code_t = std::remove_cv_t<std::remove_reference_t<decltype(std::declval<const Codes&>()[0])>>;

/// The slot of code c in a table of `groups` groups plus one slot (`groups`)
/// for rows left out; `bad` is set for a code beyond the groups.
template <class C>
inline std::size_t slot_of(C c, std::size_t groups, bool& bad) noexcept {
    if constexpr (std::is_signed_v<C>) {
        if (c < 0) return groups;
    }
    const auto u = static_cast<std::make_unsigned_t<C>>(c);
    if (u >= groups) {
        bad = true;
        return groups;
    }
    return static_cast<std::size_t>(u);
}

}  // namespace detail

namespace detail {

/// True when every code of rows [begin, end) names a group (none is left out).
template <class Src>
bool codes_in_range(const Src& codes, std::size_t begin, std::size_t end, std::size_t groups) noexcept {
    using C = code_t<Src>;
    C lo = codes[begin], hi = codes[begin];
    for (std::size_t i = begin + 1; i < end; ++i) {
        const C c = codes[i];
        lo = c < lo ? c : lo;
        hi = c > hi ? c : hi;
    }
    if constexpr (std::is_signed_v<C>) {
        if (lo < 0) return false;
    }
    return static_cast<std::make_unsigned_t<C>>(hi) < groups;
}

// Counts rows into Width cells per group. prepare(begin, end) readies the
// outcome flags of a block of rows and returns flag(i) for its rows.
template <std::size_t Width, class Src, class Prepare>
bool tally_with_width(const Src& codes, std::size_t groups, Prepare&& prepare, std::uint64_t* cells) {
    using C = code_t<Src>;
    const std::size_t n = codes.size();
    const std::size_t table = (groups + 1) * Width;  // the last group holds rows left out
    // Small tables are counted in four interleaved copies: runs of rows that
    // land in the same cell then form four independent chains of increments
    // instead of one, which a store-to-load dependency would serialise.
    constexpr std::size_t kLanes = 4;
    const std::size_t lanes = table <= 4096 ? kLanes : 1;
    std::vector<std::uint64_t> counts(lanes * table, 0);
    std::uint64_t* out[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) out[l] = counts.data() + (l % lanes) * table;
    bool bad = false;
    for (std::size_t begin = 0; begin < n; begin += kGroupBlock) {
        const std::size_t end = n < begin + kGroupBlock ? n : begin + kGroupBlock;
        const auto flag = prepare(begin, end);
        std::size_t i = begin;
        if (codes_in_range(codes, begin, end, groups)) {
            // Every row counts: no test per row.
            for (; i + kLanes <= end; i += kLanes) {
                for (std::size_t l = 0; l < kLanes; ++l) {
                    const auto c = static_cast<std::size_t>(static_cast<std::make_unsigned_t<C>>(codes[i + l]));
                    out[l][c * Width + flag(i + l)] += 1;
                }
            }
        }
        for (; i < end; ++i) out[0][slot_of<C>(codes[i], groups, bad) * Width + flag(i)] += 1;
        if (bad) return false;
    }
    const std::size_t kept = groups * Width;
    for (std::size_t k = 0; k < kept; ++k) {
        std::uint64_t sum = 0;
        for (std::size_t l = 0; l < lanes; ++l) sum += counts[l * table + k];
        cells[k] += sum;
    }
    return true;
}

}  // namespace detail

/// Tallies every row of `codes` into cells[code * width + flags] (a zeroed
/// array of groups * width counts, width 2 or 4) in one pass; rows with a
/// negative code are left out. False when a code is at or beyond `groups`:
/// the counts are then incomplete and must be discarded.
template <class Codes>
bool tally_groups(const Codes& codes, std::size_t groups, std::size_t width, const OutcomeMarker& mark,
                  std::uint64_t* cells) {
    std::uint8_t flags[kGroupBlock];
    auto prepare = [&](std::size_t begin, std::size_t end) {
        mark(begin, end, flags);
        const std::uint8_t* f = flags;
        return [f, begin](std::size_t i) noexcept { return static_cast<std::size_t>(f[i - begin]); };
    };
    return with_packed(codes, [&](const auto& src) {
        return width == 2 ? detail::tally_with_width<2>(src, groups, prepare, cells)
                          : detail::tally_with_width<4>(src, groups, prepare, cells);
    });
}

/// The same with one outcome column (2 cells per group), tested as each row
/// is counted: the ground truth of a data-bias analysis.
template <class Codes, class Src, class V>
bool tally_groups(const Codes& codes, std::size_t groups, const Src& column,
                  const SegmentationCriterion<V>& criterion, std::uint64_t* cells) {
    return with_packed(codes, [&](const auto& code_view) {
        return with_packed(column, [&](const auto& view) {
            const auto values = view;
            return with_predicate(criterion, [&](auto meets) {
                auto prepare = [&](std::size_t, std::size_t) {
                    return [&](std::size_t i) noexcept {
                        return static_cast<std::size_t>(meets(static_cast<V>(values[i])));
                    };
                };
                return detail::tally_with_width<2>(code_view, groups, prepare, cells);
            });
        });
    });
}

/// The generalized entropy that the batch analysis gives each group's
/// comparison, from the rows' outcome flags in row order. It is a
/// single-precision sum in row order over every row of the comparison, not a
/// per-group count: with no reference each group is compared with all other
/// rows, so every group shares the value over all rows kept; with a reference
/// group r, group g's value is over the rows of g and r. Groups without rows
/// get NaN. nullopt when a code is at or beyond `groups`.
template <class Codes>
std::optional<std::vector<float>> grouped_generalized_entropy(const Codes& codes, std::size_t groups,
                                                              const OutcomeMarker& mark,
                                                              std::optional<std::size_t> reference);

/// The generalized entropy of each comparison, chunk by chunk. The entropy of
/// a comparison is two single-precision sums over its rows in row order: the
/// benefits (whose total s gives mu = s / n), then the terms (b / mu)^2 - 1.
/// Neither can be formed from per-chunk sums without changing its rounding,
/// so each is carried from one chunk to the next: for every comparison,
/// sums[c] continues with terms[3 c + b] of each row of this chunk, in row
/// order. Comparisons as grouped_generalized_entropy has them: with no
/// reference one (every row kept), with a reference group r one per group g
/// (the rows of g and r; of r alone for g = r). Over consecutive chunks in
/// order, the first pass with terms {0, 1, 2} gives s, the second with
/// generalized_entropy_terms(s, n) gives the entropy, bit for bit as one pass
/// over all rows. Every comparison's sum is carried in the same pass over
/// the chunk's rows (a row of the reference adds to all of them), so its
/// cost does not grow with the number of comparisons. False when a code is
/// at or beyond `groups` or the reference is.
template <class Codes>
bool continue_entropy_sums(const Codes& codes, std::size_t groups, const OutcomeMarker& mark,
                           std::optional<std::size_t> reference, const float* terms, float* sums);

// ------------------------------------------------------------- performance

/// Regression sums of each group, its pairs added in row order exactly as
/// LinearRegressionErrorBuckets::update does; rows with a negative code are
/// left out. False when a code is at or beyond sums.size().
template <class Codes>
bool regression_by_group(const Codes& codes, const F32Column& y_true, const F32Column& y_pred,
                         std::vector<LinearRegressionErrorBuckets>& sums) {
    using C = detail::code_t<Codes>;
    const std::size_t groups = sums.size();
    bool bad = false;
    with_readers(y_true, y_pred, [&](auto t, auto p) {
        for (std::size_t i = 0; i < codes.size(); ++i) {
            const std::size_t g = detail::slot_of<C>(codes[i], groups, bad);
            if (bad) return;
            if (g == groups) continue;
            sums[g].update(t[i], p[i]);
        }
    });
    return !bad;
}

/// Logistic-regression sums of each group: the truth of a row is 1 where
/// `mark` flags it positive (bit 0) and 0 elsewhere, its score is the
/// prediction in single precision; as logistic_regression_runtime adds them,
/// log-loss terms in row order. False when a code is at or beyond sums.size().
template <class Codes>
bool logistic_by_group(const Codes& codes, const OutcomeMarker& mark, const F32Column& scores, float threshold,
                       const ScoreClamp& clamp, std::vector<LogisticSums>& sums) {
    using C = detail::code_t<Codes>;
    const std::size_t groups = sums.size();
    bool bad = false;
    with_reader(scores, [&](auto p) {
        constexpr std::size_t kBlock = kLogLossBlock;
        std::uint8_t flags[kBlock];
        float truth[kBlock], score[kBlock], terms[kBlock];
        for (std::size_t begin = 0; begin < codes.size() && !bad; begin += kBlock) {
            const std::size_t m = std::min(kBlock, codes.size() - begin);
            mark(begin, begin + m, flags);
            for (std::size_t j = 0; j < m; ++j) {
                truth[j] = (flags[j] & 1u) != 0 ? 1.0f : 0.0f;
                score[j] = clamp.apply(p[begin + j]);
            }
            log_loss_terms(truth, score, m, terms);
            for (std::size_t j = 0; j < m; ++j) {
                const std::size_t g = detail::slot_of<C>(codes[begin + j], groups, bad);
                if (g == groups) continue;
                const float pv = p[begin + j];
                sums[g].add(truth[j] >= threshold, pv >= threshold, terms[j]);
            }
        }
    });
    return !bad;
}

// ------------------------------------------------------------ implementation

namespace detail {

/// The benefit of a row by its outcome flags (truth bit 0, prediction bit
/// 1): 2 for a negative truth, 1 for a found positive, 0 for a missed one.
inline constexpr std::uint8_t kBenefitOfFlags[4] = {2, 0, 2, 1};

/// Continues, for each comparison c, the single-precision sum sums[c] with
/// terms[3 c + b] for each of the comparison's rows in row order (b its
/// benefit), in one pass over the rows. Comparisons as continue_entropy_sums
/// has them. The rows are taken a block at a time: each block's benefits are
/// counted per group, and a comparison whose block of terms adds as its
/// counts say (add_benefit_block: the sum stays inside one binade) takes
/// them at once; the others take their rows of the block one by one, in row
/// order, each into its own sum. False when a code is at or beyond `groups`.
template <class Codes>
bool ordered_comparison_sums(const Codes& codes, std::size_t groups, const OutcomeMarker& mark,
                             const std::optional<std::size_t>& reference, const float* terms, float* sums) {
    using C = code_t<Codes>;
    const std::size_t n = codes.size();
    const std::size_t comparisons = reference ? groups : 1;
    const std::size_t ref = reference ? *reference : groups;
    // Enough rows per block that each comparison has a few of its own, so
    // the per-comparison work of a block stays small beside its rows.
    const std::size_t block = reference ? std::clamp<std::size_t>(64 * groups, kGroupBlock, std::size_t{1} << 16)
                                        : kGroupBlock;
    std::vector<std::uint8_t> flags(block);
    // Rows per group and benefit (the last group: rows left out), counted in
    // four interleaved copies when small, as tallies are: runs of rows in one
    // cell then form four chains of increments instead of one.
    const std::size_t cells = 3 * (groups + 1);
    const std::size_t lanes = cells <= 4096 ? 4 : 1;
    std::vector<std::uint32_t> lane_counts(lanes * cells), count(cells);
    bool bad = false;
    auto count_by_group = [&](std::size_t begin, std::size_t end) {
        std::fill(lane_counts.begin(), lane_counts.end(), 0u);
        std::uint32_t* out[4];
        for (std::size_t l = 0; l < 4; ++l) out[l] = lane_counts.data() + (l % lanes) * cells;
        const std::uint8_t* f = flags.data() - begin;
        std::size_t i = begin;
        for (; i + 4 <= end; i += 4) {
            for (std::size_t l = 0; l < 4; ++l) {
                ++out[l][3 * slot_of<C>(codes[i + l], groups, bad) + kBenefitOfFlags[f[i + l] & 3u]];
            }
        }
        for (; i < end; ++i) ++out[0][3 * slot_of<C>(codes[i], groups, bad) + kBenefitOfFlags[f[i] & 3u]];
        for (std::size_t k = 0; k < cells; ++k) {
            std::uint32_t total = 0;
            for (std::size_t l = 0; l < lanes; ++l) total += lane_counts[l * cells + k];
            count[k] = total;
        }
    };
    // The benefits of one comparison of all rows kept, in a block.
    auto count_all = [&](std::size_t begin, std::size_t end, std::int64_t (&all)[3]) {
        if (codes_in_range(codes, begin, end, groups)) {
            // Every row kept: straight from the flags.
            std::uint32_t positive = 0, found = 0;
            const std::uint8_t* f = flags.data();
            for (std::size_t j = 0; j < end - begin; ++j) {
                positive += f[j] & 1u;
                found += static_cast<std::uint32_t>(f[j] == 3u);
            }
            all[0] = static_cast<std::int64_t>(positive - found);
            all[1] = found;
            all[2] = static_cast<std::int64_t>(end - begin - positive);
            return;
        }
        count_by_group(begin, end);
        all[0] = all[1] = all[2] = 0;
        for (std::size_t g = 0; g < groups; ++g) {
            for (int b = 0; b < 3; ++b) all[b] += count[3 * g + b];
        }
    };
    // The comparisons that take a block one row at a time: their sums and
    // terms side by side (terms by benefit), and each one's place there.
    std::vector<std::uint32_t> serial;
    std::vector<float> acc, by_benefit;
    std::vector<std::int32_t> place(comparisons, -1);
    serial.reserve(comparisons);
    for (std::size_t begin = 0; begin < n; begin += block) {
        const std::size_t end = std::min(n, begin + block);
        mark(begin, end, flags.data());
        std::int64_t all[3] = {0, 0, 0};
        if (reference) {
            count_by_group(begin, end);
        } else {
            count_all(begin, end, all);
        }
        if (bad) return false;
        serial.clear();
        for (std::size_t c = 0; c < comparisons; ++c) {
            std::int64_t k[3];
            for (int b = 0; b < 3; ++b) {
                k[b] = !reference ? all[b] : count[3 * c + b] + (c == ref ? 0 : count[3 * ref + b]);
            }
            if (k[0] == 0 && k[1] == 0 && k[2] == 0) continue;
            if (!add_benefit_block(sums[c], terms + 3 * c, k)) serial.push_back(static_cast<std::uint32_t>(c));
        }
        if (serial.empty()) continue;
        const std::size_t m = serial.size();
        acc.resize(m);
        by_benefit.resize(3 * m);
        for (std::size_t j = 0; j < m; ++j) {
            const std::uint32_t c = serial[j];
            place[c] = static_cast<std::int32_t>(j);
            acc[j] = sums[c];
            for (int b = 0; b < 3; ++b) by_benefit[b * m + j] = terms[3 * c + b];
        }
        float* __restrict a = acc.data();
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t g = slot_of<C>(codes[i], groups, bad);
            if (g == groups) continue;
            const std::size_t b = kBenefitOfFlags[flags[i - begin] & 3u];
            if (!reference || g != ref) {
                // One comparison holds the row (the only one, or its group's).
                const std::int32_t j = place[reference ? g : 0];
                if (j >= 0) a[j] += by_benefit[b * m + static_cast<std::size_t>(j)];
                continue;
            }
            // A row of the reference is in every comparison: each sum takes
            // its own term, element by element.
            const float* __restrict t = by_benefit.data() + b * m;
            for (std::size_t j = 0; j < m; ++j) a[j] += t[j];
        }
        for (std::size_t j = 0; j < m; ++j) {
            sums[serial[j]] = acc[j];
            place[serial[j]] = -1;
        }
    }
    return true;
}

}  // namespace detail

template <class Codes>
std::optional<std::vector<float>> grouped_generalized_entropy(const Codes& codes, std::size_t groups,
                                                              const OutcomeMarker& mark,
                                                              std::optional<std::size_t> reference) {
    std::vector<float> out(groups, std::numeric_limits<float>::quiet_NaN());
    if (reference && *reference >= groups) return std::nullopt;
    std::vector<std::uint64_t> cells(4 * groups, 0);
    if (!tally_groups(codes, groups, 4, mark, cells.data())) return std::nullopt;
    // Rows and benefit totals of each comparison, from the groups' cells
    // (flags: 0 neither positive, 1 truth only, 2 prediction only, 3 both).
    const std::size_t comparisons = reference ? groups : 1;
    std::vector<std::uint64_t> rows(comparisons, 0), benefits(comparisons, 0);
    auto add_group = [&](std::size_t c, std::size_t g) {
        const std::uint64_t* k = cells.data() + 4 * g;
        rows[c] += k[0] + k[1] + k[2] + k[3];
        benefits[c] += k[3] + 2 * (k[0] + k[2]);
    };
    for (std::size_t g = 0; g < groups; ++g) {
        if (!reference) {
            add_group(0, g);
            continue;
        }
        add_group(g, g);
        if (g != *reference) add_group(g, *reference);
    }
    // The benefit total s of each comparison is a single-precision sum in row
    // order: exact (every partial sum an integer) up to 2^24, else summed.
    constexpr std::uint64_t kExact = std::uint64_t{1} << 24;
    std::vector<float> s(comparisons), sums(comparisons, 0.0f), terms(3 * comparisons, 0.0f);
    bool exact = true;
    for (std::size_t c = 0; c < comparisons; ++c) {
        s[c] = static_cast<float>(benefits[c]);
        exact = exact && benefits[c] <= kExact;
        terms[3 * c + 1] = 1.0f;
        terms[3 * c + 2] = 2.0f;
    }
    if (!exact) {
        if (!continue_entropy_sums(codes, groups, mark, reference, terms.data(), sums.data())) return std::nullopt;
        for (std::size_t c = 0; c < comparisons; ++c) s[c] = sums[c];
        std::fill(sums.begin(), sums.end(), 0.0f);
    }
    for (std::size_t c = 0; c < comparisons; ++c) {
        float t[3] = {0.0f, 0.0f, 0.0f};
        if (rows[c] > 0) generalized_entropy_terms(s[c], static_cast<std::size_t>(rows[c]), t);
        std::copy(t, t + 3, terms.begin() + static_cast<std::ptrdiff_t>(3 * c));
    }
    if (!continue_entropy_sums(codes, groups, mark, reference, terms.data(), sums.data())) return std::nullopt;
    // Groups without rows of their own have no comparison of their own.
    for (std::size_t g = 0; g < groups; ++g) {
        const std::uint64_t* k = cells.data() + 4 * g;
        if (k[0] + k[1] + k[2] + k[3] > 0) out[g] = sums[reference ? g : 0];
    }
    return out;
}

template <class Codes>
bool continue_entropy_sums(const Codes& codes, std::size_t groups, const OutcomeMarker& mark,
                           std::optional<std::size_t> reference, const float* terms, float* sums) {
    if (reference && *reference >= groups) return false;
    return with_packed(codes, [&](const auto& view) {
        return detail::ordered_comparison_sums(view, groups, mark, reference, terms, sums);
    });
}

}  // namespace lumetra
