"""lumetra: bias, performance and drift statistics of DataFrames, many groups
at once, computed by the exact engine of the `_lumetra` module.

Frames of any library that narwhals reads (pandas, polars, pyarrow Tables)
go in; a frame of the same library comes out, one row per group (or per
column, for drift)."""

from ._bias import data_bias, model_bias
from ._drift import drift
from ._performance import performance

__all__ = ["data_bias", "drift", "model_bias", "performance"]
