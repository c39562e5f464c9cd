"""Drift detectors on large inputs, as ratios measured in one run (median of
repeats), never bare times:

- compute_drift_mutliple_criteria with all four metrics on 10M runtime values
  (continuous, baseline of 1M) and on 10M labels (categorical, 50 labels),
  against one numpy.sum pass over the same runtime data, and against the same
  four metrics computed with numpy.histogram / numpy.unique plus SciPy;
- update_stream_batch of the decay-mode continuous detector on 10M values,
  against one numpy.sum pass (first call and median of warm repeats);
- update_stream per call against list.append per call;
- building a continuous baseline (PyContinuousDataDrift) of 1M and 10M
  values under each bin rule, against one numpy.add.reduce pass over the
  same values, and against numpy.sort (what a baseline built from a sorted
  copy pays at least).
"""

import time

import numpy as np
from scipy.spatial.distance import jensenshannon
from scipy.stats import entropy, wasserstein_distance

import _lumetra
from timing import median_ratio, median_time

N_RUNTIME = 10_000_000
N_BASELINE = 1_000_000
N_LABELS = 50
N_STREAM = 200_000
METRICS = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]
EPS = 1e-12


def four_metrics(p, q):
    """The four scores the way a NumPy/SciPy user would compute them."""
    p = p + EPS
    q = q + EPS
    positions = np.arange(p.size, dtype=np.float64)
    return [
        jensenshannon(p, q, base=2.0) ** 2,
        float(np.sum((p - q) * np.log(p / q))),
        wasserstein_distance(positions, positions, p, q),
        entropy(p, q),
    ]


def continuous(rng):
    baseline = rng.normal(0.0, 1.0, N_BASELINE)
    runtime = rng.normal(0.2, 1.1, N_RUNTIME)
    detector = _lumetra.PyContinuousDataDrift(baseline, None)
    # The baseline's edges, taken from a streaming twin that exports them.
    twin = _lumetra.PyStreamingContinuousDataDriftFlush(baseline, None, None, None)
    twin.update_stream(0.0)
    edges = np.array(twin.export_snapshot()["binEdges"])
    bounds = np.concatenate([[-np.inf], edges, [np.inf]])
    base_p = np.histogram(baseline, bounds)[0] / baseline.size

    def peer():
        counts = np.histogram(runtime, bounds)[0]
        return four_metrics(base_p, counts / counts.sum())

    floor = median_time(lambda: np.sum(runtime))
    ours = median_time(lambda: detector.compute_drift_mutliple_criteria(runtime, METRICS))
    theirs = median_time(peer, repeats=3)
    print(f"continuous, {detector.num_bins} bins, 10M values, 4 metrics:")
    print(f"  {ours / floor:7.2f}x numpy.sum floor   (target <= 5x)")
    print(f"  {theirs / ours:7.2f}x faster than numpy.histogram + SciPy   (target >= 3x)")


def categorical(rng):
    names = np.array([f"label-{i:02d}" for i in range(N_LABELS)])
    baseline = names[rng.integers(0, N_LABELS, N_BASELINE)]
    runtime = names[rng.integers(0, N_LABELS, N_RUNTIME)]
    runtime_list = runtime.tolist()
    detector = _lumetra.PyCategoricalDataDrift(baseline)
    base_labels, base_counts = np.unique(baseline, return_counts=True)
    base_p = np.append(base_counts / baseline.size, 0.0)

    def peer():
        labels, counts = np.unique(runtime, return_counts=True)
        q = np.zeros(base_p.size)
        q[np.searchsorted(base_labels, labels)] = counts
        return four_metrics(base_p, q / q.sum())

    # The unicode buffer holds 32-bit code points: numpy.sum of those widens
    # every element, so the memory pass is the sum of the bytes as uint64.
    floor = median_time(lambda: np.sum(runtime.view(np.uint64)))
    ours = median_time(lambda: detector.compute_drift_mutliple_criteria(runtime, METRICS))
    ours_list = median_time(lambda: detector.compute_drift_mutliple_criteria(runtime_list, METRICS))
    theirs = median_time(peer, repeats=3)
    print(f"categorical, {N_LABELS} labels, 10M labels, 4 metrics:")
    print(f"  {ours / floor:7.2f}x numpy.sum floor over the same buffer (unicode array)")
    print(f"  {ours_list / floor:7.2f}x numpy.sum floor (list of str)")
    print(f"  {theirs / ours:7.2f}x faster than numpy.unique + SciPy (unicode array)")
    print(f"  {theirs / ours_list:7.2f}x faster than numpy.unique + SciPy (list of str)")

    # Labels of an odd number of code points (cells that are not a whole
    # number of 8-byte words), as short category names often are.
    short = np.array([f"c{i:02d}" for i in range(N_LABELS)])[rng.integers(0, N_LABELS, N_RUNTIME)]
    short_detector = _lumetra.PyCategoricalDataDrift(short[:N_BASELINE])
    short_floor = median_time(lambda: np.sum(short.view(np.uint8).view(np.uint64)))
    ours_short = median_time(lambda: short_detector.compute_drift_mutliple_criteria(short, METRICS))
    print(f"  {ours_short / short_floor:7.2f}x numpy.sum floor (unicode array, labels of 3 code points)")


def streaming(rng):
    values = rng.normal(size=N_STREAM).tolist()
    labels = [f"label-{i % N_LABELS:02d}" for i in range(N_STREAM)]
    baseline = rng.normal(size=10_000)

    flush_detector = _lumetra.PyStreamingContinuousDataDriftFlush(baseline, None, None, None)
    decay_detector = _lumetra.PyStreamingCategoricalDataDriftDecay(labels[:1000], None)

    def ours_continuous():
        update = flush_detector.update_stream
        for v in values:
            update(v)

    def ours_categorical():
        update = decay_detector.update_stream
        for v in labels:
            update(v)

    def peer(items):
        def run():
            append = [].append
            for v in items:
                append(v)
        return run

    cont = median_ratio(ours_continuous, peer(values))
    cat = median_ratio(ours_categorical, peer(labels))
    print("update_stream per call:")
    print(f"  {cont:7.2f}x list.append (continuous, flush mode)   (target <= 1.5x)")
    print(f"  {cat:7.2f}x list.append (categorical, decay mode)   (target <= 1.5x)")


def streaming_batch(rng):
    baseline = rng.normal(size=N_BASELINE)
    runtime = rng.normal(0.2, 1.1, N_RUNTIME)
    detector = _lumetra.PyStreamingContinuousDataDriftDecay(baseline, None, None)
    floor = median_time(lambda: np.sum(runtime))
    start = time.perf_counter()
    detector.update_stream_batch(runtime)
    first = time.perf_counter() - start
    ours = median_time(lambda: detector.update_stream_batch(runtime))
    print("update_stream_batch, continuous decay detector, 10M values:")
    print(f"  {first / floor:7.2f}x numpy.sum floor, first call")
    print(f"  {ours / floor:7.2f}x numpy.sum floor, median of warm repeats   (target <= 2x)")


def baselines(rng):
    print("baseline construction, PyContinuousDataDrift(values, rule), normal values:")
    for n in (1_000_000, 10_000_000):
        values = rng.normal(size=n)
        floor = lambda: np.add.reduce(values)  # noqa: E731
        sort = median_ratio(lambda: np.sort(values), floor, repeats=5)
        for rule, target in (("FreedmanDiaconis", 8), ("Sturges", 8), ("Scott", 25)):
            ours = median_ratio(lambda: _lumetra.PyContinuousDataDrift(values, rule), floor)
            print(f"  {n // 1_000_000:>2}M {rule:<16} {ours:7.2f}x numpy.add.reduce floor   (target <= {target}x)")
        print(f"  {n // 1_000_000:>2}M numpy.sort       {sort:7.2f}x numpy.add.reduce floor")


def main():
    rng = np.random.default_rng(0)
    baselines(rng)
    continuous(rng)
    categorical(rng)
    streaming_batch(rng)
    streaming(rng)


if __name__ == "__main__":
    main()
