"""lumetra: bias, performance and drift statistics of DataFrames, many groups
at once, computed by the exact engine of the `_lumetra` module.

Frames of any library that narwhals reads (pandas, polars, pyarrow Tables)
go in; a frame of the same library comes out, one row per group (or per
column, for drift). Dask DataFrames go in as they are; a pandas frame comes
out.

Significance tests and p-value adjustments with the names and results of
SciPy and statsmodels are in the submodule lumetra.stats."""

from . import stats
from ._analyses import data_bias, drift, model_bias, performance
from ._intervals import monitor_intervals
from ._periodic import PeriodicMonitor
from ._timeline import Timeline, timeline
from ._vocabulary import __version__

__all__ = ["PeriodicMonitor", "Timeline", "__version__", "data_bias", "drift", "model_bias", "monitor_intervals", "performance", "timeline"]
