"""What the per-column tests add to lumetra.drift: the same call with
test=None, test="auto" and a tolerance (1,000 bootstrap redraws of the
bins), on a tall frame (binned chi-square) and a wide one (exact KS).

    python3 benchmarks/bench_drift_tests.py [--quick]
"""

import sys
import time

import numpy as np
import pandas as pd

import lumetra


def best(f, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def main() -> None:
    quick = "--quick" in sys.argv
    rng = np.random.default_rng(0)
    shapes = [(100_000, 20), (1_000, 200)] if quick else [(1_000_000, 20), (1_000, 2_000)]
    print(f"{'rows x columns':>16} {'test=None':>10} {'auto':>10} {'+tolerance':>11} {'auto/None':>10}")
    for rows, columns in shapes:
        ref = pd.DataFrame(rng.normal(size=(rows, columns)), columns=[f"x{i}" for i in range(columns)])
        cur = pd.DataFrame(rng.normal(0.01, 1.0, size=(rows, columns)), columns=ref.columns)
        plain = best(lambda: lumetra.drift(ref, cur, test=None), 3)
        auto = best(lambda: lumetra.drift(ref, cur), 3)
        tol = best(lambda: lumetra.drift(ref, cur, tolerance={"PopulationStabilityIndex": 0.1}), 1)
        print(f"{rows:>8} x {columns:<5} {plain:>10.3f} {auto:>10.3f} {tol:>11.3f} {auto / plain:>10.2f}")


if __name__ == "__main__":
    main()
