"""The report's timeline: the current data split into periods, each period's
figures against bands from the reference's periods, as rows for the JSON, as
small charts for the HTML, and the verdict on the latest period that
``lumetra check REPORT.json`` gives.

The figures are those of :func:`lumetra.timeline`; nothing here computes a
statistic. A report with several facets has one timeline per facet for the
bias sections (one call takes one facet), and their rows are merged into the
first timeline's, period by period, in the table's order of sections.
"""

from __future__ import annotations

import datetime as dt
import math
from dataclasses import dataclass, field
from typing import Any, Iterable, Mapping, Sequence

import narwhals as nw

from . import _svg
from ._checks import json_number

#: The table's columns: each JSON row has these keys.
ROW_KEYS = ("period_start", "period_end", "n", "section", "subject", "metric", "value", "lower", "upper", "alert",
            "cusum", "cusum_alert")
SECTION_ORDER = ("drift", "quality", "data_bias", "model_bias", "performance")
#: At most this many charts are drawn; the rest are counted in a note.
MAX_CHARTS = 60
#: At most this many alerting series are listed by name.
MAX_LISTED = 200


def requested(options: Any) -> bool:
    """Whether the report has a timeline."""
    return any(getattr(options, name) is not None for name in ("time", "every", "size", "count"))


def problems(options: Any) -> str | None:
    """What is wrong with the timeline's options, as the command names them."""
    ways = [flag for flag, value in (("--every", options.every), ("--size", options.size),
                                     ("--count", options.count)) if value is not None]
    if len(ways) > 1:
        return f"{' and '.join(ways)} split the rows in two ways; give one of --every, --size or --count"
    if options.every is not None and options.time is None:
        return "--every needs --time (the datetime column whose calendar periods split the rows)"
    if options.time is not None and not ways:
        return "--time needs --every (the period, such as 1d or 1w), or give --size or --count"
    for flag, value in (("--size", options.size), ("--count", options.count)):
        if value is not None and (isinstance(value, bool) or not isinstance(value, int) or value < 1):
            return f"{flag} must be a positive integer; got {value!r}"
    return None


def _text(moment: Any) -> Any:
    """A period bound as JSON holds it: ISO 8601 for times, row positions as they are."""
    if isinstance(moment, (dt.datetime, dt.date)):
        return moment.isoformat()
    if hasattr(moment, "item"):  # a NumPy scalar
        return moment.item()
    return moment


def json_rows(table: Any, facet: str | None = None) -> list[dict[str, Any]]:
    """A timeline table's rows as JSON objects; a bias row's subject names its
    facet ("sex = F") when `facet` is given."""
    columns = nw.from_native(table, eager_only=True).to_dict(as_series=False)
    out = []
    for i in range(len(columns["metric"])):
        row = {key: columns[key][i] for key in ROW_KEYS}
        row["period_start"], row["period_end"] = _text(row["period_start"]), _text(row["period_end"])
        row["n"] = int(row["n"])
        for key in ("value", "lower", "upper", "cusum"):
            row[key] = json_number(math.nan if row[key] is None else float(row[key]))
        row["alert"], row["cusum_alert"] = bool(row["alert"]), bool(row["cusum_alert"])
        if facet is not None and row["section"] in ("data_bias", "model_bias"):
            row["subject"] = f"{facet} = {row['subject']}"
        out.append(row)
    return out


def merged(first: list[dict[str, Any]], others: Iterable[list[dict[str, Any]]]) -> list[dict[str, Any]]:
    """Rows of timelines of the same periods as one table: period by period,
    sections in the table's order, each timeline's rows in their order."""
    extra = [row for rows in others for row in rows]
    if not extra:
        return first
    order = {s: i for i, s in enumerate(SECTION_ORDER)}
    periods: dict[Any, int] = {}
    for row in first + extra:
        periods.setdefault(row["period_start"], len(periods))
    return sorted(first + extra, key=lambda row: (periods[row["period_start"]], order[row["section"]]))


def build(reference: Any, current: Any, options: Any, drift_columns: Sequence[str], bias: list[tuple[str, Any, Any]],
          performance: Mapping[str, Any] | None) -> dict[str, Any]:
    """The report's timeline section: `bias` holds each facet's keyword
    arguments of the data-bias and model-bias analyses (None for none)."""
    from ._frame import read_frame
    from ._periods import split_periods
    from ._timeline import timeline

    split = {"time": options.time, "every": options.every, "size": options.size, "count": options.count}
    common = dict(split, missing="drop" if options.missing == "group" else options.missing, rule=options.rule,
                  alpha=options.alpha)
    columns = [c for c in drift_columns if c != options.time]
    first_bias = bias[0] if bias else (None, None, None)
    main = timeline(current, reference=reference, drift=columns if columns else False, data_bias=first_bias[1],
                    model_bias=first_bias[2], performance=performance, **common)
    rows = json_rows(main.table(), first_bias[0])
    errors = list(main.errors)
    others = []
    for facet, data_kwargs, model_kwargs in bias[1:]:
        more = timeline(current, reference=reference, drift=False, quality=False, data_bias=data_kwargs,
                        model_bias=model_kwargs, **common)
        others.append(json_rows(more.table(), facet))
        errors += more.errors
    rows = merged(rows, others)
    base = read_frame(reference, "reference")
    reference_periods = split_periods(base, "reference", **split, missing=common["missing"])
    return {
        "split": split,
        "periods": [{"start": _text(s), "end": _text(e), "n": n} for s, e, n in main.periods],
        "reference_periods": len(reference_periods.starts),
        "rows": rows,
        "errors": [{"period_start": _text(p), "section": s, "message": m} for p, s, m in errors],
    }


# ------------------------------------------------------------------ reading


@dataclass
class Series:
    """One (section, subject, metric) over the periods, as the JSON holds it."""

    section: str
    subject: str
    metric: str
    values: list[float] = field(default_factory=list)
    lower: list[float] = field(default_factory=list)
    upper: list[float] = field(default_factory=list)
    alerts: list[bool] = field(default_factory=list)
    cusum_alerts: list[bool] = field(default_factory=list)
    cusum: list[float] = field(default_factory=list)

    @property
    def name(self) -> str:
        return f"{self.section} {self.subject} {self.metric}"

    def alerting(self, p: int) -> bool:
        return self.alerts[p] or self.cusum_alerts[p]


def _number(value: Any) -> float:
    if isinstance(value, str):
        return float(value.replace("Infinity", "inf"))
    return float(value)


def series_of(section: Mapping[str, Any]) -> tuple[list[str], list[Series]]:
    """The periods' starts and each series of a report's timeline, in the
    table's order. Raises KeyError, TypeError or ValueError when the
    section is not the shape the report writes."""
    starts = [row["start"] for row in section["periods"]]
    position = {start: p for p, start in enumerate(starts)}
    found: dict[tuple[str, str, str], Series] = {}
    for row in section["rows"]:
        key = (str(row["section"]), str(row["subject"]), str(row["metric"]))
        entry = found.get(key)
        if entry is None:
            entry = found[key] = Series(*key, [math.nan] * len(starts), [math.nan] * len(starts),
                                        [math.nan] * len(starts), [False] * len(starts), [False] * len(starts),
                                        [math.nan] * len(starts))
        p = position[row["period_start"]]
        entry.values[p], entry.lower[p], entry.upper[p] = (_number(row[k]) for k in ("value", "lower", "upper"))
        entry.cusum[p] = _number(row["cusum"])
        if not (isinstance(row["alert"], bool) and isinstance(row["cusum_alert"], bool)):
            raise TypeError("alert and cusum_alert must be true or false")
        entry.alerts[p], entry.cusum_alerts[p] = row["alert"], row["cusum_alert"]
    return starts, list(found.values())


def latest_alerts(section: Mapping[str, Any], metrics: Sequence[str] | None = None
                  ) -> tuple[Mapping[str, Any], list[Series], int]:
    """The latest period, the series that alert in it (by band or CUSUM),
    and how many series were judged; `metrics` keeps only those metrics."""
    starts, series = series_of(section)
    if not starts:
        raise ValueError("the timeline has no period")
    if metrics:
        series = [s for s in series if s.metric in metrics]
    last = len(starts) - 1
    return section["periods"][last], [s for s in series if s.alerting(last)], len(series)


# ------------------------------------------------------------------ drawing


def _label(start: Any, split: Mapping[str, Any]) -> str:
    """A period's short name on a chart's axis."""
    if not isinstance(start, str):
        return str(start)
    every = split.get("every") or ""
    if every.endswith("h"):
        return start[:16].replace("T", " ")
    if every.endswith(("mo", "q")):
        return start[:7]
    if every.endswith("y"):
        return start[:4]
    return start[:10]


def _rank(s: Series, last: int, headline: set[tuple[str, str]]) -> int:
    """Which charts come first: alerting now, alerted before, headline
    figures (performance, the checked drift metric), then the rest."""
    if s.alerting(last):
        return 0
    if any(s.alerts) or any(s.cusum_alerts):
        return 1
    if s.section == "performance" or (s.section, s.metric) in headline:
        return 2
    return 3


def view(report: Mapping[str, Any]) -> dict[str, Any]:
    """What the HTML's timeline section shows: the charts drawn (alerting
    series first, at most MAX_CHARTS), what was left out, the latest
    period's alerts."""
    section = report["timeline"]
    starts, series = series_of(section)
    last = len(starts) - 1
    split = section["split"]
    labels = [_label(s, split) for s in starts]
    headline = {("drift", str(report["options"].get("drift_metric")))}
    drawable = [s for s in series if any(math.isfinite(v) for v in s.values)]
    ranked = sorted(drawable, key=lambda s: _rank(s, last, headline))  # stable: the table's order within a rank
    charts = []
    for s in ranked[:MAX_CHARTS]:
        title = f"{s.section.replace('_', ' ')} · {s.subject} · {s.metric}"
        state = "alert" if last >= 0 and s.alerting(last) else "alerted" if _rank(s, last, headline) == 1 else "quiet"
        charts.append({"title": title, "state": state,
                       "svg": _svg.timeline(labels, s.values, s.lower, s.upper, s.alerts, s.cusum_alerts,
                                            title=title)})
    alerting = [s for s in ranked if _rank(s, last, headline) <= 1]
    listed = [{"section": s.section, "subject": s.subject, "metric": s.metric,
               "band": sum(s.alerts), "cusum": sum(s.cusum_alerts), "latest": s.alerting(last)}
              for s in alerting[:MAX_LISTED]]
    left_out = ranked[MAX_CHARTS:]
    return {
        "legend": _svg.timeline_legend(),
        "charts": charts,
        "series": len(series),
        "empty": len(series) - len(drawable),
        "left_out": len(left_out),
        "left_out_alerting": sum(1 for s in left_out if _rank(s, last, headline) <= 1),
        "alerting": listed,
        "alerting_total": len(alerting),
        "latest": sum(1 for s in series if last >= 0 and s.alerting(last)),
        "first": starts[0] if starts else None,
        "last": section["periods"][last] if starts else None,
    }
