"""Argument checks shared by every public function: each names the parameter,
echoes the value and says what is accepted."""

from __future__ import annotations

import math
import numbers
from collections.abc import Sequence
from typing import Optional, Union

from ._vocabulary import MISSING_POLICIES

Scalar = Union[int, float, str, bool]


def _accepted(allowed: Sequence[str]) -> str:
    return ", ".join(repr(a) for a in allowed)


def check_choice(name: str, value: object, allowed: Sequence[str]) -> str:
    """`value` must be one of the strings `allowed`."""
    if not isinstance(value, str) or value not in allowed:
        raise ValueError(f"{name} must be one of {_accepted(allowed)}; got {value!r}")
    return value


def check_column(name: str, value: object) -> str:
    """A column name: a non-empty str."""
    if not isinstance(value, str) or not value:
        raise TypeError(f"{name} must be a column name (a non-empty str); got {value!r}")
    return value


def check_columns(name: str, value: object, *, allow_none: bool = False) -> Optional[list[str]]:
    """One column name or a non-empty list (or tuple) of distinct names."""
    if value is None and allow_none:
        return None
    if isinstance(value, str):
        return [check_column(name, value)]
    if not isinstance(value, (list, tuple)) or not value:
        raise TypeError(f"{name} must be a column name or a non-empty list of column names; got {value!r}")
    names = [check_column(name, v) for v in value]
    if len(set(names)) != len(names):
        raise ValueError(f"{name} must not repeat a column; got {value!r}")
    return names


def check_not_result_columns(name: str, columns: Sequence[str], results: Sequence[str]) -> None:
    """Group columns come out beside the result columns: a group column may
    not have the name of one."""
    for column in columns:
        if column in results:
            raise ValueError(f"{name} column {column!r} has the name of a result column; rename it first")


def check_real(name: str, value: object, *, allow_none: bool = True) -> Optional[float]:
    """A real number (not a bool, not NaN), or None when allowed."""
    if value is None and allow_none:
        return None
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or math.isnan(float(value)):
        expected = "a real number or None" if allow_none else "a real number"
        raise TypeError(f"{name} must be {expected}; got {value!r}")
    return float(value)


def check_scalar(name: str, value: object) -> Scalar:
    """A single value to match: an int, float, str or bool (NumPy scalars are
    taken as their Python value)."""
    item = getattr(value, "item", None)
    if item is not None and not isinstance(value, (str, bool, int, float)):
        value = item()
    if not isinstance(value, (int, float, str, bool)):
        raise TypeError(f"{name} must be an int, float, str or bool; got {value!r}")
    return value


def check_missing(value: object, *, group: bool) -> str:
    """The missing-value policy; 'group' only where there are group columns."""
    allowed = MISSING_POLICIES if group else MISSING_POLICIES[:2]
    return check_choice("missing", value, allowed)


def check_choices(name: str, value: object, allowed: Sequence[str]) -> list[str]:
    """A non-empty list (or tuple) of distinct strings, each one of `allowed`."""
    if isinstance(value, str) or not isinstance(value, (list, tuple)) or not value:
        raise TypeError(f"{name} must be a non-empty list of names from {_accepted(allowed)}; got {value!r}")
    for item in value:
        if not isinstance(item, str) or item not in allowed:
            raise ValueError(f"{name} must hold names from {_accepted(allowed)}; got {item!r}")
    if len(set(value)) != len(value):
        raise ValueError(f"{name} must not repeat a name; got {value!r}")
    return list(value)
