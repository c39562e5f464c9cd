"""Type stub of the `_lumetra` extension module."""

from typing import Any, Optional, Sequence

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
