"""``lumetra check`` end to end: stored metric dicts against the engine's runtime checks."""

from __future__ import annotations

import json
from importlib.metadata import version

import numpy as np
import pytest

import _lumetra
from cli_helpers import assert_usage_error, lumetra

# The command in subprocesses, over kernels the in-process tests run sanitized.
pytestmark = pytest.mark.no_sanitizer(reason="the command in subprocesses, over kernels tested in process")

Y_TRUE = np.array([3.0, 1.5, 4.0, 2.0, 5.5, 0.5])
Y_PRED = np.array([2.5, 1.5, 4.5, 2.0, 5.0, 1.0])


@pytest.fixture
def write(tmp_path):
    def write(name, doc, raw=False):
        path = tmp_path / name
        path.write_text(doc if raw else json.dumps(doc))
        return str(path)

    return write


def regression(scale=1.0):
    return _lumetra.py_model_perf_linear_regression(Y_TRUE, Y_PRED * scale)


def data_bias():
    feature = np.array([1, 2, 2, 1, 2, 1, 1, 2])
    outcome = np.array([1, 0, 1, 1, 0, 0, 1, 0])
    return _lumetra.py_data_bias_analyzer(feature, outcome, 2, 1)


E = _lumetra


@pytest.mark.parametrize(
    "latest, options, engine, words",
    [
        (regression(), [], lambda b, l: E.py_model_perf_lin_reg_rt_full(b, l), ["passed  metrics (regression)"]),
        (regression(1.3), [], lambda b, l: E.py_model_perf_lin_reg_rt_full(b, l), ["MeanSquaredError: baseline"]),
        (
            regression(1.3),
            ["--metrics", "RSquared", "--threshold", "0.9"],
            lambda b, l: E.py_model_perf_lin_reg_rt_partial(b, l, ["RSquared"], threshold=0.9),
            ["passed"],
        ),
        (regression(1.3), ["--threshold", "100"], lambda b, l: E.py_model_perf_lin_reg_rt_full(b, l, 100.0), ["passed"]),
        (
            regression(1.3),
            ["--family", "regression", "--metrics", "MaxError"],
            lambda b, l: E.py_model_perf_lin_reg_rt_partial(b, l, ["MaxError"]),
            ["MaxError: baseline"],
        ),
    ],
)
def test_exit_status_follows_the_engine_check(write, latest, options, engine, words):
    run = lumetra("check", write("b.json", regression()), write("l.json", latest), *options)
    assert run.status == (0 if engine(regression(), latest)["passed"] else 1), run.err
    assert ("FAILED" in run.out) == (run.status == 1)
    for word in words:
        assert word in run.out


def test_failed_metrics_are_listed_with_the_engine_drift(write):
    latest = dict(data_bias(), DifferenceInProportionOfLabels=-0.7, LpNorm=5.0)
    run = lumetra("check", write("b.json", data_bias()), write("l.json", latest))
    assert run.status == 1
    report = _lumetra.py_data_bias_runtime_check(data_bias(), latest)
    failed = {e["metric"] for e in report["failed_report"]}
    assert failed == {"DifferenceInProportionOfLabels", "LpNorm"}
    listed = [line.split(":")[0].strip() for line in run.out.splitlines() if line.startswith("        ")]
    assert listed == ["DifferenceInProportionOfLabels", "LpNorm"]  # in the family's order
    assert "(data_bias)" in run.out


def test_named_sets_and_non_finite_values(write):
    base = {"north": data_bias(), "south": dict(data_bias(), KlDivergence="NaN")}
    latest = {"north": dict(data_bias(), KlDivergence=9.0), "south": dict(data_bias(), KlDivergence=9.0)}
    run = lumetra("check", write("b.json", base), write("l.json", latest))
    # A NaN baseline never fails; the finite one does.
    assert run.status == 1
    assert "FAILED  north" in run.out and "passed  south" in run.out
    assert "2 metric sets compared, 1 failed" in run.out
    assert "1 metric set compared" in lumetra("check", write("b1.json", data_bias()), write("l1.json", data_bias())).out


@pytest.mark.parametrize(
    "baseline, latest, options, words",
    [
        (None, regression(), [], ["missing.json"]),
        ("{not json", regression(), [], ["b.json", "not JSON"]),
        ({"a": 1.0, "b": 2.0}, {"a": 1.0, "b": 2.0}, [], ["metric family", "--family"]),
        (regression(), {k: v for k, v in regression().items() if k != "MaxError"}, [], ["Invalid analysis report"]),
        (regression(), regression(), ["--metrics", "Nope"], ["Nope", "are not supported"]),
        (data_bias(), {k: v for k, v in data_bias().items() if k != "LpNorm"}, [], ["LpNorm not present"]),
        (["a list"], regression(), [], ["b.json", "no metric values"]),
    ],
)
def test_input_errors_exit_2_with_one_line(write, tmp_path, baseline, latest, options, words):
    if baseline is None:
        b = str(tmp_path / "missing.json")
    elif isinstance(baseline, str):
        b = write("b.json", baseline, raw=True)
    else:
        b = write("b.json", baseline)
    run = lumetra("check", b, write("l.json", latest), *options)
    assert_usage_error(run, *words)


@pytest.mark.parametrize(
    "args, status, stream, word",
    [
        (["--version"], 0, "out", f"lumetra {version('lumetra')}"),
        (["--help"], 0, "out", "report"),
        (["check", "--help"], 0, "out", "BASELINE.json"),
        (["report", "--help"], 0, "out", "--drift-threshold"),
        ([], 2, "err", "'lumetra --help'"),
        (["check"], 2, "err", "BASELINE.json"),
        # One file is a report's timeline to judge; one that cannot be read says so.
        (["check", "only-one.json"], 2, "err", "cannot read only-one.json"),
        (["report", "a.csv", "b.csv", "--task", "nope"], 2, "err", "invalid choice"),
    ],
)
def test_help_version_and_usage(args, status, stream, word):
    run = lumetra(*args)
    assert run.status == status
    assert word in (run.out if stream == "out" else run.err)
    assert "Traceback" not in run.err


def test_family_names_are_the_engine_keys():
    from lumetra._checks import FAMILIES

    feature, truth, pred = np.array([1, 1, 1, 0, 0, 0]), np.array([1, 0, 1, 1, 0, 0]), np.array([1, 1, 0, 1, 1, 0])
    engine = {
        "data_bias": E.py_data_bias_analyzer(feature, truth, 1, 1),
        "model_bias": E.py_model_bias_analyzer(feature, truth, pred, 1, 1, 1),
        "regression": regression(),
        "classification": E.py_model_perf_classification(truth, pred),
        "logistic": E.py_model_perf_logistic_regression(truth, pred * 0.8, 0.5),
    }
    for name, family in FAMILIES.items():
        assert set(family.metrics) == set(engine[name]), name
        assert len(family.metrics) == len(engine[name])


def test_an_internal_fault_is_status_3_with_its_traceback(write, monkeypatch):
    from lumetra import cli

    def broken(*args, **kwargs):
        raise ZeroDivisionError("boom")

    monkeypatch.setattr("lumetra._checks.run_check", broken)
    status = cli.main(["check", write("b.json", regression()), write("l.json", regression())])
    assert status == 3


@pytest.mark.parametrize("mangle, words", [
    (lambda r: r["data_bias"][0]["groups"][0]["current"].pop("metrics"), ["looks like a report", "'metrics'"]),
    (lambda r: r["data_bias"][0].pop("groups"), ["looks like a report", "'groups'"]),
    (lambda r: r["data_bias"].__setitem__(0, "a text"), ["looks like a report", "wrong shape"]),
    (lambda r: r.__setitem__("performance", {"family": "nope", "current": {"metrics": {}}}),
     ["unknown metric family 'nope'"]),
])
def test_a_damaged_report_json_is_an_input_error(write, mangle, words):
    report = report_json()
    mangle(report)
    assert_usage_error(lumetra("check", write("b.json", report), write("l.json", report_json())), "b.json", *words)


@pytest.mark.parametrize("text, words", [
    ("[" * 100000 + "]" * 100000, ["nested too deeply"]),
    ('{"MaxError": 1' + "0" * 400 + "}", ["MaxError", "too large"]),
    ('{"MaxError": 1' + "0" * 5000 + "}", ["not JSON"]),
], ids=["deep", "huge", "too long"])
def test_hostile_json_is_an_input_error(write, text, words):
    assert_usage_error(lumetra("check", write("b.json", text, raw=True), write("l.json", regression())), *words)


@pytest.mark.parametrize("threshold", ["nan", "inf", "-0.1"])
def test_a_threshold_that_would_pass_every_check_is_refused(write, threshold):
    run = lumetra("check", write("b.json", regression()), write("l.json", regression(10.0)), "--threshold", threshold)
    assert_usage_error(run, "--threshold", "finite number >= 0")


def test_groups_without_current_metrics_are_listed_as_not_checked(write):
    report = report_json()
    groups = report["data_bias"][0]["groups"]
    groups[0]["current"] = dict(groups[0]["current"], error="the facet has one group only")
    groups[1]["current"] = None
    run = lumetra("check", write("b.json", report_json()), write("l.json", report))
    assert run.status == 0, run.err
    assert f"not checked data_bias g = {groups[0]['label']} (in " in run.out and "one group only" in run.out
    assert f"not checked data_bias g = {groups[1]['label']} (in " in run.out
    assert "2 not checked" in run.out


def test_metrics_that_are_nan_are_not_called_passed(write):
    nan = {k: "NaN" for k in regression()}
    run = lumetra("check", write("b.json", regression()), write("l.json", nan))
    assert run.status == 0 and "not checked metrics (every metric is NaN on one side)" in run.out
    some = dict(regression(), MaxError="NaN")
    run = lumetra("check", write("b.json", regression()), write("l.json", some))
    assert "passed  metrics (regression); not compared (NaN): MaxError" in run.out


def report_json():
    """The shape `lumetra report --json` writes, with two groups of data bias."""
    metrics = data_bias()
    group = lambda label: {"group": label, "label": label, "reference": {"n": 4, "n_other": 4, "metrics": metrics,  # noqa: E731
                                                                           "error": None},
                           "current": {"n": 4, "n_other": 4, "metrics": metrics, "error": None}}
    return {"summary": {}, "drift": {"columns": []},
            "data_bias": [{"facet": "g", "groups": [group("a"), group("b"), group("c")]}]}
