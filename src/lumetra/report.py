"""The monitoring report: reference data against current data, as HTML and JSON.

:func:`build_report` runs the package's analyses (:func:`lumetra.drift`,
:func:`lumetra.data_bias`, :func:`lumetra.model_bias`,
:func:`lumetra.performance`) on both frames and the engine's runtime checks on
the pairs of results, and gathers every number into one plain dict. That dict is
what :func:`report_json` writes and what :func:`render_html` lays out through
one template; no number in either is computed here.
"""

from __future__ import annotations

import json
import math
import os
from statistics import NormalDist
from dataclasses import asdict, dataclass, field
from importlib import resources
from typing import Any, Callable, Mapping, Sequence

import narwhals as nw
import numpy as np

from . import _svg
from . import _kernels
from . import _diagnostics
from . import _report_timeline
from ._analyses import data_bias_call, drift_details, model_bias_call, performance_call, with_states
from ._checks import CHECK_RULES, FAMILIES, TASK_FAMILY, ChangeTest, DriftTest, change_tests, correct, json_number
from ._checks import run_check
from ._drift import DriftCall
from ._significance import test_call
from ._frame import check_unique_names, kind_of, read_frame
from ._vocabulary import DATA_BIAS_METRICS, DRIFT_METRICS, MISSING_POLICIES, MODEL_BIAS_METRICS, TASKS, __version__

#: Called as ``progress(what, done, total)`` while a report is built.
Progress = Callable[[str, int, int], None]


class InputError(Exception):
    """A problem with what the user gave: a file, a column, an option value."""


@dataclass
class ReportOptions:
    """What to analyse; the fields mirror the options of ``lumetra report``."""

    label: str | None = None
    prediction: str | None = None
    facets: list[str] = field(default_factory=list)
    task: str | None = None
    positive: str | None = None
    threshold: float | None = None
    columns: list[str] | None = None
    drift_threshold: float | None = None
    drift_metric: str = "JensenShannon"
    rule: str = "FreedmanDiaconis"
    check_threshold: float | None = None
    missing: str = "raise"
    facet_threshold: float | None = None
    max_groups: int = 100
    check_rule: str = "change"
    alpha: float = 0.01
    n_boot: int = 1000
    seed: int = 0
    #: The timeline: periods of the datetime column `time` (`every`, such as
    #: "1w"), or runs of `size` rows, or `count` chunks; none, no timeline.
    time: str | None = None
    every: str | None = None
    size: int | None = None
    count: int | None = None


# --------------------------------------------------------------------- reading


def read_table(path: str, delimiter: str | None = None) -> Any:
    """A CSV file, a Parquet file or a directory of Parquet files (a
    partitioned data set) as a pyarrow Table. Parquet is told by its magic
    bytes; a CSV's delimiter is `delimiter`, or told from its header line: a
    comma, or else a semicolon or a tab when the header has one."""
    try:
        import pyarrow.csv as pa_csv
        import pyarrow.parquet as pa_parquet
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise InputError("reading files needs pyarrow: pip install 'lumetra[report]'") from exc
    directory = os.path.isdir(path)
    header = b""
    if not directory:
        try:
            with open(path, "rb") as handle:
                header = handle.readline(1 << 16)
        except OSError as exc:
            raise InputError(f"cannot read {path}: {exc.strerror or exc}") from None
    try:
        if directory or header.startswith(b"PAR1"):
            table = pa_parquet.read_table(path)
        else:
            parse = pa_csv.ParseOptions(delimiter=delimiter or _sniffed_delimiter(header))
            # An empty field is a missing value in every column, text included.
            table = pa_csv.read_csv(
                path, parse_options=parse, convert_options=pa_csv.ConvertOptions(strings_can_be_null=True)
            )
    except MemoryError:
        raise InputError(f"out of memory while reading {path}") from None
    except Exception as exc:  # pyarrow raises several types for unreadable files
        first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise InputError(f"cannot read {path}: {first}") from None
    try:
        check_unique_names(table.column_names, path)
    except ValueError as exc:
        raise InputError(str(exc)) from None
    if table.num_columns and table.num_rows < _SHORT * table.column(0).num_chunks:
        # The CSV reader gives each column in blocks of about a megabyte of the
        # file, a few rows each when the file is wide: joined once, the short
        # columns are read in place (a long one is joined when it is read).
        try:
            return table.combine_chunks()
        except MemoryError:
            raise InputError(f"out of memory while reading {path}") from None
    return table


# Chunks of fewer rows than this, on average, are joined when a file is read.
_SHORT = 1 << 16


def _sniffed_delimiter(header: bytes) -> str:
    if b"," not in header:
        for candidate in (";", "\t"):
            if candidate.encode() in header:
                return candidate
    return ","


# -------------------------------------------------------------------- building


def _rows(result: Any) -> list[dict[str, Any]]:
    """Rows of a frame returned by the package, as dicts of Python values."""
    return [dict(r) for r in nw.from_native(result, eager_only=True).rows(named=True)]


def _float(value: Any) -> float:
    return float("nan") if value is None else float(value)


def _metrics(row: Mapping[str, Any], names: Sequence[str]) -> dict[str, float]:
    return {name: _float(row[name]) for name in names}


def _coerce_positive(text: str | None, dtype: Any, column: str) -> Any:
    """The ``--positive`` text as a value of the label column's type."""
    if text is None:
        return 1
    if dtype == nw.Boolean:
        lowered = text.lower()
        if lowered in ("true", "1"):
            return True
        if lowered in ("false", "0"):
            return False
        raise InputError(f"--positive {text!r} is not a value of the boolean column {column!r}")
    if dtype.is_integer():
        try:
            return int(text)
        except ValueError:
            raise InputError(f"--positive {text!r} is not a value of the integer column {column!r}") from None
    if dtype.is_float():
        try:
            return float(text)
        except ValueError:
            raise InputError(f"--positive {text!r} is not a value of the numeric column {column!r}") from None
    return text


def _check_columns(frame: Any, name: str, columns: Sequence[str]) -> None:
    have = set(nw.from_native(frame, eager_only=True).columns)
    for column in columns:
        if column not in have:
            raise InputError(f"column {column!r} is not in {name}")


def _check_shared_columns(reference: Any, current: Any, reference_name: str, current_name: str) -> None:
    ref = nw.from_native(reference, eager_only=True).columns
    cur = nw.from_native(current, eager_only=True).columns
    if set(ref) & set(cur):
        return
    hint = " (a file of one column: is it separated by something other than commas? pass --delimiter)"
    single = len(ref) == 1 or len(cur) == 1
    raise InputError(
        f"{reference_name} and {current_name} have no column in common: {_names(ref)} against {_names(cur)}"
        + (hint if single else "")
    )


def _names(columns: Sequence[str], most: int = 5) -> str:
    shown = ", ".join(repr(c) for c in columns[:most])
    return f"[{shown}{', ...' if len(columns) > most else ''}]"


def _splits_at_threshold(frame: Any, facet: str, options: ReportOptions) -> bool:
    """Whether the facet is split in two at --facet-threshold: numeric facets only."""
    if options.facet_threshold is None:
        return False
    dtype = nw.from_native(frame, eager_only=True).get_column(facet).dtype
    return bool(dtype.is_numeric() and dtype != nw.Boolean)


def _check_group_count(reference: Any, current: Any, facet: str, options: ReportOptions) -> None:
    """Refuses a facet with more groups than --max-groups (a report of
    thousands of groups is unreadable and almost always an identifier column)."""
    if _splits_at_threshold(reference, facet, options):
        return
    columns = [nw.from_native(frame, eager_only=True).get_column(facet) for frame in (reference, current)]
    if columns[0].dtype != columns[1].dtype:
        columns = [c.cast(nw.String()) for c in columns]
    values = nw.concat([c.to_frame() for c in columns], how="vertical").get_column(facet)
    count = int(values.n_unique())
    if options.missing != "group" and values.null_count():
        count -= 1
    if count <= options.max_groups:
        return
    numeric = columns[0].dtype.is_numeric() and columns[0].dtype != nw.Boolean
    raise InputError(
        f"--facet {facet} has {count} groups, more than --max-groups {options.max_groups}; pass --max-groups "
        f"{count} to report every group" + (", or --facet-threshold T to split it in two at T" if numeric else "")
    )


def _check_classes(reference: Any, current: Any, reference_name: str, current_name: str,
                   options: ReportOptions) -> None:
    """With --task classification the predictions must be classes of the
    label: a column of scores would otherwise count every row as a predicted
    negative."""
    label, prediction = str(options.label), str(options.prediction)
    classes: set[Any] = set()
    for frame in (reference, current):
        classes.update(_distinct(nw.from_native(frame, eager_only=True).get_column(label)))
    for frame, name in ((reference, reference_name), (current, current_name)):
        others = [v for v in _distinct(nw.from_native(frame, eager_only=True).get_column(prediction))
                  if v not in classes]
        if others:
            shown = ", ".join(repr(v) for v in sorted(others, key=repr)[:3]) + (", ..." if len(others) > 3 else "")
            raise InputError(
                f"--prediction column {prediction!r} of {name} holds values that are no class of --label "
                f"{label!r} ({shown}); for scores or probabilities use --task logistic (and --threshold)"
            )


def _distinct(series: Any) -> list[Any]:
    """The distinct values of a column, nulls left out; integral floats as ints,
    so that 1.0 is the class 1."""
    out = []
    for value in series.drop_nulls().unique().to_list():
        if isinstance(value, float):
            if math.isnan(value):
                continue
            if value.is_integer():
                value = int(value)
        out.append(value)
    return out


def _check_entry(report: Mapping[str, Any]) -> dict[str, Any]:
    failed = [
        {"metric": e["metric"], "drift": json_number(float(e["drift"]))} for e in report.get("failed_report", [])
    ]
    return {"status": "passed" if report["passed"] else "failed", "failed": failed, "note": None}


def _not_checked(note: str) -> dict[str, Any]:
    return {"status": "not checked", "failed": [], "note": note}


def _group_text(value: Any) -> str:
    return "(missing)" if value is None else str(value)


def _policy(options: ReportOptions) -> str:
    """The missing-value policy for drift and performance, where rows cannot form a group."""
    return "drop" if options.missing == "group" else options.missing


def _drift_columns(reference: Any, current: Any, options: ReportOptions) -> tuple[list[str], list[dict[str, str]]]:
    """The columns to compare, and the shared ones left out because drift cannot read their type."""
    if options.columns is not None:
        return list(options.columns), []
    ref = read_frame(reference, "reference")
    shared = set(read_frame(current, "current").columns)
    chosen, skipped = [], []
    for column in (c for c in ref.columns if c in shared):
        try:
            kind_of(ref.get_column(column), "reference")
        except ValueError:
            skipped.append({"column": column, "reason": f"its type {ref.schema[column]} is neither numbers nor labels"})
        else:
            chosen.append(column)
    return chosen, skipped


def _bias_section(
    kind: str,
    reference: Any,
    current: Any,
    options: ReportOptions,
    positive: Any,
    threshold_note: str,
    progress: Progress,
    step: list[int],
    total: int,
    changes: list[Pending],
) -> list[dict[str, Any]]:
    names = DATA_BIAS_METRICS if kind == "data_bias" else MODEL_BIAS_METRICS
    family = FAMILIES[kind]
    label, prediction = str(options.label), str(options.prediction)
    facets = []
    for facet in options.facets:
        progress(f"{kind.replace('_', ' ')}: {facet}", step[0], total)
        step[0] += 1
        kwargs = _outcome_kwargs(kind, options, positive)
        if _splits_at_threshold(reference, facet, options):
            kwargs["facet_threshold"] = options.facet_threshold
        if kind == "data_bias":
            call = data_bias_call(facet, label, missing=options.missing, **kwargs)
        else:
            call = model_bias_call(facet, label, prediction, missing=options.missing, **kwargs)
        sides = {}
        for side, frame in (("reference", reference), ("current", current)):
            result, states = with_states(call, frame)
            sides[side] = {_key(r[facet]): (r, table) for r, table in zip(_rows(result), states["tables"].tolist())}
        groups = []
        keys = list(sides["reference"]) + [k for k in sides["current"] if k not in sides["reference"]]
        for key in keys:
            entry: dict[str, Any] = {"group": key[1], "label": _group_text(key[1])}
            for side in ("reference", "current"):
                found = sides[side].get(key)
                entry[side] = None
                if found is not None:
                    row, table = found
                    entry[side] = {
                        "n": int(row["n"]),
                        "n_other": int(row["n_other"]),
                        "metrics": _metrics(row, names),
                        "error": row.get("error"),
                        "undefined": row.get("undefined"),
                        "counts": table,
                    }
            entry["check"] = _pair_check(family.name, entry["reference"], entry["current"], options)
            groups.append(entry)
        if options.check_rule == "change":
            _bias_changes(groups, names, options, changes)
        facets.append({"facet": facet, "outcome": threshold_note, "groups": groups})
    return facets


# A change check waiting for every test of the report: where its entry goes,
# its tests, and the metrics it could not judge.
Pending = tuple[dict[str, Any], Sequence[ChangeTest | DriftTest], list[str]]


def _bias_changes(groups: list[dict[str, Any]], names: Sequence[str], options: ReportOptions,
                  changes: list[Pending]) -> None:
    """The change tests of every group with metrics on both sides."""
    judged = [g for g in groups if g["check"]["status"] != "not checked"]
    if not judged:
        return
    reference = np.array([g["reference"]["counts"] for g in judged], dtype=np.uint64)
    current = np.array([g["current"]["counts"] for g in judged], dtype=np.uint64)
    result = _kernels.bias_change(reference, current, 0.95, NormalDist().inv_cdf(0.975), options.n_boot, options.seed)
    for row, group in enumerate(judged):
        tests = change_tests(names, result, row, group["reference"]["metrics"])
        unjudged = [m for m in names if m not in {t.metric for t in tests}]
        changes.append((group, tests, unjudged))


def _settle_changes(changes: list[Pending], alpha: float) -> None:
    """Corrects every change test of the report together, then decides each check."""
    correct([t for _, tests, _ in changes for t in tests])
    for owner, tests, unjudged in changes:
        failed = [t for t in tests if t.failed(alpha)]
        note = f"not judged (no interval of the change): {', '.join(unjudged)}" if unjudged else None
        if not tests:
            owner["check"] = _not_checked("no metric's change could be judged")
            continue
        owner["check"] = {"status": "failed" if failed else "passed", "failed": [t.entry() for t in failed],
                          "note": note, "rule": "change"}
        if "test" in owner:  # a drift column: its one test
            owner["test"]["p_adjusted"] = json_number(tests[0].p_adjusted)


def _key(value: Any) -> tuple[str, Any]:
    # Group values keep their type in the JSON; the key tells 1 from "1".
    return (type(value).__name__, value)


def _outcome_kwargs(kind: str, options: ReportOptions, positive: Any) -> dict[str, Any]:
    if options.task == "regression":
        kwargs: dict[str, Any] = {"label_threshold": options.threshold}
        if kind == "model_bias":
            kwargs["prediction_threshold"] = options.threshold
        return kwargs
    if options.task is None and options.threshold is not None:
        return {"label_threshold": options.threshold}
    kwargs = {"positive": positive}
    if kind == "model_bias" and options.task == "logistic":
        kwargs["prediction_threshold"] = 0.5 if options.threshold is None else options.threshold
    return kwargs


def _pair_check(
    family: str, reference: Mapping[str, Any] | None, current: Mapping[str, Any] | None, options: ReportOptions
) -> dict[str, Any]:
    if reference is None:
        return _not_checked("the group is not in the reference data")
    if current is None:
        return _not_checked("the group is not in the current data")
    for side, values in (("reference", reference), ("current", current)):
        if values.get("error"):
            return _not_checked(f"no {side} metrics: {values['error']}")
    report = run_check(
        FAMILIES[family], reference["metrics"], current["metrics"], threshold=options.check_threshold
    )
    entry = _check_entry(report)
    # A NaN fails no rule: what has no value on a side is said, not passed.
    unvalued = [m for m in FAMILIES[family].metrics
                if math.isnan(_float(reference["metrics"][m])) or math.isnan(_float(current["metrics"][m]))]
    if len(unvalued) == len(FAMILIES[family].metrics):
        return _not_checked("no metric has a value on both sides")
    if unvalued:
        entry["note"] = f"not compared (no value on a side): {', '.join(unvalued)}"
    return entry


def build_report(
    reference: Any,
    current: Any,
    options: ReportOptions,
    *,
    reference_name: str = "reference",
    current_name: str = "current",
    progress: Progress | None = None,
) -> dict[str, Any]:
    """Every number of the report, computed from two frames of any library.

    Raises :class:`InputError` for options that do not fit the data, and lets
    the package's ``ValueError`` / ``KeyError`` through for data it refuses.
    """
    say: Progress = progress or (lambda what, done, total: None)
    _validate(options)
    needed = [c for c in (options.label, options.prediction, *options.facets, options.time) if c is not None]
    if options.columns is not None:
        needed += options.columns
    for frame, name in ((reference, reference_name), (current, current_name)):
        _check_columns(frame, name, needed)
        if nw.from_native(frame, eager_only=True).shape[0] == 0:
            raise InputError(f"{name} has no rows: there is nothing to compare")
    if options.columns is None:
        _check_shared_columns(reference, current, reference_name, current_name)

    drift_columns, skipped = _drift_columns(reference, current, options)
    has_bias = bool(options.facets) and options.label is not None
    has_model = has_bias and options.prediction is not None
    has_perf = options.label is not None and options.prediction is not None
    if not (drift_columns or has_bias or has_perf):
        reasons = "; ".join(f"{k['column']}: {k['reason']}" for k in skipped)
        raise InputError(f"nothing to compare: no shared column can be compared ({reasons})")
    for facet in options.facets if has_bias else ():
        _check_group_count(reference, current, facet, options)
    if has_perf and options.task == "classification":
        _check_classes(reference, current, reference_name, current_name, options)
    has_timeline = _report_timeline.requested(options)
    total = len(drift_columns) + len(options.facets) * (int(has_bias) + int(has_model)) + int(has_perf)
    total += int(has_timeline)
    step = [0]

    positive: Any = None
    if options.label is not None:
        dtype = nw.from_native(reference, eager_only=True).schema[options.label]
        positive = _coerce_positive(options.positive, dtype, options.label)

    report: dict[str, Any] = {
        "lumetra": __version__,
        "reference": {"path": reference_name, "rows": nw.from_native(reference, eager_only=True).shape[0]},
        "current": {"path": current_name, "rows": nw.from_native(current, eager_only=True).shape[0]},
        "options": asdict(options),
    }
    if not has_timeline:  # a report without a timeline is as it was before timelines
        for name in ("time", "every", "size", "count"):
            del report["options"][name]

    drift = []
    changes: list[Pending] = []
    if drift_columns:
        say(f"drift: {len(drift_columns)} column{'s' if len(drift_columns) != 1 else ''}", step[0], total)
        step[0] += len(drift_columns)
        change_rule = options.check_rule == "change"
        tolerance = ({options.drift_metric: options.drift_threshold}
                     if change_rule and options.drift_threshold is not None else None)
        # Under the change rule each column is tested; its p-value is adjusted
        # with every other test of the report before the column is judged.
        tests = (test_call("auto", options.alpha, "none", tolerance, options.n_boot, options.seed, DRIFT_METRICS)
                 if change_rule else None)
        # Each column is compared on its own rows, whatever other columns miss.
        call = DriftCall(tuple(drift_columns), options.rule, DRIFT_METRICS, _policy(options), per_column=True,
                         histograms=True, tests=tests)
        table, histograms = drift_details(reference, current, call)
        threshold = 0.1 if options.drift_threshold is None else options.drift_threshold
        for row, histogram in zip(_rows(table), histograms):
            metrics = {m: _float(row[m]) for m in DRIFT_METRICS}
            entry = {
                "column": row["column"],
                "kind": row["kind"],
                "bins": int(row["bins"]),
                "metrics": {m: json_number(v) for m, v in metrics.items()},
                "histogram": _json_safe(histogram),
            }
            drift.append(entry)
            if change_rule:
                low = _float(row[f"{options.drift_metric}_low"]) if tolerance else math.nan
                test = DriftTest(options.drift_metric, metrics[options.drift_metric], _float(row["p_value"]),
                                 low, options.drift_threshold)
                entry["test"] = {"name": row["test"], "statistic": json_number(_float(row["statistic"])),
                                 "p_value": json_number(test.p_value),
                                 "psi_critical": json_number(_float(row["psi_critical"]))}
                if math.isnan(test.p_value):
                    entry["check"] = _not_checked("the test is not defined for these samples")
                else:
                    entry["check"] = _not_checked("pending")
                    changes.append((entry, [test], []))
                continue
            gated = metrics[options.drift_metric]
            # A column fails when its drift reaches the threshold, as the engine's
            # streaming monitors judge drift (at least the threshold fails).
            failed = gated >= threshold
            entry["check"] = {
                "status": "failed" if failed else "passed",
                "failed": [{"metric": options.drift_metric, "drift": json_number(gated)}] if failed else [],
                "note": None,
            }
    report["drift"] = {"columns": drift, "skipped": skipped}

    outcome = _outcome_text(options, positive)
    if has_bias:
        report["data_bias"] = _bias_section(
            "data_bias", reference, current, options, positive, outcome, say, step, total, changes
        )
    if has_model:
        report["model_bias"] = _bias_section(
            "model_bias", reference, current, options, positive, outcome, say, step, total, changes
        )
    if has_perf:
        say("performance", step[0], total)
        step[0] += 1
        report["performance"] = _performance(reference, current, options, positive, changes)
        report["performance"]["diagnostics"] = _diagnostics.performance_diagnostics(
            reference, current, options, positive, report["performance"])
    if options.check_rule == "change":
        _settle_changes(changes, options.alpha)
    if has_timeline:
        say("timeline", step[0], total)
        step[0] += 1
        report["timeline"] = _timeline_section(reference, current, options, drift_columns, positive, has_bias,
                                               has_model, has_perf)
    say("done", total, total)
    _json_safe_metrics(report)
    report["summary"] = _summary(report)
    return report


def _timeline_section(reference: Any, current: Any, options: ReportOptions, drift_columns: Sequence[str],
                      positive: Any, has_bias: bool, has_model: bool, has_perf: bool) -> dict[str, Any]:
    """The timeline of the same analyses as the report's, with the same options."""
    label, prediction = str(options.label), str(options.prediction)
    bias = []
    for facet in options.facets if has_bias else ():
        extra: dict[str, Any] = {"facet_threshold": options.facet_threshold} \
            if _splits_at_threshold(reference, facet, options) else {}
        data = dict(facet=facet, label=label, missing=options.missing,
                    **_outcome_kwargs("data_bias", options, positive), **extra)
        model = dict(facet=facet, label=label, prediction=prediction, missing=options.missing,
                     **_outcome_kwargs("model_bias", options, positive), **extra) if has_model else None
        bias.append((facet, data, model))
    performance: dict[str, Any] | None = None
    if has_perf:
        performance = {"task": str(options.task), "label": label, "prediction": prediction,
                       "missing": _policy(options)}
        if options.task != "regression":
            performance["positive"] = positive
        if options.task == "logistic" and options.threshold is not None:
            performance["prediction_threshold"] = options.threshold
    return _report_timeline.build(reference, current, options, drift_columns, bias, performance)


def _performance(reference: Any, current: Any, options: ReportOptions, positive: Any,
                 changes: list[Pending]) -> dict[str, Any]:
    family = FAMILIES[TASK_FAMILY[str(options.task)]]
    kwargs: dict[str, Any] = {"task": str(options.task), "missing": _policy(options)}
    if options.task != "regression":
        kwargs["positive"] = positive
    if options.task == "logistic" and options.threshold is not None:
        kwargs["prediction_threshold"] = options.threshold
    call = performance_call(str(options.label), str(options.prediction), **kwargs)
    sides: dict[str, Any] = {}
    states: dict[str, dict[str, Any]] = {}
    for side, frame in (("reference", reference), ("current", current)):
        result, states[side] = with_states(call, frame)
        row = _rows(result)[0]
        state = {key: np.asarray(value)[0].tolist() for key, value in states[side].items()}
        sides[side] = {"n": int(row["n"]), "metrics": _metrics(row, family.metrics), "state": state}
    report = run_check(
        family, sides["reference"]["metrics"], sides["current"]["metrics"], threshold=options.check_threshold
    )
    entry = {"family": family.name, **sides, "check": _check_entry(report)}
    if options.check_rule == "change":
        r, c = states["reference"], states["current"]
        result = _kernels.performance_change(
            family.name,
            np.ascontiguousarray(r["counts"], dtype=np.uint64), np.ascontiguousarray(r["sums"], dtype=np.float64).ravel(),
            np.ascontiguousarray(r["moments"], dtype=np.float64).ravel(),
            np.ascontiguousarray(c["counts"], dtype=np.uint64), np.ascontiguousarray(c["sums"], dtype=np.float64).ravel(),
            np.ascontiguousarray(c["moments"], dtype=np.float64).ravel(),
            0.95, NormalDist().inv_cdf(0.975), options.n_boot, options.seed,
        )
        tests = change_tests(family.metrics, result, 0, sides["reference"]["metrics"])
        changes.append((entry, tests, [m for m in family.metrics if m not in {t.metric for t in tests}]))
    return entry


def _outcome_text(options: ReportOptions, positive: Any) -> str:
    if options.task == "regression":
        return f"positive outcome: {options.label} ≥ {options.threshold} (predictions likewise)"
    if options.task is None and options.threshold is not None:
        return f"positive outcome: {options.label} ≥ {options.threshold}"
    text = f"positive outcome: {options.label} = {positive!r}"
    if options.task == "logistic":
        text += f"; predicted positive: {options.prediction} ≥ {0.5 if options.threshold is None else options.threshold}"
    return text


def _validate(options: ReportOptions) -> None:
    if options.task is not None and options.task not in TASKS:
        raise InputError(f"--task must be one of {', '.join(TASKS)}; got {options.task!r}")
    if options.prediction is not None and options.label is None:
        raise InputError("--prediction needs --label (the ground truth to compare it with)")
    if options.prediction is not None and options.task is None:
        raise InputError("--prediction needs --task (regression, classification or logistic)")
    if options.facets and options.label is None:
        raise InputError("--facet needs --label (the outcome whose spread over the groups is measured)")
    if options.facets and options.task == "regression" and options.threshold is None:
        raise InputError("--facet with --task regression needs --threshold (the value from which an outcome is positive)")
    for flag, value in (("--drift-threshold", options.drift_threshold), ("--check-threshold", options.check_threshold)):
        if value is not None and not (isinstance(value, (int, float)) and math.isfinite(value) and value >= 0):
            raise InputError(f"{flag} must be a finite number >= 0; got {value!r}")
    for flag, value in (("--threshold", options.threshold), ("--facet-threshold", options.facet_threshold)):
        if value is not None and math.isnan(value):
            raise InputError(f"{flag} must be a number; got {value!r}")
    if options.facet_threshold is not None and not options.facets:
        raise InputError("--facet-threshold needs --facet (the numeric column to split)")
    if isinstance(options.max_groups, bool) or not isinstance(options.max_groups, int) or options.max_groups < 2:
        raise InputError(f"--max-groups must be an integer of at least 2; got {options.max_groups!r}")
    if options.check_rule not in CHECK_RULES:
        raise InputError(f"--check-rule must be one of {', '.join(CHECK_RULES)}; got {options.check_rule!r}")
    if not (isinstance(options.alpha, float) and 0.0 < options.alpha < 1.0):
        raise InputError(f"--alpha must be a number between 0 and 1; got {options.alpha!r}")
    if options.drift_metric not in DRIFT_METRICS:
        raise InputError(f"--drift-metric must be one of {', '.join(DRIFT_METRICS)}; got {options.drift_metric!r}")
    if options.missing not in MISSING_POLICIES:
        raise InputError(f"--missing must be one of {', '.join(MISSING_POLICIES)}; got {options.missing!r}")
    problem = _report_timeline.problems(options)
    if problem:
        raise InputError(problem)


def _json_safe_metrics(report: dict[str, Any]) -> None:
    """Non-finite metric values become text so the JSON stays standard."""
    for section in ("data_bias", "model_bias"):
        for facet in report.get(section, []):
            for group in facet["groups"]:
                for side in ("reference", "current"):
                    if group[side] is not None:
                        group[side]["metrics"] = {k: json_number(v) for k, v in group[side]["metrics"].items()}
    perf = report.get("performance")
    if perf:
        for side in ("reference", "current"):
            perf[side]["metrics"] = {k: json_number(v) for k, v in perf[side]["metrics"].items()}


def _summary(report: Mapping[str, Any]) -> dict[str, Any]:
    checks = []
    for entry in report["drift"]["columns"]:
        checks.append({"section": "drift", "subject": entry["column"], **entry["check"]})
    for section in ("data_bias", "model_bias"):
        for facet in report.get(section, []):
            for group in facet["groups"]:
                subject = f"{facet['facet']} = {group['label']}"
                checks.append({"section": section, "subject": subject, **group["check"]})
    if "performance" in report:
        checks.append({"section": "performance", "subject": report["performance"]["family"], **report["performance"]["check"]})
    counts = {s: sum(1 for c in checks if c["status"] == s) for s in ("passed", "failed", "not checked")}
    return {"passed": counts["passed"], "failed": counts["failed"], "not_checked": counts["not checked"], "checks": checks}


# -------------------------------------------------------------------- writing


def report_json(report: Mapping[str, Any]) -> str:
    """The report as standard JSON (non-finite numbers are the texts NaN,
    Infinity, -Infinity, wherever they are: metrics, options, group values)."""
    return json.dumps(_json_safe(report), indent=1, allow_nan=False, ensure_ascii=False, default=_json_default) + "\n"


def _json_safe(value: Any) -> Any:
    if isinstance(value, float):
        return json_number(value)
    if isinstance(value, Mapping):
        return {key: _json_safe(item) for key, item in value.items()}
    if isinstance(value, (list, tuple)):
        return [_json_safe(item) for item in value]
    return value


def _json_default(value: Any) -> Any:
    if isinstance(value, (np.integer,)):
        return int(value)
    if isinstance(value, (np.floating,)):
        return json_number(float(value))
    if isinstance(value, (np.bool_,)):
        return bool(value)
    return str(value)


def _as_float(value: Any) -> float:
    if isinstance(value, str):
        return float(value.replace("Infinity", "inf"))
    return float(value)


def _number_text(value: Any) -> str:
    if isinstance(value, str):
        return _svg.number(_as_float(value))
    return _svg.number(value)


def _bin_labels(edges: Sequence[float], count: int) -> list[str]:
    """Names of the continuous bins laid out over the reference's edges."""
    n = _svg.number
    if count == len(edges) + 2:  # the usual layout: below, [e_j, e_j+1) ..., = last edge, above
        labels = [f"< {n(edges[0])}"]
        labels += [f"[{n(edges[j])}, {n(edges[j + 1])})" for j in range(len(edges) - 1)]
        labels += [f"= {n(edges[-1])}", f"> {n(edges[-1])}"]
        return labels
    return [f"bin {i}" for i in range(count)]


def render_html(report: Mapping[str, Any]) -> str:
    """The report as one self-contained HTML page (inline CSS and SVG, no script)."""
    try:
        import jinja2
    except ImportError as exc:  # pragma: no cover - depends on the installation
        raise InputError("writing the HTML report needs jinja2: pip install 'lumetra[report]'") from exc
    template_text = resources.files("lumetra").joinpath("templates/report.html").read_text(encoding="utf-8")
    env = jinja2.Environment(autoescape=True, undefined=jinja2.StrictUndefined, trim_blocks=True, lstrip_blocks=True)
    env.filters["num"] = _number_text
    from markupsafe import Markup as markup

    def pair(reference: Any, current: Any) -> Any:
        return markup(_svg.marker_pair(_as_float(reference), _as_float(current)))

    timeline = _report_timeline.view(report) if "timeline" in report else None
    return env.from_string(template_text).render(r=report, svg=_pictures(report), markup=markup, pair=pair,
                                                 diagnostics=markup(_diagnostics.render_html(report, env)),
                                                 timeline=timeline)


def _pictures(report: Mapping[str, Any]) -> dict[str, str]:
    """The histograms of the report, keyed by column."""
    out: dict[str, str] = {}
    for entry in report["drift"]["columns"]:
        hist = entry["histogram"]
        ref = [_as_float(v) for v in hist["reference"]]
        cur = [_as_float(v) for v in hist["current"]]
        if hist["kind"] == "continuous":
            labels = _bin_labels([_as_float(e) for e in hist["edges"]], len(ref))
        else:
            labels = list(hist["labels"])
        out[f"drift/{entry['column']}"] = _svg.histogram(
            labels, ref, cur, title=f"{entry['column']}: share of rows per bin"
        )
    return out


def exit_status(report: Mapping[str, Any]) -> int:
    """0 when every check passed, 1 when any failed."""
    return 1 if report["summary"]["failed"] else 0
