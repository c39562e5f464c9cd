"""The ``lumetra`` command: ``lumetra report`` and ``lumetra check``.

Exit status: 0 when every check passed, 1 when any check failed, 2 for a usage
or input error (reported as one line on stderr, naming the file or column), 3
for an internal error (a bug, reported with its traceback).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
from typing import Any, Sequence, TextIO

EXIT_PASSED = 0
EXIT_FAILED = 1
EXIT_USAGE = 2
EXIT_INTERNAL = 3

FAMILY_NAMES = ("data_bias", "model_bias", "regression", "classification", "logistic")


class _Progress:
    """A one-line progress indicator on stderr, shown only on a terminal."""

    def __init__(self, stream: TextIO) -> None:
        self.stream = stream
        self.active = stream.isatty()
        self.width = 0

    def __call__(self, what: str, done: int, total: int) -> None:
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


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("lumetra")
    except PackageNotFoundError:  # pragma: no cover - running from a source tree
        return "unknown"


def _threshold(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="lumetra",
        description="Drift, bias and performance reports and checks for monitoring ML models.",
        epilog="Exit status: 0 every check passed, 1 a check failed, 2 usage or input error.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND")
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
    rep.add_argument("--task", choices=("regression", "classification", "logistic"), help="what the model predicts")
    rep.add_argument("--positive", metavar="V", help="label value of the positive outcome (default 1)")
    rep.add_argument(
        "--threshold",
        metavar="T",
        type=_threshold,
        help="logistic: scores >= T are predicted positive (default 0.5); regression: values >= T are a "
        "positive outcome for the bias sections",
    )
    rep.add_argument(
        "--columns", metavar="COL", nargs="+", action="extend", help="columns to test for drift (default: all shared)"
    )
    rep.add_argument(
        "--drift-threshold",
        metavar="T",
        type=_threshold,
        default=0.1,
        help="a column fails when its drift metric is at least T (default 0.1)",
    )
    rep.add_argument(
        "--drift-metric",
        default="JensenShannon",
        choices=("JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"),
        help="drift metric that the drift check reads (default JensenShannon)",
    )
    rep.add_argument(
        "--rule",
        default="FreedmanDiaconis",
        choices=("FreedmanDiaconis", "Scott", "Sturges"),
        help="bin-count rule for numeric columns (default FreedmanDiaconis)",
    )
    rep.add_argument(
        "--check-threshold",
        metavar="T",
        type=_threshold,
        help="relative threshold of the bias and performance checks (default: the engine's 0.10)",
    )
    rep.add_argument(
        "--missing",
        default="raise",
        choices=("raise", "drop", "group"),
        help="rows with missing values: refuse them, leave them out, or make them a facet group",
    )
    rep.add_argument("-o", "--output", metavar="FILE", default="report.html", help="HTML file (default report.html)")
    rep.add_argument("--json", metavar="FILE", help="also write every number of the report to this JSON file")

    chk = sub.add_parser(
        "check",
        help="compare stored metric values with the latest ones by the engine's runtime checks",
        description=(
            "Compare LATEST with BASELINE. Each file is a metric dict as the engine's analysis functions return "
            "it, a dict of such dicts by name, or a JSON written by 'lumetra report --json' (its current values)."
        ),
        epilog="Exit status: 0 every check passed, 1 a check failed, 2 usage or input error.",
    )
    chk.add_argument("baseline", metavar="BASELINE.json")
    chk.add_argument("latest", metavar="LATEST.json")
    chk.add_argument("--family", choices=FAMILY_NAMES, help="metric family (default: told from the metric names)")
    chk.add_argument("--threshold", metavar="T", type=_threshold, help="relative threshold (default 0.10)")
    chk.add_argument(
        "--metrics", metavar="NAME", nargs="+", action="extend", help="check only these metrics (default: all)"
    )
    return parser


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
    )
    progress = _Progress(sys.stderr)
    try:
        progress("reading " + args.reference, 0, 1)
        reference = rp.read_table(args.reference)
        progress("reading " + args.current, 0, 1)
        current = rp.read_table(args.current)
        result = rp.build_report(
            reference,
            current,
            options,
            reference_name=args.reference,
            current_name=args.current,
            progress=progress,
        )
        html = rp.render_html(result)
    except rp.InputError as exc:
        progress.close()
        return _fail(str(exc))
    except (ValueError, KeyError, TypeError) as exc:
        # The package's and the engine's refusals of the data.
        progress.close()
        return _fail(_one_line(exc))
    progress.close()
    for path, text in ((args.output, html), (args.json, rp.report_json(result) if args.json else None)):
        if path is None or text is None:
            continue
        try:
            with open(path, "w", encoding="utf-8") as handle:
                handle.write(text)
        except OSError as exc:
            return _fail(f"cannot write {path}: {exc.strerror or exc}")
    summary = result["summary"]
    print(
        f"checks: {summary['failed']} failed, {summary['passed']} passed"
        + (f", {summary['not_checked']} not checked" if summary["not_checked"] else "")
    )
    print(f"report: {os.path.abspath(args.output)}")
    if args.json:
        print(f"json: {os.path.abspath(args.json)}")
    return rp.exit_status(result)


def _one_line(exc: BaseException) -> str:
    text = exc.args[0] if isinstance(exc, KeyError) and exc.args else str(exc)
    text = str(text).strip()
    return text.splitlines()[0] if text else type(exc).__name__


# ------------------------------------------------------------------------ check


def _load(path: str) -> Any:
    from ._checks import from_json_number

    try:
        with open(path, encoding="utf-8") as handle:
            return json.load(handle, object_hook=lambda d: {k: from_json_number(v) for k, v in d.items()})
    except OSError as exc:
        raise _UsageError(f"cannot read {path}: {exc.strerror or exc}") from None
    except (json.JSONDecodeError, UnicodeDecodeError) as exc:
        raise _UsageError(f"{path} is not JSON: {exc}") from None


def _is_metric_dict(value: Any) -> bool:
    return (
        isinstance(value, dict)
        and bool(value)
        and all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value.values())
    )


def metric_sets(doc: Any, path: str) -> dict[str, tuple[str | None, dict[str, float]]]:
    """The named metric dicts a JSON document holds, each with its family if known."""
    if isinstance(doc, dict) and "summary" in doc and "drift" in doc:
        sets: dict[str, tuple[str | None, dict[str, float]]] = {}
        for section in ("data_bias", "model_bias"):
            for facet in doc.get(section, []):
                for group in facet["groups"]:
                    if group.get("current") and not group["current"].get("error"):
                        name = f"{section} {facet['facet']} = {group['label']}"
                        sets[name] = (section, group["current"]["metrics"])
        perf = doc.get("performance")
        if perf:
            sets[f"performance {perf['family']}"] = (perf["family"], perf["current"]["metrics"])
        if not sets:
            raise _UsageError(f"{path} is a report without bias or performance metrics")
        return sets
    if _is_metric_dict(doc):
        return {"metrics": (None, doc)}
    if isinstance(doc, dict) and doc and all(_is_metric_dict(v) for v in doc.values()):
        return {str(k): (None, v) for k, v in doc.items()}
    raise _UsageError(f"{path} holds no metric values (expected a dict of metric names to numbers)")


def _check(args: argparse.Namespace) -> int:
    from ._checks import FAMILIES, family_of, run_check

    try:
        baseline = metric_sets(_load(args.baseline), args.baseline)
        latest = metric_sets(_load(args.latest), args.latest)
    except _UsageError as exc:
        return _fail(str(exc))
    # A plain metric dict on either side is compared with the one set of the
    # other file, whatever that set is called.
    plain = "metrics" in baseline or "metrics" in latest
    if len(baseline) == 1 and len(latest) == 1 and plain:
        (b_name, b_set), (_, l_set) = next(iter(baseline.items())), next(iter(latest.items()))
        pairs = [(b_name, b_set, l_set)]
    else:
        pairs = [(name, baseline[name], latest[name]) for name in baseline if name in latest]
        if not pairs:
            return _fail(f"{args.baseline} and {args.latest} have no metric set in common")
    failed = 0
    for name, (b_family, b_values), (_, l_values) in pairs:
        family_name = args.family or b_family
        family = FAMILIES[family_name] if family_name else family_of(b_values)
        if family is None:
            return _fail(f"cannot tell the metric family of {name!r} in {args.baseline}; give --family")
        try:
            result = run_check(family, b_values, l_values, threshold=args.threshold, metrics=args.metrics)
        except (ValueError, TypeError) as exc:
            return _fail(f"{name} ({family.name}): {_one_line(exc)}")
        if result["passed"]:
            print(f"passed  {name} ({family.name})")
            continue
        failed += 1
        print(f"FAILED  {name} ({family.name})")
        for entry in result["failed_report"]:
            metric = entry["metric"]
            print(
                f"        {metric}: baseline {_fmt(b_values.get(metric))}, latest {_fmt(l_values.get(metric))}, "
                f"drift {_fmt(entry['drift'])}"
            )
    only = [n for n in baseline if n not in latest] + [n for n in latest if n not in baseline]
    if len(pairs) > 1 or only:
        for name in only:
            where = args.baseline if name in baseline else args.latest
            print(f"skipped {name} (only in {where})")
    sets = "metric set" if len(pairs) == 1 else "metric sets"
    print(f"{len(pairs)} {sets} compared, {failed} failed")
    return EXIT_FAILED if failed else EXIT_PASSED


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
