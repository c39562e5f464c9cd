"""The package's four analyses as users call them: each checks its
arguments, builds its plan and hands it to the runner of the frame it was
given (in memory, or Dask's for a Dask DataFrame)."""

from __future__ import annotations

import warnings
from dataclasses import replace
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, Optional, Union, overload

from narwhals.typing import IntoDataFrameT

from ._bias import BiasCall, bias_plan
from ._drift import DriftCall, drift_plan
from ._frame import is_dask, read_frame
from ._intervals import checked as checked_intervals
from ._performance import PerformanceCall, performance_plan
from ._runners import run
from ._significance import test_call
from ._validation import Scalar, check_choice, check_choices, check_column, check_columns, check_missing
from ._validation import check_not_result_columns, check_real, check_scalar
from ._vocabulary import BIN_RULES, DATA_BIAS_METRICS, DRIFT_METRICS, FAMILY_METRICS, MODEL_BIAS_METRICS, TASKS

if TYPE_CHECKING:
    import pandas as pd
    from dask.dataframe import DataFrame as DaskFrame

Columns = Union[str, list[str], tuple[str, ...]]

_COUNT_COLUMNS = ("n", "n_other", "error")


def _renamed(old: str, new: str, old_value: Any, new_value: Any, default: Any) -> Any:
    """The value of an argument that has a new name; the old one is taken, with a warning."""
    if old_value is None:
        return new_value
    if new_value != default:
        raise TypeError(f"got both {new}= and its old name {old}=; pass {new}= only")
    warnings.warn(f"{old}= is now called {new}=; {old}= will be removed", FutureWarning, stacklevel=3)
    return old_value


def _facets(facet: object, metrics: tuple[str, ...]) -> tuple[str, ...]:
    facets = check_columns("facet", facet)
    assert facets is not None
    check_not_result_columns("facet", facets, _COUNT_COLUMNS + metrics)
    return tuple(facets)


@overload
def data_bias(data: DaskFrame, facet: Columns, label: str, *, positive: Scalar = 1,
              label_threshold: Optional[float] = None, facet_threshold: Optional[float] = None,
              reference: Any = None, missing: str = "raise", ci: Optional[float] = None, n_boot: int = 1000,
              seed: int = 0, ci_method: str = "bootstrap") -> pd.DataFrame: ...
@overload
def data_bias(data: IntoDataFrameT, facet: Columns, label: str, *, positive: Scalar = 1,
              label_threshold: Optional[float] = None, facet_threshold: Optional[float] = None,
              reference: Any = None, missing: str = "raise", ci: Optional[float] = None, n_boot: int = 1000,
              seed: int = 0, ci_method: str = "bootstrap") -> IntoDataFrameT: ...
def data_bias(
    data: Any,
    facet: Columns,
    label: str,
    *,
    positive: Scalar = 1,
    label_threshold: Optional[float] = None,
    facet_threshold: Optional[float] = None,
    reference: Any = None,
    missing: str = "raise",
    ci: Optional[float] = None,
    n_boot: int = 1000,
    seed: int = 0,
    ci_method: str = "bootstrap",
) -> Any:
    """Pre-training bias of every group of the facet: one row per group.

    Each distinct value of the facet column is a group (each observed
    combination, for a list of columns); with `facet_threshold=t` a numeric
    facet has the two groups ">= t" and "< t". Each group (facet a) is
    compared with all other rows (facet d), or with the `reference` group only
    (rows in neither are left out). A row's outcome is positive where
    `label == positive`, or `label >= label_threshold` when that is given.

    Returns a frame of the input's library (pandas for a Dask DataFrame): the
    facet column(s), `n` (rows of the group), `n_other` (rows on the other
    side), the seven data-bias metrics, and `error` (null, or why the metrics
    were refused for that group, whose metrics are then NaN). `missing` is
    'raise', 'drop' (leave out rows with a missing value in a column used) or
    'group' (missing facet values form a group of their own).

    With `ci` (a level, 0.95 say) each metric gains `<Metric>_low` and
    `<Metric>_high`: by default the percentile bounds of `n_boot` bootstrap
    replicates of each comparison's count table (multinomial draws, the same
    bits for a `seed` whatever the threads or partitions), or with
    `ci_method="analytic"` the closed-form bounds where a metric has one.
    """
    call = data_bias_call(facet, label, positive=positive, label_threshold=label_threshold,
                          facet_threshold=facet_threshold, reference=reference, missing=missing, ci=ci,
                          n_boot=n_boot, seed=seed, ci_method=ci_method)
    return run(bias_plan(call), data, "data")


def data_bias_call(facet: Columns, label: str, *, positive: Scalar = 1, label_threshold: Optional[float] = None,
                   facet_threshold: Optional[float] = None, reference: Any = None, missing: str = "raise",
                   ci: Optional[float] = None, n_boot: int = 1000, seed: int = 0,
                   ci_method: str = "bootstrap") -> BiasCall:
    """The checked arguments of `data_bias`."""
    facets = _facets(facet, DATA_BIAS_METRICS)
    label = check_column("label", label)
    positive = check_scalar("positive", positive)
    return BiasCall(
        facets, label, None, positive, check_real("label_threshold", label_threshold), positive, "positive", None,
        check_real("facet_threshold", facet_threshold), facet_threshold, reference, check_missing(missing, group=True),
        checked_intervals(ci, n_boot, seed, ci_method),
    )


@overload
def model_bias(data: DaskFrame, facet: Columns, label: str, prediction: str, *, positive: Scalar = 1,
               label_threshold: Optional[float] = None, predicted_positive: Optional[Scalar] = None,
               prediction_threshold: Optional[float] = None, facet_threshold: Optional[float] = None,
               reference: Any = None, missing: str = "raise", ci: Optional[float] = None, n_boot: int = 1000,
              seed: int = 0, ci_method: str = "bootstrap") -> pd.DataFrame: ...
@overload
def model_bias(data: IntoDataFrameT, facet: Columns, label: str, prediction: str, *, positive: Scalar = 1,
               label_threshold: Optional[float] = None, predicted_positive: Optional[Scalar] = None,
               prediction_threshold: Optional[float] = None, facet_threshold: Optional[float] = None,
               reference: Any = None, missing: str = "raise", ci: Optional[float] = None, n_boot: int = 1000,
              seed: int = 0, ci_method: str = "bootstrap") -> IntoDataFrameT: ...
def model_bias(
    data: Any,
    facet: Columns,
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
    ci: Optional[float] = None,
    n_boot: int = 1000,
    seed: int = 0,
    ci_method: str = "bootstrap",
) -> Any:
    """Post-training bias of every group of the facet: one row per group.

    Groups, `reference`, the positive outcome and `missing` are as in
    `data_bias`. A prediction is positive where `prediction ==
    predicted_positive` (default: `positive`), or `prediction >=
    prediction_threshold` when that is given (scores to predicted labels).

    Returns a frame of the input's library (pandas for a Dask DataFrame): the
    facet column(s), `n`, `n_other`, the twelve model-bias metrics, `error`
    and `undefined` (the metrics whose own formula divides by zero, with why;
    the others keep their values). `ci`, `n_boot`, `seed` and `ci_method` are
    as in `data_bias`.
    """
    call = model_bias_call(facet, label, prediction, positive=positive, label_threshold=label_threshold,
                           predicted_positive=predicted_positive, prediction_threshold=prediction_threshold,
                           facet_threshold=facet_threshold, reference=reference, missing=missing, ci=ci,
                           n_boot=n_boot, seed=seed, ci_method=ci_method)
    return run(bias_plan(call), data, "data")


def model_bias_call(facet: Columns, label: str, prediction: str, *, positive: Scalar = 1,
                    label_threshold: Optional[float] = None, predicted_positive: Optional[Scalar] = None,
                    prediction_threshold: Optional[float] = None, facet_threshold: Optional[float] = None,
                    reference: Any = None, missing: str = "raise", ci: Optional[float] = None, n_boot: int = 1000,
                    seed: int = 0, ci_method: str = "bootstrap") -> BiasCall:
    """The checked arguments of `model_bias`."""
    facets = _facets(facet, MODEL_BIAS_METRICS)
    label = check_column("label", label)
    prediction = check_column("prediction", prediction)
    positive = check_scalar("positive", positive)
    predicted = positive if predicted_positive is None else check_scalar("predicted_positive", predicted_positive)
    return BiasCall(
        facets, label, prediction, positive, check_real("label_threshold", label_threshold), predicted,
        "positive" if predicted_positive is None else "predicted_positive",
        check_real("prediction_threshold", prediction_threshold), check_real("facet_threshold", facet_threshold),
        facet_threshold, reference, check_missing(missing, group=True), checked_intervals(ci, n_boot, seed, ci_method),
    )


@overload
def performance(data: DaskFrame, label: str, prediction: str, *, task: str, positive: Scalar = 1,
                prediction_threshold: float = 0.5, facet: Optional[Columns] = None, missing: str = "raise",
                by: Optional[Columns] = None, threshold: Optional[float] = None, ci: Optional[float] = None,
                n_boot: int = 1000, seed: int = 0, ci_method: str = "bootstrap") -> pd.DataFrame: ...
@overload
def performance(data: IntoDataFrameT, label: str, prediction: str, *, task: str, positive: Scalar = 1,
                prediction_threshold: float = 0.5, facet: Optional[Columns] = None, missing: str = "raise",
                by: Optional[Columns] = None, threshold: Optional[float] = None, ci: Optional[float] = None,
                n_boot: int = 1000, seed: int = 0, ci_method: str = "bootstrap") -> IntoDataFrameT: ...
def performance(
    data: Any,
    label: str,
    prediction: str,
    *,
    task: str,
    positive: Scalar = 1,
    prediction_threshold: float = 0.5,
    facet: Optional[Columns] = None,
    missing: str = "raise",
    by: Optional[Columns] = None,
    threshold: Optional[float] = None,
    ci: Optional[float] = None,
    n_boot: int = 1000,
    seed: int = 0,
    ci_method: str = "bootstrap",
) -> Any:
    """Performance metrics of the whole frame (one row) or of each group of
    the `facet` column(s) (one row per observed value or combination).

    `task` is 'regression' (numeric label and prediction), 'classification'
    (label and prediction mapped to 1 where equal to `positive`, else 0) or
    'logistic' (label mapped likewise; prediction holds scores, classed by
    score >= `prediction_threshold`). Columns: the facet column(s), `n`, and
    the metrics of the family in their order. `missing` is as in `data_bias`
    ('group' applies to the facet columns). `by` and `threshold` are the old
    names of `facet` and `prediction_threshold`, taken with a warning. With
    `ci`, each metric gains `<Metric>_low` and `<Metric>_high`: bootstrap (or
    analytic) bounds of the classification metrics as in `data_bias`, the
    delta method for the mean errors and the log loss; none for RSquared and
    MaxError.
    """
    facet = _renamed("by", "facet", by, facet, None)
    prediction_threshold = _renamed("threshold", "prediction_threshold", threshold, prediction_threshold, 0.5)
    call = performance_call(label, prediction, task=task, positive=positive,
                            prediction_threshold=prediction_threshold, facet=facet, missing=missing, ci=ci,
                            n_boot=n_boot, seed=seed, ci_method=ci_method)
    return run(performance_plan(call), data, "data")


def performance_call(label: str, prediction: str, *, task: str, positive: Scalar = 1,
                     prediction_threshold: float = 0.5, facet: Optional[Columns] = None, missing: str = "raise",
                     ci: Optional[float] = None, n_boot: int = 1000, seed: int = 0,
                     ci_method: str = "bootstrap") -> PerformanceCall:
    """The checked arguments of `performance`."""
    task = check_choice("task", task, TASKS)
    label = check_column("label", label)
    prediction = check_column("prediction", prediction)
    positive = check_scalar("positive", positive)
    decision = check_real("prediction_threshold", prediction_threshold, allow_none=False)
    assert decision is not None
    names = check_columns("facet", facet, allow_none=True)
    if names is not None:
        check_not_result_columns("facet", names, ("n",) + FAMILY_METRICS[task])
    return PerformanceCall(label, prediction, task, positive, decision, tuple(names or ()),
                           check_missing(missing, group=names is not None),
                           checked_intervals(ci, n_boot, seed, ci_method))


def with_states(call: Any, data: Any) -> tuple[Any, dict[str, Any]]:
    """The table of a bias or performance call and the states its rows come
    from (the comparison tables of the groups; the performance counts, sums
    and moments), one per row of the table."""
    if isinstance(call, BiasCall):
        result: tuple[Any, dict[str, Any]] = run(bias_plan(replace(call, states=True)), data, "data")
    else:
        result = run(performance_plan(replace(call, states=True)), data, "data")
    return result


@overload
def drift(reference: Any, current: DaskFrame, *, columns: Optional[Columns] = None, rule: str = "FreedmanDiaconis",
          metrics: Optional[list[str]] = None, missing: str = "raise", test: Optional[str] = "auto",
          alpha: float = 0.05, correction: str = "fdr_bh", tolerance: Optional[Mapping[str, float]] = None,
          n_boot: int = 1000, seed: int = 0) -> Any: ...
@overload
def drift(reference: IntoDataFrameT, current: Any, *, columns: Optional[Columns] = None,
          rule: str = "FreedmanDiaconis", metrics: Optional[list[str]] = None,
          missing: str = "raise", test: Optional[str] = "auto", alpha: float = 0.05, correction: str = "fdr_bh",
          tolerance: Optional[Mapping[str, float]] = None, n_boot: int = 1000, seed: int = 0) -> IntoDataFrameT: ...
def drift(
    reference: Any,
    current: Any,
    *,
    columns: Optional[Columns] = None,
    rule: str = "FreedmanDiaconis",
    metrics: Optional[list[str]] = None,
    missing: str = "raise",
    test: Optional[str] = "auto",
    alpha: float = 0.05,
    correction: str = "fdr_bh",
    tolerance: Optional[Mapping[str, float]] = None,
    n_boot: int = 1000,
    seed: int = 0,
) -> Any:
    """Drift of each column from `reference` to `current`: one row per column
    (default: the columns both frames have, in the reference's order).

    Numbers other than booleans are "continuous" (histograms with bins by
    `rule`; integers as float64); text, categories and booleans are
    "categorical" (shares of each value's text; numeric categories by value).
    Columns: `column`, `kind`, `bins`, then the drift metrics (all four, or
    those named in `metrics`). `missing` is 'raise' or 'drop' (leave out the
    rows of a frame that miss a value in any column compared). The result is a
    frame of the reference's library (pandas for a Dask reference, which is
    collected: the bins are built in one process).

    Each column also gets a two-sample test of "no drift" (`test`: 'auto'
    picks chi-square on the baseline's bins for categorical columns and for
    numeric columns of more than 10,000 values on either side, and the
    exact Kolmogorov-Smirnov test for smaller numeric ones; 'chi2', 'g' and
    'ks' choose one for every numeric column, categorical columns taking
    chi-square, or G under 'g'; None: no test). The columns `test`,
    `statistic`, `p_value`, `p_adjusted` (all columns' p-values adjusted
    together by `correction`, Benjamini-Hochberg by default) and `drifted`
    follow the metrics, then `psi_critical`: the PopulationStabilityIndex
    that noise alone exceeds with probability `alpha` at these sizes.
    `tolerance` maps drift metrics to the smallest drift that matters: each
    gets its 95% bootstrap interval (`<metric>_low`, `<metric>_high`; from
    `n_boot` redraws of both sides' bin counts, keyed by `seed`), and a
    column has drifted only when the interval's lower bound is at least the
    tolerance as well as the adjusted p-value below `alpha`.
    """
    rule = check_choice("rule", rule, BIN_RULES)
    names = check_columns("columns", columns, allow_none=True)
    wanted = list(DRIFT_METRICS) if metrics is None else check_choices("metrics", metrics, DRIFT_METRICS)
    tests = test_call(test, alpha, correction, tolerance, n_boot, seed, wanted)
    call = DriftCall(None if names is None else tuple(names), rule, tuple(wanted), check_missing(missing, group=False),
                     tests=tests)
    return drift_details(reference, current, call)


def drift_details(reference: Any, current: Any, call: DriftCall) -> Any:
    """`drift` of a validated call (with its histograms when the call asks)."""
    if is_dask(reference):
        # The reference's bins are built in one process: it is collected first.
        reference = reference.compute() if call.names is None else reference[list(call.names)].compute()
    base = read_frame(reference, "reference")
    if call.names is not None:
        read_columns = call.names
    else:
        shared = set(current.columns if is_dask(current) else read_frame(current, "current").columns)
        read_columns = tuple(c for c in base.columns if c in shared)
    return run(drift_plan(call, base, read_columns), current, "current")
