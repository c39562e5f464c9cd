"""The table of every entry point of the Python surface, shared by the safety
nets: the fuzzer (test_fuzz.py) and the leak loops (test_leaks.py, test_leaks_methods.py).

One row per entry point. A row names the callable and, for each parameter, a
*kind*: what the parameter takes. A kind knows

- `ok()`: a fresh valid value; the rows' valid values work together (arrays
  of one length, labels 0/1, full metric records);
- `fail`: a value that converts but makes the computation fail (None if the
  kind has none);
- `fuzz`: a hypothesis strategy of *builders*: callables that make the value
  for one call, given the call's context (its instance, the arguments built
  before), so a hostile value can resize an array converted earlier or call
  back into the object under test.

Adding an entry point is adding one row: `fn(...)` to FUNCTIONS, a
`Cls(...)` to CLASSES, or a `method(...)` / `prop(...)` to a class's members.
A module whose public names must all have rows goes into MODULES. A class
written in Python needs rows for its public members and callable dunders
(its __init__ is the constructor's row); one without to_bytes() gives its
row a `state` function, what a failed call must leave as it was.
"""

import copy
import datetime as dt
import math
import sys
import time
import types
import zoneinfo
import warnings
from pathlib import Path

import numpy as np
from hypothesis import strategies as st

import _lumetra
import lumetra
from frames import LIBRARIES, make
from hostile import Boom
from lumetra import _kernels
from vocabulary import CLASSIFICATION, DATA_BIAS, DRIFT, LOGISTIC, MODEL_BIAS, REGRESSION

# ---- metric vocabulary --------------------------------------------------------------

RULES = ["FreedmanDiaconis", "Scott", "Sturges"]
THRESHOLD_TYPES = ["GreaterThan", "GreaterThanEqualTo", "LessThan", "LessThanEqualTo"]
ALL_NAMES = sorted(set(DATA_BIAS + MODEL_BIAS + REGRESSION + LOGISTIC + DRIFT + RULES + THRESHOLD_TYPES))

# ---- what a call may raise ------------------------------------------------------------

BORROW_MESSAGES = ("Already borrowed", "Already mutably borrowed")
SYSTEM_MESSAGES = ("Unable to convert internal timestamp into DateTime object", "Internal runtime bins are malformed")


def documented(exc):
    """True for the exceptions a call may end in: the module's error types
    (UnicodeEncodeError is a ValueError), the borrow guard's RuntimeError, the
    two drift SystemErrors, MemoryError (Python's own, when a sequence claims
    more items than memory holds), the package's KeyError for a column that
    is not in the frame, and Boom, which the hostile objects raise and the
    module passes through."""
    if isinstance(exc, (ValueError, TypeError, OverflowError, MemoryError, Boom)):
        return True
    if type(exc) is KeyError:
        return True
    if type(exc) is RuntimeError:
        return str(exc) in BORROW_MESSAGES
    if type(exc) is SystemError:
        return str(exc) in SYSTEM_MESSAGES
    return False


# ---- builders and the call context ----------------------------------------------------


class Build:
    """Makes one argument value for one call; its repr is what hypothesis
    prints for a failing example."""

    def __init__(self, desc, make):
        self.desc, self.make = desc, make

    def __call__(self, ctx):
        return self.make(ctx)

    def __repr__(self):
        return self.desc


def const(v, desc=None):
    return Build(desc or repr(v), lambda ctx: v)


class Ctx:
    """One call under construction: the instance (methods), the arguments
    built so far, the rows a hostile value may call back into, and the state
    the instance must show if the call fails (updated by call-backs, which run
    before the call takes the instance)."""

    def __init__(self, entry, instance=None):
        self.entry = entry
        self.instance = instance
        self.args = []
        self.expected = entry.owner.state(instance) if instance is not None else None
        self.reentered = []

    def reenter(self, k):
        if self.instance is not None:
            target = self.entry.owner.members[k % len(self.entry.owner.members)]
            obj = self.instance
        else:
            target = FUNCTIONS[k % len(FUNCTIONS)]
            obj = None
        try:
            target.call(obj, target.ok_args())
        except Exception as e:  # a refused re-entry is legal; what it leaves is checked
            self.reentered.append((target.name, e))
            if isinstance(e, RuntimeError) and str(e) in BORROW_MESSAGES:
                return  # the outer call holds the instance: nothing could change
        else:
            self.reentered.append((target.name, None))
        if obj is not None:
            self.expected = self.entry.owner.state(obj)

    def arrays_before(self):
        return [a for a in self.args if isinstance(a, np.ndarray)]

    def resize_earlier(self):
        """Moves every array converted earlier to new, larger memory (past
        NumPy's small-buffer cache, so the old buffer really is freed)."""
        for a in self.arrays_before():
            if a.flags.owndata and a.flags.c_contiguous and a.flags.writeable and a.ndim > 0:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    a.resize(max(2 * a.size, 4096 // max(a.itemsize, 1), 8), refcheck=False)

    def poison_earlier(self):
        """Rewrites the first element of every array converted earlier with a
        value that must be checked again: NaN, an integer past int64, a lone
        surrogate."""
        for a in self.arrays_before():
            if a.size == 0 or not a.flags.writeable:
                continue
            try:
                with warnings.catch_warnings(), np.errstate(all="ignore"):
                    warnings.simplefilter("ignore")
                    a.flat[0] = {"f": np.nan, "u": np.iinfo(a.dtype).max if a.dtype.kind == "u" else 0,
                                 "i": np.iinfo(a.dtype).min if a.dtype.kind == "i" else 0,
                                 "U": "\ud800", "b": True}.get(a.dtype.kind, a.flat[0])
            except (TypeError, ValueError, OverflowError):
                pass

    def clear_earlier(self):
        for a in self.args:
            if isinstance(a, (list, dict)):
                a.clear()


ACTIONS = ["raise", "wrong", "reenter", "resize", "poison", "clear", "huge"]


class Hostile:
    """Stands for `value` in every conversion protocol (__float__, __index__,
    __len__, __iter__, __getitem__), doing `action` first: raise Boom, answer
    with the wrong type, call back into the module, resize or rewrite arrays
    converted earlier, clear containers converted earlier (or the list that
    holds this object), or claim a huge length."""

    def __init__(self, action, value, ctx, k=0):
        self.action, self.value, self.ctx, self.k = action, value, ctx, k
        self.container = None

    def __repr__(self):
        return f"Hostile({self.action}, {self.value!r})"

    def _act(self, protocol):
        a = self.action
        if a == "raise":
            raise Boom(protocol)
        if a == "reenter":
            self.ctx.reenter(self.k)
        elif a == "resize":
            self.ctx.resize_earlier()
        elif a == "poison":
            self.ctx.poison_earlier()
        elif a == "clear":
            self.ctx.clear_earlier()
            if self.container is not None:
                self.container.clear()
        return a == "wrong"

    def __float__(self):
        return "not a float" if self._act("__float__") else float(self.value)

    def __index__(self):
        return 1.5 if self._act("__index__") else int(self.value)

    def __len__(self):
        if self._act("__len__"):
            return -1
        if self.action == "huge":
            return sys.maxsize
        return len(self.value)

    def __length_hint__(self):
        return 2**62 if self.action == "huge" else len(self.value)

    def __iter__(self):
        if self._act("__iter__"):
            return 42
        return iter(self.value)

    def __getitem__(self, i):
        if self._act("__getitem__"):
            return object()
        return self.value[i]


def hostile(value_strategy, actions=ACTIONS):
    """Builders of Hostile objects standing for values of `value_strategy`."""
    return st.builds(
        lambda action, v, k: Build(f"Hostile({action}, {v!r})", lambda ctx: Hostile(action, v(ctx), ctx, k)),
        st.sampled_from(actions), value_strategy, st.integers(0, 1000))


# ---- plain values -----------------------------------------------------------------------

TEXTS = ["", "a", "b", "c", "\ud800", "\udfff", "a\ud800b", "\x00", "é", "\U0001F600", "a" * 300]
text = st.one_of(st.sampled_from(TEXTS + ALL_NAMES), st.text(max_size=6))
numbers = st.one_of(
    st.floats(),
    st.sampled_from([0.0, -0.0, 0.5, 1.0, -1.0, math.inf, -math.inf, math.nan, 1e300, 5e-324, 0.1]),
    st.integers(-2**70, 2**70), st.sampled_from([0, 1, 2, -1, 2**63 - 1, 2**63, 2**64 - 1, 2**64, -2**63 - 1]),
    st.booleans(),
)
np_scalars = st.builds(lambda t, v: t(v), st.sampled_from([np.float32, np.float64, np.int64, np.uint8, np.bool_]),
                       st.integers(0, 1))
junk = st.sampled_from([None, b"bytes", 1j, object(), [], (), {}, set(), "0.1", frozenset({1})])


def plain(strategy):
    return strategy.map(lambda v: const(v))


def anything_but(*valid):
    """Builders of `valid` values mixed with numbers, texts, junk and hostile
    objects standing for them."""
    base = st.one_of(*valid)
    return st.one_of(base, base, plain(numbers), plain(text), plain(junk), plain(np_scalars), hostile(base))


# ---- arrays -------------------------------------------------------------------------------

DTYPES = ["bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float16",
          "float32", "float64", "longdouble", "complex128", "U3", "S3", "object", "datetime64[s]",
          "timedelta64[ns]", "i4,f8"]
LAYOUTS = ["contiguous", "reversed", "step", "zero_stride", "column", "row", "matrix", "scalar",
           "empty_rows", "fortran", "readonly"]
PATTERNS = ["labels", "few", "floats", "special", "texts"]
LENGTHS = [0, 1, 2, 3, 5, 8, 13, 1500]


def _values(pattern, n, rng):
    if pattern == "labels":
        return rng.integers(0, 2, n).astype(np.float64)
    if pattern == "few":
        return rng.integers(-3, 4, n).astype(np.float64)
    if pattern == "floats":
        return rng.normal(0.0, 100.0, n)
    if pattern == "special":
        return rng.choice([0.0, -0.0, np.nan, np.inf, -np.inf, 1e308, -1e308, 5e-324, 2.0**63, 0.5], n)
    return rng.choice(np.array(["a", "b", "\ud800", "", "ab", "abcd"], dtype=object), n)


def make_array(dtype, n, layout, swapped, pattern, seed, ctx=None, hostile_items=False):
    rng = np.random.default_rng(seed)
    vals = _values(pattern, n * (2 if layout == "step" else 1), rng)
    with warnings.catch_warnings(), np.errstate(all="ignore"):
        warnings.simplefilter("ignore")
        try:
            if dtype == "object":
                a = np.empty(len(vals), dtype=object)
                a[:] = list(vals)
                if hostile_items and len(a):
                    a[0] = Hostile("raise" if seed % 2 else "reenter", 1.0, ctx, seed)
            elif dtype in ("U3", "S3"):
                a = np.array([str(v)[:3] for v in vals], dtype="U3")
                if dtype == "S3":
                    a = np.array([s.encode("utf-8", "replace")[:3] for s in a], dtype="S3")
            elif pattern == "texts":
                a = np.array([len(str(v)) for v in vals]).astype(dtype)
            else:
                a = np.asarray(vals).astype(dtype)
        except (TypeError, ValueError, OverflowError):
            a = np.zeros(len(vals), dtype=dtype)
    if swapped and a.dtype.kind in "iufcM" and a.dtype.itemsize > 1:
        a = a.astype(a.dtype.newbyteorder())
    if layout == "reversed":
        a = a[::-1]
    elif layout == "step":
        a = a[::2]
    elif layout == "zero_stride":
        a = np.broadcast_to(a[:1] if len(a) else a, (n,) if len(a) else (0,))
    elif layout == "column":
        a = a.reshape(-1, 1)
    elif layout == "row":
        a = a.reshape(1, -1)
    elif layout == "matrix":
        a = np.repeat(a.reshape(-1, 1), 2, axis=1)
    elif layout == "scalar":
        a = a[0] if len(a) else a.reshape(0)
        a = np.asarray(a)
    elif layout == "empty_rows":
        a = np.empty((2**40, 0), dtype=a.dtype)
    elif layout == "fortran":
        a = np.asfortranarray(np.repeat(a.reshape(-1, 1), 2, axis=1))[:, 0]
    elif layout == "readonly":
        a = a.copy()
        a.flags.writeable = False
    return a


@st.composite
def arrays(draw, dtypes=DTYPES, layouts=LAYOUTS, patterns=PATTERNS, lengths=LENGTHS):
    dtype = draw(st.sampled_from(dtypes))
    n = draw(st.sampled_from(lengths))
    layout = draw(st.sampled_from(layouts))
    swapped = draw(st.booleans())
    pattern = draw(st.sampled_from(patterns))
    seed = draw(st.integers(0, 2**32 - 1))
    return Build(f"array({dtype!r}, n={n}, {layout}, swapped={swapped}, {pattern}, seed={seed})",
                 lambda ctx: make_array(dtype, n, layout, swapped, pattern, seed, ctx, hostile_items=True))


# ---- sequences ------------------------------------------------------------------------------


def _generator(items):
    yield from items


CONTAINERS = ["list", "tuple", "iterator", "generator", "hostile", "self_clearing", "array", "str", "dict_keys"]


def sequences(item, long_item, containers=CONTAINERS, actions=ACTIONS,
              lengths=st.integers(0, 12)):
    """Builders of sequences of `item` builders, in every container the
    module may meet: lists, tuples, iterators, generators, NumPy arrays, a
    str (refused as a sequence), objects with hostile protocols, a list one of
    whose items empties it mid-walk, and long runs of `long_item`."""

    @st.composite
    def build(draw):
        container = draw(st.sampled_from(containers))
        n = draw(lengths)
        if draw(st.integers(0, 7)) == 0:  # now and then a long run
            items = [long_item] * draw(st.sampled_from([300, 2000]))
        else:
            items = draw(st.lists(item, min_size=n, max_size=n))
        action = draw(st.sampled_from(actions))
        k = draw(st.integers(0, 1000))

        def make(ctx):
            values = [b(ctx) for b in items]
            if container == "list":
                return values
            if container == "tuple":
                return tuple(values)
            if container == "iterator":
                return iter(values)
            if container == "generator":
                return _generator(values)
            if container == "hostile":
                return Hostile(action, values, ctx, k)
            if container == "self_clearing":
                if values:
                    h = Hostile("clear", values[0], ctx, k)
                    h.container = values
                    values[len(values) // 2] = h
                return values
            if container == "array":
                if not any(isinstance(v, Hostile) for v in values):
                    try:
                        return np.array(values)
                    except (TypeError, ValueError, OverflowError):
                        pass
                a = np.empty(len(values), dtype=object)
                for i, v in enumerate(values):  # stored as they are, no protocol runs
                    a[i] = v
                return a
            if container == "dict_keys":
                try:
                    return dict.fromkeys(values).keys()
                except TypeError:
                    return values
            return "".join(str(v) for v in values)[:20]

        return Build(f"{container}({items!r}, {action})", make)

    return build()


# ---- kinds ----------------------------------------------------------------------------------


class Kind:
    """What a parameter takes: `valid` builds values that convert (possibly
    through hostile objects that act but answer correctly), `wild` anything
    at all."""

    def __init__(self, name, ok, valid, wild=None, fail=None):
        self.name, self._ok, self.valid, self.fail = name, ok, valid, fail
        self.wild = wild if wild is not None else anything_but(valid)

    def ok(self):
        return self._ok()

    def __repr__(self):
        return self.name


LABEL01 = [1, 0, 1, 1, 0, 0, 1, 0]
FLOATS8 = [0.5, 1.5, 2.0, 3.25, 4.0, 0.0, 2.5, 1.0]
BENIGN = ["reenter", "resize", "poison", "clear"]  # hostile actions that still answer correctly
NUMERIC = ["bool", "int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "float32", "float64"]
VALID_LENGTHS = [8, 8, 8, 8, 0, 1, 1500]


def benign(strategy):
    """`strategy`'s values, now and then behind a hostile object that acts
    (calls back, resizes, rewrites, clears) before it answers correctly."""
    return st.one_of(strategy, strategy, strategy, hostile(strategy, BENIGN))


def items_of(item, long_item, containers=("list", "list", "list", "tuple", "array", "self_clearing", "hostile")):
    return sequences(benign(item), long_item, containers=containers, actions=BENIGN,
                     lengths=st.sampled_from([8] * 6 + [0, 1, 3]))


floats_b = plain(numbers)
ints_b = plain(st.integers(-2**70, 2**70))
labels_b = plain(st.one_of(st.sampled_from([0, 1, 1, True, False]), st.integers(-2, 3)))
texts_b = plain(text)

ARRAY = Kind("ARRAY", lambda: np.array(LABEL01),
             arrays(dtypes=NUMERIC, layouts=["contiguous", "contiguous", "reversed", "step", "zero_stride",
                                             "fortran", "readonly"],
                    patterns=["labels", "labels", "few", "floats", "special"], lengths=VALID_LENGTHS),
             wild=anything_but(arrays()),
             fail=np.array([], dtype=np.int64))
F64 = Kind("F64", lambda: np.array(FLOATS8),
           arrays(dtypes=["float64"], layouts=["contiguous"], patterns=["floats", "few", "labels", "special"],
                  lengths=VALID_LENGTHS),
           wild=anything_but(arrays()),
           fail=np.array([], dtype=np.float64))
LABELS = Kind("LABELS", lambda: list(LABEL01),
              st.one_of(items_of(labels_b, const(1)),
                        arrays(dtypes=["int8", "int32", "int64"], patterns=["labels"], lengths=VALID_LENGTHS)),
              wild=anything_but(sequences(anything_but(labels_b), const(1)), arrays()),
              fail=[])
VALUES = Kind("VALUES", lambda: [float(v) for v in LABEL01],
              st.one_of(items_of(floats_b, const(0.5)),
                        arrays(dtypes=NUMERIC, patterns=["labels", "floats", "special"], lengths=VALID_LENGTHS)),
              wild=anything_but(sequences(anything_but(floats_b), const(0.5)), arrays()),
              fail=[])
STRS = Kind("STRS", lambda: ["ab", "bc", "ab", "cd"],
            st.one_of(items_of(texts_b, const("a")),
                      arrays(dtypes=["U3"], patterns=["texts", "labels"], lengths=VALID_LENGTHS)),
            wild=anything_but(sequences(anything_but(texts_b), const("a")), arrays()),
            fail=[])
LABEL = Kind("LABEL", lambda: 1, plain(st.sampled_from([1, 0, 1.0, 0.5, 2, -1, True, "a", "1"])),
             wild=anything_but(plain(numbers), plain(text), plain(np_scalars)))
FLOAT = Kind("FLOAT", lambda: 0.1, benign(floats_b))
INT = Kind("INT", lambda: 1, benign(labels_b), wild=anything_but(labels_b, ints_b))
STR = Kind("STR", lambda: "ab", texts_b)
OPT_FLOAT = Kind("OPT_FLOAT", lambda: 0.5, st.one_of(benign(floats_b), floats_b, plain(st.none())))
OPT_TEXT = Kind("OPT_TEXT", lambda: None, st.one_of(texts_b, plain(st.none()), plain(st.none())))
THRESHOLD_TYPE = Kind("THRESHOLD_TYPE", lambda: "GreaterThan", plain(st.sampled_from(THRESHOLD_TYPES + [None])),
                      wild=anything_but(texts_b), fail="Nope")
RULE = Kind("RULE", lambda: None, plain(st.sampled_from(RULES + [None])), wild=anything_but(texts_b), fail="Nope")
OPT_COUNT = Kind("OPT_COUNT", lambda: None,
                 st.one_of(plain(st.sampled_from([None, 0, 1, 3, 256, 2**64 - 1])), benign(plain(st.integers(0, 10)))),
                 wild=anything_but(plain(st.sampled_from([2**64, -1])), ints_b))


def names(vocabulary):
    item = plain(st.sampled_from(vocabulary))
    return Kind(f"NAMES({vocabulary[0]}..)", lambda: list(vocabulary[:2]),
                items_of(item, const(vocabulary[0]), containers=("list", "list", "tuple", "hostile", "self_clearing")),
                wild=anything_but(sequences(anything_but(item, plain(st.sampled_from(ALL_NAMES))),
                                            const(vocabulary[0]))),
                fail=["Nope"])


def name(vocabulary):
    return Kind(f"NAME({vocabulary[0]}..)", lambda: vocabulary[0], plain(st.sampled_from(vocabulary)),
                wild=anything_but(plain(st.sampled_from(ALL_NAMES)), texts_b), fail="Nope")


def instance_of(type_):
    """Another instance of a class in CLASSES, for a member that takes one
    (a merge, say): a fresh ready one, the instance under test itself, one
    with another baseline, one of another class, or anything else."""

    def make():
        return next(c for c in CLASSES if c.type is type_).make()

    def itself(ctx):
        return ctx.instance if ctx.instance is not None else make()

    def other(i):
        rows = saving_classes()
        row = rows[i % len(rows)]
        return Build(f"{row.type.__name__} instance", lambda ctx: row.make())

    def reconfigured():
        # The same class from the state tests' own baseline and configuration:
        # a merge of it is refused (baselines or settings differ).
        from state_kinds import KINDS
        return next(k for k in KINDS if k.cls is type_).make()

    valid = st.sampled_from([Build(f"{type_.__name__} instance", lambda ctx: make()),
                             Build("the instance itself", itself),
                             Build(f"{type_.__name__} with another baseline", lambda ctx: reconfigured())])
    others = st.integers(0, 10**6).map(other)
    return Kind(f"INSTANCE({type_.__name__})", make, valid, wild=anything_but(valid, others),
                fail=_other_class_instance(type_))


def _other_class_instance(type_):
    """A ready instance of some class other than `type_` (merging it is refused)."""
    if type_ is _lumetra.PyDataBiasStreaming:
        return _lumetra.PyBinaryClassificationStreaming([1, 0], [1, 0])
    return _lumetra.PyDataBiasStreaming([1, 0], [1, 0])


def saving_classes():
    """The rows of the classes whose state is their to_bytes(): the
    engine's, which merge and load one another's bytes."""
    return [c for c in CLASSES if hasattr(c.type, "to_bytes")]


def state_bytes(type_):
    """Bytes for a class's from_bytes: a ready instance's to_bytes(), as
    bytes, bytearray or memoryview; the same truncated, with a flipped bit,
    strided, or made by another class; and random bytes. Everything but the
    intact forms must be refused with ValueError."""

    def row(t):
        return next(c for c in CLASSES if c.type is t)

    def make():
        return row(type_).make().to_bytes()

    def damaged(how, k):
        def build(ctx):
            b = make()
            if how == "bytearray":
                return bytearray(b)
            if how == "memoryview":
                return memoryview(b)
            if how == "truncated":
                return b[: k % len(b)]
            if how == "flipped":
                flipped = bytearray(b)
                flipped[k % len(b)] ^= 1 << (k % 8)
                return bytes(flipped)
            if how == "strided":
                return memoryview(b)[:: 2 + k % 3]
            if how == "other class":
                rows = saving_classes()
                return rows[k % len(rows)].make().to_bytes()
            return np.random.default_rng(k).bytes(k % 200)

        return Build(f"state bytes ({how}, {k})", build)

    intact = Build(f"{type_.__name__} state bytes", lambda ctx: make())
    forms = ["bytearray", "memoryview", "truncated", "flipped", "strided", "other class", "random"]
    valid = st.one_of(st.just(intact), st.just(intact), st.builds(damaged, st.sampled_from(forms),
                                                                  st.integers(0, 10**6)))
    return Kind(f"STATE_BYTES({type_.__name__})", make, valid, fail=b"LMST\x01\x00")


class OddDict(dict):
    """A dict whose own lookups misbehave; the module must read it as the
    dict it is or refuse it, never trust the overrides."""

    def __getitem__(self, key):
        raise Boom("__getitem__")

    def items(self):
        raise Boom("items")

    def keys(self):
        raise Boom("keys")


def records(vocabulary, ok):
    """Builders of metric records: the valid record with values changed (now
    and then by hostile objects), keys dropped or added, in a dict, a dict
    subclass, or no dict at all."""
    key = st.one_of(st.sampled_from(vocabulary), st.sampled_from(ALL_NAMES), text,
                    st.sampled_from([1, None, b"x", 1.5]))

    def build(value, shapes, drops, extras):
        @st.composite
        def draw_record(draw):
            drop = draw(st.sets(st.sampled_from(vocabulary), max_size=drops))
            extra = draw(st.dictionaries(key, value, max_size=extras))
            changed = draw(st.dictionaries(st.sampled_from(vocabulary), value, max_size=3))
            shape = draw(st.sampled_from(shapes))
            k = draw(st.integers(0, 1000))

            def make(ctx):
                d = {key_: v for key_, v in ok().items() if key_ not in drop}
                d.update({key_: b(ctx) for key_, b in extra.items()})
                d.update({key_: b(ctx) for key_, b in changed.items()})
                if shape == "odd":
                    return OddDict(d)
                if shape == "proxy":
                    return types.MappingProxyType(d)
                if shape == "pairs":
                    return list(d.items())
                if shape == "clearing" and d:
                    h = Hostile("clear", 0.5, ctx, k)
                    h.container = d
                    d[next(iter(d))] = h
                return d

            return Build(f"record(drop={sorted(drop)}, extra={extra}, changed={changed}, {shape})", make)

        return draw_record()

    return Kind(f"RECORD({vocabulary[0]}..)", ok,
                build(benign(floats_b), ["dict", "dict", "dict", "clearing"], 0, 0),
                wild=anything_but(build(anything_but(floats_b), ["dict", "odd", "proxy", "pairs", "clearing"], 3, 3)),
                fail={})


# Valid records, made by the module's own analyses of the rows' valid data.
_A, _B, _C = np.array(LABEL01), np.array([1, 1, 0, 1, 0, 1, 0, 0]), np.array([0, 1, 1, 1, 0, 0, 1, 1])
_P = np.array([0.9, 0.1, 0.8, 0.3, 0.2, 0.6, 0.7, 0.4])
DATA_BIAS_RECORD = records(DATA_BIAS, lambda: _lumetra.py_data_bias_analyzer(_A, _B, 1, 1))
MODEL_BIAS_RECORD = records(MODEL_BIAS, lambda: _lumetra.py_model_bias_analyzer(_A, _B, _C, 1, 1, 1))
REGRESSION_RECORD = records(REGRESSION, lambda: _lumetra.py_model_perf_linear_regression(np.array(FLOATS8), _P))
CLASSIFICATION_RECORD = records(CLASSIFICATION, lambda: _lumetra.py_model_perf_classification(_A, _C))
LOGISTIC_RECORD = records(LOGISTIC, lambda: _lumetra.py_model_perf_logistic_regression(_A, _P, 0.5))


# ---- rows ----------------------------------------------------------------------------------


def canonical(v):
    """A comparable text of a result: floats by their bits, dicts by key."""
    if isinstance(v, float):
        return float.hex(v) if not math.isnan(v) else "nan"
    if isinstance(v, dict):
        return "{" + ", ".join(f"{k!r}: {canonical(v[k])}" for k in sorted(v, key=repr)) + "}"
    if isinstance(v, (list, tuple)):
        return "[" + ", ".join(canonical(x) for x in v) + "]"
    return repr(v)


class Entry:
    """One entry point: a function, a constructor, a method or a property."""

    def __init__(self, name, kinds, pure=False, keywords=None, volatile=False, on_class=False, ok=None,
                 sticky=None, share=1, raised_in=None, converts=True):
        self.name = name
        # Bytes of the state (start, stop) that a failed call may still have
        # written, by design; with them, the checksum changes too.
        self.sticky = sticky
        # The directory whose code must raise every error of the entry point
        # (its own checks, never a failure deep inside a library), or None.
        self.raised_in = raised_in
        # The fraction of the leak loops' calls this entry gets: a function
        # that spends milliseconds in a frame library per call runs fewer.
        self.share = share
        # False for a constructor that stores its arguments as they are
        # (a result type's): it refuses none, so no call fails converting.
        self.converts = converts
        self._ok = ok  # valid arguments, where the kinds' own do not fit together
        self.kinds = tuple(kinds)
        self.keywords = dict(keywords or {})
        self.pure = pure  # leaves the instance as it was, even when it succeeds
        self.volatile = volatile  # a property that changes by itself (a clock)
        self.on_class = on_class
        self.owner = None  # the Cls row of a constructor, method or property
        self.kind = "function"
        self.target = None

    @property
    def id(self):
        return self.name

    @property
    def params(self):
        return list(self.kinds) + list(self.keywords.values())

    def ok_args(self):
        return self._ok() if self._ok else tuple(k.ok() for k in self.params)

    def split(self, args):
        n = len(self.kinds)
        return args[:n], dict(zip(self.keywords, args[n:]))

    def call(self, obj, args):
        pos, kw = self.split(args)
        if self.kind == "function":
            return self.target(*pos, **kw)
        if self.kind == "constructor":
            return self.owner.type(*pos, **kw)
        if self.kind == "property":
            return getattr(obj, self.name.rsplit(".", 1)[1])
        on = self.owner.type if self.on_class else obj
        return getattr(on, self.name.rsplit(".", 1)[1])(*pos, **kw)

    def after_failure(self, state):
        """The part of a state that a failed call must leave as it was."""
        if self.sticky is None:
            return state
        start, stop = self.sticky
        return state[:start] + state[stop:-4]

    def instance(self):
        """A ready instance for a method or property; None otherwise."""
        return self.owner.make() if self.kind in ("method", "property") else None


def fn(target, *kinds, keywords=None, ok=None, module=None, share=1, raised_in=None):
    """A module function's row; `module` names it where the function does
    not know its module (compiled functions)."""
    qualifier = module.__name__ if module is not None else target.__module__ or ""
    e = Entry(f"{qualifier}.{target.__name__}".lstrip("."), kinds, keywords=keywords, ok=ok, share=share,
              raised_in=raised_in)
    e.target = target
    return e


def method(name, *kinds, pure=False, keywords=None, on_class=False, ok=None, sticky=None, share=1):
    return Entry(name, kinds, pure=pure, keywords=keywords, on_class=on_class, ok=ok, sticky=sticky, share=share)


def prop(name, volatile=False, share=1):
    e = Entry(name, (), pure=True, volatile=volatile, share=share)
    e.kind = "property"
    return e


class Cls:
    """A class: its constructor's kinds, the member that fills a fresh
    instance with data (so every method has something to work on), and one
    row per member. `state` gives what a failed call must leave as it was,
    for a class without to_bytes()."""

    def __init__(self, type_, kinds, prime, members, ok=None, state=None, share=1, keywords=None, converts=True):
        self.type = type_
        self._state = state
        self.ctor = Entry(f"{type_.__name__}()", kinds, ok=ok, share=share, keywords=keywords, converts=converts)
        self.ctor.kind, self.ctor.owner = "constructor", self
        self.prime = prime
        self.members = members
        for m in members:
            m.owner = self
            if m.kind != "property":
                m.kind = "method"
            m.name = f"{type_.__name__}.{m.name}"

    def member(self, short):
        return next(m for m in self.members if m.name.endswith("." + short))

    def make(self):
        obj = self.ctor.call(None, self.ctor.ok_args())
        if self.prime:
            p = self.member(self.prime)
            p.call(obj, p.ok_args())
        return obj

    def state(self, obj):
        """The instance's whole state, its to_bytes(), less what changes by
        itself: a flush detector's window age (the last 12 bytes before the
        4-byte checksum) and so the checksum."""
        if self._state is not None:
            return self._state(obj)
        cut = 16 if any(m.volatile for m in self.members) else 0
        b = obj.to_bytes()
        return b[:-cut] if cut else b


L = _lumetra

FUNCTIONS = [
    fn(L.py_data_bias_analyzer, ARRAY, ARRAY, LABEL, LABEL),
    fn(L.py_data_bias_runtime_check, DATA_BIAS_RECORD, DATA_BIAS_RECORD, FLOAT),
    fn(L.py_data_bias_partial_check, DATA_BIAS_RECORD, DATA_BIAS_RECORD, names(DATA_BIAS), FLOAT),
    fn(L.py_data_bias_analyzer_explicit_seg, ARRAY, OPT_FLOAT, OPT_TEXT, THRESHOLD_TYPE,
       ARRAY, OPT_FLOAT, OPT_TEXT, THRESHOLD_TYPE),
    fn(L.py_model_bias_analyzer, ARRAY, ARRAY, ARRAY, LABEL, LABEL, LABEL, ok=lambda: (_A, _B, _C, 1, 1, 1)),
    fn(L.py_model_bias_runtime_check, MODEL_BIAS_RECORD, MODEL_BIAS_RECORD, FLOAT),
    fn(L.py_model_bias_partial_check, MODEL_BIAS_RECORD, MODEL_BIAS_RECORD, names(MODEL_BIAS), FLOAT),
    fn(L.py_model_bias_analyzer_explicit_seg, ARRAY, OPT_FLOAT, OPT_TEXT, THRESHOLD_TYPE,
       ARRAY, OPT_FLOAT, OPT_TEXT, THRESHOLD_TYPE, ARRAY, OPT_FLOAT, OPT_TEXT, THRESHOLD_TYPE,
       ok=lambda: (_A, 0.5, None, "GreaterThan", _B, 0.5, None, "GreaterThan", _C, 0.5, None, "GreaterThan")),
    fn(L.py_model_perf_linear_regression, ARRAY, ARRAY),
    fn(L.py_model_perf_class_rt_full, CLASSIFICATION_RECORD, CLASSIFICATION_RECORD, FLOAT),
    fn(L.py_model_perf_class_rt_partial, CLASSIFICATION_RECORD, CLASSIFICATION_RECORD, names(CLASSIFICATION), FLOAT),
    fn(L.py_model_perf_classification, ARRAY, ARRAY),
    fn(L.py_model_perf_log_reg_rt_partial, LOGISTIC_RECORD, LOGISTIC_RECORD, names(LOGISTIC), FLOAT),
    fn(L.py_model_perf_logistic_regression, ARRAY, ARRAY, FLOAT),
    fn(L.py_model_perf_lin_reg_rt_full, REGRESSION_RECORD, REGRESSION_RECORD, FLOAT),
    fn(L.py_model_perf_lin_reg_rt_partial, REGRESSION_RECORD, REGRESSION_RECORD, names(REGRESSION), FLOAT),
    fn(L.py_model_perf_log_reg_rt_full, LOGISTIC_RECORD, LOGISTIC_RECORD, FLOAT),
    fn(L.py_compute_drift_categorical_distribtuion, STRS, STRS, names(DRIFT)),
    fn(L.py_compute_drift_continuous_distribtuion, F64, F64, names(DRIFT), RULE),
]


def _saving_members(cls):
    return [method("to_bytes", pure=True), method("from_bytes", state_bytes(cls), on_class=True, pure=True),
            method("__reduce__", pure=True)]


def _moving_members(cls):
    return _saving_members(cls) + [method("merge", instance_of(cls))]


def _streaming_drift_members(cls, data, sample, flush):
    members = [
        method("update_stream", sample),
        method("update_stream_batch", data),
        method("compute_drift", name(DRIFT), pure=flush),
        method("compute_drift_multiple_criteria", names(DRIFT), pure=flush),
        method("reset_baseline", data),
        method("export_snapshot", pure=True),
        method("export_baseline", pure=True),
        prop("total_samples"),
        prop("n_bins"),
    ]
    if flush:
        members += [method("flush"), prop("last_flush", volatile=True)]
    return members + _moving_members(cls)


def _three_labels():
    return list(_A), list(_C), list(_B)


CLASSES = [
    Cls(L.PyCategoricalDataDrift, [STRS], None, [
        method("compute_drift", STRS, name(DRIFT), pure=True),
        method("compute_drift_mutliple_criteria", STRS, names(DRIFT), pure=True),
        method("reset_baseline", STRS),
        method("export_baseline", pure=True),
        prop("num_bins"),
    ] + _saving_members(L.PyCategoricalDataDrift)),
    Cls(L.PyContinuousDataDrift, [F64, RULE], None, [
        method("compute_drift", F64, name(DRIFT), pure=True),
        method("compute_drift_mutliple_criteria", F64, names(DRIFT), pure=True),
        method("reset_baseline", F64),
        method("export_baseline", pure=True),
        prop("num_bins"),
    ] + _saving_members(L.PyContinuousDataDrift)),
    Cls(L.PyStreamingContinuousDataDriftFlush, [F64, RULE, OPT_COUNT, OPT_COUNT], "update_stream_batch",
        _streaming_drift_members(L.PyStreamingContinuousDataDriftFlush, F64, FLOAT, flush=True)),
    Cls(L.PyStreamingContinuousDataDriftDecay, [F64, RULE, OPT_COUNT], "update_stream_batch",
        _streaming_drift_members(L.PyStreamingContinuousDataDriftDecay, F64, FLOAT, flush=False)),
    Cls(L.PyStreamingCategoricalDataDriftFlush, [STRS, OPT_COUNT, OPT_COUNT], "update_stream_batch",
        _streaming_drift_members(L.PyStreamingCategoricalDataDriftFlush, STRS, STR, flush=True)),
    Cls(L.PyStreamingCategoricalDataDriftDecay, [STRS, OPT_COUNT], "update_stream_batch",
        _streaming_drift_members(L.PyStreamingCategoricalDataDriftDecay, STRS, STR, flush=False)),
    Cls(L.PyDataBiasStreaming, [LABELS, LABELS], "push_batch", [
        method("push", INT, INT),
        method("push_batch", LABELS, LABELS),
        method("flush"),
        method("reset_baseline", LABELS, LABELS),
        method("performance_snapshot", pure=True),
        method("drift_snapshot", pure=True),
        method("drift_report", FLOAT, pure=True),
        method("drift_report_partial_metrics", names(DATA_BIAS), FLOAT, pure=True),
    ] + _moving_members(L.PyDataBiasStreaming)),
    Cls(L.PyModelBiasStreaming, [LABELS, LABELS, LABELS], "push_batch", [
        method("push", INT, INT, INT),
        method("push_batch", LABELS, LABELS, LABELS, ok=_three_labels),
        method("flush"),
        method("reset_baseline", LABELS, LABELS, LABELS, ok=_three_labels),
        method("performance_snapshot", pure=True),
        method("drift_snapshot", pure=True),
        method("drift_report", FLOAT, pure=True),
        method("drift_report_partial_metrics", names(MODEL_BIAS), FLOAT, pure=True),
    ] + _moving_members(L.PyModelBiasStreaming), ok=_three_labels),
    Cls(L.PyBinaryClassificationStreaming, [LABELS, LABELS], "push_batch", [
        method("push", INT, INT),
        method("push_batch", LABELS, LABELS),
        method("flush"),
        method("reset_baseline", LABELS, LABELS),
        method("performance_snapshot", pure=True),
        method("drift_snapshot", pure=True),
        method("drift_report", FLOAT, pure=True),
        method("drift_report_partial_metrics", names(CLASSIFICATION), FLOAT, pure=True),
    ] + _moving_members(L.PyBinaryClassificationStreaming)),
    Cls(L.PyLinearRegressionStreaming, [VALUES, VALUES], "push_batch", [
        method("push", FLOAT, FLOAT),
        method("push_batch", VALUES, VALUES),
        method("flush"),
        method("reset_baseline", VALUES, VALUES),
        method("performance_snapshot", pure=True),
        method("drift_snapshot", pure=True),
        method("drift_report", FLOAT, pure=True),
        method("drift_report_partial_metrics", names(REGRESSION), FLOAT, pure=True),
    ] + _moving_members(L.PyLinearRegressionStreaming)),
    Cls(L.PyLogisticRegressionStreaming, [VALUES, VALUES, FLOAT], "push_batch", [
        method("push", FLOAT, FLOAT),
        method("push_batch", VALUES, VALUES),
        method("flush"),
        method("reset_baseline", VALUES, VALUES),
        # The new threshold (the first field after the 16-byte header) stays
        # even when the new baseline is refused.
        method("reset_baseline_and_decision_threshold", VALUES, VALUES, FLOAT, sticky=(16, 20)),
        method("performance_snapshot", pure=True),
        method("drift_snapshot", pure=True),
        method("drift_report", FLOAT, pure=True),
        method("drift_report_partial_metrics", names(LOGISTIC), FLOAT, pure=True),
    ] + _moving_members(L.PyLogisticRegressionStreaming)),
]

# ---- the lumetra package and its kernels ---------------------------------------------------

# Frames of every library with the columns the rows name: facets "g" (text)
# and "h" (numbers), a 0/1 label "y", scores "p", a feature "x" and text "s".
FRAME_COLUMNS = {"g": ["str", "cat", "int", "bool", "str?", "int?"], "h": ["int", "float", "int?"],
                 "y": ["int", "bool", "float", "int?"], "p": ["float", "float?", "int"],
                 "x": ["float", "int", "float?"], "s": ["str", "cat", "bool", "str?"]}
_POOLS = {"str": ["a", "b", "c", "\u00e9"], "cat": ["low", "mid", "high"], "bool": [True, False],
          "int": [0, 1, 1, 2, 3], "float": [0.0, 0.25, 0.5, 0.75, 1.0, 2.5, -1.0]}
FRAME_ROWS = {"g": ["a", "b", "c", "a", "b", "c", "a", "b"], "h": [1, 2, 1, 2, 1, 2, 1, 2], "y": LABEL01,
              "p": [0.9, 0.1, 0.8, 0.3, 0.2, 0.6, 0.7, 0.4], "x": FLOATS8,
              "s": ["u", "v", "u", "w", "v", "u", "w", "u"]}


def ok_frame(rows=slice(None)):
    # Polars: a pandas frame keeps a weak reference per column read (its
    # copy-on-write bookkeeping, hundreds per block before it prunes them),
    # which the leak loops would read as growth. Frames of every library
    # reach the fuzzer through `frames()`.
    return make("polars", {name: ("float" if isinstance(v[0], float) else "str" if isinstance(v[0], str) else "int",
                                  v[rows]) for name, v in FRAME_ROWS.items()})


def frame_values(kind, n, rng, missing):
    base = kind.rstrip("?")
    pool = _POOLS[base]
    values = [pool[i] for i in rng.integers(0, len(pool), n)]
    if base == "int" and n:
        values = [int(v) for v in values]
    if kind.endswith("?") and missing:
        values = [None if i % missing == 0 else v for i, v in enumerate(values)]
    return values


class HostileText(str):
    """Text whose hashing and comparisons raise: what a frame library meets
    when it factorizes an object column holding it."""

    def __hash__(self):
        raise Boom("__hash__")

    def __eq__(self, other):
        raise Boom("__eq__")

    def __lt__(self, other):
        raise Boom("__lt__")


# Object columns, which a frame library holds as Python objects: mixed
# types, text of which one item misbehaves, text with NaN for missing.
OBJECT_COLUMNS = {"mixed": lambda n: [[1, "a", 2.5, None, b"x", (1,)][i % 6] for i in range(n)],
                  "hostile": lambda n: [HostileText("a") if i == n // 2 else "ab"[i % 2] for i in range(n)],
                  "nan_text": lambda n: [math.nan if i % 3 == 0 else "ab"[i % 2] for i in range(n)]}


def with_object_column(frame, library, name, values):
    if library == "pandas":
        import pandas as pd

        frame[name] = pd.Series(values, dtype=object, index=frame.index)
        return frame
    if library == "polars":
        import polars as pl

        return frame.with_columns(pl.Series(name, values, dtype=pl.Object))
    return frame  # an Arrow table holds no Python objects


@st.composite
def frames(draw):
    """Builders of frames of every library, each column of a drawn kind,
    now and then with missing values, a column left out, an object column,
    or no rows."""
    library = draw(st.sampled_from(LIBRARIES))
    n = draw(st.sampled_from([8, 8, 8, 0, 1, 50]))
    kinds = {name: draw(st.sampled_from(options)) for name, options in FRAME_COLUMNS.items()}
    dropped = draw(st.sampled_from([None] * 6 + list(FRAME_COLUMNS)))
    missing = draw(st.sampled_from([0, 3, 5]))
    objects = draw(st.sampled_from([None] * 6 + list(OBJECT_COLUMNS)))
    object_column = draw(st.sampled_from(list(FRAME_COLUMNS)))
    seed = draw(st.integers(0, 2**32 - 1))

    def build(ctx):
        rng = np.random.default_rng(seed)
        columns = {name: (kind, frame_values(kind, n, rng, missing))
                   for name, kind in kinds.items() if name != dropped}
        frame = make(library, columns)
        if objects is not None and object_column in columns:
            frame = with_object_column(frame, library, object_column, OBJECT_COLUMNS[objects](n))
        return frame

    objects_text = f", {object_column} of {objects} objects" if objects else ""
    return Build(f"frame({library}, n={n}, {kinds}, dropped={dropped}, missing every {missing}{objects_text}, "
                 f"seed={seed})", build)


# Every column, no rows: each function refuses it in its computation.
FRAME = Kind("FRAME", ok_frame, frames(), fail=ok_frame(slice(0)))


def column_names(ok, choices):
    valid = plain(st.one_of(st.sampled_from(choices), st.lists(st.sampled_from(choices), min_size=1, max_size=3)))
    return Kind(f"COLUMN({ok})", lambda: ok, valid, fail="no such column")


# Names of columns of the frames, now and then one the frame does not have.
FACET = column_names("g", ["g", "h", "g", "s", "x", "nope"])
LABEL_COLUMN = column_names("y", ["y", "y", "g", "p", "y", "nope"])
PREDICTION_COLUMN = column_names("p", ["p", "p", "y", "x", "p", "nope"])
BY = Kind("BY", lambda: None, plain(st.sampled_from([None, "g", "h", ["g", "h"], "n", []])))
DRIFT_COLUMNS = Kind("COLUMNS", lambda: None,
                     plain(st.sampled_from([None, "x", ["x", "s"], ["s", "g", "h", "y", "p"], [], ["x", "x"]])))
POSITIVE = Kind("POSITIVE", lambda: 1, plain(st.sampled_from([1, 0, 1.0, True, "a", 2, np.int64(1)])))
REFERENCE_GROUP = Kind("REFERENCE", lambda: None, plain(st.sampled_from([None, None, "a", "b", 1, ("a", 1), "zz"])))
MISSING = Kind("MISSING", lambda: "raise", plain(st.sampled_from(["raise", "drop", "group"])), fail="Nope")
TASK = name(["regression", "classification", "logistic"])
DRIFT_RULE = name(RULES)
OPT_DRIFT_METRICS = Kind("OPT_DRIFT", lambda: None,
                         st.one_of(plain(st.none()), names(DRIFT).valid, plain(st.sampled_from([[], ["Nope"]]))))

OPT_THRESHOLD = Kind("OPT_THRESHOLD", lambda: None, OPT_FLOAT.valid)
CI = Kind("CI", lambda: None, plain(st.sampled_from([None, None, 0.9, 0.5, 0.999, 1.0, 0.0, -1])), fail=2.0)
N_BOOT = Kind("N_BOOT", lambda: 1000, plain(st.sampled_from([2, 50, 1000, 1, 0, 2**30])), fail=1)
SEED = Kind("SEED", lambda: 0, plain(st.sampled_from([0, 1, 2**64 - 1, 2**64, -1])), fail=-1)
CI_METHOD = Kind("CI_METHOD", lambda: "bootstrap", plain(st.sampled_from(["bootstrap", "analytic", "Nope"])),
                 fail="Nope")
DRIFT_TEST = Kind("DRIFT_TEST", lambda: "auto", plain(st.sampled_from(["auto", "chi2", "g", "ks", None, "t"])),
                  fail="t")
ALPHA = Kind("ALPHA", lambda: 0.05, plain(st.sampled_from([0.05, 0.01, 0.5, 0.0, 1.0, float("nan")])), fail=0.0)
CORRECTION = Kind("CORRECTION", lambda: "fdr_bh",
                  plain(st.sampled_from(["fdr_bh", "holm", "bonferroni", "none", "fdr"])), fail="fdr")
TOLERANCE = Kind("TOLERANCE", lambda: None,
                 plain(st.sampled_from([None, {"JensenShannon": 0.01}, {"PopulationStabilityIndex": 0.0},
                                        {"Nope": 0.1}, {"JensenShannon": -1.0}, 0.1])), fail={"Nope": 0.1})
DRIFT_BOOT = Kind("DRIFT_BOOT", lambda: 20, plain(st.sampled_from([20, 1, 0, 2**30])), fail=0)
_INTERVAL_KEYWORDS = {"ci": CI, "n_boot": N_BOOT, "seed": SEED, "ci_method": CI_METHOD}
_BIAS_KEYWORDS = {"positive": POSITIVE, "label_threshold": OPT_THRESHOLD, "facet_threshold": OPT_THRESHOLD,
                  "reference": REFERENCE_GROUP, "missing": MISSING, **_INTERVAL_KEYWORDS}

# Kernel arguments: integer group codes (negative leaves a row out), their
# count, outcome columns with a rule and a value, tallies and entropies.
_CODES8 = np.array([0, 1, 2, 0, 1, 2, -1, 0], dtype=np.int8)
INTEGER = ["int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64"]
CODES = Kind("CODES", lambda: _CODES8.copy(),
             st.one_of(st.just(Build("codes", lambda ctx: _CODES8.copy())),
                       arrays(dtypes=INTEGER, layouts=["contiguous", "reversed", "step", "zero_stride", "readonly"],
                              patterns=["labels", "few"], lengths=VALID_LENGTHS)),
             wild=anything_but(arrays()), fail=np.full(8, 7, dtype=np.int8))
N_GROUPS = Kind("N_GROUPS", lambda: 3, st.one_of(plain(st.sampled_from([3, 3, 4, 1, 0, 2**40, 2**40 + 1])),
                                                 benign(plain(st.integers(0, 8)))),
                wild=anything_but(plain(st.sampled_from([2**64, -1])), ints_b))
OUTCOME = Kind("OUTCOME", lambda: np.array(LABEL01), ARRAY.valid, wild=ARRAY.wild)
OUTCOME_RULE = Kind("OUTCOME_RULE", lambda: "==", plain(st.sampled_from(["==", ">="])),
                    wild=anything_but(texts_b), fail="<")
OUTCOME_VALUE = Kind("OUTCOME_VALUE", lambda: 1,
                     plain(st.sampled_from([1, 0, 0.5, True, -1, 255, 2**63, 2**64 - 1, 2**64, 10**400])),
                     wild=anything_but(plain(numbers)))
OPT_OUTCOME = Kind("OPT_OUTCOME", lambda: None, st.one_of(plain(st.none()), OUTCOME.valid), wild=ARRAY.wild)
OPT_OUTCOME_RULE = Kind("OPT_OUTCOME_RULE", lambda: None, plain(st.sampled_from([None, "==", ">="])),
                        wild=anything_but(texts_b))
OPT_OUTCOME_VALUE = Kind("OPT_OUTCOME_VALUE", lambda: None, st.one_of(plain(st.none()), OUTCOME_VALUE.valid),
                         wild=OUTCOME_VALUE.wild)


@st.composite
def tables(draw):
    """Builders of tally tables: rows of 2, 4 (or another number of) counts,
    of integer dtypes that do or do not cast safely to uint64."""
    groups = draw(st.sampled_from([3, 3, 0, 1, 40]))
    width = draw(st.sampled_from([2, 2, 4, 4, 3, 1]))
    dtype = draw(st.sampled_from(["uint64", "uint64", "uint32", "uint8", "int64", "float64", "bool"]))
    layout = draw(st.sampled_from(["c", "c", "fortran", "sliced", "swapped"]))
    big = draw(st.booleans())
    seed = draw(st.integers(0, 2**32 - 1))

    def build(ctx):
        rng = np.random.default_rng(seed)
        high = 2**62 if big and dtype in ("uint64", "int64") else 5
        a = rng.integers(0, high, (groups, width)).astype(dtype)
        if layout == "fortran":
            a = np.asfortranarray(a)
        elif layout == "sliced":
            a = np.repeat(a, 2, axis=1)[:, ::2]
        elif layout == "swapped" and a.dtype.itemsize > 1:
            a = a.astype(a.dtype.newbyteorder())
        return a

    return Build(f"table({groups}x{width}, {dtype}, {layout}, big={big}, seed={seed})", build)


_TALLIES = _kernels.tally(_CODES8, 3, np.array(LABEL01), "==", 1, np.array(LABEL01[::-1]), "==", 1)
_ENTROPY = _kernels.generalized_entropy(_CODES8, 3, np.array(LABEL01), "==", 1, np.array(LABEL01[::-1]), "==", 1)
TALLIES = Kind("TALLIES", lambda: _TALLIES.copy(), tables(), wild=anything_but(tables(), arrays()),
               fail=np.zeros((3, 3), dtype=np.uint64))
OPT_ENTROPY = Kind("OPT_ENTROPY", lambda: _ENTROPY.copy(),
                   st.one_of(plain(st.none()), st.just(Build("entropy", lambda ctx: _ENTROPY.copy())),
                             arrays(dtypes=["float32", "float64", "int8"], layouts=["contiguous", "reversed"],
                                    patterns=["floats", "special"], lengths=[3, 3, 0, 40])),
                   wild=anything_but(arrays()))
TASK_THRESHOLD = Kind("THRESHOLD", lambda: 0.5, benign(floats_b))

_OUTCOMES = (OUTCOME, OUTCOME_RULE, OUTCOME_VALUE)
@st.composite
def column_lists(draw, item):
    """Lists and tuples of a few columns, each built by `item`."""
    builds = draw(st.lists(item, max_size=3))
    container = draw(st.sampled_from([list, list, tuple]))
    return Build(f"{container.__name__}({builds!r})", lambda ctx: container(b(ctx) for b in builds))


F64S = Kind("F64S", lambda: [np.array(FLOATS8), np.array(FLOATS8)[::-1].copy()], column_lists(F64.valid),
            wild=anything_but(column_lists(anything_but(F64.valid)), arrays()), fail=["not an array"])
KINDS = Kind("KINDS", lambda: ["continuous", "continuous"],
             items_of(plain(st.sampled_from(["continuous", "categorical"])), const("continuous")),
             wild=anything_but(sequences(anything_but(texts_b), const("continuous"))), fail=["Nope"])

LEVEL = Kind("LEVEL", lambda: 0.95, plain(st.sampled_from([0.95, 0.5, 0.999, 1.0, 0.0, float("nan")])), fail=1.5)
QUANTILE = Kind("QUANTILE", lambda: 1.96, plain(st.sampled_from([1.96, 0.5, 0.0, -1.0, float("inf")])), fail=-1.0)
REPLICATES = Kind("REPLICATES", lambda: 20, plain(st.sampled_from([2, 20, 1, 0, 2**25])), fail=2**25)

# Diagnostics: row codes (negative leaves a row out), counts of points, bins
# and quantiles, and the bounds of ranges.
OPT_ROWS = Kind("OPT_ROWS", lambda: None, st.one_of(plain(st.none()), CODES.valid), wild=CODES.wild,
                fail=np.zeros(8))
POINTS = Kind("POINTS", lambda: 200, plain(st.sampled_from([200, 2, 3, 1, 0, 2**20, 2**20 + 1, 2**64 - 1])), fail=1)
SCORE_BINS = Kind("SCORE_BINS", lambda: 10, plain(st.sampled_from([10, 1, 3, 0, 2**16, 2**16 + 1])), fail=0)
GRID_BINS = Kind("GRID_BINS", lambda: 40, plain(st.sampled_from([40, 1, 7, 0, 1000, 1001])), fail=0)
QUANTILES = Kind("QUANTILES", lambda: 10, plain(st.sampled_from([10, 1, 3, 0, 33, 1000, 1001])), fail=0)
BOUND = Kind("BOUND", lambda: 0.0, benign(floats_b), fail=math.nan)

# The old names of renamed arguments: tested on their own (test_package.py).
OLD_NAME = Kind("OLD_NAME", lambda: None, plain(st.none()))
VOCABULARY_ENTRY = Kind("VOCABULARY_ENTRY", lambda: None,
                        plain(st.sampled_from([None, "data_bias", "model_bias", "regression", "classification",
                                               "logistic", "drift_metrics", "bin_rules"])),
                        wild=anything_but(texts_b, plain(st.none())), fail="Nope")


def _monitor(type_):
    """A ready monitor of the class, with a stream pushed."""
    monitor = next(c for c in CLASSES if c.type is type_).make()
    labels = np.array(LABEL01, np.int8)
    if type_ is _lumetra.PyModelBiasStreaming:
        monitor.push_batch(labels, labels[::-1].copy(), labels)
    elif type_ is _lumetra.PyDataBiasStreaming:
        monitor.push_batch(labels, labels[::-1].copy())
    elif type_ is _lumetra.PyBinaryClassificationStreaming:
        monitor.push_batch(labels.astype(np.int32), labels[::-1].astype(np.int32))
    else:
        monitor.push_batch(np.array(LABEL01, np.float64), np.array(FLOATS8) / 4)
    return monitor


MONITOR_CI = Kind("MONITOR_CI", lambda: 0.9, plain(st.sampled_from([0.9, 0.5, None, 1.0, -1])), fail=None)
MONITOR_BOOT = Kind("MONITOR_BOOT", lambda: 50, plain(st.sampled_from([2, 50, 1, 2**30])), fail=1)
_MONITORS = [_lumetra.PyDataBiasStreaming, _lumetra.PyModelBiasStreaming, _lumetra.PyBinaryClassificationStreaming,
             _lumetra.PyLinearRegressionStreaming, _lumetra.PyLogisticRegressionStreaming]
MONITOR = Kind("MONITOR", lambda: _monitor(_lumetra.PyBinaryClassificationStreaming),
               st.builds(lambda t: Build(f"{t.__name__}()", lambda ctx: _monitor(t)), st.sampled_from(_MONITORS)),
               fail=object())

# The package's functions spend milliseconds per call in the frame libraries;
# their leak loops run 1/100 of the calls (the kernels they call run them all).
# Their refusals come from the package's own checks.
_FRAME = {"module": lumetra, "share": 1 / 100, "raised_in": Path(lumetra.__file__).parent}

FUNCTIONS += [
    fn(lumetra.data_bias, FRAME, FACET, LABEL_COLUMN, keywords=_BIAS_KEYWORDS, **_FRAME),
    fn(lumetra.model_bias, FRAME, FACET, LABEL_COLUMN, PREDICTION_COLUMN,
       keywords=dict(_BIAS_KEYWORDS, predicted_positive=POSITIVE, prediction_threshold=OPT_FLOAT),
       **_FRAME),
    fn(lumetra.performance, FRAME, LABEL_COLUMN, PREDICTION_COLUMN,
       keywords={"task": TASK, "positive": POSITIVE, "prediction_threshold": TASK_THRESHOLD, "facet": BY,
                 "missing": MISSING, "by": OLD_NAME, "threshold": OLD_NAME, **_INTERVAL_KEYWORDS},
       **_FRAME),
    fn(lumetra.monitor_intervals, MONITOR, keywords={**_INTERVAL_KEYWORDS, "ci": MONITOR_CI, "n_boot": MONITOR_BOOT},
       **_FRAME),
    fn(lumetra.drift, FRAME, FRAME,
       keywords={"columns": DRIFT_COLUMNS, "rule": DRIFT_RULE, "metrics": OPT_DRIFT_METRICS, "missing": MISSING,
                 "test": DRIFT_TEST, "alpha": ALPHA, "correction": CORRECTION, "tolerance": TOLERANCE,
                 "n_boot": DRIFT_BOOT, "seed": SEED},
       **_FRAME),
    fn(_kernels.tally, CODES, N_GROUPS, *_OUTCOMES, OPT_OUTCOME, OPT_OUTCOME_RULE, OPT_OUTCOME_VALUE,
       module=_kernels),
    fn(_kernels.generalized_entropy, CODES, N_GROUPS, *_OUTCOMES, *_OUTCOMES, OPT_COUNT, module=_kernels,
       ok=lambda: (_CODES8.copy(), 3, np.array(LABEL01), "==", 1, np.array(LABEL01[::-1]), "==", 1, None)),
    fn(_kernels.bias, TALLIES, OPT_COUNT, OPT_ENTROPY, module=_kernels),
    fn(_kernels.performance, TASK, CODES, N_GROUPS, *_OUTCOMES, *_OUTCOMES, TASK_THRESHOLD, module=_kernels,
       ok=lambda: ("logistic", _CODES8.copy(), 3, np.array(LABEL01), "==", 1, np.array(FLOATS8) / 4, "==", 1, 0.5)),
    # The states of chunks of rows and what follows from them.
    fn(_kernels.performance_state, TASK, CODES, N_GROUPS, *_OUTCOMES, *_OUTCOMES, TASK_THRESHOLD, module=_kernels,
       ok=lambda: ("logistic", _CODES8.copy(), 3, np.array(LABEL01), "==", 1, np.array(FLOATS8) / 4, "==", 1, 0.5)),
    fn(_kernels.performance_from_state, TASK, TALLIES, F64, module=_kernels,
       ok=lambda: ("classification", _TALLIES.copy(), np.zeros(0))),
    fn(_kernels.entropy_sums, CODES, N_GROUPS, *_OUTCOMES, *_OUTCOMES, OPT_COUNT, VALUES, VALUES, module=_kernels,
       ok=lambda: (_CODES8.copy(), 3, np.array(LABEL01), "==", 1, np.array(LABEL01[::-1]), "==", 1, None,
                   np.array([0.0, 1.0, 2.0], np.float32), np.zeros(1, np.float32))),
    fn(_kernels.entropy_terms, VALUES, ARRAY, module=_kernels,
       ok=lambda: (np.array([4.0, 0.0], np.float32), np.array([3, 0], np.uint64))),
    fn(_kernels.continuous_baseline, F64, RULE, module=_kernels),
    fn(_kernels.continuous_counts, F64, F64, module=_kernels,
       ok=lambda: (np.array([0.5, 1.5, 2.5]), np.array(FLOATS8))),
    fn(_kernels.drift_scores, name(["continuous", "categorical"]), F64, F64, names(DRIFT), module=_kernels,
       ok=lambda: ("continuous", np.array([0.25] * 4), np.array([1.0, 0.0, 2.0, 1.0]), ["JensenShannon"])),
    fn(_kernels.continuous_baselines, F64S, RULE, module=_kernels),
    fn(_kernels.categorical_baselines, STRS, F64S, module=_kernels,
       ok=lambda: (["ab", "bc", "ab", "cd"], [np.array([1.0, 2.0]), np.array([0.0, 3.0])])),
    fn(_kernels.continuous_counts_many, F64S, F64S, module=_kernels,
       ok=lambda: ([np.array([0.5, 1.5, 2.5])], [np.array(FLOATS8)])),
    fn(_kernels.drift_scores_many, KINDS, F64S, F64S, names(DRIFT), module=_kernels,
       ok=lambda: (["continuous"], [np.array([0.25] * 4)], [np.array([1.0, 0.0, 2.0, 1.0])], ["JensenShannon"])),
    fn(_kernels.drift_intervals, KINDS, F64S, F64S, F64S, names(DRIFT), LEVEL, REPLICATES, SEED, module=_kernels,
       ok=lambda: (["continuous"], [np.array([0.25] * 4)], [np.array([1.0, 1.0, 1.0, 1.0])],
                   [np.array([1.0, 0.0, 2.0, 1.0])], ["JensenShannon"], 0.9, 20, 1)),
    fn(_kernels.bias_intervals, TALLIES, OPT_COUNT, LEVEL, QUANTILE, REPLICATES, SEED, CI_METHOD, module=_kernels,
       ok=lambda: (_TALLIES.copy(), None, 0.9, 1.6448536269514722, 50, 3, "bootstrap")),
    fn(_kernels.performance_moments, TASK, CODES, N_GROUPS, *_OUTCOMES, OUTCOME, TASK_THRESHOLD, module=_kernels,
       ok=lambda: ("logistic", _CODES8.copy(), 3, np.array(LABEL01), "==", 1, np.array(FLOATS8) / 4, 0.5)),
    fn(_kernels.performance_intervals, TASK, TALLIES, F64, F64, LEVEL, QUANTILE, REPLICATES, SEED, CI_METHOD,
       module=_kernels,
       ok=lambda: ("classification", _TALLIES.copy(), np.zeros(0), np.zeros(0), 0.9, 1.64, 40, 0, "bootstrap")),
    fn(_kernels.bias_change, TALLIES, TALLIES, LEVEL, QUANTILE, REPLICATES, SEED, module=_kernels,
       ok=lambda: (_TALLIES.copy(), _TALLIES[::-1].copy(), 0.9, 1.6448536269514722, 30, 3)),
    fn(_kernels.performance_change, TASK, TALLIES, F64, F64, TALLIES, F64, F64, LEVEL, QUANTILE, REPLICATES, SEED,
       module=_kernels,
       ok=lambda: ("classification", _TALLIES.copy(), np.zeros(0), np.zeros(0), _TALLIES[::-1].copy(), np.zeros(0),
                   np.zeros(0), 0.9, 1.64, 30, 0)),
    fn(_kernels.count_replicates, TALLIES, REPLICATES, SEED, N_GROUPS, module=_kernels,
       ok=lambda: (_TALLIES[:1].copy(), 10, 0, 0)),
    fn(_kernels.monitor_state, state_bytes(_lumetra.PyModelBiasStreaming), module=_kernels),
    fn(_kernels.score_curves, *_OUTCOMES, ARRAY, OPT_ROWS, POINTS, module=_kernels,
       ok=lambda: (np.array(LABEL01), "==", 1, np.array(FLOATS8) / 4, None, 200)),
    fn(_kernels.calibration, *_OUTCOMES, ARRAY, OPT_ROWS, SCORE_BINS, BOUND, BOUND, module=_kernels,
       ok=lambda: (np.array(LABEL01), "==", 1, np.array(FLOATS8) / 4, _CODES8.copy(), 10, 0.0, 1.0)),
    fn(_kernels.regression_extent, ARRAY, ARRAY, OPT_ROWS, module=_kernels,
       ok=lambda: (np.array(FLOATS8), np.array(FLOATS8[::-1]), None)),
    fn(_kernels.regression_diagnostics, ARRAY, ARRAY, BOUND, BOUND, BOUND, BOUND, OPT_ROWS, GRID_BINS, SCORE_BINS,
       QUANTILES, module=_kernels,
       ok=lambda: (np.array(FLOATS8), np.array(FLOATS8[::-1]), 0.0, 4.0, -4.0, 4.0, _CODES8.copy(), 40, 40, 10)),
    fn(_kernels.vocabulary, VOCABULARY_ENTRY, module=_kernels),
]

# ---- significance tests (lumetra.stats and its kernels) ---------------------------------

ALTERNATIVES = ["two-sided", "less", "greater"]
KS_METHODS = ["auto", "exact", "asymp"]
CVM_METHODS = ["auto", "exact", "asymptotic"]
NAN_POLICIES = ["propagate", "raise", "omit"]
VARIANTS = ["midrank", "right", "continuous"]
CORRECTIONS = ["hs", "bonferroni", "sidak", "holm-sidak", "holm", "simes-hochberg", "fdr_bh", "fdr_by"]
SPECIALS = ["chi2_sf", "gamma_q", "gamma_p", "smirnov", "kolmogorov_sf", "kolmogorov_cdf", "bessel_k",
            "cvm_limit_cdf"]

# A sample: a numeric array in place (any dtype, layout, byte order); for
# lumetra.stats any sequence too. An empty one is a NaN result, no refusal.
SAMPLE = Kind("SAMPLE", lambda: np.array(FLOATS8), ARRAY.valid, wild=ARRAY.wild)
SAMPLE_VALUES = Kind("SAMPLE_VALUES", lambda: list(FLOATS8), VALUES.valid, wild=VALUES.wild)
P_VALUES = Kind("P_VALUES", lambda: np.array(FLOATS8) / 4, F64.valid, wild=F64.wild)
# Counts of bins; negative ones refuse the computation.
COUNTS = Kind("COUNTS", lambda: np.array(LABEL01), ARRAY.valid, wild=ARRAY.wild, fail=np.array([-1] * 8))
# Sizes of samples laid end to end: one refusal is a sample without values.
SIZES = Kind("SIZES", lambda: np.array([4, 4]),
             st.one_of(plain(st.sampled_from([np.array([4, 4]), np.array([8]), np.array([3, 3, 2]), np.array([9, -1])])),
                       arrays(dtypes=["int64", "int8", "uint64", "float64"], patterns=["labels", "few"],
                              lengths=[0, 1, 2, 3])),
             wild=anything_but(arrays()), fail=np.array([8, 0]))
FLAG = Kind("FLAG", lambda: True, plain(st.booleans()), wild=anything_but(plain(st.booleans())))
AXIS = Kind("AXIS", lambda: 0, plain(st.sampled_from([0, -1, None])), wild=anything_but(plain(st.integers(-3, 3))))
SAMPLE_LIST = Kind("SAMPLE_LIST", lambda: [FLOATS8, [v + 0.25 for v in FLOATS8]],
                   plain(st.lists(st.lists(numbers, max_size=10), max_size=4)),
                   wild=anything_but(plain(st.lists(numbers, max_size=4))), fail=[[1.0], []])
NOTHING = Kind("NOTHING", lambda: None, plain(st.none()), fail=1)
LAMBDA = Kind("LAMBDA", lambda: None,
              plain(st.sampled_from([None, "pearson", "log-likelihood", "mod-log-likelihood", "neyman", 0.5, 1, 0])),
              wild=anything_but(plain(numbers), texts_b), fail="Nope")
MAXITER = Kind("MAXITER", lambda: 1, plain(st.integers(-2, 5)), wild=anything_but(ints_b))
# The tests read sequences by Python iteration: what a hostile item raises is its own.
_STATS = {"share": 1 / 10}
_TWO_SAMPLES = {"axis": AXIS, "nan_policy": name(NAN_POLICIES), "keepdims": FLAG}

FUNCTIONS += [
    fn(_kernels.ks_2samp, SAMPLE, SAMPLE, name(ALTERNATIVES), name(KS_METHODS), name(NAN_POLICIES), module=_kernels),
    fn(_kernels.cramervonmises_2samp, SAMPLE, SAMPLE, name(CVM_METHODS), name(NAN_POLICIES), module=_kernels),
    fn(_kernels.anderson_ksamp, SAMPLE, SIZES, name(VARIANTS), module=_kernels),
    fn(_kernels.contingency_bins, COUNTS, COUNTS, FLAG, FLOAT, module=_kernels,
       ok=lambda: (np.array(LABEL01), np.array(LABEL01[::-1]), True, 1.0)),
    fn(_kernels.multipletests, P_VALUES, FLOAT, name(CORRECTIONS[1:]), FLAG, FLAG, module=_kernels,
       ok=lambda: (np.array(FLOATS8) / 4, 0.05, "fdr_bh", False, False)),
    fn(_kernels.special, name(SPECIALS), FLOAT, F64, module=_kernels,
       ok=lambda: ("chi2_sf", 3.0, np.array(FLOATS8))),
    fn(lumetra.stats.ks_2samp, SAMPLE_VALUES, SAMPLE_VALUES, name(ALTERNATIVES), name(KS_METHODS), keywords=_TWO_SAMPLES,
       ok=lambda: (list(FLOATS8), [v + 0.5 for v in FLOATS8], "two-sided", "auto", 0, "propagate", False),
       **_STATS),
    fn(lumetra.stats.cramervonmises_2samp, SAMPLE_VALUES, SAMPLE_VALUES, name(CVM_METHODS), keywords=_TWO_SAMPLES,
       ok=lambda: (list(FLOATS8), [v + 0.5 for v in FLOATS8], "auto", 0, "propagate", False), **_STATS),
    fn(lumetra.stats.anderson_ksamp, SAMPLE_LIST, FLAG, keywords={"variant": name(VARIANTS), "method": NOTHING},
       **_STATS),
    fn(lumetra.stats.chisquare_bins, VALUES, VALUES, keywords={"correction": FLAG, "lambda_": LAMBDA},
       ok=lambda: ([3.0, 1.0, 0.0, 4.0], [1.0, 2.0, 0.0, 5.0], True, None), **_STATS),
    fn(lumetra.stats.g_test_bins, VALUES, VALUES, keywords={"correction": FLAG},
       ok=lambda: ([3.0, 1.0, 0.0, 4.0], [1.0, 2.0, 0.0, 5.0], True), **_STATS),
    fn(lumetra.stats.multipletests, SAMPLE_VALUES, FLOAT, name(CORRECTIONS), MAXITER, FLAG, FLAG,
       ok=lambda: ([0.01, 0.2, 0.04, 0.5], 0.05, "hs", 1, False, False), **_STATS),
]

# ---- monitoring over time (lumetra.timeline, lumetra.PeriodicMonitor) ---------------------


def fresh(values):
    """Builders of the values, each call a copy of its own (a hostile
    neighbour may clear the dicts and lists built before it)."""
    return st.sampled_from(values).map(lambda v: Build(repr(v), lambda ctx: copy.deepcopy(v)))


# The frames of the table with a datetime column "t" (of its own kinds:
# naive, aware in UTC or across a change of summer time, with missing
# values, out of order, or text), for the timeline's calendar periods only:
# the other rows' frames stay as they are.
_TIME_KINDS = ["naive", "utc", "berlin", "berlin", "missing", "shuffled", "text", "date"]
_T_START = dt.datetime(2024, 3, 30)  # Berlin's change to summer time is the next night


def _times(kind, n, step_hours, seed):
    values = [_T_START + dt.timedelta(hours=step_hours * i) for i in range(n)]
    if kind == "shuffled":
        np.random.default_rng(seed).shuffle(values)
    if kind == "missing":
        values = [None if i % 3 == 1 else v for i, v in enumerate(values)]
    if kind == "date":
        values = [v.date() for v in values]
    if kind == "text":
        values = [v.isoformat() for v in values]
    zone = {"utc": "UTC", "berlin": "Europe/Berlin"}.get(kind)
    return values, zone


def with_time_column(frame, kind="naive", step_hours=12, seed=0):
    """The frame with the column "t" of its library's datetime type."""
    n = len(frame)
    values, zone = _times(kind, n, step_hours, seed)
    module = type(frame).__module__.split(".")[0]
    if module == "pandas":
        import pandas as pd

        column = pd.Series(values, index=frame.index, dtype=object if kind in ("text", "date") else None)
        if kind not in ("text", "date"):
            column = pd.to_datetime(column)
            if zone:
                column = column.dt.tz_localize(zone, ambiguous="NaT", nonexistent="shift_forward")
        frame = frame.copy()
        frame["t"] = column
        return frame
    if module == "polars":
        import polars as pl

        dtype = {"text": pl.String, "date": pl.Date}.get(kind, pl.Datetime("us"))
        column = pl.Series("t", values, dtype=dtype)
        if zone:
            column = column.dt.replace_time_zone(zone, ambiguous="earliest", non_existent="null")
        return frame.with_columns(column)
    import pyarrow as pa

    if kind in ("text", "date"):
        column = pa.array(values)
    else:
        column = pa.array(values, type=pa.timestamp("us"))
        if zone:
            column = pa.array([None if v is None else v.replace(tzinfo=dt.timezone.utc) for v in values],
                              type=pa.timestamp("us", tz=zone))
    return frame.append_column("t", column)


@st.composite
def timed_frames(draw):
    base = draw(frames())
    kind = draw(st.sampled_from(_TIME_KINDS))
    step = draw(st.sampled_from([12, 12, 1, 7, 49]))
    seed = draw(st.integers(0, 2**32 - 1))
    return Build(f"{base!r} with t ({kind}, every {step}h, seed={seed})",
                 lambda ctx: with_time_column(base(ctx), kind, step, seed))


def ok_timed_frame():
    return with_time_column(ok_frame())  # four days of two rows each


TIMED_FRAME = Kind("TIMED_FRAME", ok_timed_frame, timed_frames())
TIME_COLUMN = Kind("TIME", lambda: "t", plain(st.sampled_from(["t", "t", "t", "t", None])),
                   wild=anything_but(plain(st.sampled_from(["x", "g", "nope", "y", "t"])), texts_b), fail="nope")
# Exactly one of every, size and count splits: drawn alone, each is set
# about as often as the calls that set exactly one of them are most.
EVERY = Kind("EVERY", lambda: "1d",
             plain(st.sampled_from(["1d", "1d", "6h", "1w", "1mo", "2d", "1y", None, None, None])),
             wild=anything_but(plain(st.sampled_from(["0d", "1x", "", "d", "-1d", "1.5d", "10000000y", "1D", 1,
                                                      None]))))
PERIOD_SIZE = Kind("SIZE", lambda: None, plain(st.sampled_from([None] * 7 + [4, 1, 3])),
                   wild=anything_but(plain(st.sampled_from([0, -1, 2**70, True, 2.5, "4", np.int64(2)])), ints_b))
PERIOD_COUNT = Kind("COUNT", lambda: None, plain(st.sampled_from([None] * 7 + [2, 3, 50])),
                    wild=PERIOD_SIZE.wild)
DRIFT_SELECTION = Kind("DRIFT_SELECTION", lambda: True,
                       st.one_of(plain(st.sampled_from([True, True, False])), fresh([["x", "s"], ["x"], ("g", "h")])),
                       wild=anything_but(fresh(["x", [], ["nope"], ["t"], ["x", "x"], None, 1, ["y", 1]])))
_BAD_ANALYSES = [{}, "facet", [("facet", "g")], {"facet": "nope", "label": "y"},
                 {"facet": "g", "label": "y", "bogus": 1}, {"facet": "g", "label": "nope"},
                 {"label": "y", "prediction": "p"}]


def analysis(*valid, wild=()):
    """The keyword arguments of one of the one-shot analyses, or None."""
    return Kind(f"ANALYSIS({valid[0]})", lambda: None, st.one_of(plain(st.none()), fresh(list(valid))),
                wild=anything_but(fresh(list(valid) + list(wild) + _BAD_ANALYSES)))


DATA_BIAS_CALL = analysis({"facet": "g", "label": "y"}, {"facet": "h", "label": "y", "positive": 1},
                          {"facet": ["g", "h"], "label": "y"}, {"facet": "s", "label": "y", "reference": "u"},
                          wild=[{"facet": "g", "label": "y", "ci": 0.9, "n_boot": 20}])
MODEL_BIAS_CALL = analysis({"facet": "g", "label": "y", "prediction": "p", "prediction_threshold": 0.5},
                           {"facet": "h", "label": "y", "prediction": "y"})
PERFORMANCE_CALL = analysis({"task": "logistic", "label": "y", "prediction": "p"},
                            {"task": "classification", "label": "y", "prediction": "y", "facet": "g"},
                            {"task": "regression", "label": "x", "prediction": "p"},
                            wild=[{"task": "nope", "label": "y", "prediction": "p"},
                                  {"task": "logistic", "label": "y", "prediction": "p", "ci": 0.9, "n_boot": 20}])
INCOMPLETE = name(["keep", "drop", "append"])
BAND_K = Kind("K", lambda: 3.0, plain(st.sampled_from([3.0, 1, 0.5, 2.5, 1e300])),
              wild=anything_but(plain(st.sampled_from([0, -1.0, math.nan, math.inf, True, "3", None]))), fail=0.0)
BANDS = Kind("BANDS", lambda: None,
             st.one_of(plain(st.none()), fresh([{"JensenShannon": ("quantile", 0.1, 0.9)},
                                                {"missing_share": (0.0, 0.5)}, {"JensenShannon": "std"},
                                                {"Recall": ("quantile", 0.0, 1.0)}])),
             wild=anything_but(fresh([{"JensenShannon": (1.0, 0.0)}, {"JensenShannon": ("quantile", 0.9, 0.1)},
                                      {"JensenShannon": ("quantile", -1, 2)}, "std", [("a", "std")],
                                      {"JensenShannon": [0, 1]}, {"x": (math.nan, 1.0)}, {1: "std"},
                                      {"JensenShannon": ("quantile", True, 1)}, {"JensenShannon": np.array([0, 1])}])),
             fail={"JensenShannon": "wide"})

# lumetra.drift's kinds, their refusals moved to the wild values: so that
# most calls get past the checks into the periods.
_ACCEPTED = {"MISSING": ["raise", "drop", "drop"], "DRIFT_TEST": ["auto", "chi2", "g", "ks", None],
             "ALPHA": [0.05, 0.01, 0.5, 0.2], "CORRECTION": ["fdr_bh", "holm", "bonferroni", "none"]}
TL_MISSING, TL_TEST, TL_ALPHA, TL_CORRECTION = (
    Kind(k.name, k.ok, plain(st.sampled_from(_ACCEPTED[k.name])), wild=k.wild, fail=k.fail)
    for k in (MISSING, DRIFT_TEST, ALPHA, CORRECTION))
TL_METRICS = Kind("METRICS", lambda: None, st.one_of(plain(st.none()), fresh([["JensenShannon"], list(DRIFT),
                                                                              ["KullbackLeibler", "JensenShannon"]])),
                  wild=OPT_DRIFT_METRICS.wild)

FUNCTIONS += [
    fn(lumetra.timeline, TIMED_FRAME,
       keywords={"reference": TIMED_FRAME, "time": TIME_COLUMN, "every": EVERY, "size": PERIOD_SIZE,
                 "count": PERIOD_COUNT, "drift": DRIFT_SELECTION, "data_bias": DATA_BIAS_CALL,
                 "model_bias": MODEL_BIAS_CALL, "performance": PERFORMANCE_CALL, "quality": FLAG,
                 "missing": TL_MISSING, "incomplete": INCOMPLETE, "rule": DRIFT_RULE, "metrics": TL_METRICS,
                 "test": TL_TEST, "alpha": TL_ALPHA, "correction": TL_CORRECTION, "k": BAND_K, "bands": BANDS},
       module=lumetra, share=1 / 500, raised_in=Path(lumetra.__file__).parent),
]

# A timeline is made by lumetra.timeline, not by its constructor, which
# stores what it is given: its row's valid fields are those of a timeline
# of four days. Its state is what its members show.
_TIMELINES = []


def _timeline_fields():
    if not _TIMELINES:
        _TIMELINES.append(lumetra.timeline(ok_timed_frame(), reference=ok_timed_frame(), time="t", every="1d",
                                           data_bias={"facet": "g", "label": "y"}))
    tl = _TIMELINES[0]
    return (tl.setup, tl.data, tl.reference, tl.implementation, list(tl.errors), None, dict(tl._unseen))


def _timeline_field(i, label):
    build = Build(f"a timeline's {label}", lambda ctx: _timeline_fields()[i])
    return Kind(f"TIMELINE_{label.upper()}", lambda: _timeline_fields()[i], st.just(build),
                wild=anything_but(st.just(build)))


def _timeline_state(tl):
    from frames import rows

    return canonical([tl.periods, rows(tl.table()), rows(tl.unseen()), list(tl.errors)])


ROLLUP = Kind("ROLLUP", lambda: "1w", plain(st.sampled_from(["1w", "1w", "2d", "1mo", "1q", "1y", "1d", 2])),
              wild=anything_but(plain(st.sampled_from(["6h", "", "1x", 0, -1, True, 2**70, None]))), fail="6h")

# The period monitor of an hourly detector, a batch of rows pushed into the
# hour from 22:00 UTC of a day in November 2023; the callback keeps nothing.
T0 = 1_700_000_000  # 22:13:20 UTC
_IN_HOUR = [T0 + 60 * i for i in range(8)]


def _detector():
    return L.PyStreamingContinuousDataDriftDecay(np.array(FLOATS8), None, None)


def _other_monitor():
    return L.PyBinaryClassificationStreaming(list(_A), list(_C))


def _boom():
    raise Boom("make")


def _discard(start, end, state):
    return None


def _refuse(start, end, state):
    raise OSError("store unreachable")


def _stopped_clock():
    return float(T0 + 100)


def _utc(seconds):
    return dt.datetime.fromtimestamp(seconds, dt.timezone.utc)


_BERLIN = zoneinfo.ZoneInfo("Europe/Berlin")
MAKE = Kind("MAKE", lambda: _detector,
            plain(st.sampled_from([_detector, _detector, _other_monitor])),
            wild=anything_but(plain(st.sampled_from([_boom, object, dict, _detector()]))))
PERIOD = Kind("PERIOD", lambda: "1h", plain(st.sampled_from(["1h", "1h", "6h", "1d", "1w", "1mo", "1q", "1y", "2d"])),
              wild=anything_but(plain(st.sampled_from(["0h", "1x", "", "h", "-1h", 1, None]))), fail="0h")
ON_CLOSE = Kind("ON_CLOSE", lambda: _discard, plain(st.sampled_from([_discard, _discard, _refuse])))
ZONE = Kind("ZONE", lambda: "UTC", plain(st.sampled_from(["UTC", "Europe/Berlin", dt.timezone.utc, _BERLIN,
                                                          dt.timezone(dt.timedelta(hours=5, minutes=30))])),
            wild=anything_but(plain(st.sampled_from(["Nope/Zone", "", "utc", "../etc", None, 5]))), fail="Nope/Zone")
LATE = name(["drop", "current", "raise"])
ORIGIN = Kind("ORIGIN", lambda: None,
              plain(st.sampled_from([None, None, 0, T0, 1.5, _utc(T0), np.datetime64(T0, "s")])),
              wild=anything_but(plain(st.sampled_from([dt.datetime(2024, 1, 1), math.nan, 1e20, True,
                                                       np.datetime64("NaT"), "2024-01-01"]))))
METHOD_NAME = Kind("METHOD_NAME", lambda: None, plain(st.sampled_from([None, None, "update_stream"])),
                   wild=anything_but(plain(st.sampled_from(["push", "nope", "update_stream_batch", 5, ""]))))
CLOCK = Kind("CLOCK", lambda: _stopped_clock, plain(st.sampled_from([_stopped_clock, time.time])),
             wild=anything_but(plain(st.sampled_from([_boom, 5, lambda: math.nan, lambda: "now", None]))))
MAX_PENDING = Kind("MAX_PENDING", lambda: 64, plain(st.sampled_from([64, 0, 1, 2**70])),
                   wild=anything_but(plain(st.sampled_from([-1, True, 2.5, None, "64"]))), fail=-1)

# Instants: in the current hour, in a later one (half of them: a row there
# closes the hour, so a refused one must not), in an earlier one (late), as
# epoch seconds, aware datetimes and datetime64 values.
INSTANT = Kind("INSTANT", lambda: T0 + 100,
               plain(st.sampled_from([T0 + 100, T0 + 100.5, np.int64(T0 + 5), _utc(T0 + 30),
                                      _utc(T0 + 30).astimezone(_BERLIN), np.datetime64(T0 + 60, "s"),
                                      np.datetime64((T0 + 60) * 10**9, "ns"), T0 - 5000, np.float32(T0),
                                      T0 + 4000, T0 + 4000.5, T0 + 10**6, _utc(T0 + 86400 * 40),
                                      np.datetime64(T0 + 7200, "s"), _utc(T0 + 3600).astimezone(_BERLIN),
                                      np.int64(T0 + 86400), T0 + 10**8])),
               wild=anything_but(plain(st.sampled_from([dt.datetime(2023, 11, 14, 22, 30), math.nan, math.inf, True,
                                                        np.datetime64("NaT"), 10**20, -10**12, "2023-11-14",
                                                        np.datetime64(1, "Y"), np.datetime64(T0, "D")]))),
               fail=math.nan)
OPT_INSTANT = Kind("OPT_INSTANT", lambda: T0 + 100, st.one_of(plain(st.none()), INSTANT.valid), wild=INSTANT.wild,
                   fail=math.nan)


def _stamps(form, seconds):
    if form == "int64":
        return np.array(seconds, dtype=np.int64)
    if form == "float":
        return np.array(seconds, dtype=np.float64) + 0.25
    if form == "datetime64":
        return np.array(seconds, dtype="datetime64[s]")
    if form == "datetime64[ms]":
        return (np.array(seconds, dtype=np.int64) * 1000).astype("datetime64[ms]")
    if form == "datetimes":
        return [_utc(s) for s in seconds]
    if form == "tuple":
        return tuple(seconds)
    return list(seconds)


_SPANS = {"in the hour": _IN_HOUR, "across hours": [T0 + 500 * i for i in range(8)],
          "a later day": [T0 + 86400 + 600 * i for i in range(8)], "late first": [T0 - 5000] + _IN_HOUR[1:],
          "late after a later": [T0 + 4000, T0 - 5000] + _IN_HOUR[2:],
          "out of order": [T0 + 7200, T0 + 3600, T0, T0 + 9000, T0, T0 + 1, T0 + 3601, T0 + 2]}
_FORMS = ["int64", "float", "datetime64", "datetime64[ms]", "datetimes", "tuple", "list"]
INSTANTS = Kind("INSTANTS", lambda: np.array(_IN_HOUR, dtype=np.int64),
                st.builds(lambda span, form: Build(f"stamps({span}, {form})", lambda ctx: _stamps(form, _SPANS[span])),
                          st.sampled_from(list(_SPANS)), st.sampled_from(_FORMS)),
                wild=anything_but(plain(st.sampled_from([
                    np.array([T0] * 7 + [-1], dtype=np.float64) * np.inf, np.array([T0] * 8).reshape(2, 4),
                    [dt.datetime(2023, 11, 14)] * 8, np.array(["NaT"] * 8, dtype="datetime64[s]"), [T0] * 7 + [None],
                    [True] * 8, np.array(_IN_HOUR, dtype="timedelta64[s]"), np.array([10**19] * 8, dtype=np.uint64),
                    "2023-11-14", b"\x00" * 8, np.array([T0] * 8, dtype=np.int64).view("datetime64[Y]")])),
                    arrays()),
                fail=np.full(8, math.nan))


def _monitor_state(m):
    """What a failed call must leave as it was: the current period, its
    counts, its state (which object, and its bytes) and the waiting periods."""
    return (m.start, m.end, m.rows, m.late, m._origin, id(m.state), m.state.to_bytes(),
            [(p.start, p.end, p.rows, id(p.state), p.state.to_bytes()) for p in m.pending])


CLASSES += [
    Cls(lumetra.Timeline, [_timeline_field(i, label) for i, label in enumerate(
        ["setup", "data", "reference", "implementation", "errors", "rows", "unseen"])], None, [
        method("table", pure=True, share=1 / 50),
        method("unseen", pure=True, share=1 / 20),
        method("rollup", ROLLUP, pure=True, share=1 / 20),
        method("__repr__", pure=True, share=1 / 500),  # the fields' reprs: milliseconds
        prop("periods", share=1 / 20),
    ], ok=_timeline_fields, state=_timeline_state, share=1 / 20, converts=False),
    Cls(lumetra.PeriodicMonitor, [MAKE, PERIOD, ON_CLOSE], "push_batch", [
        method("push", INSTANT, FLOAT),
        method("push_batch", INSTANTS, F64),
        method("tick", OPT_INSTANT),
        method("close"),
        method("__repr__", pure=True),
        prop("every"),
        prop("tz"),
        prop("state"),
        prop("start"),
        prop("end"),
        prop("rows"),
        prop("late"),
        prop("pending"),
    ], state=_monitor_state,
        keywords={"tz": ZONE, "late": LATE, "origin": ORIGIN, "method": METHOD_NAME, "clock": CLOCK,
                  "max_pending": MAX_PENDING}),
]

# Modules whose every public function and class must have a row.
MODULES = [_lumetra, lumetra, _kernels, lumetra.stats]

ENTRIES = FUNCTIONS + [e for c in CLASSES for e in [c.ctor] + c.members]
