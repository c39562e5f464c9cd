"""The same columns as a pandas, polars or pyarrow frame, and readers of
result frames back into plain Python values."""

import math

import narwhals as nw
import numpy as np

from vocabulary import DATA_BIAS, DRIFT, LOGISTIC, MODEL_BIAS, REGRESSION

LIBRARIES = ["pandas", "polars", "pyarrow"]

# Column kinds: (values drawn from, library dtype per library); a kind ending
# in "?" is a nullable dtype, and its data holds missing values (None).
VALUES = {
    "int": [3, 7, 11, -2],
    "float": [0.5, 1.25, -3.0],
    "str": ["a", "b", "é", "B"],
    "cat": ["low", "mid", "high"],
    "bool": [True, False],
}


def column(rng, kind, n, missing_every=0):
    """Random values of a kind, None every `missing_every` rows."""
    pool = VALUES[kind.rstrip("?")]
    out = [pool[i] for i in rng.integers(0, len(pool), n)]
    if missing_every:
        for i in range(0, n, missing_every):
            out[i] = None
    return out


def make(library, columns):
    """A frame of `library` from {name: (kind, values)}."""
    if library == "pandas":
        import pandas as pd

        data = {}
        for name, (kind, values) in columns.items():
            base = kind.rstrip("?")
            if base == "cat":
                data[name] = pd.Categorical(values, categories=sorted(VALUES["cat"]))
            elif kind.endswith("?"):
                data[name] = pd.Series(values, dtype={"int": "Int64", "float": "Float64", "str": "string",
                                                      "bool": "boolean"}[base])
            else:
                data[name] = pd.Series(values, dtype={"int": "int64", "float": "float64", "str": "str",
                                                      "bool": "bool"}[base])
        return pd.DataFrame(data)
    if library == "polars":
        import polars as pl

        dtypes = {"int": pl.Int64, "float": pl.Float64, "str": pl.String, "bool": pl.Boolean,
                  "cat": pl.Categorical}
        return pl.DataFrame({name: pl.Series(name, values, dtype=dtypes[kind.rstrip("?")])
                             for name, (kind, values) in columns.items()})
    import pyarrow as pa

    arrays = {}
    for name, (kind, values) in columns.items():
        base = kind.rstrip("?")
        if base == "cat":
            dictionary = sorted(VALUES["cat"])
            indices = pa.array([None if v is None else dictionary.index(v) for v in values], type=pa.int8())
            arrays[name] = pa.DictionaryArray.from_arrays(indices, pa.array(dictionary))
        else:
            types = {"int": pa.int64(), "float": pa.float64(), "str": pa.string(), "bool": pa.bool_()}
            arrays[name] = pa.array(values, type=types[base])
    return pa.table(arrays)


def is_missing(v):
    return v is None or (isinstance(v, float) and math.isnan(v)) or type(v).__name__ == "NAType"


def rows(result):
    """A result frame as a list of {column: plain value} (missing as None)."""
    frame = nw.from_native(result, eager_only=True)
    columns = {name: frame.get_column(name).to_list() for name in frame.columns}
    out = []
    for i in range(len(frame)):
        row = {}
        for name, values in columns.items():
            v = values[i]
            if isinstance(v, np.generic):
                v = v.item()
            row[name] = None if is_missing(v) and name not in METRIC_COLUMNS else v
        out.append(row)
    return out


METRIC_COLUMNS = set(DATA_BIAS + MODEL_BIAS + REGRESSION + LOGISTIC + DRIFT)
METRIC_COLUMNS |= {f"{m}_{side}" for m in set(METRIC_COLUMNS) for side in ("low", "high")}


def same_float(a, b):
    """Bit for bit, NaN matching NaN (frame libraries may not keep NaN payloads)."""
    if math.isnan(a) and math.isnan(b):
        return True
    return np.float64(a).tobytes() == np.float64(b).tobytes()
