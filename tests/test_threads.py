"""Threads: the functions release the interpreter lock while they read long
buffers, so threads run them at once and get exactly the serial results;
classes keep the lock, so threads sharing one monitor take turns as before."""

import os
import struct
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import _lumetra
from lumetra import _kernels

rng = np.random.default_rng(12)
LONG = 50_000  # above the length at which a call releases the lock
SHORT = 700  # below it: the same results, computed under the lock
# A call long enough for another thread to be seen running during it; the
# sanitizer build's unoptimised code is slow enough at a tenth of the length.
RUNNING = 400_000 if os.environ.get("LUMETRA_SANITIZED") == "1" else 4_000_000

METRICS = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]


def columns(n):
    x = rng.random(n)
    return {
        "x": x,
        "y": (x + rng.normal(0, 0.1, n)).astype(np.float32),
        "ints": rng.integers(0, 5, n),
        "truth": rng.integers(0, 2, n),
        "pred": rng.integers(0, 2, n).astype(np.int32),
        "flags": rng.random(n) < 0.4,
        "text": rng.choice(np.array(["a", "bb", "ccc", "dé"]), n),
        "codes": rng.integers(-1, 7, n).astype(np.int16),
    }


def calls(n):
    """(name, call) pairs covering every road a long buffer takes."""
    c = columns(n)
    text_list = c["text"].tolist()
    base_detector = _lumetra.PyContinuousDataDrift(c["x"][: n // 2].copy(), "Scott")
    label_detector = _lumetra.PyCategoricalDataDrift(c["text"][: n // 3])
    return [
        ("bias int feature", lambda: _lumetra.py_data_bias_analyzer(c["ints"], c["truth"], 2, 1)),
        ("bias float threshold", lambda: _lumetra.py_data_bias_analyzer(c["x"], c["truth"], 0.3, 1)),
        ("bias bool feature", lambda: _lumetra.py_data_bias_analyzer(c["flags"], c["truth"], True, 1)),
        ("bias unicode feature", lambda: _lumetra.py_data_bias_analyzer(c["text"], c["truth"], "bb", 1)),
        ("bias list of str", lambda: _lumetra.py_data_bias_analyzer(text_list, c["truth"], "dé", 1)),
        (
            "bias explicit",
            lambda: _lumetra.py_data_bias_analyzer_explicit_seg(
                c["x"], 0.5, None, ">=", c["text"], None, "a", None
            ),
        ),
        (
            "model bias",
            lambda: _lumetra.py_model_bias_analyzer(c["ints"], c["truth"], c["pred"], 3, 1, 1),
        ),
        (
            "model bias explicit",
            lambda: _lumetra.py_model_bias_analyzer_explicit_seg(
                c["x"], 0.2, None, "<", c["truth"], 0.5, None, ">", c["y"], 0.5, None, ">="
            ),
        ),
        ("regression", lambda: _lumetra.py_model_perf_linear_regression(c["x"], c["y"])),
        ("classification", lambda: _lumetra.py_model_perf_classification(c["truth"], c["pred"])),
        ("logistic", lambda: _lumetra.py_model_perf_logistic_regression(c["truth"], c["x"], 0.5)),
        (
            "drift continuous",
            lambda: _lumetra.py_compute_drift_continuous_distribtuion(c["x"], c["y"].astype(float), METRICS, None),
        ),
        (
            "drift categorical",
            lambda: _lumetra.py_compute_drift_categorical_distribtuion(c["text"], text_list, METRICS),
        ),
        ("batch detector built", lambda: _lumetra.PyContinuousDataDrift(c["x"], None).export_baseline()),
        ("shared continuous detector", lambda: base_detector.compute_drift_mutliple_criteria(c["x"], METRICS)),
        ("shared categorical detector", lambda: label_detector.compute_drift(c["text"], "KullbackLeibler")),
        ("kernel tally", lambda: _kernels.tally(c["codes"], 7, c["truth"], "==", 1, c["y"], ">=", 0.5)),
        (
            "kernel entropy",
            lambda: _kernels.generalized_entropy(c["codes"], 7, c["truth"], "==", 1, c["pred"], "==", 1, 2),
        ),
        (
            "kernel performance",
            lambda: _kernels.performance("regression", c["codes"], 7, c["x"], None, None, c["y"]),
        ),
        # Refusals raise the same error from every thread.
        ("length mismatch", lambda: _lumetra.py_model_perf_linear_regression(c["x"], c["y"][:-1])),
        ("empty facet", lambda: _lumetra.py_data_bias_analyzer(c["ints"], c["truth"], 99, 1)),
    ]


def canonical(value):
    """A comparable form that tells NaN payloads and -0.0 apart."""
    if isinstance(value, np.ndarray):
        return (value.dtype.str, value.shape, value.tobytes())
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, dict):
        return tuple(sorted((k, canonical(v)) for k, v in value.items()))
    if isinstance(value, (list, tuple)):
        return tuple(canonical(v) for v in value)
    if isinstance(value, BaseException):
        return (type(value).__name__, str(value))
    return value


def outcome(call):
    try:
        return canonical(call())
    except Exception as error:  # compared by type and message
        return canonical(error)


def run_together(jobs):
    """Runs every job on its own thread, all released at once; their outcomes in order."""
    start = threading.Barrier(len(jobs))
    out = [None] * len(jobs)

    def work(i, job):
        start.wait()
        out[i] = job()

    threads = [threading.Thread(target=work, args=(i, job)) for i, job in enumerate(jobs)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return out


@pytest.mark.parametrize("n", [LONG, SHORT], ids=["long", "short"])
def test_threads_get_the_serial_results(n):
    table = [call for _, call in calls(n)]
    serial = [outcome(call) for call in table]
    # Four threads at once, each making every call, starting at different rows.
    shifts = [k * len(table) // 4 for k in range(4)]
    jobs = [lambda s=s: [outcome(call) for call in table[s:] + table[:s]] for s in shifts]
    for s, got in zip(shifts, run_together(jobs)):
        assert got == serial[s:] + serial[:s]


@pytest.mark.parametrize(
    "call",
    [
        lambda x, t: _lumetra.py_model_perf_linear_regression(x, x),
        lambda x, t: _lumetra.py_data_bias_analyzer(x, t, 0.5, 1),
        lambda x, t: _lumetra.PyContinuousDataDrift(x, None).compute_drift(x, "JensenShannon"),
        lambda x, t: _kernels.tally(t.astype(np.int8), 2, x, ">=", 0.5),
    ],
    ids=["regression", "data bias", "batch detector", "kernel tally"],
)
def test_a_long_call_lets_other_threads_run(call):
    # A Python thread keeps counting while a long call reads its buffers;
    # under the lock it could not count at all until the call returned.
    x = rng.random(RUNNING)
    truth = rng.integers(0, 2, x.size)
    count = [0]
    done = threading.Event()

    def counter():
        while not done.is_set():
            count[0] += 1

    t = threading.Thread(target=counter)
    t.start()
    try:
        progress = []
        for _ in range(3):
            before = count[0]
            call(x, truth)
            progress.append(count[0] - before)
    finally:
        done.set()
        t.join()
    assert max(progress) > 1000, progress


def test_batch_detector_scores_while_another_thread_resets_it():
    # Scores run on a copy of the baseline taken when the call starts: each is
    # the score against the old or against the new baseline, never an error.
    old, new = rng.random(LONG), rng.random(LONG) * 2
    runtime = rng.random(LONG) * 1.5
    detector = _lumetra.PyContinuousDataDrift(old, "Sturges")
    expected = {
        canonical(_lumetra.PyContinuousDataDrift(b, "Sturges").compute_drift_mutliple_criteria(runtime, METRICS))
        for b in (old, new)
    }

    def score():
        return [canonical(detector.compute_drift_mutliple_criteria(runtime, METRICS)) for _ in range(6)]

    def reset():
        for b in (new, old, new):
            detector.reset_baseline(b)
        return []

    results = run_together([score, score, reset])
    assert {s for r in results for s in r} <= expected
    assert canonical(detector.export_baseline()) == canonical(
        _lumetra.PyContinuousDataDrift(new, "Sturges").export_baseline()
    )


MONITORS = [
    (
        "data bias",
        lambda c: _lumetra.PyDataBiasStreaming(c["ints"][:500], c["truth"][:500]),
        lambda m, c, s: m.push_batch(c["ints"][s], c["truth"][s]),
    ),
    (
        "classification",
        lambda c: _lumetra.PyBinaryClassificationStreaming(c["truth"][:500], c["pred"][:500]),
        lambda m, c, s: m.push_batch(c["truth"][s], c["pred"][s]),
    ),
    (
        "continuous stream",
        lambda c: _lumetra.PyStreamingContinuousDataDriftFlush(c["x"][:500], None, None, None),
        lambda m, c, s: m.update_stream_batch(c["x"][s]),
    ),
    (
        "categorical stream",
        lambda c: _lumetra.PyStreamingCategoricalDataDriftFlush(c["text"][:500], None, None),
        lambda m, c, s: m.update_stream_batch(c["text"][s]),
    ),
]


def snapshot(monitor):
    if hasattr(monitor, "export_snapshot"):
        return canonical(monitor.export_snapshot())
    return canonical(monitor.performance_snapshot())


@pytest.mark.parametrize("make, feed", [m[1:] for m in MONITORS], ids=[m[0] for m in MONITORS])
def test_threads_sharing_one_monitor_take_turns(make, feed):
    # Batches of counts commute, so the shared monitor ends as a serial one
    # would, and no thread meets an "Already borrowed" error.
    c = columns(LONG)
    batches = [slice(i, i + LONG // 8) for i in range(0, LONG, LONG // 8)]
    serial = make(c)
    for s in batches:
        feed(serial, c, s)
    shared = make(c)

    def job(part):
        def run():
            for s in part:
                feed(shared, c, s)
                snapshot(shared)
            return "ok"

        return run

    assert run_together([job(batches[k::4]) for k in range(4)]) == ["ok"] * 4
    assert snapshot(shared) == snapshot(serial)


# ---- the engine's own threads, in fresh interpreters (the cap is read once per process)

ENGINE_CALLS = textwrap.dedent(
    """
    import os, threading, numpy as np, _lumetra

    rng = np.random.default_rng(3)
    N = 400_000  # several blocks per thread for every threaded pass
    x = rng.random(N)
    y = (x + rng.normal(0, 0.1, N)).astype(np.float32)
    truth = rng.integers(0, 2, N).astype(np.float64)
    names = np.array([f"c{i}" for i in range(50)])
    labels = names[rng.integers(0, 50, N)]
    values = np.sort(rng.uniform(0.0, 9.0, 80))
    feature = values[rng.integers(0, 80, N)]
    continuous = _lumetra.PyContinuousDataDrift(x[:5000].copy(), None)
    categorical = _lumetra.PyCategoricalDataDrift(labels[:5000].copy())

    def engine_calls():
        # Every pass that takes pool threads: regression, log loss, the
        # binning of continuous and categorical drift, a distinct count.
        return repr([
            _lumetra.py_model_perf_linear_regression(x, y),
            _lumetra.py_model_perf_logistic_regression(truth, x, 0.5),
            continuous.compute_drift(x[::-1].copy(), "JensenShannon"),
            categorical.compute_drift(labels, "KullbackLeibler"),
            _lumetra.py_data_bias_analyzer(feature, truth, float(values[37]), 1.0),
        ])

    def engine_threads():
        names = []
        for task in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{task}/comm") as f:
                    names.append(f.read().strip())
            except FileNotFoundError:  # a thread that has just ended
                pass
        return names.count("lumetra-engine")
    """
)


def run_engine_script(body, threads=None, timeout=120):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LUMETRA_")}
    if threads is not None:
        env["LUMETRA_THREADS"] = threads
    script = ENGINE_CALLS + textwrap.dedent(body)
    return subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=timeout)


@pytest.mark.parametrize("threads, most", [("3", 2), ("1", 0)])
def test_engine_threads_start_once_within_the_cap(threads, most):
    # Before the first threaded pass there are none; then at most the cap
    # less the calling thread, however many Python threads call at once, and
    # later calls start no more.
    out = run_engine_script(
        """
        before = engine_threads()
        first = engine_calls()
        started = engine_threads()
        results = [None] * 4
        def call(i):
            results[i] = [engine_calls() for _ in range(3)]
        workers = [threading.Thread(target=call, args=(i,)) for i in range(4)]
        for w in workers: w.start()
        for w in workers: w.join()
        assert all(r == [first] * 3 for r in results)
        print(before, started, engine_threads())
        """,
        threads,
    )
    assert out.returncode == 0, out.stderr
    before, started, after = map(int, out.stdout.split())
    assert before == 0
    assert 0 < started <= most if most else started == 0
    assert after == started


def test_a_forked_child_runs_threaded_calls():
    # The child of a fork has none of the parent's engine threads: its
    # threaded calls start threads of its own and give the parent's results.
    out = run_engine_script(
        """
        import warnings
        first = engine_calls()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a threaded process
            pid = os.fork()
        if pid == 0:
            none = engine_threads() == 0
            ok = engine_calls() == first and engine_calls() == first
            os._exit(0 if none and ok and 0 < engine_threads() <= 2 else 3)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status), engine_calls() == first)
        """,
        "3",
        timeout=60,
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["0", "True"]


def test_the_interpreter_exits_with_engine_threads_waiting():
    # Idle engine threads are left waiting at exit: finalisation and the
    # static destructors neither wait for them nor pull their pool away.
    out = run_engine_script(
        """
        threading.Thread(target=engine_calls).start()
        engine_calls()
        print("done")
        """,
        "3",
        timeout=60,
    )
    assert (out.returncode, out.stdout.strip(), out.stderr) == (0, "done", "")
