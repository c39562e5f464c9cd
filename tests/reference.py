"""Independent single-precision reference of the pre-training metrics, using
the C library's own single-precision logarithm, for exact comparisons."""

import ctypes
import ctypes.util
import math

import numpy as np

_libm = ctypes.CDLL(ctypes.util.find_library("m"))
_libm.logf.restype = ctypes.c_float
_libm.logf.argtypes = [ctypes.c_float]

f32 = np.float32


def logf(x):
    return f32(_libm.logf(float(x)))


def pre_training(feature_mask, truth_mask):
    f = np.asarray(feature_mask, dtype=bool)
    t = np.asarray(truth_mask, dtype=bool)
    len_a, len_d = int(f.sum()), int((~f).sum())
    pos_a, pos_d = int((f & t).sum()), int((~f & t).sum())
    one, half = f32(1), f32(0.5)
    with np.errstate(all="ignore"):
        ci = f32(abs(len_a - len_d)) / f32(len_a + len_d)
        qa = f32(pos_a) / f32(len_a)
        qd = f32(pos_d) / f32(len_d)
        dpl = qa - qd
        kl = (one - qa) * logf((one - qa) / (one - qd)) + qa * logf(qa / qd)
        m = (qa + qd) * half
        pa = (one - qa) * logf((one - qa) / (one - m)) + qa * logf(qa / m)
        pd = (one - qd) * logf((one - qd) / (one - m)) + qd * logf(qd / m)
        js = (pa + pd) * half
        r = (one - qa) + (qd - one)
        lp = np.sqrt(r * r + dpl * dpl, dtype=np.float32)
        tvd = (abs(dpl) + abs(r)) * half
        ks = np.fmax(abs(r), abs(dpl))
    return {
        "ClassImbalance": ci,
        "DifferenceInProportionOfLabels": dpl,
        "KlDivergence": kl,
        "JsDivergence": js,
        "LpNorm": lp,
        "TotalVariationDistance": tvd,
        "KolmogorovSmirnov": ks,
    }


def same(a, b):
    """Equal as floats, NaN equal to NaN."""
    a, b = float(a), float(b)
    return (math.isnan(a) and math.isnan(b)) or a == b


def assert_metrics(actual, expected):
    assert list(actual) == list(expected)
    bad = {k: (actual[k], float(expected[k])) for k in expected if not same(actual[k], expected[k])}
    assert not bad, bad


def post_training(feature_mask, truth_mask, prediction_mask):
    """The post-training metrics (but the conditional demographic disparity
    and the generalized entropy), each in single precision as its definition
    writes it, and the set of those with a zero denominator."""
    f = np.asarray(feature_mask, dtype=bool)
    t = np.asarray(truth_mask, dtype=bool)
    p = np.asarray(prediction_mask, dtype=bool)

    def counts(side):
        return {k: f32(int(v.sum())) for k, v in {
            "n": side, "tp": side & t & p, "fp": side & ~t & p, "tn": side & ~t & ~p, "fn": side & t & ~p,
            "l": side & t, "pp": side & p}.items()}

    a, d = counts(f), counts(~f)
    out, undefined = {}, set()

    def ratio(x, y, name):
        if y == 0:
            undefined.add(name)
        return x / y

    with np.errstate(all="ignore"):
        names = {
            "DifferenceInPositivePredictedLabels": lambda: a["pp"] / a["n"] - d["pp"] / d["n"],
            "DisparateImpact": lambda: ratio(a["pp"] / a["n"], d["pp"] / d["n"], "DisparateImpact"),
            "AccuracyDifference": lambda: (a["tp"] + a["tn"]) / (a["tn"] + ((a["tp"] + a["fp"]) + a["fn"]))
            - (d["tp"] + d["tn"]) / (d["tn"] + ((d["tp"] + d["fp"]) + d["fn"])),
            "RecallDifference": lambda: ratio(a["tp"], a["tp"] + a["fn"], "RecallDifference")
            - ratio(d["tp"], d["tp"] + d["fn"], "RecallDifference"),
            "DifferenceInConditionalAcceptance": lambda: ratio(a["pp"], a["l"], "DifferenceInConditionalAcceptance")
            - ratio(d["pp"], d["l"], "DifferenceInConditionalAcceptance"),
            "DifferenceInAcceptanceRate": lambda: ratio(a["tp"], a["tp"] + a["fp"], "DifferenceInAcceptanceRate")
            - ratio(d["tp"], d["tp"] + d["fp"], "DifferenceInAcceptanceRate"),
            "SpecialityDifference": lambda: ratio(a["tn"], a["tn"] + a["fp"], "SpecialityDifference")
            - ratio(d["tn"], d["tn"] + d["fp"], "SpecialityDifference"),
            "DifferenceInConditionalRejection": lambda: ratio(d["n"] - d["l"], d["n"] - d["pp"],
                                                              "DifferenceInConditionalRejection")
            - ratio(a["n"] - a["l"], a["n"] - a["pp"], "DifferenceInConditionalRejection"),
            "DifferenceInRejectionRate": lambda: ratio(d["tn"], d["tn"] + d["fn"], "DifferenceInRejectionRate")
            - ratio(a["tn"], a["tn"] + a["fn"], "DifferenceInRejectionRate"),
            "TreatmentEquity": lambda: ratio(d["fn"], d["fp"], "TreatmentEquity")
            - ratio(a["fn"], a["fp"], "TreatmentEquity"),
        }
        for name, value in names.items():
            out[name] = f32(value())
    return out, undefined
