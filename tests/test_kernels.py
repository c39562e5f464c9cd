"""The package's compiled kernels: tallies that add up across chunks, metrics
from tallies equal to the module on masks, and refusals of bad arguments."""

import shutil
import subprocess
import threading

import numpy as np
import pytest

import _lumetra
from hostile import Boom, EqRaises, FloatRaises, IndexRaises
from lumetra import _kernels

rng = np.random.default_rng(5)
N = 5000
CODES = rng.integers(-1, 6, N).astype(np.int16)  # -1: row left out
TRUTH = rng.integers(0, 2, N)
PRED = rng.random(N)


def cells_by_hand(codes, truth, pred, groups):
    out = np.zeros((groups, 4 if pred is not None else 2), dtype=np.uint64)
    for c, t, p in zip(codes, truth, pred if pred is not None else [0] * len(codes)):
        if c >= 0:
            out[c, int(t) + 2 * int(p)] += 1
    return out


@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64])
def test_tally_reads_every_integer_code_dtype(dtype):
    codes = np.where(CODES < 0, 0, CODES).astype(dtype)
    got = _kernels.tally(codes, 6, TRUTH, "==", 1, PRED, ">=", 0.5)
    assert np.array_equal(got, cells_by_hand(codes, TRUTH == 1, PRED >= 0.5, 6))


def misaligned(a):
    """The same values one byte off their natural alignment."""
    raw = np.zeros(a.nbytes + 1, dtype=np.uint8)
    raw[1:] = a.view(np.uint8)
    return raw[1:].view(a.dtype)


@pytest.mark.parametrize("dtype", [np.int8, np.int16, np.int32, np.int64])
@pytest.mark.parametrize("layout", ["every second", "reversed", "misaligned"])
def test_truth_tally_of_codes_not_in_adjacent_elements(dtype, layout):
    # Signed codes in adjacent elements take the truth-only pass, others the
    # general one; with codes of -1 left out both count the same.
    codes = CODES.astype(dtype)
    spaced = {
        "every second": lambda: np.repeat(codes, 2)[::2],
        "reversed": lambda: codes[::-1].copy()[::-1],
        "misaligned": lambda: misaligned(codes),
    }[layout]()
    assert np.array_equal(spaced, codes)
    expected = cells_by_hand(codes, TRUTH == 1, None, 6)
    assert np.array_equal(_kernels.tally(codes, 6, TRUTH, "==", 1), expected)
    assert np.array_equal(_kernels.tally(spaced, 6, TRUTH, "==", 1), expected)


@pytest.mark.parametrize(
    "column, rule, value, expected",
    [
        (np.array([0.5, 1.0, np.nan, 2.0], dtype=np.float32), ">=", 1, [0, 1, 0, 1]),
        (np.array([0.1, 0.2, 0.3]), "==", 0.2, [0, 1, 0]),
        (np.array([-3, 7, 7], dtype=np.int64), "==", 7, [0, 1, 1]),
        (np.array([2**64 - 1, 1], dtype=np.uint64), "==", 2**64 - 1, [1, 0]),
        (np.array([True, False]), "==", 1, [1, 0]),
        (np.array([1, 2, 3], dtype=np.uint8)[::-1], ">=", 2, [1, 1, 0]),  # negative stride
    ],
)
def test_tally_rules_compare_in_the_column_type(column, rule, value, expected):
    got = _kernels.tally(np.zeros(len(column), dtype=np.int8), 1, column, rule, value)
    assert got.tolist() == [[len(expected) - sum(expected), sum(expected)]]


def test_tallies_of_chunks_add_up():
    whole = _kernels.tally(CODES, 6, TRUTH, "==", 1, PRED, ">=", 0.5)
    parts = sum(
        _kernels.tally(CODES[s], 6, TRUTH[s], "==", 1, PRED[s], ">=", 0.5)
        for s in (slice(0, 1234), slice(1234, 4000), slice(4000, None))
    )
    assert np.array_equal(whole, parts)


def masks_for(codes, g, reference):
    rows = (codes >= 0) if reference is None else ((codes == g) | (codes == reference))
    return (codes[rows] == g).astype(np.float64), rows


@pytest.mark.parametrize("reference", [None, 3])
def test_bias_from_tallies_equals_the_module_on_masks(reference):
    truth = TRUTH == 1
    pred = PRED >= 0.5
    data = _kernels.bias(_kernels.tally(CODES, 6, TRUTH, "==", 1), reference)
    tallies = _kernels.tally(CODES, 6, TRUTH, "==", 1, PRED, ">=", 0.5)
    entropy = _kernels.generalized_entropy(CODES, 6, TRUTH, "==", 1, PRED, ">=", 0.5, reference)
    model = _kernels.bias(tallies, reference, entropy)
    seg = (1.0, None, "GreaterThanEqualTo")
    for g in range(6):
        feature, rows = masks_for(CODES, g, reference)
        t, p = truth[rows].astype(np.float64), pred[rows].astype(np.float64)
        assert data["n"][g] == feature.sum() and data["n_other"][g] == len(feature) - feature.sum()
        for result, call in (
            (data, lambda: _lumetra.py_data_bias_analyzer_explicit_seg(feature, *seg, t, *seg)),
            (model, lambda: _lumetra.py_model_bias_analyzer_explicit_seg(feature, *seg, t, *seg, p, *seg)),
        ):
            try:
                expected = call()
            except ValueError as error:
                assert result["error"][g] == str(error)
                continue
            assert result["error"][g] is None
            for name, value in expected.items():
                assert np.float64(value).tobytes() == result[name][g].tobytes(), (g, name)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: _kernels.tally(np.array([0.5]), 1, TRUTH[:1], "==", 1), TypeError, "groups must hold integer"),
        (lambda: _kernels.tally(np.array([2]), 2, TRUTH[:1], "==", 1), ValueError, "at or beyond n_groups"),
        # Refused before a table of that many groups is asked of the allocator.
        (lambda: _kernels.tally(np.array([0]), 2**40, TRUTH[:1], "==", 1), ValueError, "n_groups is too large"),
        (lambda: _kernels.performance_moments("logistic", np.array([0]), 2**32 + 1, TRUTH[:1], "==", 1,
                                              np.array([0.5]), 0.5), ValueError, "n_groups is too large"),
        (lambda: _kernels.tally(np.array([0, 1]), 2, TRUTH[:1], "==", 1), ValueError, "one value per row"),
        (lambda: _kernels.tally(np.array([0]), 1, TRUTH[:1], "<", 1), ValueError, "rule must be"),
        (lambda: _kernels.tally(np.array([0]), 1, TRUTH[:1], "==", 1.5), TypeError, "must be an int"),
        (lambda: _kernels.tally(np.array([0]), 1, np.array([1], np.int8), "==", 300), ValueError, "out of the"),
        (lambda: _kernels.tally(np.array([0]), 1, np.array(["a"]), "==", 1), TypeError, "numeric or bool"),
        (lambda: _kernels.tally(np.zeros((1, 1), np.int8), 1, TRUTH[:1], "==", 1), TypeError, "1-D NumPy"),
        (lambda: _kernels.tally([0], 1, TRUTH[:1], "==", 1), TypeError, "1-D NumPy"),
        (lambda: _kernels.bias(np.zeros((2, 3), np.uint64)), ValueError, "2 or 4 cells"),
        (lambda: _kernels.bias(np.zeros((2, 4), np.uint64)), TypeError, "need the groups' entropy"),
        (lambda: _kernels.bias(np.zeros((2, 2), np.uint64), 2), ValueError, "reference must be"),
        (lambda: _kernels.bias(np.zeros((2, 2), np.int64)), TypeError, "Cannot cast"),
        (lambda: _kernels.performance("regresion", np.zeros(1, np.int8), 1, PRED[:1], None, None, PRED[:1]),
         ValueError, "task must be one of 'regression', 'classification', 'logistic'; got 'regresion'"),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call()


ONE = np.zeros(1, np.int8)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: _kernels.tally(ONE, IndexRaises(), TRUTH[:1], "==", 1), Boom),
        (lambda: _kernels.tally(ONE, 1, TRUTH[:1], "==", FloatRaises()), TypeError),
        (lambda: _kernels.tally(ONE, 1, PRED[:1], "==", FloatRaises()), TypeError),
        (lambda: _kernels.tally(ONE, 1, TRUTH[:1], EqRaises(), 1), TypeError),
        (lambda: _kernels.bias(np.zeros((2, 2), np.uint64), IndexRaises()), Boom),
        (lambda: _kernels.performance("logistic", ONE, 1, TRUTH[:1], "==", 1, PRED[:1], None, None, FloatRaises()),
         Boom),
    ],
)
def test_hostile_arguments_raise_their_own_errors(call, error):
    with pytest.raises(error):
        call()


def test_performance_by_group_equals_the_batch_functions():
    codes = np.where(CODES < 0, 0, CODES)
    y = rng.normal(size=N)
    reg = _kernels.performance("regression", codes, 6, y, None, None, PRED, None, None, 0.5)
    cls = _kernels.performance("classification", codes, 6, TRUTH, "==", 1, TRUTH[::-1].copy(), "==", 1, 0.5)
    log = _kernels.performance("logistic", codes, 6, TRUTH, "==", 1, PRED, None, None, 0.3)
    for g in range(6):
        rows = codes == g
        t = (TRUTH[rows] == 1).astype(np.float64)
        expected = [
            (reg, _lumetra.py_model_perf_linear_regression(y[rows], PRED[rows])),
            (cls, _lumetra.py_model_perf_classification(t, (TRUTH[::-1][rows] == 1).astype(np.float64))),
            (log, _lumetra.py_model_perf_logistic_regression(t, PRED[rows], 0.3)),
        ]
        for result, want in expected:
            assert result["n"][g] == rows.sum()
            for name, value in want.items():
                assert np.float64(value).tobytes() == result[name][g].tobytes(), (g, name)


def test_an_omitted_threshold_is_the_one_the_signature_shows():
    codes = np.zeros(N, np.int8)
    args = ("logistic", codes, 1, TRUTH, "==", 1, PRED)
    for kernel in (_kernels.performance, _kernels.performance_state):
        omitted, given = kernel(*args), kernel(*args, threshold=0.5)
        for key in given:
            assert repr(omitted[key]) == repr(given[key]), (kernel.__name__, key)
    assert repr(_kernels.performance_moments(*args)) == repr(_kernels.performance_moments(*args, 0.5))


def test_kernels_run_alongside_other_threads():
    # The passes release the interpreter lock; results stay the same.
    expected = _kernels.tally(CODES, 6, TRUTH, "==", 1)
    results = []
    threads = [threading.Thread(target=lambda: results.append(_kernels.tally(CODES, 6, TRUTH, "==", 1)))
               for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(r, expected) for r in results)


def test_shared_object_exports_only_its_initialiser():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", _kernels.__file__], capture_output=True, text=True, check=True)
    assert [line.split()[-1] for line in out.stdout.splitlines()] == ["PyInit__kernels"]


class Resizes:
    """An argument whose conversion resizes an array read before it (the
    memory of that array moves), then converts to `value`."""

    def __init__(self, array, shape, value):
        self.array, self.shape, self.value = array, shape, value

    def _resize(self):
        self.array.resize(self.shape, refcheck=False)
        return self.value

    __index__ = _resize
    __float__ = _resize


def test_arrays_are_read_again_after_a_later_argument_ran_code():
    codes = np.zeros(4, np.int8)
    label = np.arange(4.0)
    with pytest.raises(ValueError, match="one value per row"):
        _kernels.performance("regression", codes, 1, label, None, None, label.copy(), None, None,
                             Resizes(label, 100_000, 0.5))
    tallies = np.ones((2, 2), np.uint64)
    result = _kernels.bias(tallies, Resizes(tallies, (6, 2), 0))
    assert result["n"].tolist() == [2, 2, 0, 0, 0, 0]  # the new rows are zeros
