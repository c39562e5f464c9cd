"""The period splitter: calendar periods equal to pandas' own grouping by
frequency (in any time zone, across daylight-saving changes, rows in any
order), the same codes from pandas, polars and pyarrow columns of any unit,
runs of rows by size or count, missing timestamps and refusals."""

import datetime as dt
import subprocess
import sys
import zoneinfo

import narwhals as nw
import numpy as np
import pandas as pd
import polars as pl
import pyarrow as pa
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from lumetra._periods import _locate, parse_every, period_of, split_periods

PANDAS_FREQ = {"h": "h", "d": "D", "w": "W-MON", "mo": "MS", "q": "QS-JAN", "y": "YS"}
ZONES = [None, "Europe/Berlin", "America/New_York", "Asia/Kolkata", "Australia/Lord_Howe"]
US = 1_000_000
# Changes of daylight-saving time (UTC, microseconds): Berlin and New York, spring and autumn 2024.
CHANGES = [1711846800 * US, 1729990800 * US, 1710054000 * US, 1730613600 * US]


def split(native, **options):
    return split_periods(nw.from_native(native, eager_only=True), "data", **options)


def timestamps(instants, zone):
    """Microseconds since 1970 (None for missing) as a pandas column."""
    column = pd.to_datetime(pd.Series(instants, dtype="Int64"), unit="us", utc=zone is not None)
    return column.dt.tz_convert(zone) if zone is not None else column


# Spans for each unit: the hours near a change of the clock, days to years over a wider range.
SPAN = {"h": 3 * 86400 * US, "d": 60 * 86400 * US, "w": 200 * 86400 * US, "mo": 700 * 86400 * US,
        "q": 1500 * 86400 * US, "y": 4000 * 86400 * US}


@st.composite
def instants(draw, unit):
    centre = draw(st.sampled_from(CHANGES))
    offsets = st.integers(-SPAN[unit], SPAN[unit])
    # A few clustered draws give periods of one row and empty periods between them.
    values = draw(st.lists(st.one_of(offsets, st.integers(-3600 * US, 3600 * US)), min_size=1, max_size=30))
    return [centre + v for v in values]


@settings(max_examples=80, deadline=None)
@given(data=st.data(), unit=st.sampled_from(list(PANDAS_FREQ)), zone=st.sampled_from(ZONES), step=st.integers(2, 5))
def test_calendar_periods_equal_pandas_grouping(data, unit, zone, step):
    frame = pd.DataFrame({"t": timestamps(data.draw(instants(unit)), zone)})
    periods = split(frame, time="t", every=unit)
    closed = {"closed": "left", "label": "left"} if unit == "w" else {}
    sizes = frame.groupby(pd.Grouper(key="t", freq=PANDAS_FREQ[unit], **closed)).size()
    assert [pd.Timestamp(s) for s in periods.starts] == list(sizes.index)
    assert periods.n.tolist() == sizes.tolist()
    assert periods.ends[:-1] == periods.starts[1:]
    # Each row lies in the period whose bounds its code gives.
    starts = pd.Series([pd.Timestamp(s) for s in periods.starts])[periods.codes].reset_index(drop=True)
    ends = pd.Series([pd.Timestamp(e) for e in periods.ends])[periods.codes].reset_index(drop=True)
    assert (starts <= frame["t"]).all() and (frame["t"] < ends).all()
    assert periods.sorted == bool(pd.Series(periods.codes).is_monotonic_increasing)
    assert periods.sorted or not frame["t"].is_monotonic_increasing
    if zone is not None:
        assert all(s.tzinfo == zoneinfo.ZoneInfo(zone) for s in periods.starts + periods.ends)
    # A multiple joins consecutive periods from the first.
    many = split(frame, time="t", every=f"{step}{unit}")
    assert (many.codes == periods.codes // step).all() and many.starts == periods.starts[::step]
    assert len(many.n) == -(-len(periods.n) // step)


def hours(periods):
    """Each period's length in hours, as time passes (the same zone subtracts wall times)."""
    return [(e.astimezone(dt.timezone.utc) - s.astimezone(dt.timezone.utc)).total_seconds() / 3600
            for s, e in zip(periods.starts, periods.ends)]


def test_days_follow_local_midnight_across_clock_changes():
    berlin, york = zoneinfo.ZoneInfo("Europe/Berlin"), zoneinfo.ZoneInfo("America/New_York")
    frame = pd.DataFrame({"t": pd.to_datetime(["2024-03-30 12:00", "2024-04-01 12:00"]).tz_localize(berlin)})
    periods = split(frame, time="t", every="d")
    assert hours(periods) == [24, 23, 24] and periods.n.tolist() == [1, 0, 1]
    frame = pd.DataFrame({"t": pd.to_datetime(["2024-11-03 00:30", "2024-11-03 23:30"]).tz_localize(york)})
    periods = split(frame, time="t", every="d")
    assert periods.codes.tolist() == [0, 0] and hours(periods) == [25]
    # Havana moves its clock at midnight: that day starts at 01:00. Apia skipped 2011-12-30: an empty day.
    havana = zoneinfo.ZoneInfo("America/Havana")
    frame = pd.DataFrame({"t": pd.to_datetime(["2024-03-09 12:00", "2024-03-10 12:00"]).tz_localize(havana)})
    assert split(frame, time="t", every="d").starts[1] == dt.datetime(2024, 3, 10, 1, tzinfo=havana)
    assert split(frame, time="t", every="d").starts[1].hour == 1
    apia = zoneinfo.ZoneInfo("Pacific/Apia")
    frame = pd.DataFrame({"t": pd.to_datetime(["2011-12-29 12:00", "2011-12-31 12:00"]).tz_localize(apia)})
    periods = split(frame, time="t", every="d")
    assert periods.n.tolist() == [1, 0, 1] and periods.codes.tolist() == [0, 2]
    assert [s.day for s in periods.starts] == [29, 31, 31]  # the day that never was starts as the next


def test_hours_start_at_the_local_hour_and_skip_none():
    frame = pd.DataFrame({"t": pd.to_datetime(["2024-10-27 01:59", "2024-10-27 02:10", "2024-10-27 03:05"])
                          .tz_localize("Europe/Berlin", ambiguous=[True, False, False])})
    periods = split(frame, time="t", every="h")
    # 02:00 happens twice when the clock goes back: two periods of an hour each.
    assert periods.codes.tolist() == [0, 2, 3] and [s.hour for s in periods.starts] == [1, 2, 2, 3]
    kolkata = pd.DataFrame({"t": pd.to_datetime(["2024-01-01 10:45"]).tz_localize("Asia/Kolkata")})
    assert split(kolkata, time="t", every="2h").starts[0].hour == 10


@settings(max_examples=100, deadline=None)
@given(origin=st.integers(-2**62, 2**62), cell=st.sampled_from([1, 7, 3600, 86400 * 10**9]),
       widths=st.lists(st.integers(0, 30), min_size=1, max_size=20).filter(any),
       picks=st.lists(st.floats(0, 1, exclude_max=True), min_size=1, max_size=50))
def test_locating_by_cells_finds_what_binary_search_finds(origin, cell, widths, picks):
    bounds = origin + cell * np.concatenate([[0], np.cumsum(widths)]).astype(object)
    if bounds[-1] > np.iinfo(np.int64).max:
        return
    bounds = np.asarray(bounds.tolist(), dtype=np.int64)
    span = int(bounds[-1]) - int(bounds[0])
    values = np.asarray([int(bounds[0]) + int(p * span) for p in picks], dtype=np.int64)
    want = np.searchsorted(bounds, values, side="right") - 1
    assert _locate(values, bounds).tolist() == want.tolist()
    # Widths sharing no factor: cells of one unit, or the binary search when those are too many.
    uneven = bounds + np.arange(len(bounds))
    want = np.searchsorted(uneven, values, side="right") - 1
    assert _locate(values[values >= uneven[0]], uneven).tolist() == want[values >= uneven[0]].tolist()


def frames_of(instants, zone):
    """The same timestamps as pandas, polars and pyarrow frames, in each unit."""
    column = timestamps(instants, zone)
    out = []
    for unit in ("ns", "us", "ms", "s"):
        pandas = pd.DataFrame({"t": column.astype(f"datetime64[{unit}{', ' + zone if zone else ''}]")})
        out += [pandas, pl.from_pandas(pandas), pa.Table.from_pandas(pandas)]
    return out


@pytest.mark.parametrize("zone", [None, "America/New_York", "UTC"])
@pytest.mark.parametrize("every", ["h", "d", "w", "mo", "2q", "y"])
def test_every_library_and_unit_gives_the_same_periods(zone, every):
    instants = [CHANGES[2] + k * 4111 * US * 7 for k in (5, -3, 0, 17, 2)] + [None]
    instants = [v - v % US if v is not None else v for v in instants]  # whole seconds: every unit holds them
    reference = split(frames_of(instants, zone)[0], time="t", every=every, missing="drop")
    assert reference.codes[-1] == -1 and reference.n.sum() == 5
    for frame in frames_of(instants, zone)[1:]:
        periods = split(frame, time="t", every=every, missing="drop")
        assert periods.codes.tolist() == reference.codes.tolist(), type(frame)
        assert periods.starts == reference.starts and periods.n.tolist() == reference.n.tolist()
    # pandas with pyarrow-backed timestamps too
    arrow = pd.DataFrame({"t": frames_of(instants, zone)[0]["t"].astype(pd.ArrowDtype(pa.timestamp("us", zone)))})
    assert split(arrow, time="t", every=every, missing="drop").codes.tolist() == reference.codes.tolist()


def test_dates_split_as_naive_midnights():
    days = [dt.date(2024, 2, 28), dt.date(2024, 3, 4), None, dt.date(2023, 12, 31)]
    want = split(pd.DataFrame({"t": pd.to_datetime(pd.Series(days))}), time="t", every="w", missing="drop")
    for frame in (pl.DataFrame({"t": days}), pa.table({"t": pa.array(days, pa.date32())}),
                  pd.DataFrame({"t": pd.Series(days, dtype=pd.ArrowDtype(pa.date32()))})):
        periods = split(frame, time="t", every="w", missing="drop")
        assert periods.codes.tolist() == want.codes.tolist() == [9, 10, -1, 0]
        assert periods.starts == want.starts and periods.starts[0] == dt.datetime(2023, 12, 25)


@pytest.mark.parametrize("make", [lambda c: pd.DataFrame({"t": c}), lambda c: pl.from_pandas(pd.DataFrame({"t": c})),
                                  lambda c: pa.Table.from_pandas(pd.DataFrame({"t": c}))])
def test_missing_timestamps_raise_or_are_left_out(make):
    frame = make(timestamps([None, 0, None, 3 * 86400 * US, 5 * 86400 * US], "Europe/Berlin"))
    with pytest.raises(ValueError, match=r"data column 't' has 2 rows with a missing value; pass missing='drop'"):
        split(frame, time="t", every="d")
    periods = split(frame, time="t", every="d", missing="drop")
    assert periods.codes.tolist() == [-1, 0, -1, 3, 5] and periods.n.tolist() == [1, 0, 0, 1, 0, 1]
    assert periods.sorted  # in order over the rows kept
    nothing = make(timestamps([None, None], "Europe/Berlin"))
    periods = split(nothing, time="t", every="d", missing="drop")
    assert periods.codes.tolist() == [-1, -1] and periods.starts == [] and len(periods.n) == 0


@pytest.mark.parametrize("incomplete, sizes, left_out", [
    ("keep", [3, 3, 1], 0), ("drop", [3, 3], 1), ("append", [3, 4], 0)])
def test_runs_of_a_size_and_the_incomplete_one(incomplete, sizes, left_out):
    periods = split(pd.DataFrame({"x": range(7)}), size=3, incomplete=incomplete)
    assert periods.n.tolist() == sizes and periods.sorted
    assert (periods.codes == -1).sum() == left_out
    assert periods.codes.tolist()[:sum(sizes)] == np.repeat(np.arange(len(sizes)), sizes).tolist()
    assert periods.starts == np.cumsum([0] + sizes[:-1]).tolist() and periods.ends == np.cumsum(sizes).tolist()
    # Fewer rows than one run: nothing to append it to, so it stays (or is dropped).
    short = split(pd.DataFrame({"x": range(2)}), size=3, incomplete=incomplete)
    assert short.n.tolist() == ([] if incomplete == "drop" else [2])
    assert split(pd.DataFrame({"x": range(6)}), size=3, incomplete=incomplete).n.tolist() == [3, 3]


def test_count_splits_like_numpy():
    for rows in (1, 2, 7, 10, 23):
        for count in (1, 3, 4, 10, 30):
            periods = split(pl.DataFrame({"x": range(rows)}), count=count, incomplete="drop")
            want = [len(part) for part in np.array_split(np.arange(rows), count)]
            assert periods.n.tolist() == want, (rows, count)
            assert periods.codes.tolist() == np.repeat(np.arange(count), want).tolist()


@pytest.mark.parametrize("options", [dict(size=3), dict(count=2), dict(time="t", every="d")])
def test_an_empty_frame_has_no_periods(options):
    for frame in (pd.DataFrame({"t": pd.Series([], dtype="datetime64[us]")}),
                  pl.DataFrame({"t": pl.Series([], dtype=pl.Datetime("ms", "Europe/Berlin"))})):
        periods = split(frame, **options)
        assert len(periods.codes) == 0 and periods.starts == [] and periods.n.tolist() == []


def test_row_periods_ignore_time_but_need_its_column():
    frame = pd.DataFrame({"t": pd.to_datetime([None, "2024-01-02", "2023-01-01"]), "x": [1, 2, 3]})
    assert split(frame, time="t", size=2).n.tolist() == [2, 1]  # missing and unsorted times do not matter
    with pytest.raises(KeyError, match="data column 'when' is not in the frame"):
        split(frame, time="when", count=2)


@pytest.mark.parametrize("options, error, message", [
    (dict(), TypeError, r"give one of every= \(with time=\), size= or count= to split data into periods; got none"),
    (dict(size=2, count=2), TypeError, "got size= and count="),
    (dict(every="d"), TypeError, "every= needs time="),
    (dict(time="t", every="2x"), ValueError, "every must be a positive whole number"),
    (dict(time="t", every="0d"), ValueError, "every must be"),
    (dict(time="t", every=1), TypeError, "every must be a str"),
    (dict(size=0), ValueError, "size must be a positive int; got 0"),
    (dict(size=True), TypeError, "size must be a positive int; got True"),
    (dict(count=2.0), TypeError, "count must be a positive int"),
    (dict(count=10**12), ValueError, "count must be at most 4194304; got 1000000000000"),
    (dict(size=2, incomplete="pad"), ValueError, "incomplete must be one of 'keep', 'drop', 'append'; got 'pad'"),
    (dict(time="t", every="d", missing="group"), ValueError, "missing must be one of 'raise', 'drop'"),
    (dict(time="x", every="d"), ValueError, "data column 'x' has dtype Int64; expected datetimes or dates"),
    (dict(time="t", every="h"), ValueError, "more than 4194304"),
    (dict(time="t", every="9999y"), ValueError, "reach past the datetimes Python holds"),
    (dict(time="y", every="mo"), KeyError, "data column 'y' is not in the frame"),
    (dict(time=3, every="mo"), TypeError, "time must be a column name"),
])
def test_refusals_name_the_argument(options, error, message):
    frame = pd.DataFrame({"t": pd.to_datetime(["1700-01-01", "2200-01-01"]), "x": [1, 2]})
    with pytest.raises(error, match=message):
        split(frame, **options)


def test_parse_every():
    assert [parse_every(e) for e in ("d", "1d", "12h", "3mo", "q", "2w", "10y")] == [
        (1, "d"), (1, "d"), (12, "h"), (3, "mo"), (1, "q"), (2, "w"), (10, "y")]
    for bad in ("", "m", "1D", "-1d", " 1d", "1.5d", "mo1", "d1"):
        with pytest.raises(ValueError):
            parse_every(bad)


def test_polars_frames_split_without_pandas():
    code = (
        "import sys, polars as pl, narwhals as nw\n"
        "from lumetra._periods import split_periods\n"
        "f = nw.from_native(pl.DataFrame({'t': pl.Series([1, None, 3 * 86400 * 10**6]).cast(pl.Datetime('us', 'Asia/Tokyo'))}))\n"
        "p = split_periods(f, 'data', time='t', every='d', missing='drop')\n"
        "assert p.codes.tolist() == [0, -1, 3], p.codes\n"
        "assert 'pandas' not in sys.modules\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


@settings(max_examples=60, deadline=None)
@given(
    offsets=st.lists(st.integers(-400 * 86400, 400 * 86400), min_size=2, max_size=12),
    unit=st.sampled_from(["h", "d", "w", "mo", "q", "y"]),
    step=st.integers(1, 4),
    zone=st.sampled_from(["UTC", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe"]),
)
def test_period_of_lies_on_the_splitters_grid(offsets, unit, step, zone):
    # Near changes of the clock (the autumn of 2024 in Berlin and New York), hours
    # scaled down so that they stay within a few days.
    scale = 1 if unit != "h" else 100
    instants = [(1729990800 + o // scale) * US for o in offsets]
    column = pd.Series(pd.to_datetime(instants, unit="us", utc=True)).dt.tz_convert(zone)
    every = f"{step}{unit}"
    periods = split_periods(nw.from_native(pd.DataFrame({"t": column}), eager_only=True), "data",
                            time="t", every=every)
    first = min(instants)
    tz = zoneinfo.ZoneInfo(zone)
    for instant, code in zip(instants, periods.codes):
        start, end = period_of(instant, every, tz, first)
        assert (pd.Timestamp(start, unit="us", tz="UTC"), pd.Timestamp(end, unit="us", tz="UTC")) == \
            (pd.Timestamp(periods.starts[code]), pd.Timestamp(periods.ends[code]))


def test_period_of_far_from_its_origin_and_past_the_calendar():
    def at(*args):
        return int(dt.datetime(*args, tzinfo=dt.timezone.utc).timestamp()) * US

    origin, later = at(2024, 1, 1), at(2031, 3, 5, 7)
    assert period_of(later, "3mo", dt.timezone.utc, origin) == (at(2031, 1, 1), at(2031, 4, 1))
    assert period_of(later, "2d", dt.timezone.utc, origin) == (at(2031, 3, 5), at(2031, 3, 7))  # 2620 days on
    assert period_of(later, "2d", dt.timezone.utc, at(2024, 1, 2)) == (at(2031, 3, 4), at(2031, 3, 6))
    with pytest.raises(ValueError, match="years 1 to 9999"):
        period_of(at(9999, 12, 31, 12), "1d", zoneinfo.ZoneInfo("Europe/Berlin"))
