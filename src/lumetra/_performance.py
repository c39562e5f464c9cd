"""The plan of model performance of a whole frame or of each group of some
columns. A part's state is the kernels' per-group counts and sums: counts
add up exactly, the regression and log-loss sums as partial sums (the
largest absolute error of a regression takes the larger value)."""

from __future__ import annotations

from dataclasses import dataclass
from functools import partial
from typing import Any, Optional

import numpy as np

from . import _kernels
from ._frame import Array, Frame, Kind, empty_of, result_table
from ._groups import Counts, GroupCoding, Groups, Scan, add_counts, code_groups, count_missing, grouping
from ._groups import leave_out, no_groups, refuse_missing, scan, scan_of
from ._intervals import Intervals, with_bounds
from ._outcome import Outcome, OutcomeReading, numeric_column, outcome_reading
from ._plan import Part, Plan, Reduce, Steps
from ._validation import Scalar


@dataclass(frozen=True)
class PerformanceCall:
    """A performance call's validated arguments; `by` is empty for the whole frame."""

    label: str
    prediction: str
    task: str
    positive: Scalar
    decision: float
    by: tuple[str, ...]
    missing: str
    intervals: Optional[Intervals] = None
    states: bool = False  # the result also holds each row's counts, sums and moments
    facet_threshold: Optional[float] = None  # a numeric facet split in two at it (the report's --facet-threshold)
    shown: object = None  # the threshold as the group labels show it


def performance_plan(call: PerformanceCall) -> Plan:
    return Plan(tuple(dict.fromkeys((*call.by, call.label, call.prediction))), partial(_steps, call))


@dataclass(frozen=True)
class _Rows:
    task: str
    coding: GroupCoding
    label: str
    prediction: str
    truth: Optional[OutcomeReading]  # None: a column of numbers
    pred: Optional[OutcomeReading]
    decision: float
    missing: str
    counted: tuple[Scan, ...] = ()


def _column(part: Part, reading: Optional[OutcomeReading], name: str, argument: str) -> Outcome:
    """An outcome column, or a column of numbers as one (no rule)."""
    if reading is not None:
        return reading.read(part)
    values = numeric_column(part, name, argument)
    return Outcome(argument, name, values.array, "", 0, values.missing, "")


def _state(part: Part, rows: _Rows) -> tuple[dict[str, Array], Counts]:
    codes = rows.coding.codes(part)
    columns = [_column(part, rows.truth, rows.label, "label"), _column(part, rows.pred, rows.prediction, "prediction")]
    for column in columns:
        codes = leave_out(codes, column.missing, rows.missing, bool(rows.counted))
    (label, label_rule, label_value), (pred, pred_rule, pred_value) = [
        (c.array, c.rule or None, c.value if c.rule else None) for c in columns
    ]
    state = _kernels.performance_state(
        rows.task, codes, rows.coding.count, label, label_rule, label_value, pred, pred_rule, pred_value,
        rows.decision,
    )
    return state, count_missing(part, rows.counted)


def _merge(a: tuple[dict[str, Array], Counts], b: tuple[dict[str, Array], Counts]) -> tuple[dict[str, Array], Counts]:
    (x, count_a), (y, count_b) = a, b
    sums = x["sums"] + y["sums"]
    if sums.shape[1] == 10:
        sums[:, 2] = np.maximum(x["sums"][:, 2], y["sums"][:, 2])
    return {"counts": x["counts"] + y["counts"], "sums": sums}, add_counts(count_a, count_b)


def _steps(call: PerformanceCall, meta: Frame) -> Steps:
    names = list(call.by)
    spec = grouping(meta, names, "facet", call.facet_threshold, call.shown)
    scans = spec.scans(meta)
    truth: Optional[OutcomeReading] = None
    pred: Optional[OutcomeReading] = None
    if call.task == "regression":
        numeric_column(Part(empty_of(meta)), call.label, "label")
        scans.append(scan_of(meta, call.label, "label", Kind.NUMBER, labels=False))
    else:
        truth = outcome_reading(meta, scans, call.label, "label", positive=call.positive, positive_name="positive")
    if call.task == "classification":
        pred = outcome_reading(meta, scans, call.prediction, "prediction", positive=call.positive,
                               positive_name="positive")
    else:
        numeric_column(Part(empty_of(meta)), call.prediction, "prediction")
        scans.append(scan_of(meta, call.prediction, "prediction", Kind.NUMBER, labels=False))
    scanned = yield from scan(scans)

    facet_checks = spec.checks()
    label_checks = [("label", call.label, False)]
    prediction_checks = [("prediction", call.prediction, False)]
    refuse_missing(facet_checks, call.missing, scanned.missing())
    if names:
        coding, groups = yield from code_groups(meta, spec, call.missing, scanned)
    else:
        coding, groups = no_groups()
    truth = None if truth is None else truth.with_labels(scanned)
    refuse_missing(label_checks, call.missing, scanned.missing())
    pred = None if pred is None else pred.with_labels(scanned)
    refuse_missing(prediction_checks, call.missing, scanned.missing())

    rows = _Rows(call.task, coding, call.label, call.prediction, truth, pred, call.decision, call.missing,
                 scanned.counted)
    state, counts = yield Reduce(_state, (rows,), _merge)
    refuse_missing(facet_checks + label_checks + prediction_checks, call.missing, counts)
    sums = np.ascontiguousarray(state["sums"]).ravel()
    result = _kernels.performance_from_state(call.task, state["counts"], sums)
    if truth is not None:
        cells = state["counts"]
        positives = cells[:, 1] + (cells[:, 3] if call.task == "classification" else 0)
        truth.require_positive(int(positives.sum()))
    moments = np.zeros((coding.count, 0))
    if (call.intervals is not None or call.states) and call.task != "classification":
        # The mean metrics' bounds need the sums of their squared terms: one more pass.
        moments = yield Reduce(_moments, (rows,), np.add)
    if call.intervals is not None:
        bounds = _kernels.performance_intervals(call.task, state["counts"], sums,
                                                np.ascontiguousarray(moments).ravel(), *call.intervals.arguments())
        result = with_bounds(result, bounds, "error")
    chosen = np.flatnonzero(result["n"])
    table = _table(meta, groups, call.task, result)
    if not call.states:
        return table
    return table, {"counts": state["counts"][chosen], "sums": np.asarray(state["sums"])[chosen],
                   "moments": np.asarray(moments)[chosen]}


def _moments(part: Part, rows: _Rows) -> Array:
    codes = rows.coding.codes(part)
    columns = [_column(part, rows.truth, rows.label, "label"), _column(part, rows.pred, rows.prediction, "prediction")]
    for column in columns:
        codes = leave_out(codes, column.missing, rows.missing, bool(rows.counted))
    label, pred = columns
    moments: Array = _kernels.performance_moments(
        rows.task, codes, rows.coding.count, label.array, label.rule or None, label.value if label.rule else None,
        pred.array, rows.decision,
    )
    return moments


def _table(meta: Frame, groups: Groups, task: str, result: dict[str, Any]) -> Any:
    """The table of the groups with rows, from the kernels' per-group metrics."""
    chosen = np.flatnonzero(result["n"])
    if len(chosen) == 0:
        raise ValueError("no rows left to evaluate")
    errors = result.pop("error")
    for g in chosen.tolist():
        if errors[g] is not None:
            raise ValueError(f"{task} metrics of {groups.name_of(g)}: {errors[g]}")
    columns = {key: np.asarray(value)[chosen] for key, value in result.items()}
    return result_table(meta, groups.value_columns(chosen, meta.implementation), columns)
