"""Monitoring over time: the rows of a data set split into periods (by a
datetime column or by row counts), and per period the drift of each column
against a reference, the column's data quality, and bias and performance
when asked, each with an alert band made from the reference's own periods.

Drift and quality of a period come from a state of counts (the drift
plan's bins and this module's quality counters): a coarser period's state
is the merge of its periods' states, so a roll-up gives what a timeline of
the coarser periods gives, bit for bit, and never averages metrics. Bias
and performance of a period are the one-shot analyses of its rows.

A reference period's own drift is measured against the rest of the
reference: its counts are subtracted from the reference's (leave-one-out,
on the reference's bins), so it is not biased low by being part of the
reference it is compared with."""

from __future__ import annotations

import datetime as dt
import math
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Any, Optional, Union

import narwhals as nw
import numpy as np

from . import _kernels
from ._drift import DriftCall, Prepared, _Bins, _merge_bins, bin_periods, prepare
from ._frame import Array, Frame, Kind, Values, dtype_of, get_column, is_dask, kind_of, missing_error, read_frame
from ._frame import read_values
from ._periods import Periods, split_periods
from ._plan import Part
from ._significance import ColumnData, column_tests, test_call
from ._validation import check_choice, check_choices, check_columns, check_missing
from ._vocabulary import BIN_RULES, DATA_BIAS_METRICS, DRIFT_METRICS, FAMILY_METRICS, MODEL_BIAS_METRICS

__all__ = ["QUALITY_METRICS", "SECTIONS", "Timeline", "timeline"]

#: The sections of a timeline's table, in its order.
SECTIONS = ("drift", "quality", "data_bias", "model_bias", "performance")
#: The data-quality figures of each column and period: shares of the
#: period's rows, and whether the column's type differs from the reference's.
QUALITY_METRICS = ("missing_share", "non_finite_share", "below_min_share", "above_max_share", "unseen_share",
                   "type_changed")
#: The table's columns.
TABLE_COLUMNS = ("period_start", "period_end", "n", "section", "subject", "metric", "value", "lower", "upper",
                 "alert", "cusum", "cusum_alert")
#: A CUSUM of standardised values alerts above this (in reference standard
#: deviations), each period's value first reduced by half a deviation: the
#: textbook design that flags a shift of one deviation within a few periods.
CUSUM_LIMIT = 5.0
CUSUM_SLACK = 0.5
#: Sections whose figures alarm only when they rise: drift and the quality
#: shares measure a departure from the reference, and less of one than the
#: reference's own periods show (a larger period measures drift lower) is no
#: change to report. Bias and performance alarm either way.
UPWARD = ("drift", "quality")
#: A data period of fewer rows than this share of the reference periods'
#: median is short: its drift bands widen to what sampling noise alone gives
#: at its size (NOISE_DRAWS multinomial draws, the upper NOISE_TAIL: the tail
#: of a normal beyond 3 deviations), and it does not enter the CUSUM.
SHORT = 0.5
NOISE_DRAWS = 2000
NOISE_TAIL = 0.00135
#: How many names of unseen categories are kept per column and period.
UNSEEN_NAMES = 10

# Quality counters per column: rows, missing, non-finite, below, above, unseen.
_ROWS, _MISSING, _NON_FINITE, _BELOW, _ABOVE, _UNSEEN = range(6)


@dataclass
class _Side:
    """One side's periods (the data's or the reference's): their bounds, and
    each period's drift bins and quality counters per column, and where its
    rows are (a slice of `frame`, the rows in period order)."""

    starts: list[Any]
    ends: list[Any]
    n: Array
    bins: list[dict[str, _Bins]]
    quality: list[dict[str, Array]]
    slices: list[tuple[int, int]]
    frame: Optional[Frame]


@dataclass(frozen=True)
class _Setup:
    """A timeline's validated arguments and the reference's baselines."""

    call: DriftCall
    prepared: Optional[Prepared]
    extents: dict[str, tuple[float, float]]
    changed: dict[str, bool]
    analyses: tuple[tuple[str, dict[str, Any]], ...]
    split: dict[str, Any]
    k: float
    bands: dict[str, Any]


@dataclass(eq=False, repr=False)
class Timeline:
    """A timeline's periods and their results; `table()` gives them as one
    long table, `rollup(every)` the same over coarser periods; `errors`, once
    the table is made, the periods where an analysis refused. Timelines
    compare by identity: they hold frames and arrays, which have no single
    truth value to compare by."""

    setup: _Setup
    data: _Side
    reference: _Side
    implementation: Any
    errors: list[tuple[Any, str, str]] = field(default_factory=list)
    _rows: Optional[dict[str, list[Any]]] = field(default=None, repr=False)
    _unseen: dict[tuple[int, str], dict[str, int]] = field(default_factory=dict, repr=False)

    @property
    def periods(self) -> list[tuple[Any, Any, int]]:
        """(start, end, rows) of each period, in time order."""
        return [(s, e, int(n)) for s, e, n in zip(self.data.starts, self.data.ends, self.data.n)]

    def table(self) -> Any:
        """One row per period, section, subject and metric, in the data's
        library: `period_start`, `period_end`, `n`, `section`, `subject`,
        `metric`, `value`, its band (`lower`, `upper`), `alert` (the value is
        outside its band), `cusum` (the larger one-sided CUSUM of the metric's
        standardised values up to this period) and `cusum_alert` (above 5)."""
        if self._rows is None:
            before = len(self.errors)
            try:
                self._rows = _long_rows(self)
            except BaseException:
                del self.errors[before:]  # the next call finds them again
                raise
        return _frame_of(self._rows, self.implementation)

    def __repr__(self) -> str:
        return (f"<Timeline: {len(self.data.starts)} periods of {int(self.data.n.sum())} rows, "
                f"reference {len(self.reference.starts)} periods>")

    def unseen(self) -> Any:
        """Categories never seen in the reference: per period and column, the
        ten most frequent (most first, ties by name) with their counts."""
        rows: dict[str, list[Any]] = {"period_start": [], "column": [], "category": [], "count": []}
        for p, bins in enumerate(self.data.bins):
            for name, b in bins.items():
                ranked = sorted(b.unseen.items(), key=lambda item: (-item[1], item[0].encode()))[:UNSEEN_NAMES]
                for text, count in ranked:
                    rows["period_start"].append(self.data.starts[p])
                    rows["column"].append(name)
                    rows["category"].append(text)
                    rows["count"].append(count)
        return _frame_of(rows, self.implementation)

    def rollup(self, every: Union[str, int]) -> Timeline:
        """The timeline over coarser periods: `every` a calendar period that
        each of these periods lies in whole ("1w" of days, "1mo" of days), or,
        for periods of row counts, how many consecutive periods make one.
        Drift and quality are the merges of the periods' states; bias and
        performance the analyses of the merged periods' rows; the reference's
        periods are rolled up alike, for the bands."""
        data = _rolled(self.data, every, self.setup.split, self.implementation, "data")
        reference = _rolled(self.reference, every, self.setup.split, self.implementation, "reference")
        split = dict(self.setup.split)
        if isinstance(every, str):
            split["every"] = every
        out = Timeline(replace(self.setup, split=split), data, reference, self.implementation)
        return out


def timeline(
    data: Any,
    *,
    reference: Any,
    time: Optional[str] = None,
    every: Optional[str] = None,
    size: Optional[int] = None,
    count: Optional[int] = None,
    drift: Union[bool, Sequence[str]] = True,
    data_bias: Optional[Mapping[str, Any]] = None,
    model_bias: Optional[Mapping[str, Any]] = None,
    performance: Optional[Mapping[str, Any]] = None,
    quality: bool = True,
    missing: str = "raise",
    incomplete: str = "keep",
    rule: str = "FreedmanDiaconis",
    metrics: Optional[list[str]] = None,
    test: Optional[str] = "auto",
    alpha: float = 0.05,
    correction: str = "fdr_bh",
    k: float = 3.0,
    bands: Optional[Mapping[str, Any]] = None,
) -> Timeline:
    """Drift, data quality, bias and performance of `data` per period,
    each with an alert band from the reference's own periods.

    Periods: `every` ("1h", "1d", "1w" from Monday, "1mo", "1q", "1y", or a
    multiple such as "2d"; calendar-aligned, in the time zone of the
    datetime column `time`), or `size` consecutive rows, or `count` chunks
    of near-equal size. `incomplete` ('keep', 'drop', 'append') is what
    happens to a last run of fewer than `size` rows. Every period between
    the first and the last appears, those with no rows with n = 0. The
    reference is split the same way.

    `drift`: True for every column both frames share (but `time` and
    columns of other types than numbers, booleans, text and categories), or
    a list of columns; drift metrics (`metrics`, by `rule`'s bins) and the
    two-sample test (`test`, `alpha`, `correction`) as in `lumetra.drift`,
    whose `missing` this is too. `quality`: per column and period the
    shares of missing values, of infinite values, of values below the
    reference's minimum and above its maximum, of categories the reference
    never had (`unseen()` names them), and whether the column's type
    differs from the reference's. `data_bias`, `model_bias` and
    `performance`: the keyword arguments of the one-shot functions, e.g.
    ``performance=dict(task="logistic", label="y", prediction="s")``.

    Bands: each metric's values over the reference's periods give its band,
    mean +- `k` sample standard deviations (a reference period's drift is
    measured against the reference without it); `bands` maps a metric to
    ``("quantile", low, high)`` (the quantiles of those values) or to a
    fixed ``(lower, upper)`` instead. A band needs two reference periods.
    The test's adjusted p-value has the band [`alpha`, 1]."""
    if is_dask(data) or is_dask(reference):
        raise TypeError("timeline takes frames in memory; compute a Dask DataFrame first")
    frame = read_frame(data, "data")
    base = read_frame(reference, "reference")
    split = {"time": time, "every": every, "size": size, "count": count, "incomplete": incomplete}
    missing = check_missing(missing, group=False)
    names = _drift_columns(drift, frame, base, time)
    wanted = list(DRIFT_METRICS) if metrics is None else check_choices("metrics", metrics, DRIFT_METRICS)
    tests = test_call(test, alpha, "fdr_bh" if correction is None else correction, None, 1000, 0, wanted)
    call = DriftCall(tuple(names), check_choice("rule", rule, BIN_RULES), tuple(wanted), missing, histograms=True,
                     tests=tests)
    analyses = []
    for section, kwargs in (("data_bias", data_bias), ("model_bias", model_bias), ("performance", performance)):
        if kwargs is not None:
            if not isinstance(kwargs, Mapping):
                raise TypeError(f"{section} must be a dict of the keyword arguments of lumetra.{section}")
            analyses.append((section, dict(kwargs)))
    if not isinstance(quality, bool):
        raise TypeError(f"quality must be True or False; got {quality!r}")
    if isinstance(k, bool) or not isinstance(k, (int, float)) or not k > 0 or not math.isfinite(k):
        raise ValueError(f"k must be a positive number; got {k!r}")
    checked_bands = _checked_bands(bands)

    prepared = prepare(call, base, frame) if names else None
    extents, changed = {}, {}
    if prepared is not None and quality:
        for name, baseline in zip(prepared.names, prepared.baselines):
            changed[name] = dtype_of(get_column(base, name, "reference")) != dtype_of(get_column(frame, name, "data"))
            if baseline.edges is not None:
                extents[name] = _extent(get_column(base, name, "reference"))
    setup = _Setup(call, prepared, extents, changed if quality else {}, tuple(analyses), split, float(k),
                   checked_bands)
    reference_side = _side(base, "reference", setup)
    data_side = _side(frame, "data", setup)
    if missing == "raise" and prepared is not None:
        for name in prepared.names:
            absent = sum(b[name].missing for b in data_side.bins)
            if absent:
                raise missing_error("data", name, absent, group=False)
    return Timeline(setup, data_side, reference_side, frame.implementation)


def _drift_columns(drift: object, frame: Frame, base: Frame, time: Optional[str]) -> list[str]:
    if drift is False:
        return []
    if drift is True:
        shared = set(frame.columns)
        chosen = []
        for name in base.columns:
            if name == time or name not in shared:
                continue
            try:
                kind_of(get_column(base, name, "reference"), "reference")
                kind_of(get_column(frame, name, "data"), "data")
            except ValueError:
                continue  # datetimes and other types drift has no bins for
            chosen.append(name)
        return chosen
    names = check_columns("drift", drift)
    assert names is not None
    return list(names)


def _checked_bands(bands: Optional[Mapping[str, Any]]) -> dict[str, Any]:
    if bands is None:
        return {}
    if not isinstance(bands, Mapping):
        raise TypeError("bands must map metric names to 'std', ('quantile', low, high) or (lower, upper)")
    out: dict[str, Any] = {}
    for metric, band in bands.items():
        if band == "std":
            out[metric] = band
        elif isinstance(band, tuple) and len(band) == 3 and band[0] == "quantile" and \
                all(isinstance(q, (int, float)) and not isinstance(q, bool) for q in band[1:]) and \
                0.0 <= band[1] <= band[2] <= 1.0:
            out[metric] = ("quantile", float(band[1]), float(band[2]))
        elif isinstance(band, tuple) and len(band) == 2 and \
                all(isinstance(b, (int, float)) and not isinstance(b, bool) for b in band) and band[0] <= band[1]:
            out[metric] = (float(band[0]), float(band[1]))
        else:
            raise ValueError(f"bands[{metric!r}] must be 'std', ('quantile', low, high) with 0 <= low <= high <= 1, "
                             f"or (lower, upper) with lower <= upper; got {band!r}")
    return out


def _extent(series: Any) -> tuple[float, float]:
    """The smallest and largest finite value of a reference column."""
    values = read_values(series, "reference")
    array = np.asarray(values.array, dtype=np.float64)
    if values.missing is not None:
        array = array[~values.missing]
    array = array[np.isfinite(array)]
    return (float(array.min()), float(array.max())) if array.size else (math.nan, math.nan)


def _side(frame: Frame, argument: str, setup: _Setup) -> _Side:
    """A frame split into periods, and each period's states: every column
    read once for all periods."""
    split = setup.split
    periods = split_periods(frame, argument, time=split["time"], every=split["every"], size=split["size"],
                            count=split["count"], incomplete=split["incomplete"], missing=setup.call.missing)
    ordered, slices = _ordered(frame, periods)
    side = _Side(list(periods.starts), list(periods.ends), np.asarray(periods.n, dtype=np.int64), [], [], slices,
                 ordered)
    if setup.prepared is None or not slices:
        side.bins = [{} for _ in slices]
        side.quality = [{} for _ in slices]
        return side
    part = Part(ordered)
    prepared = setup.prepared
    side.bins = bin_periods(part, prepared.baselines, prepared.kinds, setup.call, prepared.limits, slices)
    side.quality = _quality(part, setup, side.bins, slices) if setup.changed else [{} for _ in slices]
    return side


def _ordered(frame: Frame, periods: Periods) -> tuple[Frame, list[tuple[int, int]]]:
    """The frame's rows in period order (the frame itself when they are, the
    rows of no period last) and each period's slice of them."""
    codes = np.asarray(periods.codes)
    kept = codes >= 0
    # In order: periods never go back, and the rows of no period (if any) come last.
    left_out = np.flatnonzero(~kept)
    in_order = bool(periods.sorted) and (not left_out.size or not kept[left_out[0]:].any())
    ordered = frame if in_order else frame[np.argsort(np.where(kept, codes, np.iinfo(np.int64).max), kind="stable")]
    bounds = np.concatenate([[0], np.cumsum(np.asarray(periods.n, dtype=np.int64))])
    return ordered, [(int(a), int(b)) for a, b in zip(bounds[:-1], bounds[1:])]


def _quality(part: Part, setup: _Setup, bins: list[dict[str, _Bins]], slices: list[tuple[int, int]]
             ) -> list[dict[str, Array]]:
    """Each period's quality counters of each column."""
    assert setup.prepared is not None
    cuts = np.array([0] + [b for _, b in slices], dtype=np.int64)
    periods = len(slices)
    out: list[dict[str, Array]] = [{} for _ in slices]
    rows = np.diff(cuts)
    for name, baseline, kind in zip(setup.prepared.names, setup.prepared.baselines, setup.prepared.kinds):
        counters = np.zeros((periods, 6), dtype=np.int64)
        counters[:, _ROWS] = rows
        counters[:, _MISSING] = [b[name].missing for b in bins]
        if baseline.edges is not None and kind is Kind.NUMBER:
            values = read_values(part.column(name, "data"), "data")
            counters[:, _NON_FINITE:_ABOVE + 1] = _outside(values, setup.extents[name], cuts)
        elif baseline.labels is not None and baseline.bins:
            counters[:, _UNSEEN] = [int(b[name].counts[baseline.bins - 1]) for b in bins]
        for p in range(periods):
            out[p][name] = counters[p]
    return out


def _outside(values: Values, extent: tuple[float, float], cuts: Array) -> Array:
    """Per period, the values that are infinite, finite below the extent's
    low end, and finite above its high end (columns in that order). One pass
    finds the rows outside the extent, usually few; only those are looked at."""
    periods = len(cuts) - 1
    out = np.zeros((periods, 3), dtype=np.int64)
    lowest, highest = extent
    array = values.array[:cuts[-1]]
    if math.isnan(lowest):
        rows = np.flatnonzero(~np.isnan(array)) if array.dtype.kind == "f" else np.arange(array.size)
    else:
        rows = np.flatnonzero(~((array >= lowest) & (array <= highest)))
    if values.missing is not None and rows.size:
        rows = rows[~values.missing[rows]]
    if not rows.size:
        return out
    found = array[rows]
    period = np.searchsorted(cuts, rows, side="right") - 1
    infinite = np.isinf(found) if found.dtype.kind == "f" else np.zeros(found.size, dtype=np.bool_)
    out[:, 0] = np.bincount(period[infinite], minlength=periods)
    if not math.isnan(lowest):
        out[:, 1] = np.bincount(period[(found < lowest) & ~infinite], minlength=periods)
        out[:, 2] = np.bincount(period[(found > highest) & ~infinite], minlength=periods)
    return out


def _merge_quality(a: dict[str, Array], b: dict[str, Array]) -> dict[str, Array]:
    return {name: a[name] + b[name] for name in a}


# ---------------------------------------------------------------- roll-ups


def _rolled(side: _Side, every: Union[str, int], split: dict[str, Any], implementation: Any, argument: str) -> _Side:
    """A side's periods merged into coarser ones."""
    count = len(side.starts)
    if isinstance(every, bool) or not isinstance(every, (str, int)):
        raise TypeError(f"every must be a calendar period such as '1w' or a number of periods; got {every!r}")
    if isinstance(every, int):
        if split["every"] is not None:
            raise ValueError("a timeline of calendar periods rolls up by a calendar period such as '1w'")
        if every < 1:
            raise ValueError(f"every must be a positive number of periods; got {every}")
        groups = np.arange(count, dtype=np.int64) // every
        starts = [side.starts[i] for i in range(0, count, every)]
        ends = [side.ends[min(i + every, count) - 1] for i in range(0, count, every)]
    else:
        if split["every"] is None:
            raise ValueError("a timeline of row counts rolls up by a number of periods, such as 7")
        groups, starts, ends = _calendar_groups(side, every, implementation, argument)
    # Each coarser period's periods are consecutive, so its rows are one
    # slice; a period without rows has zero counts, and merges as any other.
    out = _Side(starts, ends, np.zeros(len(starts), dtype=np.int64), [], [], [], side.frame)
    for g in range(len(starts)):
        members = np.flatnonzero(groups == g).tolist()
        out.n[g] = int(side.n[members].sum()) if members else 0
        bins, quality = side.bins[members[0]], side.quality[members[0]]
        for p in members[1:]:
            bins = _merge_bins(bins, side.bins[p])
            quality = _merge_quality(quality, side.quality[p])
        out.bins.append(bins)
        out.quality.append(quality)
        out.slices.append((side.slices[members[0]][0], side.slices[members[-1]][1]))
    return out


def _calendar_groups(side: _Side, every: str, implementation: Any, argument: str) -> tuple[Array, list[Any], list[Any]]:
    """Each period's coarser calendar period, which must hold it whole."""
    if not side.starts:
        return np.zeros(0, dtype=np.int64), [], []
    starts = nw.from_dict({"start": side.starts}, backend=implementation)
    coarse = split_periods(starts, argument, time="start", every=every)
    codes = np.asarray(coarse.codes)
    for p, g in enumerate(codes.tolist()):
        # As instants: two times of one zone compare by their wall clocks.
        if _instant(side.ends[p]) > _instant(coarse.ends[g]):
            raise ValueError(f"period {side.starts[p]} to {side.ends[p]} is not within one period of {every!r}; "
                             "roll up into a period that holds each period whole")
    return codes.astype(np.int64), list(coarse.starts), list(coarse.ends)


def _instant(moment: Any) -> Any:
    tz = getattr(moment, "tzinfo", None)
    return moment.astimezone(dt.timezone.utc) if tz is not None else moment


# ------------------------------------------------------------------ values


@dataclass
class _Series:
    """The values of one (section, subject, metric) over the periods."""

    values: list[float]
    reference: list[float]


def _long_rows(tl: Timeline) -> dict[str, list[Any]]:
    """Every figure of every period, with its band, alert and CUSUM."""
    setup = tl.setup
    series: dict[tuple[str, str, str], _Series] = {}
    count, ref_count = len(tl.data.starts), len(tl.reference.starts)

    def put(key: tuple[str, str, str], p: int, value: float, side: str) -> None:
        entry = series.setdefault(key, _Series([math.nan] * count, [math.nan] * ref_count))
        (entry.values if side == "data" else entry.reference)[p] = value

    if setup.prepared is not None:
        for side, loo in (("data", False), ("reference", True)):
            for p, row in enumerate(_drift_values(tl, getattr(tl, side), loo)):
                for key, value in row.items():
                    put(key, p, value, side)
            if setup.changed:
                for p, row in enumerate(_quality_values(tl, getattr(tl, side), side)):
                    for key, value in row.items():
                        put(key, p, value, side)
    for section, kwargs in setup.analyses:
        for side in ("data", "reference"):
            for p, row in enumerate(_analysis_values(tl, getattr(tl, side), section, kwargs)):
                for key, value in row.items():
                    put(key, p, value, side)

    rows: dict[str, list[Any]] = {name: [] for name in TABLE_COLUMNS}
    order = {s: i for i, s in enumerate(SECTIONS)}
    # Sections in their order; within one, keys as they were first met.
    position = {key: i for i, key in enumerate(series)}
    keys = sorted(series, key=lambda key: (order[key[0]], position[key]))
    kept = _typical_reference_periods(tl)
    bands = {key: _band(key, series[key], setup, kept) for key in keys}
    short = _short_periods(tl)
    noise = _noise_uppers(tl, short) if short and setup.prepared is not None else {}
    cusums = {key: _cusum(series[key], bands[key][2:], key[0] in UPWARD, short) for key in keys}
    for p in range(count):
        for key in keys:
            value = series[key].values[p]
            lower, upper, _, _ = bands[key]
            section, subject, metric = key
            if section == "drift" and (p, subject, metric) in noise and metric not in setup.bands:
                upper = max(upper, noise[(p, subject, metric)]) if not math.isnan(upper) else upper
            rows["period_start"].append(tl.data.starts[p])
            rows["period_end"].append(tl.data.ends[p])
            rows["n"].append(int(tl.data.n[p]))
            rows["section"].append(section)
            rows["subject"].append(subject)
            rows["metric"].append(metric)
            rows["value"].append(value)
            rows["lower"].append(lower)
            rows["upper"].append(upper)
            rows["alert"].append(bool(value < lower or value > upper))
            rows["cusum"].append(cusums[key][p])
            rows["cusum_alert"].append(bool(cusums[key][p] > CUSUM_LIMIT))
    return rows


def _typical_reference_periods(tl: Timeline) -> list[bool]:
    """The reference's periods a band is made of: all but the short ones (a
    partial last day would widen every band by its noise)."""
    sizes = tl.reference.n
    full = sizes[sizes > 0]
    typical = float(np.median(full)) if full.size else 0.0
    return [bool(n >= SHORT * typical) for n in sizes.tolist()]


def _short_periods(tl: Timeline) -> set[int]:
    """The data's periods of fewer rows than SHORT times the reference
    periods' median (a partial last day, say): their drift is measured at a
    size the reference's periods do not show."""
    sizes = tl.reference.n[tl.reference.n > 0]
    if not sizes.size:
        return set()
    typical = float(np.median(sizes))
    return {p for p, n in enumerate(tl.data.n.tolist()) if 0 < n < SHORT * typical}


def _noise_uppers(tl: Timeline, short: set[int]) -> dict[tuple[int, str, str], float]:
    """For each short period and drift metric of each column, the drift that
    sampling noise alone exceeds with probability NOISE_TAIL at the period's
    size: NOISE_DRAWS multinomial draws of that many rows on the baseline's
    bins (the engine's streams, keyed by the period and column), each scored
    against the baseline, and the upper quantile of those scores."""
    setup = tl.setup
    prepared = setup.prepared
    assert prepared is not None
    out: dict[tuple[int, str, str], float] = {}
    metrics = list(setup.call.wanted)
    for p in sorted(short):
        n = int(tl.data.n[p])
        kinds, hists, counts, where = [], [], [], []
        for i, (name, base, refusal) in enumerate(zip(prepared.names, prepared.baselines, prepared.refusals)):
            if refusal is not None or not base.bins:
                continue
            cells = _apportioned(base.hist, n).astype(np.uint64).reshape(1, base.bins)
            draws = _kernels.count_replicates(cells, NOISE_DRAWS, p, i)
            for draw in draws.astype(np.float64):
                kinds.append(base.kind)
                hists.append(base.hist)
                counts.append(draw)
            where.append((name, len(counts) - NOISE_DRAWS))
        scored = _kernels.drift_scores_many(kinds, hists, counts, metrics) if kinds else []
        for name, first in where:
            scores = [x for x in scored[first:first + NOISE_DRAWS] if not isinstance(x, str)]
            if not scores:
                continue
            tail = np.quantile(np.array(scores, dtype=np.float64), 1.0 - NOISE_TAIL, axis=0)
            for metric, value in zip(metrics, tail.tolist()):
                out[(p, name, metric)] = float(value)
    return out


def _apportioned(shares: Array, n: int) -> Array:
    """n rows apportioned to bins in proportion to shares (largest
    remainders, ties to the lower bin)."""
    exact = shares * n
    counts: Array = np.floor(exact)
    left = n - int(counts.sum())
    if left > 0:
        counts[np.argsort(-(exact - counts), kind="stable")[:left]] += 1
    return counts


def _drift_values(tl: Timeline, side: _Side, loo: bool) -> list[dict[tuple[str, str, str], float]]:
    """Each period's drift metrics per column (and test, for the data's):
    against the baselines, or for the reference's periods against the
    reference without the period."""
    setup = tl.setup
    prepared = setup.prepared
    assert prepared is not None
    call = setup.call
    names, baselines = prepared.names, prepared.baselines
    totals = {name: sum((b[name].counts for b in side.bins), np.zeros(base.bins, dtype=np.uint64))
              for name, base in zip(names, baselines)} if loo else {}
    kinds, hists, counts, where = [], [], [], []
    for p, bins in enumerate(side.bins):
        if not side.n[p]:
            continue
        for i, (name, base) in enumerate(zip(names, baselines)):
            if prepared.refusals[i] is not None:
                continue
            current = bins[name].counts
            if loo:
                rest = (totals[name] - current).astype(np.float64)
                total = rest.sum()
                if not total:
                    continue
                hist = rest / total
            else:
                hist = base.hist
            if not current.sum():
                continue
            kinds.append(base.kind)
            hists.append(hist)
            counts.append(current.astype(np.float64))
            where.append((p, name))
    scores = _kernels.drift_scores_many(kinds, hists, counts, list(call.wanted)) if kinds else []
    out: list[dict[tuple[str, str, str], float]] = [{} for _ in side.bins]
    for p, bins in enumerate(side.bins):
        for name in names:
            for metric in call.wanted:
                out[p][("drift", name, metric)] = math.nan
            if call.tests is not None and not loo:
                out[p][("drift", name, "p_adjusted")] = math.nan
    for (p, name), score in zip(where, scores):
        if isinstance(score, str):
            tl.errors.append((side.starts[p], "drift", f"column {name!r}: {score}"))
            continue
        for metric, value in zip(call.wanted, score):
            out[p][("drift", name, metric)] = float(value)
    if call.tests is not None and not loo:
        position = {name: i for i, name in enumerate(names)}
        for p, bins in enumerate(side.bins):
            chosen = [(name, baselines[position[name]]) for q, name in where if q == p]
            if not chosen:
                continue
            tested = column_tests(call.tests, [
                ColumnData(b.kind, b.hist, prepared.reference_bins[name].counts, bins[name].counts,
                           prepared.reference_bins[name].values, bins[name].values)
                for name, b in chosen
            ])
            for (name, _), value in zip(chosen, tested["p_adjusted"]):
                out[p][("drift", name, "p_adjusted")] = float(value)
    return out


def _quality_values(tl: Timeline, side: _Side, which: str) -> list[dict[tuple[str, str, str], float]]:
    """Each period's quality shares. A reference period's out-of-range and
    unseen shares are against the rest of the reference (its own range and
    labels), as its drift is: against the whole it would hold none by
    construction, and the band would alarm at the first such value."""
    setup = tl.setup
    apart = _apart(side, setup) if which == "reference" else {}
    out = []
    for p, counters in enumerate(side.quality):
        row: dict[tuple[str, str, str], float] = {}
        for name, c in counters.items():
            rows = float(c[_ROWS]) if side.n[p] else 0.0
            below, above, unseen = apart[name][p] if name in apart else (c[_BELOW], c[_ABOVE], c[_UNSEEN])
            shares = [c[_MISSING], c[_NON_FINITE], below, above, unseen]
            for metric, value in zip(QUALITY_METRICS, shares):
                row[("quality", name, metric)] = float(value) / rows if rows else math.nan
            changed = float(setup.changed[name]) if which == "data" else 0.0
            row[("quality", name, "type_changed")] = changed if rows else math.nan
        out.append(row)
    return out


def _apart(side: _Side, setup: _Setup) -> dict[str, Array]:
    """Per column and reference period: values below and above the range of
    the other periods, and labels the other periods never had (periods x 3)."""
    prepared = setup.prepared
    assert prepared is not None and side.frame is not None
    periods = len(side.slices)
    cuts = np.array([0] + [b for _, b in side.slices], dtype=np.int64)
    full = np.flatnonzero(np.diff(cuts))
    out: dict[str, Array] = {}
    for name, baseline, kind in zip(prepared.names, prepared.baselines, prepared.kinds):
        counts = np.zeros((periods, 3), dtype=np.int64)
        out[name] = counts
        if baseline.labels is not None:
            cells = np.array([b[name].counts for b in side.bins], dtype=np.int64).reshape(periods, baseline.bins)
            rest = cells.sum(axis=0) - cells
            counts[:, 2] = np.where(rest == 0, cells, 0).sum(axis=1)
            continue
        if kind is not Kind.NUMBER or len(full) < 2:
            continue
        values = read_values(get_column(side.frame, name, "reference"), "reference")
        array = np.asarray(values.array[:cuts[-1]], dtype=np.float64)
        if values.missing is not None:
            array = np.where(values.missing[:cuts[-1]], np.nan, array)
        lows = np.fmin.reduceat(array, cuts[full])
        highs = np.fmax.reduceat(array, cuts[full])
        for j, p in enumerate(full.tolist()):
            rest_low = np.fmin.reduce(np.delete(lows, j))
            rest_high = np.fmax.reduce(np.delete(highs, j))
            inside = array[cuts[p]:cuts[p + 1]]
            # Only a period holding the other periods' extreme can have values beyond it.
            if lows[j] < rest_low:
                counts[p, 0] = int(np.count_nonzero(inside < rest_low))
            if highs[j] > rest_high:
                counts[p, 1] = int(np.count_nonzero(inside > rest_high))
    return out


def _analysis_values(tl: Timeline, side: _Side, section: str, kwargs: dict[str, Any]
                     ) -> list[dict[tuple[str, str, str], float]]:
    """Each period's one-shot bias or performance figures, per group.
    Performance takes the period as one more facet, in one call over all
    periods (a group's metrics do not depend on the other groups); bias
    compares the groups within each period, a call per period."""
    out: list[dict[tuple[str, str, str], float]] = [{} for _ in side.slices]
    assert side.frame is not None
    alone: Sequence[int] = range(len(side.slices))
    if section in ("performance", "data_bias") and any(side.n):
        try:
            alone = _performance_at_once(side, kwargs, out) if section == "performance" else \
                _data_bias_at_once(side, kwargs, out)
        except (KeyError, ValueError):
            out = [{} for _ in side.slices]  # a period's refusal: each period on its own says which
    for p in alone:
        start, stop = side.slices[p]
        if not side.n[p]:
            continue
        try:
            result = _one_shot(section, nw.to_native(side.frame[start:stop]), kwargs)
        except (KeyError, ValueError) as error:
            tl.errors.append((side.starts[p], section, str(error).strip("'\"")))
            continue
        for subject, metric, value in _figures(section, kwargs, result, ()):
            out[p][(section, subject, metric)] = value
    return out


def _one_shot(section: str, rows: Any, kwargs: dict[str, Any]) -> Any:
    from . import _analyses

    fixed = {"data_bias": ("facet", "label"), "model_bias": ("facet", "label", "prediction"),
             "performance": ("label", "prediction")}[section]
    missing = [name for name in fixed if name not in kwargs]
    if missing:
        raise TypeError(f"{section} needs {', '.join(f'{name}=' for name in missing)} among its arguments")
    function = getattr(_analyses, section)
    return function(rows, *(kwargs[name] for name in fixed), **{k: v for k, v in kwargs.items() if k not in fixed})


def _with_period(side: _Side, kwargs: dict[str, Any], facet_name: str) -> tuple[Any, str, list[str]]:
    """The rows of every period with their period as a column of its own
    (named apart from the frame's), the name, and the call's facets."""
    assert side.frame is not None
    frame = side.frame
    key = "period"
    while key in frame.columns:
        key = "_" + key
    stop = side.slices[-1][1]
    codes = np.repeat(np.arange(len(side.slices), dtype=np.int64), np.asarray(side.n, dtype=np.int64))
    rows = frame[0:stop].with_columns(nw.new_series(key, codes, backend=frame.implementation))
    facet = kwargs.get(facet_name, kwargs.get("by") if facet_name == "facet" else None)
    facets = [] if facet is None else [facet] if isinstance(facet, str) else list(facet)
    return nw.to_native(rows), key, facets


def _performance_at_once(side: _Side, kwargs: dict[str, Any], out: list[dict[tuple[str, str, str], float]]
                         ) -> list[int]:
    """Every period's performance in one call, the period one more facet (a
    group's metrics do not depend on the other groups). No period is left."""
    rows, key, facets = _with_period(side, kwargs, "facet")
    options = {k: v for k, v in kwargs.items() if k not in ("facet", "by")}
    result = _one_shot("performance", rows, {**options, "facet": [key, *facets]})
    periods = nw.from_native(result, eager_only=True).get_column(key).to_list()
    for (subject, metric, value), p in zip(_figures("performance", kwargs, result, (key,)),
                                           _repeat_per_metric(periods, kwargs)):
        out[p][("performance", subject, metric)] = value
    return []


def _data_bias_at_once(side: _Side, kwargs: dict[str, Any], out: list[dict[tuple[str, str, str], float]]
                       ) -> list[int]:
    """Every period's data bias from one count of the (period, group) cells:
    each group's metrics are those of its cells and the other groups' of
    its period, as a call on the period's rows has them. The periods a call
    of their own must refuse (one group, no positive outcome), and calls with
    a reference group or intervals, are left to those calls."""
    from ._analyses import data_bias_call
    from ._bias import bias_plan
    from ._runners import run

    options = {k: v for k, v in kwargs.items() if k not in ("facet", "label")}
    if options.get("reference") is not None or options.get("ci") is not None or "facet" not in kwargs:
        return list(range(len(side.slices)))
    rows, key, facets = _with_period(side, kwargs, "facet")
    call = data_bias_call([key, *facets], kwargs["label"], **options)
    table, states = run(bias_plan(replace(call, states=True)), rows, "data")
    columns = nw.from_native(table, eager_only=True).to_dict(as_series=False)
    own = np.ascontiguousarray(np.asarray(states["tables"])[:, :2])
    periods = np.asarray(columns[key], dtype=np.int64)
    alone = [p for p in range(len(side.slices)) if side.n[p]]
    left = []
    for p in alone:
        chosen = np.flatnonzero(periods == p)
        tallies = np.ascontiguousarray(own[chosen])
        if len(chosen) < 2 or not tallies[:, 1].sum():
            left.append(p)
            continue
        result = _kernels.bias(tallies, None)
        for j, i in enumerate(chosen.tolist()):
            subject = ", ".join(str(columns[f][i]) for f in facets)
            for metric in DATA_BIAS_METRICS:
                out[p][("data_bias", subject, metric)] = float(result[metric][j])
    return left


def _repeat_per_metric(periods: list[int], kwargs: dict[str, Any]) -> list[int]:
    metrics = _metrics_of("performance", kwargs)
    return [p for p in periods for _ in metrics]


def _figures(section: str, kwargs: dict[str, Any], result: Any, hidden: tuple[str, ...]
             ) -> list[tuple[str, str, float]]:
    """(subject, metric, value) of each row and metric of a one-shot table,
    row by row; the subject is the row's facet values (or "all")."""
    columns = nw.from_native(result, eager_only=True).to_dict(as_series=False)
    metrics = _metrics_of(section, kwargs)
    facets = [c for c in columns if c not in metrics and c not in hidden
              and c not in ("n", "n_other", "error", "undefined") and not c.endswith(("_low", "_high"))]
    out = []
    for i in range(len(columns["n"])):
        subject = ", ".join(str(columns[f][i]) for f in facets) if facets else "all"
        for metric in metrics:
            value = columns[metric][i]
            out.append((subject, metric, math.nan if value is None else float(value)))
    return out


def _metrics_of(section: str, kwargs: dict[str, Any]) -> tuple[str, ...]:
    if section == "data_bias":
        return DATA_BIAS_METRICS
    if section == "model_bias":
        return MODEL_BIAS_METRICS
    return FAMILY_METRICS.get(kwargs.get("task", ""), ())


def _band(key: tuple[str, str, str], entry: _Series, setup: _Setup, kept: list[bool]
          ) -> tuple[float, float, float, float]:
    """A series' band (lower, upper) and the mean and standard deviation
    its CUSUM standardises by, from the reference's periods in `kept`."""
    section, _, metric = key
    if metric == "p_adjusted":
        assert setup.call.tests is not None
        return setup.call.tests.alpha, 1.0, math.nan, math.nan
    values = np.array([v for v, k in zip(entry.reference, kept) if k and not math.isnan(v)], dtype=np.float64)
    mean = float(values.mean()) if values.size else math.nan
    sd = float(values.std(ddof=1)) if values.size > 1 else math.nan
    band = setup.bands.get(metric, "std")
    if isinstance(band, tuple) and band[0] == "quantile":
        if not values.size:
            return math.nan, math.nan, mean, sd
        low, high = np.quantile(values, [band[1], band[2]])
        return float(low), float(high), mean, sd
    if isinstance(band, tuple):
        return band[0], band[1], mean, sd
    if section in UPWARD:
        return -math.inf, mean + setup.k * sd, mean, sd
    return mean - setup.k * sd, mean + setup.k * sd, mean, sd


def _cusum(entry: _Series, standard: tuple[float, float], upward: bool, short: set[int]) -> list[float]:
    """The larger of the upper and lower CUSUM (the upper alone when only a
    rise is a change) of the values standardised by the reference's mean and
    deviation, period by period (NaN periods keep the sums as they were). A
    series whose reference periods do not vary has no CUSUM: nothing to
    standardise by; its band still flags any other value. Short periods
    leave the sums as they were: the reference's deviation is not theirs."""
    mean, sd = standard
    out = []
    high = low = 0.0
    for p, value in enumerate(entry.values):
        if not sd > 0.0 or math.isnan(value) or p in short:
            out.append(math.nan if not sd > 0.0 else max(high, low))
            continue
        z = (value - mean) / sd
        high = max(0.0, high + z - CUSUM_SLACK)
        if not upward:
            low = max(0.0, low - z - CUSUM_SLACK)
        out.append(max(high, low))
    return out


def _frame_of(rows: dict[str, list[Any]], implementation: Any) -> Any:
    return nw.to_native(nw.from_dict(rows, backend=implementation))
