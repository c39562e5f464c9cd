"""lumetra.data_bias on a pandas frame of 10 million rows (a categorical facet,
an int64 0/1 label) against one numpy.sum pass over the codes and the label,
against _lumetra called directly on the arrays (two groups), and against
fairlearn's MetricFrame counting the same rows by group. Prints ratios
(median of repeats), not absolute times."""

import numpy as np
import pandas as pd

import _lumetra
import lumetra
from timing import median_time, median_times

N = 10_000_000
FAIRLEARN_ROWS = 1_000_000  # MetricFrame takes minutes on 10 million rows


def frame(codes, labels):
    names = [f"group {i}" for i in range(int(codes.max()) + 1)]
    return pd.DataFrame({"group": pd.Categorical.from_codes(codes, names), "label": labels})


def main():
    rng = np.random.default_rng(0)
    labels = rng.integers(0, 2, size=N, dtype=np.int64)

    codes = rng.integers(0, 50, size=N).astype(np.int8)
    data = frame(codes, labels)
    floor, ours = median_times(lambda: (np.sum(codes), np.sum(labels)),
                               lambda: lumetra.data_bias(data, "group", "label"))
    print(f"{'50 groups, against numpy.sum over codes and label':<58} {ours / floor:6.2f}x (target <= 3x)")

    two = rng.integers(0, 2, size=N).astype(np.int8)
    pair = frame(two, labels)
    direct, ours = median_times(lambda: _lumetra.py_data_bias_analyzer(two, labels, 0, 1),
                                lambda: lumetra.data_bias(pair, "group", "label"))
    print(f"{'2 groups, against one _lumetra call on the arrays':<58} {ours / direct:6.2f}x (target <= 1.5x)")

    try:
        from fairlearn.metrics import MetricFrame, count
    except ImportError:
        print("fairlearn is not installed (pip install '.[bench]'): MetricFrame skipped")
        return

    def positives(y_true, y_pred):
        return int(np.sum(y_true == 1))

    small = data.iloc[:FAIRLEARN_ROWS]
    group, label = small["group"], small["label"].to_numpy()
    theirs = median_time(
        lambda: MetricFrame(metrics={"n": count, "positives": positives}, y_true=label, y_pred=label,
                            sensitive_features=group),
        repeats=3,
    )
    ours = median_time(lambda: lumetra.data_bias(small, "group", "label"))
    print(f"{f'fairlearn MetricFrame, 50 groups, {FAIRLEARN_ROWS:,} rows':<58} {theirs / ours:6.0f}x faster "
          "(target >= 100x)")


if __name__ == "__main__":
    main()
