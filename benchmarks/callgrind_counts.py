"""Instruction counts of single calls, for before/after comparisons on a shared
machine (wall-clock ratios there are noise; instruction counts are not).

Each case runs in two processes under callgrind, collecting only inside the
module's entry points (so the interpreter's own work between calls, which
varies from run to run, is left out): one that prepares the data and calls
once (the warm-up: first-use settings), and one that then makes the measured
calls too. The difference of their totals, per call and per element, is the
module's cost of the call, from binding to result:

    python benchmarks/callgrind_counts.py [N] [case substring]

Uses the `_lumetra` that Python imports (set PYTHONPATH to compare builds).
The entry points are found by their symbols, which a default install strips:
build the module to measure with `pip install -Cinstall.strip=false .`.
"""

from __future__ import annotations

import gc
import os
import re
import subprocess
import sys

import numpy as np

class Data:
    """The inputs of the cases, each made on first use (a child process makes
    only what its case reads)."""

    def __init__(self, n):
        self.n = n
        self.rng = np.random.default_rng(14)

    def __getattr__(self, name):
        value = getattr(self, "make_" + name)()
        setattr(self, name, value)
        return value

    def make_f64_80(self):
        return np.sort(self.rng.uniform(0.0, 9.0, 80))[self.rng.integers(0, 80, self.n)]

    def make_f64_cont(self):
        return self.rng.normal(size=self.n)

    def make_i8_few(self):
        return self.i64_few.astype(np.int8)

    def make_i64_few(self):
        return self.rng.integers(0, 5, self.n)

    def make_t_i64(self):
        return self.rng.integers(0, 2, self.n)

    def make_t_i8(self):
        return self.t_i64.astype(np.int8)

    def make_t_f64(self):
        return self.t_i64.astype(np.float64)

    def make_p_i64(self):
        return np.where(self.rng.random(self.n) < 0.8, self.t_i64, 1 - self.t_i64)

    def make_reg_t(self):
        return self.rng.uniform(0.0, 10.0, self.n)

    def make_reg_p(self):
        return np.clip(self.reg_t + self.rng.normal(0.0, 0.5, self.n), 0.0, None)

    def make_score(self):
        return self.rng.random(self.n)

    def make_cat_run(self):
        names = np.array([f"label-{i:02d}" for i in range(50)])
        return names[self.rng.integers(0, 50, self.n)]

    def make_cat_list(self):
        return self.cat_run.tolist()


FOUR = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]


def cases(n):
    """(name, elements per call (negative: calls per run), maker of the call)."""
    import _lumetra as L

    d = Data(n)

    def per_call(make_fn, make_items):
        def make():
            fn, items = make_fn(), make_items()
            if isinstance(items[0], tuple):
                def run():
                    for a, b in items:
                        fn(a, b)
            else:
                def run():
                    for a in items:
                        fn(a)
            return run
        return make

    def pairs():
        return list(zip(d.t_i64[:1000].tolist(), d.p_i64[:1000].tolist()))

    def fpairs():
        return list(zip(d.reg_t[:1000].tolist(), d.reg_p[:1000].tolist()))

    def monitor(kind):
        return {
            "binary": lambda: L.PyBinaryClassificationStreaming([1, 0, 1, 0], [1, 1, 0, 0]),
            "logistic": lambda: L.PyLogisticRegressionStreaming([1.0, 0.0], [0.8, 0.3], 0.5),
            "regression": lambda: L.PyLinearRegressionStreaming([1.0, 2.0], [1.0, 2.5]),
        }[kind]()

    def batch(kind, *arrays):
        def make():
            m = monitor(kind)
            args = [getattr(d, a) for a in arrays]
            return lambda: m.push_batch(*args)
        return make

    def categorical(attr):
        def make():
            det = L.PyCategoricalDataDrift(d.cat_run[:100_000])
            runtime = getattr(d, attr)
            return lambda: det.compute_drift_mutliple_criteria(runtime, FOUR)
        return make

    def continuous():
        det = L.PyContinuousDataDrift(np.random.default_rng(1).normal(size=100_000), None)
        runtime = d.f64_cont
        return lambda: det.compute_drift_mutliple_criteria(runtime, FOUR)

    def decay():
        det = L.PyStreamingContinuousDataDriftDecay(np.random.default_rng(1).normal(size=10_000), None, None)
        return det.update_stream

    def decay_batch():
        det = L.PyStreamingContinuousDataDriftDecay(np.random.default_rng(1).normal(size=10_000), None, None)
        runtime = d.f64_cont
        return lambda: det.update_stream_batch(runtime)

    return [
        ("data float64 label-matched (80 values)", n,
         lambda: (lambda f, t: lambda: L.py_data_bias_analyzer(f, t, float(f[0]), 1))(d.f64_80, d.t_i64)),
        ("data float64 thresholded", n,
         lambda: (lambda f, t: lambda: L.py_data_bias_analyzer(f, t, 0.0, 1))(d.f64_cont, d.t_i64)),
        ("data int8 few, int8 truth", n,
         lambda: (lambda f, t: lambda: L.py_data_bias_analyzer(f, t, 3, 1))(d.i8_few, d.t_i8)),
        ("data int64 few, int64 truth", n,
         lambda: (lambda f, t: lambda: L.py_data_bias_analyzer(f, t, 3, 1))(d.i64_few, d.t_i64)),
        ("explicit float64 thresholded", n,
         lambda: (lambda f, t: lambda: L.py_data_bias_analyzer_explicit_seg(
             f, 0.0, None, "GreaterThanEqualTo", t, 1.0, None, "GreaterThanEqualTo"))(d.f64_cont, d.t_i64)),
        ("explicit int8", n,
         lambda: (lambda f, t: lambda: L.py_data_bias_analyzer_explicit_seg(
             f, 3.0, None, "GreaterThanEqualTo", t, 1.0, None, "GreaterThanEqualTo"))(d.i8_few, d.t_i8)),
        ("model float64 thresholded", n,
         lambda: (lambda f, t, p: lambda: L.py_model_bias_analyzer(f, t, p, 0.0, 1, 1))(d.f64_cont, d.t_i64, d.p_i64)),
        ("model int64 few", n,
         lambda: (lambda f, t, p: lambda: L.py_model_bias_analyzer(f, t, p, 3, 1, 1))(d.i64_few, d.t_i64, d.p_i64)),
        ("binary push_batch int64", n, batch("binary", "t_i64", "p_i64")),
        ("regression float64", n,
         lambda: (lambda t, p: lambda: L.py_model_perf_linear_regression(t, p))(d.reg_t, d.reg_p)),
        ("regression monitor push_batch float64", n, batch("regression", "reg_t", "reg_p")),
        ("logistic float64", n,
         lambda: (lambda t, p: lambda: L.py_model_perf_logistic_regression(t, p, 0.5))(d.t_f64, d.score)),
        ("logistic monitor push_batch float64", n, batch("logistic", "t_f64", "score")),
        ("drift continuous, 4 metrics", n, continuous),
        ("drift categorical unicode, 4 metrics", n, categorical("cat_run")),
        ("drift categorical list of str, 4 metrics", n, categorical("cat_list")),
        ("update_stream_batch decay, continuous", n, decay_batch),
        ("update_stream decay (per call)", -1000, per_call(decay, lambda: d.f64_cont[:1000].tolist())),
        ("push logistic (per call)", -1000, per_call(lambda: monitor("logistic").push, fpairs)),
        ("push regression (per call)", -1000, per_call(lambda: monitor("regression").push, fpairs)),
        ("push binary (per call)", -1000, per_call(lambda: monitor("binary").push, pairs)),
    ]


MEASURED_CALLS = 2
# The module's entry points (whole names: helpers nested in them start alike).
ENTRY_POINTS = [f"--toggle-collect=lumetra::py::detail::Entry<*>::{kind}(*)"
                for kind in ("fast", "construct", "get", "noargs")]


def child(n, index, calls):
    # A collection started inside a call (the calls allocate result dicts)
    # walks every tracked container, the list of a million strings among
    # them: its cost would land on one run and not the other.
    gc.disable()
    name, size, make = cases(n)[index]
    call = make()
    call()
    for _ in range(calls):
        call()


def instructions(n, index, calls):
    out = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", "--collect-atstart=no",
         *ENTRY_POINTS, sys.executable, __file__,
         "--child", str(n), str(index), str(calls)],
        capture_output=True, text=True, check=True, env=dict(os.environ, PYTHONHASHSEED="0"))
    collected = int(re.search(r"Collected : (\d+)", out.stderr).group(1))
    if collected == 0:
        sys.exit("callgrind found no entry point of the module: its symbols are stripped; "
                 "reinstall it with pip install -Cinstall.strip=false .")
    return collected


def main():
    if sys.argv[1:2] == ["--child"]:
        child(*(int(a) for a in sys.argv[2:5]))
        return
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    pick = sys.argv[2] if len(sys.argv) > 2 else ""
    print(f"callgrind instructions, N = {n:,}")
    for index, (name, size, _) in enumerate(cases(n)):
        if pick not in name:
            continue
        base = instructions(n, index, 1)
        total = instructions(n, index, 1 + MEASURED_CALLS)
        per_call = (total - base) / MEASURED_CALLS
        unit = f"{per_call / size:10.2f} per element" if size > 0 else f"{per_call / -size:10.0f} per call"
        print(f"{name:<44}{per_call:16,.0f}{unit}", flush=True)


if __name__ == "__main__":
    main()
