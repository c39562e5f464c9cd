#include "core/pool.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <signal.h>
#define LUMETRA_POSIX_THREADS 1
#endif

#include "core/settings.hpp"

namespace lumetra {
namespace detail {

/// The name of every engine thread (at most 15 characters).
constexpr const char* kThreadName = "lumetra-engine";

class Pool {
public:
    explicit Pool(unsigned limit) noexcept : limit_(limit) {}

    /// The process's pool, made at the first call; nullptr when the thread
    /// cap is 1 (or no pool could be made).
    static Pool* get() noexcept {
        Pool* p = current_.load(std::memory_order_acquire);
        if (p != nullptr) return p;
        const unsigned cap = thread_cap();
        if (cap <= 1) return nullptr;
        Pool* fresh = new (std::nothrow) Pool(cap - 1);
        if (fresh == nullptr) return nullptr;
        // No thread has started yet, so the loser of a race may simply go.
        if (current_.compare_exchange_strong(p, fresh, std::memory_order_acq_rel, std::memory_order_acquire)) {
            return fresh;
        }
        delete fresh;
        return p;
    }

    static unsigned threads() noexcept {
        Pool* p = current_.load(std::memory_order_acquire);
        if (p == nullptr) return 0;
        std::lock_guard<std::mutex> lock(p->mutex_);
        return p->started_;
    }

    /// In the child of a fork: the pool's threads are not there, and its
    /// lock may be held by one of them forever. The pool is kept (reachable)
    /// but never used again; the child makes its own when it needs one.
    static void forget_in_child() noexcept {
        Pool* p = current_.load(std::memory_order_relaxed);
        if (p == nullptr) return;
        p->retired_next_ = retired_;
        retired_ = p;
        current_.store(nullptr, std::memory_order_relaxed);
    }

    bool offer(PoolTask& t, unsigned helpers, bool only_if_free) noexcept {
        unsigned wake = 0, spawn = 0;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            helpers = std::min(helpers, limit_);
            // Idle threads first take the tasks offered before this one.
            const unsigned free_now = idle_ > demand_ ? idle_ - demand_ : 0;
            wake = std::min(helpers, free_now);
            spawn = std::min(helpers - wake, limit_ - started_);
            if (only_if_free && wake + spawn == 0) return false;
            started_ += spawn;
            t.next_ = nullptr;
            t.wanted_ = helpers;
            t.running_ = 0;
            t.taken_ = 0;
            (tail_ != nullptr ? tail_->next_ : head_) = &t;
            tail_ = &t;
            demand_ += helpers;
        }
        for (unsigned i = 0; i < wake; ++i) work_.notify_one();
        if (spawn > 0) {
            const unsigned started = start(spawn);
            if (started < spawn) {
                std::lock_guard<std::mutex> lock(mutex_);
                started_ -= spawn - started;
            }
        }
        return true;
    }

    unsigned withdraw(PoolTask& t) noexcept {
        std::unique_lock<std::mutex> lock(mutex_);
        if (t.wanted_ > 0) unqueue(t);
        while (t.running_ > 0) done_.wait(lock);
        return t.taken_;
    }

private:
    void unqueue(PoolTask& t) noexcept {
        PoolTask* previous = nullptr;
        for (PoolTask* at = head_; at != nullptr; previous = at, at = at->next_) {
            if (at != &t) continue;
            (previous != nullptr ? previous->next_ : head_) = t.next_;
            if (tail_ == &t) tail_ = previous;
            break;
        }
        demand_ -= t.wanted_;
        t.wanted_ = 0;
        t.next_ = nullptr;
    }

    // An engine thread's life: take the first offered task, help, repeat.
    void serve() noexcept {
#if defined(__linux__)
        pthread_setname_np(pthread_self(), kThreadName);  // as ps and top show it
#endif
        std::unique_lock<std::mutex> lock(mutex_);
        while (true) {
            ++idle_;
            while (head_ == nullptr) work_.wait(lock);
            --idle_;
            PoolTask& t = *head_;
            ++t.running_;
            ++t.taken_;
            --t.wanted_;
            --demand_;
            if (t.wanted_ == 0) unqueue(t);
            lock.unlock();
            t.help();
            lock.lock();
            // help() returned: nothing is left of the task for another thread.
            if (t.wanted_ > 0) unqueue(t);
            if (--t.running_ == 0) done_.notify_all();
        }
    }

    // Starts up to k threads; returns how many started. They inherit a mask
    // that blocks every signal, so signals go to the process's own threads.
    unsigned start(unsigned k) noexcept {
        unsigned n = 0;
#if defined(LUMETRA_POSIX_THREADS)
        sigset_t all, previous;
        sigfillset(&all);
        const bool masked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
#endif
        for (; n < k; ++n) {
            try {
                std::thread([this] { serve(); }).detach();
            } catch (...) {
                break;  // fewer threads, the same results
            }
        }
#if defined(LUMETRA_POSIX_THREADS)
        if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#endif
        return n;
    }

    std::mutex mutex_;
    std::condition_variable work_;  // a task was offered
    std::condition_variable done_;  // a task's last running thread returned
    PoolTask* head_ = nullptr;      // offered tasks, oldest first
    PoolTask* tail_ = nullptr;
    const unsigned limit_;
    unsigned started_ = 0;  // threads started (or starting)
    unsigned idle_ = 0;     // threads waiting for a task
    unsigned demand_ = 0;   // threads the offered tasks still want
    Pool* retired_next_ = nullptr;

    static inline std::atomic<Pool*> current_{nullptr};
    static inline Pool* retired_ = nullptr;  // pools left behind by forks
};

namespace {
#if defined(LUMETRA_POSIX_THREADS)
// Registered when the module loads, before any pool can exist.
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, [] { Pool::forget_in_child(); });
#endif
}  // namespace

}  // namespace detail

PoolOffer::PoolOffer(PoolTask& task, unsigned helpers, bool only_if_free) noexcept : task_(task) {
    if (helpers == 0) return;
    detail::Pool* p = detail::Pool::get();
    if (p != nullptr && p->offer(task, helpers, only_if_free)) pool_ = p;
}

unsigned PoolOffer::withdraw() noexcept {
    if (pool_ == nullptr) return 0;
    const unsigned taken = pool_->withdraw(task_);
    pool_ = nullptr;
    return taken;
}

unsigned pool_threads() noexcept { return detail::Pool::threads(); }

}  // namespace lumetra
