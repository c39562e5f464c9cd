"""``lumetra report --time/--every`` (or --size, --count) and ``lumetra check REPORT.json``: the
timeline's charts in the HTML, its table rows in the JSON, and the verdict on its latest period."""

from __future__ import annotations

import datetime as dt
import json
import math
import re

import numpy as np
import pytest

pa = pytest.importorskip("pyarrow")
pa_csv = pytest.importorskip("pyarrow.csv")
pytest.importorskip("jinja2")

import lumetra  # noqa: E402
from lumetra import _report_timeline, _svg  # noqa: E402
from cli_helpers import assert_usage_error, lumetra as run_lumetra  # noqa: E402

pytestmark = pytest.mark.no_sanitizer(reason="the command in subprocesses, over kernels tested in process")


def make_table(n, seed, start, days, shift_from=None):
    """Rows spread over `days` days from `start`; from day `shift_from` on,
    x and the score move up by 1.5 standard deviations."""
    rng = np.random.default_rng(seed)
    origin = np.datetime64(start, "s")
    ts = origin + np.sort(rng.integers(0, days * 86400, n)).astype("timedelta64[s]")
    day = ((ts - origin) // np.timedelta64(1, "D")).astype(np.int64)
    shift = np.where(day >= shift_from, 1.5, 0.0) if shift_from is not None else 0.0
    x = rng.normal(0, 1, n) + shift
    score = 1 / (1 + np.exp(-x))
    return pa.table({
        "ts": ts,
        "x": x,
        "region": rng.choice(["a", "b"], n),
        "plan": rng.choice(["basic", "gold", "silver"], n),
        "score": score,
        "label": (rng.random(n) < score).astype(np.int64),
    })


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    root = tmp_path_factory.mktemp("timeline")
    tables = {"ref": make_table(3000, 1, "2024-01-01", 14), "drifting": make_table(2000, 2, "2024-02-01", 10, 8)}
    paths = {}
    for name, table in tables.items():
        paths[name] = root / f"{name}.csv"
        pa_csv.write_csv(table, paths[name])
    return paths


def report(files, tmp_path, current, *args):
    html, out = tmp_path / "r.html", tmp_path / "r.json"
    run = run_lumetra("report", files["ref"], files[current], "-o", html, "--json", out, *args)
    assert run.status in (0, 1), run.err
    return run, html.read_text(encoding="utf-8"), json.loads(out.read_text(encoding="utf-8"))


def as_json(value):
    if isinstance(value, dt.datetime):
        return value.isoformat()
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return value


def figures(html):
    section = html[html.index('<section id="timeline">'):]
    return re.findall(r"<figure><figcaption>(.*?) <span", section), section


LOGISTIC = ("--label", "label", "--prediction", "score", "--task", "logistic")


def test_rows_are_the_timeline_table_and_each_series_has_its_chart(files, tmp_path):
    run, html, doc = report(files, tmp_path, "drifting", "--time", "ts", "--every", "1d", "--columns", "x",
                            "region", *LOGISTIC)
    # The timeline of the same analyses, called directly, gives the very rows.
    ref, cur = (pa_csv.read_csv(files[name]) for name in ("ref", "drifting"))
    tl = lumetra.timeline(cur, reference=ref, time="ts", every="1d", drift=["x", "region"], alpha=0.01,
                          performance=dict(task="logistic", label="label", prediction="score", positive=1))
    expected = [{k: as_json(v) for k, v in row.items()} for row in tl.table().to_pylist()]
    assert doc["timeline"]["rows"] == expected
    assert [(p["start"], p["n"]) for p in doc["timeline"]["periods"]] == \
        [(s.isoformat(), n) for s, _, n in tl.periods]
    assert doc["timeline"]["reference_periods"] == 14
    # The whole-file checks are as without a timeline.
    assert doc["summary"]["checks"]
    assert "latest period" in run.out.splitlines()[1]

    titles, section = figures(html)
    series = {(r["section"], r["subject"], r["metric"]) for r in expected}
    assert len(titles) == len(series) == len(set(titles))
    assert set(titles) == {f"{s.replace('_', ' ')} · {subject} · {m}" for s, subject, m in series}
    # Each alert of the table is one marker: a dot outside the band, a ring for a CUSUM alert.
    assert section.count(f'fill="{_svg.ALERT_COLOUR}"><title>') == sum(r["alert"] for r in expected)
    assert section.count(f'stroke="{_svg.CUSUM_COLOUR}" stroke-width="1.6"><title>') == \
        sum(r["cusum_alert"] for r in expected)
    # The drifting column alerts in the last periods and comes first.
    assert titles[0].startswith("drift · x ·")
    assert '<a href="#timeline">' in html


def test_facets_are_named_and_merged_period_by_period(files, tmp_path):
    _, _, doc = report(files, tmp_path, "drifting", "--time", "ts", "--every", "1w", "--columns", "x",
                       "--facet", "region", "plan", *LOGISTIC)
    rows = doc["timeline"]["rows"]
    starts = [p["start"] for p in doc["timeline"]["periods"]]
    # Period order first, the table's order of sections within a period.
    order = ["drift", "quality", "data_bias", "model_bias", "performance"]
    keys = [(starts.index(r["period_start"]), order.index(r["section"])) for r in rows]
    assert keys == sorted(keys)
    subjects = {r["subject"] for r in rows if r["section"] == "model_bias"}
    assert subjects == {"region = a", "region = b", "plan = basic", "plan = gold", "plan = silver"}
    # Every period holds the same series.
    per_period = [sum(1 for r in rows if r["period_start"] == s) for s in starts]
    assert len(set(per_period)) == 1


def test_check_fails_on_an_alerting_latest_period_and_names_it(files, tmp_path):
    report(files, tmp_path, "drifting", "--time", "ts", "--every", "1d", "--columns", "x")
    run = run_lumetra("check", tmp_path / "r.json")
    assert run.status == 1, run.err
    lines = run.out.splitlines()
    assert any(line.startswith("ALERT   drift x JensenShannon: ") and "outside" in line for line in lines)
    assert re.fullmatch(r"latest period 2024-02-10T00:00:00 to 2024-02-11T00:00:00 \(\d+ rows\): "
                        r"\d+ of \d+ series alert", lines[-1])
    # Only the metrics asked for are judged.
    run = run_lumetra("check", tmp_path / "r.json", "--metrics", "missing_share")
    assert run.status == 0 and "0 of 1 series alert" in run.out, run.out


def test_check_passes_a_quiet_latest_period(files, tmp_path):
    # Each period of a reference against itself lies within its band.
    html, out = tmp_path / "r.html", tmp_path / "r.json"
    run = run_lumetra("report", files["ref"], files["ref"], "-o", html, "--json", out, "--size", "500",
                      "--columns", "x", "region")
    assert run.status == 0, run.err
    doc = json.loads(out.read_text())
    assert [p["start"] for p in doc["timeline"]["periods"]] == list(range(0, 3000, 500))
    run = run_lumetra("check", out)
    assert run.status == 0, run.out
    series = {(r["section"], r["subject"], r["metric"]) for r in doc["timeline"]["rows"]}
    assert run.out.splitlines() == [f"latest period 2500 to 3000 (500 rows): 0 of {len(series)} series alert"]


def test_without_a_timeline_nothing_changes(files, tmp_path):
    run, html, doc = report(files, tmp_path, "drifting", "--columns", "x")
    assert "timeline" not in doc and not {"time", "every", "size", "count"} & set(doc["options"])
    assert '<section id="timeline">' not in html and "timeline:" not in run.out
    # A report without a timeline, given alone to check, is refused.
    assert_usage_error(run_lumetra("check", tmp_path / "r.json"), "without a timeline", "LATEST.json")


@pytest.mark.parametrize(
    "args, words",
    [
        (["--every", "1d"], ["--every needs --time"]),
        (["--time", "ts"], ["--time needs --every"]),
        (["--time", "ts", "--every", "1d", "--size", "10"], ["--size", "not allowed with", "--every"]),
        (["--size", "0"], ["--size", "at least 1"]),
        (["--time", "ts", "--every", "3x"], ["--every must be", "'3x'"]),
        (["--time", "x", "--every", "1d"], ["'x'", "datetimes"]),
        (["--time", "when", "--every", "1d"], ["'when'", "not in"]),
    ],
)
def test_argument_errors_exit_2_with_one_line(files, tmp_path, args, words):
    run = run_lumetra("report", files["ref"], files["drifting"], "-o", tmp_path / "r.html", "--columns", "x", *args)
    assert_usage_error(run, *words)


def test_check_refuses_what_a_timeline_cannot_answer(files, tmp_path):
    report(files, tmp_path, "drifting", "--count", "3", "--columns", "x")
    path = tmp_path / "r.json"
    assert_usage_error(run_lumetra("check", path, "--threshold", "0.2"), "--threshold", "two files")
    assert_usage_error(run_lumetra("check", path, "--metrics", "Nope"), "no metric Nope")
    doc = json.loads(path.read_text())
    doc["timeline"]["rows"][-1]["alert"] = "yes"
    path.write_text(json.dumps(doc))
    assert_usage_error(run_lumetra("check", path), "timeline", "damaged")
    del doc["timeline"]["periods"]
    path.write_text(json.dumps(doc))
    assert_usage_error(run_lumetra("check", path), "timeline", "'periods'")
    path.write_text(json.dumps({"a": 1.0}))
    assert_usage_error(run_lumetra("check", path), "not a report")


# ---- in process: the choice of charts for wide data, and the chart itself --------------------


def synthetic(columns, periods, alerting):
    """A report's timeline section of `columns` drift columns, two metrics
    each; the columns in `alerting` leave their band in the last period."""
    rows = []
    for p in range(periods):
        for c in range(columns):
            for metric in ("JensenShannon", "p_adjusted"):
                late = c in alerting and p == periods - 1 and metric == "JensenShannon"
                rows.append({"period_start": p, "period_end": p + 1, "n": 10, "section": "drift",
                             "subject": f"c{c}", "metric": metric, "value": 0.9 if late else 0.1,
                             "lower": 0.0, "upper": 0.5, "alert": late, "cusum": 0.0, "cusum_alert": False})
    return {"timeline": {"split": {"size": 10}, "periods": [{"start": p, "end": p + 1, "n": 10}
                                                             for p in range(periods)],
                         "reference_periods": 5, "rows": rows, "errors": []},
            "options": {"drift_metric": "JensenShannon"}}


def test_wide_data_draws_the_alerting_series_first_and_counts_the_rest():
    view = _report_timeline.view(synthetic(1000, 4, {7, 500, 999}))
    titles = [c["title"] for c in view["charts"]]
    assert len(titles) == _report_timeline.MAX_CHARTS
    assert titles[:3] == [f"drift · c{c} · JensenShannon" for c in (7, 500, 999)]
    # Then the checked drift metric of the quiet columns, before any p-value.
    assert all(t.endswith("JensenShannon") for t in titles[3:])
    assert view["left_out"] == 2000 - _report_timeline.MAX_CHARTS and view["left_out_alerting"] == 0
    assert view["latest"] == 3 and [a["subject"] for a in view["alerting"]] == ["c7", "c500", "c999"]


def test_chart_breaks_at_missing_values_and_clips_unbounded_bands():
    nan, inf = math.nan, math.inf
    text = _svg.timeline(["p0", "p1", "p2", "p3", "p4"], [1.0, 2.0, nan, 3.0, inf],
                         [0.0, 0.0, 0.0, -inf, nan], [2.5, 2.5, 2.5, inf, nan],
                         [False, False, False, True, True], [False, True, False, False, True], title="t <&>")
    line = re.search(r'<path d="([^"]*)" fill="none" stroke="#e8743b"', text).group(1)
    assert line.count("M") == 2 and line.count("L") == 1  # p0-p1, then p3 alone
    assert "<title>t &lt;&amp;&gt;</title>" in text
    band = re.search(rf'<path fill="{_svg.BAND_COLOUR}" d="([^"]*)"', text).group(1)
    assert band.count("M") == 4  # no band where a bound is NaN
    # Two band alerts and two CUSUM alerts; the infinite value sits on the plot's top edge.
    assert text.count(f'fill="{_svg.ALERT_COLOUR}"><title>') == 2
    assert text.count(f'stroke="{_svg.CUSUM_COLOUR}"') == 2
    assert "p4: ∞, outside its band, CUSUM alert" in text
    assert "NaN" not in text and "inf" not in text
