"""py_model_bias_analyzer on 10 million elements (three arrays) against one
numpy.sum pass over the same three arrays. Prints ratios (median of repeats),
not absolute times."""

import numpy as np

import _lumetra
from timing import median_time

N = 10_000_000


def case(name, feature, truth, prediction, labels):
    floor = median_time(lambda: (np.sum(feature), np.sum(truth), np.sum(prediction)))
    ours = median_time(lambda: _lumetra.py_model_bias_analyzer(feature, truth, prediction, *labels))
    print(f"{name:<48} {ours / floor:6.2f}x numpy.sum floor (target <= 4x)")


def main():
    rng = np.random.default_rng(0)
    truth = rng.integers(0, 2, size=N, dtype=np.int64)
    prediction = np.where(rng.random(N) < 0.8, truth, 1 - truth)
    case("int64 label-matched feature", rng.integers(0, 5, size=N, dtype=np.int64), truth, prediction, (3, 1, 1))
    case("float feature, thresholded", rng.normal(size=N), truth, prediction, (0.0, 1, 1))
    case("bool arrays", rng.random(N) < 0.3, truth.astype(bool), prediction.astype(bool), (True, True, True))


if __name__ == "__main__":
    main()
