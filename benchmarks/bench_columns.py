"""The bias analyses over every native dtype, both strides and the column
shapes that choose different roads, as ratios measured in one run.

Each row is one call on N elements (feature and outcome columns of the same
dtype; the outcome holds 0 and 1) and prints

* first: the first call on those arrays, against the floor; users meet it
  (fresh buffers, the allocator's first answer), so it is not hidden;
* median: the median of warm repeats, against the floor;
* numpy: the median against the NumPy route a competent user would write
  (boolean masks by == or >=, np.count_nonzero of their products), with the
  grouping known in advance, so without any distinct count.

The floor is the memory limit: one numpy.sum over the bytes the arrays span,
viewed as uint64 for 8-, 16- and 32-bit dtypes (numpy.sum of those widens
every element and is not a memory pass), numpy.sum of the arrays themselves
for 64-bit dtypes.

After timing, every row's result is checked against metrics computed from the
NumPy masks (exact single-precision formulas for data bias; the module's own
boolean route for model bias).

Usage: python benchmarks/bench_columns.py [--n N] [--repeats R]
       [--calls data,explicit,model] [--dtypes int8,float64] [--strides 1,2]
"""

from __future__ import annotations

import argparse
import math
import os
import statistics
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np

import _lumetra

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
import reference  # noqa: E402

DTYPES = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float32", "float64", "bool"]


def span_floor(*arrays):
    """numpy.sum over the memory each array spans (the floor of a pass over it)."""
    parts = []
    for a in arrays:
        base = a if a.base is None else a.base
        if a.dtype.itemsize == 8 and a.dtype != np.bool_:
            parts.append(lambda a=a: np.sum(a))
        else:
            flat = base.reshape(-1).view(np.uint8)
            usable = flat[: flat.size // 8 * 8].view(np.uint64)
            parts.append(lambda u=usable: np.sum(u))
    return lambda: [p() for p in parts]


def column(values, dtype, stride):
    """values as a column of dtype with the given stride (a view of a larger array)."""
    arr = np.asarray(values).astype(dtype)
    if stride == 1:
        return arr
    wide = np.empty(arr.size * stride, dtype=dtype)
    wide[::stride] = arr
    return wide[::stride]


def shapes(dtype, n, rng):
    """(name, feature values, feature label, grouping) for each shape the dtype can take."""
    if dtype == "bool":
        yield "bool", rng.random(n) < 0.3, True, "=="
        return
    kind = np.dtype(dtype).kind
    info = np.iinfo(dtype) if kind in "iu" else None
    label = (lambda x: float(x)) if kind == "f" else int
    yield "few (5 values)", rng.integers(0, 5, n), label(3), "=="
    if kind == "f":
        values = np.sort(rng.uniform(0.0, 9.0, 80)).astype(dtype)  # the label must be a value of the dtype
        yield "label-matched (80 values)", values[rng.integers(0, 80, n)], float(values[37]), "=="
    else:
        yield "label-matched (80 values)", rng.integers(0, 80, n), 37, "=="
    # Thresholding needs more distinct values than the heuristic allows
    # (5% of n); 8- and 16-bit columns cannot hold that many at large n.
    if kind == "f":
        yield "thresholded (continuous)", rng.normal(size=n), 0.0, ">="
        return
    span = min(2_000_000_000, int(info.max) - int(info.min) + 1)
    if span > 0.1 * n:
        lo = 0 if kind == "u" else -(span // 2)
        yield "thresholded (many values)", rng.integers(lo, lo + span, n), lo + span // 2, ">="


def masks(feature, v, grouping, truth):
    f = feature == v if grouping == "==" else feature >= v
    return f, truth == 1


def numpy_data(feature, v, grouping, truth):
    f, t = masks(feature, v, grouping, truth)
    return np.count_nonzero(f), np.count_nonzero(t), np.count_nonzero(f & t)


def numpy_model(feature, v, grouping, truth, prediction):
    f, g = masks(feature, v, grouping, truth)
    p = prediction == 1
    fg, fp, gp = f & g, f & p, g & p
    counts = [np.count_nonzero(x) for x in (f, g, p, fg, fp, gp, fg & p)]
    benefit = np.where(g, p.astype(np.float32), np.float32(2.0))
    mu = benefit.mean(dtype=np.float32)
    return counts, np.mean((benefit / mu) ** 2 - 1.0, dtype=np.float32)


def timed(fn):
    start = time.perf_counter()
    out = fn()
    return time.perf_counter() - start, out


def measure(ours, floor, peer, repeats):
    first, result = timed(ours)
    samples = {"ours": [], "floor": [], "peer": []}
    for _ in range(repeats):
        for name, fn in (("floor", floor), ("ours", ours), ("peer", peer)):
            samples[name].append(timed(fn)[0])
    med = {k: statistics.median(v) for k, v in samples.items()}
    return first / med["floor"], med["ours"] / med["floor"], med["ours"] / med["peer"], result


def same(a, b):
    a, b = float(a), float(b)
    return (math.isnan(a) and math.isnan(b)) or a == b


def agree(name, got, want):
    bad = {k: (got[k], float(want[k])) for k in want if not same(got[k], want[k])}
    if bad or set(got) != set(want):
        raise AssertionError(f"{name}: results differ from the NumPy route: {bad}")


def outcome(n, rng, dtype, stride):
    if dtype == "bool":
        return column(rng.random(n) < 0.5, dtype, stride)
    return column(rng.integers(0, 2, n), dtype, stride)


def outcome_label(dtype):
    return True if dtype == "bool" else (1.0 if np.dtype(dtype).kind == "f" else 1)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=10_000_000)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--calls", default="data,explicit,model")
    ap.add_argument("--dtypes", default=",".join(DTYPES))
    ap.add_argument("--strides", default="1,2")
    args = ap.parse_args()
    n, calls = args.n, args.calls.split(",")
    rng = np.random.default_rng(14)
    print(f"{n:,} elements per column; ratios: first call / floor, median / floor, median / NumPy route")
    print(f"{'call':<9}{'dtype':<9}{'stride':>6}  {'shape':<27}{'first':>8}{'median':>8}{'numpy':>8}")
    checks = []
    for dtype in args.dtypes.split(","):
        for stride in (int(s) for s in args.strides.split(",")):
            for shape, values, v, grouping in shapes(dtype, n, rng):
                feature = column(values, dtype, stride)
                truth = outcome(n, rng, dtype, stride)
                tl = outcome_label(dtype)
                floor2 = span_floor(feature, truth)

                def row(call, ours, floor, peer, check):
                    first, median, vs_numpy, result = measure(ours, floor, peer, args.repeats)
                    print(f"{call:<9}{dtype:<9}{stride:>6}  {shape:<27}{first:8.2f}{median:8.2f}{vs_numpy:8.2f}",
                          flush=True)
                    checks.append((f"{call} {dtype} stride {stride} {shape}", result, check))

                if "data" in calls:
                    row("data", lambda: _lumetra.py_data_bias_analyzer(feature, truth, v, tl), floor2,
                        lambda: numpy_data(feature, v, grouping, truth),
                        lambda: reference.pre_training(*masks(feature, v, grouping, truth)))
                if "explicit" in calls and dtype != "bool":
                    # A label-matched shape has no explicit threshold form on
                    # numbers; its explicit row thresholds at the label.
                    fv = float(v)
                    row("explicit",
                        lambda: _lumetra.py_data_bias_analyzer_explicit_seg(
                            feature, fv, None, "GreaterThanEqualTo", truth, 1.0, None, "GreaterThanEqualTo"),
                        floor2, lambda: numpy_data(feature, v, ">=", truth),
                        lambda: reference.pre_training(*masks(feature, v, ">=", truth)))
                if "model" in calls:
                    prediction = outcome(n, rng, dtype, stride)
                    floor3 = span_floor(feature, truth, prediction)

                    def model_check(feature=feature, truth=truth, prediction=prediction):
                        f, g = masks(feature, v, grouping, truth)
                        return _lumetra.py_model_bias_analyzer(f, g, prediction == 1, True, True, True)

                    row("model", lambda: _lumetra.py_model_bias_analyzer(feature, truth, prediction, v, tl, tl),
                        floor3, lambda: numpy_model(feature, v, grouping, truth, prediction), model_check)
                # Agreement is checked as the rows go, so the arrays can be released.
                for name, result, check in checks:
                    agree(name, result, check())
                checks.clear()
    print("agreement with the NumPy masks: ok (every row, exact)")


if __name__ == "__main__":
    main()
