"""Runs a peer's timing script in an interpreter of its own (a venv that has
the peer), so the peer's dependencies never meet ours."""

import json
import os
import subprocess
import tempfile
from pathlib import Path

#: The venv the benchmarks look for NannyML in, made with
#: `python3 -m venv build/bench-nannyml && build/bench-nannyml/bin/pip install nannyml statsmodels`.
DEFAULT_NANNYML = Path(__file__).resolve().parent.parent / "build" / "bench-nannyml" / "bin" / "python"

#: The start of a NannyML child: imports, or says what is missing; then
#: `folder` and `repeats` from its arguments.
NANNYML_PREAMBLE = r"""
import json, os, sys, time, warnings
os.environ["NML_DISABLE_USAGE_LOGGING"] = "1"
warnings.filterwarnings("ignore")
try:
    import nannyml
except ImportError as exc:
    print(json.dumps({"missing": str(exc)}))
    sys.exit(0)
import numpy as np
import pandas as pd

folder, repeats = sys.argv[1], int(sys.argv[2])
"""


def run_peer(python, child, save, repeats):
    """Runs the source `child` in `python` with a temporary folder that
    `save(folder)` filled and the number of repeats as its arguments, NannyML's
    usage logging off. Returns the JSON of its last line, or None and why it
    could not run (a child that cannot import its peer prints {"missing": why})."""
    if not Path(python).exists():
        return None, f"{python} does not exist"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["NML_DISABLE_USAGE_LOGGING"] = "1"
    with tempfile.TemporaryDirectory(prefix="bench-peer-") as folder:
        save(folder)
        done = subprocess.run([str(python), "-c", child, folder, str(repeats)], env=env, capture_output=True,
                              text=True)
    lines = done.stdout.strip().splitlines()
    if done.returncode != 0 or not lines:
        return None, f"{python} failed: {done.stderr.strip().splitlines()[-1:] or done.returncode}"
    answer = json.loads(lines[-1])
    if "missing" in answer:
        return None, f"{python} has no peer ({answer['missing']})"
    return answer, None
