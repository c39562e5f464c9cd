"""The runner of a frame in memory: the whole frame is one part, kept for
every pass of the plan (each column is read once), and a chain's one step
is the whole row order."""

from __future__ import annotations

from typing import Any

from ._frame import Frame
from ._plan import Chain, Part, Plan


def run(plan: Plan, frame: Frame) -> Any:
    """The plan's result on the rows of `frame`."""
    steps = plan.steps(frame)
    part = Part(frame)
    try:
        request = next(steps)
        while True:
            if isinstance(request, Chain):
                answer = request.fn(part, *request.args, request.start)
            else:
                answer = request.fn(part, *request.args)
            request = steps.send(answer)
    except StopIteration as done:
        return done.value
