"""Speed of the three batch performance functions, as ratios measured in one run.

Each function runs on N (true, predicted) pairs held in float64 arrays and is
compared with

* the floor: one ``numpy.sum`` pass over each of the same two arrays, and
* scikit-learn computing the same metrics (skipped when it is not installed).

Targets: classification <= 3x the floor and >= 10x faster than scikit-learn;
logistic regression >= 5x faster than scikit-learn; regression <= 10x the
floor and >= 3x faster than scikit-learn.

A last row times the report's ranking diagnostics (lumetra._kernels.score_curves:
the exact ROC AUC, the average precision and both curves) on 1,000,000 scores,
against one ``numpy.sort`` of the scores and against scikit-learn's
``roc_auc_score`` alone. Targets: <= 10x the sort, >= 3x faster than
scikit-learn.

Usage: python benchmarks/bench_model_perf.py [N] [repeats]
"""

from __future__ import annotations

import sys
import time

import numpy as np

import _lumetra
from lumetra import _kernels
from timing import median_time, median_times

try:
    from sklearn import metrics as skm
except ImportError:  # optional: the scikit-learn column is left out
    skm = None


def sk_regression(t, p):
    mse = skm.mean_squared_error(t, p)
    msle = skm.mean_squared_log_error(t, p)
    return {
        "RootMeanSquaredError": np.sqrt(mse),
        "MeanSquaredError": mse,
        "MeanAbsoluteError": skm.mean_absolute_error(t, p),
        "RSquared": skm.r2_score(t, p),
        "MaxError": skm.max_error(t, p),
        "MeanSquaredLogError": msle,
        "RootMeanSquaredLogError": np.sqrt(msle),
        "MeanAbsolutePercentageError": skm.mean_absolute_percentage_error(t, p),
    }


def sk_classes(t, p):
    return {
        "BalancedAccuracy": skm.balanced_accuracy_score(t, p),
        "PrecisionPositive": skm.precision_score(t, p, pos_label=1),
        "PrecisionNegative": skm.precision_score(t, p, pos_label=0),
        "RecallPositive": skm.recall_score(t, p, pos_label=1),
        "RecallNegative": skm.recall_score(t, p, pos_label=0),
        "Accuracy": skm.accuracy_score(t, p),
        "F1Score": skm.f1_score(t, p),
    }


def sk_logistic(t, p, threshold):
    out = sk_classes(t >= threshold, p >= threshold)
    out["LogLoss"] = skm.log_loss(t, p, labels=[0.0, 1.0])
    return out


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000_000
    repeats = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    rng = np.random.default_rng(20261208)

    reg_t = rng.uniform(0.0, 10.0, n)
    reg_p = reg_t + rng.normal(0.0, 0.5, n)
    np.clip(reg_p, 0.0, None, out=reg_p)  # keeps the squared log error defined for scikit-learn
    cls_t = rng.integers(0, 2, n).astype(np.float64)
    cls_p = np.where(rng.random(n) < 0.8, cls_t, 1.0 - cls_t)
    log_t = cls_t
    log_p = np.clip(np.where(cls_t == 1.0, rng.beta(5, 2, n), rng.beta(2, 5, n)), 1e-6, 1 - 1e-6)

    cases = [
        ("regression", lambda: _lumetra.py_model_perf_linear_regression(reg_t, reg_p),
         (reg_t, reg_p), lambda: sk_regression(reg_t, reg_p), 10.0, 3.0),
        ("classification", lambda: _lumetra.py_model_perf_classification(cls_t, cls_p),
         (cls_t, cls_p), lambda: sk_classes(cls_t, cls_p), 3.0, 10.0),
        ("logistic", lambda: _lumetra.py_model_perf_logistic_regression(log_t, log_p, 0.5),
         (log_t, log_p), lambda: sk_logistic(log_t, log_p, 0.5), None, 5.0),
    ]

    print(f"{n:,} pairs of float64, median of {repeats} runs (first: the first call)")
    header = f"{'function':<16}{'first':>8}{'x floor':>10}{'target':>10}"
    if skm is not None:
        header += f"{'sklearn / ours':>17}{'target':>10}"
    print(header)
    for name, ours, arrays, theirs, floor_target, sk_target in cases:
        start = time.perf_counter()
        ours()  # the first call, which also warms up
        t_first = time.perf_counter() - start
        t_ours = median_time(ours, repeats)
        t_floor = median_time(lambda: [np.sum(a) for a in arrays], repeats)
        line = (f"{name:<16}{t_first / t_floor:>8.2f}{t_ours / t_floor:>10.2f}"
                f"{('<= %g' % floor_target) if floor_target else '-':>10}")
        if skm is not None:
            # scikit-learn is slow at this size: fewer repeats are enough.
            t_sk = median_time(theirs, max(1, min(repeats, 2)))
            line += f"{t_sk / t_ours:>17.1f}{'>= %g' % sk_target:>10}"
        print(line)

    ranking(rng, repeats)

    if skm is not None:
        # The comparison is only fair when both compute the same numbers.
        small = slice(0, 100_000)
        for got, want in [
            (_lumetra.py_model_perf_linear_regression(reg_t[small], reg_p[small]), sk_regression(reg_t[small], reg_p[small])),
            (_lumetra.py_model_perf_classification(cls_t[small], cls_p[small]), sk_classes(cls_t[small], cls_p[small])),
            (_lumetra.py_model_perf_logistic_regression(log_t[small], log_p[small], 0.5),
             sk_logistic(log_t[small], log_p[small], 0.5)),
        ]:
            for key, value in want.items():
                assert abs(got[key] - value) <= 1e-3 * max(1.0, abs(value)), (key, got[key], value)
        print("agreement with scikit-learn on 100,000 pairs: ok (relative 1e-3)")


def ranking(rng, repeats, n=1_000_000):
    """The ROC AUC of n scores: the report's kernel against a sort and scikit-learn."""
    truth = rng.integers(0, 2, n)
    scores = np.where(truth == 1, rng.beta(5, 2, n), rng.beta(2, 5, n))
    ours = lambda: _kernels.score_curves(truth, "==", 1, scores)  # noqa: E731
    fns = [ours, lambda: np.sort(scores)]
    if skm is not None:
        fns.append(lambda: skm.roc_auc_score(truth, scores))
    times = median_times(*fns, repeats=repeats)
    line = f"{'roc auc, 1M':<16}{'':>8}{times[0] / times[1]:>10.2f}{'<= 10':>10}"
    if skm is not None:
        line += f"{times[2] / times[0]:>17.1f}{'>= 3':>10}"
        assert abs(ours()["auc"] - skm.roc_auc_score(truth, scores)) <= 1e-9
    print(line + "   (x floor: against one numpy.sort of the scores)")


if __name__ == "__main__":
    main()
