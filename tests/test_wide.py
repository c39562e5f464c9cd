"""Wide frames: many columns read where they are and handed to the kernels a
batch at a time; every column gets what it gets alone."""

import numpy as np
import pandas as pd
import pyarrow as pa
import pytest

import _lumetra
import lumetra
from lumetra import _drift, _kernels
from lumetra._analyses import drift_details
from lumetra._vocabulary import DRIFT_METRICS
from frames import rows


def frames(columns=12, n=300, seed=0):
    rng = np.random.default_rng(seed)
    ref = {f"x{i}": rng.normal(0, 1 + i, n) for i in range(columns)}
    cur = {f"x{i}": rng.normal(0.2, 1 + i, n) for i in range(columns)}
    ref["x3"][::7] = np.nan  # missing values in one column only
    ref["flat"] = np.full(n, np.inf)  # a column the detector refuses
    cur["flat"] = np.ones(n)
    ref["c"] = rng.choice(["a", "b", "c"], n)
    cur["c"] = rng.choice(["a", "b", "d"], n)
    return pd.DataFrame(ref), pd.DataFrame(cur)


@pytest.mark.parametrize("batch", [1, 700, 1 << 24])
def test_columns_in_batches_get_what_they_get_alone(monkeypatch, batch):
    monkeypatch.setattr(_drift, "_BATCH_VALUES", batch)
    ref, cur = frames()
    columns = [c for c in ref.columns if c != "flat"]
    alone = [rows(lumetra.drift(ref[[c]], cur[[c]], missing="drop", test=None))[0] for c in columns]
    # Each column on its own rows (as the report compares them), all in one call.
    per_column = drift_details(ref, cur, _drift.DriftCall(tuple(columns), "FreedmanDiaconis", DRIFT_METRICS,
                                                          "drop", per_column=True))
    assert repr(rows(per_column)) == repr(alone)
    # Rows missing a value in any column left out of every column.
    together = rows(lumetra.drift(ref, cur, columns=columns, missing="drop"))
    kept = ref[columns].dropna()
    assert repr(together) == repr(rows(lumetra.drift(kept, cur[columns], missing="drop")))
    # The column a detector refuses is named, in column order, whatever the batches.
    with pytest.raises(ValueError, match="^column 'flat': "):
        lumetra.drift(ref, cur, missing="drop")


def test_arrow_columns_of_many_chunks_and_offsets_read_as_numbers():
    ref, cur = frames(columns=4, n=500)
    ref, cur = ref.drop(columns=["flat", "c"]), cur.drop(columns=["flat", "c"])

    def chunked(frame, cut):
        out = {}
        for name in frame.columns:
            whole = pa.array(frame[name].to_numpy(), from_pandas=True)
            # Slices of a larger array: each chunk starts at an offset into its buffer.
            out[name] = pa.chunked_array([whole.slice(0, cut), whole.slice(cut, 1), whole.slice(cut + 1)])
        return pa.table(out)

    want = rows(lumetra.drift(ref, cur, missing="drop"))
    for cut in (0, 1, 250, 499):
        assert repr(rows(lumetra.drift(chunked(ref, cut), chunked(cur, cut), missing="drop"))) == repr(want)
    # float16 and integer chunks, with and without nulls.
    small = pa.table({"h": pa.chunked_array([pa.array(np.array([1, 2, 3], np.float16)),
                                             pa.array(np.array([4, 5], np.float16))]),
                      "i": pa.chunked_array([pa.array([1, 2, None], pa.int16()), pa.array([4, 5], pa.int16())])})
    plain = pd.DataFrame({"h": [1.0, 2.0, 3.0, 4.0, 5.0], "i": [1.0, 2.0, np.nan, 4.0, 5.0]})
    assert repr(rows(lumetra.drift(small, small, missing="drop"))) == repr(
        rows(lumetra.drift(plain, plain, missing="drop")))


def test_many_column_kernels_equal_the_one_column_kernels():
    rng = np.random.default_rng(3)
    values = [rng.normal(size=n) for n in (2, 50, 1000)] + [np.array([1.0, 1.0]), np.zeros(0)]
    built = _kernels.continuous_baselines(values, "Scott")
    for v, b in zip(values, built):
        try:
            one = _kernels.continuous_baseline(v, "Scott")
        except ValueError as error:
            assert b == str(error)
            continue
        assert np.array_equal(b[0], one["edges"]) and np.array_equal(b[1], one["hist"])
    good = [b for b in built if not isinstance(b, str)]
    runtime = [rng.normal(0.3, 1, 77) for _ in good]
    counts = _kernels.continuous_counts_many([e for e, _ in good], runtime)
    for (edges, _), r, c in zip(good, runtime, counts):
        assert np.array_equal(c, _kernels.continuous_counts(edges, r))
    metrics = list(DRIFT_METRICS)
    scores = _kernels.drift_scores_many(["continuous"] * len(good), [h for _, h in good],
                                        [c.astype(float) for c in counts], metrics)
    for (_, hist), c, s in zip(good, counts, scores):
        assert s == _kernels.drift_scores("continuous", hist, c.astype(float), metrics)
    with pytest.raises(ValueError, match="as many columns"):
        _kernels.continuous_counts_many([good[0][0]], [])


def test_categorical_tables_from_counts_are_the_detectors_own():
    rng = np.random.default_rng(4)
    pools = [["b", "a", "c"], ["x"], ["é", "e", "ē", "ab", "a"], ["1", "1", "2"], ["u", "v"], ["w"]]
    texts, counts, labels = [], [], []
    for k, pool in enumerate(pools):
        # Equal texts counted apart (an int and a float category of one value), a label never seen.
        column = [0.0 if k == 4 and j == 1 else float(rng.integers(1, 50)) for j in range(len(pool))]
        if k == 5:
            column = [0.0]  # nothing at all: refused
        texts += pool
        counts.append(np.array(column))
        labels.append([t for t, c in zip(pool, column) for _ in range(int(c))])
    tables = _kernels.categorical_baselines(texts, counts)
    for got, column in zip(tables, labels):
        try:
            shares = _lumetra.PyCategoricalDataDrift(rng.permutation(np.array(column, dtype=object)).tolist())
        except ValueError as error:
            assert got == str(error)
            continue
        want = shares.export_baseline()
        assert got[0] == list(want) and got[1].tolist() == [*want.values(), 0.0]
        assert len(got[1]) == shares.num_bins
    with pytest.raises(ValueError, match="one text per count"):
        _kernels.categorical_baselines(["a"], [np.array([1.0, 2.0])])
    for bad in (-1.0, 0.5, np.nan, 2.0**60):
        with pytest.raises(ValueError, match="whole numbers"):
            _kernels.categorical_baselines(["a"], [np.array([bad])])
