// Helpers shared by the core's C++ tests: columns from vectors, categorical
// label views, and a monotonic clock the tests move by hand.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/drift.hpp"
#include "core/intake.hpp"
#include "core/model_perf.hpp"

namespace lumetra::testing {

using I8 = std::vector<std::int8_t>;
using I32 = std::vector<std::int32_t>;
using F32 = std::vector<float>;

inline Strided<std::int8_t> col(const I8& v) { return view_of(v); }
inline Strided<std::int32_t> col(const I32& v) { return view_of(v); }
inline F32Column col(const F32& v) { return F32Column::of(v); }

inline std::vector<std::string_view> views(const std::vector<std::string>& s) { return {s.begin(), s.end()}; }

/// The time the fake clock reads; a FakeClock sets it to its start.
inline drift::Instant g_fake_now{1000, 0};
inline drift::Instant fake_clock() noexcept { return g_fake_now; }

/// Installs the fake clock for a scope, then puts the previous one back.
struct FakeClock {
    drift::ClockFn previous;
    explicit FakeClock(drift::Instant start = drift::Instant{1000, 0})
        : previous(drift::set_monotonic_clock(&fake_clock)) {
        g_fake_now = start;
    }
    FakeClock(const FakeClock&) = delete;
    FakeClock& operator=(const FakeClock&) = delete;
    ~FakeClock() { drift::set_monotonic_clock(previous); }
};

}  // namespace lumetra::testing
