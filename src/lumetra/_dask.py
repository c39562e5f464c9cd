"""Dask DataFrames in, the same tables out. Each partition is reduced on its
worker to a small state that merges exactly (group tallies, performance
counts and sums, bin counts against a baseline), the states are combined in
a tree, and the client finishes the table from the merged state with the
kernels one process uses. No partition comes to the client.

A call makes a few passes over the partitions, each one graph run by the
active Dask scheduler (a distributed Client when one is set up):

- a scan, when group values or text labels must be known before every
  partition can code its rows alike, or a column may miss values: the
  distinct values and the number of missing values of those columns;
- the states of the partitions, merged in a tree;
- for model bias only, the generalized entropy: a single-precision sum in
  row order that no merge of partial sums reproduces, carried from partition
  to partition in order instead (one pass, two when the benefits of a
  comparison add up past 2**24), so that it equals the one-process value.

Errors that the columns' dtypes decide (an unknown column, a dtype that is
not supported, an impossible threshold) are raised before any partition is
read; errors that the data decides follow in the order one process raises
them. The result is a pandas frame (the library of Dask's partitions)."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from dataclasses import dataclass, replace
from functools import partial
from typing import Any, Optional, TypeVar

import narwhals as nw
import numpy as np

from . import _kernels
from ._bias import data_bias_table, model_bias_table
from ._drift import _kept_rows, _sample, drift_table, paired_columns
from ._frame import Array, Coded, Frame, Kind, Series, drop_rows, get_column, kind_of, missing_error
from ._frame import label_text, read_codes, read_frame, read_values
from ._groups import _DENSE_COMBINATIONS, Groups
from ._outcome import Outcome, equal_described, numeric_column, read_outcome, text_positive
from ._performance import performance_table
from ._validation import Scalar

S = TypeVar("S")

# States merged per task of the tree (as Dask's own reductions do).
SPLIT_EVERY = 8

# A comparison whose benefits add up to at most this many has an exact
# single-precision benefit total, and needs no pass to sum them in order.
_EXACT_BENEFITS = 1 << 24

CHANGED = (
    "the Dask frame gave different data on two passes over its partitions (a graph that is not "
    "deterministic, such as random values without a seed); persist it first"
)


# ---- graphs -------------------------------------------------------------------------------


def _dask() -> Any:
    import dask

    return dask


def _frame_of(part: Any) -> Frame:
    return nw.from_native(part, eager_only=True)


def _merge_all(merge: Callable[[S, S], S], *states: S) -> S:
    out = states[0]
    for state in states[1:]:
        out = merge(out, state)
    return out


def _tree(states: list[Any], merge: Callable[[Any, Any], Any]) -> Any:
    """The merged state of every partition, merged in partition order by a
    tree of tasks (SPLIT_EVERY states each)."""
    dask = _dask()
    level = states
    while len(level) > 1:
        level = [
            dask.delayed(_merge_all, pure=True)(merge, *level[i : i + SPLIT_EVERY])
            for i in range(0, len(level), SPLIT_EVERY)
        ]
    return level[0]


def _chain(parts: list[Any], step: Callable[..., Any], plan: Any, start: Any, *args: Any) -> Any:
    """step(partition, plan, *args, state) over the partitions in order, each
    task starting from the state the one before it returned."""
    dask = _dask()
    shared = dask.delayed(plan)
    state = start
    for part in parts:
        state = dask.delayed(step, pure=True)(part, shared, *args, state)
    return state


def _per_partition(fn: Callable[..., Any], parts: list[Any], plan: Any, *args: Any) -> list[Any]:
    """fn(partition, plan, *args) for every partition; the plan is one object
    of the graph, shipped once to each worker that needs it."""
    dask = _dask()
    shared = dask.delayed(plan)
    return [dask.delayed(fn, pure=True)(part, shared, *args) for part in parts]


def _compute(value: Any) -> Any:
    return _dask().compute(value)[0]


def _partitions(ddf: Any, names: Sequence[str]) -> list[Any]:
    """The partitions of the columns `names` (in the order first named), as delayed pandas frames."""
    return list(ddf[list(dict.fromkeys(names))].to_delayed())


def _meta(ddf: Any) -> Frame:
    """The empty frame that holds the Dask frame's columns and dtypes."""
    return nw.from_native(ddf._meta, eager_only=True)


def _may_miss(series: Series) -> bool:
    """Whether a column of this dtype can hold a missing value (NumPy integer
    and boolean columns cannot)."""
    dtype = series.to_native().dtype
    return not (isinstance(dtype, np.dtype) and dtype.kind in "biu")


# ---- scan: distinct values and missing counts ---------------------------------------------

Counts = dict[str, int]  # missing values of each column counted


@dataclass(frozen=True)
class _Scan:
    """What a call learns of one column before coding rows: `values` is
    "numbers" (sorted distinct values), "texts" (distinct labels),
    "categories" (declared categories, in partition order) or "none" (its
    missing values only)."""

    name: str
    argument: str
    kind: Kind
    values: str


def _missing_count(series: Series, kind: Kind, argument: str) -> int:
    if kind is Kind.TEXT:
        return int(series.null_count())
    return read_values(series, argument).missing_count()


def _count_missing(frame: Frame, scans: tuple[_Scan, ...]) -> Counts:
    return {scan.name: _missing_count(frame.get_column(scan.name), scan.kind, scan.argument) for scan in scans}


def _scan_partition(part: Any, scans: tuple[_Scan, ...]) -> dict[str, tuple[int, Any]]:
    frame = _frame_of(part)
    out: dict[str, tuple[int, Any]] = {}
    for scan in scans:
        series = frame.get_column(scan.name)
        if scan.values == "numbers":
            values = read_values(series, scan.argument)
            kept = values.array if values.missing is None else values.array[~values.missing]
            out[scan.name] = (values.missing_count(), np.unique(kept))
        elif scan.values == "texts":
            coded = read_codes(series, scan.kind, scan.argument)
            missing = coded.missing()
            out[scan.name] = (0 if missing is None else int(np.count_nonzero(missing)), list(coded.labels))
        elif scan.values == "categories":
            native = series.to_native()
            out[scan.name] = (int(native.isna().sum()), list(native.cat.categories))
        else:
            out[scan.name] = (_missing_count(series, scan.kind, scan.argument), None)
    return out


def _merge_scans(a: dict[str, tuple[int, Any]], b: dict[str, tuple[int, Any]]) -> dict[str, tuple[int, Any]]:
    out: dict[str, tuple[int, Any]] = {}
    for name, (missing_a, values_a) in a.items():
        missing_b, values_b = b[name]
        values: Any = None
        if isinstance(values_a, np.ndarray):
            values = np.union1d(values_a, values_b)
        elif values_a is not None:
            values = list(dict.fromkeys([*values_a, *values_b]))  # first seen first
        out[name] = (missing_a + missing_b, values)
    return out


@dataclass
class _Scanned:
    """What the scan found: each column's distinct values, and its missing
    values unless they are counted alongside the states (`counted`), which
    is when no column needs its values: the scan is then left out."""

    values: dict[str, Any]
    missing: Optional[Counts]
    counted: tuple[_Scan, ...]
    may_miss: frozenset[str]

    def count(self, name: str) -> Optional[int]:
        """Missing values of a column, None while they are not counted yet."""
        return None if self.missing is None else self.missing.get(name, 0)


def _scan(parts: list[Any], scans: list[Optional[_Scan]]) -> _Scanned:
    unique = tuple({scan.name: scan for scan in scans if scan is not None}.values())
    may_miss = frozenset(scan.name for scan in unique)
    if not any(scan.values != "none" for scan in unique):
        return _Scanned({}, None, unique, may_miss)
    result: dict[str, tuple[int, Any]] = _compute(_tree(_per_partition(_scan_partition, parts, unique), _merge_scans))
    return _Scanned({k: v for k, (_, v) in result.items()}, {k: m for k, (m, _) in result.items()}, (), may_miss)


def _scan_of(meta: Frame, ddf: Any, name: str, argument: str, kind: Kind, labels: bool) -> Optional[_Scan]:
    """The scan a column needs: its labels when `labels` and its dtype does not
    declare them, its missing count when its dtype can miss values."""
    series = get_column(meta, name, argument)
    if labels:
        if kind is Kind.NUMBER:
            return _Scan(name, argument, kind, "numbers")
        if kind is Kind.TEXT:
            if _declared_categories(ddf, name) is not None:
                return _Scan(name, argument, kind, "none")
            categorical = _is_categorical(series)
            return _Scan(name, argument, kind, "categories" if categorical else "texts")
    if _may_miss(series):
        return _Scan(name, argument, kind, "none")
    return None


def _is_categorical(series: Series) -> bool:
    import pandas as pd

    return isinstance(series.to_native().dtype, pd.CategoricalDtype)


def _declared_categories(ddf: Any, name: str) -> Optional[list[Any]]:
    """The categories of a categorical column whose categories Dask knows."""
    import pandas as pd

    dtype = ddf._meta[name].dtype
    if isinstance(dtype, pd.CategoricalDtype) and ddf[name].cat.known:
        return list(dtype.categories)
    return None


def _labels_of(ddf: Any, name: str, kind: Kind, scanned: Any) -> list[Any]:
    """A column's labels in the order one process gives its groups."""
    if kind is Kind.BOOLEAN:
        return [False, True]
    if kind is Kind.NUMBER:
        return list(scanned.tolist())
    declared = _declared_categories(ddf, name)
    if declared is not None:
        return declared
    if _is_categorical(_meta(ddf).get_column(name)):
        return list(scanned)
    return sorted(scanned)


def _refuse_missing(checks: Sequence[tuple[str, str, bool]], missing: str, counts: Counts) -> None:
    """The refusals of missing values, in order: (argument, column, whether
    it is a group column, whose missing values may form a group)."""
    for argument, name, group in checks:
        count = counts.get(name, 0)
        if count and (missing == "raise" or (not group and missing != "drop")):
            raise missing_error(argument, name, count, group=group)


# ---- coding rows alike in every partition -----------------------------------------------


def _codes_against(series: Series, kind: Kind, labels: list[Any], argument: str) -> Coded:
    """The column as codes of the given labels (-1 where a value is missing)."""
    if kind is Kind.BOOLEAN:
        return read_codes(series, kind, argument)
    if kind is Kind.NUMBER:
        values = read_values(series, argument)
        table = np.asarray(labels, dtype=values.array.dtype)
        codes = np.searchsorted(table, values.array).astype(np.int64)
        found = codes < len(table)
        found[found] = table[codes[found]] == values.array[found]
        absent = values.missing
        if not (found if absent is None else found | absent).all():
            raise RuntimeError(CHANGED)
        if absent is not None:
            codes[absent] = -1
        return Coded(codes, labels)
    import pandas as pd

    native = series.to_native()
    if isinstance(native.dtype, pd.CategoricalDtype) and native.cat.categories.tolist() == labels:
        # Its own codes (-1 where missing), as one process reads a categorical.
        return Coded(np.asarray(native.array.codes), labels)
    absent = np.asarray(native.isna())
    text = pd.Categorical(native, categories=pd.Index(labels, dtype=object))
    codes = np.asarray(text.codes, dtype=np.int64)
    if ((codes < 0) & ~absent).any():
        raise RuntimeError(CHANGED)
    return Coded(codes, labels)


@dataclass(frozen=True)
class _GroupColumn:
    name: str
    argument: str
    kind: Kind
    labels: list[Any]
    missing_group: bool  # missing values form a group of their own, after the labels

    def values(self) -> list[Any]:
        """The group values, a missing value (None) last when it is one."""
        return self.labels + [None] if self.missing_group else list(self.labels)


@dataclass(frozen=True)
class _GroupPlan:
    """How a partition's rows become group codes: the columns' labels, or a
    threshold, and the combinations present when they are renumbered."""

    columns: tuple[_GroupColumn, ...] = ()
    threshold: Optional[tuple[str, float, bool]] = None  # name, threshold, missing values as a group
    present: Optional[Array] = None
    count: int = 1


def _radix(plan: _GroupPlan) -> list[int]:
    return [max(len(column.values()), 1) for column in plan.columns]


def _combined_codes(frame: Frame, plan: _GroupPlan) -> Array:
    """Each row's combination of label codes (mixed radix), -1 for a row left out."""
    if plan.threshold is not None:
        name, threshold, as_group = plan.threshold
        values = read_values(frame.get_column(name), "facet")
        codes: Array = np.where(values.array >= threshold, np.int8(0), np.int8(1))
        if values.missing is not None:
            codes[values.missing] = 2 if as_group else -1
        return codes
    if not plan.columns:
        return np.zeros(len(frame), dtype=np.int8)
    combined: Optional[Array] = None
    for column, k in zip(plan.columns, _radix(plan)):
        coded = _codes_against(frame.get_column(column.name), column.kind, column.labels, column.argument)
        codes = coded.codes
        absent = coded.missing()
        if absent is not None and column.missing_group:
            codes = np.where(absent, len(column.labels), codes)
        if combined is None:
            combined = codes if len(plan.columns) == 1 else codes.astype(np.int64)
            continue
        left_out = (combined < 0) | (codes < 0)
        combined = combined * k + codes
        combined[left_out] = -1
    assert combined is not None
    return combined


def _group_codes(frame: Frame, plan: _GroupPlan) -> Array:
    codes = _combined_codes(frame, plan)
    if plan.present is None:
        return codes
    kept = codes >= 0
    renumbered = np.full(codes.shape, -1, dtype=np.int64)
    renumbered[kept] = np.searchsorted(plan.present, codes[kept])
    return renumbered


def _present_partition(part: Any, plan: _GroupPlan) -> Array:
    codes = _combined_codes(_frame_of(part), plan)
    present: Array = np.unique(codes[codes >= 0])  # typed: NumPy 1.x's stubs give unique no type
    return present


def _as_group(name: str, missing: str, scanned: _Scanned) -> bool:
    """Whether a group column's missing values form a group: they do under
    'group' when there are any (while they are not counted yet, whenever the
    column can miss values; a group without rows never reaches the table)."""
    count = scanned.count(name)
    return missing == "group" and (bool(count) if count is not None else name in scanned.may_miss)


def _plan_groups(
    ddf: Any, meta: Frame, parts: list[Any], names: Sequence[str], argument: str, missing: str, scanned: _Scanned
) -> tuple[_GroupPlan, Groups]:
    """The plan that codes every partition's rows alike, and the client's view
    of the groups (their values), as column_groups gives them in one process."""
    columns = tuple(
        _GroupColumn(name, argument, kind, _labels_of(ddf, name, kind, scanned.values.get(name)),
                     _as_group(name, missing, scanned))
        for name, kind in ((name, kind_of(meta.get_column(name), argument)) for name in names)
    )
    plan = _GroupPlan(columns)
    radix = _radix(plan)
    total = int(np.prod(radix, dtype=object))
    if total > _DENSE_COMBINATIONS:
        if total >= 1 << 62:
            raise ValueError(f"{argument} columns {list(names)} have too many combinations of values to group")
        present = _compute(_tree(_per_partition(_present_partition, parts, plan), np.union1d)).astype(np.int64)
        plan = replace(plan, present=present, count=len(present))
        combined = present
    else:
        plan = replace(plan, count=total)
        combined = np.arange(total, dtype=np.int64)
    digits = np.empty((len(combined), len(radix)), dtype=np.int64)
    rest = combined.copy()
    for i in range(len(radix) - 1, -1, -1):
        digits[:, i] = rest % radix[i]
        rest //= radix[i]
    likes: list[Optional[Series]] = [_like(ddf, meta, column) for column in columns]
    groups = Groups(list(names), likes, np.empty(0, dtype=np.int64), plan.count, digits,
                    [column.values() for column in columns])
    return plan, groups


def _like(ddf: Any, meta: Frame, column: _GroupColumn) -> Series:
    """The column whose dtype the result's group values take: the frame's own,
    but with the gathered categories when Dask does not know them."""
    series = meta.get_column(column.name)
    if not _is_categorical(series) or _declared_categories(ddf, column.name) is not None:
        return series
    import pandas as pd

    dtype = pd.CategoricalDtype(column.labels, ordered=series.to_native().dtype.ordered)
    return nw.from_native(pd.Series([], dtype=dtype, name=column.name), series_only=True)


def _plan_threshold(name: str, threshold: float, shown: object, missing: str, scanned: _Scanned
                    ) -> tuple[_GroupPlan, Groups]:
    """The two groups of a numeric facet split at a threshold, as threshold_groups has them."""
    labels: list[Any] = [f">= {shown}", f"< {shown}"]
    count = scanned.count(name)
    if count or (count is None and name in scanned.may_miss):
        labels.append(None)
    plan = _GroupPlan(threshold=(name, threshold, missing == "group"), count=len(labels))
    parts = np.arange(len(labels), dtype=np.int64)[:, None]
    return plan, Groups([name], [None], np.empty(0, dtype=np.int8), len(labels), parts, [labels])


# ---- outcomes -----------------------------------------------------------------------------


@dataclass(frozen=True)
class _OutcomeReading:
    """An outcome column as every partition reads it: numbers by read_outcome's
    rule for their dtype, text by the index of the positive label."""

    name: str
    argument: str
    positive: Scalar
    positive_name: str
    threshold: Optional[float]
    threshold_name: str
    labels: Optional[list[Any]] = None  # text columns
    index: int = -1

    def read(self, frame: Frame) -> Outcome:
        if self.labels is None:
            return read_outcome(
                frame, self.name, self.argument, positive=self.positive, positive_name=self.positive_name,
                threshold=self.threshold, threshold_name=self.threshold_name,
            )
        coded = _codes_against(frame.get_column(self.name), Kind.TEXT, self.labels, self.argument)
        return Outcome(self.argument, self.name, coded.codes, "==", self.index, coded.missing(), self.described())

    def described(self) -> str:
        return equal_described(self.positive_name, self.positive)

    def text(self, meta: Frame) -> bool:
        """Whether its positive rows are those of a text label (found by the scan)."""
        return self.threshold is None and kind_of(meta.get_column(self.name), self.argument) is Kind.TEXT

    def on_client(self, meta: Frame) -> Outcome:
        """The outcome read from the empty frame: its rule and messages (the
        refusals its dtype decides are raised here)."""
        if self.labels is not None:
            return Outcome(self.argument, self.name, np.empty(0, np.int64), "==", self.index, None, self.described())
        return self.read(meta)


def _outcome(
    ddf: Any, meta: Frame, scans: list[Optional[_Scan]], name: str, argument: str, *, positive: Scalar,
    positive_name: str, threshold: Optional[float] = None, threshold_name: str = "",
) -> _OutcomeReading:
    """How an outcome column is read, with read_outcome's refusals by dtype
    raised, and the scan it needs added to `scans`."""
    reading = _OutcomeReading(name, argument, positive, positive_name, threshold, threshold_name)
    kind = kind_of(get_column(meta, name, argument), argument)
    if not reading.text(meta):
        reading.on_client(meta)  # raises what the dtype decides
    scans.append(_scan_of(meta, ddf, name, argument, kind, labels=reading.text(meta)))
    return reading


def _settle_text(ddf: Any, reading: _OutcomeReading, meta: Frame, scanned: _Scanned) -> _OutcomeReading:
    """A text outcome's labels and the index of its positive label, or the
    refusal of a column without it (as read_outcome has it)."""
    if not reading.text(meta):
        return reading
    labels = _labels_of(ddf, reading.name, Kind.TEXT, scanned.values.get(reading.name))
    index = text_positive(labels, reading.positive)
    if index is None:
        raise Outcome(reading.argument, reading.name, np.empty(0), "==", -1, None, reading.described()).no_positive()
    return replace(reading, labels=labels, index=index)


def _drop_missing(codes: Array, absent: Optional[Array], missing: str, counted: bool) -> Array:
    """The rows of a partition without a value left out: under 'drop', or
    while they are counted (the client refuses them after the pass);
    otherwise the scan has refused any."""
    if absent is None or not absent.any():
        return codes
    if missing != "drop" and not counted:
        raise RuntimeError(CHANGED)
    return drop_rows(codes, absent)


def _with_counts(merge: Callable[[S, S], S], a: tuple[S, Counts], b: tuple[S, Counts]) -> tuple[S, Counts]:
    """Merges two states that carry missing counts."""
    return merge(a[0], b[0]), {name: a[1][name] + b[1][name] for name in a[1]}


def _states(parts: list[Any], fn: Callable[..., Any], plan: Any, merge: Callable[[Any, Any], Any]) -> Any:
    """The merged state of every partition and the missing counts that came with it."""
    return _compute(_tree(_per_partition(fn, parts, plan), partial(_with_counts, merge)))


# ---- bias ---------------------------------------------------------------------------------


@dataclass(frozen=True)
class _BiasPlan:
    groups: _GroupPlan
    truth: _OutcomeReading
    prediction: Optional[_OutcomeReading]
    missing: str
    counted: tuple[_Scan, ...]


def _bias_rows(part: Any, plan: _BiasPlan) -> tuple[Array, Outcome, Optional[Outcome], Counts]:
    frame = _frame_of(part)
    counted = bool(plan.counted)
    codes = _group_codes(frame, plan.groups)
    truth = plan.truth.read(frame)
    codes = _drop_missing(codes, truth.missing, plan.missing, counted)
    pred = None
    if plan.prediction is not None:
        pred = plan.prediction.read(frame)
        codes = _drop_missing(codes, pred.missing, plan.missing, counted)
    return codes, truth, pred, _count_missing(frame, plan.counted)


def _bias_tally(part: Any, plan: _BiasPlan) -> tuple[Array, Counts]:
    codes, truth, pred, counts = _bias_rows(part, plan)
    if pred is None:
        return _kernels.tally(codes, plan.groups.count, truth.array, truth.rule, truth.value), counts
    tallies = _kernels.tally(
        codes, plan.groups.count, truth.array, truth.rule, truth.value, pred.array, pred.rule, pred.value
    )
    return tallies, counts


def _entropy_step(part: Any, plan: _BiasPlan, reference: Optional[int], terms: Array, sums: Array) -> Array:
    codes, truth, pred, _ = _bias_rows(part, plan)
    assert pred is not None
    return _kernels.entropy_sums(
        codes, plan.groups.count, truth.array, truth.rule, truth.value, pred.array, pred.rule, pred.value,
        reference, terms, sums,
    )


def _add(a: Array, b: Array) -> Array:
    return a + b


@dataclass
class _Bias:
    """One bias call on a Dask frame, through its tallies."""

    meta: Frame
    plan: _BiasPlan
    groups: Groups
    truth: Outcome
    prediction: Optional[Outcome]
    parts: list[Any]
    tallies: Array


def _bias(
    ddf: Any, facets: list[str], label: str, prediction: Optional[str], *, positive: Scalar,
    label_threshold: Optional[float], predicted: Scalar, predicted_name: str,
    prediction_threshold: Optional[float], threshold: Optional[float], shown: object, missing: str,
) -> _Bias:
    meta = _meta(ddf)
    if threshold is not None and len(facets) != 1:
        raise ValueError(f"facet_threshold needs a single facet column; got {facets}")
    scans: list[Optional[_Scan]] = []
    for name in facets:
        series = get_column(meta, name, "facet")
        kind = kind_of(series, "facet")
        if threshold is not None and kind is not Kind.NUMBER:
            raise ValueError(f"facet_threshold needs a numeric facet column; {name!r} has dtype {series.dtype}")
        scans.append(_scan_of(meta, ddf, name, "facet", kind, labels=threshold is None))
    truth = _outcome(
        ddf, meta, scans, label, "label", positive=positive, positive_name="positive",
        threshold=label_threshold, threshold_name="label_threshold",
    )
    pred: Optional[_OutcomeReading] = None
    if prediction is not None:
        pred = _outcome(
            ddf, meta, scans, prediction, "prediction", positive=predicted, positive_name=predicted_name,
            threshold=prediction_threshold, threshold_name="prediction_threshold",
        )
    parts = _partitions(ddf, list(facets) + [label] + ([prediction] if prediction is not None else []))
    scanned = _scan(parts, scans)

    # Data errors in the order one process meets them: the facet's missing
    # values, the outcomes' labels, then their missing values.
    facet_checks = [("facet", name, True) for name in facets]
    outcome_checks = [(reading.argument, reading.name, False) for reading in (truth, pred) if reading is not None]
    if scanned.missing is not None:
        _refuse_missing(facet_checks, missing, scanned.missing)
    if threshold is None:
        group_plan, groups = _plan_groups(ddf, meta, parts, facets, "facet", missing, scanned)
    else:
        group_plan, groups = _plan_threshold(facets[0], threshold, shown, missing, scanned)
    truth = _settle_text(ddf, truth, meta, scanned)
    pred = None if pred is None else _settle_text(ddf, pred, meta, scanned)
    if scanned.missing is not None:
        _refuse_missing(outcome_checks, missing, scanned.missing)

    plan = _BiasPlan(group_plan, truth, pred, missing, scanned.counted)
    tallies, counts = _states(parts, _bias_tally, plan, _add)
    _refuse_missing(facet_checks + outcome_checks, missing, counts)
    return _Bias(meta, plan, groups, truth.on_client(meta), None if pred is None else pred.on_client(meta), parts,
                 tallies)


def data_bias(
    ddf: Any, facets: list[str], label: str, *, positive: Scalar, label_threshold: Optional[float],
    threshold: Optional[float], shown: object, reference: Any, missing: str,
) -> Any:
    """lumetra.data_bias of a Dask frame."""
    bias = _bias(
        ddf, facets, label, None, positive=positive, label_threshold=label_threshold, predicted=positive,
        predicted_name="positive", prediction_threshold=None, threshold=threshold, shown=shown, missing=missing,
    )
    return data_bias_table(bias.meta, bias.groups, bias.truth, bias.tallies, reference)


def model_bias(
    ddf: Any, facets: list[str], label: str, prediction: str, *, positive: Scalar,
    label_threshold: Optional[float], predicted: Scalar, predicted_name: str,
    prediction_threshold: Optional[float], threshold: Optional[float], shown: object, reference: Any,
    missing: str,
) -> Any:
    """lumetra.model_bias of a Dask frame."""
    bias = _bias(
        ddf, facets, label, prediction, positive=positive, label_threshold=label_threshold, predicted=predicted,
        predicted_name=predicted_name, prediction_threshold=prediction_threshold, threshold=threshold,
        shown=shown, missing=missing,
    )
    assert bias.prediction is not None
    return model_bias_table(
        bias.meta, bias.groups, bias.truth, bias.prediction, bias.tallies, reference,
        lambda code: _entropy(bias, code),
    )


def _entropy(bias: _Bias, reference: Optional[int]) -> Array:
    """Each group's generalized entropy (NaN without rows), as
    _kernels.generalized_entropy gives it for all rows in one process."""
    tallies = bias.tallies
    rows = tallies.sum(axis=1)
    benefits = tallies[:, 3] + 2 * (tallies[:, 0] + tallies[:, 2])
    if reference is None:
        n, totals = np.array([rows.sum()], dtype=np.uint64), np.array([benefits.sum()], dtype=np.uint64)
    else:
        n, totals = rows + rows[reference], benefits + benefits[reference]
        n[reference], totals[reference] = rows[reference], benefits[reference]
    comparisons = len(n)
    dask = _dask()
    if ((totals > _EXACT_BENEFITS) & (n > 0)).any():
        counting = np.tile(np.array([0.0, 1.0, 2.0], dtype=np.float32), comparisons)
        start = dask.delayed(np.zeros(comparisons, dtype=np.float32))
        s = _compute(_chain(bias.parts, _entropy_step, bias.plan, start, reference, counting))
    else:
        s = totals.astype(np.float32)  # exact: every partial sum is an integer below 2**24
    terms = _kernels.entropy_terms(s, n.astype(np.uint64))
    start = dask.delayed(np.zeros(comparisons, dtype=np.float32))
    sums = _compute(_chain(bias.parts, _entropy_step, bias.plan, start, reference, terms))
    out = np.full(len(rows), np.nan, dtype=np.float32)
    has_rows = rows > 0
    out[has_rows] = sums[0] if reference is None else sums[has_rows]
    return out


# ---- performance --------------------------------------------------------------------------


@dataclass(frozen=True)
class _PerformancePlan:
    task: str
    groups: _GroupPlan
    label: str
    prediction: str
    truth: Optional[_OutcomeReading]
    pred: Optional[_OutcomeReading]
    decision: float
    missing: str
    counted: tuple[_Scan, ...] = ()


def _performance_column(frame: Frame, reading: Optional[_OutcomeReading], name: str, argument: str) -> Outcome:
    """An outcome column, or a column of numbers as one (no rule)."""
    if reading is not None:
        return reading.read(frame)
    values = numeric_column(frame, name, argument)
    return Outcome(argument, name, values.array, "", 0, values.missing, "")


def _performance_state(part: Any, plan: _PerformancePlan) -> tuple[dict[str, Array], Counts]:
    frame = _frame_of(part)
    codes = _group_codes(frame, plan.groups)
    columns = [
        _performance_column(frame, plan.truth, plan.label, "label"),
        _performance_column(frame, plan.pred, plan.prediction, "prediction"),
    ]
    for column in columns:
        codes = _drop_missing(codes, column.missing, plan.missing, bool(plan.counted))
    (label, label_rule, label_value), (pred, pred_rule, pred_value) = [
        (c.array, c.rule or None, c.value if c.rule else None) for c in columns
    ]
    state = _kernels.performance_state(
        plan.task, codes, plan.groups.count, label, label_rule, label_value, pred, pred_rule, pred_value,
        plan.decision,
    )
    return state, _count_missing(frame, plan.counted)


def _merge_performance(a: dict[str, Array], b: dict[str, Array]) -> dict[str, Array]:
    """Counts add; sums add as partial sums, the largest absolute error of a
    regression (its third sum) takes the larger value."""
    sums = a["sums"] + b["sums"]
    if sums.shape[1] == 10:
        sums[:, 2] = np.maximum(a["sums"][:, 2], b["sums"][:, 2])
    return {"counts": a["counts"] + b["counts"], "sums": sums}


def performance(
    ddf: Any, label: str, prediction: str, *, task: str, positive: Scalar, decision: float,
    by: Optional[list[str]], missing: str,
) -> Any:
    """lumetra.performance of a Dask frame."""
    meta = _meta(ddf)
    names = by or []
    scans: list[Optional[_Scan]] = []
    for name in names:
        kind = kind_of(get_column(meta, name, "by"), "by")
        scans.append(_scan_of(meta, ddf, name, "by", kind, labels=True))
    truth: Optional[_OutcomeReading] = None
    pred: Optional[_OutcomeReading] = None
    if task == "regression":
        numeric_column(meta, label, "label")
        scans.append(_scan_of(meta, ddf, label, "label", Kind.NUMBER, labels=False))
    else:
        truth = _outcome(ddf, meta, scans, label, "label", positive=positive, positive_name="positive")
    if task == "classification":
        pred = _outcome(ddf, meta, scans, prediction, "prediction", positive=positive, positive_name="positive")
    else:
        numeric_column(meta, prediction, "prediction")
        scans.append(_scan_of(meta, ddf, prediction, "prediction", Kind.NUMBER, labels=False))
    parts = _partitions(ddf, names + [label, prediction])
    scanned = _scan(parts, scans)

    by_checks = [("by", name, True) for name in names]
    label_checks = [("label", label, False)]
    prediction_checks = [("prediction", prediction, False)]
    if scanned.missing is not None:
        _refuse_missing(by_checks, missing, scanned.missing)
    if names:
        group_plan, groups = _plan_groups(ddf, meta, parts, names, "by", missing, scanned)
    else:
        group_plan = _GroupPlan()
        groups = Groups([], [], np.empty(0, dtype=np.int8), 1, np.zeros((1, 0), dtype=np.int64), [])
    truth = None if truth is None else _settle_text(ddf, truth, meta, scanned)
    if scanned.missing is not None:
        _refuse_missing(label_checks, missing, scanned.missing)
    pred = None if pred is None else _settle_text(ddf, pred, meta, scanned)
    if scanned.missing is not None:
        _refuse_missing(prediction_checks, missing, scanned.missing)

    plan = _PerformancePlan(task, group_plan, label, prediction, truth, pred, decision, missing, scanned.counted)
    state, counts = _states(parts, _performance_state, plan, _merge_performance)
    _refuse_missing(by_checks + label_checks + prediction_checks, missing, counts)
    result = _kernels.performance_from_state(task, state["counts"], np.ascontiguousarray(state["sums"]).ravel())
    if truth is not None:
        cells = state["counts"]
        positives = cells[:, 1] + (cells[:, 3] if task == "classification" else 0)
        truth.on_client(meta).require_positive(int(positives.sum()))
    return performance_table(meta, groups, task, result)


# ---- drift --------------------------------------------------------------------------------


@dataclass(frozen=True)
class _DriftColumn:
    """A column of the current frame binned against its reference: numbers by
    the reference's edges, text by its labels (the last bin holds labels the
    reference never had)."""

    name: str
    kind: str  # "continuous" or "categorical"
    edges: Optional[Array]
    labels: Optional[dict[str, int]]
    bins: int


def _drift_partition(
    part: Any, columns: tuple[_DriftColumn, ...], missing: str
) -> dict[str, tuple[int, Array]]:
    frame = _frame_of(part)
    samples = [(column.name, _sample(frame, column.name, "current")) for column in columns]
    absent: Optional[Array] = None
    counts_missing: dict[str, int] = {}
    for name, sample in samples:
        flags = sample.missing()
        counts_missing[name] = 0 if flags is None else int(np.count_nonzero(flags))
        if flags is not None:
            absent = flags if absent is None else absent | flags
    keep = None if absent is None or missing != "drop" else ~absent
    out: dict[str, tuple[int, Array]] = {}
    for column, (name, sample) in zip(columns, samples):
        counts: Array = np.zeros(column.bins, dtype=np.uint64)
        if column.edges is not None:
            counts = _kernels.continuous_counts(column.edges, sample.data(keep))
        elif column.labels is not None:
            coded = sample.values
            assert isinstance(coded, Coded)
            unseen = column.bins - 1
            local = np.array([column.labels.get(label_text(label), unseen) for label in coded.labels] or [unseen])
            codes = coded.codes if keep is None else coded.codes[keep]
            counts = np.bincount(local[codes[codes >= 0]], minlength=column.bins).astype(np.uint64)
        out[name] = (counts_missing[name], counts)
    return out


def _merge_drift(a: dict[str, tuple[int, Array]], b: dict[str, tuple[int, Array]]) -> dict[str, tuple[int, Array]]:
    return {name: (a[name][0] + b[name][0], a[name][1] + b[name][1]) for name in a}


def drift(
    reference: Any, ddf: Any, *, names: Optional[list[str]], rule: str, wanted: list[str], missing: str
) -> Any:
    """lumetra.drift of a Dask frame `ddf` against `reference` (collected
    first when it is a Dask frame: its bins are built in one process)."""
    import _lumetra

    from ._frame import is_dask

    if is_dask(reference):
        reference = reference[names].compute() if names is not None else reference.compute()
    base = read_frame(reference, "reference")
    names, pairs = paired_columns(base, _meta(ddf), names)
    keep_base = _kept_rows(missing, "reference", [(name, a) for name, a, _ in pairs])

    # Each reference column's bins, or the error its detector gives.
    columns: list[_DriftColumn] = []
    hists: list[Array] = []
    refusals: list[Optional[ValueError]] = []
    for name, a, _ in pairs:
        try:
            if a.kind == "continuous":
                baseline = _kernels.continuous_baseline(a.data(keep_base), rule)
                hist = baseline["hist"]
                columns.append(_DriftColumn(name, a.kind, baseline["edges"], None, len(hist)))
            else:
                detector = _lumetra.PyCategoricalDataDrift(a.data(keep_base))  # type: ignore[arg-type]
                shares = detector.export_baseline()
                hist = np.array([*shares.values(), 0.0])
                labels = {label: i for i, label in enumerate(shares)}
                columns.append(_DriftColumn(name, a.kind, None, labels, detector.num_bins))
            hists.append(hist)
            refusals.append(None)
        except ValueError as error:
            columns.append(_DriftColumn(name, a.kind, None, None, 0))
            hists.append(np.zeros(0))
            refusals.append(error)

    parts = _partitions(ddf, names)
    merged = _compute(_tree(_per_partition(_drift_partition, parts, tuple(columns), missing), _merge_drift))
    if missing == "raise":
        for name in names:
            if merged[name][0]:
                raise missing_error("current", name, merged[name][0], group=False)

    def scored(i: int) -> tuple[int, list[float]]:
        refusal = refusals[i]
        if refusal is not None:
            raise refusal
        column = columns[i]
        counts = merged[column.name][1].astype(np.float64)
        return column.bins, _kernels.drift_scores(column.kind, hists[i], counts, wanted)

    return drift_table(base, names, [a.kind for _, a, _ in pairs], wanted, scored)


__all__ = ["data_bias", "drift", "model_bias", "performance"]
