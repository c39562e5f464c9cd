"""The two environment settings are read once per process, so each case runs
in a fresh interpreter."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

PROBE = textwrap.dedent(
    """
    import json, os, numpy as np, _lumetra

    def heuristic_label_matches():
        # 4 distinct values in 100 elements (share 0.04): label matching at the
        # default heuristic, thresholding below 0.04
        feature = np.repeat([1.0, 2.0, 3.0, 4.0], 25)
        truth = np.tile([1, 0], 50)
        r = _lumetra.py_data_bias_analyzer(feature, truth, 3.0, 1)
        return r["ClassImbalance"] == 0.5  # facet a is a quarter

    first = heuristic_label_matches()
    os.environ["LUMETRA_DISTRIBUTION_HEURISTIC"] = "0.0"
    print(json.dumps({"first": first, "second": heuristic_label_matches()}))
    """
)


def run_probe(value):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LUMETRA_")}
    if value is not None:
        env["LUMETRA_DISTRIBUTION_HEURISTIC"] = value
    out = subprocess.run([sys.executable, "-c", PROBE], env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout)


@pytest.mark.parametrize(
    "value, label_matches",
    [
        (None, True),
        ("0.05", True),
        ("0.04", True),  # 0.04f == 4f/100f
        ("0.039", False),
        ("1e-2", False),
        ("+0.2", True),
        ("-1", False),
        ("nan", False),  # nothing compares <= NaN: only 3 or fewer distinct values label-match
        ("INF", True),
        (" 0.01", True),  # blanks are not trimmed: default
        ("0.01 ", True),
        ("", True),
        ("zero", True),
    ],
)
def test_distribution_heuristic_parsing(value, label_matches):
    result = run_probe(value)
    assert result["first"] is label_matches
    # read once: changing the variable later has no effect
    assert result["second"] is label_matches
