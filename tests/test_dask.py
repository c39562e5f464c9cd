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

N = 4000
PARTITIONS = 6


@pytest.fixture(scope="session")
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
                         by="cat", missing="group")),
    ("performance", dict(label="y", prediction="score", task="logistic", threshold=0.4, by=["ints"])),
    ("performance", dict(label="small", prediction="ints", task="regression", by="text", missing="drop")),
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
        ("data_bias", dict(facet="text", label="y")),  # missing facet values
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
        ("performance", dict(label="y", prediction="p", task="classification", by="flag")),
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
    # kilobytes here, whatever the number of rows.
    ddf, _ = frames
    from lumetra import _dask

    bias = _dask._prepare_bias(
        ddf, ["text"], "y", "p", positive=1, label_threshold=None, predicted=1, predicted_name="positive",
        prediction_threshold=None, threshold=None, shown=None, missing="drop",
    )
    states = _dask._compute(_dask._per_partition(_dask._bias_tally, bias.parts, bias.plan))
    assert len(states) == PARTITIONS and all(s.nbytes < 1024 for s in states)

