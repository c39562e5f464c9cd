"""Bias runtime checks: comparison rules, order of detection, report shape."""

import math
import struct

import numpy as np
import pytest

import _lumetra as L
from hostile import Boom, CallsBack, FloatRaises, MutatesDict
from surface import FUNCTIONS
from vocabulary import DATA_BIAS as DATA, MODEL_BIAS as MODEL


def f32(x):
    return float(np.float32(x))


def data_dict(value=0.5, **changes):
    d = dict.fromkeys(DATA, value)
    d.update(changes)
    return d


def model_dict(value=0.5, **changes):
    d = dict.fromkeys(MODEL, value)
    d.update(changes)
    return d


def drop(d, *names):
    return {k: v for k, v in d.items() if k not in names}


FULL = {"data": (L.py_data_bias_runtime_check, data_dict), "model": (L.py_model_bias_runtime_check, model_dict)}
PARTIAL = {"data": (L.py_data_bias_partial_check, data_dict), "model": (L.py_model_bias_partial_check, model_dict)}


def analyzer_dicts():
    f = np.array([1, 1, 1, 1, 0, 0, 0, 0, 1, 0])
    g = np.array([1, 0, 0, 1, 1, 0, 0, 1, 1, 0])
    p = np.array([1, 1, 0, 0, 1, 1, 0, 0, 0, 1])
    return L.py_data_bias_analyzer(f, g, 1, 1), L.py_model_bias_analyzer(f, g, p, 1, 1, 1)


# (family, metric, baseline, latest, threshold, expected drift or None when it passes)
RULES = [
    ("model", "DisparateImpact", 0.8, 0.88, 0.1, None),
    ("model", "DisparateImpact", 0.8, 0.9, 0.1, f32(np.float32(0.9) - np.float32(0.8))),
    ("model", "DisparateImpact", 1.2, 0.5, 0.1, None),
    ("model", "GeneralizedEntropy", -1.0, 0.5, 0.1, 1.5),
    ("model", "AccuracyDifference", -0.1, 0.105, 0.1, None),
    ("model", "AccuracyDifference", -0.1, -0.2, 0.1, f32(np.float32(0.2) - np.float32(0.1))),
    ("model", "DifferenceInPositivePredictedLabels", -0.3, 0.3, 0.1, None),
    ("model", "TreatmentEquity", -0.25, 0.5, 0.1, 0.25),
    ("model", "DifferenceInRejectionRate", 0.5, -0.5, 0.0, None),
    ("data", "ClassImbalance", 0.5, 0.55, 0.1, None),
    ("data", "ClassImbalance", 0.5, -0.75, 0.1, 0.25),
    ("data", "DifferenceInProportionOfLabels", -0.25, 0.5, 0.1, 0.75),
    ("data", "DifferenceInProportionOfLabels", -0.5, 0.25, 0.1, None),
    ("data", "KlDivergence", 0.0, 0.125, 0.1, 0.125),
    ("data", "JsDivergence", 0.5, 0.25, 0.1, None),
    ("data", "LpNorm", 0.5, 0.5, 0.0, None),
    ("data", "KolmogorovSmirnov", -0.5, -0.25, 0.1, 0.25),
]


@pytest.mark.parametrize("family,metric,baseline,latest,threshold,drift", RULES)
@pytest.mark.parametrize("kind", ["full", "partial"])
def test_comparison_rule(kind, family, metric, baseline, latest, threshold, drift):
    fn, make = (FULL if kind == "full" else PARTIAL)[family]
    base, last = make(**{metric: baseline}), make(**{metric: latest})
    if kind == "full":
        report = fn(base, last, threshold)
    else:
        report = fn(base, last, [metric], threshold)
    if drift is None:
        assert report == {"passed": True}
    else:
        assert report == {"passed": False, "failed_report": [{"metric": metric, "drift": drift}]}


@pytest.mark.parametrize("family", ["data", "model"])
def test_nan_never_fails(family):
    fn, make = FULL[family]
    assert fn(make(1.0), make(math.nan)) == {"passed": True}
    assert fn(make(math.nan), make(2.0)) == {"passed": True}


def test_analyzer_output_passes_against_itself():
    data, model = analyzer_dicts()
    for t in (0.0, 0.1, 5.0):
        assert L.py_data_bias_runtime_check(data, data, t) == {"passed": True}
        assert L.py_model_bias_runtime_check(model, model, t) == {"passed": True}


@pytest.mark.parametrize("family", ["data", "model"])
def test_default_threshold_is_single_precision_tenth(family):
    fn, make = FULL[family]
    metric = "KlDivergence" if family == "data" else "DisparateImpact"
    base = make(**{metric: 1.0})
    just_in = make(**{metric: f32(1.1)})  # equals (1 + 0.1f) * 1 exactly: passes
    just_out = make(**{metric: float(np.nextafter(np.float32(1.1), np.float32(2)))})
    assert fn(base, just_in) == {"passed": True}
    assert fn(base, just_in, threshold=0.1) == {"passed": True}
    assert fn(base, just_out)["passed"] is False
    with pytest.raises(TypeError, match="^argument 'threshold'"):
        fn(base, just_in, None)


class FloatIsNan:
    def __float__(self):
        return math.nan


# Every spelling of NaN a threshold can arrive as, the last one through __float__.
NANS = [math.nan, -math.nan, np.float64("nan"), np.float32("nan"),
        struct.unpack("<d", b"\x01\x00\x00\x00\x00\x00\xf8\x7f")[0], FloatIsNan()]


@pytest.mark.parametrize("family", ["data", "model"])
@pytest.mark.parametrize("kind", ["full", "partial"])
def test_a_nan_threshold_is_refused_at_conversion(family, kind):
    # A NaN bound passes every comparison: a check under it could never fail.
    fn, make = (FULL if kind == "full" else PARTIAL)[family]
    metric = "KlDivergence" if family == "data" else "DisparateImpact"
    base, far = make(**{metric: 1.0}), make(**{metric: 10.0})
    lists = () if kind == "full" else ([metric],)
    for nan in NANS:
        for call in (lambda: fn(base, far, *lists, nan), lambda: fn(base, far, *lists, threshold=nan)):
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == "threshold must not be NaN"
    # The threshold converts in parameter order, after the dicts (and the
    # names), before any later stage: names are parsed and records built after.
    with pytest.raises(TypeError, match="^argument 'latest'"):
        fn(base, [], *lists, math.nan)
    with pytest.raises(TypeError, match="positional argument"):
        fn(base, far, *lists, math.nan, 0.1)
    with pytest.raises(ValueError, match="^threshold must not be NaN$"):
        fn({}, {"made up": 1.0}, *([["Nope"]] if lists else []), math.nan)
    # Infinite and negative thresholds stay accepted.
    assert fn(base, far, *lists, math.inf) == {"passed": True}
    assert fn(base, far, *lists, 1e300) == {"passed": True}  # inf in single precision
    assert fn(base, base, *lists, -math.inf)["passed"] is False


def test_failures_are_listed_in_metric_order_with_exact_keys():
    base = model_dict(0.1)
    last = model_dict(0.1, TreatmentEquity=1.0, DifferenceInPositivePredictedLabels=-1.0, GeneralizedEntropy=math.inf)
    report = L.py_model_bias_runtime_check(base, last)
    assert list(report) == ["passed", "failed_report"]
    assert report["passed"] is False
    entries = report["failed_report"]
    assert [e["metric"] for e in entries] == ["DifferenceInPositivePredictedLabels", "TreatmentEquity",
                                              "GeneralizedEntropy"]
    assert all(list(e) == ["metric", "drift"] for e in entries)
    assert entries[0]["drift"] == f32(np.float32(1.0) - np.float32(0.1))
    assert entries[2]["drift"] == math.inf


def test_partial_check_compares_only_listed_metrics_once():
    base = model_dict(0.1)
    last = model_dict(1.0)
    report = L.py_model_bias_partial_check(base, last, ("TreatmentEquity", "DisparateImpact", "TreatmentEquity"))
    assert [e["metric"] for e in report["failed_report"]] == ["DisparateImpact", "TreatmentEquity"]
    assert L.py_model_bias_partial_check(base, last, []) == {"passed": True}
    report = L.py_data_bias_partial_check(data_dict(0.1), data_dict(1.0), ["ClassImbalance", "ClassImbalance"])
    assert len(report["failed_report"]) == 1


# (function, baseline, latest, metrics or None for a full check, expected ValueError message)
ORDER = [
    # model bias: latest before baseline, first missing in field order
    (L.py_model_bias_runtime_check, drop(model_dict(), "DisparateImpact"), drop(model_dict(), "GeneralizedEntropy"),
     None, "GeneralizedEntropy not present"),
    (L.py_model_bias_runtime_check, model_dict(), drop(model_dict(), "TreatmentEquity", "DifferenceInRejectionRate"),
     None, "DifferenceInRejectionRate not present"),
    (L.py_model_bias_partial_check, drop(model_dict(), "DisparateImpact"), drop(model_dict(), "GeneralizedEntropy"),
     ["DisparateImpact"], "GeneralizedEntropy not present"),
    (L.py_model_bias_partial_check, {}, {}, ["DisparateImpact", "Nope"], 'Metrics: ["Nope"] are not supported'),
    # data bias full: foreign keys (baseline, latest), then missing (baseline, latest)
    (L.py_data_bias_runtime_check, drop(data_dict(), "LpNorm", "KolmogorovSmirnov"), data_dict(), None,
     "LpNorm not present"),
    (L.py_data_bias_runtime_check, drop(data_dict(), "JsDivergence"), drop(data_dict(), "ClassImbalance"), None,
     "JsDivergence not present"),
    (L.py_data_bias_runtime_check, drop(data_dict(), "ClassImbalance"), data_dict(extra=1.0), None,
     'Metrics: ["extra"] are not supported'),
    (L.py_data_bias_runtime_check, data_dict(b=1.0, a=2.0), data_dict(c=1.0), None,
     'Metrics: ["b", "a"] are not supported'),
    # data bias partial: refused names, then missing in latest, then baseline
    (L.py_data_bias_partial_check, {}, {}, ["classimbalance", "Made", "LpNorm"],
     'Metrics: ["classimbalance", "Made"] are not supported'),
    (L.py_data_bias_partial_check, drop(data_dict(), "JsDivergence"), drop(data_dict(), "ClassImbalance"),
     ["LpNorm"], "ClassImbalance not present"),
    (L.py_data_bias_partial_check, drop(data_dict(), "TotalVariationDistance"), data_dict(extra=1.0), [],
     "TotalVariationDistance not present"),
]


@pytest.mark.parametrize("fn,baseline,latest,metrics,message", ORDER)
def test_order_of_detection(fn, baseline, latest, metrics, message):
    args = (baseline, latest) if metrics is None else (baseline, latest, metrics)
    with pytest.raises(ValueError) as info:
        fn(*args)
    assert str(info.value) == message


def test_partial_data_check_accepts_extra_keys():
    base = data_dict(extra=3.0)
    assert L.py_data_bias_partial_check(base, base, DATA) == {"passed": True}


@pytest.mark.parametrize(
    "fn,args,name",
    [
        (L.py_model_bias_runtime_check, ([], {}), "baseline"),
        (L.py_model_bias_runtime_check, ({}, {1: 0.5}), "latest"),
        (L.py_data_bias_runtime_check, ({"ClassImbalance": "0.5"}, {}), "baseline"),
        (L.py_data_bias_partial_check, ({}, {}, "LpNorm"), "metrics"),
        (L.py_model_bias_partial_check, ({}, {}, ["LpNorm", 3]), "metrics"),
        (L.py_model_bias_partial_check, ({}, {}, [], "0.1"), "threshold"),
    ],
)
def test_argument_errors_name_the_parameter(fn, args, name):
    with pytest.raises(TypeError, match=f"^argument '{name}': "):
        fn(*args)


def test_binding_errors():
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'latest'"):
        L.py_model_bias_runtime_check({})
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'thresh'"):
        L.py_data_bias_runtime_check({}, {}, thresh=0.1)
    with pytest.raises(TypeError, match=r"takes from 3 to 4 positional arguments but 5 were given"):
        L.py_data_bias_partial_check({}, {}, [], 0.1, 0.2)


def test_hostile_values():
    with pytest.raises(Boom):
        L.py_model_bias_runtime_check(model_dict(DisparateImpact=FloatRaises()), model_dict())
    base = model_dict()
    base["GeneralizedEntropy"] = MutatesDict(0.5, base)
    assert L.py_model_bias_runtime_check(base, model_dict()) == {"passed": True}
    assert base == {}
    # A value that re-enters the module while being converted.
    inner = CallsBack(0.5, lambda: L.py_model_bias_runtime_check(model_dict(), model_dict()))
    assert L.py_model_bias_runtime_check(model_dict(DisparateImpact=inner), model_dict()) == {"passed": True}
    assert inner.error is None


def test_text_signatures():
    for family in ("data", "model"):
        for check in ("runtime", "partial"):
            name = f"py_{family}_bias_{check}_check"
            assert getattr(L, name).__text_signature__ == FUNCTIONS[name]
    assert L.py_model_bias_partial_check.__doc__ is None
