"""Grouped analyses against the bincount floor: lumetra.performance(facet=)
and lumetra.model_bias, with and without reference=, on a pandas frame of a
categorical facet (2 to 1,000 groups) and int8 truth and prediction, against
one numpy.bincount of codes * 4 + truth * 2 + prediction over the same rows
(which gives every count both calls need); data_bias alongside. Then the
fixed cost of a call, on 1,000 rows, against a pandas groupby sum of the
label on the same frame. With fairlearn installed, its MetricFrame (the
metrics performance(facet=) gives, per group) on the first million rows,
against the floor and performance(facet=) on those rows. Prints ratios
(median of repeats), not times.

    python bench_grouped.py [rows] [groups ...]    (default 10M rows; 2, 50, 1000 groups)
"""

import statistics
import sys

import numpy as np
import pandas as pd

import lumetra
from timing import median_ratio, median_times

FAIRLEARN_ROWS = 1_000_000  # MetricFrame takes minutes on 10 million rows of 1,000 groups


def frame(rows, groups, rng):
    codes = rng.integers(0, groups, rows).astype(np.int8 if groups < 128 else np.int16)
    truth = rng.integers(0, 2, rows).astype(np.int8)
    pred = rng.integers(0, 2, rows).astype(np.int8)
    names = [f"g{i:03d}" for i in range(groups)]
    df = pd.DataFrame({"group": pd.Categorical.from_codes(codes, names), "y": truth, "p": pred})
    return df, codes, truth, pred


def calls(df):
    return {
        "performance(facet=)": lambda: lumetra.performance(df, "y", "p", task="classification", facet="group"),
        "model_bias": lambda: lumetra.model_bias(df, "group", "y", "p"),
        "model_bias(reference=)": lambda: lumetra.model_bias(df, "group", "y", "p", reference="g000"),
        "data_bias": lambda: lumetra.data_bias(df, "group", "y"),
    }


def metric_frame():
    """A fairlearn MetricFrame over the metrics performance(facet=) gives, or
    None without fairlearn."""
    try:
        from fairlearn.metrics import MetricFrame
        from sklearn.metrics import (accuracy_score, balanced_accuracy_score, f1_score, precision_score,
                                     recall_score)
    except ImportError:
        return None
    metrics = {"balanced_accuracy": balanced_accuracy_score, "precision": precision_score, "recall": recall_score,
               "accuracy": accuracy_score, "f1": f1_score}

    def run(df):
        return MetricFrame(metrics=metrics, y_true=df["y"], y_pred=df["p"], sensitive_features=df["group"]).by_group
    return run


def main():
    rows = int(float(sys.argv[1])) if len(sys.argv) > 1 else 10_000_000
    counts = [int(g) for g in sys.argv[2:]] or [2, 50, 1000]
    rng = np.random.default_rng(0)
    fairlearn = metric_frame()
    if fairlearn is None:
        print("fairlearn is not installed (pip install '.[bench]'): MetricFrame skipped")
    print(f"{rows:,} rows, against one numpy.bincount of codes * 4 + truth * 2 + prediction:")
    for groups in counts:
        df, codes, truth, pred = frame(rows, groups, rng)

        def floor():
            return np.bincount(codes.astype(np.int64) * 4 + truth * 2 + pred, minlength=4 * groups)

        ratios = {name: median_ratio(call, floor, repeats=7) for name, call in calls(df).items()}
        both = ratios["performance(facet=)"] + ratios["model_bias(reference=)"]
        shown = "  ".join(f"{name} {r:5.2f}x" for name, r in ratios.items())
        print(f"  {groups:>5} groups: {shown}  (targets <= 1.5x; performance + model_bias(reference=) {both:5.2f}x)")
        if fairlearn is None:
            continue
        small = df.iloc[:FAIRLEARN_ROWS].copy()
        sub_codes, sub_truth, sub_pred = codes[:FAIRLEARN_ROWS], truth[:FAIRLEARN_ROWS], pred[:FAIRLEARN_ROWS]

        def sub_floor():
            return np.bincount(sub_codes.astype(np.int64) * 4 + sub_truth * 2 + sub_pred, minlength=4 * groups)

        def ours():
            return lumetra.performance(small, "y", "p", task="classification", facet="group")

        # One MetricFrame call takes seconds: the three run back to back in
        # each of three repeats, and both ratios come from the same runs.
        runs = [median_times(sub_floor, ours, lambda: fairlearn(small), repeats=1) for _ in range(3)]
        theirs = statistics.median(t / f for f, _, t in runs)
        faster = statistics.median(t / o for _, o, t in runs)
        print(f"  {'':>5}         fairlearn MetricFrame, {len(small):,} rows: {theirs:9.1f}x the floor on those rows; "
              f"performance(facet=) {faster:7.1f}x faster on them")

    print("fixed cost per call, 1,000 rows, against a pandas groupby sum of the label:")
    for groups in (2, 50):
        df, _, _, _ = frame(1000, groups, rng)

        def groupby():
            return df.groupby("group", observed=True)["y"].sum()

        shown = "  ".join(f"{name} {median_ratio(call, groupby, repeats=15):5.2f}x" for name, call in calls(df).items())
        print(f"  {groups:>5} groups: {shown}")


if __name__ == "__main__":
    main()
