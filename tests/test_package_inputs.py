"""Inputs that once gave the package's functions a wrong answer or a foreign
error: every encoding of the same labels gives the same groups, numeric
categories compare by value, infinite cut-offs, dtypes that only widen or
narrow exactly, names that clash with result columns, thresholds that would
pass every check."""

import math

import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _lumetra
import lumetra
from lumetra._checks import FAMILIES, run_check
from frames import rows

# ---- the same labels in every library's encodings ------------------------------------------


def arrow_dictionary(values, rng_order, repeat, null_entry):
    """`values` as an Arrow dictionary whose dictionary lists the labels in
    the given order, possibly twice, possibly with a null entry and unused ones."""
    labels = sorted({v for v in values if v is not None}, key=lambda v: rng_order.index(v))
    dictionary = list(labels) + ["unused"]
    if repeat:
        dictionary += labels  # every label a second time; rows point at either copy
    if null_entry:
        dictionary.append(None)
    indices = []
    for i, v in enumerate(values):
        if v is None:
            indices.append(len(dictionary) - 1 if null_entry and i % 2 else None)
        else:
            first = dictionary.index(v)
            indices.append(first + len(labels) + 1 if repeat and i % 2 else first)
    return pa.DictionaryArray.from_arrays(pa.array(indices, type=pa.int32()), pa.array(dictionary, type=pa.string()))


def encodings(values):
    """(name, facet column) pairs: one list of labels in many encodings."""
    order = sorted({v for v in values if v is not None}, reverse=True)
    out = [
        ("pyarrow strings", pa.chunked_array([pa.array(values, type=pa.string())])),
        ("pyarrow dictionary", arrow_dictionary(values, order, False, False)),
        ("pyarrow dictionary with repeats", arrow_dictionary(values, order, True, False)),
        ("pyarrow dictionary with a null entry", arrow_dictionary(values, order, True, True)),
    ]
    half = len(values) // 2
    out.append(("pyarrow chunks of other dictionaries", pa.chunked_array([
        arrow_dictionary(values[:half], order, False, False), arrow_dictionary(values[half:], order[::-1], True, False),
    ])))
    out.append(("polars strings", pl.Series(values, dtype=pl.String)))
    out.append(("polars categorical", pl.Series(values, dtype=pl.Categorical)))
    chunks = pl.concat([pl.Series(values[:half], dtype=pl.Categorical),
                        pl.Series(values[half:], dtype=pl.Categorical)], rechunk=False)
    out.append(("polars categorical chunks", chunks))
    out.append(("polars enum", pl.Series(values, dtype=pl.Enum(order))))
    out.append(("pandas str", pd.Series(values, dtype="str")))
    out.append(("pandas categorical", pd.Series(pd.Categorical(values, categories=order))))
    dictionary = arrow_dictionary(values, order, True, False)
    out.append(("pandas arrow dictionary", pd.Series(dictionary, dtype=pd.ArrowDtype(dictionary.type))))
    return out


def frame_with(facet, label):
    if isinstance(facet, (pa.Array, pa.ChunkedArray)):
        return pa.table({"f": facet, "y": pa.array(label)})
    if isinstance(facet, pl.Series):
        return pl.DataFrame({"f": facet, "y": label})
    return pd.DataFrame({"f": facet, "y": label})


def by_group(result):
    return {r["f"]: (r["n"], r["n_other"], r["ClassImbalance"], r["DifferenceInProportionOfLabels"])
            for r in rows(result)}


@settings(max_examples=25, deadline=None, derandomize=True)
@given(st.lists(st.one_of(st.none(), st.sampled_from(["a", "b", "c", "é"])), min_size=4, max_size=40),
       st.randoms(use_true_random=False))
def test_equal_labels_are_one_group_in_every_encoding(values, rnd):
    values[:2] = ["a", "b"]  # two groups at least
    label = [rnd.randint(0, 1) for _ in values]
    label[0] = 1
    want = by_group(lumetra.data_bias(pd.DataFrame({"f": pd.Series(values, dtype=object), "y": label}), "f", "y",
                                      missing="drop"))
    for name, facet in encodings(values):
        got = by_group(lumetra.data_bias(frame_with(facet, label), "f", "y", missing="drop"))
        assert got == want, name
        assert len(rows(lumetra.data_bias(frame_with(facet, label), "f", "y", missing="group"))) == len(want) + (
            None in values), name


def test_a_null_in_a_dictionary_is_a_missing_value():
    facet = pa.DictionaryArray.from_arrays(pa.array([0, 1, 2, 0, 1, 2]), pa.array(["a", None, "b"]))
    table = pa.table({"f": facet, "y": [1, 0, 1, 0, 1, 1]})
    with pytest.raises(ValueError, match="2 rows with a missing value"):
        lumetra.data_bias(table, "f", "y")
    assert [r["f"] for r in rows(lumetra.data_bias(table, "f", "y", missing="group"))] == ["a", "b", None]


# ---- numeric categories ------------------------------------------------------------------------


@pytest.mark.parametrize("library", ["pandas", "polars"])
def test_numeric_categories_compare_by_value(library):
    ints, floats = [1, 2, 2, 3, 3, 3], [1.0, 2.0, 2.0, 3.0, 3.0, 3.0]
    if library == "pandas":
        reference = pd.DataFrame({"c": pd.Categorical(ints)})
        current = pd.DataFrame({"c": pd.Categorical(floats)})
    else:
        reference = pd.DataFrame({"c": pd.Categorical(ints)})
        current = pl.DataFrame({"c": pl.Series([str(v) for v in ints], dtype=pl.Categorical)})
    result = rows(lumetra.drift(reference, current))[0]
    assert result["kind"] == "categorical"
    assert result["JensenShannon"] == 0.0 and result["WassersteinDistance"] == 0.0
    # Values that differ still differ.
    moved = rows(lumetra.drift(reference, pd.DataFrame({"c": pd.Categorical([1.5] + floats[1:])})))[0]
    assert moved["JensenShannon"] > 0.05


# ---- infinite cut-offs ---------------------------------------------------------------------------


@pytest.mark.parametrize("dtype", ["int64", "uint8", "int16", "float32"])
def test_infinite_cut_offs_give_every_row_or_none(dtype):
    frame = pd.DataFrame({"f": ["a", "b"] * 4, "y": np.array([1, 5, 3, 2, 7, 1, 1, 9], dtype=dtype),
                          "p": np.array([0, 1, 1, 0, 1, 1, 0, 0], dtype=dtype)})
    every = rows(lumetra.data_bias(frame, "f", "y", label_threshold=-math.inf))
    assert [r["DifferenceInProportionOfLabels"] for r in every] == [0.0, 0.0]
    with pytest.raises(ValueError, match="no positive rows: no value is >= label_threshold=inf"):
        lumetra.data_bias(frame, "f", "y", label_threshold=math.inf)
    with pytest.raises(ValueError, match="prediction column 'p' has no positive rows"):
        lumetra.model_bias(frame, "f", "y", "p", label_threshold=2, prediction_threshold=math.inf)


# ---- dtypes --------------------------------------------------------------------------------------

LABEL = [1, 0, 1, 1, 0, 0, 1, 0]
PRED = [1, 1, 0, 1, 0, 0, 1, 0]


@pytest.mark.parametrize("make", [
    lambda v: pd.Series(np.array(v, dtype=np.float16)),
    lambda v: pa.array(np.array(v, dtype=np.float16)),
    lambda v: pl.Series(v, dtype=pl.Int128),
    lambda v: pl.Series(v, dtype=pl.UInt128),
], ids=["pandas float16", "pyarrow float16", "polars Int128", "polars UInt128"])
def test_dtypes_read_exactly_as_their_64_bit_values(make):
    def frame(**columns):
        if isinstance(next(iter(columns.values())), pl.Series):
            return pl.DataFrame(columns)
        if isinstance(next(iter(columns.values())), pa.Array):
            return pa.table(columns)
        return pd.DataFrame(columns)

    groups = [0, 0, 1, 0, 1, 1, 0, 1]
    plain = pd.DataFrame({"f": groups, "y": LABEL, "p": PRED})
    odd = frame(y=make(LABEL), p=make(PRED))
    odd_f = frame(f=make(groups), y=make(LABEL), p=make(PRED))

    def values(result, skip=()):  # NaN matching NaN
        return repr([{k: v for k, v in r.items() if k not in skip} for r in rows(result)])

    bias = values(lumetra.model_bias(plain, "f", "y", "p"), ("f",))
    with_odd = lumetra.model_bias(odd_f, "f", "y", "p")
    assert values(with_odd, ("f",)) == bias
    for task in ("regression", "classification", "logistic"):
        assert values(lumetra.performance(odd, "y", "p", task=task)) == values(
            lumetra.performance(plain, "y", "p", task=task)), task
    assert values(lumetra.drift(odd, odd)) == values(lumetra.drift(plain[["y", "p"]].astype(float),
                                                                   plain[["y", "p"]].astype(float)))


def test_128_bit_values_beyond_64_bits_are_refused_naming_the_column():
    frame = pl.DataFrame({"f": ["a", "b"] * 4, "y": pl.Series([2**70] + LABEL[1:], dtype=pl.Int128)})
    with pytest.raises(TypeError, match="label column 'y' has dtype Int128 with values beyond 64 bits"):
        lumetra.data_bias(frame, "f", "y")


# ---- names ---------------------------------------------------------------------------------------


@pytest.mark.parametrize("call, message", [
    (lambda d: lumetra.data_bias(d.rename(columns={"f": "ClassImbalance"}), "ClassImbalance", "y"),
     "facet column 'ClassImbalance' has the name of a result column"),
    (lambda d: lumetra.model_bias(d.rename(columns={"f": "GeneralizedEntropy"}), "GeneralizedEntropy", "y", "p"),
     "facet column 'GeneralizedEntropy' has the name of a result column"),
    (lambda d: lumetra.data_bias(d.rename(columns={"f": "n_other"}), "n_other", "y"),
     "facet column 'n_other' has the name of a result column"),
    (lambda d: lumetra.performance(d.rename(columns={"f": "MeanSquaredError"}), "y", "p", task="regression",
                                   facet="MeanSquaredError"), "facet column 'MeanSquaredError' has the name"),
    (lambda d: lumetra.performance(d.rename(columns={"f": "LogLoss"}), "y", "p", task="logistic", facet="LogLoss"),
     "facet column 'LogLoss' has the name"),
    (lambda d: lumetra.data_bias(pa.Table.from_arrays([pa.array(d["f"]), pa.array(d["y"]), pa.array(d["p"])],
                                                      names=["f", "y", "y"]), "f", "y"),
     "data has more than one column named 'y'"),
    (lambda d: lumetra.drift(d, d.set_axis(["f", "y", "y"], axis=1)), "current has more than one column named 'y'"),
])
def test_names_that_would_clash_are_refused_in_one_line(call, message):
    frame = pd.DataFrame({"f": ["a", "b"] * 4, "y": LABEL, "p": PRED})
    with pytest.raises(ValueError, match=message) as info:
        call(frame)
    assert "\n" not in str(info.value)


def test_names_that_do_not_clash_are_taken():
    # A label named like a metric is no result column; a bias facet named like
    # a performance metric neither.
    frame = pd.DataFrame({"Accuracy": ["a", "b"] * 4, "ClassImbalance": LABEL, "p": PRED})
    assert len(rows(lumetra.data_bias(frame, "Accuracy", "ClassImbalance"))) == 2


# ---- check thresholds ---------------------------------------------------------------------------


@pytest.mark.parametrize("threshold", [math.nan, math.inf, -math.inf, -0.1, True, "0.1"])
def test_a_check_threshold_that_would_pass_or_fail_everything_is_refused(threshold):
    family = FAMILIES["regression"]
    baseline = {name: 1.0 for name in family.metrics}
    latest = {name: 10.0 for name in family.metrics}
    with pytest.raises(ValueError, match="threshold must be a finite number >= 0"):
        run_check(family, baseline, latest, threshold=threshold)
    assert run_check(family, baseline, latest, threshold=0.0)["passed"] is False


# ---- each metric its counts define ---------------------------------------------------------------


def test_one_zero_denominator_no_longer_blanks_the_group():
    from reference import post_training

    # Facet a ("a") has no false positive: no treatment equity, and the
    # module refuses all twelve metrics for it.
    facet = ["a"] * 6 + ["b"] * 6
    truth = [1, 1, 0, 0, 1, 0, 1, 0, 0, 1, 1, 0]
    pred = [1, 0, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1]
    frame = pd.DataFrame({"f": facet, "y": truth, "p": pred})
    f, t, p = (np.array(v, dtype=float) for v in ([x == "a" for x in facet], truth, pred))
    with pytest.raises(ValueError, match="No deviation in behavior between facets"):
        _lumetra.py_model_bias_analyzer_explicit_seg(f, 1.0, None, "GreaterThanEqualTo", t, 1.0, None,
                                                     "GreaterThanEqualTo", p, 1.0, None, "GreaterThanEqualTo")
    a, b = rows(lumetra.model_bias(frame, "f", "y", "p"))
    assert a["error"] is None and a["undefined"] == "TreatmentEquity: a facet has no false positives"
    values, undefined = post_training(f == 1, t == 1, p == 1)
    assert undefined == {"TreatmentEquity"}
    for name, value in values.items():
        assert math.isnan(a[name]) if name in undefined else np.float32(a[name]) == value, name
    assert not math.isnan(a["GeneralizedEntropy"]) and not math.isnan(a["DifferenceInRejectionRate"])
    # Where the module answers, nothing is undefined and the values are its own.
    full = pd.DataFrame({"f": facet, "y": truth, "p": [1, 0, 1, 0, 1, 0, 1, 1, 0, 0, 1, 1]})
    g = (np.array(facet) == "a").astype(float)
    want = _lumetra.py_model_bias_analyzer_explicit_seg(
        g, 1.0, None, "GreaterThanEqualTo", t, 1.0, None, "GreaterThanEqualTo",
        np.array(full["p"], dtype=float), 1.0, None, "GreaterThanEqualTo")
    row = rows(lumetra.model_bias(full, "f", "y", "p"))[0]
    assert row["undefined"] is None and all(np.float32(row[k]) == np.float32(v) for k, v in want.items())
