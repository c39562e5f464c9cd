"""lumetra demo: monitoring statistics on a real data set.

Uses the diabetes data set that scikit-learn ships inside its package (442
patients, ten baseline measurements and a disease-progression score one year
later), so it runs offline.
"""

import numpy as np
from sklearn.datasets import load_diabetes

import _lumetra


def show(title, values):
    print(f"\n== {title}")
    if isinstance(values, dict):
        width = max(len(k) for k in values) if values else 0
        for key, value in values.items():
            shown = f"{value:.6f}" if isinstance(value, float) else value
            print(f"  {key:<{width}}  {shown}")
    else:
        print(f"  {values}")


def data_bias(data):
    sex = data.data[:, data.feature_names.index("sex")]  # coded 1.0 and 2.0
    age = data.data[:, data.feature_names.index("age")]
    progression = data.target
    median = float(np.median(progression))

    # The sex column holds two distinct values, so the label 2.0 is matched;
    # the progression score has hundreds, so the median becomes a threshold.
    show(
        f"Pre-training bias: sex == 2 against progression >= {median}",
        _lumetra.py_data_bias_analyzer(sex, progression, 2.0, median),
    )
    # The same question asked explicitly, for patients aged 50 and over.
    show(
        f"Pre-training bias: age >= 50 against progression > {median}",
        _lumetra.py_data_bias_analyzer_explicit_seg(
            age, 50.0, None, "GreaterThanEqualTo", progression, median, None, "GreaterThan"
        ),
    )


# ---- data drift ----------------------------------------------------------------

DRIFT_METRICS = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]


def data_drift(data):
    bmi = data.data[:, data.feature_names.index("bmi")].astype(np.float64)
    age = data.data[:, data.feature_names.index("age")]
    sex = data.data[:, data.feature_names.index("sex")]
    young, old = bmi[age < 50], bmi[age >= 50]

    # Continuous drift: the body-mass index of patients under 50 is the baseline,
    # that of patients aged 50 and over the runtime slice.
    detector = _lumetra.PyContinuousDataDrift(young, "FreedmanDiaconis")
    scores = detector.compute_drift_mutliple_criteria(old, DRIFT_METRICS)
    show(f"Data drift of BMI, age >= 50 against age < 50 ({detector.num_bins} bins)",
         dict(zip(DRIFT_METRICS, scores)))
    # A slice drawn like the baseline scores close to zero.
    show("Data drift of BMI, the baseline against itself",
         dict(zip(DRIFT_METRICS, detector.compute_drift_mutliple_criteria(young, DRIFT_METRICS))))

    # Categorical drift: the sex mix of the two age groups.
    labels = np.where(sex == 1.0, "sex-1", "sex-2")
    show("Data drift of the sex mix, age >= 50 against age < 50",
         dict(zip(DRIFT_METRICS, _lumetra.py_compute_drift_categorical_distribtuion(
             labels[age < 50], labels[age >= 50], DRIFT_METRICS))))

    # Streaming: patients arrive one by one, oldest first. A flush-mode detector
    # keeps windows of 100 patients; a decay-mode detector ages its counts by
    # one half-life of 4 drift computations at each computation.
    order = np.argsort(age)
    windowed = _lumetra.PyStreamingContinuousDataDriftFlush(young, None, 100, None)
    fading = _lumetra.PyStreamingContinuousDataDriftDecay(young, None, 4)
    trail = {}
    for count, i in enumerate(order, start=1):
        windowed.update_stream(float(bmi[i]))
        fading.update_stream(float(bmi[i]))
        if count % 100 == 0:
            trail[f"after {count} patients (window holds {windowed.total_samples})"] = (
                f"window JS {windowed.compute_drift('JensenShannon'):.4f}, "
                f"decayed JS {fading.compute_drift('JensenShannon'):.4f} "
                f"(effective samples {fading.total_samples})"
            )
    show("Streaming drift of BMI as older patients arrive", trail)


def main():
    data = load_diabetes(scaled=False)
    print(f"diabetes data set: {data.data.shape[0]} patients, {data.data.shape[1]} features")
    data_bias(data)
    data_drift(data)


if __name__ == "__main__":
    main()
