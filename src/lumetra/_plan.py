"""Plans: each analysis written once, as steps that a runner executes
wherever the rows are (one frame in memory, the partitions of a Dask frame).

A plan names the columns it reads and is a generator of requests. Each
request is a pass over every part of the rows:

- `Reduce(fn, args, merge)`: `fn(part, *args)` gives one part's state, and
  `merge(a, b)` (associative) combines two states; the plan receives the
  state of all parts, merged in part order.
- `Chain(fn, args, start)`: `fn(part, *args, carried)` over the parts in row
  order, each part starting from what the one before it returned (a sum in
  row order that no merge of partial sums reproduces); the plan receives the
  last part's result.

Between requests the plan decides, on the client, what the next pass needs;
what it finally returns is the result. The plan sees the rows only through
`Part`, and the frame's columns and dtypes through `meta` (an empty or the
whole eager frame: dtypes decide errors before any part is read). A plan
imports no runner: a runner is a loop that answers requests."""

from __future__ import annotations

from collections.abc import Callable, Generator, Sequence
from dataclasses import dataclass, field
from typing import Any, Union

import narwhals as nw

from ._frame import Coded, Frame, Kind, Series, Values, get_column, read_codes, read_values

__all__ = ["Chain", "Part", "Plan", "Reduce", "Request", "Steps"]


@dataclass(frozen=True)
class Reduce:
    """A state per part, merged: `fn(part, *args)` and `merge(a, b)`."""

    fn: Callable[..., Any]
    args: tuple[Any, ...]
    merge: Callable[[Any, Any], Any]


@dataclass(frozen=True)
class Chain:
    """A value carried through the parts in row order: `fn(part, *args, carried)`."""

    fn: Callable[..., Any]
    args: tuple[Any, ...]
    start: Any


Request = Union[Reduce, Chain]
Steps = Generator[Request, Any, Any]


@dataclass(frozen=True)
class Plan:
    """The columns an analysis reads, and its steps given the frame's meta."""

    columns: tuple[str, ...]
    steps: Callable[[Frame], Steps]


@dataclass
class Part:
    """The rows of one part. Each column is read once however many passes
    and requests read it (a runner that keeps its parts, as the one of a frame
    in memory does, reads every column once for a whole analysis)."""

    frame: Frame
    _read: dict[tuple[str, str], Any] = field(default_factory=dict, repr=False)

    @staticmethod
    def of(native: Any) -> Part:
        return Part(nw.from_native(native, eager_only=True))

    def __len__(self) -> int:
        return len(self.frame)

    def column(self, name: str, argument: str) -> Series:
        key = ("column", name)
        if key not in self._read:
            self._read[key] = get_column(self.frame, name, argument)
        series: Series = self._read[key]
        return series

    def values(self, name: str, argument: str) -> Values:
        """A numeric or boolean column's values (read_values)."""
        key = ("values", name)
        if key not in self._read:
            self._read[key] = read_values(self.column(name, argument), argument)
        values: Values = self._read[key]
        return values

    def cached(self, owner: object, make: Callable[[Part], Any]) -> Any:
        """`make(self)`, once for each `owner` (a plan's piece that derives
        values from the part, such as its rows' group codes)."""
        key = ("cached", str(id(owner)))
        if key not in self._read:
            self._read[key] = (owner, make(self))  # the owner is kept: its id stays its own
        return self._read[key][1]

    def coded(self, name: str, kind: Kind, argument: str) -> Coded:
        """Any column as codes and this part's labels (read_codes)."""
        key = ("coded", name)
        if key not in self._read:
            series = self.column(name, argument)
            if kind is Kind.TEXT:
                self._read[key] = read_codes(series, kind, argument)
            else:
                self._read[key] = read_codes(series, kind, argument, values=self.values(name, argument))
        coded: Coded = self._read[key]
        return coded


def merged(merge: Callable[[Any, Any], Any], states: Sequence[Any]) -> Any:
    """The states merged left to right (a runner's merge of several states)."""
    out = states[0]
    for state in states[1:]:
        out = merge(out, state)
    return out
