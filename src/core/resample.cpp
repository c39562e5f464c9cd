#include "core/resample.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace lumetra::resample {
namespace {

constexpr std::uint32_t kM0 = 0xD2511F53u, kM1 = 0xCD9E8D57u;  // round multipliers
constexpr std::uint32_t kW0 = 0x9E3779B9u, kW1 = 0xBB67AE85u;  // key increments

void round(std::array<std::uint32_t, 4>& c, const std::array<std::uint32_t, 2>& k) noexcept {
    const std::uint64_t p0 = static_cast<std::uint64_t>(kM0) * c[0];
    const std::uint64_t p1 = static_cast<std::uint64_t>(kM1) * c[2];
    const auto hi0 = static_cast<std::uint32_t>(p0 >> 32), lo0 = static_cast<std::uint32_t>(p0);
    const auto hi1 = static_cast<std::uint32_t>(p1 >> 32), lo1 = static_cast<std::uint32_t>(p1);
    c = {hi1 ^ c[1] ^ k[0], lo1, hi0 ^ c[3] ^ k[1], lo0};
}

// log(k!) - ((k + 1/2) log(k + 1) - (k + 1) + log(2 pi) / 2): the error of
// Stirling's formula at k + 1, exact from the factorials below ten, from its
// series above.
double stirling_correction(double k) noexcept {
    static const std::array<double, 10> small = [] {
        std::array<double, 10> out{};
        double factorial = 1.0;
        const double half_log_two_pi = 0.5 * std::log(2.0 * 3.14159265358979323846);
        for (int i = 0; i < 10; ++i) {
            if (i > 0) factorial *= i;
            const double x = i + 1.0;
            out[i] = std::log(factorial) - ((i + 0.5) * std::log(x) - x + half_log_two_pi);
        }
        return out;
    }();
    if (k < 10.0) return small[static_cast<std::size_t>(k)];
    const double x = k + 1.0, x2 = x * x;
    return (1.0 / 12.0 - (1.0 / 360.0 - 1.0 / 1260.0 / x2) / x2) / x;
}

// Inversion: the smallest x whose cumulative probability exceeds a uniform
// draw, walking the probabilities by their recurrence (n p below 10, so the
// walk is short and q^n does not underflow).
std::uint64_t binomial_inversion(Stream& s, std::uint64_t n, double p) noexcept {
    const double q = 1.0 - p, ratio = p / q, a = (static_cast<double>(n) + 1.0) * ratio;
    const double start = std::pow(q, static_cast<double>(n));
    while (true) {
        double u = s.uniform(), r = start;
        std::uint64_t x = 0;
        bool lost = false;
        while (u > r) {
            u -= r;
            ++x;
            if (x > n || x > 1000) {  // rounding left u above every probability: draw again
                lost = true;
                break;
            }
            r *= a / static_cast<double>(x) - ratio;
        }
        if (!lost) return x;
    }
}

// Hörmann's transformed rejection with squeeze (BTRD), n p at least 10, p at
// most one half.
std::uint64_t binomial_btrd(Stream& s, std::uint64_t count, double p) noexcept {
    const double n = static_cast<double>(count);
    const double q = 1.0 - p;
    const double m = std::floor((n + 1.0) * p);
    const double r = p / q, nr = (n + 1.0) * r, npq = n * p * q;
    const double sq = std::sqrt(npq);
    const double b = 1.15 + 2.53 * sq;
    const double a = -0.0873 + 0.0248 * b + 0.01 * p;
    const double c = n * p + 0.5;
    const double alpha = (2.83 + 5.1 / b) * sq;
    const double vr = 0.92 - 4.2 / b;
    const double urvr = 0.86 * vr;
    while (true) {
        double v = s.uniform();
        double u;
        if (v <= urvr) {
            u = v / vr - 0.43;
            return static_cast<std::uint64_t>(std::floor((2.0 * a / (0.5 - std::fabs(u)) + b) * u + c));
        }
        if (v >= vr) {
            u = s.uniform() - 0.5;
        } else {
            u = v / vr - 0.93;
            u = std::copysign(0.5, u) - u;
            v = s.uniform() * vr;
        }
        const double us = 0.5 - std::fabs(u);
        const double k = std::floor((2.0 * a / us + b) * u + c);
        if (k < 0.0 || k > n) continue;
        v = v * alpha / (a / (us * us) + b);
        const double km = std::fabs(k - m);
        if (km <= 15.0) {
            // The ratio f(k) / f(m) by its recurrence.
            double f = 1.0;
            if (m < k) {
                for (double i = m + 1.0; i <= k; i += 1.0) f *= nr / i - r;
            } else if (m > k) {
                for (double i = k + 1.0; i <= m; i += 1.0) v *= nr / i - r;
            }
            if (v <= f) return static_cast<std::uint64_t>(k);
            continue;
        }
        // Squeeze, then the exact test with Stirling's corrections.
        v = std::log(v);
        const double rho = km / npq * (((km / 3.0 + 0.625) * km + 1.0 / 6.0) / npq + 0.5);
        const double t = -km * km / (2.0 * npq);
        if (v < t - rho) return static_cast<std::uint64_t>(k);
        if (v > t + rho) continue;
        const double nm = n - m + 1.0;
        const double h = (m + 0.5) * std::log((m + 1.0) / (r * nm)) + stirling_correction(m) +
                         stirling_correction(n - m);
        const double nk = n - k + 1.0;
        if (v <= h + (n + 1.0) * std::log(nm / nk) + (k + 0.5) * std::log(nk * r / (k + 1.0)) -
                     stirling_correction(k) - stirling_correction(n - k)) {
            return static_cast<std::uint64_t>(k);
        }
    }
}

}  // namespace

std::array<std::uint32_t, 4> philox(std::array<std::uint32_t, 4> counter, std::array<std::uint32_t, 2> key) noexcept {
    for (int i = 0; i < 10; ++i) {
        if (i > 0) {
            key[0] += kW0;
            key[1] += kW1;
        }
        round(counter, key);
    }
    return counter;
}

Stream::Stream(std::uint64_t seed, std::uint32_t replicate, std::uint32_t group, std::uint32_t purpose) noexcept
    : key_{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32)},
      counter_{0, replicate, group, purpose} {}

std::uint32_t Stream::next() noexcept {
    if (used_ == 4) {
        block_ = philox(counter_, key_);
        ++counter_[0];
        used_ = 0;
    }
    return block_[used_++];
}

double Stream::uniform() noexcept {
    const std::uint32_t a = next() >> 5, b = next() >> 6;
    return (static_cast<double>(a) * 67108864.0 + static_cast<double>(b)) * (1.0 / 9007199254740992.0);
}

std::uint64_t binomial(Stream& s, std::uint64_t n, double p) noexcept {
    if (n == 0 || !(p > 0.0)) return 0;
    if (p >= 1.0) return n;
    if (p > 0.5) return n - binomial(s, n, 1.0 - p);
    if (static_cast<double>(n) * p < 10.0) return binomial_inversion(s, n, p);
    return std::min(binomial_btrd(s, n, p), n);
}

void multinomial(Stream& s, std::span<const std::uint64_t> cells, std::span<std::uint64_t> out) noexcept {
    std::uint64_t left = 0;  // rows still to place
    for (const std::uint64_t c : cells) left += c;
    std::uint64_t beyond = left;  // the cells' own counts from this cell on
    for (std::size_t k = 0; k < cells.size(); ++k) {
        if (k + 1 == cells.size()) {
            out[k] = left;
            break;
        }
        const double p = beyond == 0 ? 0.0 : static_cast<double>(cells[k]) / static_cast<double>(beyond);
        out[k] = binomial(s, left, p);
        left -= out[k];
        beyond -= cells[k];
    }
}

std::pair<double, double> percentile_interval(std::vector<double>& values, double level) noexcept {
    values.erase(std::remove_if(values.begin(), values.end(), [](double v) { return std::isnan(v); }), values.end());
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (values.empty()) return {nan, nan};
    std::sort(values.begin(), values.end());
    auto at = [&](double q) {
        const double h = static_cast<double>(values.size() - 1) * q;
        const auto i = static_cast<std::size_t>(std::floor(h));
        const double frac = h - static_cast<double>(i);
        if (i + 1 >= values.size() || frac == 0.0) return values[i];
        return values[i] + (values[i + 1] - values[i]) * frac;
    };
    return {at((1.0 - level) / 2.0), at((1.0 + level) / 2.0)};
}

}  // namespace lumetra::resample
