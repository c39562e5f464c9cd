"""lumetra.performance(task="classification") and lumetra.data_bias on a Dask
DataFrame of 50 million rows in 20 partitions, on a LocalCluster of two
worker processes, against the same call on the pandas frame in one process.

Prints, per call: the ratio of the times (median of repeats), the share of the
workers' time spent in the partition tasks (reading the columns and running
the kernels) against the rest (Dask's scheduling, transfers, idle), and the
largest state a partition sends over the wire (target: below 1 MB).

The partitions are made on the workers from their index (the same rows as
the pandas frame) and persisted before timing, so both sides start from data
in memory. Rows: `python bench_dask.py 5000000` for a quick run."""

import os
import pickle
import sys
import time
from collections import defaultdict

import numpy as np
import pandas as pd

import lumetra
from lumetra import _dask, _kernels
from timing import median_times

ROWS = int(float(sys.argv[1])) if len(sys.argv) > 1 else 50_000_000
PARTITIONS = 20
GROUPS = [f"group {i:02d}" for i in range(20)]


def partition(i, rows=ROWS // PARTITIONS):
    rng = np.random.default_rng(1000 + i)
    label = rng.integers(0, 2, rows, dtype=np.int64)
    flip = rng.random(rows) < 0.2
    return pd.DataFrame({
        "group": pd.Categorical.from_codes(rng.integers(0, len(GROUPS), rows).astype(np.int8), GROUPS),
        "label": label,
        "prediction": np.where(flip, 1 - label, label),
    }, index=pd.RangeIndex(i * rows, (i + 1) * rows))


CALLS = [
    ("performance(task='classification')",
     lambda data: lumetra.performance(data, "label", "prediction", task="classification")),
    ("data_bias(facet='group')", lambda data: lumetra.data_bias(data, "group", "label")),
]


def task_shares(client, call, data, workers):
    """Seconds of compute per task kind, seconds of transfers, and the wall time, of one call."""
    from distributed import get_task_stream

    with get_task_stream(client) as stream:
        start = time.perf_counter()
        call(data)
        wall = time.perf_counter() - start
    compute, transfer = defaultdict(float), 0.0
    for task in stream.data:
        kind = task["key"][0] if isinstance(task["key"], tuple) else task["key"]
        kind = str(kind).rsplit("-", 1)[0]
        for part in task["startstops"]:
            if part["action"] == "compute":
                compute[kind] += part["stop"] - part["start"]
            elif part["action"] == "transfer":
                transfer += part["stop"] - part["start"]
    return compute, transfer, wall * workers


def kernel_fraction(name):
    """Of the work on one partition, the share spent in the kernel call itself
    (the rest reads the columns and codes the rows), timed in this process."""
    from timing import median_time

    part = partition(0)
    if name.startswith("data_bias"):
        codes = part["group"].array.codes
        label = part["label"].to_numpy()
        kernel = median_time(lambda: _kernels.tally(codes, len(GROUPS), label, "==", 1))
        task = median_time(lambda: lumetra.data_bias(part, "group", "label"))
    else:
        label, pred = part["label"].to_numpy(), part["prediction"].to_numpy()
        codes = np.zeros(len(part), np.int8)
        kernel = median_time(lambda: _kernels.performance_state(
            "classification", codes, 1, label, "==", 1, pred, "==", 1))
        task = median_time(lambda: lumetra.performance(part, "label", "prediction", task="classification"))
    return min(1.0, kernel / task)


def largest_state(ddf):
    """The largest pickled state one partition sends back, per call."""
    from lumetra._bias import BiasCall, bias_plan
    from lumetra._performance import PerformanceCall, performance_plan

    sizes = defaultdict(int)

    def observe(name):
        def record(request, states):
            sizes[name] = max(sizes[name], *(len(pickle.dumps(s)) for s in states))
        return record

    bias = BiasCall(("group",), "label", None, 1, None, 1, "positive", None, None, None, None, "raise")
    _dask.run(bias_plan(bias), ddf, observe=observe("data_bias tallies"))
    performance = PerformanceCall("label", "prediction", "classification", 1, 0.5, (), "raise")
    _dask.run(performance_plan(performance), ddf, observe=observe("performance state"))
    return dict(sizes)


def main():
    import dask.dataframe as dd
    from distributed import Client, LocalCluster

    print(f"{ROWS:,} rows in {PARTITIONS} partitions; load average {os.getloadavg()[0]:.2f} "
          f"on {os.cpu_count()} cores")
    frame = pd.concat([partition(i) for i in range(PARTITIONS)])
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        ddf = dd.from_map(partition, range(PARTITIONS)).persist()
        client.wait_for_workers(2)
        from distributed import wait

        wait(ddf)
        for name, call in CALLS:
            pd.testing.assert_frame_equal(call(ddf).reset_index(drop=True), call(frame).reset_index(drop=True))
            one, cluster_time = median_times(lambda: call(frame), lambda: call(ddf), repeats=5)
            compute, transfer, worker_time = task_shares(client, call, ddf, 2)
            passes = sum(v for k, v in compute.items() if k.startswith("_"))
            tasks = passes / worker_time
            print(f"{name}")
            print(f"  one process {one:.2f} s, cluster {cluster_time:.2f} s: cluster / one process = "
                  f"{cluster_time / one:.2f}x")
            kernels = tasks * kernel_fraction(name)
            print(f"  workers' time: {tasks:.1%} in partition tasks, of which about {kernels:.1%} in the kernels; "
                  f"{transfer / worker_time:.1%} in transfers; the rest scheduling and idle")
            print(f"    (task seconds: {', '.join(f'{k} {v:.2f}' for k, v in sorted(compute.items()) if v >= 0.005)})")
        for name, size in largest_state(ddf).items():
            print(f"  largest {name} of a partition: {size:,} bytes (target < 1 MB)")


if __name__ == "__main__":
    main()
