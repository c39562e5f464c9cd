"""Type stub of the package's compiled kernels (many groups in one pass)."""

from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt

_Column = npt.NDArray[Any]
_Value = Union[int, float]
_Result = dict[str, Any]  # name -> array of one value per group; "error" -> list of str or None

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
