// Sorting numbers by their order-preserving keys: every value of a numeric
// column becomes an unsigned 64-bit key whose unsigned order is the value's
// order (NaN above +inf, -0 with +0), and the keys are radix sorted. The
// statistics of two or more samples walk the sorted keys; argsort serves the
// p-value adjustments. Every routine is plain C++ on owned memory, so a caller
// may run it with the interpreter lock released, on any thread; the threads
// a sort starts (up to the thread cap) never change its result.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace lumetra::sorting {

/// How the values of a column are keyed: floats (every float and the
/// integers that NumPy would promote to float64 alongside them), signed or
/// unsigned 64-bit integers.
enum class KeyKind : std::uint8_t { Float, Signed, Unsigned };

/// The key of every NaN: above the key of +inf, below the largest key.
inline constexpr std::uint64_t kNanKey = 0xFFF8000000000000ull;

/// The key of a double: sign-magnitude bits mapped to unsigned order; -0
/// keyed as +0 and every NaN as kNanKey. Integer operations only, without a
/// branch, so that loops over columns vectorise.
inline std::uint64_t float_key(double v) noexcept {
    const std::uint64_t b = std::bit_cast<std::uint64_t>(v + 0.0);  // -0 + 0 is +0
    const std::uint64_t flip = static_cast<std::uint64_t>(std::bit_cast<std::int64_t>(b) >> 63) |
                               (std::uint64_t{1} << 63);
    const std::uint64_t key = b ^ flip;
    const std::uint64_t nan = 0 - static_cast<std::uint64_t>((b & ~(std::uint64_t{1} << 63)) > 0x7FF0000000000000ull);
    return key ^ ((key ^ kNanKey) & nan);
}

/// The double of a key made by float_key (the NaN key gives a quiet NaN).
inline double float_of_key(std::uint64_t k) noexcept {
    const std::uint64_t b = (k >> 63) != 0 ? (k & ~(std::uint64_t{1} << 63)) : ~k;
    return std::bit_cast<double>(b);
}

/// The key of a signed integer (its bits with the sign bit flipped).
inline std::uint64_t signed_key(std::int64_t v) noexcept {
    return std::bit_cast<std::uint64_t>(v) ^ (std::uint64_t{1} << 63);
}
inline std::int64_t signed_of_key(std::uint64_t k) noexcept {
    return std::bit_cast<std::int64_t>(k ^ (std::uint64_t{1} << 63));
}

/// A buffer of n words, not cleared: large ones on 2 MiB pages where the
/// system offers them (as NumPy allocates large arrays), so that a pass that
/// writes to thousands of places at once does not miss the address cache
/// on every word, and a fresh buffer costs a few page faults, not thousands.
/// A few large buffers freed are kept for the next ones (at most 4, 256 MiB
/// in all): a fresh page is cleared by the system before first use, which
/// costs about as much as a sorting pass over it.
struct FreeWords {
    std::size_t bytes = 0;
    void operator()(std::uint64_t* p) const noexcept;
};
using Words = std::unique_ptr<std::uint64_t[], FreeWords>;
/// Throws std::bad_alloc when the memory is not there.
Words allocate_words(std::size_t n);

/// Keys in a buffer that is not cleared when made (every key is written
/// before it is read), with room for one more key past the last.
class KeyArray {
public:
    KeyArray() = default;
    explicit KeyArray(std::size_t n) : data_(allocate_words(n + 1)), size_(n), capacity_(n + 1) {}

    std::uint64_t* data() noexcept { return data_.get(); }
    const std::uint64_t* data() const noexcept { return data_.get(); }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::uint64_t& operator[](std::size_t i) noexcept { return data_[i]; }
    std::uint64_t operator[](std::size_t i) const noexcept { return data_[i]; }
    std::uint64_t back() const noexcept { return data_[size_ - 1]; }
    std::uint64_t front() const noexcept { return data_[0]; }
    std::uint64_t* begin() noexcept { return data_.get(); }
    std::uint64_t* end() noexcept { return data_.get() + size_; }
    const std::uint64_t* begin() const noexcept { return data_.get(); }
    const std::uint64_t* end() const noexcept { return data_.get() + size_; }
    void pop_back() noexcept { --size_; }
    /// Appends a key; only the room made for one is there.
    void push_back(std::uint64_t k) noexcept {
        if (size_ < capacity_) data_[size_++] = k;
    }
    operator std::span<std::uint64_t>() noexcept { return {data_.get(), size_}; }  // NOLINT

private:
    Words data_;
    std::size_t size_ = 0, capacity_ = 0;
};

/// Sorts keys ascending, with up to `threads` threads.
void sort_keys(KeyArray& keys, unsigned threads);

namespace detail {
inline constexpr int kDigit = 11;
inline constexpr std::size_t kRadix = std::size_t{1} << kDigit;
// The first passes go over the 33 highest bits, in three digits of 11.
inline constexpr int kTopLow = 64 - 3 * kDigit;
inline constexpr std::size_t kComparisonSortBelow = 1536;
using Counts = std::array<std::size_t, kRadix>;
/// Comparison sort of a few keys.
void sort_few(std::uint64_t* a, std::size_t n);
/// Turns counts into starting offsets; true when one value holds all n.
bool offsets(Counts& c, std::size_t n) noexcept;
/// The two passes after the first over the top 33 bits (the words in `a`,
/// the second digit counted in `next`), then the runs of words equal on
/// those bits; the sorted words end in `a`.
void finish_top_passes(std::uint64_t* a, std::uint64_t* tmp, std::size_t n, Counts& next);
}  // namespace detail

/// The sorted keys of a column's values, each keyed by key(v[i]); `has_nan`
/// tells whether a value is NaN (key(x) == kNanKey for floats). The first
/// pass reads the values themselves (counting its digit first), so the
/// unsorted keys are never written out.
template <class View, class Key>
KeyArray sorted_keys(const View& v, Key&& key, bool& has_nan) {
    using detail::kRadix;
    const std::size_t n = v.size();
    KeyArray keys(n);
    std::uint64_t* out = keys.data();
    bool nan = false;
    if (n < detail::kComparisonSortBelow || n >= (std::size_t{1} << 32)) {
        for (std::size_t i = 0; i < n; ++i) {
            out[i] = key(v[i]);
            nan = nan | (out[i] == kNanKey);
        }
        has_nan = nan;
        if (n < detail::kComparisonSortBelow) {
            detail::sort_few(out, n);
        } else {
            sort_keys(keys, 1);
        }
        return keys;
    }
    constexpr int low = detail::kTopLow;
    constexpr std::uint64_t mask = kRadix - 1;
    // Two counters per digit value, so that equal digits in a row do not wait on one counter.
    std::array<std::array<std::uint32_t, kRadix>, 2> c{};
    std::size_t i = 0;
    for (; i + 1 < n; i += 2) {
        const std::uint64_t k0 = key(v[i]), k1 = key(v[i + 1]);
        nan = nan | (k0 == kNanKey) | (k1 == kNanKey);
        ++c[0][(k0 >> low) & mask];
        ++c[1][(k1 >> low) & mask];
    }
    if (i < n) {
        const std::uint64_t k0 = key(v[i]);
        nan = nan | (k0 == kNanKey);
        ++c[0][(k0 >> low) & mask];
    }
    has_nan = nan;
    detail::Counts at{}, next{};
    for (std::size_t r = 0; r < kRadix; ++r) at[r] = std::size_t{c[0][r]} + c[1][r];
    if (detail::offsets(at, n)) {
        // One value of the first digit: the keys are written, then sorted on the bits that vary.
        for (std::size_t j = 0; j < n; ++j) out[j] = key(v[j]);
        sort_keys(keys, 1);
        return keys;
    }
    std::array<std::array<std::uint32_t, kRadix>, 2> d{};
    for (i = 0; i + 1 < n; i += 2) {
        const std::uint64_t k0 = key(v[i]), k1 = key(v[i + 1]);
        out[at[(k0 >> low) & mask]++] = k0;
        ++d[0][(k0 >> (low + detail::kDigit)) & mask];
        out[at[(k1 >> low) & mask]++] = k1;
        ++d[1][(k1 >> (low + detail::kDigit)) & mask];
    }
    if (i < n) {
        const std::uint64_t k0 = key(v[i]);
        out[at[(k0 >> low) & mask]++] = k0;
        ++d[0][(k0 >> (low + detail::kDigit)) & mask];
    }
    for (std::size_t r = 0; r < kRadix; ++r) next[r] = std::size_t{d[0][r]} + d[1][r];
    Words tmp = allocate_words(n);
    detail::finish_top_passes(out, tmp.get(), n, next);
    return keys;
}

/// The permutation that sorts `keys` ascending (equal keys in index order):
/// order[r] is the index of the key of rank r. At most 2^32 - 1 keys.
std::vector<std::uint32_t> argsort_keys(std::span<const std::uint64_t> keys, unsigned threads);

/// The same for doubles (by their float_key), into order[0, n).
void argsort_doubles(std::span<const double> values, unsigned threads, std::uint32_t* order);

}  // namespace lumetra::sorting
