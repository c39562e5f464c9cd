"""Leak loops over every entry point of the table in entry_points.py: its
valid call, a call refused while binding, one refused while converting its
last argument, and one that fails in the computation, in turns. Afterwards
the process's resident memory must be flat and every argument (and the
instance) must have the reference count it had, and tracemalloc's total must
be flat over a tenth of the calls, traced before the rest. A constructor's
valid call creates and drops an instance each time.

10**5 calls per entry point by default, shared among its paths (a row's
`share` scales that for entry points that are slow per call);
LUMETRA_LEAK_ITERATIONS=1000000 for the long run."""

import gc
import os
import sys
import tracemalloc

import pytest

from entry_points import ENTRIES

pytestmark = pytest.mark.no_sanitizer(reason="resident memory says nothing under ASan's quarantine")

ITERATIONS = int(os.environ.get("LUMETRA_LEAK_ITERATIONS", "100000"))
WARMUP = 200
TRACED_SHARE = 10  # tracemalloc follows one call in this many
PAGE = os.sysconf("SC_PAGE_SIZE")


class Refused:
    """Converts to nothing the module accepts."""


REFUSED = Refused()


def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def own_strings(value):
    """The value with every string in it (and in its lists, tuples and dict
    keys and values) replaced by an equal string object of its own. Literal
    strings are interned and shared with the whole interpreter, whose other
    threads (the test runner's I/O thread) move their counts. Strings of one
    character stay: they are cached singletons that cannot be copied, and
    `counted` leaves them out."""
    if isinstance(value, str):
        return value[:1] + value[1:] if len(value) > 1 else value
    if isinstance(value, list):
        return [own_strings(v) for v in value]
    if isinstance(value, tuple) and type(value) is tuple:
        return tuple(own_strings(v) for v in value)
    if isinstance(value, dict) and type(value) is dict:
        return {own_strings(k): own_strings(v) for k, v in value.items()}
    return value


def paths(entry):
    """(label, positional args, keywords, whether the call must fail)."""
    ok = own_strings(entry.ok_args())
    pos, kw = entry.split(ok)
    out = [("valid", pos, kw, False)]
    if entry.kind == "property":
        return out
    out.append(("binding", pos, dict(kw, no_such_parameter=1), True))
    params = entry.params
    if params and entry.converts:
        bad = ok[:-1] + (REFUSED,)
        out.append(("conversion", *entry.split(bad), True))
        for i, kind in enumerate(params):
            if kind.fail is not None:
                failing = ok[:i] + (kind.fail,) + ok[i + 1:]
                out.append(("computation", *entry.split(failing), True))
                break
    return out


SHARED = 10**8  # a count above this is a static or immortal object


def counted(objects):
    """Reference counts of the objects a leak could hold on to, and of the
    items and keys of the lists, tuples and dicts among them. Objects the
    whole interpreter shares are left out: small ints, bools, None, strings
    of at most one character (cached singletons on every version), and
    static or immortal objects, whose counts start near 10**9. Their counts
    move with any thread's work (the test runner's own I/O thread included)."""
    inner = []
    for o in objects:
        if isinstance(o, (list, tuple)):
            inner += list(o)
        elif isinstance(o, dict):
            inner += list(o) + list(o.values())
    return [(type(o).__name__, sys.getrefcount(o)) for o in list(objects) + inner
            if not isinstance(o, (bool, int)) and o is not None
            and not (isinstance(o, str) and len(o) <= 1)
            and sys.getrefcount(o) < SHARED]


def caller(entry, instance, pos, kw, must_fail):
    if entry.kind == "function":
        target = entry.target
    elif entry.kind == "constructor":
        target = entry.owner.type
    elif entry.kind == "property":
        name = entry.name.rsplit(".", 1)[1]
        return lambda: getattr(instance, name)
    else:
        target = getattr(entry.owner.type if entry.on_class else instance, entry.name.rsplit(".", 1)[1])
    if not must_fail:
        return lambda: target(*pos, **kw)

    def fails():
        try:
            target(*pos, **kw)
        except Exception:
            return
        raise AssertionError("expected the call to fail")

    return fails


@pytest.fixture(scope="module", autouse=True)
def frozen_heap():
    """Sets aside every object alive before the loops. The collections after
    each loop then walk only what the loops created, not everything a test
    process has imported by then (the DataFrame libraries, Dask, Sphinx),
    which cost seconds per test; objects set aside were alive, so nothing the
    loops leave behind is hidden from the checks."""
    gc.collect()
    gc.freeze()
    yield
    gc.unfreeze()


# The classes' methods run in test_leaks_methods.py: a module of their own, so
# that the test runner's processes share the loops (one module goes to one).
METHODS = [e for e in ENTRIES if e.kind == "method"]
NOT_SANITIZED = pytest.mark.no_sanitizer(
    reason="ASan's quarantine keeps freed memory resident, so resident size says nothing there")


@NOT_SANITIZED
@pytest.mark.parametrize("entry", [e for e in ENTRIES if e.kind != "method"], ids=lambda e: e.id)
def test_repeated_calls_leave_nothing_behind(entry):
    check_repeated_calls(entry)


def resident_growth(calls, per_path):
    """How much resident memory grew over per_path calls of each call."""
    rss = resident()
    for call in calls:
        for _ in range(per_path):
            call()
    gc.collect()
    return resident() - rss


def check_repeated_calls(entry):
    instance = entry.instance()
    runs = paths(entry)
    calls = [caller(entry, instance, pos, kw, must_fail) for _, pos, kw, must_fail in runs]
    per_path = max(int(ITERATIONS * entry.share) // len(calls), 1)
    warmup = max(int(WARMUP * entry.share), 10)
    watched = [instance] + [a for _, pos, kw, _ in runs for a in list(pos) + list(kw.values())]

    for _ in range(warmup):
        for call in calls:
            call()
    gc.collect()
    refs = counted(watched)

    # Python's allocations, traced over a tenth of the calls: tracing makes
    # each call 2x to 5x slower, and a leak of one small object per call
    # (16 bytes) still exceeds the bound there.
    traced_calls = max(per_path // TRACED_SHARE, 1)
    tracemalloc.start()
    try:
        for call in calls:  # once more, so tracemalloc's own tables are in place
            call()
        traced = tracemalloc.get_traced_memory()[0]
        for call in calls:
            for _ in range(traced_calls):
                call()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
    finally:
        tracemalloc.stop()
    nt = traced_calls * len(calls)
    assert traced_growth < 64 * 1024 + 4 * nt, f"Python allocations grew by {traced_growth} bytes over {nt} calls"

    # Resident memory and reference counts over every call.
    rss_growth = resident_growth(calls, per_path)
    if rss_growth >= 1024 * 1024 + 8 * per_path * len(calls):
        # A frame library's memory pool or the allocator's arenas may grow
        # once, the first time the loop's sizes meet them; a leak grows
        # again on a second loop of the same calls.
        rss_growth = resident_growth(calls, per_path)

    n = per_path * len(calls)
    assert counted(watched) == refs, "reference counts of the arguments changed"
    assert rss_growth < 1024 * 1024 + 8 * n, f"resident memory grew by {rss_growth} bytes over {n} calls"
