"""Outcome columns (ground truth, predictions): which rows are positive,
given as a column the kernels test in place with a rule ('==' or '>=') and a
value of the column's own type."""

from __future__ import annotations

import math
from dataclasses import dataclass, replace
from typing import Optional, Union

import numpy as np

from ._frame import Array, Frame, Kind, Mask, Values, get_column, kind_of, read_codes, read_values
from ._groups import Groups
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

    def settle(self, groups: Groups, missing: str) -> None:
        """Applies the missing-value policy to this column's rows."""
        groups.settle(self.argument, self.name, self.missing, missing)

    def no_positive(self) -> ValueError:
        """The refusal of a column without positive rows."""
        return ValueError(f"{self.argument} column {self.name!r} has no positive rows: {self.described}")

    def require_positive(self, count: int) -> None:
        if count == 0:
            raise self.no_positive()


def equal_described(positive_name: str, positive: Scalar) -> str:
    """How positives were asked for by value, for messages."""
    return f"no value equals {positive_name}={positive!r}"


def text_positive(labels: list[object], positive: Scalar) -> Optional[int]:
    """The index of the label equal to `positive` (a text label only equals a
    str), or None."""
    for index, label in enumerate(labels):
        if isinstance(label, str) == isinstance(positive, str) and label == positive:
            return index
    return None


def numeric_column(frame: Frame, name: str, argument: str) -> Values:
    """A column of numbers (not booleans), as the performance metrics read them."""
    series = get_column(frame, name, argument)
    if kind_of(series, argument) is not Kind.NUMBER:
        raise ValueError(f"{argument} column {name!r} must hold numbers; it has dtype {series.dtype}")
    return read_values(series, argument)


def read_outcome(
    frame: Frame,
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
    series = get_column(frame, name, argument)
    kind = kind_of(series, argument)
    if threshold is not None:
        described = f"no value is >= {threshold_name}={threshold!r}"
        if kind is Kind.TEXT:
            raise ValueError(
                f"{threshold_name} needs a numeric {argument} column; {name!r} has dtype {series.dtype}"
            )
        values = read_values(series, argument)
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
        coded = read_codes(series, kind, argument)
        outcome = Outcome(argument, name, coded.codes, "==", -1, coded.missing(), described)
        index = text_positive(coded.labels, positive)
        if index is None:
            raise outcome.no_positive()
        return Outcome(argument, name, coded.codes, "==", index, outcome.missing, described)

    values = read_values(series, argument)
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

