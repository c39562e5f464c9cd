"""Each analysis is one plan, whichever runner executes it: on random frames
(dtypes, nullable dtypes, missing values, group counts; pandas, polars and
pyarrow) and random partitionings into a Dask frame (empty partitions
among them), the table in memory, the table of the Dask frame and the
module's own answer on each group's masks are the same: bit for bit, but
the partial sums of regression and log loss, within their bound. A refusal
is the same refusal on both runners."""

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

import _lumetra
import lumetra
from frames import LIBRARIES, METRIC_COLUMNS, make, rows, same_float
from test_package import PerMetric, expected_bias

pytestmark = pytest.mark.no_sanitizer(reason="frames through both runners, Python over kernels tested in process")

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")

# Facet kinds (a "?" kind is nullable, and may hold missing values).
FACETS = ["int", "float", "str", "cat", "bool", "int?", "float?", "str?", "cat?", "bool?"]
POOLS = {"int": [3, 7, 11, -2, 40], "float": [0.5, 1.25, -3.0, 8.0], "str": ["a", "b", "é", "B", ""],
         "cat": ["low", "mid", "high"], "bool": [True, False]}
SETTINGS = settings(max_examples=100, deadline=None, derandomize=True,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])


@st.composite
def tables(draw, facet_kinds=FACETS):
    """A frame's columns: a facet `f`, a 0/1 label `y`, a 0/1 prediction `p`,
    a score `s` and a numeric target `t`, with missing values in nullable
    columns; and the cut points of a partitioning of its rows."""
    n = draw(st.integers(0, 40))
    kind = draw(st.sampled_from(facet_kinds))
    groups = draw(st.integers(1, len(POOLS[kind.rstrip("?")])))
    pool = POOLS[kind.rstrip("?")][:groups]
    facet = draw(st.lists(st.sampled_from(pool + ([None] if kind.endswith("?") else [])), min_size=n, max_size=n))
    ints = st.lists(st.sampled_from([0, 1]), min_size=n, max_size=n)
    floats = st.lists(st.sampled_from([0.125, 0.25, 0.5, 0.75, 1.5, -2.0]), min_size=n, max_size=n)
    label, pred, score, target = draw(ints), draw(ints), draw(floats), draw(floats)
    if draw(st.booleans()) and n:
        # A missing label in a nullable column now and then.
        at = draw(st.integers(0, n - 1))
        label = list(label)
        label[at] = None
    cuts = sorted(draw(st.lists(st.integers(0, n), max_size=5)))
    spec = {"f": (kind, facet), "y": ("int?" if None in label else "int", label), "p": ("int", pred),
            "s": ("float", score), "t": ("float", target)}
    return spec, cuts


def dask_frame(spec, cuts):
    whole = make("pandas", spec)
    bounds = [0, *cuts, len(whole)]
    parts = [dask.delayed(whole.iloc[a:b].copy)() for a, b in zip(bounds, bounds[1:])]
    return dd.from_delayed(parts, meta=whole.iloc[:0])


def outcome(call, counted=True):
    try:
        result = call()
    except (ValueError, TypeError, KeyError) as error:
        if counted:
            event("refused")
        return f"{type(error).__name__}: {error}"
    if counted:
        event("a table")  # --hypothesis-show-statistics: how many examples got past the refusals
    return result


def plain(result):
    """A table as rows of plain values (group values of every library alike);
    a refusal as its text."""
    if isinstance(result, str):
        return result
    return [{k: (v if not isinstance(v, float) or not math.isnan(v) else "NaN") for k, v in row.items()}
            for row in rows(result)]


def close(a, b, columns):
    """Equal rows, bit for bit but `columns` (partial sums: within 4e-6 relative)."""
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    if len(a) != len(b):
        return False
    for x, y in zip(a, b):
        for key in x:
            u, v = x[key], y[key]
            if key in columns and isinstance(u, float) and isinstance(v, float):
                if not math.isclose(u, v, rel_tol=4e-6, abs_tol=1e-12):
                    return False
            elif u != v:
                return False
    return True


@pytest.fixture(scope="module", autouse=True)
def synchronous():
    # The plans and their states cross processes in test_dask.py; here the
    # many examples run on the synchronous scheduler.
    with dask.config.set(scheduler="synchronous"):
        yield


@SETTINGS
@given(tables(), st.sampled_from(LIBRARIES), st.sampled_from(["raise", "drop", "group"]),
       st.sampled_from(["data_bias", "model_bias"]))
def test_bias_is_one_plan_on_every_runner(table, library, missing, function):
    spec, cuts = table
    kwargs = {"missing": missing}
    if function == "model_bias":
        kwargs.update(prediction="s", prediction_threshold=0.5)
    call = getattr(lumetra, function)
    eager = plain(outcome(lambda: call(make(library, spec), "f", "y", **kwargs)))
    on_dask = plain(outcome(lambda: call(dask_frame(spec, cuts), "f", "y", **kwargs)))
    assert on_dask == eager
    if isinstance(eager, str):
        return
    facet, label = spec["f"][1], spec["y"][1]
    positive = [None if v is None else v == 1 for v in label]
    predicted = None if function == "data_bias" else [v >= 0.5 for v in spec["s"][1]]
    if missing == "group":
        expected = expected_bias(facet, positive, predicted, missing="group")
    else:
        expected = expected_bias(facet, positive, predicted)
    assert [(r["f"], r["n"], r["n_other"]) for r in eager] == [(g, n, m) for g, n, m, _ in expected]
    for row, (g, _, _, want) in zip(eager, expected):
        if isinstance(want, PerMetric):
            want.check({k: float("nan") if v == "NaN" else v for k, v in row.items()}, g)
        elif isinstance(want, str):
            assert row["error"] == want
        elif row["error"] is None:
            for name, value in want.items():
                assert same_float(float("nan") if row[name] == "NaN" else row[name], value), name


@SETTINGS
@given(tables(["str", "int", "cat?", "bool?"]), st.sampled_from(LIBRARIES),
       st.sampled_from(["regression", "classification", "logistic"]), st.booleans())
def test_performance_is_one_plan_on_every_runner(table, library, task, grouped):
    spec, cuts = table
    columns = {"regression": ("t", "s"), "classification": ("y", "p"), "logistic": ("y", "s")}[task]
    kwargs = {"task": task, "missing": "drop", "facet": "f" if grouped else None, "prediction_threshold": 0.5}
    eager = plain(outcome(lambda: lumetra.performance(make(library, spec), *columns, **kwargs)))
    on_dask = plain(outcome(lambda: lumetra.performance(dask_frame(spec, cuts), *columns, **kwargs)))
    assert close(on_dask, eager, METRIC_COLUMNS if task != "classification" else ())
    if isinstance(eager, str):
        return
    facet = spec["f"][1]
    for row in eager:
        sel = [i for i in range(len(facet)) if (not grouped or (facet[i] is not None and facet[i] == row["f"]))
               and all(spec[c][1][i] is not None for c in columns)]
        y = np.array([spec[columns[0]][1][i] for i in sel], dtype=float)
        p = np.array([spec[columns[1]][1][i] for i in sel], dtype=float)
        if task == "regression":
            want = _lumetra.py_model_perf_linear_regression(y, p)
        elif task == "classification":
            want = _lumetra.py_model_perf_classification((y == 1).astype(float), (p == 1).astype(float))
        else:
            want = _lumetra.py_model_perf_logistic_regression((y == 1).astype(float), p, 0.5)
        assert row["n"] == len(sel)
        for name, value in want.items():
            assert same_float(float("nan") if row[name] == "NaN" else row[name], value), name


@SETTINGS
@given(tables(["int", "float?", "str?", "cat", "bool?"]), tables(["int", "float?", "str?", "cat", "bool?"]),
       st.sampled_from(LIBRARIES), st.sampled_from(["raise", "drop"]))
def test_drift_is_one_plan_on_every_runner(reference, current, library, missing):
    (ref_spec, _), (cur_spec, cuts) = reference, current
    ref_spec = {"f": ref_spec["f"], "t": ref_spec["t"]}
    cur_spec = {"f": cur_spec["f"], "t": cur_spec["t"]}
    base = make(library, ref_spec)
    eager = plain(outcome(lambda: lumetra.drift(base, make(library, cur_spec), missing=missing)))
    on_dask = plain(outcome(lambda: lumetra.drift(make("pandas", ref_spec), dask_frame(cur_spec, cuts),
                                                  missing=missing)))
    assert on_dask == eager
    if isinstance(eager, str):
        return
    # The module's batch detectors on the same values, column by column.
    for row in eager:
        a, b = ref_spec[row["column"]][1], cur_spec[row["column"]][1]
        keep_a = [v for v, ok in zip(a, _complete(ref_spec)) if ok]
        keep_b = [v for v, ok in zip(b, _complete(cur_spec)) if ok]
        if row["kind"] == "continuous":
            detector = _lumetra.PyContinuousDataDrift(np.array(keep_a, dtype=float), "FreedmanDiaconis")
            want = detector.compute_drift_mutliple_criteria(np.array(keep_b, dtype=float), list(_DRIFT))
        else:
            detector = _lumetra.PyCategoricalDataDrift([str(v) for v in keep_a])
            want = detector.compute_drift_mutliple_criteria([str(v) for v in keep_b], list(_DRIFT))
        assert row["bins"] == detector.num_bins
        for name, value in zip(_DRIFT, want):
            assert same_float(float("nan") if row[name] == "NaN" else row[name], value), name


_DRIFT = ("JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler")


def _complete(spec):
    """Per row: whether it has a value in every column."""
    n = len(next(iter(spec.values()))[1])
    return [all(values[i] is not None for _, values in spec.values()) for i in range(n)]


def test_a_dask_frame_of_empty_partitions_only_is_refused_as_one_process_refuses():
    spec = {"f": ("str", []), "y": ("int", []), "p": ("int", []), "s": ("float", []), "t": ("float", [])}
    empty = make("pandas", spec)
    expected = outcome(lambda: lumetra.data_bias(empty, "f", "y"), counted=False)
    assert isinstance(expected, str)
    assert outcome(lambda: lumetra.data_bias(dask_frame(spec, [0, 0]), "f", "y"), counted=False) == expected
