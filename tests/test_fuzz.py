"""A fuzzer over every entry point of the table in entry_points.py: generated
arguments of every kind (arrays of every dtype, layout, byte order and
length; hostile objects; lone surrogates; huge claimed lengths). Each call
must return or raise a documented exception, and a failed call (or any call
of a read-only member) must leave the instance as it was.

A short budget by default; LUMETRA_FUZZ_EXAMPLES=N runs N examples per entry
point, with fresh random examples on each run (the default run is
reproducible)."""

import inspect
import os
import traceback
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from entry_points import CLASSES, ENTRIES, FUNCTIONS, MODULES, Ctx, documented
from hostile import Boom

EXAMPLES = int(os.environ.get("LUMETRA_FUZZ_EXAMPLES", "0")) or 25
SETTINGS = settings(
    max_examples=EXAMPLES,
    deadline=None,
    database=None,
    derandomize="LUMETRA_FUZZ_EXAMPLES" not in os.environ,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much,
                           HealthCheck.large_base_example],
)


def is_entry_point(member, value):
    """Whether a class's attribute is one of its entry points. Not: its
    docstring and module, its constructor's __new__ and __init__ (the
    constructor's row), the data Python and dataclasses keep on a class
    written in Python (__dict__, __weakref__, __orig_bases__,
    __dataclass_fields__...: attributes that are neither callables nor
    properties), and its private helpers."""
    if member in ("__doc__", "__module__", "__new__", "__init__"):
        return False
    if member.startswith("__") and member.endswith("__"):
        return callable(value) or isinstance(value, property)
    return not member.startswith("_")


def test_every_entry_point_has_a_row():
    functions = {id(e.target) for e in FUNCTIONS}
    classes = {c.type: {m.name.rsplit(".", 1)[1] for m in c.members} for c in CLASSES}
    missing = []
    for module in MODULES:
        public = getattr(module, "__all__", [n for n in vars(module) if not n.startswith("_")])
        for name in public:
            obj = getattr(module, name)
            if inspect.isclass(obj) and not issubclass(obj, BaseException):
                if obj not in classes:
                    missing.append(f"{module.__name__}.{name}")
                    continue
                missing += [f"{name}.{member}" for member, value in vars(obj).items()
                            if is_entry_point(member, value) and member not in classes[obj]]
            elif callable(obj) and not inspect.isclass(obj) and id(obj) not in functions:
                missing.append(f"{module.__name__}.{name}")
    assert not missing, "entry points without a row in tests/entry_points.py"
    assert len({e.name for e in ENTRIES}) == len(ENTRIES), "duplicate rows"


def _callable(entry):
    if entry.kind == "function":
        return entry.target
    if entry.kind == "constructor":
        return entry.owner.type
    return getattr(entry.owner.type, entry.name.rsplit(".", 1)[1])


def test_every_row_gives_every_parameter_a_kind():
    """A parameter added to an entry point without a kind in its row would
    never be fuzzed; keyword-only parameters must be the row's keywords."""
    wrong = []
    for entry in ENTRIES:
        if entry.kind == "property":
            continue
        parameters = [p for p in inspect.signature(_callable(entry)).parameters.values() if p.name != "self"]
        keyword_only = {p.name for p in parameters if p.kind is p.KEYWORD_ONLY}
        if len(parameters) != len(entry.params) or keyword_only != set(entry.keywords):
            wrong.append(f"{entry.name}{inspect.signature(_callable(entry))}")
    assert not wrong, "rows whose kinds do not match the parameters"


def test_every_row_is_callable_with_its_valid_arguments():
    for entry in ENTRIES:
        entry.call(entry.instance(), entry.ok_args())


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda e: e.id)
def test_generated_arguments(entry):
    @SETTINGS
    @given(st.data())
    def run(data):
        # About one wild argument per call, so calls also get past conversion
        # and fail (or succeed) in every later stage.
        n = len(entry.params)
        builders = [data.draw(k.wild if data.draw(st.integers(0, n), label="wild?") == 0 else k.valid,
                              label=f"{k}") for k in entry.params]
        instance = entry.instance()
        ctx = Ctx(entry, instance)
        for build in builders:
            ctx.args.append(build(ctx))
        try:
            entry.call(instance, tuple(ctx.args))
        except Exception as e:
            assert documented(e), f"undocumented {type(e).__name__}: {e}"
            if entry.raised_in is not None and not isinstance(e, Boom):
                origin = Path(traceback.extract_tb(e.__traceback__)[-1].filename)
                assert origin.parent == entry.raised_in, f"{type(e).__name__} raised in {origin}: {e}"
            if instance is not None:
                after = entry.after_failure(entry.owner.state(instance))
                assert after == entry.after_failure(ctx.expected), "a failed call changed the instance"
        else:
            if instance is not None and entry.pure:
                assert entry.owner.state(instance) == ctx.expected, "a read-only call changed the instance"

    run()
