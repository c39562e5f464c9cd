"""The metric families and the engine's runtime check of each.

A runtime check compares a stored baseline of metric values with the latest
values under a relative threshold; the rule per metric belongs to the engine
(`_lumetra`), and this module only picks the engine function for a family.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any, Callable, Mapping, Sequence

import _lumetra

from ._significance import adjusted
from ._vocabulary import FAMILY_METRICS, TASKS

FullCheck = Callable[..., dict[str, Any]]
PartialCheck = Callable[..., dict[str, Any]]


@dataclass(frozen=True)
class Family:
    """One metric family: its metric names in engine order and its two checks."""

    name: str
    metrics: tuple[str, ...]
    full: FullCheck
    partial: PartialCheck


_CHECKS: dict[str, tuple[FullCheck, PartialCheck]] = {
    "data_bias": (_lumetra.py_data_bias_runtime_check, _lumetra.py_data_bias_partial_check),
    "model_bias": (_lumetra.py_model_bias_runtime_check, _lumetra.py_model_bias_partial_check),
    "regression": (_lumetra.py_model_perf_lin_reg_rt_full, _lumetra.py_model_perf_lin_reg_rt_partial),
    "classification": (_lumetra.py_model_perf_class_rt_full, _lumetra.py_model_perf_class_rt_partial),
    "logistic": (_lumetra.py_model_perf_log_reg_rt_full, _lumetra.py_model_perf_log_reg_rt_partial),
}

FAMILIES: dict[str, Family] = {
    name: Family(name, metrics, *_CHECKS[name]) for name, metrics in FAMILY_METRICS.items()
}

#: The performance family that each ``task`` of :func:`lumetra.performance` yields.
TASK_FAMILY = {task: task for task in TASKS}


def family_of(metrics: Mapping[str, object]) -> Family | None:
    """The family whose metric names a dict holds, or None when none fits.

    The logistic family holds every classification name plus ``LogLoss``, so it
    is tried first.
    """
    keys = set(metrics)
    for name in ("logistic", "classification", "model_bias", "data_bias", "regression"):
        family = FAMILIES[name]
        if keys.issuperset(family.metrics):
            return family
    return None


def run_check(
    family: Family,
    baseline: Mapping[str, float],
    latest: Mapping[str, float],
    *,
    threshold: float | None = None,
    metrics: Sequence[str] | None = None,
) -> dict[str, Any]:
    """The engine's report for ``latest`` against ``baseline``.

    The result is the engine's dict: ``{"passed": True}`` or ``{"passed": False,
    "failed_report": [{"metric": name, "drift": value}, ...]}``, failed metrics
    in metric order. Errors of the engine (a missing metric, an unknown name)
    propagate as its ``ValueError`` or ``TypeError``; a threshold that is not a
    finite number of at least 0 is refused with ``ValueError``.
    """
    if threshold is not None and not (
        isinstance(threshold, (int, float)) and not isinstance(threshold, bool)
        and math.isfinite(threshold) and threshold >= 0
    ):
        # A NaN or infinite threshold would pass every check, a negative one fail every check.
        raise ValueError(f"threshold must be a finite number >= 0; got {threshold!r}")
    kwargs = {} if threshold is None else {"threshold": threshold}
    if metrics is None:
        return family.full(dict(baseline), dict(latest), **kwargs)
    return family.partial(dict(baseline), dict(latest), list(metrics), **kwargs)


def json_number(value: float) -> float | str:
    """A float as JSON holds it: finite values as numbers, the rest as text."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "Infinity" if value > 0 else "-Infinity"
    return value


def from_json_number(value: object) -> object:
    """The inverse of :func:`json_number`; any other value is returned as it is."""
    if isinstance(value, str) and value in ("NaN", "Infinity", "-Infinity"):
        return float(value.replace("Infinity", "inf"))
    return value


# ---- checks that judge change, not noise ------------------------------------------------------
#
# A metric fails when its change from the reference to the current data is
# significant after correction (the adjusted p-value below alpha) and its
# interval reaches the metric's tolerance: the change may be as large as the
# tolerance. So noise never fails a check, however many groups and metrics a
# report compares, and a huge sample does not turn a negligible change into
# an alert; a change of the tolerance is caught as soon as the data show it.


@dataclass(frozen=True)
class Tolerance:
    """How much change of a metric matters: `absolute` (the change itself),
    `relative` (a share of the reference value) or `ratio` (the current value
    over the reference value outside [low, high])."""

    kind: str
    value: float = 0.0
    low: float = 0.0
    high: float = 0.0

    def reached(self, low: float, high: float, reference: float) -> bool:
        """Whether a change with this interval may reach the tolerance."""
        if self.kind == "ratio":
            return low <= self.low or high >= self.high
        limit = self.value if self.kind == "absolute" else self.value * abs(reference)
        return max(abs(low), abs(high)) >= limit

    def text(self) -> str:
        if self.kind == "ratio":
            return f"a ratio to the reference outside {self.low:g}-{self.high:g}"
        if self.kind == "relative":
            return f"{self.value:.0%} of the reference value"
        return f"{self.value:g} absolute"


_RATES = Tolerance("absolute", 0.05)
_RELATIVE = Tolerance("relative", 0.10)

#: Each metric's default tolerance under the change rule.
TOLERANCES: dict[str, Tolerance] = {
    # Data bias: rates and distances of two binary outcome distributions;
    # the divergences at about what a 0.05 difference of rates near 0.4 gives.
    "ClassImbalance": _RATES,
    "DifferenceInProportionOfLabels": _RATES,
    "KlDivergence": Tolerance("absolute", 0.005),
    "JsDivergence": Tolerance("absolute", 0.00125),
    "LpNorm": Tolerance("absolute", 0.07),
    "TotalVariationDistance": _RATES,
    "KolmogorovSmirnov": _RATES,
    # Model bias.
    "DifferenceInPositivePredictedLabels": _RATES,
    "DisparateImpact": Tolerance("ratio", low=0.8, high=1.25),
    "AccuracyDifference": _RATES,
    "RecallDifference": _RATES,
    "DifferenceInConditionalAcceptance": Tolerance("absolute", 0.1),
    "DifferenceInAcceptanceRate": _RATES,
    "SpecialityDifference": _RATES,
    "DifferenceInConditionalRejection": Tolerance("absolute", 0.1),
    "DifferenceInRejectionRate": _RATES,
    "TreatmentEquity": Tolerance("absolute", 0.25),
    "ConditionalDemographicDesparityPredictedLabels": _RATES,
    "GeneralizedEntropy": Tolerance("absolute", 0.02),  # per row: the engine's value is a sum over rows
    # Performance: rates to two points, mean errors and the log loss to 10%.
    "BalancedAccuracy": Tolerance("absolute", 0.02),
    "PrecisionPositive": Tolerance("absolute", 0.02),
    "PrecisionNegative": Tolerance("absolute", 0.02),
    "RecallPositive": Tolerance("absolute", 0.02),
    "RecallNegative": Tolerance("absolute", 0.02),
    "Accuracy": Tolerance("absolute", 0.02),
    "F1Score": Tolerance("absolute", 0.02),
    "LogLoss": _RELATIVE,
    "RootMeanSquaredError": _RELATIVE,
    "MeanSquaredError": _RELATIVE,
    "MeanAbsoluteError": _RELATIVE,
    "MeanSquaredLogError": _RELATIVE,
    "RootMeanSquaredLogError": _RELATIVE,
    "MeanAbsolutePercentageError": _RELATIVE,
}

CHECK_RULES = ("change", "relative")


def fdr_bh(p_values: Sequence[float]) -> list[float]:
    """Benjamini-Hochberg adjusted p-values (NaN stays NaN and counts for nothing)."""
    return adjusted(p_values, "fdr_bh")


@dataclass
class ChangeTest:
    """One metric's change between two states, waiting for its correction."""

    metric: str
    change: float
    low: float
    high: float
    p_value: float
    reference: float
    p_adjusted: float = math.nan

    def failed(self, alpha: float) -> bool:
        tolerance = TOLERANCES[self.metric]
        return self.p_adjusted < alpha and tolerance.reached(self.low, self.high, self.reference)

    def entry(self) -> dict[str, Any]:
        return {"metric": self.metric, "drift": json_number(self.change), "change": json_number(self.change),
                "low": json_number(self.low), "high": json_number(self.high),
                "p_adjusted": json_number(self.p_adjusted), "tolerance": TOLERANCES[self.metric].text()}


def change_tests(metrics: Sequence[str], changes: Mapping[str, Any], row: int,
                 reference: Mapping[str, float]) -> list[ChangeTest]:
    """The change tests of one row of a change kernel's result (metrics
    without an interval are left out)."""
    out = []
    for metric in metrics:
        if f"{metric}_change" not in changes:
            continue
        p = float(changes[f"{metric}_p"][row])
        if math.isnan(p):
            continue
        out.append(ChangeTest(metric, float(changes[f"{metric}_change"][row]),
                              float(changes[f"{metric}_change_low"][row]),
                              float(changes[f"{metric}_change_high"][row]), p, float(reference.get(metric, math.nan))))
    return out


@dataclass
class DriftTest:
    """One column's drift test, waiting for its correction: the drift
    metric the check reads, its value, the test's p-value and, where a
    tolerance is given, the lower bound of the metric's interval."""

    metric: str
    value: float
    p_value: float
    low: float = math.nan
    tolerance: float | None = None
    p_adjusted: float = math.nan

    def failed(self, alpha: float) -> bool:
        if not self.p_adjusted < alpha:
            return False
        return self.tolerance is None or self.low >= self.tolerance

    def entry(self) -> dict[str, Any]:
        out = {"metric": self.metric, "drift": json_number(self.value), "p_adjusted": json_number(self.p_adjusted)}
        if self.tolerance is not None:
            out["low"] = json_number(self.low)
            out["at_least"] = json_number(self.tolerance)
        return out


def correct(tests: Sequence[ChangeTest | DriftTest]) -> None:
    """Sets every test's adjusted p-value, all tests corrected together."""
    for test, p in zip(tests, fdr_bh([t.p_value for t in tests])):
        test.p_adjusted = p
