#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/drift.hpp"
#include "core/intake.hpp"
#include "core/model_perf.hpp"

using namespace lumetra;

namespace {

template <class T>
std::vector<T> labels(std::size_t n, std::uint64_t seed) {
    std::vector<T> v(n);
    for (auto& x : v) {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        x = static_cast<T>(static_cast<std::int64_t>(seed >> 61) - 2);  // -2 .. 5
    }
    return v;
}

}  // namespace

TEST_CASE_TEMPLATE("label pair counts match a pair-by-pair count across lane-counter blocks", T, std::int32_t,
                   std::int64_t) {
    // Past 2^16 pairs the lane counters are widened; the label may be any value.
    for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{65535}, std::size_t{65536},
                          std::size_t{200'003}}) {
        const auto t = labels<T>(n, 1), p = labels<T>(n, 2);
        for (std::int32_t label : {1, 0, -2, 7}) {
            CAPTURE(n);
            CAPTURE(label);
            ConfusionMatrix pairwise;
            for (std::size_t i = 0; i < n; ++i) {
                pairwise.push(static_cast<std::int32_t>(t[i]), static_cast<std::int32_t>(p[i]), label);
            }
            ConfusionMatrix batch;
            REQUIRE(batch.push_dataset(Packed<T>{t.data(), n}, Packed<T>{p.data(), n}, label).ok());
            CHECK(batch.true_positive == pairwise.true_positive);
            CHECK(batch.false_positive == pairwise.false_positive);
            CHECK(batch.true_negative == pairwise.true_negative);
            CHECK(batch.false_negative == pairwise.false_negative);
        }
    }
}

TEST_CASE("all_within finds a single value outside the bounds anywhere") {
    const std::int64_t lo = std::numeric_limits<std::int32_t>::min(), hi = std::numeric_limits<std::int32_t>::max();
    std::vector<std::int64_t> v(1001, 5);
    CHECK(detail::kernels::all_within(v.data(), v.size(), lo, hi));
    CHECK(detail::kernels::all_within(v.data(), 0, lo, hi));
    for (std::size_t at : {std::size_t{0}, std::size_t{500}, std::size_t{1000}}) {
        for (std::int64_t bad : {hi + 1, lo - 1, std::numeric_limits<std::int64_t>::min()}) {
            CAPTURE(at);
            CAPTURE(bad);
            v[at] = bad;
            CHECK_FALSE(detail::kernels::all_within(v.data(), v.size(), lo, hi));
            v[at] = hi;
            CHECK(detail::kernels::all_within(v.data(), v.size(), lo, hi));
            v[at] = 5;
        }
    }
}

TEST_CASE("code points without a UTF-8 form are found at any position, and only inside cells") {
    struct Case {
        std::uint32_t cp;
        bool ok;
    };
    const Case cases[] = {{0, true},      {0x7F, true},      {0xD7FF, true},     {0xD800, false},  {0xDBFF, false},
                          {0xDFFF, false}, {0xE000, true},    {0x10FFFF, true},   {0x110000, false},
                          {0xFFFFFFFF, false}};
    // Three cells of width 3, one byte off alignment, with a stride of 4
    // code points: the fourth slot of each cell lies outside it.
    for (const Case& c : cases) {
        for (std::size_t at : {std::size_t{0}, std::size_t{4}, std::size_t{10}}) {
            CAPTURE(c.cp);
            CAPTURE(at);
            std::vector<char> bytes(1 + 12 * 4, 0);
            const std::uint32_t gap = 0xD800;  // never read: outside every cell
            for (std::size_t slot = 3; slot < 12; slot += 4) std::memcpy(bytes.data() + 1 + slot * 4, &gap, 4);
            std::memcpy(bytes.data() + 1 + at * 4, &c.cp, 4);
            const Ucs4Column strided{bytes.data() + 1, 16, 3, 3};
            CHECK(ucs4_all_encodable(strided) == c.ok);
            CHECK(detail::kernels::all_encodable(bytes.data() + 1 + at * 4, 1) == c.ok);
        }
    }
    const std::vector<char32_t> packed = {U'a', U'b', 0, U'c', 0xD800, 0};
    CHECK(ucs4_all_encodable(Ucs4Column{reinterpret_cast<const char*>(packed.data()), 12, 1, 3}));
    CHECK_FALSE(ucs4_all_encodable(Ucs4Column{reinterpret_cast<const char*>(packed.data()), 12, 2, 3}));
}

TEST_CASE("add_ones gives the bits of adding 1.0 one at a time") {
    // Integers, decayed weights with full mantissas, values just below powers
    // of two (where an addition rounds), tiny and negative values, and values
    // past 2^53 (where additions stop changing anything).
    std::vector<double> starts = {0.0,        -0.0,          1.0,           0.1,       3.5,
                                  1e-300,     -2.75,         0x1p52 - 0.5,  0x1p53 - 1.0, 0x1p53,
                                  0x1p53 + 2, 0x1p54,        1e300,         std::nan(""), -INFINITY};
    double w = 1.0;
    for (int i = 0; i < 40; ++i) {
        w = w * 0.7937005259840998 + 1.0;  // a weight decayed over and over
        starts.push_back(w);
        starts.push_back(std::nextafter(std::ldexp(1.0, i), 0.0));
        starts.push_back(std::ldexp(1.0, i) + std::ldexp(1.0, i - 52));
    }
    for (double y : starts) {
        for (std::uint64_t k : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{2}, std::uint64_t{3},
                                std::uint64_t{1000}, std::uint64_t{70'001}}) {
            CAPTURE(y);
            CAPTURE(k);
            double one_by_one = y;
            for (std::uint64_t j = 0; j < k; ++j) one_by_one += 1.0;
            const double at_once = drift::add_ones(y, k);
            CHECK(((std::isnan(at_once) && std::isnan(one_by_one)) ||
                   std::memcmp(&at_once, &one_by_one, sizeof at_once) == 0));
        }
    }
}

TEST_CASE("a decay-mode batch leaves the weights single updates would, also after decay steps") {
    std::vector<double> base(500);
    for (std::size_t i = 0; i < base.size(); ++i) base[i] = std::sin(0.37 * static_cast<double>(i)) * 10.0;
    auto batch = drift::StreamingContinuousDataDrift::new_decay(base, std::nullopt, 3).value();
    auto single = drift::StreamingContinuousDataDrift::new_decay(base, std::nullopt, 3).value();
    const drift::DataDriftType js[] = {drift::DataDriftType::JensenShannon};
    std::vector<double> runtime(20'011);
    for (int round = 0; round < 4; ++round) {
        for (std::size_t i = 0; i < runtime.size(); ++i) {
            runtime[i] = std::cos(0.11 * static_cast<double>(i * (round + 1))) * 12.0;
        }
        runtime[5] = std::nan("");
        REQUIRE(batch.update_stream_batch(runtime).ok());
        for (double v : runtime) single.update_stream(v);
        CHECK(std::memcmp(batch.state().runtime_bins().data(), single.state().runtime_bins().data(),
                          single.state().runtime_bins().size() * sizeof(double)) == 0);
        CHECK(batch.state().stream_total() == single.state().stream_total());
        REQUIRE(batch.compute_drift_multiple(js).ok());  // decays both: weights no longer integers
        REQUIRE(single.compute_drift_multiple(js).ok());
    }
}
