// Kernels whose loops vectorise wider on newer x86 processors (GCC) are compiled
// twice, once for AVX2 and once for the baseline, and the loader picks the
// one the machine runs. Both give the same results: the kernels that use it
// compare and count, and their arithmetic is exact.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define LUMETRA_MULTIVERSION __attribute__((target_clones("avx2", "default")))
#else
#define LUMETRA_MULTIVERSION
#endif
