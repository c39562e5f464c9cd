// The distributions behind the significance tests of core/stats.hpp: the
// chi-square survival function (regularized upper incomplete gamma), the
// one- and two-sided Kolmogorov-Smirnov distributions of n observations, the
// limiting Cramer-von Mises distribution and the Bessel function it needs.
// Each follows the computation SciPy uses for the same quantity, so that the
// tests' p-values agree with SciPy's wherever SciPy is accurate; none reads
// any state, so any thread may call them.
#pragma once

#include <cstdint>

namespace lumetra::special {

/// log(1 + u) - u for u > -1, accurate near 0.
double log1pmx(double u) noexcept;

/// log Gamma(x) for x > 0 (reentrant).
double log_gamma(double x) noexcept;

/// Regularized lower incomplete gamma P(a, x), a > 0, x >= 0 (NaN otherwise).
double gamma_p(double a, double x) noexcept;

/// Regularized upper incomplete gamma Q(a, x) = 1 - P(a, x), accurate to a
/// few units of 1e-15 relative deep into the tail (NaN outside a > 0, x >= 0;
/// Q(a, 0) = 1, Q(a, inf) = 0).
double gamma_q(double a, double x) noexcept;

/// Survival function of the chi-square distribution with `df` degrees of
/// freedom at x (1 for x < 0), as scipy.special.chdtrc(df, x).
double chi2_sf(double x, double df) noexcept;

/// The x at which chi2_sf(x, df) = p (scipy.stats.chi2.isf), found by
/// bisection on chi2_sf to the last bit: NaN outside 0 <= p <= 1, df > 0;
/// inf for p = 0, 0 for p = 1.
double chi2_isf(double p, double df) noexcept;

/// P(D+_n >= x): the one-sided Kolmogorov-Smirnov statistic of n
/// observations (scipy.special.smirnov): the exact Birnbaum-Tingey sum up to
/// a million observations, Smirnov's shifted limit exp(-2n(x + 1/(6n))^2)
/// beyond.
double smirnov_sf(std::int64_t n, double x) noexcept;

/// P(D_n <= x) (cdf) or P(D_n >= x) (survival) of the two-sided
/// Kolmogorov-Smirnov statistic of n observations (scipy.stats.kstwo), by the
/// regimes of Simard and L'Ecuyer: Ruben-Gambino near the ends, the Durbin
/// matrix, Pomeranz's recursion, twice the one-sided tail, and the Pelz-Good
/// expansion. NaN for n < 1.
double kolmogorov_n(std::int64_t n, double x, bool cdf) noexcept;

/// The modified Bessel function of the second kind K_nu(x), |nu| <= 1/2,
/// x > 0 (Temme's series below 2, Steed's continued fraction above).
double bessel_k(double nu, double x) noexcept;

/// The cdf of the limiting one-sample Cramer-von Mises distribution at x,
/// summed term by term until a term is below 1e-7 (scipy.stats's
/// _cdf_cvm_inf, accurate for x up to about 4).
double cvm_limit_cdf(double x) noexcept;

}  // namespace lumetra::special
