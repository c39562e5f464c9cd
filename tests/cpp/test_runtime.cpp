#include <doctest/doctest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/report.hpp"
#include "core/runtime.hpp"
#include "core/settings.hpp"

using namespace lumetra;

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

template <class E>
NamedValues all_named(float v = 0.5f) {
    NamedValues out;
    for (auto name : MetricTraits<E>::names) out.emplace_back(std::string(name), v);
    return out;
}

NamedValues without(NamedValues values, std::initializer_list<const char*> names) {
    for (const char* n : names) std::erase_if(values, [n](const auto& kv) { return kv.first == n; });
    return values;
}

// One metric compared on its own: (failed?, drift).
struct Outcome {
    bool failed;
    float drift;
};

template <class Record, class E>
Outcome check_one(E m, float baseline, float latest, float t) {
    Record b, l;
    b[m] = baseline;
    l[m] = latest;
    const MetricMap<E> failures = Record::runtime_check(l, b, std::vector<E>{m}, t);
    const auto d = failures.get(m);
    return Outcome{d.has_value(), d.value_or(0.0f)};
}

}  // namespace

TEST_CASE("each family's comparison rule at its strict boundary") {
    using D = DataBiasMetric;
    using MB = ModelBiasMetric;
    using R = LinearRegressionEvaluationMetric;
    using C = ClassificationEvaluationMetric;
    struct Row {
        const char* what;
        Outcome (*run)(float, float, float);
        float baseline, latest, t;
        bool failed;
        float drift;
    };
    // clang-format off
    const Row rows[] = {
        {"DI at its bound 1.1*0.8 passes", [](float b, float l, float t) { return check_one<ModelBiasRuntime>(MB::DisparateImpact, b, l, t); }, 0.8f, 0.88f, 0.1f, false, 0.0f},
        {"DI above the bound fails", [](float b, float l, float t) { return check_one<ModelBiasRuntime>(MB::DisparateImpact, b, l, t); }, 0.8f, 0.9f, 0.1f, true, 0.099999964f},
        {"DI only fails on a rise", [](float b, float l, float t) { return check_one<ModelBiasRuntime>(MB::DisparateImpact, b, l, t); }, 1.2f, 0.5f, 0.1f, false, 0.0f},
        {"GE signed drift magnitude", [](float b, float l, float t) { return check_one<ModelBiasRuntime>(MB::GeneralizedEntropy, b, l, t); }, -1.0f, 0.5f, 0.1f, true, 1.5f},
        {"AD magnitudes: -0.1 to 0.105 passes", [](float b, float l, float t) { return check_one<ModelBiasRuntime>(MB::AccuracyDifference, b, l, t); }, -0.1f, 0.105f, 0.1f, false, 0.0f},
        {"AD magnitudes: -0.1 to -0.2 fails", [](float b, float l, float t) { return check_one<ModelBiasRuntime>(MB::AccuracyDifference, b, l, t); }, -0.1f, -0.2f, 0.1f, true, 0.1f},
        {"DPPL sign flip of equal size passes", [](float b, float l, float t) { return check_one<ModelBiasRuntime>(MB::DifferenceInPositivePredictedLabels, b, l, t); }, -0.3f, 0.3f, 0.1f, false, 0.0f},
        {"TE drift is the difference of magnitudes", [](float b, float l, float t) { return check_one<ModelBiasRuntime>(MB::TreatmentEquity, b, l, t); }, -0.25f, 0.5f, 0.1f, true, 0.25f},
        {"CI at its bound passes", [](float b, float l, float t) { return check_one<DataBiasRuntime>(D::ClassImbalance, b, l, t); }, 0.5f, 0.55f, 0.1f, false, 0.0f},
        {"CI magnitude above the bound fails", [](float b, float l, float t) { return check_one<DataBiasRuntime>(D::ClassImbalance, b, l, t); }, 0.5f, -0.75f, 0.1f, true, 0.25f},
        {"DPL drift is the plain distance", [](float b, float l, float t) { return check_one<DataBiasRuntime>(D::DifferenceInProportionOfLabels, b, l, t); }, -0.25f, 0.5f, 0.1f, true, 0.75f},
        {"DPL smaller magnitude passes", [](float b, float l, float t) { return check_one<DataBiasRuntime>(D::DifferenceInProportionOfLabels, b, l, t); }, -0.5f, 0.25f, 0.1f, false, 0.0f},
        {"KL from zero fails with the latest as drift", [](float b, float l, float t) { return check_one<DataBiasRuntime>(D::KlDivergence, b, l, t); }, 0.0f, 0.125f, 0.1f, true, 0.125f},
        {"KS decrease passes", [](float b, float l, float t) { return check_one<DataBiasRuntime>(D::KolmogorovSmirnov, b, l, t); }, 0.5f, 0.25f, 0.1f, false, 0.0f},
        {"RSquared negative fails against itself", [](float b, float l, float t) { return check_one<LinearRegressionRuntime>(R::RSquared, b, l, t); }, -1.0f, -1.0f, 0.1f, true, 0.0f},
        {"RSquared fall fails", [](float b, float l, float t) { return check_one<LinearRegressionRuntime>(R::RSquared, b, l, t); }, 1.0f, 0.5f, 0.1f, true, 0.5f},
        {"RSquared rise passes", [](float b, float l, float t) { return check_one<LinearRegressionRuntime>(R::RSquared, b, l, t); }, 0.5f, 1.0f, 0.1f, false, 0.0f},
        {"MSE rise fails", [](float b, float l, float t) { return check_one<LinearRegressionRuntime>(R::MeanSquaredError, b, l, t); }, 1.0f, 1.5f, 0.1f, true, 0.5f},
        {"MSE at bound passes", [](float b, float l, float t) { return check_one<LinearRegressionRuntime>(R::MeanSquaredError, b, l, t); }, 1.0f, 1.1f, 0.1f, false, 0.0f},
        {"logistic accuracy at 0.9 passes", [](float b, float l, float t) { return check_one<LogisticRegressionRuntime>(C::Accuracy, b, l, t); }, 1.0f, 0.9f, 0.1f, false, 0.0f},
        {"logistic accuracy below 0.9 fails", [](float b, float l, float t) { return check_one<LogisticRegressionRuntime>(C::Accuracy, b, l, t); }, 1.0f, 0.875f, 0.1f, true, 0.125f},
        {"logistic log loss rise fails", [](float b, float l, float t) { return check_one<LogisticRegressionRuntime>(C::LogLoss, b, l, t); }, 0.5f, 0.75f, 0.1f, true, 0.25f},
        {"logistic log loss fall passes", [](float b, float l, float t) { return check_one<LogisticRegressionRuntime>(C::LogLoss, b, l, t); }, 0.5f, 0.25f, 0.1f, false, 0.0f},
        {"binary accuracy 0.9 fails below 1/1.1", [](float b, float l, float t) { return check_one<BinaryClassificationRuntime>(C::Accuracy, b, l, t); }, 1.0f, 0.9f, 0.1f, true, 0.100000024f},
        {"binary accuracy 0.91 passes", [](float b, float l, float t) { return check_one<BinaryClassificationRuntime>(C::Accuracy, b, l, t); }, 1.0f, 0.91f, 0.1f, false, 0.0f},
        {"binary rise passes", [](float b, float l, float t) { return check_one<BinaryClassificationRuntime>(C::F1Score, b, l, t); }, 0.5f, 0.75f, 0.1f, false, 0.0f},
    };
    // clang-format on
    for (const Row& r : rows) {
        const std::string what = r.what;
        CAPTURE(what);
        const Outcome o = r.run(r.baseline, r.latest, r.t);
        CHECK(o.failed == r.failed);
        if (r.failed) CHECK(static_cast<double>(o.drift) == static_cast<double>(r.drift));
    }
}

TEST_CASE("NaN never fails a comparison") {
    DataBiasRuntime db;
    db.values.fill(kNaN);
    CHECK(DataBiasRuntime::runtime_check(db, db, all_metrics<DataBiasMetric>(), 0.1f).empty());
    ModelBiasRuntime latest, base;
    latest.values.fill(kNaN);
    base.values.fill(1.0f);
    CHECK(ModelBiasRuntime::runtime_check(latest, base, all_metrics<ModelBiasMetric>(), 0.1f).empty());
    CHECK(ModelBiasRuntime::runtime_check(base, latest, all_metrics<ModelBiasMetric>(), 0.1f).empty());
    BinaryClassificationRuntime bl, bb;
    bl.values.fill(kNaN);
    CHECK(BinaryClassificationRuntime::runtime_check(bl, bb, all_metrics<ClassificationEvaluationMetric>(), 0.1f)
              .empty());
}

TEST_CASE("only the requested metrics are compared, duplicates once") {
    ModelBiasRuntime b, l;
    b.values.fill(0.1f);
    l.values.fill(1.0f);
    using MB = ModelBiasMetric;
    auto f = ModelBiasRuntime::runtime_check(l, b, {MB::TreatmentEquity, MB::TreatmentEquity, MB::DisparateImpact}, 0.1f);
    CHECK(f.size() == 2);
    CHECK(f.contains(MB::TreatmentEquity));
    CHECK(f.contains(MB::DisparateImpact));
    CHECK(ModelBiasRuntime::runtime_check(l, b, {}, 0.1f).empty());
    // A binary record has no log loss field: a request for it is skipped.
    BinaryClassificationRuntime bl, bb;
    bb.values.fill(1.0f);
    CHECK(BinaryClassificationRuntime::runtime_check(bl, bb, {ClassificationEvaluationMetric::LogLoss}, 0.1f)
              .empty());
}

TEST_CASE("missing names are reported in field order") {
    struct Row {
        const char* what;
        std::string (*run)();
        std::string expected;
    };
    const Row rows[] = {
        {"data bias: LpNorm before TVD and KS",
         [] {
             auto r = DataBiasRuntime::from_names(
                 without(all_named<DataBiasMetric>(), {"KolmogorovSmirnov", "LpNorm"}));
             return r.ok() ? std::string("ok") : message(r.error());
         },
         "LpNorm not present"},
        {"data bias: TVD",
         [] {
             auto r = DataBiasRuntime::from_names(without(all_named<DataBiasMetric>(), {"TotalVariationDistance"}));
             return r.ok() ? std::string("ok") : message(r.error());
         },
         "TotalVariationDistance not present"},
        {"model bias: DRR before TE",
         [] {
             auto r = ModelBiasRuntime::from_names(
                 without(all_named<ModelBiasMetric>(), {"TreatmentEquity", "DifferenceInRejectionRate"}));
             return r.ok() ? std::string("ok") : message(r.error());
         },
         "DifferenceInRejectionRate not present"},
        {"model bias: CDD",
         [] {
             auto r = ModelBiasRuntime::from_names(
                 without(all_named<ModelBiasMetric>(), {"GeneralizedEntropy", "ConditionalDemographicDesparityPredictedLabels"}));
             return r.ok() ? std::string("ok") : message(r.error());
         },
         "ConditionalDemographicDesparityPredictedLabels not present"},
        {"regression",
         [] {
             auto r = LinearRegressionRuntime::from_names(
                 without(all_named<LinearRegressionEvaluationMetric>(), {"MaxError"}));
             return r.ok() ? std::string("ok") : message(r.error());
         },
         "Invalid analysis report"},
        {"logistic needs LogLoss",
         [] {
             auto r = LogisticRegressionRuntime::from_names(
                 without(all_named<ClassificationEvaluationMetric>(), {"LogLoss"}));
             return r.ok() ? std::string("ok") : message(r.error());
         },
         "Invalid analysis report"},
        {"binary ignores LogLoss",
         [] {
             auto r = BinaryClassificationRuntime::from_names(
                 without(all_named<ClassificationEvaluationMetric>(), {"LogLoss"}));
             return r.ok() ? std::string("ok") : message(r.error());
         },
         "ok"},
        {"binary needs F1Score",
         [] {
             auto r = BinaryClassificationRuntime::from_names(
                 without(all_named<ClassificationEvaluationMetric>(), {"F1Score"}));
             return r.ok() ? std::string("ok") : message(r.error());
         },
         "Invalid analysis report"},
    };
    for (const Row& r : rows) {
        const std::string what = r.what;
        CAPTURE(what);
        CHECK(r.run() == r.expected);
    }
}

TEST_CASE("name conversion keeps values, ignores extra keys, takes the last duplicate") {
    NamedValues v = all_named<ModelBiasMetric>();
    v.emplace_back("Unrelated", 9.0f);
    v.emplace_back("DisparateImpact", 0.25f);
    v[0].second = kNaN;
    auto r = ModelBiasRuntime::from_names(v);
    REQUIRE(r.ok());
    CHECK(r.value()[ModelBiasMetric::DisparateImpact] == 0.25f);
    CHECK(std::isnan(r.value()[ModelBiasMetric::DifferenceInPositivePredictedLabels]));
    CHECK(r.value()[ModelBiasMetric::GeneralizedEntropy] == 0.5f);
    const auto map = r.value().to_map();
    CHECK(map.size() == 12);
}

TEST_CASE("convert_db_analysis refuses every foreign key, in map order") {
    NamedValues v = all_named<DataBiasMetric>();
    v.insert(v.begin(), {"zeta", 1.0f});
    v.emplace_back("alpha", 1.0f);
    auto r = convert_db_analysis(v);
    REQUIRE_FALSE(r.ok());
    CHECK(message(r.error()) == "Metrics: [\"zeta\", \"alpha\"] are not supported");
    auto ok = convert_db_analysis(all_named<DataBiasMetric>(0.25f));
    REQUIRE(ok.ok());
    auto rec = DataBiasRuntime::from_metric_map(ok.value());
    REQUIRE(rec.ok());
    CHECK(rec.value()[DataBiasMetric::KolmogorovSmirnov] == 0.25f);
    MetricMap<DataBiasMetric> partial = ok.value();
    MetricMap<DataBiasMetric> lacking;
    partial.for_each([&](DataBiasMetric m, float x) {
        if (m != DataBiasMetric::JsDivergence && m != DataBiasMetric::KolmogorovSmirnov) lacking.insert(m, x);
    });
    auto missing = DataBiasRuntime::from_metric_map(lacking);
    REQUIRE_FALSE(missing.ok());
    CHECK(missing.error() == DataBiasRuntimeError{DataBiasMetric::JsDivergence});
}

TEST_CASE("streaming drift per family") {
    SUBCASE("model bias is relative without epsilon") {
        ModelBiasRuntime c, b;
        c[ModelBiasMetric::DisparateImpact] = 1.5f;
        b[ModelBiasMetric::DisparateImpact] = 2.0f;
        c[ModelBiasMetric::TreatmentEquity] = 0.5f;
        b[ModelBiasMetric::RecallDifference] = -0.5f;
        c[ModelBiasMetric::RecallDifference] = 0.5f;
        const auto d = ModelBiasRuntime::runtime_drift_report(c, b);
        CHECK(d.size() == 12);
        CHECK(*d.get(ModelBiasMetric::DisparateImpact) == 0.25f);
        CHECK(*d.get(ModelBiasMetric::TreatmentEquity) == kInf);
        CHECK(std::isnan(*d.get(ModelBiasMetric::AccuracyDifference)));
        CHECK(*d.get(ModelBiasMetric::RecallDifference) == 2.0f);
    }
    SUBCASE("data bias divides by the baseline magnitude or epsilon") {
        DataBiasRuntime c, b;
        c[DataBiasMetric::LpNorm] = 0.25f;
        b[DataBiasMetric::LpNorm] = -0.5f;
        c[DataBiasMetric::KlDivergence] = 0.5f;
        const auto d = DataBiasRuntime::runtime_drift_report(c, b);
        CHECK(*d.get(DataBiasMetric::LpNorm) == 1.5f);
        const float eps = static_cast<float>(stability_eps());
        CHECK(*d.get(DataBiasMetric::KlDivergence) == 0.5f / eps);
        CHECK(*d.get(DataBiasMetric::ClassImbalance) == 0.0f);
    }
    SUBCASE("regression is absolute, classification signed baseline minus current") {
        LinearRegressionRuntime lc, lb;
        lc[LinearRegressionEvaluationMetric::MaxError] = 3.0f;
        lb[LinearRegressionEvaluationMetric::MaxError] = 1.0f;
        CHECK(*LinearRegressionRuntime::runtime_drift_report(lc, lb).get(LinearRegressionEvaluationMetric::MaxError) ==
              2.0f);
        LogisticRegressionRuntime gc, gb;
        gc[ClassificationEvaluationMetric::LogLoss] = 3.0f;
        gb[ClassificationEvaluationMetric::LogLoss] = 1.0f;
        CHECK(*LogisticRegressionRuntime::runtime_drift_report(gc, gb).get(ClassificationEvaluationMetric::LogLoss) ==
              -2.0f);
        BinaryClassificationRuntime bc, bb;
        bb[ClassificationEvaluationMetric::Accuracy] = 1.0f;
        const auto bd = BinaryClassificationRuntime::runtime_drift_report(bc, bb);
        CHECK(bd.size() == 7);
        CHECK(*bd.get(ClassificationEvaluationMetric::Accuracy) == 1.0f);
    }
}

TEST_CASE("streaming failures are inclusive, skip NaN, keep infinities, honour the list") {
    MetricMap<ModelBiasMetric> drifts;
    drifts.insert(ModelBiasMetric::DisparateImpact, 0.1f);
    drifts.insert(ModelBiasMetric::TreatmentEquity, kInf);
    drifts.insert(ModelBiasMetric::AccuracyDifference, kNaN);
    drifts.insert(ModelBiasMetric::RecallDifference, 0.099999994f);
    const auto all = failing_drifts(drifts, 0.1f);
    CHECK(all.size() == 2);
    CHECK(all.contains(ModelBiasMetric::DisparateImpact));
    CHECK(all.contains(ModelBiasMetric::TreatmentEquity));
    const std::vector<ModelBiasMetric> only{ModelBiasMetric::DisparateImpact};
    const auto some = failing_drifts(drifts, 0.0f, &only);
    CHECK(some.size() == 1);
    CHECK(some.contains(ModelBiasMetric::DisparateImpact));
}

TEST_CASE("records from counts") {
    FacetCounts empty_d{1, 2, 0, 0};
    auto e = DataBiasRuntime::new_from_pre_training(empty_d);
    REQUIRE_FALSE(e.ok());
    CHECK(message(e.error()) == "Bias Error: DataLengthError");
    FacetCounts c{1, 2, 0, 2};
    auto r = DataBiasRuntime::new_from_pre_training(c);
    REQUIRE(r.ok());
    auto m = pre_training_bias(c);
    REQUIRE(m.ok());
    m.value().for_each([&](DataBiasMetric k, float v) {
        CAPTURE(metric_name(k));
        if (std::isnan(v)) {
            CHECK(std::isnan(r.value()[k]));
        } else {
            CHECK(r.value()[k] == v);
        }
    });
    CHECK(r.value()[DataBiasMetric::DifferenceInProportionOfLabels] == 0.5f);
}

TEST_CASE("drift report lists failures in enum order") {
    MetricMap<ClassificationEvaluationMetric> failures;
    CHECK(DriftReport<ClassificationEvaluationMetric>::from_runtime(failures).passed);
    CHECK_FALSE(DriftReport<ClassificationEvaluationMetric>::from_runtime(failures).failed_report.has_value());
    failures.insert(ClassificationEvaluationMetric::LogLoss, 0.5f);
    failures.insert(ClassificationEvaluationMetric::BalancedAccuracy, 0.25f);
    const auto r = DriftReport<ClassificationEvaluationMetric>::from_runtime(failures);
    CHECK_FALSE(r.passed);
    REQUIRE(r.failed_report.has_value());
    const std::vector<FailedMetric<ClassificationEvaluationMetric>> expected{
        {ClassificationEvaluationMetric::BalancedAccuracy, 0.25f}, {ClassificationEvaluationMetric::LogLoss, 0.5f}};
    CHECK(*r.failed_report == expected);
}
