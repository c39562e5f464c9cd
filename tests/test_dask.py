"""Dask DataFrames on a real cluster of two worker processes (every state
crosses a process boundary by pickle): each function on a frame of several
partitions gives the table one process gives for the whole frame, bit for
bit, apart from the partial sums of regression and log loss (within their
bound), and refuses what one process refuses with the same message."""

import numpy as np
import pandas as pd
import pytest

import lumetra
from frames import column, make

distributed = pytest.importorskip("distributed")
dd = pytest.importorskip("dask.dataframe")
dask = pytest.importorskip("dask")
pytestmark = pytest.mark.no_sanitizer(reason="a cluster of worker processes, over kernels tested in process")

N = 4000
PARTITIONS = 6


# One cluster for the module, shut down when it ends: its client's threads
# would otherwise run through the rest of the session, and the leak loops
# measure this process's resident memory.
@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as c:
        yield c


def data(seed=8):
    rng = np.random.default_rng(seed)
    spec = {
        "text": ("str?", column(rng, "str?", N, 9)),
        "ints": ("int", column(rng, "int", N)),
        "cat": ("cat?", column(rng, "cat?", N, 13)),
        "flag": ("bool?", column(rng, "bool?", N, 17)),
        "x": ("float?", column(rng, "float?", N, 11)),
        "y": ("int", list(rng.integers(0, 2, N))),
        "p": ("int", list(rng.integers(0, 2, N))),
        "score": ("float", list(rng.random(N))),
        "value": ("float", list(rng.normal(3, 1, N))),
        "wide": ("int", list(rng.integers(0, 3000, N))),
    }
    frame = make("pandas", spec)
    frame["small"] = rng.integers(-5, 5, N).astype(np.float64)  # regression sums exact in any order
    frame["label_text"] = pd.Series(rng.choice(["yes", "no"], N), dtype="string")
    return frame


@pytest.fixture(scope="module")
def frames(client):
    # The Dask frame and its partitions concatenated, as one process sees them.
    ddf = dd.from_pandas(data(), npartitions=PARTITIONS)
    whole = ddf.compute()
    assert ddf.npartitions == PARTITIONS
    return ddf, whole


def same_table(a, b, *, close=()):
    """Equal frames, bit for bit (NaN matching NaN) but for the columns in `close`."""
    a, b = a.reset_index(drop=True), b.reset_index(drop=True)
    assert list(a.columns) == list(b.columns)
    for name in a.columns:
        if name in close:
            np.testing.assert_allclose(a[name].to_numpy(float), b[name].to_numpy(float), rtol=4e-6, equal_nan=True)
        else:
            pd.testing.assert_series_equal(a[name], b[name], check_exact=True)


CASES = [
    ("data_bias", dict(facet="text", label="y", missing="drop")),
    ("data_bias", dict(facet="text", label="y", missing="group", reference="b")),
    ("data_bias", dict(facet=["cat", "ints"], label="y", missing="group")),
    ("data_bias", dict(facet=["wide", "ints", "text"], label="y", missing="drop")),  # combinations renumbered
    ("data_bias", dict(facet="flag", label="score", label_threshold=0.3, missing="group")),
    ("data_bias", dict(facet="x", label="y", facet_threshold=1.0, missing="group")),
    ("data_bias", dict(facet="ints", label="label_text", positive="yes")),
    ("model_bias", dict(facet="text", label="y", prediction="p", missing="drop")),
    ("model_bias", dict(facet="ints", label="y", prediction="score", prediction_threshold=0.5, reference=7)),
    ("model_bias", dict(facet=["cat", "flag"], label="label_text", prediction="p", positive="yes",
                        predicted_positive=1, missing="group")),
    ("performance", dict(label="y", prediction="p", task="classification")),
    ("performance", dict(label="label_text", prediction="label_text", task="classification", positive="no",
                         facet="cat", missing="group")),
    ("performance", dict(label="y", prediction="score", task="logistic", prediction_threshold=0.4, facet=["ints"])),
    ("performance", dict(label="small", prediction="ints", task="regression", facet="text", missing="drop")),
    ("performance", dict(label="value", prediction="x", task="regression", missing="drop")),
]


@pytest.mark.parametrize("function, arguments", CASES, ids=[f"{f}-{i}" for i, (f, _) in enumerate(CASES)])
def test_dask_gives_the_one_process_table(frames, function, arguments):
    ddf, whole = frames
    call = getattr(lumetra, function)
    got = call(ddf, **arguments)
    assert isinstance(got, pd.DataFrame)
    # Partial sums of floats: regression and log-loss sums within their bound.
    close = set()
    if arguments.get("task") == "logistic":
        close = {"LogLoss"}
    if arguments.get("task") == "regression" and arguments["label"] != "small":
        close = set(got.columns) - {"n", *(arguments.get("by") or [])}
    same_table(got, call(whole, **arguments), close=close)


@pytest.mark.parametrize(
    "arguments",
    [
        dict(columns=["value", "ints", "text", "cat", "flag"], missing="drop"),
        dict(columns=["score", "wide"], rule="Sturges", metrics=["KullbackLeibler", "JensenShannon"]),
        dict(),  # every shared column; 'x' misses values: refused as in one process
    ],
)
@pytest.mark.parametrize("reference_kind", ["pandas", "dask"])
def test_dask_drift_gives_the_one_process_table(frames, arguments, reference_kind):
    ddf, whole = frames
    reference = data(seed=9).iloc[:1500]
    given = dd.from_pandas(reference, npartitions=2) if reference_kind == "dask" else reference
    expected = outcome(lambda: lumetra.drift(reference, whole, **arguments))
    got = outcome(lambda: lumetra.drift(given, ddf, **arguments))
    if isinstance(expected, str):
        assert got == expected
    else:
        same_table(got, expected)


def outcome(call):
    try:
        return call()
    except (ValueError, KeyError, TypeError) as error:
        return f"{type(error).__name__}: {error}"


@pytest.mark.parametrize(
    "function, arguments",
    [
        ("data_bias", dict(facet="text", label="y")),  # missing facet values, counted by the scan
        ("data_bias", dict(facet="flag", label="y")),  # counted alongside the tallies (no scan)
        ("performance", dict(label="y", prediction="x", task="logistic")),
        ("data_bias", dict(facet="ints", label="x", label_threshold=0.0)),  # missing label values
        ("data_bias", dict(facet="ints", label="label_text", positive="maybe")),
        ("data_bias", dict(facet="ints", label="y", positive=5)),
        ("data_bias", dict(facet="nope", label="y")),
        ("data_bias", dict(facet="ints", label="text", label_threshold=1.0)),
        ("data_bias", dict(facet="ints", label="y", reference=12345)),
        ("data_bias", dict(facet="score", label="y", facet_threshold=2.0)),  # one group only
        ("model_bias", dict(facet="cat", label="y", prediction="x", prediction_threshold=0.0, missing="drop",
                            reference="nowhere")),
        ("model_bias", dict(facet="ints", label="y", prediction="p", predicted_positive=7)),
        ("performance", dict(label="y", prediction="text", task="logistic")),
        ("performance", dict(label="y", prediction="x", task="regression")),
        ("performance", dict(label="y", prediction="p", task="classification", facet="flag")),
    ],
)
def test_dask_refuses_what_one_process_refuses(frames, function, arguments):
    ddf, whole = frames
    call = getattr(lumetra, function)
    expected = outcome(lambda: call(whole, **arguments))
    assert isinstance(expected, str), expected
    assert outcome(lambda: call(ddf, **arguments)) == expected


def test_categories_dask_does_not_know_are_gathered_in_partition_order(frames):
    ddf, whole = frames
    unknown = ddf.assign(cat=ddf["cat"].cat.as_unknown())
    assert not unknown["cat"].cat.known
    same_table(lumetra.data_bias(unknown, "cat", "y", missing="drop"), lumetra.data_bias(whole, "cat", "y",
                                                                                         missing="drop"))


def test_a_graph_that_changes_between_passes_is_refused(client):
    # Partitions drawn afresh on each pass (no seed): groups coded on one pass
    # are not the rows of the next, which must not pass silently.
    def fresh(i):
        rng = np.random.default_rng()
        return pd.DataFrame({"g": rng.random(50), "y": rng.integers(0, 2, 50)})

    ddf = dd.from_map(fresh, range(4))
    with pytest.raises(RuntimeError, match="different data on two passes"):
        lumetra.data_bias(ddf, "g", "y")


def test_states_crossing_the_wire_stay_small(frames):
    # The largest object any task returns is a partition's state: a few
    # hundred bytes here, whatever the number of rows.
    import pickle

    from lumetra import _dask
    from lumetra._bias import BiasCall, bias_plan

    ddf, _ = frames
    call = BiasCall(("text",), "y", "p", 1, None, 1, "positive", None, None, None, None, "drop")
    sizes = []
    _dask.run(bias_plan(call), ddf, observe=lambda request, states: sizes.append([len(pickle.dumps(s)) for s in states]))
    assert sizes and all(len(per_part) == PARTITIONS and max(per_part) < 1024 for per_part in sizes)


# ---- monitors fed from partitions -----------------------------------------------------------

import _lumetra  # noqa: E402

MERGEABLE = callable(getattr(_lumetra.PyDataBiasStreaming, "merge", None))
needs_merge = pytest.mark.skipif(not MERGEABLE, reason="this _lumetra has no merge() and no pickling of its classes")
DRIFT = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]


def monitor_frame():
    rng = np.random.default_rng(4)
    n = 3000
    frame = pd.DataFrame({
        "f": rng.integers(0, 3, n), "g": rng.integers(0, 2, n), "p": rng.integers(0, 2, n),
        "t": rng.integers(-9, 9, n).astype(np.float64), "q": rng.integers(-9, 9, n).astype(np.float64),
        "s": rng.random(n), "v": rng.normal(0, 1, n),
        "w": pd.Series(rng.choice(["a", "b", "c", "é"], n), dtype="string"),
    })
    return frame


BASE = monitor_frame().iloc[:400]
MONITORS = [
    ("data bias", lambda: _lumetra.PyDataBiasStreaming(BASE["f"].to_numpy(), BASE["g"].to_numpy()), ["f", "g"]),
    ("model bias", lambda: _lumetra.PyModelBiasStreaming(BASE["f"].to_numpy(), BASE["p"].to_numpy(),
                                                         BASE["g"].to_numpy()), ["f", "p", "g"]),
    ("classification", lambda: _lumetra.PyBinaryClassificationStreaming(BASE["g"].to_numpy(), BASE["p"].to_numpy()),
     ["g", "p"]),
    ("regression", lambda: _lumetra.PyLinearRegressionStreaming(BASE["t"].to_numpy(), BASE["q"].to_numpy()),
     ["t", "q"]),
    ("logistic", lambda: _lumetra.PyLogisticRegressionStreaming(BASE["g"].to_numpy(), BASE["s"].to_numpy(), 0.5),
     ["g", "s"]),
    ("continuous flush", lambda: _lumetra.PyStreamingContinuousDataDriftFlush(BASE["v"].to_numpy(), None, 10**9, None),
     ["v"]),
    ("continuous decay", lambda: _lumetra.PyStreamingContinuousDataDriftDecay(BASE["v"].to_numpy(), "Scott", None),
     ["v"]),
    ("categorical flush", lambda: _lumetra.PyStreamingCategoricalDataDriftFlush(BASE["w"].tolist(), 10**9, None),
     ["w"]),
    ("categorical decay", lambda: _lumetra.PyStreamingCategoricalDataDriftDecay(BASE["w"].tolist(), None), ["w"]),
]


def answers(monitor):
    """Everything an object reports, in a comparable form."""
    if hasattr(monitor, "export_snapshot"):
        return (monitor.total_samples, monitor.export_snapshot(), monitor.compute_drift_multiple_criteria(DRIFT))
    return (monitor.performance_snapshot(), monitor.drift_snapshot(), monitor.drift_report(0.0))


def push_whole(monitor, frame, columns):
    from lumetra._feed import column_values
    from lumetra._plan import Part

    part = Part.of(frame)
    getattr(monitor, "push_batch" if hasattr(monitor, "push_batch") else "update_stream_batch")(
        *[column_values(part, c) for c in columns])


@needs_merge
@pytest.mark.parametrize("make, columns", [m[1:] for m in MONITORS], ids=[m[0] for m in MONITORS])
def test_a_monitor_fed_from_partitions_answers_as_one_fed_in_one_process(client, make, columns):
    from lumetra.dask import feed_monitor

    frame = monitor_frame()
    ddf = dd.from_pandas(frame, npartitions=5)
    expected, fed = make(), make()
    push_whole(expected, ddf.compute(), columns)
    feed_monitor(fed, ddf, columns)
    got, want = answers(fed), answers(expected)
    if columns == ["g", "s"]:  # the log-loss sum: partial sums added
        for a, b in zip(got[:2], want[:2]):
            assert a == pytest.approx(b, rel=1e-5, nan_ok=True)
    else:
        assert repr(got) == repr(want)


@needs_merge
def test_a_monitor_keeps_its_own_data_and_receives_the_frame(client):
    from lumetra.dask import feed_monitor

    frame = monitor_frame()
    own = frame.iloc[:700]
    expected = _lumetra.PyDataBiasStreaming(BASE["f"].to_numpy(), BASE["g"].to_numpy())
    fed = _lumetra.PyDataBiasStreaming(BASE["f"].to_numpy(), BASE["g"].to_numpy())
    for m in (expected, fed):
        m.push_batch(own["f"].to_numpy(), own["g"].to_numpy())
    expected.push_batch(frame["f"].to_numpy(), frame["g"].to_numpy())
    feed_monitor(fed, dd.from_pandas(frame, npartitions=4), ["f", "g"])
    assert repr(answers(fed)) == repr(answers(expected))


@needs_merge
@pytest.mark.parametrize(
    "make, columns, error, message",
    [
        (MONITORS[0][1], ["f"], ValueError, "push_batch takes 2 columns"),
        (MONITORS[0][1], ["f", "nope"], KeyError, "'nope' is not in the frame"),
        (MONITORS[5][1], ["x"], ValueError, "missing value"),
        (lambda: _push(MONITORS[6][1]()), ["v"], ValueError, "has no empty copy"),
        # Decayed below one sample: total_samples is 0, yet the stream holds weight.
        (lambda: _decayed(_lumetra.PyStreamingContinuousDataDriftDecay(BASE["v"].to_numpy(), None, 1), 0.5),
         ["v"], ValueError, "has no empty copy"),
        (lambda: _decayed(_lumetra.PyStreamingCategoricalDataDriftDecay(BASE["w"].tolist(), 1), "zz"),
         ["w"], ValueError, "has no empty copy"),
        (lambda: object(), ["v"], TypeError, "streaming monitor or streaming drift detector"),
    ],
)
def test_feed_monitor_refusals(client, make, columns, error, message):
    from lumetra.dask import feed_monitor

    frame = monitor_frame().assign(x=lambda d: d["v"].where(d["v"] > -2))
    with pytest.raises(error, match=message):
        feed_monitor(make(), dd.from_pandas(frame, npartitions=2), columns)


def _decayed(detector, example):
    detector.update_stream(example)
    for _ in range(2):
        detector.compute_drift("JensenShannon")
    assert detector.total_samples == 0
    return detector


@needs_merge
def test_a_decay_detector_whose_weight_decayed_away_is_fed(client):
    # After enough computations the weight underflows to zero: the stream is
    # empty again, and the detector is fed as a new one is.
    from lumetra.dask import feed_monitor

    frame = monitor_frame()
    fed = _lumetra.PyStreamingContinuousDataDriftDecay(BASE["v"].to_numpy(), None, 1)
    fed.update_stream(0.5)
    with pytest.raises(ValueError, match="non empty"):
        for _ in range(2000):
            fed.compute_drift("JensenShannon")
    expected = _lumetra.PyStreamingContinuousDataDriftDecay(BASE["v"].to_numpy(), None, 1)
    expected.update_stream_batch(frame["v"].to_numpy())
    feed_monitor(fed, dd.from_pandas(frame, npartitions=4), ["v"])
    assert fed.total_samples == expected.total_samples == len(frame)


def _push(detector):
    detector.update_stream_batch(BASE["v"].to_numpy())
    return detector


def test_the_merge_tree_takes_dask_split_every(frames):
    ddf, whole = frames
    calls = [("data_bias", dict(facet=["cat", "ints"], label="y", missing="group")),
             ("model_bias", dict(facet="text", label="y", prediction="p", missing="drop")),
             ("performance", dict(label="small", prediction="ints", task="regression", facet="text",
                                  missing="drop"))]
    want = [getattr(lumetra, f)(whole, **a) for f, a in calls]
    # Six partitions: a tree of pairs (three levels), of threes, and one task of all.
    for every in (2, 3, 8):
        with dask.config.set(split_every=every):
            for (f, a), table in zip(calls, want):
                same_table(getattr(lumetra, f)(ddf, **a), table)
    for bad in (1, 0, 2.5, True, "4"):
        with dask.config.set(split_every=bad), pytest.raises(ValueError, match="split_every setting"):
            lumetra.data_bias(ddf, facet="text", label="y", missing="drop")
