#include <doctest/doctest.h>

#include <cmath>
#include <limits>
#include <set>

#include "core/data_bias.hpp"
#include "core/intake.hpp"

using namespace lumetra;

TEST_CASE("distinct counter agrees with a set across the small-set switch and table growth") {
    detail::DistinctCounter counter;
    std::set<std::uint64_t> reference;
    std::uint64_t x = 12345;
    for (int i = 0; i < 20000; ++i) {
        x = x * 6364136223846793005ULL + 1442695040888963407ULL;
        const std::uint64_t key = (i % 3 == 0) ? (x >> 50) : (i % 7 == 0 ? 0 : x % 5000);
        CHECK(counter.insert(key) == reference.insert(key).second);
    }
    CHECK(counter.count() == reference.size());
}

TEST_CASE("label matching keeps equal values, thresholding keeps values at or above") {
    const std::vector<std::int64_t> few = {5, 7, 5, 9, 7};  // 3 distinct: label matching
    CHECK(label_numeric<std::int64_t>(view_of(few), 7) == GroupMask{0, 1, 0, 0, 1});
    const std::vector<std::int64_t> many = {1, 2, 3, 4, 5};
    CHECK(label_numeric<std::int64_t>(view_of(many), 3) == GroupMask{0, 0, 1, 1, 1});
    const std::vector<double> empty;
    CHECK(label_numeric<double>(view_of(empty), 1.0).empty());
}

TEST_CASE("strided views read in index order whatever the stride sign") {
    const std::vector<double> v = {1.0, 2.0, 3.0, 4.0};
    const Strided<double> reversed{reinterpret_cast<const char*>(v.data() + 3), -8, 4};
    CHECK(threshold_mask(reversed, 2.5, SegmentationThresholdType::LessThan) == GroupMask{0, 0, 1, 1});
}

TEST_CASE("pre-training metrics of an empty facet are an error, the imbalance still exact") {
    FacetCounts c{1, 3, 0, 0};
    auto r = pre_training_bias(c);
    REQUIRE_FALSE(r.ok());
    CHECK(r.error().kind == ModelPerformanceError::Kind::EmptyDataVector);
    auto ok = pre_training_bias(FacetCounts{1, (1ULL << 40) + 1, 1, 1ULL << 40});
    REQUIRE(ok.ok());
    CHECK(*ok.value().get(DataBiasMetric::ClassImbalance) == 1.0f / static_cast<float>((1ULL << 41) + 1));
}
