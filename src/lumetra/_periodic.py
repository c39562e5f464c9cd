"""A streaming monitor or detector kept period by period: the current
period's state takes the rows, and when a row's timestamp or the clock
passes the period's end the state is closed, handed to a callback (to be
saved or sent) and replaced by a fresh one. Only the current state and the
closed states the callback has not yet taken are held."""

from __future__ import annotations

import collections
import datetime as dt
import math
import numbers
import threading
import time
import warnings
import zoneinfo
from collections.abc import Callable
from typing import Any, Generic, NamedTuple, Optional, TypeVar, Union

import numpy as np
import numpy.typing as npt

from ._periods import _UNIT_US, _instant, _wall, parse_every, period_of

State = TypeVar("State")
Instant = Union[dt.datetime, np.datetime64, int, float]

LATE_POLICIES: tuple[str, ...] = ("drop", "current", "raise")

_NAT = np.iinfo(np.int64).min
_US = 1_000_000
# Epoch seconds a timestamp may hold: the years 1 to 9999, with room to spare in int64 microseconds.
_MAX_SECONDS = 253_402_300_800
_MIN_SECONDS = -62_135_596_800


class ClosedPeriod(NamedTuple):
    """A closed period that waits for the callback: its bounds (end
    exclusive) in the monitor's time zone, its rows and its state."""

    start: dt.datetime
    end: dt.datetime
    rows: int
    state: Any


class PeriodicMonitor(Generic[State]):
    """Keeps the state of a streaming monitor or drift detector for the
    current calendar period and hands it to `on_close(start, end, state)`
    when the period is over.

    `make()` returns a fresh state: an engine monitor (fed through
    ``push``/``push_batch``), a streaming drift detector (``update_stream``/
    ``update_stream_batch``) or any object with such a pair of methods;
    `method` names the one-row method (its batch method is the name
    followed by ``_batch``) when the object has neither pair or both.

    `every` is a calendar period ("1h", "1d", "1w" from Monday, "1mo", "1q",
    "1y" or a multiple such as "6h" or "2d") in the time zone `tz` (a zone
    name or a tzinfo; UTC by default), with the calendar of
    ``lumetra.timeline``. Multiples are aligned to the start of the first
    period's day (hour, month...), or to `origin` when it is given: give it
    to keep the same periods across restarts.

    Timestamps are aware datetimes, NumPy datetime64 values (UTC) or epoch
    seconds (int or float, rounded to the microsecond); a batch's are an
    array or sequence of them. Naive datetimes, missing timestamps (NaN,
    NaT) and booleans are refused before anything is pushed.

    The first row (or the first `tick`) opens the period that holds it.
    A row of the current period goes to its state; a row of a later period
    closes the current one and opens its own; a row of an earlier period is
    late, and `late` says what it does: "drop" it and count it in
    ``monitor.late`` (the default: a serving loop never stops for a
    delayed row), push it into the "current" period (counted too), or
    "raise" a ValueError (a batch with a late row then pushes nothing). A
    batch is pushed as its rows one after another: it is split at the
    period boundaries, and each part goes to its period's state in one
    batch call; a row or batch that a state refuses pushes nothing and
    closes no period. `tick(now)` closes the current period when the clock
    (the callable `clock`, ``time.time`` by default, or `now`) has passed
    its end, and opens the one that holds now; `close()` closes the current
    period at once (at shutdown) and starts a fresh state for the rest of
    it.

    A period is handed over only when it holds rows: periods without any
    (a quiet night, a service stopped) are not handed, so a long gap costs
    nothing and a missing period in the record means no rows. A period
    closed early by `close()` is handed with its calendar bounds, so the
    parts of one period (before and after a restart) share their bounds and
    merge with the state's own ``merge()``.

    A callback that raises loses nothing: the closed period stays in
    ``monitor.pending`` (oldest first) and is handed again, before any later
    one, at the next close or tick; a RuntimeWarning tells of the failure
    and the stream goes on. When more than `max_pending` periods wait, the
    callback's exception propagates from the push or tick (which has taken
    effect: do not repeat it), and `close()` raises it whenever a period is
    still waiting. The monitor may be used from several threads; the
    callback runs under its lock."""

    def __init__(
        self,
        make: Callable[[], State],
        every: str,
        on_close: Callable[[dt.datetime, dt.datetime, State], object],
        *,
        tz: Union[str, dt.tzinfo] = "UTC",
        late: str = "drop",
        origin: Optional[Instant] = None,
        method: Optional[str] = None,
        clock: Callable[[], float] = time.time,
        max_pending: int = 64,
    ) -> None:
        if not callable(make):
            raise TypeError(f"make must be a callable that returns a fresh state; got {make!r}")
        if not callable(on_close):
            raise TypeError(f"on_close must be a callable on_close(start, end, state); got {on_close!r}")
        if not callable(clock):
            raise TypeError(f"clock must be a callable that returns epoch seconds; got {clock!r}")
        if late not in LATE_POLICIES:
            raise ValueError(f"late must be one of {', '.join(map(repr, LATE_POLICIES))}; got {late!r}")
        if isinstance(max_pending, bool) or not isinstance(max_pending, numbers.Integral) or max_pending < 0:
            raise ValueError(f"max_pending must be a non-negative int; got {max_pending!r}")
        parse_every(every)
        self._every: str = every
        self._zone: dt.tzinfo = _zone(tz)
        self._make: Callable[[], State] = make
        self._on_close: Callable[[dt.datetime, dt.datetime, State], object] = on_close
        self._clock: Callable[[], float] = clock
        self._late_policy: str = late
        self._max_pending: int = int(max_pending)
        self._origin: Optional[int] = None if origin is None else _instant_us(origin, "origin")
        self._state: State = make()
        self._one: Callable[..., None]
        self._many: Callable[..., None]
        self._one, self._many = _methods(self._state, method)
        self._start: Optional[int] = None
        self._end: Optional[int] = None
        self._rows: int = 0
        self._late: int = 0
        self._pending: collections.deque[ClosedPeriod] = collections.deque()
        self._lock: threading.RLock = threading.RLock()
        self._delivering: bool = False

    # ---- what the monitor holds ----------------------------------------------------------------

    @property
    def every(self) -> str:
        return self._every

    @property
    def tz(self) -> dt.tzinfo:
        return self._zone

    @property
    def state(self) -> State:
        """The current period's state (a fresh one before the first row)."""
        return self._state

    @property
    def start(self) -> Optional[dt.datetime]:
        """The current period's start, None before the first row or tick."""
        return None if self._start is None else _wall(self._start, self._zone)

    @property
    def end(self) -> Optional[dt.datetime]:
        """The current period's end (exclusive), None before the first row or tick."""
        return None if self._end is None else _wall(self._end, self._zone)

    @property
    def rows(self) -> int:
        """Rows pushed into the current state."""
        return self._rows

    @property
    def late(self) -> int:
        """Late rows so far: dropped, or pushed into the period current when they came."""
        return self._late

    @property
    def pending(self) -> tuple[ClosedPeriod, ...]:
        """Closed periods the callback has not taken yet, oldest first."""
        with self._lock:
            return tuple(self._pending)

    def __repr__(self) -> str:
        period = "no period yet" if self._start is None else f"{self.start} to {self.end}"
        return (
            f"PeriodicMonitor(every={self._every!r}, {period}, rows={self._rows}, late={self._late}, "
            f"pending={len(self._pending)})"
        )

    # ---- pushing -------------------------------------------------------------------------------

    def push(self, timestamp: Instant, *row: Any) -> None:
        """Pushes one row, stamped `timestamp`, into its period's state."""
        at = _instant_us(timestamp, "timestamp")
        with self._lock:
            if self._start is not None and self._end is not None and self._start <= at < self._end:
                self._one(self._state, *row)
                self._rows += 1
                return
            if self._start is not None and at < self._start:
                if self._late_policy == "raise":
                    raise ValueError(f"late row: its timestamp {self._text(at)} is before the current period")
                if self._late_policy == "current":
                    self._one(self._state, *row)
                    self._rows += 1
                self._late += 1
                return
            origin = self._grid(at)
            start, end = period_of(at, self._every, self._zone, origin)
            # The row goes into the new period's state before the current
            # period closes: a refused row changes nothing.
            fresh = self._state if self._start is None else self._make()
            self._one(fresh, *row)
            self._open(start, end, origin, fresh)
            self._rows = 1
            self._deliver(False)

    def push_batch(self, timestamps: Any, *columns: Any) -> None:
        """Pushes a batch of rows, `timestamps[i]` stamping row i of every
        column, split at the period boundaries it crosses."""
        at = _instants_us(timestamps)
        n = len(at)
        for i, column in enumerate(columns):
            try:
                size = len(column)
            except TypeError:
                raise TypeError(f"column {i} of the batch has no length: {type(column).__name__}") from None
            if size != n:
                raise ValueError(f"column {i} of the batch has {size} rows; the timestamps have {n}")
        if n == 0:
            return
        with self._lock:
            low, high = int(at.min()), int(at.max())
            if self._start is not None and self._end is not None and self._start <= low and high < self._end:
                self._many(self._state, *columns)
                self._rows += n
                return
            self._push_split(at, columns)

    def _push_split(self, at: npt.NDArray[np.int64], columns: tuple[Any, ...]) -> None:
        n = len(at)
        ends: dict[int, int] = {}
        origin = self._grid(int(at[0]))
        if self._start is None:
            start, end = period_of(int(at[0]), self._every, self._zone, origin)
            current = start
            ends[start] = end
        else:
            assert self._end is not None
            current = self._start
            ends[self._start] = self._end
        # Each row's period start (the least int64 for rows before the current
        # period, late whatever follows), found once per period of the batch.
        keys = np.full(n, _NAT, dtype=np.int64)
        inside = (at >= current) & (at < ends[current])
        keys[inside] = current
        later = np.flatnonzero(at >= ends[current])
        if len(later):
            order = later[np.argsort(at[later], kind="stable")]
            values = at[order]
            i = 0
            while i < len(order):
                start, end = period_of(int(values[i]), self._every, self._zone, origin)
                ends[start] = end
                j = int(np.searchsorted(values, end, side="left"))
                keys[order[i:j]] = start
                i = j
        # The period current when each row comes: the latest opened before it.
        reached = np.maximum.accumulate(keys)
        before = np.empty(n, dtype=np.int64)
        before[0] = current
        np.maximum(reached[:-1], current, out=before[1:])
        late = keys < before
        count = int(np.count_nonzero(late))
        if count and self._late_policy == "raise":
            first = int(np.flatnonzero(late)[0])
            raise ValueError(
                f"late rows: {count} of the batch's rows come after their period closed (the first is row "
                f"{first}, stamped {self._text(int(at[first]))}); nothing was pushed"
            )
        periods = np.maximum(keys, before)
        kept = np.flatnonzero(~late) if count and self._late_policy == "drop" else np.arange(n)
        if not len(kept):
            self._late += count
            return
        targets = periods[kept]
        cuts = np.flatnonzero(targets[1:] != targets[:-1]) + 1
        bounds = [0, *cuts.tolist(), len(kept)]
        whole = len(kept) == n and len(bounds) == 2
        parts = [(int(targets[a]), b - a, columns if whole else [_take(column, kept[a:b]) for column in columns])
                 for a, b in zip(bounds[:-1], bounds[1:])]
        # Every part goes into its state before the monitor changes: a later
        # period's into a fresh state, the current period's (only the first
        # part can be) into the current state, last. A refused part, or a
        # make() that raises, pushes nothing.
        states = [self._state if key == current else self._make() for key, _, _ in parts]
        for (key, _, part), state in sorted(zip(parts, states), key=lambda pair: pair[0][0] == current):
            self._many(state, *part)
        self._late += count
        for (key, rows, _), state in zip(parts, states):
            if key != self._start:
                self._open(key, ends[key], origin, state)
            self._rows += rows
        self._deliver(False)

    # ---- the clock -----------------------------------------------------------------------------

    def tick(self, now: Optional[Instant] = None) -> None:
        """Closes the current period when `now` (the clock by default) has
        passed its end, and opens the one that holds now; before the first
        row, opens the period that holds now. Hands again any period the
        callback has not taken."""
        at = _instant_us(self._clock() if now is None else now, "now")
        with self._lock:
            if self._start is None or (self._end is not None and at >= self._end):
                origin = self._grid(at)
                start, end = period_of(at, self._every, self._zone, origin)
                self._open(start, end, origin)
            self._deliver(False)

    def close(self) -> None:
        """Closes the current period now (at shutdown, or to save what it
        holds so far) and hands every waiting period to the callback; the
        callback's exception propagates when one is still waiting. Rows
        pushed afterwards go to a fresh state of the same period."""
        with self._lock:
            if self._rows:
                fresh = self._make()
                self._retire()
                self._state = fresh
            self._deliver(True)

    # ---- inside --------------------------------------------------------------------------------

    def _grid(self, at: int) -> int:
        """The instant the periods are aligned to: `origin`, or else the
        start of the first period (that of `at` when none is open yet)."""
        if self._origin is not None:
            return self._origin
        return period_of(at, self._every, self._zone)[0]

    def _open(self, start: int, end: int, origin: int, fresh: Optional[State] = None) -> None:
        """Closes the current period, if any, and opens [start, end) with
        the state `fresh` (a new one by default). The fresh state is made
        first: a make() that raises changes nothing."""
        if self._start is not None:
            if fresh is None:
                fresh = self._make()
            self._retire()
            self._state = fresh
        elif fresh is not None:
            self._state = fresh
        self._start, self._end, self._rows, self._origin = start, end, 0, origin

    def _retire(self) -> None:
        """The current state, when it holds rows, waits for the callback."""
        assert self._start is not None and self._end is not None
        if self._rows:
            self._pending.append(
                ClosedPeriod(_wall(self._start, self._zone), _wall(self._end, self._zone), self._rows, self._state)
            )
            self._rows = 0

    def _deliver(self, strict: bool) -> None:
        """Hands the waiting periods over, oldest first, up to the first
        that the callback refuses."""
        if self._delivering:  # the callback itself pushed or ticked
            return
        self._delivering = True
        try:
            while self._pending:
                closed = self._pending[0]
                try:
                    self._on_close(closed.start, closed.end, closed.state)
                except Exception as error:
                    waiting = len(self._pending)
                    message = (
                        f"on_close raised {type(error).__name__}: {error}; the period from {closed.start} to "
                        f"{closed.end} and {waiting - 1} later ones wait in the monitor's pending periods"
                    )
                    if strict or waiting > self._max_pending:
                        _note(error, message + " (the call took effect: do not repeat it)")
                        raise
                    warnings.warn(message + "; they are handed again at the next close or tick", RuntimeWarning,
                                  stacklevel=3)
                    return
                self._pending.popleft()
        finally:
            self._delivering = False

    def _text(self, at: int) -> str:
        try:
            return _wall(at, self._zone).isoformat()
        except (OverflowError, ValueError):
            return f"{at} microseconds since 1970"


def _note(error: BaseException, message: str) -> None:
    add = getattr(error, "add_note", None)
    if add is not None:
        add(message)


def _zone(tz: object) -> dt.tzinfo:
    if isinstance(tz, dt.tzinfo):
        return tz
    if isinstance(tz, str):
        if tz.upper() == "UTC":
            return dt.timezone.utc
        try:
            return zoneinfo.ZoneInfo(tz)
        except (zoneinfo.ZoneInfoNotFoundError, ValueError):
            raise ValueError(f"tz must be a time zone that zoneinfo knows, such as 'Europe/Berlin'; got {tz!r}") from None
    raise TypeError(f"tz must be a zone name or a tzinfo; got {tz!r}")


def _methods(state: object, method: Optional[str]) -> tuple[Callable[..., Any], Callable[..., Any]]:
    """The state's one-row and batch methods, unbound (looked up on each state)."""
    if method is None:
        found = [name for name in ("push", "update_stream") if callable(getattr(state, name, None))]
        if len(found) != 1:
            raise TypeError(
                f"the state made by make() ({type(state).__name__}) has "
                + ("neither push nor update_stream" if not found else "both push and update_stream")
                + "; give method= the name of the method that takes one row"
            )
        method = found[0]
    elif not isinstance(method, str) or not callable(getattr(state, method, None)):
        raise TypeError(f"the state made by make() ({type(state).__name__}) has no method {method!r}")
    one, many = method, method + "_batch"

    def push_one(target: Any, *row: Any) -> None:
        getattr(target, one)(*row)

    def push_many(target: Any, *columns: Any) -> None:
        batch = getattr(target, many, None)
        if batch is None:
            raise TypeError(f"the state ({type(target).__name__}) has no method {many!r} to push a batch")
        batch(*columns)

    return push_one, push_many


def _take(column: Any, rows: npt.NDArray[np.intp]) -> Any:
    """The rows of a column, in the column's own kind where it has one."""
    if isinstance(column, np.ndarray):
        return column[rows]
    if isinstance(column, (list, tuple)):
        return [column[i] for i in rows.tolist()]
    return np.asarray(column)[rows]


def _instant_us(value: object, name: str) -> int:
    """One timestamp as microseconds since 1970 (UTC)."""
    if isinstance(value, dt.datetime):
        if value.tzinfo is None or value.utcoffset() is None:
            raise TypeError(
                f"{name} {value!r} is a naive datetime; give an aware one (with tzinfo), a datetime64 (UTC) "
                "or epoch seconds"
            )
        return _instant(value)
    if isinstance(value, np.datetime64):
        return int(_datetimes_us(np.asarray(value).reshape(1), name)[0])
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be an aware datetime, a datetime64 or epoch seconds; got {value!r}")
    if isinstance(value, numbers.Integral):
        seconds = int(value)
        if not _MIN_SECONDS <= seconds < _MAX_SECONDS:
            raise ValueError(f"{name} {value!r} is not within the years 1 to 9999 as epoch seconds")
        return seconds * _US
    real = float(value)
    if math.isnan(real):
        raise ValueError(f"{name} is missing (NaN)")
    if not _MIN_SECONDS <= real < _MAX_SECONDS:
        raise ValueError(f"{name} {value!r} is not within the years 1 to 9999 as epoch seconds")
    return round(real * _US)


def _instants_us(values: object) -> npt.NDArray[np.int64]:
    """A batch's timestamps as int64 microseconds since 1970 (UTC)."""
    if isinstance(values, (str, bytes)):
        raise TypeError(f"timestamps must be an array or sequence of timestamps; got {values!r}")
    array = np.asarray(values)
    if array.ndim != 1:
        raise ValueError(f"timestamps must be one-dimensional; got shape {array.shape}")
    kind = array.dtype.kind
    if kind == "M":
        return _datetimes_us(array, "timestamps")
    if kind in "iu":
        if len(array) and not (_MIN_SECONDS <= int(array.min()) and int(array.max()) < _MAX_SECONDS):
            raise ValueError("timestamps hold epoch seconds outside the years 1 to 9999")
        whole: npt.NDArray[np.int64] = array.astype(np.int64) * _US
        return whole
    if kind == "f":
        if not np.all(np.isfinite(array)):
            bad = int(np.flatnonzero(~np.isfinite(array))[0])
            raise ValueError(f"timestamps hold a missing or infinite value (row {bad}: {array[bad]!r})")
        if len(array) and not (_MIN_SECONDS <= array.min() and array.max() < _MAX_SECONDS):
            raise ValueError("timestamps hold epoch seconds outside the years 1 to 9999")
        rounded: npt.NDArray[np.int64] = np.rint(array.astype(np.float64) * _US).astype(np.int64)
        return rounded
    if kind == "O":
        out = np.empty(len(array), dtype=np.int64)
        for i, value in enumerate(array.tolist()):
            out[i] = _instant_us(value, f"timestamp of row {i}")
        return out
    raise TypeError(f"timestamps must be datetimes, datetime64 values or epoch seconds; got dtype {array.dtype}")


def _datetimes_us(array: npt.NDArray[Any], name: str) -> npt.NDArray[np.int64]:
    unit, count = np.datetime_data(array.dtype)
    if unit in ("Y", "M", "W"):
        array, unit, count = array.astype("datetime64[D]"), "D", 1
    elif count != 1 and unit in _UNIT_US:
        array, count = array.astype(f"datetime64[{unit}]"), 1
    if unit not in _UNIT_US:
        raise TypeError(f"{name} have datetime64 unit {unit!r}, which cannot be read as instants")
    values = array.view(np.int64)
    if np.any(values == _NAT):
        raise ValueError(f"{name} hold a missing value (NaT)")
    numerator, denominator = _UNIT_US[unit]
    numerator *= count
    if denominator > 1:
        values = values // denominator
    if numerator > 1:
        limit = np.iinfo(np.int64).max // numerator
        if len(values) and (int(np.abs(values).max()) > limit):
            raise ValueError(f"{name} hold a datetime64 value outside the instants microseconds can count")
        values = values * numerator
    return np.asarray(values, dtype=np.int64)
