"""One row per class for the tests of saved and merged state: how to make an
instance from a fixed baseline, random stream data for it, the calls that
change it, and what it shows (every read-only answer, errors included, in a
form that compares floats bit for bit)."""

import math
import struct

import numpy as np

import _lumetra as L
from vocabulary import CLASSIFICATION, DATA_BIAS, LOGISTIC, MODEL_BIAS, REGRESSION

class FixedRng:
    """The few draws the rows use, from splitmix64 and plain arithmetic: the
    same numbers on every platform and with every NumPy version, since the
    committed state files and their answers are made from them. Draws of n
    values are NumPy arrays; single draws are Python numbers."""

    def __init__(self, seed):
        self.s = seed & 0xFFFFFFFFFFFFFFFF

    def _next(self):
        self.s = (self.s + 0x9E3779B97F4A7C15) & 0xFFFFFFFFFFFFFFFF
        z = self.s
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & 0xFFFFFFFFFFFFFFFF
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & 0xFFFFFFFFFFFFFFFF
        return z ^ (z >> 31)

    def _unit(self):
        return (self._next() >> 11) * 2.0**-53

    def _many(self, draw, n, dtype):
        return draw() if n is None else np.array([draw() for _ in range(n)], dtype=dtype)

    def integers(self, lo, hi, n=None):
        return self._many(lambda: lo + self._next() % (hi - lo), n, np.int64)

    def uniform(self, lo, hi, n=None):
        return self._many(lambda: lo + (hi - lo) * self._unit(), n, np.float64)

    def normal(self, mu, sigma, n=None):
        # The sum of twelve uniforms less six: near enough to normal, and exact
        # arithmetic. Added one by one: from Python 3.12 on, sum() of floats
        # compensates its rounding and gives other bits.
        def draw():
            total = 0.0
            for _ in range(12):
                total += self._unit()
            return mu + sigma * (total - 6.0)

        return self._many(draw, n, np.float64)

    def choice(self, items):
        return items[self._next() % len(items)]


DRIFT = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]
CONT_BASE = FixedRng(7).normal(0.0, 1.0, 300)
LABELS = ["a", "b", "c", "d", "\u00e9", "zz"]  # "d" and "zz" are never in the baseline
CAT_BASE = ["a", "b", "b", "c", "\u00e9", "a", "b"]


def canon(v):
    """A value as text that tells floats apart by their bits (NaN payloads
    aside) and lists dict items in key order."""
    if isinstance(v, float):
        return "nan" if math.isnan(v) else struct.pack("<d", v).hex()
    if isinstance(v, dict):
        return "{" + ", ".join(f"{k!r}: {canon(v[k])}" for k in sorted(v)) + "}"
    if isinstance(v, (list, tuple)):
        return "[" + ", ".join(canon(x) for x in v) + "]"
    return repr(v)


def outcome(call):
    """What a call gives: its value, or its exception's type and text."""
    try:
        return canon(call())
    except (ValueError, TypeError, OverflowError) as e:
        return f"{type(e).__name__}: {e}"


class Kind:
    """A class and how the state tests drive it.

    columns(rng, n): the data of n stream items, a tuple of arrays (monitors)
    or one array or list (detectors). feed(obj, cols) adds them in one batch;
    push(obj, cols, i) adds item i alone. changes: calls (rng -> (name, args))
    that change an instance. shows: read-only calls (obj -> value).
    merge: None, "exact" (counts), "sums" (double sums), "decay" (weights)."""

    def __init__(self, cls, make, columns, changes, shows, merge=None, flushes=False, stream=True):
        self.cls = cls
        self.make = make
        self.columns = columns
        self.changes = changes
        self.shows = shows
        self.merge = merge
        self.flushes = flushes
        self.stream = stream

    @property
    def name(self):
        return self.cls.__name__

    def feed(self, obj, cols):
        if isinstance(cols, tuple):
            obj.push_batch(*cols)
        else:
            obj.update_stream_batch(cols)

    def push(self, obj, cols, i):
        if isinstance(cols, tuple):
            obj.push(*[c[i].item() for c in cols])
        else:
            obj.update_stream(cols[i].item() if isinstance(cols, np.ndarray) else cols[i])

    def take(self, cols, start, stop):
        if isinstance(cols, tuple):
            return tuple(c[start:stop] for c in cols)
        return cols[start:stop]

    def show(self, obj):
        """Every read-only answer (a flush window's age aside: it is the clock's)."""
        return [outcome(lambda s=s: s(obj)) for s in self.shows]

    def stable(self, b):
        """Bytes less what the clock changes: a flush detector's window age
        (the 12 bytes before the checksum) and the checksum."""
        return b[:-16] if self.flushes else b


# ---- monitors ------------------------------------------------------------------------------


def _labels(rng, n, high):
    return rng.integers(0, high, n).astype(np.int64)


def _monitor_shows(names):
    return [
        lambda m: m.performance_snapshot(),
        lambda m: m.drift_snapshot(),
        lambda m: m.drift_report(0.1),
        lambda m: m.drift_report_partial_metrics(names[::3], 0.05),
    ]


def _monitor_changes(columns, extra=()):
    return [
        lambda rng: ("push_batch", columns(rng, int(rng.integers(0, 40)))),
        lambda rng: ("push_batch", columns(rng, int(rng.integers(0, 40)))),
        lambda rng: ("push", tuple(c[0].item() for c in columns(rng, 1))),
        lambda rng: ("flush", ()),
        lambda rng: ("reset_baseline", columns(rng, int(rng.integers(1, 12)))),
        *extra,
    ]


def _bias_columns(k):
    return lambda rng, n: tuple(_labels(rng, n, 3 if i == 0 else 2) for i in range(k))


def _regression_columns(rng, n):
    return rng.normal(2.0, 1.0, n).astype(np.float32), rng.normal(2.0, 1.2, n).astype(np.float32)


def _logistic_columns(rng, n):
    return _labels(rng, n, 2).astype(np.float64), rng.uniform(0.0, 1.0, n)


def _binary_columns(rng, n):
    return _labels(rng, n, 2), _labels(rng, n, 2)


MODEL_BASE = ([1, 1, 1, 1, 0, 0, 0, 0, 1, 0], [1, 1, 0, 0, 1, 1, 0, 0, 0, 1], [1, 0, 0, 1, 1, 0, 0, 1, 1, 0])

MONITORS = [
    Kind(L.PyDataBiasStreaming, lambda: L.PyDataBiasStreaming([1, 0, 1, 0, 1, 2], [1, 0, 0, 0, 1, 1]),
         _bias_columns(2), _monitor_changes(_bias_columns(2)), _monitor_shows(DATA_BIAS), merge="exact"),
    Kind(L.PyModelBiasStreaming, lambda: L.PyModelBiasStreaming(*MODEL_BASE),
         _bias_columns(3), _monitor_changes(_bias_columns(3)), _monitor_shows(MODEL_BIAS), merge="exact"),
    Kind(L.PyBinaryClassificationStreaming,
         lambda: L.PyBinaryClassificationStreaming([1, 0, 1, 1, 0], [1, 1, 0, 1, 0]),
         _binary_columns, _monitor_changes(_binary_columns), _monitor_shows(CLASSIFICATION), merge="exact"),
    Kind(L.PyLinearRegressionStreaming,
         lambda: L.PyLinearRegressionStreaming([3.0, 1.5, 4.0, 2.0], [2.5, 1.5, 4.5, 2.0]),
         _regression_columns, _monitor_changes(_regression_columns), _monitor_shows(REGRESSION), merge="sums"),
    Kind(L.PyLogisticRegressionStreaming,
         lambda: L.PyLogisticRegressionStreaming([1.0, 0.0, 1.0, 1.0, 0.0], [0.9, 0.2, 0.4, 0.8, 0.6], 0.5),
         _logistic_columns,
         _monitor_changes(_logistic_columns, extra=[
             lambda rng: ("reset_baseline_and_decision_threshold",
                          (*_logistic_columns(rng, int(rng.integers(1, 12))), float(rng.uniform(0.0, 1.0)))),
         ]),
         _monitor_shows(LOGISTIC), merge="sums"),
]


# ---- drift detectors -----------------------------------------------------------------------


def _cont_columns(rng, n):
    v = rng.normal(0.3, 1.3, n)
    if n > 3 and rng.integers(0, 4) == 0:
        v[int(rng.integers(0, n))] = rng.choice([np.nan, np.inf, -np.inf, 1e300])
    return v


def _cat_columns(rng, n):
    return [LABELS[i] for i in rng.integers(0, len(LABELS), n)]


def _streaming_changes(columns, flushes):
    changes = [
        lambda rng: ("update_stream_batch", (columns(rng, int(rng.integers(0, 60))),)),
        lambda rng: ("update_stream_batch", (columns(rng, int(rng.integers(0, 60))),)),
        lambda rng: ("update_stream", (columns(rng, 1)[0],)),
        # A decay detector decays once per computation: a change, not a view.
        lambda rng: ("compute_drift", (DRIFT[int(rng.integers(0, 4))],)),
        lambda rng: ("compute_drift_multiple_criteria", (DRIFT[: int(rng.integers(1, 5))],)),
        lambda rng: ("reset_baseline", (columns(rng, int(rng.integers(2, 40))),)),
    ]
    if flushes:
        changes.append(lambda rng: ("flush", ()))
    return changes


_STREAM_SHOWS = [
    lambda d: d.export_snapshot(),
    lambda d: d.export_baseline(),
    lambda d: d.total_samples,
    lambda d: d.n_bins,
]


def _streaming(cls, make, columns, flushes):
    return Kind(cls, make, columns, _streaming_changes(columns, flushes), _STREAM_SHOWS,
                merge="exact" if flushes else "decay", flushes=flushes)


def _batch(cls, make, columns):
    changes = [
        lambda rng: ("compute_drift", (columns(rng, int(rng.integers(1, 50))), DRIFT[int(rng.integers(0, 4))])),
        lambda rng: ("reset_baseline", (columns(rng, int(rng.integers(2, 40))),)),
    ]
    probe = columns(FixedRng(3), 40)
    shows = [
        lambda d: d.export_baseline(),
        lambda d: d.num_bins,
        lambda d: d.compute_drift_mutliple_criteria(probe, DRIFT),
    ]
    return Kind(cls, make, columns, changes, shows, stream=False)


DETECTORS = [
    _batch(L.PyCategoricalDataDrift, lambda: L.PyCategoricalDataDrift(CAT_BASE), _cat_columns),
    _batch(L.PyContinuousDataDrift, lambda: L.PyContinuousDataDrift(CONT_BASE, "Scott"), _cont_columns),
    _streaming(L.PyStreamingContinuousDataDriftFlush,
               lambda: L.PyStreamingContinuousDataDriftFlush(CONT_BASE, "Sturges", 5000, 3600),
               _cont_columns, flushes=True),
    _streaming(L.PyStreamingContinuousDataDriftDecay,
               lambda: L.PyStreamingContinuousDataDriftDecay(CONT_BASE, None, 3), _cont_columns, flushes=False),
    _streaming(L.PyStreamingCategoricalDataDriftFlush,
               lambda: L.PyStreamingCategoricalDataDriftFlush(CAT_BASE, 5000, 3600), _cat_columns, flushes=True),
    _streaming(L.PyStreamingCategoricalDataDriftDecay,
               lambda: L.PyStreamingCategoricalDataDriftDecay(CAT_BASE, 5), _cat_columns, flushes=False),
]

KINDS = DETECTORS + MONITORS
MERGING = [k for k in KINDS if k.merge is not None]


def apply(obj, name, args):
    """The outcome of one change on an instance."""
    return outcome(lambda: getattr(obj, name)(*args))
