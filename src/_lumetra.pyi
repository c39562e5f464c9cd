"""Type stub of the `_lumetra` extension module."""

from typing import Any, Optional

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
