"""Confidence intervals of the package's metrics: bootstrap replicates that
are multinomial draws over count tables (distributed as resampling rows is,
the same bits for a seed whatever the runner), closed-form bounds equal to
statsmodels', the delta method for the mean metrics, and coverage near the
level asked for."""

import math

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import lumetra
from lumetra import _kernels
from frames import rows

statsmodels = pytest.importorskip("statsmodels.stats.proportion")


# ---- replicates -----------------------------------------------------------------------------


def test_replicates_are_multinomial_draws_of_the_table():
    cells = np.array([[30, 5, 12, 3]], dtype=np.uint64)
    n, p = 50, cells[0] / 50
    draws = _kernels.count_replicates(cells, 40000, 7, 3).astype(float)
    assert (draws.sum(axis=1) == n).all()
    assert np.allclose(draws.mean(axis=0), n * p, rtol=0.02)
    cov = np.cov(draws.T)
    want = n * (np.diag(p) - np.outer(p, p))
    assert np.allclose(cov, want, atol=0.06 * n * p.max())
    # Each cell's counts follow its binomial (a goodness-of-fit test at a fixed seed).
    for k in range(4):
        seen = np.bincount(draws[:, k].astype(int), minlength=n + 1)
        expected = stats.binom.pmf(np.arange(n + 1), n, p[k]) * len(draws)
        keep = expected > 5
        chi2 = ((seen[keep] - expected[keep]) ** 2 / expected[keep]).sum()
        assert stats.chi2.sf(chi2, keep.sum() - 1) > 1e-4, k


@pytest.mark.parametrize("cells", [[10**7, 3 * 10**7, 1, 0], [0, 0, 5, 0], [2**40, 2**40, 2**39, 7]])
def test_replicates_of_large_sparse_and_single_cell_tables(cells):
    table = np.array([cells], dtype=np.uint64)
    draws = _kernels.count_replicates(table, 2000, 0, 0)
    assert (draws.sum(axis=1) == sum(cells)).all()
    assert (draws[:, np.array(cells) == 0] == 0).all()
    big = np.argmax(cells)
    mean = draws[:, big].astype(float).mean()
    assert math.isclose(mean, cells[big], rel_tol=1e-3)


def test_a_replicate_depends_on_its_seed_replicate_and_group_alone():
    cells = np.array([[40, 10, 30, 20]], dtype=np.uint64)
    a = _kernels.count_replicates(cells, 50, 11, 2)
    assert np.array_equal(a, _kernels.count_replicates(cells, 50, 11, 2))
    assert np.array_equal(a[:20], _kernels.count_replicates(cells, 20, 11, 2))
    assert not np.array_equal(a, _kernels.count_replicates(cells, 50, 12, 2))
    assert not np.array_equal(a, _kernels.count_replicates(cells, 50, 11, 3))


def test_multinomial_replicates_are_distributed_as_row_resampling():
    # On small data the two bootstraps give one distribution of the metric.
    rng = np.random.default_rng(5)
    facet = rng.random(80) < 0.4
    label = rng.random(80) < np.where(facet, 0.6, 0.35)
    table = np.array([[np.sum(facet & ~label), np.sum(facet & label), np.sum(~facet & ~label),
                       np.sum(~facet & label)]], dtype=np.uint64)
    ours = _kernels.count_replicates(table, 20000, 3, 0).astype(float)
    with np.errstate(all="ignore"):
        ours_dpl = ours[:, 1] / (ours[:, 0] + ours[:, 1]) - ours[:, 3] / (ours[:, 2] + ours[:, 3])
    picks = rng.integers(0, 80, (20000, 80))
    f, t = facet[picks], label[picks]
    with np.errstate(all="ignore"):
        rows_dpl = (f & t).sum(1) / f.sum(1) - (~f & t).sum(1) / (~f).sum(1)
    assert stats.ks_2samp(ours_dpl[np.isfinite(ours_dpl)], rows_dpl[np.isfinite(rows_dpl)]).pvalue > 1e-3


# ---- the package's bounds ---------------------------------------------------------------------


def frame(n=4000, seed=0, groups=("a", "b", "c")):
    rng = np.random.default_rng(seed)
    g = rng.choice(groups, n)
    y = (rng.random(n) < np.where(g == "a", 0.5, 0.4)).astype(int)
    s = np.clip(0.6 * y + rng.normal(0.2, 0.25, n), 0, 1)
    return pd.DataFrame({"g": g, "y": y, "p": (s >= 0.5).astype(int), "s": s,
                         "t": rng.normal(3, 1, n), "e": rng.normal(3, 1, n)})


def test_bootstrap_bounds_are_percentiles_of_the_replicates():
    data = frame(600)
    got = rows(lumetra.data_bias(data, "g", "y", ci=0.9, n_boot=300, seed=4))
    tallies = _kernels.tally(pd.factorize(data["g"], sort=True)[0], 3, data["y"].to_numpy(), "==", 1)
    for g, row in enumerate(got):
        side = tallies.sum(axis=0) - tallies[g]
        table = np.concatenate([tallies[g], side])[None, :]
        reps = _kernels.count_replicates(table.astype(np.uint64), 300, 4, g)
        # Each replicate scored as the pair (group, rest): the kernel's bias of a two-group table.
        dpl = np.array([_kernels.bias(np.array([r[:2], r[2:]], dtype=np.uint64))
                        ["DifferenceInProportionOfLabels"][0] for r in reps])
        low, high = np.percentile(dpl, [5, 95])
        assert math.isclose(row["DifferenceInProportionOfLabels_low"], low, rel_tol=1e-12, abs_tol=1e-15)
        assert math.isclose(row["DifferenceInProportionOfLabels_high"], high, rel_tol=1e-12, abs_tol=1e-15)


def test_analytic_bounds_equal_statsmodels():
    from statsmodels.stats.proportion import confint_proportions_2indep, proportion_confint

    data = frame(3000, seed=2)
    bias = rows(lumetra.model_bias(data, "g", "y", "p", ci=0.95, ci_method="analytic"))
    for row in bias:
        a, d = data[data["g"] == row["g"]], data[data["g"] != row["g"]]
        low, high = confint_proportions_2indep(a["p"].sum(), len(a), d["p"].sum(), len(d), method="newcomb",
                                               compare="diff", alpha=0.05)
        assert math.isclose(row["DifferenceInPositivePredictedLabels_low"], low, rel_tol=1e-9)
        assert math.isclose(row["DifferenceInPositivePredictedLabels_high"], high, rel_tol=1e-9)
        low, high = confint_proportions_2indep(a["p"].sum(), len(a), d["p"].sum(), len(d), method="log",
                                               compare="ratio", alpha=0.05)
        assert math.isclose(row["DisparateImpact_low"], low, rel_tol=1e-9)
        assert math.isclose(row["DisparateImpact_high"], high, rel_tol=1e-9)
        assert math.isnan(row["TreatmentEquity_low"])  # no closed form offered
    (perf,) = rows(lumetra.performance(data, "y", "p", task="classification", ci=0.9, ci_method="analytic"))
    correct = int((data["y"] == data["p"]).sum())
    low, high = proportion_confint(correct, len(data), alpha=0.1, method="wilson")
    assert math.isclose(perf["Accuracy_low"], low, rel_tol=1e-9) and math.isclose(perf["Accuracy_high"], high,
                                                                                  rel_tol=1e-9)


def test_delta_method_bounds_of_the_mean_metrics():
    data = frame(2000, seed=3)
    (row,) = rows(lumetra.performance(data, "t", "e", task="regression", ci=0.95))
    e = data["t"].to_numpy(np.float32).astype(float) - data["e"].to_numpy(np.float32).astype(float)
    for name, terms in (("MeanSquaredError", e**2), ("MeanAbsoluteError", np.abs(e))):
        half = 1.959963984540054 * terms.std(ddof=1) / math.sqrt(len(terms))
        assert math.isclose(row[f"{name}_low"], terms.mean() - half, rel_tol=1e-9)
        assert math.isclose(row[f"{name}_high"], terms.mean() + half, rel_tol=1e-9)
    assert math.isclose(row["RootMeanSquaredError_high"] ** 2, row["MeanSquaredError_high"], rel_tol=1e-12)
    assert math.isnan(row["RSquared_low"]) and math.isnan(row["MaxError_high"])
    (logistic,) = rows(lumetra.performance(data, "y", "s", task="logistic", ci=0.95))
    assert logistic["LogLoss_low"] < logistic["LogLoss"] < logistic["LogLoss_high"]


def test_bounds_are_the_same_bits_on_every_runner():
    dd = pytest.importorskip("dask.dataframe")
    import dask

    data = frame(3000, seed=6)
    ddf = dd.from_pandas(data, npartitions=5)
    with dask.config.set(scheduler="synchronous"):
        for call in (lambda d: lumetra.data_bias(d, "g", "y", ci=0.95, seed=9),
                     lambda d: lumetra.model_bias(d, "g", "y", "p", ci=0.95, seed=9, reference="b"),
                     lambda d: lumetra.performance(d, "y", "p", task="classification", facet="g", ci=0.8)):
            assert repr(rows(call(data))) == repr(rows(call(ddf)))
    assert repr(rows(lumetra.data_bias(data, "g", "y", ci=0.95, seed=9))) != repr(
        rows(lumetra.data_bias(data, "g", "y", ci=0.95, seed=10)))


@pytest.mark.parametrize("method", ["bootstrap", "analytic"])
def test_coverage_is_near_the_level(method):
    # 200 samples of a population with known rates: the 90% intervals hold
    # the true difference in about 90% of them (within Monte-Carlo error).
    rng = np.random.default_rng(11)
    p_a, p_d, hits, accuracy_hits = 0.55, 0.40, 0, 0
    trials = 200
    for trial in range(trials):
        n = 400
        facet = np.where(rng.random(n) < 0.5, "a", "d")
        label = (rng.random(n) < np.where(facet == "a", p_a, p_d)).astype(int)
        pred = np.where(rng.random(n) < 0.8, label, 1 - label)
        data = pd.DataFrame({"f": facet, "y": label, "p": pred})
        row = rows(lumetra.data_bias(data, "f", "y", ci=0.9, n_boot=400, seed=trial, ci_method=method))[0]
        hits += row["DifferenceInProportionOfLabels_low"] <= p_a - p_d <= row["DifferenceInProportionOfLabels_high"]
        (perf,) = rows(lumetra.performance(data, "y", "p", task="classification", ci=0.9, n_boot=400, seed=trial,
                                           ci_method=method))
        accuracy_hits += perf["Accuracy_low"] <= 0.8 <= perf["Accuracy_high"]
    sd = math.sqrt(0.9 * 0.1 / trials)
    for count in (hits, accuracy_hits):
        assert abs(count / trials - 0.9) < 3.5 * sd, (method, count)


@pytest.mark.parametrize("kwargs, message", [
    ({"ci": 1.5}, "ci must be a level between 0 and 1"),
    ({"ci": 0.95, "n_boot": 1}, "n_boot must be an integer"),
    ({"ci": 0.95, "seed": -1}, "seed must be an integer"),
    ({"ci": 0.95, "ci_method": "nope"}, "ci_method must be one of"),
])
def test_interval_arguments_are_checked(kwargs, message):
    with pytest.raises(ValueError, match=message):
        lumetra.data_bias(frame(100), "g", "y", **kwargs)


# ---- streaming monitors -------------------------------------------------------------------------


def pushed(monitor, *columns, parts=1):
    """The monitor with the columns pushed in `parts` batches."""
    for chunk in zip(*(np.array_split(c, parts) for c in columns)):
        monitor.push_batch(*chunk)
    return monitor


def test_a_monitors_bounds_are_those_of_its_counts_whatever_the_partitioning():
    import _lumetra

    rng = np.random.default_rng(4)
    n = 5000
    f, y, p = ((rng.random(n) < q).astype(np.int8) for q in (0.3, 0.45, 0.5))
    frame_ = pd.DataFrame({"f": np.where(f == 1, "a", "d"), "y": y, "p": p})
    for cls, columns, batch in [
        (_lumetra.PyDataBiasStreaming, (f, y), lambda: lumetra.data_bias(frame_, "f", "y", ci=0.9,
                                                                          ci_method="analytic")),
        (_lumetra.PyModelBiasStreaming, (f, p, y), lambda: lumetra.model_bias(frame_, "f", "y", "p", ci=0.9,
                                                                               ci_method="analytic")),
        (_lumetra.PyBinaryClassificationStreaming, (y.astype(np.int32), p.astype(np.int32)),
         lambda: lumetra.performance(frame_, "y", "p", task="classification", ci=0.9, ci_method="analytic")),
    ]:
        whole = lumetra.monitor_intervals(pushed(cls(*columns), *columns), ci=0.9, seed=2)
        # Two monitors that saw halves of the stream, merged: the same counts, the same bits.
        first, second = pushed(cls(*columns), *(c[: n // 2] for c in columns)), cls(*columns)
        first.merge(pushed(second, *(c[n // 2:] for c in columns), parts=7))
        assert repr(lumetra.monitor_intervals(first, ci=0.9, seed=2)) == repr(whole)
        for metric, value in whole.items():
            if not metric.endswith(("_low", "_high")) and f"{metric}_low" in whole:
                assert whole[f"{metric}_low"] <= value <= whole[f"{metric}_high"], (cls, metric)
        # The closed-form bounds equal those of the same rows in a frame (facet a's row).
        analytic = lumetra.monitor_intervals(pushed(cls(*columns), *columns), ci=0.9, ci_method="analytic")
        row = rows(batch())[0]
        for metric in analytic:
            if metric.endswith(("_low", "_high")) and not math.isnan(analytic[metric]):
                assert analytic[metric] == row[metric], (cls, metric)


def test_monitors_of_sums_have_no_bounds_for_the_squares_they_do_not_keep():
    import _lumetra

    rng = np.random.default_rng(5)
    y = rng.random(2000)
    s = y + rng.normal(0, 0.1, 2000)
    bounds = lumetra.monitor_intervals(pushed(_lumetra.PyLinearRegressionStreaming(y, s), y, s))
    # The mean absolute error's squares are the squared errors the monitor sums; the others'
    # squares are not kept, so their bounds are NaN, not an interval of width 0.
    assert bounds["MeanAbsoluteError_low"] < bounds["MeanAbsoluteError"] < bounds["MeanAbsoluteError_high"]
    for metric in ("MeanSquaredError", "RootMeanSquaredError", "MeanSquaredLogError", "MaxError", "RSquared"):
        assert math.isnan(bounds[f"{metric}_low"]) and math.isnan(bounds[f"{metric}_high"]), metric
    label = (rng.random(2000) < 0.5).astype(np.float64)
    logistic = lumetra.monitor_intervals(pushed(_lumetra.PyLogisticRegressionStreaming(label, s, 0.5), label, s))
    assert math.isnan(logistic["LogLoss_low"]) and logistic["Accuracy_low"] < logistic["Accuracy_high"]


def test_monitor_intervals_refuse_what_is_not_a_monitor_with_a_stream():
    import _lumetra

    detector = _lumetra.PyStreamingCategoricalDataDriftFlush(["a", "b"], 1000, 60)
    with pytest.raises(TypeError, match="monitor must be a streaming monitor"):
        lumetra.monitor_intervals(object())
    with pytest.raises(ValueError, match="a streaming monitor's state is needed"):
        _kernels.monitor_state(detector.to_bytes())
    with pytest.raises(ValueError, match="Empty data vectors"):
        lumetra.monitor_intervals(_lumetra.PyBinaryClassificationStreaming([1, 0], [1, 0]))
    with pytest.raises(ValueError, match="ci must be a level"):
        lumetra.monitor_intervals(_lumetra.PyBinaryClassificationStreaming([1, 0], [1, 0]), ci=None)
