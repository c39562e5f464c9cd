"""A timeline against one drift call and against NannyML, side by side in one
run: 10M current rows x 20 columns (16 float64, 2 text, a two-group facet and
a 0/1 label) in 100 daily periods, against a reference of 1M rows in 50 days.

* drift: one lumetra.drift(reference, current) of the same rows and columns (test "auto");
* timeline: lumetra.timeline(current, reference=..., time="t", every="1d",
  data_bias=dict(facet="g", label="y")) and its table(): drift, quality and
  data bias of every period, the reference's periods with them;
* NannyML: UnivariateDriftCalculator(chunk_period="D") fit on the reference,
  calculate on the current frame, Jensen-Shannon for numbers and
  categories, run on the first columns only in an interpreter of its own
  (--nannyml-python; default build/bench-nannyml, see bench_wide.py), its
  time scaled per column.

    python3 benchmarks/bench_timeline.py [--quick] [--nannyml-python PATH]
"""

import argparse
import os
import statistics

import numpy as np
import pandas as pd

import lumetra
from peer import DEFAULT_NANNYML, NANNYML_PREAMBLE, run_peer
from timing import all_times

NANNYML_CHILD = NANNYML_PREAMBLE + r"""
reference = pd.read_parquet(os.path.join(folder, "reference.parquet"))
current = pd.read_parquet(os.path.join(folder, "current.parquet"))
names = [c for c in reference.columns if c != "t"]
times = []
for _ in range(repeats):
    start = time.perf_counter()
    calc = nannyml.UnivariateDriftCalculator(column_names=names, timestamp_column_name="t", chunk_period="D",
                                             continuous_methods=["jensen_shannon"],
                                             categorical_methods=["jensen_shannon"])
    calc.fit(reference)
    calc.calculate(current)
    times.append(time.perf_counter() - start)
print(json.dumps({"times": times, "version": nannyml.__version__}))
"""


def frame(rows, days, rng, shift):
    start = pd.Timestamp("2026-01-01")
    seconds = np.sort(rng.uniform(0, days * 86400, rows))
    data = {"t": start + pd.to_timedelta(seconds, unit="s")}
    for i in range(16):
        data[f"x{i}"] = rng.normal(shift * seconds / (days * 86400), 1.0, rows)
    for i in range(2):
        data[f"c{i}"] = pd.Categorical.from_codes(rng.integers(0, 8, rows), [f"v{j}" for j in range(8)])
    data["g"] = pd.Categorical.from_codes(rng.integers(0, 2, rows), ["a", "b"])
    data["y"] = rng.integers(0, 2, rows).astype(np.int8)
    return pd.DataFrame(data)


def nannyml(python, reference, current, repeats):
    def save(folder):
        reference.to_parquet(os.path.join(folder, "reference.parquet"))
        current.to_parquet(os.path.join(folder, "current.parquet"))

    return run_peer(python, NANNYML_CHILD, save, repeats)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--quick", action="store_true", help="1M current rows, 100k reference rows")
    ap.add_argument("--repeats", type=int, default=3)
    ap.add_argument("--nannyml-python", default=str(DEFAULT_NANNYML))
    ap.add_argument("--nannyml-columns", type=int, default=2, help="x and c columns NannyML runs on (each)")
    args = ap.parse_args()
    rows, ref_rows = (1_000_000, 100_000) if args.quick else (10_000_000, 1_000_000)
    rng = np.random.default_rng(27)
    reference = frame(ref_rows, 50, rng, 0.0)
    current = frame(rows, 100, rng, 0.3)
    columns = current.shape[1] - 1

    names = [c for c in current.columns if c != "t"]

    def drift():
        lumetra.drift(reference, current, columns=names)

    def timeline():
        lumetra.timeline(current, reference=reference, time="t", every="1d",
                         data_bias=dict(facet="g", label="y")).table()

    def floor():
        for name in current.columns[1:]:
            column = current[name]
            np.add.reduce(column.cat.codes.to_numpy() if isinstance(column.dtype, pd.CategoricalDtype)
                          else column.to_numpy())

    floors, drifts, timelines = all_times(floor, drift, timeline, repeats=args.repeats)
    f, d, t = (statistics.median(x) for x in (floors, drifts, timelines))
    print(f"{rows:,} current rows x {columns} columns in 100 daily periods; reference {ref_rows:,} rows in 50")
    print(f"  floor (numpy.add.reduce of every current column)  {f:8.3f} s")
    print(f"  lumetra.drift                                     {d:8.3f} s   {d / f:6.1f}x floor")
    print(f"  lumetra.timeline (drift, quality, data bias)      {t:8.3f} s   {t / d:6.2f}x drift   (target <= 1.5x)")
    k = args.nannyml_columns
    chosen = ["t"] + [f"x{i}" for i in range(k)] + [f"c{i}" for i in range(k)]
    answer, why = nannyml(args.nannyml_python, reference[chosen], current[chosen], repeats=1)
    if answer is None:
        print(f"  NannyML: not run: {why}")
        return
    per_column = statistics.median(answer["times"]) / (2 * k)
    ours_per_column = t / columns
    print(f"  NannyML {answer['version']} UnivariateDriftCalculator(chunk_period='D'), {2 * k} columns: "
          f"{per_column:.3f} s a column; the timeline {ours_per_column:.4f} s a column: "
          f"{per_column / ours_per_column:.1f}x faster   (target >= 10x)")


if __name__ == "__main__":
    main()
