#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "core/cpu.hpp"
#include "core/drift.hpp"
#include "core/intake.hpp"
#include "core/model_perf.hpp"
#include "core/segment.hpp"
#include "core/settings.hpp"

using namespace lumetra;
namespace k = lumetra::detail::kernels;

namespace {

std::uint64_t next(std::uint64_t& s) {
    s = s * 6364136223846793005ULL + 1442695040888963407ULL;
    return s >> 11;
}

// Runs f once on the baseline path and once on the path chosen for the
// process, and puts the choice back whatever happens.
struct BothPaths {
    ~BothPaths() { cpu::force_baseline(false); }
    template <class F>
    auto operator()(F&& f) {
        cpu::force_baseline(true);
        auto baseline = f();
        cpu::force_baseline(false);
        auto chosen = f();
        return std::make_pair(std::move(baseline), std::move(chosen));
    }
};

// Values of T over its whole range, with its extremes, zeros of both signs,
// infinities and NaN where T has them, and runs of repeats; an odd length,
// so that every kernel has a tail past its last full vector.
template <class T>
std::vector<T> mixed(std::size_t n, std::uint64_t seed) {
    std::vector<T> v(n);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t r = next(seed);
        if constexpr (std::is_floating_point_v<T>) {
            v[i] = static_cast<T>((static_cast<double>(r % 2001) - 1000.0) / 8.0);
        } else {
            T x;
            std::memcpy(&x, &r, sizeof x);
            v[i] = (r & 1u) ? x : static_cast<T>(r % 7);
        }
    }
    v[3] = std::numeric_limits<T>::lowest();
    v[10] = std::numeric_limits<T>::max();
    if constexpr (std::is_floating_point_v<T>) {
        v[5] = -T(0);
        v[6] = std::numeric_limits<T>::quiet_NaN();
        v[7] = std::numeric_limits<T>::infinity();
        v[8] = -std::numeric_limits<T>::infinity();
        v[n - 2] = std::numeric_limits<T>::quiet_NaN();
    }
    for (std::size_t i = 100; i < 140; ++i) v[i] = v[99];
    return v;
}

constexpr std::size_t kN = 2053;
constexpr double kInfinity = std::numeric_limits<double>::infinity();

using S = SegmentationThresholdType;
constexpr S kTypes[] = {S::GreaterThan, S::GreaterThanEqualTo, S::LessThan, S::LessThanEqualTo};

}  // namespace

TEST_CASE("vector-path setting texts: only an exact 'baseline' chooses") {
    CHECK(parse_setting_simd("baseline") == SimdChoice::Baseline);
    for (const char* text : {"", "Baseline", " baseline", "baseline ", "avx2", "auto", "0", "1"}) {
        CAPTURE(text);
        CHECK(parse_setting_simd(text) == std::nullopt);
    }
}

TEST_CASE("kernels take the AVX2 path exactly where the processor check and the setting allow") {
    const bool allowed = cpu::has_avx2() && simd_choice() == SimdChoice::Widest;
    CHECK(cpu::avx2() == allowed);
    cpu::force_baseline(true);
    CHECK_FALSE(cpu::avx2());
    cpu::force_baseline(false);
    CHECK(cpu::avx2() == allowed);
    const std::string said = std::string("AVX2 paths ") + (allowed ? "run" : "do not run") +
                             " here: the tests below compare " + (allowed ? "both paths" : "the baseline with itself");
    MESSAGE(said);
}

TEST_CASE_TEMPLATE("code kernels write the same codes on both paths", T, std::int8_t, std::uint8_t, std::int16_t,
                   std::uint16_t, std::int32_t, std::uint32_t, std::int64_t, float, double) {
    BothPaths both;
    const auto v = mixed<T>(kN, sizeof(T));
    std::vector<std::int64_t> picks = {0, 1, -1, 3, 200, -200, 70000, std::numeric_limits<std::int32_t>::max()};
    for (const std::int64_t pick : picks) {
        CAPTURE(pick);
        detail::ImplicitTest<T> test;
        if constexpr (std::is_floating_point_v<T>) {
            test = detail::ImplicitTest<T>::template make<double>(static_cast<double>(pick) + 0.5);
        } else {
            test = detail::ImplicitTest<T>::template make<std::int64_t>(pick);
        }
        auto [a, b] = both([&] {
            std::vector<std::uint8_t> c(kN);
            k::codes(v.data(), kN, c.data(), test);
            return c;
        });
        CHECK(a == b);
        for (const S type : kTypes) {
            const auto explicit_test = detail::ExplicitTest<T>::make(static_cast<double>(pick) + 0.25, type);
            auto [x, y] = both([&] {
                std::vector<std::uint8_t> c(kN);
                k::codes(v.data(), kN, c.data(), explicit_test);
                return c;
            });
            CHECK(x == y);
        }
    }
    // Every second element of a column twice as wide.
    std::vector<T> wide(2 * kN);
    for (std::size_t i = 0; i < kN; ++i) wide[2 * i] = v[i], wide[2 * i + 1] = v[kN - 1 - i];
    auto [a, b] = both([&] {
        std::vector<T> out(kN);
        k::every_second(reinterpret_cast<const char*>(wide.data()), kN, out.data());
        return out;
    });
    CHECK(std::memcmp(a.data(), b.data(), kN * sizeof(T)) == 0);
    CHECK(std::memcmp(a.data(), v.data(), kN * sizeof(T)) == 0);
}

TEST_CASE_TEMPLATE("codes with the check for a new key agree on both paths", T, float, double) {
    BothPaths both;
    using K = detail::KeyOf<T>;
    auto v = mixed<T>(kN, 99);
    // A column of few values, with one other value at the end or nowhere.
    const T few[] = {T(1), T(2.5), -T(0), T(7), T(-3), T(4), T(8), T(9)};
    for (std::size_t known = 1; known <= 8; ++known) {
        for (const bool other : {false, true}) {
            CAPTURE(known);
            CAPTURE(other);
            std::vector<T> col(kN);
            for (std::size_t i = 0; i < kN; ++i) col[i] = few[i % known];
            if (other) col[kN - 1] = v[kN / 2];
            K slots[8];
            for (std::size_t s = 0; s < 8; ++s) slots[s] = detail::key_bits(few[s < known ? s : 0]);
            const auto test = detail::ImplicitTest<T>::template make<double>(2.5);
            auto [a, b] = both([&] {
                std::vector<std::uint8_t> c(kN);
                const bool fresh = k::codes_and_new_key(col.data(), kN, c.data(), test, slots, known);
                return std::make_pair(fresh, c);
            });
            CHECK(a == b);
            CHECK(a.first == other);
        }
    }
}

TEST_CASE("range, binary and code-sum kernels agree on both paths") {
    BothPaths both;
    auto check_range = [&](auto tag) {
        using T = decltype(tag);
        const auto v = mixed<T>(kN, 5);
        for (const std::size_t n : {std::size_t{1}, std::size_t{7}, kN}) {
            auto [a, b] = both([&] {
                T lo{}, hi{};
                k::min_max(v.data(), n, lo, hi);
                return std::make_pair(lo, hi);
            });
            CHECK(a == b);
        }
    };
    check_range(std::int32_t{});
    check_range(std::int64_t{});
    check_range(std::uint32_t{});

    const auto bytes = mixed<std::uint8_t>(kN, 11);
    auto [a, b] = both([&] {
        std::vector<std::uint8_t> out(kN);
        k::binary_codes(bytes.data(), kN, out.data(), 0, 3);
        return out;
    });
    CHECK(a == b);

    const auto u64 = mixed<std::uint64_t>(kN, 12);
    for (const S type : kTypes) {
        const auto test = detail::ExplicitTest<std::uint64_t>::make(1e18, type);
        auto [x, y] = both([&] {
            std::vector<std::uint8_t> out(kN);
            k::codes(u64.data(), kN, out.data(), test);
            return out;
        });
        CHECK(x == y);
    }

    // Codes take the values 0 to 3; every choice of bits.
    std::vector<std::uint8_t> f(kCodeBlock), g(kCodeBlock), p(kCodeBlock);
    std::uint64_t seed = 3;
    for (std::size_t i = 0; i < kCodeBlock; ++i) {
        f[i] = next(seed) & 3u, g[i] = next(seed) & 3u, p[i] = next(seed) & 3u;
    }
    for (unsigned bits = 0; bits < 8; ++bits) {
        CAPTURE(bits);
        auto [x, y] = both([&] {
            PairSums s;
            add_pair_sums(s, f.data(), bits >> 2, g.data(), (bits >> 1) & 1u, kCodeBlock - 3);
            TripleSums t;
            add_triple_sums(t, f.data(), bits >> 2, g.data(), (bits >> 1) & 1u, p.data(), bits & 1u, kCodeBlock - 3);
            return std::vector<std::uint64_t>{s.first, s.second, s.both, t.f, t.g, t.p, t.fg, t.fp, t.gp, t.fgp};
        });
        CHECK(x == y);
    }
}

TEST_CASE("intake kernels agree on both paths") {
    BothPaths both;
    const auto ints = mixed<std::int64_t>(kN, 21);
    const auto reals = mixed<double>(kN, 22);
    const std::uint64_t keys[8] = {0, 1, 2, 3, 4, 5, 6, 0};
    std::uint64_t real_keys[8];
    for (std::size_t s = 0; s < 8; ++s) real_keys[s] = detail::key_bits(reals[s < 5 ? 20 + s : 20]);
    for (const std::size_t known : {std::size_t{1}, std::size_t{2}, std::size_t{4}, std::size_t{7}}) {
        CAPTURE(known);
        auto [a, b] = both([&] {
            std::vector<std::uint8_t> m1(kN), m2(kN), m3(kN), m4(kN);
            const std::size_t miss_int = k::bits_and_misses(ints.data(), kN, m1.data(), 3, keys, known);
            const std::size_t miss_real = k::bits_and_misses(reals.data(), kN, m2.data(), 0.5, real_keys, known);
            k::bits(ints.data(), kN, m3.data(), -1);
            k::bits(reals.data(), kN, m4.data(), std::nan(""));
            return std::make_tuple(miss_int, miss_real, m1, m2, m3, m4);
        });
        CHECK(a == b);
    }
    // Code points: each kind of refusal alone, at the start, within and at the end.
    for (const std::uint32_t bad : {0u, 0xD800u, 0xDFFFu, 0x110000u, 0xFFFFFFFFu}) {
        for (const std::size_t at : {std::size_t{0}, std::size_t{500}, kN - 1}) {
            std::vector<std::uint32_t> cps(kN, 0x10FFFFu);
            if (bad != 0) cps[at] = bad;
            auto [a, b] = both([&] { return k::all_encodable(reinterpret_cast<const char*>(cps.data()), kN); });
            CHECK(a == b);
            CHECK(a == (bad == 0));
        }
    }
    for (const std::int64_t lo : {std::int64_t{-7}, std::int64_t{0}, std::numeric_limits<std::int64_t>::min()}) {
        auto [a, b] = both([&] { return k::all_within(ints.data(), kN, lo, 6); });
        CHECK(a == b);
    }
}

TEST_CASE("label-pair counts agree on both paths") {
    BothPaths both;
    std::vector<std::int64_t> t(kN), p(kN);
    std::uint64_t seed = 8;
    for (std::size_t i = 0; i < kN; ++i) t[i] = next(seed) % 3, p[i] = next(seed) % 3;
    const std::vector<std::int32_t> t32(t.begin(), t.end()), p32(p.begin(), p.end());
    for (const bool outside : {false, true}) {
        if (outside) p[kN - 1] = std::int64_t{1} << 40;
        auto [a, b] = both([&] {
            const LabelPairCounts c64 = count_label_pairs(t.data(), p.data(), kN, 1);
            const LabelPairCounts c32 = count_label_pairs(t32.data(), p32.data(), kN, 1);
            const auto checked = count_label_pairs_checked(t.data(), p.data(), kN, 1);
            return std::vector<std::uint64_t>{c64.both,        c64.true_pos, c64.pred_pos, c32.both,
                                              c32.true_pos,    c32.pred_pos, checked.has_value(),
                                              checked ? checked->both : 0};
        });
        CHECK(a == b);
        CHECK(a[6] == !outside);
    }
}

TEST_CASE("continuous bins are found alike on both paths") {
    BothPaths both;
    std::uint64_t seed = 4;
    std::vector<double> baseline(5000);
    for (double& x : baseline) x = static_cast<double>(next(seed) % 100000) / 997.0;
    auto made = drift::BaselineContinuousBins::create(baseline, drift::QuantileType::FreedmanDiaconis);
    REQUIRE(made.ok());
    const drift::BinLookup lookup = made.value().lookup();
    REQUIRE(lookup.cells.count != nullptr);
    const std::size_t bins = static_cast<std::size_t>(made.value().baseline_hist().size());
    auto values = mixed<double>(kN, 31);
    // Values on the edges and a hair either side of them.
    const std::vector<double>& edges = made.value().bin_edges();
    for (std::size_t i = 0; i < edges.size() && 3 * i + 202 < kN; ++i) {
        values[200 + 3 * i] = edges[i];
        values[201 + 3 * i] = std::nextafter(edges[i], -kInfinity);
        values[202 + 3 * i] = std::nextafter(edges[i], kInfinity);
    }
    auto [a, b] = both([&] {
        std::vector<std::uint64_t> lanes(4 * bins, 0);
        drift::count_cells(lookup.cells, values, lanes.data(), bins);
        return lanes;
    });
    CHECK(a == b);
}

TEST_CASE_TEMPLATE("distinct counts skip known keys alike on both paths", T, float, double) {
    // Up to a few hundred values (the collision-free table), then thousands
    // (the hash set) and past the table's keys (the bitmap of hashes).
    BothPaths both;
    using K = detail::KeyOf<T>;
    for (const std::size_t distinct : {std::size_t{20}, std::size_t{300}, std::size_t{6000}, std::size_t{50000}}) {
        CAPTURE(distinct);
        std::uint64_t seed = distinct;
        std::vector<T> v(200'000);
        for (T& x : v) x = static_cast<T>(static_cast<double>(next(seed) % distinct) * 0.25);
        auto [a, b] = both([&] {
            detail::DistinctDecider<K> d(detail::label_limit(v.size()), false, true);
            std::vector<std::uint64_t> seen;
            for (std::size_t at = 0; at < v.size(); at += kCodeBlock) {
                d.add(v.data() + at, std::min(kCodeBlock, v.size() - at));
                seen.push_back(d.distinct_seen());
            }
            seen.push_back(d.thresholding());
            return seen;
        });
        CHECK(a == b);
    }
}
