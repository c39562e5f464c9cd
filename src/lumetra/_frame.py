"""Frame intake: DataFrames of any library narwhals reads eagerly (pandas,
polars, pyarrow Tables), their columns as NumPy buffers (numbers in place,
text and categories as integer codes plus one label per code, booleans as
numbers or codes), missing values found without converting them, and the
result table built in the caller's library."""

from __future__ import annotations

import enum
import sys
import weakref
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Optional, Union, cast

import narwhals as nw
import numpy as np
import numpy.typing as npt

Frame = nw.DataFrame[Any]
Series = nw.Series[Any]
Array = npt.NDArray[Any]
Mask = npt.NDArray[np.bool_]

# Integer columns whose values span at most this many codes are grouped by
# offset from their minimum, in one pass; wider ones are sorted.
DENSE_SPAN = 1 << 20


class Kind(enum.Enum):
    """How a column is read: numbers in place, booleans, or text as codes."""

    NUMBER = "number"
    BOOLEAN = "boolean"
    TEXT = "text"


def is_dask(data: object) -> bool:
    """Whether `data` is a Dask DataFrame (never imports Dask: a frame of it
    can only exist once it is imported)."""
    module = sys.modules.get("dask.dataframe")
    frame_type = getattr(module, "DataFrame", None)
    return isinstance(frame_type, type) and isinstance(data, frame_type)


def read_frame(data: object, argument: str) -> Frame:
    """The narwhals wrapper of an eager DataFrame; TypeError for anything else,
    ValueError for a frame that has a column name more than once."""
    check_unique_names(_native_columns(data), argument)
    try:
        return nw.from_native(cast(Any, data), eager_only=True)
    except TypeError:
        raise TypeError(
            f"{argument} must be a DataFrame (pandas, polars, or a pyarrow Table); got {type(data).__name__}"
        ) from None


def _native_columns(data: object) -> list[Any]:
    # The names as the library holds them: narwhals refuses repeated names
    # with a message of several lines, so they are looked at first.
    names = getattr(data, "column_names", None)  # pyarrow
    if names is None:
        names = getattr(data, "columns", None)  # pandas, polars, Dask
    try:
        return list(names) if names is not None and not isinstance(names, str) else []
    except TypeError:
        return []


def check_unique_names(names: Sequence[Any], argument: str) -> None:
    """ValueError naming the first column name that `names` holds twice."""
    seen: set[Any] = set()
    for name in names:
        try:
            if name in seen:
                raise ValueError(f"{argument} has more than one column named {name!r}; rename them first")
            seen.add(name)
        except TypeError:  # an unhashable name: narwhals refuses the frame itself
            return


@dataclass
class _Seen:
    """What was read of one frame wrapper: its column names, its columns as
    series, its empty slice. An analysis asks for a column's dtype several
    times while it plans, and each wrapper of a series costs tens of
    microseconds."""

    names: frozenset[str]
    series: dict[str, Series]
    empty: Optional[Frame] = None


# By the wrapper's id, for as long as the wrapper lives (wrappers are not hashable).
_SEEN: dict[int, _Seen] = {}


def _seen(frame: Frame) -> _Seen:
    seen = _SEEN.get(id(frame))
    if seen is None:
        seen = _SEEN[id(frame)] = _Seen(frozenset(frame.columns), {})
        weakref.finalize(frame, _SEEN.pop, id(frame), None)
    return seen


# Each Series wrapper's dtype, asked once: a narwhals dtype is converted from
# the library's on every access.
_DTYPES: dict[int, Any] = {}


def dtype_of(series: Series) -> Any:
    """The narwhals dtype of a column."""
    dtype = _DTYPES.get(id(series))
    if dtype is None:
        dtype = _DTYPES[id(series)] = series.dtype
        weakref.finalize(series, _DTYPES.pop, id(series), None)
    return dtype


def get_column(frame: Frame, name: str, argument: str) -> Series:
    """Column `name`; KeyError naming the argument and the frame's columns."""
    seen = _seen(frame)
    if name not in seen.series:
        if name not in seen.names:
            raise KeyError(f"{argument} column {name!r} is not in the frame; its columns are {frame.columns}")
        seen.series[name] = frame.get_column(name)
    return seen.series[name]


def empty_of(frame: Frame) -> Frame:
    """The frame's first zero rows: its columns and dtypes without data."""
    seen = _seen(frame)
    if seen.empty is None:
        seen.empty = frame.head(0)
    return seen.empty


def kind_of(series: Series, argument: str) -> Kind:
    """The column's kind; ValueError for dtypes that are none of them."""
    dtype = dtype_of(series)
    if dtype == nw.Boolean:
        return Kind.BOOLEAN
    if dtype.is_numeric() and dtype != nw.Decimal:
        return Kind.NUMBER
    if dtype == nw.String or dtype == nw.Categorical or isinstance(dtype, nw.Enum):
        return Kind.TEXT
    raise ValueError(
        f"{argument} column {series.name!r} has dtype {dtype}; expected numbers, booleans, strings or categories"
    )


@dataclass(frozen=True)
class Values:
    """A numeric or boolean column as a 1-D NumPy array of its own dtype.
    Rows flagged in `missing` (null, or NaN in a float column) hold an
    arbitrary value."""

    array: Array
    missing: Optional[Mask]

    def missing_count(self) -> int:
        return 0 if self.missing is None else int(np.count_nonzero(self.missing))


_WIDE_INTEGERS = ((nw.Int128, nw.Int64(), np.iinfo(np.int64)), (nw.UInt128, nw.UInt64(), np.iinfo(np.uint64)))


def _within_64_bits(series: Series, argument: str) -> Series:
    """A 128-bit integer column as 64-bit integers; TypeError naming the
    column and its dtype when a value does not fit."""
    dtype = dtype_of(series)
    for wide, narrow, info in _WIDE_INTEGERS:
        if dtype == wide:
            low, high = series.min(), series.max()
            if low is not None and (int(low) < int(info.min) or int(high) > int(info.max)):
                raise TypeError(
                    f"{argument} column {series.name!r} has dtype {series.dtype} with values beyond 64 bits "
                    f"({low} to {high}); lumetra reads integers of at most 64 bits"
                )
            return series.cast(narrow)
    return series


def can_miss(series: Series) -> bool:
    """Whether a column of this dtype can hold a missing value (NumPy integer
    and boolean columns of pandas cannot)."""
    if series.implementation.is_pandas():
        dtype = series.to_native().dtype
        if isinstance(dtype, np.dtype) and dtype.kind in "biu":
            return False
    return True


# A lazy frame's empty meta whose categories are not known yet lists this one.
_UNKNOWN_CATEGORIES = ["__UNKNOWN_CATEGORIES__"]


def declared_labels(series: Series) -> Optional[list[Any]]:
    """The labels a column's dtype declares in group order (pandas
    categoricals, polars enums), or None: they are then read from the data."""
    dtype = dtype_of(series)
    if isinstance(dtype, nw.Enum):
        return list(series.to_native().dtype.categories.to_list())
    if dtype == nw.Categorical and series.implementation.is_pandas():
        native_dtype = series.to_native().dtype
        categories = getattr(native_dtype, "categories", None)  # none for Arrow-backed dictionaries
        if categories is None:
            return None
        labels = list(categories.tolist())
        return None if labels == _UNKNOWN_CATEGORIES else labels
    return None


def _may_hold_nulls(series: Series) -> bool:
    # A pandas column backed by a NumPy integer or boolean array has no way to
    # mark a value missing; asking would scan the whole column.
    if series.implementation.is_pandas():
        dtype = series.to_native().dtype
        if isinstance(dtype, np.dtype) and dtype.kind in "biu":
            return False
    return series.null_count() > 0


def _in_place(series: Series) -> Optional[Array]:
    """The column's values where they are, without asking the library more
    than it must (a NumPy-backed pandas column, an Arrow column of plain
    numbers without nulls in one chunk), or None: read as any column then."""
    implementation = series.implementation
    if implementation.is_pandas():
        native = series.to_native()
        if isinstance(native.dtype, np.dtype) and native.dtype.kind in "biuf":
            array: Array = native.to_numpy()  # NaN marks a missing float
            return array
    elif implementation.is_pyarrow():
        native = series.to_native()
        chunks = getattr(native, "chunks", None)
        if chunks is None:
            chunks = [native]
        dtype = _ARROW_NUMBERS.get(str(native.type))
        if dtype is None or native.null_count:
            return None
        # Each chunk's values buffer as it is (one chunk: no copy).
        views = [np.frombuffer(c.buffers()[1], dtype=dtype, count=len(c), offset=c.offset * dtype.itemsize)
                 for c in chunks if len(c)]
        if not views:
            return np.zeros(0, dtype=dtype)
        return views[0] if len(views) == 1 else np.concatenate(views)
    return None


# Arrow types of plain numbers, whose values buffer holds the NumPy dtype's bytes.
_ARROW_NUMBERS = {name: np.dtype(name) for name in (
    "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float32", "float64")}
_ARROW_NUMBERS.update({"halffloat": np.dtype("float16"), "float": np.dtype("float32"), "double": np.dtype("float64")})


def read_values(series: Series, argument: str) -> Values:
    """A numeric or boolean column's values, zero-copy where the library allows.
    Half-precision floats are widened to single precision and 128-bit
    integers narrowed to 64 bits when every value fits, both exactly."""
    missing: Optional[Mask] = None
    array = _in_place(series)
    if array is None:
        series = _within_64_bits(series, argument)
        if _may_hold_nulls(series):
            missing = np.asarray(series.is_null().to_numpy(), dtype=bool)
            filler: Union[bool, int] = False if dtype_of(series) == nw.Boolean else 0
            array = np.asarray(series.fill_null(filler).to_numpy())
        else:
            array = np.asarray(series.to_numpy())
    if array.ndim != 1 or array.dtype.kind not in "biuf":
        raise ValueError(f"{argument} column {series.name!r} did not convert to numbers (got {array.dtype})")
    if array.dtype == np.float16:
        array = array.astype(np.float32)
    # The minimum is NaN when any value is: a pass that writes nothing, where a
    # mask of NaN would be a buffer the size of the column every read.
    if array.dtype.kind == "f" and array.size and np.isnan(np.min(array)):
        nan = np.isnan(array)
        missing = nan if missing is None else missing | nan
    return Values(array, missing)


Labels = Union[list[Any], Array]


@dataclass(frozen=True)
class Coded:
    """A column as integer codes (negative where the value is missing) and one
    label per code, in group order: a list (text, booleans) or, for numbers,
    an array of the column's dtype. `declared` says the order is the
    column's own (categories), not the sorted one."""

    codes: Array
    labels: Labels
    declared: bool = False

    def missing(self) -> Optional[Mask]:
        """Rows without a value, or None when every row has one."""
        if self.codes.size == 0 or self.codes.min() >= 0:
            return None
        mask: Mask = self.codes < 0
        return mask


def read_codes(series: Series, kind: Kind, argument: str, values: Optional[Values] = None) -> Coded:
    """Any column as codes. Group order: categories in their declared order
    (pandas categoricals, polars enums, Arrow dictionaries); other text by
    code point; booleans False then True; numbers ascending. `values` are
    the column's values when they were read already."""
    if kind is Kind.TEXT:
        return _text_codes(series)
    if values is None:
        values = read_values(series, argument)
    if kind is Kind.BOOLEAN:
        codes: Array = values.array.astype(np.int8)
        labels: Labels = [False, True]
    else:
        codes, labels = _number_codes(values)
    if values.missing is not None:
        codes[values.missing] = -1
    return Coded(codes, labels)


def _number_codes(values: Values) -> tuple[Array, Array]:
    array = values.array
    kept = array if values.missing is None else array[~values.missing]
    if kept.size == 0:
        return np.full(array.shape, -1, dtype=np.int64), np.zeros(0, dtype=array.dtype)
    if array.dtype.kind in "iu":
        low, high = int(kept.min()), int(kept.max())
        span = high - low + 1
        if span <= DENSE_SPAN and span <= 4 * kept.size + 256 and high <= np.iinfo(np.int64).max:
            codes = array.astype(np.int64)
            codes -= low
            return codes, np.arange(low, high + 1).astype(array.dtype)
    uniques, inverse = np.unique(kept, return_inverse=True)
    if values.missing is None:
        codes = inverse.astype(np.int64)
    else:
        codes = np.full(array.shape, -1, dtype=np.int64)
        codes[~values.missing] = inverse
    return codes, uniques


def _text_codes(series: Series) -> Coded:
    implementation = series.implementation
    native = series.to_native()
    if implementation.is_pandas():
        import pandas as pd

        if isinstance(native.dtype, pd.CategoricalDtype):
            # The categorical's own codes, not the copy that .cat.codes makes.
            return Coded(np.asarray(native.array.codes), list(native.cat.categories.tolist()), declared=True)
        if isinstance(native.dtype, pd.ArrowDtype):
            # Arrow-backed text (a dictionary among them) is read as Arrow reads it.
            return _arrow_codes(series.to_arrow())
        codes, uniques = pd.factorize(native, sort=True, use_na_sentinel=True)
        return Coded(np.asarray(codes), list(uniques.tolist()))
    if implementation.is_polars():
        import polars as pl

        if isinstance(native.dtype, pl.Enum):
            physical = native.to_physical().cast(pl.Int64).fill_null(-1)
            return Coded(physical.to_numpy(), native.dtype.categories.to_list(), declared=True)
        text = native.cast(pl.String)
        ranks = (text.rank("dense").cast(pl.Int64) - 1).fill_null(-1)
        return Coded(ranks.to_numpy(), text.drop_nulls().unique().sort().to_list())
    return _arrow_codes(native if implementation.is_pyarrow() else series.to_arrow())


def _arrow_codes(column: Any) -> Coded:
    import pyarrow as pa
    import pyarrow.compute as pc

    chunked = column if isinstance(column, pa.ChunkedArray) else pa.chunked_array([column])
    declared = pa.types.is_dictionary(chunked.type)
    if not declared:
        chunked = pc.dictionary_encode(chunked)
    if chunked.num_chunks == 0:
        return Coded(np.zeros(0, dtype=np.int64), [], declared=declared)
    chunked = chunked.unify_dictionaries()
    labels: list[Any] = chunked.chunk(0).dictionary.to_pylist()
    indices = pa.chunked_array([c.indices for c in chunked.chunks], type=chunked.type.index_type)
    codes = np.asarray(pc.fill_null(pc.cast(indices, pa.int64()), -1).to_numpy())
    if declared:
        return _distinct_labels(codes, labels)
    if not labels:  # no labels: every value is missing
        return Coded(codes, labels)
    # Encoded text comes in order of first appearance; groups go by code point.
    order = sorted(range(len(labels)), key=labels.__getitem__)
    rank = np.empty(len(labels), dtype=np.int64)
    rank[order] = np.arange(len(labels))
    codes = np.where(codes >= 0, rank[np.maximum(codes, 0)], -1)
    return Coded(codes, [labels[i] for i in order])


def _distinct_labels(codes: Array, labels: list[Any]) -> Coded:
    """Codes of distinct labels, first seen first, for a dictionary that may
    hold a value twice or a null (a row coded to a null value misses it)."""
    remap = np.empty(len(labels), dtype=np.int64)
    position: dict[Any, int] = {}
    kept: list[Any] = []
    for index, label in enumerate(labels):
        if label is None or (isinstance(label, float) and label != label):
            remap[index] = -1
            continue
        key = (type(label), label)
        if key not in position:
            position[key] = len(kept)
            kept.append(label)
        remap[index] = position[key]
    if len(kept) == len(labels):
        return Coded(codes, labels, declared=True)
    return Coded(np.where(codes >= 0, remap[np.maximum(codes, 0)], -1), kept, declared=True)


def label_text(label: Any) -> str:
    """A category's text, as drift compares categories: numbers by value (an
    integer category and a float one of the same value have one text, "1"),
    anything else as str() gives it."""
    if isinstance(label, (bool, np.bool_)) or not isinstance(label, (int, float, np.integer, np.floating)):
        return str(label)
    if isinstance(label, (int, np.integer)):
        return str(int(label))
    number = float(label)
    return str(int(number)) if number.is_integer() else repr(number)


def missing_error(argument: str, name: str, count: int, *, group: bool) -> ValueError:
    """The refusal of missing values under missing='raise'."""
    remedy = "missing='drop' to leave those rows out"
    if group:
        remedy += " or missing='group' to make them a group of their own"
    rows = "row" if count == 1 else "rows"
    return ValueError(f"{argument} column {name!r} has {count} {rows} with a missing value; pass {remedy}")


def drop_rows(codes: Array, missing: Optional[Mask]) -> Array:
    """Group codes with the flagged rows left out (code -1)."""
    if missing is None:
        return codes
    return np.where(missing, np.asarray(-1, dtype=codes.dtype), codes)


def value_series(like: Optional[Series], name: str, values: Sequence[Any], implementation: Any) -> Series:
    """A column of group values in the caller's library, keeping the facet
    column's dtype where the library can hold the values in it (a missing
    value as null)."""
    if like is not None:
        try:
            if implementation is nw.Implementation.PANDAS:
                import pandas as pd

                native = like.to_native()
                return nw.from_native(pd.Series(list(values), dtype=native.dtype, name=name), series_only=True)
            return nw.new_series(name, list(values), dtype=like.dtype, backend=implementation)
        except (TypeError, ValueError):
            pass
    return nw.new_series(name, list(values), backend=implementation)


def result_table(
    like: Frame, groups: Mapping[str, Series], columns: Mapping[str, Union[Array, list[Optional[str]]]]
) -> Any:
    """The result in the library of `like`: group value columns, then
    counts (int64), metrics (float64) and errors (text or null)."""
    implementation = like.implementation
    data: dict[str, Any] = {}
    for key, value in columns.items():
        if isinstance(value, list):
            data[key] = nw.new_series(key, value, dtype=nw.String(), backend=implementation)
        elif value.dtype.kind == "u":
            data[key] = value.astype(np.int64)
        else:
            data[key] = value
    # Group columns join as frames of their own: building one frame from a
    # dict would pass them through a conversion that drops nullable dtypes.
    parts = [series.to_frame() for series in groups.values()] + [nw.from_dict(data, backend=implementation)]
    table = parts[0] if len(parts) == 1 else nw.concat(parts, how="horizontal")
    return nw.to_native(table)
