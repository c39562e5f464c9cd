// Vector paths chosen at run time. Kernels whose loops vectorise wider with
// AVX2 are compiled twice from one body, for the x86-64 baseline and for
// AVX2, and one check of the processor of our own (cpuid, and xgetbv for the
// registers the operating system saves), made once per process, picks the
// path every call takes; it needs nothing from the compiler's runtime, so
// every compiler we build with builds the same code. The two paths give the
// same results: their kernels compare and count, and their arithmetic is
// exact. Other architectures build the baseline only.
#pragma once

#include <atomic>

namespace lumetra::cpu {

/// Whether the processor runs AVX2 and the operating system saves the YMM
/// registers (OSXSAVE, and bits 1 and 2 of XCR0); false off x86-64.
bool has_avx2() noexcept;

namespace detail {
/// The path calls take: 1 AVX2, 0 the baseline, -1 not chosen yet.
inline std::atomic<int> g_avx2{-1};
/// Chooses the path (has_avx2() unless the setting asks for the baseline),
/// stores it and returns it.
int choose_avx2() noexcept;
}  // namespace detail

/// Whether the kernels take their AVX2 path (chosen at the first call).
inline bool avx2() noexcept {
    const int chosen = detail::g_avx2.load(std::memory_order_relaxed);
    return (chosen < 0 ? detail::choose_avx2() : chosen) != 0;
}

/// For tests that compare the paths: every later call takes the baseline
/// (true), or the path chosen for the process again (false).
void force_baseline(bool baseline) noexcept;

}  // namespace lumetra::cpu

#if defined(__x86_64__) && defined(__GNUC__)
#define LUMETRA_AVX2_PATHS 1
/// Compiles one function for AVX2 (with the baseline's rounding: no FMA),
/// and under clang every function it calls inlined into it: clang's inliner
/// leaves a kernel's helper templates out of line where GCC's takes them in,
/// and an AVX2 kernel would then call its helpers' baseline code.
#if defined(__clang__)
#define LUMETRA_TARGET_AVX2 __attribute__((target("avx2"), flatten))
#else
#define LUMETRA_TARGET_AVX2 __attribute__((target("avx2")))
#endif
/// Defines the kernel `ret name params`, its body given once and compiled
/// for the baseline and for AVX2; `args` names its parameters in order, in
/// parentheses. Each call takes the path cpu::avx2() chose.
#define LUMETRA_KERNEL(ret, name, params, args, ...)                                        \
    static ret name##_baseline params __VA_ARGS__                                           \
    LUMETRA_TARGET_AVX2 static ret name##_avx2 params __VA_ARGS__                           \
    ret name params { return ::lumetra::cpu::avx2() ? name##_avx2 args : name##_baseline args; }
#else
#define LUMETRA_KERNEL(ret, name, params, args, ...) ret name params __VA_ARGS__
#endif
