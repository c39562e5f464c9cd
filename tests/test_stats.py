"""lumetra.stats against its references: scipy.stats for the tests,
statsmodels for multipletests, scipy.special (and mpmath where SciPy itself
is inaccurate) for the distributions behind them. Random samples (hypothesis)
and adversarial ones: ties, constant and one-element samples, NaN under each
policy, integer extremes, large samples."""

import inspect
import math
import os
import subprocess
import sys
import warnings

import mpmath
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from scipy import special
from scipy import stats as sp
from scipy.stats._hypotests import _cdf_cvm_inf
from statsmodels.stats.multitest import multipletests as sm_multipletests

from lumetra import _kernels
from lumetra import stats
from surface import STATS

SETTINGS = settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow],
                    derandomize=True)


def close(ours, theirs, rtol=1e-9, atol=0.0):
    """Equal to within rtol (relative) or atol (absolute), NaN matching NaN."""
    ours, theirs = np.asarray(ours, dtype=float), np.asarray(theirs, dtype=float)
    return bool(np.allclose(ours, theirs, rtol=rtol, atol=atol, equal_nan=True))


# Warnings of NumPy's floating-point checks inside the reference's own
# arithmetic (a division by zero on its way to a NaN) have no counterpart.
ARITHMETIC = ("divide by zero", "invalid value", "overflow encountered")


def quiet(fn, *args, **kwargs):
    """fn's result, and the categories of the warnings it gave (or its exception type)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = fn(*args, **kwargs)
        except Exception as e:  # noqa: BLE001 - the type is the answer
            return type(e), []
    kept = [w for w in caught if not str(w.message).startswith(ARITHMETIC) and w.category is not DeprecationWarning
            and "`variant`" not in str(w.message)]
    return result, sorted({w.category.__name__ for w in kept})


# ---- samples ---------------------------------------------------------------------------


@st.composite
def samples(draw, min_size=1, max_size=80):
    """A sample of floats, of integers, or of rounded floats (ties)."""
    n = draw(st.integers(min_size, max_size))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    shape = draw(st.sampled_from(["normal", "ties", "ints", "exp"]))
    shift = draw(st.sampled_from([0.0, 0.0, 0.4, 1.5]))
    if shape == "normal":
        return rng.normal(shift, 1.0, n)
    if shape == "ties":
        return np.round(rng.normal(shift, 1.0, n), 1)
    if shape == "ints":
        return rng.integers(0, 6, n) + int(shift)
    return rng.exponential(1.0 + shift, n)


# ---- Kolmogorov-Smirnov ------------------------------------------------------------


def check_ks(x, y, **kwargs):
    ours, our_warnings = quiet(stats.ks_2samp, x, y, **kwargs)
    theirs, their_warnings = quiet(sp.ks_2samp, x, y, **kwargs)
    assert our_warnings == their_warnings
    assert ours.statistic == theirs.statistic or close(ours.statistic, theirs.statistic, 1e-15)
    assert close(ours.pvalue, theirs.pvalue, 1e-9, 1e-300), (ours, theirs)
    assert close(ours.statistic_location, theirs.statistic_location, 0)
    assert close(ours.statistic_sign, theirs.statistic_sign, 0)
    assert type(ours.statistic_location) is type(theirs.statistic_location)
    return ours


@SETTINGS
@given(samples(), samples(), st.sampled_from(["two-sided", "less", "greater"]),
       st.sampled_from(["auto", "exact", "asymp"]))
def test_ks_2samp_matches_scipy(x, y, alternative, method):
    check_ks(x, y, alternative=alternative, method=method)


@pytest.mark.parametrize("x, y", [
    ([1.0], [2.0]), ([1.0], [1.0]), ([3.0] * 5, [3.0] * 7), ([1.0, 2.0], [2.0, 3.0]),
    ([0.0, -0.0, 1.0], [-0.0, 2.0]), ([-np.inf, 0.0, np.inf], [np.inf, np.inf, 1.0]),
    (np.arange(50.0), np.arange(50.0) + 0.5), (np.arange(20.0), np.arange(20.0) + 100.0),
], ids=["one-each", "one-each-equal", "constant", "overlap", "signed-zeros", "infinities", "interleaved",
        "separated"])
@pytest.mark.parametrize("alternative", ["two-sided", "less", "greater"])
@pytest.mark.parametrize("method", ["auto", "exact", "asymp"])
def test_ks_2samp_adversarial_samples(x, y, alternative, method):
    check_ks(np.asarray(x), np.asarray(y), alternative=alternative, method=method)


def test_ks_2samp_types_and_extreme_integers():
    """Locations keep the samples' promoted dtype. The largest int64 and
    uint64 values have the largest keys, which the merged walk uses as its end
    marker: they are ranked instead (a regression: the walk stopped there)."""
    i64 = np.iinfo(np.int64)
    for x, y in [(np.array([1, 2, 3], np.int32), np.array([2, 5], np.int64)),
                 (np.array([i64.min, 0, i64.max]), np.array([i64.max, i64.max - 1])),
                 (np.array([0, 2**64 - 1], np.uint64), np.array([2**64 - 1, 5], np.uint64)),
                 (np.array([1, 2], np.uint64), np.array([-1, 3], np.int64)),
                 (np.array([True, False, True]), np.array([1, 0])),
                 (np.array([1.5, 2.5], np.float32), np.array([1.5, 2.0], np.float32))]:
        for alternative in ("two-sided", "less", "greater"):
            check_ks(x, y, alternative=alternative)


def test_ks_2samp_nan_policies_and_small_samples():
    x, y = np.array([1.0, np.nan, 3.0, 0.5]), np.array([1.5, 2.5])
    for policy in ("propagate", "omit"):
        check_ks(x, y, nan_policy=policy)
    check_ks(np.array([np.nan]), y, nan_policy="omit")
    check_ks(np.array([]), y)
    for bad in (x, np.array([np.nan])):
        with pytest.raises(ValueError, match="nan"):
            stats.ks_2samp(bad, y, nan_policy="raise")


def test_ks_2samp_exact_fallbacks_warn_as_scipy():
    rng = np.random.default_rng(4)
    # One-sided exact of two large unequal samples cannot count its paths
    # in double precision; sizes whose lcm is too large cannot be exact at all.
    for n1, n2, alternative in [(900, 1000, "less"), (70001, 70003, "two-sided")]:
        x, y = rng.normal(size=n1), rng.normal(0.05, 1.0, n2)
        check_ks(x, y, alternative=alternative, method="exact")


def test_ks_2samp_large_samples():
    rng = np.random.default_rng(5)
    x, y = rng.normal(size=200_000), rng.normal(0.01, 1.0, 200_000)
    for method in ("auto", "exact"):
        check_ks(x, y, method=method)
    check_ks(x[:150_000], y, alternative="greater")


def test_ks_2samp_axes_as_scipy():
    rng = np.random.default_rng(6)
    a, b = rng.normal(size=(3, 12)), rng.normal(size=(1, 9))
    for kwargs in [dict(axis=1), dict(axis=-1, keepdims=True), dict(axis=None), dict(axis=1, alternative="less")]:
        ours, theirs = stats.ks_2samp(a, b, **kwargs), sp.ks_2samp(a, b, **kwargs)
        for f in ("statistic", "pvalue", "statistic_location", "statistic_sign"):
            assert close(getattr(ours, f), getattr(theirs, f), 1e-12), f
            assert np.shape(getattr(ours, f)) == np.shape(getattr(theirs, f))


# ---- Cramer-von Mises --------------------------------------------------------------


def check_cvm(x, y, **kwargs):
    ours, our_warnings = quiet(stats.cramervonmises_2samp, x, y, **kwargs)
    theirs, their_warnings = quiet(sp.cramervonmises_2samp, x, y, **kwargs)
    assert our_warnings == their_warnings
    assert close(ours.statistic, theirs.statistic, 1e-13)
    # The asymptotic p-value is 1 minus a series summed to terms of 1e-7:
    # SciPy's accuracy there is absolute.
    assert close(ours.pvalue, theirs.pvalue, 1e-9, 1e-13), (ours, theirs)


@SETTINGS
@given(samples(min_size=2, max_size=60), samples(min_size=2, max_size=60),
       st.sampled_from(["auto", "asymptotic"]))
def test_cramervonmises_2samp_matches_scipy(x, y, method):
    check_cvm(x, y, method=method)


@SETTINGS
@given(samples(min_size=2, max_size=9), samples(min_size=2, max_size=9))
def test_cramervonmises_2samp_exact_matches_scipy(x, y):
    check_cvm(x, y, method="exact")


def test_cramervonmises_2samp_edges():
    for x, y in [([1.0], [1.0, 2.0]), ([1.0, 1.0], [1.0, 1.0]), ([1.0, 2.0], [1.0, 2.0]), ([], [1.0, 2.0]),
                 ([1.0, np.nan, 3.0], [1.5, 2.5, 4.0]), (np.arange(30.0), np.arange(30.0) + 100)]:
        for policy in ("propagate", "omit"):
            check_cvm(np.asarray(x), np.asarray(y), nan_policy=policy)
    rng = np.random.default_rng(7)
    check_cvm(rng.normal(size=100_000), rng.normal(0.01, 1.0, 120_000))
    check_cvm(np.round(rng.normal(size=50_000), 2), np.round(rng.normal(size=40_000), 2))
    with pytest.raises(MemoryError):
        stats.cramervonmises_2samp(np.arange(300.0), np.arange(300.0) + 0.5, method="exact")


# ---- Anderson-Darling --------------------------------------------------------------


# SciPy before 1.17 names the variants by midrank=True/False and has no
# "continuous" one; there the continuous variant has no reference.
SCIPY_VARIANT = "variant" in inspect.signature(sp.anderson_ksamp).parameters


def sp_anderson(sample_list, variant="midrank"):
    if SCIPY_VARIANT:
        return sp.anderson_ksamp(sample_list, variant=variant)
    return sp.anderson_ksamp(sample_list, midrank=variant == "midrank")


def check_ad(sample_list, variant):
    if variant == "continuous" and not SCIPY_VARIANT:
        return
    ours, our_warnings = quiet(stats.anderson_ksamp, sample_list, variant=variant)
    theirs, their_warnings = quiet(sp_anderson, sample_list, variant)
    if isinstance(theirs, type):
        # SciPy indexes an empty array below three observations; refused here.
        assert ours is ValueError and (theirs is IndexError or theirs is ValueError)
        return
    assert our_warnings == their_warnings
    assert close(ours.statistic, theirs.statistic, 1e-11, 1e-14)
    assert close(ours.pvalue, theirs.pvalue, 1e-9)


@SETTINGS
@given(st.lists(samples(max_size=40), min_size=2, max_size=5), st.sampled_from(["midrank", "right", "continuous"]))
def test_anderson_ksamp_matches_scipy(sample_list, variant):
    check_ad(sample_list, variant)


def test_anderson_ksamp_results_and_refusals():
    rng = np.random.default_rng(8)
    x, y = rng.normal(size=300), rng.normal(0.4, 1.0, 200)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        theirs = sp.anderson_ksamp([x, y])
    ours = stats.anderson_ksamp([x, y])
    statistic, critical, pvalue = ours
    assert close(statistic, theirs.statistic, 1e-12) and close(pvalue, theirs.pvalue)
    assert close(critical, theirs.critical_values, 1e-15) and ours.significance_level == ours.pvalue
    assert close(stats.anderson_ksamp([x, y], midrank=False).statistic,
                 sp_anderson([x, y], "right").statistic, 1e-12)
    # NaN is a value above every other (as SciPy's sort and search have it).
    check_ad([np.array([1.0, np.nan, 3, 4]), np.array([2.0, np.nan, 6])], "midrank")
    for bad, message in [([x], "at least two"), ([x, []], "without observations"), ([[1.0, 1], [1.0]], "distinct"),
                         ([[1.0], [2.0]], "three")]:
        with pytest.raises(ValueError, match=message):
            stats.anderson_ksamp(bad)
    with pytest.warns(UserWarning, match="capped"):
        stats.anderson_ksamp([x, x + 1e-9])
    with pytest.warns(UserWarning, match="floored"):
        stats.anderson_ksamp([x, x + 10])
    with pytest.raises(ValueError, match="variant"):
        stats.anderson_ksamp([x, y], variant="discrete")


def test_anderson_ksamp_large_samples():
    rng = np.random.default_rng(9)
    sample_list = [rng.normal(size=100_000), rng.normal(0.005, 1.0, 80_000), np.round(rng.normal(size=50_000), 3)]
    for variant in ("midrank", "right"):
        check_ad(sample_list, variant)


# ---- chi-square and G on bins -------------------------------------------------------


def reference_contingency(ref, cur, **kwargs):
    """chi2_contingency of the 2 x B table without the bins empty on both sides."""
    keep = (np.asarray(ref) != 0) | (np.asarray(cur) != 0)
    return sp.chi2_contingency(np.array([np.asarray(ref)[keep], np.asarray(cur)[keep]]), **kwargs)


@st.composite
def bin_counts(draw):
    bins = draw(st.integers(1, 40))
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    mean = draw(st.sampled_from([0.3, 2.0, 50.0, 1e6]))
    ref = rng.poisson(mean, bins)
    cur = rng.poisson(mean * draw(st.sampled_from([1.0, 1.3])), bins)
    if draw(st.booleans()):
        ref[rng.integers(0, bins)] = 0  # the unseen-label bin
    dtype = draw(st.sampled_from(["int64", "int32", "uint16", "float64", "float32"]))
    return ref.astype(dtype), cur.astype(draw(st.sampled_from([dtype, "int64"])))


@SETTINGS
@given(bin_counts(), st.sampled_from([None, "log-likelihood", "pearson", "mod-log-likelihood", "cressie-read", 0.5]),
       st.booleans())
def test_chisquare_bins_matches_chi2_contingency(counts, lambda_, correction):
    ref, cur = counts
    ours = quiet(stats.chisquare_bins, ref, cur, correction=correction, lambda_=lambda_)[0]
    theirs = quiet(reference_contingency, ref, cur, correction=correction, lambda_=lambda_)[0]
    if isinstance(theirs, type):
        assert ours is theirs
        return
    assert close(ours.statistic, theirs.statistic, 1e-12, 1e-12)
    assert close(ours.pvalue, theirs.pvalue, 1e-9, 1e-300)
    assert ours.dof == theirs.dof
    assert close(ours.expected_freq, theirs.expected_freq, 1e-15)


def test_chisquare_bins_large_tables_and_refusals():
    rng = np.random.default_rng(10)
    ref, cur = rng.poisson(20.0, 300_000), rng.poisson(20.1, 300_000)
    for fn, kwargs in [(stats.chisquare_bins, {}), (stats.g_test_bins, {"lambda_": "log-likelihood"})]:
        ours, theirs = fn(ref, cur), reference_contingency(ref, cur, **kwargs)
        assert close(ours.statistic, theirs.statistic, 1e-12) and close(ours.pvalue, theirs.pvalue)
    # Yates' correction on the two bins left of three.
    assert close(stats.chisquare_bins([10, 0, 2], [3, 0, 9]).pvalue, sp.chi2_contingency([[10, 2], [3, 9]]).pvalue)
    for ref, cur, message in [([1, -1], [1, 1], "nonnegative"), ([0, 0], [0, 0], "No data"),
                              ([0, 0], [1, 2], "sum to zero"), ([1, 2], [1, 2, 3], "one count per bin")]:
        with pytest.raises(ValueError, match=message):
            stats.chisquare_bins(ref, cur)
    with pytest.raises(ValueError, match="lambda_"):
        stats.chisquare_bins([1, 2], [2, 1], lambda_="nope")


# ---- p-value adjustments ------------------------------------------------------------

METHODS = ["bonferroni", "sidak", "holm-sidak", "holm", "simes-hochberg", "fdr_bh", "fdr_by"]


def check_multipletests(p, **kwargs):
    ours, theirs = stats.multipletests(p, **kwargs), sm_multipletests(p, **kwargs)
    assert np.array_equal(ours[0], theirs[0])
    assert close(ours[1], theirs[1], 1e-12)
    assert close(ours[2], theirs[2], 0) and close(ours[3], theirs[3], 0)


@SETTINGS
@given(st.lists(st.one_of(st.floats(0, 1), st.sampled_from([0.0, 0.01, 0.05, 1.0])), max_size=60),
       st.sampled_from(METHODS + ["b", "hs", "h", "fdr_i"]), st.sampled_from([0.05, 0.1, 0.5]), st.booleans())
def test_multipletests_matches_statsmodels(pvalues, method, alpha, returnsorted):
    p = np.array(pvalues)
    check_multipletests(p, method=method, alpha=alpha, returnsorted=returnsorted)
    check_multipletests(np.sort(p), method=method, alpha=alpha, is_sorted=True)


def test_multipletests_ties_nan_empty_and_many():
    rng = np.random.default_rng(11)
    many = rng.uniform(size=300_000) ** 3
    many[rng.integers(0, many.size, 1000)] = 0.001  # ties
    for method in METHODS:
        for p in (many, np.array([0.01, np.nan, 0.2, 0.03]), np.array([np.nan, np.nan]), np.array([])):
            check_multipletests(p, method=method)
    assert stats.multipletests([0.01, 0.04])[1].dtype == np.float64
    with pytest.raises(ValueError, match="method"):
        stats.multipletests([0.1], method="hommel")
    with pytest.raises(ValueError, match="1-dimensional"):
        stats.multipletests([[0.1, 0.2]])


# ---- the distributions --------------------------------------------------------------


def special_of(name, a, x):
    return _kernels.special(name, float(a), np.ascontiguousarray(x, dtype=np.float64))


def test_chi2_sf_against_scipy_and_mpmath():
    worst = 0.0
    for df in [1, 2, 3, 7, 30, 100, 999, 10_000, 999_999]:
        x = np.concatenate([np.linspace(0, 5 * df + 50, 200), df + np.sqrt(2 * df) * np.linspace(-8, 40, 200)])
        x = x[x >= 0]
        ours, theirs = special_of("chi2_sf", df, x), special.chdtrc(df, x)
        keep = theirs > 1e-300
        worst = max(worst, float(np.max(np.abs(ours[keep] - theirs[keep]) / theirs[keep])))
    assert worst < 1e-10
    # Where SciPy's own incomplete gamma loses digits (a million degrees of
    # freedom and more), against 40 digits.
    mpmath.mp.dps = 40
    for a, x in [(5e6, 4.98e6), (5e6, 5.02e6), (4e7, 4.01e7), (0.5, 700.0), (3.5, 1e-5)]:
        exact = mpmath.gammainc(a, x, mpmath.inf, regularized=True)
        upper, lower = float(exact), float(1 - exact)  # 40 digits: 1 - Q keeps P's
        assert close(special_of("gamma_q", a, [x])[0], upper, 1e-12)
        assert close(special_of("gamma_p", a, [x])[0], lower, 1e-12)
    assert list(special_of("chi2_sf", 2, [-1.0, 0.0, np.inf, np.nan])[:3]) == [1.0, 1.0, 0.0]


def test_kolmogorov_distributions_against_scipy():
    for n in [1, 2, 3, 5, 10, 50, 140, 141, 1000, 99_999, 100_001, 2_000_000]:
        x = np.concatenate([np.linspace(0, 1, 60), np.sqrt(np.linspace(0.001, 20, 60) / n),
                            np.linspace(0.4 / n, 2.0 / n, 12)])
        x = x[(x >= 0) & (x <= 1)]
        if 1000 < n < 1_000_000:
            x = x[::6]  # SciPy takes about a second per point near 10**5; ours takes a millisecond
        for name, theirs in [("kolmogorov_sf", sp.kstwo.sf(x, n)), ("kolmogorov_cdf", sp.kstwo.cdf(x, n)),
                             ("smirnov", special.smirnov(n, x))]:
            ours = special_of(name, n, x)
            keep = theirs > 1e-300
            if name == "smirnov" and n > 1_000_000:
                # Beyond a million observations both take Smirnov's limit, SciPy
                # another form of it within 1/n of 0, where the two sided
                # distribution never asks for it.
                keep &= x * n > 1.0
            assert close(ours[keep], theirs[keep], 1e-10), (name, n)


def test_bessel_and_cvm_limit_against_scipy():
    x = np.logspace(-10, 2.8, 500)
    assert close(special_of("bessel_k", 0.25, x), special.kv(0.25, x), 1e-13)
    t = np.linspace(0.003, 5.0, 300)
    assert close(special_of("cvm_limit_cdf", 0, t), [_cdf_cvm_inf(v) for v in t], 1e-13, 1e-15)


# ---- the surface ---------------------------------------------------------------------


def test_signatures_and_results_as_the_references():
    def bare(fn):
        sig = inspect.signature(fn)
        return str(sig.replace(parameters=[p.replace(annotation=p.empty) for p in sig.parameters.values()],
                               return_annotation=sig.empty))

    for name, text in STATS.items():
        assert bare(getattr(stats, name)) == text
    reference = {"ks_2samp": sp.ks_2samp, "cramervonmises_2samp": sp.cramervonmises_2samp,
                 "anderson_ksamp": sp.anderson_ksamp, "multipletests": sm_multipletests}
    if not SCIPY_VARIANT:
        del reference["anderson_ksamp"]  # SciPy's variant parameter came later than our model of it
    for name, fn in reference.items():
        assert list(inspect.signature(fn).parameters) == list(inspect.signature(getattr(stats, name)).parameters)
    r = stats.ks_2samp([1.0, 2.0, 3.0], [1.5, 2.5])
    statistic, pvalue = r
    assert (statistic, pvalue) == (r.statistic, r.pvalue) and len(r) == 2
    assert repr(r).startswith("KstestResult(statistic=") and "statistic_sign" in repr(r)
    assert r._asdict()["statistic_location"] == r.statistic_location
    assert list(stats.chisquare_bins([1, 2, 3], [2, 2, 2])._fields) == ["statistic", "pvalue", "dof", "expected_freq"]
    assert set(stats.__all__) == set(STATS) | {"SmallSampleWarning"}
    assert issubclass(stats.SmallSampleWarning, RuntimeWarning)
    for bad in [dict(method="nope"), dict(alternative="sideways"), dict(nan_policy="ignore"), dict(keepdims=1),
                dict(axis=1.5)]:
        with pytest.raises((ValueError, TypeError)):
            stats.ks_2samp([1.0, 2.0], [3.0], **bad)
    with pytest.raises(TypeError, match="numbers"):
        stats.ks_2samp(["a", "b"], [1.0])


def test_results_do_not_depend_on_the_thread_count():
    """Every sort, walk and sum gives the same bits on one thread and on four
    (the cap is read once per process: one process each)."""
    code = (
        "import numpy as np; from lumetra import stats\n"
        "rng = np.random.default_rng(12)\n"
        "x, y = rng.normal(size=400_000), np.round(rng.normal(0.01, 1.0, 300_000), 3)\n"
        "r, c = rng.poisson(9.0, 600_000), rng.poisson(9.1, 600_000)\n"
        "out = [*stats.ks_2samp(x, y), *stats.cramervonmises_2samp(x, y), stats.anderson_ksamp([x, y]).statistic,\n"
        "       *stats.chisquare_bins(r, c)[:2], *stats.g_test_bins(r, c)[:2],\n"
        "       stats.multipletests(rng.uniform(size=500_000), method='fdr_bh')[1].sum()]\n"
        "print([float(v).hex() for v in out])\n")
    runs = []
    for threads in ("1", "4"):
        env = dict(os.environ, LUMETRA_THREADS=threads)
        runs.append(subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                                   check=True).stdout)
    assert runs[0] == runs[1]


def test_sample_keys_sort_in_numeric_order():
    """The radix sort's first pass reads the values themselves and later
    passes go over the 33 highest key bits only: values that differ only
    below them, or cluster in one place, sort as NumPy sorts them."""
    rng = np.random.default_rng(13)
    base = rng.normal(size=5000)
    for x in [1.0 + rng.integers(0, 2**20, 300_000) * 2.0**-52, np.repeat(base, 60),
              np.concatenate([base * 1e-300, base * 1e300, [np.inf, -np.inf, 0.0, -0.0]] * 40),
              rng.integers(-(2**62), 2**62, 200_000), rng.integers(0, 3, 200_000).astype(np.uint8)]:
        y = np.sort(x)[::7].copy()
        # Identical samples but for the thinning: every location and count must line up.
        check_ks(x, y)
        check_ks(x, y, alternative="less")


def test_g_test_bins_with_large_totals_as_scipy():
    """The log-likelihood terms divide each count by its own expected
    frequency, as chi2_contingency does. A ratio shared by a whole row (its
    total over the table's) rounds once into every logarithm, and the sum
    carries that rounding times the row's total: with 2 * 10^9 counts per row
    the p-value moved by 1e-8 (a regression)."""
    rng = np.random.default_rng(14)
    ref, cur = rng.poisson(1e5, 20_000), rng.poisson(1.0002e5, 20_000)
    ours, theirs = stats.g_test_bins(ref, cur), reference_contingency(ref, cur, lambda_="log-likelihood")
    assert close(ours.statistic, theirs.statistic, 1e-14)
    assert close(ours.pvalue, theirs.pvalue, 1e-10)


@pytest.mark.parametrize("x, y", [
    (np.repeat([1.0, 2.0, 3.0], 5000), np.repeat([2.0, 3.0, 4.0], 4000)),  # the median value shared, tied
    (np.repeat([5.0], 20_000), np.arange(10_000.0)),                      # one sample a single value
    (np.arange(30_000.0) % 7, np.arange(20_000.0) % 5),                   # ties in runs of thousands
], ids=["tied-median", "constant-large", "runs"])
def test_large_tied_samples(x, y):
    """The merged walk runs as two chains split at the first sample's median
    value; runs of equal values must stay whole across the split, and the
    midrank sums of long runs are taken in closed form."""
    for alternative in ("two-sided", "less", "greater"):
        check_ks(x, y, alternative=alternative)
    check_cvm(x, y)
    check_ad([x, y], "midrank")
