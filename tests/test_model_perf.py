"""The three batch performance functions: regression, classification, logistic regression."""

import ctypes
import ctypes.util
import math
import os
import subprocess
import sys

import numpy as np
import pytest

import _lumetra as m
from hostile import Boom
from vocabulary import CLASSIFICATION as CLS_KEYS, LOGISTIC as LOG_KEYS, REGRESSION as REG_KEYS

REG = m.py_model_perf_linear_regression
CLS = m.py_model_perf_classification
LOG = m.py_model_perf_logistic_regression

f32 = np.float32

# The C library's single-precision logarithm, the one the module uses (NumPy
# has its own vectorised one, which may differ in the last bit).
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.logf.restype = ctypes.c_float
_libm.logf.argtypes = [ctypes.c_float]


def logf(x):
    return f32(_libm.logf(float(x)))


def a(*values, dtype=np.float64):
    return np.array(values, dtype=dtype)


def same(x, y):
    return (math.isnan(x) and math.isnan(y)) or x == y


def assert_same_dict(got, want):
    assert list(got) == list(want)
    assert all(same(got[k], want[k]) for k in want), (got, want)


# ---------------------------------------------------------------- regression

def test_regression_small_example():
    r = REG(a(1, 2, 3), a(1, 2, 4))
    assert list(r) == REG_KEYS
    log_err = math.log(4.0) - math.log(5.0)
    assert r == {
        "RootMeanSquaredError": float(f32(math.sqrt(1 / 3))),
        "MeanSquaredError": float(f32(1 / 3)),
        "MeanAbsoluteError": float(f32(1 / 3)),
        "RSquared": 0.5,
        "MaxError": 1.0,
        "MeanSquaredLogError": float(f32(log_err * log_err / 3)),
        "RootMeanSquaredLogError": float(f32(math.sqrt(log_err * log_err / 3))),
        "MeanAbsolutePercentageError": float(f32(1 / 9)),
    }


@pytest.mark.parametrize("t, p, key, expected", [
    ((0, 2), (1, 2), "MeanAbsolutePercentageError", math.inf),
    ((0, 2), (0, 2), "MeanAbsolutePercentageError", math.nan),
    ((-2, 1), (1, 1), "MeanSquaredLogError", math.nan),
    ((1, 1), (-1.5, 1), "RootMeanSquaredLogError", math.nan),
    ((-1, 1), (1, 1), "MeanSquaredLogError", math.inf),
    ((-1, 1), (-1, 1), "RootMeanSquaredLogError", math.nan),
    ((1, math.nan, 3), (2, 0, 3), "MeanSquaredError", math.nan),
    ((1, math.nan, 3), (2, 0, 3), "MaxError", 1.0),  # NaN pair ignored by the maximum
    ((math.nan, 1), (0, math.nan), "MaxError", 0.0),  # every pair NaN
    ((2, 2, 2), (1, 3, 2), "RSquared", 0.0),  # constant truth, residual not 0
    ((5,), (5,), "RSquared", 1.0),  # single exact pair
    ((5,), (4,), "RSquared", 0.0),
    ((1, 2), (2, 1), "RSquared", -3.0),
    ((0.1, 0.7, 0.3), (0.1, 0.7, 0.3), "RSquared", 1.0),
])
def test_regression_degenerate_values(t, p, key, expected):
    r = REG(a(*t), a(*p))
    assert len(r) == 8
    assert same(r[key], expected)


def test_regression_roots_are_rounded_from_double():
    # MSE 11/3: the root of the double, rounded, differs from the root of the float.
    r = REG(a(0, 0, 0), a(1, 1, 3))
    assert r["RootMeanSquaredError"] == float(f32(math.sqrt(11 / 3)))
    assert r["RootMeanSquaredError"] != float(np.sqrt(f32(11 / 3)))


def test_regression_float64_rounded_to_single_before_arithmetic():
    r = REG(a(1.0, 0.1, 1e8), a(1.0 + 1e-12, 0.1 + 1e-12, 1e8 + 1))
    assert r["MeanSquaredError"] == 0.0 and r["MaxError"] == 0.0 and r["RSquared"] == 1.0
    d = float(f32(0.1))
    assert REG(a(0.1), a(0.0))["MeanSquaredError"] == float(f32(d * d))


@pytest.mark.parametrize("t, p, exc, message", [
    ((), (1, 2, 3), ValueError, "Data vectors must be equal length"),
    ((1, 2, 3), (), ValueError, "Data vectors must be equal length"),
    ((), (), ValueError, "Empty data vectors"),
])
def test_regression_length_errors(t, p, exc, message):
    with pytest.raises(exc) as info:
        REG(a(*t), a(*p))
    assert info.value.args == (message,)


UNSUPPORTED = [
    np.array([True, False]),
    np.array(["a", "b"]),
    np.array([1.0, 2.0], dtype=object),
    np.array([1.0, 2.0], dtype=np.float16),
    np.array([1.0, 2.0], dtype=np.complex128),
    np.array([b"a", b"b"]),
]


@pytest.mark.parametrize("bad", UNSUPPORTED + [
    np.array([[1.0, 2.0], [3.0, 4.0]]),  # rows do not convert to float
    np.array(1.0),  # 0-d: no len()
])
@pytest.mark.parametrize("position", [0, 1])
def test_regression_unreadable_arrays_are_invalid_types(bad, position):
    good = a(1, 2)
    args = [good, good]
    args[position] = bad
    with pytest.raises(ValueError) as info:
        REG(*args)
    assert info.value.args == ("Invalid types passed",)


class IteratesWith(np.ndarray):
    """A 2-d array whose Python iteration raises the given exception."""

    exc = None

    def __iter__(self):
        raise self.exc


@pytest.mark.parametrize("exc, passes", [
    (ValueError("v"), False),
    (Boom("b"), False),
    (KeyboardInterrupt(), True),
    (SystemExit(3), True),
    (MemoryError(), True),
])
def test_regression_reports_unreadable_data_but_not_interrupts(exc, passes):
    arr = np.ones((2, 1)).view(IteratesWith)
    arr.exc = exc
    with pytest.raises(type(exc) if passes else ValueError) as info:
        REG(arr, a(1, 2))
    if not passes:
        assert info.value.args == ("Invalid types passed",)
    # The classification functions pass every error through.
    with pytest.raises(type(exc)):
        CLS(arr, a(1, 2))


# ------------------------------------------------------- reading of the arrays

BASE_T = [0.0, 1.0, 0.25, 1.0, 1.0, 0.0, 0.5, 1.0, 0.0]
BASE_P = [0.5, 1.0, 0.75, 0.5, 0.0, 0.125, 1.0, 1.0, 0.3]

def read_only(arr):
    arr.setflags(write=False)
    return arr


LAYOUTS = {
    "float32": lambda v: np.array(v, dtype=np.float32),
    "big-endian float64": lambda v: np.array(v, dtype=">f8"),
    "big-endian float32": lambda v: np.array(v, dtype=">f4"),
    "strided": lambda v: np.repeat(np.array(v), 3)[::3],
    "reversed": lambda v: np.array(v[::-1])[::-1],
    "column of a 2-d array": lambda v: np.array([v, v]).T[:, 0],
    "unaligned": lambda v: np.frombuffer(b"\0" + np.array(v).tobytes(), dtype=np.float64, offset=1),
    "read-only": lambda v: read_only(np.array(v)),
}


@pytest.mark.parametrize("layout", sorted(LAYOUTS))
@pytest.mark.parametrize("fn, extra", [(REG, ()), (CLS, ()), (LOG, (0.75,))])
def test_every_layout_reads_the_same_values(layout, fn, extra):
    want = fn(a(*BASE_T), a(*BASE_P), *extra)
    make = LAYOUTS[layout]
    assert_same_dict(fn(make(BASE_T), make(BASE_P), *extra), want)


INT_DTYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]


@pytest.mark.parametrize("dtype", INT_DTYPES)
@pytest.mark.parametrize("fn", [REG, CLS])
def test_integer_arrays_read_as_numbers(dtype, fn):
    t, p = [0, 1, 2, 1, 1], [1, 1, 2, 0, 1]
    want = fn(a(*t), a(*p))
    for make in (lambda v: np.array(v, dtype=dtype), lambda v: np.array(v * 2, dtype=dtype)[::2]):
        assert_same_dict(fn(make(t), make(p)), want)


def test_integers_pass_through_double_before_single_precision():
    # 2**60 + 2**36 + 1 is 2**60 + 2**36 as a double, a tie that rounds to
    # 2**60 in single precision; rounded directly it would be 2**60 + 2**37.
    v = 2**60 + 2**36 + 1
    r = REG(np.array([v], dtype=np.int64), np.array([float(2**60)]))
    assert r["MeanSquaredError"] == 0.0
    r = REG(np.array([v], dtype=np.uint64), np.array([2**60], dtype=np.uint64))
    assert r["MeanSquaredError"] == 0.0


def test_multidimensional_arrays_follow_python_float_conversion():
    # Rows of a 2-d array are converted as Python's float() converts them:
    # NumPy decides whether a one-element row is a number.
    col = np.array([[1.0], [2.0], [4.0]])
    try:
        rows_convert = [float(row) for row in col] == [1.0, 2.0, 4.0]
    except TypeError:
        rows_convert = False
    if rows_convert:
        assert REG(col, a(1, 2, 3))["MaxError"] == 1.0
    else:
        with pytest.raises(ValueError, match="^Invalid types passed$"):
            REG(col, a(1, 2, 3))


# ------------------------------------------------------------ classification

@pytest.mark.parametrize("t, p, key, expected", [
    ((1, 0, 1, 0), (1, 1, 0, 0), "BalancedAccuracy", 0.5),
    ((1, 0, 1, 0), (1, 1, 0, 0), "F1Score", 0.5),
    ((1, 1), (0.9999, 2.0), "RecallPositive", 0.0),  # only exactly 1.0 is positive
    ((1, 1), (1.0, math.nan), "RecallPositive", 0.5),
    ((-1, 0.5, 2), (0, 0, 0), "Accuracy", 1.0),  # all negative truth
    ((1, 1 + 1e-12), (1, 1), "Accuracy", 1.0),  # rounds to 1.0 in single precision
    ((1, 0), (0, 0), "PrecisionPositive", math.nan),  # no positive predictions
    ((1, 0), (0, 0), "F1Score", math.nan),
    ((1, 1, 1, 0, 0, 0, 0, 0, 0, 0), (1, 1, 0, 1, 0, 0, 0, 0, 0, 0), "PrecisionNegative", 6 / 7),
    ((1, 1, 1, 0, 0, 0, 0, 0, 0, 0), (1, 1, 0, 1, 0, 0, 0, 0, 0, 0), "RecallNegative", 6 / 7),
    ((1, 1, 1, 0, 0, 0, 0, 0, 0, 0), (1, 1, 0, 1, 0, 0, 0, 0, 0, 0), "PrecisionPositive", 2 / 3),
    ((1, 1, 1, 0, 0, 0, 0, 0, 0, 0), (1, 1, 0, 1, 0, 0, 0, 0, 0, 0), "Accuracy", 0.8),
])
def test_classification_cells(t, p, key, expected):
    r = CLS(a(*t), a(*p))
    assert list(r) == CLS_KEYS
    assert same(r[key], float(f32(expected)) if not math.isnan(expected) else expected)


def test_classification_of_empty_arrays_is_nan():
    r = CLS(a(), a())
    assert list(r) == CLS_KEYS
    assert all(math.isnan(v) for v in r.values())


def test_classification_counts_beyond_single_precision():
    # 2**24 + 2 true positives and one false negative: counted exactly, the
    # recall is 16777218 / 16777220 in single precision, not 1.0.
    n = 2**24 + 3
    t = np.ones(n, dtype=np.float32)
    p = np.ones(n, dtype=np.float32)
    p[-1] = 0
    r = CLS(t, p)
    assert r["RecallPositive"] == float(f32(16777218) / f32(16777220))
    assert r["RecallPositive"] < 1.0


@pytest.mark.parametrize("fn, extra", [(CLS, ()), (LOG, (0.5,))])
@pytest.mark.parametrize("bad", UNSUPPORTED)
def test_unsupported_dtypes_raise_unsupported_type(fn, extra, bad):
    with pytest.raises(TypeError) as info:
        fn(bad, a(1, 0), *extra)
    assert info.value.args == ("UnSupportedType",)
    with pytest.raises(TypeError) as info:
        fn(a(1, 0), bad, *extra)
    assert info.value.args == ("UnSupportedType",)


@pytest.mark.parametrize("fn, extra", [(CLS, ()), (LOG, (0.5,))])
def test_conversion_errors_pass_through_for_classification(fn, extra):
    # The length is asked first: a 0-d array fails there, even with a bool dtype.
    for zero_d in (np.array(1.0), np.array(True)):
        with pytest.raises(TypeError, match="unsized object"):
            fn(zero_d, a(1.0), *extra)
    # Rows of two values do not convert to float: Python's own TypeError.
    with pytest.raises(TypeError) as info:
        fn(np.ones((2, 2)), a(1, 0), *extra)
    assert info.value.args != ("UnSupportedType",)
    # y_true is read first.
    with pytest.raises(TypeError, match="unsized object"):
        fn(np.array(1.0), np.array([True]), *extra)


@pytest.mark.parametrize("fn, extra", [(CLS, ()), (LOG, (0.5,))])
def test_classification_length_mismatch(fn, extra):
    with pytest.raises(ValueError) as info:
        fn(a(1, 0), a(1), *extra)
    assert info.value.args == ("Data vectors must be equal length",)


# ------------------------------------------------------------------ logistic

def test_logistic_example():
    r = LOG(a(1, 0), a(0.8, 0.3), 0.5)
    assert list(r) == LOG_KEYS
    want = -(logf(0.8) + logf(f32(1) - f32(0.3))) / f32(2)
    assert r["LogLoss"] == float(want)
    assert r["LogLoss"] == pytest.approx(0.2899, abs=1e-4)
    assert all(r[k] == 1.0 for k in CLS_KEYS)


def log_loss_term(t, p, lo=f32(1e-12)):
    """One pair's term in single precision as the module forms it: the score
    clamped to [lo, 1 - lo], a factor of exactly 0 making its product 0."""
    c = min(max(f32(p), lo), f32(1) - lo)
    neg_factor = f32(1) - f32(t)
    neg = f32(0) if neg_factor == 0 else f32(neg_factor * logf(f32(1) - c))
    pos = f32(0) if t == 0 else f32(f32(t) * logf(c))
    return f32(neg + pos)


def test_logistic_log_loss_adds_its_terms_in_double():
    # A million pairs of one term: a single-precision running sum has a spacing
    # of 1/64 near its end, so it drifts by about 1% (0.10399 for 0.10536).
    # The terms are single precision, each widened and added in double in
    # index order (numpy's cumsum in float64 adds in that order), and -sum / n
    # is formed in double and rounded once.
    n = 1_000_000
    term = logf(0.9)
    assert -LOG(a(1.0), a(0.9), 0.5)["LogLoss"] == term  # one pair: the term itself
    got = LOG(np.ones(n, np.float32), np.full(n, 0.9, np.float32), 0.5)["LogLoss"]
    exact = -np.cumsum(np.full(n, float(term)))[-1] / n
    assert got == float(f32(exact))
    single = -np.cumsum(np.full(n, term, f32), dtype=f32)[-1] / f32(n)
    assert abs(single - exact) > 1e-2 * exact  # what a float sum gives instead

    # Terms of mixed sizes and signs of the factors, hard and soft truths, and
    # pairs clamped at both ends, over many blocks.
    rng = np.random.default_rng(8)
    truths = f32([0.0, 1.0, 0.25, 0.75])
    scores = np.concatenate([rng.random(29).astype(f32), f32([0.0, 1e-30, 0.5])])
    table = np.array([[float(log_loss_term(t, c)) for c in scores] for t in truths])
    ti, si = rng.integers(0, len(truths), 300_000), rng.integers(0, len(scores), 300_000)
    got = LOG(truths[ti], scores[si], 0.5)["LogLoss"]
    assert got == float(f32(-np.cumsum(table[ti, si])[-1] / len(ti)))


@pytest.mark.parametrize("t, p, expected", [
    ((1,), (1.0,), 0.0),  # 0 * ln(0) counts as 0
    ((0,), (0.0,), 0.0),
    ((0,), (1.0,), math.inf),  # confident and wrong
    ((1,), (0.0,), -float(logf(1e-12))),  # clamped up to the epsilon
    ((1, 0), (1.0, 0.0), 0.0),
])
def test_logistic_log_loss_at_the_ends(t, p, expected):
    assert LOG(a(*t), a(*p), 0.5)["LogLoss"] == expected


@pytest.mark.parametrize("t, p", [((), ()), ((1,), (math.nan,)), ((math.nan,), (0.5,))])
def test_logistic_nan_log_loss_is_invalid_data(t, p):
    with pytest.raises(TypeError) as info:
        LOG(a(*t), a(*p), 0.5)
    assert info.value.args == ("Metric cannot be computed with given data",)


def test_logistic_threshold_rule():
    # Threshold above every value: everything negative on both sides.
    r = LOG(a(1, 0, 0.5), a(0.8, 0.3, 0.6), 2.0)
    assert r["Accuracy"] == r["RecallNegative"] == r["PrecisionNegative"] == 1.0
    for k in ("PrecisionPositive", "RecallPositive", "F1Score", "BalancedAccuracy"):
        assert math.isnan(r[k])
    assert math.isfinite(r["LogLoss"])
    # Inclusive, and applied to the true values too.
    r = LOG(a(0.5, 0.4), a(0.5, 0.5), 0.5)
    assert r["RecallPositive"] == 1.0 and r["PrecisionPositive"] == 0.5


def test_logistic_threshold_and_values_compare_in_single_precision():
    # 0.3 - 1e-12 and 0.3 are one float: the pair is positive on both sides.
    r = LOG(a(0.3 - 1e-12), a(0.3 - 1e-12), 0.3)
    assert r["RecallPositive"] == 1.0
    r = LOG(a(1.0), a(0.3 - 1e-12), np.float64(0.3))
    assert r["PrecisionPositive"] == 1.0


# --------------------------------------------------------------- arguments

@pytest.mark.parametrize("fn, names", [
    (REG, ["y_true_src", "y_pred_src"]),
    (CLS, ["y_true_src", "y_pred_src"]),
    (LOG, ["y_true_src", "y_pred_src", "threshold"]),
])
def test_signatures_and_keywords(fn, names):
    assert fn.__text_signature__ == "(" + ", ".join(names) + ")"
    assert fn.__doc__ is None
    args = {"y_true_src": a(1, 0.5), "y_pred_src": a(1, 0), "threshold": 0.5}
    assert_same_dict(fn(**{k: args[k] for k in names}), fn(*[args[k] for k in names]))
    with pytest.raises(TypeError, match="missing 1 required positional argument: '%s'" % names[-1]):
        fn(*[args[k] for k in names[:-1]])


@pytest.mark.parametrize("fn, extra", [(REG, ()), (CLS, ()), (LOG, (0.5,))])
@pytest.mark.parametrize("position, name", [(0, "y_true_src"), (1, "y_pred_src")])
def test_non_arrays_are_refused_by_name(fn, extra, position, name):
    args = [a(1.0), a(1.0)]
    args[position] = [1.0]
    with pytest.raises(TypeError) as info:
        fn(*args, *extra)
    assert info.value.args == (
        f"argument '{name}': 'list' object cannot be converted to 'PyUntypedArray'",)


class FloatRaises:
    def __init__(self, exc):
        self.exc = exc

    def __float__(self):
        raise self.exc


class Half:
    def __float__(self):
        return 0.5


def test_threshold_conversion():
    assert LOG(a(1, 0), a(0.8, 0.3), Half()) == LOG(a(1, 0), a(0.8, 0.3), 0.5)
    with pytest.raises(TypeError, match="^argument 'threshold': "):
        LOG(a(1.0), a(1.0), "0.5")
    with pytest.raises(TypeError, match="^argument 'threshold': "):
        LOG(a(1.0), a(1.0), None)
    with pytest.raises(ZeroDivisionError):  # not a TypeError: passes unchanged
        LOG(a(1.0), a(1.0), FloatRaises(ZeroDivisionError("boom")))
    # The arrays are checked before the threshold is converted.
    with pytest.raises(TypeError, match="^argument 'y_pred_src'"):
        LOG(a(1.0), [1.0], FloatRaises(ZeroDivisionError("boom")))


# ------------------------------------------------------- stability epsilon

def run_with_eps(eps, code):
    env = dict(os.environ, LUMETRA_STABILITY_EPS=eps)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return out.stdout.strip()


LOGISTIC_PROBE = """
import numpy as np, _lumetra as m
try:
    r = m.py_model_perf_logistic_regression(np.array([1.0, 0.0]), np.array([0.9, 0.0]), 0.5)
    print(repr(r["LogLoss"]))
except Exception as e:
    print(type(e).__name__, e)
"""


@pytest.mark.parametrize("eps, expected", [
    # Crossed clamp bounds (epsilon above 0.5, NaN or infinite): the log loss
    # cannot be computed, whatever the scores.
    ("0.75", "TypeError Metric cannot be computed with given data"),
    ("0.5000001", "TypeError Metric cannot be computed with given data"),
    ("nan", "TypeError Metric cannot be computed with given data"),
    ("inf", "TypeError Metric cannot be computed with given data"),
    # Bounds that meet: every score becomes 0.5.
    ("0.5", repr(float(-logf(0.5)))),
    # 0.25: 0.9 clamps to 0.75 and 0.0 to 0.25.
    ("0.25", repr(float(-(logf(0.75) + logf(f32(1) - f32(0.25))) / f32(2)))),
    # Default, and a text that does not parse, give 1e-12.
    ("not a number", repr(float(-(logf(0.9) + f32(0)) / f32(2)))),
])
def test_stability_epsilon_bounds(eps, expected):
    assert run_with_eps(eps, LOGISTIC_PROBE) == expected


# ------------------------------------------------------- arrays changed mid-read


class HookedIter(np.ndarray):
    """An array whose Python iteration first runs `hook`."""

    hook = None

    def __iter__(self):
        type(self).hook()
        return iter(self.view(np.ndarray).tolist())


@pytest.mark.parametrize("fn, extra, head, pred_head, pred_tail, key, expected", [
    (REG, (), 5.0, [1.0, 2.0, 3.0], 0.0, "MaxError", 4.0),
    (CLS, (), 1.0, [1.0, 1.0, 1.0], 0.0, "Accuracy", 1.0),
    (LOG, (0.5,), 1.0, [0.9, 0.9, 0.9], 0.1, "Accuracy", 1.0),
])
def test_y_true_resized_while_y_pred_is_read(fn, extra, head, pred_head, pred_tail, key, expected):
    # y_pred is read by iteration (byte-swapped), which lets user code grow
    # y_true into new memory: y_true is read as it stands afterwards (its old
    # buffer is gone), 1000 pairs with zeros after the first three.
    t = np.array([head] * 3)

    def grow():
        t.resize(1000, refcheck=False)

    HookedIter.hook = staticmethod(grow)
    p = np.array(pred_head + [pred_tail] * 997, dtype=">f8").view(HookedIter)
    assert fn(t, p, *extra)[key] == expected
