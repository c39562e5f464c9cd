"""Post-training bias analysis: values, directions, guard order, labelling order."""

import os
import subprocess
import sys

import numpy as np
import pytest

import _lumetra as L
from surface import FUNCTIONS
from vocabulary import MODEL_BIAS as METRICS

LENGTH_MSG = "All data arrays must have equal length and be at least lenght 1"
FACET_MSG = "No deviation in behavior between facets"
CONFIG_MSG = "Invalid bias configuration"


def population(groups):
    """Arrays (feature, truth, prediction) from {(in_a, gt, pred): count}."""
    f, g, p = [], [], []
    for (a, gt, pr), n in groups.items():
        f += [a] * n
        g += [gt] * n
        p += [pr] * n
    return np.array(f), np.array(g), np.array(p)


# Facet a: (gt, pred) = (1,1) x3, (0,1), (0,0) x2, (1,0); facet d: (1,1), (0,1), (0,0) x3, (1,0) x2.
UNEVEN = {
    (1, 1, 1): 3, (1, 0, 1): 1, (1, 0, 0): 2, (1, 1, 0): 1,
    (0, 1, 1): 1, (0, 0, 1): 1, (0, 0, 0): 3, (0, 1, 0): 2,
}
UNEVEN_VALUES = {
    "DifferenceInPositivePredictedLabels": 0.2857143,
    "DisparateImpact": 2.0,
    "AccuracyDifference": 0.14285713,
    "RecallDifference": 0.41666666,
    "DifferenceInConditionalAcceptance": 0.33333331,
    "DifferenceInAcceptanceRate": 0.25,
    "SpecialityDifference": -0.083333313,
    "DifferenceInConditionalRejection": -0.19999999,
    "DifferenceInRejectionRate": -0.06666666,
    "TreatmentEquity": 1.0,
    "GeneralizedEntropy": 5.3580246,
}


def f32(x):
    return float(np.float32(x))


def analyse(f, g, p, fl=1, gl=1, pl=1):
    return L.py_model_bias_analyzer(f, g, p, fl, gl, pl)


def check_uneven(result):
    assert list(result) == METRICS
    for name, expected in UNEVEN_VALUES.items():
        assert result[name] == f32(expected), name
    assert abs(result["ConditionalDemographicDesparityPredictedLabels"]) < 1e-7


def encodings():
    f, g, p = population(UNEVEN)
    yield "int64", (f, g, p, 1, 1, 1)
    yield "bool", (f.astype(bool), g.astype(bool), p.astype(bool), True, 1, True)
    yield "int8 strided", (np.repeat(f.astype(np.int8), 2)[::2], g.astype(np.uint8), p.astype(np.int32), 1, 1, 1)
    yield "strings", (np.where(f == 1, "F", "M"), np.where(g == 1, "y", "n"), np.where(p == 1, "y", "n"), "F", "y", "y")
    yield "object strings", (np.where(f == 1, "F", "M").astype(object), g, p, "F", 1, 1)
    yield "floats", (f.astype(np.float32), g.astype(float), p.astype(">f8"), 1.0, 1.0, 1)


@pytest.mark.parametrize("name,args", list(encodings()), ids=[n for n, _ in encodings()])
def test_uneven_population_in_every_encoding(name, args):
    check_uneven(L.py_model_bias_analyzer(*args))


def test_explicit_segmentation_matches_implicit():
    f, g, p = population(UNEVEN)
    r = L.py_model_bias_analyzer_explicit_seg(
        np.where(f == 1, "F", "M"), None, "F", None,
        g.astype(float), 0.5, None, "GreaterThan",
        p.astype(float), 1.0, None, "GreaterThanEqualTo",
    )
    check_uneven(r)
    kw = L.py_model_bias_analyzer_explicit_seg(
        feature_array=f.astype(float), feat_segmentation_threshold=0.0, feat_segmentation_label=None,
        feat_threshold_type="GreaterThan", ground_truth_array=g.astype(float), gt_segmentation_threshold=1.0,
        gt_segmentation_label=None, gt_threshold_type="GreaterThanEqualTo", prediction_array=p.astype(float),
        pred_segmentation_threshold=0.5, pred_segmentation_label=None, pred_threshold_type="GreaterThan",
    )
    assert kw == r


def test_mirrored_facets_show_no_difference():
    f, g, p = population({(a, gt, pr): 1 for a in (1, 0) for gt, pr in [(1, 1), (0, 1), (0, 0), (1, 0)]})
    r = analyse(f, g, p)
    for name in METRICS:
        if name == "DisparateImpact":
            assert r[name] == 1.0
        elif name == "GeneralizedEntropy":
            assert r[name] == pytest.approx(3.52, rel=1e-6)
        else:
            assert r[name] == 0.0, name


def test_conditional_demographic_disparity_weights_facets_by_size():
    # Facet a: 4 elements, 1 accepted (a false positive); facet d: 6 elements,
    # 3 accepted. D_a = 3/6 - 1/4 = 0.25, D_d = 3/6 - 3/4 = -0.25, weighted by
    # size: (-0.25 * 6 + 0.25 * 4) / 10. Swapped weights or a reversed
    # disparity would give +0.05.
    groups = {(1, 1, 0): 2, (1, 0, 1): 1, (1, 0, 0): 1, (0, 1, 1): 2, (0, 0, 1): 1, (0, 0, 0): 2, (0, 1, 0): 1}
    r = analyse(*population(groups))
    assert r["ConditionalDemographicDesparityPredictedLabels"] == f32(-0.05)


def test_cells_past_single_precision_range_are_counted_exactly():
    # 3 * 2^23 false negatives in facet a: counted one float at a time the
    # cell would stop growing at 2^24.
    big = 3 << 23
    groups = {(1, 1, 0): big, (1, 1, 1): 1, (1, 0, 1): 1, (1, 0, 0): 1,
              (0, 1, 1): 1, (0, 1, 0): 1, (0, 0, 1): 1, (0, 0, 0): 1}
    counts = list(groups.values())
    f, g, p = (np.repeat(np.array([k[i] for k in groups], dtype=np.int8), counts) for i in range(3))
    r = analyse(f, g, p)
    assert r["TreatmentEquity"] == float(np.float32(1) - np.float32(big))
    assert r["DifferenceInPositivePredictedLabels"] == float(
        np.float32(2) / np.float32(big + 3) - np.float32(0.5))


@pytest.mark.parametrize(
    "groups,message",
    [
        pytest.param({(1, 1, 1): 2, (1, 0, 0): 2}, LENGTH_MSG, id="facet d empty"),
        pytest.param({(0, 1, 1): 2, (0, 0, 1): 2, (0, 0, 0): 1}, LENGTH_MSG, id="facet a empty"),
        pytest.param({(1, 1, 1): 1, (1, 0, 1): 1, (1, 0, 0): 1, (0, 1, 0): 2, (0, 0, 0): 2}, FACET_MSG,
                     id="facet d never predicted positive"),
        pytest.param({(1, 1, 0): 1, (1, 0, 0): 1, (0, 1, 1): 1, (0, 0, 1): 1, (0, 0, 0): 1}, FACET_MSG,
                     id="facet a never predicted positive"),
        pytest.param({(1, 0, 1): 1, (1, 0, 0): 1, (0, 1, 1): 1, (0, 0, 1): 1, (0, 0, 0): 1}, FACET_MSG,
                     id="facet a without positive truth"),
        pytest.param({(1, 1, 1): 1, (1, 0, 1): 1, (0, 1, 1): 1, (0, 0, 1): 1, (0, 0, 0): 1}, FACET_MSG,
                     id="facet a predicted positive throughout"),
        pytest.param({(1, 1, 1): 1, (1, 0, 1): 1, (1, 0, 0): 1, (1, 1, 0): 1,
                      (0, 1, 1): 1, (0, 0, 0): 1, (0, 1, 0): 1}, FACET_MSG, id="facet d without false positive"),
    ],
)
def test_guards(groups, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        analyse(*population(groups))


@pytest.mark.parametrize("lengths", [(4, 4, 3), (4, 3, 4), (3, 4, 4), (0, 0, 0)])
def test_lengths_must_agree(lengths):
    arrays = [np.array([1, 0, 1, 0][:n]) for n in lengths]
    with pytest.raises(ValueError, match=f"^{LENGTH_MSG}$"):
        analyse(*arrays)


def test_implicit_labelling_order_prediction_truth_feature():
    a = np.array([1, 0, 1, 0])
    # Prediction error (overflow) wins over truth and feature errors (TypeError).
    with pytest.raises(OverflowError):
        analyse(a, a, a, fl="x", gl="x", pl=2**70)
    # Then the truth's error wins over the feature's.
    with pytest.raises(OverflowError):
        analyse(a, a, a, fl="x", gl=2**70, pl=1)
    with pytest.raises(TypeError, match="^Data passed in is of hetergeneous types$"):
        analyse(a, a, a, fl="x", gl=1, pl=1)


def test_explicit_segmentation_failures():
    a = np.array([1.0, 0.0, 1.0, 0.0])
    good = (0.5, None, "GreaterThan")
    for bad in [(None, None, None), (0.5, "x", "GreaterThan"), (0.5, None, "greaterthan"), (None, "1", None)]:
        for position in range(3):
            specs = [good, good, good]
            specs[position] = bad
            args = []
            for spec in specs:
                args += [a, *spec]
            with pytest.raises(ValueError, match=f"^{CONFIG_MSG}$"):
                L.py_model_bias_analyzer_explicit_seg(*args)


@pytest.mark.parametrize(
    "index,name", [(0, "feature_array"), (1, "ground_truth_array"), (2, "prediction_array")]
)
def test_arrays_are_checked_in_parameter_order(index, name):
    a = np.array([1, 0])
    args = [a, a, a, 1, 1, 1]
    for later in range(index, 3):
        args[later] = [1, 0]
    with pytest.raises(TypeError, match=f"^argument '{name}': 'list' object cannot be converted to 'PyUntypedArray'"):
        L.py_model_bias_analyzer(*args)


def test_explicit_threshold_type_is_checked_as_argument():
    a = np.array([1.0, 0.0])
    with pytest.raises(TypeError, match="^argument 'pred_segmentation_threshold'"):
        L.py_model_bias_analyzer_explicit_seg(a, 0.5, None, "GreaterThan", a, 0.5, None, "GreaterThan",
                                              a, "0.5", None, "GreaterThan")


def test_order_of_elements_only_matters_through_generalized_entropy_rounding():
    f, g, p = population(UNEVEN)
    r = analyse(f[::-1], g[::-1], p[::-1])
    for name in METRICS:
        assert r[name] == pytest.approx(analyse(f, g, p)[name], abs=1e-6)


def test_docstrings_are_signatures_only():
    assert L.py_model_bias_analyzer.__doc__ is None
    for name in ("py_model_bias_analyzer", "py_model_bias_analyzer_explicit_seg"):
        assert getattr(L, name).__text_signature__ == FUNCTIONS[name]


_TURNING = """
import sys
import numpy as np
import _lumetra as L

def columns(case, n=600_000):
    # (feature, its value, thresholded?, truth, its value, thresholded?) of a
    # long column whose distinct count runs beside the counting (or, on one
    # thread, inline); at this length a column of 20,000 values stays label
    # matched, 60,000 do not.
    rng = np.random.default_rng(21)
    late = rng.integers(0, 20, n).astype(np.float64)
    late[-(n // 8):] = np.arange(n // 8) + 0.5
    outcome = rng.integers(0, 2, n).astype(np.float64)
    normal = rng.normal(size=n)
    # Near the limit early (10,000 values first), turning late; the truth
    # turns between, so counting both ways starts twice.
    twice = late.copy()
    twice[: n // 60] = np.arange(n // 60) + 0.25
    middle = rng.integers(0, 20, n).astype(np.float64)
    middle[n // 3:] = rng.normal(size=n - n // 3)
    return {
        "continuous": (normal, 0.0, True, outcome, 1.0, False),
        "continuous late": (late, 10.0, True, outcome, 1.0, False),
        "many values, matched": (rng.integers(0, 20_000, n).astype(np.float64), 10_000.0, False, outcome, 1.0, False),
        "truth continuous too": (normal, 0.0, True, rng.normal(size=n), 0.5, True),
        "truth continuous first": (late, 10.0, True, rng.normal(size=n), 0.5, True),
        "truth turning between": (twice, 10.0, True, middle, 0.5, True),
    }[case]

def group(column, value, thresholded):
    return column >= value if thresholded else column == value

feature, fv, f_thresholded, truth, tv, t_thresholded = columns(sys.argv[1])
prediction = np.random.default_rng(5).integers(0, 2, feature.size).astype(np.float64)
want = L.py_model_bias_analyzer(group(feature, fv, f_thresholded), group(truth, tv, t_thresholded),
                                prediction == 1.0, True, True, True)
want_data = L.py_data_bias_analyzer(group(feature, fv, f_thresholded), group(truth, tv, t_thresholded), True, True)
print(L.py_model_bias_analyzer(feature, truth, prediction, fv, tv, 1.0) == want,
      L.py_data_bias_analyzer(feature, truth, fv, tv) == want_data)
"""


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("case", ["continuous", "continuous late", "many values, matched", "truth continuous too",
                                  "truth continuous first", "truth turning between"])
def test_long_columns_whose_grouping_turns_match_their_masks(case, threads):
    # Model and data bias alike: a feature nearing thresholding is counted
    # both ways until its count decides, and only the blocks before that are
    # counted again; when another column's grouping turns as well, everything
    # is (on one thread, two columns of distinct values turn at the same
    # block), and counting both ways starts afresh. Either way the result is
    # that of the masks the final groupings give.
    env = {k: v for k, v in os.environ.items() if not k.startswith("LUMETRA_")}
    env["LUMETRA_THREADS"] = threads
    out = subprocess.run([sys.executable, "-c", _TURNING, case], env=env, capture_output=True, text=True)
    assert (out.returncode, out.stdout.split()) == (0, ["True", "True"]), out.stderr
