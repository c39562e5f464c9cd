"""Periods of a timeline: a frame split into consecutive periods, by the
calendar of a datetime column (hours, days, weeks, months, quarters, years,
in the column's own time zone), or by row order (runs of a given size, or a
given number of near-equal chunks). Each row gets its period's code; the
periods come with their bounds and their number of rows.

The column is read through the library that holds it, as int64 counts of
its unit (pandas is never imported), and its values are located among the
period bounds (UTC instants) in NumPy, without a loop over rows."""

from __future__ import annotations

import datetime as dt
import numbers
import re
import zoneinfo
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Optional

import narwhals as nw
import numpy as np
import numpy.typing as npt

from ._frame import Frame, Series, dtype_of, get_column, missing_error
from ._validation import check_choice, check_column, check_missing

INCOMPLETE_POLICIES: tuple[str, ...] = ("keep", "drop", "append")
UNITS: tuple[str, ...] = ("h", "d", "w", "mo", "q", "y")

# Periods one split may make: a span that would need more (hours over
# centuries) is refused before any bound is built.
MAX_PERIODS = 1 << 22

Codes = npt.NDArray[np.int64]
Zone = Optional[dt.tzinfo]

_EVERY = re.compile(r"([0-9]*)(h|d|w|mo|q|y)")
_OFFSET = re.compile(r"(?:UTC)?([+-])([0-9]{2}):?([0-9]{2})")
_NAT = np.iinfo(np.int64).min
_INT64_MAX = np.iinfo(np.int64).max
_EPOCH = dt.datetime(1970, 1, 1)
_EPOCH_UTC = dt.datetime(1970, 1, 1, tzinfo=dt.timezone.utc)
_HOUR = 3_600_000_000  # microseconds

# A value of each unit is (numerator / denominator) microseconds.
_UNIT_US: dict[str, tuple[int, int]] = {
    "ns": (1, 1000),
    "us": (1, 1),
    "ms": (1000, 1),
    "s": (1_000_000, 1),
    "m": (60_000_000, 1),
    "h": (_HOUR, 1),
    "D": (86_400_000_000, 1),
}


@dataclass(frozen=True, eq=False)
class Periods:
    """The periods of one frame.

    `codes` holds each row's period, 0 to k-1, or -1 for a row left out.
    `starts` and `ends` (exclusive) bound each period: datetimes for periods
    of time (tz-aware in the column's zone, naive for naive data), row
    positions for periods of rows. `n` counts each period's rows (0 for a
    period of time that holds none). `sorted` says the codes never decrease
    over the rows kept, so each period is a slice of the frame."""

    codes: Codes
    starts: list[Any]
    ends: list[Any]
    n: Codes
    sorted: bool


def parse_every(every: str) -> tuple[int, str]:
    """A period length such as "1d", "3mo" or "h" as (count, unit)."""
    if not isinstance(every, str):
        raise TypeError(f"every must be a str such as '1d' or '3mo'; got {every!r}")
    match = _EVERY.fullmatch(every)
    if match is None or (match.group(1) and int(match.group(1)) == 0):
        raise ValueError(
            f"every must be a positive whole number followed by one of {', '.join(map(repr, UNITS))} "
            f"(hour, day, week, month, quarter, year), such as '1d' or '3mo'; got {every!r}"
        )
    return int(match.group(1) or 1), match.group(2)


def split_periods(
    frame: Frame,
    argument: str,
    *,
    time: Optional[str] = None,
    every: Optional[str] = None,
    size: Optional[int] = None,
    count: Optional[int] = None,
    incomplete: str = "keep",
    missing: str = "raise",
) -> Periods:
    """The frame's rows split into consecutive periods, in one of three ways:

    - `every` (with `time`, a datetime or date column): calendar periods such
      as "1d", "2w", "1mo", "1q", "1y" or "6h". Days start at local midnight
      in the column's time zone (23 or 25 hours long across a change of
      daylight-saving time), weeks on Monday, quarters in January, April,
      July and October; hours are 3600 seconds from the first one's local
      hour. A multiple starts at the period holding the earliest timestamp.
      Every period from the one holding the earliest timestamp to the one
      holding the latest is there, those holding no row with n=0. Rows may
      come in any order. `missing` says what a missing timestamp does:
      "raise" a ValueError, or "drop" its row (code -1).
    - `size`: runs of `size` consecutive rows. `incomplete` says what the
      last run does when it is shorter: "keep" it as a period of its own,
      "drop" its rows (code -1), or "append" them to the period before it
      (when there is one).
    - `count`: `count` runs of consecutive rows whose sizes differ by at
      most one, the larger first.

    `incomplete` applies to `size` only: periods of time are complete by the
    calendar, and `count` runs cover every row. With `size` or `count`,
    `time` is not used to split (it must still be a column of the frame) and
    the bounds are row positions. `argument` names the frame in messages.
    An empty frame has no periods."""
    ways = [name for name, value in (("every", every), ("size", size), ("count", count)) if value is not None]
    if len(ways) != 1:
        given = f"got {' and '.join(w + '=' for w in ways)}" if ways else "got none"
        raise TypeError(f"give one of every= (with time=), size= or count= to split {argument} into periods; {given}")
    check_choice("incomplete", incomplete, INCOMPLETE_POLICIES)
    check_missing(missing, group=False)
    series = get_column(frame, check_column("time", time), argument) if time is not None else None
    rows = len(frame)
    if size is not None:
        return _by_size(rows, _positive_int("size", size), incomplete)
    if count is not None:
        return _by_count(rows, _positive_int("count", count))
    if series is None:
        raise TypeError(f"every= needs time=, the datetime column of {argument} to split by")
    assert every is not None
    step, unit = parse_every(every)
    return _by_time(series, argument, step, unit, every, missing)


def _positive_int(name: str, value: object) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be a positive int; got {value!r}")
    if int(value) < 1:
        raise ValueError(f"{name} must be a positive int; got {value!r}")
    return int(value)


# ---- periods of rows ------------------------------------------------------------------------------


def _by_size(rows: int, size: int, incomplete: str) -> Periods:
    full, rest = divmod(rows, size)
    sizes = [size] * full
    if rest and (incomplete == "keep" or (incomplete == "append" and not full)):
        sizes.append(rest)
    elif rest and incomplete == "append":
        sizes[-1] += rest
    return _runs(rows, sizes)


def _by_count(rows: int, count: int) -> Periods:
    if count > MAX_PERIODS:
        raise ValueError(f"count must be at most {MAX_PERIODS}; got {count}")
    if rows == 0:
        return _runs(0, [])
    share, larger = divmod(rows, count)
    return _runs(rows, [share + 1] * larger + [share] * (count - larger))


def _runs(rows: int, sizes: list[int]) -> Periods:
    """Consecutive runs of the given sizes from the first row; rows after
    them are left out."""
    n = np.asarray(sizes, dtype=np.int64)
    codes = np.repeat(np.arange(len(sizes), dtype=np.int64), n)
    if len(codes) < rows:
        codes = np.concatenate([codes, np.full(rows - len(codes), -1, dtype=np.int64)])
    ends = np.cumsum(n)
    return Periods(codes, (ends - n).tolist(), ends.tolist(), n, True)


# ---- periods of time ------------------------------------------------------------------------------


class _TooMany(ValueError):
    """More periods than one split may make."""


def _by_time(series: Series, argument: str, step: int, unit: str, every: str, missing: str) -> Periods:
    name = str(series.name)
    zone = _zone_of(series, argument)
    values, per = _instants(series, argument)
    gaps = values == _NAT
    absent = int(np.count_nonzero(gaps))
    if absent and missing == "raise":
        raise missing_error(argument, name, absent, group=False)
    if absent == len(values):
        return Periods(np.full(len(values), -1, dtype=np.int64), [], [], np.zeros(0, dtype=np.int64), True)
    first = int(np.min(values, where=~gaps, initial=_INT64_MAX)) if absent else int(values.min())
    last = int(values.max())
    try:
        bounds = _bounds(_to_us(first, per), _to_us(last, per), zone, step, unit, argument, every)
        starts = [_wall(b, zone) for b in bounds]
    except _TooMany:
        raise
    except (OverflowError, ValueError):
        raise ValueError(
            f"{argument} column {name!r} has timestamps whose periods of every={every!r} reach past the "
            "datetimes Python holds (years 1 to 9999)"
        ) from None
    codes = _locate(values, np.asarray([_from_us(b, per) for b in bounds], dtype=np.int64))
    kept = codes
    if absent:
        codes[gaps] = -1
        kept = codes[~gaps]
    n = np.bincount(kept, minlength=len(bounds) - 1).astype(np.int64, copy=False)
    return Periods(codes, starts[:-1], starts[1:], n, bool(np.all(kept[1:] >= kept[:-1])))


def _locate(values: Codes, bounds: Codes) -> Codes:
    """Each value's period: i where bounds[i] <= value < bounds[i + 1], for
    values from bounds[0] to before bounds[-1] (others get any code).

    When every bound lies on a grid of cells not much more numerous than the
    rows (hours, or days whose length changes by whole hours), a value's
    cell is found by one division and its period read from a table of the
    cells; otherwise by binary search."""
    widths = np.diff(bounds)
    cell = int(np.gcd.reduce(widths))
    origin, span = int(bounds[0]), int(bounds[-1]) - int(bounds[0])
    if span > _INT64_MAX or span // cell > max(2 * len(values), 1 << 16):
        return (np.searchsorted(bounds, values, side="right") - 1).astype(np.int64, copy=False)
    table = np.repeat(np.arange(len(widths), dtype=np.int64), widths // cell)
    with np.errstate(over="ignore"):  # a missing value wraps around; its code is set apart
        cells = np.subtract(values, origin)
    if cell > 1:
        np.floor_divide(cells, cell, out=cells)
    return table.take(cells, mode="clip")


def _zone_of(series: Series, argument: str) -> Zone:
    """The column's time zone (None for naive datetimes and dates);
    ValueError for a column of another dtype."""
    dtype = dtype_of(series)
    if dtype == nw.Date:
        return None
    if isinstance(dtype, nw.Datetime):
        name = dtype.time_zone
    elif _pandas_datetimes(series):
        # narwhals leaves some pandas zones Unknown (names with "_", "+"
        # or digits, such as America/New_York); the dtype has its own.
        zone = getattr(series.to_native().dtype, "tz", None)
        name = None if zone is None else str(getattr(zone, "key", None) or getattr(zone, "zone", None) or zone)
    else:
        raise ValueError(
            f"{argument} column {series.name!r} has dtype {dtype}; expected datetimes or dates to split by time"
        )
    if name is None:
        return None
    for candidate in (name, name.removeprefix("dateutil/")):
        try:
            return zoneinfo.ZoneInfo(candidate)
        except (zoneinfo.ZoneInfoNotFoundError, ValueError):
            pass
    offset = _OFFSET.fullmatch(name)
    if offset is not None:
        sign = -1 if offset.group(1) == "-" else 1
        return dt.timezone(sign * dt.timedelta(hours=int(offset.group(2)), minutes=int(offset.group(3))))
    raise ValueError(f"{argument} column {series.name!r} has time zone {name!r}, which zoneinfo does not know")


def _pandas_datetimes(series: Series) -> bool:
    """A pandas column of datetime64 or DatetimeTZDtype (not pyarrow-backed)."""
    if not series.implementation.is_pandas():
        return False
    dtype = series.to_native().dtype
    return getattr(dtype, "kind", "") == "M" and not hasattr(dtype, "pyarrow_dtype")


def _instants(series: Series, argument: str) -> tuple[Codes, tuple[int, int]]:
    """The column as int64 counts of its unit since 1970-01-01 (UTC for
    tz-aware data), missing values as the least int64, and its unit in
    microseconds (numerator, denominator)."""
    dtype = dtype_of(series)
    native = series.to_native()
    if series.implementation.is_polars():
        # The physical column is the count itself; nulls are filled first so
        # that it stays int64 on its way to NumPy.
        physical = native.to_physical()
        unit = dtype.time_unit if isinstance(dtype, nw.Datetime) else "D"
        if not physical.null_count():
            return np.asarray(physical.to_numpy(), dtype=np.int64), _UNIT_US[unit]
        values = np.array(physical.fill_null(0).to_numpy(), dtype=np.int64)
        values[native.is_null().to_numpy()] = _NAT
        return values, _UNIT_US[unit]
    if _pandas_datetimes(series):
        # The UTC counts in place, for tz-aware columns too.
        held = getattr(native.dtype, "unit", None) or np.datetime_data(native.dtype)[0]
        array = native.to_numpy(dtype=f"datetime64[{held}]")
    else:
        array = series.to_numpy()
        if array.dtype.kind != "M":  # pyarrow-backed pandas dates come as objects
            try:
                array = series.to_arrow().to_numpy(zero_copy_only=False)
            except Exception:  # noqa: BLE001 - no arrow: refused below
                pass
    read: tuple[str, int] = np.datetime_data(array.dtype) if array.dtype.kind == "M" else ("", 0)
    if read[0] not in _UNIT_US or read[1] != 1:
        raise ValueError(f"{argument} column {series.name!r} has dtype {dtype}, which cannot be read as timestamps")
    return np.ascontiguousarray(array).view(np.int64), _UNIT_US[read[0]]


def _to_us(value: int, per: tuple[int, int]) -> int:
    """A count of the column's unit as whole microseconds (rounded down)."""
    return value * per[0] // per[1]


def _from_us(us: int, per: tuple[int, int]) -> int:
    """The least count of the column's unit at or after `us` microseconds,
    within int64 (above the missing value)."""
    value = -(-us * per[1] // per[0])
    return min(max(value, _NAT + 1), _INT64_MAX)


def _wall(us: int, zone: Zone) -> dt.datetime:
    """The instant `us` microseconds after 1970 as the column's wall time."""
    if zone is None:
        return _EPOCH + dt.timedelta(microseconds=us)
    return (_EPOCH_UTC + dt.timedelta(microseconds=us)).astimezone(zone)


def _instant(wall: dt.datetime) -> int:
    """Microseconds since 1970 of a wall time (aware: its UTC instant, with
    fold=0 for a time that is ambiguous or does not exist)."""
    delta = wall - (_EPOCH if wall.tzinfo is None else _EPOCH_UTC)
    return (delta.days * 86_400 + delta.seconds) * 1_000_000 + delta.microseconds


def _bounds(first: int, last: int, zone: Zone, step: int, unit: str, argument: str, every: str) -> list[int]:
    """The bounds (microseconds since 1970) of the periods from the one
    holding instant `first` to the one holding `last`: k + 1 of them."""
    if unit == "h":
        wall = _wall(first, zone)
        start = _instant(wall.replace(minute=0, second=0, microsecond=0))
        width = step * _HOUR
        while start > first:  # the local hour began in a gap of the clock
            start -= width
        periods = (last - start) // width + 1
        _check_periods(periods, argument, every)
        return [start + i * width for i in range(periods + 1)]
    index, wall_of, width = _CALENDAR[unit]
    j = index(_wall(first, zone))
    periods = max((index(_wall(last, zone)) - j) // (width * step) + 1, 1)
    _check_periods(periods, argument, every)

    def bound(i: int) -> int:
        return _instant(wall_of(j + i * width * step, zone))

    bounds = [bound(i) for i in range(periods + 1)]
    # A clock set back over midnight may put an instant's wall date before
    # the bound of its period: add the periods that need it.
    while bounds[0] > first:
        j -= width * step
        bounds.insert(0, bound(0))
    while bounds[-1] <= last:
        bounds.append(bound(len(bounds)))
    _check_periods(len(bounds) - 1, argument, every)
    return bounds


def period_of(instant: int, every: str, zone: Zone, origin: Optional[int] = None) -> tuple[int, int]:
    """The bounds (start, end exclusive) of the period of `every` that holds
    `instant`, on the grid that split_periods makes for data whose earliest
    timestamp is `origin` (default: `instant` itself): with `step` units per
    period, the periods start at the one-unit period holding `origin` and
    follow each other from there, both ways. Instants and bounds are
    microseconds since 1970 (UTC instants, or wall times when `zone` is
    None). The work does not grow with the distance from `origin`.
    ValueError for a period that reaches past the years 1 to 9999."""
    step, unit = parse_every(every)
    first = instant if origin is None else origin
    try:
        if unit == "h":
            wall = _wall(first, zone)
            start = _instant(wall.replace(minute=0, second=0, microsecond=0))
            width = step * _HOUR
            while start > first:  # as in _bounds: the local hour began in a gap of the clock
                start -= width
            start += (instant - start) // width * width
            _wall(start + width, zone)  # within the datetimes Python holds
            return start, start + width
        index, wall_of, width = _CALENDAR[unit]
        span = width * step
        j = index(_wall(first, zone))

        def bound(k: int) -> int:
            return _instant(wall_of(j + k * span, zone))

        while bound(0) > first:
            j -= span
        k = (index(_wall(instant, zone)) - j) // span
        # A clock set back over midnight puts some instants' wall dates in the
        # period before their own.
        while bound(k) > instant:
            k -= 1
        while bound(k + 1) <= instant:
            k += 1
        return bound(k), bound(k + 1)
    except (OverflowError, ValueError):
        raise ValueError(
            f"the period of every={every!r} that holds this timestamp reaches past the datetimes "
            "Python holds (years 1 to 9999)"
        ) from None


def _check_periods(periods: int, argument: str, every: str) -> None:
    if periods > MAX_PERIODS:
        raise _TooMany(
            f"every={every!r} splits {argument} into {periods} periods, more than {MAX_PERIODS}; "
            "choose longer periods"
        )


# Per unit: the index of a wall time's period of one unit, the wall time at
# which period `index` starts, and the indices one unit spans.
def _day(wall: dt.datetime) -> int:
    return wall.toordinal()


def _monday(wall: dt.datetime) -> int:
    return wall.toordinal() - wall.weekday()


def _month(wall: dt.datetime) -> int:
    return wall.year * 12 + wall.month - 1


def _quarter(wall: dt.datetime) -> int:
    return wall.year * 12 + (wall.month - 1) // 3 * 3


def _year(wall: dt.datetime) -> int:
    return wall.year * 12


def _day_start(index: int, zone: Zone) -> dt.datetime:
    day = dt.date.fromordinal(index)
    return dt.datetime(day.year, day.month, day.day, tzinfo=zone)


def _month_start(index: int, zone: Zone) -> dt.datetime:
    return dt.datetime(index // 12, index % 12 + 1, 1, tzinfo=zone)


_Calendar = tuple[Callable[[dt.datetime], int], Callable[[int, Zone], dt.datetime], int]
_CALENDAR: dict[str, _Calendar] = {
    "d": (_day, _day_start, 1),
    "w": (_monday, _day_start, 7),
    "mo": (_month, _month_start, 1),
    "q": (_quarter, _month_start, 3),
    "y": (_year, _month_start, 12),
}
