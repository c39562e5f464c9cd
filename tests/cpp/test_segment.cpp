#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <set>
#include <vector>

#include "core/data_bias.hpp"
#include "core/model_bias.hpp"
#include "core/segment.hpp"

using namespace lumetra;

namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

template <class T>
Packed<T> packed(const std::vector<T>& v) {
    return Packed<T>{v.data(), v.size()};
}

// All codes of a column, one scan pass in blocks.
std::vector<std::uint8_t> all_codes(GroupCodes& c) {
    std::vector<std::uint8_t> out(c.size());
    for (std::size_t b = 0; b < c.size(); b += kCodeBlock) c.scan(b, std::min(c.size(), b + kCodeBlock), out.data() + b);
    return out;
}

// The choice rule applied to an exact distinct count (bit patterns; every NaN its own value).
unsigned expected_bit(const std::vector<double>& v) {
    std::set<std::uint64_t> keys;
    std::uint64_t nans = 0;
    for (double x : v) {
        if (std::isnan(x)) {
            ++nans;
        } else {
            std::uint64_t k;
            std::memcpy(&k, &x, sizeof k);
            keys.insert(k);
        }
    }
    return detail::label_mode_for(keys.size() + nans, v.size()) ? 0u : 1u;
}

std::uint64_t lcg(std::uint64_t& s) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return s >> 11;
}

// n values of which `distinct` differ (the i-th new value appears first at a
// random place), optionally with the new values held back to the end.
std::vector<double> column_with(std::size_t n, std::size_t distinct, bool late, std::uint64_t seed) {
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(lcg(seed) % 3);
    for (std::size_t k = 0; k < distinct; ++k) {
        const std::size_t at = late ? n - distinct + k : static_cast<std::size_t>(lcg(seed) % n);
        v[at] = 1000.0 + static_cast<double>(k) * 0.5;
    }
    return v;
}

}  // namespace

TEST_CASE("label limit is the last count the choice rule label-matches") {
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{3}, std::size_t{4}, std::size_t{79},
                          std::size_t{80}, std::size_t{81}, std::size_t{1000}, std::size_t{12345}}) {
        CAPTURE(n);
        const std::uint64_t limit = detail::label_limit(n);
        for (std::uint64_t d = 0; d <= n + 1; ++d) {
            if (d <= limit) {
                CHECK(detail::label_mode_for(d, n));
            } else if (d <= n) {
                CHECK_FALSE(detail::label_mode_for(d, n));
            }
        }
    }
}

TEST_CASE("the implicit choice follows the exact distinct count in every phase of the count") {
    // 200000 elements allow 10000 distinct values: the counts below cross the
    // small set, the hash set, and the bitmap of hashes, which alone cannot
    // show a count at or just above the limit.
    const std::size_t n = 200'000;
    REQUIRE(detail::label_limit(n) == 10'000);
    struct Case {
        std::size_t distinct;
        bool late;
    };
    const Case cases[] = {{0, false},     {5, false},     {80, false},    {5000, false},  {9997, false},
                          {9998, true},   {9999, false},  {10'500, false}, {10'500, true}, {150'000, false}};
    for (const Case& c : cases) {
        CAPTURE(c.distinct);
        CAPTURE(c.late);
        const auto v = column_with(n, c.distinct, c.late, c.distinct + 1);
        ImplicitCodes<double, Packed<double>> codes(packed(v), 2.0);
        const auto written = all_codes(codes);
        CHECK(codes.final_bit() == expected_bit(v));
        // The same column read with a stride (gathered a block at a time).
        std::vector<double> wide(2 * n);
        for (std::size_t i = 0; i < n; ++i) wide[2 * i] = v[i];
        ImplicitCodes<double, Strided<double>> strided(Strided<double>{reinterpret_cast<const char*>(wide.data()), 16, n},
                                                       2.0);
        CHECK(all_codes(strided) == written);
        CHECK(strided.final_bit() == codes.final_bit());
        // In single precision (every value above is exact there): 32-bit keys,
        // whose known ones are skipped eight at a time.
        const std::vector<float> f(v.begin(), v.end());
        ImplicitCodes<float, Packed<float>> single(packed(f), 2.0);
        CHECK(all_codes(single) == written);
        CHECK(single.final_bit() == codes.final_bit());
        for (std::size_t i = 0; i < n; i += 997) {
            CHECK(written[i] == ((v[i] == 2.0) | ((v[i] >= 2.0) << 1)));
        }
    }
}

TEST_CASE_TEMPLATE("a column of one, two or five values that gains many later is counted in full", T, float,
                   double) {
    // The first blocks hold only the few values (checked in one pass with the
    // codes); the new values all come after them, around the limit.
    const std::size_t n = 200'000;
    const std::size_t limit = detail::label_limit(n);
    for (const std::size_t few : {1, 2, 5}) {
        for (const std::size_t extra : {limit - few, limit - few + 1}) {
            CAPTURE(few);
            CAPTURE(extra);
            std::vector<T> v(n);
            for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<T>(i % few);
            for (std::size_t k = 0; k < extra; ++k) v[n - extra + k] = static_cast<T>(1000 + k);
            ImplicitCodes<T, Packed<T>> codes(packed(v), 1.0);
            all_codes(codes);
            CHECK(codes.final_bit() == (extra > limit - few ? 1u : 0u));
        }
    }
}

TEST_CASE("signed zeros are two values and every NaN is a value of its own") {
    // 100 elements allow 5 distinct values.
    struct Case {
        std::vector<double> head;
        unsigned bit;
    };
    const Case cases[] = {
        {{0.0, -0.0, 1.0, 2.0, 3.0}, 0},        // five values: label matching
        {{0.0, -0.0, 1.0, 2.0, 3.0, 4.0}, 1},   // six: thresholding
        {{kNaN, kNaN, kNaN, 1.0, 2.0}, 0},      // three NaN and two numbers
        {{kNaN, kNaN, kNaN, 1.0, 2.0, kNaN}, 1},
        {{kInf, -kInf, 1.0, 1.0, 1.0, 1.0}, 0},
    };
    for (const Case& c : cases) {
        std::vector<double> v(100, 1.0);
        std::copy(c.head.begin(), c.head.end(), v.begin());
        ImplicitCodes<double, Packed<double>> d(packed(v), 1.0);
        all_codes(d);
        CHECK(d.final_bit() == c.bit);
        std::vector<float> f(v.begin(), v.end());
        ImplicitCodes<float, Packed<float>> s(packed(f), 1.0);
        all_codes(s);
        CHECK(s.final_bit() == c.bit);
    }
}

TEST_CASE("narrow integer columns are decided by a table of every value") {
    // 8-bit columns longer than 256 / 0.05 elements are always label-matched.
    std::vector<std::int8_t> wide(6000);
    for (std::size_t i = 0; i < wide.size(); ++i) wide[i] = static_cast<std::int8_t>(i);
    ImplicitCodes<std::int8_t, Packed<std::int8_t>> a(packed(wide), std::int64_t{-3});
    const auto codes = all_codes(a);
    CHECK(a.final_bit() == 0);
    CHECK(codes[253] == 3);  // -3 == -3, and at least -3
    CHECK(codes[0] == 2);    // 0 >= -3
    CHECK(codes[128] == 0);  // -128
    // Shorter: 100 elements allow 5 values; the sixth decides.
    for (std::size_t distinct : {std::size_t{4}, std::size_t{5}}) {
        std::vector<std::uint16_t> v(100, 7);
        for (std::size_t k = 0; k < distinct; ++k) v[90 + k] = static_cast<std::uint16_t>(60000 + k);
        v[0] = 7;
        ImplicitCodes<std::uint16_t, Packed<std::uint16_t>> b(packed(v), std::int64_t{7});
        all_codes(b);
        CHECK(b.final_bit() == (distinct + 1 > 5 ? 1u : 0u));
    }
}

TEST_CASE_TEMPLATE("implicit codes compare as the wide value would", T, std::int8_t, std::uint8_t, std::int16_t,
                   std::uint16_t, std::int32_t, std::uint32_t, std::int64_t, float, double) {
    std::vector<T> v;
    for (long double x : {-129.0L, -128.0L, -1.0L, 0.0L, 1.0L, 2.0L, 127.0L, 128.0L, 255.0L, 256.0L, 65535.0L,
                          65536.0L, 2147483647.0L, 4294967295.0L, 1e18L}) {
        if (x >= static_cast<long double>(std::numeric_limits<T>::lowest()) &&
            x <= static_cast<long double>(std::numeric_limits<T>::max())) {
            v.push_back(static_cast<T>(x));
        }
    }
    if constexpr (std::is_floating_point_v<T>) {
        for (T x : {T(0.1), T(-0.0), T(kNaN), T(kInf), T(-kInf), std::numeric_limits<T>::max(),
                    std::numeric_limits<T>::denorm_min()}) {
            v.push_back(x);
        }
        for (double t : {0.1, -0.0, 0.0, 1.0, 1.0000000001, 0.09999999, 1e39, -1e39, kInf, -kInf, kNaN, 1e-46}) {
            CAPTURE(t);
            const auto test = detail::ImplicitTest<T>::make(t);
            std::vector<std::uint8_t> codes(v.size());
            detail::kernels::codes(v.data(), v.size(), codes.data(), test);
            for (std::size_t i = 0; i < v.size(); ++i) {
                CAPTURE(v[i]);
                const double w = static_cast<double>(v[i]);
                CHECK(codes[i] == ((w == t) | ((w >= t) << 1)));
            }
        }
    } else {
        for (std::int64_t t : {std::numeric_limits<std::int64_t>::min(), std::int64_t{-129}, std::int64_t{-128},
                               std::int64_t{-1}, std::int64_t{0}, std::int64_t{2}, std::int64_t{128},
                               std::int64_t{255}, std::int64_t{256}, std::int64_t{65536}, std::int64_t{4294967296},
                               std::numeric_limits<std::int64_t>::max()}) {
            CAPTURE(t);
            const auto test = detail::ImplicitTest<T>::make(t);
            std::vector<std::uint8_t> codes(v.size());
            detail::kernels::codes(v.data(), v.size(), codes.data(), test);
            for (std::size_t i = 0; i < v.size(); ++i) {
                CAPTURE(v[i]);
                const auto w = static_cast<std::int64_t>(v[i]);
                CHECK(codes[i] == ((w == t) | ((w >= t) << 1)));
            }
        }
    }
}

TEST_CASE_TEMPLATE("explicit codes compare in double precision", T, std::int8_t, std::uint8_t, std::int16_t,
                   std::uint16_t, std::int32_t, std::uint32_t, std::int64_t, std::uint64_t, float, double) {
    std::vector<T> v = {std::numeric_limits<T>::lowest(), std::numeric_limits<T>::max(), T(0), T(1), T(2), T(100)};
    if constexpr (std::is_signed_v<T>) v.push_back(T(-1));
    if constexpr (sizeof(T) == 8 && !std::is_floating_point_v<T>) {
        // Above 2^53 several integers share one double.
        v.push_back(static_cast<T>((std::uint64_t{1} << 62) + 1));
        v.push_back(static_cast<T>((std::uint64_t{1} << 62) - 1));
        v.push_back(static_cast<T>(std::uint64_t{1} << 62));
    }
    if constexpr (std::is_floating_point_v<T>) {
        v.insert(v.end(), {T(kNaN), T(kInf), T(-kInf), T(0.1), T(-0.0), std::numeric_limits<T>::denorm_min()});
    }
    const double two62 = 4611686018427387904.0;
    using S = SegmentationThresholdType;
    for (double t : {0.0, -0.0, 1.0, 1.5, -0.5, 99.999999, 0.1, 1e300, -1e300, kInf, -kInf, kNaN, two62,
                     std::nextafter(two62, 0.0), std::nextafter(two62, kInf), 1e-46, 18446744073709551616.0}) {
        for (S type : {S::GreaterThan, S::GreaterThanEqualTo, S::LessThan, S::LessThanEqualTo}) {
            CAPTURE(t);
            CAPTURE(static_cast<int>(type));
            const auto test = detail::ExplicitTest<T>::make(t, type);
            std::vector<std::uint8_t> codes(v.size());
            detail::kernels::codes(v.data(), v.size(), codes.data(), test);
            for (std::size_t i = 0; i < v.size(); ++i) {
                CAPTURE(v[i]);
                const double w = static_cast<double>(v[i]);
                bool in = false;
                switch (type) {
                    case S::GreaterThan: in = w > t; break;
                    case S::GreaterThanEqualTo: in = w >= t; break;
                    case S::LessThan: in = w < t; break;
                    case S::LessThanEqualTo: in = w <= t; break;
                }
                CHECK(codes[i] == (in ? 3 : 0));
            }
        }
    }
}

TEST_CASE("counting from codes equals counting from masks when a choice changes mid-column") {
    // Feature and truth each flip to thresholding at some block (their new
    // values arrive late or early), and a short column never flips.
    const std::size_t n = 50'000;
    struct Case {
        std::size_t feature_distinct, truth_distinct;
        bool feature_late, truth_late;
    };
    const Case cases[] = {{0, 0, false, false},    {4000, 0, true, false}, {0, 4000, false, true},
                          {4000, 4000, true, false}, {4000, 4000, false, true}, {2400, 2600, true, true}};
    for (const Case& c : cases) {
        CAPTURE(c.feature_distinct);
        CAPTURE(c.truth_distinct);
        const auto f = column_with(n, c.feature_distinct, c.feature_late, 11);
        const auto t = column_with(n, c.truth_distinct, c.truth_late, 12);
        const auto p = column_with(n, 0, false, 13);
        ImplicitCodes<double, Packed<double>> fc(packed(f), 1.0), tc(packed(t), 1.0), pc(packed(p), 2.0);
        const FacetCounts got = count_facets(fc, tc);
        const GroupMask fm = label_numeric<double>(view_of(f), 1.0);
        const GroupMask tm = label_numeric<double>(view_of(t), 1.0);
        const GroupMask pm = label_numeric<double>(view_of(p), 2.0);
        const FacetCounts want = count_facets(fm, tm);
        CHECK(got.len_a == want.len_a);
        CHECK(got.len_d == want.len_d);
        CHECK(got.label_positive_a == want.label_positive_a);
        CHECK(got.label_positive_d == want.label_positive_d);

        ImplicitCodes<double, Packed<double>> fc2(packed(f), 1.0), tc2(packed(t), 1.0);
        auto from_codes = model_bias_from_codes(fc2, pc, tc2);
        auto from_masks = model_bias_analysis_core(fm, pm, tm);
        REQUIRE(from_codes.ok() == from_masks.ok());
        if (from_masks.ok()) {
            for (std::size_t m = 0; m < metric_count<ModelBiasMetric>; ++m) {
                const auto metric = static_cast<ModelBiasMetric>(m);
                CAPTURE(m);
                const float a = *from_codes.value().get(metric), b = *from_masks.value().get(metric);
                CHECK(((std::isnan(a) && std::isnan(b)) || std::memcmp(&a, &b, sizeof a) == 0));
            }
        } else {
            CHECK(from_codes.error() == from_masks.error());
        }
    }
}

TEST_CASE("the generalized entropy from codes adds its terms in element order") {
    // Long enough that the running sums cross many binades and the block
    // shortcut fails at the start; masks take the reference path.
    const std::size_t n = 300'001;
    std::vector<std::int8_t> f(n), g(n), p(n);
    std::uint64_t s = 5;
    for (std::size_t i = 0; i < n; ++i) {
        f[i] = static_cast<std::int8_t>(lcg(s) % 2);
        g[i] = static_cast<std::int8_t>(lcg(s) % 7 < 2);
        p[i] = static_cast<std::int8_t>(lcg(s) % 3 == 0);
    }
    ImplicitCodes<std::int8_t, Packed<std::int8_t>> fc(packed(f), std::int64_t{1}), gc(packed(g), std::int64_t{1}),
        pc(packed(p), std::int64_t{1});
    auto got = model_bias_from_codes(fc, pc, gc);
    GroupMask fm(n), gm(n), pm(n);
    for (std::size_t i = 0; i < n; ++i) fm[i] = f[i], gm[i] = g[i], pm[i] = p[i];
    const float want = batch_generalized_entropy(pm, gm);
    REQUIRE(got.ok());
    CHECK(*got.value().get(ModelBiasMetric::GeneralizedEntropy) == want);
}
