#include "core/cpu.hpp"

#include "core/settings.hpp"

#if defined(LUMETRA_AVX2_PATHS)
#include <cpuid.h>
#endif

namespace lumetra::cpu {

bool has_avx2() noexcept {
#if defined(LUMETRA_AVX2_PATHS)
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0, &a, &b, &c, &d) == 0 || a < 7) return false;
    __cpuid(1, a, b, c, d);
    constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
    if ((c & kOsxsave) == 0 || (c & kAvx) == 0) return false;
    // XCR0: the operating system saves the XMM (bit 1) and YMM (bit 2)
    // halves of the registers across context switches.
    unsigned xcr0_low = 0, xcr0_high = 0;
    __asm__ volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    (void)xcr0_high;
    if ((xcr0_low & 0x6u) != 0x6u) return false;
    __cpuid_count(7, 0, a, b, c, d);
    constexpr unsigned kAvx2 = 1u << 5;
    return (b & kAvx2) != 0;
#else
    return false;
#endif
}

namespace detail {

int choose_avx2() noexcept {
    // Racing first calls all store the same value.
    static const int chosen = simd_choice() == SimdChoice::Baseline ? 0 : has_avx2() ? 1 : 0;
    g_avx2.store(chosen, std::memory_order_relaxed);
    return chosen;
}

}  // namespace detail

void force_baseline(bool baseline) noexcept {
    if (baseline) {
        detail::g_avx2.store(0, std::memory_order_relaxed);
    } else {
        detail::g_avx2.store(-1, std::memory_order_relaxed);
        (void)detail::choose_avx2();
    }
}

}  // namespace lumetra::cpu
