"""Metric names of each family, in enum order: the key order of result dicts
and the order in which reports list failed metrics. They are the package's
own lists, read from the engine (its command line and report read them), so
the tests that hold result dicts against these lists check the package's
names too."""

from lumetra._vocabulary import (
    CLASSIFICATION_METRICS,
    DATA_BIAS_METRICS,
    DRIFT_METRICS,
    LOGISTIC_METRICS,
    MODEL_BIAS_METRICS,
    REGRESSION_METRICS,
)

DATA_BIAS = list(DATA_BIAS_METRICS)
MODEL_BIAS = list(MODEL_BIAS_METRICS)
REGRESSION = list(REGRESSION_METRICS)
# Binary classification: the logistic family without LogLoss.
CLASSIFICATION = list(CLASSIFICATION_METRICS)
LOGISTIC = list(LOGISTIC_METRICS)
DRIFT = list(DRIFT_METRICS)
