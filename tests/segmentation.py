"""Reads back the group mask the module builds for an array and a label, by
pairing the array (as the feature) with one-hot outcomes: element i is in the
group exactly when facet a holds the single positive outcome."""

import numpy as np

import _lumetra


def mask_of(array, label):
    n = len(array)
    mask = []
    for i in range(n):
        truth = np.zeros(n, dtype=np.int64)
        truth[i] = 1
        dpl = _lumetra.py_data_bias_analyzer(array, truth, label, 1)["DifferenceInProportionOfLabels"]
        mask.append(1 if dpl > 0 else 0)
    return mask


def explicit_mask_of(array, threshold, label, threshold_type):
    n = len(array)
    mask = []
    for i in range(n):
        truth = np.array(["n"] * n)
        truth[i] = "y"
        dpl = _lumetra.py_data_bias_analyzer_explicit_seg(
            array, threshold, label, threshold_type, truth, None, "y", None
        )["DifferenceInProportionOfLabels"]
        mask.append(1 if dpl > 0 else 0)
    return mask
