// Significance tests of two or more samples, and p-value adjustments for many
// tests, computed the way SciPy and statsmodels compute them (the package's
// lumetra.stats keeps their names, arguments and results), so that a p-value
// here is theirs to within their own accuracy:
//   ks_2samp              Kolmogorov-Smirnov, exact or asymptotic p-value;
//   cramervonmises_2samp  Cramer-von Mises, exact or asymptotic p-value;
//   anderson_ksamp        Anderson-Darling of k samples, p-value interpolated
//                         in Scholz and Stephens' table of critical values;
//   contingency_bins      chi-square and G tests of two samples' counts on
//                         the same bins;
//   adjust_pvalues        Bonferroni, Sidak, Holm, Holm-Sidak, Simes-Hochberg,
//                         Benjamini-Hochberg and Benjamini-Yekutieli.
// Samples arrive as order-preserving keys (core/sort.hpp); the tests sort
// them and walk them once, merged. Results depend on the values alone: the
// same inputs give the same bits on any thread and with any thread cap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <type_traits>
#include <string_view>
#include <vector>

#include "core/intake.hpp"
#include "core/result.hpp"
#include "core/sort.hpp"

namespace lumetra::stats {

/// Refusals of the tests.
enum class StatsError : std::uint8_t {
    NanInput,           ///< "The input contains nan values"
    TooFewSamples,      ///< "anderson_ksamp needs at least two samples"
    EmptySample,        ///< "anderson_ksamp encountered sample without observations"
    OneDistinctValue,   ///< "anderson_ksamp needs more than one distinct observation"
    TooFewObservations, ///< "anderson_ksamp needs at least three observations in all"
    NegativeVariance,   ///< "anderson_ksamp: the statistic's variance is negative for so few observations"
    NegativeCount,      ///< "All values in `observed` must be nonnegative."
    NoData,             ///< "No data: every bin is empty in both counts"
    ZeroTotal,          ///< "The counts of one side sum to zero: its expected frequencies are all zero"
    ExactTooLarge,      ///< "The exact distribution for samples this large needs too much memory; use method='asymptotic'"
    TooManyValues,      ///< "Too many values (at most 2**32 - 1)"
};
/// Display text of a test's refusal.
std::string_view message(StatsError e) noexcept;

/// What a test does with NaN in its samples.
enum class NanPolicy : std::uint8_t { Propagate, Raise, Omit };

/// Conditions a caller reports as warnings (bits of a result's `notes`).
enum Note : unsigned {
    kSmallSample = 1u << 0,       ///< a sample is too small: the result is all NaN
    kSmallAfterOmit = 1u << 1,    ///< as kSmallSample, once NaNs were omitted
    kExactImpossible = 1u << 2,   ///< exact KS requested for sizes whose lcm is too large: asymptotic
    kExactFailed = 1u << 3,       ///< the exact KS computation failed: asymptotic
    kPvalueCapped = 1u << 4,      ///< AD p-value above the table: 0.25 returned
    kPvalueFloored = 1u << 5,     ///< AD p-value below the table: 0.001 returned
};

/// A sample as the sorted keys of its values (NaN keyed as sorting::kNanKey,
/// above every other key).
struct Sample {
    sorting::KeyArray keys;
    bool has_nan = false;
};

/// A contiguous column viewed as plain loads.
template <class T>
struct Contiguous {
    const T* data;
    std::size_t n;
    std::size_t size() const noexcept { return n; }
    T operator[](std::size_t i) const noexcept { return data[i]; }
};

/// The sorted keys of a column's values (as `kind` keys them), noting any NaN.
template <class View>
Sample sample_of(const View& v, sorting::KeyKind kind) {
    using T = std::remove_cvref_t<decltype(v[0])>;
    Sample s;
    const auto sort_view = [&](const auto& view) {
        if constexpr (std::is_floating_point_v<T>) {
            s.keys = sorting::sorted_keys(view, [](T x) { return sorting::float_key(static_cast<double>(x)); },
                                          s.has_nan);
        } else {
            switch (kind) {
                case sorting::KeyKind::Float:
                    s.keys = sorting::sorted_keys(
                        view, [](T x) { return sorting::float_key(static_cast<double>(x)); }, s.has_nan);
                    break;
                case sorting::KeyKind::Signed:
                    s.keys = sorting::sorted_keys(
                        view, [](T x) { return sorting::signed_key(static_cast<std::int64_t>(x)); }, s.has_nan);
                    break;
                case sorting::KeyKind::Unsigned:
                    s.keys = sorting::sorted_keys(
                        view, [](T x) { return static_cast<std::uint64_t>(x); }, s.has_nan);
                    break;
            }
            s.has_nan = false;  // an integer key that looks like NaN's is a number
        }
    };
    if constexpr (requires { v.stride; v.data; }) {
        if (v.stride == static_cast<std::ptrdiff_t>(sizeof(T)) &&
            reinterpret_cast<std::uintptr_t>(v.data) % alignof(T) == 0) {
            sort_view(Contiguous<T>{reinterpret_cast<const T*>(v.data), v.size()});
            return s;
        }
    }
    sort_view(v);
    return s;
}

/// A sample yet to be keyed: its size, and the writer of its keys, which
/// runs on the thread that then sorts them (samples are keyed and sorted
/// side by side).
struct SampleSource {
    std::size_t size = 0;
    std::function<Sample()> make;
};

/// The source of a column's sample (the view is kept, by value).
template <class View>
SampleSource source_of(const View& v, sorting::KeyKind kind) {
    return SampleSource{v.size(), [v, kind] { return sample_of(v, kind); }};
}

// ---- Kolmogorov-Smirnov ------------------------------------------------------------

enum class Alternative : std::uint8_t { TwoSided, Less, Greater };
enum class KsMethod : std::uint8_t { Auto, Exact, Asymp };

/// The two-sample KS test: the statistic (rounded to a multiple of 1/lcm
/// once the exact distribution is tried), its p-value, where it is reached
/// (a key of the first sample's values if one reaches it, else of the
/// second's) and its sign (+1: the first sample's ECDF is above).
/// `undefined` for a NaN propagated or a sample too small: every field NaN.
struct KsResult {
    double statistic = 0.0;
    double pvalue = 0.0;
    std::uint64_t location = 0;
    int sign = 1;
    bool undefined = false;
    unsigned notes = 0;
};

/// The test of samples x and y. `method` Auto is exact when neither sample
/// exceeds 10000 values; Exact falls back to Asymp (noted) where the exact
/// distribution cannot be computed. NanInput under NanPolicy::Raise.
Result<KsResult, StatsError> ks_2samp(SampleSource x, SampleSource y, Alternative alternative, KsMethod method,
                                      NanPolicy nan_policy);

/// P(D >= d) of the exact two-sample distribution of sizes m and n at
/// d = h / lcm(m, n), two-sided or one-sided; false where it cannot be
/// computed in double precision (as ks_2samp then falls back).
bool ks_exact_sf(std::int64_t m, std::int64_t n, std::int64_t h, bool two_sided, double& p) noexcept;

// ---- Cramer-von Mises --------------------------------------------------------------

enum class CvmMethod : std::uint8_t { Auto, Exact, Asymptotic };

struct CvmResult {
    double statistic = 0.0;
    double pvalue = 0.0;
    bool undefined = false;
    unsigned notes = 0;
};

/// The two-sample Cramer-von Mises test (midranks for ties). Auto is exact
/// when neither sample exceeds 20 values. A sample of fewer than 2 values
/// gives an undefined result (noted).
Result<CvmResult, StatsError> cramervonmises_2samp(SampleSource x, SampleSource y, CvmMethod method,
                                                  NanPolicy nan_policy);

// ---- Anderson-Darling --------------------------------------------------------------

enum class AdVariant : std::uint8_t { Midrank, Right, Continuous };

struct AdResult {
    double statistic = 0.0;
    double critical[7] = {};  ///< at 25%, 10%, 5%, 2.5%, 1%, 0.5%, 0.1%
    double pvalue = 0.0;
    unsigned notes = 0;
};

/// The k-sample Anderson-Darling test; NaN sorts above every value and ties
/// with NaN only. The p-value interpolates log significance quadratically in
/// the critical values, capped to [0.001, 0.25] (noted).
Result<AdResult, StatsError> anderson_ksamp(std::vector<SampleSource> sources, AdVariant variant);

// ---- chi-square and G on bins -------------------------------------------------------

/// Counts of two samples on the same bins, scanned: the bins where either
/// count is non-zero are kept (a bin empty on both sides has no expected
/// frequency); their totals.
struct BinTotals {
    std::size_t bins = 0;  ///< bins given
    std::size_t kept = 0;  ///< bins kept
    double reference_total = 0.0, current_total = 0.0, total = 0.0;
    // Exact integer totals for integer counts (the products of totals are
    // formed from them exactly).
    bool integer = false;
    unsigned __int128 reference_sum = 0, current_sum = 0;
};

struct ContingencyResult {
    double statistic = 0.0;
    double pvalue = 0.0;
    std::int64_t dof = 0;
};

/// Scans the counts (equal lengths): NegativeCount, NoData (no bin kept),
/// ZeroTotal (one side sums to zero).
template <class View>
Result<BinTotals, StatsError> scan_bins(const View& reference, const View& current);

/// The statistic of the 2 x kept table (power divergence with `lambda`: 1
/// Pearson, 0 log-likelihood, -1 modified log-likelihood, any other value
/// Cressie-Read), Yates-corrected when it has one degree of freedom and
/// `correction` is set, its chi-square p-value, and the expected
/// frequencies (2 x kept, row major) into `expected`.
template <class View>
ContingencyResult contingency_bins(const View& reference, const View& current, const BinTotals& totals,
                                   bool correction, double lambda, double* expected);

// ---- p-value adjustments ------------------------------------------------------------

enum class Correction : std::uint8_t { Bonferroni, Sidak, HolmSidak, Holm, SimesHochberg, FdrBH, FdrBY };

/// Adjusted p-values and rejections at `alpha` written to corrected[0, n)
/// and reject[0, n), in the order of `pvalues` (sorted ascending when
/// `return_sorted`); `is_sorted` takes them as sorted already.
/// TooManyValues beyond 2^32 - 1 values.
Result<void, StatsError> adjust_pvalues(std::span<const double> pvalues, double alpha, Correction method,
                                        bool is_sorted, bool return_sorted, std::uint8_t* reject,
                                        double* corrected);

/// The sum of a[0, n) in the pairwise order of NumPy's reductions (blocks of
/// up to 128 summed in eight lanes, halves split at multiples of 8).
double pairwise_sum(const double* a, std::size_t n) noexcept;

}  // namespace lumetra::stats
