"""``lumetra report`` end to end: exit codes, and every number of its JSON against the package."""

from __future__ import annotations

import json
import math
import os
import pty
import subprocess

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pa_csv = pytest.importorskip("pyarrow.csv")
pa_parquet = pytest.importorskip("pyarrow.parquet")

import _lumetra  # noqa: E402
import lumetra  # noqa: E402
from cli_helpers import assert_usage_error, command, lumetra as run_lumetra  # noqa: E402
from vocabulary import DRIFT  # noqa: E402

# The command in subprocesses, over kernels the in-process tests run sanitized.
pytestmark = pytest.mark.no_sanitizer(reason="the command in subprocesses, over kernels tested in process")



def make_table(n, seed, shift=0.0):
    rng = np.random.default_rng(seed)
    region = rng.choice(["north", "south", "east"], n, p=[0.5, 0.3, 0.2])
    age = rng.integers(18, 80, n)
    income = rng.gamma(3.0, 10.0 + shift * 10, n)
    score = 1 / (1 + np.exp(-(income - 30) / 10 - rng.normal(shift, 1, n)))
    label = (rng.random(n) < 0.2 + 0.5 * score).astype(np.int64)
    predicted = (score >= 0.5).astype(np.int64)
    target = income * 2 + rng.normal(0, 5, n)
    estimate = target + rng.normal(shift * 10, 6, n)
    return pa.table(
        {
            "region": region,
            "age": age,
            "income": income,
            "label": label,
            "predicted": predicted,
            "score": score,
            "target": target,
            "estimate": estimate,
        }
    )


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("report")
    tables = {"ref": make_table(600, 1), "cur": make_table(400, 2, shift=0.8)}
    paths = {}
    for name, table in tables.items():
        pa_csv.write_csv(table, root / f"{name}.csv")
        # Parquet is told by its content, not its name.
        pa_parquet.write_table(table, root / f"{name}.data")
        paths[name, "csv"] = root / f"{name}.csv"
        paths[name, "parquet"] = root / f"{name}.data"
    return root, paths


def read(path):
    with open(path, "rb") as handle:
        magic = handle.read(4)
    return pa_parquet.read_table(path) if magic == b"PAR1" else pa_csv.read_csv(path)


def rows(frame):
    return frame.to_pylist()


def same(json_value, value):
    """A JSON number (non-finite ones as text) equals the package's float, bit for bit."""
    if isinstance(json_value, str):
        json_value = float(json_value.replace("Infinity", "inf"))
    if math.isnan(value):
        return math.isnan(json_value)
    return json_value == value


TASKS = {
    "classification": (["--label", "label", "--prediction", "predicted", "--task", "classification"], {}),
    "logistic": (
        ["--label", "label", "--prediction", "score", "--task", "logistic", "--threshold", "0.4"],
        {"threshold": 0.4},
    ),
    "regression": (
        ["--label", "target", "--prediction", "estimate", "--task", "regression", "--threshold", "60"],
        {},
    ),
}


@pytest.mark.parametrize("fmt", ["csv", "parquet"])
@pytest.mark.parametrize("task", list(TASKS))
def test_json_numbers_equal_the_package_functions(files, tmp_path, fmt, task):
    root, paths = files
    args, perf_kwargs = TASKS[task]
    ref_path, cur_path = paths["ref", fmt], paths["cur", fmt]
    out = tmp_path / "r.json"
    run = run_lumetra(
        "report", ref_path, cur_path, *args, "--facet", "region", "-o", tmp_path / "r.html", "--json", out
    )
    assert run.status in (0, 1), run.err
    report = json.loads(out.read_text())
    ref, cur = read(ref_path), read(cur_path)
    label, prediction = args[1], args[3]

    # Drift: every shared column, each metric equal to lumetra.drift.
    expected = {r["column"]: r for r in rows(lumetra.drift(ref, cur))}
    assert [d["column"] for d in report["drift"]["columns"]] == list(expected)
    for d in report["drift"]["columns"]:
        row = expected[d["column"]]
        assert d["kind"] == row["kind"] and d["bins"] == row["bins"]
        for metric in DRIFT:
            assert same(d["metrics"][metric], row[metric]), (d["column"], metric)

    # Bias: each group on each side equal to the package's rows.
    if task == "regression":
        bias_kwargs = {"label_threshold": 60.0}
        model_kwargs = {"label_threshold": 60.0, "prediction_threshold": 60.0}
    elif task == "logistic":
        bias_kwargs = {"positive": 1}
        model_kwargs = {"positive": 1, "prediction_threshold": 0.4}
    else:
        bias_kwargs = model_kwargs = {"positive": 1}
    for section, fn, kwargs in (
        ("data_bias", lambda f: lumetra.data_bias(f, "region", label, **bias_kwargs), None),
        ("model_bias", lambda f: lumetra.model_bias(f, "region", label, prediction, **model_kwargs), None),
    ):
        (facet,) = report[section]
        assert facet["facet"] == "region"
        for side, frame in (("reference", ref), ("current", cur)):
            by_group = {r["region"]: r for r in rows(fn(frame))}
            assert sorted(g["group"] for g in facet["groups"]) == sorted(by_group)
            for group in facet["groups"]:
                row = by_group[group["group"]]
                got = group[side]
                assert (got["n"], got["n_other"]) == (row["n"], row["n_other"])
                for metric, value in got["metrics"].items():
                    assert same(value, row[metric]), (section, side, group["group"], metric)

    # Performance.
    for side, frame in (("reference", ref), ("current", cur)):
        (row,) = rows(lumetra.performance(frame, label, prediction, task=task, **perf_kwargs))
        got = report["performance"][side]
        assert got["n"] == row["n"]
        assert set(got["metrics"]) == set(row) - {"n"}
        for metric, value in got["metrics"].items():
            assert same(value, row[metric]), (side, metric)

    # The exit status is the summary's.
    assert run.status == (1 if report["summary"]["failed"] else 0)
    assert report["summary"]["failed"] == sum(c["status"] == "failed" for c in report["summary"]["checks"])


def test_checks_are_the_engine_checks_of_the_reported_values(files, tmp_path):
    root, paths = files
    out = tmp_path / "r.json"
    run = run_lumetra(
        "report", paths["ref", "csv"], paths["cur", "csv"], *TASKS["regression"][0],
        "--facet", "region", "--check-rule", "relative", "--check-threshold", "0.2", "-o", tmp_path / "r.html",
        "--json", out,
    )  # fmt: skip
    report = json.loads(out.read_text())
    assert run.status == 1  # the current part drifts
    undo = lambda m: {k: float(v.replace("Infinity", "inf")) if isinstance(v, str) else v for k, v in m.items()}  # noqa: E731
    perf = report["performance"]
    engine = _lumetra.py_model_perf_lin_reg_rt_full(undo(perf["reference"]["metrics"]), undo(perf["current"]["metrics"]), 0.2)
    assert (perf["check"]["status"] == "passed") == engine["passed"]
    assert {e["metric"] for e in perf["check"]["failed"]} == {e["metric"] for e in engine.get("failed_report", [])}
    for group in report["model_bias"][0]["groups"]:
        engine = _lumetra.py_model_bias_runtime_check(
            undo(group["reference"]["metrics"]), undo(group["current"]["metrics"]), 0.2
        )
        assert (group["check"]["status"] == "passed") == engine["passed"]
    for column in report["drift"]["columns"]:
        value = float(column["metrics"]["JensenShannon"])
        assert (column["check"]["status"] == "failed") == (value >= 0.1)


def test_histograms_are_the_engine_bins(files, tmp_path):
    root, paths = files
    out = tmp_path / "r.json"
    run_lumetra("report", paths["ref", "csv"], paths["cur", "csv"], "--columns", "income", "region",
                "-o", tmp_path / "r.html", "--json", out)  # fmt: skip
    report = json.loads(out.read_text())
    income, region = report["drift"]["columns"]
    ref, cur = read(paths["ref", "csv"]), read(paths["cur", "csv"])
    baseline = np.ascontiguousarray(ref["income"].to_numpy(), dtype=np.float64)
    assert income["histogram"]["reference"] == _lumetra.PyContinuousDataDrift(baseline, "FreedmanDiaconis").export_baseline()
    assert len(income["histogram"]["current"]) == income["bins"]
    assert sum(income["histogram"]["current"]) == pytest.approx(1.0)
    shares = _lumetra.PyCategoricalDataDrift(cur["region"].to_pylist()).export_baseline()
    assert dict(zip(region["histogram"]["labels"], region["histogram"]["current"])) == shares


def test_identical_files_pass_and_sections_follow_the_options(files, tmp_path):
    root, paths = files
    run = run_lumetra("report", paths["ref", "csv"], paths["ref", "parquet"], "--label", "label",
                      "--facet", "region", "-o", tmp_path / "r.html", "--json", tmp_path / "r.json")  # fmt: skip
    assert run.status == 0, run.out + run.err
    report = json.loads((tmp_path / "r.json").read_text())
    assert "data_bias" in report and "model_bias" not in report and "performance" not in report
    assert run.err == ""  # no progress line outside a terminal
    assert f"report: {tmp_path / 'r.html'}" in run.out
    html = (tmp_path / "r.html").read_text()
    assert 'id="data-bias"' in html and 'id="model-bias"' not in html


def test_progress_only_on_a_terminal(files, tmp_path):
    root, paths = files
    leader, follower = pty.openpty()
    done = subprocess.run(
        command() + ["report", str(paths["ref", "csv"]), str(paths["cur", "csv"]), "-o", str(tmp_path / "r.html")],
        stdout=subprocess.PIPE, stderr=follower, timeout=300,
    )  # fmt: skip
    os.close(follower)
    seen = b""
    try:
        while chunk := os.read(leader, 4096):
            seen += chunk
    except OSError:
        pass
    os.close(leader)
    assert done.returncode in (0, 1)
    assert b"drift: 8 columns" in seen


@pytest.mark.parametrize(
    "args, words",
    [
        (["{root}/nope.csv", "{ref}"], ["nope.csv"]),
        (["{ref}", "{cur}", "--label", "nope"], ["nope", "ref.csv"]),
        (["{bad}", "{cur}"], ["bad.parquet"]),
        (["{ref}", "{cur}", "--label", "label", "--positive", "yes", "--facet", "region"], ["--positive", "label"]),
        (["{ref}", "{cur}", "--label", "target", "--facet", "region", "--task", "regression"], ["--threshold"]),
        (["{ref}", "{cur}", "--label", "label", "--prediction", "score"], ["--task"]),
        (["{ref}", "{cur}", "--columns", "income", "nope"], ["nope"]),
        (["{holes}", "{cur}", "--label", "label", "--facet", "region"], ["region"]),
    ],
)
def test_input_errors_exit_2_with_one_line(files, tmp_path, args, words):
    root, paths = files
    bad = tmp_path / "bad.parquet"
    bad.write_bytes(b"PAR1 this is not parquet")
    holes = tmp_path / "holes.csv"
    holes.write_text("region,label\nnorth,1\n,0\nsouth,1\nnorth,0\n")
    subst = {"root": root, "ref": paths["ref", "csv"], "cur": paths["cur", "csv"], "bad": bad, "holes": holes}
    run = run_lumetra("report", *[a.format(**subst) for a in args], "-o", tmp_path / "r.html")
    assert_usage_error(run, *words)
    assert not (tmp_path / "r.html").exists()


def test_dates_are_left_out_and_missing_values_can_form_a_group(tmp_path):
    rows_ = ["2024-01-0{d},{r},{l},{x}".format(d=d, r=r, l=l, x=x) for d, r, l, x in [
        (1, "north", 1, 3.5), (2, "", 0, ""), (3, "south", 1, 2.0), (4, "north", 0, 4.0),
        (5, "south", 0, 1.0), (6, "east", 1, 2.5), (7, "north", 1, 3.0), (8, "south", 0, 1.5),
    ]]  # fmt: skip
    (tmp_path / "ref.csv").write_text("day,region,label,income\n" + "\n".join(rows_) + "\n")
    # The current part has no "east" row.
    (tmp_path / "cur.csv").write_text("day,region,label,income\n" + "\n".join(rows_[:5] + rows_[6:]) + "\n")
    run = run_lumetra("report", tmp_path / "ref.csv", tmp_path / "cur.csv", "--label", "label", "--facet", "region",
                      "--missing", "group", "-o", tmp_path / "r.html", "--json", tmp_path / "r.json")  # fmt: skip
    assert run.status in (0, 1), run.err
    report = json.loads((tmp_path / "r.json").read_text())
    assert [d["column"] for d in report["drift"]["columns"]] == ["region", "label", "income"]
    assert [s["column"] for s in report["drift"]["skipped"]] == ["day"]
    # Drift leaves out a column's missing rows (the empty region and income fields).
    income = report["drift"]["columns"][2]
    assert sum(income["histogram"]["reference"]) == pytest.approx(1.0)
    groups = {g["label"]: g for g in report["data_bias"][0]["groups"]}
    assert set(groups) == {"north", "south", "east", "(missing)"}
    assert groups["(missing)"]["group"] is None and groups["(missing)"]["reference"]["n"] == 1
    assert groups["east"]["current"] is None
    assert groups["east"]["check"] == {"status": "not checked", "failed": [], "note": "the group is not in the current data"}
    assert report["summary"]["not_checked"] >= 1
    assert "not checked" in run.out


def test_names_and_labels_from_the_data_are_escaped(tmp_path):
    hostile = "<script>alert(1)</script>"
    text = f'"{hostile}",label\n' + "".join(f'"{hostile if i % 3 else "a&b"}",{i % 2}\n' for i in range(12))
    for name in ("ref.csv", "cur.csv"):
        (tmp_path / name).write_text(text)
    run = run_lumetra("report", tmp_path / "ref.csv", tmp_path / "cur.csv", "--label", "label",
                      "--facet", hostile, "-o", tmp_path / "r.html")  # fmt: skip
    assert run.status == 0, run.err
    html = (tmp_path / "r.html").read_text()
    assert "<script" not in html
    assert "&lt;script&gt;" in html and "a&amp;b" in html


# ---- what the command refuses, and how ------------------------------------------------------------


@pytest.mark.parametrize("args, words", [
    (["--drift-threshold", "nan"], ["--drift-threshold", "finite number >= 0"]),
    (["--drift-threshold", "inf"], ["--drift-threshold", "finite number >= 0"]),
    (["--drift-threshold", "-0.5"], ["--drift-threshold", "finite number >= 0"]),
    (["--check-threshold", "nan"], ["--check-threshold", "finite number >= 0"]),
    (["--check-threshold", "-1"], ["--check-threshold"]),
    (["--label", "label", "--facet", "region", "--threshold", "nan"], ["--threshold", "not a number"]),
    (["--max-groups", "1"], ["--max-groups"]),
    (["--facet-threshold", "3"], ["--facet-threshold", "--facet"]),
    (["--delimiter", "ab"], ["--delimiter"]),
])
def test_thresholds_that_would_pass_every_check_are_refused(files, tmp_path, args, words):
    root, paths = files
    run = run_lumetra("report", paths["ref", "csv"], paths["cur", "csv"], *args, "-o", tmp_path / "r.html")
    assert_usage_error(run, *words)


def test_a_report_that_compares_nothing_is_refused(files, tmp_path):
    root, paths = files
    (tmp_path / "semi.csv").write_text("income;region\n1.5;north\n2.5;south\n")
    (tmp_path / "head.csv").write_text("income,region\n")
    (tmp_path / "dates.csv").write_text("day\n2024-01-01\n2024-01-02\n")
    cases = [
        ([paths["ref", "csv"], tmp_path / "semi.csv", "--delimiter", ","], ["no column in common", "--delimiter"]),
        ([paths["ref", "csv"], tmp_path / "head.csv"], ["head.csv has no rows"]),
        ([tmp_path / "head.csv", paths["cur", "csv"]], ["head.csv has no rows"]),
        ([tmp_path / "dates.csv", tmp_path / "dates.csv"], ["nothing to compare", "day"]),
    ]
    for args, words in cases:
        assert_usage_error(run_lumetra("report", *args, "-o", tmp_path / "r.html"), *words)


def test_the_delimiter_is_told_from_the_header_or_given(files, tmp_path):
    root, paths = files
    table = read(paths["ref", "csv"]).select(["region", "age", "income", "label"])
    comma = tmp_path / "comma.csv"
    pa_csv.write_csv(table, comma)
    outputs = {}
    for name, delimiter, flag in (("semi", ";", []), ("tab", "\t", []), ("pipe", "|", ["--delimiter", "|"]),
                                  ("tabflag", "\t", ["--delimiter", "tab"]), ("comma", ",", [])):
        path = tmp_path / f"{name}.csv"
        if name != "comma":
            pa_csv.write_csv(table, path, pa_csv.WriteOptions(delimiter=delimiter))
        run = run_lumetra("report", path, path, *flag, "--label", "label", "--facet", "region",
                          "-o", tmp_path / "r.html", "--json", tmp_path / f"{name}.json")  # fmt: skip
        assert run.status == 0, (name, run.err)
        report = json.loads((tmp_path / f"{name}.json").read_text())
        del report["reference"], report["current"], report["options"]
        outputs[name] = report
    assert all(report == outputs["comma"] for report in outputs.values())


def test_non_finite_values_anywhere_are_text_in_the_json(tmp_path):
    text = "g,label,x\n" + "".join(f"{g},{i % 2},{i}\n" for i, g in enumerate(["inf", "1", "-inf", "1", "inf", "2"] * 3))
    (tmp_path / "d.csv").write_text(text)
    run = run_lumetra("report", tmp_path / "d.csv", tmp_path / "d.csv", "--label", "label", "--facet", "g",
                      "--columns", "x", "-o", tmp_path / "r.html", "--json", tmp_path / "r.json")  # fmt: skip
    assert run.status == 0, run.err

    def refuse(constant):
        raise AssertionError(f"non-standard JSON constant {constant}")

    report = json.loads((tmp_path / "r.json").read_text(), parse_constant=refuse)
    assert {g["group"] for g in report["data_bias"][0]["groups"]} == {"Infinity", "-Infinity", 1.0, 2.0}


def test_duplicate_names_and_clashing_columns_are_one_line(tmp_path):
    (tmp_path / "dup.csv").write_text("x,label,x\n1,0,3\n2,1,4\n")
    assert_usage_error(run_lumetra("report", tmp_path / "dup.csv", tmp_path / "dup.csv", "-o", tmp_path / "r.html"),
                       "dup.csv", "'x'")
    (tmp_path / "clash.csv").write_text("ClassImbalance,label\n" + "a,1\nb,0\na,0\nb,1\n" * 3)
    run = run_lumetra("report", tmp_path / "clash.csv", tmp_path / "clash.csv", "--label", "label",
                      "--facet", "ClassImbalance", "-o", tmp_path / "r.html")  # fmt: skip
    assert_usage_error(run, "'ClassImbalance'", "result column")


def test_messages_name_the_flags(files, tmp_path):
    (tmp_path / "holes.csv").write_text("region,label,score\nnorth,1,0.2\n,0,0.5\nsouth,1,0.9\nnorth,0,0.1\n")
    run = run_lumetra("report", tmp_path / "holes.csv", tmp_path / "holes.csv", "--label", "label",
                      "--facet", "region", "--columns", "score", "-o", tmp_path / "r.html")  # fmt: skip
    assert_usage_error(run, "--missing drop", "--missing group")
    assert "missing=" not in run.err
    run = run_lumetra("report", tmp_path / "holes.csv", tmp_path / "holes.csv", "--label", "region",
                      "--facet", "label", "--threshold", "1", "--missing", "drop", "-o", tmp_path / "r.html")  # fmt: skip
    assert_usage_error(run, "--threshold")
    assert "label_threshold" not in run.err


def test_infinite_cut_offs(files, tmp_path):
    root, paths = files
    base = [paths["ref", "csv"], paths["cur", "csv"], "--label", "age", "--facet", "region", "-o", tmp_path / "r.html"]
    assert_usage_error(run_lumetra("report", *base, "--threshold", "inf"), "no positive rows", "--threshold inf")
    run = run_lumetra("report", *base, "--threshold=-inf", "--json", tmp_path / "r.json")
    assert run.status in (0, 1), run.err
    groups = json.loads((tmp_path / "r.json").read_text())["data_bias"][0]["groups"]
    assert all(g["reference"]["metrics"]["DifferenceInProportionOfLabels"] == 0.0 for g in groups)


def test_scores_are_no_classes(files, tmp_path):
    root, paths = files
    run = run_lumetra("report", paths["ref", "csv"], paths["cur", "csv"], "--label", "label", "--prediction",
                      "score", "--task", "classification", "-o", tmp_path / "r.html")  # fmt: skip
    assert_usage_error(run, "--prediction column 'score'", "--task logistic")
    # Float columns of the label's classes are classes.
    text = "label,p\n" + "1,1.0\n0,0.0\n1,0.0\n0,1.0\n" * 4
    (tmp_path / "c.csv").write_text(text)
    run = run_lumetra("report", tmp_path / "c.csv", tmp_path / "c.csv", "--label", "label", "--prediction", "p",
                      "--task", "classification", "-o", tmp_path / "r.html")  # fmt: skip
    assert run.status == 0, run.err


def test_many_groups_are_refused_until_asked_for(tmp_path):
    text = "id,label\n" + "".join(f"{i},{i % 2}\n" for i in range(150))
    (tmp_path / "d.csv").write_text(text)
    base = ["report", tmp_path / "d.csv", tmp_path / "d.csv", "--label", "label", "--facet", "id", "--columns",
            "label", "-o", tmp_path / "r.html", "--json", tmp_path / "r.json"]
    assert_usage_error(run_lumetra(*base), "150 groups", "--max-groups 150", "--facet-threshold")
    assert run_lumetra(*base, "--max-groups", "150").status == 0
    run = run_lumetra(*base, "--facet-threshold", "75")
    assert run.status == 0, run.err
    groups = json.loads((tmp_path / "r.json").read_text())["data_bias"][0]["groups"]
    assert [(g["label"], g["reference"]["n"]) for g in groups] == [(">= 75.0", 75), ("< 75.0", 75)]


def test_a_parquet_directory_is_one_table(files, tmp_path):
    root, paths = files
    table = read(paths["ref", "csv"])
    pa_parquet.write_to_dataset(table, tmp_path / "parts", partition_cols=["region"])
    run = run_lumetra("report", tmp_path / "parts", paths["ref", "csv"], "--label", "label", "--facet", "region",
                      "--columns", "income", "-o", tmp_path / "r.html", "--json", tmp_path / "r.json")  # fmt: skip
    assert run.status == 0, run.err
    report = json.loads((tmp_path / "r.json").read_text())
    assert report["reference"]["rows"] == table.num_rows
    for group in report["data_bias"][0]["groups"]:
        assert group["reference"] == group["current"]


def test_running_out_of_memory_is_an_input_error(files, tmp_path, monkeypatch, capsys):
    from lumetra import cli

    root, paths = files

    def exhausted(*args, **kwargs):
        raise MemoryError

    monkeypatch.setattr("lumetra.report.drift_details", exhausted)
    status = cli.main(["report", str(paths["ref", "csv"]), str(paths["cur", "csv"]), "-o", str(tmp_path / "r.html")])
    err = capsys.readouterr().err
    assert status == 2 and err.count("\n") == 1 and "Traceback" not in err
    assert "out of memory while computing the report (drift: " in err
