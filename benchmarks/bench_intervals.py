"""Confidence intervals of bias and performance: what 1,000 bootstrap
replicates cost once a frame is reduced to its count tables, and what the
whole call costs with and without ci=.

    python bench_intervals.py [rows per group] [groups]   (default 1M rows, 10 groups)
    python bench_intervals.py --fairlearn [rows] [groups] (also fairlearn's MetricFrame bootstrap,
                                                         n_boot=20; needs fairlearn)

Prints times (medians of repeats) for the replicates alone, since they do not
grow with the rows, and ratios for the calls: model_bias(ci=0.95) over
model_bias(), performance(ci=0.95) over performance(), each on the same frame.
"""

import sys

import numpy as np
import pandas as pd

import lumetra
from lumetra import _kernels
from timing import median_ratio, median_time


def frame(rows, groups, rng):
    codes = rng.integers(0, groups, rows).astype(np.int8)
    truth = (rng.random(rows) < 0.4).astype(np.int8)
    pred = np.where(rng.random(rows) < 0.8, truth, 1 - truth).astype(np.int8)
    names = [f"g{i:02d}" for i in range(groups)]
    return pd.DataFrame({"group": pd.Categorical.from_codes(codes, names), "y": truth, "p": pred}), codes


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    per_group = int(float(args[0])) if args else 1_000_000
    groups = int(args[1]) if len(args) > 1 else 10
    rows = per_group * groups
    rng = np.random.default_rng(0)
    df, codes = frame(rows, groups, rng)
    truth, pred = df["y"].to_numpy(), df["p"].to_numpy()
    tallies = _kernels.tally(codes, groups, truth, "==", 1, pred, "==", 1)
    print(f"{groups} groups of {per_group:,} rows:")
    replicates = median_time(lambda: _kernels.bias_intervals(tallies, None, 0.95, 1.959963984540054, 1000, 0), 5)
    print(f"  1,000 replicates of the 12 model-bias metrics of every group, after the tallies: {replicates:.3f} s "
          "(target < 0.5 s)")
    analytic = median_time(lambda: _kernels.bias_intervals(tallies, None, 0.95, 1.959963984540054, 1000, 0,
                                                           "analytic"), 5)
    print(f"  closed-form bounds of the same: {analytic * 1e3:.2f} ms")
    counts = _kernels.performance_state("classification", codes, groups, truth, "==", 1, pred, "==", 1)["counts"]
    empty = np.zeros(0)
    perf = median_time(lambda: _kernels.performance_intervals("classification", counts, empty, empty), 5)
    print(f"  1,000 replicates of the 7 classification metrics of every group: {perf:.3f} s")
    bias_ratio = median_ratio(lambda: lumetra.model_bias(df, "group", "y", "p", ci=0.95),
                              lambda: lumetra.model_bias(df, "group", "y", "p"), repeats=5)
    perf_ratio = median_ratio(lambda: lumetra.performance(df, "y", "p", task="classification", facet="group", ci=0.95),
                              lambda: lumetra.performance(df, "y", "p", task="classification", facet="group"),
                              repeats=5)
    print(f"  model_bias(ci=0.95) / model_bias(): {bias_ratio:.2f}x; "
          f"performance(ci=0.95) / performance(): {perf_ratio:.2f}x")
    if "--fairlearn" in sys.argv:
        from fairlearn.metrics import MetricFrame
        from sklearn.metrics import accuracy_score, recall_score

        def fairlearn_bootstrap():
            MetricFrame(metrics={"accuracy": accuracy_score, "recall": recall_score}, y_true=truth, y_pred=pred,
                        sensitive_features=df["group"], n_boot=20, ci_quantiles=[0.025, 0.975], random_state=0)

        seconds = median_time(fairlearn_bootstrap, 1)
        ours = median_time(lambda: lumetra.model_bias(df, "group", "y", "p", ci=0.95), 3)
        print(f"  fairlearn MetricFrame(n_boot=20), 2 metrics: {seconds:.1f} s; "
              f"lumetra.model_bias(ci=0.95, 1,000 replicates), 12 metrics: {ours:.2f} s")


if __name__ == "__main__":
    main()
