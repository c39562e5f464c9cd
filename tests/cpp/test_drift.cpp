#include <doctest/doctest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/drift.hpp"
#include "core/drift_parts.hpp"
#include "support.hpp"

using namespace lumetra;
using namespace lumetra::testing;
using namespace lumetra::drift;

namespace {
const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

std::vector<double> iota_values(int n) {
    std::vector<double> v(static_cast<std::size_t>(n));
    std::iota(v.begin(), v.end(), 0.0);
    return v;
}

BaselineContinuousBins must_build(const std::vector<double>& data, QuantileType rule) {
    auto r = BaselineContinuousBins::create(data, rule);
    REQUIRE(r.ok());
    return std::move(r).value();
}

// Independent statement of the lookup rule: count the edges <= t, with the two
// open bins at either end.
std::size_t reference_bin(const BaselineContinuousBins& b, double t) {
    const auto& e = b.bin_edges();
    const std::size_t last = static_cast<std::size_t>(b.num_bins() - 1);
    if (t < e[0]) return 0;
    if (t > e[static_cast<std::size_t>(b.num_bins() - 3)]) return last;
    std::size_t c = 0;
    for (double x : e) c += (x <= t) ? 1 : 0;
    return std::min(c, last);
}

}  // namespace

TEST_CASE("bin counts and layouts of the worked examples") {
    struct Row {
        const char* what;
        std::vector<double> data;
        QuantileType rule;
        std::uint64_t bins;
        std::vector<double> edges;
        std::vector<double> hist;
    };
    const std::vector<Row> rows = {
        {"0..99 FD", iota_values(100), QuantileType::FreedmanDiaconis, 5, {0, 33, 66}, {0, .33, .33, .01, .33}},
        {"0..99 Scott", iota_values(100), QuantileType::Scott, 5, {0, 33, 66}, {0, .33, .33, .01, .33}},
        {"0..99 Sturges",
         iota_values(100),
         QuantileType::Sturges,
         7,
         {0, 19.8, 39.6, 59.400000000000006, 79.2},
         {0, .2, .2, .2, .2, 0, .2}},
        {"0..3 FD", {0, 1, 2, 3}, QuantileType::FreedmanDiaconis, 3, {0}, {0, .25, .75}},
        {"pair equal FD", {1, 1}, QuantileType::FreedmanDiaconis, 3, {1}, {0, 1, 0}},
        {"pair equal Scott", {1, 1}, QuantileType::Scott, 3, {1}, {0, 1, 0}},
        {"pair equal Sturges", {1, 1}, QuantileType::Sturges, 3, {1}, {0, 1, 0}},
        {"eight equal Sturges", std::vector<double>(8, 2.5), QuantileType::Sturges, 3, {2.5}, {0, 1, 0}},
        {"0,1 Scott", {1, 0}, QuantileType::Scott, 3, {0}, {0, .5, .5}},
        {"unsorted input", {3, 0, 2, 1}, QuantileType::FreedmanDiaconis, 3, {0}, {0, .25, .75}},
    };
    for (const auto& row : rows) {
        CAPTURE(row.what);
        auto b = must_build(row.data, row.rule);
        CHECK(b.num_bins() == row.bins);
        CHECK(b.quantile_type() == row.rule);
        REQUIRE(b.bin_edges().size() == row.edges.size());
        for (std::size_t i = 0; i < row.edges.size(); ++i) CHECK(b.bin_edges()[i] == row.edges[i]);
        REQUIRE(b.baseline_hist().size() == row.hist.size());
        for (std::size_t i = 0; i < row.hist.size(); ++i) CHECK(b.baseline_hist()[i] == doctest::Approx(row.hist[i]));
    }
}

TEST_CASE("edges are built by repeated addition, not multiplication") {
    // 0.1-wide bins from 0: 0.1 + 0.1 + 0.1 differs from 3 * 0.1 in the last bit.
    std::vector<double> data = iota_values(11);
    for (double& v : data) v = v / 10.0;
    auto b = must_build(data, QuantileType::Sturges);  // floor(log2 11) + 1 = 4 bins, 2 edges
    REQUIRE(b.num_bins() == 4);
    const double w = (1.0 - 0.0) / 2.0;
    CHECK(b.bin_edges()[1] == w + 0.0);

    std::vector<double> many = iota_values(1 << 12);  // Sturges: 13 bins, 11 edges
    for (double& v : many) v = v * 0.1;
    auto s = must_build(many, QuantileType::Sturges);
    REQUIRE(s.num_bins() == 13);
    const double width = (many.back() - many.front()) / 11.0;
    double e = many.front();
    for (std::size_t j = 0; j < s.bin_edges().size(); ++j) {
        CHECK(s.bin_edges()[j] == e);
        e = width + e;
    }
}

TEST_CASE("compute_num_bins rules") {
    std::vector<double> x = iota_values(100);
    CHECK(compute_num_bins(QuantileType::FreedmanDiaconis, x) == 5);
    CHECK(compute_num_bins(QuantileType::Scott, x) == 5);
    CHECK(compute_num_bins(QuantileType::Sturges, x) == 7);
    // Sturges grows with log2 n: 1024 values -> 11 bins.
    CHECK(compute_num_bins(QuantileType::Sturges, iota_values(1024)) == 11);
    CHECK(compute_num_bins(QuantileType::Sturges, iota_values(1023)) == 10);
    // Freedman-Diaconis uses the quartile positions floor(0.25n) and floor(0.75n):
    // a wide outlier at the top with a narrow middle gives many bins.
    std::vector<double> spiky = iota_values(100);
    spiky.back() = 1000.0;
    CHECK(compute_num_bins(QuantileType::FreedmanDiaconis, spiky) == 47);  // 1000 / (100^-1/3 * 100)
    // A zero interquartile range falls back to 3 bins even with a wide range.
    std::vector<double> flat(100, 1.0);
    flat.front() = 0.0;
    flat.back() = 50.0;
    CHECK(compute_num_bins(QuantileType::FreedmanDiaconis, flat) == 3);
}

TEST_CASE("saturating conversions to counts") {
    struct Row {
        double v;
        std::uint64_t u64;
        std::uint32_t u32;
    };
    const Row rows[] = {
        {kNaN, 0, 0},          {-1.0, 0, 0},        {-kInf, 0, 0},           {0.0, 0, 0},
        {2.9, 2, 2},           {4294967296.0, 4294967296ULL, UINT32_MAX},   {kInf, UINT64_MAX, UINT32_MAX},
        {1e300, UINT64_MAX, UINT32_MAX}, {18446744073709551616.0, UINT64_MAX, UINT32_MAX},
    };
    for (const auto& r : rows) {
        CAPTURE(r.v);
        CHECK(saturating_u64(r.v) == r.u64);
        CHECK(saturating_u32(r.v) == r.u32);
    }
}

TEST_CASE("continuous baseline validation") {
    struct Row {
        const char* what;
        std::vector<double> data;
        QuantileType rule;
        DriftError err;
    };
    const std::vector<Row> rows = {
        {"empty", {}, QuantileType::FreedmanDiaconis, DriftError::EmptyBaselineData},
        {"one value", {5.0}, QuantileType::Scott, DriftError::EmptyBaselineData},
        {"one NaN: size is checked first", {kNaN}, QuantileType::Scott, DriftError::EmptyBaselineData},
        {"NaN inside", {1.0, kNaN, 2.0}, QuantileType::Sturges, DriftError::NaNValueError},
    };
    for (const auto& row : rows) {
        CAPTURE(row.what);
        auto r = BaselineContinuousBins::create(row.data, row.rule);
        REQUIRE_FALSE(r.ok());
        CHECK(r.error() == row.err);
    }
}

namespace {
// The baseline as a sorted copy states it: the rule over the stable sort,
// edges by repeated addition from its first value, every value counted into
// the bin the lookup rule gives it. An error is returned as the create()
// of a baseline returns it.
struct SortedBaseline {
    std::optional<DriftError> error;
    std::uint64_t bins = 0;
    std::vector<double> edges, hist;
    double maximum = 0;
};

SortedBaseline sorted_baseline(const std::vector<double>& data, QuantileType rule) {
    SortedBaseline out;
    auto sorted = sort_baseline_data(data);
    if (!sorted.ok()) {
        out.error = sorted.error();
        return out;
    }
    const std::vector<double>& x = sorted.value();
    if (x.front() == -kInf) out.error = DriftError::InfiniteBaselineMinimum;
    else if (x.back() == kInf) out.error = DriftError::InfiniteBaselineMaximum;
    else if (!std::isfinite(x.back() - x.front())) out.error = DriftError::BaselineRangeOverflow;
    else if ((out.bins = compute_num_bins(rule, x)) > kMaxBins) out.error = DriftError::TooManyBins;
    if (out.error) return out;
    out.edges.push_back(x.front());
    if (x.front() != x.back()) {
        const double w = (x.back() - x.front()) / static_cast<double>(out.bins - 2);
        while (out.edges.size() < out.bins - 2) out.edges.push_back(w + out.edges.back());
    }
    const std::size_t last = static_cast<std::size_t>(out.bins - 1);
    out.hist.assign(out.bins, 0.0);
    for (double t : x) {
        const auto c = static_cast<std::size_t>(std::upper_bound(out.edges.begin(), out.edges.end(), t) -
                                                out.edges.begin());  // edges <= t
        out.hist[t < out.edges[0] ? 0 : t > out.edges[out.bins - 3] ? last : std::min(c, last)] += 1.0;
    }
    for (double& h : out.hist) h /= static_cast<double>(x.size());
    out.maximum = x.back();
    return out;
}

bool bits_equal(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}
}  // namespace

TEST_CASE("baselines built without sorting are those of a sorted copy, bit for bit") {
    std::mt19937_64 rng(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<std::vector<double>> samples;
    for (std::size_t n : {2, 3, 4, 100, 5000, 40000}) {
        std::vector<double> v(n);
        for (double& x : v) x = normal(rng);
        samples.push_back(v);
        for (double& x : v) x = std::round(x * 2.0) / 2.0;  // ties at the quartiles
        samples.push_back(v);
        for (std::size_t i = 0; i < n; ++i) v[i] = i % 2 ? -0.0 : 0.0;  // zeros of both signs only
        samples.push_back(v);
        v.back() = 3.0;  // ... with a larger value last
        samples.push_back(v);
        v.front() = -2.0;
        samples.push_back(v);
        for (std::size_t i = 0; i < n; ++i) v[i] = std::exp(normal(rng) * 20.0);  // very many bins
        samples.push_back(v);
    }
    samples.push_back({0.0, -0.0, 1.0, -0.0});
    samples.push_back({-0.0, 0.0, -1.0, 0.0});
    samples.push_back({1.0, kNaN, kInf});
    samples.push_back({-kInf, 1.0, 2.0});
    samples.push_back({-1e308, 0.0, 1e308, 1.0});
    for (const auto& data : samples) {
        for (const auto rule : {QuantileType::FreedmanDiaconis, QuantileType::Scott, QuantileType::Sturges}) {
            CAPTURE(data.size());
            CAPTURE(name(rule));
            const SortedBaseline want = sorted_baseline(data, rule);
            const auto got = BaselineContinuousBins::create(data, rule);
            REQUIRE(got.ok() == !want.error);
            if (want.error) {
                CHECK(got.error() == *want.error);
                continue;
            }
            CHECK(got.value().num_bins() == want.bins);
            CHECK(bits_equal(got.value().bin_edges(), want.edges));
            CHECK(bits_equal(got.value().baseline_hist(), want.hist));
            CHECK(bits_equal({got.value().maximum()}, {want.maximum}));
        }
    }
}

TEST_CASE("huge bin counts are refused, never allocated") {
    std::vector<double> outlier = iota_values(100);
    outlier.push_back(1e300);
    CHECK(BaselineContinuousBins::create(outlier, QuantileType::FreedmanDiaconis).error() == DriftError::TooManyBins);
    // Scott's bin count is bounded by the sample size (range over standard deviation).
    CHECK(BaselineContinuousBins::create(outlier, QuantileType::Scott).value().num_bins() == 3);
    CHECK(std::string(message(DriftError::TooManyBins)).find("too many") != std::string::npos);
    // Sturges stays small whatever the (finite) range.
    outlier.insert(outlier.begin(), -1e300);
    auto s = must_build(outlier, QuantileType::Sturges);
    CHECK(s.num_bins() == 7);
    for (double t : {-kInf, 0.0, 50.0, kInf, kNaN}) CHECK(s.bin(t) < s.num_bins());
}

TEST_CASE("infinite extremes and an overflowing range are refused under every rule") {
    std::vector<double> with_inf = iota_values(100);
    with_inf.push_back(kInf);
    std::vector<double> with_ninf = iota_values(100);
    with_ninf.insert(with_ninf.begin(), -kInf);
    const std::vector<double> both{-kInf, 0.0, 1.0, kInf};
    const std::vector<double> all_inf{kInf, kInf};
    const std::vector<double> all_ninf{-kInf, -kInf};
    const std::vector<double> spread{-1e308, 0.0, 1.0, 1e308, 5.0, 6.0, 7.0, 8.0};
    struct Row {
        const std::vector<double>* data;
        DriftError err;
    };
    const Row rows[] = {
        {&with_inf, DriftError::InfiniteBaselineMaximum}, {&with_ninf, DriftError::InfiniteBaselineMinimum},
        {&both, DriftError::InfiniteBaselineMinimum},     {&all_inf, DriftError::InfiniteBaselineMaximum},
        {&all_ninf, DriftError::InfiniteBaselineMinimum}, {&spread, DriftError::BaselineRangeOverflow},
    };
    for (const Row& row : rows) {
        for (QuantileType rule : {QuantileType::FreedmanDiaconis, QuantileType::Scott, QuantileType::Sturges}) {
            auto r = BaselineContinuousBins::create(*row.data, rule);
            REQUIRE_FALSE(r.ok());
            CHECK(r.error() == row.err);
        }
    }
    CHECK(std::string(message(DriftError::InfiniteBaselineMinimum)).find("-inf") != std::string::npos);
    CHECK(std::string(message(DriftError::InfiniteBaselineMaximum)).find("maximum is inf") != std::string::npos);
    // NaN keeps its own refusal, ahead of the infinities.
    const std::vector<double> nan_first{kNaN, kInf, 0.0};
    CHECK(BaselineContinuousBins::create(nan_first, QuantileType::Sturges).error() == DriftError::NaNValueError);
}

TEST_CASE("lookup of values below, on and above the edges") {
    auto b = must_build(iota_values(100), QuantileType::FreedmanDiaconis);  // edges 0, 33, 66
    struct Row {
        double t;
        std::size_t bin;
    };
    const Row rows[] = {
        {-5.0, 0}, {-0.0, 1}, {0.0, 1},   {32.999, 1}, {33.0, 2}, {65.9, 2},   {66.0, 3},
        {std::nextafter(66.0, 100.0), 4},  {99.0, 4},  {200.0, 4}, {kNaN, 0}, {-kInf, 0}, {kInf, 4},
    };
    for (const auto& r : rows) {
        CAPTURE(r.t);
        CHECK(b.bin(r.t) == r.bin);
    }
}

TEST_CASE("fast lookup agrees with counting edges on random baselines") {
    std::mt19937_64 rng(7);
    for (int trial = 0; trial < 30; ++trial) {
        std::normal_distribution<double> dist(trial * 1e3, 1.0 + trial);
        std::vector<double> data(2000);
        for (double& v : data) v = dist(rng);
        if (trial % 3 == 0) data.push_back(data[0] + 1e3);  // stretch the range: many bins
        const QuantileType rule = static_cast<QuantileType>(trial % 3);
        auto b = must_build(data, rule);
        std::vector<double> probes(b.bin_edges().begin(), b.bin_edges().end());
        for (double e : b.bin_edges()) {
            probes.push_back(std::nextafter(e, -kInf));
            probes.push_back(std::nextafter(e, kInf));
        }
        for (int i = 0; i < 2000; ++i) probes.push_back(dist(rng) * 1.5 - trial * 500.0);
        probes.insert(probes.end(), {kNaN, -kInf, kInf});
        for (double t : probes) {
            CAPTURE(t);
            REQUIRE(b.bin(t) == reference_bin(b, t));
        }
        // The block counter (vectorised where the machine allows) counts the
        // same bins, from every start within a vector of four.
        const CellLookup cells = b.lookup().cells;
        if (cells.count == nullptr) continue;
        const auto nb = static_cast<std::size_t>(b.num_bins());
        for (std::size_t from = 0; from < 4; ++from) {
            const std::span<const double> part = std::span<const double>(probes).subspan(from);
            std::vector<std::uint64_t> lanes(4 * nb, 0), got(nb, 0), expected(nb, 0);
            count_cells(cells, part, lanes.data(), nb);
            for (std::size_t j = 0; j < nb; ++j) got[j] = lanes[j] + lanes[nb + j] + lanes[2 * nb + j] + lanes[3 * nb + j];
            for (double t : part) ++expected[reference_bin(b, t)];
            CHECK(got == expected);
        }
    }
}

TEST_CASE("reset keeps the rule, may change the bin count, and fails cleanly") {
    auto b = must_build(iota_values(100), QuantileType::Sturges);
    REQUIRE(b.num_bins() == 7);
    REQUIRE(b.reset(iota_values(1024)).ok());
    CHECK(b.num_bins() == 11);
    CHECK(b.quantile_type() == QuantileType::Sturges);
    const auto edges = b.bin_edges();
    const auto hist = b.baseline_hist();
    for (const std::vector<double>& bad : {std::vector<double>{1.0}, std::vector<double>{0.0, kNaN}}) {
        CHECK_FALSE(b.reset(bad).ok());
        CHECK(b.num_bins() == 11);
        CHECK(b.bin_edges() == edges);
        CHECK(b.baseline_hist() == hist);
    }
}

TEST_CASE("rule and metric names parse exactly") {
    CHECK(parse_quantile_type("Scott").value() == QuantileType::Scott);
    CHECK(parse_optional_quantile_type(std::optional<std::string>{}).value() == QuantileType::FreedmanDiaconis);
    for (const char* bad : {"scott", "Scott ", "", "FreedmanDiaconis,", "Sturge"}) {
        CHECK(parse_quantile_type(std::string_view(bad)).error() == DriftError::UnsupportedDriftType);
    }
    CHECK(parse_quantile_type(std::string_view("Sturges\0", 8)).error() == DriftError::UnsupportedDriftType);
    CHECK(parse_drift_type("KullbackLeibler").value() == DataDriftType::KullbackLeibler);
    CHECK(parse_drift_type("kullbackLeibler").error() == DriftError::UnsupportedDriftType);
    auto list = parse_drift_types({"JensenShannon", "nope", "WassersteinDistance"});
    REQUIRE_FALSE(list.ok());
    CHECK(list.error() == DriftError::UnsupportedDriftType);
    auto ok = parse_drift_types({"WassersteinDistance", "JensenShannon", "WassersteinDistance"});
    CHECK(ok.value() == std::vector<DataDriftType>{DataDriftType::WassersteinDistance, DataDriftType::JensenShannon,
                                                   DataDriftType::WassersteinDistance});
}

TEST_CASE("categorical baseline: byte-wise order, shares and the unseen slot") {
    const std::vector<std::string> labels = {"b", "a", "b"};
    auto r = BaselineCategoricalBins::create(views(labels));
    REQUIRE(r.ok());
    auto& b = r.value();
    CHECK(b.label_index().labels() == std::vector<std::string>{"a", "b"});
    CHECK(b.baseline_hist() == std::vector<double>{1.0 / 3.0, 2.0 / 3.0, 0.0});
    CHECK(b.bin("a") == 0);
    CHECK(b.bin("b") == 1);
    CHECK(b.bin("c") == 2);
    CHECK(b.bin("") == 2);
    CHECK(b.bin("ab") == 2);

    // Upper case before lower case, a prefix first, multi-byte UTF-8 after ASCII.
    const std::vector<std::string> mixed = {"ab", "\xc3\xa9", "a", "B", "z", std::string("a\0b", 3)};
    auto m = BaselineCategoricalBins::create(views(mixed));
    REQUIRE(m.ok());
    CHECK(m.value().label_index().labels() ==
          std::vector<std::string>{"B", "a", std::string("a\0b", 3), "ab", "z", "\xc3\xa9"});
    CHECK(m.value().bin(std::string_view("a\0b", 3)) == 2);
    CHECK(m.value().bin("a") == 1);

    const std::vector<std::string> single = {"a"};
    auto s = BaselineCategoricalBins::create(views(single));
    CHECK(s.value().baseline_hist() == std::vector<double>{1.0, 0.0});
}

TEST_CASE("define_bins on empty labels keeps the previous table") {
    const std::vector<std::string> labels = {"x", "y"};
    auto b = BaselineCategoricalBins::create(views(labels)).value();
    CHECK(b.define_bins({}).error() == DriftError::EmptyBaselineData);
    CHECK(b.num_bins() == 3);
    CHECK(b.bin("y") == 1);
    CHECK(BaselineCategoricalBins::create({}).error() == DriftError::EmptyBaselineData);
}

TEST_CASE("label index finds every label among many") {
    std::vector<std::string> labels;
    for (int i = 0; i < 5000; ++i) labels.push_back("label-" + std::to_string(i * 7919 % 10007));
    auto b = BaselineCategoricalBins::create(views(labels)).value();
    const auto& sorted = b.label_index().labels();
    REQUIRE(sorted.size() == 5000);
    CHECK(std::is_sorted(sorted.begin(), sorted.end()));
    for (std::size_t i = 0; i < sorted.size(); ++i) REQUIRE(b.bin(sorted[i]) == i);
    CHECK(b.bin("label-") == 5000);
    CHECK(b.bin("label-10008") == 5000);
}

TEST_CASE("metric formulas keep their own epsilon placement") {
    // Expected values from an independent NumPy evaluation of each formula;
    // a large epsilon makes every placement visible.
    struct Row {
        const char* what;
        std::vector<double> b, r;
        double n, eps;
        double js, psi, kl, w_cont, w_cat;
    };
    const std::vector<Row> rows = {
        {"eps 0.1", {0.5, 0.5, 0.0}, {1, 0, 3}, 4, 0.1,
         0.41133095883260107, 2.531623935089187, 2.1701581484019865, 0.5, 0.75},
        {"ratio clamp", {1, 0, 0}, {0, 100, 0}, 100, 0.1,
         0.7034197796356396, 4.473424991386114, 7.933630513964513, 1.0, 1.0},
        {"default eps", {0.25, 0.25, 0.25, 0.25}, {1, 2, 3, 4}, 10, 1e-12,
         0.04020158234594101, 0.22821740957370937, 0.1217772742911347, 0.049999999999999975, 0.19999999999999996},
    };
    for (const auto& row : rows) {
        CAPTURE(row.what);
        auto f = [&](DataDriftType t, BinKind k) { return global_compute_drift(row.b, row.r, row.n, t, k, row.eps); };
        CHECK(f(DataDriftType::JensenShannon, BinKind::Continuous) == doctest::Approx(row.js).epsilon(1e-13));
        CHECK(f(DataDriftType::PopulationStabilityIndex, BinKind::Categorical) ==
              doctest::Approx(row.psi).epsilon(1e-13));
        CHECK(f(DataDriftType::KullbackLeibler, BinKind::Continuous) == doctest::Approx(row.kl).epsilon(1e-13));
        CHECK(f(DataDriftType::WassersteinDistance, BinKind::Continuous) ==
              doctest::Approx(row.w_cont).epsilon(1e-13));
        CHECK(f(DataDriftType::WassersteinDistance, BinKind::Categorical) ==
              doctest::Approx(row.w_cat).epsilon(1e-13));
    }
}

TEST_CASE("metric corner cases") {
    const std::vector<double> b = {0.0, 0.5, 0.5};
    const std::vector<double> same = {0.0, 5.0, 5.0};
    for (auto t : {DataDriftType::JensenShannon, DataDriftType::WassersteinDistance,
                   DataDriftType::PopulationStabilityIndex, DataDriftType::KullbackLeibler}) {
        CAPTURE(static_cast<int>(t));
        CHECK(std::fabs(global_compute_drift(b, same, 10.0, t, BinKind::Categorical)) < 1e-9);
    }
    // Continuous Wasserstein with fewer than three bins is 0; the categorical one is not.
    const std::vector<double> two_b = {1.0, 0.0}, two_r = {0.0, 1.0};
    CHECK(global_compute_drift(two_b, two_r, 1.0, DataDriftType::WassersteinDistance, BinKind::Continuous) == 0.0);
    CHECK(global_compute_drift(two_b, two_r, 1.0, DataDriftType::WassersteinDistance, BinKind::Categorical) ==
          doctest::Approx(1.0));
    CHECK(global_compute_drift({}, {}, 1.0, DataDriftType::WassersteinDistance, BinKind::Categorical) == 0.0);
    // Only the shorter of the two sequences is compared.
    const std::vector<double> longer = {0.0, 5.0, 5.0, 7.0};
    CHECK(global_compute_drift(b, longer, 10.0, DataDriftType::JensenShannon, BinKind::Categorical) ==
          global_compute_drift(b, same, 10.0, DataDriftType::JensenShannon, BinKind::Categorical));
    CHECK(std::signbit(runtime_sum({})));
}

TEST_CASE("batch continuous detector") {
    auto d = ContinuousDataDrift::create(std::nullopt, iota_values(100)).value();
    CHECK(d.baseline().quantile_type() == QuantileType::FreedmanDiaconis);
    REQUIRE(d.runtime_bins().size() == 5);
    const std::vector<double> outside = {-5.0, 200.0};
    const auto w = d.compute_drift(outside, DataDriftType::WassersteinDistance).value();
    CHECK(w == doctest::Approx((0.33 + 0.33 + 0.01) / 3.0));
    CHECK(d.runtime_bins() == std::vector<double>(5, 0.0));
    CHECK(d.compute_drift(outside, DataDriftType::WassersteinDistance).value() == w);

    // Several metrics over one histogram equal the metrics computed one by one.
    std::mt19937_64 rng(3);
    std::normal_distribution<double> dist(50.0, 30.0);
    std::vector<double> rt(10001);
    for (double& v : rt) v = dist(rng);
    rt[17] = kNaN;
    const DataDriftType all[] = {DataDriftType::KullbackLeibler, DataDriftType::JensenShannon,
                                 DataDriftType::PopulationStabilityIndex, DataDriftType::WassersteinDistance,
                                 DataDriftType::JensenShannon};
    auto many = d.compute_drift_multiple(rt, all).value();
    REQUIRE(many.size() == 5);
    for (std::size_t i = 0; i < 5; ++i) CHECK(many[i] == d.compute_drift(rt, all[i]).value());
    CHECK(many[1] == many[4]);

    // A failed call leaves the zeroed bins as they were.
    CHECK(d.compute_drift({}, DataDriftType::JensenShannon).error() == DriftError::EmptyRuntimeData);
    CHECK(d.runtime_bins() == std::vector<double>(5, 0.0));
    CHECK(d.compute_drift_multiple(rt, {}).value().empty());

    // Bins count NaN in bin 0.
    REQUIRE(d.build_rt_hist(std::vector<double>{kNaN, kNaN, 50.0}).ok());
    CHECK(d.runtime_bins() == std::vector<double>{2, 0, 1, 0, 0});
}

TEST_CASE("batch detectors keep their baseline when a reset fails") {
    auto d = ContinuousDataDrift::create(QuantileType::Sturges, iota_values(100)).value();
    CHECK(d.reset_baseline(std::vector<double>{1.0}).error() == DriftError::EmptyBaselineData);
    CHECK(d.baseline().num_bins() == 7);
    CHECK(d.runtime_bins().size() == 7);
    REQUIRE(d.reset_baseline(std::vector<double>{1.0, 1.0}).ok());
    CHECK(d.baseline().num_bins() == 3);
    CHECK(d.runtime_bins().size() == 3);
    CHECK(d.baseline().quantile_type() == QuantileType::Sturges);

    const std::vector<std::string> base = {"a", "b"}, other = {"x", "y", "z", "z"};
    auto c = CategoricalDataDrift::create(views(base)).value();
    CHECK(c.reset_baseline({}).error() == DriftError::EmptyBaselineData);
    CHECK(c.runtime_bins().size() == 3);
    REQUIRE(c.reset_baseline(views(other)).ok());
    CHECK(c.runtime_bins().size() == 4);
    CHECK(c.baseline().baseline_hist() == std::vector<double>{0.25, 0.25, 0.5, 0.0});
}

TEST_CASE("batch categorical detector and one-shot functions") {
    const std::vector<std::string> base = {"a", "b"}, rt = {"c", "c"};
    auto d = CategoricalDataDrift::create(views(base)).value();
    REQUIRE(d.build_rt_hist(views(rt)).ok());
    CHECK(d.runtime_bins() == std::vector<double>{0, 0, 2});
    const DataDriftType w[] = {DataDriftType::WassersteinDistance};
    auto one = compute_drift_categorical_distribution(views(base), views(rt), w).value();
    CHECK(one[0] == doctest::Approx(1.0));
    CHECK(compute_drift_categorical_distribution({}, {}, w).error() == DriftError::EmptyBaselineData);
    CHECK(compute_drift_categorical_distribution(views(base), {}, w).error() == DriftError::EmptyRuntimeData);

    auto cont = compute_drift_continuous_distribution(iota_values(100), std::vector<double>{-5.0, 200.0}, w,
                                                      std::nullopt);
    CHECK(cont.value()[0] == doctest::Approx((0.33 + 0.33 + 0.01) / 3.0));
    CHECK(compute_drift_continuous_distribution(std::vector<double>{1.0}, {}, w, std::nullopt).error() ==
          DriftError::EmptyBaselineData);
}

TEST_CASE("decay: one step per computation, whatever the number of metrics") {
    auto d = StreamingContinuousDataDrift::new_decay(iota_values(100), std::nullopt, 1).value();
    CHECK(d.state().decay_factor() == 0.5);
    for (int i = 0; i < 10; ++i) d.update_stream(10.0 * i);
    CHECK(d.state().total_samples() == 10);
    const DataDriftType one[] = {DataDriftType::JensenShannon};
    const DataDriftType two[] = {DataDriftType::JensenShannon, DataDriftType::KullbackLeibler};
    REQUIRE(d.compute_drift_multiple(two).ok());
    CHECK(d.state().total_samples() == 5);
    REQUIRE(d.compute_drift_multiple(one).ok());
    CHECK(d.state().stream_total() == 2.5);
    CHECK(d.state().total_samples() == 2);
    CHECK(runtime_sum(d.state().runtime_bins()) == 2.5);
    REQUIRE(d.compute_drift_multiple({}).ok());  // an empty request still ages the stream
    CHECK(d.state().stream_total() == 1.25);

    struct Row {
        std::optional<std::uint64_t> h;
        double factor;
    };
    const Row rows[] = {{std::nullopt, kDefaultDecayFactor}, {86400, kDefaultDecayFactor}, {2, std::exp2(-0.5)}};
    for (const auto& r : rows) CHECK(decay_factor_for(r.h).value() == r.factor);
    CHECK(decay_factor_for(0).error() == DriftError::UnsupportedConfiguration);
    // The configuration is refused before the baseline is looked at.
    CHECK(StreamingContinuousDataDrift::new_decay({}, std::nullopt, 0).error() ==
          DriftError::UnsupportedConfiguration);
    CHECK(StreamingCategoricalDataDrift::new_decay({}, 0).error() == DriftError::UnsupportedConfiguration);
    CHECK(StreamingCategoricalDataDrift::new_decay({}, 5).error() == DriftError::EmptyBaselineData);
}

TEST_CASE("flush by rate happens before the sample that reaches it") {
    FakeClock clock;
    auto d = StreamingContinuousDataDrift::new_flush(iota_values(100), std::nullopt, 3, std::nullopt).value();
    for (int i = 0; i < 6; ++i) d.update_stream(1.0);
    CHECK(d.state().total_samples() == 3);  // flushed before the 4th
    d.update_stream(90.0);                  // flushed before the 7th
    CHECK(d.state().total_samples() == 1);
    CHECK(d.state().runtime_bins() == std::vector<double>{0, 0, 0, 0, 1});

    // Rate 0 flushes before every sample.
    const std::vector<std::string> base = {"a", "b"}, rt = {"a", "b", "q"};
    auto c = StreamingCategoricalDataDrift::new_flush(views(base), 0, std::nullopt).value();
    REQUIRE(c.update_stream_batch(views(rt)).ok());
    CHECK(c.state().stream_total() == 1.0);
    CHECK(c.state().runtime_bins() == std::vector<double>{0, 0, 1});
}

TEST_CASE("flush by cadence: clock read only at counts 0, 256, 512, ...") {
    FakeClock clock;
    auto d = StreamingContinuousDataDrift::new_flush(iota_values(100), std::nullopt, std::nullopt, 10).value();
    CHECK(d.state().flush_rate() == kDefaultFlushRate);
    std::vector<double> batch(300, 5.0);
    REQUIRE(d.update_stream_batch(batch).ok());
    CHECK(d.state().total_samples() == 300);
    g_fake_now = Instant{1010, 0};  // cadence elapsed, but the count is 300: no check until 512
    CHECK(d.state().seconds_since_flush() == 10);
    std::vector<double> more(211, 5.0);
    REQUIRE(d.update_stream_batch(more).ok());
    CHECK(d.state().total_samples() == 511);
    d.update_stream(5.0);  // count 511: still no check
    CHECK(d.state().total_samples() == 512);
    d.update_stream(5.0);  // count 512: the clock says 10 s, flush, then add
    CHECK(d.state().total_samples() == 1);
    CHECK(d.state().seconds_since_flush() == 0);

    // Just below the cadence does not flush; seconds then nanoseconds are compared.
    g_fake_now = Instant{1019, 999999999};
    auto f = StreamingContinuousDataDrift::new_flush(iota_values(100), std::nullopt, std::nullopt, 1).value();
    g_fake_now = Instant{1020, 999999998};
    f.update_stream(1.0);
    CHECK(f.state().total_samples() == 1);
    auto g = StreamingContinuousDataDrift::new_flush(iota_values(100), std::nullopt, std::nullopt, 1).value();
    g.update_stream(1.0);  // count 0 after construction: elapsed 0 >= 0? no, cadence 1
    g_fake_now = Instant{1021, 999999998};
    for (int i = 0; i < 256; ++i) g.update_stream(1.0);
    CHECK(g.state().total_samples() == 1);  // flushed at count 256, then the sample added
    // A clock that goes backwards saturates at zero elapsed.
    g_fake_now = Instant{5, 0};
    CHECK(g.state().seconds_since_flush() == 0);

    // Cadence 0: every check flushes; a batch of 600 keeps 600 - 512 samples.
    g_fake_now = Instant{2000, 0};
    auto z = StreamingContinuousDataDrift::new_flush(iota_values(100), std::nullopt, std::nullopt, 0).value();
    REQUIRE(z.update_stream_batch(std::vector<double>(600, 1.0)).ok());
    CHECK(z.state().total_samples() == 88);
}

TEST_CASE("elapsed time saturates and borrows nanoseconds") {
    CHECK(elapsed_between(Instant{10, 5}, Instant{12, 3}) == Instant{1, 999999998});
    CHECK(elapsed_between(Instant{10, 5}, Instant{10, 5}) == Instant{0, 0});
    CHECK(elapsed_between(Instant{10, 5}, Instant{9, 999}) == Instant{0, 0});
    CHECK(elapsed_between(Instant{0, 0}, Instant{UINT64_MAX, 0}) == Instant{UINT64_MAX, 0});
}

TEST_CASE("streaming failures change nothing") {
    FakeClock clock;
    auto d = StreamingContinuousDataDrift::new_flush(iota_values(100), QuantileType::Sturges, 100, 100).value();
    const DataDriftType js[] = {DataDriftType::JensenShannon};
    CHECK(d.compute_drift_multiple(js).error() == DriftError::EmptyRuntimeData);
    CHECK(d.stream_shares().error() == DriftError::EmptyRuntimeData);
    CHECK(d.update_stream_batch({}).error() == DriftError::EmptyRuntimeData);
    d.update_stream(50.0);
    d.update_stream(kNaN);
    const auto before = d.state().runtime_bins();
    CHECK(d.reset_baseline(std::vector<double>{1.0}).error() == DriftError::EmptyBaselineData);
    CHECK(d.baseline().num_bins() == 7);
    CHECK(d.state().runtime_bins() == before);
    CHECK(d.state().total_samples() == 2);
    auto shares = d.stream_shares().value();
    CHECK(std::accumulate(shares.begin(), shares.end(), 0.0) == 1.0);
    CHECK(shares[0] == 0.5);
    // Flush mode computes without flushing or decaying.
    REQUIRE(d.compute_drift_multiple(js).ok());
    CHECK(d.state().total_samples() == 2);
    d.state().flush_now();
    CHECK(d.compute_drift_multiple(js).error() == DriftError::EmptyRuntimeData);
    g_fake_now = Instant{1003, 0};
    REQUIRE(d.reset_baseline(iota_values(1024)).ok());
    CHECK(d.state().runtime_bins().size() == 11);
    CHECK(d.state().seconds_since_flush() == 0);
    CHECK(d.state().flush_rate() == 100.0);

    const std::vector<std::string> base = {"b", "a", "b"}, rt = {"a", "zz", "zz"};
    auto c = StreamingCategoricalDataDrift::new_decay(views(base), 3).value();
    REQUIRE(c.update_stream_batch(views(rt)).ok());
    CHECK(c.reset_baseline({}).error() == DriftError::EmptyBaselineData);
    CHECK(c.state().total_samples() == 3);
    const auto weights = c.label_weights();
    REQUIRE(weights.size() == 2);
    CHECK(weights[0] == std::pair<std::string, double>{"a", 1.0});
    CHECK(weights[1] == std::pair<std::string, double>{"b", 0.0});
    CHECK(c.state().runtime_bins()[2] == 2.0);
}

TEST_CASE("UCS-4 columns bin like their UTF-8 texts") {
    // Width 3, NUL-padded: "a", "é", "ab", "a" + U+1F600, "zz".
    const char32_t cells[] = {U'a', 0, 0, U'\u00e9', 0, 0, U'a', U'b', 0, U'a', U'\U0001F600', 0, U'z', U'z', 0};
    const Ucs4Column col{reinterpret_cast<const char*>(cells), 3 * sizeof(char32_t), 5, 3};
    std::string buf;
    CHECK(ucs4_utf8(col, 1, buf) == "\xc3\xa9");
    CHECK(ucs4_utf8(col, 3, buf) == "a\xf0\x9f\x98\x80");
    CHECK(ucs4_utf8(col, 4, buf) == "zz");

    const std::vector<std::string> base = {"a", "\xc3\xa9", "ab"};
    auto from_col = CategoricalDataDrift::create(Labels(col)).value();
    CHECK(from_col.baseline().label_index().labels() ==
          std::vector<std::string>{"a", "ab", "a\xf0\x9f\x98\x80", "zz", "\xc3\xa9"});
    auto d = CategoricalDataDrift::create(views(base)).value();
    REQUIRE(d.build_rt_hist(Labels(col)).ok());
    CHECK(d.runtime_bins() == std::vector<double>{1, 1, 1, 2});

    auto s = StreamingCategoricalDataDrift::new_decay(views(base), std::nullopt).value();
    REQUIRE(s.update_stream_batch(Labels(col)).ok());
    CHECK(s.state().runtime_bins() == std::vector<double>{1, 1, 1, 2});
}

TEST_CASE("UCS-4 bins past the cell cache and of empty cells") {
    // 6000 distinct cells (more than the cache remembers), every baseline label twice.
    const std::size_t width = 6, n = 12000;
    std::vector<char32_t> cells(n * width, 0);
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < n; ++i) {
        std::string t = std::to_string((i * 7) % 6000);
        t.insert(t.begin(), 'k');
        for (std::size_t c = 0; c < t.size(); ++c) cells[i * width + c] = static_cast<char32_t>(t[c]);
        texts.push_back(t);
    }
    const Ucs4Column col{reinterpret_cast<const char*>(cells.data()), static_cast<std::ptrdiff_t>(width * 4), n,
                         width};
    std::vector<std::string> base(texts.begin(), texts.begin() + 3000);
    auto from_views = CategoricalDataDrift::create(views(base)).value();
    auto from_views2 = CategoricalDataDrift::create(views(base)).value();
    REQUIRE(from_views.build_rt_hist(Labels(col)).ok());
    REQUIRE(from_views2.build_rt_hist(views(texts)).ok());
    CHECK(from_views.runtime_bins() == from_views2.runtime_bins());

    const Ucs4Column empty{reinterpret_cast<const char*>(cells.data()), 0, 3, 0};
    const std::vector<std::string> with_empty = {"", "a"};
    auto e = CategoricalDataDrift::create(views(with_empty)).value();
    REQUIRE(e.build_rt_hist(Labels(empty)).ok());
    CHECK(e.runtime_bins() == std::vector<double>{3, 0, 0});
}

TEST_CASE("hash of labels depends on every byte") {
    const std::uint64_t seed = 12345;
    std::vector<std::string> keys = {"", "a", "b", "ab", "ba", "abc", "abcd", "abce", "abcdefg", "abcdefgh",
                                     "abcdefgi", "bbcdefgh", std::string(17, 'x'), std::string(16, 'x') + "y",
                                     std::string("\0", 1), std::string("\0\0", 2)};
    std::vector<std::uint64_t> hashes;
    for (const auto& k : keys) hashes.push_back(hash_label(k, seed));
    std::sort(hashes.begin(), hashes.end());
    CHECK(std::adjacent_find(hashes.begin(), hashes.end()) == hashes.end());
}

TEST_CASE("labels compare equal only with every byte equal") {
    // Words, half words and single bytes: each length up to 40 with one byte
    // changed at each place, first and last included.
    for (std::size_t n = 0; n <= 40; ++n) {
        std::string a(n, '\0');
        for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<char>('a' + i % 26);
        CAPTURE(n);
        CHECK(same_label(a, std::string(a)));
        CHECK_FALSE(same_label(a, a + "x"));
        for (std::size_t i = 0; i < n; ++i) {
            std::string b = a;
            b[i] = static_cast<char>(b[i] ^ 0x80);
            CAPTURE(i);
            CHECK_FALSE(same_label(a, b));
        }
    }
}

TEST_CASE("lookup without the cell table (very many bins) agrees with counting edges") {
    std::vector<double> data = iota_values(100);
    data.push_back(2.2e6);  // Freedman-Diaconis: about 100000 bins
    auto b = must_build(data, QuantileType::FreedmanDiaconis);
    REQUIRE(b.num_bins() > 65536 + 2);
    REQUIRE(b.num_bins() <= kMaxBins);
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> dist(-10.0, 2.3e6);
    std::vector<double> probes = {kNaN, -kInf, kInf, 0.0, 2.2e6, 99.0};
    for (std::size_t i = 0; i < 400; ++i) {
        const double e = b.bin_edges()[i * 200];
        probes.insert(probes.end(), {e, std::nextafter(e, -kInf), std::nextafter(e, kInf)});
    }
    for (int i = 0; i < 400; ++i) probes.push_back(dist(rng));
    for (double t : probes) {
        CAPTURE(t);
        REQUIRE(b.bin(t) == reference_bin(b, t));
    }
}

TEST_CASE("edge bins count as the baseline's own lookup") {
    std::mt19937 rng(8);
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::vector<double> base = [&] {
        std::vector<double> v(500);
        for (double& x : v) x = normal(rng);
        return v;
    }();
    const std::vector<double> flat(20, 2.5);
    for (const std::vector<double>* data : {&base, &flat}) {
        for (const auto rule : {QuantileType::FreedmanDiaconis, QuantileType::Scott, QuantileType::Sturges}) {
            const auto b = BaselineContinuousBins::create(*data, rule);
            REQUIRE(b.ok());
            const auto edges = b.value().bin_edges();
            const auto bins = EdgeBins::from_edges(edges);
            REQUIRE(bins);
            CHECK(bins->num_bins() == b.value().num_bins());
            std::vector<double> values{std::nan(""), -INFINITY, INFINITY, 1e300, -1e300};
            for (const double e : edges) {
                values.insert(values.end(), {e, std::nextafter(e, -INFINITY), std::nextafter(e, INFINITY)});
            }
            for (int i = 0; i < 200; ++i) values.push_back(normal(rng) * 2);
            std::vector<std::uint64_t> counts(bins->num_bins(), 0), expected(bins->num_bins(), 0);
            bins->count(values, counts.data());
            for (const double v : values) ++expected[b.value().bin(v)];
            CHECK(counts == expected);
        }
    }
    const double unsorted[] = {1.0, 0.5}, nan_edge[] = {0.0, std::nan("")};
    CHECK_FALSE(EdgeBins::from_edges(unsorted));
    CHECK_FALSE(EdgeBins::from_edges(nan_edge));
    CHECK_FALSE(EdgeBins::from_edges(std::span<const double>{}));
    const std::vector<double> hist{0.25, 0.5, 0.25}, none(3, 0.0);
    const DataDriftType js[] = {DataDriftType::JensenShannon};
    CHECK_FALSE(scores_of_counts(hist, none, js, BinKind::Continuous).ok());
}

namespace {
// Items are strings; an item equal to "?" is one the fill cannot read.
std::size_t fill_strings(const void* items, std::size_t begin, std::size_t count, std::string_view* out) noexcept {
    const auto* texts = static_cast<const std::string*>(items) + begin;
    for (std::size_t j = 0; j < count; ++j) {
        if (texts[j] == "?") return j;
        out[j] = texts[j];
    }
    return count;
}
}  // namespace

TEST_CASE("items bin like their views, and an unreadable one stops the binning and is flagged") {
    const std::vector<std::string> base = {"a", "b", "c"};
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < 600; ++i) texts.push_back(i % 7 == 0 ? "x" : base[i % 3]);
    auto d = CategoricalDataDrift::create(views(base)).value();
    REQUIRE(d.build_rt_hist(views(texts)).ok());
    const std::vector<double> want = d.runtime_bins();

    const ItemTexts all{texts.data(), texts.size(), fill_strings};
    std::atomic<bool> flag{false};
    auto e = CategoricalDataDrift::create(views(base)).value();
    REQUIRE(e.build_rt_hist(Labels(all, &flag)).ok());
    CHECK(e.runtime_bins() == want);
    CHECK_FALSE(flag.load());

    // Unreadable at the edges of the runs the items are read in.
    for (std::size_t at : {std::size_t{0}, std::size_t{255}, std::size_t{256}, std::size_t{599}}) {
        std::vector<std::string> odd = texts;
        odd[at] = std::string(1, '?');
        const ItemTexts items{odd.data(), odd.size(), fill_strings};
        std::atomic<bool> unreadable{false};
        auto f = CategoricalDataDrift::create(views(base)).value();
        REQUIRE(f.build_rt_hist(Labels(items, &unreadable)).ok());
        CHECK(unreadable.load());
        double counted = 0;
        for (double c : f.runtime_bins()) counted += c;
        CHECK(counted == static_cast<double>(at));  // the items before it, then no more
    }
}

TEST_CASE("the label index finds every label and nothing one byte off, short and long") {
    // Lengths 0 to 20 (found by their words up to 16 bytes, by their text past
    // that), with labels that share words but not lengths ("ab", "abb").
    std::vector<std::string> labels = {"ab", "abb", "a", std::string("a\0", 2), "aa", "aaa"};
    for (std::size_t n = 0; n <= 20; ++n) {
        std::string a(n, '\0');
        for (std::size_t i = 0; i < n; ++i) a[i] = static_cast<char>('a' + i % 26);
        labels.push_back(a);
    }
    std::sort(labels.begin(), labels.end());
    labels.erase(std::unique(labels.begin(), labels.end()), labels.end());
    const LabelIndex index = LabelIndex::from_sorted(labels);
    for (std::size_t k = 0; k < labels.size(); ++k) {
        CAPTURE(labels[k]);
        CHECK(index.find(labels[k]) == k);
        for (std::size_t i = 0; i < labels[k].size(); ++i) {
            std::string b = labels[k];
            b[i] = static_cast<char>(b[i] ^ 0x80);
            CAPTURE(i);
            CHECK(index.find(b) == labels.size());
        }
        CHECK(index.find(labels[k] + "\x80") == labels.size());
    }
}
