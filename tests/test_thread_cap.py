"""The thread cap (LUMETRA_THREADS) changes how many threads form the terms of
the regression and log-loss passes, find the bins of continuous drift, bin
the labels of categorical drift and count the distinct values of long float
columns, never a result; nor does the vector path (LUMETRA_SIMD=baseline keeps
every kernel on the x86-64 baseline instead of AVX2). Both settings are read
once per process, so each setting runs in a fresh interpreter."""

import json
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

N = 300_000  # several blocks per thread at every cap below

PROBE = textwrap.dedent(
    f"""
    import json, numpy as np, _lumetra

    N = {N}
    rng = np.random.default_rng(7)
    # Predictions a hair off large true values: the expanded residual of
    # RSquared cancels almost everything, so any change in the order of the
    # double sums shows in the single-precision result.
    t = (1e6 + rng.uniform(0.0, 1e3, N)).astype(np.float32)
    p = (t + rng.normal(0.0, 0.5, N)).astype(np.float32)
    # Scores over many binades, truths fractional: every log-loss term needs
    # both logarithms and the single-precision sum rounds at every step.
    truth = rng.uniform(0.0, 1.0, N)
    score = np.exp(rng.uniform(-20.0, 0.0, N))
    strided_t, strided_p = np.repeat(t, 2)[::2], np.repeat(p, 2)[::2]

    def hexed(d):
        return {{k: float(v).hex() for k, v in sorted(d.items())}}

    out = {{
        "regression": hexed(_lumetra.py_model_perf_linear_regression(t, p)),
        "regression_f64_strided": hexed(_lumetra.py_model_perf_linear_regression(
            strided_t.astype(np.float64), strided_p.astype(np.float64))),
        "logistic": hexed(_lumetra.py_model_perf_logistic_regression(truth, score, 0.5)),
    }}
    # The streaming monitors continue their sums from what single pushes left.
    reg = _lumetra.PyLinearRegressionStreaming([1.0, 2.0], [1.0, 2.5])
    reg.push(1e6, 1e6 + 0.25)
    reg.push_batch(t, p)
    reg.push_batch(p, t)
    out["regression_monitor"] = hexed(reg.performance_snapshot())
    log = _lumetra.PyLogisticRegressionStreaming([1.0, 0.0], [0.8, 0.3], 0.5)
    log.push(1.0, 0.9)
    log.push_batch(truth, score)
    log.push_batch(np.round(truth), score[::-1])
    out["logistic_monitor"] = hexed(log.performance_snapshot())
    # Bins are found in blocks on several threads: the stream's shares and
    # the batch scores must count every value once, in its own bin.
    base = rng.normal(0.0, 1.0, 20_000)
    runtime = np.concatenate([rng.normal(0.3, 1.5, N), [np.nan, np.inf, -np.inf, base.max()]])
    drift = _lumetra.PyContinuousDataDrift(base, None)
    kinds = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]
    out["drift"] = [float(x).hex() for x in drift.compute_drift_mutliple_criteria(runtime, kinds)]
    decay = _lumetra.PyStreamingContinuousDataDriftDecay(base, None, None)
    decay.update_stream_batch(runtime[::-1].copy())
    out["decay_shares"] = [float(x).hex() for x in decay.export_snapshot()["streamBins"]]
    # Labels are binned in shares on several threads, each with a cache of
    # its own: every label counted once, unseen ones in their own slot.
    names = np.array([f"cat-{{i:03d}}" for i in range(300)])
    cats = names[rng.integers(0, 300, N)]
    cats[::97] = "unseen"
    cat_base = names[rng.integers(0, 200, 20_000)]
    cat = _lumetra.PyCategoricalDataDrift(cat_base)
    out["categorical"] = [float(x).hex() for x in cat.compute_drift_mutliple_criteria(cats, kinds)]
    out["categorical_list"] = [float(x).hex() for x in cat.compute_drift_mutliple_criteria(cats.tolist(), kinds)]
    cat_decay = _lumetra.PyStreamingCategoricalDataDriftDecay(cat_base, None)
    cat_decay.update_stream_batch(cats[::-1].copy())
    out["categorical_decay"] = hexed(cat_decay.export_snapshot())
    # A long float column's distinct count runs on a thread of its own:
    # label matched, thresholded late (new values in the last blocks), NaN
    # each a value of its own, and a gathered single-precision column.
    values = np.sort(rng.uniform(0.0, 9.0, 80))
    matched = values[rng.integers(0, 80, N)]
    late = rng.integers(0, 20, N).astype(np.float64)
    late[-(N // 20):] = np.arange(N // 20) + 0.5
    with_nan = rng.integers(0, 4, N).astype(np.float64)
    with_nan[::20] = np.nan
    gathered = np.repeat(matched, 2).astype(np.float32)[::2]
    outcome = rng.integers(0, 2, N).astype(np.float64)
    for name, column, v in [("matched", matched, float(values[37])), ("late", late, 5.0),
                            ("nan", with_nan, 2.0), ("gathered", gathered, float(np.float32(values[37])))]:
        out["bias_" + name] = hexed(_lumetra.py_data_bias_analyzer(column, outcome, v, 1.0))
    out["model_bias_late"] = hexed(_lumetra.py_model_bias_analyzer(late, outcome, matched >= 4.5, 5.0, 1.0, True))
    # Kernels with a vector path of their own: integer codes and ranges,
    # gathered strided columns, byte-swapped columns read into masks, explicit codes of
    # each width, boolean codes, label pairs and code points.
    ints = rng.integers(-3, 4, N)
    wide = rng.integers(-10**12, 10**12, N)
    flags = rng.random(N) < 0.3
    f32 = rng.normal(0.0, 1.0, N).astype(np.float32)
    i32 = rng.integers(0, 3, N).astype(np.int32)
    words = np.array(["a", "bb", "d\u00e9"])[rng.integers(0, 3, N)]
    short = 50_000
    out["kernels"] = [hexed(d) for d in [
        _lumetra.py_data_bias_analyzer(ints, outcome, 2, 1.0),
        _lumetra.py_data_bias_analyzer(wide, outcome, 0, 1.0),
        _lumetra.py_data_bias_analyzer(ints[::2], outcome[::2], 1, 1.0),
        _lumetra.py_data_bias_analyzer(ints[:short].astype(">i8"), outcome[:short], 1, 1.0),
        _lumetra.py_data_bias_analyzer(late[:short].astype(">f8"), outcome[:short], 5.0, 1.0),
        _lumetra.py_data_bias_analyzer(words, outcome, "bb", 1.0),
        _lumetra.py_data_bias_analyzer_explicit_seg(f32, 0.1, None, "GreaterThanEqualTo", i32, 1.0, None, "LessThan"),
        _lumetra.py_data_bias_analyzer_explicit_seg(wide, 0.0, None, "LessThan", ints, 0.0, None, "GreaterThan"),
        _lumetra.py_model_bias_analyzer(flags, outcome, flags[::-1].copy(), True, 1.0, True),
        _lumetra.py_model_perf_classification(i32, i32[::-1].copy()),
        _lumetra.py_model_perf_classification(ints % 2, (ints + 1) % 2),
    ]]
    print(json.dumps(out))
    """
)


def run_probe(threads, simd=None):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LUMETRA_")}
    if threads is not None:
        env["LUMETRA_THREADS"] = threads
    if simd is not None:
        env["LUMETRA_SIMD"] = simd
    out = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


@pytest.fixture(scope="module")
def one_thread():
    return run_probe("1")


@pytest.mark.parametrize("threads", ["2", "3", "8", None, "0", "many"])
def test_results_do_not_depend_on_the_thread_cap(one_thread, threads):
    # None: the default (the processors available); "0" and "many" are not
    # thread counts, so they leave the default in place too.
    assert run_probe(threads) == one_thread


@pytest.mark.parametrize("threads", ["1", None])
def test_results_do_not_depend_on_the_vector_path(one_thread, threads):
    # On a machine with AVX2 the default takes the AVX2 kernels; "baseline"
    # keeps them on the baseline, whose every code and count is the same.
    assert run_probe(threads, "baseline") == one_thread


def test_probe_data_exercises_the_rounding(one_thread):
    # The data must be sensitive to the order of the sums, or the equality
    # above proves nothing: RSquared from sums in index order differs from
    # RSquared from the same terms summed pairwise.
    rng = np.random.default_rng(7)
    t = (1e6 + rng.uniform(0.0, 1e3, N)).astype(np.float32).astype(np.float64)
    p = (t + rng.normal(0.0, 0.5, N)).astype(np.float32).astype(np.float64)

    def r_squared(total):
        n = float(N)
        tss = total(t * t) - total(t) * total(t) / n
        residual = total(p * p) + (total(t * t) - 2.0 * total(t * p))
        return np.float32(1.0 - residual / tss)

    in_order = r_squared(lambda x: np.cumsum(x)[-1])
    pairwise = r_squared(np.sum)
    assert in_order != pairwise
    assert float(in_order).hex() == one_thread["regression"]["RSquared"]
