"""Model performance of a whole frame or of each group of some columns."""

from __future__ import annotations

from typing import Any, Union

import numpy as np

from . import _kernels
from ._frame import Frame, is_dask, read_frame, result_table
from ._groups import Groups, column_groups, single_group
from ._outcome import numeric_column, read_outcome
from ._checks import FAMILIES, TASK_FAMILY
from ._validation import Scalar, check_choice, check_column, check_columns, check_missing, check_not_result_columns
from ._validation import check_real, check_scalar

TASKS = ("regression", "classification", "logistic")


def performance(
    data: Any,
    label: str,
    prediction: str,
    *,
    task: str,
    positive: Scalar = 1,
    threshold: float = 0.5,
    by: Union[None, str, list[str], tuple[str, ...]] = None,
    missing: str = "raise",
) -> Any:
    """Performance metrics of the whole frame (one row) or of each group of
    the `by` column(s) (one row per observed value or combination).

    `task` is 'regression' (numeric label and prediction), 'classification'
    (label and prediction mapped to 1 where equal to `positive`, else 0) or
    'logistic' (label mapped likewise; prediction holds scores, classed by
    score >= `threshold`). Columns: the `by` column(s), `n`, and the metrics
    of the family in their order. `missing` is as in `data_bias` ('group'
    applies to the `by` columns).
    """
    task = check_choice("task", task, TASKS)
    label = check_column("label", label)
    prediction = check_column("prediction", prediction)
    positive = check_scalar("positive", positive)
    decision = check_real("threshold", threshold, allow_none=False)
    assert decision is not None
    names = check_columns("by", by, allow_none=True)
    if names is not None:
        check_not_result_columns("by", names, ("n",) + FAMILIES[TASK_FAMILY[task]].metrics)
    missing = check_missing(missing, group=names is not None)
    if is_dask(data):
        from . import _dask

        return _dask.performance(
            data, label, prediction, task=task, positive=positive, decision=decision, by=names, missing=missing
        )
    frame = read_frame(data, "data")
    groups = single_group(len(frame)) if names is None else column_groups(frame, names, "by", missing)

    if task == "regression":
        y_true = numeric_column(frame, label, "label")
        y_pred = numeric_column(frame, prediction, "prediction")
        for argument, name, values in (("label", label, y_true), ("prediction", prediction, y_pred)):
            groups.settle(argument, name, values.missing, missing)
        result = _kernels.performance(
            task, groups.codes, groups.count, y_true.array, None, None, y_pred.array, None, None, decision
        )
    else:
        truth = read_outcome(
            frame, label, "label", positive=positive, positive_name="positive",
            threshold=None, threshold_name="",
        )
        truth.settle(groups, missing)
        if task == "classification":
            pred = read_outcome(
                frame, prediction, "prediction", positive=positive, positive_name="positive",
                threshold=None, threshold_name="",
            )
            pred.settle(groups, missing)
            result = _kernels.performance(
                task, groups.codes, groups.count, truth.array, truth.rule, truth.value,
                pred.array, pred.rule, pred.value, decision,
            )
        else:
            scores = numeric_column(frame, prediction, "prediction")
            groups.settle("prediction", prediction, scores.missing, missing)
            result = _kernels.performance(
                task, groups.codes, groups.count, truth.array, truth.rule, truth.value,
                scores.array, None, None, decision,
            )
        tallies = _kernels.tally(groups.codes, groups.count, truth.array, truth.rule, truth.value)
        truth.require_positive(int(tallies[:, 1].sum()))
    return performance_table(frame, groups, task, result)


def performance_table(frame: Frame, groups: Groups, task: str, result: dict[str, Any]) -> Any:
    """The table of the groups with rows, from the kernels' per-group metrics."""
    chosen = np.flatnonzero(result["n"])
    if len(chosen) == 0:
        raise ValueError("no rows left to evaluate")
    errors = result.pop("error")
    for g in chosen.tolist():
        if errors[g] is not None:
            raise ValueError(f"{task} metrics of {_group_name(groups, g)}: {errors[g]}")
    columns = {key: np.asarray(value)[chosen] for key, value in result.items()}
    return result_table(frame, groups.value_columns(chosen, frame.implementation), columns)


def _group_name(groups: Groups, g: int) -> str:
    if not groups.columns:
        return "the frame"
    values = [column[0] for column in groups.values(np.array([g]))]
    return "group " + ", ".join(f"{c}={v!r}" for c, v in zip(groups.columns, values))
