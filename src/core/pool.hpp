// The engine's threads: one pool per process, started at the first pass that
// asks for help, never more than thread_cap() - 1 threads (the thread that
// calls the engine works too), kept until the process ends. A pass offers a
// task to the pool and always does the task's work itself as well, so it
// makes progress when every engine thread is busy elsewhere, or when there
// are none; engine threads only help. Any number of threads may offer tasks
// at once. An engine thread runs only what a task hands it (buffers and the
// task's own state): it never calls into the interpreter, and it blocks every
// signal, which the process's own threads receive instead.
//
// After fork() the child has none of the parent's threads: it forgets the
// parent's pool (left as it is, never touched again) and starts one of its
// own at its first parallel pass. At exit the idle threads are left waiting;
// the pool is never destroyed, so no static destructor can pull it from
// under them.
#pragma once

#include <type_traits>

namespace lumetra {

namespace detail {
class Pool;
}  // namespace detail

/// Work that the engine's threads may help with.
class PoolTask {
public:
    /// Runs on each engine thread that takes the task (maybe none), at any
    /// time while the task is offered, and returns once no work of the task
    /// is left for another thread to take (the offer then ends for other
    /// threads too). Must not throw.
    virtual void help() noexcept = 0;

protected:
    PoolTask() = default;
    ~PoolTask() = default;
    PoolTask(const PoolTask&) = delete;
    PoolTask& operator=(const PoolTask&) = delete;

private:
    friend class detail::Pool;
    PoolTask* next_ = nullptr;  // the queue of offered tasks
    unsigned wanted_ = 0;       // threads that may still take it
    unsigned running_ = 0;      // threads running help() now
    unsigned taken_ = 0;        // threads that took it in all
};

/// A PoolTask whose help() calls a noexcept function object.
template <class F>
class FunctionTask final : public PoolTask {
public:
    static_assert(std::is_nothrow_invocable_v<F&>, "an engine thread's work must not throw");
    explicit FunctionTask(F& f) noexcept : f_(f) {}
    void help() noexcept override { f_(); }

private:
    F& f_;
};

/// Offers a task to at most `helpers` engine threads for as long as it
/// lives. Its end (or withdraw()) takes the task back and waits until every
/// thread that took it has returned from help(), so the task's state may go
/// once the offer has ended.
class PoolOffer {
public:
    /// With `only_if_free`, the task is offered only when an engine thread is
    /// free for it now (idle, or not started yet), else not at all.
    PoolOffer(PoolTask& task, unsigned helpers, bool only_if_free = false) noexcept;
    ~PoolOffer() { (void)withdraw(); }
    PoolOffer(const PoolOffer&) = delete;
    PoolOffer& operator=(const PoolOffer&) = delete;

    /// Whether the task was offered: false when the thread cap is 1, when
    /// `helpers` is 0, when no engine thread can start, or (only_if_free) when
    /// none was free.
    bool offered() const noexcept { return pool_ != nullptr; }
    /// Ends the offer; returns how many engine threads took the task, once
    /// every one of them has returned. Later calls return 0 at once.
    unsigned withdraw() noexcept;

private:
    detail::Pool* pool_ = nullptr;
    PoolTask& task_;
};

/// Engine threads started in this process so far (0 until a pass asks for
/// help; at most thread_cap() - 1).
unsigned pool_threads() noexcept;

}  // namespace lumetra
