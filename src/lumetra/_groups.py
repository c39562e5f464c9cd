"""Groups of rows: one integer code per row from one or several group
columns (each observed combination of values is a group), or the two sides
of a numeric threshold, with the missing-value policy applied."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from ._frame import Array, Frame, Kind, Mask, Series, get_column, kind_of, missing_error, read_codes, read_values
from ._frame import drop_rows as _drop_rows
from ._frame import value_series

# Combined codes of several columns stay dense below this many; above it the
# combinations seen so far are renumbered first.
_DENSE_COMBINATIONS = 1 << 20


@dataclass
class Groups:
    """Row codes (-1: row left out) of `count` groups. Group g holds, for each
    group column i, the value labels[i][parts[g, i]]."""

    columns: list[str]
    like: list[Optional[Series]]  # the group columns, for the dtype of result columns
    codes: Array
    count: int
    parts: Array  # (count, len(columns)) label index of each group in each column
    labels: list[list[Any]]

    def settle(self, argument: str, name: str, absent: Optional[Mask], missing: str) -> None:
        """Applies the missing-value policy to a column that is not a group
        column: rows without a value are refused, or left out of every group
        under 'drop'."""
        count = 0 if absent is None else int(np.count_nonzero(absent))
        if not count:
            return
        if missing != "drop":
            raise missing_error(argument, name, count, group=False)
        self.codes = _drop_rows(self.codes, absent)

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
            raise ValueError(
                f"{argument} must give one value per facet column {self.columns}; got {value!r}"
            )
        for position, row in enumerate(zip(*self.values(chosen))):
            if all(_same(v, w) for v, w in zip(row, wanted)):
                return position
        raise ValueError(f"{argument}={value!r} is not a group with rows of {', '.join(map(repr, self.columns))}")


def _same(label: Any, value: object) -> bool:
    if label is None or value is None or isinstance(label, str) != isinstance(value, str):
        return False
    return bool(label == value)


def single_group(rows: int) -> Groups:
    """Every row in one group (no group columns)."""
    return Groups([], [], np.zeros(rows, dtype=np.int8), 1, np.zeros((1, 0), dtype=np.int64), [])


def threshold_groups(frame: Frame, name: str, threshold: float, shown: object, missing: str) -> Groups:
    """The two groups of a numeric column: value >= threshold (code 0) and
    value < threshold (code 1)."""
    series = get_column(frame, name, "facet")
    if kind_of(series, "facet") is not Kind.NUMBER:
        raise ValueError(f"facet_threshold needs a numeric facet column; {name!r} has dtype {series.dtype}")
    values = read_values(series, "facet")
    count = values.missing_count()
    if count and missing == "raise":
        raise missing_error("facet", name, count, group=True)
    codes = np.where(values.array >= threshold, np.int8(0), np.int8(1))
    labels: list[Any] = [f">= {shown}", f"< {shown}"]
    if count:
        codes[values.missing] = 2 if missing == "group" else -1
        labels.append(None)
    parts = np.arange(len(labels), dtype=np.int64)[:, None]
    return Groups([name], [None], codes, len(labels), parts, [labels])


def column_groups(frame: Frame, names: Sequence[str], argument: str, missing: str) -> Groups:
    """The groups of one or several columns: each observed combination of
    values. Missing values are refused, left out, or a group of their own
    (value null) per `missing`."""
    columns: list[str] = []
    likes: list[Optional[Series]] = []
    labels: list[list[Any]] = []
    codes: Optional[Array] = None
    parts: Array = np.zeros((1, 0), dtype=np.int64)
    count = 1
    for name in names:
        series = get_column(frame, name, argument)
        coded = read_codes(series, kind_of(series, argument), argument)
        column_codes, column_labels = coded.codes, list(coded.labels)
        absent = coded.missing()
        if absent is not None:
            n_missing = int(np.count_nonzero(absent))
            if missing == "raise":
                raise missing_error(argument, name, n_missing, group=True)
            if missing == "group":
                column_codes = np.where(absent, len(column_labels), column_codes)
                column_labels.append(None)
        k = max(len(column_labels), 1)
        columns.append(name)
        likes.append(series)
        labels.append(column_labels)
        if codes is None:
            codes, count = column_codes, k
            parts = np.arange(k, dtype=np.int64)[:, None]
            continue
        if count * k > _DENSE_COMBINATIONS:
            codes, count, parts = _renumber(codes, parts)
        combined = codes.astype(np.int64) * k + column_codes
        combined[(codes < 0) | (column_codes < 0)] = -1
        parts = np.concatenate(
            [np.repeat(parts, k, axis=0), np.tile(np.arange(k, dtype=np.int64), count)[:, None]], axis=1
        )
        codes, count = combined, count * k
    assert codes is not None
    return Groups(columns, likes, codes, count, parts, labels)


def _renumber(codes: Array, parts: Array) -> tuple[Array, int, Array]:
    """Codes of the combinations present only, in the same order."""
    kept = codes >= 0
    present, inverse = np.unique(codes[kept], return_inverse=True)
    renumbered = np.full(codes.shape, -1, dtype=np.int64)
    renumbered[kept] = inverse
    return renumbered, len(present), parts[present]
