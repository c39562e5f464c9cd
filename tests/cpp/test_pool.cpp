#include <doctest/doctest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "core/parallel.hpp"
#include "core/pool.hpp"
#include "core/segment.hpp"
#include "core/settings.hpp"

using namespace lumetra;

namespace {

struct Slot {
    std::size_t block = 0;
    std::uint64_t value = 0;
};

std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 31;
    x *= 0x9E3779B97F4A7C15ULL;
    return x ^ (x >> 29);
}

// A pass whose result depends on every block and on their order.
std::uint64_t ordered_pass(std::size_t nblocks, unsigned threads) {
    std::uint64_t h = 0;
    bool in_order = true;
    ordered_blocks<Slot>(
        nblocks, threads,
        [](std::size_t b, Slot& s) noexcept {
            s.block = b;
            s.value = mix(b);
        },
        [&](std::size_t b, const Slot& s) noexcept {
            in_order = in_order && s.block == b;
            h = mix(h ^ s.value);
        });
    return in_order ? h : 0;
}

std::uint64_t shares_pass(std::size_t shares, unsigned threads) {
    std::vector<std::uint64_t> out(shares, 0);
    std::vector<std::atomic<unsigned>> runs(shares);
    run_shares(shares, threads, [&](std::size_t s) noexcept {
        out[s] = mix(s + 1);
        runs[s].fetch_add(1);
    });
    std::uint64_t h = 0;
    for (std::size_t s = 0; s < shares; ++s) {
        if (runs[s].load() != 1) return 0;
        h = mix(h ^ out[s]);
    }
    return h;
}

// Occupies every pool thread until released: the pool is busy elsewhere.
struct Blocker final : PoolTask {
    std::atomic<unsigned> inside{0};
    std::atomic<bool> released{false};
    void help() noexcept override {
        inside.fetch_add(1);
        while (!released.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    // Waits until `n` threads are inside (or a second has passed).
    bool wait_inside(unsigned n) const {
        for (int i = 0; i < 5000 && inside.load() < n; ++i) std::this_thread::sleep_for(std::chrono::microseconds(200));
        return inside.load() >= n;
    }
};

struct Counted final : PoolTask {
    std::atomic<unsigned> runs{0};
    void help() noexcept override { runs.fetch_add(1); }
};

// A long column of `distinct` values, new ones held to the end or not: the
// distinct count is handed to a pool thread when one is free.
std::vector<double> long_column(std::size_t n, std::size_t distinct, bool late) {
    std::vector<double> v(n);
    std::uint64_t seed = distinct;
    for (std::size_t i = 0; i < n; ++i) {
        seed = mix(seed + i);
        v[i] = static_cast<double>(seed % (late ? 20 : distinct));
    }
    if (late) {
        for (std::size_t k = 0; k < distinct; ++k) v[n - distinct + k] = 0.5 + static_cast<double>(k);
    }
    return v;
}

std::pair<unsigned, std::vector<std::uint8_t>> implicit_pass(const std::vector<double>& v) {
    ImplicitCodes<double, Packed<double>> codes(Packed<double>{v.data(), v.size()}, 7.0);
    std::vector<std::uint8_t> out(v.size());
    for (std::size_t b = 0; b < v.size(); b += kCodeBlock) {
        codes.scan(b, std::min(v.size(), b + kCodeBlock), out.data() + b);
    }
    const unsigned bit = codes.final_bit();
    return {bit, out};
}

}  // namespace

TEST_CASE("the pool is started once, within the thread cap") {
    const unsigned cap = thread_cap();
    const std::uint64_t ordered = ordered_pass(300, 1), shares = shares_pass(9, 1);
    CHECK(ordered_pass(300, 8) == ordered);
    const unsigned started = pool_threads();
    CHECK(started <= cap - 1);
    if (cap > 1) CHECK(started >= 1);
    for (int i = 0; i < 50; ++i) {
        CHECK(ordered_pass(300, 2 + i % 7) == ordered);
        CHECK(shares_pass(9, 2 + i % 7) == shares);
    }
    CHECK(pool_threads() == started);
}

TEST_CASE("passes finish on the calling thread while every pool thread is busy elsewhere") {
    const unsigned cap = thread_cap();
    const std::uint64_t ordered = ordered_pass(500, 1), shares = shares_pass(7, 1);
    const std::vector<double> matched = long_column(600'000, 80, false), late = long_column(600'000, 40'000, true);
    const auto matched_free = implicit_pass(matched), late_free = implicit_pass(late);
    CHECK(matched_free.first == 0);
    CHECK(late_free.first == 1);

    Blocker blocker;
    {
        PoolOffer busy(blocker, cap);
        REQUIRE(busy.offered() == (cap > 1));
        REQUIRE(blocker.wait_inside(cap - 1));
        // A pass waiting for a pool thread would wait here for ever.
        CHECK(ordered_pass(500, 4) == ordered);
        CHECK(shares_pass(7, 4) == shares);
        CHECK(implicit_pass(matched) == matched_free);
        CHECK(implicit_pass(late) == late_free);
        // An offer no thread takes goes back to its owner untouched; one made
        // only for a free thread is not made at all.
        Counted queued, if_free;
        PoolOffer waiting(queued, 1);
        PoolOffer refused(if_free, 1, true);
        CHECK_FALSE(refused.offered());
        CHECK(waiting.withdraw() == 0);
        CHECK(queued.runs.load() == 0);
        blocker.released.store(true);
        CHECK(busy.withdraw() == cap - 1);
    }
    CHECK(blocker.inside.load() == cap - 1);
    // Free again: offered tasks are taken.
    CHECK(ordered_pass(500, 4) == ordered);
}

TEST_CASE("passes offered from several threads at once all finish with their own results") {
    const std::uint64_t ordered = ordered_pass(200, 1), shares = shares_pass(5, 1);
    const std::vector<double> late = long_column(600'000, 40'000, true);
    const auto late_one = implicit_pass(late);
    std::atomic<unsigned> wrong{0};
    std::vector<std::thread> callers;
    for (unsigned t = 0; t < 4; ++t) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 40; ++i) {
                if (ordered_pass(200, 2 + (t + i) % 4) != ordered) wrong.fetch_add(1);
                if (shares_pass(5, 3) != shares) wrong.fetch_add(1);
                if (static_cast<unsigned>(i % 10) == t && implicit_pass(late) != late_one) wrong.fetch_add(1);
            }
        });
    }
    for (std::thread& c : callers) c.join();
    CHECK(wrong.load() == 0);
    CHECK(pool_threads() <= thread_cap() - 1);
}

TEST_CASE("a forked child runs its passes on a pool of its own") {
    const std::uint64_t ordered = ordered_pass(400, 1);
    REQUIRE(ordered_pass(400, 4) == ordered);  // the parent's pool has started
    const pid_t pid = fork();
    REQUIRE(pid >= 0);
    if (pid == 0) {
        // None of the parent's threads is here: a pass must not wait for one.
        const bool forgotten = pool_threads() == 0;
        const bool same = ordered_pass(400, 4) == ordered && shares_pass(6, 4) == shares_pass(6, 1);
        const bool capped = pool_threads() <= thread_cap() - 1;
        _exit(forgotten && same && capped ? 0 : 1);
    }
    int status = 0;
    REQUIRE(waitpid(pid, &status, 0) == pid);
    CHECK(WIFEXITED(status));
    CHECK(WEXITSTATUS(status) == 0);
    CHECK(ordered_pass(400, 4) == ordered);
}
