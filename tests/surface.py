"""The compiled modules' public surface, in registration order: the text
signature of every function, and of every class's constructor and methods
(None for a read-only attribute); the package's kernels last."""

_FULL_CHECK = "(baseline, latest, threshold=0.10)"
_PERF_PARTIAL_CHECK = "(baseline, latest, evaluation_metrics, threshold=0.10)"

FUNCTIONS = {
    "py_data_bias_analyzer": "(feature_array, ground_truth_array, feature_label_or_threshold, "
                             "ground_truth_label_or_threshold)",
    "py_data_bias_runtime_check": _FULL_CHECK,
    "py_data_bias_partial_check": "(baseline, latest, metrics, threshold=0.10)",
    "py_data_bias_analyzer_explicit_seg": "(feature_array, feat_segmentation_threshold, feat_segmentation_label, "
                                          "feat_threshold_type, ground_truth_array, gt_segmentation_threshold, "
                                          "gt_segmentation_label, gt_threshold_type)",
    "py_model_bias_analyzer": "(feature_array, ground_truth_array, prediction_array, feature_label_or_threshold, "
                              "ground_truth_label_or_threshold, prediction_label_or_threshold)",
    "py_model_bias_runtime_check": _FULL_CHECK,
    "py_model_bias_partial_check": "(baseline, latest, metrics, threshold=0.10)",
    "py_model_bias_analyzer_explicit_seg": "(feature_array, feat_segmentation_threshold, feat_segmentation_label, "
                                           "feat_threshold_type, ground_truth_array, gt_segmentation_threshold, "
                                           "gt_segmentation_label, gt_threshold_type, prediction_array, "
                                           "pred_segmentation_threshold, pred_segmentation_label, "
                                           "pred_threshold_type)",
    "py_model_perf_linear_regression": "(y_true_src, y_pred_src)",
    "py_model_perf_class_rt_full": _FULL_CHECK,
    "py_model_perf_class_rt_partial": _PERF_PARTIAL_CHECK,
    "py_model_perf_classification": "(y_true_src, y_pred_src)",
    "py_model_perf_log_reg_rt_partial": _PERF_PARTIAL_CHECK,
    "py_model_perf_logistic_regression": "(y_true_src, y_pred_src, threshold)",
    "py_model_perf_lin_reg_rt_full": _FULL_CHECK,
    "py_model_perf_lin_reg_rt_partial": _PERF_PARTIAL_CHECK,
    "py_model_perf_log_reg_rt_full": _FULL_CHECK,
    "py_compute_drift_categorical_distribtuion": "(baseline, candidate, drift_metrics)",
    "py_compute_drift_continuous_distribtuion": "(baseline, candidate, drift_metrics, quantile_type)",
}


# Every class saves and restores its state; the streaming ones also merge.
_SAVING = {"to_bytes": "($self)", "from_bytes": "($type, data)"}
_MOVING = {**_SAVING, "merge": "($self, other)"}


def _batch_detector(reset_param):
    return {
        "compute_drift": "($self, runtime_data, drift_type)",
        "compute_drift_mutliple_criteria": "($self, runtime_data, drift_types)",
        "reset_baseline": f"($self, {reset_param})",
        "export_baseline": "($self)",
        **_SAVING,
        "num_bins": None,
    }


def _streaming_detector(reset_param, flushes):
    members = {
        "update_stream": "($self, runtime_example)",
        "update_stream_batch": "($self, runtime_data)",
        "compute_drift": "($self, drift_type)",
        "compute_drift_multiple_criteria": "($self, drift_types)",
        "reset_baseline": f"($self, {reset_param})",
        "export_snapshot": "($self)",
        "export_baseline": "($self)",
        "total_samples": None,
        "n_bins": None,
    }
    if flushes:
        members.update(flush="($self)", last_flush=None)
    members.update(_MOVING)
    return members


def _monitor(push, batch, **own):
    return {
        "push": f"($self, {push})",
        "push_batch": f"($self, {batch})",
        "flush": "($self)",
        "reset_baseline": f"($self, {batch})",
        "performance_snapshot": "($self)",
        "drift_snapshot": "($self)",
        "drift_report": "($self, drift_threshold)",
        "drift_report_partial_metrics": "($self, metrics, drift_threshold)",
        **own,
        **_MOVING,
    }


# Class name: (constructor's text signature, {member: text signature or None}).
CLASSES = {
    "PyCategoricalDataDrift": ("(baseline_data)", _batch_detector("new_baseline")),
    "PyContinuousDataDrift": ("(baseline_data, quantile_type_str)", _batch_detector("baseline_data")),
    "PyStreamingContinuousDataDriftFlush": (
        "(baseline_data, quantile_type_str, flush_rate_opt, flush_cadence_opt)",
        _streaming_detector("baseline_data", flushes=True),
    ),
    "PyStreamingContinuousDataDriftDecay": (
        "(baseline_data, quantile_type_str, decay_opt)",
        _streaming_detector("baseline_data", flushes=False),
    ),
    "PyStreamingCategoricalDataDriftFlush": (
        "(baseline_data, flush_rate, flush_cadence)",
        _streaming_detector("new_baseline", flushes=True),
    ),
    "PyStreamingCategoricalDataDriftDecay": (
        "(baseline_data, half_life_opt)",
        _streaming_detector("new_baseline", flushes=False),
    ),
    "PyDataBiasStreaming": ("(feature_data, gt_data)", _monitor("f, g", "f, g")),
    "PyModelBiasStreaming": (
        "(features, predictions, ground_truth)",
        _monitor("feature, pred, gt", "feature, pred, gt"),
    ),
    "PyBinaryClassificationStreaming": ("(y_true, y_pred)", _monitor("y_true, y_pred", "y_true, y_pred")),
    "PyLinearRegressionStreaming": ("(y_true, y_pred)", _monitor("t, p", "y_true, y_pred")),
    "PyLogisticRegressionStreaming": (
        "(y_true, y_pred, threshold)",
        _monitor(
            "y_true, y_pred",
            "y_true, y_pred",
            reset_baseline_and_decision_threshold="($self, y_true, y_pred, threshold)",
        ),
    ),
}

MONITORS = list(CLASSES)[-5:]

# lumetra._kernels: the package's many-groups kernels, family by family.
_OUTCOMES = "truth, truth_rule, truth_value"
KERNELS = {
    "tally": f"(groups, n_groups, {_OUTCOMES}, prediction=None, prediction_rule=None, prediction_value=None)",
    "bias": "(tallies, reference=None, entropy=None)",
    "generalized_entropy": f"(groups, n_groups, {_OUTCOMES}, prediction, prediction_rule, prediction_value, "
                           "reference=None)",
    "entropy_sums": f"(groups, n_groups, {_OUTCOMES}, prediction, prediction_rule, prediction_value, reference, "
                    "terms, sums)",
    "entropy_terms": "(totals, rows)",
    "performance": "(task, groups, n_groups, label, label_rule, label_value, prediction, prediction_rule=None, "
                   "prediction_value=None, threshold=0.5)",
    "performance_state": "(task, groups, n_groups, label, label_rule, label_value, prediction, "
                         "prediction_rule=None, prediction_value=None, threshold=0.5)",
    "performance_from_state": "(task, counts, sums)",
    "continuous_baseline": "(values, rule=None)",
    "continuous_counts": "(edges, values)",
    "drift_scores": "(kind, hist, counts, metrics)",
    "continuous_baselines": "(values, rule=None)",
    "continuous_counts_many": "(edges, values)",
    "categorical_baselines": "(texts, counts)",
    "drift_scores_many": "(kinds, hists, counts, metrics)",
    "drift_intervals": "(kinds, hists, reference_counts, current_counts, metrics, level=0.95, replicates=1000, "
                       "seed=0)",
    "bias_intervals": "(tallies, reference=None, level=0.95, z=1.959963984540054, replicates=1000, seed=0, "
                      "method='bootstrap')",
    "performance_moments": "(task, groups, n_groups, label, label_rule, label_value, prediction, threshold=0.5)",
    "performance_intervals": "(task, counts, sums, moments, level=0.95, z=1.959963984540054, replicates=1000, "
                             "seed=0, method='bootstrap')",
    "bias_change": "(reference, current, level=0.95, z=1.959963984540054, replicates=1000, seed=0)",
    "performance_change": "(task, reference_counts, reference_sums, reference_moments, current_counts, "
                          "current_sums, current_moments, level=0.95, z=1.959963984540054, replicates=1000, "
                          "seed=0)",
    "count_replicates": "(cells, replicates, seed, group)",
    "monitor_state": "(data)",
    "score_curves": "(label, label_rule, label_value, scores, rows=None, points=200)",
    "calibration": "(label, label_rule, label_value, scores, rows=None, bins=10, low=0.0, high=1.0)",
    "regression_extent": "(label, prediction, rows=None)",
    "regression_diagnostics": "(label, prediction, low, high, residual_low, residual_high, rows=None, bins=40, "
                              "residual_bins=40, quantiles=10)",
    "vocabulary": "(entry=None)",
    "ks_2samp": "(data1, data2, alternative, method, nan_policy)",
    "cramervonmises_2samp": "(x, y, method, nan_policy)",
    "anderson_ksamp": "(values, sizes, variant)",
    "contingency_bins": "(reference_counts, current_counts, correction, lambda_)",
    "multipletests": "(pvals, alpha, method, is_sorted, returnsorted)",
    "special": "(name, a, x)",
}

# lumetra.stats: SciPy's and statsmodels' signatures (the reference's own
# names of its arguments, its defaults), by function.
STATS = {
    "ks_2samp": "(data1, data2, alternative='two-sided', method='auto', *, axis=0, nan_policy='propagate', "
                "keepdims=False)",
    "cramervonmises_2samp": "(x, y, method='auto', *, axis=0, nan_policy='propagate', keepdims=False)",
    "anderson_ksamp": "(samples, midrank=True, *, variant=None, method=None)",
    "chisquare_bins": "(reference_counts, current_counts, *, correction=True, lambda_=None)",
    "g_test_bins": "(reference_counts, current_counts, *, correction=True)",
    "multipletests": "(pvals, alpha=0.05, method='hs', maxiter=1, is_sorted=False, returnsorted=False)",
}
