"""Type stub of the `_lumetra` extension module."""

from typing import Any, Optional, Sequence

from typing_extensions import final

import numpy as np
import numpy.typing as npt

# ---- pre-training (data) bias ------------------------------------------------

def py_data_bias_analyzer(
    feature_array: npt.NDArray[Any],
    ground_truth_array: npt.NDArray[Any],
    feature_label_or_threshold: Any,
    ground_truth_label_or_threshold: Any,
) -> dict[str, float]:
    """Method to perform data bias analysis"""

# ---- data bias runtime checks -----------------------------------------------

def py_data_bias_runtime_check(
    baseline: dict[str, float], latest: dict[str, float], threshold: float = 0.10
) -> dict[str, Any]: ...
def py_data_bias_partial_check(
    baseline: dict[str, float],
    latest: dict[str, float],
    metrics: Sequence[str],
    threshold: float = 0.10,
) -> dict[str, Any]: ...

# ---- end data bias runtime checks -------------------------------------------

def py_data_bias_analyzer_explicit_seg(
    feature_array: npt.NDArray[Any],
    feat_segmentation_threshold: Optional[float],
    feat_segmentation_label: Optional[str],
    feat_threshold_type: Optional[str],
    ground_truth_array: npt.NDArray[Any],
    gt_segmentation_threshold: Optional[float],
    gt_segmentation_label: Optional[str],
    gt_threshold_type: Optional[str],
) -> dict[str, float]: ...

# ---- post-training (model) bias and its runtime checks ----------------------

def py_model_bias_analyzer(
    feature_array: npt.NDArray[Any],
    ground_truth_array: npt.NDArray[Any],
    prediction_array: npt.NDArray[Any],
    feature_label_or_threshold: Any,
    ground_truth_label_or_threshold: Any,
    prediction_label_or_threshold: Any,
) -> dict[str, float]: ...
def py_model_bias_runtime_check(
    baseline: dict[str, float], latest: dict[str, float], threshold: float = 0.10
) -> dict[str, Any]: ...
def py_model_bias_partial_check(
    baseline: dict[str, float],
    latest: dict[str, float],
    metrics: Sequence[str],
    threshold: float = 0.10,
) -> dict[str, Any]: ...
def py_model_bias_analyzer_explicit_seg(
    feature_array: npt.NDArray[Any],
    feat_segmentation_threshold: Optional[float],
    feat_segmentation_label: Optional[str],
    feat_threshold_type: Optional[str],
    ground_truth_array: npt.NDArray[Any],
    gt_segmentation_threshold: Optional[float],
    gt_segmentation_label: Optional[str],
    gt_threshold_type: Optional[str],
    prediction_array: npt.NDArray[Any],
    pred_segmentation_threshold: Optional[float],
    pred_segmentation_label: Optional[str],
    pred_threshold_type: Optional[str],
) -> dict[str, float]: ...

# ---- end post-training bias -------------------------------------------------

# ---- model performance ---------------------------------------------------------

def py_model_perf_linear_regression(
    y_true_src: npt.NDArray[Any],
    y_pred_src: npt.NDArray[Any],
) -> dict[str, float]: ...
def py_model_perf_class_rt_full(
    baseline: dict[str, float],
    latest: dict[str, float],
    threshold: float = 0.10,
) -> dict[str, Any]: ...
def py_model_perf_class_rt_partial(
    baseline: dict[str, float],
    latest: dict[str, float],
    evaluation_metrics: Sequence[str],
    threshold: float = 0.10,
) -> dict[str, Any]: ...
def py_model_perf_classification(
    y_true_src: npt.NDArray[Any],
    y_pred_src: npt.NDArray[Any],
) -> dict[str, float]: ...
def py_model_perf_log_reg_rt_partial(
    baseline: dict[str, float],
    latest: dict[str, float],
    evaluation_metrics: Sequence[str],
    threshold: float = 0.10,
) -> dict[str, Any]: ...
def py_model_perf_logistic_regression(
    y_true_src: npt.NDArray[Any],
    y_pred_src: npt.NDArray[Any],
    threshold: float,
) -> dict[str, float]: ...
def py_model_perf_lin_reg_rt_full(
    baseline: dict[str, float],
    latest: dict[str, float],
    threshold: float = 0.10,
) -> dict[str, Any]: ...
def py_model_perf_lin_reg_rt_partial(
    baseline: dict[str, float],
    latest: dict[str, float],
    evaluation_metrics: Sequence[str],
    threshold: float = 0.10,
) -> dict[str, Any]: ...
def py_model_perf_log_reg_rt_full(
    baseline: dict[str, float],
    latest: dict[str, float],
    threshold: float = 0.10,
) -> dict[str, Any]: ...
# ---- data drift ----------------------------------------------------------------

_DriftMetric = str  # "JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"
_BinRule = str  # "FreedmanDiaconis", "Scott", "Sturges"

def py_compute_drift_categorical_distribtuion(
    baseline: Sequence[str],
    candidate: Sequence[str],
    drift_metrics: Sequence[_DriftMetric],
) -> list[float]: ...
def py_compute_drift_continuous_distribtuion(
    baseline: npt.NDArray[np.float64],
    candidate: npt.NDArray[np.float64],
    drift_metrics: Sequence[_DriftMetric],
    quantile_type: Optional[_BinRule],
) -> list[float]: ...

@final
class PyCategoricalDataDrift:
    """Batch categorical data drift detector. Computes drift metrics between a fixed
    baseline label distribution and a runtime label slice on each call."""

    def __new__(cls, baseline_data: Sequence[str]) -> PyCategoricalDataDrift: ...
    @property
    def num_bins(self) -> int: ...
    def compute_drift(self, runtime_data: Sequence[str], drift_type: _DriftMetric) -> float: ...
    def compute_drift_mutliple_criteria(
        self, runtime_data: Sequence[str], drift_types: Sequence[_DriftMetric]
    ) -> list[float]: ...
    def reset_baseline(self, new_baseline: Sequence[str]) -> None: ...
    def export_baseline(self) -> dict[str, float]: ...

@final
class PyContinuousDataDrift:
    """Batch continuous data drift detector. Computes drift metrics between a fixed
    baseline histogram and a runtime data slice on each call."""

    def __new__(
        cls, baseline_data: npt.NDArray[np.float64], quantile_type_str: Optional[_BinRule]
    ) -> PyContinuousDataDrift: ...
    @property
    def num_bins(self) -> int: ...
    def compute_drift(self, runtime_data: npt.NDArray[np.float64], drift_type: _DriftMetric) -> float: ...
    def compute_drift_mutliple_criteria(
        self, runtime_data: npt.NDArray[np.float64], drift_types: Sequence[_DriftMetric]
    ) -> list[float]: ...
    def reset_baseline(self, baseline_data: npt.NDArray[np.float64]) -> None: ...
    def export_baseline(self) -> list[float]: ...

@final
class PyStreamingContinuousDataDriftFlush:
    """Streaming continuous data drift detector in flush mode. Accumulates runtime
    samples and resets accumulated bins on each flush."""

    def __new__(
        cls,
        baseline_data: npt.NDArray[np.float64],
        quantile_type_str: Optional[_BinRule],
        flush_rate_opt: Optional[int],
        flush_cadence_opt: Optional[int],
    ) -> PyStreamingContinuousDataDriftFlush: ...
    def update_stream(self, runtime_example: float) -> None: ...
    def update_stream_batch(self, runtime_data: npt.NDArray[np.float64]) -> None: ...
    def compute_drift(self, drift_type: _DriftMetric) -> float: ...
    def compute_drift_multiple_criteria(self, drift_types: Sequence[_DriftMetric]) -> list[float]: ...
    def reset_baseline(self, baseline_data: npt.NDArray[np.float64]) -> None: ...
    def export_snapshot(self) -> dict[str, list[float]]: ...
    def export_baseline(self) -> list[float]: ...
    def flush(self) -> None: ...
    @property
    def total_samples(self) -> int: ...
    @property
    def n_bins(self) -> int: ...
    @property
    def last_flush(self) -> int: ...

@final
class PyStreamingContinuousDataDriftDecay:
    """Streaming continuous data drift detector in decay mode. Applies exponential
    decay to accumulated runtime bins on each drift computation, giving more weight
    to recent samples."""

    def __new__(
        cls,
        baseline_data: npt.NDArray[np.float64],
        quantile_type_str: Optional[_BinRule],
        decay_opt: Optional[int],
    ) -> PyStreamingContinuousDataDriftDecay: ...
    def update_stream(self, runtime_example: float) -> None: ...
    def update_stream_batch(self, runtime_data: npt.NDArray[np.float64]) -> None: ...
    def compute_drift(self, drift_type: _DriftMetric) -> float: ...
    def compute_drift_multiple_criteria(self, drift_types: Sequence[_DriftMetric]) -> list[float]: ...
    def reset_baseline(self, baseline_data: npt.NDArray[np.float64]) -> None: ...
    def export_snapshot(self) -> dict[str, list[float]]: ...
    def export_baseline(self) -> list[float]: ...
    @property
    def total_samples(self) -> int: ...
    @property
    def n_bins(self) -> int: ...

@final
class PyStreamingCategoricalDataDriftFlush:
    """Streaming categorical data drift detector in flush mode. Accumulates runtime
    label counts and resets accumulated bins on each flush."""

    def __new__(
        cls, baseline_data: Sequence[str], flush_rate: Optional[int], flush_cadence: Optional[int]
    ) -> PyStreamingCategoricalDataDriftFlush: ...
    def update_stream(self, runtime_example: str) -> None: ...
    def update_stream_batch(self, runtime_data: Sequence[str]) -> None: ...
    def compute_drift(self, drift_type: _DriftMetric) -> float: ...
    def compute_drift_multiple_criteria(self, drift_types: Sequence[_DriftMetric]) -> list[float]: ...
    def reset_baseline(self, new_baseline: Sequence[str]) -> None: ...
    def export_snapshot(self) -> dict[str, float]: ...
    def export_baseline(self) -> dict[str, float]: ...
    def flush(self) -> None: ...
    @property
    def total_samples(self) -> int: ...
    @property
    def n_bins(self) -> int: ...
    @property
    def last_flush(self) -> int: ...

@final
class PyStreamingCategoricalDataDriftDecay:
    """Streaming categorical data drift detector in decay mode. Applies exponential
    decay to accumulated label counts on each drift computation, giving more weight
    to recent samples."""

    def __new__(cls, baseline_data: Sequence[str], half_life_opt: Optional[int]) -> PyStreamingCategoricalDataDriftDecay: ...
    def update_stream(self, runtime_example: str) -> None: ...
    def update_stream_batch(self, runtime_data: Sequence[str]) -> None: ...
    def compute_drift(self, drift_type: _DriftMetric) -> float: ...
    def compute_drift_multiple_criteria(self, drift_types: Sequence[_DriftMetric]) -> list[float]: ...
    def reset_baseline(self, new_baseline: Sequence[str]) -> None: ...
    def export_snapshot(self) -> dict[str, float]: ...
    def export_baseline(self) -> dict[str, float]: ...
    @property
    def total_samples(self) -> int: ...
    @property
    def n_bins(self) -> int: ...
