"""Differential check: each row runs an entry point and the project's own
independent Python reference (reference.py for the pre-training metrics,
drift_reference.py for histograms and drift metrics) on the same generated
input, and the two must agree bit for bit (NaN matching NaN, zeros by sign).

The bin count of a continuous baseline is the one quantity taken from the
module itself (the rules that choose it are tested on their own in
test_drift.py); everything computed from it comes from the reference.

A new entry point with a reference is covered by adding one row to ROWS.
LUMETRA_DIFFERENTIAL_EXAMPLES=N sets the examples per row (default 30)."""

import ctypes
import ctypes.util
import math
import operator
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, given, reject, settings
from hypothesis import strategies as st

import _lumetra as L
from drift_reference import METRICS, categorical_counts, edges_for, histogram, metric
from reference import pre_training

EXAMPLES = int(os.environ.get("LUMETRA_DIFFERENTIAL_EXAMPLES", "0")) or 30
SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    derandomize="LUMETRA_DIFFERENTIAL_EXAMPLES" not in os.environ,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.exp2.restype = ctypes.c_double
_libm.exp2.argtypes = [ctypes.c_double]


def bits(v):
    """A comparable form of a result, exact to the bit for floats."""
    if isinstance(v, (float, np.floating)):
        v = float(v)
        return "nan" if math.isnan(v) else v.hex()
    if isinstance(v, dict):
        return {k: bits(x) for k, x in v.items()}
    if isinstance(v, (list, tuple)):
        return [bits(x) for x in v]
    return v


# ---- inputs ---------------------------------------------------------------------------------

INT_DTYPES = ["int8", "int16", "int32", "int64", "uint8", "float32", "float64"]


@st.composite
def populations(draw, max_size=300):
    """A feature and a ground truth of 0/1 labels (both facets present), as
    arrays of one dtype: label matching and thresholding at 1 agree on them."""
    pairs = draw(st.lists(st.tuples(st.booleans(), st.booleans()), min_size=2, max_size=max_size))
    feature = np.array([f for f, _ in pairs])
    if feature.all() or not feature.any():
        reject()
    dtype = draw(st.sampled_from(INT_DTYPES))
    truth = np.array([t for _, t in pairs])
    return feature.astype(dtype), truth.astype(dtype)


COMPARISONS = {"GreaterThan": operator.gt, "GreaterThanEqualTo": operator.ge,
               "LessThan": operator.lt, "LessThanEqualTo": operator.le}
small_floats = st.one_of(st.integers(-3, 3).map(float), st.floats(-10.0, 10.0, allow_nan=False, width=32))


@st.composite
def thresholded(draw):
    """A float64 feature and ground truth with a threshold and comparison
    each, and the masks they select."""
    n = draw(st.integers(2, 200))
    feature = np.array(draw(st.lists(small_floats, min_size=n, max_size=n)))
    truth = np.array(draw(st.lists(small_floats, min_size=n, max_size=n)))
    ft, gt = draw(small_floats), draw(small_floats)
    fc, gc = draw(st.sampled_from(sorted(COMPARISONS))), draw(st.sampled_from(sorted(COMPARISONS)))
    mask = COMPARISONS[fc](feature, ft)
    if mask.all() or not mask.any():
        reject()
    return feature, ft, fc, truth, gt, gc


@st.composite
def labelled(draw):
    """Unicode feature and ground truth matched by string labels."""
    words = st.sampled_from(["a", "b", "c", "\u00e9", "\U0001F600"])
    pairs = draw(st.lists(st.tuples(words, words), min_size=2, max_size=200))
    feature, truth = np.array([f for f, _ in pairs]), np.array([t for _, t in pairs])
    if (feature == "a").all() or not (feature == "a").any():
        reject()
    return feature, truth


@st.composite
def label_streams(draw):
    """A baseline and a stream of int8 labels for the data-bias monitor;
    only exactly 1 marks facet a and the positive outcome."""
    labels = st.sampled_from([0, 1, 1, 2, -1])
    stream = draw(st.lists(st.tuples(labels, labels), min_size=1, max_size=300))
    f = np.array([a for a, _ in stream], dtype=np.int8)
    g = np.array([b for _, b in stream], dtype=np.int8)
    if (f == 1).all() or not (f == 1).any():
        reject()
    return f, g, draw(st.integers(0, len(stream)))


finite = st.floats(-1e4, 1e4, allow_nan=False)
runtime_values = st.one_of(finite, st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0]))


@st.composite
def continuous(draw):
    """A baseline (finite, often with ties), a runtime slice (with NaN and
    infinities now and then), a bin rule and a split of the runtime into a
    batch and single samples."""
    base_values = st.one_of(finite, st.integers(-5, 5).map(float))
    base = np.array(draw(st.lists(base_values, min_size=2, max_size=300)))  # one value is refused
    runtime = np.array(draw(st.lists(runtime_values, min_size=1, max_size=300)))
    rule = draw(st.sampled_from([None, "FreedmanDiaconis", "Scott", "Sturges"]))
    return base, runtime, rule, draw(st.integers(0, len(runtime))), draw(st.integers(1, 100))


@st.composite
def categorical(draw):
    words = st.sampled_from(["x", "y", "z", "w", "\u00e9", "\U0001F600", "", "xy"])
    base = draw(st.lists(words, min_size=1, max_size=200))
    runtime = draw(st.lists(st.one_of(words, st.just("unseen")), min_size=1, max_size=200))
    return base, runtime, draw(st.integers(0, len(runtime))), draw(st.integers(1, 100))


# ---- the references -----------------------------------------------------------------------


def data_bias_reference(feature, truth):
    return pre_training(feature == 1, truth == 1)


def widened(metrics):
    return {k: float(v) for k, v in metrics.items()}


def continuous_baseline(base, rule):
    """The module's bin count for this baseline, the reference's edges and
    shares. A baseline the module refuses (more bins than it allows) is
    rejected as an example."""
    try:
        n_bins = L.PyContinuousDataDrift(base, rule).num_bins
    except ValueError:
        reject()
    edges = edges_for(base, n_bins)
    shares = [c / len(base) for c in histogram(base, edges, n_bins)]
    return n_bins, edges, shares


def continuous_scores(base, runtime, rule, scale=1.0):
    n_bins, edges, shares = continuous_baseline(base, rule)
    counts = [c * scale for c in histogram(runtime, edges, n_bins)]
    return [metric(m, shares, counts, float(len(runtime)) * scale, True) for m in METRICS]


def categorical_shares(base):
    labels = sorted(set(base))
    return labels, [c / len(base) for c in categorical_counts(base, labels)[:-1]]


def categorical_scores(base, runtime, scale=1.0):
    labels, shares = categorical_shares(base)
    counts = [c * scale for c in categorical_counts(runtime, labels)]
    return [metric(m, shares + [0.0], counts, float(len(runtime)) * scale, False) for m in METRICS]


def decay(half_life):
    return _libm.exp2(-1.0 / half_life)


# ---- the module side of stateful rows ---------------------------------------------------


def streamed(detector, runtime, split):
    detector.update_stream_batch(runtime[:split]) if split else None
    for v in runtime[split:]:
        detector.update_stream(v if isinstance(v, str) else float(v))
    return detector


def monitor_snapshot(f, g, split):
    m = L.PyDataBiasStreaming([1, 0], [1, 0])
    m.flush()
    if split:
        m.push_batch(f[:split], g[:split])
    for a, b in zip(f[split:], g[split:]):
        m.push(int(a), int(b))
    return m.performance_snapshot()


def continuous_batch(base, runtime, rule, *_):
    d = L.PyContinuousDataDrift(base, rule)
    return [d.export_baseline(), d.compute_drift_mutliple_criteria(runtime, METRICS),
            [d.compute_drift(runtime, m) for m in METRICS]]


def continuous_flush(base, runtime, rule, split, _):
    d = streamed(L.PyStreamingContinuousDataDriftFlush(base, rule, None, None), runtime, split)
    return [d.export_baseline(), d.export_snapshot(), d.compute_drift_multiple_criteria(METRICS)]


def continuous_flush_reference(base, runtime, rule, *_):
    n_bins, edges, shares = continuous_baseline(base, rule)
    counts = histogram(runtime, edges, n_bins)
    snapshot = {"binEdges": edges, "baselineBins": shares, "streamBins": [c / len(runtime) for c in counts]}
    return [shares, snapshot, continuous_scores(base, runtime, rule)]


def continuous_decay(base, runtime, rule, split, half_life):
    d = streamed(L.PyStreamingContinuousDataDriftDecay(base, rule, half_life), runtime, split)
    return [d.compute_drift_multiple_criteria(METRICS), d.compute_drift_multiple_criteria(METRICS)]


def continuous_decay_reference(base, runtime, rule, split, half_life):
    f = decay(half_life)
    n_bins, edges, shares = continuous_baseline(base, rule)
    once = [c * f for c in histogram(runtime, edges, n_bins)]
    twice = [c * f for c in once]
    n = float(len(runtime))
    return [[metric(m, shares, once, n * f, True) for m in METRICS],
            [metric(m, shares, twice, n * f * f, True) for m in METRICS]]


def categorical_batch(base, runtime, *_):
    d = L.PyCategoricalDataDrift(base)
    return [d.export_baseline(), d.compute_drift_mutliple_criteria(runtime, METRICS),
            [d.compute_drift(runtime, m) for m in METRICS]]


def categorical_batch_reference(base, runtime, *_):
    labels, shares = categorical_shares(base)
    scores = categorical_scores(base, runtime)
    return [dict(zip(labels, shares)), scores, scores]


def categorical_flush(base, runtime, split, _):
    d = streamed(L.PyStreamingCategoricalDataDriftFlush(base, None, None), runtime, split)
    return [d.export_snapshot(), d.compute_drift_multiple_criteria(METRICS)]


def categorical_flush_reference(base, runtime, *_):
    labels = sorted(set(base))
    counts = categorical_counts(runtime, labels)
    return [dict(zip(labels, counts[:-1])), categorical_scores(base, runtime)]


def categorical_decay(base, runtime, split, half_life):
    d = streamed(L.PyStreamingCategoricalDataDriftDecay(base, half_life), runtime, split)
    return [d.compute_drift_multiple_criteria(METRICS), d.export_snapshot()]


def categorical_decay_reference(base, runtime, split, half_life):
    f = decay(half_life)
    labels = sorted(set(base))
    decayed = [c * f for c in categorical_counts(runtime, labels)]
    return [categorical_scores(base, runtime, f), dict(zip(labels, decayed[:-1]))]


# ---- the table ----------------------------------------------------------------------------

ROWS = [
    # (entry point, inputs, the module's answer, the reference's answer)
    ("py_data_bias_analyzer", populations(),
     lambda f, t: L.py_data_bias_analyzer(f, t, 1, 1),
     lambda f, t: widened(data_bias_reference(f, t))),
    ("py_data_bias_analyzer_explicit_seg/threshold", thresholded(),
     lambda f, ft, fc, t, gt, gc: L.py_data_bias_analyzer_explicit_seg(f, ft, None, fc, t, gt, None, gc),
     lambda f, ft, fc, t, gt, gc: widened(pre_training(COMPARISONS[fc](f, ft), COMPARISONS[gc](t, gt)))),
    ("py_data_bias_analyzer_explicit_seg/label", labelled(),
     lambda f, t: L.py_data_bias_analyzer_explicit_seg(f, None, "a", None, t, None, "b", None),
     lambda f, t: widened(pre_training(f == "a", t == "b"))),
    ("PyDataBiasStreaming.performance_snapshot", label_streams(),
     monitor_snapshot,
     lambda f, g, split: widened(data_bias_reference(f, g))),
    ("py_compute_drift_continuous_distribtuion", continuous(),
     lambda base, runtime, rule, *_: L.py_compute_drift_continuous_distribtuion(base, runtime, METRICS, rule),
     lambda base, runtime, rule, *_: continuous_scores(base, runtime, rule)),
    ("PyContinuousDataDrift", continuous(),
     continuous_batch,
     lambda base, runtime, rule, *_: [continuous_baseline(base, rule)[2]] + [continuous_scores(base, runtime, rule)] * 2),
    ("PyStreamingContinuousDataDriftFlush", continuous(), continuous_flush, continuous_flush_reference),
    ("PyStreamingContinuousDataDriftDecay", continuous(), continuous_decay, continuous_decay_reference),
    ("py_compute_drift_categorical_distribtuion", categorical(),
     lambda base, runtime, *_: L.py_compute_drift_categorical_distribtuion(base, runtime, METRICS),
     lambda base, runtime, *_: categorical_scores(base, runtime)),
    ("PyCategoricalDataDrift", categorical(), categorical_batch, categorical_batch_reference),
    ("PyStreamingCategoricalDataDriftFlush", categorical(), categorical_flush, categorical_flush_reference),
    ("PyStreamingCategoricalDataDriftDecay", categorical(), categorical_decay, categorical_decay_reference),
]


@pytest.mark.parametrize("name, inputs, module, reference", ROWS, ids=[r[0] for r in ROWS])
def test_matches_the_reference(name, inputs, module, reference):
    @SETTINGS
    @given(inputs)
    def run(args):
        expected = reference(*args)  # first: it rejects baselines the module refuses
        assert bits(module(*args)) == bits(expected)

    run()
