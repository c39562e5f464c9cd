"""lumetra demo: monitoring statistics on a real data set.

Uses the diabetes data set that scikit-learn ships inside its package (442
patients, ten baseline measurements and a disease-progression score one year
later), so it runs offline.
"""

import numpy as np
import pandas as pd
from sklearn.datasets import load_diabetes

import _lumetra
import lumetra


def show(title, values):
    print(f"\n== {title}")
    if isinstance(values, dict):
        width = max(len(k) for k in values) if values else 0
        for key, value in values.items():
            shown = f"{value:.6f}" if isinstance(value, float) else value
            print(f"  {key:<{width}}  {shown}")
    else:
        print(f"  {values}")


def dataframes(data):
    # The package takes the columns of a DataFrame (pandas here; polars and
    # pyarrow Tables work the same) and compares every group at once.
    frame = pd.DataFrame(data.data, columns=data.feature_names)
    frame["sex"] = frame["sex"].map({1.0: "sex-1", 2.0: "sex-2"})
    frame["age band"] = pd.cut(frame["age"], [0, 40, 50, 60, 120], right=False,
                               labels=["under 40", "40-49", "50-59", "60 and over"])
    frame["progression"] = data.target
    median = float(np.median(data.target))
    frame["high BMI"] = (frame["bmi"] > frame["bmi"].median()).astype(np.int64)  # a simple "model"
    frame.loc[frame.index % 37 == 0, "bp"] = np.nan  # a few missing blood pressures

    pd.set_option("display.width", 140)
    pd.set_option("display.max_columns", 8)
    print(f"\n== Data bias of each age band against the rest (progression >= {median})")
    print(lumetra.data_bias(frame, "age band", "progression", label_threshold=median)
          [["age band", "n", "n_other", "ClassImbalance", "DifferenceInProportionOfLabels", "error"]])

    print("\n== Model bias of each sex and age band against sex-1 under 40 (prediction: high BMI)")
    result = lumetra.model_bias(frame, ["sex", "age band"], "progression", "high BMI", label_threshold=median,
                                predicted_positive=1, reference=("sex-1", "under 40"))
    print(result[["sex", "age band", "n", "n_other", "DisparateImpact", "AccuracyDifference", "error"]])

    print("\n== Regression of progression on blood pressure per sex (rows without bp left out)")
    slope, intercept = np.polyfit(frame["bp"].dropna(), frame["progression"][frame["bp"].notna()], 1)
    frame["predicted"] = slope * frame["bp"] + intercept
    print(lumetra.performance(frame, "progression", "predicted", task="regression", facet="sex", missing="drop")
          [["sex", "n", "RootMeanSquaredError", "MeanAbsoluteError", "RSquared"]])

    print("\n== Drift of four columns, patients aged 50 and over against those under 50")
    older, younger = frame[frame["age"] >= 50], frame[frame["age"] < 50]
    print(lumetra.drift(younger, older, columns=["bmi", "bp", "s5", "sex"], missing="drop"))


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
    # A segmentation given explicitly: patients aged 50 and over as facet a,
    # progression strictly above the median as the positive outcome.
    show(
        f"Pre-training bias: age >= 50 against progression > {median}",
        _lumetra.py_data_bias_analyzer_explicit_seg(
            age, 50.0, None, "GreaterThanEqualTo", progression, median, None, "GreaterThan"
        ),
    )


def show_report(title, report):
    print(f"\n== {title}")
    print(f"  passed: {report['passed']}")
    for entry in report.get("failed_report", []):
        print(f"  failed  {entry['metric']:<48} drift {entry['drift']:.6f}")


def model_bias(data):
    # A deliberately simple "model": predict progression above the median for
    # patients whose BMI is above its median. Facet a is sex == 2.
    sex = data.data[:, data.feature_names.index("sex")]
    bmi = data.data[:, data.feature_names.index("bmi")]
    progression = data.target
    median = float(np.median(progression))
    truth = (progression > median).astype(np.int64)
    prediction = (bmi > np.median(bmi)).astype(np.int64)
    baseline = _lumetra.py_model_bias_analyzer(sex, truth, prediction, 2.0, 1, 1)
    show("Post-training bias: sex == 2, BMI model of progression", baseline)

    # Later data from the same model: the first half of the patients only.
    half = len(sex) // 2
    latest = _lumetra.py_model_bias_analyzer(sex[:half], truth[:half], prediction[:half], 2.0, 1, 1)
    show_report(
        "Runtime check of the first half against the whole", _lumetra.py_model_bias_runtime_check(baseline, latest)
    )
    show_report(
        "Partial check of DisparateImpact with a 25% tolerance",
        _lumetra.py_model_bias_partial_check(baseline, latest, ["DisparateImpact"], 0.25),
    )


def model_performance(data):
    # A least-squares fit on the first half of the patients, evaluated on the
    # first half (the baseline) and on the second half (the latest data).
    x = np.column_stack([data.data, np.ones(len(data.target))])
    y = data.target
    half = len(y) // 2
    coef, *_ = np.linalg.lstsq(x[:half], y[:half], rcond=None)
    pred = x @ coef
    baseline = _lumetra.py_model_perf_linear_regression(y[:half], pred[:half])
    latest = _lumetra.py_model_perf_linear_regression(y[half:], pred[half:])
    show("Regression performance on the fitted half", baseline)
    show("Regression performance on the held-out half", latest)
    show_report("Regression runtime check (threshold 0.10)", _lumetra.py_model_perf_lin_reg_rt_full(baseline, latest))

    # The same model as a classifier: progression above the median or not.
    median = float(np.median(y))
    truth = (y > median).astype(np.float64)
    predicted = (pred > median).astype(np.float64)
    show("Binary classification", _lumetra.py_model_perf_classification(truth, predicted))
    # Scores from the distance to the median, squashed into (0, 1).
    scores = 1.0 / (1.0 + np.exp(-(pred - median) / np.std(pred)))
    log_base = _lumetra.py_model_perf_logistic_regression(truth[:half], scores[:half], 0.5)
    log_latest = _lumetra.py_model_perf_logistic_regression(truth[half:], scores[half:], 0.5)
    show("Logistic regression on the held-out half", log_latest)
    show_report(
        "Logistic check of Accuracy and LogLoss",
        _lumetra.py_model_perf_log_reg_rt_partial(log_base, log_latest, ["Accuracy", "LogLoss"]),
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


# ---- streaming monitors ---------------------------------------------------------


def streaming(data):
    # A least-squares line from BMI to progression, fitted on the first 200
    # patients, which also serve as the monitor's baseline. The remaining
    # patients then arrive in four batches, as they would in production.
    bmi = data.data[:, data.feature_names.index("bmi")]
    sex = data.data[:, data.feature_names.index("sex")]
    progression = data.target
    fit = slice(0, 200)
    slope, intercept = np.polyfit(bmi[fit], progression[fit], 1)
    predicted = slope * bmi + intercept

    regression = _lumetra.PyLinearRegressionStreaming(progression[fit], predicted[fit])
    # The bias monitor takes labels: facet a is sex == 2, a positive outcome
    # and a positive prediction are progression above the baseline median.
    median = float(np.median(progression[fit]))
    facet = (sex == 2).astype(np.int8)
    truth = (progression > median).astype(np.int8)
    flagged = (predicted > median).astype(np.int8)
    bias = _lumetra.PyModelBiasStreaming(facet[fit], flagged[fit], truth[fit])

    print("\n== Streaming monitors fed batch by batch (regression window: RMSE and RSquared within 15.0;")
    print("   bias since the start: DisparateImpact and AccuracyDifference within 100% of the baseline)")
    for indices in np.array_split(np.arange(200, len(bmi)), 4):
        batch = slice(int(indices[0]), int(indices[-1]) + 1)
        regression.flush()  # one window per batch
        regression.push_batch(progression[batch], predicted[batch])
        bias.push_batch(facet[batch], flagged[batch], truth[batch])  # cumulative
        perf = regression.drift_report_partial_metrics(["RootMeanSquaredError", "RSquared"], 15.0)
        fairness = bias.drift_report_partial_metrics(["DisparateImpact", "AccuracyDifference"], 1.0)
        rmse = regression.performance_snapshot()["RootMeanSquaredError"]
        print(
            f"  patients {batch.start:>3}-{batch.stop - 1:<3}  window RMSE {rmse:7.3f}  "
            f"regression {'ok' if perf['passed'] else 'DRIFT'}  bias {'ok' if fairness['passed'] else 'DRIFT'}"
        )
    show_report("Model bias of all streamed patients against the baseline (threshold 1.0)", bias.drift_report(1.0))


def main():
    data = load_diabetes(scaled=False)
    print(f"diabetes data set: {data.data.shape[0]} patients, {data.data.shape[1]} features")
    dataframes(data)
    data_bias(data)
    model_bias(data)
    model_performance(data)
    data_drift(data)
    streaming(data)


if __name__ == "__main__":
    main()
