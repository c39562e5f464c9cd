"""Drift with two-sample tests: each column's test is SciPy's on the same
samples or bins, the p-values are adjusted as statsmodels adjusts them, a
tolerance is judged by the metric's bootstrap interval, and a Dask frame in
any partitioning gives the same bits as one frame."""

import math

import numpy as np
import pandas as pd
import pytest
import scipy.stats as sp
from statsmodels.stats.multitest import multipletests

import lumetra
from lumetra import _kernels

TEST_COLUMNS = ["test", "statistic", "p_value", "p_adjusted", "drifted", "psi_critical"]


def frames(n_small=800, n_large=30_000, seed=0, shift=0.0):
    """A reference and a current frame: numeric columns small enough for the
    exact KS test and large ones for the binned test, integers with ties,
    and text with a label the reference never had."""
    rng = np.random.default_rng(seed)

    def side(n, moved):
        return pd.DataFrame({
            "x": rng.normal(shift if moved else 0.0, 1.0, n),
            "k": rng.integers(0, 6, n).astype(np.int64),
            "t": rng.choice(["a", "b", "c", "new"] if moved else ["a", "b", "c"], n),
        })

    small = side(n_small, False), side(n_small + 37, True)
    large = side(n_large, False), side(n_large + 11, True)
    return small, large


def reference_counts(ref, cur, column):
    """Both sides' counts on the baseline's bins, read the engine's way."""
    if ref[column].dtype.kind in "if":
        edges = _kernels.continuous_baseline(np.asarray(ref[column], dtype=np.float64))["edges"]
        return [_kernels.continuous_counts(edges, np.asarray(s[column], dtype=np.float64)) for s in (ref, cur)]
    labels = sorted(set(ref[column]))
    def counts(s):
        values = list(s[column])
        return np.array([values.count(label) for label in labels] + [sum(v not in labels for v in values)])
    return [counts(ref), counts(cur)]


def scipy_binned(ref_counts, cur_counts, lambda_=None):
    table = np.array([ref_counts, cur_counts], dtype=np.float64)
    table = table[:, table.sum(axis=0) > 0]
    return sp.chi2_contingency(table, lambda_=lambda_)


@pytest.mark.parametrize("test", ["auto", "chi2", "g", "ks"])
def test_each_column_takes_scipys_test(test):
    (ref_s, cur_s), (ref_l, cur_l) = frames(shift=0.05)
    for ref, cur, small in ((ref_s, cur_s, True), (ref_l, cur_l, False)):
        table = lumetra.drift(ref, cur, test=test).set_index("column")
        for column in ("x", "k", "t"):
            row = table.loc[column]
            numeric = column != "t"
            ks = numeric and (test == "ks" or (test == "auto" and small))
            if ks:
                want = sp.ks_2samp(ref[column], cur[column])
            else:
                lambda_ = "log-likelihood" if test == "g" else None
                want = scipy_binned(*reference_counts(ref, cur, column), lambda_=lambda_)
            assert row["test"] == ("ks" if ks else "g" if test == "g" else "chi2")
            assert math.isclose(row["statistic"], want.statistic, rel_tol=1e-12)
            assert math.isclose(row["p_value"], want.pvalue, rel_tol=1e-9, abs_tol=1e-300)
        p = table["p_value"].to_numpy()
        assert np.allclose(table["p_adjusted"], multipletests(p, method="fdr_bh")[1], rtol=1e-12)
        assert list(table["drifted"]) == list(table["p_adjusted"] < 0.05)


def test_corrections_critical_psi_and_no_test():
    (ref, cur), _ = frames(seed=4, shift=0.3)
    for correction in ("bonferroni", "holm", "fdr_by"):
        table = lumetra.drift(ref, cur, correction=correction, alpha=0.01)
        assert np.allclose(table["p_adjusted"], multipletests(table["p_value"], method=correction)[1], rtol=1e-12)
    none = lumetra.drift(ref, cur, correction="none")
    assert none["p_adjusted"].tolist() == none["p_value"].tolist()
    # PSI times N M / (N + M) is about chi-square on the bins either side fills, less one.
    table = lumetra.drift(ref, cur, alpha=0.01).set_index("column")
    for column in ("x", "k", "t"):
        r, c = reference_counts(ref, cur, column)
        kept = int(np.count_nonzero((r > 0) | (c > 0)))
        want = sp.chi2.isf(0.01, kept - 1) * (1 / r.sum() + 1 / c.sum())
        assert math.isclose(table.loc[column, "psi_critical"], want, rel_tol=1e-12)
    assert math.isclose(_kernels.special("chi2_isf", 3.0, np.array([1e-12]))[0], sp.chi2.isf(1e-12, 3), rel_tol=1e-13)
    assert list(_kernels.special("chi2_isf", 2.0, np.array([0.0, 1.0, 1.5])))[:2] == [math.inf, 0.0]
    plain = lumetra.drift(ref, cur, test=None)
    assert not set(TEST_COLUMNS) & set(plain.columns)
    assert plain.equals(none[plain.columns])


def test_refused_arguments():
    (ref, cur), _ = frames()
    for kwargs, error in [({"test": "t"}, ValueError), ({"alpha": 0.0}, ValueError), ({"alpha": True}, ValueError),
                          ({"correction": "fdr"}, ValueError), ({"tolerance": 0.1}, TypeError),
                          ({"tolerance": {"Nope": 0.1}}, ValueError),
                          ({"tolerance": {"JensenShannon": -1.0}}, ValueError),
                          ({"tolerance": {"JensenShannon": math.nan}}, ValueError),
                          ({"metrics": ["JensenShannon"], "tolerance": {"PopulationStabilityIndex": 0.1}}, ValueError),
                          ({"n_boot": 0}, ValueError), ({"seed": -1}, ValueError)]:
        with pytest.raises(error):
            lumetra.drift(ref, cur, **kwargs)


def test_a_tolerance_is_judged_by_the_metrics_interval():
    (ref, cur), _ = frames(n_small=3000, seed=9, shift=0.5)
    tolerance = {"PopulationStabilityIndex": 0.1, "JensenShannon": 0.0}
    table = lumetra.drift(ref, cur, tolerance=tolerance, n_boot=400, seed=3).set_index("column")
    for metric in tolerance:
        low, high, value = table[f"{metric}_low"], table[f"{metric}_high"], table[metric]
        assert ((low <= value) & (value <= high) & (low >= 0)).all()
    judged = (table["p_adjusted"] < 0.05) & (table["PopulationStabilityIndex_low"] >= 0.1)
    assert list(table["drifted"]) == list(judged & (table["JensenShannon_low"] >= 0.0))
    # The labels gained a new one: drifted beyond doubt. The integers did not move.
    assert table.loc["t", "drifted"] and not table.loc["k", "drifted"]
    # The PSI of 36 bins of 3,000 values is biased upward by the sparse tails;
    # the basic interval takes the bias off, so its lower bound is well below the value.
    assert table.loc["x", "PopulationStabilityIndex_low"] < table.loc["x", "PopulationStabilityIndex"] / 2
    again = lumetra.drift(ref, cur, tolerance=tolerance, n_boot=400, seed=3).set_index("column")
    assert again.equals(table)
    other = lumetra.drift(ref, cur, tolerance=tolerance, n_boot=400, seed=4).set_index("column")
    assert not other["PopulationStabilityIndex_low"].equals(table["PopulationStabilityIndex_low"])
    # A tolerance above the drift keeps a significant column from drifting.
    high = lumetra.drift(ref, cur, tolerance={"PopulationStabilityIndex": 10.0}, n_boot=200).set_index("column")
    assert (high["p_adjusted"] < 0.05).sum() == 2 and not high["drifted"].any()


def test_the_basic_interval_covers_the_populations_psi():
    # Two normals a quarter of a standard deviation apart, binned on the
    # reference's bins: the population PSI of those bins is about 0.0625.
    rng = np.random.default_rng(11)
    covered = 0
    for seed in range(40):
        ref = rng.normal(0, 1, 4000)
        cur = rng.normal(0.25, 1, 4000)
        edges = _kernels.continuous_baseline(ref)["edges"]
        cells = np.concatenate([[-np.inf], edges, [np.inf]])
        p = np.diff(sp.norm.cdf(cells))
        q = np.diff(sp.norm.cdf(cells, loc=0.25))
        truth = float(np.sum((q - p) * np.log(q / p)))
        r, c = (_kernels.continuous_counts(edges, v).astype(np.float64) for v in (ref, cur))
        hist = _kernels.continuous_baseline(ref)["hist"]
        (low, high), = _kernels.drift_intervals(["continuous"], [hist], [r], [c], ["PopulationStabilityIndex"],
                                                0.9, 300, seed)
        covered += low[0] <= truth <= high[0]
    # 90% intervals: 36 of 40 expected; the binomial spread allows 31.
    assert covered >= 31, covered


def test_dask_partitions_give_the_same_bits():
    dd = pytest.importorskip("dask.dataframe")
    (ref_s, cur_s), (ref_l, cur_l) = frames(seed=2, shift=0.1)
    for ref, cur in ((ref_s, cur_s), (ref_l, cur_l)):
        want = lumetra.drift(ref, cur, tolerance={"JensenShannon": 0.001}, n_boot=100)
        for parts in (1, 3, 7):
            got = lumetra.drift(ref, dd.from_pandas(cur, npartitions=parts), tolerance={"JensenShannon": 0.001},
                                n_boot=100)
            pd.testing.assert_frame_equal(got.reset_index(drop=True), want, check_exact=True)


def test_missing_values_and_empty_sides():
    (ref, cur), _ = frames(seed=5)
    ref = ref.astype({"x": "float64"})
    ref.loc[:9, "x"] = np.nan
    cur.loc[:99, "x"] = np.nan
    table = lumetra.drift(ref, cur, missing="drop").set_index("column")
    kept_ref, kept_cur = ref.dropna(), cur.dropna()
    want = sp.ks_2samp(kept_ref["x"], kept_cur["x"])
    assert math.isclose(table.loc["x", "p_value"], want.pvalue, rel_tol=1e-9)
    # A current side left with no value is refused, as the scores refuse it.
    with pytest.raises(ValueError, match="must be non empty"):
        lumetra.drift(ref[["x"]], cur[["x"]].iloc[:100], missing="drop")


def test_polars_frames_take_the_same_tests():
    pl = pytest.importorskip("polars")
    (ref, cur), _ = frames(seed=6, shift=0.2)
    want = lumetra.drift(ref, cur)
    got = lumetra.drift(pl.from_pandas(ref), pl.from_pandas(cur)).to_pandas()
    pd.testing.assert_frame_equal(got, want, check_exact=True, check_dtype=False)
