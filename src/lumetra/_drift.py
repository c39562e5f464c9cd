"""Data drift of every column two frames share, with the module's batch
detectors: histograms of numbers, label shares of text and booleans."""

from __future__ import annotations

from dataclasses import dataclass
from collections.abc import Callable, Sequence
from typing import Any, Optional, Union, cast

import numpy as np

import _lumetra

from ._frame import Array, Coded, Frame, Kind, Mask, Values, get_column, kind_of, missing_error, read_codes
from ._frame import is_dask, label_text, read_frame, read_values, result_table
from ._validation import check_choice, check_choices, check_columns, check_missing

RULES = ("FreedmanDiaconis", "Scott", "Sturges")
DRIFT_METRICS = ("JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler")


@dataclass(frozen=True)
class _Sample:
    """One column of one frame: numbers, or text as codes and labels."""

    kind: str  # "continuous" or "categorical"
    dtype: str
    values: Union[Values, Coded]

    def missing(self) -> Optional[Mask]:
        if isinstance(self.values, Values):
            return self.values.missing
        return self.values.missing()

    def data(self, keep: Optional[Mask]) -> Array:
        """The detector's input: float64 numbers, or the text of each value."""
        if isinstance(self.values, Values):
            numbers = np.ascontiguousarray(self.values.array, dtype=np.float64)
            return numbers if keep is None else np.ascontiguousarray(numbers[keep])
        text = np.array([label_text(label) for label in self.values.labels] or [""], dtype=str)
        codes = self.values.codes if keep is None else self.values.codes[keep]
        picked: Array = text[codes]  # typed: NumPy 1.x's stubs give indexing no type
        return picked


def drift(
    reference: Any,
    current: Any,
    *,
    columns: Union[None, str, list[str], tuple[str, ...]] = None,
    rule: str = "FreedmanDiaconis",
    metrics: Optional[list[str]] = None,
    missing: str = "raise",
) -> Any:
    """Drift of each column from `reference` to `current`: one row per column
    (default: the columns both frames have, in the reference's order).

    Numbers other than booleans are "continuous" (histograms with bins by
    `rule`; integers as float64); text, categories and booleans are
    "categorical" (shares of each value's text). Columns: `column`, `kind`,
    `bins`, then the drift metrics (all four, or those named in `metrics`).
    `missing` is 'raise' or 'drop' (leave out the rows of a frame that miss a
    value in any column compared).
    """
    rule = check_choice("rule", rule, RULES)
    names = check_columns("columns", columns, allow_none=True)
    wanted = list(DRIFT_METRICS) if metrics is None else check_choices("metrics", metrics, DRIFT_METRICS)
    missing = check_missing(missing, group=False)
    if is_dask(current):
        from . import _dask

        return _dask.drift(reference, current, names=names, rule=rule, wanted=wanted, missing=missing)
    if is_dask(reference):
        # The reference's bins are built in one process: it is collected first.
        reference = reference.compute() if names is None else reference[names].compute()
    base = read_frame(reference, "reference")
    names, pairs = paired_columns(base, read_frame(current, "current"), names)
    keep_base = _kept_rows(missing, "reference", [(name, a) for name, a, _ in pairs])
    keep_runtime = _kept_rows(missing, "current", [(name, b) for name, _, b in pairs])

    def scored(i: int) -> tuple[int, list[float]]:
        _, a, b = pairs[i]
        detector: Union[_lumetra.PyContinuousDataDrift, _lumetra.PyCategoricalDataDrift]
        if a.kind == "continuous":
            detector = _lumetra.PyContinuousDataDrift(a.data(keep_base), rule)
        else:
            # The detector reads a NumPy unicode array in place.
            detector = _lumetra.PyCategoricalDataDrift(cast(Sequence[str], a.data(keep_base)))
        return detector.num_bins, detector.compute_drift_mutliple_criteria(cast(Any, b.data(keep_runtime)), wanted)

    return drift_table(base, names, [a.kind for _, a, _ in pairs], wanted, scored)


def paired_columns(
    base: Frame, runtime: Frame, names: Optional[list[str]]
) -> tuple[list[str], list[tuple[str, _Sample, _Sample]]]:
    """The columns compared (by default those both frames have, in the
    reference's order), each read from both frames; a column of another kind
    in each is refused."""
    if names is None:
        shared = set(runtime.columns)
        names = [c for c in base.columns if c in shared]
        if not names:
            raise ValueError("reference and current have no column in common")
    pairs = [(name, _sample(base, name, "reference"), _sample(runtime, name, "current")) for name in names]
    for name, a, b in pairs:
        if a.kind != b.kind:
            raise ValueError(
                f"column {name!r} is {a.kind} in reference ({a.dtype}) but {b.kind} in current ({b.dtype})"
            )
    return names, pairs


def drift_table(
    base: Frame, names: list[str], kinds: list[str], wanted: list[str], scored: Callable[[int], tuple[int, list[float]]]
) -> Any:
    """The drift table, column by column in order: `scored(i)` gives column
    i's bin count and scores; a ValueError it raises is raised naming the column."""
    bins = np.zeros(len(names), dtype=np.int64)
    values = {metric: np.zeros(len(names)) for metric in wanted}
    for i, name in enumerate(names):
        try:
            bins[i], scores = scored(i)
        except ValueError as error:
            raise ValueError(f"column {name!r}: {error}") from error
        for metric, score in zip(wanted, scores):
            values[metric][i] = score
    table: dict[str, Union[Array, list[Optional[str]]]] = {"column": list(names), "kind": list(kinds), "bins": bins}
    table.update(values)
    return result_table(base, {}, table)


def _sample(frame: Frame, name: str, argument: str) -> _Sample:
    series = get_column(frame, name, argument)
    kind = kind_of(series, argument)
    if kind is Kind.NUMBER:
        return _Sample("continuous", str(series.dtype), read_values(series, argument))
    return _Sample("categorical", str(series.dtype), read_codes(series, kind, argument))


def _kept_rows(missing: str, argument: str, samples: list[tuple[str, _Sample]]) -> Optional[Mask]:
    """Rows of one frame to keep: all, or under 'drop' those with a value in every column compared."""
    absent: Optional[Mask] = None
    for name, sample in samples:
        flags = sample.missing()
        if flags is None:
            continue
        if missing == "raise":
            raise missing_error(argument, name, int(np.count_nonzero(flags)), group=False)
        absent = flags if absent is None else absent | flags
    return None if absent is None else ~absent
