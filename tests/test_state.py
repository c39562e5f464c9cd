"""State that moves, over every class (rows in state_kinds.py): round trips
through bytes, pickle and copy followed by the same calls on both objects;
shards merged in any order against one object that saw all the data; every
refusal; hostile bytes; and the committed files of earlier versions."""

import copy
import json
import math
import os
import pickle
import re
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

import _lumetra as L
from make_state_files import STATE_DIR, answers
from state_kinds import CAT_BASE, CONT_BASE, KINDS, MERGING, MODEL_BASE, MONITORS, FixedRng, Kind, apply, outcome

HEADER = 16
INTO_ITSELF = "Cannot merge an object into itself"


def by_name(kinds):
    return pytest.mark.parametrize("kind", kinds, ids=lambda k: k.name)


def kind_of(cls):
    return next(k for k in KINDS if k.cls is cls)


def _crc_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
        table.append(c)
    return table


CRC_TABLE = _crc_table()


def crc32c(data):
    c = 0xFFFFFFFF
    for b in data:
        c = CRC_TABLE[(c ^ b) & 0xFF] ^ (c >> 8)
    return c ^ 0xFFFFFFFF


def reseal(record):
    """A record whose length and checksum are made right again after a change
    of its body, so the change reaches the checks of the fields."""
    body = bytearray(record[:-4])
    body[8:16] = struct.pack("<Q", len(body) + 4)
    return bytes(body) + struct.pack("<I", crc32c(body))


def feed_randomly(kind, obj, cols, rng):
    """All of `cols`, in chunks of random size, each as a batch or item by item."""
    n = len(cols[0]) if isinstance(cols, tuple) else len(cols)
    at = 0
    while at < n:
        stop = min(n, at + int(rng.integers(1, 60)))
        if rng.integers(0, 3) == 0:
            for i in range(at, stop):
                kind.push(obj, cols, i)
        else:
            kind.feed(obj, kind.take(cols, at, stop))
        at = stop


def prepared(kind, seed, changes=10):
    rng = FixedRng(seed)
    obj = kind.make()
    for _ in range(changes):
        name, args = rng.choice(kind.changes)(rng)
        apply(obj, name, args)
    if kind.stream:  # something accumulated, whatever the last change was
        kind.feed(obj, kind.columns(rng, 30))
    return obj


# ---- round trips ------------------------------------------------------------------------------

WAYS = {
    "bytes": lambda o: type(o).from_bytes(o.to_bytes()),
    "bytearray": lambda o: type(o).from_bytes(bytearray(o.to_bytes())),
    "memoryview": lambda o: type(o).from_bytes(memoryview(o.to_bytes())),
    "strided": lambda o: type(o).from_bytes(memoryview(b"".join(bytes([x, 0]) for x in o.to_bytes()))[::2]),
    "numpy": lambda o: type(o).from_bytes(np.frombuffer(o.to_bytes(), dtype=np.uint8)),
    **{f"pickle{p}": (lambda o, p=p: pickle.loads(pickle.dumps(o, protocol=p)))
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
}


@by_name(KINDS)
@pytest.mark.parametrize("way", list(WAYS))
def test_round_trip_then_the_same_calls_give_the_same_answers(kind, way):
    rng = FixedRng(sum(way.encode()))  # the same calls on every run
    original = prepared(kind, seed=len(way))
    twin = WAYS[way](original)
    assert type(twin) is type(original) and twin is not original
    assert kind.stable(twin.to_bytes()) == kind.stable(original.to_bytes())
    assert kind.show(twin) == kind.show(original)
    for _ in range(25):
        name, args = rng.choice(kind.changes)(rng)
        assert apply(twin, name, args) == apply(original, name, args), name
        assert kind.show(twin) == kind.show(original), name
    assert kind.stable(twin.to_bytes()) == kind.stable(original.to_bytes())
    if kind.flushes:
        # The restored window started as long before the restore as the
        # original had run before the save: it can only be younger.
        assert 0 <= original.last_flush - twin.last_flush <= 1


@by_name(KINDS)
@pytest.mark.parametrize("way", ["bytes", "pickle5", "copy", "deepcopy"])
def test_a_copy_shares_nothing_with_its_original(kind, way):
    original = prepared(kind, seed=5)
    before = kind.stable(original.to_bytes())
    twin = WAYS[way](original)
    rng = FixedRng(9)
    for _ in range(10):
        name, args = rng.choice(kind.changes)(rng)
        apply(twin, name, args)
    if kind.stream:
        kind.feed(twin, kind.columns(rng, 20))
        assert kind.stable(twin.to_bytes()) != before
    assert kind.stable(original.to_bytes()) == before


def test_state_saved_in_one_process_is_restored_in_another():
    script = (
        "import sys, _lumetra as L; import numpy as np\n"
        "m = L.PyLinearRegressionStreaming([3.0, 1.5, 4.0], [2.5, 1.5, 4.5])\n"
        "m.push_batch(np.array([1.0, 2.0, 3.0]), np.array([1.5, 2.0, 2.0]))\n"
        "sys.stdout.buffer.write(m.to_bytes())\n"
    )
    saved = subprocess.run([sys.executable, "-c", script], capture_output=True, check=True).stdout
    here = L.PyLinearRegressionStreaming([3.0, 1.5, 4.0], [2.5, 1.5, 4.5])
    here.push_batch(np.array([1.0, 2.0, 3.0]), np.array([1.5, 2.0, 2.0]))
    assert L.PyLinearRegressionStreaming.from_bytes(saved).performance_snapshot() == here.performance_snapshot()
    assert saved == here.to_bytes()


# ---- merge ---------------------------------------------------------------------------------------


def shard_columns(kind, rng, n):
    """Stream data; for the logistic monitor, scores whose log-loss terms sum
    exactly in double (a few values of one binade), so shards merge exactly."""
    if kind.cls is L.PyLogisticRegressionStreaming:
        return rng.integers(0, 2, n).astype(np.float64), np.array([rng.choice([0.25, 0.5, 0.75]) for _ in range(n)])
    return kind.columns(rng, n)


def split(kind, obj_cols, rng, k):
    n = len(obj_cols[0]) if isinstance(obj_cols, tuple) else len(obj_cols)
    cuts = sorted({int(rng.integers(0, n + 1)) for _ in range(k - 1)})
    bounds = [0, *cuts, n]
    return [kind.take(obj_cols, a, b) for a, b in zip(bounds, bounds[1:])]


@by_name([k for k in MERGING if k.cls is not L.PyLinearRegressionStreaming])
@pytest.mark.parametrize("seed", range(5))
def test_shards_merged_in_any_order_answer_as_one_object(kind, seed):
    rng = FixedRng(100 + seed)
    cols = shard_columns(kind, rng, int(rng.integers(20, 400)))
    parts = split(kind, cols, rng, int(rng.integers(2, 6)))
    shards = []
    for part in parts:
        shards.append(kind.make())
        feed_randomly(kind, shards[-1], part, rng)
    whole = kind.make()
    feed_randomly(kind, whole, cols, rng)

    order = np.random.default_rng(seed).permutation(len(shards))
    target = shards[order[0]]
    for i in order[1:]:
        other = kind.stable(shards[i].to_bytes())
        assert target.merge(shards[i]) is None
        assert kind.stable(shards[i].to_bytes()) == other  # the other is unchanged
    assert kind.show(target) == kind.show(whole)
    assert kind.stable(target.to_bytes()) == kind.stable(whole.to_bytes())
    # ... and they go on as one.
    rest = shard_columns(kind, rng, 50)
    kind.feed(target, rest)
    kind.feed(whole, rest)
    name, args = kind.changes[3](rng)  # a computation, or a single push
    assert apply(target, name, args) == apply(whole, name, args)
    assert kind.show(target) == kind.show(whole)


REGRESSION_SUMS = 16 + 8 * 4  # after the header and the eight f32 baseline values


def regression_sums(m):
    return struct.unpack_from("<10d", m.to_bytes(), REGRESSION_SUMS)


def log_loss_sum(m):
    b = m.to_bytes()
    return struct.unpack_from("<d", b, len(b) - 12)[0]


def bits(x):
    return struct.pack("<d", x)


def regression(t, p):
    m = L.PyLinearRegressionStreaming([3.0, 1.5, 4.0], [2.5, 1.5, 4.5])
    m.push_batch(t, p)
    return m


@pytest.mark.parametrize("seed", range(4))
def test_merged_sums_are_the_double_sums_of_the_partial_sums(seed):
    rng = np.random.default_rng(seed)
    cols = [tuple(rng.normal(0.0, 10.0 ** rng.integers(-3, 4), n).astype(np.float32) for _ in range(2))
            for n in rng.integers(1, 500, 2)]
    a, b = (regression(*c) for c in cols)
    sa, sb = regression_sums(a), regression_sums(b)
    a.merge(b)
    expected = [x + y for x, y in zip(sa, sb)]
    expected[2] = max(sa[2], sb[2])  # the largest absolute error, not a sum
    assert [bits(v) for v in regression_sums(a)] == [bits(v) for v in expected]

    la = L.PyLogisticRegressionStreaming([1.0, 0.0, 1.0], [0.9, 0.2, 0.4], 0.5)
    lb = L.PyLogisticRegressionStreaming([1.0, 0.0, 1.0], [0.9, 0.2, 0.4], 0.5)
    la.push_batch(rng.integers(0, 2, 300).astype(np.float64), rng.uniform(0.0, 1.0, 300))
    lb.push_batch(rng.integers(0, 2, 70).astype(np.float64), rng.uniform(0.0, 1.0, 70))
    expected_loss = log_loss_sum(la) + log_loss_sum(lb)
    la.merge(lb)
    assert bits(log_loss_sum(la)) == bits(expected_loss)


def regression_terms(t, p):
    """The per-pair terms of each double sum, as the monitor forms them (the
    squared log error aside: its logarithm is the C library's)."""
    t = t.astype(np.float64)
    p = p.astype(np.float64)
    d = t - p
    return {0: d * d, 1: np.abs(d), 4: np.abs(np.abs(d) / t), 5: t, 6: np.ones_like(t), 7: t * t, 8: p * p, 9: t * p}


@pytest.mark.parametrize("seed", range(4))
def test_merged_float_sums_stay_within_the_bound_of_recursive_summation(seed):
    # Merged or not, each sum adds the same n terms, n - 1 roundings in all:
    # both lie within (n - 1) u sum|x| of the exact sum (u = 2^-53).
    rng = np.random.default_rng(seed)
    n = 3000
    t = rng.normal(5.0, 3.0, n).astype(np.float32)
    p = (t + rng.normal(0.0, 1.0, n)).astype(np.float32)
    cuts = sorted(rng.choice(np.arange(1, n), 4, replace=False))
    bounds = [0, *cuts, n]
    shards = [regression(t[a:b], p[a:b]) for a, b in zip(bounds, bounds[1:])]
    whole = regression(t, p)
    order = rng.permutation(len(shards))
    for i in order[1:]:
        shards[order[0]].merge(shards[i])
    merged = regression_sums(shards[order[0]])
    single = regression_sums(whole)
    u = 2.0**-53
    gamma = (n - 1) * u / (1 - (n - 1) * u)
    for i, terms in regression_terms(t, p).items():
        exact = math.fsum(terms)
        bound = gamma * math.fsum(np.abs(terms))
        assert abs(merged[i] - exact) <= bound, i
        assert abs(single[i] - exact) <= bound, i


def test_small_integer_regression_data_merges_exactly():
    # Integers, and true values that are powers of two, make every term and
    # every partial sum exact, except the squared log error's logarithms.
    rng = np.random.default_rng(4)
    n = 400
    t = rng.choice([1.0, 2.0, 4.0, 8.0], n).astype(np.float32)
    p = rng.integers(0, 11, n).astype(np.float32)
    a, b = regression(t[:150], p[:150]), regression(t[150:], p[150:])
    whole = regression(t, p)
    a.merge(b)
    got, want = regression_sums(a), regression_sums(whole)
    assert [bits(v) for i, v in enumerate(got) if i != 3] == [bits(v) for i, v in enumerate(want) if i != 3]
    logs = {"MeanSquaredLogError", "RootMeanSquaredLogError"}
    for snap in ("performance_snapshot", "drift_snapshot"):
        mine, one = getattr(a, snap)(), getattr(whole, snap)()
        assert {k: v for k, v in mine.items() if k not in logs} == {k: v for k, v in one.items() if k not in logs}
        assert mine["MeanSquaredLogError"] == pytest.approx(one["MeanSquaredLogError"], rel=1e-6)


@pytest.mark.parametrize("cls", [L.PyStreamingContinuousDataDriftDecay, L.PyStreamingCategoricalDataDriftDecay])
def test_merged_decay_weights_add_as_they_stand(cls):
    kind = kind_of(cls)
    rng = FixedRng(21)
    first, second = kind.columns(rng, 80), kind.columns(rng, 50)
    a, b, one = kind.make(), kind.make(), kind.make()
    kind.feed(a, first)
    kind.feed(b, second)
    kind.feed(one, first)
    kind.feed(one, second)
    # One decay step on each shard: the merged weights are f*a + f*b, the
    # single stream's f*(a + b); equal up to rounding, not bit for bit.
    for d in (a, b, one):
        d.compute_drift("JensenShannon")
    weights_a, weights_b = a.export_snapshot(), b.export_snapshot()
    a.merge(b)
    assert b.export_snapshot() == weights_b
    merged = a.export_snapshot()
    assert merged != weights_a
    def flat(snapshot):  # the stream's shares
        return snapshot["streamBins"] if "streamBins" in snapshot else [snapshot[k] for k in sorted(snapshot)]

    assert flat(merged) == pytest.approx(flat(one.export_snapshot()), rel=1e-12, abs=1e-300)
    # Later steps decay the sum as one stream.
    assert a.compute_drift("PopulationStabilityIndex") == pytest.approx(
        one.compute_drift("PopulationStabilityIndex"), rel=1e-9)


FLUSH_RATE_10 = {
    L.PyStreamingContinuousDataDriftFlush: lambda: L.PyStreamingContinuousDataDriftFlush(CONT_BASE, "Sturges", 10, 3600),
    L.PyStreamingCategoricalDataDriftFlush: lambda: L.PyStreamingCategoricalDataDriftFlush(CAT_BASE, 10, 3600),
}


@pytest.mark.parametrize("cls", list(FLUSH_RATE_10), ids=lambda c: c.__name__)
def test_a_merge_keeps_the_window_and_flush_bookkeeping_of_self(cls):
    kind = kind_of(cls)
    a = FLUSH_RATE_10[cls]()
    time.sleep(0.01)
    b = FLUSH_RATE_10[cls]()
    rng = FixedRng(2)
    kind.feed(a, kind.columns(rng, 6))
    kind.feed(b, kind.columns(rng, 6))

    def age(d):
        secs, nanos = struct.unpack_from("<QI", d.to_bytes(), len(d.to_bytes()) - 16)
        return secs + nanos * 1e-9

    before = age(a)
    a.merge(b)
    assert a.total_samples == 12  # past the flush rate of 10 ...
    assert age(a) >= before > age(b)  # ... in self's window, which is older than b's
    a.update_stream(kind.columns(rng, 1)[0])
    assert a.total_samples == 1  # ... so the next sample starts a new window


# ---- decay-mode totals ---------------------------------------------------------------------------

DECAYS = [k for k in KINDS if k.merge == "decay"]
# The gap the engine's updates can leave between a decay total and the sum of
# its weights (state.cpp, decay_total_fits): a relative 2^-20, and one smallest
# normal double per value for weights that decayed below the normal range.
DECAY_GAP = 2.0**-20
TINY = 2.0**-1022


def decay_fields(data):
    """(offset of the stream total, offset of the weights, weights) of a decay
    record: ... total (f64), count (u64), the weights (f64 each), checksum."""
    n = 1
    while struct.unpack_from("<Q", data, len(data) - 4 - 8 * n - 8)[0] != n:
        n += 1
    weights = len(data) - 4 - 8 * n
    return weights - 16, weights, list(struct.unpack_from(f"<{n}d", data, weights))


def decay_total(data):
    at, _, _ = decay_fields(data)
    return struct.unpack_from("<d", data, at)[0]


def total_fits(data):
    """The invariant a decay record keeps: its total is the sum of its weights."""
    _, _, weights = decay_fields(data)
    total, exact = decay_total(data), math.fsum(weights)
    return abs(total - exact) <= DECAY_GAP * max(total, exact) + TINY * (len(weights) + 1)


def with_decay_stream(data, total, weights):
    """A decay record with its total and weights replaced, resealed."""
    at, w, old = decay_fields(data)
    assert len(weights) == len(old)
    b = bytearray(data)
    struct.pack_into("<d", b, at, total)
    struct.pack_into(f"<{len(weights)}d", b, w, *weights)
    return reseal(bytes(b))


@by_name(DECAYS)
def test_a_decay_total_that_is_not_the_sum_of_its_weights_is_refused(kind):
    good = prepared(kind, seed=4).to_bytes()
    _, _, weights = decay_fields(good)
    total = decay_total(good)
    n = len(weights)
    assert total_fits(good) and total > 1
    cases = [
        (1.0, [1.0] * n),  # every weight 1 and a total of 1: shares summing to n
        (total * (1 + 2.0**-12), weights),
        (total * (1 - 2.0**-12), weights),
        (total, [w * (1 - 2.0**-12) for w in weights]),
        (2.0 * total, [0.0 if w == max(weights) else 2.0 * w for w in weights]),
        (1e-300, [0.0] * n),
    ]
    for t, w in cases:
        with pytest.raises(ValueError) as info:
            kind.cls.from_bytes(with_decay_stream(good, t, w))
        assert re.fullmatch(r"Invalid saved state: stream total \S+ is not the sum of the stream weights \(\S+\)",
                            str(info.value)), str(info.value)


def _decay_history(kind, rng, steps):
    """An instance driven through the updates that move a decay total apart
    from its weights: long runs of decay steps (past the normal range of the
    weights, for short half-lives), merges of copies and of other shards,
    pushes of odd values; the bytes of every state it passes through."""
    seen = []
    obj = kind.cls.from_bytes(kind.make().to_bytes())
    for _ in range(steps):
        k = int(rng.integers(0, 10))
        try:
            if k < 3:
                kind.feed(obj, kind.columns(rng, int(rng.integers(1, 2000))))
            elif k < 4:
                kind.push(obj, kind.columns(rng, 1), 0)
            elif k < 7:
                for _ in range(int(rng.integers(1, 400))):
                    obj.compute_drift_multiple_criteria(["JensenShannon"])
            elif k < 8:
                obj.merge(kind.cls.from_bytes(obj.to_bytes()))
            else:
                other = kind.cls.from_bytes(obj.to_bytes())
                kind.feed(other, kind.columns(rng, int(rng.integers(1, 50))))
                for _ in range(int(rng.integers(0, 60))):
                    other.compute_drift("KullbackLeibler")
                obj.merge(other)
        except ValueError as e:  # an emptied stream; a merge past 2^53
            assert "must be non empty" in str(e) or "more than 2^53" in str(e), str(e)
        seen.append(obj.to_bytes())
    return seen


def _with_half_life(kind, half_life):
    """The row, its class made from the row's baseline with another half-life."""
    cls = kind.cls
    if cls is L.PyStreamingContinuousDataDriftDecay:
        make = lambda: cls(CONT_BASE, None, half_life)  # noqa: E731
    else:
        make = lambda: cls(CAT_BASE, half_life)  # noqa: E731
    return Kind(cls, make, kind.columns, kind.changes, kind.shows, merge=kind.merge)


@by_name(DECAYS)
@pytest.mark.parametrize("half_life", [1, 3, 86400, 2**45])
def test_every_state_a_decay_detector_passes_through_loads_again(kind, half_life):
    row = _with_half_life(kind, half_life)
    rng = FixedRng(half_life % 1000 + len(kind.name))
    for data in _decay_history(row, rng, 120):
        assert total_fits(data)
        assert kind.cls.from_bytes(data).to_bytes() == data
    # Half-lives of 1 take the weights below the normal range and to 0,
    # rounding each one apart from the total, which must still load.
    tiny = row.make()
    kind.feed(tiny, kind.columns(FixedRng(1), 7))
    for _ in range(1200):
        try:
            tiny.compute_drift("JensenShannon")
        except ValueError:
            break
        assert kind.cls.from_bytes(tiny.to_bytes()).to_bytes() == tiny.to_bytes()
    if half_life < 1000:
        return
    # A long decay without new samples: the gap grows one rounding at a time.
    slow = row.make()
    kind.feed(slow, kind.columns(FixedRng(2), 300))
    slow.merge(kind.cls.from_bytes(slow.to_bytes()))
    for _ in range(200_000):
        slow.compute_drift("JensenShannon")
    assert total_fits(slow.to_bytes())
    kind.cls.from_bytes(slow.to_bytes())


@by_name(DECAYS)
def test_a_merge_past_2_53_samples_is_refused_and_changes_nothing(kind):
    # Merging a stream with copies of itself doubles it, until its total would
    # pass 2^53: a double then no longer adds a sample to it (and long before
    # the largest double the total would overflow to inf).
    obj = kind.make()
    kind.feed(obj, kind.columns(FixedRng(6), 300))
    obj.compute_drift("JensenShannon")  # weights that are not whole samples
    merges = 0
    while True:
        before = obj.to_bytes()
        try:
            obj.merge(kind.cls.from_bytes(before))
        except ValueError as e:
            assert str(e) == "Cannot merge: the stream would weigh more than 2^53 samples"
            break
        merges += 1
        assert kind.cls.from_bytes(obj.to_bytes()).to_bytes() == obj.to_bytes()
    assert obj.to_bytes() == before and 40 < merges < 60
    assert decay_total(before) <= 2.0**53 < 2 * decay_total(before)
    obj.merge(kind.make())  # adding nothing stays within the limit
    assert obj.to_bytes() == before
    # A record near the largest double, consistent with its weights, loads;
    # merging it, as self or as other, is refused and changes neither.
    scale = 1e307 / decay_total(before)
    huge = with_decay_stream(before, 1e307, [w * scale for w in decay_fields(before)[2]])
    for a, b in ((huge, huge), (huge, before), (before, huge)):
        mine, theirs = kind.cls.from_bytes(a), kind.cls.from_bytes(b)
        with pytest.raises(ValueError, match="more than 2\\^53 samples"):
            mine.merge(theirs)
        assert mine.to_bytes() == a and theirs.to_bytes() == b


# ---- refusals -----------------------------------------------------------------------------------


def _eps_logistic():
    """A logistic monitor made in a process whose stability epsilon is 1e-3."""
    script = ("import sys, _lumetra as L\n"
              "m = L.PyLogisticRegressionStreaming([1.0, 0.0, 1.0, 1.0, 0.0], [0.9, 0.2, 0.4, 0.8, 0.6], 0.5)\n"
              "sys.stdout.buffer.write(m.to_bytes())\n")
    env = dict(os.environ, LUMETRA_STABILITY_EPS="1e-3")
    saved = subprocess.run([sys.executable, "-c", script], capture_output=True, check=True, env=env).stdout
    return L.PyLogisticRegressionStreaming.from_bytes(saved)


def _refusal_rows():
    rows = []
    for kind in MERGING:
        rows.append((f"{kind.name} into itself", kind.make, None, ValueError, INTO_ITSELF))
        other = MERGING[(MERGING.index(kind) + 1) % len(MERGING)]
        rows.append((f"{other.name} into {kind.name}", kind.make, other.make, ValueError,
                     f"Cannot merge a {other.name} into a {kind.name}"))
        for wild in (42, None, b"bytes"):
            rows.append((f"{type(wild).__name__} into {kind.name}", kind.make, lambda w=wild: w, TypeError,
                         f"'{type(wild).__name__}' object is not a lumetra monitor or detector"))
        rows.append((f"batch detector into {kind.name}", kind.make, lambda: L.PyContinuousDataDrift(CONT_BASE, None),
                     ValueError, f"Cannot merge a PyContinuousDataDrift into a {kind.name}"))
    half = CONT_BASE[:150]
    rows += [
        ("data-bias baselines", lambda: L.PyDataBiasStreaming([1, 0, 1], [1, 0, 0]),
         lambda: L.PyDataBiasStreaming([1, 0, 1], [1, 0, 1]), ValueError, "the baselines differ (DifferenceInProportionOfLabels: 0.5 and 1)"),
        ("model-bias baselines", lambda: L.PyModelBiasStreaming(*MODEL_BASE),
         lambda: L.PyModelBiasStreaming(*[c[:8] for c in MODEL_BASE]), ValueError, "the baselines differ"),
        ("binary baselines", lambda: L.PyBinaryClassificationStreaming([1, 0], [1, 0]),
         lambda: L.PyBinaryClassificationStreaming([1, 0], [0, 1]), ValueError, "the baselines differ"),
        ("regression baselines", lambda: L.PyLinearRegressionStreaming([1.0, 2.0], [1.0, 2.5]),
         lambda: L.PyLinearRegressionStreaming([1.0, 2.0], [1.0, 2.0]), ValueError, "the baselines differ"),
        ("logistic baselines", lambda: L.PyLogisticRegressionStreaming([1.0, 0.0], [0.8, 0.3], 0.5),
         lambda: L.PyLogisticRegressionStreaming([1.0, 0.0], [0.8, 0.6], 0.5), ValueError, "the baselines differ"),
        ("decision thresholds", lambda: L.PyLogisticRegressionStreaming([1.0, 0.0], [0.8, 0.3], 0.5),
         lambda: _with_threshold(0.75), ValueError, "the decision thresholds differ (0.5 and 0.75)"),
        ("stability epsilons", lambda: MONITORS[4].make(), _eps_logistic, ValueError,
         "the stability epsilons of the two streams differ"),
        ("continuous baselines", lambda: L.PyStreamingContinuousDataDriftDecay(CONT_BASE, "Sturges", 3),
         lambda: L.PyStreamingContinuousDataDriftDecay(half, "Sturges", 3), ValueError, "the baselines differ"),
        ("bin rules", lambda: L.PyStreamingContinuousDataDriftFlush(CONT_BASE, "Sturges", None, None),
         lambda: L.PyStreamingContinuousDataDriftFlush(CONT_BASE, "Scott", None, None), ValueError,
         "the bin rules differ"),
        ("label indexes", lambda: L.PyStreamingCategoricalDataDriftDecay(["a", "b"], 3),
         lambda: L.PyStreamingCategoricalDataDriftDecay(["a", "c"], 3), ValueError, "label index"),
        ("label shares", lambda: L.PyStreamingCategoricalDataDriftDecay(["a", "b"], 3),
         lambda: L.PyStreamingCategoricalDataDriftDecay(["a", "b", "b"], 3), ValueError, "the baselines differ (shares)"),
        ("half-lives", lambda: L.PyStreamingCategoricalDataDriftDecay(["a", "b"], 3),
         lambda: L.PyStreamingCategoricalDataDriftDecay(["a", "b"], 4), ValueError, "the half-lives differ"),
        ("flush rates", lambda: L.PyStreamingCategoricalDataDriftFlush(["a", "b"], 10, 60),
         lambda: L.PyStreamingCategoricalDataDriftFlush(["a", "b"], 11, 60), ValueError,
         "the flush rates differ (10 and 11)"),
        ("flush cadences", lambda: L.PyStreamingContinuousDataDriftFlush(CONT_BASE, None, 10, 60),
         lambda: L.PyStreamingContinuousDataDriftFlush(CONT_BASE, None, 10, None), ValueError,
         "the flush cadences differ (60 s and 86400 s)"),
    ]
    return rows


def _with_threshold(t):
    m = L.PyLogisticRegressionStreaming([1.0, 0.0], [0.8, 0.3], 0.5)
    m.reset_baseline_and_decision_threshold([1.0, 0.0], [0.8, 0.3], t)
    return m


@pytest.mark.parametrize("make, make_other, exc, message", [pytest.param(*row[1:], id=row[0]) for row in _refusal_rows()])
def test_merge_refusals_leave_both_objects_unchanged(make, make_other, exc, message):
    mine = make()
    other = mine if make_other is None else make_other()
    kind = kind_of(type(mine))
    kind.feed(mine, kind.columns(FixedRng(1), 5))
    before = kind.stable(mine.to_bytes())
    other_kind = next((k for k in KINDS if k.cls is type(other)), None)
    other_before = other_kind.stable(other.to_bytes()) if other_kind else None
    with pytest.raises(exc) as info:
        mine.merge(other)
    assert message in str(info.value)
    assert kind.stable(mine.to_bytes()) == before
    if other_kind:
        assert other_kind.stable(other.to_bytes()) == other_before


def _record(cls):
    return kind_of(cls).make().to_bytes()


FROM_BYTES_REFUSALS = [
    (L.PyDataBiasStreaming, lambda: _record(L.PyModelBiasStreaming), ValueError,
     "the bytes hold a PyModelBiasStreaming, not a PyDataBiasStreaming"),
    (L.PyStreamingContinuousDataDriftDecay, lambda: _record(L.PyStreamingContinuousDataDriftFlush), ValueError,
     "the bytes hold a PyStreamingContinuousDataDriftFlush, not a PyStreamingContinuousDataDriftDecay"),
    (L.PyContinuousDataDrift, lambda: b"", ValueError, "truncated: 0 bytes"),
    (L.PyContinuousDataDrift, lambda: b"PK\x03\x04" + bytes(40), ValueError, "wrong magic"),
    (L.PyContinuousDataDrift, lambda: reseal(_record(L.PyContinuousDataDrift)[:4] + b"\x02\x00"
                                             + _record(L.PyContinuousDataDrift)[6:]),
     ValueError, "format version 2 is newer than this version of lumetra reads (1)"),
    (L.PyCategoricalDataDrift, lambda: _record(L.PyCategoricalDataDrift) + b"\x00", ValueError, "bytes appended"),
    (L.PyCategoricalDataDrift, lambda: "LMST", TypeError, "a bytes-like object is required, not 'str'"),
    (L.PyCategoricalDataDrift, lambda: None, TypeError, ""),
    (L.PyCategoricalDataDrift, lambda: [76, 77], TypeError, ""),
]


@pytest.mark.parametrize("cls, data, exc, message", FROM_BYTES_REFUSALS,
                         ids=lambda v: v.__name__ if isinstance(v, type) else "")
def test_from_bytes_refusals_say_what_is_wrong(cls, data, exc, message):
    with pytest.raises(exc) as info:
        cls.from_bytes(data())
    assert message in str(info.value)


# ---- hostile bytes --------------------------------------------------------------------------------


def refused(cls, data):
    try:
        cls.from_bytes(data)
    except ValueError:
        return True
    return False


@by_name(KINDS)
def test_every_truncation_and_every_flipped_bit_is_refused(kind):
    good = prepared(kind, seed=3).to_bytes()
    for n in range(len(good)):
        assert refused(kind.cls, good[:n]), n
    for bit in range(8 * len(good)):
        flipped = bytearray(good)
        flipped[bit // 8] ^= 1 << (bit % 8)
        assert refused(kind.cls, bytes(flipped)), bit


@by_name(KINDS)
def test_random_bytes_are_refused(kind):
    rng = np.random.default_rng(len(kind.name))
    tag = prepared(kind, seed=3).to_bytes()[6]
    header = b"LMST\x01\x00" + bytes([tag, 0]) + bytes(8)
    for _ in range(400):
        noise = rng.bytes(int(rng.integers(0, 300)))
        assert refused(kind.cls, noise)
        # With a sound header and checksum, so the fields themselves are read.
        refused_or_sound(kind, reseal(header + noise + bytes(4)))


INTERESTING = [0, 1, 2, 3, 0xFF, 1 << 31, 1 << 53, 1 << 63, (1 << 64) - 1, 0x7FF0000000000000,
               0xFFF0000000000000, 0x7FF8000000000000, 0x8000000000000000, 0x3FF0000000000000]


def sound(kind, obj, data):
    """An accepted record is one this version writes, and the object works."""
    assert kind.stable(obj.to_bytes()) == kind.stable(bytes(data))
    if kind.merge == "decay":
        # The two invariants of decay mode: the total is the sum of the
        # weights (up to the rounding the updates leave), and merging keeps it
        # finite, in a state that loads again, or is refused.
        assert total_fits(bytes(data))
        twin = kind.cls.from_bytes(bytes(data))
        try:
            twin.merge(kind.cls.from_bytes(bytes(data)))
        except ValueError as e:
            assert str(e) == "Cannot merge: the stream would weigh more than 2^53 samples"
        else:
            assert math.isfinite(decay_total(twin.to_bytes())) and total_fits(twin.to_bytes())
            kind.cls.from_bytes(twin.to_bytes())
    kind.show(obj)
    rng = FixedRng(len(data))
    for _ in range(6):
        name, args = rng.choice(kind.changes)(rng)
        apply(obj, name, args)  # documented errors only: anything else propagates
    type(obj).from_bytes(obj.to_bytes())


def refused_or_sound(kind, data):
    """True when refused (with the format's message); else the object is sound."""
    try:
        obj = kind.cls.from_bytes(data)
    except ValueError as e:
        assert str(e).startswith("Invalid saved state: "), str(e)
        return True
    sound(kind, obj, data)
    return False


@by_name(KINDS)
def test_resealed_damage_is_refused_or_makes_a_sound_object(kind):
    # Past the checksum, every field check is on its own: changed bits,
    # boundary values in every 8-byte slot, cut or padded bodies.
    good = prepared(kind, seed=8).to_bytes()
    rng = np.random.default_rng(len(good))
    body = len(good) - 4
    cases = []
    for _ in range(300):
        b = bytearray(good)
        for _ in range(int(rng.integers(1, 4))):
            at = int(rng.integers(HEADER, body))
            b[at] ^= 1 << int(rng.integers(0, 8))
        cases.append(b)
    for at in range(HEADER, body - 7):
        for value in INTERESTING[int(rng.integers(0, 3))::3]:
            b = bytearray(good)
            b[at:at + 8] = struct.pack("<Q", value)
            cases.append(b)
    for cut in range(HEADER, body):
        cases.append(bytearray(good[:cut]) + bytes(4))
    cases.append(bytearray(good[:body]) + rng.bytes(9) + bytes(4))
    if kind.merge == "decay":
        # A decay total and its weights moved apart, or together, by factors
        # from far beyond the updates' rounding to within it.
        _, _, weights = decay_fields(good)
        total = decay_total(good)
        for k in (2, 8, 16, 24, 40, 52):
            for sign in (1, -1):
                f = 1 + sign * 2.0**-k
                cases.append(with_decay_stream(good, total * f, weights))
                cases.append(with_decay_stream(good, total, [w * f for w in weights]))
                cases.append(with_decay_stream(good, total * f, [w * f for w in weights]))
        for big in (2.0**53, 2.0**60, 1e300, 1.7e308):
            cases.append(with_decay_stream(good, big, [w * big / total for w in weights]))
    accepted = sum(not refused_or_sound(kind, reseal(bytes(case))) for case in cases)
    assert accepted < len(cases)  # a cut body, at least, is always refused


def test_claimed_sizes_are_checked_before_anything_is_allocated():
    # A continuous baseline claims 2^24 bins (the most allowed) in a record of
    # a few hundred bytes: refused for want of bytes, nothing sized from it.
    good = L.PyContinuousDataDrift(np.arange(100.0), "Sturges").to_bytes()
    at = HEADER + 1 + 8 + 8 + 8
    for count in (1 << 24, (1 << 64) - 1):
        b = bytearray(good)
        b[at:at + 8] = struct.pack("<Q", count)
        with pytest.raises(ValueError, match="Invalid saved state"):
            L.PyContinuousDataDrift.from_bytes(reseal(bytes(b)))


# ---- the committed files of earlier versions -----------------------------------------------------


@by_name(KINDS)
def test_committed_state_files_still_load_and_answer_the_same(kind):
    versions = sorted(p for p in STATE_DIR.iterdir() if p.is_dir())
    assert versions, "no committed state files"
    for version in versions:
        data = (version / f"{kind.name}.bin").read_bytes()
        want = json.loads((version / f"{kind.name}.json").read_text(encoding="utf-8"))
        assert answers(kind, kind.cls.from_bytes(data)) == want, version.name
        assert pickle.loads(pickle.dumps(kind.cls.from_bytes(data))).to_bytes()[:-16] == data[:-16]


def test_the_format_is_the_same_on_every_platform():
    # Little-endian fixed-width fields: the header of a record is known bytes.
    m = L.PyBinaryClassificationStreaming([1, 0, 1], [1, 1, 0])
    b = m.to_bytes()
    assert b[:8] == b"LMST\x01\x00\x03\x00"
    assert struct.unpack_from("<Q", b, 8)[0] == len(b) == 16 + 4 + 7 * 4 + 4 * 8 + 4
    assert struct.unpack_from("<I", b, len(b) - 4)[0] == crc32c(b[:-4])
    assert outcome(lambda: L.PyBinaryClassificationStreaming.from_bytes(b).performance_snapshot()) == \
        outcome(m.performance_snapshot)
