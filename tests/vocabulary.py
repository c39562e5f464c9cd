"""Metric names of each family, in enum order: the key order of result dicts
and the order in which reports list failed metrics."""

DATA_BIAS = [
    "ClassImbalance",
    "DifferenceInProportionOfLabels",
    "KlDivergence",
    "JsDivergence",
    "LpNorm",
    "TotalVariationDistance",
    "KolmogorovSmirnov",
]
MODEL_BIAS = [
    "DifferenceInPositivePredictedLabels",
    "DisparateImpact",
    "AccuracyDifference",
    "RecallDifference",
    "DifferenceInConditionalAcceptance",
    "DifferenceInAcceptanceRate",
    "SpecialityDifference",
    "DifferenceInConditionalRejection",
    "DifferenceInRejectionRate",
    "TreatmentEquity",
    "ConditionalDemographicDesparityPredictedLabels",
    "GeneralizedEntropy",
]
REGRESSION = [
    "RootMeanSquaredError",
    "MeanSquaredError",
    "MeanAbsoluteError",
    "RSquared",
    "MaxError",
    "MeanSquaredLogError",
    "RootMeanSquaredLogError",
    "MeanAbsolutePercentageError",
]
# Binary classification: the logistic family without LogLoss.
CLASSIFICATION = [
    "BalancedAccuracy",
    "PrecisionPositive",
    "PrecisionNegative",
    "RecallPositive",
    "RecallNegative",
    "Accuracy",
    "F1Score",
]
LOGISTIC = CLASSIFICATION + ["LogLoss"]
