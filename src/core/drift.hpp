// Data drift: baseline histograms (continuous and categorical), the four
// drift metrics, batch detectors and streaming detectors in decay and flush
// mode. Everything here works on plain C++ values; the boundary converts.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/errors.hpp"
#include "core/intake.hpp"
#include "core/result.hpp"

namespace lumetra::state {
struct Access;  // saves, restores and merges the detectors (core/state.cpp)
}

namespace lumetra::drift {

// ---- vocabulary -------------------------------------------------------------

/// Bin-count rule of a continuous baseline.
enum class QuantileType : std::uint8_t { FreedmanDiaconis, Scott, Sturges };
/// Drift metric between a baseline and a runtime histogram.
enum class DataDriftType : std::uint8_t { JensenShannon, PopulationStabilityIndex, WassersteinDistance, KullbackLeibler };

/// Exact, case-sensitive rule name; UnsupportedDriftType otherwise.
Result<QuantileType, DriftError> parse_quantile_type(std::string_view text);
/// Rule from optional text: absent means FreedmanDiaconis.
Result<QuantileType, DriftError> parse_optional_quantile_type(const std::optional<std::string>& text);
/// Exact, case-sensitive metric name; UnsupportedDriftType otherwise.
Result<DataDriftType, DriftError> parse_drift_type(std::string_view text);
/// Every name parsed in order; the first unknown name fails the whole list.
Result<std::vector<DataDriftType>, DriftError> parse_drift_types(const std::vector<std::string>& texts);
/// The member's name, as accepted by the parser.
std::string_view name(QuantileType q) noexcept;
/// The member's name, as accepted by the parser.
std::string_view name(DataDriftType d) noexcept;

/// Largest bin count a continuous baseline may have (2^24); above it the
/// baseline is refused with TooManyBins instead of exhausting memory.
inline constexpr std::uint64_t kMaxBins = std::uint64_t{1} << 24;

/// f64 to unsigned count, saturating: NaN and negatives give 0, too large gives the maximum.
std::uint64_t saturating_u64(double v) noexcept;
/// f64 to unsigned 32-bit count, saturating the same way.
std::uint32_t saturating_u32(double v) noexcept;

/// Bin count of a rule over data sorted ascending and free of NaN (never fails;
/// an all-equal sample gets 3 under every rule). The baseline finds the same
/// count without sorting its data.
std::uint64_t compute_num_bins(QuantileType rule, std::span<const double> sorted);

// ---- continuous baseline ------------------------------------------------------

/// The lookup rule through a table of half-bin-wide cells, each holding at
/// most one edge that values of the cell can fall on either side of. Every
/// edge of a lower cell is <= t and every edge of a higher cell is > t, since
/// the cell of a value never decreases as the value grows.
struct CellLookup {
    const std::uint32_t* count = nullptr;  ///< edges below every value of the cell
    const double* edge = nullptr;          ///< the cell's undecided edge, or NaN
    double first = 0.0;                    ///< first edge
    double last = 0.0;                     ///< last edge
    double scale = 0.0;                    ///< cells per unit of value
    double top = 0.0;                      ///< index of the last cell

    /// Cell of a value: NaN and values below the first edge in cell 0.
    double cell_of(double t) const noexcept {
        double g = (t - first) * scale;
        g = g > 0.0 ? g : 0.0;
        return g < top ? g : top;
    }
    /// The bin: a value above the last edge moves one bin further (NaN does not).
    std::size_t operator()(double t) const noexcept {
        const auto c = static_cast<std::int64_t>(cell_of(t));
        return static_cast<std::size_t>(count[c]) + static_cast<std::size_t>(edge[c] <= t) +
               static_cast<std::size_t>(t > last);
    }
};

/// Adds the bins of `values` under `cells` to four interleaved lanes of `bins`
/// counters each (lane k at lanes + k * bins), so that runs of one bin do not
/// wait on each other. Bins are computed a block at a time, vectorised where
/// the machine allows; the counts are integers, the same on every machine.
void count_cells(const CellLookup& cells, std::span<const double> values, std::uint64_t* lanes,
                 std::size_t bins) noexcept;
/// Adds m bins to four interleaved lanes of `bins` counters, as count_cells.
void add_to_lanes(const std::uint32_t* b, std::size_t m, std::uint64_t* lanes, std::size_t bins) noexcept;

/// The continuous lookup rule over a baseline's edges, copied into hot loops
/// so its fields stay in registers.
struct BinLookup {
    const double* edges;    ///< k edges, with -inf before and two +inf after
    std::size_t k;          ///< number of edges
    std::size_t last_bin;   ///< num_bins - 1
    double first, last;     ///< first and last edge
    double inv_width;       ///< 1 / bin width (equal-width layout)
    double top_guess;       ///< k - 1, the largest edge index
    bool direct;            ///< the width gives a first guess of the bin
    /// The cell-table part of the rule, when the baseline has one.
    CellLookup cells{};

    /// The bin of a value, as BaselineContinuousBins::bin.
    std::size_t operator()(double t) const noexcept {
        if (cells.count != nullptr) return cells(t);
        if (direct) {
            // The equal widths give a guess j that the exact edges settle: when
            // e[j-1] <= t < e[j+2], the edges <= t are the first j plus those
            // of e[j], e[j+1] that are <= t, and a value above the last edge
            // moves one bin further. Values below the first edge guess j = 0
            // and count 0; NaN fails the window and takes the search below.
            double g = (t - first) * inv_width;
            g = g > 0.0 ? g : 0.0;
            g = g < top_guess ? g : top_guess;
            const auto j = static_cast<std::int64_t>(g);
            const double* p = edges + j;
            const bool inside = (p[-1] <= t) & (t < p[2]);
            if (inside) [[likely]] {
                return static_cast<std::size_t>(j) + static_cast<std::size_t>(p[0] <= t) +
                       static_cast<std::size_t>(p[1] <= t) + static_cast<std::size_t>(t > last);
            }
        }
        if (!(t >= first)) return 0;  // below the baseline, or NaN
        if (t > last) return last_bin;
        return search(t);
    }
    /// Binary search: the number of edges <= t, at most last_bin.
    std::size_t search(double t) const noexcept;
};

/// Equal-width histogram of a continuous baseline, with open bins on both sides.
class BaselineContinuousBins {
public:
    /// Validates, counts bins with `rule` and builds the histogram: the rule
    /// reads the ascending order of the data without a sort of it (the
    /// extremes, the quartiles or the sums in ascending order), and the
    /// values are counted into the bins where they are.
    static Result<BaselineContinuousBins, DriftError> create(std::span<const double> data, QuantileType rule);
    /// Rebuilds from new data with the stored rule; on error nothing changes.
    Result<void, DriftError> reset(std::span<const double> data);

    /// Bin of one value: below the first edge (or NaN) 0, above the last edge
    /// num_bins-1, else the number of edges <= value.
    std::size_t bin(double t) const noexcept { return lookup()(t); }
    /// The lookup rule as a small value for hot loops.
    BinLookup lookup() const noexcept {
        BinLookup l{padded_.data() + 1,   bin_edges_.size(),
                    static_cast<std::size_t>(num_bins_ - 1), bin_edges_.front(),
                    last_edge_,            inv_width_,
                    static_cast<double>(bin_edges_.size() - 1), direct_};
        if (!cell_count_.empty()) {
            l.cells = CellLookup{cell_count_.data(), cell_edge_.data(), bin_edges_.front(), last_edge_, cell_scale_,
                                 static_cast<double>(cell_count_.size() - 1)};
        }
        return l;
    }

    /// Lower edges of the interior bins, ascending.
    const std::vector<double>& bin_edges() const noexcept { return bin_edges_; }
    /// Share of the baseline in each bin (sums to 1).
    const std::vector<double>& baseline_hist() const noexcept { return baseline_hist_; }
    /// Number of bins (at least 3).
    std::uint64_t num_bins() const noexcept { return num_bins_; }
    /// The rule chosen at construction.
    QuantileType quantile_type() const noexcept { return quantile_type_; }
    /// Number of baseline values the shares were counted from.
    std::uint64_t sample_count() const noexcept { return sample_count_; }
    /// Smallest baseline value (the first edge).
    double minimum() const noexcept { return bin_edges_.front(); }
    /// Largest baseline value.
    double maximum() const noexcept { return maximum_; }

private:
    friend struct lumetra::state::Access;
    BaselineContinuousBins() = default;
    /// Lays out the edges (and the lookup) of a baseline with extremes
    /// m <= big_m and a bin count; the shares are left to the caller.
    void init_baseline_hist(double m, double big_m, std::uint64_t num_bins);

    std::vector<double> bin_edges_;
    std::vector<double> padded_;  // -inf, the edges, +inf, +inf: lookup reads one neighbour either side
    std::vector<double> baseline_hist_;
    std::uint64_t num_bins_ = 0;
    QuantileType quantile_type_ = QuantileType::FreedmanDiaconis;
    // Lookup helpers derived from the edges.
    double last_edge_ = 0.0;
    double inv_width_ = 0.0;
    bool direct_ = false;  // the width estimate may be used as a first guess
    std::vector<std::uint32_t> cell_count_;  // cell table of the lookup (empty when not usable)
    std::vector<double> cell_edge_;
    double cell_scale_ = 0.0;
    void build_cells();
    std::uint64_t sample_count_ = 0;
    double maximum_ = 0.0;
};

/// Checks a continuous baseline (at least two values, no NaN) and returns a
/// sorted copy (stable): the order the rules are stated over.
Result<std::vector<double>, DriftError> sort_baseline_data(std::span<const double> data);

// ---- categorical baseline -----------------------------------------------------


class BaselineCategoricalBins;

/// Labels held by the caller as `n` items of its own kind at `items`, whose
/// UTF-8 texts `fill` views a run at a time: fill(items, begin, count, out)
/// views items [begin, begin + count) into out[0 .. count) and returns how
/// many it could read before one it cannot (count when all). The views live
/// as long as the items. fill may run on several threads at once.
struct ItemTexts {
    using Fill = std::size_t (*)(const void* items, std::size_t begin, std::size_t count,
                                 std::string_view* out) noexcept;
    const void* items = nullptr;
    std::size_t n = 0;
    Fill fill = nullptr;
};

/// Labels given as UTF-8 views, as a fixed-width UCS-4 column that is
/// encoded one label at a time into a reused buffer (no copy of the column),
/// or as items viewed a run at a time into a small buffer.
class Labels {
public:
    Labels() noexcept = default;
    Labels(std::span<const std::string_view> views) noexcept : views_(views) {}  // NOLINT: implicit
    Labels(const std::vector<std::string_view>& views) noexcept : views_(views) {}  // NOLINT: implicit
    /// The column must hold only code points that have a UTF-8 form.
    explicit Labels(const Ucs4Column& column) noexcept : ucs4_(&column) {}
    /// A column whose code points were not checked, for binning only
    /// (for_each_bin, count_bins): each distinct cell is checked as it is
    /// first encoded, and one without a UTF-8 form bins as an unseen label
    /// and sets `*unencodable`; the caller then discards what was counted.
    /// Checking the distinct cells spares a pass over every code point.
    Labels(const Ucs4Column& column, std::atomic<bool>* unencodable) noexcept
        : ucs4_(&column), unencodable_(unencodable) {}
    /// Items, for binning only: at the first item `fill` cannot read, binning
    /// stops and sets `*unencodable`; the caller then discards what was
    /// counted.
    Labels(const ItemTexts& items, std::atomic<bool>* unencodable) noexcept
        : items_(&items), unencodable_(unencodable) {}

    /// Number of labels.
    std::size_t size() const noexcept {
        return ucs4_ != nullptr ? ucs4_->n : items_ != nullptr ? items_->n : views_.size();
    }
    /// True when there is no label.
    bool empty() const noexcept { return size() == 0; }
    /// Calls f(std::string_view) for each label in order; the view lives until the next call.
    template <class F>
    void for_each(F&& f) const {
        if (items_ != nullptr) {
            for_each_item_text(0, items_->n, f);
            return;
        }
        if (ucs4_ == nullptr) {
            for (std::string_view v : views_) f(v);
            return;
        }
        std::string text;
        text.reserve(ucs4_->width * 4);  // the longest encoding: no allocation per label
        for (std::size_t i = 0; i < ucs4_->n; ++i) f(ucs4_utf8(*ucs4_, i, text));
    }

    /// Calls f(bin) with the baseline bin of each label in order.
    template <class Baseline, class F>
    void for_each_bin(const Baseline& baseline, F&& f) const {
        for_each_bin_in(baseline, 0, size(), f);
    }
    /// The same for labels [begin, end).
    template <class Baseline, class F>
    void for_each_bin_in(const Baseline& baseline, std::size_t begin, std::size_t end, F&& f) const;
    /// Adds how many labels fall in each baseline bin to `counts` (one per
    /// bin), on up to the thread cap's threads for long columns: the counts
    /// are integers, so any split of the labels gives the same ones.
    void count_bins(const BaselineCategoricalBins& baseline, std::vector<std::uint64_t>& counts) const;

private:
    // Calls f(text) for items [begin, end), a run at a time; stops at an
    // unreadable item and sets the flag. Out of line, so that the column
    // loops beside it in a caller are compiled as they would be alone.
    template <class F>
    [[gnu::noinline]] void for_each_item_text(std::size_t begin, std::size_t end, F&& f) const {
        std::string_view run[256];
        for (std::size_t i = begin; i < end;) {
            const std::size_t count = std::min(std::size(run), end - i);
            const std::size_t got = std::min(count, items_->fill(items_->items, i, count, run));
            for (std::size_t j = 0; j < got; ++j) f(run[j]);
            if (got != count) {
                unencodable_->store(true, std::memory_order_relaxed);
                return;
            }
            i += count;
        }
    }

    std::span<const std::string_view> views_{};
    const Ucs4Column* ucs4_ = nullptr;
    const ItemTexts* items_ = nullptr;
    // Set on a cell without a UTF-8 form, or an unreadable item, when checking.
    std::atomic<bool>* unencodable_ = nullptr;
};


/// Open-addressing index from label text to its position among the sorted distinct labels.
class LabelIndex {
public:
    /// Index of `label`, or size() when it is not a baseline label.
    std::size_t find(std::string_view label) const noexcept;
    /// The seed this index hashes with.
    std::uint64_t seed() const noexcept { return seed_; }
    /// Distinct labels, ascending byte-wise; a label's position is its index.
    const std::vector<std::string>& labels() const noexcept { return labels_; }
    /// Number of distinct labels.
    std::size_t size() const noexcept { return labels_.size(); }
    /// Builds from distinct labels already sorted ascending byte-wise.
    static LabelIndex from_sorted(std::vector<std::string> labels);

private:
    struct Slot {
        std::uint32_t tag;    // high hash bits: most mismatches end without a byte comparison
        std::uint32_t index;  // label position + 1; 0 is an empty slot
    };
    // Labels of at most this many bytes are found by the two words that hold them.
    static constexpr std::size_t kShortLabel = 16;
    struct ShortLabel {
        std::uint64_t a = 0, b = 0;  // the words of a short label, by position
        std::uint64_t size = ~std::uint64_t{0};  // its length; never a short length for a longer label
    };
    std::vector<std::string> labels_;
    std::vector<ShortLabel> short_;
    std::vector<Slot> slots_;
    std::uint64_t seed_ = 0;
    std::size_t mask_ = 0;
};

/// Hash of a label's bytes under a seed (used by LabelIndex).
std::uint64_t hash_label(std::string_view s, std::uint64_t seed) noexcept;
/// Whether two labels hold the same bytes (LabelIndex's comparison).
bool same_label(std::string_view a, std::string_view b) noexcept;

namespace detail {
inline std::uint64_t fold64(std::uint64_t a, std::uint64_t b) noexcept {
    const unsigned __int128 m = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(m) ^ static_cast<std::uint64_t>(m >> 64);
}

/// Word k of a cell of `Bytes` bytes (a whole number of code points), zero
/// past its end. Each word is one load of its own size straight into a
/// register: copying the cell into a zeroed buffer instead made a cell of an
/// odd number of code points a 4-byte store read back as 8 bytes, which the
/// processor cannot forward (three times slower per label).
template <std::size_t Bytes, std::size_t K>
inline std::uint64_t cell_word(const char* cell) noexcept {
    static_assert(Bytes % 4 == 0);
    if constexpr (8 * K + 8 <= Bytes) {
        std::uint64_t v;
        std::memcpy(&v, cell + 8 * K, 8);
        return v;
    } else if constexpr (8 * K + 4 <= Bytes) {
        std::uint32_t v;
        std::memcpy(&v, cell + 8 * K, 4);
        return v;
    } else {
        return 0;
    }
}

/// Hash of a cell of `Bytes` bytes (at most 32) under four per-process keys:
/// two independent multiplications, all loads of a known size.
template <std::size_t Bytes>
inline std::uint64_t short_cell_hash(const char* cell, const std::uint64_t* keys) noexcept {
    static_assert(Bytes > 0 && Bytes <= 32);
    return fold64(cell_word<Bytes, 0>(cell) ^ keys[0], cell_word<Bytes, 1>(cell) ^ keys[1]) ^
           fold64(cell_word<Bytes, 2>(cell) ^ keys[2], cell_word<Bytes, 3>(cell) ^ keys[3]);
}
}  // namespace detail

/// Bins of the cells of one UCS-4 column, remembered by the cells' raw bytes:
/// each distinct cell is encoded and looked up in the label index once.
class Ucs4BinCache {
public:
    /// With `unencodable`, cells are checked as they are first encoded (see Labels).
    Ucs4BinCache(const BaselineCategoricalBins& baseline, const Ucs4Column& column,
                 std::atomic<bool>* unencodable = nullptr);
    /// Bin of item i of the column.
    std::size_t bin(std::size_t i);
    /// Calls f(bin) for items [begin, end) of the column, in order.
    template <class F>
    void for_each_bin(std::size_t begin, std::size_t end, F&& f);

private:
    std::size_t lookup_and_remember(std::size_t i, const char* cell, std::size_t pos);
    template <std::size_t Bytes, class F>
    void for_each_short_bin(std::size_t begin, std::size_t end, F& f);
    /// The bin of item i (its cell at `cell`, `bytes` long), probing the
    /// tables from slot `pos`; `same(key, cell)` compares a remembered cell.
    template <class Same>
    std::size_t probe(std::size_t i, const char* cell, std::size_t pos, std::size_t bytes, const std::uint32_t* slots,
                      const char* keys, const std::uint32_t* bins, Same&& same);

    const BaselineCategoricalBins& baseline_;
    const Ucs4Column& column_;
    std::size_t cell_bytes_;
    std::uint64_t seed_;
    std::uint64_t short_keys_[4];       // keys of short_cell_hash
    std::vector<char> keys_;            // remembered cells, cell_bytes_ each
    std::vector<std::uint32_t> bins_;   // their bins
    std::vector<std::uint32_t> slots_;  // entry + 1; 0 is empty
    std::size_t mask_;
    std::size_t capacity_;              // entries that fit the reserved storage
    std::string text_;                  // reused UTF-8 buffer
    std::atomic<bool>* unencodable_;    // set on a cell without a UTF-8 form, when checking
};

/// Shares of the distinct labels of a categorical baseline, plus an unseen-label slot.
class BaselineCategoricalBins {
public:
    /// Builds the table; an empty label list is refused.
    static Result<BaselineCategoricalBins, DriftError> create(const Labels& labels);
    /// Rebuilds the table in place; on error (empty labels) the old table stays.
    Result<void, DriftError> define_bins(const Labels& labels);
    /// The table of labels already counted: each text with how many times it
    /// occurs (a text may come more than once, its counts then add; a count
    /// of 0 is no occurrence). The same table define_bins builds from the
    /// labels themselves; no occurrence at all is refused as empty labels are.
    static Result<BaselineCategoricalBins, DriftError> from_counts(
        std::span<const std::pair<std::string_view, std::uint64_t>> counts);

    /// Bin of a label: its index, or the unseen-label slot D.
    std::size_t bin(std::string_view label) const noexcept { return index_.find(label); }
    /// The label index (labels ascending byte-wise).
    const LabelIndex& label_index() const noexcept { return index_; }
    /// D + 1 shares; the last (unseen-label slot) is always 0.
    const std::vector<double>& baseline_hist() const noexcept { return baseline_hist_; }
    /// D + 1.
    std::size_t num_bins() const noexcept { return baseline_hist_.size(); }
    /// Number of baseline labels the shares were counted from.
    std::uint64_t sample_count() const noexcept { return sample_count_; }

private:
    friend struct lumetra::state::Access;
    BaselineCategoricalBins() = default;
    /// Sets the table from distinct labels and their counts, in any order,
    /// `n` the sum of the counts.
    void set_bins(std::vector<std::pair<std::string_view, std::uint64_t>>& ordered, std::uint64_t n);
    LabelIndex index_;
    std::vector<double> baseline_hist_;
    std::uint64_t sample_count_ = 0;
};

template <class Baseline, class F>
void Labels::for_each_bin_in(const Baseline& baseline, std::size_t begin, std::size_t end, F&& f) const {
    if (items_ != nullptr) {
        for_each_item_text(begin, end, [&](std::string_view v) { f(baseline.bin(v)); });
        return;
    }
    if (ucs4_ == nullptr) {
        for (std::size_t i = begin; i < end; ++i) f(baseline.bin(views_[i]));
        return;
    }
    Ucs4BinCache cache(baseline, *ucs4_, unencodable_);
    cache.for_each_bin(begin, end, f);
}

template <class F>
void Ucs4BinCache::for_each_bin(std::size_t begin, std::size_t end, F&& f) {
    // Labels of up to eight code points (most category names) are hashed and
    // compared with loads of a size known here, inline; a cell cache hit is
    // then a few instructions. Longer cells take the general path.
    switch (cell_bytes_) {
        case 4: return for_each_short_bin<4>(begin, end, f);
        case 8: return for_each_short_bin<8>(begin, end, f);
        case 12: return for_each_short_bin<12>(begin, end, f);
        case 16: return for_each_short_bin<16>(begin, end, f);
        case 20: return for_each_short_bin<20>(begin, end, f);
        case 24: return for_each_short_bin<24>(begin, end, f);
        case 28: return for_each_short_bin<28>(begin, end, f);
        case 32: return for_each_short_bin<32>(begin, end, f);
        default:
            for (std::size_t i = begin; i < end; ++i) f(bin(i));
    }
}

template <class Same>
std::size_t Ucs4BinCache::probe(std::size_t i, const char* cell, std::size_t pos, std::size_t bytes,
                                const std::uint32_t* slots, const char* keys, const std::uint32_t* bins, Same&& same) {
    for (;;) {
        const std::uint32_t s = slots[pos];
        if (s == 0) return lookup_and_remember(i, cell, pos);
        if (same(keys + (s - 1) * bytes, cell)) return bins[s - 1];
        pos = (pos + 1) & mask_;
    }
}

template <std::size_t Bytes, class F>
void Ucs4BinCache::for_each_short_bin(std::size_t begin, std::size_t end, F& f) {
    const char* const data = column_.data;
    const std::ptrdiff_t stride = column_.stride;
    // The tables never move: their storage is reserved in full up front.
    const std::uint32_t* const slots = slots_.data();
    const char* const keys = keys_.data();
    const std::uint32_t* const bins = bins_.data();
    const std::size_t mask = mask_;
    const std::uint64_t hash_keys[4] = {short_keys_[0], short_keys_[1], short_keys_[2], short_keys_[3]};
    for (std::size_t i = begin; i < end; ++i) {
        const char* cell = data + static_cast<std::ptrdiff_t>(i) * stride;
        const std::size_t pos = static_cast<std::size_t>(detail::short_cell_hash<Bytes>(cell, hash_keys)) & mask;
        const std::size_t b = probe(i, cell, pos, Bytes, slots, keys, bins,
                                    [](const char* key, const char* c) { return std::memcmp(key, c, Bytes) == 0; });
        f(b);
    }
}

// ---- drift metrics --------------------------------------------------------------

/// Which Wasserstein formula applies: continuous ignores the two open bins.
enum class BinKind : std::uint8_t { Continuous, Categorical };

/// One drift score of runtime values r (normalised by n_total) against baseline shares b.
double global_compute_drift(std::span<const double> b, std::span<const double> r, double n_total,
                            DataDriftType type, BinKind kind) noexcept;
/// The same with an explicit epsilon instead of the process-wide setting.
double global_compute_drift(std::span<const double> b, std::span<const double> r, double n_total,
                            DataDriftType type, BinKind kind, double eps) noexcept;
/// Sum of runtime bins in index order, starting from -0.0 (batch normaliser).
double runtime_sum(std::span<const double> r) noexcept;

// ---- batch detectors ---------------------------------------------------------------

/// Continuous baseline plus runtime bins that are zero between calls.
class ContinuousDataDrift {
public:
    /// Builds the baseline (absent rule: FreedmanDiaconis) and zero runtime bins.
    static Result<ContinuousDataDrift, DriftError> create(std::optional<QuantileType> rule,
                                                          std::span<const double> baseline);
    /// Counts runtime values into the bins; empty data is refused untouched.
    Result<void, DriftError> build_rt_hist(std::span<const double> runtime);
    /// Bins `runtime`, scores one metric, zeroes the bins.
    Result<double, DriftError> compute_drift(std::span<const double> runtime, DataDriftType type);
    /// Bins once and scores each metric in order (duplicates recomputed).
    Result<std::vector<double>, DriftError> compute_drift_multiple(std::span<const double> runtime,
                                                                   std::span<const DataDriftType> types);
    /// Replaces the baseline (same rule) and resizes the bins; on error nothing changes.
    Result<void, DriftError> reset_baseline(std::span<const double> baseline);

    /// The baseline.
    const BaselineContinuousBins& baseline() const noexcept { return baseline_; }
    /// Current runtime bins (zero between calls).
    const std::vector<double>& runtime_bins() const noexcept { return runtime_bins_; }

private:
    friend struct lumetra::state::Access;
    explicit ContinuousDataDrift(BaselineContinuousBins b);
    BaselineContinuousBins baseline_;
    std::vector<double> runtime_bins_;
};

/// Categorical baseline plus runtime label counts that are zero between calls.
class CategoricalDataDrift {
public:
    /// Builds the label table and zero runtime bins.
    static Result<CategoricalDataDrift, DriftError> create(const Labels& baseline);
    /// Counts labels into their bins (unseen labels into slot D); empty data refused.
    Result<void, DriftError> build_rt_hist(const Labels& runtime);
    /// Bins `runtime`, scores one metric, zeroes the bins.
    Result<double, DriftError> compute_drift(const Labels& runtime, DataDriftType type);
    /// Bins once and scores each metric in order.
    Result<std::vector<double>, DriftError> compute_drift_multiple(const Labels& runtime,
                                                                   std::span<const DataDriftType> types);
    /// Replaces the label table and resizes the bins; on error nothing changes.
    Result<void, DriftError> reset_baseline(const Labels& baseline);

    /// The baseline.
    const BaselineCategoricalBins& baseline() const noexcept { return baseline_; }
    /// Current runtime bins (zero between calls).
    const std::vector<double>& runtime_bins() const noexcept { return runtime_bins_; }

private:
    friend struct lumetra::state::Access;
    explicit CategoricalDataDrift(BaselineCategoricalBins b);
    BaselineCategoricalBins baseline_;
    std::vector<double> runtime_bins_;
};

/// One-shot continuous comparison: one score per requested metric, in order.
Result<std::vector<double>, DriftError> compute_drift_continuous_distribution(
    std::span<const double> baseline, std::span<const double> runtime, std::span<const DataDriftType> types,
    std::optional<QuantileType> rule);
/// One-shot categorical comparison: one score per requested metric, in order.
Result<std::vector<double>, DriftError> compute_drift_categorical_distribution(
    const Labels& baseline, const Labels& runtime,
    std::span<const DataDriftType> types);

// ---- monotonic clock seam ------------------------------------------------------------

/// A monotonic instant or a duration, in whole seconds plus nanoseconds.
struct Instant {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;
    auto operator<=>(const Instant&) const = default;
};
/// Source of monotonic instants.
using ClockFn = Instant (*)() noexcept;
/// The system monotonic clock.
Instant system_monotonic_now() noexcept;
/// Installs a clock (tests); returns the previous one.
ClockFn set_monotonic_clock(ClockFn fn) noexcept;
/// Reads the installed monotonic clock.
Instant monotonic_now() noexcept;
/// later - earlier, saturating at zero.
Instant elapsed_between(Instant earlier, Instant later) noexcept;

// ---- streaming detectors ----------------------------------------------------------------

/// Accumulation policy of a streaming detector.
enum class StreamMode : std::uint8_t { Decay, Flush };

/// Half-life used when none is given, in drift computations.
inline constexpr std::uint64_t kDefaultHalfLife = 86400;
/// exp2(-1/86400), the decay factor of the default half-life.
inline constexpr double kDefaultDecayFactor = 0.9999919774953684;
/// Sample count that flushes the stream when no rate is given.
inline constexpr double kDefaultFlushRate = 1000000.0;
/// Seconds after which the stream is flushed when no cadence is given.
inline constexpr std::uint64_t kDefaultFlushCadence = 86400;

/// Decay factor for a half-life (an explicit 0 is refused as a configuration error).
Result<double, DriftError> decay_factor_for(std::optional<std::uint64_t> half_life);

/// Runtime weights and policy state shared by both streaming detector kinds.
class StreamState {
public:
    /// Decay-mode state with `factor` applied per drift computation.
    static StreamState decay(std::size_t n_bins, double factor);
    /// Flush-mode state; absent rate/cadence take the defaults; the window starts now.
    static StreamState flush(std::size_t n_bins, std::optional<std::uint64_t> rate,
                             std::optional<std::uint64_t> cadence_secs);

    /// Adds one sample to bin i, flushing first when the window is due (flush mode).
    void add(std::size_t i) noexcept {
        if (mode_ == StreamMode::Flush) flush_check();
        runtime_bins_[i] += 1.0;
        stream_total_ += 1.0;
    }
    /// Adds counts[i] samples to each bin i (and their sum to the total), with
    /// exactly the weights `add` one sample at a time would leave: a batch
    /// in decay mode, where no flush can fall inside it.
    void add_counts(std::span<const std::uint64_t> counts) noexcept;
    /// Refuses an empty or all-zero stream; decays once (decay mode); returns the normaliser.
    Result<double, DriftError> prepare_computation() noexcept;
    /// Zeroes the weights and the total and starts a new window now.
    void flush_now() noexcept;
    /// Clears the stream at a new bin count (baseline replaced); a new window starts.
    void resize_and_clear(std::size_t n_bins);

    /// The accumulation policy.
    StreamMode mode() const noexcept { return mode_; }
    /// Accumulated weight per bin.
    const std::vector<double>& runtime_bins() const noexcept { return runtime_bins_; }
    /// Sum of the accumulated weights.
    double stream_total() const noexcept { return stream_total_; }
    /// Factor applied to the weights per drift computation (decay mode).
    double decay_factor() const noexcept { return decay_factor_; }
    /// Sample count that flushes the stream (flush mode).
    double flush_rate() const noexcept { return flush_rate_; }
    /// Window length after which the stream is flushed (flush mode).
    Instant flush_cadence() const noexcept { return flush_cadence_; }
    /// Whole seconds since the current window started (saturating at zero).
    std::uint64_t seconds_since_flush() const noexcept;
    /// Time since the current window started, to the nanosecond (saturating at zero).
    Instant window_age() const noexcept;
    /// Integer part of the accumulated weight.
    std::uint64_t total_samples() const noexcept { return saturating_u64(stream_total_); }

private:
    friend struct lumetra::state::Access;
    StreamState() = default;
    void flush_check() noexcept;
    // Zeroes the weights and the total; the new window starts at `now`.
    void start_window(Instant now) noexcept;

    StreamMode mode_ = StreamMode::Decay;
    std::vector<double> runtime_bins_;
    double stream_total_ = 0.0;
    double decay_factor_ = kDefaultDecayFactor;
    double flush_rate_ = kDefaultFlushRate;
    Instant flush_cadence_{kDefaultFlushCadence, 0};
    Instant last_flush_{};
};

/// y after k additions of 1.0 in double precision, each rounded as written,
/// in a few operations: within a binade whose unit is at most 1, adding 1 to
/// a multiple of the unit is exact until the sum reaches the binade's top.
double add_ones(double y, std::uint64_t k) noexcept;

/// Streaming detector over continuous values.
class StreamingContinuousDataDrift {
public:
    /// Decay mode; `half_life` absent means the default, 0 is refused.
    static Result<StreamingContinuousDataDrift, DriftError> new_decay(std::span<const double> baseline,
                                                                      std::optional<QuantileType> rule,
                                                                      std::optional<std::uint64_t> half_life);
    /// Flush mode with optional rate (samples) and cadence (seconds).
    static Result<StreamingContinuousDataDrift, DriftError> new_flush(std::span<const double> baseline,
                                                                      std::optional<QuantileType> rule,
                                                                      std::optional<std::uint64_t> rate,
                                                                      std::optional<std::uint64_t> cadence_secs);
    /// Adds one value.
    void update_stream(double value) noexcept { state_.add(baseline_.bin(value)); }
    /// Adds values in order; an empty batch is refused untouched.
    Result<void, DriftError> update_stream_batch(std::span<const double> values);
    /// Scores each metric on the accumulated stream (one decay step per call in decay mode).
    Result<std::vector<double>, DriftError> compute_drift_multiple(std::span<const DataDriftType> types);
    /// Replaces the baseline and clears the stream; on error nothing changes.
    Result<void, DriftError> reset_baseline(std::span<const double> baseline);
    /// Stream shares per bin (runtime_bins / stream_total); refused on an empty stream.
    Result<std::vector<double>, DriftError> stream_shares() const;

    /// The baseline histogram.
    const BaselineContinuousBins& baseline() const noexcept { return baseline_; }
    /// The stream's weights and policy.
    const StreamState& state() const noexcept { return state_; }
    /// The same, writable (tests and the boundary's flush).
    StreamState& state() noexcept { return state_; }

private:
    friend struct lumetra::state::Access;
    StreamingContinuousDataDrift(BaselineContinuousBins b, StreamState s)
        : baseline_(std::move(b)), state_(std::move(s)) {}
    BaselineContinuousBins baseline_;
    StreamState state_;
};

/// Streaming detector over string labels.
class StreamingCategoricalDataDrift {
public:
    /// Decay mode; `half_life` absent means the default, 0 is refused.
    static Result<StreamingCategoricalDataDrift, DriftError> new_decay(const Labels& baseline,
                                                                       std::optional<std::uint64_t> half_life);
    /// Flush mode with optional rate (samples) and cadence (seconds).
    static Result<StreamingCategoricalDataDrift, DriftError> new_flush(const Labels& baseline,
                                                                       std::optional<std::uint64_t> rate,
                                                                       std::optional<std::uint64_t> cadence_secs);
    /// Adds one label.
    void update_stream(std::string_view label) noexcept { state_.add(baseline_.bin(label)); }
    /// Adds labels in order; an empty batch is refused untouched.
    Result<void, DriftError> update_stream_batch(const Labels& labels);
    /// Scores each metric on the accumulated stream (one decay step per call in decay mode).
    Result<std::vector<double>, DriftError> compute_drift_multiple(std::span<const DataDriftType> types);
    /// Replaces the label table and clears the stream; on error nothing changes.
    Result<void, DriftError> reset_baseline(const Labels& baseline);
    /// Raw accumulated weight per baseline label, labels ascending byte-wise (no unseen slot).
    std::vector<std::pair<std::string, double>> label_weights() const;

    /// The baseline label table.
    const BaselineCategoricalBins& baseline() const noexcept { return baseline_; }
    /// The stream's weights and policy.
    const StreamState& state() const noexcept { return state_; }
    /// The same, writable (tests and the boundary's flush).
    StreamState& state() noexcept { return state_; }

private:
    friend struct lumetra::state::Access;
    StreamingCategoricalDataDrift(BaselineCategoricalBins b, StreamState s)
        : baseline_(std::move(b)), state_(std::move(s)) {}
    BaselineCategoricalBins baseline_;
    StreamState state_;
};

}  // namespace lumetra::drift
