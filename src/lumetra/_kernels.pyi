"""Type stub of the package's compiled kernels (many groups in one pass)."""

from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

_Column = npt.NDArray[Any]
_Value = Union[int, float]
# name -> array of one value per group; "error" (and, for model bias, "undefined") -> list of str or None
_Result = dict[str, Any]

def tally(
    groups: _Column,
    n_groups: int,
    truth: _Column,
    truth_rule: str,
    truth_value: _Value,
    prediction: Optional[_Column] = None,
    prediction_rule: Optional[str] = None,
    prediction_value: Optional[_Value] = None,
) -> npt.NDArray[np.uint64]: ...
def generalized_entropy(
    groups: _Column,
    n_groups: int,
    truth: _Column,
    truth_rule: str,
    truth_value: _Value,
    prediction: _Column,
    prediction_rule: str,
    prediction_value: _Value,
    reference: Optional[int] = None,
) -> npt.NDArray[np.float32]: ...
def bias(
    tallies: npt.NDArray[np.uint64],
    reference: Optional[int] = None,
    entropy: Optional[npt.NDArray[np.float32]] = None,
) -> _Result: ...
def performance(
    task: str,
    groups: _Column,
    n_groups: int,
    label: _Column,
    label_rule: Optional[str],
    label_value: Optional[_Value],
    prediction: _Column,
    prediction_rule: Optional[str] = None,
    prediction_value: Optional[_Value] = None,
    threshold: float = 0.5,
) -> _Result: ...
def performance_state(
    task: str,
    groups: _Column,
    n_groups: int,
    label: _Column,
    label_rule: Optional[str],
    label_value: Optional[_Value],
    prediction: _Column,
    prediction_rule: Optional[str] = None,
    prediction_value: Optional[_Value] = None,
    threshold: float = 0.5,
) -> dict[str, _Column]: ...  # "counts": uint64 (groups, k), "sums": float64 (groups, m)
def performance_from_state(task: str, counts: npt.NDArray[np.uint64], sums: npt.NDArray[np.float64]) -> _Result: ...
def entropy_sums(
    groups: _Column,
    n_groups: int,
    truth: _Column,
    truth_rule: str,
    truth_value: _Value,
    prediction: _Column,
    prediction_rule: str,
    prediction_value: _Value,
    reference: Optional[int],
    terms: npt.NDArray[np.float32],
    sums: npt.NDArray[np.float32],
) -> npt.NDArray[np.float32]: ...
def entropy_terms(totals: npt.NDArray[np.float32], rows: npt.NDArray[np.uint64]) -> npt.NDArray[np.float32]: ...
def continuous_baseline(values: npt.NDArray[np.float64], rule: Optional[str] = None) -> dict[str, npt.NDArray[np.float64]]: ...
def continuous_counts(edges: npt.NDArray[np.float64], values: npt.NDArray[np.float64]) -> npt.NDArray[np.uint64]: ...
def drift_scores(
    kind: str, hist: npt.NDArray[np.float64], counts: npt.NDArray[np.float64], metrics: list[str]
) -> list[float]: ...
def continuous_baselines(
    values: Union[list[npt.NDArray[np.float64]], tuple[npt.NDArray[np.float64], ...]], rule: Optional[str] = None
) -> list[Union[tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]], str]]: ...  # (edges, hist) or the refusal
def categorical_baselines(
    texts: Union[list[str], tuple[str, ...]],
    counts: Union[list[npt.NDArray[np.float64]], tuple[npt.NDArray[np.float64], ...]],
) -> list[Union[tuple[list[str], npt.NDArray[np.float64]], str]]: ...  # (labels, hist) or the refusal
def continuous_counts_many(
    edges: Union[list[npt.NDArray[np.float64]], tuple[npt.NDArray[np.float64], ...]],
    values: Union[list[npt.NDArray[np.float64]], tuple[npt.NDArray[np.float64], ...]],
) -> list[npt.NDArray[np.uint64]]: ...
def drift_scores_many(
    kinds: list[str],
    hists: Union[list[npt.NDArray[np.float64]], tuple[npt.NDArray[np.float64], ...]],
    counts: Union[list[npt.NDArray[np.float64]], tuple[npt.NDArray[np.float64], ...]],
    metrics: list[str],
) -> list[Union[list[float], str]]: ...  # scores, or the refusal
def drift_intervals(
    kinds: list[str],
    hists: Union[list[npt.NDArray[np.float64]], tuple[npt.NDArray[np.float64], ...]],
    reference_counts: Union[list[npt.NDArray[np.float64]], tuple[npt.NDArray[np.float64], ...]],
    current_counts: Union[list[npt.NDArray[np.float64]], tuple[npt.NDArray[np.float64], ...]],
    metrics: list[str],
    level: float = 0.95,
    replicates: int = 1000,
    seed: int = 0,
) -> list[tuple[list[float], list[float]]]: ...  # (low, high) of each column, in the order of metrics
def bias_intervals(
    tallies: npt.NDArray[np.uint64],
    reference: Optional[int] = None,
    level: float = 0.95,
    z: float = 1.959963984540054,
    replicates: int = 1000,
    seed: int = 0,
    method: str = "bootstrap",
) -> dict[str, npt.NDArray[np.float64]]: ...  # "<Metric>_low" / "<Metric>_high" -> one bound per group
def performance_moments(
    task: str,
    groups: _Column,
    n_groups: int,
    label: _Column,
    label_rule: Optional[str],
    label_value: Optional[_Value],
    prediction: _Column,
    threshold: float = 0.5,
) -> npt.NDArray[np.float64]: ...  # groups x 3 (regression), x 1 (logistic), x 0 (classification)
def performance_intervals(
    task: str,
    counts: npt.NDArray[np.uint64],
    sums: npt.NDArray[np.float64],
    moments: npt.NDArray[np.float64],
    level: float = 0.95,
    z: float = 1.959963984540054,
    replicates: int = 1000,
    seed: int = 0,
    method: str = "bootstrap",
) -> dict[str, npt.NDArray[np.float64]]: ...
def bias_change(
    reference: npt.NDArray[np.uint64],
    current: npt.NDArray[np.uint64],
    level: float = 0.95,
    z: float = 1.959963984540054,
    replicates: int = 1000,
    seed: int = 0,
) -> dict[str, npt.NDArray[np.float64]]: ...  # "<Metric>_change", "_change_low", "_change_high", "_p"
def performance_change(
    task: str,
    reference_counts: npt.NDArray[np.uint64],
    reference_sums: npt.NDArray[np.float64],
    reference_moments: npt.NDArray[np.float64],
    current_counts: npt.NDArray[np.uint64],
    current_sums: npt.NDArray[np.float64],
    current_moments: npt.NDArray[np.float64],
    level: float = 0.95,
    z: float = 1.959963984540054,
    replicates: int = 1000,
    seed: int = 0,
) -> dict[str, npt.NDArray[np.float64]]: ...
def count_replicates(cells: npt.NDArray[np.uint64], replicates: int, seed: int, group: int) -> npt.NDArray[np.uint64]: ...
# Diagnostics of scores and predictions: dicts of figures (int, float) and float64 / uint64 arrays.
def score_curves(
    label: _Column,
    label_rule: str,
    label_value: _Value,
    scores: _Column,
    rows: Optional[_Column] = None,
    points: int = 200,
) -> dict[str, Any]: ...
def calibration(
    label: _Column,
    label_rule: str,
    label_value: _Value,
    scores: _Column,
    rows: Optional[_Column] = None,
    bins: int = 10,
    low: float = 0.0,
    high: float = 1.0,
) -> dict[str, Any]: ...
def regression_extent(label: _Column, prediction: _Column, rows: Optional[_Column] = None) -> dict[str, Any]: ...
def regression_diagnostics(
    label: _Column,
    prediction: _Column,
    low: float,
    high: float,
    residual_low: float,
    residual_high: float,
    rows: Optional[_Column] = None,
    bins: int = 40,
    residual_bins: int = 40,
    quantiles: int = 10,
) -> dict[str, Any]: ...
def monitor_state(data: bytes | bytearray | memoryview) -> dict[str, Any]: ...  # "kind", "counts", "sums"
def vocabulary(entry: Optional[str] = None) -> Any: ...  # dict of entry -> tuple of str, or one entry's tuple

# Significance tests and p-value adjustments (lumetra.stats wraps them in SciPy's result objects).
def ks_2samp(
    data1: _Column, data2: _Column, alternative: str, method: str, nan_policy: str
) -> tuple[float, float, Union[float, int], Union[float, int], int]: ...  # statistic, pvalue, location, sign, notes
def cramervonmises_2samp(x: _Column, y: _Column, method: str, nan_policy: str) -> tuple[float, float, int]: ...
def anderson_ksamp(
    values: _Column, sizes: _Column, variant: str
) -> tuple[float, npt.NDArray[np.float64], float, int]: ...  # statistic, critical values, pvalue, notes
def contingency_bins(
    reference_counts: _Column, current_counts: _Column, correction: bool, lambda_: float
) -> tuple[float, float, int, npt.NDArray[np.float64]]: ...  # statistic, pvalue, dof, expected (2 x kept)
def multipletests(
    pvals: npt.NDArray[np.float64], alpha: float, method: str, is_sorted: bool, returnsorted: bool
) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64]]: ...
def special(name: str, a: float, x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]: ...
