"""Streaming monitors: `push` per call against a call of `list.append`, and
`push_batch` on 10 million pairs against one numpy.sum pass over the same
arrays. Prints ratios (median of repeats), not absolute times."""

import os

# An idle BLAS thread pool can spin on a shared machine and skew every timing.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np

import _lumetra
from timing import median_ratio, median_times

N = 10_000_000
CALLS = 200_000


def push_ratio(name, monitor, args):
    # The same loop shape around both calls (bound method fetched once, the
    # same tuples unpacked), so only the call itself differs.
    sink = []
    append = sink.append
    push = monitor.push

    if len(args[0]) == 2:
        def floor_loop():
            for a, b in args:
                append(a)

        def our_loop():
            for a, b in args:
                push(a, b)
    else:
        def floor_loop():
            for a, b, c in args:
                append(a)

        def our_loop():
            for a, b, c in args:
                push(a, b, c)

    def floor_run():
        floor_loop()
        sink.clear()

    ratio = median_ratio(our_loop, floor_run)
    monitor.flush()
    print(f"push       {name:<34} {ratio:6.2f}x list.append (target <= 1.5x)")


def batch_ratio(name, monitor, arrays, batch_function=None, batch_name=""):
    fns = [lambda: [np.sum(a) for a in arrays], lambda: monitor.push_batch(*arrays)]
    if batch_function is not None:
        fns.append(lambda: batch_function(*arrays))
    times = median_times(*fns, repeats=5)
    monitor.flush()
    line = f"push_batch {name:<40} {times[1] / times[0]:6.2f}x numpy.sum floor (target <= 4x)"
    if batch_function is not None:
        line += f"; {times[1] / times[2]:5.2f}x {batch_name}"
    print(line)


def main():
    rng = np.random.default_rng(0)
    labels = [rng.integers(0, 2, size=N, dtype=np.int64) for _ in range(3)]
    labels8 = [a.astype(np.int8) for a in labels]
    labels32 = [a.astype(np.int32) for a in labels]
    y = rng.random(N)
    y_hat = y + rng.normal(scale=0.1, size=N)
    score = rng.random(N)

    base8 = ([1, 0, 1, 0, 1, 1], [1, 0, 0, 0, 1, 1], [1, 1, 0, 0, 0, 1])
    data_bias = _lumetra.PyDataBiasStreaming(base8[0], base8[1])
    model_bias = _lumetra.PyModelBiasStreaming(
        [1, 1, 1, 1, 0, 0, 0, 0], [1, 1, 0, 0, 1, 1, 0, 0], [1, 0, 0, 1, 1, 0, 0, 1]
    )
    binary = _lumetra.PyBinaryClassificationStreaming([1, 0, 1, 0], [1, 1, 0, 0])
    regression = _lumetra.PyLinearRegressionStreaming([1.0, 2.0, 3.0], [1.0, 2.0, 4.0])
    logistic = _lumetra.PyLogisticRegressionStreaming([1.0, 0.0], [0.8, 0.3], 0.5)

    small = list(zip(labels[0][:CALLS].tolist(), labels[1][:CALLS].tolist()))
    floats = list(zip(y[:CALLS].tolist(), y_hat[:CALLS].tolist()))
    push_ratio("PyDataBiasStreaming", data_bias, small)
    push_ratio("PyBinaryClassificationStreaming", binary, small)
    push_ratio("PyLinearRegressionStreaming", regression, floats)
    push_ratio("PyLogisticRegressionStreaming", logistic, floats)
    triples = list(zip(*(a[:CALLS].tolist() for a in labels)))
    push_ratio("PyModelBiasStreaming", model_bias, triples)

    batch_ratio("PyDataBiasStreaming int8", data_bias, labels8[:2])
    batch_ratio("PyDataBiasStreaming int64", data_bias, labels[:2])
    batch_ratio("PyModelBiasStreaming int8", model_bias, labels8)
    batch_ratio("PyModelBiasStreaming int64", model_bias, labels)
    batch_ratio("PyBinaryClassificationStreaming int32", binary, labels32[:2])
    batch_ratio("PyBinaryClassificationStreaming int64", binary, labels[:2])
    batch_ratio("PyLinearRegressionStreaming float64", regression, [y, y_hat],
                _lumetra.py_model_perf_linear_regression, "py_model_perf_linear_regression")
    # Logistic truths are 0/1, so each pair needs one logarithm, as in practice.
    truth = labels[0].astype(np.float64)
    batch_ratio("PyLogisticRegressionStreaming float64", logistic, [truth, score],
                lambda t, p: _lumetra.py_model_perf_logistic_regression(t, p, 0.5),
                "py_model_perf_logistic_regression")


if __name__ == "__main__":
    main()
