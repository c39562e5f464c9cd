#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/model_bias.hpp"
#include "core/runtime.hpp"

using namespace lumetra;
using M = ModelBiasMetric;

namespace {

// Three parallel masks built from (facet a?, truth, prediction) triples repeated.
struct Population {
    GroupMask feature, truth, prediction;
    void add(int in_a, int gt, int pred, int times = 1) {
        for (int i = 0; i < times; ++i) {
            feature.push_back(static_cast<std::uint8_t>(in_a));
            truth.push_back(static_cast<std::uint8_t>(gt));
            prediction.push_back(static_cast<std::uint8_t>(pred));
        }
    }
};

// Facet a: (1,1) x3, (0,1), (0,0) x2, (1,0); facet d: (1,1), (0,1), (0,0) x3, (1,0) x2.
Population uneven() {
    Population p;
    p.add(1, 1, 1, 3);
    p.add(1, 0, 1);
    p.add(1, 0, 0, 2);
    p.add(1, 1, 0);
    p.add(0, 1, 1);
    p.add(0, 0, 1);
    p.add(0, 0, 0, 3);
    p.add(0, 1, 0, 2);
    return p;
}

float reference_batch_ge(const GroupMask& pred, const GroupMask& truth) {
    std::vector<float> b;
    for (std::size_t i = 0; i < pred.size(); ++i) b.push_back(truth[i] == 1 ? (pred[i] == 1 ? 1.0f : 0.0f) : 2.0f);
    float s = 0.0f;
    for (float x : b) s += x;
    const float mu = s / static_cast<float>(b.size());
    const float k = 1.0f / mu;
    float ge = 0.0f;
    for (float x : b) {
        const float kb = k * x;
        const float sq = kb * kb;
        ge += sq - 1.0f;
    }
    return ge;
}

}  // namespace

TEST_CASE("uneven facets give the twelve values with their directions") {
    const Population p = uneven();
    auto r = model_bias_analysis_core(p.feature, p.prediction, p.truth);
    REQUIRE(r.ok());
    const auto& m = r.value();
    CHECK(m.size() == 12);
    struct Row {
        M metric;
        float expected;
    };
    // Negative entries only come out with the a-minus-d or d-minus-a order
    // each metric is defined with.
    const Row rows[] = {
        {M::DifferenceInPositivePredictedLabels, 0.2857143f},
        {M::DisparateImpact, 2.0f},
        {M::AccuracyDifference, 0.14285713f},
        {M::RecallDifference, 0.41666666f},
        {M::DifferenceInConditionalAcceptance, 0.33333331f},
        {M::DifferenceInAcceptanceRate, 0.25f},
        {M::SpecialityDifference, -0.083333313f},
        {M::DifferenceInConditionalRejection, -0.19999999f},
        {M::DifferenceInRejectionRate, -0.06666666f},
        {M::TreatmentEquity, 1.0f},
        {M::GeneralizedEntropy, 5.3580246f},
    };
    // Equal facet sizes make the two disparities cancel up to rounding.
    CHECK(*m.get(M::ConditionalDemographicDesparityPredictedLabels) == doctest::Approx(0.0).epsilon(1e-7));
    for (const Row& row : rows) {
        CAPTURE(metric_name(row.metric));
        REQUIRE(m.get(row.metric).has_value());
        CHECK(*m.get(row.metric) == row.expected);
    }
}

TEST_CASE("mirrored facets show no difference") {
    Population p;
    for (int a : {1, 0}) {
        p.add(a, 1, 1);
        p.add(a, 0, 1);
        p.add(a, 0, 0);
        p.add(a, 1, 0);
    }
    auto r = model_bias_analysis_core(p.feature, p.prediction, p.truth);
    REQUIRE(r.ok());
    r.value().for_each([](M metric, float v) {
        CAPTURE(metric_name(metric));
        if (metric == M::DisparateImpact) {
            CHECK(v == 1.0f);
        } else if (metric == M::GeneralizedEntropy) {
            CHECK(v == doctest::Approx(3.52).epsilon(1e-6));
        } else {
            CHECK(v == 0.0f);
        }
    });
}

TEST_CASE("conditional demographic disparity weights each facet by its size") {
    // Facet a: 4 elements, 1 accepted, 3 rejected. Facet d: 6 elements, 3
    // accepted, 3 rejected. D_a = 3/6 - 1/4 = 0.25, D_d = 3/6 - 3/4 = -0.25,
    // weighted: (-0.25 * 6 + 0.25 * 4) / 10 = -0.05.
    PostTraining c;
    c.len_a = 4;
    c.pred_positive_a = 1;
    c.len_d = 6;
    c.pred_positive_d = 3;
    CHECK(cond_dem_desp_in_pred_labels(c) == -0.05f);
    // Acceptance in proportion to size: no disparity.
    c.pred_positive_a = 2;
    c.pred_positive_d = 3;
    CHECK(cond_dem_desp_in_pred_labels(c) == 0.0f);
}

TEST_CASE("guards run in their order and name the failure") {
    struct Case {
        const char* name;
        Population p;
        BiasError batch;
        ModelPerformanceError::Kind record;
    };
    auto base = [] {
        Population p;
        for (int a : {1, 0}) {
            p.add(a, 1, 1);
            p.add(a, 0, 1);
            p.add(a, 0, 0);
            p.add(a, 1, 0);
        }
        return p;
    };
    std::vector<Case> cases;
    {
        Population p;  // facet d empty, and facet a lacks false positives too
        p.add(1, 1, 1);
        p.add(1, 0, 0);
        cases.push_back({"facet d empty", p, BiasError::DataLengthError, ModelPerformanceError::Kind::EmptyDataVector});
    }
    {
        Population p = base();  // facet d predicted negative throughout
        for (std::size_t i = 0; i < p.feature.size(); ++i)
            if (p.feature[i] == 0) p.prediction[i] = 0;
        cases.push_back({"facet d no positive prediction", p, BiasError::NoFacetDeviation,
                         ModelPerformanceError::Kind::InvalidData});
    }
    {
        Population p = base();  // facet a without positive ground truth
        for (std::size_t i = 0; i < p.feature.size(); ++i)
            if (p.feature[i] == 1) p.truth[i] = 0;
        cases.push_back({"facet a no positive truth", p, BiasError::NoFacetDeviation,
                         ModelPerformanceError::Kind::InvalidData});
    }
    {
        Population p = base();  // facet a predicted positive throughout
        for (std::size_t i = 0; i < p.feature.size(); ++i)
            if (p.feature[i] == 1) p.prediction[i] = 1;
        cases.push_back({"facet a all positive", p, BiasError::NoFacetDeviation,
                         ModelPerformanceError::Kind::InvalidData});
    }
    {
        Population p = base();  // facet d without false positive
        for (std::size_t i = 0; i < p.feature.size(); ++i)
            if (p.feature[i] == 0 && p.truth[i] == 0 && p.prediction[i] == 1) p.truth[i] = 1;
        cases.push_back({"facet d no false positive", p, BiasError::NoFacetDeviation,
                         ModelPerformanceError::Kind::InvalidData});
    }
    for (const Case& c : cases) {
        CAPTURE(c.name);
        auto batch = model_bias_analysis_core(c.p.feature, c.p.prediction, c.p.truth);
        REQUIRE_FALSE(batch.ok());
        CHECK(batch.error() == c.batch);
        auto record = DiscretePostTraining::from_masks(c.p.feature, c.p.prediction, c.p.truth);
        REQUIRE(record.ok());
        auto rt = ModelBiasRuntime::new_from_post_training(record.value().counts, 0.0f);
        REQUIRE_FALSE(rt.ok());
        CHECK(rt.error().kind == c.record);
    }
}

TEST_CASE("mask lengths must agree and be non-empty") {
    const GroupMask four{1, 0, 1, 0}, three{1, 0, 1}, none{};
    struct Case {
        const GroupMask &f, &p, &g;
    };
    const Case cases[] = {{four, four, three}, {four, three, four}, {three, four, four}, {none, none, none}};
    for (const Case& c : cases) {
        auto r = model_bias_analysis_core(c.f, c.p, c.g);
        REQUIRE_FALSE(r.ok());
        CHECK(r.error() == BiasError::DataLengthError);
    }
}

TEST_CASE("only an entry of exactly 1 is in the group") {
    Population p = uneven();
    Population q = p;
    for (auto* mask : {&q.feature, &q.truth, &q.prediction})
        for (auto& v : *mask)
            if (v == 0) v = 2;
    auto a = DiscretePostTraining::from_masks(p.feature, p.prediction, p.truth);
    auto b = DiscretePostTraining::from_masks(q.feature, q.prediction, q.truth);
    REQUIRE(a.ok());
    REQUIRE(b.ok());
    CHECK(a.value().counts == b.value().counts);
    CHECK(a.value().generalized_entropy == b.value().generalized_entropy);
}

TEST_CASE("batch counts equal element-by-element accumulation") {
    Population p = uneven();
    p.add(1, 0, 1, 5);
    p.add(0, 1, 1, 2);
    auto batch = DiscretePostTraining::from_masks(p.feature, p.prediction, p.truth);
    REQUIRE(batch.ok());
    PostTraining one;
    BucketGeneralizedEntropy buckets;
    for (std::size_t i = 0; i < p.feature.size(); ++i) {
        one.accumulate_single(p.feature[i] == 1, p.prediction[i] == 1, p.truth[i] == 1);
        buckets.add(p.truth[i] == 1, p.prediction[i] == 1);
    }
    CHECK(batch.value().counts == one);
    CHECK(one.len_a == one.true_positive_a + one.false_positive_a + one.true_negative_a + one.false_negative_a);
    CHECK(buckets.total() == p.feature.size());

    PostTraining streamed;
    const SegmentationCriterion<std::int8_t> is_one{CriterionKind::EqualTo, 1};
    std::vector<std::int8_t> f(p.feature.begin(), p.feature.end()), g(p.truth.begin(), p.truth.end()),
        pr(p.prediction.begin(), p.prediction.end());
    REQUIRE(streamed.accumulate_batch(f, is_one, pr, is_one, g, is_one).ok());
    CHECK(streamed == one);
    BucketGeneralizedEntropy streamed_buckets;
    streamed_buckets.accumulate(g, is_one, pr, is_one);
    CHECK(streamed_buckets == buckets);
}

TEST_CASE("accumulate_batch refuses unequal or empty columns before adding") {
    const SegmentationCriterion<std::int8_t> is_one{CriterionKind::EqualTo, 1};
    const std::vector<std::int8_t> three{1, 0, 1}, two{1, 0}, none{};
    PostTraining c;
    auto r = c.accumulate_batch(three, is_one, three, is_one, two, is_one);
    REQUIRE_FALSE(r.ok());
    CHECK(r.error() == BiasError::DataLengthError);
    CHECK(c == PostTraining{});
    CHECK_FALSE(c.accumulate_batch(none, is_one, none, is_one, none, is_one).ok());
}

TEST_CASE("criteria compare the value against the stored one") {
    using K = CriterionKind;
    struct Row {
        K kind;
        std::int8_t x;
        bool expected;
    };
    const Row rows[] = {{K::GreaterThan, 3, false}, {K::GreaterThan, 4, true},   {K::GreaterThanEqualTo, 3, true},
                        {K::GreaterThanEqualTo, 2, false}, {K::LessThan, 3, false}, {K::LessThan, 2, true},
                        {K::LessThanEqualTo, 3, true}, {K::LessThanEqualTo, 4, false}, {K::EqualTo, 3, true},
                        {K::EqualTo, -3, false}};
    for (const Row& r : rows) {
        CAPTURE(static_cast<int>(r.kind));
        CAPTURE(static_cast<int>(r.x));
        CHECK(SegmentationCriterion<std::int8_t>{r.kind, 3}.meets(r.x) == r.expected);
    }
}

TEST_CASE("bucket and batch generalized entropy agree") {
    const Population p = uneven();
    BucketGeneralizedEntropy b;
    for (std::size_t i = 0; i < p.truth.size(); ++i) b.add(p.truth[i] == 1, p.prediction[i] == 1);
    CHECK(b.benefit_0_count == 3);
    CHECK(b.benefit_1_count == 4);
    CHECK(b.benefit_2_count == 7);
    CHECK(b.generalized_entropy() == 5.3580246f);
    CHECK(batch_generalized_entropy(p.prediction, p.truth) == 5.3580246f);
}

TEST_CASE("batch generalized entropy rounds its sums in element order past 2^24") {
    // Benefits summing beyond 2^24 leave the exact-integer range, where the
    // running single-precision sum rounds at every step.
    const std::size_t n = 9'000'001;
    GroupMask pred(n), truth(n);
    for (std::size_t i = 0; i < n; ++i) {
        truth[i] = (i % 7 == 3) ? 1 : 0;
        pred[i] = (i % 5 == 1) ? 1 : 0;
    }
    CHECK(batch_generalized_entropy(pred, truth) == reference_batch_ge(pred, truth));
    const Population small = uneven();
    CHECK(batch_generalized_entropy(small.prediction, small.truth) ==
          reference_batch_ge(small.prediction, small.truth));
}

TEST_CASE("block-wise ordered sums equal one addition per element") {
    // Terms chosen to land on rounding ties, to cross binades in both
    // directions and to cancel: any shortcut must still match the serial sum.
    struct Terms {
        const char* what;
        float t[3];
        float start;
    };
    const Terms cases[] = {
        {"generalized entropy shape", {-1.0f, -0.36f, 1.56f}, 0.0f},
        {"ties at coarse units", {0.5f, 1.5f, -2.5f}, 3.0e7f},
        {"integers past 2^24", {0.0f, 1.0f, 2.0f}, 16777200.0f},
        {"drifting negative", {-1.0f, 0.25f, -0.125f}, 1000.0f},
        {"near cancellation", {-1.0f, 1.0000001f, 0.9999999f}, 4096.0f},
        {"tiny and huge", {1e-7f, 3.0e6f, -2.9e6f}, 1.0f},
        {"just above a power of two", {-2.6f, -2.6f, -2.6f}, 16777218.0f},
        {"just below a power of two", {2.2f, 2.2f, 2.2f}, 33554430.0f},
        {"negative, just above a power of two", {2.6f, 2.6f, 2.6f}, -16777218.0f},
        {"negative, just below a power of two", {-2.2f, -2.2f, -2.2f}, -33554430.0f},
        {"near the subnormal range", {-1e-38f, 1e-39f, 3e-39f}, 1e-37f},
        {"non finite", {-1.0f, std::numeric_limits<float>::infinity(), 1.0f}, 5.0e5f},
    };
    for (const std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{1023}, std::size_t{300'000}}) {
        for (const std::uint32_t seed : {1u, 2u}) {
            GroupMask pred(n), truth(n);
            std::uint32_t x = seed * 2654435761u;
            for (std::size_t i = 0; i < n; ++i) {
                x = x * 1664525u + 1013904223u;
                truth[i] = (x >> 28) < 9 ? 1 : 0;
                pred[i] = ((x >> 20) & 3) != 0 ? 1 : 0;
            }
            for (const Terms& c : cases) {
                CAPTURE(std::string(c.what));
                CAPTURE(n);
                float expected = c.start;
                for (std::size_t i = 0; i < n; ++i) {
                    const int b = truth[i] == 1 ? (pred[i] == 1 ? 1 : 0) : 2;
                    expected += c.t[b];
                }
                const float got = ordered_benefit_sum(c.start, c.t, pred, truth);
                if (std::isnan(expected)) {
                    CHECK(std::isnan(got));
                } else {
                    CHECK(got == expected);
                }
            }
        }
    }
}

TEST_CASE("confusion cells stay exact above 2^24 elements") {
    const std::size_t big = (std::size_t{1} << 24) + 3;
    Population p;
    p.feature.assign(big, 1);
    p.truth.assign(big, 1);
    p.prediction.assign(big, 1);
    p.add(1, 0, 1);
    p.add(0, 1, 0);
    auto r = DiscretePostTraining::from_masks(p.feature, p.prediction, p.truth);
    REQUIRE(r.ok());
    CHECK(r.value().counts.true_positive_a == big);
    CHECK(r.value().counts.len_a == big + 1);
    CHECK(r.value().counts.false_negative_d == 1);
}

TEST_CASE("the baseline record uses the batch formulas") {
    const Population p = uneven();
    auto record = DiscretePostTraining::from_masks(p.feature, p.prediction, p.truth);
    REQUIRE(record.ok());
    auto batch = post_training_bias(record.value());
    REQUIRE(batch.ok());
    auto rt = ModelBiasRuntime::new_from_post_training(record.value().counts, 5.3580246f);
    REQUIRE(rt.ok());
    batch.value().for_each([&](M m, float v) {
        CAPTURE(metric_name(m));
        CHECK(rt.value()[m] == v);
    });
}
