#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "core/state.hpp"
#include "support.hpp"

using namespace lumetra;
using namespace lumetra::testing;
using namespace lumetra::drift;
using state::Tag;
using Bytes = std::vector<std::uint8_t>;

namespace {

template <class T, class E>
T must(Result<T, E>&& r) {
    REQUIRE(r.ok());
    return std::move(r).value();
}

template <class T>
std::string refusal(const Bytes& b, Tag tag) {
    auto r = state::from_bytes<T>(b, tag);
    REQUIRE_FALSE(r.ok());
    return r.error().text;
}

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The checksum recomputed after a deliberate change of the body, so the
// change reaches the checks of the fields themselves.
Bytes reseal(Bytes b) {
    const std::uint32_t crc = state::crc32c(std::span<const std::uint8_t>(b.data(), b.size() - 4));
    for (int i = 0; i < 4; ++i) b[b.size() - 4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
    return b;
}
void put_u64(Bytes& b, std::size_t at, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
void put_f64(Bytes& b, std::size_t at, double v) {
    std::uint64_t u;
    std::memcpy(&u, &v, 8);
    put_u64(b, at, u);
}
double get_f64(const Bytes& b, std::size_t at) {
    std::uint64_t u = 0;
    for (int i = 0; i < 8; ++i) u |= static_cast<std::uint64_t>(b[at + static_cast<std::size_t>(i)]) << (8 * i);
    double v;
    std::memcpy(&v, &u, 8);
    return v;
}

// The clock of these tests starts at 5000 s.
struct Clock5000 : FakeClock {
    Clock5000() : FakeClock(Instant{5000, 0}) {}
};

std::vector<double> iota(int n) {
    std::vector<double> v(static_cast<std::size_t>(n));
    std::iota(v.begin(), v.end(), 0.0);
    return v;
}

const std::vector<std::string> kLabels{"b", "a", "b", "\xc3\xa9", "c", "a", "b"};

StreamingContinuousDataDrift continuous_flush() {
    auto d = must(StreamingContinuousDataDrift::new_flush(iota(100), QuantileType::Sturges, 50, 60));
    const std::vector<double> runtime{-3.0, 0.0, 19.8, 55.5, 99.0, 150.0, std::nan("")};
    REQUIRE(d.update_stream_batch(runtime).ok());
    return d;
}

}  // namespace

TEST_CASE("CRC-32C: the check value and continuation") {
    const std::string text = "123456789";
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    CHECK(state::crc32c(std::span<const std::uint8_t>(p, 9)) == 0xE3069283u);
    CHECK(state::crc32c(std::span<const std::uint8_t>(p + 4, 5), state::crc32c(std::span<const std::uint8_t>(p, 4))) ==
          0xE3069283u);
    CHECK(state::crc32c({}) == 0u);
}

TEST_CASE("every class comes back byte for byte") {
    Clock5000 clock;
    auto data_bias = must(StreamingDataBias::create(col(I8{1, 0, 1, 0}), col(I8{1, 0, 0, 0})));
    data_bias.push(1, 1);
    auto model_bias = must(StreamingModelBias::create(col(I8{1, 1, 1, 1, 0, 0, 0, 0}), col(I8{1, 1, 0, 0, 1, 1, 0, 0}),
                                                      col(I8{1, 0, 0, 1, 1, 0, 0, 1})));
    model_bias.push(1, 0, 1);
    auto binary = must(BinaryClassificationStreaming::create(col(I32{1, 0, 1}), col(I32{1, 1, 0})));
    binary.push(1, 1);
    auto regression = must(LinearRegressionStreaming::create(col(F32{1, 2, 3}), col(F32{1, 2, 4})));
    regression.push(0.5f, 2.0f);
    auto logistic = must(LogisticRegressionStreaming::create(col(F32{1, 0, 1}), col(F32{0.9f, 0.2f, 0.4f}), 0.5f));
    REQUIRE(logistic.push(1.0f, 0.7f).ok());
    auto batch_cont = must(ContinuousDataDrift::create(QuantileType::Scott, iota(1000)));
    auto batch_cat = must(CategoricalDataDrift::create(Labels(views(kLabels))));
    auto decay = must(StreamingCategoricalDataDrift::new_decay(Labels(views(kLabels)), 3));
    decay.update_stream("a");
    decay.update_stream("zz");
    REQUIRE(decay.compute_drift_multiple(std::vector<DataDriftType>{DataDriftType::JensenShannon}).ok());
    auto flush = continuous_flush();

    auto twice = [](const auto& obj, Tag tag) {
        using T = std::decay_t<decltype(obj)>;
        const Bytes first = state::to_bytes(obj);
        const T back = must(state::from_bytes<T>(first, tag));
        CHECK(state::to_bytes(back) == first);
        return back;
    };
    twice(data_bias, Tag::DataBiasStreaming);
    twice(model_bias, Tag::ModelBiasStreaming);
    twice(binary, Tag::BinaryClassificationStreaming);
    twice(regression, Tag::LinearRegressionStreaming);
    twice(logistic, Tag::LogisticRegressionStreaming);
    const auto cont = twice(batch_cont, Tag::ContinuousDataDrift);
    // The rebuilt lookup bins exactly as the original.
    for (double t : {-1.0, 0.0, 3.3, 500.0, 998.9, 999.0, 1e9, std::nan("")}) {
        CHECK(cont.baseline().bin(t) == batch_cont.baseline().bin(t));
    }
    twice(batch_cat, Tag::CategoricalDataDrift);
    const auto cat = twice(decay, Tag::StreamingCategoricalDecay);
    CHECK(cat.baseline().bin("\xc3\xa9") == decay.baseline().bin("\xc3\xa9"));
    CHECK(cat.baseline().bin("zz") == 4);

    // The window age survives: the restored window started as long ago.
    g_fake_now = Instant{5007, 250000000};
    auto back = twice(flush, Tag::StreamingContinuousFlush);
    CHECK(back.state().window_age() == Instant{7, 250000000});
    CHECK(back.state().flush_cadence() == Instant{60, 0});
    g_fake_now = Instant{5060, 0};
    CHECK(back.state().window_age() == flush.state().window_age());
    CHECK(back.state().seconds_since_flush() == 60);
}

TEST_CASE("a window older than the clock starts at the clock's zero") {
    Clock5000 clock;
    auto d = continuous_flush();
    g_fake_now = Instant{9000, 0};
    const Bytes b = state::to_bytes(d);  // age 4000 s
    g_fake_now = Instant{100, 5};
    auto back = must(state::from_bytes<StreamingContinuousDataDrift>(b, Tag::StreamingContinuousFlush));
    CHECK(back.state().window_age() == Instant{100, 5});
}

TEST_CASE("the header is checked before anything else") {
    const Bytes good = state::to_bytes(continuous_flush());
    using T = StreamingContinuousDataDrift;
    const Tag tag = Tag::StreamingContinuousFlush;
    Bytes b = good;
    b[0] = 'X';
    CHECK(contains(refusal<T>(b, tag), "wrong magic"));
    CHECK(contains(refusal<T>(Bytes(good.begin(), good.begin() + 19), tag), "truncated"));
    b = good;
    b[4] = 2;
    CHECK(contains(refusal<T>(b, tag), "format version 2 is newer"));
    b[4] = 0;
    CHECK(contains(refusal<T>(b, tag), "version 0"));
    b = good;
    b.push_back(0);
    CHECK(contains(refusal<T>(b, tag), "bytes appended"));
    CHECK(contains(refusal<T>(Bytes(good.begin(), good.end() - 1), tag), "(truncated)"));
    b = good;
    b[40] ^= 0x10;
    CHECK(contains(refusal<T>(b, tag), "checksum mismatch"));
    CHECK(contains(refusal<T>(good, Tag::StreamingContinuousDecay), "hold a PyStreamingContinuousDataDriftFlush, not a "
                                                                    "PyStreamingContinuousDataDriftDecay"));
    b = good;
    b[6] = 77;
    CHECK(contains(refusal<T>(reseal(b), tag), "unknown class tag 77"));
    b = good;
    b[7] = 1;
    CHECK(contains(refusal<T>(reseal(b), tag), "reserved"));
}

TEST_CASE("every truncation and every flipped bit is refused") {
    Clock5000 clock;
    const Bytes good = state::to_bytes(continuous_flush());
    for (std::size_t n = 0; n < good.size(); ++n) {
        CHECK_FALSE(state::from_bytes<StreamingContinuousDataDrift>(Bytes(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n)),
                                                                   Tag::StreamingContinuousFlush)
                        .ok());
    }
    for (std::size_t bit = 0; bit < 8 * good.size(); ++bit) {
        Bytes b = good;
        b[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
        CHECK_FALSE(state::from_bytes<StreamingContinuousDataDrift>(b, Tag::StreamingContinuousFlush).ok());
    }
}

TEST_CASE("counts larger than the bytes are refused before anything is sized") {
    // Continuous batch detector: header 16, rule 1, sample count 8, minimum 8,
    // maximum 8, bin count 8, then the edges' count.
    const auto d = must(ContinuousDataDrift::create(QuantileType::Sturges, iota(100)));
    const Bytes good = state::to_bytes(d);
    const std::size_t edges_count = 16 + 1 + 8 + 8 + 8 + 8;
    for (std::uint64_t huge : {std::uint64_t{1} << 40, std::uint64_t{1} << 61, ~std::uint64_t{0}}) {
        Bytes b = good;
        put_u64(b, edges_count, huge);
        CHECK(contains(refusal<ContinuousDataDrift>(reseal(b), Tag::ContinuousDataDrift), "cannot fit"));
    }
    // A bin count above the cap, with as many bytes as it claims absent.
    Bytes b = good;
    put_u64(b, edges_count - 8, drift::kMaxBins + 1);
    CHECK(contains(refusal<ContinuousDataDrift>(reseal(b), Tag::ContinuousDataDrift), "bin count"));
    // Categorical: a label longer than the record.
    const auto c = must(CategoricalDataDrift::create(Labels(views(kLabels))));
    Bytes cb = state::to_bytes(c);
    put_u64(cb, 16 + 8 + 8, std::uint64_t{1} << 50);  // first label's length
    CHECK(contains(refusal<CategoricalDataDrift>(reseal(cb), Tag::CategoricalDataDrift), "remain"));
}

TEST_CASE("values the state cannot hold are refused") {
    const auto d = must(ContinuousDataDrift::create(QuantileType::Sturges, iota(100)));  // 7 bins, 5 edges
    const Bytes good = state::to_bytes(d);
    const std::size_t minimum = 16 + 1 + 8, maximum = minimum + 8, edges = maximum + 8 + 8 + 8;
    const std::size_t shares = edges + 5 * 8 + 8;
    struct Row {
        std::size_t at;
        double value;
        const char* message;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Row rows[] = {
        {minimum, -inf, "not a finite range"},
        {maximum, std::nan(""), "not a finite range"},
        {maximum, -1.0, "not a finite range"},
        {edges + 8, 19.9, "bin edges are not the equal-width edges"},
        {shares, 0.01, "count 101 values, not the 100"},
        {shares + 8, -0.2, "outside [0, 1]"},
        {shares + 8, 0.2000001, "no whole count"},
        {shares + 8, 0.21, "count 101 values"},
        {shares + 8, 0.19, "count 99 values"},
    };
    for (const Row& row : rows) {
        Bytes b = good;
        put_f64(b, row.at, row.value);
        const std::string text = refusal<ContinuousDataDrift>(reseal(b), Tag::ContinuousDataDrift);
        INFO(text);
        CHECK(contains(text, row.message));
    }
    CHECK(get_f64(good, shares + 8) == 0.2);
    Bytes moved = good;  // one value moved below the minimum: the counts still add up
    put_f64(moved, shares, 0.01);
    put_f64(moved, shares + 8, 0.19);
    CHECK(contains(refusal<ContinuousDataDrift>(reseal(moved), Tag::ContinuousDataDrift), "bin below the minimum"));

    // Flush-mode weights must be whole samples adding up to the total.
    Clock5000 clock;
    const Bytes f = state::to_bytes(continuous_flush());
    const std::size_t weights = f.size() - 4 - 12 - 7 * 8;  // seven weights before the age
    Bytes b = f;
    put_f64(b, weights, get_f64(f, weights) + 0.5);
    CHECK(contains(refusal<StreamingContinuousDataDrift>(reseal(b), Tag::StreamingContinuousFlush), "sample count"));
    b = f;
    put_f64(b, weights, get_f64(f, weights) + 1.0);
    CHECK(contains(refusal<StreamingContinuousDataDrift>(reseal(b), Tag::StreamingContinuousFlush),
                   "not the sum of the stream weights"));
    b = f;
    b[f.size() - 4 - 1] = 0xFF;  // the top byte of the age's nanoseconds
    CHECK(contains(refusal<StreamingContinuousDataDrift>(reseal(b), Tag::StreamingContinuousFlush), "nanoseconds"));
}

TEST_CASE("a decay total must be the sum of its weights, up to the updates' rounding") {
    auto d = must(StreamingContinuousDataDrift::new_decay(iota(100), QuantileType::Sturges, 3));
    const std::vector<double> runtime{-3.0, 0.0, 19.8, 55.5, 99.0, 150.0, 42.0, 43.0};
    REQUIRE(d.update_stream_batch(runtime).ok());
    REQUIRE(d.compute_drift_multiple({}).ok());  // weights of 2^(-1/3): no longer whole
    const Bytes good = state::to_bytes(d);
    const std::size_t weights = good.size() - 4 - 7 * 8;
    const std::size_t total = weights - 16;
    const double t = get_f64(good, total);
    double sum = 0.0;
    for (std::size_t i = 0; i < 7; ++i) sum += get_f64(good, weights + 8 * i);
    REQUIRE(t > 6.0);
    struct Row {
        double total;
        bool loads;
    };
    const Row rows[] = {
        {t, true},
        {sum * (1 + 0x1p-22), true},  // the tolerance is a relative 2^-20
        {sum * (1 - 0x1p-22), true},
        {sum * (1 + 0x1p-18), false},
        {sum * (1 - 0x1p-18), false},
        {1.0, false},
        {8.0 * t, false},
    };
    for (const Row& row : rows) {
        CAPTURE(row.total);
        Bytes b = good;
        put_f64(b, total, row.total);
        auto r = state::from_bytes<StreamingContinuousDataDrift>(reseal(b), Tag::StreamingContinuousDecay);
        CHECK(r.ok() == row.loads);
        if (!r.ok()) {
            const std::string& text = r.error().text;
            CHECK((contains(text, "is not the sum of the stream weights") || contains(text, "above the stream total")));
        }
    }
    // Weights decayed below the normal range round apart from the total by a
    // unit of 2^-1074 or so each: such a state loads; a total far above them does not.
    Bytes tiny = good;
    put_f64(tiny, total, 0x1p-1070);
    for (std::size_t i = 0; i < 7; ++i) put_f64(tiny, weights + 8 * i, i == 3 ? 0x1p-1072 : 0.0);
    CHECK(state::from_bytes<StreamingContinuousDataDrift>(reseal(tiny), Tag::StreamingContinuousDecay).ok());
    put_f64(tiny, total, 0x1p-1000);
    CHECK_FALSE(state::from_bytes<StreamingContinuousDataDrift>(reseal(tiny), Tag::StreamingContinuousDecay).ok());
}

TEST_CASE("monitor counts that cannot describe one stream are refused") {
    auto m = must(StreamingModelBias::create(col(I8{1, 1, 1, 1, 0, 0, 0, 0}), col(I8{1, 1, 0, 0, 1, 1, 0, 0}),
                                             col(I8{1, 0, 0, 1, 1, 0, 0, 1})));
    m.push(1, 1, 1);
    m.push(0, 0, 1);
    const Bytes good = state::to_bytes(m);
    const std::size_t counts = 16 + 6 + 12 * 4;
    for (std::size_t field = 0; field < 17; ++field) {
        Bytes b = good;
        b[counts + 8 * field] ^= 1;
        const std::string text = refusal<StreamingModelBias>(reseal(b), Tag::ModelBiasStreaming);
        INFO(field << ": " << text);
        CHECK((contains(text, "facet") || contains(text, "benefit")));
    }
    Bytes b = good;
    b[16] = 0;  // feature criterion: kind 0 (greater than)
    CHECK(contains(refusal<StreamingModelBias>(reseal(b), Tag::ModelBiasStreaming), "equal to 1"));

    auto db = must(StreamingDataBias::create(col(I8{1, 0, 1, 0}), col(I8{1, 0, 0, 0})));
    db.push(1, 1);
    Bytes d = state::to_bytes(db);
    const std::size_t running = 16 + 4 + 7 * 4;
    put_u64(d, running, 5);  // five positives in a facet of one
    CHECK(contains(refusal<StreamingDataBias>(reseal(d), Tag::DataBiasStreaming), "more positive outcomes"));

    auto reg = must(LinearRegressionStreaming::create(col(F32{1, 2}), col(F32{1, 3})));
    Bytes r = state::to_bytes(reg);
    const std::size_t sums = 16 + 8 * 4;
    put_f64(r, sums, 1.0);  // a squared error in an empty stream
    CHECK(contains(refusal<LinearRegressionStreaming>(reseal(r), Tag::LinearRegressionStreaming), "empty stream"));
    reg.push(1.0f, 2.0f);
    r = state::to_bytes(reg);
    put_f64(r, sums + 6 * 8, 1.5);
    CHECK(contains(refusal<LinearRegressionStreaming>(reseal(r), Tag::LinearRegressionStreaming), "pair count"));
    r = state::to_bytes(reg);
    put_f64(r, sums, -1.0);
    CHECK(contains(refusal<LinearRegressionStreaming>(reseal(r), Tag::LinearRegressionStreaming), "negative"));
    r = state::to_bytes(reg);
    put_f64(r, sums + 2 * 8, std::nan(""));
    CHECK(contains(refusal<LinearRegressionStreaming>(reseal(r), Tag::LinearRegressionStreaming), "maximum"));
}

TEST_CASE("restored counts beyond any live stream still compute") {
    // Facets of 2^63 members and more: the reader accepts them (their sum
    // fits), so the metrics must be computed without overflowing.
    auto db = must(StreamingDataBias::create(col(I8{1, 0, 1, 0}), col(I8{1, 0, 0, 0})));
    Bytes d = state::to_bytes(db);
    const std::size_t running = 16 + 4 + 7 * 4;
    put_u64(d, running, 1);                                    // positives of facet a
    put_u64(d, running + 8, (std::uint64_t{1} << 63) + 121);  // size of facet a
    put_u64(d, running + 16, 3);                               // positives of facet d
    put_u64(d, running + 24, 50);                              // size of facet d
    auto huge = must(state::from_bytes<StreamingDataBias>(reseal(d), Tag::DataBiasStreaming));
    const auto r = huge.current();
    REQUIRE(r.ok());
    CHECK(r.value().values[0] == doctest::Approx(1.0));  // ClassImbalance
}

TEST_CASE("merge adds exactly and refuses differences, leaving self unchanged") {
    auto make = [] { return must(StreamingDataBias::create(col(I8{1, 0, 1, 0}), col(I8{1, 0, 0, 0}))); };
    auto a = make(), b = make(), whole = make();
    const I8 f{1, 0, 1, 1, 0, 2}, g{1, 1, 0, 1, 0, 1};
    REQUIRE(a.push_batch(col(I8(f.begin(), f.begin() + 2)), col(I8(g.begin(), g.begin() + 2))).ok());
    REQUIRE(b.push_batch(col(I8(f.begin() + 2, f.end())), col(I8(g.begin() + 2, g.end()))).ok());
    REQUIRE(whole.push_batch(col(f), col(g)).ok());
    REQUIRE(state::merge(a, b).ok());
    CHECK(state::to_bytes(a) == state::to_bytes(whole));

    auto other = must(StreamingDataBias::create(col(I8{1, 0, 1, 0}), col(I8{1, 0, 1, 0})));
    const Bytes before = state::to_bytes(a);
    auto refused = state::merge(a, other);
    REQUIRE_FALSE(refused.ok());
    CHECK(contains(refused.error().text, "the baselines differ"));
    CHECK(state::to_bytes(a) == before);

    // Counts that would wrap are refused.
    Bytes big = state::to_bytes(whole);
    put_u64(big, 16 + 4 + 7 * 4 + 8, std::uint64_t{1} << 63);  // len_a
    auto huge = must(state::from_bytes<StreamingDataBias>(reseal(big), Tag::DataBiasStreaming));
    REQUIRE(state::merge(huge, huge).ok() == false);
    CHECK(state::to_bytes(huge) == reseal(big));

    // Detectors: rates, cadences and half-lives are configuration.
    auto d1 = must(StreamingCategoricalDataDrift::new_flush(Labels(views(kLabels)), 10, 60));
    auto d2 = must(StreamingCategoricalDataDrift::new_flush(Labels(views(kLabels)), 11, 60));
    auto d3 = must(StreamingCategoricalDataDrift::new_flush(Labels(views(kLabels)), 10, 61));
    auto d4 = must(StreamingCategoricalDataDrift::new_flush(Labels(views(std::vector<std::string>{"a", "b"})), 10, 60));
    CHECK(contains(state::merge(d1, d2).error().text, "flush rates differ (10 and 11)"));
    CHECK(contains(state::merge(d1, d3).error().text, "flush cadences differ"));
    CHECK(contains(state::merge(d1, d4).error().text, "label index"));
    // A flush window counts whole samples: past 2^53 a double no longer does.
    {
        Clock5000 clock;
        auto small = continuous_flush();
        Bytes full = state::to_bytes(small);
        const std::size_t weights = full.size() - 4 - 12 - 7 * 8;
        for (std::size_t i = 0; i < 7; ++i) put_f64(full, weights + 8 * i, i == 2 ? 9007199254740992.0 : 0.0);
        put_f64(full, weights - 16, 9007199254740992.0);  // the stream total, before the weights' count
        auto big = must(state::from_bytes<StreamingContinuousDataDrift>(reseal(full), Tag::StreamingContinuousFlush));
        const Bytes before = state::to_bytes(big);
        CHECK(contains(state::merge(big, small).error().text, "more than 2^53 samples"));
        CHECK(state::to_bytes(big) == before);
        auto empty = must(StreamingContinuousDataDrift::new_flush(iota(100), QuantileType::Sturges, 50, 60));
        CHECK(state::merge(big, empty).ok());
    }
    auto h1 = must(StreamingCategoricalDataDrift::new_decay(Labels(views(kLabels)), 3));
    auto h2 = must(StreamingCategoricalDataDrift::new_decay(Labels(views(kLabels)), 4));
    CHECK(contains(state::merge(h1, h2).error().text, "half-lives differ"));
    CHECK(contains(state::merge(h1, d1).error().text, "one detector decays"));
}
