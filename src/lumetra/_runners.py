"""Which runner executes a plan: Dask's for a Dask DataFrame (imported only
then), the in-memory one for any frame narwhals reads eagerly."""

from __future__ import annotations

from typing import Any

from . import _eager
from ._frame import is_dask, read_frame
from ._plan import Plan


def run(plan: Plan, data: Any, argument: str) -> Any:
    """The plan's result on `data`; TypeError naming `argument` for anything
    that is no DataFrame."""
    if is_dask(data):
        from . import _dask

        return _dask.run(plan, data)
    return _eager.run(plan, read_frame(data, argument))
