"""The bias analyses read native arrays in place, for every dtype and stride,
and give what the same analyses give for boolean masks built with NumPy:
the grouping rule (label matching or thresholding, from the distinct count),
explicit comparisons in double precision, and the counts."""

import math

import numpy as np
import pytest

import _lumetra as L
from reference import pre_training

N = 6000  # label matching allows 300 distinct values
DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float32", "float64", "bool"]
COMPARISONS = {
    "GreaterThan": np.greater,
    "GreaterThanEqualTo": np.greater_equal,
    "LessThan": np.less,
    "LessThanEqualTo": np.less_equal,
}


def strided(values, dtype, stride):
    """values as an array of dtype read with the given stride."""
    arr = np.asarray(values).astype(dtype)
    if stride == 1:
        return arr
    wide = np.zeros(arr.size * abs(stride), dtype=dtype)
    if stride > 0:
        wide[::stride] = arr
        return wide[::stride]
    wide[::stride] = arr[::-1]
    return wide[::stride]


def distinct_count(a):
    if a.dtype.kind == "f":
        nan = np.isnan(a)
        bits = a[~nan].view(np.uint32 if a.dtype.itemsize == 4 else np.uint64)
        return np.unique(bits).size + int(nan.sum())
    return np.unique(a).size


def implicit_mask(a, v):
    """The grouping rule written with NumPy."""
    if a.dtype == np.bool_:
        return a == (v if isinstance(v, bool) else v == 1)
    d = distinct_count(a)
    label = d <= 3 or np.float32(d) / np.float32(a.size) <= np.float32(0.05)
    if a.dtype.kind == "f":
        x = a.astype(np.float64)
        return x == v if label else x >= v
    x = a.astype(np.int64) if a.dtype != np.uint64 else a
    return x == v if label else x >= v


def shapes(dtype, rng):
    """(name, values, label) of columns that take each road."""
    kind = np.dtype(dtype).kind
    if kind == "b":
        yield "bool", rng.random(N) < 0.3, True
        return
    yield "few", rng.integers(0, 5, N), 3
    if np.dtype(dtype).itemsize > 1:
        # 290 values at first, then 40 new ones in the last blocks: the
        # choice turns to thresholding late.
        late = rng.integers(0, 290, N)
        late[-40:] = np.arange(290, 330)
        yield "late", late, 100
    if kind == "f":
        yield "continuous", rng.normal(size=N), 0.0
        with_nan = rng.integers(0, 4, N).astype(np.float64)
        with_nan[:: N // 400] = np.nan  # 400 NaN, each a value of its own
        yield "nan", with_nan, 2.0
    elif np.iinfo(dtype).max > N:
        yield "many", rng.integers(0, N, N), N // 2
        if np.dtype(dtype).itemsize >= 4:
            # Ten values in a narrow range until the last block (from element
            # 4096), then only values far apart: the count starts late and
            # must include every element before, for exactly the limit and
            # for one more.
            for distinct in (300, 301):
                wide = rng.integers(0, 10, N)
                wide[4096:] = np.resize(np.arange(distinct - 10) * 5_000_000 + 10, N - 4096)
                yield f"wide-late-{distinct}", wide, 10


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


def assert_same_metrics(got, want):
    assert set(got) == set(want)
    bad = {k: (got[k], float(want[k])) for k in want if not same(got[k], float(want[k]))}
    assert not bad


def outcome(call, *args):
    """The result of a call, or its exception's type and message."""
    try:
        return call(*args)
    except (ValueError, TypeError) as e:
        return type(e), str(e)


def assert_same_outcome(got, want):
    if isinstance(want, dict) and isinstance(got, dict):
        assert_same_metrics(got, want)
    else:
        assert got == want


def label_of(dtype, v):
    return float(v) if np.dtype(dtype).kind == "f" else v


def cases():
    rng = np.random.default_rng(2026)
    for dtype in DTYPES:
        for stride in (1, 2, -3):
            for name, values, v in shapes(dtype, rng):
                yield pytest.param(dtype, stride, values, v, id=f"{dtype}-{stride}-{name}")


@pytest.mark.parametrize("dtype, stride, values, v", list(cases()))
def test_implicit_segmentation_in_place(dtype, stride, values, v):
    rng = np.random.default_rng(abs(hash((dtype, stride))) % 2**32)
    feature = strided(values, dtype, stride)
    truth = strided(rng.integers(0, 2, N), dtype, stride)
    prediction = strided(rng.integers(0, 2, N), dtype, stride)
    fv = label_of(dtype, v)
    tv = True if dtype == "bool" else label_of(dtype, 1)
    fm, tm, pm = implicit_mask(feature, fv), implicit_mask(truth, tv), implicit_mask(prediction, tv)
    assert_same_metrics(L.py_data_bias_analyzer(feature, truth, fv, tv), pre_training(fm, tm))
    assert_same_outcome(outcome(L.py_model_bias_analyzer, feature, truth, prediction, fv, tv, tv),
                        outcome(L.py_model_bias_analyzer, fm, tm, pm, True, True, True))


THRESHOLDS = [2.5, 3.0, -0.0, 0.1, 1e300, -math.inf, math.nan, 2.0**62, 2.0**64, 1e-46]


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("stride", [1, 2, -2])
def test_explicit_segmentation_in_place(dtype, stride):
    rng = np.random.default_rng(7)
    if dtype == "bool":
        values = rng.random(N) < 0.5
    elif np.dtype(dtype).kind == "f":
        values = np.concatenate([rng.normal(size=N - 6), [np.nan, np.inf, -np.inf, -0.0, 2.5, 3.0]])
    else:
        info = np.iinfo(dtype)
        values = rng.integers(0, 6, N).astype(dtype)
        values[:3] = [info.min, info.max, info.max - 1]
    feature = strided(values, dtype, stride)
    truth = strided(rng.integers(0, 2, N), "int64", stride)
    wide = feature.astype(np.float64)  # the comparison is in double precision
    for t in THRESHOLDS:
        for kind, compare in COMPARISONS.items():
            with np.errstate(invalid="ignore"):
                fm = compare(wide, t)
            args = (feature, t, None, kind, truth, 1.0, None, "GreaterThanEqualTo")
            if not 0 < fm.sum() < N:
                with pytest.raises(ValueError, match="^No deviation in behavior between facets$"):
                    L.py_data_bias_analyzer_explicit_seg(*args)
                continue
            assert_same_metrics(L.py_data_bias_analyzer_explicit_seg(*args), pre_training(fm, truth >= 1))


def test_explicit_model_bias_mixes_numeric_boolean_and_text_columns():
    rng = np.random.default_rng(3)
    feature = rng.normal(size=N)
    truth = rng.random(N) < 0.4
    prediction = np.where(rng.random(N) < 0.5, "yes", "no")
    got = L.py_model_bias_analyzer_explicit_seg(feature, 0.25, None, "LessThan", truth, 0.5, None, "GreaterThan",
                                               prediction, None, "yes", None)
    want = L.py_model_bias_analyzer(feature < 0.25, truth, prediction == "yes", True, True, True)
    assert_same_metrics(got, want)


def test_byte_swapped_columns_take_the_copying_road_with_the_same_result():
    rng = np.random.default_rng(4)
    feature = rng.normal(size=N)
    truth, prediction = rng.integers(0, 2, N), rng.integers(0, 2, N)
    swapped = feature.astype(">f8")
    assert_same_metrics(L.py_data_bias_analyzer(swapped, truth, 0.0, 1), L.py_data_bias_analyzer(feature, truth, 0.0, 1))
    assert_same_metrics(L.py_model_bias_analyzer(swapped, truth.astype(">i8"), prediction, 0.0, 1, 1),
                        L.py_model_bias_analyzer(feature, truth, prediction, 0.0, 1, 1))


class Resizing(np.ndarray):
    """A byte-swapped array (read by Python iteration) whose iteration resizes
    another array, moving its buffer."""

    def __iter__(self):
        victim = self.victim
        victim.resize((1 << 20,), refcheck=False)
        victim[:] = np.arange(victim.size) % 3 == 0
        victim.resize((N,), refcheck=False)
        return super().__iter__()


def test_arrays_read_in_place_are_read_again_after_user_code_ran():
    # The outcome (data bias) or the predictions (model bias) are read in
    # place before the feature, whose Python iteration moves their buffer and
    # rewrites it: the analyses see the arrays as they then stand.
    rng = np.random.default_rng(5)
    values = rng.normal(size=N)
    feature = values.astype(">f8").view(Resizing)

    truth = rng.integers(0, 2, N)
    feature.victim = truth
    got = L.py_data_bias_analyzer(feature, truth, 0.0, 1)
    assert truth.sum() == N // 3
    assert_same_metrics(got, pre_training(values >= 0.0, truth == 1))

    truth, prediction = rng.integers(0, 2, N), rng.integers(0, 2, N)
    feature.victim = prediction
    got = L.py_model_bias_analyzer(feature, truth, prediction, 0.0, 1, 1)
    assert prediction.sum() == N // 3
    assert_same_metrics(got, L.py_model_bias_analyzer(values >= 0.0, truth == 1, prediction == 1, True, True, True))
