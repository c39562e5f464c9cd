"""The plan of data drift of every column two frames share: histograms of
numbers, label shares of text and booleans.

Each reference column's baseline is built in one process (the reference
is read whole), by the engine's batch detectors' rules. A part of the
current rows is reduced to bin counts against those baselines (numbers by
the reference's edges, text by its labels, the last bin holding labels the
reference never had), which add up over parts, and each column is scored
once from its counts."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from functools import partial
from typing import Any, Optional, Union

import numpy as np

from . import _kernels
from ._frame import Array, Coded, Frame, Kind, Mask, Series, Values, dtype_of, get_column, kind_of, label_text
from ._frame import missing_error, read_values, result_table
from ._plan import Part, Plan, Reduce, Steps
from ._significance import ColumnData, TestCall, column_tests


@dataclass(frozen=True)
class DriftCall:
    """A drift call's validated arguments. With `per_column`, each column
    leaves out only its own missing values under 'drop' (the report's
    columns); with `histograms`, the result also holds each column's
    histograms; with `tests`, each column's two-sample test."""

    names: Optional[tuple[str, ...]]
    rule: str
    wanted: tuple[str, ...]
    missing: str
    per_column: bool = False
    histograms: bool = False
    tests: Optional[TestCall] = None


def kind_name(kind: Kind) -> str:
    return "continuous" if kind is Kind.NUMBER else "categorical"


# Columns are handed to the kernels in batches of at most this many values:
# a column that cannot be read in place (Arrow chunks, say) is copied for the
# call, and copies of every column at once would double a wide frame.
_BATCH_VALUES = 1 << 24


@dataclass
class _Sample:
    """One reference column: numbers, read afresh where they are whenever they
    are needed (only their missing rows are kept), or text as codes and labels."""

    kind: str  # "continuous" or "categorical"
    dtype: Any  # for messages
    series: Series
    argument: str
    coded: Optional[Coded] = None
    absent: Optional[Mask] = None
    seen: bool = False

    def values(self) -> Values:
        return read_values(self.series, self.argument)

    def missing(self) -> Optional[Mask]:
        if self.coded is not None:
            return self.coded.missing()
        if not self.seen:
            self.absent, self.seen = self.values().missing, True
        return self.absent

    def data(self, keep: Optional[Mask]) -> Array:
        """A numeric column's kept values, as float64."""
        numbers = np.ascontiguousarray(self.values().array, dtype=np.float64)
        return numbers if keep is None else np.ascontiguousarray(numbers[keep])


def _sample(frame: Frame, name: str, argument: str) -> _Sample:
    series = get_column(frame, name, argument)
    kind = kind_of(series, argument)
    if kind is Kind.NUMBER:
        return _Sample("continuous", dtype_of(series), series, argument)
    return _Sample("categorical", dtype_of(series), series, argument, coded=Part(frame).coded(name, kind, argument))


def batches(sizes: Sequence[int], most: int = _BATCH_VALUES) -> list[list[int]]:
    """Positions 0, 1, ... in runs whose sizes add up to at most `most` (a
    larger one alone)."""
    out: list[list[int]] = []
    total = 0
    for i, size in enumerate(sizes):
        if not out or total + size > most:
            out.append([])
            total = 0
        out[-1].append(i)
        total += size
    return out


@dataclass(frozen=True)
class _Baseline:
    """A reference column's bins: numbers by the reference's edges, text by
    its labels (bin i for label i, the last bin for labels it never had)."""

    name: str
    kind: str
    bins: int
    hist: Array
    edges: Optional[Array] = None
    labels: Optional[dict[str, int]] = None


@dataclass(frozen=True)
class _Bins:
    """The state of one column in a part: missing values, bin counts,
    (for the report's pictures) the counts of labels the reference never had,
    and the values a numeric column's test needs while there are at most
    `limit` of them (None beyond: the test takes the bins)."""

    missing: int
    counts: Array
    unseen: dict[str, int]
    values: Optional[Array] = None
    limit: int = 0


def _kept_rows(missing: str, argument: str, columns: Sequence[tuple[str, Optional[Mask]]]) -> Optional[Mask]:
    """Rows of one frame to keep: all, or under 'drop' those with a value in
    every column compared; under 'raise' a missing value is refused."""
    absent: Optional[Mask] = None
    for name, flags in columns:
        if flags is None or not flags.any():
            continue
        if missing == "raise":
            raise missing_error(argument, name, int(np.count_nonzero(flags)), group=False)
        absent = flags if absent is None else absent | flags
    return None if absent is None else ~absent


def _missing_of(part: Part, name: str, kind: Kind) -> Optional[Mask]:
    if kind is Kind.NUMBER:
        # Read afresh, not kept: the counts read the values again, a batch at a time.
        return read_values(part.column(name, "current"), "current").missing
    return part.coded(name, kind, "current").missing()


def _label_counts(part: Part, column: _Baseline, kind: Kind, keep: Optional[Mask], histograms: bool,
                  argument: str) -> tuple[Array, dict[str, int]]:
    """A labelled column's counts on its baseline's bins (labels the baseline
    has not seen in the last), and under `histograms` those unseen labels'."""
    cuts = np.array([0, len(part)], dtype=np.int64)
    return _label_counts_periods(part, column, kind, keep, histograms, argument, cuts)[0]


def _label_counts_periods(part: Part, column: _Baseline, kind: Kind, keep: Optional[Mask], histograms: bool,
                          argument: str, cuts: Array) -> list[tuple[Array, dict[str, int]]]:
    """_label_counts of each period (rows cuts[p] to cuts[p + 1]), in one
    count over all of them."""
    assert column.labels is not None
    coded = part.coded(column.name, kind, argument)
    texts = [label_text(label) for label in coded.labels]
    last = column.bins - 1
    periods = len(cuts) - 1
    local = np.array([column.labels.get(text, last) for text in texts] or [last])
    codes = coded.codes[cuts[0]:cuts[-1]]
    period = np.repeat(np.arange(periods, dtype=np.int64), np.diff(cuts)) if periods > 1 else None
    chosen = codes >= 0 if keep is None else (codes >= 0) & keep[cuts[0]:cuts[-1]]
    if not chosen.all():
        codes = codes[chosen]
        period = None if period is None else period[chosen]
    bins = local[codes]
    if period is None:
        counts = np.bincount(bins, minlength=column.bins).astype(np.uint64).reshape(1, column.bins)
    else:
        cells = np.bincount(period * column.bins + bins, minlength=periods * column.bins)
        counts = cells.astype(np.uint64).reshape(periods, column.bins)
    unseen: list[dict[str, int]] = [{} for _ in range(periods)]
    if histograms and codes.size:
        new = bins == last
        if new.any():
            # Only the rows of labels the baseline never had: usually few.
            keys = codes[new] if period is None else period[new] * len(texts) + codes[new]
            found, times = np.unique(keys, return_counts=True)
            for key, count in zip(found.tolist(), times.tolist()):
                p, code = divmod(key, len(texts))
                unseen[p][texts[code]] = unseen[p].get(texts[code], 0) + count
    return [(counts[p], unseen[p]) for p in range(periods)]


def _bin_part(part: Part, columns: tuple[_Baseline, ...], kinds: tuple[Kind, ...], call: DriftCall,
              limits: tuple[int, ...] = ()) -> dict[str, _Bins]:
    return bin_periods(part, columns, kinds, call, limits, [(0, len(part))])[0]


def per_period(flags: Optional[Mask], cuts: Array, periods: int) -> Array:
    """How many rows are flagged in each period (rows cuts[p] to cuts[p + 1])."""
    out = np.zeros(periods, dtype=np.int64)
    full = np.flatnonzero(np.diff(cuts))
    if flags is not None and full.size:
        # Each period with rows sums up to the next one with rows (those between hold none).
        window = np.asarray(flags[cuts[0]:cuts[-1]], dtype=np.bool_).view(np.uint8)
        out[full] = np.add.reduceat(window, cuts[full] - cuts[0], dtype=np.int64)
    return out


def bin_periods(part: Part, columns: tuple[_Baseline, ...], kinds: tuple[Kind, ...], call: DriftCall,
                limits: tuple[int, ...], bounds: Sequence[tuple[int, int]]) -> list[dict[str, _Bins]]:
    """The state of each period of a part's rows (`bounds`: consecutive
    slices of its rows, the first starting at 0): each column's missing values
    and bin counts, its values where a test needs them. Each column is read
    once for all periods, and every period of every numeric column is binned
    in one call."""
    periods = len(bounds)
    cuts = np.array([bounds[0][0]] + [b for _, b in bounds] if bounds else [0], dtype=np.int64)
    flags = [_missing_of(part, column.name, kind) for column, kind in zip(columns, kinds)]
    shared_keep: Optional[Mask] = None
    if call.missing == "drop" and not call.per_column:
        flagged = [f for f in flags if f is not None and f.any()]
        if flagged:
            shared_keep = ~np.logical_or.reduce(flagged)
    counted: list[dict[str, tuple[int, Array, dict[str, int], Optional[Array], int]]] = [{} for _ in bounds]
    limit_of = dict(zip((c.name for c in columns), limits))
    keeps: dict[str, Optional[Mask]] = {}
    for column, kind, absent in zip(columns, kinds, flags):
        missing = per_period(absent, cuts, periods)
        keep = shared_keep
        if call.per_column and call.missing == "drop" and absent is not None and absent.any():
            keep = ~absent
        keeps[column.name] = keep
        if column.labels is not None:
            labelled = _label_counts_periods(part, column, kind, keep, call.histograms, "current", cuts)
            for p, (counts, unseen) in enumerate(labelled):
                counted[p][column.name] = (int(missing[p]), counts, unseen, None, 0)
        else:
            for p in range(periods):
                counted[p][column.name] = (int(missing[p]), np.zeros(column.bins, dtype=np.uint64), {}, None, 0)
    # Numbers are binned by the reference's edges, many columns and periods a call.
    numeric = [column for column in columns if column.edges is not None]
    for batch in batches([len(part)] * len(numeric)):
        values, edges, where = [], [], []
        for i in batch:
            array = read_values(part.column(numeric[i].name, "current"), "current").array
            keep = keeps[numeric[i].name]
            numbers = np.ascontiguousarray(array, dtype=np.float64)
            for p, (start, stop) in enumerate(bounds):
                chosen = numbers[start:stop]
                values.append(chosen if keep is None else chosen[keep[start:stop]])
                edges.append(numeric[i].edges)
                where.append((p, numeric[i].name))
        binned = _kernels.continuous_counts_many([e for e in edges if e is not None], values)
        for (p, name), counts, kept in zip(where, binned, values):
            limit = limit_of.get(name, 0)
            # A copy: the values may be a view of the caller's frame.
            own = np.array(kept, dtype=np.float64) if limit and kept.size <= limit else None
            counted[p][name] = (counted[p][name][0], counts, {}, own, limit)
    return [{name: _Bins(*entry) for name, entry in period.items()} for period in counted]


def _merge_bins(a: dict[str, _Bins], b: dict[str, _Bins]) -> dict[str, _Bins]:
    out = {}
    for name, x in a.items():
        y = b[name]
        unseen = dict(x.unseen)
        for text, count in y.unseen.items():
            unseen[text] = unseen.get(text, 0) + count
        values = None
        if x.values is not None and y.values is not None and x.values.size + y.values.size <= x.limit:
            # The tests read the values sorted: the order of the parts does not matter.
            values = np.concatenate([x.values, y.values])
        out[name] = _Bins(x.missing + y.missing, x.counts + y.counts, unseen, values, x.limit)
    return out


def drift_plan(call: DriftCall, reference: Frame, columns: tuple[str, ...]) -> Plan:
    """The plan of drift of the current frame against `reference` (read
    whole); `columns` are the current columns it reads."""
    return Plan(columns, partial(_steps, call, reference))


def compared_columns(reference: Frame, current_columns: Sequence[str], names: Optional[Sequence[str]]) -> list[str]:
    """The columns compared: `names`, or those both frames have, in the reference's order."""
    if names is not None:
        return list(names)
    shared = set(current_columns)
    chosen = [c for c in reference.columns if c in shared]
    if not chosen:
        raise ValueError("reference and current have no column in common")
    return chosen


@dataclass(frozen=True)
class Prepared:
    """What the current rows are counted against: each compared column's
    baseline (or the refusal of its detector), its kind in the current frame,
    how many of its values a test keeps, and the reference's own bins (for
    the tests)."""

    names: tuple[str, ...]
    baselines: tuple[_Baseline, ...]
    refusals: tuple[Optional[str], ...]
    kinds: tuple[Kind, ...]
    limits: tuple[int, ...]
    reference_bins: dict[str, _Bins]

    def count(self, part: Part, call: DriftCall) -> dict[str, _Bins]:
        """One part's state: each column's missing values and bin counts."""
        return _bin_part(part, self.baselines, self.kinds, call, self.limits)


def _steps(call: DriftCall, reference: Frame, meta: Frame) -> Steps:
    prepared = prepare(call, reference, meta)
    merged: dict[str, _Bins] = yield Reduce(
        _bin_part, (prepared.baselines, prepared.kinds, call, prepared.limits), _merge_bins)
    if call.missing == "raise":
        for name in prepared.names:
            if merged[name].missing:
                raise missing_error("current", name, merged[name].missing, group=False)
    table, histograms = scored(call, prepared, merged)
    result = result_table(reference, {}, table)
    return (result, histograms) if call.histograms else result


def prepare(call: DriftCall, reference: Frame, meta: Frame) -> Prepared:
    """The baselines of the reference's columns that `meta` (the current
    frame's columns) shares, or those the call names."""
    names = compared_columns(reference, meta.columns, call.names)
    samples = [_sample(reference, name, "reference") for name in names]
    kinds = []
    for name, sample in zip(names, samples):
        series = get_column(meta, name, "current")
        kind = kind_of(series, "current")
        if kind_name(kind) != sample.kind:
            raise ValueError(
                f"column {name!r} is {sample.kind} in reference ({sample.dtype}) but {kind_name(kind)} in current "
                f"({dtype_of(series)})"
            )
        kinds.append(kind)
    if call.per_column:
        keeps = [_kept_rows(call.missing, "reference", [(name, sample.missing())])
                 for name, sample in zip(names, samples)]
    else:
        keep = _kept_rows(call.missing, "reference", [(name, s.missing()) for name, s in zip(names, samples)])
        keeps = [keep] * len(names)

    baselines, refusals = _baselines(names, samples, keeps, call.rule)
    limits: tuple[int, ...] = ()
    reference_bins: dict[str, _Bins] = {}
    if call.tests is not None:
        # The reference's own counts on its bins (and its values, where the
        # test reads them), under the same rules for missing values.
        reference_kinds = tuple(kind_of(sample.series, "reference") for sample in samples)
        sizes = [len(sample.series) if keep is None else int(np.count_nonzero(keep))
                 for sample, keep in zip(samples, keeps)]
        limits = tuple(call.tests.value_limit(size) if b.edges is not None else 0
                       for b, size in zip(baselines, sizes))
        # Labels are counted afresh, on the rows the baseline kept; numbers'
        # counts are their baseline's shares times their number, exactly (each
        # share is a count over that number, so the product rounds back to
        # the count).
        whole = Part(reference)
        for i, (b, r) in enumerate(zip(baselines, refusals)):
            if r is None and b.labels is not None:
                counts, _ = _label_counts(whole, b, reference_kinds[i], keeps[i], False, "reference")
                reference_bins[names[i]] = _Bins(0, counts, {})
            elif r is None and b.edges is not None:
                counts = np.rint(b.hist * sizes[i]).astype(np.uint64)
                kept = samples[i].data(keeps[i]) if limits[i] else None
                reference_bins[names[i]] = _Bins(0, counts, {}, kept, limits[i])
    return Prepared(tuple(names), tuple(baselines), tuple(refusals), tuple(kinds), limits, reference_bins)


def scored(call: DriftCall, prepared: Prepared, merged: dict[str, _Bins]
           ) -> tuple[dict[str, Union[Array, list[Optional[str]]]], list[dict[str, Any]]]:
    """The drift table's columns (and the histograms, when the call asks)
    from the current rows' merged bins."""
    names, baselines, refusals = prepared.names, prepared.baselines, prepared.refusals
    bins = np.zeros(len(names), dtype=np.int64)
    values = {metric: np.zeros(len(names)) for metric in call.wanted}
    histograms = []
    counted = [merged[name].counts.astype(np.float64) for name in names]
    scored = _kernels.drift_scores_many(
        [b.kind for b in baselines], [b.hist for b in baselines],
        [c if r is None else np.zeros(len(b.hist)) for b, c, r in zip(baselines, counted, refusals)],
        list(call.wanted),
    )
    for i, (name, baseline, refusal, counts, scores) in enumerate(zip(names, baselines, refusals, counted, scored)):
        # Refusals in column order: the baseline's, then the scoring's.
        if refusal is not None or isinstance(scores, str):
            raise ValueError(f"column {name!r}: {refusal if refusal is not None else scores}")
        bins[i] = baseline.bins
        for metric, score in zip(call.wanted, scores):
            values[metric][i] = score
        if call.histograms:
            histograms.append(_histogram(baseline, counts, merged[name].unseen))
    table: dict[str, Union[Array, list[Optional[str]]]] = {
        "column": list(names), "kind": [b.kind for b in baselines], "bins": bins,
    }
    table.update(values)
    if call.tests is not None:
        table.update(column_tests(call.tests, [
            ColumnData(b.kind, b.hist, prepared.reference_bins[name].counts, merged[name].counts,
                       prepared.reference_bins[name].values, merged[name].values)
            for name, b in zip(names, baselines)
        ]))
    return table, histograms


def _baselines(names: Sequence[str], samples: Sequence[_Sample], keeps: Sequence[Optional[Mask]], rule: str
               ) -> tuple[list[_Baseline], list[Optional[str]]]:
    """Each reference column's bins, or the text of the error its detector
    gives: numbers all in one call, labels by the categorical detector."""
    baselines: list[Optional[_Baseline]] = [None] * len(names)
    refusals: list[Optional[str]] = [None] * len(names)
    numeric = [i for i, sample in enumerate(samples) if sample.kind == "continuous"]
    built: list[Any] = []
    for batch in batches([len(samples[i].series) for i in numeric]):
        built += _kernels.continuous_baselines([samples[numeric[j]].data(keeps[numeric[j]]) for j in batch], rule)
    for i, result in zip(numeric, built):
        if isinstance(result, str):
            refusals[i] = result
        else:
            edges, hist = result
            baselines[i] = _Baseline(names[i], "continuous", len(hist), hist, edges=edges)
    # Labels: each column's codes counted, and every column's table built
    # from its counts in one call (the categorical detector's own table).
    labelled = [i for i, sample in enumerate(samples) if sample.kind != "continuous"]
    texts: list[str] = []
    counts: list[Array] = []
    for i in labelled:
        coded = samples[i].coded
        assert coded is not None
        codes = coded.codes if keeps[i] is None else coded.codes[keeps[i]]
        counts.append(np.bincount(codes[codes >= 0], minlength=len(coded.labels)).astype(np.float64))
        texts += [label_text(label) for label in coded.labels]
    tables = _kernels.categorical_baselines(texts, counts) if labelled else []
    for i, table in zip(labelled, tables):
        if isinstance(table, str):
            refusals[i] = table
            continue
        order, hist = table
        baselines[i] = _Baseline(names[i], samples[i].kind, len(hist), hist,
                                 labels={label: j for j, label in enumerate(order)})
    return [b if b is not None else _Baseline(n, s.kind, 0, np.zeros(0))
            for b, n, s in zip(baselines, names, samples)], refusals


def _histogram(baseline: _Baseline, counts: Array, unseen: dict[str, int]) -> dict[str, Any]:
    """Both samples' shares per bin, as the engine bins them: numbers over
    the reference's bins; labels each sample's own, so that labels new in the
    current sample show under their own names."""
    total = counts.sum()
    if baseline.kind == "continuous":
        assert baseline.edges is not None
        return {"kind": "continuous", "edges": baseline.edges.tolist(), "reference": baseline.hist.tolist(),
                "current": (counts / total).tolist() if total else [0.0] * len(counts)}
    assert baseline.labels is not None
    reference = dict(zip(baseline.labels, baseline.hist.tolist()))
    current = {label: counts[i] for label, i in baseline.labels.items() if counts[i]}
    current.update({label: float(c) for label, c in unseen.items()})
    labels = sorted(set(reference) | set(current), key=lambda s: s.encode())
    return {"kind": "categorical", "labels": labels, "reference": [reference.get(label, 0.0) for label in labels],
            "current": [float(current.get(label, 0.0) / total) if total else 0.0 for label in labels]}
