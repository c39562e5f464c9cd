"""Type stub of the `_lumetra` extension module."""

from typing import Any, Callable, Generic, Optional, Sequence, TypeVar

from typing_extensions import Buffer, Self, final

import numpy as np
import numpy.typing as npt

_Array = npt.NDArray[Any]
_Metrics = dict[str, float]  # metric name to value
_Report = dict[str, Any]  # {"passed": bool, "failed_report": [{"metric": str, "drift": float}, ...]}
_OptFloat = Optional[float]
_OptStr = Optional[str]

# The runtime checks compare each metric under `threshold` (a relative
# tolerance, single precision) and the monitors' drift reports fail a drift of
# at least `drift_threshold`. Either argument refuses NaN, under which nothing
# could fail: ValueError("threshold must not be NaN") / ("drift_threshold must
# not be NaN"), raised as the argument is converted. Infinite and negative
# values are accepted.

# ---- pre-training (data) bias ------------------------------------------------

def py_data_bias_analyzer(
    feature_array: _Array,
    ground_truth_array: _Array,
    feature_label_or_threshold: Any,
    ground_truth_label_or_threshold: Any,
) -> _Metrics:
    """Method to perform data bias analysis"""

def py_data_bias_runtime_check(baseline: _Metrics, latest: _Metrics, threshold: float = 0.10) -> _Report:
    """Checks every metric of the family; a NaN threshold is refused (ValueError)."""

def py_data_bias_partial_check(
    baseline: _Metrics, latest: _Metrics, metrics: Sequence[str], threshold: float = 0.10
) -> _Report:
    """Checks the metrics named in `metrics`; a NaN threshold is refused (ValueError)."""

def py_data_bias_analyzer_explicit_seg(
    feature_array: _Array, feat_segmentation_threshold: _OptFloat, feat_segmentation_label: _OptStr,
    feat_threshold_type: _OptStr,
    ground_truth_array: _Array, gt_segmentation_threshold: _OptFloat, gt_segmentation_label: _OptStr,
    gt_threshold_type: _OptStr,
) -> _Metrics: ...

# ---- post-training (model) bias ----------------------------------------------

def py_model_bias_analyzer(
    feature_array: _Array,
    ground_truth_array: _Array,
    prediction_array: _Array,
    feature_label_or_threshold: Any,
    ground_truth_label_or_threshold: Any,
    prediction_label_or_threshold: Any,
) -> _Metrics: ...
def py_model_bias_runtime_check(baseline: _Metrics, latest: _Metrics, threshold: float = 0.10) -> _Report:
    """Checks every metric of the family; a NaN threshold is refused (ValueError)."""

def py_model_bias_partial_check(
    baseline: _Metrics, latest: _Metrics, metrics: Sequence[str], threshold: float = 0.10
) -> _Report:
    """Checks the metrics named in `metrics`; a NaN threshold is refused (ValueError)."""

def py_model_bias_analyzer_explicit_seg(
    feature_array: _Array, feat_segmentation_threshold: _OptFloat, feat_segmentation_label: _OptStr,
    feat_threshold_type: _OptStr,
    ground_truth_array: _Array, gt_segmentation_threshold: _OptFloat, gt_segmentation_label: _OptStr,
    gt_threshold_type: _OptStr,
    prediction_array: _Array, pred_segmentation_threshold: _OptFloat, pred_segmentation_label: _OptStr,
    pred_threshold_type: _OptStr,
) -> _Metrics: ...

# ---- model performance ---------------------------------------------------------

def py_model_perf_linear_regression(y_true_src: _Array, y_pred_src: _Array) -> _Metrics: ...
def py_model_perf_class_rt_full(baseline: _Metrics, latest: _Metrics, threshold: float = 0.10) -> _Report:
    """Checks every metric of the family; a NaN threshold is refused (ValueError)."""

def py_model_perf_class_rt_partial(
    baseline: _Metrics, latest: _Metrics, evaluation_metrics: Sequence[str], threshold: float = 0.10
) -> _Report:
    """Checks the metrics named in `evaluation_metrics`; a NaN threshold is refused (ValueError)."""

def py_model_perf_classification(y_true_src: _Array, y_pred_src: _Array) -> _Metrics: ...
def py_model_perf_log_reg_rt_partial(
    baseline: _Metrics, latest: _Metrics, evaluation_metrics: Sequence[str], threshold: float = 0.10
) -> _Report:
    """Checks the metrics named in `evaluation_metrics`; a NaN threshold is refused (ValueError)."""

def py_model_perf_logistic_regression(y_true_src: _Array, y_pred_src: _Array, threshold: float) -> _Metrics:
    """The seven classification metrics (classes by value >= threshold) and LogLoss: single-precision
    terms of the clamped scores, added in double in index order, -sum / n rounded once to single."""

def py_model_perf_lin_reg_rt_full(baseline: _Metrics, latest: _Metrics, threshold: float = 0.10) -> _Report:
    """Checks every metric of the family; a NaN threshold is refused (ValueError)."""

def py_model_perf_lin_reg_rt_partial(
    baseline: _Metrics, latest: _Metrics, evaluation_metrics: Sequence[str], threshold: float = 0.10
) -> _Report:
    """Checks the metrics named in `evaluation_metrics`; a NaN threshold is refused (ValueError)."""

def py_model_perf_log_reg_rt_full(baseline: _Metrics, latest: _Metrics, threshold: float = 0.10) -> _Report:
    """Checks every metric of the family; a NaN threshold is refused (ValueError)."""


# ---- data drift ----------------------------------------------------------------

_DriftMetric = str  # "JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"
_BinRule = str  # "FreedmanDiaconis", "Scott", "Sturges"
_F64 = npt.NDArray[np.float64]

def py_compute_drift_categorical_distribtuion(
    baseline: Sequence[str],
    candidate: Sequence[str],
    drift_metrics: Sequence[_DriftMetric],
) -> list[float]: ...
def py_compute_drift_continuous_distribtuion(
    baseline: _F64,
    candidate: _F64,
    drift_metrics: Sequence[_DriftMetric],
    quantile_type: Optional[_BinRule],
) -> list[float]: ...

# ---- state that moves ---------------------------------------------------------
# Every class saves and restores its whole state; the streaming ones also merge.

class _Saving:
    def to_bytes(self) -> bytes: ...
    @classmethod
    def from_bytes(cls, data: Buffer) -> Self: ...
    def __reduce__(self) -> tuple[Callable[[bytes], Self], tuple[bytes]]: ...

class _Merging(_Saving):
    def merge(self, other: Self) -> None: ...

# The detectors' shared methods live in private bases that exist only here:
# the data a detector takes, what it exports, and (in flush mode) its flush.

class _ContinuousData:
    def reset_baseline(self, baseline_data: _F64) -> None: ...
    def export_baseline(self) -> list[float]: ...

class _CategoricalData:
    def reset_baseline(self, new_baseline: Sequence[str]) -> None: ...
    def export_baseline(self) -> dict[str, float]: ...

_D = TypeVar("_D")  # the runtime data of a detector
_E = TypeVar("_E")  # a single runtime example
_S = TypeVar("_S")  # a stream snapshot

class _BatchDetector(_Saving, Generic[_D]):
    @property
    def num_bins(self) -> int: ...
    def compute_drift(self, runtime_data: _D, drift_type: _DriftMetric) -> float: ...
    def compute_drift_mutliple_criteria(self, runtime_data: _D, drift_types: Sequence[_DriftMetric]) -> list[float]: ...

class _StreamingDetector(_Merging, Generic[_E, _D, _S]):
    def update_stream(self, runtime_example: _E) -> None: ...
    def update_stream_batch(self, runtime_data: _D) -> None: ...
    def compute_drift(self, drift_type: _DriftMetric) -> float: ...
    def compute_drift_multiple_criteria(self, drift_types: Sequence[_DriftMetric]) -> list[float]: ...
    def export_snapshot(self) -> _S: ...
    @property
    def total_samples(self) -> int: ...
    @property
    def n_bins(self) -> int: ...

class _Flushing:
    def flush(self) -> None: ...
    @property
    def last_flush(self) -> int: ...

_ContinuousStream = _StreamingDetector[float, _F64, dict[str, list[float]]]
_CategoricalStream = _StreamingDetector[str, Sequence[str], dict[str, float]]

@final
class PyCategoricalDataDrift(_BatchDetector[Sequence[str]], _CategoricalData):
    """Batch categorical data drift detector. Computes drift metrics between a fixed
    baseline label distribution and a runtime label slice on each call."""

    def __new__(cls, baseline_data: Sequence[str]) -> PyCategoricalDataDrift: ...

@final
class PyContinuousDataDrift(_BatchDetector[_F64], _ContinuousData):
    """Batch continuous data drift detector. Computes drift metrics between a fixed
    baseline histogram and a runtime data slice on each call."""

    def __new__(cls, baseline_data: _F64, quantile_type_str: Optional[_BinRule]) -> PyContinuousDataDrift: ...

@final
class PyStreamingContinuousDataDriftFlush(_ContinuousStream, _ContinuousData, _Flushing):
    """Streaming continuous data drift detector in flush mode. Accumulates runtime
    samples and resets accumulated bins on each flush."""

    def __new__(
        cls,
        baseline_data: _F64,
        quantile_type_str: Optional[_BinRule],
        flush_rate_opt: Optional[int],
        flush_cadence_opt: Optional[int],
    ) -> PyStreamingContinuousDataDriftFlush: ...

@final
class PyStreamingContinuousDataDriftDecay(_ContinuousStream, _ContinuousData):
    """Streaming continuous data drift detector in decay mode. Applies exponential
    decay to accumulated runtime bins on each drift computation, giving more weight
    to recent samples."""

    def __new__(
        cls, baseline_data: _F64, quantile_type_str: Optional[_BinRule], decay_opt: Optional[int]
    ) -> PyStreamingContinuousDataDriftDecay: ...

@final
class PyStreamingCategoricalDataDriftFlush(_CategoricalStream, _CategoricalData, _Flushing):
    """Streaming categorical data drift detector in flush mode. Accumulates runtime
    label counts and resets accumulated bins on each flush."""

    def __new__(
        cls, baseline_data: Sequence[str], flush_rate: Optional[int], flush_cadence: Optional[int]
    ) -> PyStreamingCategoricalDataDriftFlush: ...

@final
class PyStreamingCategoricalDataDriftDecay(_CategoricalStream, _CategoricalData):
    """Streaming categorical data drift detector in decay mode. Applies exponential
    decay to accumulated label counts on each drift computation, giving more weight
    to recent samples."""

    def __new__(
        cls, baseline_data: Sequence[str], half_life_opt: Optional[int]
    ) -> PyStreamingCategoricalDataDriftDecay: ...

# ---- streaming monitors -------------------------------------------------------

_Labels = Sequence[int] | npt.NDArray[np.integer[Any]]
_Values = Sequence[float] | npt.NDArray[np.floating[Any]] | npt.NDArray[np.integer[Any]]

class _Monitor(_Merging):
    """What every streaming monitor has besides its constructor, push and batches."""

    def flush(self) -> None: ...
    def performance_snapshot(self) -> _Metrics: ...
    def drift_snapshot(self) -> _Metrics: ...
    def drift_report(self, drift_threshold: float) -> _Report:
        """Fails every metric whose drift is at least `drift_threshold`; NaN is refused (ValueError)."""
    def drift_report_partial_metrics(self, metrics: Sequence[str], drift_threshold: float) -> _Report:
        """drift_report over the metrics named in `metrics`; a NaN `drift_threshold` is refused (ValueError)."""

@final
class PyDataBiasStreaming(_Monitor):
    def __new__(cls, feature_data: _Labels, gt_data: _Labels) -> PyDataBiasStreaming: ...
    def push(self, f: int, g: int) -> None: ...
    def push_batch(self, f: _Labels, g: _Labels) -> None: ...
    def reset_baseline(self, f: _Labels, g: _Labels) -> None: ...

@final
class PyModelBiasStreaming(_Monitor):
    def __new__(cls, features: _Labels, predictions: _Labels, ground_truth: _Labels) -> PyModelBiasStreaming: ...
    def push(self, feature: int, pred: int, gt: int) -> None: ...
    def push_batch(self, feature: _Labels, pred: _Labels, gt: _Labels) -> None: ...
    def reset_baseline(self, feature: _Labels, pred: _Labels, gt: _Labels) -> None: ...

@final
class PyBinaryClassificationStreaming(_Monitor):
    def __new__(cls, y_true: _Labels, y_pred: _Labels) -> PyBinaryClassificationStreaming: ...
    def push(self, y_true: int, y_pred: int) -> None: ...
    def push_batch(self, y_true: _Labels, y_pred: _Labels) -> None: ...
    def reset_baseline(self, y_true: _Labels, y_pred: _Labels) -> None: ...

@final
class PyLinearRegressionStreaming(_Monitor):
    def __new__(cls, y_true: _Values, y_pred: _Values) -> PyLinearRegressionStreaming: ...
    def push(self, t: float, p: float) -> None: ...
    def push_batch(self, y_true: _Values, y_pred: _Values) -> None: ...
    def reset_baseline(self, y_true: _Values, y_pred: _Values) -> None: ...

@final
class PyLogisticRegressionStreaming(_Monitor):
    def __new__(cls, y_true: _Values, y_pred: _Values, threshold: float) -> PyLogisticRegressionStreaming: ...
    def push(self, y_true: float, y_pred: float) -> None: ...
    def push_batch(self, y_true: _Values, y_pred: _Values) -> None: ...
    def reset_baseline(self, y_true: _Values, y_pred: _Values) -> None: ...
    def reset_baseline_and_decision_threshold(self, y_true: _Values, y_pred: _Values, threshold: float) -> None: ...
