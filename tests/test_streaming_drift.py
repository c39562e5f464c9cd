"""Streaming drift detectors in decay and flush mode."""

import math

import numpy as np
import pytest

import _lumetra
from drift_reference import METRICS, categorical_counts, edges_for, histogram, metric
from hostile import Boom, CallsBack, FloatRaises
from surface import CLASSES

CONT_DECAY = _lumetra.PyStreamingContinuousDataDriftDecay
CONT_FLUSH = _lumetra.PyStreamingContinuousDataDriftFlush
CAT_DECAY = _lumetra.PyStreamingCategoricalDataDriftDecay
CAT_FLUSH = _lumetra.PyStreamingCategoricalDataDriftFlush
EMPTY_RUNTIME = "Data used for runtime drift analysis must be non empty"
EMPTY_BASELINE = "Baseline data must be non empty"
UNSUPPORTED = "Unsupported drift type"
CONFIG = "Configuration not supported in current drift mode"
HUNDRED = np.arange(100.0)
LABELS = ["a", "b", "b", "c"]


def f64(*values):
    return np.array(values, dtype=np.float64)


# Factories: (kind, mode) -> constructor taking the policy argument(s).
def cont_decay(half_life=None, base=HUNDRED, rule=None):
    return CONT_DECAY(base, rule, half_life)


def cont_flush(rate=None, cadence=None, base=HUNDRED, rule=None):
    return CONT_FLUSH(base, rule, rate, cadence)


def cat_decay(half_life=None, base=LABELS):
    return CAT_DECAY(base, half_life)


def cat_flush(rate=None, cadence=None, base=LABELS):
    return CAT_FLUSH(base, rate, cadence)


CONT_SAMPLE, CAT_SAMPLE = 10.0, "b"
DECAY = [(cont_decay, CONT_SAMPLE), (cat_decay, CAT_SAMPLE)]
FLUSH = [(cont_flush, CONT_SAMPLE), (cat_flush, CAT_SAMPLE)]
ALL = DECAY + FLUSH


def batch_of(sample, n):
    return np.full(n, sample) if isinstance(sample, float) else [sample] * n


# ---- surface ----------------------------------------------------------------------


@pytest.mark.parametrize("cls", [CONT_DECAY, CONT_FLUSH, CAT_DECAY, CAT_FLUSH])
def test_class_signatures(cls):
    ctor, members = CLASSES[cls.__name__]
    assert cls.__text_signature__ == ctor
    for name, sig in members.items():
        if sig is not None:
            assert getattr(cls, name).__text_signature__ == sig
    is_flush = cls.__name__.endswith("Flush")
    assert hasattr(cls, "flush") == is_flush and hasattr(cls, "last_flush") == is_flush


PARAGRAPH = (
    '\n\n`drift_type` must be one of: `"JensenShannon"`, `"PopulationStabilityIndex"`,\n'
    '`"WassersteinDistance"`, `"KullbackLeibler"`.'
)


@pytest.mark.parametrize(
    "obj, doc",
    [
        (CONT_DECAY, "Streaming continuous data drift detector in decay mode. Applies exponential\n"
                     "decay to accumulated runtime bins on each drift computation, giving more weight\n"
                     "to recent samples."),
        (CAT_FLUSH, "Streaming categorical data drift detector in flush mode. Accumulates runtime\n"
                    "label counts and resets accumulated bins on each flush."),
        (CONT_DECAY.compute_drift, "Apply decay to stream bins and compute a single drift metric." + PARAGRAPH),
        (CAT_FLUSH.compute_drift, "Compute a single drift metric against the current stream bins. Triggers a\n"
                                  "flush if the configured flush cadence or rate has been reached." + PARAGRAPH),
        (CAT_DECAY.compute_drift_multiple_criteria,
         "Apply decay and compute multiple drift metrics in a single pass. Returns\n"
         "scores in the same order as `drift_types`."),
        (CONT_FLUSH.compute_drift_multiple_criteria,
         "Compute multiple drift metrics in a single pass. Returns scores in the same\norder as `drift_types`."),
        (CAT_DECAY.update_stream, "Add a single runtime label to the stream buffer."),
        (CONT_FLUSH.update_stream_batch, "Add a batch of runtime samples to the stream buffer."),
        (CAT_FLUSH.flush, "Flush the stream, resetting accumulated runtime label counts."),
        (CONT_FLUSH.export_snapshot, "Export the current stream histogram as a map of bin label to bin values."),
        (CAT_DECAY.total_samples, "Effective sample count after decay weighting."),
        (CONT_FLUSH.total_samples, "Total number of runtime samples accumulated since the last flush."),
        (CAT_FLUSH.n_bins, "Number of distinct label bins."),
        (CONT_FLUSH.last_flush, "Whole seconds elapsed since the last flush (monotonic clock)."),
    ],
)
def test_docs(obj, doc):
    assert obj.__doc__ == doc


# ---- decay ---------------------------------------------------------------------------


@pytest.mark.parametrize("make, sample", DECAY)
def test_half_life_one_halves_per_computation(make, sample):
    d = make(1)
    for _ in range(10):
        d.update_stream(sample)
    assert d.total_samples == 10
    d.compute_drift("JensenShannon")
    assert d.total_samples == 5
    d.compute_drift_multiple_criteria(["JensenShannon", "KullbackLeibler"])  # one step, not two
    assert d.total_samples == 2  # 2.5 reported as 2
    assert d.compute_drift_multiple_criteria([]) == []  # still ages the stream
    assert d.total_samples == 1  # 1.25


@pytest.mark.parametrize("make, sample", DECAY)
def test_default_half_life(make, sample):
    d = make(None)
    d.update_stream_batch(batch_of(sample, 100000))
    d.compute_drift("WassersteinDistance")
    assert d.total_samples == math.floor(100000 * 0.9999919774953684)  # exp2(-1/86400)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: CONT_DECAY(HUNDRED, None, 0), CONFIG),
        (lambda: CAT_DECAY(LABELS, 0), CONFIG),
        (lambda: CONT_DECAY(f64(1.0), None, 0), CONFIG),        # configuration before the baseline
        (lambda: CAT_DECAY([], 0), CONFIG),
        (lambda: CONT_DECAY(HUNDRED, "scott", 0), UNSUPPORTED),  # the rule before the configuration
        (lambda: CONT_DECAY(f64(1.0), None, 3), EMPTY_BASELINE),
        (lambda: CAT_DECAY([], None), EMPTY_BASELINE),
        (lambda: CONT_FLUSH(f64(0.0, np.nan), None, None, None), "NaN values are not supported"),
    ],
)
def test_construction_failures(call, message):
    with pytest.raises(ValueError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: CONT_FLUSH(HUNDRED, None, -1, None), OverflowError, None),
        (lambda: CAT_FLUSH(LABELS, 2**64, None), OverflowError, None),
        (lambda: CAT_DECAY(LABELS, 1.5), TypeError, "argument 'half_life_opt': "),
        (lambda: CONT_FLUSH(HUNDRED, None, None, "10"), TypeError, "argument 'flush_cadence_opt': "),
        (lambda: CONT_FLUSH(HUNDRED[::2], None, None, None), TypeError, "The given array is not contiguous"),
        (lambda: CONT_FLUSH(list(HUNDRED), None, None, None), TypeError, "argument 'baseline_data': 'list'"),
    ],
)
def test_argument_intake(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value).startswith(message)


def test_largest_integers_are_accepted():
    d = CAT_FLUSH(LABELS, 2**64 - 1, 2**64 - 1)
    d.update_stream("a")
    assert d.total_samples == 1 and d.last_flush == 0


# ---- flush ------------------------------------------------------------------------------


@pytest.mark.parametrize("make, sample", FLUSH)
def test_flush_by_rate_happens_before_the_sample_that_reaches_it(make, sample):
    d = make(3)
    for i in range(6):
        d.update_stream(sample)
    assert d.total_samples == 3  # flushed before the 4th sample
    d.update_stream(sample)      # flushed before the 7th
    assert d.total_samples == 1


def test_rate_flush_keeps_only_the_new_window():
    d = cont_flush(3)
    d.update_stream_batch(f64(1.0, 2.0, 3.0, 4.0, 5.0, 6.0))
    d.update_stream(90.0)
    assert d.export_snapshot()["streamBins"] == [0.0, 0.0, 0.0, 0.0, 1.0]


@pytest.mark.parametrize("make, sample", FLUSH)
def test_cadence_zero_flushes_at_every_clock_check(make, sample):
    d = make(None, 0)
    d.update_stream_batch(batch_of(sample, 600))
    assert d.total_samples == 600 - 512
    d.update_stream_batch(batch_of(sample, 167))
    assert d.total_samples == 255  # counts 88..254 hold no clock check
    d.update_stream(sample)        # at 255: none either
    assert d.total_samples == 256
    d.update_stream(sample)        # at 256: the clock is read, the window is old enough
    assert d.total_samples == 1


@pytest.mark.parametrize("make, sample", FLUSH)
def test_rate_zero_flushes_before_every_sample(make, sample):
    d = make(0, None)
    d.update_stream_batch(batch_of(sample, 5))
    assert d.total_samples == 1


@pytest.mark.parametrize("make, sample", FLUSH)
def test_explicit_flush_and_window_age(make, sample):
    d = make()
    assert d.last_flush == 0
    d.update_stream_batch(batch_of(sample, 10))
    assert d.flush() is None
    assert d.total_samples == 0 and d.last_flush == 0
    with pytest.raises(ValueError, match=EMPTY_RUNTIME):
        d.compute_drift("JensenShannon")


@pytest.mark.parametrize("make, sample", FLUSH)
def test_flush_mode_computation_neither_decays_nor_flushes(make, sample):
    d = make(None, 0)
    d.update_stream_batch(batch_of(sample, 10))
    first = d.compute_drift("PopulationStabilityIndex")
    assert d.compute_drift("PopulationStabilityIndex") == first
    assert d.total_samples == 10


# ---- streaming metrics equal the batch metrics on the same data --------------------------------


def test_continuous_stream_matches_reference():
    rng = np.random.default_rng(4)
    base, runtime = rng.normal(size=2000), np.append(rng.normal(0.3, 1.2, 1500), [np.nan, -50.0, 50.0])
    d = cont_flush(base=base, rule="Scott")
    d.update_stream_batch(runtime[:700])
    for v in runtime[700:]:
        d.update_stream(float(v))
    counts = histogram(runtime, edges_for(base, d.n_bins), d.n_bins)
    expected = [metric(name, d.export_baseline(), counts, float(len(runtime)), True) for name in METRICS]
    assert d.compute_drift_multiple_criteria(METRICS) == expected
    assert d.compute_drift_multiple_criteria(METRICS) == _lumetra.PyContinuousDataDrift(base, "Scott") \
        .compute_drift_mutliple_criteria(runtime, METRICS)
    snap = d.export_snapshot()
    assert list(snap) == ["binEdges", "baselineBins", "streamBins"]
    assert snap["binEdges"] == edges_for(base, d.n_bins)
    assert snap["streamBins"] == [c / len(runtime) for c in counts]


def test_decay_normaliser_is_the_decayed_total():
    d = cont_decay(2)
    d.update_stream_batch(f64(1.0, 50.0, 70.0, 99.0))
    f = 2.0 ** -0.5
    counts = [0.0, 1.0 * f, 1.0 * f, 0.0, 2.0 * f]
    expected = [metric(name, d.export_baseline(), counts, 4.0 * f, True) for name in METRICS]
    assert d.compute_drift_multiple_criteria(METRICS) == expected


def test_categorical_stream_counts_unseen_labels_but_does_not_export_them():
    d = cat_decay(5)
    d.update_stream_batch(["a", "zz", "zz"])
    d.update_stream("q")
    assert d.total_samples == 4
    snap = d.export_snapshot()
    assert snap == {"a": 1.0, "b": 0.0, "c": 0.0}
    assert list(snap) == ["a", "b", "c"]
    counts = categorical_counts(["a", "zz", "zz", "q"], ["a", "b", "c"])
    f = 2.0 ** -0.2
    decayed = [c * f for c in counts]
    shares = list(d.export_baseline().values()) + [0.0]
    expected = metric("WassersteinDistance", shares, decayed, 4.0 * f, False)
    assert d.compute_drift("WassersteinDistance") == expected


def test_categorical_snapshot_of_an_empty_stream_is_all_zero():
    assert cat_flush().export_snapshot() == {"a": 0.0, "b": 0.0, "c": 0.0}
    assert cat_decay().export_baseline() == {"a": 0.25, "b": 0.5, "c": 0.25}


def test_continuous_snapshot_needs_samples():
    d = cont_decay()
    with pytest.raises(ValueError, match=EMPTY_RUNTIME):
        d.export_snapshot()
    d.update_stream(5.0)
    assert math.fsum(d.export_snapshot()["streamBins"]) == 1.0


# ---- failed calls change nothing ------------------------------------------------------------------


def state(d):
    snap = d.export_snapshot() if "Categorical" in type(d).__name__ or d.total_samples else None
    return d.total_samples, d.n_bins, d.export_baseline(), snap


@pytest.mark.parametrize("make, sample", ALL)
def test_failed_calls_change_nothing(make, sample):
    d = make()
    d.update_stream_batch(batch_of(sample, 3))
    before = state(d)
    bad_baseline = f64(1.0) if isinstance(sample, float) else []
    empty_batch = f64() if isinstance(sample, float) else []
    for call, exc in [
        (lambda: d.update_stream_batch(empty_batch), ValueError),
        (lambda: d.reset_baseline(bad_baseline), ValueError),
        (lambda: d.compute_drift("Nope"), ValueError),
        (lambda: d.compute_drift_multiple_criteria(["JensenShannon", "Nope"]), ValueError),
        (lambda: d.update_stream(FloatRaises() if isinstance(sample, float) else 1), Boom
         if isinstance(sample, float) else TypeError),
    ]:
        with pytest.raises(exc):
            call()
        assert state(d) == before


@pytest.mark.parametrize("make, sample", ALL)
def test_reset_baseline_clears_the_stream(make, sample):
    d = make()
    d.update_stream_batch(batch_of(sample, 3))
    if isinstance(sample, float):
        d.reset_baseline(np.arange(1024.0))
        assert d.n_bins == 11
    else:
        d.reset_baseline(["x", "y"])
        assert d.n_bins == 3
    assert d.total_samples == 0
    with pytest.raises(ValueError, match=EMPTY_RUNTIME):
        d.compute_drift("JensenShannon")


def test_reset_keeps_the_rule():
    d = cont_flush(rule="Sturges")
    d.reset_baseline(np.arange(1024.0))
    assert d.n_bins == 11


# ---- re-entrancy -------------------------------------------------------------------------------------


def test_conversion_runs_before_the_instance_is_borrowed():
    d = cont_flush()
    value = CallsBack(5.0, lambda: d.update_stream(6.0))
    d.update_stream(value)
    assert value.error is None
    assert d.total_samples == 2


def test_update_stream_accepts_python_numbers():
    d = cont_decay()
    d.update_stream(3)
    d.update_stream(np.float32(4.5))
    d.update_stream(True)
    assert d.total_samples == 3


class Label(str):
    pass


@pytest.mark.parametrize("make, value, exc, message", [
    (cont_flush, "1.0", TypeError, "argument 'runtime_example': "),
    (cat_flush, 1.0, TypeError, "argument 'runtime_example': 'float' object cannot be converted to 'str'"),
    (cat_decay, "\ud800", UnicodeEncodeError, None),
])
def test_update_stream_refusals_change_nothing(make, value, exc, message):
    d = make()
    with pytest.raises(exc) as info:
        d.update_stream(value)
    if message is not None:
        assert str(info.value).startswith(message)
    assert d.total_samples == 0


def test_update_stream_general_binding_matches_the_fast_path():
    fast, general = cat_decay(), cat_decay()
    for label in ["a", "c", "zz"]:
        fast.update_stream(label)
        general.update_stream(runtime_example=Label(label))
    assert fast.export_snapshot() == general.export_snapshot() == {"a": 1.0, "b": 0.0, "c": 1.0}
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'runtime_example'"):
        general.update_stream()
    with pytest.raises(TypeError, match="takes 1 positional argument but 2 were given"):
        general.update_stream("a", "b")
    assert general.total_samples == 3
