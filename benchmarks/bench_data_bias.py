"""py_data_bias_analyzer on 10 million elements against one numpy.sum pass over
the same arrays. Prints ratios (median of repeats), not absolute times."""

import numpy as np

import _lumetra
from timing import median_time

N = 10_000_000


def case(name, feature, truth, feature_label, truth_label):
    floor = median_time(lambda: (np.sum(feature), np.sum(truth)))
    ours = median_time(lambda: _lumetra.py_data_bias_analyzer(feature, truth, feature_label, truth_label))
    print(f"{name:<44} {ours / floor:6.2f}x numpy.sum floor (target <= 4x)")


def main():
    rng = np.random.default_rng(0)
    truth = rng.integers(0, 2, size=N, dtype=np.int64)
    case("float feature, thresholded", rng.normal(size=N), truth, 0.0, 1)
    case("low-cardinality int feature, label-matched", rng.integers(0, 5, size=N, dtype=np.int64), truth, 3, 1)


if __name__ == "__main__":
    main()
