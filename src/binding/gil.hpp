// Releasing the interpreter lock around pure reads of array buffers, so that
// threads calling the module on different arrays run at once. Every caller
// follows one pattern: convert the arguments under the lock (every Python
// object is read, every buffer described), compute on buffers and owned C++
// values only, with the lock released when the call reads enough elements
// to pay for it, then build the Python result under the lock again.
//
// What a released computation must not touch: any Python object or API
// (errors are values, raised after the lock is back), and the state of a
// class instance, which another thread could reach; a method that needs an
// instance's state copies it first. A released computation may start
// threads of its own (the engine pool, core/pool.hpp); they touch only the
// memory it hands them.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "core/settings.hpp"

namespace lumetra::py {

/// Fewest elements a computation reads before it releases the lock. Below
/// it, giving the lock away costs more than the work (a thread that takes
/// it may keep it for the interpreter's whole switch interval); at 32768
/// elements the work takes tens of microseconds, against well under one for
/// the release and the reacquisition when no other thread wants the lock.
inline constexpr std::size_t kReleaseAtElements = std::size_t{1} << 15;

/// While one is alive on a thread, `released` on that thread keeps the
/// lock: the computation reads memory of Python objects that only the lock
/// keeps as it is (the texts of a list's strs, which the list alone holds:
/// another thread could replace an item and free its str).
class KeepLock {
public:
    KeepLock() noexcept { ++depth_; }
    ~KeepLock() { --depth_; }
    KeepLock(const KeepLock&) = delete;
    KeepLock& operator=(const KeepLock&) = delete;

    /// Whether the lock is to be kept on this thread.
    static bool active() noexcept { return depth_ != 0; }

private:
    static inline thread_local unsigned depth_ = 0;
};

/// Runs f() and returns its result, with the interpreter lock released when
/// `elements` (how many array elements f reads) reaches kReleaseAtElements
/// and no KeepLock asks to keep it. f reads buffers and owned C++ values
/// only (see above). An exception f throws is rethrown once the lock is held
/// again.
template <class F>
decltype(auto) released(std::size_t elements, F&& f) {
    if (elements < kReleaseAtElements || KeepLock::active()) return f();
    // The settings are read once per process; a first reading happens here,
    // under the lock, where no other thread can be changing the environment.
    (void)stability_eps();
    (void)distribution_heuristic();
    (void)thread_cap();
    (void)simd_choice();
    using R = decltype(f());
    static_assert(!std::is_reference_v<R>, "a released computation returns a value");
    std::exception_ptr error;
    if constexpr (std::is_void_v<R>) {
        Py_BEGIN_ALLOW_THREADS
        try {
            f();
        } catch (...) {
            error = std::current_exception();
        }
        Py_END_ALLOW_THREADS
        if (error) std::rethrow_exception(error);
    } else {
        std::optional<R> out;
        Py_BEGIN_ALLOW_THREADS
        try {
            out.emplace(f());
        } catch (...) {
            error = std::current_exception();
        }
        Py_END_ALLOW_THREADS
        if (error) std::rethrow_exception(error);
        return R(std::move(*out));
    }
}

}  // namespace lumetra::py
