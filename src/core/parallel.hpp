// Passes on several threads, on the engine's pool (core/pool.hpp). Work is
// split in fixed blocks, whatever the number of threads, and whoever runs a
// block runs the same code on it. Ordered block pipelines: the terms of a
// pass are computed a block at a time on several threads, while the calling
// thread adds the blocks up strictly in block order, so every sum runs on one
// thread in ascending index order and the result is bit for bit the one of a
// single thread. Shares: independent parts whose results the caller combines
// in share order. The calling thread always works too, so a pass never waits
// for a pool thread that is busy elsewhere. Pool threads touch only the
// memory the caller hands them: they never call into the interpreter.
#pragma once

#include <atomic>
#include <cfenv>
#include <cstddef>
#include <memory>

#include "core/pool.hpp"
#include "core/settings.hpp"

namespace lumetra {

/// Threads a pass over `items` items may use: 1 below twice `min_items` (too
/// little work to pay for handing blocks between threads), else the thread
/// cap, at most one thread per `min_items` items.
inline unsigned threads_for(std::size_t items, std::size_t min_items, unsigned cap = thread_cap()) noexcept {
    if (cap <= 1 || items < 2 * min_items) return 1;
    const std::size_t most = items / min_items;
    return most < cap ? static_cast<unsigned>(most) : cap;
}

namespace detail {

/// The calling thread's floating-point environment (rounding, flush-to-zero),
/// set on a pool thread before it forms any term: a term must not depend on
/// the thread that forms it.
class CallerEnvironment {
public:
    CallerEnvironment() noexcept : have_(std::fegetenv(&env_) == 0) {}
    void apply() const noexcept {
        if (have_) std::fesetenv(&env_);
    }

private:
    std::fenv_t env_;
    bool have_;
};

/// One buffer of the ring: the block it holds (index + 1 once complete).
template <class Slot>
struct alignas(64) RingEntry {
    std::atomic<std::size_t> ready{0};
    Slot slot;
};

}  // namespace detail

/// Computes blocks 0 .. nblocks-1 with produce(block, slot) and hands each to
/// consume(block, slot) on the calling thread, in block order. Up to
/// `threads` threads (the caller and pool threads) produce blocks into a
/// fixed ring of 4 buffers per thread, so memory does not grow with the
/// input; the caller produces too whenever the next block is not ready.
/// produce and consume must not throw. With fewer pool threads free (down
/// to none), the pass runs on the threads it has: the results are the same.
template <class Slot, class Produce, class Consume>
void ordered_blocks(std::size_t nblocks, unsigned threads, Produce&& produce, Consume&& consume) {
    if (nblocks == 0) return;
    if (threads <= 1 || nblocks < 2) {
        auto slot = std::make_unique<Slot>();
        for (std::size_t b = 0; b < nblocks; ++b) {
            produce(b, *slot);
            consume(b, *slot);
        }
        return;
    }
    const std::size_t ring = 4 * static_cast<std::size_t>(threads);
    std::unique_ptr<detail::RingEntry<Slot>[]> entries(new detail::RingEntry<Slot>[ring]);
    std::atomic<std::size_t> next{0};      // next block to claim
    std::atomic<std::size_t> consumed{0};  // blocks handed to consume so far

    auto publish = [&](std::size_t b) {
        auto& e = entries[b % ring];
        e.ready.store(b + 1, std::memory_order_release);
        e.ready.notify_all();
    };
    const detail::CallerEnvironment env;
    auto work = [&]() noexcept {
        env.apply();
        while (true) {
            const std::size_t b = next.fetch_add(1, std::memory_order_relaxed);
            if (b >= nblocks) return;
            // The buffer is free once the block `ring` places earlier is consumed.
            std::size_t c = consumed.load(std::memory_order_acquire);
            while (b >= c + ring) {
                consumed.wait(c, std::memory_order_acquire);
                c = consumed.load(std::memory_order_acquire);
            }
            produce(b, entries[b % ring].slot);
            publish(b);
        }
    };

    FunctionTask task(work);
    PoolOffer offer(task, threads - 1);

    for (std::size_t c = 0; c < nblocks; ++c) {
        auto& e = entries[c % ring];
        while (true) {
            std::size_t r = e.ready.load(std::memory_order_acquire);
            if (r == c + 1) break;
            // Not ready: produce the next unclaimed block if its buffer is free.
            std::size_t b = next.load(std::memory_order_relaxed);
            if (b < nblocks && b < c + ring &&
                next.compare_exchange_weak(b, b + 1, std::memory_order_relaxed)) {
                produce(b, entries[b % ring].slot);
                publish(b);
                continue;
            }
            if (b < nblocks && b < c + ring) continue;  // lost a race for the claim: retry
            e.ready.wait(r, std::memory_order_acquire);
        }
        consume(c, e.slot);
        consumed.store(c + 1, std::memory_order_release);
        consumed.notify_all();
    }
    // Every block is consumed; a pool thread may still be leaving `work`.
    offer.withdraw();
}

/// Runs run(share) once for each share 0 .. shares-1 on up to `threads`
/// threads (the caller and pool threads) and returns when every share has
/// run; the caller then combines their results in share order. run must not
/// throw: a share that fails records it for the caller to redo.
template <class Run>
void run_shares(std::size_t shares, unsigned threads, Run&& run) {
    if (threads <= 1 || shares < 2) {
        for (std::size_t s = 0; s < shares; ++s) run(s);
        return;
    }
    std::atomic<std::size_t> next{0};
    const detail::CallerEnvironment env;
    auto work = [&]() noexcept {
        env.apply();
        for (std::size_t s = next.fetch_add(1, std::memory_order_relaxed); s < shares;
             s = next.fetch_add(1, std::memory_order_relaxed)) {
            run(s);
        }
    };
    FunctionTask task(work);
    PoolOffer offer(task, threads - 1);
    work();
    offer.withdraw();
}

}  // namespace lumetra
