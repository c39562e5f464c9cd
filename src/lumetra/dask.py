"""Streaming monitors and drift detectors fed from a Dask DataFrame.

`lumetra.data_bias`, `model_bias`, `performance` and `drift` take a Dask
DataFrame as they are; this module adds what they cannot do: feeding one of
the module's stateful objects (the five monitors and four streaming drift
detectors of `_lumetra`) from the partitions of a cluster.

Each partition is pushed, on its worker, into a copy of the object with an
empty stream (the object's baseline and configuration, none of its data);
the copies are merged in a tree on the workers, and the merged copy is
merged into the caller's object. Objects cross the wire by pickle (their
state as bytes: baseline, bins and running sums, never the data pushed)."""

from __future__ import annotations

import copy
import inspect
import pickle
from collections.abc import Sequence
from typing import Any

import numpy as np

from ._dask import _compute, _partitions, _per_partition, _tree

__all__ = ["feed_monitor"]


def feed_monitor(monitor: Any, data: Any, columns: Sequence[str]) -> None:
    """Feeds every row of the Dask DataFrame `data` into `monitor`.

    `columns` names the frame's columns in the order of the object's
    `push_batch` arguments (for example `["feature", "truth"]` for a
    `PyDataBiasStreaming`), or the one column of a detector's
    `update_stream_batch`. Afterwards `monitor` answers as if it had
    received its own data and then every row of `data`: exactly for counts
    (the bias and classification monitors, the histograms of the drift
    detectors); the regression and log-loss sums as sums of partial sums.

    A monitor or flush-mode detector may already hold data (its copies are
    flushed first). A decay-mode detector has no flush: it must not have
    received data yet. A flush-mode detector flushes by its own rate and
    cadence inside each partition's copy, as it would after that many rows in
    one process; give it a rate above the number of rows to keep every row.
    Rows with a missing value are refused: drop or fill them first.
    """
    import dask.dataframe as dd

    if not isinstance(data, dd.DataFrame):
        raise TypeError(f"data must be a Dask DataFrame; got {type(data).__name__}")
    method = _push_method(monitor)
    names = [columns] if isinstance(columns, str) else list(columns)
    wanted = len(inspect.signature(getattr(type(monitor), method)).parameters) - 1
    if len(names) != wanted:
        raise ValueError(
            f"{type(monitor).__name__}.{method} takes {wanted} column{'s' if wanted != 1 else ''}; got {names}"
        )
    for name in names:
        if name not in data.columns:
            raise KeyError(f"column {name!r} is not in the frame; its columns are {list(data.columns)}")
    for name in dict.fromkeys(names):
        # An error raised on a worker would come back with the worker's
        # traceback; missing values are counted first instead.
        missing = int(data[name].isna().sum().compute())
        if missing:
            rows = "row" if missing == 1 else "rows"
            raise ValueError(f"column {name!r} has {missing} {rows} with a missing value; a monitor takes none")
    empty = pickle.dumps(_empty_copy(monitor))
    plan = _Feed(empty, tuple(names), method)
    merged = _compute(_tree(_per_partition(_feed_partition, _partitions(data, names), plan), _merge_copies))
    monitor.merge(merged)


class _Feed:
    """What each partition's task needs: the empty object's pickle, the
    columns and the method that takes them."""

    def __init__(self, empty: bytes, columns: tuple[str, ...], method: str) -> None:
        self.empty = empty
        self.columns = columns
        self.method = method


def _push_method(monitor: Any) -> str:
    for name in ("push_batch", "update_stream_batch"):
        if callable(getattr(monitor, name, None)):
            if not callable(getattr(monitor, "merge", None)):
                raise TypeError(f"{type(monitor).__name__} cannot be merged: this version of _lumetra lacks merge()")
            return name
    raise TypeError(
        f"monitor must be a streaming monitor or streaming drift detector of _lumetra; got {type(monitor).__name__}"
    )


def _empty_copy(monitor: Any) -> Any:
    """A copy of `monitor` with its baseline and configuration and an empty stream."""
    clone = copy.deepcopy(monitor)
    if callable(getattr(clone, "flush", None)):
        clone.flush()
        return clone
    if _holds_weight(clone):
        raise ValueError(
            f"a {type(monitor).__name__} that holds data has no empty copy (it has no flush): feed a new one, "
            "then merge it into this one"
        )
    return clone


def _holds_weight(detector: Any) -> bool:
    """Whether a decay-mode detector's stream holds any weight. Its
    `total_samples` is the integer part of the weight, 0 once decay has
    brought it below one sample; a drift computation refuses only a stream of
    no weight at all (asked of a copy: computing decays the stream)."""
    try:
        copy.deepcopy(detector).compute_drift("JensenShannon")
    except ValueError:
        return False
    return True


def _feed_partition(part: Any, feed: _Feed) -> Any:
    # The empty object arrives as bytes: every task unpickles its own copy.
    monitor = pickle.loads(feed.empty)
    values = [_column_values(part[name]) for name in feed.columns]
    if len(part):
        getattr(monitor, feed.method)(*values)
    return monitor


def _column_values(series: Any) -> Any:
    """A column as the monitors read it: numbers as a NumPy array, anything else as a list of str."""
    array = np.asarray(series.to_numpy())
    if array.dtype.kind in "biuf":
        return array
    return series.astype(str).tolist()


def _merge_copies(a: Any, b: Any) -> Any:
    # A task's input may be read again (a task retried after a lost worker):
    # merging into a copy leaves it as it was.
    out = copy.copy(a)
    out.merge(b)
    return out
