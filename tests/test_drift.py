"""Batch drift detectors and the one-shot drift functions."""

import inspect
import math
import subprocess
import sys

import numpy as np
import pytest

import _lumetra
from drift_reference import METRICS, categorical_counts, edges_for, histogram, index_sum, metric
from hostile import Boom, IterRaises
from surface import CLASSES, FUNCTIONS

CONT = _lumetra.PyContinuousDataDrift
CAT = _lumetra.PyCategoricalDataDrift
EMPTY_RUNTIME = "Data used for runtime drift analysis must be non empty"
EMPTY_BASELINE = "Baseline data must be non empty"
UNSUPPORTED = "Unsupported drift type"
NOT_CONTIGUOUS = "The given array is not contiguous"
INF_MIN = "Baseline data must be finite: its minimum is -inf"
INF_MAX = "Baseline data must be finite: its maximum is inf"
SPREAD = "Baseline data is too spread: its maximum minus its minimum overflows a double"
HUNDRED = np.arange(100.0)


def f64(*values):
    return np.array(values, dtype=np.float64)


# ---- surface ------------------------------------------------------------------


def surface_signatures():
    for cls in (CONT, CAT):
        ctor, members = CLASSES[cls.__name__]
        yield cls, ctor
        yield from ((getattr(cls, name), sig) for name, sig in members.items() if sig is not None)
    for name in ("py_compute_drift_continuous_distribtuion", "py_compute_drift_categorical_distribtuion"):
        yield getattr(_lumetra, name), FUNCTIONS[name]


@pytest.mark.parametrize("obj, signature", list(surface_signatures()))
def test_text_signatures(obj, signature):
    assert obj.__text_signature__ == signature


METRIC_PARAGRAPH = (
    '`drift_type` must be one of: `"JensenShannon"`, `"PopulationStabilityIndex"`,\n'
    '`"WassersteinDistance"`, `"KullbackLeibler"`.'
)


@pytest.mark.parametrize(
    "obj, doc",
    [
        (CONT, "Batch continuous data drift detector. Computes drift metrics between a fixed\n"
               "baseline histogram and a runtime data slice on each call."),
        (CAT, "Batch categorical data drift detector. Computes drift metrics between a fixed\n"
              "baseline label distribution and a runtime label slice on each call."),
        (CONT.compute_drift, "Compute a single drift metric against `runtime_data`.\n\n" + METRIC_PARAGRAPH),
        (CAT.compute_drift, "Compute a single drift metric against `runtime_data`.\n\n" + METRIC_PARAGRAPH),
        (CONT.num_bins, "Number of histogram bins used for this baseline."),
        (CAT.num_bins, ""),
        (CONT.reset_baseline, "Replace the baseline with a new data slice, recomputing the histogram."),
        (CAT.reset_baseline, "Replace the baseline with a new set of labels, recomputing the distribution."),
        (CONT.export_baseline, "Return the baseline as a normalized probability distribution (sums to 1.0)."),
        (CAT.export_baseline, "Return the baseline label frequencies as a normalized distribution."),
        (CONT.compute_drift_mutliple_criteria, None),
    ],
)
def test_docs(obj, doc):
    assert obj.__doc__ == doc


def test_signatures_are_introspectable():
    assert list(inspect.signature(CONT).parameters) == ["baseline_data", "quantile_type_str"]
    assert not hasattr(CONT, "compute_drift_multiple_criteria")


# ---- baselines through the classes ----------------------------------------------


@pytest.mark.parametrize(
    "data, rule, bins, hist",
    [
        (HUNDRED, None, 5, [0.0, 0.33, 0.33, 0.01, 0.33]),
        (HUNDRED, "FreedmanDiaconis", 5, [0.0, 0.33, 0.33, 0.01, 0.33]),
        (HUNDRED, "Scott", 5, [0.0, 0.33, 0.33, 0.01, 0.33]),
        (HUNDRED, "Sturges", 7, [0.0, 0.2, 0.2, 0.2, 0.2, 0.0, 0.2]),
        (f64(0, 1, 2, 3), None, 3, [0.0, 0.25, 0.75]),
        (f64(1, 1), "Sturges", 3, [0.0, 1.0, 0.0]),
        (np.full(64, 2.0), "Sturges", 3, [0.0, 1.0, 0.0]),  # all equal: 3 bins under every rule
        (f64(0, 1), "Scott", 3, [0.0, 0.5, 0.5]),
    ],
)
def test_worked_baselines(data, rule, bins, hist):
    d = CONT(data, rule)
    assert d.num_bins == bins
    assert d.export_baseline() == pytest.approx(hist, abs=1e-15)
    assert math.fsum(d.export_baseline()) == pytest.approx(1.0)


def sorted_bin_count(values, rule):
    """A rule's bin count read off a stable sort of the values, the sums in
    plain Python floats in ascending order."""
    x = np.sort(values, kind="stable").tolist()
    n = len(x)
    if x[0] == x[-1]:
        return 3
    p = n ** -0.3333333333333333
    if rule == "Sturges":
        return max(math.floor(math.log2(n)) + 1, 3)
    if rule == "Scott":
        total = -0.0
        for v in x:
            total += v
        mean = total / n
        squares = -0.0
        for v in x:
            squares += (v - mean) * (v - mean)
        h = p * (math.sqrt((1.0 / (n - 1)) * squares) * 3.49)
        return max(math.ceil((x[-1] - x[0]) / h), 3)
    iqr = x[min(n - 1, math.floor(0.75 * n))] - x[math.floor(0.25 * n)]
    return 3 if iqr == 0.0 else max(math.ceil((x[-1] - x[0]) / (p * (iqr + iqr))), 3)


@pytest.mark.parametrize("rule", ["FreedmanDiaconis", "Scott", "Sturges"])
@pytest.mark.parametrize("shape", ["normal", "sorted", "integers", "zeros and ties", "wide"])
def test_large_baselines_are_those_of_a_sorted_copy(rule, shape):
    # Long enough that every rule takes its paths for large samples (a
    # sample of the values, partitions by range of value, several threads).
    from lumetra import _kernels

    rng = np.random.default_rng(len(shape))
    n = 200_003
    values = {
        "normal": lambda: rng.normal(size=n),
        "sorted": lambda: np.sort(rng.normal(size=n)),
        "integers": lambda: rng.integers(-20, 20, n).astype(np.float64),
        "zeros and ties": lambda: np.where(rng.random(n) < 0.6, np.where(rng.random(n) < 0.5, -0.0, 0.0),
                                           rng.integers(1, 4, n) * 0.5),
        "wide": lambda: rng.lognormal(0.0, 1.5, n) * np.where(rng.random(n) < 0.5, -1.0, 1.0),
    }[shape]()
    bins = sorted_bin_count(values, rule)
    assert CONT(values, rule).num_bins == bins
    got = _kernels.continuous_baseline(values, rule)
    # The first edge is the stable sort's first value: of equal zeros, the
    # first in the data's order, with its sign.
    x = np.sort(values, kind="stable")
    edges = np.array(edges_for(x[[0, -1]], bins))
    assert got["edges"].tobytes() == edges.tobytes()
    assert got["hist"].tobytes() == (histogram(values, edges, bins) / n).tobytes()


@pytest.mark.parametrize(
    "labels, expected",
    [
        (["b", "a", "b"], {"a": 1 / 3, "b": 2 / 3}),
        (["a"], {"a": 1.0}),
        (["ab", "a", "B", "é", "z"], {"B": 0.2, "a": 0.2, "ab": 0.2, "z": 0.2, "é": 0.2}),
    ],
)
def test_categorical_baselines_in_byte_order(labels, expected):
    d = CAT(labels)
    assert d.num_bins == len(expected) + 1
    got = d.export_baseline()
    assert list(got) == list(expected)  # exported in ascending byte-wise order
    assert got == pytest.approx(expected)


# ---- binning of runtime values -----------------------------------------------------


def test_out_of_range_values_go_to_the_open_bins():
    d = CONT(HUNDRED, None)
    w = d.compute_drift(f64(-5.0, 200.0), "WassersteinDistance")
    assert w == pytest.approx((0.33 + 0.33 + 0.01) / 3)
    # JensenShannon sees the outer bins, so moving the mass inside changes it.
    assert d.compute_drift(f64(-5.0, 200.0), "JensenShannon") != d.compute_drift(f64(10.0, 90.0), "JensenShannon")


@pytest.mark.parametrize(
    "runtime, same_as",
    [
        (f64(np.nan, np.nan), f64(-1.0, -1.0)),       # NaN counts in bin 0
        (f64(66.0, 66.0), f64(66.0, 66.0)),            # exactly the last edge: its own bin
        (f64(33.0), f64(40.0)),                        # on an edge: the bin it opens
        (f64(np.nextafter(33.0, 0.0)), f64(0.0)),     # just below the edge: the bin before
        (f64(np.inf, 1e300), f64(100.0, 150.0)),       # above the last edge: the last bin
        (f64(np.nextafter(66.0, 99.0)), f64(99.0)),
    ],
)
def test_values_on_edges_and_outside(runtime, same_as):
    d = CONT(HUNDRED, None)
    for name in METRICS:
        assert d.compute_drift(runtime, name) == d.compute_drift(same_as, name)


def test_last_edge_bin_differs_from_its_neighbours():
    d = CONT(HUNDRED, None)
    on_edge = d.compute_drift(f64(66.0), "KullbackLeibler")
    assert on_edge != d.compute_drift(f64(65.0), "KullbackLeibler")
    assert on_edge != d.compute_drift(f64(67.0), "KullbackLeibler")


# ---- metrics against an independent computation ---------------------------------------


@pytest.mark.parametrize("rule", [None, "Scott", "Sturges"])
@pytest.mark.parametrize("seed", [1, 2])
def test_continuous_metrics_match_reference(rule, seed):
    rng = np.random.default_rng(seed)
    base = rng.normal(0.0, 1.0, 3000)
    runtime = np.concatenate([rng.normal(0.4, 1.3, 2000), [np.nan, -10.0, 10.0]])
    d = CONT(base, rule)
    hist = d.export_baseline()
    counts = histogram(runtime, edges_for(base, d.num_bins), d.num_bins)
    # reference baseline shares computed from the same binning
    base_counts = histogram(base, edges_for(base, d.num_bins), d.num_bins)
    assert hist == [c / len(base) for c in base_counts]
    total = index_sum(counts)
    expected = [metric(name, hist, counts, total, continuous=True) for name in METRICS]
    assert d.compute_drift_mutliple_criteria(runtime, METRICS) == expected
    assert [d.compute_drift(runtime, name) for name in METRICS] == expected
    assert _lumetra.py_compute_drift_continuous_distribtuion(base, runtime, METRICS, rule) == expected


def test_categorical_metrics_match_reference():
    rng = np.random.default_rng(5)
    base = list(rng.choice(["x", "y", "z", "w"], size=500, p=[0.1, 0.2, 0.3, 0.4]))
    runtime = list(rng.choice(["x", "y", "z", "unseen"], size=700))
    d = CAT(base)
    shares = list(d.export_baseline().values()) + [0.0]
    counts = categorical_counts(runtime, sorted(set(base)))
    expected = [metric(name, shares, counts, index_sum(counts), continuous=False) for name in METRICS]
    assert d.compute_drift_mutliple_criteria(runtime, METRICS) == expected
    assert _lumetra.py_compute_drift_categorical_distribtuion(base, runtime, METRICS) == expected
    # The unseen-label slot is part of the categorical Wasserstein sum.
    disjoint = _lumetra.py_compute_drift_categorical_distribtuion(["a", "b"], ["c", "c"], ["WassersteinDistance"])
    assert disjoint == [pytest.approx(1.0)]


def test_identical_distributions_score_near_zero():
    d = CONT(HUNDRED, None)
    for name in METRICS:
        assert abs(d.compute_drift(HUNDRED, name)) < 1e-9
    assert CAT(["a", "b", "b"]).compute_drift(["b", "a", "b"], "JensenShannon") == pytest.approx(0.0, abs=1e-9)


def test_calls_are_independent_and_duplicates_recomputed():
    d = CONT(HUNDRED, None)
    runtime = f64(1.0, 50.0, 70.0)
    first = d.compute_drift(runtime, "PopulationStabilityIndex")
    assert d.compute_drift(runtime, "PopulationStabilityIndex") == first
    got = d.compute_drift_mutliple_criteria(runtime, ["PopulationStabilityIndex", "JensenShannon",
                                                      "PopulationStabilityIndex"])
    assert got[0] == got[2] == first
    assert d.compute_drift_mutliple_criteria(runtime, []) == []
    with pytest.raises(ValueError, match=EMPTY_RUNTIME):
        d.compute_drift_mutliple_criteria(f64(), [])  # still validated with no metrics


# ---- array and label intake ---------------------------------------------------------------


def layouts(values):
    native = np.asarray(values, dtype=np.float64)
    swapped = native.astype(">f8")
    raw = np.zeros(native.size * 8 + 1, dtype=np.uint8)
    unaligned = raw[1:].view(np.float64)
    unaligned[:] = native
    fortran = np.asfortranarray(native)
    return [native, swapped, unaligned, fortran]


def test_every_float64_layout_reads_the_same():
    rng = np.random.default_rng(9)
    base, runtime = rng.normal(size=500), rng.normal(0.5, 1.0, 400)
    expected = CONT(base, None).compute_drift_mutliple_criteria(runtime, METRICS)
    for b in layouts(base):
        for r in layouts(runtime):
            assert CONT(b, None).compute_drift_mutliple_criteria(r, METRICS) == expected


@pytest.mark.parametrize(
    "labels",
    [
        lambda v: list(v),
        lambda v: tuple(v),
        lambda v: np.array(v),                 # native unicode array, read in place
        lambda v: np.array(v, dtype=object),
        lambda v: np.array(v).astype(">U8"),   # byte-swapped unicode: read by iteration
        lambda v: np.array(v)[::-1][::-1],
        lambda v: np.repeat(np.array(v), 2)[::2],  # strided
    ],
)
def test_label_containers_read_the_same(labels):
    base = ["a", "bb", "é", "😀", "a"]
    runtime = ["a", "😀", "zz", "é", "bb", "bb"]
    expected = CAT(base).compute_drift_mutliple_criteria(runtime, METRICS)
    assert CAT(labels(base)).compute_drift_mutliple_criteria(labels(runtime), METRICS) == expected
    assert CAT(labels(base)).export_baseline() == CAT(base).export_baseline()


@pytest.mark.parametrize("width, n_runtime", [(w, 3000) for w in range(1, 11)] + [(8, 300_000)])
def test_unicode_arrays_bin_as_lists_at_every_width(width, n_runtime):
    # Cells of up to eight code points are hashed and compared by their width,
    # longer ones by the general path; labels that differ in one code point
    # only, shorter labels (trailing NULs) and labels the baseline never saw
    # must bin as the same texts given as a list do.
    rng = np.random.default_rng(width)
    alphabet = ["a", "b", "é", "😀"]
    stems = ["".join(rng.choice(alphabet, width)) for _ in range(6)]
    labels = stems + [s[:-1] + "z" for s in stems] + ["z" + s[1:] for s in stems] + [s[: width // 2] for s in stems]
    base = [labels[i] for i in rng.integers(0, len(labels) - 3, 500)]
    runtime = [labels[i] for i in rng.integers(0, len(labels), n_runtime)]
    expected = CAT(base).compute_drift_mutliple_criteria(runtime, METRICS)
    array = np.array(runtime, dtype=f"<U{width}")
    assert CAT(np.array(base, dtype=f"<U{width}")).compute_drift_mutliple_criteria(array, METRICS) == expected
    assert CAT(base).compute_drift_mutliple_criteria(array, METRICS) == expected


@pytest.mark.parametrize("width", [1, 5, 8, 12])
def test_unicode_arrays_with_more_labels_than_the_cell_cache_bin_as_lists(width):
    # Thousands of labels that differ in their last code point only fill the
    # cell cache's table, so cells share slots and are told apart by comparison.
    labels = ["é" * (width - 1) + chr(0x4E00 + i) for i in range(6000)]
    base = labels[::2]
    runtime = labels + labels[::-3]
    expected = CAT(base).compute_drift_mutliple_criteria(runtime, METRICS)
    assert CAT(base).compute_drift_mutliple_criteria(np.array(runtime), METRICS) == expected


def test_unicode_array_trailing_nuls_are_not_part_of_the_label():
    arr = np.array(["a\0", "b"])  # NumPy itself drops trailing NULs
    assert CAT(arr).export_baseline() == {"a": 0.5, "b": 0.5}


@pytest.mark.parametrize(
    "call, exc, message",
    [
        (lambda: CONT(f64(5.0), None), ValueError, EMPTY_BASELINE),
        (lambda: CONT(f64(), None), ValueError, EMPTY_BASELINE),
        (lambda: CONT(f64(1.0, np.nan, 2.0), None), ValueError, "NaN values are not supported"),
        (lambda: CONT(HUNDRED, "scott"), ValueError, UNSUPPORTED),
        # the rule is parsed before the array's layout is looked at
        (lambda: CONT(HUNDRED[::2], "bad"), ValueError, UNSUPPORTED),
        (lambda: CONT(HUNDRED[::2], None), TypeError, NOT_CONTIGUOUS),
        (lambda: CONT(HUNDRED[::-1], "Scott"), TypeError, NOT_CONTIGUOUS),
        (lambda: CONT([1.0, 2.0], None), TypeError,
         "argument 'baseline_data': 'list' object cannot be converted to 'PyUntypedArray'"),
        (lambda: CONT(np.arange(10), None), TypeError, "argument 'baseline_data': "),
        (lambda: CONT(np.ones((2, 2)), None), TypeError, "argument 'baseline_data': "),
        (lambda: CONT(HUNDRED, 3), TypeError, "argument 'quantile_type_str': 'int' object cannot be converted to 'str'"),
        (lambda: CONT(np.append(HUNDRED, 1e300), None), ValueError, "too many histogram bins"),
        (lambda: CONT(np.append(HUNDRED, np.inf), None), ValueError, INF_MAX),
        (lambda: CONT(np.append(HUNDRED, np.inf), "Sturges"), ValueError, INF_MAX),
        (lambda: CONT(np.append(HUNDRED, -np.inf), "Scott"), ValueError, INF_MIN),
        (lambda: CONT(f64(-np.inf, np.inf), "Sturges"), ValueError, INF_MIN),
        (lambda: CONT(f64(-1e308, 1e308, 0.0, 1.0), "Sturges"), ValueError, SPREAD),
        (lambda: CONT(f64(np.inf, np.nan), "Scott"), ValueError, "NaN values are not supported"),
        (lambda: _lumetra.py_compute_drift_continuous_distribtuion(f64(0.0, np.inf), f64(1.0), [], "Scott"),
         ValueError, INF_MAX),
        (lambda: CONT(HUNDRED, None).compute_drift(f64(), "JensenShannon"), ValueError, EMPTY_RUNTIME),
        (lambda: CONT(HUNDRED, None).compute_drift(f64(), "Nope"), ValueError, UNSUPPORTED),
        (lambda: CONT(HUNDRED, None).compute_drift(HUNDRED[::2], "JensenShannon"), TypeError, NOT_CONTIGUOUS),
        (lambda: CONT(HUNDRED, None).compute_drift_mutliple_criteria(f64(), ["JensenShannon", "Nope"]),
         ValueError, UNSUPPORTED),
        (lambda: CONT(HUNDRED, None).compute_drift_mutliple_criteria(HUNDRED, "JensenShannon"), TypeError,
         "argument 'drift_types': "),
        (lambda: CAT([]), ValueError, EMPTY_BASELINE),
        (lambda: CAT("abc"), TypeError, "argument 'baseline_data': "),
        (lambda: CAT([1, 2]), TypeError, "argument 'baseline_data': 'int' object cannot be converted to 'str'"),
        (lambda: CAT(["a"]).compute_drift([], "KullbackLeibler"), ValueError, EMPTY_RUNTIME),
        (lambda: CAT(["a"]).compute_drift(["a"], "kullbackleibler"), ValueError, UNSUPPORTED),
        (lambda: CAT(["a"]).compute_drift(np.array([1.5]), "JensenShannon"), TypeError, "argument 'runtime_data': "),
        (lambda: CAT(IterRaises()), Boom, "__iter__"),
        # one-shot functions: layout, then metric names, then rule, then the data itself
        (lambda: _lumetra.py_compute_drift_continuous_distribtuion(HUNDRED, HUNDRED[::2], ["Nope"], "bad"),
         TypeError, NOT_CONTIGUOUS),
        (lambda: _lumetra.py_compute_drift_continuous_distribtuion(f64(), f64(), ["Nope"], "bad"),
         ValueError, UNSUPPORTED),
        (lambda: _lumetra.py_compute_drift_continuous_distribtuion(f64(1.0), f64(), [], "sturges"),
         ValueError, UNSUPPORTED),
        (lambda: _lumetra.py_compute_drift_continuous_distribtuion(f64(1.0), f64(), [], None),
         ValueError, EMPTY_BASELINE),
        (lambda: _lumetra.py_compute_drift_continuous_distribtuion(HUNDRED, f64(), [], None),
         ValueError, EMPTY_RUNTIME),
        (lambda: _lumetra.py_compute_drift_categorical_distribtuion([], [], ["Nope"]), ValueError, UNSUPPORTED),
        (lambda: _lumetra.py_compute_drift_categorical_distribtuion([], [], []), ValueError, EMPTY_BASELINE),
        (lambda: _lumetra.py_compute_drift_categorical_distribtuion(["a"], [], []), ValueError, EMPTY_RUNTIME),
        (lambda: _lumetra.py_compute_drift_categorical_distribtuion(["a"], "a", []), TypeError,
         "argument 'candidate': "),
    ],
)
def test_failures(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc
    text = str(info.value)
    assert text == message or (message.endswith(": ") or message.startswith("too many") or
                               message.startswith("argument")) and message in text, text


# ---- failed calls change nothing ------------------------------------------------------------


def test_failed_continuous_reset_keeps_the_baseline():
    d = CONT(HUNDRED, "Sturges")
    before = (d.num_bins, d.export_baseline())
    for bad, exc in [(f64(1.0), ValueError), (f64(0.0, np.nan), ValueError), (HUNDRED[::2], TypeError),
                     (np.append(HUNDRED, np.inf), ValueError)]:
        with pytest.raises(exc):
            d.reset_baseline(bad)
        assert (d.num_bins, d.export_baseline()) == before
    d.reset_baseline(np.arange(1024.0))
    assert d.num_bins == 11  # the rule is kept, the bin count follows the data
    fd = CONT(HUNDRED, None)
    with pytest.raises(ValueError, match="too many"):
        fd.reset_baseline(np.append(HUNDRED, 1e300))
    assert fd.num_bins == 5


def test_failed_categorical_reset_keeps_the_baseline():
    d = CAT(["a", "b"])
    with pytest.raises(ValueError, match=EMPTY_BASELINE):
        d.reset_baseline([])
    assert d.num_bins == 3 and d.export_baseline() == {"a": 0.5, "b": 0.5}
    d.reset_baseline(["x", "y", "z", "z"])
    assert d.num_bins == 4 and d.export_baseline() == {"x": 0.25, "y": 0.25, "z": 0.5}


def test_failed_computation_leaves_no_counts_behind():
    d = CONT(HUNDRED, None)
    clean = d.compute_drift(f64(10.0), "JensenShannon")
    with pytest.raises(ValueError):
        d.compute_drift_mutliple_criteria(f64(90.0, 95.0), ["JensenShannon", "Nope"])
    with pytest.raises(ValueError):
        d.compute_drift(f64(), "JensenShannon")
    assert d.compute_drift(f64(10.0), "JensenShannon") == clean


# ---- re-entrancy: user code during conversion ------------------------------------------------


class ResizingNames:
    """A sequence of metric names whose item access reallocates an array that
    was converted earlier in the same call."""

    def __init__(self, target, names):
        self.target = target
        self.names = names

    def __len__(self):
        return len(self.names)

    def __getitem__(self, i):
        if i == 0:
            self.target.resize(1, refcheck=False)
            self.target[0] = self.target.dtype.type(50 if self.target.dtype.kind == "f" else "q")
        return self.names[i]


def test_array_reallocated_by_a_later_conversion_is_read_afresh():
    runtime = np.arange(0.0, 100.0, 0.5)
    got = CONT(HUNDRED, None).compute_drift_mutliple_criteria(runtime, ResizingNames(runtime, ["JensenShannon"]))
    assert got == CONT(HUNDRED, None).compute_drift_mutliple_criteria(f64(50.0), ["JensenShannon"])
    labels = np.array(["a", "b"] * 1000)
    got = CAT(["a", "b"]).compute_drift_mutliple_criteria(labels, ResizingNames(labels, ["JensenShannon"]))
    assert got == CAT(["a", "b"]).compute_drift_mutliple_criteria(["q"], ["JensenShannon"])


class MutatingLabels:
    """A label sequence whose iteration empties the list holding the names."""

    def __init__(self, items, victim):
        self.items, self.victim = items, victim

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        self.victim.clear()
        return self.items[i]


def test_label_list_mutated_during_conversion():
    names = ["a", "b"]
    d = CAT(names)
    # The first argument snapshot is unaffected by later mutation of the list.
    baseline = ["x", "y"]
    got = _lumetra.py_compute_drift_categorical_distribtuion(baseline, MutatingLabels(["x"], baseline),
                                                             ["WassersteinDistance"])
    assert got == _lumetra.py_compute_drift_categorical_distribtuion(["x", "y"], ["x"], ["WassersteinDistance"])
    assert d.num_bins == 3


class Surrogating:
    """An int (or a name sequence) whose conversion writes a lone surrogate,
    which has no UTF-8 form, into a unicode array converted earlier."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def poison(self):
        self.target[1] = "\ud800"

    def __index__(self):
        self.poison()
        return self.value

    def __len__(self):
        return len(self.value)

    def __getitem__(self, i):
        self.poison()
        return self.value[i]


@pytest.mark.parametrize("call", [
    lambda a: _lumetra.PyStreamingCategoricalDataDriftFlush(a, Surrogating(a, 5), None),
    lambda a: _lumetra.PyStreamingCategoricalDataDriftDecay(a, Surrogating(a, 5)),
    lambda a: CAT(["a"]).compute_drift_mutliple_criteria(a, Surrogating(a, ["JensenShannon"])),
    lambda a: _lumetra.py_compute_drift_categorical_distribtuion(a, ["a"], Surrogating(a, ["JensenShannon"])),
], ids=["flush", "decay", "batch", "function"])
def test_labels_made_unencodable_by_a_later_conversion_are_refused(call):
    # Refused as if the array had held the surrogate from the start, rather
    # than kept as a label that can never be exported.
    with pytest.raises(UnicodeEncodeError):
        call(np.array(["a", "b", "c"]))


def _beyond_unicode(n):
    """n labels of one code point, the last 0x110000 (no UTF-8 form; NumPy
    holds it only through a view)."""
    points = np.full(n, ord("a"), dtype=np.uint32)
    points[-1] = 0x110000
    return points.view("U1")


def _with_label(labels, at, label):
    out = np.array(labels, dtype="U8")
    out[at] = label
    return out


MANY = [f"l{i}" for i in range(6000)]  # more distinct cells than the label cache keeps


@pytest.mark.parametrize("runtime", [
    _with_label(["a", "b", "c"] * 10, 0, "\ud800"),
    _with_label(["a", "b", "c"] * 10, -1, "b\udfff"),
    _with_label(["a", "b"] * 300_000, -1, "\ud800"),  # released, on several threads
    _with_label(["a", "b"] * 300_000, 150_000, "\ud800"),
    _with_label(MANY * 2, -1, "\ud800"),  # met once the cache is full
    _beyond_unicode(10),
    _beyond_unicode(100_000),
], ids=["first", "last", "long-last", "long-middle", "cache-full", "beyond", "beyond-long"])
@pytest.mark.parametrize("names", [["JensenShannon"], ["NoSuchMetric"]], ids=["valid", "bad-name"])
def test_batch_runtime_labels_without_utf8_form_are_refused_first(runtime, names):
    # The runtime labels are checked as they are binned, not as they are
    # read; the refusal is still the one reading them gives (as the one-shot
    # function reads its candidate), ahead of an error in a later argument,
    # and the detector keeps no trace of it.
    def refusal(call):
        with pytest.raises(Exception) as e:
            call()
        return type(e.value), str(e.value)

    read = refusal(lambda: _lumetra.py_compute_drift_categorical_distribtuion(["a"], runtime, ["JensenShannon"]))
    assert issubclass(read[0], ValueError) or read[0] is SystemError  # NumPy cannot make a str of 0x110000
    d = CAT(["a", "b", "c", "l7"])
    assert refusal(lambda: d.compute_drift_mutliple_criteria(runtime, names)) == read
    assert refusal(lambda: d.compute_drift(runtime, names[0])) == read
    clean = np.array(["a", "l7", "zz"] * 5)
    assert d.compute_drift_mutliple_criteria(clean, ["JensenShannon"]) == \
        CAT(["a", "b", "c", "l7"]).compute_drift_mutliple_criteria(clean, ["JensenShannon"])


# Run apart: before the fix this read freed memory and could kill the process.
FINALIZER_RESIZES_BASELINE = """
import gc, numpy as np, _lumetra as m
baseline = np.array(["a", "b"] * 100000)
candidate = np.array(["\\U00010000"] * 2)

class ResizesBaseline:
    def __del__(self):
        baseline.resize(1_000_000, refcheck=False)

class Names:
    def __len__(self):
        return 1
    def __getitem__(self, i):
        raise IndexError
    def __iter__(self):
        # Byte-swapped, the candidate is read by iteration, whose allocations
        # collect this cycle: its finaliser moves the baseline to new memory.
        candidate.dtype = ">U1"
        d = ResizesBaseline(); d.me = d; del d
        gc.set_threshold(1)
        yield "JensenShannon"

got = m.py_compute_drift_categorical_distribtuion(baseline, candidate, Names())
gc.set_threshold(700, 10, 10)
want = m.py_compute_drift_categorical_distribtuion(list(baseline), list(candidate), ["JensenShannon"])
print(baseline.shape[0], got == want)
"""


def test_baseline_moved_by_a_finaliser_while_the_candidate_is_read_is_read_afresh():
    out = subprocess.run([sys.executable, "-c", FINALIZER_RESIZES_BASELINE], capture_output=True, text=True)
    assert (out.returncode, out.stdout.split()) == (0, ["1000000", "True"]), out.stderr


class _Label(str):
    """A str subclass: read through the same text as a str."""


_SHARED = "shared-label"


@pytest.mark.parametrize("labels", [
    ["b", "a", "c", "a"] * 50,
    ["b", _Label("a"), "é", "a"],
    ["b", "a", 3, "a"],
    [3, "a"],
    ["a", "b", 3],
    ["a", "\ud800", "b"],
    ["a", _SHARED, None],
    [],
], ids=["plain", "subclass and non-ascii", "int in the middle", "int first", "int last", "lone surrogate",
        "shared then None", "empty"])
def test_list_labels_read_as_their_tuple(labels):
    # A list is snapshot and viewed in one pass; it must give what the same
    # labels in a tuple give (read in place), results and refusals alike, and
    # leave every item's reference count as it was.
    def outcome(runtime):
        try:
            return CAT(["a", "b", "c", "é"]).compute_drift_mutliple_criteria(runtime, ["JensenShannon"])
        except Exception as e:  # the refusal is the outcome
            return type(e), str(e)

    before = sys.getrefcount(_SHARED)
    assert outcome(list(labels)) == outcome(tuple(labels))
    assert sys.getrefcount(_SHARED) == before


# Long enough to be binned on two threads (each its own share), with the odd
# item deep in the second share and past the first run of texts.
_LONG = 300_000


@pytest.mark.parametrize("odd, at", [
    ("é", _LONG - 1), ("é", 257), (_Label("a"), 200_000), (3, 200_000), (None, 0), ("\ud800", 299_999),
], ids=["non-ascii last", "non-ascii in the second run", "subclass", "int", "None first", "lone surrogate"])
@pytest.mark.parametrize("names", [["JensenShannon", "KullbackLeibler"], ["Nope"]], ids=["metrics", "bad metric"])
@pytest.mark.parametrize("call", ["method", "function"])
def test_long_list_with_one_odd_item_reads_as_its_tuple(odd, at, names, call):
    # A list's ASCII strs are binned where they are; any other item sends the
    # call down the road that views every text. Results and refusals (and
    # which argument's error wins) match the same labels in a tuple or a
    # unicode array, and the abandoned first reading leaves no trace on the
    # detector.
    base = ["a", "b", "c", "é"]
    labels = [base[i % 4] for i in range(_LONG)]
    labels[at] = odd
    detector = CAT(base)

    def outcome(runtime):
        try:
            if call == "method":
                return detector.compute_drift_mutliple_criteria(runtime, names)
            return _lumetra.py_compute_drift_categorical_distribtuion(base, runtime, names)
        except Exception as e:
            return type(e), str(e)

    want = outcome(tuple(labels))
    assert outcome(labels) == want
    assert outcome(labels) == want
    if all(isinstance(label, str) for label in labels):
        assert outcome(np.array(labels)) == want


def test_list_replaced_by_a_later_argument_is_read_as_it_now_stands():
    # Iterating the metric names runs Python code that replaces the labels
    # (freeing the strs read first): the list is read again, as it now stands.
    runtime = ["a" + str(i % 3) for i in range(100_000)]
    final = ["a0"] * 10 + ["b"] * 5

    class Names:
        names = ["JensenShannon", "PopulationStabilityIndex"]

        def __len__(self):
            return len(self.names)

        def __getitem__(self, i):
            runtime[:] = ["".join(("a", "0")) for _ in range(10)] + ["b"] * 5
            return self.names[i]

    detector = CAT(["a0", "a1", "b"])
    want = detector.compute_drift_mutliple_criteria(final, ["JensenShannon", "PopulationStabilityIndex"])
    assert detector.compute_drift_mutliple_criteria(runtime, Names()) == want


def test_list_binned_while_another_thread_replaces_its_items():
    # Binning a list keeps the interpreter lock, so another thread swapping
    # its items (and freeing the old strs) never interleaves with the call:
    # every result is that of one whole state of the list.
    import threading

    n = 1 << 16
    states = (["x", "y"] * (n // 2), ["y"] * n)
    runtime = list(states[0])
    detector = CAT(["x", "y"])
    wants = {tuple(detector.compute_drift_mutliple_criteria(list(s), ["JensenShannon"])) for s in states}
    stop = threading.Event()

    def swap():
        k = 0
        while not stop.is_set():
            k ^= 1
            runtime[:] = ["".join(s) for s in states[k]]

    t = threading.Thread(target=swap)
    t.start()
    try:
        got = {tuple(detector.compute_drift_mutliple_criteria(runtime, ["JensenShannon"])) for _ in range(40)}
    finally:
        stop.set()
        t.join()
    assert got <= wants
