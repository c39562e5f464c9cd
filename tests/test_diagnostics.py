"""The report's diagnostics: ROC AUC and average precision against
scikit-learn, calibration and the regression pictures against NumPy routes,
and the reports that show them (JSON and HTML)."""

from __future__ import annotations

import json
import math
import re
import warnings

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
metrics = pytest.importorskip("sklearn.metrics")
calibration_module = pytest.importorskip("sklearn.calibration")

import lumetra  # noqa: E402
from lumetra import _kernels  # noqa: E402
from lumetra.report import ReportOptions, build_report, render_html, report_json  # noqa: E402


def curves(y, s, rows=None, points=200):
    return _kernels.score_curves(np.asarray(y), "==", 1, np.asarray(s), rows, points)


def sklearn_figures(y, s):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # one class: scikit-learn warns and gives NaN (AUC) or 0 (AP)
        return metrics.roc_auc_score(y, s), metrics.average_precision_score(y, s)


def scores(kind, n, rng):
    if kind == "random":
        return rng.random(n)
    if kind == "tied":
        return np.round(rng.random(n) * 7) / 7
    if kind == "constant":
        return np.full(n, 0.25)
    if kind == "normal":
        return rng.normal(0.0, 3.0, n)
    if kind == "integers":
        return rng.integers(-5, 6, n)
    return rng.random(n).astype(np.float32)


# ---- AUC and average precision -----------------------------------------------------------------


@pytest.mark.parametrize("kind", ["random", "tied", "constant", "normal", "integers", "float32"])
@pytest.mark.parametrize("n", [2, 7, 100, 5000])
def test_auc_and_average_precision_equal_scikit_learn(kind, n):
    rng = np.random.default_rng(n)
    for prevalence in (0.5, 0.1, 0.9):
        y = (rng.random(n) < prevalence).astype(np.int64)
        s = scores(kind, n, rng)
        if y.min() == y.max():
            continue  # one class: below
        auc, ap = sklearn_figures(y, s)
        r = curves(y, s)
        assert abs(r["auc"] - auc) <= 1e-9
        assert abs(r["average_precision"] - ap) <= 1e-9
        assert (r["positives"], r["negatives"]) == (int(y.sum()), int(n - y.sum()))
        assert r["thresholds"] == len(np.unique(s))


def test_large_inputs_equal_scikit_learn():
    rng = np.random.default_rng(11)
    n = 1_000_000
    y = (rng.random(n) < 0.3).astype(np.int8)
    for s in (rng.random(n) + 0.3 * y, np.round(rng.normal(y, 1.0), 2)):
        auc, ap = sklearn_figures(y, s)
        r = curves(y, s)
        assert abs(r["auc"] - auc) <= 1e-9
        assert abs(r["average_precision"] - ap) <= 1e-9
        assert len(r["fpr"]) <= 200 and len(r["recall"]) <= 200


def test_one_class_gives_nan_where_scikit_learn_is_undefined():
    s = np.array([0.1, 0.4, 0.4, 0.9])
    negatives = curves(np.zeros(4, np.int64), s)
    auc, ap = sklearn_figures(np.zeros(4), s)
    assert math.isnan(auc) and math.isnan(negatives["auc"])
    # Without positives recall is 0/0: NaN here, where scikit-learn warns and gives 0.
    assert ap == 0.0 and math.isnan(negatives["average_precision"])
    assert len(negatives["fpr"]) == len(negatives["recall"]) == 0
    positives = curves(np.ones(4, np.int64), s)
    auc, ap = sklearn_figures(np.ones(4), s)
    assert math.isnan(auc) and math.isnan(positives["auc"])
    assert positives["average_precision"] == ap == 1.0
    empty = curves(np.zeros(0, np.int64), np.zeros(0))
    assert empty["thresholds"] == 0 and math.isnan(empty["auc"])


def test_curve_points_lie_on_scikit_learns_curves():
    rng = np.random.default_rng(5)
    y = rng.integers(0, 2, 3000)
    s = np.round(rng.normal(y, 1.0), 3)
    r = curves(y, s, points=50)
    fpr, tpr, thresholds = metrics.roc_curve(y, s, drop_intermediate=False)
    full = {t: (f, p) for f, p, t in zip(fpr, tpr, thresholds)}
    assert r["roc_threshold"][0] == math.inf and (r["fpr"][0], r["tpr"][0]) == (0.0, 0.0)
    for f, p, t in zip(r["fpr"][1:], r["tpr"][1:], r["roc_threshold"][1:]):
        assert full[t] == pytest.approx((f, p), abs=1e-15)
    precision, recall, thresholds = metrics.precision_recall_curve(y, s)
    full = {t: (p, q) for p, q, t in zip(precision, recall, thresholds)}
    for p, q, t in zip(r["precision"], r["recall"], r["pr_threshold"]):
        assert full[t] == pytest.approx((p, q), abs=1e-15)
    assert len(r["fpr"]) <= 50 and r["fpr"][-1] == r["tpr"][-1] == 1.0
    assert r["recall"][-1] == 1.0 and r["pr_threshold"][-1] == s.min()


def test_rows_left_out_and_rules_read_as_the_performance_kernels_do():
    rng = np.random.default_rng(2)
    y = rng.integers(0, 3, 400)
    s = rng.random(400)
    rows = np.where(rng.random(400) < 0.25, -1, 0).astype(np.int16)
    kept = rows >= 0
    r = _kernels.score_curves(y, "==", 2, s, rows)
    auc, ap = sklearn_figures(y[kept] == 2, s[kept])
    assert (r["auc"], r["average_precision"]) == pytest.approx((auc, ap), abs=1e-12)
    r = _kernels.score_curves(y.astype(np.float64), ">=", 1, s)
    assert r["auc"] == pytest.approx(sklearn_figures(y >= 1, s)[0], abs=1e-12)
    # A NaN score is refused only where the row is read.
    s[3] = np.nan
    with pytest.raises(ValueError, match="scores holds NaN at row 3"):
        _kernels.score_curves(y, "==", 2, s)
    rows[3] = -1
    _kernels.score_curves(y, "==", 2, s, rows)


def test_kernel_arguments_are_refused_with_their_names():
    y, s = np.array([1, 0, 1]), np.array([0.2, 0.5, 0.9])
    with pytest.raises(ValueError, match="points must be from 2 to"):
        _kernels.score_curves(y, "==", 1, s, points=1)
    with pytest.raises(TypeError, match="rows must hold integer codes"):
        _kernels.score_curves(y, "==", 1, s, np.zeros(3))
    with pytest.raises(ValueError, match=r"rows must have one value per row \(3 rows, got 2\)"):
        _kernels.calibration(y, "==", 1, s, np.zeros(2, np.int8))
    with pytest.raises(ValueError, match=r"label must have one value per row \(3 rows, got 2\)"):
        _kernels.score_curves(y[:2], "==", 1, s)
    with pytest.raises(ValueError, match="low and high must be finite"):
        _kernels.calibration(y, "==", 1, s, low=1.0, high=1.0)
    with pytest.raises(ValueError, match="bins must be from 1 to 65536"):
        _kernels.calibration(y, "==", 1, s, bins=0)
    with pytest.raises(ValueError, match="quantiles must be from 1 to 1000"):
        _kernels.regression_diagnostics(s, s, 0.0, 1.0, -1.0, 1.0, quantiles=1001)
    with pytest.raises(ValueError, match="residual_low and residual_high must be finite"):
        _kernels.regression_diagnostics(s, s, 0.0, 1.0, 0.0, math.inf)
    with pytest.raises(TypeError, match="prediction must be numeric"):
        _kernels.regression_extent(s, s > 0.5)


# ---- calibration and the regression pictures ----------------------------------------------------


def test_calibration_equals_scikit_learn_and_a_numpy_route():
    rng = np.random.default_rng(8)
    n = 20000
    s = np.concatenate([np.round(rng.random(n), 1), rng.random(n), [0.0, 1.0, 0.1, 0.3]])
    y = (rng.random(len(s)) < s).astype(np.int64)
    r = _kernels.calibration(y, "==", 1, s)
    true, predicted = calibration_module.calibration_curve(y, s, n_bins=10)
    rows = r["negatives"] + r["positives"]
    assert r["positive_rate"][rows > 0].tolist() == true.tolist()
    assert r["mean_score"][rows > 0].tolist() == predicted.tolist()
    edges = np.linspace(0.0, 1.0, 11)
    assert r["edges"].tolist() == edges.tolist()
    bins = np.searchsorted(edges[1:-1], s)
    for cls, name in ((0, "negatives"), (1, "positives")):
        assert r[name].tolist() == np.bincount(bins[y == cls], minlength=10).tolist()
    assert r["score_sum"].tolist() == np.bincount(bins, weights=s, minlength=10).tolist()
    # Scores outside [low, high] are counted apart, by class.
    r = _kernels.calibration(y[:4], "==", 1, np.array([-0.5, 2.0, 0.5, 1.5]), low=0.0, high=1.0)
    assert (r["below"].tolist(), r["above"].tolist(), int(r["negatives"].sum() + r["positives"].sum())) == (
        [1 - y[0], y[0]], [(1 - y[1]) + (1 - y[3]), y[1] + y[3]], 1)


def regression_route(actual, predicted, low, high, residual_low, residual_high, bins=40, residual_bins=40, q=10):
    """The diagnostics in NumPy: single-precision values widened, np.histogram2d
    and np.histogram, quantiles by a stable argsort, sums in row order (bincount)."""
    a = np.asarray(actual, np.float32).astype(np.float64)
    p = np.asarray(predicted, np.float32).astype(np.float64)
    finite = np.isfinite(a) & np.isfinite(p)
    a, p = a[finite], p[finite]
    edges = np.linspace(low, high, bins + 1)
    density = np.histogram2d(a, p, bins=[edges, edges])[0]
    residuals = np.histogram(a - p, bins=np.linspace(residual_low, residual_high, residual_bins + 1))[0]
    n = len(p)
    rank = np.empty(n, np.int64)
    rank[np.argsort(p, kind="stable")] = np.arange(n)
    quantile = rank * q // n
    count = np.bincount(quantile, minlength=q)
    with np.errstate(invalid="ignore", divide="ignore"):
        means = {key: np.bincount(quantile, weights=w, minlength=q) / count
                 for key, w in (("mean_absolute_error", np.abs(a - p)), ("mean_error", a - p),
                                ("mean_predicted", p), ("mean_actual", a))}
    return density, residuals, count, means


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_regression_diagnostics_equal_numpy(seed):
    rng = np.random.default_rng(seed)
    n = [50, 2000, 30001][seed]
    actual = rng.normal(100, 30, n)
    predicted = np.round(actual + rng.normal(0, 10, n), [1, 0, 3][seed])  # ties across deciles
    actual[::97] = np.nan
    rows = np.where(rng.random(n) < 0.1, -1, 0).astype(np.int64)
    kept = rows >= 0
    e = _kernels.regression_extent(actual, predicted, rows)
    a32, p32 = (np.asarray(v[kept], np.float32).astype(np.float64) for v in (actual, predicted))
    finite = np.isfinite(a32) & np.isfinite(p32)
    assert (e["pairs"], e["nonfinite"]) == (finite.sum(), (~finite).sum())
    assert (e["low"], e["high"]) == (min(a32[finite].min(), p32[finite].min()), max(a32[finite].max(),
                                                                                     p32[finite].max()))
    reach = np.abs(a32[finite] - p32[finite]).max()
    args = (e["low"], e["high"], -reach, reach)
    r = _kernels.regression_diagnostics(actual, predicted, *args, rows)
    density, residuals, count, means = regression_route(actual[kept], predicted[kept], *args)
    assert r["density"].tolist() == density.astype(np.uint64).tolist()
    assert r["outside"] == 0 and r["residual_outside"] == 0
    assert r["residuals"].tolist() == residuals.tolist()
    assert r["count"].tolist() == count.tolist()
    for key, value in means.items():
        np.testing.assert_array_equal(r[key], value)


def test_quantiles_of_few_pairs_and_ties():
    # Three tied predictions: ranks split them in row order.
    r = _kernels.regression_diagnostics(np.array([1.0, 2.0, 3.0, 4.0]), np.array([1.0, 1.0, 1.0, 5.0]), 0.0, 5.0,
                                        -4.0, 4.0, quantiles=2)
    assert r["count"].tolist() == [2, 2]
    assert r["mean_error"].tolist() == [0.5, 0.5]
    assert (r["low_prediction"].tolist(), r["high_prediction"].tolist()) == ([1.0, 1.0], [1.0, 5.0])
    r = _kernels.regression_diagnostics(np.array([1.0]), np.array([2.0]), 0.0, 5.0, -4.0, 4.0)
    assert r["count"].tolist() == [1] + [0] * 9  # rank 0 of 1: floor(0 * 10 / 1)
    assert r["mean_absolute_error"][0] == 1.0 and np.isnan(r["mean_absolute_error"][1:]).all()
    r = _kernels.regression_diagnostics(np.array([1.0]), np.array([9.0]), 0.0, 5.0, -4.0, 4.0)
    assert (r["outside"], r["residual_outside"]) == (1, 1)


# ---- the report ------------------------------------------------------------------------------------


def table(n, seed, shift=0.0):
    rng = np.random.default_rng(seed)
    x = rng.normal(shift, 1.0, n)
    label = (rng.random(n) < 1 / (1 + np.exp(-2 * x))).astype(np.int64)
    score = np.round(1 / (1 + np.exp(-1.5 * x)), 3)
    target = 50 + 20 * x + rng.normal(0, 5, n)
    return pa.table({
        "region": rng.choice(["north", "south", "east"], n),
        "age": rng.integers(18, 80, n),
        "label": label,
        "score": score,
        "predicted": (score >= 0.5).astype(np.int64),
        "target": target,
        "estimate": np.round(target + rng.normal(shift, 8, n), 1),
    })


@pytest.fixture(scope="module")
def frames():
    return table(3000, 1), table(2000, 2, shift=0.5)


def report_of(frames, **options):
    report = build_report(*frames, ReportOptions(**options))
    return report, json.loads(report_json(report))


def test_logistic_report_holds_every_number_behind_its_pictures(frames):
    ref, cur = frames
    report, data = report_of(frames, label="label", prediction="score", task="logistic", threshold=0.4,
                             facets=["region"])
    d = data["performance"]["diagnostics"]
    assert d["task"] == "logistic"
    for side, frame in zip(("reference", "current"), frames):
        y, s = frame["label"].to_numpy(), frame["score"].to_numpy()
        auc, ap = sklearn_figures(y, s)
        assert abs(d["ranking"][side]["auc"] - auc) <= 1e-9
        assert abs(d["ranking"][side]["average_precision"] - ap) <= 1e-9
        roc = d["ranking"][side]["roc"]
        assert roc["threshold"][0] == "Infinity" and len(roc["fpr"]) == len(roc["tpr"]) <= 200
        # The confusion matrix at the report's threshold, in scikit-learn's layout.
        predicted = (s.astype(np.float32) >= np.float32(0.4)).astype(int)
        matrix = metrics.confusion_matrix(y, predicted).tolist()
        assert d["confusion"][side]["counts"] == matrix
        assert d["confusion"][side]["rates"][1][1] == matrix[1][1] / sum(matrix[1])
        true, mean = calibration_module.calibration_curve(y, s, n_bins=10)
        c = d["calibration"][side]
        assert [v for v in c["positive_rate"] if v != "NaN"] == true.tolist()
        assert [v for v in c["mean_score"] if v != "NaN"] == mean.tolist()
        assert sum(c["negatives"]) + sum(c["positives"]) == len(y)
    # Per group of the facet: the task's metrics as lumetra.performance gives them.
    (facet,) = d["facets"]
    assert facet["facet"] == "region" and facet["note"] is None
    expected = lumetra.performance(cur, "label", "score", task="logistic", prediction_threshold=0.4,
                                   facet="region").to_pylist()
    by_group = {g["group"]: g["current"] for g in facet["groups"]}
    for row in expected:
        got = by_group[row["region"]]
        assert got["n"] == row["n"]
        assert got["metrics"]["LogLoss"] == row["LogLoss"]
        assert got["metrics"]["RecallPositive"] == row["RecallPositive"]
    html = render_html(report)
    for text in ("Diagnostics", "ROC curve", "precision-recall curve", "calibration", "predicted positive",
                 "Performance per group of region"):
        assert text in html
    assert "<script" not in html


def test_regression_report_renders_its_pictures(frames):
    report, data = report_of(frames, label="target", prediction="estimate", task="regression", threshold=50.0,
                             facets=["age"], facet_threshold=40.0)
    d = data["performance"]["diagnostics"]
    g = d["regression"]
    assert "confusion" not in d and "ranking" not in d
    assert len(g["edges"]) == 41 and len(g["residual_edges"]) == 41
    assert g["residual_edges"][0] == -g["residual_edges"][-1]
    for side, frame in zip(("reference", "current"), frames):
        assert sum(map(sum, g[side]["density"])) == g[side]["pairs"] == frame.num_rows
        assert sum(g[side]["residuals"]) == frame.num_rows
        assert sum(g[side]["deciles"]["count"]) == frame.num_rows
    # The facet split at --facet-threshold, as the bias sections split it.
    (facet,) = d["facets"]
    assert [group["label"] for group in facet["groups"]] == [">= 40.0", "< 40.0"]
    ages = frames[0]["age"].to_numpy()
    assert facet["groups"][0]["reference"]["n"] == int((ages >= 40).sum())
    html = render_html(report)
    assert html.count("<svg") >= 6 and "decile" in html and "residuals" in html
    assert re.search(r"darkest: \d+ rows", html)


def test_classification_report_shows_the_confusion_matrix(frames):
    report, data = report_of(frames, label="label", prediction="predicted", task="classification")
    d = data["performance"]["diagnostics"]
    assert set(d) == {"task", "confusion", "facets"}
    for side, frame in zip(("reference", "current"), frames):
        matrix = metrics.confusion_matrix(frame["label"].to_numpy(), frame["predicted"].to_numpy()).tolist()
        assert d["confusion"][side]["counts"] == matrix
    assert "actual positive" in render_html(report)


def test_missing_rows_are_left_out_under_drop():
    ref = table(500, 3).to_pandas()
    cur = table(400, 4).to_pandas()
    cur.loc[cur.index[::10], "score"] = np.nan
    _, data = report_of((ref, cur), label="label", prediction="score", task="logistic", missing="drop")
    kept = cur.dropna(subset=["score"])
    auc, _ = sklearn_figures(kept["label"], kept["score"])
    ranking = data["performance"]["diagnostics"]["ranking"]["current"]
    assert ranking["positives"] + ranking["negatives"] == len(kept)
    assert abs(ranking["auc"] - auc) <= 1e-9
