"""What a confidence interval is asked to be, for the plans that add one:
its level, the normal quantile the analytic and delta-method bounds use,
and the bootstrap's replicates, seed and method."""

from __future__ import annotations

from dataclasses import dataclass
from statistics import NormalDist
from typing import Any, Optional

import numpy as np

CI_METHODS = ("bootstrap", "analytic")


@dataclass(frozen=True)
class Intervals:
    level: float
    n_boot: int
    seed: int
    method: str

    @property
    def z(self) -> float:
        return NormalDist().inv_cdf((1.0 + self.level) / 2.0)

    def arguments(self) -> tuple[float, float, int, int, str]:
        """The kernels' level, z, replicates, seed and method."""
        return self.level, self.z, self.n_boot, self.seed, self.method


def with_bounds(result: dict[str, Any], bounds: dict[str, Any], before: str) -> dict[str, Any]:
    """The result's columns with the bounds (<Metric>_low, <Metric>_high)
    placed before the column `before`."""
    out: dict[str, Any] = {}
    for key, value in result.items():
        if key == before:
            out.update(bounds)
        out[key] = value
    if before not in result:
        out.update(bounds)
    return out


def checked(ci: object, n_boot: object, seed: object, method: object) -> Optional[Intervals]:
    """The interval arguments of a public function, each named in its refusal."""
    from ._validation import check_choice

    if ci is not None and (isinstance(ci, bool) or not isinstance(ci, (int, float)) or not 0.0 < float(ci) < 1.0):
        raise ValueError(f"ci must be a level between 0 and 1 (0.95, say) or None; got {ci!r}")
    if isinstance(n_boot, bool) or not isinstance(n_boot, int) or not 2 <= n_boot <= 1 << 24:
        raise ValueError(f"n_boot must be an integer from 2 to 2**24; got {n_boot!r}")
    if isinstance(seed, bool) or not isinstance(seed, int) or not 0 <= seed < 1 << 64:
        raise ValueError(f"seed must be an integer from 0 to 2**64 - 1; got {seed!r}")
    method = check_choice("ci_method", method, CI_METHODS)
    return None if ci is None else Intervals(float(ci), n_boot, seed, method)


# What each monitor's state lacks for the delta method: the sums of its
# terms' squares, which a monitor does not keep.
_MOMENT_WIDTH = {"regression": 3, "logistic": 1, "classification": 0}


def monitor_intervals(
    monitor: Any, *, ci: float = 0.95, n_boot: int = 1000, seed: int = 0, ci_method: str = "bootstrap"
) -> dict[str, float]:
    """The metrics of a streaming monitor's current state, each with its
    confidence bounds (`<Metric>_low`, `<Metric>_high`), as `data_bias`,
    `model_bias` and `performance` give them for a frame: the counts the
    monitor holds since its last flush are the count table the bootstrap
    draws from. The values are the monitor's own (its performance_snapshot()).
    Metrics of sums (regression, LogLoss) have NaN bounds: a monitor keeps
    no sums of squared terms."""
    from . import _kernels

    to_bytes = getattr(monitor, "to_bytes", None)
    if not callable(to_bytes) or not callable(getattr(monitor, "performance_snapshot", None)):
        raise TypeError(f"monitor must be a streaming monitor of _lumetra; got {type(monitor).__name__}")
    if ci is None:
        raise ValueError("ci must be a level between 0 and 1 (0.95, say); got None")
    intervals = checked(ci, n_boot, seed, ci_method)
    assert intervals is not None
    state = _kernels.monitor_state(to_bytes())
    values = monitor.performance_snapshot()
    kind = state["kind"]
    if kind in ("data_bias", "model_bias"):
        bounds = _kernels.bias_intervals(state["counts"], None, *intervals.arguments())
    else:
        groups = 1
        moments = np.full(groups * _MOMENT_WIDTH[kind], np.nan)
        bounds = _kernels.performance_intervals(kind, state["counts"], state["sums"], moments, *intervals.arguments())
    out: dict[str, float] = {}
    for metric, value in values.items():
        out[metric] = value
        if f"{metric}_low" in bounds:
            out[f"{metric}_low"] = float(bounds[f"{metric}_low"][0])
            out[f"{metric}_high"] = float(bounds[f"{metric}_high"][0])
    return out
