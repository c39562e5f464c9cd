"""The runner of a Dask DataFrame: each request of a plan is one graph run by
the active Dask scheduler (a distributed Client when one is set up).

- A `Reduce` computes a state per partition on its worker and merges the
  states in a tree of tasks, in partition order: `split_every` states a
  task, read from Dask's configuration as Dask's own reductions read it
  (`dask.config.set(split_every=4)`), SPLIT_EVERY when it is not set.
- A `Chain` runs its step over the partitions in order, each task starting
  from what the one before it returned.

The plan's piece of work is one object of the graph, shipped once to each
worker that needs it; no partition comes to the client, only states. The
result is a frame of the library of Dask's partitions (pandas). This module
knows no analysis: a plan is all it runs."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import Any, Optional

import narwhals as nw

from ._plan import Chain, Part, Plan, Reduce, Request, merged

# States merged per task of the tree (as Dask's own reductions do).
SPLIT_EVERY = 8

#: Called with each Reduce request and the states of its partitions, in
#: partition order (they are then merged on the client, in the same order).
Observer = Callable[[Reduce, list[Any]], None]


def _dask() -> Any:
    import dask

    return dask


@dataclass(frozen=True)
class _Work:
    """A request's function and arguments, as one object of the graph."""

    fn: Callable[..., Any]
    args: tuple[Any, ...]


def _reduce_part(native: Any, work: _Work) -> Any:
    return work.fn(Part.of(native), *work.args)


def _chain_part(native: Any, work: _Work, carried: Any) -> Any:
    return work.fn(Part.of(native), *work.args, carried)


def _merge_all(merge: Callable[[Any, Any], Any], *states: Any) -> Any:
    return merged(merge, states)


def split_every() -> int:
    """States merged per task: Dask's `split_every` setting, or SPLIT_EVERY."""
    value = _dask().config.get("split_every", None)
    if value is None:
        return SPLIT_EVERY
    if isinstance(value, bool) or not isinstance(value, int) or value < 2:
        raise ValueError(f"dask's split_every setting must be an int of at least 2; got {value!r}")
    return value


def _tree(states: list[Any], merge: Callable[[Any, Any], Any]) -> Any:
    """The merged state of every partition, merged in partition order by a
    tree of tasks (split_every() states each). The fan-in changes the graph:
    states of counts merge to the same bits whatever it is, sums of floats
    within the bound of the docs' Exactness section."""
    dask = _dask()
    every = split_every()
    level = states
    while len(level) > 1:
        level = [
            dask.delayed(_merge_all, pure=True)(merge, *level[i : i + every])
            for i in range(0, len(level), every)
        ]
    return level[0]


def _states(request: Reduce, parts: list[Any]) -> list[Any]:
    dask = _dask()
    work = dask.delayed(_Work(request.fn, request.args))
    return [dask.delayed(_reduce_part, pure=True)(part, work) for part in parts]


def _chain(request: Chain, parts: list[Any]) -> Any:
    dask = _dask()
    work = dask.delayed(_Work(request.fn, request.args))
    carried = dask.delayed(request.start)
    for part in parts:
        carried = dask.delayed(_chain_part, pure=True)(part, work, carried)
    return carried


def _compute(value: Any) -> Any:
    return _dask().compute(value)[0]


def partitions(ddf: Any, names: tuple[str, ...]) -> list[Any]:
    """The partitions of the columns `names`, as delayed pandas frames."""
    return list(ddf[list(dict.fromkeys(names))].to_delayed())


def answer(request: Request, parts: list[Any], observe: Optional[Observer] = None) -> Any:
    """What a request asks of the partitions."""
    if isinstance(request, Chain):
        return _compute(_chain(request, parts))
    states = _states(request, parts)
    if observe is None:
        return _compute(_tree(states, request.merge))
    computed = list(_compute(states))
    observe(request, computed)
    return merged(request.merge, computed)


def run(plan: Plan, ddf: Any, observe: Optional[Observer] = None) -> Any:
    """The plan's result on the rows of the Dask frame `ddf` (errors the
    dtypes decide come from its meta, before any partition is read)."""
    steps = plan.steps(nw.from_native(ddf._meta, eager_only=True))
    parts: Optional[list[Any]] = None
    try:
        request = next(steps)
        while True:
            if parts is None:
                parts = partitions(ddf, plan.columns)
            request = steps.send(answer(request, parts, observe))
    except StopIteration as done:
        return done.value
