"""The ``lumetra`` command: ``lumetra report`` and ``lumetra check``.

Exit status: 0 when every check passed, 1 when any check failed, 2 for a usage
or input error (reported as one line on stderr, naming the file or column), 3
for an internal error (a bug, reported with its traceback).
"""

from __future__ import annotations

import argparse
import json
import math
import os
import re
import sys
from typing import Any, Callable, NoReturn, Sequence, TextIO

from ._checks import CHECK_RULES
from ._vocabulary import BIN_RULES, DRIFT_METRICS, FAMILIES, MISSING_POLICIES, TASKS, __version__

EXIT_PASSED = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERNAL = 3



class _Progress:
    """A one-line progress indicator on stderr, shown only on a terminal."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.active = stream.isatty()
        self.width = 0
        self.last = "starting"

    def __call__(self, what: str, done: int, total: int) -> None:
        self.last = what
        if not self.active:
            return
        text = f"[{done}/{total}] {what}"[:100]
        self.stream.write("\r" + text.ljust(self.width))
        self.stream.flush()
        self.width = len(text)

    def close(self) -> None:
        if self.active and self.width:
            self.stream.write("\r" + " " * self.width + "\r")
            self.stream.flush()


def _cutoff(text: str) -> float:
    """A value that splits numbers: any number, infinities included, not NaN."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if math.isnan(value):
        raise argparse.ArgumentTypeError(f"not a number: {text!r}")
    return value


def _tolerance(text: str) -> float:
    """A check's threshold: a finite number of at least 0 (a NaN or infinite
    one would pass every check)."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not math.isfinite(value) or value < 0:
        raise argparse.ArgumentTypeError(f"must be a finite number >= 0; got {text!r}")
    return value


def _level(text: str) -> float:
    value = _cutoff(text)
    if not 0.0 < value < 1.0:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1; got {text!r}")
    return value


def _seed(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if not 0 <= value < 1 << 64:
        raise argparse.ArgumentTypeError(f"must be from 0 to 2**64 - 1; got {text!r}")
    return value


def _at_least(least: int) -> Callable[[str], int]:
    """An argument type: an integer of at least `least`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
        if value < least:
            raise argparse.ArgumentTypeError(f"must be at least {least}; got {text!r}")
        return value

    return parse


_count = _at_least(2)
_positive = _at_least(1)


def _delimiter(text: str) -> str:
    value = {"\\t": "\t", "tab": "\t"}.get(text, text)
    if len(value) != 1 or value in "\r\n\"":
        raise argparse.ArgumentTypeError(f"must be one character (or 'tab'); got {text!r}")
    return value


class _Parser(argparse.ArgumentParser):
    """argparse with its errors on one line, as every other error of the command."""

    def error(self, message: str) -> NoReturn:
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="lumetra",
        description="Drift, bias and performance reports and checks for monitoring ML models.",
        epilog="Exit status: 0 every check passed, 1 a check failed, 2 usage or input error.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)
    sub.required = True

    rep = sub.add_parser(
        "report",
        help="compare current data with reference data and write an HTML report and a JSON of its numbers",
        description=(
            "Compare CURRENT with REFERENCE (CSV or Parquet files): drift of every shared column, data bias "
            "and model bias per group of each facet, and performance, each with the engine's runtime check."
        ),
        epilog="Exit status: 0 every check passed, 1 a check failed, 2 usage or input error.",
    )
    rep.add_argument("reference", metavar="REFERENCE", help="reference data (CSV or Parquet)")
    rep.add_argument("current", metavar="CURRENT", help="current data (CSV or Parquet)")
    rep.add_argument("--label", metavar="COL", help="ground-truth column")
    rep.add_argument("--prediction", metavar="COL", help="prediction (or score) column")
    rep.add_argument(
        "--facet", metavar="COL", nargs="+", action="extend", default=[], help="column whose groups are compared"
    )
    rep.add_argument("--task", choices=TASKS, help="what the model predicts")
    rep.add_argument("--positive", metavar="V", help="label value of the positive outcome (default 1)")
    rep.add_argument(
        "--threshold",
        metavar="T",
        type=_cutoff,
        help="logistic: scores >= T are predicted positive (default 0.5); regression: values >= T are a "
        "positive outcome for the bias sections",
    )
    rep.add_argument(
        "--columns", metavar="COL", nargs="+", action="extend", help="columns to test for drift (default: all shared)"
    )
    rep.add_argument(
        "--drift-threshold",
        metavar="T",
        type=_tolerance,
        default=None,
        help="under --check-rule change: a column with a significant test fails only when the lower bound of "
        "its drift metric's 95%% interval is at least T (default: no tolerance); under relative: a column "
        "fails when its drift metric is at least T (default 0.1)",
    )
    rep.add_argument(
        "--drift-metric",
        default="JensenShannon",
        choices=DRIFT_METRICS,
        help="drift metric that the drift check reads (default JensenShannon)",
    )
    rep.add_argument(
        "--rule",
        default="FreedmanDiaconis",
        choices=BIN_RULES,
        help="bin-count rule for numeric columns (default FreedmanDiaconis)",
    )
    rep.add_argument(
        "--check-threshold",
        metavar="T",
        type=_tolerance,
        help="relative threshold of the bias and performance checks (default: the engine's 0.10)",
    )
    rep.add_argument(
        "--missing",
        default="raise",
        choices=MISSING_POLICIES,
        help="rows with missing values: refuse them, leave them out, or make them a facet group",
    )
    rep.add_argument(
        "--check-rule",
        default="change",
        choices=CHECK_RULES,
        help="change (default): a bias or performance metric fails when its change is significant after "
        "correction and may reach its tolerance; relative: the engine's runtime checks under --check-threshold",
    )
    rep.add_argument(
        "--alpha",
        metavar="A",
        type=_level,
        default=0.01,
        help="significance level of the change checks, after Benjamini-Hochberg correction (default 0.01)",
    )
    rep.add_argument("--seed", metavar="S", type=_seed, default=0, help="seed of the bootstrap (default 0)")
    rep.add_argument(
        "--facet-threshold",
        metavar="T",
        type=_cutoff,
        help="split each numeric facet in two groups, >= T and < T, instead of one group per value",
    )
    rep.add_argument(
        "--max-groups",
        metavar="N",
        type=_count,
        default=100,
        help="refuse a facet with more than N groups (default 100)",
    )
    rep.add_argument(
        "--delimiter",
        metavar="C",
        type=_delimiter,
        help="CSV field delimiter ('tab' for a tab; default: a comma, or a semicolon or tab told from the header)",
    )
    over = rep.add_argument_group(
        "timeline",
        "the current data split into periods, each with every figure against a band from the reference's periods "
        "(split the same way); the JSON gets the table's rows, and 'lumetra check REPORT.json' judges the latest "
        "period",
    )
    over.add_argument("--time", metavar="COL", help="datetime column whose calendar periods --every makes")
    ways = over.add_mutually_exclusive_group()
    ways.add_argument("--every", metavar="P", help="calendar period of --time: 1h, 1d, 1w (from Monday), 1mo, 1q, 1y, "
                      "or a multiple such as 2d")
    ways.add_argument("--size", metavar="N", type=_positive, help="periods of N consecutive rows")
    ways.add_argument("--count", metavar="K", type=_positive, help="K periods of near-equal numbers of rows")
    rep.add_argument("-o", "--output", metavar="FILE", default="report.html", help="HTML file (default report.html)")
    rep.add_argument("--json", metavar="FILE", help="also write every number of the report to this JSON file")

    chk = sub.add_parser(
        "check",
        help="compare stored metric values with the latest ones by the engine's runtime checks, or judge the "
        "latest period of a report's timeline",
        description=(
            "Compare LATEST with BASELINE. Each file is a metric dict as the engine's analysis functions return "
            "it, a dict of such dicts by name, or a JSON written by 'lumetra report --json' (its current values). "
            "With one file, a JSON of 'lumetra report --json' with a timeline (--time/--every, --size or --count): "
            "it fails when a figure of the latest period is outside its band or its CUSUM alerts."
        ),
        epilog="Exit status: 0 every check passed, 1 a check failed, 2 usage or input error.",
    )
    chk.add_argument("baseline", metavar="BASELINE.json")
    chk.add_argument("latest", metavar="LATEST.json", nargs="?",
                     help="omitted: BASELINE.json is a report with a timeline, whose latest period is judged")
    chk.add_argument("--family", choices=FAMILIES, help="metric family (default: told from the metric names)")
    chk.add_argument("--threshold", metavar="T", type=_tolerance, help="relative threshold (default 0.10)")
    chk.add_argument(
        "--metrics", metavar="NAME", nargs="+", action="extend", help="check only these metrics (default: all)"
    )
    chk.add_argument(
        "--check-rule",
        default="change",
        choices=CHECK_RULES,
        help="change (default, for two reports' JSON, which hold their counts): a metric fails when its change is "
        "significant after correction and may reach its tolerance; relative: the engine's runtime checks",
    )
    chk.add_argument("--alpha", metavar="A", type=_level, default=0.01,
                     help="significance level of the change checks (default 0.01)")
    chk.add_argument("--seed", metavar="S", type=_seed, default=0, help="seed of the bootstrap (default 0)")
    return parser


def _out(*parts: Any) -> None:
    """A line of the command's output. When its reader has gone (`| head`), the
    rest is dropped and the command still ends with its own status."""
    try:
        print(*parts)
    except BrokenPipeError:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())


class _UsageError(Exception):
    pass


def _fail(message: str) -> int:
    sys.stderr.write(f"lumetra: error: {message}\n")
    return EXIT_USAGE


# ----------------------------------------------------------------------- report


def _report(args: argparse.Namespace) -> int:
    from . import report as rp

    options = rp.ReportOptions(
        label=args.label,
        prediction=args.prediction,
        facets=list(args.facet),
        task=args.task,
        positive=args.positive,
        threshold=args.threshold,
        columns=args.columns,
        drift_threshold=args.drift_threshold,
        drift_metric=args.drift_metric,
        rule=args.rule,
        check_threshold=args.check_threshold,
        missing=args.missing,
        facet_threshold=args.facet_threshold,
        max_groups=args.max_groups,
        check_rule=args.check_rule,
        alpha=args.alpha,
        seed=args.seed,
        time=args.time,
        every=args.every,
        size=args.size,
        count=args.count,
    )
    progress = _Progress(sys.stderr)
    try:
        progress("reading " + args.reference, 0, 1)
        reference = rp.read_table(args.reference, args.delimiter)
        progress("reading " + args.current, 0, 1)
        current = rp.read_table(args.current, args.delimiter)
        result = rp.build_report(
            reference,
            current,
            options,
            reference_name=args.reference,
            current_name=args.current,
            progress=progress,
        )
        progress("writing the report", 1, 1)
        html = rp.render_html(result)
        json_text = rp.report_json(result) if args.json else None
    except rp.InputError as exc:
        progress.close()
        return _fail(str(exc))
    except (ValueError, KeyError, TypeError) as exc:
        # The package's and the engine's refusals of the data.
        progress.close()
        return _fail(_flags(_one_line(exc)))
    except MemoryError:
        progress.close()
        return _fail(f"out of memory while computing the report ({progress.last}); use smaller files or a machine "
                     "with more memory")
    progress.close()
    for path, text in ((args.output, html), (args.json, json_text)):
        if path is None or text is None:
            continue
        try:
            with open(path, "w", encoding="utf-8") as handle:
                handle.write(text)
        except OSError as exc:
            return _fail(f"cannot write {path}: {exc.strerror or exc}")
    summary = result["summary"]
    _out(
        f"checks: {summary['failed']} failed, {summary['passed']} passed"
        + (f", {summary['not_checked']} not checked" if summary["not_checked"] else "")
    )
    if "timeline" in result:
        _out(_timeline_line(result["timeline"]))
    _out(f"report: {os.path.abspath(args.output)}")
    if args.json:
        _out(f"json: {os.path.abspath(args.json)}")
    return rp.exit_status(result)


def _timeline_line(section: dict[str, Any]) -> str:
    from ._report_timeline import latest_alerts

    periods = section["periods"]
    head = f"timeline: {len(periods)} period{'s' if len(periods) != 1 else ''}"
    if not periods:
        return head
    _, alerting, judged = latest_alerts(section)
    return head + f"; latest period: {len(alerting)} of {judged} series alert"


def _one_line(exc: BaseException) -> str:
    text = exc.args[0] if isinstance(exc, KeyError) and exc.args else str(exc)
    text = str(text).strip()
    return text.splitlines()[0] if text else type(exc).__name__


# The package's messages name its arguments; the command's name its flags.
_FLAG_NAMES = (
    (re.compile(r"\bmissing='(\w+)'"), r"--missing \1"),
    (re.compile(r"\b(?:label_threshold|prediction_threshold)=(\S+?)([,;:)]?(?:\s|$))"), r"--threshold \1\2"),
    (re.compile(r"\b(?:label_threshold|prediction_threshold)\b"), "--threshold"),
    (re.compile(r"\bfacet_threshold\b"), "--facet-threshold"),
    (re.compile(r"^(every|size|count) must\b"), r"--\1 must"),
    (re.compile(r"\b(?:predicted_)?positive=(\S+?)([,;:)]?(?:\s|$))"), r"--positive \1\2"),
)


def _flags(message: str) -> str:
    for pattern, replacement in _FLAG_NAMES:
        message = pattern.sub(replacement, message)
    return message


# ------------------------------------------------------------------------ check


def _load(path: str) -> Any:
    from ._checks import from_json_number

    try:
        with open(path, encoding="utf-8") as handle:
            return json.load(handle, object_hook=lambda d: {k: from_json_number(v) for k, v in d.items()})
    except OSError as exc:
        raise _UsageError(f"cannot read {path}: {exc.strerror or exc}") from None
    except RecursionError:
        raise _UsageError(f"{path} is nested too deeply to be a metric file") from None
    except (ValueError, UnicodeDecodeError) as exc:  # JSONDecodeError, and integers too long to read
        raise _UsageError(f"{path} is not JSON: {_one_line(exc)}") from None


MetricSet = tuple[str | None, dict[str, float]]


def _is_metric_dict(value: Any) -> bool:
    return (
        isinstance(value, dict)
        and bool(value)
        and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value.values())
    )


def _as_floats(values: dict[str, Any], where: str) -> dict[str, float]:
    """A metric dict's values as floats; a number beyond a double's range is refused."""
    out = {}
    for metric, value in values.items():
        try:
            out[metric] = float(value)
        except OverflowError:
            raise _UsageError(f"{where}: {metric} is too large a number ({str(value)[:12]}...)") from None
    return out


def _report_sets(doc: dict[str, Any], path: str) -> tuple[dict[str, MetricSet], dict[str, str]]:
    """The current metrics of each group and of the performance section of a
    report's JSON, and the sets it has no current metrics for, with why."""
    from ._checks import FAMILIES

    sets: dict[str, MetricSet] = {}
    unmeasured: dict[str, str] = {}
    for section in ("data_bias", "model_bias"):
        for facet in doc.get(section) or []:
            for group in facet["groups"]:
                name = f"{section} {facet['facet']} = {group['label']}"
                current = group.get("current")
                if not current:
                    unmeasured[name] = "the group is not in the current data"
                elif current.get("error"):
                    unmeasured[name] = f"no current metrics: {current['error']}"
                else:
                    sets[name] = (section, _as_floats(current["metrics"], f"{path}: {name}"))
                    if "counts" in current:
                        _STATES[path, name] = current["counts"]
    perf = doc.get("performance")
    if perf:
        family = perf["family"]
        if family not in FAMILIES:
            raise _UsageError(f"{path}: unknown metric family {family!r} (expected one of {', '.join(FAMILIES)})")
        name = f"performance {family}"
        sets[name] = (family, _as_floats(perf["current"]["metrics"], f"{path}: {name}"))
        if "state" in perf["current"]:
            _STATES[path, name] = perf["current"]["state"]
    return sets, unmeasured


# The counts or state behind each metric set of a report's JSON, by (file, set).
_STATES: dict[tuple[str, str], Any] = {}


def metric_sets(doc: Any, path: str) -> tuple[dict[str, MetricSet], dict[str, str]]:
    """The named metric dicts a JSON document holds, each with its family if
    known, and the named sets it holds without metrics to check (with why)."""
    if isinstance(doc, dict) and "summary" in doc and "drift" in doc:
        try:
            sets, unmeasured = _report_sets(doc, path)
        except (KeyError, TypeError, AttributeError) as exc:
            what = f"has no {exc.args[0]!r}" if isinstance(exc, KeyError) else "has an entry of the wrong shape"
            raise _UsageError(f"{path} looks like a report's JSON but {what}") from None
        if not sets and not unmeasured:
            raise _UsageError(f"{path} is a report without bias or performance metrics")
        return sets, unmeasured
    if _is_metric_dict(doc):
        return {"metrics": (None, _as_floats(doc, path))}, {}
    if isinstance(doc, dict) and doc and all(_is_metric_dict(v) for v in doc.values()):
        return {str(k): (None, _as_floats(v, f"{path}: {k}")) for k, v in doc.items()}, {}
    raise _UsageError(f"{path} holds no metric values (expected a dict of metric names to numbers)")


def _check(args: argparse.Namespace) -> int:
    from ._checks import FAMILIES, family_of, run_check

    if args.latest is None:
        return _check_timeline(args)
    try:
        baseline, b_unmeasured = metric_sets(_load(args.baseline), args.baseline)
        latest, l_unmeasured = metric_sets(_load(args.latest), args.latest)
    except _UsageError as exc:
        return _fail(str(exc))
    unmeasured = {**{n: f"in {args.baseline}: {why}" for n, why in b_unmeasured.items()},
                  **{n: f"in {args.latest}: {why}" for n, why in l_unmeasured.items()}}
    # A plain metric dict on either side is compared with the one set of the
    # other file, whatever that set is called.
    plain = "metrics" in baseline or "metrics" in latest
    if len(baseline) == 1 and len(latest) == 1 and plain:
        (b_name, b_set), (_, l_set) = next(iter(baseline.items())), next(iter(latest.items()))
        pairs = [(b_name, b_set, l_set)]
    else:
        pairs = [(name, baseline[name], latest[name]) for name in baseline
                 if name in latest and name not in unmeasured]
        if not pairs and not unmeasured:
            return _fail(f"{args.baseline} and {args.latest} have no metric set in common")
    if args.check_rule == "change" and pairs and all((args.baseline, n) in _STATES and (args.latest, n) in _STATES
                                                     for n, _, _ in pairs):
        return _check_changes(args, pairs, unmeasured)
    failed = 0
    not_checked = dict(unmeasured)
    for name, (b_family, b_values), (_, l_values) in pairs:
        family_name = args.family or b_family
        family = FAMILIES[family_name] if family_name else family_of(b_values)
        if family is None:
            return _fail(f"cannot tell the metric family of {name!r} in {args.baseline}; give --family")
        try:
            result = run_check(family, b_values, l_values, threshold=args.threshold, metrics=args.metrics)
        except (ValueError, TypeError, OverflowError) as exc:
            return _fail(f"{name} ({family.name}): {_flags(_one_line(exc))}")
        # A NaN on either side fails no rule: say which metrics were not compared.
        checked = args.metrics or family.metrics
        nan = [m for m in checked if math.isnan(b_values.get(m, 0.0)) or math.isnan(l_values.get(m, 0.0))]
        if result["passed"] and nan and len(nan) == len(checked):
            not_checked[name] = "every metric is NaN on one side"
            continue
        note = f"; not compared (NaN): {', '.join(nan)}" if nan else ""
        if result["passed"]:
            _out(f"passed  {name} ({family.name}){note}")
            continue
        failed += 1
        _out(f"FAILED  {name} ({family.name}){note}")
        for entry in result["failed_report"]:
            metric = entry["metric"]
            _out(
                f"        {metric}: baseline {_fmt(b_values.get(metric))}, latest {_fmt(l_values.get(metric))}, "
                f"drift {_fmt(entry['drift'])}"
            )
    for name, why in not_checked.items():
        _out(f"not checked {name} ({why})")
    only = [n for n in baseline if n not in latest and n not in unmeasured]
    only += [n for n in latest if n not in baseline and n not in unmeasured]
    if len(pairs) > 1 or only:
        for name in only:
            where = args.baseline if name in baseline else args.latest
            _out(f"skipped {name} (only in {where})")
    compared = len(pairs) - sum(1 for name, _, _ in pairs if name in not_checked)
    sets = "metric set" if compared == 1 else "metric sets"
    tail = f", {len(not_checked)} not checked" if not_checked else ""
    _out(f"{compared} {sets} compared, {failed} failed{tail}")
    return EXIT_FAILED if failed else EXIT_PASSED


def _check_changes(args: argparse.Namespace, pairs: list[Any], unmeasured: dict[str, str]) -> int:
    """The change checks of two reports' current states (their counts), all
    metrics of all sets corrected together."""
    from statistics import NormalDist

    import numpy as np

    from . import _kernels
    from ._checks import FAMILIES, change_tests, correct

    z = NormalDist().inv_cdf(0.975)
    judged: list[tuple[str, str, list[Any]]] = []
    try:
        for section in ("data_bias", "model_bias"):
            names = [name for name, (family, _), _ in pairs if family == section]
            if not names:
                continue
            base = np.array([_STATES[args.baseline, n] for n in names], dtype=np.uint64)
            latest = np.array([_STATES[args.latest, n] for n in names], dtype=np.uint64)
            result = _kernels.bias_change(base, latest, 0.95, z, 1000, args.seed)
            metrics = FAMILIES[section].metrics
            for row, name in enumerate(names):
                reference = dict(pairs[[n for n, _, _ in pairs].index(name)][1][1])
                judged.append((name, section, change_tests(metrics, result, row, reference)))
        for name, (family, b_values), _ in pairs:
            if family in ("data_bias", "model_bias"):
                continue
            b, l_state = _STATES[args.baseline, name], _STATES[args.latest, name]

            def array(state: Any, key: str, dtype: Any) -> Any:
                return np.ascontiguousarray(np.asarray(state[key], dtype=dtype).reshape(1, -1), dtype=dtype)

            result = _kernels.performance_change(
                family, array(b, "counts", np.uint64), array(b, "sums", np.float64).ravel(),
                array(b, "moments", np.float64).ravel(), array(l_state, "counts", np.uint64),
                array(l_state, "sums", np.float64).ravel(), array(l_state, "moments", np.float64).ravel(),
                0.95, z, 1000, args.seed,
            )
            judged.append((name, family, change_tests(FAMILIES[family].metrics, result, 0, b_values)))
    except (ValueError, TypeError, OverflowError, KeyError) as exc:
        return _fail(f"the counts of a report are damaged: {_one_line(exc)}")
    if args.metrics:
        judged = [(name, family, [t for t in tests if t.metric in args.metrics]) for name, family, tests in judged]
    correct([t for _, _, tests in judged for t in tests])
    failed = 0
    for name, family, tests in judged:
        bad = [t for t in tests if t.failed(args.alpha)]
        if not bad:
            _out(f"passed  {name} ({family})")
            continue
        failed += 1
        _out(f"FAILED  {name} ({family})")
        for t in bad:
            _out(f"        {t.metric}: change {_fmt(t.change)} ({_fmt(t.low)} to {_fmt(t.high)}), "
                  f"adjusted p {t.p_adjusted:.2g}, tolerance {_tolerance_text(t.metric)}")
    for name, why in unmeasured.items():
        _out(f"not checked {name} ({why})")
    sets = "metric set" if len(judged) == 1 else "metric sets"
    tail = f", {len(unmeasured)} not checked" if unmeasured else ""
    _out(f"{len(judged)} {sets} compared by their change, {failed} failed{tail}")
    return EXIT_FAILED if failed else EXIT_PASSED


def _check_timeline(args: argparse.Namespace) -> int:
    """The verdict on the latest period of a report's timeline: every series
    (section, subject, metric) that is outside its band or whose CUSUM
    alerts in that period is named, and any fails the check."""
    from ._report_timeline import latest_alerts
    from ._timeline import CUSUM_LIMIT

    path = args.baseline
    for flag, value in (("--family", args.family), ("--threshold", args.threshold)):
        if value is not None:
            return _fail(f"{flag} is for comparing two files; a timeline's latest period is judged by its bands "
                         f"(give LATEST.json to compare {path} with it)")
    try:
        doc = _load(path)
    except _UsageError as exc:
        return _fail(str(exc))
    if not (isinstance(doc, dict) and "summary" in doc and "drift" in doc):
        return _fail(f"{path} is not a report's JSON: give LATEST.json to compare it with, or the JSON of "
                     "'lumetra report --json FILE --time COL --every P'")
    if "timeline" not in doc:
        return _fail(f"{path} is a report without a timeline: give LATEST.json to compare it with, or make the "
                     "report with --time COL --every P (or --size N, --count K)")
    try:
        period, alerting, judged = latest_alerts(doc["timeline"], args.metrics)
        n = int(period["n"])
    except (KeyError, TypeError, ValueError, AttributeError, IndexError) as exc:
        what = f"has no {exc.args[0]!r}" if isinstance(exc, KeyError) else f"is damaged ({_one_line(exc)})"
        return _fail(f"{path}: its timeline {what}")
    if args.metrics and not judged:
        return _fail(f"{path}: its timeline has no metric {', '.join(args.metrics)}")
    last = len(alerting[0].values) - 1 if alerting else 0
    for s in alerting:
        why = []
        if s.alerts[last]:
            why.append(f"{_fmt(s.values[last])} outside {_fmt(s.lower[last])} to {_fmt(s.upper[last])}")
        if s.cusum_alerts[last]:
            why.append(f"CUSUM {_fmt(s.cusum[last])} above {_fmt(CUSUM_LIMIT)}")
        _out(f"ALERT   {s.section} {s.subject} {s.metric}: {'; '.join(why)}")
    what = f"latest period {period['start']} to {period['end']} ({n} rows)"
    if not n:
        _out(f"{what}: no rows, nothing to judge")
        return EXIT_PASSED
    _out(f"{what}: {len(alerting)} of {judged} series alert")
    return EXIT_FAILED if alerting else EXIT_PASSED


def _tolerance_text(metric: str) -> str:
    from ._checks import TOLERANCES

    return TOLERANCES[metric].text()


def _fmt(value: Any) -> str:
    from ._svg import number

    if value is None:
        return "–"
    return number(float(value)).replace("−", "-")


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        if args.command == "report":
            return _report(args)
        return _check(args)
    except Exception:
        # Not the user's input but a fault of lumetra: show where, and keep the
        # status apart from "a check failed".
        import traceback

        traceback.print_exc()
        sys.stderr.write("lumetra: internal error (a bug in lumetra; the traceback above helps to fix it)\n")
        return EXIT_INTERNAL


if __name__ == "__main__":  # pragma: no cover
    raise SystemExit(main())
