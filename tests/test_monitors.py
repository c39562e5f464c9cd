import inspect
import itertools
import math
import random

import numpy as np
import pytest

import _lumetra as L
from hostile import Boom, CallsBack, FloatRaises, IndexRaises, IterRaises, MutatesList
from surface import CLASSES, MONITORS
from vocabulary import CLASSIFICATION as CLASS_KEYS


# Model-bias reference population: facets a and d each hold the (truth,
# prediction) pairs (1,1), (0,1), (0,0), (1,0).
MB_FEATURE = [1, 1, 1, 1, 0, 0, 0, 0]
MB_PRED = [1, 1, 0, 0, 1, 1, 0, 0]
MB_TRUTH = [1, 0, 0, 1, 1, 0, 0, 1]


def data_bias():
    return L.PyDataBiasStreaming([1, 0, 1, 0], [1, 0, 0, 0])


def model_bias():
    return L.PyModelBiasStreaming(MB_FEATURE, MB_PRED, MB_TRUTH)


def regression():
    return L.PyLinearRegressionStreaming([1.0, 2.0, 3.0], [1.0, 2.0, 4.0])


def logistic():
    return L.PyLogisticRegressionStreaming([1.0, 0.0, 1.0, 0.0], [0.8, 0.3, 0.4, 0.6], 0.5)


def binary():
    return L.PyBinaryClassificationStreaming([1, 0, 1, 0], [1, 1, 0, 0])


# Per family: a factory, a valid push and a valid batch.
FAMILIES = {
    "data_bias": (data_bias, (1, 0), ([1, 0, 1, 0], [1, 0, 0, 0])),
    "model_bias": (model_bias, (1, 1, 1), (MB_FEATURE, MB_PRED, MB_TRUTH)),
    "regression": (regression, (1.0, 1.5), ([1.0, 2.0, 3.0], [1.0, 2.0, 4.0])),
    "logistic": (logistic, (1.0, 0.8), ([1.0, 0.0], [0.8, 0.3])),
    "binary": (binary, (1, 0), ([1, 0, 1, 0], [1, 1, 0, 0])),
}


def state(m):
    """Everything observable about a monitor (errors included)."""
    out = []
    for name in ("performance_snapshot", "drift_snapshot"):
        try:
            out.append(getattr(m, name)())
        except Exception as e:  # the empty state is observable through its error
            out.append((type(e), str(e)))
    return repr(out)


# ---- text signatures -----------------------------------------------------------

SIGNATURES = [(getattr(L, name), *CLASSES[name]) for name in MONITORS]


@pytest.mark.parametrize("cls, ctor, methods", SIGNATURES, ids=lambda x: getattr(x, "__name__", None))
def test_text_signatures(cls, ctor, methods):
    assert cls.__text_signature__ == ctor
    assert str(inspect.signature(cls)) == ctor
    for name, sig in methods.items():
        assert getattr(cls, name).__text_signature__ == sig
    public = {n for n in dir(cls) if not n.startswith("_")}
    assert public == set(methods)


def test_classes_are_registered_in_order():
    names = [n for n in vars(L) if n.startswith("Py")]
    assert names[-5:] == [
        "PyDataBiasStreaming",
        "PyModelBiasStreaming",
        "PyBinaryClassificationStreaming",
        "PyLinearRegressionStreaming",
        "PyLogisticRegressionStreaming",
    ]


# ---- constructors --------------------------------------------------------------

CONSTRUCTOR_ERRORS = [
    (L.PyDataBiasStreaming, ([1, 1], [1, 0]), TypeError, "Bias Error: NoFacetDeviation"),
    (L.PyDataBiasStreaming, ([1, 0], [1]), TypeError, "Bias Error: DataLengthError"),
    (L.PyDataBiasStreaming, ([], []), TypeError, "Bias Error: DataLengthError"),
    # Unequal lengths are found before the empty facet.
    (L.PyDataBiasStreaming, ([1, 1], [1]), TypeError, "Bias Error: DataLengthError"),
    (L.PyModelBiasStreaming, ([], [], []), TypeError, "Bias Error: DataLengthError"),
    (L.PyModelBiasStreaming, ([1, 0], [1, 0], [1]), TypeError, "Bias Error: DataLengthError"),
    (L.PyModelBiasStreaming, ([1, 1], [1, 0], [1, 0]), ValueError, "Empty data vectors"),
    (L.PyModelBiasStreaming, ([1, 1, 0, 0], [1, 0, 1, 0], [1, 0, 0, 1]), TypeError,
     "Metric cannot be computed with given data"),
    (L.PyLinearRegressionStreaming, ([], [1.0]), ValueError, "Data vectors must be equal length"),
    (L.PyLinearRegressionStreaming, ([], []), ValueError, "Empty data vectors"),
    (L.PyBinaryClassificationStreaming, ([1], []), ValueError, "Data vectors must be equal length"),
    (L.PyBinaryClassificationStreaming, ([], []), ValueError, "Empty data vectors"),
    (L.PyLogisticRegressionStreaming, ([1.0], [], 0.5), ValueError, "Data vectors must be equal length"),
    (L.PyLogisticRegressionStreaming, ([], [], 0.5), TypeError, "Metric cannot be computed with given data"),
]


@pytest.mark.parametrize("cls, args, exc, message", CONSTRUCTOR_ERRORS)
def test_constructor_errors(cls, args, exc, message):
    with pytest.raises(exc) as info:
        cls(*args)
    assert str(info.value) == message
    assert type(info.value) is exc


def test_constructors_take_keywords():
    m = L.PyLogisticRegressionStreaming(y_pred=[0.8, 0.3], threshold=0.5, y_true=[1.0, 0.0])
    m.push(1.0, 0.8)
    assert m.performance_snapshot()["Accuracy"] == 1.0
    with pytest.raises(TypeError, match=r"^PyDataBiasStreaming\(\) missing 1 required positional argument: 'gt_data'"):
        L.PyDataBiasStreaming(feature_data=[1, 0])


# ---- the state machine -----------------------------------------------------------

@pytest.mark.parametrize("family", FAMILIES)
def test_empty_after_construction_and_flush(family):
    make, one, batch = FAMILIES[family]
    m = make()
    calls = [m.performance_snapshot, m.drift_snapshot, lambda: m.drift_report(0.1),
             lambda: m.drift_report_partial_metrics([], 0.1)]
    for call in calls:
        with pytest.raises(ValueError, match="^Empty data vectors$"):
            call()
    m.push_batch(*batch)
    m.drift_report(0.1)
    m.flush()
    for call in calls:
        with pytest.raises(ValueError, match="^Empty data vectors$"):
            call()


# Which monitors' reset_baseline empties the stream.
RESET_EMPTIES = {"data_bias": True, "model_bias": False, "regression": False, "logistic": False, "binary": True}


@pytest.mark.parametrize("family", FAMILIES)
def test_reset_baseline_keeps_or_empties_the_stream(family):
    make, one, batch = FAMILIES[family]
    m = make()
    m.push_batch(*batch)
    m.push(*one)
    before = m.performance_snapshot()
    m.reset_baseline(*batch)
    if RESET_EMPTIES[family]:
        with pytest.raises(ValueError, match="^Empty data vectors$"):
            m.performance_snapshot()
    else:
        assert repr(m.performance_snapshot()) == repr(before)


def test_logistic_reset_with_threshold_keeps_the_stream_and_uses_the_threshold():
    m = logistic()
    m.push(1.0, 0.8)
    m.reset_baseline_and_decision_threshold([1.0, 0.0], [0.8, 0.3], 0.9)
    assert m.performance_snapshot()["RecallPositive"] == 1.0  # counted under 0.5
    m.push(1.0, 0.8)  # below 0.9 now
    assert m.performance_snapshot()["RecallPositive"] == 0.5
    # The new threshold also made the baseline: 0.8 is a negative score there.
    assert m.drift_snapshot()["RecallPositive"] == pytest.approx(0.0 - 0.5)


def test_snapshots_and_reports_do_not_change_the_monitor():
    m = model_bias()
    m.push_batch(MB_FEATURE, MB_PRED, MB_TRUTH)
    first = state(m)
    m.drift_report(0.0)
    m.drift_report_partial_metrics(["DisparateImpact"], 0.0)
    assert state(m) == first


# ---- drift per family: sign, scale and the inclusive threshold ---------------------

def test_data_bias_drift_is_relative_and_inclusive():
    m = data_bias()
    m.push_batch([1, 0], [1, 0])  # DPL moves from 0.5 to 1.0
    drift = m.drift_snapshot()
    assert drift["DifferenceInProportionOfLabels"] == 1.0  # |1 - 0.5| / 0.5
    report = m.drift_report_partial_metrics(["DifferenceInProportionOfLabels"], 1.0)
    assert report == {"passed": False,
                      "failed_report": [{"metric": "DifferenceInProportionOfLabels", "drift": 1.0}]}
    assert m.drift_report_partial_metrics(["DifferenceInProportionOfLabels"], 1.0000001) == {"passed": True}


def test_data_bias_baseline_pushed_again_passes():
    m = data_bias()
    m.push_batch([1, 0, 1, 0], [1, 0, 0, 0])
    assert m.drift_report(0.1) == {"passed": True}
    # Zero drifts fail a zero threshold; NaN drifts (of infinite metrics) do not.
    failed = {e["metric"] for e in m.drift_report(0.0)["failed_report"]}
    assert failed == {"ClassImbalance", "DifferenceInProportionOfLabels", "LpNorm",
                      "TotalVariationDistance", "KolmogorovSmirnov"}


def test_data_bias_facet_error_on_running_counts():
    m = data_bias()
    m.push(1, 1)
    with pytest.raises(TypeError, match="^Bias Error: DataLengthError$"):
        m.drift_snapshot()
    m.push(2, 2)  # feature 2 is facet d, outcome 2 negative
    assert m.performance_snapshot()["DifferenceInProportionOfLabels"] == 1.0


def test_model_bias_drift_is_relative_and_absolute():
    m = model_bias()
    # Facet a all predicted positive with one false positive; facet d as the baseline.
    m.push_batch([1, 1, 1, 0, 0, 0, 0, 1], [1, 1, 0, 1, 1, 0, 0, 0], [1, 0, 0, 1, 0, 0, 1, 1])
    current = m.performance_snapshot()
    drift = m.drift_snapshot()
    baseline_di = 1.0
    assert drift["DisparateImpact"] == pytest.approx(abs((current["DisparateImpact"] - baseline_di) / baseline_di))
    assert all(v >= 0 or math.isnan(v) for v in drift.values())
    only = m.drift_report_partial_metrics(["DisparateImpact"], 0.0)
    assert [e["metric"] for e in only.get("failed_report", [])] in ([], ["DisparateImpact"])


def test_model_bias_guard_on_running_data_and_unlisted_metrics():
    m = model_bias()
    m.push_batch([1, 1, 0, 0], [1, 0, 1, 0], [1, 0, 0, 1])  # facet a has no false positive
    with pytest.raises(TypeError, match="^Metric cannot be computed with given data$"):
        m.drift_report(0.1)
    m.flush()
    m.push(1, 1, 1)
    with pytest.raises(ValueError, match="^Empty data vectors$"):  # facet d empty
        m.drift_report(0.1)


def test_regression_drift_is_absolute():
    m = regression()
    m.push(1.0, 1.0)
    snap = m.performance_snapshot()
    assert snap["MeanSquaredError"] == 0.0 and snap["RSquared"] == 1.0 and snap["MaxError"] == 0.0
    drift = m.drift_snapshot()
    assert drift["MeanSquaredError"] == float(np.float32(1 / 3))
    assert drift["RSquared"] == 0.5  # 1.0 against 0.5: absolute
    assert m.drift_report_partial_metrics(["RSquared"], 0.5) == {
        "passed": False, "failed_report": [{"metric": "RSquared", "drift": 0.5}]}
    assert m.drift_report_partial_metrics(["RSquared"], 0.50000006) == {"passed": True}


def test_regression_infinite_drift_fails_and_nan_does_not():
    m = regression()
    m.push(0.0, 1.0)
    report = m.drift_report(1e38)
    assert report["failed_report"] == [{"metric": "MeanAbsolutePercentageError", "drift": math.inf}]
    m.flush()
    m.push(0.0, 0.0)  # MAPE 0/0 = NaN
    assert math.isnan(m.drift_snapshot()["MeanAbsolutePercentageError"])
    assert "MeanAbsolutePercentageError" not in {e["metric"] for e in m.drift_report(-1.0)["failed_report"]}


@pytest.mark.parametrize("make", [logistic, binary])
def test_classification_drift_is_signed(make):
    m = make()
    baseline_accuracy = 0.5
    if make is logistic:
        m.push(1.0, 0.9)
        m.push(0.0, 0.1)
    else:
        m.push(1, 1)
        m.push(0, 0)
    assert m.drift_snapshot()["Accuracy"] == baseline_accuracy - 1.0
    # An improvement never fails a non-negative threshold ...
    assert "Accuracy" not in {e["metric"] for e in m.drift_report(0.0).get("failed_report", [])}
    # ... and fails a negative one it reaches.
    assert {"metric": "Accuracy", "drift": -0.5} in m.drift_report(-0.5)["failed_report"]


def test_logistic_log_loss_snapshot_and_zero_times_log_zero():
    m = logistic()
    m.push(1.0, 0.8)
    m.push(0.0, 0.3)
    snap = m.performance_snapshot()
    expected = -(float(np.log(np.float32(0.8))) + float(np.log(np.float32(1) - np.float32(0.3)))) / 2
    assert snap["LogLoss"] == float(np.float32(expected))
    assert all(snap[k] == 1.0 for k in CLASS_KEYS)
    m.push(1.0, 1.0)  # (1 - 1) * ln(0) counts as 0
    assert math.isfinite(m.performance_snapshot()["LogLoss"])
    m.push(0.0, 1.0)  # a confident wrong answer
    assert m.performance_snapshot()["LogLoss"] == math.inf


def test_logistic_log_loss_of_the_stream_is_the_batch_one_bit_for_bit():
    # One definition: single-precision terms added in double in index order,
    # -sum / n in double rounded once. Both sides see the same pairs (the
    # classes differ: the monitor's truth is positive only at exactly 1).
    rng = np.random.default_rng(12)
    n = 250_000
    t = rng.choice(np.array([0.0, 1.0, 0.3, 1.0, 0.0]), n)
    p = rng.random(n)
    p[::997] = 0.0
    p[::1009] = 1.0 - 2.0**-30  # 1.0 in single precision: with t = 1, 0 * ln(0) counts as 0
    t[::1009] = 1.0
    batch = L.py_model_perf_logistic_regression(t, p, 0.5)["LogLoss"]
    m = logistic()
    m.push_batch(t[:100_000], p[:100_000])
    for i in range(100_000, 100_050):
        m.push(float(t[i]), float(p[i]))
    m.push_batch(t[100_050:], p[100_050:])
    assert m.performance_snapshot()["LogLoss"] == batch
    # Over a million pairs of one term, where a float sum is 1% off.
    one = np.full(1_000_000, 0.9)
    m.flush()
    m.push_batch(np.ones(len(one)), one)
    batch = L.py_model_perf_logistic_regression(np.ones(len(one)), one, 0.5)["LogLoss"]
    assert m.performance_snapshot()["LogLoss"] == batch


def test_logistic_truth_must_be_exactly_one():
    m = logistic()
    m.push(0.9, 0.8)
    snap = m.performance_snapshot()
    assert snap["PrecisionPositive"] == 0.0  # a false positive
    assert math.isnan(snap["RecallPositive"])


def test_logistic_lower_log_loss_fails_higher_never():
    m = logistic()
    m.push(1.0, 0.99)
    m.push(0.0, 0.01)
    m.push(1.0, 0.95)
    m.push(0.0, 0.05)
    drift = m.drift_snapshot()["LogLoss"]
    assert drift > 0
    assert {"metric": "LogLoss", "drift": drift} in m.drift_report_partial_metrics(["LogLoss"], drift)["failed_report"]
    m.flush()
    m.push(1.0, 0.01)
    assert m.drift_snapshot()["LogLoss"] < 0
    assert m.drift_report_partial_metrics(["LogLoss"], 0.0) == {"passed": True}


def test_binary_reset_with_empty_lists_gives_nan_baseline():
    m = binary()
    m.push_batch([], [])
    m.reset_baseline([], [])
    with pytest.raises(ValueError, match="^Empty data vectors$"):
        m.drift_snapshot()
    m.push(1, 1)
    assert all(math.isnan(v) for v in m.drift_snapshot().values())
    assert m.drift_report(-1.0) == {"passed": True}


def test_binary_baseline_pushed_again_fails_only_a_zero_threshold():
    m = binary()
    m.push_batch([1, 0, 1, 0], [1, 1, 0, 0])
    assert set(m.drift_snapshot()) == set(CLASS_KEYS)
    assert [e["metric"] for e in m.drift_report(0.0)["failed_report"]] == CLASS_KEYS
    assert m.drift_report(1e-45) == {"passed": True}
    m.push(2, 1)  # 2 is not the positive label: a false positive
    assert m.performance_snapshot()["PrecisionPositive"] == float(np.float32(1) / np.float32(3))  # TP 1, FP 2


# ---- metric lists --------------------------------------------------------------------

PARTIAL_REFUSALS = [
    (data_bias, ["LpNorm", "Bogus"], 'Metrics: ["Bogus"] are not supported'),
    (model_bias, ["disparateimpact"], 'Metrics: ["disparateimpact"] are not supported'),
    (regression, ["Accuracy", "RSquared", "X"], 'Metrics: ["Accuracy", "X"] are not supported'),
    (logistic, ["RSquared"], 'Metrics: ["RSquared"] are not supported'),
    (binary, ["Made", "LogLoss", "Up"], 'Metrics: ["LogLoss"] are not supported'),
]


@pytest.mark.parametrize("make, metrics, message", PARTIAL_REFUSALS)
def test_partial_reports_refuse_names_before_reading_the_stream(make, metrics, message):
    m = make()  # empty stream: the names are checked first
    with pytest.raises(ValueError) as info:
        m.drift_report_partial_metrics(metrics, 0.1)
    assert str(info.value) == message


def test_logistic_accepts_log_loss_in_partial_lists():
    m = logistic()
    m.push(1.0, 0.8)
    m.drift_report_partial_metrics(["LogLoss", "Accuracy", "LogLoss"], 0.1)


@pytest.mark.parametrize("family", FAMILIES)
def test_a_nan_drift_threshold_is_refused_at_conversion(family):
    # No drift is at least NaN: a report under it could never fail.
    make, one, batch = FAMILIES[family]
    m = make()
    m.push_batch(*batch)
    before = state(m)
    for nan in (math.nan, -math.nan, np.float32("nan"), np.float64("nan")):
        for call in (lambda: m.drift_report(nan), lambda: m.drift_report(drift_threshold=nan),
                     lambda: m.drift_report_partial_metrics([], nan),
                     lambda: m.drift_report_partial_metrics(metrics=[], drift_threshold=nan)):
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == "drift_threshold must not be NaN"
    assert state(m) == before
    # At conversion: ahead of the name parsing and the empty-stream refusal,
    # after binding and the metrics' own conversion.
    with pytest.raises(ValueError, match="^drift_threshold must not be NaN$"):
        make().drift_report(math.nan)
    with pytest.raises(ValueError, match="^drift_threshold must not be NaN$"):
        make().drift_report_partial_metrics(["Bogus"], math.nan)
    with pytest.raises(TypeError, match="^argument 'metrics'"):
        m.drift_report_partial_metrics("Bogus", math.nan)
    with pytest.raises(TypeError, match="positional argument"):
        m.drift_report(math.nan, 0.1)
    # Infinite and negative thresholds stay accepted.
    assert m.drift_report(math.inf) == {"passed": True}
    assert m.drift_report_partial_metrics([], -math.inf) == {"passed": True}


@pytest.mark.parametrize("family", FAMILIES)
def test_partial_with_empty_list_passes(family):
    make, one, batch = FAMILIES[family]
    m = make()
    m.push_batch(*batch)
    assert m.drift_report_partial_metrics([], -math.inf) == {"passed": True}


# ---- argument conversion -----------------------------------------------------------

@pytest.mark.parametrize("value, ok", [(-128, True), (127, True), (-129, False), (128, False), (2**70, False),
                                       (True, True), (np.int64(127), True), (np.uint8(200), False)])
@pytest.mark.parametrize("make", [data_bias, model_bias])
def test_int8_bounds(make, value, ok):
    m = make()
    args = (value,) * (3 if make is model_bias else 2)
    if ok:
        m.push(*args)
        return
    with pytest.raises(OverflowError):
        m.push(*args)
    with pytest.raises(OverflowError):
        m.push_batch(*([0, value] for _ in args))
    with pytest.raises(OverflowError):
        m.push_batch(*(np.array([0, value], dtype=np.int64 if value < 2**63 else object) for _ in args))


class _Index:
    """An integer that is no int: converted through __index__, the general road."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("value", [0, 1, -1, 2, -2, 127, -128, 2**30 - 1, -(2**30 - 1), 2**30, -(2**30),
                                   2**31 - 1, -2**31, True, False])
def test_small_ints_read_in_place_count_as_converted_ones(value):
    # Exact ints of one digit are read in place; the state they leave must be
    # the one the general conversion leaves, sign and all.
    for make, args in ((binary, (value, 1)), (data_bias, (value, 0)), (model_bias, (value, 1, 0))):
        if make is not binary and not -128 <= value <= 127:
            continue
        direct, general = make(), make()
        direct.push(*args)
        general.push(*(_Index(a) for a in args))
        assert direct.to_bytes() == general.to_bytes()


@pytest.mark.parametrize("make, width", [(data_bias, 2), (model_bias, 3), (binary, 2)])
def test_pushed_one_by_one_counts_as_the_batch(make, width):
    # Every combination of labels that meet and miss the criteria (1 meets;
    # 0, 2 and -1 miss), in a shuffled order, each pushed alone: the counts
    # are chosen per pair by index, and must land where the batch puts them.
    rows = list(itertools.product([1, 0, 2, -1], repeat=width)) * 3
    random.Random(7).shuffle(rows)
    one_by_one, batch = make(), make()
    for row in rows:
        one_by_one.push(*row)
    batch.push_batch(*(list(col) for col in zip(*rows)))
    assert one_by_one.to_bytes() == batch.to_bytes()


@pytest.mark.parametrize("value, ok", [(-2**31, True), (2**31 - 1, True), (2**31, False), (-2**31 - 1, False)])
def test_int32_bounds(value, ok):
    m = binary()
    if ok:
        m.push(value, value)
        m.push_batch(np.array([value], dtype=np.int64), [value])
        return
    with pytest.raises(OverflowError):
        m.push(value, 1)
    with pytest.raises(OverflowError):
        m.push_batch(np.array([1, value], dtype=np.int64), [1, 1])


def _wide(n, at=None, value=2**31):
    a = np.tile(np.array([1, 0, 1], dtype=np.int64), n // 3 + 1)[:n]
    if at is not None:
        a[at] = value
    return a


N_LONG = 3 * 2**16 + 5  # past the counting kernel's blocks, with a tail
LATE_CHECK_CASES = [
    # (y_true, y_pred): the binary monitor checks int64 columns while counting;
    # an out-of-range value must still raise OverflowError first, whatever
    # else is wrong with the call, and leave the monitor as it was.
    (lambda: _wide(4, 1), lambda: _wide(4)),
    (lambda: _wide(4), lambda: _wide(4, 3, -2**31 - 1)),
    (lambda: _wide(N_LONG, N_LONG - 1), lambda: _wide(N_LONG)),
    (lambda: _wide(N_LONG), lambda: _wide(N_LONG, 2**16, 2**63 - 1)),
    (lambda: _wide(5, 0), lambda: _wide(4)),  # before the length mismatch
    (lambda: _wide(4, 2), lambda: [1, "x", 0, 1]),  # before a later argument's TypeError
    (lambda: _wide(4, 2), lambda: [1, 0, 1, 2**40]),
    (lambda: _wide(4, 2), lambda: _wide(8)[::2]),  # beside a strided (copied) column
    (lambda: _wide(8)[::2], lambda: _wide(4, 2)),
]


@pytest.mark.parametrize("case", range(len(LATE_CHECK_CASES)))
def test_int64_range_checked_while_counting_still_fails_first(case):
    make_true, make_pred = LATE_CHECK_CASES[case]
    m = binary()
    m.push_batch(_wide(7), _wide(7))
    before = m.to_bytes()
    with pytest.raises(OverflowError, match="32-bit"):
        m.push_batch(make_true(), make_pred())
    with pytest.raises(OverflowError, match="32-bit"):
        m.reset_baseline(make_true(), make_pred())
    assert m.to_bytes() == before
    with pytest.raises(OverflowError, match="32-bit"):
        type(m)(make_true(), make_pred())


def test_int64_counted_in_one_pass_matches_int32():
    t, p = _wide(N_LONG), np.roll(_wide(N_LONG), 1)
    t[5], p[-1] = 2**31 - 1, -2**31
    wide, narrow = binary(), binary()
    wide.push_batch(t, p)
    narrow.push_batch(t.astype(np.int32), p.astype(np.int32))
    assert wide.to_bytes() == narrow.to_bytes()


def test_overflow_in_arrays_matches_the_scalar_error():
    m = data_bias()
    with pytest.raises(OverflowError) as scalar:
        m.push(300, 0)
    for dtype in (np.int16, np.int32, np.int64, np.uint16, np.uint64):
        with pytest.raises(OverflowError) as arr:
            m.push_batch(np.array([0, 300], dtype=dtype), np.array([0, 0]))
        assert str(arr.value) == str(scalar.value)


CONVERSION_ERRORS = [
    # (call, exception, message prefix)
    (lambda: data_bias().push("1", 0), TypeError, "argument 'f': "),
    (lambda: data_bias().push(1.0, 0), TypeError, "argument 'f': "),
    (lambda: data_bias().push_batch("10", [1, 0]), TypeError, "argument 'f': 'str' object cannot be converted to 'Sequence'"),
    (lambda: data_bias().push_batch([1, 0], 7), TypeError, "argument 'g': 'int' object cannot be converted to 'Sequence'"),
    (lambda: data_bias().push_batch([1, 0], [1, "x"]), TypeError, "argument 'g': "),
    (lambda: data_bias().push_batch([1, 0], np.array([1.0, 0.0])), TypeError, "argument 'g': "),
    (lambda: L.PyDataBiasStreaming({1: 1}, [1]), TypeError, "argument 'feature_data': "),
    (lambda: model_bias().push(1, 1, None), TypeError, "argument 'gt': "),
    (lambda: binary().push(1.0, 1), TypeError, "argument 'y_true': "),
    (lambda: binary().push_batch([1], [np.float64(1.0)]), TypeError, "argument 'y_pred': "),
    (lambda: regression().push("1", 1.0), TypeError, "argument 't': "),
    (lambda: regression().push_batch([1.0], "1"), TypeError, "argument 'y_pred': 'str' object cannot be converted to 'Sequence'"),
    (lambda: regression().push_batch([1.0, None], [1.0, 2.0]), TypeError, "argument 'y_true': "),
    (lambda: logistic().push_batch([1.0], [1.0 + 2j]), TypeError, "argument 'y_pred': "),
    (lambda: logistic().reset_baseline_and_decision_threshold([1.0], [0.5], None), TypeError, "argument 'threshold': "),
    (lambda: logistic().drift_report(None), TypeError, "argument 'drift_threshold': "),
    (lambda: logistic().drift_report_partial_metrics("LogLoss", 0.1), TypeError, "argument 'metrics': "),
    (lambda: regression().drift_report_partial_metrics(["RSquared", 3], 0.1), TypeError, "argument 'metrics': "),
    (lambda: data_bias().push(1), TypeError, "PyDataBiasStreaming.push() missing 1 required positional argument: 'g'"),
    (lambda: data_bias().flush(1), TypeError, ""),
    (lambda: regression().push(1.0, 2.0, p=3.0), TypeError, "PyLinearRegressionStreaming.push() got multiple values for argument 'p'"),
    (lambda: binary().push_batch(y_true=[1], y_pred=[1], extra=1), TypeError, "PyBinaryClassificationStreaming.push_batch() got an unexpected keyword argument 'extra'"),
]


@pytest.mark.parametrize("call, exc, prefix", CONVERSION_ERRORS)
def test_conversion_errors(call, exc, prefix):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    assert str(info.value).startswith(prefix)


# Inputs that must give the same stream as the plain lists.
LABEL_FORMS = [
    ("list", lambda v: list(v)),
    ("tuple", lambda v: tuple(v)),
    ("range-like", lambda v: np.array(v).tolist()),
    ("int8", lambda v: np.array(v, dtype=np.int8)),
    ("int16", lambda v: np.array(v, dtype=np.int16)),
    ("int32", lambda v: np.array(v, dtype=np.int32)),
    ("int64", lambda v: np.array(v, dtype=np.int64)),
    ("uint8", lambda v: np.array(v, dtype=np.uint8) if min(v) >= 0 else np.array(v, dtype=np.int8)),
    ("uint64", lambda v: np.array(v, dtype=np.uint64) if min(v) >= 0 else np.array(v, dtype=np.int64)),
    ("int64 strided", lambda v: np.repeat(np.array(v, dtype=np.int64), 2)[::2]),
    ("int8 reversed", lambda v: np.array(v[::-1], dtype=np.int8)[::-1]),
    ("int32 reversed", lambda v: np.array(v[::-1], dtype=np.int32)[::-1]),
    ("big-endian", lambda v: np.array(v, dtype=">i8")),
    ("object", lambda v: np.array(v, dtype=object)),
    ("numpy scalars", lambda v: [np.int16(x) for x in v]),
]

FEATURE = [1, 0, 2, 1, 0, -1, 1, 1, 0, 0, 1]
PRED = [1, 1, 0, 1, 0, 1, 0, 1, 1, 0, 3]
TRUTH = [1, 0, 1, 1, 0, 0, 0, 1, 1, 1, 1]


@pytest.mark.parametrize("name, form", LABEL_FORMS, ids=[n for n, _ in LABEL_FORMS])
def test_label_forms_agree(name, form):
    expected = model_bias()
    expected.push_batch(FEATURE, PRED, TRUTH)
    m = model_bias()
    m.push_batch(form(FEATURE), form(PRED), form(TRUTH))
    assert state(m) == state(expected)
    d_expected = data_bias()
    d_expected.push_batch(FEATURE, TRUTH)
    d = data_bias()
    d.push_batch(form(FEATURE), form(TRUTH))
    assert state(d) == state(d_expected)
    b_expected = binary()
    b_expected.push_batch(PRED, TRUTH)
    b = binary()
    b.push_batch(form(PRED), form(TRUTH))
    assert state(b) == state(b_expected)


Y_TRUE = [0.5, 1.0, 2.25, 0.0, 1.0, 3.0]
Y_PRED = [0.25, 1.0, 2.0, 0.5, 0.7, 3.5]
VALUE_FORMS = [
    ("list", list),
    ("tuple", tuple),
    ("float64", lambda v: np.array(v)),
    ("float32", lambda v: np.array(v, dtype=np.float32)),
    ("float64 strided", lambda v: np.repeat(np.array(v), 3)[::3]),
    ("float32 reversed", lambda v: np.array(v[::-1], dtype=np.float32)[::-1]),
    ("big-endian", lambda v: np.array(v, dtype=">f8")),
    ("numpy scalars", lambda v: [np.float64(x) for x in v]),
]


@pytest.mark.parametrize("name, form", VALUE_FORMS, ids=[n for n, _ in VALUE_FORMS])
def test_value_forms_agree(name, form):
    for make in (regression, logistic):
        expected = make()
        expected.push_batch(Y_TRUE, Y_PRED)
        m = make()
        m.push_batch(form(Y_TRUE), form(Y_PRED))
        assert state(m) == state(expected)


def test_integer_arrays_as_values_round_like_python_floats():
    big = [2**53 + 1, 3, 2**60 + 12345]
    expected = regression()
    expected.push_batch([float(x) for x in big], [1.0, 1.0, 1.0])
    m = regression()
    m.push_batch(np.array(big, dtype=np.int64), np.ones(3, dtype=np.uint8))
    assert state(m) == state(expected)


def test_values_are_narrowed_to_single_precision():
    m = regression()
    m.push(1.0 + 2**-30, 1.0)  # equal in single precision
    assert m.performance_snapshot()["MaxError"] == 0.0


# ---- failed calls leave the monitor as it was ------------------------------------------

FAILING_CALLS = {
    "data_bias": [
        lambda m: m.push_batch([1, 0], [1]),
        lambda m: m.push_batch([1, 0], [1, 300]),
        lambda m: m.reset_baseline([1, 1], [1, 0]),
        lambda m: m.reset_baseline([], []),
        lambda m: m.push(1, IndexRaises()),
    ],
    "model_bias": [
        lambda m: m.push_batch([1, 0], [1, 0], [1]),
        lambda m: m.reset_baseline([1, 1], [1, 0], [1, 0]),
        lambda m: m.reset_baseline([1, 1, 0, 0], [1, 0, 1, 0], [1, 0, 0, 1]),
        lambda m: m.push_batch([1], [1], [IndexRaises()]),
    ],
    "regression": [
        lambda m: m.push_batch([1.0], []),
        lambda m: m.push_batch([], []),
        lambda m: m.reset_baseline([1.0, 2.0], [1.0]),
        lambda m: m.push(1.0, FloatRaises()),
    ],
    "logistic": [
        lambda m: m.push_batch([1.0], []),
        lambda m: m.push_batch([], []),
        lambda m: m.reset_baseline([], []),
        lambda m: m.push_batch([1.0, 0.0], IterRaises()),
    ],
    "binary": [
        lambda m: m.push_batch([1], []),
        lambda m: m.reset_baseline([1, 0], [1]),
        lambda m: m.push_batch([1, 2**40], [1, 1]),
    ],
}


@pytest.mark.parametrize("family, index", [(f, i) for f, calls in FAILING_CALLS.items() for i in range(len(calls))])
def test_failed_calls_leave_state_unchanged(family, index):
    make, one, batch = FAMILIES[family]
    m = make()
    m.push_batch(*batch)
    m.push(*one)
    before = state(m)
    baseline_probe = make()
    with pytest.raises(Exception):
        FAILING_CALLS[family][index](m)
    assert state(m) == before
    del baseline_probe


def test_failed_reset_keeps_the_old_baseline():
    m = data_bias()
    m.push_batch([1, 0], [1, 0])
    drift = m.drift_snapshot()
    with pytest.raises(TypeError, match="^Bias Error: NoFacetDeviation$"):
        m.reset_baseline([0, 0], [1, 0])
    assert repr(m.drift_snapshot()) == repr(drift)


def test_failed_threshold_reset_keeps_the_new_decision_threshold():
    m = logistic()
    with pytest.raises(ValueError, match="^Data vectors must be equal length$"):
        m.reset_baseline_and_decision_threshold([1.0, 0.0], [0.5], 0.9)
    m.push(1.0, 0.8)  # 0.8 < 0.9: a false negative
    assert m.performance_snapshot()["RecallPositive"] == 0.0
    # The baseline is still the one made under 0.5.
    assert m.drift_snapshot()["Accuracy"] == 0.5 - 0.0


# ---- hostile objects and re-entrancy ----------------------------------------------------

def test_conversion_errors_of_user_objects_pass_through():
    m = regression()
    with pytest.raises(Boom):
        m.push(FloatRaises(), 1.0)
    with pytest.raises(Boom):
        m.push_batch([1.0, FloatRaises()], [1.0, 1.0])
    with pytest.raises(Boom):
        data_bias().push_batch(IterRaises(), [1, 0])


@pytest.mark.parametrize("family", FAMILIES)
def test_reentrant_calls_during_conversion(family):
    make, one, batch = FAMILIES[family]
    m = make()
    # Every argument calls back into the monitor while it converts: a push,
    # a batch, a flush and a report. All of them run before this call takes
    # the monitor, so none is refused and nothing is torn.
    hostile = [CallsBack(v, lambda: m.push(*one)) for v in one]
    m.push(*hostile)
    assert all(h.error is None for h in hostile)
    seqs = [[CallsBack(v, lambda: m.push_batch(*batch)) for v in col] for col in batch]
    m.push_batch(*seqs)
    flushing = [[CallsBack(v, m.flush) for v in col] for col in batch]
    m.push_batch(*flushing)
    # Ends with exactly the last batch in the stream.
    expected = make()
    expected.push_batch(*batch)
    assert state(m) == state(expected)
    reporting = CallsBack(0.1, lambda: m.drift_report(0.1))
    m.drift_report(reporting)
    assert reporting.error is None


def test_list_emptied_during_conversion():
    m = regression()
    values = [1.0, 2.0, 3.0]
    values[0] = MutatesList(1.0, values)
    with pytest.raises(ValueError, match="^Data vectors must be equal length$"):
        m.push_batch(values, [1.0, 2.0, 3.0])  # the walk ends where the list now ends
    labels = [1, 0, 1]
    labels[1] = MutatesList(0, labels)
    d = data_bias()
    d.push_batch(labels, [1, 0])
    assert d.performance_snapshot()["ClassImbalance"] == 0.0


def test_array_rewritten_during_conversion_is_checked_again():
    m = data_bias()
    f = np.array([1, 0], dtype=np.int64)

    def poison():
        f[0] = 1000

    with pytest.raises(OverflowError):
        m.push_batch(f, [CallsBack(1, poison), 0])
    with pytest.raises(ValueError, match="^Empty data vectors$"):
        m.performance_snapshot()


def test_array_resized_during_conversion_is_described_again():
    m = regression()
    t = np.array([5.0, 5.0, 5.0])

    def grow():
        t.resize(1000, refcheck=False)  # new memory, zeros after the first three

    # Read as it stands once every argument is converted: 1000 pairs.
    m.push_batch(t, [CallsBack(1.0, grow), 2.0, 3.0] + [0.0] * 997)
    assert m.performance_snapshot()["MaxError"] == 4.0


class HookedIter(np.ndarray):
    """An array whose Python iteration first runs `hook`."""

    hook = None

    def __iter__(self):
        type(self).hook()
        return iter(self.view(np.ndarray).tolist())


def test_arrays_are_read_again_until_no_reading_runs_user_code():
    # Both arrays are first read in place. The threshold's conversion
    # byte-swaps y_pred, which must then be read again by iteration; that
    # iteration grows y_true into new memory, so y_true, read again just
    # before, must be read once more: 8 values against 4.
    m = logistic()
    t = np.array([1.0, 0.0, 1.0, 0.0])
    p = np.array([0.9, 0.1, 0.8, 0.2]).view(HookedIter)

    def swap_prediction_bytes():
        p[...] = p.byteswap()
        p.dtype = p.dtype.newbyteorder()

    HookedIter.hook = staticmethod(lambda: t.resize(8, refcheck=False))
    with pytest.raises(ValueError, match="^Data vectors must be equal length$"):
        m.reset_baseline_and_decision_threshold(t, p, CallsBack(0.5, swap_prediction_bytes))


def test_borrow_guard_is_released_after_errors():
    m = binary()
    for _ in range(3):
        with pytest.raises(ValueError):
            m.drift_report(0.1)
        with pytest.raises(OverflowError):
            m.push(2**40, 1)
    m.push(1, 1)
    assert m.performance_snapshot()["Accuracy"] == 1.0


# ---- long streams counted exactly ----------------------------------------------------------

def test_binary_cells_are_exact_beyond_single_precision():
    n = 2**24 + 2
    ones = np.broadcast_to(np.int32(1), (n,))
    m = binary()
    m.push_batch(ones, ones)
    m.push(0, 1)  # one false positive
    tp = np.float32(n)
    expected = tp / (tp + np.float32(1))
    assert m.performance_snapshot()["PrecisionPositive"] == float(expected)
    assert expected < 1  # counting in single precision would stall at 2^24 and give 1


def test_model_bias_cells_are_exact_beyond_single_precision():
    n = 2**24 + 2
    m = model_bias()
    # Facet a: n true positives and one false positive, so PPV of facet a < 1.
    ones = np.ones(n, dtype=np.int8)
    m.push_batch(ones, ones, ones)
    m.push_batch(MB_FEATURE, MB_PRED, MB_TRUTH)
    m.push(1, 1, 0)
    direct = L.py_model_bias_analyzer(
        np.concatenate([ones, MB_FEATURE, [1]]).astype(np.int8),
        np.concatenate([ones, MB_TRUTH, [0]]).astype(np.int8),
        np.concatenate([ones, MB_PRED, [1]]).astype(np.int8), 1, 1, 1)
    snap = m.performance_snapshot()
    for key in ("DifferenceInAcceptanceRate", "AccuracyDifference", "DisparateImpact"):
        assert snap[key] == direct[key]


# ---- the stability epsilon (read once per process, so tested in a child) ---------------

EPSILON_CASES = [
    # A wide clamp: the score 0.9 is limited to 0.75 before its logarithm.
    ("0.25", "m = L.PyLogisticRegressionStreaming([1.0, 0.0], [0.8, 0.3], 0.5); m.push(1.0, 0.9); "
             "print(m.performance_snapshot()['LogLoss'])",
     str(float(-np.log(np.float32(0.75))))),
    # Crossed bounds: no monitor can be made, so no push ever sees them.
    ("0.75", "L.PyLogisticRegressionStreaming([1.0, 0.0], [0.8, 0.3], 0.5)",
     "TypeError: Metric cannot be computed with given data"),
]


@pytest.mark.parametrize("eps, code, expected", EPSILON_CASES)
def test_stability_epsilon_bounds_the_scores(eps, code, expected):
    import os
    import subprocess
    import sys

    script = "import _lumetra as L\ntry:\n    " + code.replace("; ", "\n    ") + \
        "\nexcept Exception as e:\n    print(f'{type(e).__name__}: {e}')\n"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=dict(os.environ, LUMETRA_STABILITY_EPS=eps))
    assert done.stdout.strip() == expected, done.stderr


def test_sequence_subclasses_iterate_their_own_way():
    class Reversed(list):
        def __iter__(self):
            return iter(list(list.__iter__(self))[::-1])

    m = data_bias()
    m.push_batch(Reversed([1, 1, 0]), [0, 1, 1])  # pairs (0, 0), (1, 1), (1, 1)
    assert m.performance_snapshot()["DifferenceInProportionOfLabels"] == 1.0
