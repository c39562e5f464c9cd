"""Saved state and merges, as ratios measured in one run (median of repeats),
never bare times:

- to_bytes, from_bytes and a pickle round trip of a streaming detector with
  about 10,000 bins (continuous) or 10,000 labels (categorical), against one
  update_stream_batch of 100,000 values on the same detector (target: < 1x);
- merge of two flush detectors at a few hundred to 10^5 bins, per bin (flat when merge
  is linear in the size of the state), and at one size after 10^3 and after
  10^6 samples (about 1x: the data seen does not matter).
"""

import pickle

import numpy as np

import _lumetra
from timing import median_time

N_BATCH = 100_000


def wide_baseline(rng, target_bins):
    """A normal baseline with two far values, so the Freedman-Diaconis rule
    gives about `target_bins` bins."""
    core = rng.normal(0.0, 1.0, 1_000_000)
    q75, q25 = np.percentile(core, [75, 25])
    width = 2.0 * (q75 - q25) / np.cbrt(core.size + 2)
    reach = target_bins * width / 2.0
    return np.concatenate([core, [-reach, reach]])


def report(name, detector, batch):
    data = detector.to_bytes()
    cls = type(detector)
    update = median_time(lambda: detector.update_stream_batch(batch))
    save = median_time(detector.to_bytes, repeats=21)
    load = median_time(lambda: cls.from_bytes(data), repeats=21)
    pickled = median_time(lambda: pickle.loads(pickle.dumps(detector)), repeats=21)
    print(f"{name}: {detector.n_bins} bins, {len(data):,} bytes of state")
    print(f"  to_bytes            {save / update:7.3f}x one update_stream_batch of 100,000 values  (target < 1x)")
    print(f"  from_bytes          {load / update:7.3f}x                                        (target < 1x)")
    print(f"  pickle round trip   {pickled / update:7.3f}x")


def continuous(rng):
    baseline = wide_baseline(rng, 10_000)
    detector = _lumetra.PyStreamingContinuousDataDriftFlush(baseline, None, None, None)
    report("continuous flush detector", detector, rng.normal(0.0, 1.5, N_BATCH))


def categorical(rng):
    labels = np.array([f"label{i:05d}" for i in range(10_000)])
    detector = _lumetra.PyStreamingCategoricalDataDriftFlush(list(labels), None, None)
    report("categorical flush detector", detector, labels[rng.integers(0, labels.size, N_BATCH)])


def merges(rng):
    print("merge of two continuous flush detectors:")
    first = None
    for bins in (100, 1_000, 10_000, 100_000):
        baseline = wide_baseline(rng, bins)
        a = _lumetra.PyStreamingContinuousDataDriftFlush(baseline, None, None, None)
        b = _lumetra.PyStreamingContinuousDataDriftFlush(baseline, None, None, None)
        b.update_stream_batch(rng.normal(0.0, 2.0, 1_000))
        per_bin = median_time(lambda: a.merge(b), repeats=51) / a.n_bins
        first = first or (a.n_bins, per_bin)
        print(f"  {a.n_bins:7d} bins: {per_bin / first[1]:6.2f}x the time per bin at {first[0]} bins")
    baseline = wide_baseline(rng, 10_000)
    a, small, large = (_lumetra.PyStreamingContinuousDataDriftFlush(baseline, None, 10**7, None) for _ in range(3))
    small.update_stream_batch(rng.normal(0.0, 2.0, 1_000))
    large.update_stream_batch(rng.normal(0.0, 2.0, 1_000_000))
    after_small = median_time(lambda: a.merge(small), repeats=51)
    after_large = median_time(lambda: a.merge(large), repeats=5)
    print(f"  after 10^6 samples: {after_large / after_small:6.2f}x the time after 10^3 (target about 1x)")


def main():
    rng = np.random.default_rng(0)
    continuous(rng)
    categorical(rng)
    merges(rng)


if __name__ == "__main__":
    main()
