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
