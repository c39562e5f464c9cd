"""lumetra.timeline: per-period drift, quality, bias and performance against
the one-shot functions on each period's rows, roll-ups against recomputation,
leave-one-out reference drift, bands, CUSUM and the table's shape."""

import math

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from polars.testing import assert_frame_equal

import lumetra
from lumetra import _kernels

DRIFT = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]


def frames(n=6000, days=12, shift=0.5, seed=0):
    rng = np.random.default_rng(seed)
    start = pd.Timestamp("2026-03-20", tz="Europe/Berlin")  # the change to summer time falls inside
    times = start + pd.to_timedelta(rng.uniform(0, days * 86400, n), unit="s")
    reference = pd.DataFrame({
        "t": times, "x": rng.normal(size=n), "c": rng.choice(list("abc"), n),
        "g": rng.choice(["u", "v"], n), "y": rng.integers(0, 2, n), "s": rng.uniform(size=n),
    })
    current = reference.copy()
    current["t"] = current["t"] + pd.Timedelta(days=40)
    current["x"] = current["x"] + shift * (current["t"] - current["t"].min()).dt.total_seconds() / (days * 86400)
    return reference, current


def figures(table, section=None, metric=None):
    chosen = table
    if section is not None:
        chosen = chosen[chosen["section"] == section]
    if metric is not None:
        chosen = chosen[chosen["metric"] == metric]
    return chosen


def test_drift_and_performance_per_period_are_the_one_shot_functions_on_its_rows():
    reference, current = frames()
    tl = lumetra.timeline(current, reference=reference, time="t", every="1d",
                          performance=dict(task="logistic", label="y", prediction="s"),
                          model_bias=dict(facet="g", label="y", prediction="s", prediction_threshold=0.5),
                          data_bias=dict(facet="c", label="y"))
    table = tl.table()
    groups = current.groupby(pd.Grouper(key="t", freq="D"))
    assert len(tl.periods) == groups.ngroups
    for (start, rows), (p_start, _, n) in zip(groups, tl.periods):
        assert start == p_start and len(rows) == n
        here = table[table["period_start"] == start]
        one = lumetra.drift(reference, rows, columns=["x", "c", "g", "y", "s"])
        for _, row in one.iterrows():
            got = here[(here["section"] == "drift") & (here["subject"] == row["column"])]
            for metric in DRIFT + ["p_adjusted"]:
                assert got[got["metric"] == metric]["value"].item() == row[metric]
        perf = lumetra.performance(rows, "y", "s", task="logistic")
        for metric in ("Accuracy", "LogLoss", "RecallPositive"):
            assert here[(here["section"] == "performance") & (here["metric"] == metric)]["value"].item() == \
                perf[metric].item()
        data = lumetra.data_bias(rows, "c", "y")
        for _, row in data.iterrows():
            got = here[(here["section"] == "data_bias") & (here["subject"] == row["c"])]
            for metric in ("ClassImbalance", "KlDivergence", "KolmogorovSmirnov"):
                assert got[got["metric"] == metric]["value"].item() == row[metric]
        bias = lumetra.model_bias(rows, "g", "y", "s", prediction_threshold=0.5)
        got = here[(here["section"] == "model_bias") & (here["subject"] == "v")]
        assert got[got["metric"] == "DisparateImpact"]["value"].item() == \
            pytest.approx(bias[bias["g"] == "v"]["DisparateImpact"].item(), abs=0, rel=0)


def test_rollup_equals_the_timeline_of_the_coarser_periods():
    reference, current = frames(days=21)
    daily = lumetra.timeline(current, reference=reference, time="t", every="1d",
                             performance=dict(task="classification", label="y", prediction="y"))
    weekly = lumetra.timeline(current, reference=reference, time="t", every="1w",
                              performance=dict(task="classification", label="y", prediction="y"))
    rolled = daily.rollup("1w").table()
    direct = weekly.table()
    pd.testing.assert_frame_equal(rolled, direct)
    with pytest.raises(ValueError, match="not within one period"):
        lumetra.timeline(current, reference=reference, time="t", every="1w").rollup("1mo")


def test_rollup_of_row_counts():
    reference, current = frames()
    by_500 = lumetra.timeline(current, reference=reference, size=500).rollup(3).table()
    by_1500 = lumetra.timeline(current, reference=reference, size=1500).table()
    pd.testing.assert_frame_equal(by_500, by_1500)


def test_reference_periods_are_measured_without_themselves():
    reference, current = frames(n=3000)
    tl = lumetra.timeline(current, reference=reference, size=1000, drift=["x"], quality=False, test=None)
    # The band of PSI is made of the reference's three periods, each scored
    # against the other two on the reference's own bins.
    edges = _kernels.continuous_baseline(reference["x"].to_numpy())["edges"]
    scores = []
    for p in range(3):
        inside = reference["x"].to_numpy()[p * 1000:(p + 1) * 1000]
        rest = np.delete(reference["x"].to_numpy(), np.s_[p * 1000:(p + 1) * 1000])
        rest_counts = _kernels.continuous_counts(edges, rest).astype(np.float64)
        counts = _kernels.continuous_counts(edges, inside).astype(np.float64)
        scores.append(_kernels.drift_scores("continuous", rest_counts / rest_counts.sum(), counts, DRIFT)[1])
    psi = figures(tl.table(), "drift", "PopulationStabilityIndex")
    mean, sd = np.mean(scores), np.std(scores, ddof=1)
    assert psi["upper"].iloc[0] == mean + 3 * sd and psi["lower"].iloc[0] == -np.inf  # a fall is no change


def test_quality_counts():
    reference = pd.DataFrame({"x": np.arange(10.0), "c": list("ababababab")})
    current = pd.DataFrame({
        "x": [np.nan, np.inf, -np.inf, -1.0, 10.5, 3.0, 4.0, 5.0, 6.0, 7.0],
        "c": ["a", "new", "new", "b", None, "a", "b", "other", "a", "b"],
    })
    tl = lumetra.timeline(current, reference=reference, count=2, missing="drop", test=None)
    q = figures(tl.table(), "quality").set_index(["period_start", "subject", "metric"])["value"]
    assert q[(0, "x", "missing_share")] == 0.2  # NaN, and the row the text misses is no NaN of x
    assert q[(0, "x", "non_finite_share")] == 0.4
    assert q[(0, "x", "below_min_share")] == 0.2 and q[(0, "x", "above_max_share")] == 0.2
    assert q[(0, "c", "missing_share")] == 0.2
    assert q[(0, "c", "unseen_share")] == 0.4 and q[(5, "c", "unseen_share")] == 0.2  # "new" twice, "other" once
    assert q[(0, "x", "type_changed")] == 0.0
    unseen = tl.unseen()
    assert list(zip(unseen["period_start"], unseen["category"], unseen["count"])) == [(0, "new", 2), (5, "other", 1)]


def test_bands_alerts_and_cusum_flag_a_slow_drift():
    reference, current = frames(n=20000, days=20, shift=0.0, seed=1)
    _, drifting = frames(n=20000, days=20, shift=1.5, seed=2)
    quiet = lumetra.timeline(current, reference=reference, time="t", every="1d", drift=["x"], quality=False)
    slow = lumetra.timeline(drifting, reference=reference, time="t", every="1d", drift=["x"], quality=False)
    w_quiet = figures(quiet.table(), "drift", "WassersteinDistance")
    w_slow = figures(slow.table(), "drift", "WassersteinDistance")
    assert not w_quiet["cusum_alert"].any()
    assert w_slow["cusum_alert"].iloc[-1] and not w_slow["cusum_alert"].iloc[0]
    # The CUSUM flags the slow change before any single period leaves its band.
    first_cusum = int(np.argmax(w_slow["cusum_alert"].to_numpy()))
    first_alert = int(np.argmax(w_slow["alert"].to_numpy())) if w_slow["alert"].any() else len(w_slow)
    assert first_cusum <= first_alert
    fixed = lumetra.timeline(drifting, reference=reference, time="t", every="1d", drift=["x"], quality=False,
                             bands={"WassersteinDistance": (0.0, 0.25)})
    w = figures(fixed.table(), "drift", "WassersteinDistance")
    assert (w["lower"] == 0.0).all() and (w["upper"] == 0.25).all()
    assert (w["alert"] == (w["value"] > 0.25)).all()
    q = lumetra.timeline(drifting, reference=reference, time="t", every="1d", drift=["x"], quality=False,
                         bands={"WassersteinDistance": ("quantile", 0.0, 1.0)})
    w = figures(q.table(), "drift", "WassersteinDistance")
    reference_values = figures(lumetra.timeline(reference, reference=reference, time="t", every="1d", drift=["x"],
                                                quality=False).table(), "drift", "WassersteinDistance")
    assert w["upper"].iloc[0] >= 0 and w["lower"].iloc[0] <= w["upper"].iloc[0]
    assert len(reference_values) == len(quiet.periods)


def test_table_in_each_library_and_empty_periods():
    reference, current = frames(n=2000, days=6)
    current = current[(current["t"] < current["t"].min() + pd.Timedelta(days=1))
                      | (current["t"] > current["t"].min() + pd.Timedelta(days=3))]
    tables = []
    for convert in (lambda f: f, pl.from_pandas, pa.Table.from_pandas):
        table = lumetra.timeline(convert(current), reference=convert(reference), time="t", every="1d").table()
        tables.append(pl.from_pandas(table, nan_to_null=False) if isinstance(table, pd.DataFrame) else pl.DataFrame(table))
        assert list(tables[-1].columns) == ["period_start", "period_end", "n", "section", "subject", "metric",
                                            "value", "lower", "upper", "alert", "cusum", "cusum_alert"]
    for other in tables[1:]:
        # Each library holds the bounds in its own time unit (pandas 2: ns, polars: us).
        same_unit = pl.col("period_start", "period_end").dt.cast_time_unit("us")
        assert_frame_equal(other.with_columns(same_unit), tables[0].with_columns(same_unit))
    empty = tables[0].filter(pl.col("n") == 0)
    assert empty.height and empty["value"].is_nan().all() and not empty["alert"].any()


def test_refusals():
    reference, current = frames(n=500)
    with pytest.raises(TypeError, match="one of"):
        lumetra.timeline(current, reference=reference)
    with pytest.raises(ValueError, match="k must be"):
        lumetra.timeline(current, reference=reference, size=100, k=0)
    with pytest.raises(ValueError, match="bands"):
        lumetra.timeline(current, reference=reference, size=100, bands={"JensenShannon": (1.0, 0.0)})
    with pytest.raises(TypeError, match="keyword arguments"):
        lumetra.timeline(current, reference=reference, size=100, performance="Accuracy")
    with pytest.raises(ValueError, match="rolls up by a calendar period"):
        lumetra.timeline(current, reference=reference, time="t", every="1d").rollup(7)
    missing = current.assign(x=current["x"].where(current.index != 3))
    with pytest.raises(ValueError, match="missing"):
        lumetra.timeline(missing, reference=reference, size=100)
    assert math.isclose(figures(lumetra.timeline(missing, reference=reference, size=100, missing="drop").table(),
                                "quality", "missing_share")["value"].max(), 0.01)


def test_quiet_data_does_not_alarm_when_periods_differ_in_size():
    # Current days hold five times the reference's rows: their drift is
    # lower, which is no change, and out-of-range values are as rare as in
    # the reference's own days measured against the others.
    reference, _ = frames(n=20_000, days=14, seed=3)
    _, current = frames(n=100_000, days=14, shift=0.0, seed=4)
    table = lumetra.timeline(current, reference=reference, time="t", every="1d", drift=["x", "s", "c"]).table()
    judged = table[table["metric"] != "p_adjusted"]
    assert judged["alert"].mean() < 0.01 and not judged["cusum_alert"].any()
    quality = figures(table, "quality")
    assert (quality["lower"] == -np.inf).all() and not quality["alert"].any()
    # The last day is short (the data runs an hour into it); a real shift
    # there still alerts against the band of its own size.
    last = table["period_start"].max()
    shifted = current.assign(x=np.where(current["t"] >= last, current["x"] + 1.0, current["x"]))
    again = lumetra.timeline(shifted, reference=reference, time="t", every="1d", drift=["x"]).table()
    psi = figures(again[again["period_start"] == last], "drift", "PopulationStabilityIndex")
    assert psi["n"].item() < 1000 and psi["alert"].item()
    assert psi["upper"].item() > figures(again, "drift", "PopulationStabilityIndex")["upper"].iloc[0]


def test_timelines_compare_by_identity():
    # A timeline holds frames and arrays: comparing two by value raised
    # (an array's truth value) instead of answering.
    reference, current = frames(n=400, days=4)
    one = lumetra.timeline(current, reference=reference, time="t", every="1d")
    two = lumetra.timeline(current, reference=reference, time="t", every="1d")
    assert one == one and one != two and not (one == two)
    assert len({one, two, one}) == 2
