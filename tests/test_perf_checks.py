"""The six performance runtime checks: family rules, metric lists, argument handling."""

import math

import numpy as np
import pytest

import _lumetra as m
from hostile import Boom, CallsBack, FloatRaises, IterRaises
from surface import FUNCTIONS
from vocabulary import CLASSIFICATION as CLS, LOGISTIC as LOG, REGRESSION as REG


FULL = {
    "reg": (m.py_model_perf_lin_reg_rt_full, REG),
    "log": (m.py_model_perf_log_reg_rt_full, LOG),
    "bin": (m.py_model_perf_class_rt_full, CLS),
}
PARTIAL = {
    "reg": (m.py_model_perf_lin_reg_rt_partial, REG),
    "log": (m.py_model_perf_log_reg_rt_partial, LOG),
    "bin": (m.py_model_perf_class_rt_partial, CLS),
}


def f32(x):
    return float(np.float32(x))


def record(names, value=1.0, **changes):
    out = {n: value for n in names}
    out.update(changes)
    return out


# Family, metric, baseline value, latest value, failure drift (None: passes).
RULES = [
    ("reg", "MeanSquaredError", 1.0, 1.1, None),  # 1.1f == 1.1f * 1.0f: equality passes
    ("reg", "MeanSquaredError", 1.0, 1.2, f32(np.float32(1.2) - np.float32(1.0))),
    ("reg", "MeanAbsolutePercentageError", 0.5, 0.1, None),  # falling error passes
    ("reg", "RSquared", 0.9, 0.8, f32(np.float32(0.9) - np.float32(0.8))),
    ("reg", "RSquared", 0.9, 0.82, None),
    ("reg", "RSquared", -1.0, -1.0, 0.0),  # a negative R² fails against itself
    ("reg", "MaxError", 1.0, math.nan, None),  # NaN never fails
    ("log", "Accuracy", 1.0, 0.905, None),  # not below 0.9
    ("log", "Accuracy", 1.0, 0.9, None),
    ("log", "Accuracy", 1.0, 0.899, f32(np.float32(1.0) - np.float32(0.899))),
    ("log", "LogLoss", 0.2, 0.3, f32(np.float32(0.3) - np.float32(0.2))),
    ("log", "LogLoss", 0.2, 0.21, None),
    ("log", "LogLoss", 0.2, 0.01, None),  # a falling log loss passes
    ("bin", "Accuracy", 1.0, 0.905, f32(np.float32(1.0) - np.float32(0.905))),  # 1.1 * 0.905 < 1
    ("bin", "Accuracy", 1.0, 0.91, None),
    ("bin", "Accuracy", 1.0, f32(1 / 1.1) + 1e-7, None),
    ("bin", "RecallNegative", 0.5, 2.0, None),  # improvements pass
]


@pytest.mark.parametrize("family, metric, base, latest, drift", RULES)
def test_family_rules_full_and_partial(family, metric, base, latest, drift):
    full, names = FULL[family]
    partial, _ = PARTIAL[family]
    b = record(names, **{metric: base})
    l = record(names, **{metric: latest})
    want = {"passed": True} if drift is None else {
        "passed": False, "failed_report": [{"metric": metric, "drift": drift}]}
    assert full(b, l) == want
    assert partial(b, l, [metric]) == want
    others = [n for n in names if n != metric]
    assert partial(b, l, others) == {"passed": True}


def test_threshold_default_explicit_and_keyword():
    b = record(REG)
    l = record(REG, MeanSquaredError=1.2)
    f = m.py_model_perf_lin_reg_rt_full
    assert f(b, l) == f(b, l, 0.1) == f(b, l, threshold=0.10) == f(baseline=b, latest=l)
    assert f(b, l, 0.25) == {"passed": True}
    p = m.py_model_perf_lin_reg_rt_partial
    assert p(b, l, ["MeanSquaredError"]) == p(b, l, evaluation_metrics=["MeanSquaredError"], threshold=0.1)


def test_reports_list_every_failure_with_both_keys():
    b = record(LOG, 0.8)
    l = record(LOG, 0.5, LogLoss=0.5)
    r = m.py_model_perf_log_reg_rt_full(b, l)
    assert r["passed"] is False
    assert list(r) == ["passed", "failed_report"]
    entries = r["failed_report"]
    assert [e["metric"] for e in entries] == CLS  # LogLoss fell: it passes
    for e in entries:
        assert list(e) == ["metric", "drift"]
        assert e["drift"] == f32(np.float32(0.8) - np.float32(0.5))


def test_batch_results_feed_the_checks():
    t = np.array([1.0, 2.0, 3.0, 4.0])
    reg = m.py_model_perf_linear_regression(t, np.array([1.5, 2.0, 2.5, 4.5]))
    assert reg["RSquared"] > 0
    assert m.py_model_perf_lin_reg_rt_full(reg, reg) == {"passed": True}
    cls = m.py_model_perf_classification(np.array([1.0, 0, 1, 0]), np.array([1.0, 1, 1, 0]))
    log = m.py_model_perf_logistic_regression(np.array([1.0, 0, 1, 0]), np.array([0.9, 0.6, 0.7, 0.1]), 0.5)
    assert m.py_model_perf_class_rt_full(cls, cls) == {"passed": True}
    assert m.py_model_perf_log_reg_rt_full(log, log) == {"passed": True}
    # Eight keys satisfy the binary check; seven do not satisfy the logistic one.
    assert m.py_model_perf_class_rt_full(log, log) == {"passed": True}
    with pytest.raises(ValueError) as info:
        m.py_model_perf_log_reg_rt_full(cls, cls)
    assert info.value.args == ("Invalid analysis report",)
    # Negative R² compared with itself fails.
    bad = m.py_model_perf_linear_regression(t, t[::-1].copy())
    assert bad["RSquared"] < 0
    r = m.py_model_perf_lin_reg_rt_full(bad, bad)
    assert r == {"passed": False, "failed_report": [{"metric": "RSquared", "drift": 0.0}]}


@pytest.mark.parametrize("family", ["reg", "log", "bin"])
@pytest.mark.parametrize("side", ["baseline", "latest"])
def test_missing_name_is_invalid_analysis_report(family, side):
    full, names = FULL[family]
    partial, _ = PARTIAL[family]
    short = record(names)
    del short[names[-1]]
    args = {"baseline": record(names), "latest": record(names)}
    args[side] = short
    for call in (lambda: full(**args), lambda: partial(evaluation_metrics=[], **args)):
        with pytest.raises(ValueError) as info:
            call()
        assert info.value.args == ("Invalid analysis report",)


@pytest.mark.parametrize("family, names, refused", [
    ("bin", ["LogLoss"], ["LogLoss"]),
    ("bin", ["Made", "LogLoss", "Up"], ["LogLoss"]),
    ("bin", ["Made", "Accuracy", "up"], ["Made", "up"]),
    ("log", ["Accuracy", "logloss", "MaxError"], ["logloss", "MaxError"]),
    ("reg", ["RSquared", "Accuracy", " MaxError"], ["Accuracy", " MaxError"]),
])
def test_refused_metric_names(family, names, refused):
    partial, all_names = PARTIAL[family]
    # The names are parsed before the dicts are looked at: empty dicts do not matter.
    with pytest.raises(ValueError) as info:
        partial({}, {}, names)
    listed = ", ".join('"%s"' % n for n in refused)
    assert info.value.args == ("Metrics: [%s] are not supported" % listed,)


def test_log_loss_accepted_by_the_logistic_partial_check():
    b = record(LOG, LogLoss=0.2)
    l = record(LOG, LogLoss=0.3)
    r = m.py_model_perf_log_reg_rt_partial(b, l, ["LogLoss"])
    assert r["failed_report"][0]["metric"] == "LogLoss"


@pytest.mark.parametrize("family", ["reg", "log", "bin"])
def test_empty_metric_list_passes(family):
    partial, names = PARTIAL[family]
    assert partial(record(names, 1.0), record(names, 100.0), []) == {"passed": True}
    assert partial(record(names, 1.0), record(names, 100.0), ()) == {"passed": True}


# ----------------------------------------------------------------- arguments

SIGNATURES = [
    (getattr(m, name), FUNCTIONS[name])
    for name in FUNCTIONS
    if name.startswith("py_model_perf_") and name.endswith(("_rt_full", "_rt_partial"))
]


@pytest.mark.parametrize("fn, sig", SIGNATURES)
def test_text_signatures(fn, sig):
    assert fn.__text_signature__ == sig
    assert fn.__doc__ is None


@pytest.mark.parametrize("family", ["reg", "log", "bin"])
def test_argument_conversion_errors_name_the_parameter(family):
    full, names = FULL[family]
    partial, _ = PARTIAL[family]
    good = record(names)
    cases = [
        (lambda: full([], good), "baseline"),
        (lambda: full(good, {"Accuracy": "high"}), "latest"),
        (lambda: full(good, {1: 1.0}), "latest"),
        (lambda: full(good, good, None), "threshold"),
        (lambda: full(good, good, "0.1"), "threshold"),
        (lambda: partial(good, good, "Accuracy"), "evaluation_metrics"),
        (lambda: partial(good, good, [1]), "evaluation_metrics"),
        (lambda: partial(good, good, ["Accuracy"], None), "threshold"),
        # extraction runs in parameter order: the baseline is reported first
        (lambda: partial(None, None, None, None), "baseline"),
    ]
    for call, name in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value).startswith("argument '%s': " % name)


@pytest.mark.parametrize("family", ["reg", "log", "bin"])
def test_a_nan_threshold_is_refused_at_conversion(family):
    # A NaN bound passes every comparison: a check under it could never fail.
    full, names = FULL[family]
    partial, _ = PARTIAL[family]
    metric = "MeanSquaredError" if family == "reg" else "LogLoss" if family == "log" else "Accuracy"
    base = record(names)
    worse = record(names, **{metric: 10.0 if family != "bin" else 0.01})
    for nan in (math.nan, -math.nan, np.float32("nan"), np.float64("nan")):
        for call in (lambda: full(base, worse, nan), lambda: full(base, worse, threshold=nan),
                     lambda: partial(base, worse, [metric], nan),
                     lambda: partial(base, worse, [metric], threshold=nan)):
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == "threshold must not be NaN"
    # Conversion order: earlier arguments and binding first; parsing the names
    # and building the records come after.
    with pytest.raises(TypeError, match="^argument 'evaluation_metrics'"):
        partial(base, worse, "Accuracy", math.nan)
    with pytest.raises(TypeError, match="positional argument"):
        full(base, worse, math.nan, 0.1)
    with pytest.raises(ValueError, match="^threshold must not be NaN$"):
        partial({}, {}, ["Nope"], math.nan)
    with pytest.raises(ValueError, match="^threshold must not be NaN$"):
        full({}, {}, math.nan)
    # Infinite and negative thresholds stay accepted.
    assert full(base, worse, math.inf) == {"passed": True}
    assert full(base, base, -2.0)["passed"] is False


def test_binding_errors():
    f = m.py_model_perf_class_rt_partial
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'evaluation_metrics'"):
        f({}, {})
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'metrics'"):
        f({}, {}, metrics=[])
    with pytest.raises(TypeError, match=r"takes from 3 to 4 positional arguments but 5 were given"):
        f({}, {}, [], 0.1, 0.2)


def test_hostile_values_pass_their_errors_through():
    good = record(REG)
    with pytest.raises(Boom):
        m.py_model_perf_lin_reg_rt_full(good, good, FloatRaises())
    with pytest.raises(Boom):
        m.py_model_perf_lin_reg_rt_full(record(REG, MaxError=FloatRaises()), good)
    with pytest.raises(Boom):
        m.py_model_perf_lin_reg_rt_partial(good, good, IterRaises())


def test_reentrant_conversion_sees_consistent_state():
    # A threshold whose conversion runs a whole check itself.
    good = record(CLS)
    inner = CallsBack(0.1, lambda: m.py_model_perf_class_rt_full(good, record(CLS, Accuracy=0.5)))
    assert m.py_model_perf_class_rt_full(good, good, inner) == {"passed": True}
    assert inner.error is None
