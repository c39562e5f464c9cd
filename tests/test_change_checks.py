"""Checks that judge change, not noise: a metric fails when its change is
significant after correction and its interval reaches the metric's
tolerance. On data drawn twice from one population (A/A) the report raises
nothing but by chance, however many rows and groups; a real change of the
size of a tolerance is caught."""

import json
import math

import numpy as np
import pyarrow as pa
import pytest

from cli_helpers import lumetra as run_lumetra
from lumetra import report as rp
from lumetra._checks import TOLERANCES, Tolerance, fdr_bh
from lumetra._vocabulary import FAMILY_METRICS

pytestmark = pytest.mark.no_sanitizer(reason="reports of many samples: Python over kernels tested in process")


def population(n, seed, *, label_lift=0.0, dpl=0.0):
    """Two facets of four groups each, 10 numeric and 3 categorical columns, a
    label and a classifier's prediction. `label_lift` raises the label rate of
    everyone, `dpl` that of group "a" of the first facet only."""
    rng = np.random.default_rng(seed)

    def categorical(names, codes=None):
        codes = rng.integers(0, 4, n, dtype=np.int8) if codes is None else codes
        return pa.DictionaryArray.from_arrays(codes, names).cast(pa.string())

    regions = rng.integers(0, 4, n, dtype=np.int8)
    region = categorical(["a", "b", "c", "d"], regions)
    plan = categorical(["w", "x", "y", "z"])
    rate = 0.4 + label_lift + np.where(regions == 0, dpl, 0.0)
    label = (rng.random(n) < rate).astype(np.int64)
    predicted = np.where(rng.random(n) < 0.85, label, 1 - label)
    columns = {f"x{i}": rng.normal(0, 1, n) for i in range(10)}
    columns.update({f"c{i}": categorical(["p", "q", "r", "s"]) for i in range(3)})
    return pa.table({"region": region, "plan": plan, "label": label, "predicted": predicted, **columns})


OPTIONS = rp.ReportOptions(label="label", prediction="predicted", facets=["region", "plan"], task="classification")


def failures(reference, current, options=OPTIONS):
    report = rp.build_report(reference, current, options)
    return [c for c in report["summary"]["checks"] if c["status"] == "failed"]


@pytest.mark.no_sanitizer(reason="forty reports of up to a million rows")
@pytest.mark.parametrize("n, seeds", [
    (100_000, 20),
    pytest.param(1_000_000, 20, marks=pytest.mark.main_run_only(reason="twenty reports of a million rows a side")),
])
def test_a_a_data_raises_nothing_in_nineteen_runs_of_twenty(n, seeds):
    raised = [seed for seed in range(seeds) if failures(population(n, 2 * seed), population(n, 2 * seed + 1))]
    assert len(raised) <= 1, raised


@pytest.mark.no_sanitizer(reason="twenty reports of 100,000 rows")
def test_a_change_of_the_tolerance_is_caught_in_nineteen_runs_of_twenty():
    # DifferenceInProportionOfLabels of group "a" moves from 0 to 0.05 at 100,000 rows.
    caught = 0
    for seed in range(20):
        failed = failures(population(100_000, 2 * seed), population(100_000, 2 * seed + 1, dpl=0.05))
        caught += any(c["section"] == "data_bias" and c["subject"] == "region = a" and
                      any(f["metric"] == "DifferenceInProportionOfLabels" for f in c["failed"]) for c in failed)
    assert caught >= 19


def drift_caught(n, column, shift=0.0, **moved):
    """In how many of 20 seeds the report fails the drift of `column`
    (shifted by `shift` in the current data)."""
    caught = 0
    for seed in range(20):
        reference, current = population(n, 2 * seed), population(n, 2 * seed + 1, **moved)
        if shift:
            current = current.set_column(current.schema.get_field_index(column), column,
                                         pa.array(current[column].to_numpy() + shift))
        caught += any(c["section"] == "drift" and c["subject"] == column for c in failures(reference, current))
    return caught


@pytest.mark.no_sanitizer(reason="sixty reports of up to 100,000 rows")
@pytest.mark.parametrize("n, column, moved", [
    (100_000, "x0", {"shift": 0.1}),    # a tenth of a standard deviation
    (2_000, "x3", {"shift": 0.5}),      # PopulationStabilityIndex about 0.25
    (2_000, "label", {"label_lift": 0.1}),  # the label rate from 0.40 to 0.50
], ids=["mean-0.1sd-100k", "psi-0.25-2k", "label-rate-2k"])
def test_a_real_drift_is_caught_in_nineteen_runs_of_twenty(n, column, moved):
    assert drift_caught(n, column, **moved) >= 19


def test_a_huge_sample_does_not_fail_a_negligible_change():
    # 0.005 of label rate at a million rows is significant, and far below every tolerance.
    assert not [c for c in failures(population(1_000_000, 1), population(1_000_000, 2, dpl=0.005))
                if c["section"] != "drift"]


def test_the_relative_rule_is_the_engines_checks():
    options = rp.ReportOptions(**{**OPTIONS.__dict__, "check_rule": "relative"})
    report = rp.build_report(population(20_000, 1), population(20_000, 2), options)
    assert all(c.get("rule") != "change" for c in report["summary"]["checks"])


def test_tolerances_cover_every_metric_and_read_their_intervals():
    # RSquared and MaxError have no interval of their change; the report notes them as not judged.
    assert set(TOLERANCES) == {m for metrics in FAMILY_METRICS.values() for m in metrics} - {"RSquared", "MaxError"}
    absolute, relative, ratio = Tolerance("absolute", 0.05), Tolerance("relative", 0.1), Tolerance("ratio", 0, 0.8,
                                                                                                   1.25)
    assert absolute.reached(0.01, 0.06, 0.3) and absolute.reached(-0.07, -0.01, 0.3)
    assert not absolute.reached(-0.02, 0.049, 0.3)
    assert relative.reached(0.0, 0.21, 2.0) and not relative.reached(0.0, 0.19, 2.0)
    assert ratio.reached(0.7, 0.95, 1.0) and ratio.reached(1.1, 1.3, 1.0) and not ratio.reached(0.85, 1.2, 1.0)


def test_benjamini_hochberg_equals_statsmodels():
    multipletests = pytest.importorskip("statsmodels.stats.multitest").multipletests
    rng = np.random.default_rng(3)
    p = list(np.concatenate([rng.random(40), rng.random(10) * 1e-4, [1.0, 0.0]]))
    want = multipletests(p, method="fdr_bh")[1]
    got = fdr_bh(p + [math.nan])
    assert np.allclose(got[:-1], want, rtol=1e-12) and math.isnan(got[-1])


def test_lumetra_check_judges_two_reports_by_their_counts(tmp_path):
    import pyarrow.csv as pc

    for name, (seed, dpl) in {"ref": (1, 0.0), "same": (2, 0.0), "moved": (3, 0.08)}.items():
        pc.write_csv(population(50_000, seed, dpl=dpl).select(["region", "label", "predicted"]), tmp_path / f"{name}.csv")
    for name in ("same", "moved"):
        run = run_lumetra("report", tmp_path / "ref.csv", tmp_path / f"{name}.csv", "--label", "label", "--prediction",
                          "predicted", "--task", "classification", "--facet", "region", "-o", tmp_path / "r.html",
                          "--json", tmp_path / f"{name}.json")  # fmt: skip
        assert run.status in (0, 1), run.err
    same = run_lumetra("check", tmp_path / "same.json", tmp_path / "same.json")
    assert same.status == 0 and "compared by their change, 0 failed" in same.out
    moved = run_lumetra("check", tmp_path / "same.json", tmp_path / "moved.json")
    assert moved.status == 1 and "FAILED  data_bias region = a" in moved.out
    assert "DifferenceInProportionOfLabels: change" in moved.out and "tolerance 0.05 absolute" in moved.out
    relative = run_lumetra("check", tmp_path / "same.json", tmp_path / "moved.json", "--check-rule", "relative")
    assert "compared by their change" not in relative.out
    # Damaged counts are an input error, not a traceback.
    doc = json.loads((tmp_path / "moved.json").read_text())
    doc["data_bias"][0]["groups"][0]["current"]["counts"] = [-1, "x"]
    (tmp_path / "bad.json").write_text(json.dumps(doc))
    bad = run_lumetra("check", tmp_path / "same.json", tmp_path / "bad.json")
    assert bad.status == 2 and "counts of a report are damaged" in bad.err
