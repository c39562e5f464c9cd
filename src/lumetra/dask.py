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

import inspect
from collections.abc import Sequence
from typing import Any

from ._feed import feed_plan
from ._runners import run

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
    flushed first). A decay-mode detector has no flush: its stream must hold
    no weight (none received, or decayed away entirely). A flush-mode
    detector flushes by its own rate and cadence inside each partition's
    copy, as it would after that many rows in one process; give it a rate
    above the number of rows to keep every row. Rows with a missing value are
    refused: drop or fill them first.
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
    run(feed_plan(monitor, tuple(names), method), data, "data")


def _push_method(monitor: Any) -> str:
    for name in ("push_batch", "update_stream_batch"):
        if callable(getattr(monitor, name, None)):
            if not callable(getattr(monitor, "merge", None)):
                raise TypeError(f"{type(monitor).__name__} cannot be merged: this version of _lumetra lacks merge()")
            return name
    raise TypeError(
        f"monitor must be a streaming monitor or streaming drift detector of _lumetra; got {type(monitor).__name__}"
    )
