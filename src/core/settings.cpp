#include "core/settings.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <limits>
#include <thread>

#if defined(__linux__)
#include <sched.h>
#endif

namespace lumetra {
namespace {

bool is_valid_utf8(std::string_view s) {
    std::size_t i = 0;
    const std::size_t n = s.size();
    while (i < n) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t len;
        std::uint32_t cp;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto cc = static_cast<unsigned char>(s[i + k]);
            if ((cc & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        const bool overlong = (len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
        if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += len;
    }
    return true;
}

// from_chars also takes "nan(chars)" and rejects a leading '+'; the accepted
// grammar here is sign, digits, fraction, exponent or one of the three words.
template <class T>
std::optional<T> parse_decimal(std::string_view text) {
    if (text.empty()) return std::nullopt;
    if (text.front() == '+') {
        text.remove_prefix(1);
        if (text.empty() || text.front() == '-' || text.front() == '+') return std::nullopt;
    }
    if (text.find('(') != std::string_view::npos) return std::nullopt;
    T value{};
    const char* first = text.data();
    const char* last = first + text.size();
    auto [ptr, ec] = std::from_chars(first, last, value, std::chars_format::general);
    if (ptr != last) return std::nullopt;
    // Out-of-range decimals saturate to infinity or zero, as a decimal parser
    // that rounds to nearest does.
    if (ec == std::errc::result_out_of_range) {
        std::string_view digits = text;
        const bool negative = !digits.empty() && digits.front() == '-';
        const auto e = digits.find_first_of("eE");
        const bool tiny = e != std::string_view::npos && e + 1 < digits.size() && digits[e + 1] == '-';
        if (tiny) return negative ? -T(0) : T(0);
        return negative ? -std::numeric_limits<T>::infinity() : std::numeric_limits<T>::infinity();
    }
    if (ec != std::errc()) return std::nullopt;
    return value;
}

template <class T>
T read_setting(const char* var, T fallback, std::optional<T> (*parse)(std::string_view)) {
    const char* raw = std::getenv(var);
    if (raw == nullptr) return fallback;
    const std::string_view text(raw, std::strlen(raw));
    if (!is_valid_utf8(text)) return fallback;
    return parse(text).value_or(fallback);
}

// The processors this process may run on (its affinity mask where the
// platform tells it), at least 1.
unsigned available_processors() {
#if defined(__linux__)
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<unsigned>(n);
    }
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? n : 1;
}

}  // namespace

std::optional<unsigned> parse_setting_threads(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > kMaxThreads) value = kMaxThreads + 1;  // saturates; the digits are still checked
    }
    if (value == 0) return std::nullopt;
    return static_cast<unsigned>(std::min<std::uint64_t>(value, kMaxThreads));
}

std::optional<SimdChoice> parse_setting_simd(std::string_view text) {
    if (text == "baseline") return SimdChoice::Baseline;
    return std::nullopt;
}

std::optional<double> parse_setting_f64(std::string_view text) { return parse_decimal<double>(text); }
std::optional<float> parse_setting_f32(std::string_view text) { return parse_decimal<float>(text); }

double stability_eps() {
    // A function-local static is initialised exactly once, even under races.
    static const double value = read_setting<double>(kStabilityEpsVar, kDefaultStabilityEps, &parse_setting_f64);
    return value;
}

float distribution_heuristic() {
    static const float value =
        read_setting<float>(kDistributionHeuristicVar, kDefaultDistributionHeuristic, &parse_setting_f32);
    return value;
}

unsigned thread_cap() {
    static const unsigned value = read_setting<unsigned>(kThreadsVar, available_processors(), &parse_setting_threads);
    return value;
}

SimdChoice simd_choice() {
    static const SimdChoice value = read_setting<SimdChoice>(kSimdVar, SimdChoice::Widest, &parse_setting_simd);
    return value;
}

}  // namespace lumetra
