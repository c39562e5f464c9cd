import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _lumetra
from surface import CLASSES, FUNCTIONS

BUILT = [name for name in FUNCTIONS if hasattr(_lumetra, name)]
A = np.array([1.0, 2.0])


def test_contents_in_registration_order():
    public = [name for name in vars(_lumetra) if not name.startswith("_")]
    assert public == BUILT + [c for c in CLASSES if hasattr(_lumetra, c)]
    assert _lumetra.__doc__ == ""


@pytest.mark.parametrize("name", BUILT)
def test_text_signatures(name):
    fn = getattr(_lumetra, name)
    assert fn.__text_signature__ == FUNCTIONS[name]
    assert str(inspect.signature(fn)) == FUNCTIONS[name].replace("0.10", "0.1")
    expected_doc = "Method to perform data bias analysis" if name == "py_data_bias_analyzer" else None
    assert fn.__doc__ == expected_doc


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((A, A, 1), {}, "py_data_bias_analyzer() missing 1 required positional argument: 'ground_truth_label_or_threshold'"),
        ((A,), {}, "py_data_bias_analyzer() missing 3 required positional arguments: 'ground_truth_array', 'feature_label_or_threshold', and 'ground_truth_label_or_threshold'"),
        ((A, A), {}, "py_data_bias_analyzer() missing 2 required positional arguments: 'feature_label_or_threshold' and 'ground_truth_label_or_threshold'"),
        ((A, A, 1, 1, 1), {}, "py_data_bias_analyzer() takes 4 positional arguments but 5 were given"),
        ((A, A, 1, 1), {"w": 1}, "py_data_bias_analyzer() got an unexpected keyword argument 'w'"),
        ((A, A, 1, 1), {"ground_truth_array": A}, "py_data_bias_analyzer() got multiple values for argument 'ground_truth_array'"),
        # keywords are checked before surplus positionals, which come before missing ones
        ((A, A, 1, 1, 1), {"w": 1}, "py_data_bias_analyzer() got an unexpected keyword argument 'w'"),
        ((A, A, 1, 1, 1), {"feature_array": A}, "py_data_bias_analyzer() got multiple values for argument 'feature_array'"),
        (([1], A, 1, 1), {}, "argument 'feature_array': 'list' object cannot be converted to 'PyUntypedArray'"),
        ((A, (1,), 1, 1), {}, "argument 'ground_truth_array': 'tuple' object cannot be converted to 'PyUntypedArray'"),
        # converters run in parameter order: the first bad argument is named
        (([1], (1,), 1, 1), {}, "argument 'feature_array': 'list'"),
    ],
)
def test_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        _lumetra.py_data_bias_analyzer(*args, **kwargs)
    assert str(info.value).startswith(message)


def test_keywords_built_at_run_time_are_matched():
    name = "".join(["feature_", "array"])
    got = _lumetra.py_data_bias_analyzer(**{name: np.array([1, 0])}, ground_truth_array=np.array([1, 0]),
                                         feature_label_or_threshold=1, ground_truth_label_or_threshold=1)
    assert got["ClassImbalance"] == 0.0


def test_optional_arguments_accept_none_and_refuse_other_types():
    with pytest.raises(TypeError, match="^argument 'feat_segmentation_label': 'int' object cannot be converted to 'str'"):
        _lumetra.py_data_bias_analyzer_explicit_seg(A, None, 1, None, A, None, "a", None)


def test_repeated_init_returns_the_same_module():
    code = textwrap.dedent(
        """
        import sys, _lumetra
        first = _lumetra
        del sys.modules["_lumetra"]
        import _lumetra
        assert _lumetra is first
        """
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_second_interpreter_is_refused():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "run_in_subinterp"):
        pytest.skip("no sub-interpreter runner")
    code = textwrap.dedent(
        """
        import _lumetra, _testcapi
        rc = _testcapi.run_in_subinterp("import _lumetra")
        assert rc != 0, rc
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    assert "ImportError" in done.stderr and "sub-interpreters" in done.stderr


def test_only_the_initialiser_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm not available")
    out = subprocess.run([nm, "-D", "--defined-only", _lumetra.__file__], capture_output=True, text=True, check=True)
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit__lumetra"]


@pytest.mark.no_sanitizer(reason="a type check: mypy reads the sources and the stub, not the module's memory, "
                          "and its compiled code takes a minute under the sanitizer runtime")
def test_type_stub_matches_the_module():
    pytest.importorskip("mypy")
    stub_dir = pathlib.Path(__file__).resolve().parent.parent / "src"
    env = dict(os.environ, MYPYPATH=str(stub_dir))
    done = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_lumetra", "--ignore-missing-stub"],
        capture_output=True, text=True, env=env,
    )
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.no_sanitizer(reason="ASan reports a C++ allocation of 2**50 bytes instead of throwing std::bad_alloc")
def test_impossible_allocation_is_a_memory_error():
    # A broadcast view claims 2**50 elements while holding one: reading it
    # needs a mask of 2**50 bytes, which cannot be had.
    huge = np.broadcast_to(np.float64(1.0), (2**50,))
    with pytest.raises(MemoryError):
        _lumetra.py_data_bias_analyzer(huge, huge, 1.0, 1.0)


# Shaped (2**40, 0): no elements at all, yet 2**40 rows. Read by iteration,
# the first row already fails its number conversion; the row count alone
# must not be taken as a size to allocate for.
EMPTY_ROWS = np.empty((2**40, 0))
ONE = np.array([1.0])


@pytest.mark.parametrize("call, exc, message", [
    (lambda: _lumetra.py_model_perf_classification(EMPTY_ROWS, ONE), TypeError, None),
    (lambda: _lumetra.py_model_perf_classification(ONE, EMPTY_ROWS), TypeError, None),
    (lambda: _lumetra.py_model_perf_linear_regression(EMPTY_ROWS, ONE), ValueError, "Invalid types passed"),
    (lambda: _lumetra.py_data_bias_analyzer(ONE, EMPTY_ROWS, 1.0, 1.0), TypeError, None),
    (lambda: _lumetra.py_data_bias_analyzer(EMPTY_ROWS.astype(np.int64), ONE, 1, 1.0), TypeError, None),
    (lambda: _lumetra.py_data_bias_analyzer_explicit_seg(EMPTY_ROWS, 0.5, None, "GreaterThan",
                                                         ONE, 0.5, None, "GreaterThan"),
     ValueError, "Invalid bias configuration"),
    (lambda: _lumetra.PyLinearRegressionStreaming(EMPTY_ROWS, [1.0]), TypeError, None),
    (lambda: _lumetra.PyBinaryClassificationStreaming(EMPTY_ROWS.astype(np.int64), [1]), TypeError, None),
    # Text labels: each row is checked as it is iterated, not collected first.
    (lambda: _lumetra.PyStreamingCategoricalDataDriftDecay(EMPTY_ROWS.astype("<U3"), 3), TypeError, None),
    (lambda: _lumetra.PyCategoricalDataDrift(EMPTY_ROWS.astype("<U3")), TypeError, None),
    (lambda: _lumetra.py_compute_drift_categorical_distribtuion(["a"], EMPTY_ROWS.astype("<U3"), ["JensenShannon"]),
     TypeError, None),
])
def test_row_count_of_an_empty_array_is_not_allocated_for(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert info.value.args == (message,)
