"""The package's one vocabulary: the names of metrics per family, drift
metrics and bin rules as the engine defines them (read from it, not
copied), the tasks and missing-value policies of the package, and its
version. The command line, the checks, the report and the docs read them
here."""

from __future__ import annotations

from importlib.metadata import PackageNotFoundError, version

from . import _kernels

_ENGINE = _kernels.vocabulary()

DATA_BIAS_METRICS: tuple[str, ...] = _ENGINE["data_bias"]
MODEL_BIAS_METRICS: tuple[str, ...] = _ENGINE["model_bias"]
REGRESSION_METRICS: tuple[str, ...] = _ENGINE["regression"]
CLASSIFICATION_METRICS: tuple[str, ...] = _ENGINE["classification"]
LOGISTIC_METRICS: tuple[str, ...] = _ENGINE["logistic"]
DRIFT_METRICS: tuple[str, ...] = _ENGINE["drift_metrics"]
BIN_RULES: tuple[str, ...] = _ENGINE["bin_rules"]

#: Metric families, each named as its runtime check is: two bias families
#: and one per performance task.
FAMILY_METRICS: dict[str, tuple[str, ...]] = {
    "data_bias": DATA_BIAS_METRICS,
    "model_bias": MODEL_BIAS_METRICS,
    "regression": REGRESSION_METRICS,
    "classification": CLASSIFICATION_METRICS,
    "logistic": LOGISTIC_METRICS,
}
FAMILIES: tuple[str, ...] = tuple(FAMILY_METRICS)

#: What `lumetra.performance` evaluates; each task yields the family of its name.
TASKS: tuple[str, ...] = ("regression", "classification", "logistic")

#: What happens to rows with a missing value; "group" only where there are group columns.
MISSING_POLICIES: tuple[str, ...] = ("raise", "drop", "group")

#: The bin rule a continuous drift column takes by default.
DEFAULT_RULE = BIN_RULES[0]


def _version() -> str:
    try:
        return version("lumetra")
    except PackageNotFoundError:  # pragma: no cover - running from a source tree
        return "unknown"


__version__ = _version()
