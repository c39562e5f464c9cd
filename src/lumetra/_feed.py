"""The plan that feeds one of the module's stateful objects (the five
monitors and four streaming drift detectors of `_lumetra`) from the parts
of a frame: each part is pushed into a copy of the object with an empty
stream (its baseline and configuration, none of its data), the copies are
merged, and the merged copy is merged into the caller's object. Copies
travel as pickles (their state as bytes: baseline, bins and running sums,
never the data pushed)."""

from __future__ import annotations

import copy
import pickle
from dataclasses import dataclass
from functools import partial
from typing import Any

import numpy as np

from ._frame import Frame, get_column
from ._plan import Part, Plan, Reduce, Steps


@dataclass(frozen=True)
class Feed:
    """What each part's task needs: the empty object's pickle, the columns
    and the method that takes them."""

    empty: bytes
    columns: tuple[str, ...]
    method: str


def feed_plan(monitor: Any, columns: tuple[str, ...], method: str) -> Plan:
    return Plan(columns, partial(_steps, monitor, columns, method))


def _steps(monitor: Any, columns: tuple[str, ...], method: str, meta: Frame) -> Steps:
    for name in columns:
        get_column(meta, name, "data")
    # An error raised in a part's task would come back with the worker's
    # traceback; missing values are counted first instead.
    missing = yield Reduce(_missing, (tuple(dict.fromkeys(columns)),), _add)
    for name, count in missing.items():
        if count:
            rows = "row" if count == 1 else "rows"
            raise ValueError(f"column {name!r} has {count} {rows} with a missing value; a monitor takes none")
    feed = Feed(pickle.dumps(empty_copy(monitor)), columns, method)
    merged = yield Reduce(_feed_part, (feed,), _merge_copies)
    monitor.merge(merged)


def _missing(part: Part, columns: tuple[str, ...]) -> dict[str, int]:
    out = {}
    for name in columns:
        series = part.column(name, "data")
        absent = series.is_null()
        if series.dtype.is_float():
            absent = absent | series.is_nan().fill_null(False)
        out[name] = int(absent.sum())
    return out


def _add(a: dict[str, int], b: dict[str, int]) -> dict[str, int]:
    return {name: a[name] + b[name] for name in a}


def empty_copy(monitor: Any) -> Any:
    """A copy of `monitor` with its baseline and configuration and an empty stream."""
    clone = copy.deepcopy(monitor)
    if callable(getattr(clone, "flush", None)):
        clone.flush()
        return clone
    if holds_weight(clone):
        raise ValueError(
            f"a {type(monitor).__name__} that holds data has no empty copy (it has no flush): feed a new one, "
            "then merge it into this one"
        )
    return clone


def holds_weight(detector: Any) -> bool:
    """Whether a decay-mode detector's stream holds any weight. Its
    `total_samples` is the integer part of the weight, 0 once decay has
    brought it below one sample; a drift computation refuses only a stream of
    no weight at all (asked of a copy: computing decays the stream)."""
    try:
        copy.deepcopy(detector).compute_drift("JensenShannon")
    except ValueError:
        return False
    return True


def _feed_part(part: Part, feed: Feed) -> Any:
    # The empty object arrives as bytes: every task unpickles its own copy.
    monitor = pickle.loads(feed.empty)
    if len(part):
        getattr(monitor, feed.method)(*[column_values(part, name) for name in feed.columns])
    return monitor


def column_values(part: Part, name: str) -> Any:
    """A column as the monitors read it: numbers as a NumPy array, anything else as a list of str."""
    series = part.column(name, "data")
    array = np.asarray(series.to_numpy())
    if array.dtype.kind in "biuf":
        return array
    return [str(value) for value in series.to_list()]


def _merge_copies(a: Any, b: Any) -> Any:
    # A task's input may be read again (a task retried after a lost worker):
    # merging into a copy leaves it as it was.
    out = copy.copy(a)
    out.merge(b)
    return out
