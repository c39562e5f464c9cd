"""Groups of rows, as plans code them: one integer code per row from one or
several group columns (each observed combination of values is a group), or
the two sides of a numeric threshold, with the missing-value policy applied.

Every part codes its rows alike: the labels of a group column are gathered
from all parts first (a scan), unless the column's dtype declares them, and
each part's own codes are mapped onto them. Wide combinations of several
columns are renumbered to those present (a pass to find them) before the
next column joins, so the codes stay dense whatever the number of columns."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any, Optional, Union

import numpy as np

from ._frame import Array, Coded, Frame, Kind, Labels, Mask, Series, can_miss, declared_labels, drop_rows
from ._frame import get_column, kind_of, missing_error, value_series
from ._plan import Part, Reduce, Steps

# Combined codes of several columns stay dense below this many; above it the
# combinations present are renumbered first.
DENSE_COMBINATIONS = 1 << 20

CHANGED = (
    "the frame gave different data on two passes over its parts (a graph that is not deterministic, "
    "such as random values without a seed); persist it first"
)

# ---- what a scan sees of a column ---------------------------------------------------------------


@dataclass(frozen=True)
class Scan:
    """A column to look at before rows are coded: its missing values, and
    its labels when `labels` (a group column or a text outcome)."""

    name: str
    argument: str
    kind: Kind
    labels: bool


@dataclass(frozen=True)
class Seen:
    """What the parts showed of a column: missing values and labels (None
    when not asked; numbers as a sorted array, text as a list, first seen
    first, in the column's own order when `declared`)."""

    missing: int
    labels: Optional[Labels]
    declared: bool = False

    def final_labels(self) -> Labels:
        """The labels in group order: numbers ascending, declared categories
        as the parts declared them, other text by code point."""
        assert self.labels is not None
        if isinstance(self.labels, np.ndarray) or self.declared:
            return self.labels
        return sorted(self.labels)


def seen_in(part: Part, scans: tuple[Scan, ...]) -> dict[str, Seen]:
    out: dict[str, Seen] = {}
    for scan in scans:
        if scan.labels:
            coded = part.coded(scan.name, scan.kind, scan.argument)
            absent = coded.missing()
            missing = 0 if absent is None else int(np.count_nonzero(absent))
            out[scan.name] = Seen(missing, coded.labels, coded.declared)
        else:
            out[scan.name] = Seen(missing_count(part, scan.name, scan.kind, scan.argument), None)
    return out


def merge_seen(a: dict[str, Seen], b: dict[str, Seen]) -> dict[str, Seen]:
    out = {}
    for name, x in a.items():
        y = b[name]
        labels: Optional[Labels] = None
        if isinstance(x.labels, np.ndarray):
            assert isinstance(y.labels, np.ndarray)
            labels = np.union1d(x.labels, y.labels)
        elif x.labels is not None:
            assert y.labels is not None
            labels = list(dict.fromkeys([*x.labels, *y.labels]))  # first seen first
        out[name] = Seen(x.missing + y.missing, labels, x.declared)
    return out


def missing_count(part: Part, name: str, kind: Kind, argument: str) -> int:
    if kind is Kind.TEXT:
        # Text is read as codes anyway: counting below zero is cheaper than asking the library.
        absent = part.coded(name, kind, argument).missing()
        return 0 if absent is None else int(np.count_nonzero(absent))
    return part.values(name, argument).missing_count()


Counts = dict[str, int]  # missing values of each column counted


def count_missing(part: Part, scans: tuple[Scan, ...]) -> Counts:
    return {scan.name: missing_count(part, scan.name, scan.kind, scan.argument) for scan in scans}


def add_counts(a: Counts, b: Counts) -> Counts:
    return {name: a[name] + b[name] for name in a}


@dataclass
class Scanned:
    """What a call knows of its columns before their states are computed:
    each column's labels, and its missing values unless they are counted
    alongside the states (`counted`): when no column needs its labels, the
    scan is left out."""

    seen: dict[str, Seen]
    counted: tuple[Scan, ...]
    may_miss: frozenset[str]

    def count(self, name: str) -> Optional[int]:
        """Missing values of a column, None while they are not counted yet."""
        if self.counted:
            return None
        seen = self.seen.get(name)
        return 0 if seen is None else seen.missing

    def missing(self) -> Optional[Counts]:
        return None if self.counted else {name: seen.missing for name, seen in self.seen.items()}


def scan(scans: Sequence[Optional[Scan]]) -> Steps:
    """The scan pass of a call, when any column needs its labels."""
    unique = tuple({s.name: s for s in scans if s is not None}.values())
    may_miss = frozenset(s.name for s in unique)
    if not any(s.labels for s in unique):
        return Scanned({}, unique, may_miss)
    seen: dict[str, Seen] = yield Reduce(seen_in, (unique,), merge_seen)
    return Scanned(seen, (), may_miss)


def scan_of(meta: Frame, name: str, argument: str, kind: Kind, labels: bool) -> Optional[Scan]:
    """The scan a column needs: its labels when `labels` and its dtype does not
    declare them, its missing values when its dtype can miss values."""
    series = get_column(meta, name, argument)
    if labels and kind is not Kind.BOOLEAN and declared_labels(series) is None:
        return Scan(name, argument, kind, True)
    if can_miss(series):
        return Scan(name, argument, kind, False)
    return None


def refuse_missing(checks: Sequence[tuple[str, str, bool]], missing: str, counts: Optional[Counts]) -> None:
    """The refusals of missing values, in order: (argument, column, whether
    it is a group column, whose missing values may form a group)."""
    if counts is None:
        return
    for argument, name, group in checks:
        count = counts.get(name, 0)
        if count and (missing == "raise" or (not group and missing != "drop")):
            raise missing_error(argument, name, count, group=group)


def leave_out(codes: Array, absent: Optional[Mask], missing: str, counted: bool) -> Array:
    """Group codes without the rows that miss a value of a column that is no
    group column: under 'drop', or while missing values are counted (the
    client refuses them after the pass); otherwise the scan refused any."""
    if absent is None or not absent.any():
        return codes
    if missing != "drop" and not counted:
        raise RuntimeError(CHANGED)
    return drop_rows(codes, absent)


# ---- coding a part's rows -------------------------------------------------------------------------


def _same(a: Labels, b: Labels) -> bool:
    if isinstance(a, np.ndarray) or isinstance(b, np.ndarray):
        return isinstance(a, np.ndarray) and isinstance(b, np.ndarray) and np.array_equal(a, b)
    return len(a) == len(b) and all(x == y and type(x) is type(y) for x, y in zip(a, b))


def recode(coded: Coded, labels: Labels) -> Array:
    """A part's codes as codes of `labels`, the labels of every part."""
    if coded.labels is labels or _same(coded.labels, labels):
        return coded.codes
    if isinstance(labels, np.ndarray):
        local = np.asarray(coded.labels)
        table = np.searchsorted(labels, local)
        found = table < len(labels)
        found[found] = labels[table[found]] == local[found]
    else:
        index = {label: i for i, label in enumerate(labels)}
        table = np.asarray([index.get(label, -1) for label in coded.labels], dtype=np.int64)
        found = table >= 0
    if not found.all():
        raise RuntimeError(CHANGED)
    if table.size == 0:
        return coded.codes
    return np.where(coded.codes >= 0, table[np.maximum(coded.codes, 0)], -1)


@dataclass(frozen=True)
class GroupColumn:
    """A group column: the labels of every part, missing values as a group
    of their own (label None, after the labels) when `missing_group`."""

    name: str
    argument: str
    kind: Kind
    labels: Labels
    missing_group: bool

    def values(self) -> list[Any]:
        out = self.labels.tolist() if isinstance(self.labels, np.ndarray) else list(self.labels)
        return out + [None] if self.missing_group else out

    def size(self) -> int:
        return max(len(self.labels) + int(self.missing_group), 1)

    def codes(self, part: Part) -> Array:
        coded = part.coded(self.name, self.kind, self.argument)
        codes = recode(coded, self.labels) if self.kind is not Kind.BOOLEAN else coded.codes
        if self.missing_group:
            absent = coded.missing()
            if absent is not None:
                codes = np.where(absent, len(self.labels), codes)
        return codes


@dataclass(frozen=True)
class Renumbering:
    """The combinations present so far, which become codes 0, 1, ..."""

    present: Array


@dataclass(frozen=True)
class Threshold:
    """The two sides of a numeric column: value >= threshold (code 0) and
    value < threshold (code 1); missing values code 2 when they form a group."""

    name: str
    threshold: float
    missing_group: bool


@dataclass(frozen=True)
class GroupCoding:
    """How any part's rows become the codes of `count` groups (-1: a row left
    out). Group g holds, for each group column i, label parts[g, i]."""

    steps: tuple[Union[GroupColumn, Renumbering, Threshold], ...] = ()
    count: int = 1
    parts: Array = field(default_factory=lambda: np.zeros((1, 0), dtype=np.int64))

    def codes(self, part: Part) -> Array:
        codes: Optional[Array] = None
        for step in self.steps:
            if isinstance(step, Threshold):
                values = part.values(step.name, "facet")
                codes = np.where(values.array >= step.threshold, np.int8(0), np.int8(1))
                if values.missing is not None:
                    codes[values.missing] = 2 if step.missing_group else -1
            elif isinstance(step, Renumbering):
                assert codes is not None
                kept = codes >= 0
                renumbered = np.full(codes.shape, -1, dtype=np.int64)
                renumbered[kept] = np.searchsorted(step.present, codes[kept])
                codes = renumbered
            elif codes is None:
                codes = step.codes(part)
            else:
                column = step.codes(part)
                combined = codes.astype(np.int64) * step.size() + column
                combined[(codes < 0) | (column < 0)] = -1
                codes = combined
        if codes is None:
            return np.zeros(len(part), dtype=np.int8)
        return codes

    def then(self, column: GroupColumn) -> GroupCoding:
        k = column.size()
        if not self.steps:
            return GroupCoding((column,), k, np.arange(k, dtype=np.int64)[:, None])
        parts = np.concatenate(
            [np.repeat(self.parts, k, axis=0), np.tile(np.arange(k, dtype=np.int64), self.count)[:, None]], axis=1
        )
        return GroupCoding((*self.steps, column), self.count * k, parts)

    def renumbered(self, present: Array) -> GroupCoding:
        return GroupCoding((*self.steps, Renumbering(present)), len(present), self.parts[present])


def present_codes(part: Part, coding: GroupCoding) -> Array:
    codes = coding.codes(part)
    present: Array = np.unique(codes[codes >= 0])  # typed: NumPy 1.x's stubs give unique no type
    return present.astype(np.int64)


# ---- the groups of a call -----------------------------------------------------------------------


@dataclass(frozen=True)
class Grouping:
    """The group columns (or a threshold) of a call, from the frame's dtypes."""

    names: tuple[str, ...]
    argument: str
    kinds: tuple[Kind, ...]
    threshold: Optional[float] = None
    shown: object = None

    def scans(self, meta: Frame) -> list[Optional[Scan]]:
        return [scan_of(meta, name, self.argument, kind, labels=self.threshold is None)
                for name, kind in zip(self.names, self.kinds)]

    def checks(self) -> list[tuple[str, str, bool]]:
        return [(self.argument, name, True) for name in self.names]


def grouping(meta: Frame, names: Sequence[str], argument: str, threshold: Optional[float] = None,
             shown: object = None) -> Grouping:
    """The group columns, their dtypes checked (a threshold needs one numeric column)."""
    if threshold is not None and len(names) != 1:
        raise ValueError(f"facet_threshold needs a single facet column; got {list(names)}")
    kinds = []
    for name in names:
        series = get_column(meta, name, argument)
        kind = kind_of(series, argument)
        if threshold is not None and kind is not Kind.NUMBER:
            raise ValueError(f"facet_threshold needs a numeric facet column; {name!r} has dtype {series.dtype}")
        kinds.append(kind)
    return Grouping(tuple(names), argument, tuple(kinds), threshold, shown)


def _as_group(name: str, missing: str, scanned: Scanned) -> bool:
    """Whether a group column's missing values form a group: they do under
    'group' when there are any (while they are not counted yet, whenever the
    column can miss values; a group without rows never reaches the table)."""
    count = scanned.count(name)
    return missing == "group" and (bool(count) if count is not None else name in scanned.may_miss)


def code_groups(meta: Frame, spec: Grouping, missing: str, scanned: Scanned) -> Steps:
    """The coding of the call's groups (a pass per renumbering of wide
    combinations), and the groups as the table shows them."""
    if spec.threshold is not None:
        name = spec.names[0]
        labels: list[Any] = [f">= {spec.shown}", f"< {spec.shown}"]
        as_group = _as_group(name, missing, scanned)
        count = scanned.count(name)
        if count or (count is None and name in scanned.may_miss):
            labels.append(None)
        coding = GroupCoding((Threshold(name, spec.threshold, as_group),), len(labels),
                             np.arange(len(labels), dtype=np.int64)[:, None])
        return coding, Groups([name], [None], coding.count, coding.parts, [labels])
    coding = GroupCoding()
    columns = []
    for name, kind in zip(spec.names, spec.kinds):
        series = get_column(meta, name, spec.argument)
        if kind is Kind.BOOLEAN:
            labels_of: Labels = [False, True]
        else:
            declared = declared_labels(series)
            labels_of = declared if declared is not None else scanned.seen[name].final_labels()
        column = GroupColumn(name, spec.argument, kind, labels_of, _as_group(name, missing, scanned))
        if coding.steps and coding.count * column.size() > DENSE_COMBINATIONS:
            present = yield Reduce(present_codes, (coding,), np.union1d)
            coding = coding.renumbered(np.asarray(present, dtype=np.int64))
        coding = coding.then(column)
        columns.append(column)
    likes = [_like(get_column(meta, c.name, c.argument), c) for c in columns]
    return coding, Groups(list(spec.names), likes, coding.count, coding.parts, [c.values() for c in columns])


def _like(series: Series, column: GroupColumn) -> Optional[Series]:
    """The column whose dtype the result's group values take: the frame's own,
    but with the gathered categories where its dtype does not hold them."""
    if column.kind is not Kind.TEXT or not series.implementation.is_pandas():
        return series
    import narwhals as nw
    import pandas as pd

    dtype = series.to_native().dtype
    if not isinstance(dtype, pd.CategoricalDtype) or declared_labels(series) is not None:
        return series
    gathered = pd.CategoricalDtype(list(column.labels), ordered=dtype.ordered)
    return nw.from_native(pd.Series([], dtype=gathered, name=column.name), series_only=True)


@dataclass
class Groups:
    """The groups of a call as its table shows them: group g holds, for each
    group column i, the value labels[i][parts[g, i]]."""

    columns: list[str]
    like: list[Optional[Series]]  # the group columns, for the dtype of result columns
    count: int
    parts: Array  # (count, len(columns)) label index of each group in each column
    labels: list[list[Any]]

    def values(self, chosen: Array) -> list[list[Any]]:
        """For each group column, the values of the chosen groups."""
        return [[self.labels[i][j] for j in self.parts[chosen, i].tolist()] for i in range(len(self.columns))]

    def value_columns(self, chosen: Array, implementation: Any) -> dict[str, Series]:
        """The group value columns of the result, in the caller's library."""
        return {
            name: value_series(like, name, values, implementation)
            for name, like, values in zip(self.columns, self.like, self.values(chosen))
        }

    def code_of(self, chosen: Array, value: object, argument: str) -> int:
        """The position among the chosen groups of the group whose values equal
        `value` (a tuple of values for several group columns)."""
        wanted = list(value) if len(self.columns) > 1 and isinstance(value, (tuple, list)) else [value]
        if len(wanted) != len(self.columns):
            raise ValueError(f"{argument} must give one value per facet column {self.columns}; got {value!r}")
        for position, row in enumerate(zip(*self.values(chosen))):
            if all(_equal(v, w) for v, w in zip(row, wanted)):
                return position
        raise ValueError(f"{argument}={value!r} is not a group with rows of {', '.join(map(repr, self.columns))}")

    def name_of(self, g: int) -> str:
        if not self.columns:
            return "the frame"
        values = [column[0] for column in self.values(np.array([g]))]
        return "group " + ", ".join(f"{c}={v!r}" for c, v in zip(self.columns, values))


def _equal(label: Any, value: object) -> bool:
    if label is None or value is None or isinstance(label, str) != isinstance(value, str):
        return False
    return bool(label == value)


def no_groups() -> tuple[GroupCoding, Groups]:
    """Every row in one group (no group columns)."""
    coding = GroupCoding()
    return coding, Groups([], [], 1, coding.parts, [])
