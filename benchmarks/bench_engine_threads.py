"""The engine's own threads, call by call: each pass that may take helper
threads (the regression and log-loss passes, the binning of continuous and
categorical drift, the distinct count of a data-bias feature beside its
segmenting), timed as the median over repeats of many calls in one process,
at 10,000 elements (too short for a second thread: what a call costs must not
be handing work to threads) and at lengths where helpers join.

Each row is printed as ratios: against one ``numpy.sum`` over the same input
arrays and against a trivial builtin call, once with the thread cap at 1
(LUMETRA_THREADS=1) and once at the default cap, each in a fresh interpreter
(the cap is read once per process), with the gain of the default cap over one
thread. The package's kernels keep to the calling thread, so they have no row.

Usage: python benchmarks/bench_engine_threads.py [repeats]
"""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time

SIZES = (10_000, 100_000, 1_000_000)
TARGET_SECONDS = 0.02  # each repeat runs enough calls to take about this long


def cases(n, rng, np, _lumetra):
    """(name, call, arrays whose numpy.sum is the floor)."""
    x = rng.random(n)
    y = x + rng.normal(0.0, 0.1, n)
    truth = rng.integers(0, 2, n).astype(np.float64)
    score = np.clip(np.where(truth == 1.0, rng.beta(5, 2, n), rng.beta(2, 5, n)), 1e-6, 1 - 1e-6)
    continuous = _lumetra.PyContinuousDataDrift(rng.normal(0.0, 1.0, 20_000), None)
    runtime = rng.normal(0.1, 1.1, n)
    names = np.array([f"cat-{i:03d}" for i in range(300)])
    labels = names[rng.integers(0, 300, n)]
    categorical = _lumetra.PyCategoricalDataDrift(names[rng.integers(0, 300, 20_000)])
    # 80 distinct values: label matched, and too many for the few-keys check,
    # so a long column's distinct count runs beside its segmenting.
    values = np.sort(rng.uniform(0.0, 9.0, 80))
    feature = values[rng.integers(0, 80, n)]
    outcome = rng.integers(0, 2, n).astype(np.float64)
    v = float(values[37])
    return [
        ("regression", lambda: _lumetra.py_model_perf_linear_regression(x, y), (x, y)),
        ("logistic", lambda: _lumetra.py_model_perf_logistic_regression(truth, score, 0.5), (truth, score)),
        ("drift continuous", lambda: continuous.compute_drift(runtime, "JensenShannon"), (runtime,)),
        ("drift categorical", lambda: categorical.compute_drift(labels, "JensenShannon"), (labels.view(np.uint32),)),
        ("data bias distinct", lambda: _lumetra.py_data_bias_analyzer(feature, outcome, v, 1.0), (feature, outcome)),
    ]


def per_call(fn, repeats):
    """Median over repeats of the time of one call, each repeat a run of calls."""
    import statistics

    start = time.perf_counter()
    fn()
    once = max(time.perf_counter() - start, 1e-7)
    k = max(1, min(20_000, int(TARGET_SECONDS / once)))
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(k):
            fn()
        times.append((time.perf_counter() - start) / k)
    return statistics.median(times)


def measure(repeats):
    """Runs in the child: prints {name/n: [x numpy.sum, x builtin]} as JSON."""
    import numpy as np

    import _lumetra

    rng = np.random.default_rng(20261208)
    out = {}
    builtin = per_call(lambda: abs(-1), repeats)
    for n in SIZES:
        for name, call, arrays in cases(n, rng, np, _lumetra):
            # Interleaved, so that a burst of load hits the call and its floor alike.
            ratios = []
            for _ in range(repeats):
                floor = per_call(lambda: [np.sum(a) for a in arrays], 1)
                ours = per_call(call, 1)
                ratios.append(ours / floor)
            ratios.sort()
            ours = per_call(call, repeats)
            out[f"{name}/{n}"] = [ratios[len(ratios) // 2], ours / builtin]
    print(json.dumps(out))


def run_child(threads, repeats):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LUMETRA_")}
    if threads is not None:
        env["LUMETRA_THREADS"] = threads
    out = subprocess.run([sys.executable, __file__, "--child", str(repeats)], env=env, check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        measure(int(sys.argv[2]))
        return
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 9
    print(f"load average before: {' '.join(f'{v:.2f}' for v in os.getloadavg())} on {os.cpu_count()} cores")
    one = run_child("1", repeats)
    default = run_child(None, repeats)
    print(f"median of {repeats} repeats; per call: x one numpy.sum over the inputs, x one builtin call")
    print(f"{'pass':<20}{'elements':>10}{'1 thread':>10}{'default':>10}{'builtin 1':>11}"
          f"{'builtin d':>11}{'gain':>7}")
    for key in one:
        name, n = key.split("/")
        (s1, b1), (sd, bd) = one[key], default[key]
        print(f"{name:<20}{int(n):>10,}{s1:>10.2f}{sd:>10.2f}{b1:>11.0f}{bd:>11.0f}{b1 / bd:>7.2f}")
    print(f"load average after: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()
