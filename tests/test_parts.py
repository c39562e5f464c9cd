"""Kernels for data held in parts: the state of each chunk of rows merges into
the one-pass result (counts exactly, partial sums within their bound), the
generalized entropy carried from chunk to chunk equals one pass bit for bit,
and bin counts against a baseline's edges score as its detector does."""

import numpy as np
import pytest

import _lumetra
from lumetra import _kernels

rng = np.random.default_rng(21)
N = 6000
CODES = rng.integers(-1, 5, N).astype(np.int16)  # -1: row left out
TRUTH = rng.integers(0, 2, N)
SCORES = rng.random(N)
PREDICTED = rng.integers(0, 2, N).astype(np.int8)
SMALL_INTS = rng.integers(-20, 20, N).astype(np.float64)  # every regression sum exact

# Cut points of chunkings: one chunk, uneven chunks, empty chunks, one row per chunk at the end.
CHUNKINGS = [[], [1234, 4000], [0, 0, 2500, 2500, 5999], list(range(5990, 6000))]
METRICS = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]


def chunks(cuts):
    bounds = [0, *cuts, N]
    return [slice(a, b) for a, b in zip(bounds, bounds[1:])]


def merged(states, task):
    counts = sum(s["counts"] for s in states)
    sums = sum(s["sums"] for s in states)
    if task == "regression":  # the largest absolute error merges by max
        sums[:, 2] = np.max([s["sums"][:, 2] for s in states], axis=0)
    return counts, np.ascontiguousarray(sums).ravel()


TASKS = {
    "classification": (TRUTH, "==", 1, PREDICTED, "==", 1),
    "logistic": (TRUTH, "==", 1, SCORES, None, None),
    "regression exact": (SMALL_INTS, None, None, SMALL_INTS[::-1].copy(), None, None),
    "regression": (SCORES * 3, None, None, SCORES[::-1] * 2, None, None),
}


@pytest.mark.parametrize("cuts", CHUNKINGS, ids=["one", "uneven", "empty", "tail"])
@pytest.mark.parametrize("name", list(TASKS))
def test_performance_states_of_chunks_merge_into_the_one_pass_metrics(name, cuts):
    task = name.split()[0]
    label, label_rule, label_value, pred, pred_rule, pred_value = TASKS[name]
    whole = _kernels.performance(task, CODES, 5, label, label_rule, label_value, pred, pred_rule, pred_value, 0.4)
    states = [
        _kernels.performance_state(task, CODES[s], 5, label[s], label_rule, label_value, pred[s], pred_rule,
                                   pred_value, 0.4)
        for s in chunks(cuts)
    ]
    got = _kernels.performance_from_state(task, *merged(states, task))
    assert got.keys() == whole.keys() and got["error"] == whole["error"]
    for key in whole:
        if key == "error":
            continue
        if name in ("regression", "logistic"):
            # Partial sums added: within a few units in the last place of single precision.
            np.testing.assert_allclose(got[key], whole[key], rtol=4e-6, equal_nan=True)
        else:
            assert got[key].tobytes() == whole[key].tobytes(), key


def test_a_state_is_small_and_shaped_per_task():
    for task, (counts, sums) in {"classification": (4, 0), "logistic": (4, 1), "regression": (0, 10)}.items():
        label, label_rule, label_value, pred, pred_rule, pred_value = TASKS[task]
        state = _kernels.performance_state(task, CODES, 5, label, label_rule, label_value, pred, pred_rule,
                                           pred_value)
        assert state["counts"].shape == (5, counts) and state["counts"].dtype == np.uint64
        assert state["sums"].shape == (5, sums) and state["sums"].dtype == np.float64


def entropy_in_chunks(codes, groups, truth, pred, reference, bounds):
    """Both ordered passes of entropy_sums over the chunks, as a chunked reader runs them."""
    comparisons = groups if reference is not None else 1
    kept = codes >= 0
    cells = _kernels.tally(codes, groups, truth, "==", 1, pred, "==", 1)
    rows = cells.sum(axis=1)
    n = np.array([rows.sum()], np.uint64) if reference is None else rows + rows[reference] * (
        np.arange(groups) != reference)

    def run(terms):
        sums = np.zeros(comparisons, np.float32)
        for s in bounds:
            sums = _kernels.entropy_sums(codes[s], groups, truth[s], "==", 1, pred[s], "==", 1, reference, terms,
                                         sums)
        return sums

    totals = run(np.tile(np.array([0, 1, 2], np.float32), comparisons))
    out = run(_kernels.entropy_terms(totals, n.astype(np.uint64)))
    assert kept.any()
    return out, rows


@pytest.mark.parametrize("cuts", CHUNKINGS, ids=["one", "uneven", "empty", "tail"])
@pytest.mark.parametrize("reference", [None, 0, 3])
def test_entropy_carried_through_chunks_equals_one_pass(reference, cuts):
    sums, rows = entropy_in_chunks(CODES, 5, TRUTH, PREDICTED, reference, chunks(cuts))
    whole = _kernels.generalized_entropy(CODES, 5, TRUTH, "==", 1, PREDICTED, "==", 1, reference)
    for g in range(5):
        assert rows[g] > 0
        value = sums[0] if reference is None else sums[g]
        assert np.float32(value).tobytes() == whole[g].tobytes(), g


@pytest.mark.no_sanitizer(reason="a rounding check on 9.5 million rows (25 s unoptimised); the short columns "
                          "of the other tests run the same code")
def test_entropy_past_two_to_the_24_benefits_equals_one_pass():
    # 9.5 million rows, nine in ten with a negative truth (benefit 2): the
    # benefit total passes 2**24, where single-precision additions round.
    n = 9_500_000
    big = np.random.default_rng(3)
    codes = big.integers(0, 2, n).astype(np.int8)
    truth = (big.random(n) < 0.1).astype(np.int8)
    pred = big.integers(0, 2, n).astype(np.int8)
    bounds = [slice(0, 3_000_001), slice(3_000_001, 3_000_001), slice(3_000_001, n)]
    for reference in (None, 1):
        sums, _ = entropy_in_chunks(codes, 2, truth, pred, reference, bounds)
        whole = _kernels.generalized_entropy(codes, 2, truth, "==", 1, pred, "==", 1, reference)
        got = np.full(2, sums[0], np.float32) if reference is None else sums
        assert got.tobytes() == whole.tobytes()


BASELINES = {
    "normal": rng.normal(0, 1, 3000),
    "integers": rng.integers(0, 40, 3000).astype(np.float64),
    "one value": np.full(50, 2.5),
    "wide": np.concatenate([rng.normal(0, 1, 2000), [1e4, -1e4]]),  # many bins: the direct lookup
}
RUNTIME = np.concatenate([rng.normal(0.2, 1.3, 5000), rng.integers(0, 40, 500), [2.5, np.nan, np.inf, -np.inf, 1e13]])


@pytest.mark.parametrize("rule", [None, "Scott", "Sturges"])
@pytest.mark.parametrize("baseline", list(BASELINES))
def test_bin_counts_of_chunks_score_as_the_detector(baseline, rule):
    data = BASELINES[baseline]
    detector = _lumetra.PyContinuousDataDrift(data, rule)
    parts = _kernels.continuous_baseline(data, rule)
    assert parts["hist"].tolist() == detector.export_baseline() and len(parts["hist"]) == detector.num_bins
    # The runtime's own edges, the values just below and above each edge, in three chunks.
    edges = parts["edges"]
    runtime = np.concatenate([RUNTIME, edges, np.nextafter(edges, -np.inf), np.nextafter(edges, np.inf)])
    counts = sum(_kernels.continuous_counts(edges, c) for c in np.array_split(runtime, 3))
    assert counts.sum() == len(runtime)
    got = _kernels.drift_scores("continuous", parts["hist"], counts.astype(np.float64), METRICS)
    assert np.array(got).tobytes() == np.array(detector.compute_drift_mutliple_criteria(runtime, METRICS)).tobytes()


def test_label_counts_score_as_the_categorical_detector():
    baseline = rng.choice(np.array(["a", "b", "c", "ü"]), 400)
    runtime = rng.choice(np.array(["a", "b", "zz", "ü"]), 900)
    detector = _lumetra.PyCategoricalDataDrift(baseline)
    shares = detector.export_baseline()
    index = {label: i for i, label in enumerate(shares)}
    counts = np.bincount([index.get(v, len(shares)) for v in runtime.tolist()], minlength=len(shares) + 1)
    got = _kernels.drift_scores("categorical", np.array([*shares.values(), 0.0]), counts.astype(float), METRICS)
    assert np.array(got).tobytes() == np.array(detector.compute_drift_mutliple_criteria(runtime, METRICS)).tobytes()


def detector_error(call):
    with pytest.raises(ValueError) as caught:
        call()
    return str(caught.value)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: _kernels.continuous_baseline(np.array([1.0]), None),
         ValueError, detector_error(lambda: _lumetra.PyContinuousDataDrift(np.array([1.0]), None))),
        (lambda: _kernels.continuous_baseline(np.array([1.0, np.nan, 2.0]), "Scott"),
         ValueError, detector_error(lambda: _lumetra.PyContinuousDataDrift(np.array([1.0, np.nan, 2.0]), "Scott"))),
        (lambda: _kernels.continuous_baseline(np.array([1.0, 2.0]), "Median"), ValueError, None),
        (lambda: _kernels.drift_scores("continuous", np.array([0.5, 0.5, 0.0]), np.zeros(3), METRICS),
         ValueError, detector_error(
             lambda: _lumetra.PyContinuousDataDrift(np.arange(9.0), None).compute_drift(np.zeros(0), "JensenShannon"))),
        (lambda: _kernels.drift_scores("ordinal", np.ones(3), np.ones(3), METRICS), ValueError, "kind must be one of"),
        (lambda: _kernels.drift_scores("continuous", np.ones(3), np.ones(2), METRICS), ValueError, "one value per bin"),
        (lambda: _kernels.drift_scores("continuous", np.ones(3), np.ones(3), ["Hellinger"]), ValueError, None),
        (lambda: _kernels.continuous_counts(np.array([2.0, 1.0]), RUNTIME), ValueError, "ascending"),
        (lambda: _kernels.continuous_counts(np.array([0.0, np.nan]), RUNTIME), ValueError, "finite"),
        (lambda: _kernels.continuous_counts(np.zeros(0), RUNTIME), ValueError, "at least one"),
        (lambda: _kernels.performance_from_state("classification", np.zeros((2, 3), np.uint64), np.zeros(0)),
         ValueError, "4 counts and 0 sums per group"),
        (lambda: _kernels.performance_from_state("regression", np.zeros((2, 0), np.uint64), np.zeros(19)),
         ValueError, "0 counts and 10 sums per group"),
        (lambda: _kernels.performance_state("ranking", CODES, 5, TRUTH, "==", 1, SCORES), ValueError, "task must be"),
        (lambda: _kernels.entropy_sums(CODES, 5, TRUTH, "==", 1, PREDICTED, "==", 1, None, np.zeros(3, np.float32),
                                       np.zeros(2, np.float32)), ValueError, "1 comparisons need 3 terms"),
        (lambda: _kernels.entropy_sums(CODES, 5, TRUTH, "==", 1, PREDICTED, "==", 1, 5, np.zeros(15, np.float32),
                                       np.zeros(5, np.float32)), ValueError, "reference must be"),
        (lambda: _kernels.entropy_sums(CODES, 4, TRUTH, "==", 1, PREDICTED, "==", 1, None, np.zeros(3, np.float32),
                                       np.zeros(1, np.float32)), ValueError, "at or beyond n_groups"),
        (lambda: _kernels.entropy_terms(np.zeros(2, np.float32), np.zeros(3, np.uint64)), ValueError, "one integer"),
        (lambda: _kernels.entropy_terms(np.zeros(2, np.float32), np.zeros(2)), ValueError, "one integer"),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error) as caught:
        call()
    if message is not None:
        assert message in str(caught.value)
