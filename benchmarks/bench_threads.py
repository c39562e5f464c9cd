"""Two threads, each calling a function on its own 20-million-element arrays,
against one thread making both calls: the functions release the interpreter
lock while they read the buffers, so on two free cores the pair should finish
close to twice as fast (target: at least 1.7x). Then the same ratio for short
arrays around the length at which a call starts releasing the lock.

Prints ratios (median of repeats) and the machine's load average, which caps
what two threads can gain: on a machine already busy with other work the
second core is not free.

Each call is held to its own thread (LUMETRA_THREADS=1, set before the module
is imported): what is measured is the two Python threads running at once,
not the engine's own threads within one call."""

import os

os.environ["LUMETRA_THREADS"] = "1"

import threading  # noqa: E402

import numpy as np  # noqa: E402

import _lumetra  # noqa: E402
from timing import median_times  # noqa: E402

N = 20_000_000
METRICS = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]


def both(fn, args_a, args_b):
    """One thread calling fn on each argument set in turn; two threads, one each."""

    def serial():
        fn(*args_a)
        fn(*args_b)

    def parallel():
        threads = [threading.Thread(target=fn, args=a) for a in (args_a, args_b)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    return serial, parallel


def cases(n, rng):
    """(name, fn, args of thread a, args of thread b), each thread with arrays of its own."""

    def regression():
        x = rng.random(n)
        return (x, (x + rng.normal(0, 0.1, n)).astype(np.float64))

    def bias():
        return (rng.integers(0, 4, n), rng.integers(0, 2, n), 2, 1)

    baseline = rng.normal(0, 1, 200_000)
    detectors = [_lumetra.PyContinuousDataDrift(baseline, "FreedmanDiaconis") for _ in range(2)]

    def drift(k):
        return (detectors[k].compute_drift_mutliple_criteria, rng.normal(0.1, 1.1, n), METRICS)

    return [
        ("py_model_perf_linear_regression", _lumetra.py_model_perf_linear_regression, regression(), regression()),
        ("py_data_bias_analyzer", _lumetra.py_data_bias_analyzer, bias(), bias()),
        ("compute_drift_mutliple_criteria", lambda method, *a: method(*a), drift(0), drift(1)),
    ]


def other_thread_rate(fn, args):
    """A Python thread's counting rate while the call runs, against its rate
    while the main thread sleeps: 0 if the call held the lock throughout, near
    1 with a free core, and in between on a machine whose cores are busy (the
    call and the counter then share one)."""
    import time

    count, done = [0], threading.Event()

    def counter():
        while not done.is_set():
            count[0] += 1

    t = threading.Thread(target=counter)
    t.start()
    try:
        rates = []
        for work in (lambda: time.sleep(0.5), lambda: fn(*args)):
            before, start = count[0], time.perf_counter()
            work()
            rates.append((count[0] - before) / (time.perf_counter() - start))
    finally:
        done.set()
        t.join()
    return rates[1] / rates[0]


def main():
    rng = np.random.default_rng(0)
    print(f"load average before: {' '.join(f'{v:.2f}' for v in os.getloadavg())} on {os.cpu_count()} cores")
    print(f"{N:,} elements per thread: one thread making both calls / two threads, one call each")
    for name, fn, a, b in cases(N, rng):
        serial, parallel = both(fn, a, b)
        t_serial, t_parallel = median_times(serial, parallel, repeats=5)
        rate = other_thread_rate(fn, a)
        print(f"  {name:<36} {t_serial / t_parallel:5.2f}x (target >= 1.7x); "
              f"another Python thread runs at {rate:.0%} of its idle rate during a call")
        del a, b
    print("short arrays (the lock is released from 32768 elements on), same ratio:")
    for n in (4_096, 16_384, 32_768, 131_072):
        name, fn, a, b = cases(n, rng)[1]
        serial, parallel = both(lambda *args: [fn(*args) for _ in range(200)], a, b)
        t_serial, t_parallel = median_times(serial, parallel, repeats=5)
        print(f"  {name} on {n:>7,} elements, 200 calls per thread: {t_serial / t_parallel:5.2f}x")
    print(f"load average after: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")


if __name__ == "__main__":
    main()
