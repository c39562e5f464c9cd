"""Two-sample tests of drift, one per column, with their correction for
many columns.

Which test a column takes under ``test="auto"``:

- categorical columns: Pearson's chi-square on the baseline's bins (each
  reference label, and the bin of labels the reference never had);
- numeric columns of at most ``KS_LARGEST`` values on both sides: the
  two-sample Kolmogorov-Smirnov test on the values themselves (its exact
  p-value, as SciPy's ``method="auto"`` picks it at these sizes);
- larger numeric columns: Pearson's chi-square on the baseline's bins. The
  bins are the drift metrics' own, so the test needs only their counts: it
  is the same on Dask partitions merged as on one frame.

Every test is a function of :mod:`lumetra.stats`, so a p-value here is
SciPy's for the same samples. The p-values of all columns are adjusted
together (Benjamini-Hochberg by default); a column has drifted when its
adjusted p-value is below ``alpha`` and, for each drift metric given a
tolerance, the lower bound of the metric's 95% bootstrap interval is at
least that tolerance.
"""

from __future__ import annotations

import math
import sys
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

from . import _kernels, stats
from ._frame import Array

#: The tests a drift call may ask for.
TESTS = ("auto", "chi2", "g", "ks")
#: The corrections for many columns (statsmodels' names).
CORRECTIONS = ("fdr_bh", "fdr_by", "bonferroni", "holm", "sidak", "holm-sidak", "simes-hochberg", "none")
#: The largest sample, on either side, that "auto" tests by Kolmogorov-Smirnov.
KS_LARGEST = 10_000
#: The level of the drift metrics' intervals that a tolerance is judged by.
INTERVAL_LEVEL = 0.95


@dataclass(frozen=True)
class TestCall:
    """A drift call's validated test arguments."""

    test: str
    alpha: float
    correction: str
    tolerance: tuple[tuple[str, float], ...]
    n_boot: int
    seed: int

    def value_limit(self, reference_size: int) -> int:
        """How many current values of a numeric column the call must keep
        for its test, given the reference's size (0: the bins suffice)."""
        if self.test == "ks":
            return sys.maxsize
        if self.test == "auto" and reference_size <= KS_LARGEST:
            return KS_LARGEST
        return 0


def test_call(test: object, alpha: object, correction: object, tolerance: object, n_boot: object, seed: object,
              metrics: Sequence[str]) -> Optional[TestCall]:
    """The validated test arguments of a drift call (None: no test)."""
    if test is None:
        return None
    if not isinstance(test, str) or test not in TESTS:
        raise ValueError(f"test must be None or one of {', '.join(map(repr, TESTS))}; got {test!r}")
    if isinstance(alpha, bool) or not isinstance(alpha, (int, float)) or not 0.0 < float(alpha) < 1.0:
        raise ValueError(f"alpha must be a number between 0 and 1; got {alpha!r}")
    if not isinstance(correction, str) or correction not in CORRECTIONS:
        raise ValueError(f"correction must be one of {', '.join(map(repr, CORRECTIONS))}; got {correction!r}")
    tolerances: list[tuple[str, float]] = []
    if tolerance is not None:
        if not isinstance(tolerance, Mapping):
            raise TypeError(f"tolerance must be None or a dict of drift metric names to numbers; got {tolerance!r}")
        for name, value in tolerance.items():
            if name not in metrics:
                raise ValueError(f"tolerance names {name!r}, which is not among the metrics computed "
                                 f"({', '.join(metrics)})")
            if isinstance(value, bool) or not isinstance(value, (int, float)) or not (
                    math.isfinite(value) and value >= 0):
                raise ValueError(f"the tolerance of {name} must be a finite number >= 0; got {value!r}")
            tolerances.append((name, float(value)))
        tolerances.sort(key=lambda item: metrics.index(item[0]))
    if isinstance(n_boot, bool) or not isinstance(n_boot, int) or not 1 <= n_boot <= 1 << 24:
        raise ValueError(f"n_boot must be an integer from 1 to 2**24; got {n_boot!r}")
    if isinstance(seed, bool) or not isinstance(seed, int) or not 0 <= seed < 1 << 64:
        raise ValueError(f"seed must be an integer from 0 to 2**64 - 1; got {seed!r}")
    return TestCall(test, float(alpha), correction, tuple(tolerances), n_boot, seed)


@dataclass(frozen=True)
class ColumnData:
    """What a column's test reads: its kind, the baseline's shares, both
    sides' bin counts, and the values where the test needs them."""

    kind: str
    hist: Array
    reference_counts: Array
    current_counts: Array
    reference_values: Optional[Array]
    current_values: Optional[Array]


def _choice(call: TestCall, column: ColumnData) -> str:
    if column.kind == "categorical":
        return "g" if call.test == "g" else "chi2"
    if call.test in ("ks", "auto") and column.reference_values is not None and column.current_values is not None:
        if call.test == "ks" or max(column.reference_values.size, column.current_values.size) <= KS_LARGEST:
            return "ks"
    return "g" if call.test == "g" else "chi2"


def _one_test(name: str, column: ColumnData) -> tuple[float, float]:
    """The statistic and p-value of one column's test (NaN where the test
    is not defined: a side without values)."""
    if name == "ks":
        assert column.reference_values is not None and column.current_values is not None
        if column.reference_values.size == 0 or column.current_values.size == 0:
            return math.nan, math.nan
        # The kernel of stats.ks_2samp, without its per-call argument handling
        # (a wide frame tests thousands of columns): float64 samples without
        # NaN, method "auto". Where the exact distribution cannot be had, the
        # asymptotic p-value is the answer, as SciPy falls back to it; the
        # notes that stats.ks_2samp turns into warnings are not needed here.
        stat, p, _, _, _ = _kernels.ks_2samp(column.reference_values, column.current_values, "two-sided", "auto",
                                             "propagate")
        return float(stat), float(p)
    if column.reference_counts.sum() == 0 or column.current_counts.sum() == 0:
        return math.nan, math.nan
    stat, p, _, _ = _kernels.contingency_bins(
        np.ascontiguousarray(column.reference_counts, dtype=np.float64),
        np.ascontiguousarray(column.current_counts, dtype=np.float64), True, 0.0 if name == "g" else 1.0)
    return float(stat), float(p)


def _psi_critical(column: ColumnData, alpha: float, quantiles: dict[int, float]) -> float:
    """The PopulationStabilityIndex that noise alone exceeds with probability
    `alpha`: PSI times N M / (N + M) is about chi-square with one degree of
    freedom fewer than the bins either side fills. `quantiles` keeps each
    degree of freedom's quantile for the next column."""
    n, m = float(column.reference_counts.sum()), float(column.current_counts.sum())
    kept = int(np.count_nonzero((column.reference_counts > 0) | (column.current_counts > 0)))
    if n == 0 or m == 0 or kept < 2:
        return math.nan
    if kept not in quantiles:
        quantiles[kept] = float(_kernels.special("chi2_isf", float(kept - 1), np.array([alpha]))[0])
    return quantiles[kept] * (1.0 / n + 1.0 / m)


def adjusted(p_values: Sequence[float], correction: str) -> list[float]:
    """The p-values adjusted together by `correction` (NaN stays NaN and
    counts for nothing)."""
    kept = [i for i, p in enumerate(p_values) if not math.isnan(p)]
    out = [math.nan] * len(p_values)
    if not kept:
        return out
    if correction == "none":
        for i in kept:
            out[i] = p_values[i]
        return out
    _, corrected, _, _ = stats.multipletests(np.array([p_values[i] for i in kept]), method=correction)
    for i, p in zip(kept, corrected.tolist()):
        out[i] = p
    return out


def column_tests(call: TestCall, columns: Sequence[ColumnData]) -> dict[str, Any]:
    """The test columns of a drift table: `test`, `statistic`, `p_value`,
    `p_adjusted`, `drifted`, `psi_critical`, and for each metric given a
    tolerance its interval's `<metric>_low` and `<metric>_high`."""
    names = [_choice(call, c) for c in columns]
    results = [_one_test(name, c) for name, c in zip(names, columns)]
    p_values = [p for _, p in results]
    p_adjusted = adjusted(p_values, call.correction)
    drifted = [not math.isnan(p) and p < call.alpha for p in p_adjusted]
    quantiles: dict[int, float] = {}
    table: dict[str, Any] = {
        "test": names,
        "statistic": np.array([s for s, _ in results]),
        "p_value": np.array(p_values),
        "p_adjusted": np.array(p_adjusted),
        "drifted": drifted,
        "psi_critical": np.array([_psi_critical(c, call.alpha, quantiles) for c in columns]),
    }
    if call.tolerance and columns:
        tolerated = [name for name, _ in call.tolerance]
        bounds = _kernels.drift_intervals(
            [c.kind for c in columns], [c.hist for c in columns],
            [np.ascontiguousarray(c.reference_counts, dtype=np.float64) for c in columns],
            [np.ascontiguousarray(c.current_counts, dtype=np.float64) for c in columns],
            tolerated, INTERVAL_LEVEL, call.n_boot, call.seed)
        for j, (metric, tolerance) in enumerate(call.tolerance):
            low = np.array([b[0][j] for b in bounds])
            high = np.array([b[1][j] for b in bounds])
            table[f"{metric}_low"] = low
            table[f"{metric}_high"] = high
            drifted = [d and bool(lo >= tolerance) for d, lo in zip(drifted, low.tolist())]
        table["drifted"] = drifted
    table["drifted"] = np.array(table["drifted"], dtype=bool)
    return table
