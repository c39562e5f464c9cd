"""The main job: a monitoring report on a real data set, offline.

The diabetes data set that scikit-learn ships (442 patients: age, sex, body-mass
index, blood pressure, six blood serum measurements, and a measure of disease
progression one year later) is split in row order into a reference part (the
first 300 patients) and a current part (the other 142). A linear model fitted
on the reference part predicts the progression of every patient. Both parts are
written as CSV files and compared by ``lumetra report``: drift of every column,
data and model bias between the sexes (a progression of 150 or more counts as a
positive outcome), and regression performance.

    python3 examples/report.py [--out DIR]

Prints where the report is. Exits 0 when the report was written (whether or not
its checks passed; the report says which), and with lumetra's status otherwise.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
from sklearn.datasets import load_diabetes

REFERENCE_ROWS = 300
OUTCOME_THRESHOLD = 150


def write_parts(out: Path) -> tuple[Path, Path]:
    """Write reference.csv and current.csv into ``out``; return their paths."""
    data = load_diabetes(scaled=False)
    features, target = data.data, data.target
    design = np.column_stack([np.ones(len(features)), features])
    reference = slice(0, REFERENCE_ROWS)
    coef, *_ = np.linalg.lstsq(design[reference], target[reference], rcond=None)
    prediction = np.round(design @ coef, 1)
    table = np.column_stack([features, target, prediction])
    header = ",".join([*data.feature_names, "target", "prediction"])
    out.mkdir(parents=True, exist_ok=True)
    paths = out / "reference.csv", out / "current.csv"
    # "%.10g" writes whole numbers without a decimal point, so age, sex and
    # target are read back as integer columns.
    for path, rows in zip(paths, (table[:REFERENCE_ROWS], table[REFERENCE_ROWS:])):
        np.savetxt(path, rows, fmt="%.10g", delimiter=",", header=header, comments="")
    return paths


def lumetra_command() -> list[str]:
    """The installed ``lumetra`` script beside this interpreter, else ``python -m lumetra``."""
    script = shutil.which("lumetra", path=os.path.dirname(sys.executable)) or shutil.which("lumetra")
    return [script] if script else [sys.executable, "-m", "lumetra"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    default = Path(__file__).resolve().parent.parent / "build" / "example"
    parser.add_argument("--out", type=Path, default=default, help=f"output directory (default {default})")
    args = parser.parse_args()

    reference, current = write_parts(args.out)
    arguments = [
        "report", reference.name, current.name,
        "--label", "target",
        "--prediction", "prediction",
        "--task", "regression",
        "--threshold", str(OUTCOME_THRESHOLD),
        "--facet", "sex",
        "-o", "report.html",
        "--json", "report.json",
    ]  # fmt: skip
    print(f"$ cd {args.out}", flush=True)
    print("$ lumetra " + " ".join(arguments), flush=True)
    status = subprocess.call(lumetra_command() + arguments, cwd=args.out)
    if status in (0, 1):
        print(f"Open the report: {(args.out / 'report.html').resolve().as_uri()}")
        return 0
    return status


if __name__ == "__main__":
    raise SystemExit(main())
