"""Monitors kept period by period: the period of one instant on the grid of
the period splitter, batches split at boundaries into states equal to
monitors fed each period's rows, the clock, days across changes of
daylight-saving time, late rows, timestamps of every kind, and callbacks
that fail without losing a period."""

import datetime as dt
import warnings
import zoneinfo

import _lumetra
import numpy as np
import pandas as pd
import pytest

import lumetra

UTC = dt.timezone.utc
BERLIN = zoneinfo.ZoneInfo("Europe/Berlin")
US = 1_000_000
T0 = 1_700_000_000 // 3600 * 3600  # a whole UTC hour, in epoch seconds


def binary():
    return _lumetra.PyBinaryClassificationStreaming([1, 0, 1, 0], [1, 1, 0, 0])


class Sink:
    """A callback that records what it is handed and fails while told to."""

    def __init__(self):
        self.closed, self.failing = [], 0

    def __call__(self, start, end, state):
        if self.failing:
            self.failing -= 1
            raise OSError("store unreachable")
        self.closed.append((start, end, state))


class Clock:
    def __init__(self, now):
        self.now = now

    def __call__(self):
        return self.now


def utc(*args):
    return dt.datetime(*args, tzinfo=UTC)


# ---- batches and states -------------------------------------------------------------------------

def test_a_batch_across_three_periods_equals_monitors_fed_each_period():
    sink = Sink()
    monitor = lumetra.PeriodicMonitor(binary, "1h", sink)
    rng = np.random.default_rng(5)
    # Three hours, in order of the hours but not within them; the last stays open.
    seconds = np.concatenate([T0 + rng.permutation(3600)[:40] + 3600 * h for h in range(3)])
    truth, pred = rng.integers(0, 2, len(seconds)), rng.integers(0, 2, len(seconds))
    monitor.push_batch(seconds, truth, pred)
    assert [(s, e) for s, e, _ in sink.closed] == [(utc(2023, 11, 14, 22), utc(2023, 11, 14, 23)),
                                                  (utc(2023, 11, 14, 23), utc(2023, 11, 15))]
    assert (monitor.start, monitor.end, monitor.rows, monitor.late) == (utc(2023, 11, 15), utc(2023, 11, 15, 1), 40, 0)
    states = [state for _, _, state in sink.closed] + [monitor.state]
    for hour, state in enumerate(states):
        direct = binary()
        rows = slice(40 * hour, 40 * (hour + 1))
        direct.push_batch(truth[rows], pred[rows])
        assert state.to_bytes() == direct.to_bytes()
    # Merging the periods afterwards is the monitor's own merge.
    whole = binary()
    whole.push_batch(truth, pred)
    merged = states[0]
    merged.merge(states[1])
    merged.merge(states[2])
    assert merged.to_bytes() == whole.to_bytes()


def test_rows_one_by_one_and_in_batches_give_the_same_states():
    rng = np.random.default_rng(9)
    seconds = T0 + np.sort(rng.integers(0, 5 * 3600, 300))
    seconds[[50, 51, 200]] -= 4000  # late rows
    values, pred = rng.normal(size=300), rng.normal(size=300)
    results = []
    for feed in ("rows", "batches"):
        sink = Sink()
        make = lambda: _lumetra.PyLinearRegressionStreaming([1.0, 2.0, 3.0], [1.5, 2.0, 2.5])  # noqa: E731
        monitor = lumetra.PeriodicMonitor(make, "1h", sink)
        if feed == "rows":
            for t, v, p in zip(seconds.tolist(), values.tolist(), pred.tolist()):
                monitor.push(t, v, p)
        else:
            for part in np.array_split(np.arange(300), 7):
                monitor.push_batch(seconds[part], values[part], pred[part])
        monitor.close()
        results.append(([(s, e, st.to_bytes()) for s, e, st in sink.closed], monitor.late))
    assert results[0] == results[1]
    assert results[0][1] == 3 and len(results[0][0]) == 5


def test_a_detector_pushed_through_update_stream():
    baseline = np.linspace(0.0, 1.0, 200)
    make = lambda: _lumetra.PyStreamingContinuousDataDriftDecay(baseline, None, None)  # noqa: E731
    sink = Sink()
    monitor = lumetra.PeriodicMonitor(make, "1d", sink, tz="Europe/Berlin")
    day = dt.datetime(2024, 5, 6, 23, 30, tzinfo=BERLIN)
    xs = np.array([0.1, 0.2, 0.9, 0.4])
    stamps = [day, day + dt.timedelta(minutes=20), day + dt.timedelta(minutes=40), day + dt.timedelta(hours=2)]
    monitor.push_batch(stamps, xs)
    monitor.push(day + dt.timedelta(hours=3), 0.5)
    assert [(s.isoformat(), e.isoformat()) for s, e, _ in sink.closed] == [
        ("2024-05-06T00:00:00+02:00", "2024-05-07T00:00:00+02:00")]
    first, second = make(), make()
    first.update_stream_batch(xs[:2])  # 23:30 and 23:50; 00:10 is the next day's
    second.update_stream_batch(xs[2:])
    second.update_stream(0.5)
    assert sink.closed[0][2].to_bytes() == first.to_bytes()
    assert monitor.state.to_bytes() == second.to_bytes() and monitor.rows == 3


def test_columns_are_sliced_in_their_own_kind():
    seen = []

    class Recorder:
        def push(self, *row):
            seen.append(row)

        def push_batch(self, *columns):
            seen.append(tuple(type(c).__name__ for c in columns))

    monitor = lumetra.PeriodicMonitor(Recorder, "1h", lambda *a: None)
    monitor.push_batch([T0, T0 + 3600], ["a", "b"], np.array([1, 2]), pd.Series([3, 4]))
    assert seen == [("list", "ndarray", "ndarray")] * 2
    seen.clear()
    monitor.push_batch([T0 + 3601], ["c"], np.array([3]), pd.Series([5]))  # within one period: as given
    assert seen == [("list", "ndarray", "Series")]


# ---- the clock and the calendar -----------------------------------------------------------------

def test_the_clock_closes_periods_and_empty_ones_are_not_handed():
    clock, sink = Clock(T0 + 10), Sink()
    monitor = lumetra.PeriodicMonitor(binary, "1h", sink, clock=clock)
    monitor.tick()  # opens the period of now
    assert (monitor.start, monitor.rows) == (utc(2023, 11, 14, 22), 0)
    monitor.push(T0 + 20, 1, 1)
    clock.now = T0 + 3599
    monitor.tick()
    assert sink.closed == []
    clock.now = T0 + 5 * 3600 + 1  # four quiet hours pass
    monitor.tick()
    assert [(s, e) for s, e, _ in sink.closed] == [(utc(2023, 11, 14, 22), utc(2023, 11, 14, 23))]
    assert monitor.start == utc(2023, 11, 15, 3)
    monitor.push(T0 + 4 * 3600, 1, 0)  # an hour the clock has closed
    assert monitor.late == 1 and monitor.rows == 0
    monitor.close()  # nothing to hand: the period holds no rows
    assert len(sink.closed) == 1
    monitor.push(T0 + 5 * 3600 + 7, 0, 0)
    monitor.close()
    monitor.push(T0 + 5 * 3600 + 8, 0, 1)  # after close: a fresh state for the same period
    clock.now = T0 + 6 * 3600
    monitor.tick()
    assert [(s, e, st.to_bytes()) for s, e, st in sink.closed[1:]] == [
        (utc(2023, 11, 15, 3), utc(2023, 11, 15, 4), _fed([(0, 0)])),
        (utc(2023, 11, 15, 3), utc(2023, 11, 15, 4), _fed([(0, 1)])),
    ]


def _fed(rows):
    state = binary()
    for row in rows:
        state.push(*row)
    return state.to_bytes()


@pytest.mark.parametrize("day, hours", [((2024, 3, 31), 23), ((2024, 10, 27), 25)])
def test_days_across_a_change_of_daylight_saving_time(day, hours):
    sink = Sink()
    monitor = lumetra.PeriodicMonitor(binary, "1d", sink, tz=BERLIN)
    midnight = dt.datetime(*day, tzinfo=BERLIN)
    start = midnight.astimezone(UTC)
    # The last minute of the day, an hour each side of its end, in UTC instants.
    stamps = [start + dt.timedelta(hours=h) for h in (0, hours - 1, hours - 1 + 59 / 60, hours, hours + 1)]
    monitor.push_batch(np.array([np.datetime64(s.replace(tzinfo=None), "us") for s in stamps]), [1] * 5, [1] * 5)
    (closed_start, closed_end, state), = sink.closed
    assert closed_start == midnight and closed_end - closed_start == dt.timedelta(hours=24)  # wall clock
    assert (closed_end.astimezone(UTC) - closed_start.astimezone(UTC)) == dt.timedelta(hours=hours)
    assert state.to_bytes() == _fed([(1, 1)] * 3) and monitor.rows == 2


def test_multiples_are_aligned_to_the_first_period_or_to_an_origin():
    first = lumetra.PeriodicMonitor(binary, "6h", lambda *a: None)
    first.push(utc(2024, 1, 1, 5, 30), 1, 1)
    assert (first.start, first.end) == (utc(2024, 1, 1, 5), utc(2024, 1, 1, 11))
    first.push(utc(2024, 1, 2, 0), 1, 1)
    assert first.start == utc(2024, 1, 1, 23)
    fixed = lumetra.PeriodicMonitor(binary, "6h", lambda *a: None, origin=utc(2000, 1, 1))
    fixed.push(utc(2024, 1, 1, 5, 30), 1, 1)
    assert (fixed.start, fixed.end) == (utc(2024, 1, 1), utc(2024, 1, 1, 6))
    weeks = lumetra.PeriodicMonitor(binary, "2w", lambda *a: None, origin=utc(2024, 1, 1), tz="UTC")
    weeks.push(utc(2024, 2, 14), 1, 1)
    assert (weeks.start, weeks.end) == (utc(2024, 2, 12), utc(2024, 2, 26))


# ---- late rows and bad timestamps ---------------------------------------------------------------

def test_late_rows_by_policy():
    # Row 2 comes back into the first hour after row 1 opened the second.
    seconds = [T0 + 10, T0 + 3700, T0 + 20, T0 + 3800]
    truth, pred = np.array([1, 0, 1, 1]), np.array([1, 1, 0, 1])
    states = {}
    for late in ("drop", "current"):
        sink = Sink()
        monitor = lumetra.PeriodicMonitor(binary, "1h", sink, late=late)
        monitor.push_batch(seconds, truth, pred)
        monitor.push(T0 - 5, 0, 0)  # before the first period
        monitor.close()
        assert monitor.late == 2
        states[late] = [st.to_bytes() for _, _, st in sink.closed]
    assert states["drop"] == [_fed([(1, 1)]), _fed([(0, 1), (1, 1)])]
    assert states["current"] == [_fed([(1, 1)]), _fed([(0, 1), (1, 0), (1, 1), (0, 0)])]

    strict = lumetra.PeriodicMonitor(binary, "1h", Sink(), late="raise")
    strict.push(T0 + 3600, 1, 1)
    before = strict.state.to_bytes()
    with pytest.raises(ValueError, match="late rows: 1 of the batch's rows.*row 2.*nothing was pushed"):
        strict.push_batch([T0 + 3601, T0 + 7300, T0 + 3602], truth[:3], pred[:3])
    with pytest.raises(ValueError, match="late row"):
        strict.push(T0 + 3599, 1, 1)
    assert (strict.state.to_bytes(), strict.rows, strict.start, strict.late) == (before, 1, utc(2023, 11, 14, 23), 0)


def test_timestamps_of_every_kind_place_rows_alike():
    instants = [utc(2024, 3, 1, 10, 59, 59, 999999), utc(2024, 3, 1, 11), utc(2024, 3, 1, 12, 30)]
    kinds = {
        "aware": instants,
        "zoned": [i.astimezone(BERLIN) for i in instants],
        "datetime64[ns]": np.array([np.datetime64(i.replace(tzinfo=None), "ns") for i in instants]),
        "seconds": np.array([i.timestamp() for i in instants]),
        "pandas": pd.Series(instants),
    }
    outcomes = []
    for name, stamps in kinds.items():
        sink = Sink()
        monitor = lumetra.PeriodicMonitor(binary, "1h", sink)
        monitor.push_batch(stamps, [1, 0, 1], [1, 0, 0])
        outcomes.append([(s, e, st.to_bytes()) for s, e, st in sink.closed] + [(monitor.start, monitor.rows)])
    assert all(o == outcomes[0] for o in outcomes), list(kinds)
    assert outcomes[0][0][:2] == (utc(2024, 3, 1, 10), utc(2024, 3, 1, 11))


@pytest.mark.parametrize("stamps, error", [
    ([T0, float("nan")], ValueError),
    (np.array(["2024-01-01", "NaT"], dtype="datetime64[s]"), ValueError),
    ([dt.datetime(2024, 1, 1), dt.datetime(2024, 1, 2)], TypeError),
    ([True, False], TypeError),
    (["2024-01-01", "2024-01-02"], TypeError),
    ([T0, 10**13], ValueError),
    (np.array([T0 * 1e6, 1e30]), ValueError),
])
def test_bad_timestamps_push_nothing(stamps, error):
    monitor = lumetra.PeriodicMonitor(binary, "1h", Sink())
    monitor.push(T0, 1, 1)
    before = monitor.state.to_bytes()
    with pytest.raises(error):
        monitor.push_batch(stamps, [1, 1], [1, 1])
    with pytest.raises(error):
        monitor.push(stamps[1], 1, 1)
    with pytest.raises(ValueError, match="column 1 of the batch has 1 rows"):
        monitor.push_batch([T0, T0 + 1], [1, 1], [1])
    assert (monitor.state.to_bytes(), monitor.rows) == (before, 1)


def test_refusals_at_construction():
    with pytest.raises(ValueError, match="every must be"):
        lumetra.PeriodicMonitor(binary, "1m", Sink())
    with pytest.raises(ValueError, match="late must be one of"):
        lumetra.PeriodicMonitor(binary, "1h", Sink(), late="keep")
    with pytest.raises(ValueError, match="tz must be"):
        lumetra.PeriodicMonitor(binary, "1h", Sink(), tz="Mars/Olympus")
    with pytest.raises(TypeError, match="neither push nor update_stream"):
        lumetra.PeriodicMonitor(object, "1h", Sink())
    with pytest.raises(TypeError, match="no method 'add'"):
        lumetra.PeriodicMonitor(binary, "1h", Sink(), method="add")


# ---- callbacks that fail ------------------------------------------------------------------------

def test_a_raising_callback_loses_no_period_and_stops_nothing():
    sink = Sink()
    monitor = lumetra.PeriodicMonitor(binary, "1h", sink, max_pending=2)
    sink.failing = 1
    monitor.push(T0, 1, 1)
    with pytest.warns(RuntimeWarning, match="on_close raised OSError: store unreachable"):
        monitor.push(T0 + 3600, 0, 1)
    assert [p.start for p in monitor.pending] == [utc(2023, 11, 14, 22)] and monitor.rows == 1
    monitor.push(T0 + 3601, 1, 0)  # the stream goes on
    monitor.tick(T0 + 3602)  # retried at a tick: delivered
    assert monitor.pending == () and [s for s, _, _ in sink.closed] == [utc(2023, 11, 14, 22)]

    sink.failing = 10
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        monitor.push(T0 + 2 * 3600, 1, 1)
        monitor.push(T0 + 3 * 3600, 1, 1)
    assert len(monitor.pending) == 2
    with pytest.raises(OSError, match="store unreachable") as raised:
        monitor.push(T0 + 4 * 3600, 0, 0)  # a third waiting period: the error propagates
    assert any("do not repeat" in note for note in getattr(raised.value, "__notes__", ["do not repeat"]))
    assert len(monitor.pending) == 3 and monitor.rows == 1 and monitor.start == utc(2023, 11, 15, 2)
    with pytest.raises(OSError):
        monitor.close()  # at shutdown a waiting period is an error
    assert len(monitor.pending) == 4
    sink.failing = 0
    monitor.close()
    assert [s for s, _, _ in sink.closed] == [utc(2023, 11, 14, 22) + dt.timedelta(hours=h) for h in range(5)]
    assert [st.to_bytes() for _, _, st in sink.closed[1:]] == [
        _fed([(0, 1), (1, 0)]), _fed([(1, 1)]), _fed([(1, 1)]), _fed([(0, 0)])]


def test_a_failing_make_changes_nothing():
    calls = []

    def make():
        calls.append(1)
        if len(calls) == 2:
            raise MemoryError("no room")
        return binary()

    sink = Sink()
    monitor = lumetra.PeriodicMonitor(make, "1h", sink)
    monitor.push(T0, 1, 1)
    with pytest.raises(MemoryError):
        monitor.push(T0 + 3600, 0, 0)
    assert (monitor.start, monitor.rows, monitor.pending, sink.closed) == (utc(2023, 11, 14, 22), 1, (), [])
    monitor.push(T0 + 3600, 0, 0)
    assert [st.to_bytes() for _, _, st in sink.closed] == [_fed([(1, 1)])]


def _view(monitor):
    return (monitor.start, monitor.rows, monitor.late, monitor.state.to_bytes(), monitor.pending)


@pytest.mark.parametrize("late", ["drop", "current"])
def test_a_refused_row_or_batch_pushes_nothing_and_closes_no_period(late):
    # The state refuses a value in the next hour's part: the current hour
    # must stay open, keep its rows and reach no callback; a refused late
    # row is not counted.
    sink = Sink()
    monitor = lumetra.PeriodicMonitor(binary, "1h", sink, late=late)
    monitor.push_batch([T0 + 10, T0 + 20], [1, 0], [1, 1])
    before = _view(monitor)
    with pytest.raises(TypeError):
        monitor.push(T0 + 3600, "a", 1)
    with pytest.raises(TypeError):
        monitor.push_batch([T0 + 30, T0 + 3600, T0 + 7200], [1, 0, "a"], [1, 1, 1])
    with pytest.raises(TypeError):
        monitor.push_batch([T0 + 40, T0 + 3600], ["a", 1], [1, 1])  # the later part is pushed first
    with pytest.raises(TypeError):
        monitor.push_batch([T0 + 86400, T0 + 86401], [1, "a"], [1, 1])
    if late == "current":
        with pytest.raises(TypeError):
            monitor.push(T0 - 3600, "a", 1)
    assert _view(monitor) == before and sink.closed == []

    # The same rows, valid, go where they went before.
    monitor.push_batch([T0 + 30, T0 + 3600, T0 + 7200], [1, 0, 1], [1, 1, 1])
    assert [s for s, _, _ in sink.closed] == [utc(2023, 11, 14, 22), utc(2023, 11, 14, 23)]
    assert [st.to_bytes() for _, _, st in sink.closed] == [_fed([(1, 1), (0, 1), (1, 1)]), _fed([(0, 1)])]
    assert (monitor.start, monitor.rows) == (utc(2023, 11, 15, 0), 1)


def test_a_make_that_fails_within_a_batch_pushes_nothing():
    calls = []

    def make():
        calls.append(1)
        if len(calls) == 3:
            raise MemoryError("no room")
        return binary()

    sink = Sink()
    monitor = lumetra.PeriodicMonitor(make, "1h", sink)
    monitor.push(T0, 1, 1)
    before = _view(monitor)
    with pytest.raises(MemoryError):
        monitor.push_batch([T0 + 1, T0 + 3600, T0 + 7200], [0, 1, 0], [0, 1, 1])  # the second fresh state fails
    assert _view(monitor) == before and sink.closed == []
