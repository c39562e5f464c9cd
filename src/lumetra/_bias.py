"""Bias of many groups at once: data bias (before training) and model bias
(after training), one result row per group of the facet."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, Optional, Union

import numpy as np

from . import _kernels
from ._frame import Array, Frame, is_dask, read_frame, result_table
from ._groups import Groups, column_groups, threshold_groups
from ._outcome import Outcome, read_outcome
from ._checks import DATA_BIAS_METRICS, MODEL_BIAS_METRICS
from ._validation import Scalar, check_column, check_columns, check_missing, check_not_result_columns, check_real
from ._validation import check_scalar

_COUNT_COLUMNS = ("n", "n_other", "error")


def data_bias(
    data: Any,
    facet: Union[str, list[str], tuple[str, ...]],
    label: str,
    *,
    positive: Scalar = 1,
    label_threshold: Optional[float] = None,
    facet_threshold: Optional[float] = None,
    reference: Any = None,
    missing: str = "raise",
) -> Any:
    """Pre-training bias of every group of the facet: one row per group.

    Each distinct value of the facet column is a group (each observed
    combination, for a list of columns); with `facet_threshold=t` a numeric
    facet has the two groups ">= t" and "< t". Each group (facet a) is
    compared with all other rows (facet d), or with the `reference` group only
    (rows in neither are left out). A row's outcome is positive where
    `label == positive`, or `label >= label_threshold` when that is given.

    Returns a frame of the input's library: the facet column(s), `n` (rows of
    the group), `n_other` (rows on the other side), the seven data-bias
    metrics, and `error` (null, or why the metrics were refused for that
    group, whose metrics are then NaN). `missing` is 'raise', 'drop' (leave
    out rows with a missing value in a column used) or 'group' (missing facet
    values form a group of their own).
    """
    facets = _checked_facets(facet, DATA_BIAS_METRICS)
    label = check_column("label", label)
    positive = check_scalar("positive", positive)
    label_threshold = check_real("label_threshold", label_threshold)
    threshold = check_real("facet_threshold", facet_threshold)
    missing = check_missing(missing, group=True)
    if is_dask(data):
        from . import _dask

        return _dask.data_bias(
            data, facets, label, positive=positive, label_threshold=label_threshold, threshold=threshold,
            shown=facet_threshold, reference=reference, missing=missing,
        )
    frame = read_frame(data, "data")
    groups = _facet_groups(frame, facets, threshold, facet_threshold, missing)
    truth = read_outcome(
        frame, label, "label", positive=positive, positive_name="positive",
        threshold=label_threshold, threshold_name="label_threshold",
    )
    truth.settle(groups, missing)
    return data_bias_table(frame, groups, truth, _tally(groups, truth), reference)


def data_bias_table(frame: Frame, groups: Groups, truth: Outcome, tallies: Array, reference: Any) -> Any:
    """The data-bias table from the tallies of every group (2 cells each)."""
    truth.require_positive(int(tallies[:, 1].sum()))
    chosen = _compared_groups(groups, tallies)
    ref = None if reference is None else groups.code_of(chosen, reference, "reference")
    result = _kernels.bias(tallies[chosen], ref)
    return _table(frame, groups, chosen, ref, result)


def model_bias(
    data: Any,
    facet: Union[str, list[str], tuple[str, ...]],
    label: str,
    prediction: str,
    *,
    positive: Scalar = 1,
    label_threshold: Optional[float] = None,
    predicted_positive: Optional[Scalar] = None,
    prediction_threshold: Optional[float] = None,
    facet_threshold: Optional[float] = None,
    reference: Any = None,
    missing: str = "raise",
) -> Any:
    """Post-training bias of every group of the facet: one row per group.

    Groups, `reference`, the positive outcome and `missing` are as in
    `data_bias`. A prediction is positive where `prediction ==
    predicted_positive` (default: `positive`), or `prediction >=
    prediction_threshold` when that is given (scores to predicted labels).

    Returns a frame of the input's library: the facet column(s), `n`,
    `n_other`, the twelve model-bias metrics, and `error`.
    """
    facets = _checked_facets(facet, MODEL_BIAS_METRICS)
    label = check_column("label", label)
    prediction = check_column("prediction", prediction)
    positive = check_scalar("positive", positive)
    predicted = positive if predicted_positive is None else check_scalar("predicted_positive", predicted_positive)
    label_threshold = check_real("label_threshold", label_threshold)
    prediction_threshold = check_real("prediction_threshold", prediction_threshold)
    threshold = check_real("facet_threshold", facet_threshold)
    missing = check_missing(missing, group=True)
    if is_dask(data):
        from . import _dask

        return _dask.model_bias(
            data, facets, label, prediction, positive=positive, label_threshold=label_threshold,
            predicted=predicted, predicted_name="positive" if predicted_positive is None else "predicted_positive",
            prediction_threshold=prediction_threshold, threshold=threshold, shown=facet_threshold,
            reference=reference, missing=missing,
        )
    frame = read_frame(data, "data")
    groups = _facet_groups(frame, facets, threshold, facet_threshold, missing)
    truth = read_outcome(
        frame, label, "label", positive=positive, positive_name="positive",
        threshold=label_threshold, threshold_name="label_threshold",
    )
    predicted_name = "positive" if predicted_positive is None else "predicted_positive"
    pred = read_outcome(
        frame, prediction, "prediction", positive=predicted, positive_name=predicted_name,
        threshold=prediction_threshold, threshold_name="prediction_threshold",
    )
    truth.settle(groups, missing)
    pred.settle(groups, missing)

    def entropy(reference_code: Optional[int]) -> Array:
        return _kernels.generalized_entropy(
            groups.codes, groups.count, truth.array, truth.rule, truth.value, pred.array, pred.rule, pred.value,
            reference_code,
        )

    return model_bias_table(frame, groups, truth, pred, _tally(groups, truth, pred), reference, entropy)


def model_bias_table(
    frame: Frame,
    groups: Groups,
    truth: Outcome,
    pred: Outcome,
    tallies: Array,
    reference: Any,
    entropy: Callable[[Optional[int]], Array],
) -> Any:
    """The model-bias table from the tallies of every group (4 cells each);
    `entropy(reference code)` gives each group's generalized entropy."""
    truth.require_positive(int(tallies[:, 1].sum() + tallies[:, 3].sum()))
    pred.require_positive(int(tallies[:, 2].sum() + tallies[:, 3].sum()))
    chosen = _compared_groups(groups, tallies)
    ref = None if reference is None else groups.code_of(chosen, reference, "reference")
    values = entropy(None if ref is None else int(chosen[ref]))
    result = _kernels.bias(tallies[chosen], ref, values[chosen])
    return _table(frame, groups, chosen, ref, result)


REFERENCE_ROW = "the reference group, not compared with itself"


def _table(frame: Frame, groups: Groups, chosen: Array, reference: Optional[int], result: dict[str, Any]) -> Any:
    if reference is not None:
        result["error"][reference] = REFERENCE_ROW
    return result_table(frame, groups.value_columns(chosen, frame.implementation), result)


def _checked_facets(facet: object, metrics: tuple[str, ...]) -> list[str]:
    facets = check_columns("facet", facet)
    assert facets is not None
    check_not_result_columns("facet", facets, _COUNT_COLUMNS + metrics)
    return facets


def _facet_groups(
    frame: Frame, facets: list[str], threshold: Optional[float], shown: object, missing: str
) -> Groups:
    if threshold is None:
        return column_groups(frame, facets, "facet", missing)
    if len(facets) != 1:
        raise ValueError(f"facet_threshold needs a single facet column; got {facets}")
    return threshold_groups(frame, facets[0], threshold, shown, missing)


def _tally(groups: Groups, truth: Outcome, prediction: Optional[Outcome] = None) -> Array:
    if prediction is None:
        return _kernels.tally(groups.codes, groups.count, truth.array, truth.rule, truth.value)
    return _kernels.tally(
        groups.codes, groups.count, truth.array, truth.rule, truth.value,
        prediction.array, prediction.rule, prediction.value,
    )


def _compared_groups(groups: Groups, tallies: Array) -> Array:
    """The groups with rows; at least two are needed for a comparison."""
    chosen = np.flatnonzero(tallies.sum(axis=1))
    if len(chosen) < 2:
        facet = ", ".join(repr(c) for c in groups.columns)
        if len(chosen) == 0:
            raise ValueError(f"facet {facet} has no rows left to compare")
        (value,) = zip(*groups.values(chosen))
        shown = value[0] if len(value) == 1 else value
        raise ValueError(f"facet {facet} has one group only ({shown!r}); bias needs at least two groups")
    return chosen
