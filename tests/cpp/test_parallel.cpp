#include <doctest/doctest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <vector>

#include "core/model_perf.hpp"
#include "core/parallel.hpp"
#include "core/settings.hpp"

using namespace lumetra;

namespace {

struct IndexSlot {
    std::size_t block = 0;
    double third = 0.0;
};

// Pseudo-random floats of mixed magnitude: sums of them round at every step.
std::vector<float> mixed_values(std::size_t n, std::uint32_t seed, float scale) {
    std::vector<float> v(n);
    for (auto& x : v) {
        seed = seed * 1664525u + 1013904223u;
        const float unit = static_cast<float>(seed >> 8) / 16777216.0f;
        x = (seed & 1u ? scale : 1.0f) * (unit + 0.001f);
    }
    return v;
}

}  // namespace

TEST_CASE("ordered blocks reach the consumer once each, in block order") {
    for (unsigned threads : {1u, 2u, 3u, 5u}) {
        for (std::size_t nblocks : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{500}}) {
            CAPTURE(threads);
            CAPTURE(nblocks);
            std::vector<std::size_t> seen;
            ordered_blocks<IndexSlot>(
                nblocks, threads, [](std::size_t b, IndexSlot& s) noexcept { s.block = b; },
                [&](std::size_t b, const IndexSlot& s) noexcept {
                    CHECK(s.block == b);
                    seen.push_back(b);
                });
            REQUIRE(seen.size() == nblocks);
            for (std::size_t b = 0; b < nblocks; ++b) CHECK(seen[b] == b);
        }
    }
}

TEST_CASE("worker threads form terms under the caller's rounding mode") {
    volatile double one = 1.0, three = 3.0;
    std::fesetround(FE_UPWARD);
    const double up = one / three;
    std::vector<double> got;
    ordered_blocks<IndexSlot>(
        64, 4, [&](std::size_t, IndexSlot& s) noexcept { s.third = one / three; },
        [&](std::size_t, const IndexSlot& s) noexcept { got.push_back(s.third); });
    std::fesetround(FE_TONEAREST);
    CHECK(up != one / three);
    for (double x : got) CHECK(x == up);
}

TEST_CASE("threads_for keeps small passes on one thread") {
    struct Case {
        std::size_t items, min_items;
        unsigned cap, want;
    };
    const Case cases[] = {
        {0, 100, 8, 1},     {199, 100, 8, 1},  {200, 100, 8, 2}, {350, 100, 8, 3},
        {10000, 100, 8, 8}, {10000, 100, 1, 1}, {10000, 100, 0, 1},
    };
    for (const Case& c : cases) {
        CAPTURE(c.items);
        CAPTURE(c.cap);
        CHECK(threads_for(c.items, c.min_items, c.cap) == c.want);
    }
}

TEST_CASE("thread cap texts parse whole, as positive counts") {
    struct Case {
        const char* text;
        std::optional<unsigned> want;
    };
    const Case cases[] = {
        {"1", 1u},       {"+4", 4u},        {"256", 256u},  {"257", kMaxThreads},
        {"99999999999999999999999", kMaxThreads}, {"0", std::nullopt},     {"-1", std::nullopt},
        {"", std::nullopt},  {"+", std::nullopt},   {" 2", std::nullopt}, {"2 ", std::nullopt},
        {"2.0", std::nullopt}, {"four", std::nullopt}, {"1e3", std::nullopt},
    };
    for (const Case& c : cases) {
        CAPTURE(c.text);
        CHECK(parse_setting_threads(c.text) == c.want);
    }
}

TEST_CASE("regression sums do not depend on the number of threads") {
    // Far more pairs than one block, with a ragged end; the sums start from a
    // state left by single updates, as a streaming monitor's do.
    const std::size_t n = 100'003;
    const auto t = mixed_values(n, 1, 1e5f);
    auto p = mixed_values(n, 2, 1e5f);
    p[17] = -3.0f;  // NaN logarithm
    p[40'000] = std::numeric_limits<float>::quiet_NaN();
    LinearRegressionErrorBuckets start;
    start.update(2.0f, 3.5f);
    LinearRegressionErrorBuckets one = start;
    one.add_dataset(F32Column::of(t), F32Column::of(p), 1);
    LinearRegressionErrorBuckets serial = start;
    for (std::size_t i = 0; i < n; ++i) serial.update(t[i], p[i]);
    // Against single updates, a NaN sum may differ in its sign bit only: which
    // of two NaN operands an addition passes on is the compiler's choice.
    const auto* a = reinterpret_cast<const double*>(&one);
    const auto* b = reinterpret_cast<const double*>(&serial);
    for (std::size_t k = 0; k < sizeof one / sizeof(double); ++k) {
        CAPTURE(k);
        CHECK(((std::isnan(a[k]) && std::isnan(b[k])) || std::memcmp(a + k, b + k, sizeof(double)) == 0));
    }
    for (unsigned threads : {2u, 3u, 7u}) {
        CAPTURE(threads);
        LinearRegressionErrorBuckets many = start;
        many.add_dataset(F32Column::of(t), F32Column::of(p), threads);
        CHECK(std::memcmp(&one, &many, sizeof one) == 0);
    }
}

TEST_CASE("log-loss sums and class counts do not depend on the number of threads") {
    const std::size_t n = 70'001;
    const auto truth = mixed_values(n, 3, 1.0f);
    auto score = mixed_values(n, 4, 1e-3f);
    const auto clamp = ScoreClamp::from_epsilon(1e-7);
    REQUIRE(clamp);
    for (TruthRule rule : {TruthRule::AtLeastThreshold, TruthRule::ExactlyOne}) {
        double one = 0.25;
        const auto counts = log_loss_pass(F32Column::of(truth), F32Column::of(score), 0.5f, rule, *clamp, one, 1);
        double serial = 0.25;
        for (std::size_t i = 0; i < n; ++i) {
            serial += static_cast<double>(log_loss_term(truth[i], clamp->apply(score[i])));
        }
        CHECK(one == serial);
        for (unsigned threads : {2u, 3u, 7u}) {
            CAPTURE(threads);
            double many = 0.25;
            const auto c =
                log_loss_pass(F32Column::of(truth), F32Column::of(score), 0.5f, rule, *clamp, many, threads);
            CHECK(many == one);
            CHECK(c.both == counts.both);
            CHECK(c.true_pos == counts.true_pos);
            CHECK(c.pred_pos == counts.pred_pos);
        }
    }
}
