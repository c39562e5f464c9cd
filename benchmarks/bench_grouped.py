"""Grouped analyses against the bincount floor: lumetra.performance(facet=)
and lumetra.model_bias, with and without reference=, on a pandas frame of a
categorical facet (2 to 1,000 groups) and int8 truth and prediction, against
one numpy.bincount of codes * 4 + truth * 2 + prediction over the same rows
(which gives every count both calls need); data_bias alongside. Then the
fixed cost of a call, on 1,000 rows, against a pandas groupby sum of the
label on the same frame. Prints ratios (median of repeats), not times.

    python bench_grouped.py [rows] [groups ...]    (default 10M rows; 2, 50, 1000 groups)
"""

import sys

import numpy as np
import pandas as pd

import lumetra
from timing import median_ratio


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


def main():
    rows = int(float(sys.argv[1])) if len(sys.argv) > 1 else 10_000_000
    counts = [int(g) for g in sys.argv[2:]] or [2, 50, 1000]
    rng = np.random.default_rng(0)
    print(f"{rows:,} rows, against one numpy.bincount of codes * 4 + truth * 2 + prediction:")
    for groups in counts:
        df, codes, truth, pred = frame(rows, groups, rng)

        def floor():
            return np.bincount(codes.astype(np.int64) * 4 + truth * 2 + pred, minlength=4 * groups)

        ratios = {name: median_ratio(call, floor, repeats=7) for name, call in calls(df).items()}
        both = ratios["performance(facet=)"] + ratios["model_bias(reference=)"]
        shown = "  ".join(f"{name} {r:5.2f}x" for name, r in ratios.items())
        print(f"  {groups:>5} groups: {shown}  (targets <= 1.5x; performance + model_bias(reference=) {both:5.2f}x)")

    print("fixed cost per call, 1,000 rows, against a pandas groupby sum of the label:")
    for groups in (2, 50):
        df, _, _, _ = frame(1000, groups, rng)

        def groupby():
            return df.groupby("group", observed=True)["y"].sum()

        shown = "  ".join(f"{name} {median_ratio(call, groupby, repeats=15):5.2f}x" for name, call in calls(df).items())
        print(f"  {groups:>5} groups: {shown}")


if __name__ == "__main__":
    main()
