// Group codes: the segmentation of a column into its group (facet a, or the
// positive outcome), produced a block at a time, so that an analysis counts
// while it segments and builds no mask of a numeric column. Blocks are small
// enough for the codes of every column of an analysis to stay in the first-
// level cache between segmenting and counting.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "core/intake.hpp"
#include "core/parallel.hpp"
#include "core/pool.hpp"

namespace lumetra {

/// Elements per block of codes.
inline constexpr std::size_t kCodeBlock = 2048;

/// The codes of one column: for each element, bit 0 is its membership by
/// label matching (== v) and bit 1 by thresholding (>= v). Which bit holds the
/// group may depend on the whole column (implicit segmentation); sources whose
/// membership is fixed set both bits alike.
class GroupCodes {
public:
    explicit GroupCodes(std::size_t n) noexcept : n_(n) {}
    virtual ~GroupCodes() = default;
    GroupCodes(const GroupCodes&) = delete;
    GroupCodes& operator=(const GroupCodes&) = delete;

    /// Number of elements.
    std::size_t size() const noexcept { return n_; }
    /// Writes the codes of elements [begin, end), end - begin <= kCodeBlock.
    /// A pass calls it once for each block, in ascending order from 0.
    virtual void scan(std::size_t begin, std::size_t end, std::uint8_t* codes) = 0;
    /// Writes the codes of any block again, leaving the decision as it is.
    virtual void recode(std::size_t begin, std::size_t end, std::uint8_t* codes) const = 0;
    /// The bit holding the group as far as the blocks scanned show: 1 once
    /// thresholding is certain, else 0.
    virtual unsigned provisional_bit() const noexcept { return 0; }
    /// Whether the distinct count has come near the limit (an eighth of it)
    /// without passing it yet: thresholding is then likely, and a pass may
    /// count the blocks from here both ways.
    virtual bool nearing_threshold() const noexcept { return false; }
    /// The bit holding the group, once every block has been scanned (this may
    /// read the column again to settle the choice).
    virtual unsigned final_bit() { return provisional_bit(); }
    /// True when the codes are read from memory the column does not own
    /// (an array read in place), false for a mask built beforehand.
    virtual bool reads_in_place() const noexcept { return true; }

private:
    std::size_t n_;
};

namespace detail {

/// Most distinct values a column of n elements may have and still be label
/// matched: the choice rule holds exactly for counts 0 .. label_limit(n).
std::uint64_t label_limit(std::size_t n);

/// Decides whether a column's distinct values outnumber label_limit(n), from
/// its keys (element bit patterns) a block at a time; with `nan_keys`, keys
/// that are the pattern of a floating-point NaN each count as a value of
/// their own. Few keys are compared directly; more go into a hash set held
/// to the cache; past that, a bitmap of key hashes gives a lower bound of the
/// count, which decides thresholding as soon as it passes the limit. A
/// column that ends with only that bound at or below the limit is
/// inconclusive, and is settled by an exact count (`exact` keeps every key).
template <class K>
class DistinctDecider {
public:
    /// `limit`: label_limit of the column's length.
    DistinctDecider(std::uint64_t limit, bool exact, bool nan_keys) noexcept
        : limit_(limit), exact_(exact), nan_keys_(nan_keys) {}

    /// Adds the m keys stored one after another at `keys` (any alignment).
    /// Returns true once thresholding is certain.
    bool add(const void* keys, std::size_t m);
    bool thresholding() const noexcept { return threshold_; }
    /// Distinct values counted so far (a lower bound once hashed into bits).
    std::uint64_t distinct_seen() const noexcept { return keys_ + nans_; }
    /// True when the count ended as a lower bound at or below the limit.
    bool inconclusive() const noexcept { return !threshold_ && phase_ == Phase::Bits; }
    /// True while the keys seen are few enough to be compared directly
    /// (the cheap case, a handful of comparisons per key).
    bool few() const noexcept { return phase_ == Phase::Small; }
    /// While few: how many keys were seen (0 before the first), with
    /// `slots` set to the kSmall slots that hold them (unused ones repeat the
    /// first); 0 once they are not few.
    std::size_t few_keys(const K*& slots) const noexcept {
        slots = small_;
        return phase_ == Phase::Small ? small_n_ : 0;
    }

    static constexpr std::size_t kSmall = 8;
    /// Keys kept in the hash set before the bitmap takes over.
    static constexpr std::size_t kTableKeys = 4096;

private:
    enum class Phase : std::uint8_t { Small, Table, Bits };

    bool over() noexcept { return threshold_ = keys_ + nans_ > limit_; }
    bool is_nan(K key) const noexcept;
    std::size_t add_small(const unsigned char* keys, std::size_t m);
    void start_table();
    std::size_t add_table(const unsigned char* keys, std::size_t j, std::size_t m);
    void add_bits(const unsigned char* keys, std::size_t j, std::size_t m);
    bool insert_table(K key);
    void grow_table();
    void start_bits();
    void build_direct();

    std::uint64_t limit_ = 0;
    std::uint64_t keys_ = 0;
    std::uint64_t nans_ = 0;
    Phase phase_ = Phase::Small;
    bool exact_ = false;
    bool nan_keys_ = false;
    bool threshold_ = false;
    K small_[kSmall] = {};  // unused slots repeat the first key
    std::size_t small_n_ = 0;
    std::vector<K> table_;  // open addressing; 0 marks an empty slot
    unsigned table_log2_ = 0;
    bool has_zero_ = false;
    std::size_t used_ = 0;
    std::vector<std::uint64_t> bits_;
    unsigned bits_log2_ = 0;
    // While keys are few: every key of the table again, each alone in its
    // slot of a collision-free table (rebuilt as keys arrive), so that a
    // vector of keys is checked with one gather.
    static constexpr std::size_t kDirectKeys = 128;
    std::vector<K> direct_;
    std::uint32_t direct_mul_ = 0;
    unsigned direct_log2_ = 0;
    std::uint64_t direct_keys_ = ~std::uint64_t{0};  // keys_ when it was built
};

extern template class DistinctDecider<std::uint32_t>;
extern template class DistinctDecider<std::uint64_t>;

/// The integer type whose bit patterns tell T's values apart.
template <class T>
using KeyOf = std::conditional_t<sizeof(T) == 8, std::uint64_t,
                                 std::conditional_t<sizeof(T) == 4, std::uint32_t,
                                                    std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint8_t>>>;

template <class T>
inline KeyOf<T> key_bits(T x) noexcept {
    KeyOf<T> k;
    std::memcpy(&k, &x, sizeof k);
    return k;
}

/// Smallest float at or above t, largest float at or below t (NaN for NaN):
/// for a float x and a double t, x >= t exactly when x >= ceil_float(t).
float ceil_float(double t) noexcept;
float floor_float(double t) noexcept;

/// A test x >= g on values of T, with both outcomes fixed where no value of
/// T could tell: the result is ((x >= g) | all) & any.
template <class T>
struct AtLeast {
    T g{};
    std::uint8_t all = 0;
    std::uint8_t any = 1;
};

/// The values x of integer type T with `pred(static_cast<W>(x))` true, for a
/// predicate that is false below some value and true from it on.
template <class T, class Pred>
AtLeast<T> integer_up_set(Pred pred) {
    using U = std::make_unsigned_t<T>;
    constexpr T lo = std::numeric_limits<T>::min();
    constexpr T hi = std::numeric_limits<T>::max();
    if (pred(lo)) return AtLeast<T>{lo, 1, 1};
    if (!pred(hi)) return AtLeast<T>{lo, 0, 0};
    // Offsets from lo: pred is false at 0 and true at the top offset.
    U bad = 0, good = static_cast<U>(static_cast<U>(hi) - static_cast<U>(lo));
    while (good - bad > 1) {
        const U mid = static_cast<U>(bad + (good - bad) / 2);
        if (pred(static_cast<T>(static_cast<U>(static_cast<U>(lo) + mid)))) {
            good = mid;
        } else {
            bad = mid;
        }
    }
    return AtLeast<T>{static_cast<T>(static_cast<U>(static_cast<U>(lo) + good)), 0, 1};
}

/// Implicit comparison of a T column with v: code = ((x == e) & eq) |
/// (at_least(x) << 1). V is double (float columns) or int64 (integer columns).
template <class T>
struct ImplicitTest {
    T e{};
    std::uint8_t eq = 0;
    AtLeast<T> ge;

    template <class V>
    static ImplicitTest make(V v) {
        ImplicitTest t;
        if constexpr (std::is_same_v<T, double>) {
            t.e = v;
            t.eq = 1;
            t.ge = AtLeast<T>{v, 0, 1};
        } else if constexpr (std::is_same_v<T, float>) {
            t.e = static_cast<float>(v);
            t.eq = static_cast<double>(t.e) == v;
            t.ge = AtLeast<T>{ceil_float(v), 0, 1};
        } else {
            // Unsigned 64-bit columns are read as int64 (their values fit).
            static_assert(std::is_same_v<V, std::int64_t> && !std::is_same_v<T, std::uint64_t>);
            const bool in_range = v >= static_cast<std::int64_t>(std::numeric_limits<T>::min()) &&
                                  v <= static_cast<std::int64_t>(std::numeric_limits<T>::max());
            t.e = in_range ? static_cast<T>(v) : T{};
            t.eq = in_range;
            t.ge = integer_up_set<T>([v](T x) { return static_cast<std::int64_t>(x) >= v; });
        }
        return t;
    }
};

/// Explicit comparison of a T column with a double threshold, with the
/// result of comparing in double precision: code 3 in the group, 0 outside.
template <class T>
struct ExplicitTest {
    SegmentationThresholdType type = SegmentationThresholdType::GreaterThan;
    double t = 0.0;
    T bound{};                // floats: the bound in T
    AtLeast<T> up;            // integers: the values at or above (or past) t
    std::uint8_t invert = 0;  // integers: the group is the complement of `up`

    static ExplicitTest make(double t, SegmentationThresholdType type) {
        ExplicitTest r;
        r.type = type;
        r.t = t;
        using S = SegmentationThresholdType;
        if constexpr (std::is_same_v<T, double>) {
            r.bound = t;
        } else if constexpr (std::is_same_v<T, float>) {
            const bool ceil = type == S::GreaterThanEqualTo || type == S::LessThan;
            r.bound = ceil ? ceil_float(t) : floor_float(t);
        } else if (std::isnan(t)) {
            r.up = AtLeast<T>{T{}, 0, 0};  // nothing compares with NaN
        } else {
            const bool strict = type == S::GreaterThan || type == S::LessThanEqualTo;
            r.up = strict ? integer_up_set<T>([t](T x) { return static_cast<double>(x) > t; })
                          : integer_up_set<T>([t](T x) { return static_cast<double>(x) >= t; });
            r.invert = type == S::LessThan || type == S::LessThanEqualTo;
        }
        return r;
    }
};

/// Code kernels over packed values, compiled for the baseline and for AVX2
/// and picked at run time (core/cpu.hpp; comparing 64-bit lanes needs more
/// than the baseline x86-64 vector unit offers). They only compare, so both
/// paths write the same codes.
namespace kernels {
#define LUMETRA_DECLARE_CODE_KERNELS(T)                                                               \
    void codes(const T* src, std::size_t n, std::uint8_t* out, const ImplicitTest<T>& test) noexcept; \
    void codes(const T* src, std::size_t n, std::uint8_t* out, const ExplicitTest<T>& test) noexcept;
/// The implicit codes of a floating-point block and, in the same pass,
/// whether any of its values is none of the first `n_known` keys in `known`
/// (bit patterns; the kSmall slots past them repeat the first).
bool codes_and_new_key(const float* src, std::size_t n, std::uint8_t* out, const ImplicitTest<float>& test,
                       const std::uint32_t* known, std::size_t n_known) noexcept;
bool codes_and_new_key(const double* src, std::size_t n, std::uint8_t* out, const ImplicitTest<double>& test,
                       const std::uint64_t* known, std::size_t n_known) noexcept;
LUMETRA_DECLARE_CODE_KERNELS(std::int8_t)
LUMETRA_DECLARE_CODE_KERNELS(std::int16_t)
LUMETRA_DECLARE_CODE_KERNELS(std::int32_t)
LUMETRA_DECLARE_CODE_KERNELS(std::int64_t)
LUMETRA_DECLARE_CODE_KERNELS(std::uint8_t)
LUMETRA_DECLARE_CODE_KERNELS(std::uint16_t)
LUMETRA_DECLARE_CODE_KERNELS(std::uint32_t)
LUMETRA_DECLARE_CODE_KERNELS(float)
LUMETRA_DECLARE_CODE_KERNELS(double)
#undef LUMETRA_DECLARE_CODE_KERNELS
/// The least and greatest of n > 0 integers.
#define LUMETRA_DECLARE_RANGE_KERNEL(T) void min_max(const T* src, std::size_t n, T& lo, T& hi) noexcept;
LUMETRA_DECLARE_RANGE_KERNEL(std::int32_t)
LUMETRA_DECLARE_RANGE_KERNEL(std::int64_t)
LUMETRA_DECLARE_RANGE_KERNEL(std::uint32_t)
#undef LUMETRA_DECLARE_RANGE_KERNEL
/// out[j] = the T at src + j * 2 * sizeof(T): a column of every second
/// element, the commonest strided view, gathered with vector shuffles.
#define LUMETRA_DECLARE_GATHER_KERNEL(T) void every_second(const char* src, std::size_t n, T* out) noexcept;
LUMETRA_DECLARE_GATHER_KERNEL(std::int8_t)
LUMETRA_DECLARE_GATHER_KERNEL(std::int16_t)
LUMETRA_DECLARE_GATHER_KERNEL(std::int32_t)
LUMETRA_DECLARE_GATHER_KERNEL(std::int64_t)
LUMETRA_DECLARE_GATHER_KERNEL(std::uint8_t)
LUMETRA_DECLARE_GATHER_KERNEL(std::uint16_t)
LUMETRA_DECLARE_GATHER_KERNEL(std::uint32_t)
LUMETRA_DECLARE_GATHER_KERNEL(std::uint64_t)
LUMETRA_DECLARE_GATHER_KERNEL(float)
LUMETRA_DECLARE_GATHER_KERNEL(double)
#undef LUMETRA_DECLARE_GATHER_KERNEL
/// out[j] = src[j] != 0 ? one : zero.
void binary_codes(const std::uint8_t* src, std::size_t n, std::uint8_t* out, std::uint8_t zero,
                  std::uint8_t one) noexcept;
/// Unsigned 64-bit columns are compared explicitly only (implicitly they are read as int64).
void codes(const std::uint64_t* src, std::size_t n, std::uint8_t* out, const ExplicitTest<std::uint64_t>& test) noexcept;
}  // namespace kernels

/// Reads a column a block at a time as packed values: a packed column in
/// place, any other gathered into a buffer of one block, so that the code
/// kernels and the distinct count always read plain arrays.
template <class T, class Src>
class BlockReader {
public:
    explicit BlockReader(const Src& src) : src_(src) {
        if constexpr (!kPacked) buffer_ = std::make_unique_for_overwrite<T[]>(kCodeBlock);
    }
    std::size_t size() const noexcept { return src_.size(); }
    const Src& source() const noexcept { return src_; }
    /// The values of [begin, end), end - begin <= kCodeBlock; a gathered
    /// block stays valid until the next call.
    const T* block(std::size_t begin, std::size_t end) const noexcept {
        if constexpr (kPacked) {
            return src_.data + begin;
        } else {
            T* out = buffer_.get();
            if constexpr (std::is_same_v<Src, Strided<T>>) {
                if (src_.stride == static_cast<std::ptrdiff_t>(2 * sizeof(T))) {
                    const char* first = src_.data + static_cast<std::ptrdiff_t>(begin) * src_.stride;
                    kernels::every_second(first, end - begin, out);
                    return out;
                }
            }
            for (std::size_t j = begin; j < end; ++j) out[j - begin] = static_cast<T>(src_[j]);
            return out;
        }
    }

private:
    static constexpr bool kPacked = std::is_same_v<Src, Packed<T>>;
    Src src_;
    std::unique_ptr<T[]> buffer_;
};

/// Adds the blocks of elements [begin, end) to `d` until thresholding is
/// certain, checking `stop` (when given) before each block and storing the
/// count in `seen` (when given) after a block that changed it (a store each
/// block would cost the reading thread a cache miss each); returns whether
/// thresholding is certain.
template <class K, class T, class Src>
bool add_blocks(DistinctDecider<K>& d, const BlockReader<T, Src>& reader, std::size_t begin, std::size_t end,
                const std::atomic<bool>* stop = nullptr, std::atomic<std::uint64_t>* seen = nullptr) {
    bool threshold = d.thresholding();
    std::uint64_t stored = ~std::uint64_t{0};
    for (; begin < end && !threshold; begin += kCodeBlock) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) return false;
        const std::size_t stop_at = std::min(begin + kCodeBlock, end);
        threshold = d.add(reader.block(begin, stop_at), stop_at - begin);
        if (seen != nullptr && d.distinct_seen() != stored) {
            stored = d.distinct_seen();
            seen->store(stored, std::memory_order_relaxed);
        }
    }
    return threshold;
}

/// Elements per thread from which a column's distinct count may continue on
/// a thread of its own (twice this many at least).
inline constexpr std::size_t kDecisionThreadElements = std::size_t{1} << 17;

/// The distinct-count decision of a column, continued on a pool thread from
/// where the caller's decider stands while the caller segments and counts:
/// the same keys in the same order, so the same decision, only sooner. It is
/// handed over only to a pool thread free for it now (else the caller keeps
/// counting itself, as on one thread); if no pool thread has taken it by the
/// time the caller needs the decision, the caller takes it back and counts
/// here. The pool thread reads the column's memory and nothing else.
template <class T, class Src>
class DecisionTask final : public PoolTask {
public:
    using K = KeyOf<T>;

    /// Takes `decider` (which has counted elements [0, start)) when a pool
    /// thread is free for it; leaves it with the caller otherwise.
    DecisionTask(const Src& src, std::uint64_t limit, bool nan_keys, std::unique_ptr<DistinctDecider<K>>& decider,
                 std::size_t start)
        : src_(src), limit_(limit), nan_keys_(nan_keys), start_(start), decider_(std::move(decider)),
          seen_(decider_->distinct_seen()), offer_(*this, 1, true) {
        handed_ = offer_.offered();
        if (!handed_) decider = std::move(decider_);
    }
    ~DecisionTask() {
        stop_.store(true, std::memory_order_relaxed);
        (void)offer_.withdraw();
    }
    DecisionTask(const DecisionTask&) = delete;
    DecisionTask& operator=(const DecisionTask&) = delete;

    /// Whether the count was handed over (else the caller keeps its decider).
    bool started() const noexcept { return handed_; }
    /// True once thresholding is certain.
    bool threshold_seen() const noexcept { return threshold_.load(std::memory_order_acquire); }
    /// The count's distinct values after its last block.
    std::uint64_t distinct_seen() const noexcept { return seen_.load(std::memory_order_relaxed); }
    /// Waits for the decision (true: thresholding), counting here what no
    /// pool thread took; nullopt when the count ran out of memory.
    std::optional<bool> result() {
        if (!decided_) {
            if (offer_.withdraw() == 0) run();
            decided_ = true;
        }
        if (!ok_) return std::nullopt;
        return threshold_.load(std::memory_order_relaxed);
    }

    void help() noexcept override {
        // Columns of 8- and 16-bit values are counted by a table of every
        // value, never by a task (which every column type still declares).
        if constexpr (sizeof(T) > 2) run();
    }

private:
    // Runs a decider over the column from `begin` until it decides or is stopped.
    bool decide(DistinctDecider<K>& d, const BlockReader<T, Src>& reader, std::size_t begin) {
        const bool threshold = add_blocks(d, reader, begin, src_.size(), &stop_, &seen_);
        if (threshold) threshold_.store(true, std::memory_order_release);
        return threshold;
    }

    void run() noexcept {
        try {
            const BlockReader<T, Src> reader(src_);
            if (!decide(*decider_, reader, start_) && decider_->inconclusive()) {
                DistinctDecider<K> exact(limit_, true, nan_keys_);
                decide(exact, reader, 0);
            }
            ok_ = !stop_.load(std::memory_order_relaxed);
        } catch (...) {
            ok_ = false;  // out of memory: the caller counts again itself
        }
    }

    Src src_;
    std::uint64_t limit_;
    bool nan_keys_;
    std::size_t start_;
    std::unique_ptr<DistinctDecider<K>> decider_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> threshold_{false};
    std::atomic<std::uint64_t> seen_;
    bool ok_ = false;       // written by whoever counts, read once the offer has ended
    bool handed_ = false;   // the caller's: the offer was made
    bool decided_ = false;  // the caller's: result() has run
    PoolOffer offer_;       // last: made once every member above exists
};

}  // namespace detail

/// Implicit segmentation of a numeric column (element type T, read through
/// Src) against v: label matching when the column has at most
/// label_limit(n) distinct values, thresholding otherwise. The distinct
/// count stops as soon as thresholding is certain.
template <class T, class Src>
class ImplicitCodes final : public GroupCodes {
public:
    template <class V>
    ImplicitCodes(const Src& src, V v)
        : GroupCodes(src.size()), reader_(src), test_(detail::ImplicitTest<T>::template make<V>(v)),
          limit_(detail::label_limit(src.size())) {
        if constexpr (sizeof(T) <= 2) {
            // Every value of T is one of 2^bits: the choice may be certain already.
            counting_ = limit_ < (std::uint64_t{1} << (8 * sizeof(T)));
        } else {
            counting_ = limit_ < src.size();
        }
    }

    void scan(std::size_t begin, std::size_t end, std::uint8_t* codes) override {
        const T* values = reader_.block(begin, end);
        const bool counting = counting_ && !threshold_ && !decision_;
        bool written = false;
        if constexpr (kFloat) {
            // While the values seen are few (outcomes, categories), one pass
            // writes the codes and finds whether another value appears; the
            // count sees only blocks where one does.
            const K* known = nullptr;
            const std::size_t n_known = counting && decider_ ? decider_->few_keys(known) : 0;
            if (n_known > 0) {
                if (!detail::kernels::codes_and_new_key(values, end - begin, codes, test_, known, n_known)) return;
                written = true;
            }
        }
        if (!written) detail::kernels::codes(values, end - begin, codes, test_);
        if (counting) {
            count(values, begin, end);
            if constexpr (sizeof(T) > 2) {
                // Past a handful of values, the count costs as much as the
                // segmenting: on a long column it continues beside it on a
                // pool thread, when one is free.
                if (!threshold_ && decider_ && !decider_->few() &&
                    threads_for(size() - end, detail::kDecisionThreadElements) > 1) {
                    decision_ = std::make_unique<detail::DecisionTask<T, Src>>(reader_.source(), limit_, kFloat,
                                                                                decider_, end);
                    if (!decision_->started()) decision_.reset();
                }
            }
        }
    }
    void recode(std::size_t begin, std::size_t end, std::uint8_t* codes) const override {
        detail::kernels::codes(reader_.block(begin, end), end - begin, codes, test_);
    }
    unsigned provisional_bit() const noexcept override {
        return threshold_ || (decision_ && decision_->threshold_seen()) ? 1u : 0u;
    }
    bool nearing_threshold() const noexcept override {
        if (!counting_ || threshold_) return false;
        std::uint64_t seen = 0;
        if constexpr (sizeof(T) <= 2) {
            seen = distinct_;
        } else {
            seen = decision_ ? decision_->distinct_seen() : decider_ ? decider_->distinct_seen() : 0;
        }
        return seen > limit_ / 8;
    }
    unsigned final_bit() override {
        if constexpr (sizeof(T) > 2) {
            if (decision_) {
                const std::optional<bool> decided = decision_->result();
                decision_.reset();
                if (decided) {
                    threshold_ = *decided;
                    return provisional_bit();
                }
                // The count ran out of memory: the same count, here.
                decider_.reset();
                for (std::size_t begin = 0; begin < size() && !threshold_; begin += kCodeBlock) {
                    const std::size_t end = std::min(begin + kCodeBlock, size());
                    count(reader_.block(begin, end), begin, end);
                }
            }
            if (counting_ && !threshold_ && decider_ && decider_->inconclusive()) settle_exactly();
        }
        return provisional_bit();
    }

private:
    using K = detail::KeyOf<T>;

    void count(const T* values, std::size_t begin, std::size_t end) {
        const std::size_t m = end - begin;
        if constexpr (sizeof(T) <= 2) {
            // A direct table of every value of T.
            if (seen_.empty()) seen_.assign((std::size_t{1} << (8 * sizeof(T))) / 64, 0);
            std::uint64_t* seen = seen_.data();
            std::uint64_t distinct = distinct_;
            for (std::size_t j = 0; j < m; ++j) {
                const K k = detail::key_bits(values[j]);
                const std::uint64_t bit = std::uint64_t{1} << (k & 63u);
                const std::uint64_t word = seen[k >> 6];
                if (!(word & bit)) {
                    seen[k >> 6] = word | bit;
                    if (++distinct > limit_) {
                        threshold_ = true;
                        break;
                    }
                }
            }
            distinct_ = distinct;
        } else {
            if constexpr (!kFloat) {
                if (!decider_) {
                    // Integers within a range of at most limit_ values have at
                    // most limit_ distinct ones: no count is needed while the
                    // range seen so far stays that narrow.
                    T lo, hi;
                    detail::kernels::min_max(values, m, lo, hi);
                    if (begin == 0) lo_ = lo, hi_ = hi;
                    lo_ = std::min(lo_, lo);
                    hi_ = std::max(hi_, hi);
                    if (static_cast<std::uint64_t>(hi_) - static_cast<std::uint64_t>(lo_) < limit_) return;
                    // Too wide: count from the first element. Gathered
                    // columns share one buffer, so this block is read again.
                    decider_ = std::make_unique<detail::DistinctDecider<K>>(limit_, false, kFloat);
                    threshold_ = detail::add_blocks(*decider_, reader_, 0, begin);
                    if (threshold_) return;
                    values = reader_.block(begin, end);
                }
            }
            // The keys are the values' own bit patterns.
            if (!decider_) decider_ = std::make_unique<detail::DistinctDecider<K>>(limit_, false, kFloat);
            threshold_ = decider_->add(values, m);
        }
    }

    void settle_exactly() {
        detail::DistinctDecider<K> exact(limit_, true, kFloat);
        threshold_ = detail::add_blocks(exact, reader_, 0, size());
    }

    static constexpr bool kFloat = std::is_floating_point_v<T>;

    detail::BlockReader<T, Src> reader_;
    detail::ImplicitTest<T> test_;
    std::uint64_t limit_;
    bool counting_ = true;
    bool threshold_ = false;
    std::uint64_t distinct_ = 0;
    T lo_{}, hi_{};  // integers: the range of the blocks scanned before any count
    std::vector<std::uint64_t> seen_;
    std::unique_ptr<detail::DistinctDecider<K>> decider_;
    std::unique_ptr<detail::DecisionTask<T, Src>> decision_;  // last: stopped and taken back first
};

/// Explicit threshold segmentation of a numeric column, compared in double
/// precision; NaN elements are never in the group.
template <class T, class Src>
class ExplicitCodes final : public GroupCodes {
public:
    ExplicitCodes(const Src& src, double t, SegmentationThresholdType type)
        : GroupCodes(src.size()), reader_(src), test_(detail::ExplicitTest<T>::make(t, type)) {}
    void scan(std::size_t begin, std::size_t end, std::uint8_t* codes) override { recode(begin, end, codes); }
    void recode(std::size_t begin, std::size_t end, std::uint8_t* codes) const override {
        detail::kernels::codes(reader_.block(begin, end), end - begin, codes, test_);
    }

private:
    detail::BlockReader<T, Src> reader_;
    detail::ExplicitTest<T> test_;
};

/// A column whose elements are 0 or 1 bytes (any non-zero byte counts as 1)
/// with fixed codes for each: a boolean column by label or by threshold.
template <class Src>
class BinaryCodes final : public GroupCodes {
public:
    BinaryCodes(const Src& src, bool zero_in, bool one_in)
        : GroupCodes(src.size()), reader_(src), zero_(zero_in ? 3 : 0), one_(one_in ? 3 : 0) {}
    void scan(std::size_t begin, std::size_t end, std::uint8_t* codes) override { recode(begin, end, codes); }
    void recode(std::size_t begin, std::size_t end, std::uint8_t* codes) const override {
        detail::kernels::binary_codes(reader_.block(begin, end), end - begin, codes, zero_, one_);
    }

private:
    detail::BlockReader<std::uint8_t, Src> reader_;
    std::uint8_t zero_, one_;
};

/// A mask built beforehand (columns read by Python iteration, strings).
class MaskCodes final : public GroupCodes {
public:
    explicit MaskCodes(GroupMask mask) : GroupCodes(mask.size()), mask_(std::move(mask)) {}
    bool reads_in_place() const noexcept override { return false; }
    void scan(std::size_t begin, std::size_t end, std::uint8_t* codes) override { recode(begin, end, codes); }
    void recode(std::size_t begin, std::size_t end, std::uint8_t* codes) const override {
        const std::uint8_t* m = mask_.data();
        for (std::size_t j = begin; j < end; ++j) codes[j - begin] = static_cast<std::uint8_t>(m[j] * 3u);
    }

private:
    GroupMask mask_;
};

/// Sums of one group bit of each of two code columns over a block: members
/// of the first, of the second, and of both.
struct PairSums {
    std::uint64_t first = 0, second = 0, both = 0;

    PairSums& operator+=(const PairSums& o) noexcept {
        first += o.first, second += o.second, both += o.both;
        return *this;
    }
};
/// Adds the sums of m codes (m <= kCodeBlock) taking bit `a` of `x` and bit `b` of `y`.
void add_pair_sums(PairSums& s, const std::uint8_t* x, unsigned a, const std::uint8_t* y, unsigned b,
                   std::size_t m) noexcept;

/// Sums of one group bit of each of three code columns over a block.
struct TripleSums {
    std::uint64_t f = 0, g = 0, p = 0, fg = 0, fp = 0, gp = 0, fgp = 0;

    TripleSums& operator+=(const TripleSums& o) noexcept {
        f += o.f, g += o.g, p += o.p, fg += o.fg, fp += o.fp, gp += o.gp, fgp += o.fgp;
        return *this;
    }
};
/// Adds the sums of m codes (m <= kCodeBlock): bit `a` of `f`, `b` of `g`, `c` of `p`.
void add_triple_sums(TripleSums& s, const std::uint8_t* f, unsigned a, const std::uint8_t* g, unsigned b,
                     const std::uint8_t* p, unsigned c, std::size_t m) noexcept;

}  // namespace lumetra
