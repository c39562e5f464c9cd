"""Outcome columns (ground truth, predictions): which rows are positive,
given as a column the kernels test in place with a rule ('==' or '>=') and a
value of the column's own type. A reading is decided from the frame's
dtypes (its refusals by dtype come before any part is read) and applied to
each part; a text column's positive label is found among the labels of every
part."""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import Optional, Union

import numpy as np

from ._frame import Array, Frame, Kind, Labels, Mask, Values, empty_of, get_column, kind_of
from ._groups import Scan, Scanned, recode, scan_of
from ._plan import Part
from ._validation import Scalar


@dataclass(frozen=True)
class Outcome:
    """Row i is positive when `array[i] <rule> value`; `missing` flags rows
    without a value."""

    argument: str
    name: str
    array: Array
    rule: str
    value: Union[int, float]
    missing: Optional[Mask]
    described: str  # how positives were asked for, for messages

    def no_positive(self) -> ValueError:
        """The refusal of a column without positive rows."""
        return ValueError(f"{self.argument} column {self.name!r} has no positive rows: {self.described}")


def equal_described(positive_name: str, positive: Scalar) -> str:
    """How positives were asked for by value, for messages."""
    return f"no value equals {positive_name}={positive!r}"


def text_positive(labels: Labels, positive: Scalar) -> Optional[int]:
    """The index of the label equal to `positive` (a text label only equals a
    str), or None."""
    for index, label in enumerate(labels):
        if isinstance(label, str) == isinstance(positive, str) and label == positive:
            return index
    return None


def numeric_column(source: Part, name: str, argument: str) -> Values:
    """A column of numbers (not booleans), as the performance metrics read them."""
    series = source.column(name, argument)
    if kind_of(series, argument) is not Kind.NUMBER:
        raise ValueError(f"{argument} column {name!r} must hold numbers; it has dtype {series.dtype}")
    return source.values(name, argument)


def read_outcome(
    source: Part,
    name: str,
    argument: str,
    *,
    positive: Scalar,
    positive_name: str,
    threshold: Optional[float],
    threshold_name: str,
) -> Outcome:
    """Positive rows of column `name`: value >= threshold when a threshold is
    given (numeric columns only), else value == positive (for text and
    categories, the label equal to positive)."""
    series = source.column(name, argument)
    kind = kind_of(series, argument)
    if threshold is not None:
        described = f"no value is >= {threshold_name}={threshold!r}"
        if kind is Kind.TEXT:
            raise ValueError(
                f"{threshold_name} needs a numeric {argument} column; {name!r} has dtype {series.dtype}"
            )
        values = source.values(name, argument)
        array = _as_numbers(values.array)
        if array.dtype.kind == "f":
            return Outcome(argument, name, array, ">=", float(threshold), values.missing, described)
        info = np.iinfo(array.dtype)
        outcome = Outcome(argument, name, array, ">=", int(info.min), values.missing, described)
        if threshold == -math.inf:
            return outcome  # every value
        if threshold == math.inf or math.ceil(threshold) > info.max:
            raise outcome.no_positive()
        # v >= t exactly when v >= ceil(t), for integers.
        return replace(outcome, value=max(math.ceil(threshold), int(info.min)))

    described = equal_described(positive_name, positive)
    if kind is Kind.TEXT:
        coded = source.coded(name, kind, argument)
        outcome = Outcome(argument, name, coded.codes, "==", -1, coded.missing(), described)
        index = text_positive(coded.labels, positive)
        if index is None:
            raise outcome.no_positive()
        return Outcome(argument, name, coded.codes, "==", index, outcome.missing, described)

    values = source.values(name, argument)
    array = _as_numbers(values.array)
    outcome = Outcome(argument, name, array, "==", 0, values.missing, described)
    if isinstance(positive, str):
        raise ValueError(
            f"{positive_name}={positive!r} cannot equal a value of the numeric {argument} column {name!r}"
        )
    if array.dtype.kind == "f":
        return Outcome(argument, name, array, "==", float(positive), values.missing, described)
    if isinstance(positive, float) and not positive.is_integer():
        raise outcome.no_positive()
    wanted = int(positive)
    info = np.iinfo(array.dtype)
    if not info.min <= wanted <= info.max:
        raise outcome.no_positive()
    return Outcome(argument, name, array, "==", wanted, values.missing, described)


def _as_numbers(array: Array) -> Array:
    # Booleans are compared as their 0/1 bytes.
    return array.view(np.uint8) if array.dtype == np.bool_ else array


@dataclass(frozen=True)
class OutcomeReading:
    """An outcome column as every part reads it: numbers by read_outcome's
    rule for their dtype, text by the index of the positive label among the
    labels of every part (`labels`, known after the scan)."""

    name: str
    argument: str
    positive: Scalar
    positive_name: str
    threshold: Optional[float] = None
    threshold_name: str = ""
    text: bool = False
    labels: Optional[Labels] = None
    index: int = -1

    def read(self, part: Part) -> Outcome:
        if not self.text:
            return read_outcome(
                part, self.name, self.argument, positive=self.positive, positive_name=self.positive_name,
                threshold=self.threshold, threshold_name=self.threshold_name,
            )
        assert self.labels is not None
        coded = part.coded(self.name, Kind.TEXT, self.argument)
        codes = recode(coded, self.labels)
        return Outcome(self.argument, self.name, codes, "==", self.index, coded.missing(), self.described())

    def described(self) -> str:
        if self.threshold is not None:
            return f"no value is >= {self.threshold_name}={self.threshold!r}"
        return equal_described(self.positive_name, self.positive)

    def check_dtype(self, meta: Frame) -> None:
        """Raises the refusals the column's dtype decides (read from no rows)."""
        if not self.text:
            self.read(Part(empty_of(meta)))

    def no_positive(self) -> ValueError:
        """The refusal of a column without positive rows."""
        return ValueError(f"{self.argument} column {self.name!r} has no positive rows: {self.described()}")

    def require_positive(self, count: int) -> None:
        if count == 0:
            raise self.no_positive()

    def with_labels(self, scanned: Scanned) -> OutcomeReading:
        """A text outcome's labels and the index of its positive label, or the
        refusal of a column without it (as read_outcome has it)."""
        if not self.text:
            return self
        labels = scanned.seen[self.name].final_labels()
        index = text_positive(labels, self.positive)
        if index is None:
            raise self.no_positive()
        return replace(self, labels=labels, index=index)


def outcome_reading(
    meta: Frame, scans: list[Optional[Scan]], name: str, argument: str, *, positive: Scalar,
    positive_name: str, threshold: Optional[float] = None, threshold_name: str = "",
) -> OutcomeReading:
    """How an outcome column is read, with read_outcome's refusals by dtype
    raised, and the scan it needs added to `scans`."""
    kind = kind_of(get_column(meta, name, argument), argument)
    text = threshold is None and kind is Kind.TEXT
    reading = OutcomeReading(name, argument, positive, positive_name, threshold, threshold_name, text)
    reading.check_dtype(meta)
    scans.append(scan_of(meta, name, argument, kind, labels=text))
    return reading
