"""lumetra.stats against SciPy and statsmodels on 1M-element inputs, side by
side, as ratios measured in one run (median of repeats), never bare times:

- ks_2samp of two samples of 1M values (method 'auto', which is asymptotic
  at this size, and 'exact'), cramervonmises_2samp and anderson_ksamp of the
  same two samples, against scipy.stats;
- chisquare_bins and g_test_bins of two count columns of 1M bins, against
  scipy.stats.chi2_contingency (without and with lambda_='log-likelihood');
- multipletests of 1M p-values (fdr_bh, bonferroni, holm), against
  statsmodels;
- exact KS against one numpy.sort of the two samples (the target: at most
  the cost of that sort), and against the asymptotic KS (the same sorting
  and walk: what the exact distribution adds).

Every pair is also checked for the same p-value, so a ratio is never bought
with a wrong answer. LUMETRA_BENCH_SIZE=N changes the size (default 1M).
"""

import os
import warnings

# NumPy's BLAS keeps worker threads spinning after a call (SciPy's
# anderson_ksamp makes one, a tiny least-squares fit): they would hold the
# cores the engine's threads sort on. None of the measured SciPy functions
# gains from BLAS threads.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np  # noqa: E402
from scipy import stats as sp  # noqa: E402
from statsmodels.stats.multitest import multipletests as sm_multipletests  # noqa: E402

from lumetra import stats as ls  # noqa: E402
from timing import median_ratio, median_times  # noqa: E402

N = int(os.environ.get("LUMETRA_BENCH_SIZE", 1_000_000))
TARGET = 10.0


def same(ours, theirs, what):
    ours, theirs = np.asarray(ours, dtype=float), np.asarray(theirs, dtype=float)
    if not np.allclose(ours, theirs, rtol=1e-9, atol=0, equal_nan=True):
        raise SystemExit(f"{what}: {ours} differs from {theirs}")


def row(name, ours, theirs, peer, repeats=5):
    """Runs both (alternating, median of repeats) and prints the speed-up."""
    t_ours, t_theirs = median_times(ours, theirs, repeats=repeats)
    ratio = t_theirs / t_ours
    flag = "" if ratio >= TARGET else "   BELOW TARGET"
    print(f"  {name:<44s} {ratio:8.1f}x faster than {peer}{flag}")


def main():
    rng = np.random.default_rng(26)
    x = rng.normal(0.0, 1.0, N)
    y = rng.normal(0.002, 1.0, N)
    print(f"two samples of {N} values (normal, shifted by 0.002):")
    for method in ("auto", "exact"):
        same(ls.ks_2samp(x, y, method=method).pvalue, sp.ks_2samp(x, y, method=method).pvalue, f"ks {method}")
        row(f"ks_2samp(method={method!r})", lambda m=method: ls.ks_2samp(x, y, method=m),
            lambda m=method: sp.ks_2samp(x, y, method=m), "scipy.stats")
    same(ls.cramervonmises_2samp(x, y).pvalue, sp.cramervonmises_2samp(x, y).pvalue, "cvm")
    row("cramervonmises_2samp", lambda: ls.cramervonmises_2samp(x, y), lambda: sp.cramervonmises_2samp(x, y),
        "scipy.stats")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        same(ls.anderson_ksamp([x, y]).pvalue, sp.anderson_ksamp([x, y], variant="midrank").pvalue, "ad")
        row("anderson_ksamp (midrank)", lambda: ls.anderson_ksamp([x, y]),
            lambda: sp.anderson_ksamp([x, y], variant="midrank"), "scipy.stats", repeats=3)

    both = np.concatenate([x, y])
    exact_over_sort = median_ratio(lambda: ls.ks_2samp(x, y, method="exact"), lambda: np.sort(both))
    print(f"  {'ks_2samp(exact) / numpy.sort of both':<44s} {exact_over_sort:8.2f}x the sort   (target <= 1x)")
    # What the exact distribution adds to the engine's own sorting and walk.
    exact_over_asymp = median_ratio(lambda: ls.ks_2samp(x, y, method="exact"),
                                    lambda: ls.ks_2samp(x, y, method="asymp"))
    print(f"  {'ks_2samp(exact) / ks_2samp(asymp)':<44s} {exact_over_asymp:8.2f}x")

    ref = rng.poisson(20.0, N)
    cur = rng.poisson(20.2, N)
    table = np.array([ref, cur])
    print(f"counts on {N} bins (Poisson, means 20 and 20.2):")
    same(ls.chisquare_bins(ref, cur).pvalue, sp.chi2_contingency(table).pvalue, "chi2")
    row("chisquare_bins", lambda: ls.chisquare_bins(ref, cur), lambda: sp.chi2_contingency(table), "chi2_contingency")
    same(ls.g_test_bins(ref, cur).pvalue, sp.chi2_contingency(table, lambda_="log-likelihood").pvalue, "g")
    row("g_test_bins", lambda: ls.g_test_bins(ref, cur),
        lambda: sp.chi2_contingency(table, lambda_="log-likelihood"), "chi2_contingency(log-likelihood)")

    p = rng.uniform(0.0, 1.0, N) ** 2
    print(f"{N} p-values:")
    for method in ("fdr_bh", "bonferroni", "holm"):
        ours, theirs = ls.multipletests(p, method=method), sm_multipletests(p, method=method)
        same(ours[1], theirs[1], f"multipletests {method}")
        if not np.array_equal(ours[0], theirs[0]):
            raise SystemExit(f"multipletests {method}: rejections differ")
        row(f"multipletests(method={method!r})", lambda m=method: ls.multipletests(p, method=m),
            lambda m=method: sm_multipletests(p, method=m), "statsmodels")


if __name__ == "__main__":
    main()
