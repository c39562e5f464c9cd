// The process-wide settings, read from the environment once, at first use,
// and kept for the life of the process.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace lumetra {

/// Default of the stability epsilon (the double nearest 1e-12).
inline constexpr double kDefaultStabilityEps = 1e-12;
/// Default of the distribution heuristic (the float nearest 0.05).
inline constexpr float kDefaultDistributionHeuristic = 0.05f;

/// Environment variable holding the stability epsilon.
inline constexpr const char* kStabilityEpsVar = "LUMETRA_STABILITY_EPS";
/// Environment variable holding the label-versus-threshold heuristic.
inline constexpr const char* kDistributionHeuristicVar = "LUMETRA_DISTRIBUTION_HEURISTIC";
/// Environment variable capping the threads of arithmetic-bound passes.
inline constexpr const char* kThreadsVar = "LUMETRA_THREADS";
/// Environment variable choosing the vector paths of the kernels.
inline constexpr const char* kSimdVar = "LUMETRA_SIMD";
/// Largest thread cap taken from the environment (larger values are capped).
inline constexpr unsigned kMaxThreads = 256;

/// Parses a whole text as a decimal double: optional sign, digits, fraction,
/// exponent, or inf/infinity/nan in any case. No trimming; nullopt on failure.
std::optional<double> parse_setting_f64(std::string_view text);
/// The same for single precision, parsed directly (no double rounding).
std::optional<float> parse_setting_f32(std::string_view text);
/// Parses a whole text as a thread count: decimal digits with an optional
/// leading '+', at least 1 (larger than kMaxThreads gives kMaxThreads). No
/// trimming; nullopt on failure (0, a sign '-', anything else).
std::optional<unsigned> parse_setting_threads(std::string_view text);

/// Which vector paths the kernels take: the widest the processor and the
/// operating system support, or the architecture's baseline only.
enum class SimdChoice : std::uint8_t { Widest, Baseline };
/// Parses a whole text as a vector-path choice: "baseline" (exactly) gives
/// Baseline; nullopt for anything else.
std::optional<SimdChoice> parse_setting_simd(std::string_view text);

/// Epsilon guarding logarithms and ratios (first call reads the environment).
double stability_eps();
/// Share of distinct values up to which a numeric array is label-matched.
float distribution_heuristic();
/// Most threads a pass may use, the calling thread included (first call
/// reads the environment; default: the processors this process may run on).
unsigned thread_cap();
/// The vector-path choice (first call reads the environment; default Widest).
SimdChoice simd_choice();

}  // namespace lumetra
