"""Prints every result of a fixed set of inputs, exactly, one line each: every
analysis of the engine and the package, every drift rule and metric, every
detector and monitor with its saved state. Two builds give the same bits when
this prints the same text under both:

    python scripts/compare_builds.py > a.txt     (one build's environment)
    python scripts/compare_builds.py > b.txt     (the other's)
    cmp a.txt b.txt

Floats are printed by repr (which round-trips exactly), saved states by a
digest of their bytes. The inputs are drawn from a fixed seed."""

import hashlib
import math
import sys

import numpy as np

import _lumetra as m
import lumetra
from lumetra import stats

RULES = ["FreedmanDiaconis", "Scott", "Sturges"]
METRICS = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]


def text(value):
    """Exact text of a result: floats by repr, containers member by member."""
    if isinstance(value, float):
        return repr(value) if not math.isnan(value) else "nan"
    if isinstance(value, (bytes, bytearray)):
        return "bytes:" + hashlib.sha256(value).hexdigest()
    if isinstance(value, dict):
        return "{" + ", ".join(f"{k!r}: {text(v)}" for k, v in sorted(value.items(), key=lambda kv: str(kv[0]))) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(text(v) for v in value) + "]"
    if isinstance(value, np.ndarray):
        return f"array({value.dtype}):" + hashlib.sha256(np.ascontiguousarray(value).tobytes()).hexdigest()
    if hasattr(value, "to_dict"):  # a table of the package
        columns = {}
        for name, cells in value.to_dict().items():
            cells = list(cells.values())
            if value[name].dtype.kind not in "biufc":
                # A missing text is null whether the installed pandas holds it as None or NaN.
                cells = [None if c is None or (isinstance(c, float) and math.isnan(c)) else c for c in cells]
            columns[name] = cells
        return text(columns)
    if hasattr(value, "_asdict"):
        return text(value._asdict())
    if isinstance(value, np.generic):
        return text(value.item())
    return repr(value)


def state(detector):
    """A detector's saved state; a flushing one's holds the time of its last
    flush, so that one is compared by what a copy restored from it computes."""
    if hasattr(detector, "last_flush"):
        copy = type(detector).from_bytes(detector.to_bytes())
        return copy.compute_drift_multiple_criteria(METRICS), copy.export_snapshot(), copy.total_samples
    return detector.to_bytes()


def show(name, compute):
    try:
        out = text(compute())
    except Exception as error:  # a refusal is a result too
        out = f"{type(error).__name__}: {error}"
    print(f"{name}: {out}")


def main():
    rng = np.random.default_rng(20261211)
    n = 20_000
    feature = rng.integers(0, 3, n)
    truth = rng.integers(0, 2, n)
    scores = np.clip(rng.beta(2, 3, n) + 0.2 * truth, 0, 1)
    prediction = (scores >= 0.5).astype(np.int64)
    values = rng.normal(0, 1, n)
    shifted = rng.normal(0.1, 1.2, n)
    heavy = rng.standard_t(3, n) * 100
    labels = [f"c{k}" for k in rng.integers(0, 6, n)]
    other = [f"c{k}" for k in rng.integers(1, 8, n)]

    # The engine's batch functions and checks.
    data_bias = m.py_data_bias_analyzer(feature.astype(float), truth.astype(float), 1, 1)
    model_bias = m.py_model_bias_analyzer(feature.astype(float), truth.astype(float), prediction.astype(float), 1, 1, 1)
    show("data bias", lambda: data_bias)
    show("data bias, thresholded", lambda: m.py_data_bias_analyzer_explicit_seg(
        values, 0.0, None, "GreaterThan", truth.astype(float), 0.5, None, "GreaterThanEqualTo"))
    show("model bias", lambda: model_bias)
    show("data bias check", lambda: m.py_data_bias_runtime_check(data_bias, {k: v * 1.1 for k, v in data_bias.items()}))
    show("model bias check", lambda: m.py_model_bias_runtime_check(model_bias, model_bias, 0.05))
    regression = m.py_model_perf_linear_regression(values * 3 + 50, shifted * 3 + 50)
    classification = m.py_model_perf_classification(truth.astype(float), prediction.astype(float))
    logistic = m.py_model_perf_logistic_regression(truth.astype(float), scores, 0.5)
    show("regression", lambda: regression)
    show("classification", lambda: classification)
    show("logistic", lambda: logistic)
    show("regression check", lambda: m.py_model_perf_lin_reg_rt_full(regression, regression, 0.1))
    show("logistic check", lambda: m.py_model_perf_log_reg_rt_full(logistic, classification | logistic, 0.1))

    # Drift: every rule, every metric, batch and streaming, with saved states.
    for data, name in ((values, "normal"), (heavy, "heavy-tailed")):
        for rule in RULES:
            show(f"drift {name} {rule}", lambda: m.py_compute_drift_continuous_distribtuion(data, shifted, METRICS, rule))
            detector = m.PyContinuousDataDrift(data, rule)
            show(f"detector {name} {rule}", lambda: (detector.export_baseline(), detector.to_bytes(),
                                                     detector.compute_drift_mutliple_criteria(shifted, METRICS)))
            flush = m.PyStreamingContinuousDataDriftFlush(data, rule, 5000, None)
            decay = m.PyStreamingContinuousDataDriftDecay(data, rule, 1000)
            for stream in (flush, decay):
                stream.update_stream_batch(shifted[:7000])
                for x in shifted[7000:7100]:
                    stream.update_stream(float(x))
            show(f"streams {name} {rule}", lambda: [(s.compute_drift_multiple_criteria(METRICS), s.export_snapshot(),
                                                      state(s)) for s in (flush, decay)])
    show("drift categorical", lambda: m.py_compute_drift_categorical_distribtuion(labels, other, METRICS))
    categorical = m.PyCategoricalDataDrift(labels)
    show("categorical detector", lambda: (categorical.export_baseline(), categorical.to_bytes(),
                                          categorical.compute_drift_mutliple_criteria(other, METRICS)))
    cflush = m.PyStreamingCategoricalDataDriftFlush(labels, 3000, None)
    cdecay = m.PyStreamingCategoricalDataDriftDecay(labels, 500)
    for stream in (cflush, cdecay):
        stream.update_stream_batch(other[:5000])
        for label in other[5000:5050]:
            stream.update_stream(label)
    show("categorical streams", lambda: [(s.compute_drift_multiple_criteria(METRICS), s.export_snapshot(), state(s))
                                         for s in (cflush, cdecay)])

    # Monitors: batches and single pushes, their snapshots, reports and states.
    half = n // 2
    monitors = {
        "data bias monitor": (m.PyDataBiasStreaming((feature[:half] == 1).astype(np.int64), truth[:half]),
                              (feature[half:] == 1).astype(np.int64), truth[half:]),
        "model bias monitor": (m.PyModelBiasStreaming((feature[:half] == 1).astype(np.int64), prediction[:half], truth[:half]),
                               (feature[half:] == 1).astype(np.int64), prediction[half:], truth[half:]),
        "binary monitor": (m.PyBinaryClassificationStreaming(truth[:half], prediction[:half]),
                           truth[half:], prediction[half:]),
        "regression monitor": (m.PyLinearRegressionStreaming(values[:half] + 5, shifted[:half] + 5),
                               values[half:] + 5, shifted[half:] + 5),
        "logistic monitor": (m.PyLogisticRegressionStreaming(truth[:half].astype(float), scores[:half], 0.5),
                             truth[half:].astype(float), scores[half:]),
    }
    for name, (monitor, *batch) in monitors.items():
        monitor.push_batch(*(b[:-20] for b in batch))
        for row in zip(*(b[-20:] for b in batch)):
            monitor.push(*(x.item() for x in row))
        show(name, lambda: (monitor.performance_snapshot(), monitor.drift_snapshot(), monitor.drift_report(0.1),
                            monitor.to_bytes()))

    # The package: each analysis, with groups, tests and intervals.
    try:
        import pandas as pd
    except ImportError:  # the package's frames need a DataFrame library
        print("package: pandas is not installed", file=sys.stderr)
        return
    frame = pd.DataFrame({"group": np.array(["a", "b", "c"])[feature], "y": truth, "p": prediction, "s": scores,
                          "x": values, "t": heavy, "c": labels})
    later = pd.DataFrame({"group": np.array(["a", "b", "c"])[rng.integers(0, 3, n)], "y": truth[::-1],
                          "p": prediction, "s": scores[::-1], "x": shifted, "t": heavy * 1.1, "c": other})
    show("package data bias", lambda: lumetra.data_bias(frame, "group", "y"))
    show("package model bias", lambda: lumetra.model_bias(frame, "group", "y", "p", ci=0.95, n_boot=200))
    show("package performance", lambda: lumetra.performance(frame, "y", "s", task="logistic", facet="group"))
    show("package regression", lambda: lumetra.performance(frame, "x", "t", task="regression"))
    for rule in RULES:
        show(f"package drift {rule}", lambda: lumetra.drift(frame, later, rule=rule, columns=["x", "t", "s", "c"]))
    show("package drift tolerance", lambda: lumetra.drift(
        frame, later, columns=["x", "c"], tolerance={"PopulationStabilityIndex": 0.1}, n_boot=200))
    show("ks", lambda: stats.ks_2samp(values[:3000], shifted[:2000]))
    show("cramervonmises", lambda: stats.cramervonmises_2samp(values[:3000], shifted[:2000]))
    show("anderson", lambda: stats.anderson_ksamp([values[:3000], shifted[:2000], heavy[:500]]))


if __name__ == "__main__":
    main()
