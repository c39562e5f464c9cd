"""Every callable's text signature against its declaration: the module
generates both the text and the binder's parameter list from one table row,
and the binder's own messages tell what it was declared with."""

import inspect
import re

import numpy as np
import pytest

import _lumetra
from lumetra import _kernels
from surface import CLASSES, FUNCTIONS, KERNELS

# Constructor arguments that make an instance of each class.
SAMPLES = {
    "PyCategoricalDataDrift": (["a", "b"],),
    "PyContinuousDataDrift": (np.arange(10.0), None),
    "PyStreamingContinuousDataDriftFlush": (np.arange(10.0), None, None, None),
    "PyStreamingContinuousDataDriftDecay": (np.arange(10.0), None, None),
    "PyStreamingCategoricalDataDriftFlush": (["a", "b"], None, None),
    "PyStreamingCategoricalDataDriftDecay": (["a", "b"], None),
    "PyDataBiasStreaming": ([1, 0], [1, 0]),
    "PyModelBiasStreaming": ([1, 1, 1, 1, 0, 0, 0, 0], [1, 1, 0, 0, 1, 1, 0, 0], [1, 0, 0, 1, 1, 0, 0, 1]),
    "PyBinaryClassificationStreaming": ([1, 0], [1, 0]),
    "PyLinearRegressionStreaming": ([1.0, 2.0], [1.0, 2.5]),
    "PyLogisticRegressionStreaming": ([1.0, 0.0], [0.8, 0.3], 0.5),
}


def callables():
    """(display name in messages, callable, text signature) for every function,
    constructor and method the modules register."""
    for name, text in KERNELS.items():
        yield f"{name}()", getattr(_kernels, name), text
    for name, text in FUNCTIONS.items():
        yield f"{name}()", getattr(_lumetra, name), text
    for cls_name, (ctor, members) in CLASSES.items():
        cls = getattr(_lumetra, cls_name)
        yield f"{cls_name}()", cls, ctor
        instance = cls(*SAMPLES[cls_name])
        for name, text in members.items():
            if text is not None:
                yield f"{cls_name}.{name}()", getattr(instance, name), text


def parameters(text):
    """Names and the number of required parameters of a text signature."""
    params = [p.strip() for p in text.strip("()").split(",") if p.strip() and p.strip() not in ("$self", "$type")]
    names = [p.split("=")[0] for p in params]
    return names, sum("=" not in p for p in params)


def quoted(names):
    quoted = [f"'{n}'" for n in names]
    return " and ".join(quoted) if len(quoted) <= 2 else ", ".join(quoted[:-1]) + ", and " + quoted[-1]


def refusal(fn, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        fn(*args, **kwargs)
    return str(info.value)


def test_the_surface_is_every_public_name():
    public = [name for name in vars(_lumetra) if not name.startswith("_")]
    assert public == list(FUNCTIONS) + list(CLASSES)
    assert [name for name in vars(_kernels) if not name.startswith("_")] == list(KERNELS)
    for cls_name, (_, members) in CLASSES.items():
        cls = getattr(_lumetra, cls_name)
        assert {n for n in dir(cls) if not n.startswith("_")} == set(members)


@pytest.mark.parametrize("display, fn, text", list(callables()), ids=lambda v: v if isinstance(v, str) else "")
def test_text_signature_matches_the_binder(display, fn, text):
    assert fn.__text_signature__ == text
    inspect.signature(fn)  # the text parses
    names, required = parameters(text)
    n = len(names)
    surplus = [None] * (n + 1)
    if n == 0 and not isinstance(fn, type) and "takes no arguments" in refusal(fn, None):
        # Called without arguments by CPython itself (METH_NOARGS).
        assert refusal(fn, None) == f"{display} takes no arguments (1 given)"
        assert refusal(fn, probe=None) == f"{display} takes no keyword arguments"
        return
    # The count: surplus positionals are refused with the declared bounds.
    bounds = f"{n} positional argument{'s' * (n != 1)}" if required == n else \
        f"from {required} to {n} positional arguments"
    given = f"{n + 1} {'was' if n == 0 else 'were'} given"
    assert refusal(fn, *surplus).startswith(f"{display} takes {bounds} but {given}")
    # The names: unknown keywords are refused, each declared name sits at its
    # position (given twice, by position and by keyword, it is refused by name).
    assert refusal(fn, __probe__=None).startswith(f"{display} got an unexpected keyword argument '__probe__'")
    for i, name in enumerate(names):
        message = refusal(fn, *surplus[: i + 1], **{name: None})
        assert message.startswith(f"{display} got multiple values for argument '{name}'")
    # The required ones, in order.
    if required:
        s = "s" * (required != 1)
        expected = f"{display} missing {required} required positional argument{s}: {quoted(names[:required])}"
        assert re.match(re.escape(expected), refusal(fn))
