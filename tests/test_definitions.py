"""The differences from the usual definitions that docs/definitions.rst states.

Each test computes a metric with the engine and the usual form with
scikit-learn, SciPy or NumPy (or from the counts where no library has it), and
checks the conversion the documentation gives, or that the documented
difference is really there.
"""

from __future__ import annotations

import math

import numpy as np
import pytest

import _lumetra

scipy_stats = pytest.importorskip("scipy.stats")
scipy_distance = pytest.importorskip("scipy.spatial.distance")
skm = pytest.importorskip("sklearn.metrics")

F32 = dict(rel=2e-6, abs=1e-7)  # single-precision results against double references


def seg(values, threshold=1.0):
    return (np.asarray(values, dtype=np.float64), threshold, None, "GreaterThanEqualTo")


@pytest.fixture(scope="module")
def population():
    rng = np.random.default_rng(7)
    n = 2000
    facet = (rng.random(n) < 0.4).astype(np.int64)
    truth = (rng.random(n) < 0.3 + 0.2 * facet).astype(np.int64)
    pred = (rng.random(n) < 0.35 + 0.15 * facet).astype(np.int64)
    data = _lumetra.py_data_bias_analyzer_explicit_seg(*seg(facet), *seg(truth))
    model = _lumetra.py_model_bias_analyzer_explicit_seg(*seg(facet), *seg(truth), *seg(pred))
    return facet, truth, pred, data, model


# ------------------------------------------------------------------ data bias


def test_class_imbalance_is_the_magnitude_of_the_signed_form(population):
    facet, _, _, data, _ = population
    na, nd = int(facet.sum()), int((1 - facet).sum())
    signed = (na - nd) / (na + nd)
    assert signed < 0  # facet a is the smaller group here
    assert data["ClassImbalance"] == pytest.approx(abs(signed), **F32)
    assert math.copysign(data["ClassImbalance"], na - nd) == pytest.approx(signed, **F32)


def test_kl_and_js_match_scipy_in_nats(population):
    facet, truth, _, data, _ = population
    qa, qd = truth[facet == 1].mean(), truth[facet == 0].mean()
    pa, pd = [1 - qa, qa], [1 - qd, qd]
    assert data["KlDivergence"] == pytest.approx(scipy_stats.entropy(pa, pd), **F32)
    assert data["JsDivergence"] == pytest.approx(scipy_distance.jensenshannon(pa, pd) ** 2, rel=1e-5)
    dpl = qa - qd
    assert data["LpNorm"] == pytest.approx(math.sqrt(2) * abs(dpl), **F32)
    assert data["TotalVariationDistance"] == pytest.approx(abs(dpl), **F32)
    assert data["KolmogorovSmirnov"] == pytest.approx(abs(dpl), **F32)


def test_kl_and_js_take_no_epsilon_at_a_rate_of_zero():
    # q_a = 0.5, q_d = 0: SciPy takes 0 * ln 0 = 0; the engine does not.
    out = _lumetra.py_data_bias_analyzer_explicit_seg(*seg([1, 1, 0, 0]), *seg([1, 0, 0, 0]))
    assert math.isinf(out["KlDivergence"])
    assert math.isinf(scipy_stats.entropy([0.5, 0.5], [1.0, 0.0]))
    assert math.isnan(out["JsDivergence"])
    assert scipy_distance.jensenshannon([0.5, 0.5], [1.0, 0.0]) ** 2 == pytest.approx(0.2158, abs=1e-4)


# ----------------------------------------------------------------- model bias


def test_rates_and_their_directions_match_scikit_learn_per_facet(population):
    facet, truth, pred, _, model = population
    a, d = facet == 1, facet == 0

    def diff(fn, first, second, **kw):
        return fn(truth[first], pred[first], **kw) - fn(truth[second], pred[second], **kw)

    expected = {
        "RecallDifference": diff(skm.recall_score, a, d),
        "AccuracyDifference": diff(skm.accuracy_score, a, d),
        "DifferenceInAcceptanceRate": diff(skm.precision_score, a, d),
        "SpecialityDifference": diff(skm.recall_score, a, d, pos_label=0),
        "DifferenceInRejectionRate": diff(skm.precision_score, d, a, pos_label=0),
        "DifferenceInPositivePredictedLabels": pred[a].mean() - pred[d].mean(),
    }
    for name, value in expected.items():
        assert model[name] == pytest.approx(value, **F32), name


def test_disparate_impact_is_the_inverse_of_the_four_fifths_form(population):
    facet, _, pred, _, model = population
    rate_a, rate_d = pred[facet == 1].mean(), pred[facet == 0].mean()
    four_fifths = rate_d / rate_a  # disadvantaged (d) over advantaged (a)
    assert 1 / model["DisparateImpact"] == pytest.approx(four_fifths, **F32)
    parity_ratio = min(rate_a, rate_d) / max(rate_a, rate_d)  # fairlearn's ratio
    di = model["DisparateImpact"]
    assert min(di, 1 / di) == pytest.approx(parity_ratio, **F32)


def test_conditional_acceptance_is_predicted_over_actual(population):
    facet, truth, pred, _, model = population
    a, d = facet == 1, facet == 0
    ours = pred[a].sum() / truth[a].sum() - pred[d].sum() / truth[d].sum()
    usual = truth[a].sum() / pred[a].sum() - truth[d].sum() / pred[d].sum()
    assert model["DifferenceInConditionalAcceptance"] == pytest.approx(ours, **F32)
    assert abs(ours - usual) > 1e-3
    # Conditional rejection keeps the usual orientation: observed over predicted negatives.
    rej = lambda m: (m.sum() - truth[m].sum()) / (m.sum() - pred[m].sum())  # noqa: E731
    assert model["DifferenceInConditionalRejection"] == pytest.approx(rej(d) - rej(a), **F32)


@pytest.mark.parametrize("size_a", [40, 50, 70])
def test_conditional_demographic_disparity_reduces_to_facet_d(size_a):
    rng = np.random.default_rng(size_a)
    n = 100
    facet = np.zeros(n, dtype=np.int64)
    facet[:size_a] = 1
    truth = rng.integers(0, 2, n)
    pred = (rng.random(n) < np.where(facet == 1, 0.7, 0.3)).astype(np.int64)
    model = _lumetra.py_model_bias_analyzer_explicit_seg(*seg(facet), *seg(truth), *seg(pred))
    na, nd = size_a, n - size_a
    pa, pd = pred[facet == 1].sum(), pred[facet == 0].sum()
    dd = (nd - pd) / (n - pa - pd) - pd / (pa + pd)
    value = model["ConditionalDemographicDesparityPredictedLabels"]
    assert value == pytest.approx(dd * (nd - na) / n, rel=1e-5, abs=1e-6)
    if na == nd:
        assert abs(value) < 1e-6 and abs(dd) > 0.1  # a real disparity, reported as 0
    else:
        assert value * n / (nd - na) == pytest.approx(dd, rel=1e-4)


def test_generalized_entropy_benefits_and_normalisation(population):
    _, truth, pred, _, model = population
    n = len(truth)
    ours_b = np.where(truth == 1, pred.astype(float), 2.0)
    plain_sum = ((ours_b / ours_b.mean()) ** 2 - 1).sum()
    assert model["GeneralizedEntropy"] == pytest.approx(plain_sum, rel=1e-4)
    usual_b = pred - truth + 1.0
    usual = ((usual_b / usual_b.mean()) ** 2 - 1).sum() / (2 * n)
    assert abs(model["GeneralizedEntropy"] / (2 * n) - usual) > 1e-3
    # The usual index from the confusion counts, as the documentation writes it.
    tp = int(((truth == 1) & (pred == 1)).sum())
    tn = int(((truth == 0) & (pred == 0)).sum())
    fp = int(((truth == 0) & (pred == 1)).sum())
    mu = (tp + tn + 2 * fp) / n
    assert ((tp + tn) / mu**2 + 4 * fp / mu**2 - n) / (2 * n) == pytest.approx(usual, rel=1e-12)


# ---------------------------------------------------------------- performance


def test_mape_is_infinite_at_a_zero_truth_and_equal_otherwise():
    pred = np.array([2.5, 0.5, 2.0, 4.0])
    with_zero = np.array([3.0, 0.0, 2.0, 5.0])
    ours = _lumetra.py_model_perf_linear_regression(with_zero, pred)["MeanAbsolutePercentageError"]
    assert math.isinf(ours)
    assert 1e14 < skm.mean_absolute_percentage_error(with_zero, pred) < 1e15
    without = np.array([3.0, 1.0, 2.0, 5.0])
    ours = _lumetra.py_model_perf_linear_regression(without, pred)["MeanAbsolutePercentageError"]
    assert ours == pytest.approx(skm.mean_absolute_percentage_error(without, pred), **F32)


def test_regression_matches_scikit_learn_on_single_precision_inputs():
    rng = np.random.default_rng(3)
    t = rng.gamma(2.0, 2.0, 500)
    p = t + rng.normal(0, 0.7, 500)
    p = np.maximum(p, 0.0)
    ours = _lumetra.py_model_perf_linear_regression(t, p)
    t32, p32 = t.astype(np.float32).astype(float), p.astype(np.float32).astype(float)
    expected = {
        "MeanSquaredError": skm.mean_squared_error(t32, p32),
        "MeanAbsoluteError": skm.mean_absolute_error(t32, p32),
        "RSquared": skm.r2_score(t32, p32),
        "MaxError": skm.max_error(t32, p32),
        "MeanSquaredLogError": skm.mean_squared_log_error(t32, p32),
    }
    for name, value in expected.items():
        assert ours[name] == pytest.approx(value, rel=1e-5), name
    with pytest.raises(ValueError):
        skm.mean_squared_log_error([-2.0, 1.0], [1.0, 1.0])
    below = _lumetra.py_model_perf_linear_regression(np.array([-2.0, 1.0]), np.array([1.0, 1.0]))
    assert math.isnan(below["MeanSquaredLogError"])


def test_log_loss_upper_clamp_is_one_and_lower_clamp_is_the_epsilon():
    assert np.float32(1.0) - np.float32(1e-12) == np.float32(1.0)
    truth, scores = np.array([0.0, 1.0, 1.0, 0.0]), np.array([1.0, 0.9, 0.7, 0.2])
    assert math.isinf(_lumetra.py_model_perf_logistic_regression(truth, scores, 0.5)["LogLoss"])
    assert math.isfinite(skm.log_loss(truth, scores))
    # A positive truth scored 0 costs -ln(1e-12) here, -ln(2.2e-16) in scikit-learn.
    one = _lumetra.py_model_perf_logistic_regression(np.array([1.0]), np.array([0.0]), 0.5)["LogLoss"]
    assert one == pytest.approx(-math.log(1e-12), rel=1e-6)
    assert skm.log_loss([1.0], [0.0], labels=[0, 1]) == pytest.approx(-math.log(np.finfo(float).eps), rel=1e-6)
    # Confident and right costs nothing.
    right = _lumetra.py_model_perf_logistic_regression(np.array([1.0, 0.0]), np.array([1.0, 0.0]), 0.5)
    assert right["LogLoss"] == 0.0


def test_log_loss_agrees_with_scikit_learn_on_clipped_single_precision_scores():
    rng = np.random.default_rng(11)
    truth = rng.integers(0, 2, 1000).astype(float)
    scores = np.clip(rng.beta(0.3, 0.3, 1000), 0.0, 1.0)
    clipped = np.clip(scores, 1e-7, 1 - 1e-7).astype(np.float32)
    ours = _lumetra.py_model_perf_logistic_regression(truth, clipped.astype(float), 0.5)["LogLoss"]
    assert ours == pytest.approx(skm.log_loss(truth, clipped.astype(float)), rel=1e-5)


def test_zero_denominators_are_nan_where_scikit_learn_returns_zero():
    truth, pred = np.array([0, 0, 1, 1]), np.array([0, 0, 0, 0])
    ours = _lumetra.py_model_perf_classification(truth, pred)
    assert math.isnan(ours["PrecisionPositive"]) and math.isnan(ours["F1Score"])
    assert skm.precision_score(truth, pred, zero_division=0) == 0.0
    one_class, pred = np.array([0, 0, 0, 0]), np.array([0, 1, 0, 0])
    assert math.isnan(_lumetra.py_model_perf_classification(one_class, pred)["BalancedAccuracy"])
    with pytest.warns(UserWarning):
        assert skm.balanced_accuracy_score(one_class, pred) == pytest.approx(0.75)
    truth, pred = np.array([0, 1, 1, 0, 1]), np.array([0, 1, 0, 1, 1])
    ours = _lumetra.py_model_perf_classification(truth, pred)
    for name, fn in [("BalancedAccuracy", skm.balanced_accuracy_score), ("F1Score", skm.f1_score)]:
        assert ours[name] == pytest.approx(fn(truth, pred), **F32)


def test_classification_counts_only_exactly_one_as_positive():
    ours = _lumetra.py_model_perf_classification(np.array([1, 2, 0, 1]), np.array([1, 2, 2, 0]))
    # 2 is negative on both sides: TP 1, FN 1, TN 2 (the pairs 2/2 and 0/2).
    assert ours["RecallPositive"] == 0.5 and ours["RecallNegative"] == 1.0


# ---------------------------------------------------------------------- drift


@pytest.fixture(scope="module")
def samples():
    rng = np.random.default_rng(1)
    return rng.normal(0, 1, 5000), rng.normal(0.3, 1.2, 3000)


def snapshot(reference, current, rule="FreedmanDiaconis"):
    stream = _lumetra.PyStreamingContinuousDataDriftFlush(reference, rule, len(current) + 1, None)
    stream.update_stream_batch(current)
    snap = stream.export_snapshot()
    return np.array(snap["baselineBins"]), np.array(snap["streamBins"]), np.array(snap["binEdges"])


def test_drift_js_is_in_bits_and_kl_takes_the_baseline_as_reference(samples):
    reference, current = samples
    js, kl = _lumetra.py_compute_drift_continuous_distribtuion(
        reference, current, ["JensenShannon", "KullbackLeibler"], None
    )
    p, q, _ = snapshot(reference, current)
    assert js == pytest.approx(scipy_distance.jensenshannon(p, q, base=2) ** 2, rel=1e-6)
    eps = 1e-12
    assert kl == pytest.approx(scipy_stats.entropy(p + eps, q + eps), rel=1e-6)
    assert abs(kl - scipy_stats.entropy(q + eps, p + eps)) > 1e-3


def test_continuous_wasserstein_is_a_mean_of_share_differences(samples):
    reference, current = samples
    (ours,) = _lumetra.py_compute_drift_continuous_distribtuion(reference, current, ["WassersteinDistance"], None)
    p, q, edges = snapshot(reference, current)
    assert ours == pytest.approx(np.abs(p[1:-1] - q[1:-1]).mean(), rel=1e-6)
    emd = scipy_stats.wasserstein_distance(reference, current)
    assert emd > 10 * ours
    # The documented approximation from the histograms.
    approx = (edges[1] - edges[0]) * np.abs(np.cumsum(p) - np.cumsum(q))[:-1].sum()
    assert approx == pytest.approx(emd, rel=0.05)


def test_categorical_wasserstein_is_the_total_variation_distance():
    rng = np.random.default_rng(2)
    a = list(rng.choice(list("abc"), 1000, p=[0.5, 0.3, 0.2]))
    b = list(rng.choice(list("abcd"), 800, p=[0.4, 0.3, 0.2, 0.1]))
    (ours,) = _lumetra.py_compute_drift_categorical_distribtuion(a, b, ["WassersteinDistance"])
    pa = np.array([a.count(x) / len(a) for x in "abcd"])
    pb = np.array([b.count(x) / len(b) for x in "abcd"])
    assert ours == pytest.approx(0.5 * np.abs(pa - pb).sum(), rel=1e-9)


@pytest.mark.parametrize(
    "rule, numpy_rule, ours_total, numpy_bins",
    [("FreedmanDiaconis", "fd", 5, 5), ("Scott", "scott", 5, 5), ("Sturges", "sturges", 7, 8)],
)
def test_bin_rules_count_the_open_bins_that_numpy_does_not(rule, numpy_rule, ours_total, numpy_bins):
    x = np.arange(100.0)
    detector = _lumetra.PyContinuousDataDrift(x, rule)
    assert detector.num_bins == ours_total
    assert len(np.histogram_bin_edges(x, numpy_rule)) - 1 == numpy_bins
    # The data range gets B - 2 bins: FreedmanDiaconis on 0..99 lays 3 bins 33 wide.
    _, _, edges = snapshot(x, x, rule)
    assert len(edges) == ours_total - 2
    assert edges[1] - edges[0] == pytest.approx(99 / (ours_total - 2))


def test_scott_uses_the_sample_deviation_and_349(samples):
    reference, _ = samples
    n = len(reference)
    spread = reference.max() - reference.min()
    h = n ** (-1 / 3) * 3.49 * reference.std(ddof=1)
    assert _lumetra.PyContinuousDataDrift(reference, "Scott").num_bins == max(math.ceil(spread / h), 3)
    numpy_h = (24 * math.sqrt(math.pi) / n) ** (1 / 3) * reference.std()
    assert len(np.histogram_bin_edges(reference, "scott")) - 1 == math.ceil(spread / numpy_h)
