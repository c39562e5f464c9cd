"""Diagnostics of the report's performance section, reference and current.

What each task shows, every number from the engine's counts or kernels:

- classification and logistic: the confusion matrix (counts and the share of
  each actual class), from the performance state the report already holds;
- logistic: the ROC and precision-recall curves with their AUC and average
  precision (exact from the sorted scores), the calibration curve and the
  score distribution of each class over ten equal-width bins of [0, 1];
- regression: predicted against actual as a density on a grid over the
  pooled range of both sides, the residual histogram (actual - predicted, on
  a scale symmetric around zero shared by both sides) and the errors by
  decile of the prediction;
- every task: the task's metrics per group of each facet.

The curves need every score of a side at once, so a side's columns are read
whole (a part's columns are joined when there are several)."""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from functools import partial
from importlib import resources
from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence

import narwhals as nw
import numpy as np

from . import _kernels, _svg
from ._analyses import performance_call
from ._frame import Array, Frame, Kind, empty_of
from ._groups import Counts, Scan, add_counts, count_missing, leave_out, refuse_missing, scan, scan_of
from ._outcome import OutcomeReading, numeric_column, outcome_reading
from ._performance import performance_plan
from ._plan import Part, Plan, Reduce, Steps
from ._runners import run
from ._validation import Scalar
from ._vocabulary import FAMILY_METRICS

if TYPE_CHECKING:
    from .report import ReportOptions

#: Points each drawn curve is thinned to (the figures use every point).
CURVE_POINTS = 200
#: Equal-width bins of [0, 1] for calibration and the score distributions.
CALIBRATION_BINS = 10
#: Bins of each side of the predicted-against-actual grid.
GRID_BINS = 40
#: Bins of the residual histogram.
RESIDUAL_BINS = 40
#: Quantiles of the prediction for the errors (deciles).
QUANTILES = 10

SIDES = ("reference", "current")


# ---- reading a side's columns ----------------------------------------------------------------


@dataclass(frozen=True)
class _Call:
    label: str
    prediction: str
    task: str
    positive: Scalar
    missing: str


@dataclass(frozen=True)
class Columns:
    """A side's rows as the kernels read them: the label (with the rule of
    its positive class, None for regression's numbers), the prediction, and
    a code per row (-1 leaves a row out for a missing value)."""

    rows: Array
    label: Array
    rule: Optional[str]
    value: Any
    prediction: Array


def _plan(call: _Call) -> Plan:
    return Plan(tuple(dict.fromkeys((call.label, call.prediction))), partial(_steps, call))


def _steps(call: _Call, meta: Frame) -> Steps:
    scans: list[Optional[Scan]] = []
    truth: Optional[OutcomeReading] = None
    if call.task == "regression":
        numeric_column(Part(empty_of(meta)), call.label, "label")
        scans.append(scan_of(meta, call.label, "label", Kind.NUMBER, labels=False))
    else:
        truth = outcome_reading(meta, scans, call.label, "label", positive=call.positive, positive_name="positive")
    numeric_column(Part(empty_of(meta)), call.prediction, "prediction")
    scans.append(scan_of(meta, call.prediction, "prediction", Kind.NUMBER, labels=False))
    scanned = yield from scan(scans)
    checks = [("label", call.label, False), ("prediction", call.prediction, False)]
    refuse_missing(checks, call.missing, scanned.missing())
    truth = None if truth is None else truth.with_labels(scanned)
    columns, counts = yield Reduce(_read, (call, truth, scanned.counted), _joined)
    refuse_missing(checks, call.missing, counts)
    return columns


def _read(part: Part, call: _Call, truth: Optional[OutcomeReading],
          counted: tuple[Scan, ...]) -> tuple[Columns, Counts]:
    if truth is not None:
        outcome = truth.read(part)
        label, rule, value, absent = outcome.array, outcome.rule, outcome.value, outcome.missing
    else:
        numbers = numeric_column(part, call.label, "label")
        label, rule, value, absent = numbers.array, None, None, numbers.missing
    prediction = numeric_column(part, call.prediction, "prediction")
    rows = np.zeros(len(part), dtype=np.int8)
    for missing in (absent, prediction.missing):
        rows = leave_out(rows, missing, call.missing, bool(counted))
    return Columns(rows, label, rule, value, prediction.array), count_missing(part, counted)


def _joined(a: tuple[Columns, Counts], b: tuple[Columns, Counts]) -> tuple[Columns, Counts]:
    (x, count_a), (y, count_b) = a, b
    return Columns(np.concatenate([x.rows, y.rows]), np.concatenate([x.label, y.label]), x.rule, x.value,
                   np.concatenate([x.prediction, y.prediction])), add_counts(count_a, count_b)


def read_columns(frame: Any, label: str, prediction: str, *, task: str, positive: Scalar = 1,
                 missing: str = "raise") -> Columns:
    """The rows of one frame for the diagnostics' kernels."""
    columns: Columns = run(_plan(_Call(label, prediction, task, positive, missing)), frame, "data")
    return columns


# ---- the numbers --------------------------------------------------------------------------------


def _floats(values: Any) -> list[float]:
    return [float(v) for v in np.asarray(values, dtype=np.float64).tolist()]


def _ints(values: Any) -> list[int]:
    return [int(v) for v in np.asarray(values).tolist()]


def confusion(task: str, counts: Sequence[int]) -> dict[str, Any]:
    """The confusion matrix of a performance state's counts: rows are the
    actual class, columns the predicted class, negative first (scikit-learn's
    layout); rates are the shares of each actual class."""
    if task == "classification":
        tn, fn, fp, tp = (int(c) for c in counts)  # cells by truth + 2 * prediction
    else:
        both, true_pos, pred_pos, n = (int(c) for c in counts)
        tp, fn, fp, tn = both, true_pos - both, pred_pos - both, n - true_pos - pred_pos + both
    matrix = [[tn, fp], [fn, tp]]
    rates = [[c / sum(row) if sum(row) else math.nan for c in row] for row in matrix]
    return {"counts": matrix, "rates": rates}


def ranking(columns: Columns) -> dict[str, Any]:
    """AUC, average precision and the thinned ROC and precision-recall curves."""
    c = columns
    assert c.rule is not None, "a label with classes"
    r = _kernels.score_curves(c.label, c.rule, c.value, c.prediction, c.rows, CURVE_POINTS)
    return {
        "positives": int(r["positives"]), "negatives": int(r["negatives"]), "thresholds": int(r["thresholds"]),
        "auc": float(r["auc"]), "average_precision": float(r["average_precision"]),
        "roc": {"fpr": _floats(r["fpr"]), "tpr": _floats(r["tpr"]), "threshold": _floats(r["roc_threshold"])},
        "pr": {"recall": _floats(r["recall"]), "precision": _floats(r["precision"]),
               "threshold": _floats(r["pr_threshold"])},
    }


def calibration(columns: Columns) -> dict[str, Any]:
    """Rows of each class, mean score and positive rate per bin of [0, 1]."""
    c = columns
    assert c.rule is not None, "a label with classes"
    r = _kernels.calibration(c.label, c.rule, c.value, c.prediction, c.rows, CALIBRATION_BINS, 0.0, 1.0)
    return {
        "edges": _floats(r["edges"]), "negatives": _ints(r["negatives"]), "positives": _ints(r["positives"]),
        "mean_score": _floats(r["mean_score"]), "positive_rate": _floats(r["positive_rate"]),
        "below": _ints(r["below"]), "above": _ints(r["above"]),
    }


def _grid_range(low: float, high: float) -> tuple[float, float]:
    # A single value gets a unit-wide range around it, as np.histogram gives it.
    return (low - 0.5, high + 0.5) if low == high else (low, high)


def regression(sides: Mapping[str, Columns]) -> Optional[dict[str, Any]]:
    """The regression diagnostics of both sides on shared scales: the grid
    over the pooled range of every actual and predicted value, the residuals
    over [-m, m] with m the largest residual magnitude. None when neither
    side has a finite pair."""
    extents = {side: _kernels.regression_extent(c.label, c.prediction, c.rows) for side, c in sides.items()}
    held = [e for e in extents.values() if e["pairs"]]
    if not held:
        return None
    low, high = _grid_range(min(e["low"] for e in held), max(e["high"] for e in held))
    reach = max(max(abs(e["residual_low"]), abs(e["residual_high"])) for e in held)
    residual_low, residual_high = (-0.5, 0.5) if reach == 0 else (-reach, reach)
    out: dict[str, Any] = {}
    for side, c in sides.items():
        r = _kernels.regression_diagnostics(c.label, c.prediction, low, high, residual_low, residual_high, c.rows,
                                            GRID_BINS, RESIDUAL_BINS, QUANTILES)
        out["edges"], out["residual_edges"] = _floats(r["edges"]), _floats(r["residual_edges"])
        out[side] = {
            "pairs": int(r["pairs"]), "nonfinite": int(r["nonfinite"]),
            "density": np.asarray(r["density"]).tolist(), "outside": int(r["outside"]),
            "residuals": _ints(r["residuals"]), "residual_outside": int(r["residual_outside"]),
            "deciles": {key: (_ints(r[key]) if key == "count" else _floats(r[key]))
                        for key in ("count", "low_prediction", "high_prediction", "mean_predicted", "mean_actual",
                                    "mean_absolute_error", "mean_error")},
        }
    return out


def _rows(result: Any) -> list[dict[str, Any]]:
    return [dict(r) for r in nw.from_native(result, eager_only=True).rows(named=True)]


def _group_key(value: Any) -> tuple[str, Any]:
    return (type(value).__name__, value)


def _splits(frame: Any, facet: str, threshold: Optional[float]) -> bool:
    if threshold is None:
        return False
    dtype = nw.from_native(frame, eager_only=True).get_column(facet).dtype
    return bool(dtype.is_numeric() and dtype != nw.Boolean)


def by_facet(reference: Any, current: Any, options: ReportOptions, positive: Any) -> list[dict[str, Any]]:
    """The task's metrics per group of each facet, reference and current. A
    facet whose metrics the package refuses on a side keeps the refusal as
    its note."""
    task = str(options.task)
    names = FAMILY_METRICS[task]
    kwargs: dict[str, Any] = {"task": task, "missing": options.missing}
    if task != "regression":
        kwargs["positive"] = positive
    if task == "logistic" and options.threshold is not None:
        kwargs["prediction_threshold"] = options.threshold
    out: list[dict[str, Any]] = []
    for facet in options.facets:
        call = performance_call(str(options.label), str(options.prediction), facet=facet, **kwargs)
        if _splits(reference, facet, options.facet_threshold):
            assert options.facet_threshold is not None
            call = replace(call, facet_threshold=float(options.facet_threshold), shown=options.facet_threshold)
        sides: dict[str, dict[tuple[str, Any], dict[str, Any]]] = {}
        try:
            for side, frame in zip(SIDES, (reference, current)):
                sides[side] = {_group_key(row[facet]): row for row in _rows(run(performance_plan(call), frame, "data"))}
        except ValueError as exc:
            out.append({"facet": facet, "groups": [], "note": str(exc)})
            continue
        keys = list(sides["reference"]) + [k for k in sides["current"] if k not in sides["reference"]]
        groups = []
        for key in keys:
            entry: dict[str, Any] = {"group": key[1], "label": "(missing)" if key[1] is None else str(key[1])}
            for side in SIDES:
                row = sides[side].get(key)
                entry[side] = None if row is None else {
                    "n": int(row["n"]),
                    "metrics": {m: math.nan if row[m] is None else float(row[m]) for m in names},
                }
            groups.append(entry)
        out.append({"facet": facet, "groups": groups, "note": None})
    return out


def performance_diagnostics(reference: Any, current: Any, options: ReportOptions, positive: Any,
                            performance: Mapping[str, Any]) -> dict[str, Any]:
    """Every diagnostic of the task for both sides (the JSON's numbers behind
    each picture). `performance` is the report's performance entry, whose
    states hold the confusion counts."""
    task = str(options.task)
    missing = "drop" if options.missing == "group" else options.missing
    out: dict[str, Any] = {"task": task}
    if task != "regression":
        out["confusion"] = {side: confusion(task, performance[side]["state"]["counts"]) for side in SIDES}
    if task != "classification":
        columns = {side: read_columns(frame, str(options.label), str(options.prediction), task=task,
                                      positive=positive, missing=missing)
                   for side, frame in zip(SIDES, (reference, current))}
        if task == "logistic":
            out["ranking"] = {side: ranking(c) for side, c in columns.items()}
            out["calibration"] = {side: calibration(c) for side, c in columns.items()}
        else:
            out["regression"] = regression(columns)
    out["facets"] = by_facet(reference, current, options, positive) if options.facets else []
    return out


# ---- the pictures and the HTML ------------------------------------------------------------------

_COLOURS = {"reference": _svg.REFERENCE_COLOUR, "current": _svg.CURRENT_COLOUR}


def _num(value: Any) -> str:
    if isinstance(value, str):
        return value
    return _svg.number(value)


def _edge_labels(edges: Sequence[float], *, upper: bool) -> list[str]:
    """Names of bins over edges: [a, b) with the last bin closed, or with
    `upper`, (a, b] with the first bin closed."""
    n = _svg.number
    last = len(edges) - 2
    if upper:
        return [f"{'[' if j == 0 else '('}{n(edges[j])}, {n(edges[j + 1])}]" for j in range(last + 1)]
    return [f"[{n(edges[j])}, {n(edges[j + 1])}{']' if j == last else ')'}" for j in range(last + 1)]


def _shares(counts: Sequence[int]) -> list[float]:
    total = sum(counts)
    return [c / total if total else 0.0 for c in counts]


def pictures(d: Mapping[str, Any]) -> dict[str, str]:
    """The SVG of each diagnostic, keyed by name."""
    svg: dict[str, str] = {}
    if "ranking" in d:
        r = d["ranking"]
        svg["roc"] = _svg.curves(
            [(f"{side} AUC {_svg.number(r[side]['auc'])}", _COLOURS[side], r[side]["roc"]["fpr"],
              r[side]["roc"]["tpr"]) for side in SIDES],
            title="ROC curve: true positive rate against false positive rate, one point per score threshold",
            x_label="false positive rate", y_label="true positive rate", legend="lower right")
        svg["pr"] = _svg.curves(
            [(f"{side} AP {_svg.number(r[side]['average_precision'])}", _COLOURS[side], r[side]["pr"]["recall"],
              r[side]["pr"]["precision"]) for side in SIDES],
            title="Precision-recall curve, one point per score threshold",
            x_label="recall", y_label="precision", diagonal=False, legend="lower left")
    if "calibration" in d:
        c = d["calibration"]
        svg["calibration"] = _svg.curves(
            [(side, _COLOURS[side], c[side]["mean_score"], c[side]["positive_rate"]) for side in SIDES],
            title="Calibration: share of positives against the mean score of each score bin",
            x_label="mean score of the bin", y_label="share of positives", markers=True)
        labels = _edge_labels(c["reference"]["edges"], upper=True)
        for cls in ("negatives", "positives"):
            svg[f"scores/{cls}"] = _svg.histogram(
                labels, _shares(c["reference"][cls]), _shares(c["current"][cls]),
                title=f"Scores of the actual {cls}: share per score bin", width=420, height=200)
    reg = d.get("regression")
    if reg:
        for side in SIDES:
            svg[f"density/{side}"] = _svg.heatmap(
                reg[side]["density"], reg["edges"], caption=side, title=f"{side}: rows per cell of actual (up) and predicted "
                f"(across) values", x_label="predicted", y_label="actual")
        svg["residuals"] = _svg.histogram(
            _edge_labels(reg["residual_edges"], upper=False), _shares(reg["reference"]["residuals"]),
            _shares(reg["current"]["residuals"]), title="Residuals (actual − predicted): share of rows per bin")
        deciles = [str(q + 1) for q in range(len(reg["reference"]["deciles"]["count"]))]
        for key, text in (("mean_absolute_error", "mean absolute error"), ("mean_error", "mean error")):
            svg[f"deciles/{key}"] = _svg.bars(
                deciles, reg["reference"]["deciles"][key], reg["current"]["deciles"][key],
                title=f"{text} (actual − predicted) by decile of the prediction", x_label="decile of the prediction",
                y_label=text, width=400)
    return svg


def render_html(report: Mapping[str, Any], env: Any) -> str:
    """The Diagnostics part of the performance section (empty without one),
    rendered with the report's Jinja environment."""
    perf = report.get("performance")
    if not perf or "diagnostics" not in perf:
        return ""
    d = perf["diagnostics"]
    text = resources.files("lumetra").joinpath("templates/diagnostics.html").read_text(encoding="utf-8")
    template = env.from_string(text)
    from markupsafe import Markup

    return str(template.render(d=d, svg={k: Markup(v) for k, v in pictures(d).items()}, num=_num,
                               metrics=FAMILY_METRICS[d["task"]], sides=SIDES, points=CURVE_POINTS))
