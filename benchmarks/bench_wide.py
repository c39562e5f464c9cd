"""Drift of wide frames, side by side in one run: lumetra.drift with
JensenShannon and WassersteinDistance (test=None) on pandas frames of float64
columns, 1M rows x 100 columns and 100k rows x 1,000 (the current frame is the
reference's distribution shifted by 0.05), against

- the floor: one numpy.add.reduce over every column of both frames;
- NannyML's UnivariateDriftCalculator, Jensen-Shannon and Wasserstein on the
  same columns in one chunk (fit on the reference, calculate on the current),
  run in an interpreter of its own (--nannyml-python; by default the venv
  build/bench-nannyml, made with
  `python3 -m venv build/bench-nannyml && build/bench-nannyml/bin/pip install nannyml statsmodels`);
- a NumPy + SciPy loop over the columns: edges from
  numpy.histogram_bin_edges(reference, "fd"), numpy.histogram of both columns
  on them, scipy.spatial.distance.jensenshannon and
  scipy.stats.wasserstein_distance of the two histograms.

The peers would take minutes on the whole frames, so they run on all the rows
of the first few columns (the work of a column does not depend on the
others): every figure is in nanoseconds per value (rows x columns, both frames
counted), so the ratios between them hold. lumetra is also timed on the
peers' columns, to show what its fixed cost does to those ratios.

    python3 benchmarks/bench_wide.py [--quick] [--nannyml-python PATH]
"""

import argparse
import os
import statistics

import numpy as np
import pandas as pd
from scipy.spatial.distance import jensenshannon
from scipy.stats import wasserstein_distance

import lumetra
from peer import DEFAULT_NANNYML, NANNYML_PREAMBLE, run_peer
from timing import all_times

METRICS = ["JensenShannon", "WassersteinDistance"]
SHIFT = 0.05
# (rows, columns, columns NannyML runs on, columns the loop runs on)
SHAPES = [(1_000_000, 100, 4, 10), (100_000, 1_000, 40, 100)]
QUICK_SHAPES = [(100_000, 20, 2, 5), (10_000, 200, 10, 20)]

# Run by the NannyML interpreter: loads the two sub-frames that the benchmark
# saved, times fit + calculate, prints the times as JSON on its last line.
NANNYML_CHILD = NANNYML_PREAMBLE + r"""
ref = np.load(os.path.join(folder, "reference.npy"))
cur = np.load(os.path.join(folder, "current.npy"))
names = [f"x{i}" for i in range(ref.shape[1])]
reference = pd.DataFrame(ref, columns=names)
current = pd.DataFrame(cur, columns=names)
total, calculate = [], []
for _ in range(repeats):
    start = time.perf_counter()
    calc = nannyml.UnivariateDriftCalculator(column_names=names, continuous_methods=["jensen_shannon", "wasserstein"],
                                             chunk_number=1)
    calc.fit(reference)
    fitted = time.perf_counter()
    result = calc.calculate(current)
    end = time.perf_counter()
    total.append(end - start)
    calculate.append(end - fitted)
print(json.dumps({"total": total, "calculate": calculate, "version": nannyml.__version__}))
"""


def spans(*fns, repeats):
    """Times of each function, the functions run in turn within every repeat,
    all of them kept for min and median."""
    return all_times(*fns, repeats=repeats)


def frames(rows, columns, rng):
    names = [f"x{i}" for i in range(columns)]
    reference = pd.DataFrame(rng.normal(size=(rows, columns)), columns=names)
    current = pd.DataFrame(rng.normal(SHIFT, 1.0, size=(rows, columns)), columns=names)
    return reference, current


def loop(reference, current):
    """Both metrics of every column the way a NumPy/SciPy user would."""
    out = []
    for name in reference.columns:
        ref = reference[name].to_numpy()
        cur = current[name].to_numpy()
        edges = np.histogram_bin_edges(ref, "fd")
        p = np.histogram(ref, edges)[0] / ref.size
        q = np.histogram(cur, edges)[0] / cur.size
        positions = np.arange(p.size, dtype=np.float64)
        out.append((jensenshannon(p, q, base=2.0) ** 2, wasserstein_distance(positions, positions, p, q)))
    return out


def nannyml_times(python, reference, current, repeats):
    """fit + calculate times of NannyML in its own interpreter, or the reason
    it could not run."""
    def save(folder):
        np.save(os.path.join(folder, "reference.npy"), reference.to_numpy())
        np.save(os.path.join(folder, "current.npy"), current.to_numpy())

    return run_peer(python, NANNYML_CHILD, save, repeats)


def per_value(times, rows, columns):
    """min and median of times, in ns per value of both frames."""
    scale = 1e9 / (2 * rows * columns)
    return min(times) * scale, statistics.median(times) * scale


def show(label, times, rows, columns, of):
    low, mid = per_value(times, rows, columns)
    print(f"    {label:<34} {low:9.2f} / {mid:9.2f}   ({of}; {min(times):.3f} s / {statistics.median(times):.3f} s)")
    return mid


def shape(rows, columns, nml_columns, loop_columns, args, rng):
    reference, current = frames(rows, columns, rng)
    ref_values, cur_values = reference.to_numpy(), current.to_numpy()

    def floor():
        return np.add.reduce(ref_values, axis=0), np.add.reduce(cur_values, axis=0)

    def ours(ref=reference, cur=current):
        return lumetra.drift(ref, cur, metrics=METRICS, test=None)

    ours(), floor()  # warm
    floor_times, our_times = spans(floor, ours, repeats=7)
    ratio_floor = statistics.median(o / f for o, f in zip(our_times, floor_times))

    print(f"{rows:,} rows x {columns:,} columns, float64, current shifted by {SHIFT}; {' + '.join(METRICS)}, test=None")
    print(f"    {'ns per value (both frames), min / median':<34}")
    floor_ns = show("floor: numpy.add.reduce", floor_times, rows, columns, f"all {columns} columns")
    our_ns = show("lumetra.drift", our_times, rows, columns, f"all {columns} columns")

    peers = {}
    sub_ref, sub_cur = reference.iloc[:, :loop_columns].copy(), current.iloc[:, :loop_columns].copy()
    loop_times = spans(lambda: loop(sub_ref, sub_cur), repeats=3)[0]
    ours_sub = spans(lambda: ours(sub_ref, sub_cur), repeats=5)[0]
    peers["loop"] = (show("NumPy + SciPy loop", loop_times, rows, loop_columns, f"{loop_columns} of {columns} columns"),
                     per_value(ours_sub, rows, loop_columns)[1], loop_columns)
    # Both compute the Jensen-Shannon divergence (base 2) on the reference's
    # bins: a large gap would mean the two are not doing the same work.
    js_ours = ours(sub_ref, sub_cur)["JensenShannon"].to_numpy()
    js_loop = np.array([js for js, _ in loop(sub_ref, sub_cur)])

    nml_ref, nml_cur = reference.iloc[:, :nml_columns], current.iloc[:, :nml_columns]
    answer, why = nannyml_times(args.nannyml_python, nml_ref, nml_cur, repeats=3)
    if answer is None:
        print(f"    {'NannyML':<34} skipped: {why}")
    else:
        sub = (nml_ref.copy(), nml_cur.copy())
        ours_nml = spans(lambda: ours(*sub), repeats=5)[0]
        label = f"NannyML {answer['version']} fit + calculate"
        peers["NannyML"] = (show(label, answer["total"], rows, nml_columns, f"{nml_columns} of {columns} columns"),
                            per_value(ours_nml, rows, nml_columns)[1], nml_columns)
        show("  of which calculate", answer["calculate"], rows, nml_columns, f"{nml_columns} of {columns} columns")

    seconds = statistics.median(our_times)
    print("  ratios (medians; peers per value):")
    budget = f"; {seconds:.3f} s, goal <= 1 s" if (rows, columns) == (1_000_000, 100) else ""
    print(f"    lumetra / floor      {ratio_floor:8.2f}x   (goal <= 12x{budget}; "
          f"per value {our_ns / floor_ns:.2f}x)")
    for name, goal in (("NannyML", 25), ("loop", 100)):
        if name not in peers:
            print(f"    {name} / lumetra      skipped")
            continue
        theirs, ours_same, cols = peers[name]
        print(f"    {name + ' / lumetra':<20} {theirs / our_ns:8.1f}x   (goal >= {goal}x; "
              f"against lumetra on the same {cols} columns {theirs / ours_same:.1f}x)")
    gap = np.abs(js_loop - js_ours) / js_ours
    print(f"    Jensen-Shannon of the loop against lumetra's, {loop_columns} columns: relative gap median "
          f"{np.median(gap):.2%}, largest {np.max(gap):.2%} (the loop drops current values outside the edges)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true", help="small frames, to try the script")
    ap.add_argument("--nannyml-python", default=str(DEFAULT_NANNYML), help="interpreter that has nannyml")
    args = ap.parse_args()
    print("Peers run on all the rows of fewer columns; figures are per value so that the ratios hold.")
    rng = np.random.default_rng(0)
    for rows, columns, nml_columns, loop_columns in QUICK_SHAPES if args.quick else SHAPES:
        shape(rows, columns, nml_columns, loop_columns, args, rng)


if __name__ == "__main__":
    main()
