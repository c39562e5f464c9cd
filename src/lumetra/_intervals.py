"""What a confidence interval is asked to be, for the plans that add one:
its level, the normal quantile the analytic and delta-method bounds use,
and the bootstrap's replicates, seed and method."""

from __future__ import annotations

from dataclasses import dataclass
from statistics import NormalDist
from typing import Any, Optional

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
