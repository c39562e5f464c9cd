#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/intervals.hpp"
#include "core/resample.hpp"

using namespace lumetra;
using namespace lumetra::resample;

TEST_CASE("Philox 4x32-10 gives the published known answers") {
    CHECK(philox({0, 0, 0, 0}, {0, 0}) == std::array<std::uint32_t, 4>{0x6627e8d5, 0xe169c58d, 0xbc57ac4c, 0x9b00dbd8});
    CHECK(philox({0xffffffff, 0xffffffff, 0xffffffff, 0xffffffff}, {0xffffffff, 0xffffffff}) ==
          std::array<std::uint32_t, 4>{0x408f276d, 0x41c83b0e, 0xa20bc7c6, 0x6d5451fd});
    CHECK(philox({0x243f6a88, 0x85a308d3, 0x13198a2e, 0x03707344}, {0xa4093822, 0x299f31d0}) ==
          std::array<std::uint32_t, 4>{0xd16cfe09, 0x94fdcceb, 0x5001e420, 0x24126ea1});
}

TEST_CASE("a stream is its address alone, and uniforms lie in [0, 1)") {
    Stream a(5, 1, 2, 0), b(5, 1, 2, 0), c(5, 1, 3, 0);
    bool differs = false;
    for (int i = 0; i < 100; ++i) {
        const double u = a.uniform();
        CHECK(u == b.uniform());
        differs = differs || u != c.uniform();
        CHECK(u >= 0.0);
        CHECK(u < 1.0);
    }
    CHECK(differs);
}

TEST_CASE("binomial draws have their distribution's moments, by inversion and by rejection") {
    struct Case {
        std::uint64_t n;
        double p;
    };
    for (const Case c : {Case{20, 0.3}, Case{7, 0.05}, Case{1000, 0.5}, Case{1000000, 0.01}, Case{50, 0.97},
                         Case{3, 0.5}, Case{std::uint64_t{1} << 40, 0.25}}) {
        Stream s(1, 0, 0, 0);
        const int draws = 40000;
        const double n = static_cast<double>(c.n), mu = n * c.p, sigma2 = n * c.p * (1.0 - c.p);
        double shift = 0.0, square = 0.0;  // about the true mean: no cancellation at large n
        for (int i = 0; i < draws; ++i) {
            const double x = static_cast<double>(binomial(s, c.n, c.p));
            CHECK(x <= n);
            shift += x - mu;
            square += (x - mu) * (x - mu);
        }
        const double mean = mu + shift / draws;
        const double variance = square / draws - (shift / draws) * (shift / draws);
        CAPTURE(c.n);
        CAPTURE(c.p);
        CHECK(std::fabs(mean - mu) < 5.0 * std::sqrt(sigma2 / draws) + 1e-9);
        CHECK(std::fabs(variance / sigma2 - 1.0) < 0.05);
    }
    Stream s(2, 0, 0, 0);
    CHECK(binomial(s, 0, 0.5) == 0);
    CHECK(binomial(s, 10, 0.0) == 0);
    CHECK(binomial(s, 10, 1.0) == 10);
    CHECK(binomial(s, 10, std::nan("")) == 0);
}

TEST_CASE("a multinomial draw keeps the total and empty cells empty") {
    const std::vector<std::uint64_t> cells = {3, 0, 10, 1, 0, 20};
    std::vector<std::uint64_t> out(cells.size());
    for (std::uint32_t b = 0; b < 200; ++b) {
        Stream s(9, b, 0, 0);
        multinomial(s, cells, out);
        std::uint64_t total = 0;
        for (const auto v : out) total += v;
        CHECK(total == 34);
        CHECK(out[1] == 0);
        CHECK(out[4] == 0);
    }
}

TEST_CASE("percentile bounds interpolate between order statistics and leave NaN out") {
    std::vector<double> v = {4, 1, std::nan(""), 3, 2, 5};
    const auto [lo, hi] = percentile_interval(v, 0.5);  // the 25th and 75th percentiles of 1..5
    CHECK(lo == 2.0);
    CHECK(hi == 4.0);
    std::vector<double> w = {1.0, 2.0};
    const auto [a, b] = percentile_interval(w, 0.9);
    CHECK(a == doctest::Approx(1.05));
    CHECK(b == doctest::Approx(1.95));
    std::vector<double> none = {std::nan("")};
    CHECK(std::isnan(percentile_interval(none, 0.9).first));
}

TEST_CASE("closed-form intervals") {
    // Wilson, 8 of 10 at 95%.
    const auto w = intervals::wilson(8, 10, 1.959963984540054);
    CHECK(w.first == doctest::Approx(0.4901624).epsilon(1e-6));
    CHECK(w.second == doctest::Approx(0.9433178).epsilon(1e-6));
    CHECK(std::isnan(intervals::wilson(0, 0, 1.96).first));
    const auto d = intervals::newcombe(8, 10, 3, 10, 1.959963984540054);
    CHECK(d.first < 0.5);
    CHECK(d.second > 0.5);
    CHECK(std::isnan(intervals::katz(0, 10, 3, 10, 1.96).first));
}
