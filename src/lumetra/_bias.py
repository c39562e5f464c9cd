"""The plans of bias of many groups at once: data bias (before training) and
model bias (after training), one result row per group of the facet.

A part's state is its per-group tallies (2 cells a group for data bias, 4
for model bias), which add up as integers. Model bias needs one more input
that is not a count, the generalized entropy: a single-precision sum in row
order, carried from part to part in order (one pass, two when the benefits
of a comparison add up past 2**24), so that it is the one-process value
whatever the parts."""

from __future__ import annotations

from dataclasses import dataclass
from functools import partial
from typing import Any, Optional

import numpy as np

from . import _kernels
from ._frame import Array, Frame, result_table
from ._groups import Counts, GroupCoding, Groups, Scan, add_counts, code_groups, count_missing, grouping
from ._groups import leave_out, refuse_missing, scan
from ._intervals import Intervals, with_bounds
from ._outcome import Outcome, OutcomeReading, outcome_reading
from ._plan import Chain, Part, Plan, Reduce, Steps
from ._validation import Scalar

REFERENCE_ROW = "the reference group, not compared with itself"

# A comparison whose benefits add up to at most this many has an exact
# single-precision benefit total, and needs no pass to sum them in order.
_EXACT_BENEFITS = 1 << 24


@dataclass(frozen=True)
class BiasCall:
    """A bias call's validated arguments; `prediction` is None for data bias."""

    facets: tuple[str, ...]
    label: str
    prediction: Optional[str]
    positive: Scalar
    label_threshold: Optional[float]
    predicted: Scalar
    predicted_name: str
    prediction_threshold: Optional[float]
    facet_threshold: Optional[float]
    shown: object
    reference: Any
    missing: str
    intervals: Optional[Intervals] = None
    states: bool = False  # the result also holds each row's comparison table


def bias_plan(call: BiasCall) -> Plan:
    """The plan of data bias (no prediction) or model bias."""
    columns = (*call.facets, call.label) + ((call.prediction,) if call.prediction is not None else ())
    return Plan(tuple(dict.fromkeys(columns)), partial(_steps, call))


@dataclass(frozen=True)
class _Rows:
    """How a part's rows become group codes and outcomes, with the rows that
    miss an outcome left out."""

    coding: GroupCoding
    truth: OutcomeReading
    prediction: Optional[OutcomeReading]
    missing: str
    counted: tuple[Scan, ...]

    def read(self, part: Part) -> tuple[Array, Outcome, Optional[Outcome]]:
        return part.cached(self, self._read)  # type: ignore[no-any-return]

    def _read(self, part: Part) -> tuple[Array, Outcome, Optional[Outcome]]:
        counted = bool(self.counted)
        codes = self.coding.codes(part)
        truth = self.truth.read(part)
        codes = leave_out(codes, truth.missing, self.missing, counted)
        pred = None
        if self.prediction is not None:
            pred = self.prediction.read(part)
            codes = leave_out(codes, pred.missing, self.missing, counted)
        return codes, truth, pred


def _tally(part: Part, rows: _Rows) -> tuple[Array, Counts]:
    codes, truth, pred = rows.read(part)
    extra = () if pred is None else (pred.array, pred.rule, pred.value)
    tallies = _kernels.tally(codes, rows.coding.count, truth.array, truth.rule, truth.value, *extra)
    return tallies, count_missing(part, rows.counted)


def _add(a: tuple[Array, Counts], b: tuple[Array, Counts]) -> tuple[Array, Counts]:
    return a[0] + b[0], add_counts(a[1], b[1])


def _entropy_step(part: Part, rows: _Rows, reference: Optional[int], terms: Array, sums: Array) -> Array:
    codes, truth, pred = rows.read(part)
    assert pred is not None
    return _kernels.entropy_sums(
        codes, rows.coding.count, truth.array, truth.rule, truth.value, pred.array, pred.rule, pred.value,
        reference, terms, sums,
    )


def _steps(call: BiasCall, meta: Frame) -> Steps:
    # Errors the dtypes decide come first, then those of the data in the
    # order they are met: the facet's missing values, the outcomes' labels,
    # then their missing values.
    spec = grouping(meta, call.facets, "facet", call.facet_threshold, call.shown)
    scans = spec.scans(meta)
    truth = outcome_reading(
        meta, scans, call.label, "label", positive=call.positive, positive_name="positive",
        threshold=call.label_threshold, threshold_name="label_threshold",
    )
    pred: Optional[OutcomeReading] = None
    if call.prediction is not None:
        pred = outcome_reading(
            meta, scans, call.prediction, "prediction", positive=call.predicted, positive_name=call.predicted_name,
            threshold=call.prediction_threshold, threshold_name="prediction_threshold",
        )
    scanned = yield from scan(scans)
    facet_checks = spec.checks()
    outcome_checks = [(r.argument, r.name, False) for r in (truth, pred) if r is not None]
    refuse_missing(facet_checks, call.missing, scanned.missing())
    coding, groups = yield from code_groups(meta, spec, call.missing, scanned)
    truth = truth.with_labels(scanned)
    pred = None if pred is None else pred.with_labels(scanned)
    refuse_missing(outcome_checks, call.missing, scanned.missing())

    rows = _Rows(coding, truth, pred, call.missing, scanned.counted)
    tallies, counts = yield Reduce(_tally, (rows,), _add)
    refuse_missing(facet_checks + outcome_checks, call.missing, counts)
    if pred is None:
        truth.require_positive(int(tallies[:, 1].sum()))
        chosen = _compared_groups(groups, tallies)
        ref = None if call.reference is None else groups.code_of(chosen, call.reference, "reference")
        return _table(meta, groups, chosen, ref, _kernels.bias(tallies[chosen], ref), tallies, call)
    truth.require_positive(int(tallies[:, 1].sum() + tallies[:, 3].sum()))
    pred.require_positive(int(tallies[:, 2].sum() + tallies[:, 3].sum()))
    chosen = _compared_groups(groups, tallies)
    ref = None if call.reference is None else groups.code_of(chosen, call.reference, "reference")
    entropy = yield from _entropy(rows, tallies, None if ref is None else int(chosen[ref]))
    return _table(meta, groups, chosen, ref, _kernels.bias(tallies[chosen], ref, entropy[chosen]), tallies, call)


def _entropy(rows: _Rows, tallies: Array, reference: Optional[int]) -> Steps:
    """Each group's generalized entropy (NaN without rows): against all other
    rows, or against the reference group."""
    n_rows = tallies.sum(axis=1)
    benefits = tallies[:, 3] + 2 * (tallies[:, 0] + tallies[:, 2])
    if reference is None:
        n, totals = np.array([n_rows.sum()], dtype=np.uint64), np.array([benefits.sum()], dtype=np.uint64)
    else:
        n, totals = n_rows + n_rows[reference], benefits + benefits[reference]
        n[reference], totals[reference] = n_rows[reference], benefits[reference]
    comparisons = len(n)
    if ((totals > _EXACT_BENEFITS) & (n > 0)).any():
        counting = np.tile(np.array([0.0, 1.0, 2.0], dtype=np.float32), comparisons)
        s = yield Chain(_entropy_step, (rows, reference, counting), np.zeros(comparisons, dtype=np.float32))
    else:
        s = totals.astype(np.float32)  # exact: every partial sum is an integer below 2**24
    terms = _kernels.entropy_terms(s, n.astype(np.uint64))
    sums = yield Chain(_entropy_step, (rows, reference, terms), np.zeros(comparisons, dtype=np.float32))
    out = np.full(len(n_rows), np.nan, dtype=np.float32)
    has_rows = n_rows > 0
    out[has_rows] = sums[0] if reference is None else sums[has_rows]
    return out


def _table(meta: Frame, groups: Groups, chosen: Array, reference: Optional[int], result: dict[str, Any],
           tallies: Array, call: BiasCall) -> Any:
    if reference is not None:
        result["error"][reference] = REFERENCE_ROW
    if call.intervals is not None:
        bounds = _kernels.bias_intervals(tallies[chosen], reference, *call.intervals.arguments())
        result = with_bounds(result, bounds, "error")
    table = result_table(meta, groups.value_columns(chosen, meta.implementation), result)
    if not call.states:
        return table
    return table, {"tables": comparison_tables(tallies[chosen], reference)}


def comparison_tables(tallies: Array, reference: Optional[int]) -> Array:
    """Each group's comparison: its own cells, then those of its other side
    (the reference group's, or every other row's), as the metrics read them."""
    other = tallies.sum(axis=0) - tallies if reference is None else np.broadcast_to(tallies[reference], tallies.shape)
    if reference is not None:
        other = other.copy()
        other[reference] = 0  # the reference is compared with nothing
    return np.ascontiguousarray(np.concatenate([tallies, other], axis=1), dtype=np.uint64)


def _compared_groups(groups: Groups, tallies: Array) -> Array:
    """The groups with rows; at least two are needed for a comparison."""
    chosen = np.flatnonzero(tallies.sum(axis=1))
    if len(chosen) < 2:
        facet = ", ".join(repr(c) for c in groups.columns)
        if len(chosen) == 0:
            raise ValueError(f"facet {facet} has no rows left to compare")
        (value,) = zip(*groups.values(chosen))
        shown = value[0] if len(value) == 1 else value
        raise ValueError(f"facet {facet} has one group only ({shown!r}); bias needs at least two groups")
    return chosen
