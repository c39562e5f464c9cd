"""The lumetra package on pandas, polars and pyarrow frames: every result
checked bit for bit against _lumetra called on the masks of each group."""

import math
import pathlib
import subprocess
import sys

import numpy as np
import pytest

import _lumetra
import lumetra
from reference import post_training
from frames import LIBRARIES, METRIC_COLUMNS, column, make, rows, same_float

SEG = (1.0, None, "GreaterThanEqualTo")
N = 300


def module_on_masks(feature, truth, prediction=None):
    """The module's metrics dict on 0/1 masks, or its error message."""
    f, t = np.asarray(feature, dtype=float), np.asarray(truth, dtype=float)
    try:
        if prediction is None:
            return _lumetra.py_data_bias_analyzer_explicit_seg(f, *SEG, t, *SEG)
        p = np.asarray(prediction, dtype=float)
        return _lumetra.py_model_bias_analyzer_explicit_seg(f, *SEG, t, *SEG, p, *SEG)
    except ValueError as error:
        return str(error)


def order_key(value):
    values = value if isinstance(value, tuple) else (value,)
    return tuple((v is None, v if v is not None else 0) for v in values)


def expected_bias(facet, positive, predicted=None, *, missing="drop", reference=None):
    """Rows of the bias table computed from plain lists: facet holds one value
    (or tuple) per row, positive / predicted one bool or None per row."""
    n = len(facet)
    absent = [v is None or (isinstance(v, tuple) and None in v) for v in facet]
    keep = [
        i for i in range(n)
        if positive[i] is not None and (predicted is None or predicted[i] is not None)
        and (missing == "group" or not absent[i])
    ]
    groups = sorted({facet[i] for i in keep}, key=order_key)
    out = []
    for g in groups:
        sel = [i for i in keep if reference is None or facet[i] == g or facet[i] == reference]
        feature = [facet[i] == g for i in sel]
        truth = [positive[i] for i in sel]
        pred = None if predicted is None else [predicted[i] for i in sel]
        result = module_on_masks(feature, truth, pred)
        if result == NO_DEVIATION and pred is not None:
            # The module refuses all twelve; the package gives each metric its counts define.
            result = PerMetric(*post_training(feature, truth, pred))
        out.append((g, sum(feature), len(sel) - sum(feature), result))
    return out


NO_DEVIATION = "No deviation in behavior between facets"


class PerMetric:
    """The metrics a group's counts define, where the module refuses the group."""

    def __init__(self, values, undefined):
        self.values, self.undefined = values, undefined

    def check(self, row, g):
        assert row["error"] is None, (g, row["error"])
        listed = {part.split(":")[0] for part in row["undefined"].split("; ")}
        assert self.undefined <= listed, (g, self.undefined, listed)
        for name, value in self.values.items():
            if name in listed:
                assert math.isnan(row[name]), (g, name)
            else:
                assert same_float(row[name], value), (g, name, row[name], value)


def check_table(result, expected, facet_columns):
    got = rows(result)
    assert [tuple(r[c] for c in facet_columns) for r in got] == [
        g if isinstance(g, tuple) else (g,) for g, *_ in expected
    ]
    for row, (g, n, n_other, want) in zip(got, expected):
        assert (row["n"], row["n_other"]) == (n, n_other), g
        if row["error"] == "the reference group, not compared with itself":
            assert isinstance(want, str)  # the module refuses a facet d without rows
            continue
        if isinstance(want, PerMetric):
            want.check(row, g)
            continue
        if isinstance(want, str):
            assert row["error"] == want, g
            continue
        assert row["error"] is None, (g, row["error"])
        for name, value in want.items():
            assert same_float(row[name], value), (g, name, row[name], value)


# Facet kinds, with a missing value every so many rows (nullable kinds only).
KINDS = [("int", 0), ("float", 0), ("str", 0), ("cat", 0), ("bool", 0), ("int?", 0), ("int?", 7), ("float?", 7),
         ("str?", 0), ("str?", 7), ("cat?", 7), ("bool?", 0), ("bool?", 7)]


@pytest.mark.parametrize("function", ["data_bias", "model_bias"])
@pytest.mark.parametrize("kind, missing_every", KINDS, ids=[f"{k}{m or ''}" for k, m in KINDS])
@pytest.mark.parametrize("library", LIBRARIES)
def test_bias_by_facet_kind_equals_the_module_on_masks(library, kind, missing_every, function):
    rng = np.random.default_rng(KINDS.index((kind, missing_every)))
    facet = column(rng, kind, N, missing_every=missing_every)
    label = rng.integers(0, 2, N).tolist()
    score = rng.random(N).round(3).tolist()
    data = make(library, {"f": (kind, facet), "y": ("int", label), "s": ("float", score)})
    missing = "drop" if missing_every else "raise"
    if function == "data_bias":
        result = lumetra.data_bias(data, "f", "y", missing=missing)
        expected = expected_bias(facet, [v == 1 for v in label])
    else:
        result = lumetra.model_bias(data, "f", "y", "s", prediction_threshold=0.5, missing=missing)
        expected = expected_bias(facet, [v == 1 for v in label], [v >= 0.5 for v in score])
    assert type(result).__module__.split(".")[0] == {"pyarrow": "pyarrow"}.get(library, library)
    check_table(result, expected, ["f"])


@pytest.mark.parametrize("library", LIBRARIES)
def test_missing_value_policies(library):
    rng = np.random.default_rng(1)
    facet = column(rng, "str?", N, missing_every=5)
    label = [None if i % 11 == 3 else v for i, v in enumerate(rng.integers(0, 2, N).tolist())]
    data = make(library, {"f": ("str?", facet), "y": ("int?", label)})
    positive = [None if v is None else v == 1 for v in label]

    with pytest.raises(ValueError, match=r"facet column 'f' has 60 rows with a missing value; pass missing='drop'"
                                         r" to leave those rows out or missing='group'"):
        lumetra.data_bias(data, "f", "y")
    check_table(lumetra.data_bias(data, "f", "y", missing="drop"), expected_bias(facet, positive), ["f"])
    # Under 'group' a missing label is still refused ...
    with pytest.raises(ValueError, match=r"label column 'y' has 27 rows with a missing value; pass missing='drop'"):
        lumetra.data_bias(data, "f", "y", missing="group")
    # ... and the missing facet values form the last group, its value null.
    complete = [0 if v is None else v for v in label]
    grouped = lumetra.data_bias(make(library, {"f": ("str?", facet), "y": ("int", complete)}), "f", "y",
                                missing="group")
    check_table(grouped, expected_bias(facet, [v == 1 for v in complete], missing="group"), ["f"])
    assert rows(grouped)[-1]["f"] is None


@pytest.mark.parametrize("library", LIBRARIES)
def test_a_text_column_with_every_value_missing(library):
    data = make(library, {"f": ("str?", [None] * 4), "y": ("int", [1, 0, 1, 0]), "p": ("float", [0.5] * 4)})
    with pytest.raises(ValueError, match=r"facet column 'f' has 4 rows with a missing value"):
        lumetra.performance(data, "y", "p", task="regression", facet="f")
    with pytest.raises(ValueError, match="no rows"):
        lumetra.performance(data, "y", "p", task="regression", facet="f", missing="drop")


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("function", ["data_bias", "model_bias"])
def test_intersections_of_two_facets_and_a_reference(library, function):
    rng = np.random.default_rng(2)
    sex = column(rng, "bool", N)
    race = column(rng, "cat", N)
    race[5] = race[9] = None
    label = rng.integers(0, 2, N).tolist()
    pred = rng.integers(0, 2, N).tolist()
    data = make(library, {"sex": ("bool", sex), "race": ("cat?", race), "y": ("int", label), "p": ("int", pred)})
    facet = list(zip(sex, race))
    positive = [v == 1 for v in label]
    predicted = [v == 1 for v in pred] if function == "model_bias" else None
    call = getattr(lumetra, function)
    args = ("p",) if function == "model_bias" else ()
    for reference in (None, (True, "mid")):
        result = call(data, ["sex", "race"], "y", *args, reference=reference, missing="group")
        check_table(result, expected_bias(facet, positive, predicted, missing="group", reference=reference),
                    ["sex", "race"])
    # The reference's own row: nobody on the other side, and no metrics.
    own = [r for r in rows(result) if (r["sex"], r["race"]) == (True, "mid")][0]
    assert own["n_other"] == 0 and own["error"] == "the reference group, not compared with itself"
    assert all(math.isnan(v) for k, v in own.items() if k in METRIC_COLUMNS)


@pytest.mark.parametrize("groups", [2, 127, 128, 1000])
def test_many_groups_against_a_reference_match_the_module_on_masks(groups):
    # Codes of int8 below 128 groups, int16 above; the reference holds a
    # large share of the rows, so each comparison's entropy is mostly its rows.
    import pandas as pd

    rng = np.random.default_rng(groups)
    n = 20_000
    codes = rng.integers(0, groups, n)
    codes[rng.random(n) < 0.4] = groups // 2
    names = [f"g{i:04d}" for i in range(groups)]
    y, p = rng.integers(0, 2, n), (rng.random(n) < 0.3).astype(np.int64)
    data = pd.DataFrame({"f": pd.Categorical.from_codes(codes, names), "y": y, "p": p})
    for reference in (None, names[groups // 2]):
        table = rows(lumetra.model_bias(data, "f", "y", "p", reference=reference))
        assert len(table) == len(set(codes.tolist()))
        for row in table[:: max(1, len(table) // 12)]:
            g = names.index(row["f"])
            sel = np.ones(n, bool) if reference is None else (codes == g) | (codes == groups // 2)
            want = module_on_masks(codes[sel] == g, y[sel] == 1, p[sel] == 1)
            if isinstance(want, str):
                # The module refuses the whole call; the package answers the metrics the counts define.
                assert row["error"] is not None or row["undefined"] is not None, (g, reference)
                continue
            assert same_float(row["GeneralizedEntropy"], want["GeneralizedEntropy"]), (g, reference)
            for name, value in want.items():
                assert same_float(row[name], value), (g, name)


@pytest.mark.parametrize("library", LIBRARIES)
def test_thresholds_and_text_labels(library):
    rng = np.random.default_rng(3)
    age = rng.integers(18, 90, N).tolist()
    outcome = [["no", "yes"][v] for v in rng.integers(0, 2, N)]
    income = rng.normal(50, 20, N).round(2).tolist()
    data = make(library, {"age": ("int", age), "outcome": ("str", outcome), "income": ("float", income)})

    result = lumetra.data_bias(data, "age", "outcome", positive="yes", facet_threshold=40)
    side = [">= 40" if a >= 40 else "< 40" for a in age]
    expected = expected_bias(side, [o == "yes" for o in outcome])
    check_table(result, sorted(expected, key=lambda e: e[0] != ">= 40"), ["age"])

    result = lumetra.data_bias(data, "outcome", "income", label_threshold=55.5, reference="no")
    expected = expected_bias(outcome, [v >= 55.5 for v in income], reference="no")
    check_table(result, expected, ["outcome"])

    # Missing values of a thresholded facet form a third group.
    gappy = [None if i % 9 == 0 else v for i, v in enumerate(income)]
    frame = make(library, {"income": ("float?", gappy), "outcome": ("str", outcome)})
    result = lumetra.data_bias(frame, "income", "outcome", positive="yes", facet_threshold=50, missing="group")
    side = [None if v is None else (">= 50" if v >= 50 else "< 50") for v in gappy]
    expected = expected_bias(side, [o == "yes" for o in outcome], missing="group")
    check_table(result, sorted(expected, key=lambda e: (e[0] is None, e[0] != ">= 50")), ["income"])

    # An integer label against a fractional threshold: label >= 40.5 means >= 41.
    result = lumetra.data_bias(data, "outcome", "age", label_threshold=40.5)
    check_table(result, expected_bias(outcome, [a >= 41 for a in age]), ["outcome"])


def test_polars_enum_and_arrow_dictionary_keep_their_category_order():
    pl = pytest.importorskip("polars")
    pa = pytest.importorskip("pyarrow")
    values = ["b", "c", "a", "b", "c", "a", "c"]
    label = [1, 0, 1, 0, 1, 1, 0]
    enum = pl.DataFrame({"f": pl.Series(values, dtype=pl.Enum(["c", "a", "b"])), "y": label})
    assert [r["f"] for r in rows(lumetra.data_bias(enum, "f", "y"))] == ["c", "a", "b"]
    dictionary = pa.DictionaryArray.from_arrays(pa.array([["c", "a", "b"].index(v) for v in values], pa.int32()),
                                                pa.array(["c", "a", "b"]))
    table = pa.table({"f": dictionary, "y": label})
    assert [r["f"] for r in rows(lumetra.data_bias(table, "f", "y"))] == ["c", "a", "b"]


@pytest.mark.parametrize("library", LIBRARIES)
@pytest.mark.parametrize("task", ["regression", "classification", "logistic"])
def test_performance_by_group_equals_the_batch_functions(library, task):
    rng = np.random.default_rng(4)
    group = column(rng, "str", N)
    label = rng.integers(0, 2, N).tolist()
    pred = rng.integers(0, 2, N).tolist()
    score = rng.random(N).tolist()
    target = rng.normal(size=N).tolist()
    data = make(library, {"g": ("str", group), "y": ("int", label), "p": ("int", pred), "s": ("float", score),
                          "t": ("float", target)})
    columns = {"regression": ("t", "s"), "classification": ("y", "p"), "logistic": ("y", "s")}[task]
    for by in (None, "g"):
        got = rows(lumetra.performance(data, *columns, task=task, facet=by, prediction_threshold=0.4))
        keys = [None] if by is None else sorted(set(group))
        assert len(got) == len(keys)
        for row, key in zip(got, keys):
            sel = [i for i in range(N) if key is None or group[i] == key]
            y = np.array([data_column(columns[0], label, target)[i] for i in sel], dtype=float)
            p = np.array([data_column(columns[1], pred, score)[i] for i in sel], dtype=float)
            if task == "regression":
                want = _lumetra.py_model_perf_linear_regression(y, p)
            elif task == "classification":
                want = _lumetra.py_model_perf_classification((y == 1).astype(float), (p == 1).astype(float))
            else:
                want = _lumetra.py_model_perf_logistic_regression((y == 1).astype(float), p, 0.4)
            assert row["n"] == len(sel) and (by is None or row["g"] == key)
            assert list(row)[-len(want):] == list(want)
            for name, value in want.items():
                assert same_float(row[name], value), (key, name)


def test_logistic_log_loss_by_group_is_the_module_one_on_a_long_group():
    # A group long enough that a single-precision sum of its log-loss terms
    # is visibly off (0.105413 for 0.105361): every group's sum is double, as
    # the module's.
    n = 700_000
    rng = np.random.default_rng(5)
    group = np.where(rng.random(n) < 0.9, "long", "short")
    score = np.where(group == "long", 0.9, rng.random(n))
    label = np.where(group == "long", 1, rng.integers(0, 2, n))
    pd = pytest.importorskip("pandas")

    got = rows(lumetra.performance(pd.DataFrame({"g": group, "y": label, "s": score}), "y", "s",
                                   task="logistic", by="g", threshold=0.5))
    for row in got:
        sel = group == row["g"]
        want = _lumetra.py_model_perf_logistic_regression((label[sel] == 1).astype(float), score[sel], 0.5)
        assert row["n"] == sel.sum()
        for name, value in want.items():
            assert same_float(row[name], value), (row["g"], name)
    long = next(r for r in got if r["g"] == "long")
    term = float(np.log(np.float32(0.9)))
    assert long["LogLoss"] == pytest.approx(-term, rel=1e-6)


def data_column(name, ints, floats):
    return ints if name in ("y", "p") else floats


@pytest.mark.parametrize("library", LIBRARIES)
def test_drift_equals_the_detectors(library):
    rng = np.random.default_rng(6)
    def frame(shift, n):
        return {"x": ("float", (rng.normal(shift, 1, n)).tolist()), "k": ("int", rng.integers(0, 9, n).tolist()),
                "c": ("cat", column(rng, "cat", n)), "b": ("bool?", column(rng, "bool", n, missing_every=13))}
    base_columns, runtime_columns = frame(0.0, 400), frame(0.4, 300)
    base, runtime = make(library, base_columns), make(library, runtime_columns)
    got = rows(lumetra.drift(base, runtime, rule="Scott", missing="drop"))
    assert [(r["column"], r["kind"]) for r in got] == [
        ("x", "continuous"), ("k", "continuous"), ("c", "categorical"), ("b", "categorical")]

    keep_base = [v is not None for v in base_columns["b"][1]]
    keep_runtime = [v is not None for v in runtime_columns["b"][1]]
    metrics = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]
    for row in got:
        a = [v for v, k in zip(base_columns[row["column"]][1], keep_base) if k]
        b = [v for v, k in zip(runtime_columns[row["column"]][1], keep_runtime) if k]
        if row["kind"] == "continuous":
            detector = _lumetra.PyContinuousDataDrift(np.array(a, dtype=float), "Scott")
            want = detector.compute_drift_mutliple_criteria(np.array(b, dtype=float), metrics)
        else:
            detector = _lumetra.PyCategoricalDataDrift([str(v) for v in a])
            want = detector.compute_drift_mutliple_criteria([str(v) for v in b], metrics)
        assert row["bins"] == detector.num_bins
        for name, value in zip(metrics, want):
            assert same_float(row[name], value), (row["column"], name)

    only = rows(lumetra.drift(base, runtime, columns=["c"], metrics=["WassersteinDistance"], missing="drop"))
    assert list(only[0]) == ["column", "kind", "bins", "WassersteinDistance", "test", "statistic", "p_value",
                             "p_adjusted", "drifted", "psi_critical"]
    plain = rows(lumetra.drift(base, runtime, columns=["c"], metrics=["WassersteinDistance"], missing="drop",
                               test=None))
    assert list(plain[0]) == ["column", "kind", "bins", "WassersteinDistance"]


def test_many_groups_and_wide_integer_codes():
    pd = pytest.importorskip("pandas")
    rng = np.random.default_rng(8)
    facet = rng.choice([10**12, -(10**12), 5, 0], N)  # too wide a span for offset codes
    region = rng.integers(0, 40, N)
    label = rng.integers(0, 2, N)
    data = pd.DataFrame({"f": facet, "r": region, "y": label})
    check_table(lumetra.data_bias(data, ["f", "r"], "y"),
                expected_bias(list(zip(facet.tolist(), region.tolist())), (label == 1).tolist()), ["f", "r"])


def refusal_cases():
    pd = pytest.importorskip("pandas")
    data = pd.DataFrame({"f": ["a", "b", "a"], "one": ["a", "a", "a"], "y": [1, 0, 1], "s": [0.2, 0.9, 0.4],
                         "when": pd.to_datetime(["2024-01-01"] * 3), "n": [1, 2, 3]})
    return [
        (lambda: lumetra.data_bias(data, "g", "y"), KeyError, "facet column 'g' is not in the frame"),
        (lambda: lumetra.data_bias(data, "f", "z"), KeyError, "label column 'z' is not in the frame"),
        (lambda: lumetra.data_bias(data, "f", "y", positive=7), ValueError,
         "label column 'y' has no positive rows: no value equals positive=7"),
        (lambda: lumetra.data_bias(data, "f", "y", positive="yes"), ValueError,
         "positive='yes' cannot equal a value of the numeric label column 'y'"),
        (lambda: lumetra.data_bias(data, "f", "s", label_threshold=2), ValueError,
         "label column 's' has no positive rows: no value is >= label_threshold=2.0"),
        (lambda: lumetra.data_bias(data, "one", "y"), ValueError,
         "facet 'one' has one group only \\('a'\\); bias needs at least two groups"),
        (lambda: lumetra.data_bias(data, "f", "y", reference="c"), ValueError,
         "reference='c' is not a group with rows of 'f'"),
        (lambda: lumetra.data_bias(data, "f", "y", missing="skip"), ValueError,
         "missing must be one of 'raise', 'drop', 'group'; got 'skip'"),
        (lambda: lumetra.data_bias(data, "f", "y", facet_threshold=1), ValueError,
         "facet_threshold needs a numeric facet column; 'f' has dtype String"),
        (lambda: lumetra.data_bias(data, "when", "y"), ValueError,
         "facet column 'when' has dtype Datetime.*expected numbers, booleans, strings or categories"),
        (lambda: lumetra.data_bias(data, ["f", "f"], "y"), ValueError, "facet must not repeat a column"),
        (lambda: lumetra.data_bias(data, "n", "y"), ValueError, "facet column 'n' has the name of a result column"),
        (lambda: lumetra.data_bias(data, "f", "y", label_threshold="1"), TypeError,
         "label_threshold must be a real number or None; got '1'"),
        (lambda: lumetra.data_bias([[1, 2]], "f", "y"), TypeError, "data must be a DataFrame"),
        (lambda: lumetra.model_bias(data, "f", "y", "s"), ValueError,
         "prediction column 's' has no positive rows: no value equals positive=1"),
        (lambda: lumetra.model_bias(data, "f", "y", "s", prediction_threshold=0.5, facet_threshold=1.0), ValueError,
         "facet_threshold needs a numeric facet column"),
        (lambda: lumetra.performance(data, "y", "s", task="regresion"), ValueError,
         "task must be one of 'regression', 'classification', 'logistic'; got 'regresion'"),
        (lambda: lumetra.performance(data, "f", "s", task="regression"), ValueError,
         "label column 'f' must hold numbers"),
        (lambda: lumetra.performance(data, "y", "s", task="logistic", missing="group"), ValueError,
         "missing must be one of 'raise', 'drop'; got 'group'"),
        (lambda: lumetra.drift(data, data, rule="Square"), ValueError,
         "rule must be one of 'FreedmanDiaconis', 'Scott', 'Sturges'; got 'Square'"),
        (lambda: lumetra.drift(data, data, columns=["f"], metrics=["Hellinger"]), ValueError,
         "metrics must hold names from 'JensenShannon', 'PopulationStabilityIndex', 'WassersteinDistance', "
         "'KullbackLeibler'; got 'Hellinger'"),
        (lambda: lumetra.drift(data, data[["y"]].astype(str), columns=["y"]), ValueError,
         "column 'y' is continuous in reference \\(Int64\\) but categorical in current"),
        (lambda: lumetra.drift(data, data, columns=["x"]), KeyError, "reference column 'x' is not in the frame"),
    ]


@pytest.mark.parametrize("case", range(23))
def test_refusals_name_the_argument(case):
    call, error, message = refusal_cases()[case]
    with pytest.raises(error, match=message):
        call()


def test_missing_values_are_never_converted():
    pd = pytest.importorskip("pandas")
    # A nullable integer facet keeps its dtype in the result, with NA as the null group.
    data = pd.DataFrame({"f": pd.array([1, None, 2, 1, None, 2], dtype="Int64"), "y": [1, 0, 1, 0, 1, 1]})
    result = lumetra.data_bias(data, "f", "y", missing="group")
    assert str(result["f"].dtype) == "Int64" and result["f"].isna().tolist() == [False, False, True]
    # NaN in a float column is a missing value, as pandas itself counts it.
    floats = pd.DataFrame({"f": [0.5, math.nan, 0.5, 1.5], "y": [1, 0, 0, 1]})
    with pytest.raises(ValueError, match="facet column 'f' has 1 row with a missing value"):
        lumetra.data_bias(floats, "f", "y")


@pytest.mark.no_sanitizer(reason="a type check: mypy reads the sources and the stub, not the module's memory, "
                          "and its compiled code takes a minute under the sanitizer runtime")
def test_package_types_check_strictly():
    pytest.importorskip("mypy")
    root = pathlib.Path(__file__).resolve().parent.parent
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "src/lumetra"], cwd=root,
                         capture_output=True, text=True)
    assert out.returncode == 0, out.stdout + out.stderr


def test_old_argument_names_are_taken_with_a_warning():
    data = make("pandas", {"g": ("str", ["a", "b"] * 20), "y": ("int", [0, 1, 1, 0] * 10),
                           "s": ("float", [0.2, 0.7, 0.9, 0.4] * 10)})
    new = lumetra.performance(data, "y", "s", task="logistic", facet="g", prediction_threshold=0.6)
    with pytest.warns(FutureWarning, match="by= is now called facet="):
        by = lumetra.performance(data, "y", "s", task="logistic", by="g", prediction_threshold=0.6)
    with pytest.warns(FutureWarning, match="threshold= is now called prediction_threshold="):
        old = lumetra.performance(data, "y", "s", task="logistic", facet="g", threshold=0.6)
    assert repr(rows(new)) == repr(rows(by)) == repr(rows(old))
    with pytest.raises(TypeError, match="got both facet= and its old name by="):
        lumetra.performance(data, "y", "s", task="logistic", facet="g", by="g")
