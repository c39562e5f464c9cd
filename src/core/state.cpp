#include "core/state.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace lumetra::state {

// ---- names and checksum -------------------------------------------------------------

namespace {

constexpr std::uint8_t kMagic[4] = {'L', 'M', 'S', 'T'};
constexpr Tag kLastTag = Tag::StreamingCategoricalFlush;

constexpr std::string_view kClassNames[] = {
    "",
    "PyDataBiasStreaming",
    "PyModelBiasStreaming",
    "PyBinaryClassificationStreaming",
    "PyLinearRegressionStreaming",
    "PyLogisticRegressionStreaming",
    "PyContinuousDataDrift",
    "PyCategoricalDataDrift",
    "PyStreamingContinuousDataDriftDecay",
    "PyStreamingContinuousDataDriftFlush",
    "PyStreamingCategoricalDataDriftDecay",
    "PyStreamingCategoricalDataDriftFlush",
};

// Eight tables of the reflected Castagnoli polynomial, so the checksum takes
// eight bytes per step ("slicing by eight"): saving and loading a large
// histogram costs little more than copying it.
using CrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? (c >> 1) ^ 0x82F63B78u : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t s = 1; s < 8; ++s) {
        for (std::uint32_t i = 0; i < 256; ++i) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFFu];
    }
    return t;
}
constexpr CrcTables kCrc = make_crc_tables();

}  // namespace

std::string_view class_name(Tag tag) noexcept {
    const auto i = static_cast<std::size_t>(tag);
    return i < std::size(kClassNames) ? kClassNames[i] : std::string_view("an unknown class");
}

std::uint32_t crc32c(std::span<const std::uint8_t> bytes, std::uint32_t crc) noexcept {
    crc = ~crc;
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    while (n >= 8) {
        const std::uint32_t lo = crc ^ (static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
                                        static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24);
        crc = kCrc[7][lo & 0xFFu] ^ kCrc[6][(lo >> 8) & 0xFFu] ^ kCrc[5][(lo >> 16) & 0xFFu] ^ kCrc[4][lo >> 24] ^
              kCrc[3][p[4]] ^ kCrc[2][p[5]] ^ kCrc[1][p[6]] ^ kCrc[0][p[7]];
        p += 8;
        n -= 8;
    }
    while (n-- > 0) crc = kCrc[0][(crc ^ *p++) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

// ---- writing ----------------------------------------------------------------------------

namespace {

constexpr bool kLittleHost = std::endian::native == std::endian::little;

/// Appends fields in the format's byte order; finish() fills in the length
/// and appends the checksum.
class Writer {
public:
    explicit Writer(Tag tag, std::size_t body_hint = 64) {
        buf_.reserve(kHeaderSize + body_hint + kChecksumSize);
        for (std::uint8_t b : kMagic) buf_.push_back(b);
        u16(kFormatVersion);
        u8(static_cast<std::uint8_t>(tag));
        u8(0);
        u64(0);  // length, filled in by finish()
    }

    void u8(std::uint8_t v) { buf_.push_back(v); }
    void i8(std::int8_t v) { buf_.push_back(static_cast<std::uint8_t>(v)); }
    void u16(std::uint16_t v) { put(v); }
    void u32(std::uint32_t v) { put(v); }
    void u64(std::uint64_t v) { put(v); }
    void i32(std::int32_t v) { put(static_cast<std::uint32_t>(v)); }
    void f32(float v) { put(std::bit_cast<std::uint32_t>(v)); }
    void f64(double v) { put(std::bit_cast<std::uint64_t>(v)); }

    template <std::size_t N>
    void f32s(const std::array<float, N>& values) {
        for (float v : values) f32(v);
    }
    /// A list of doubles: the count, then the values.
    void f64_list(std::span<const double> values) {
        u64(values.size());
        const std::size_t at = buf_.size();
        buf_.resize(at + 8 * values.size());
        if constexpr (kLittleHost) {
            if (!values.empty()) std::memcpy(buf_.data() + at, values.data(), 8 * values.size());
        } else {
            for (std::size_t i = 0; i < values.size(); ++i) store(at + 8 * i, std::bit_cast<std::uint64_t>(values[i]));
        }
    }
    /// A label: its byte length, then its bytes.
    void label(std::string_view text) {
        u64(text.size());
        buf_.insert(buf_.end(), text.begin(), text.end());
    }

    std::vector<std::uint8_t> finish() {
        store(8, static_cast<std::uint64_t>(buf_.size() + kChecksumSize));
        u32(crc32c(buf_));
        return std::move(buf_);
    }

private:
    template <class U>
    void put(U v) {
        const std::size_t at = buf_.size();
        buf_.resize(at + sizeof(U));
        store(at, v);
    }
    template <class U>
    void store(std::size_t at, U v) {
        for (std::size_t i = 0; i < sizeof(U); ++i) buf_[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }

    std::vector<std::uint8_t> buf_;
};

// ---- reading -------------------------------------------------------------------------------

std::string fmt(double v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof(buf), v);
    return std::string(buf, r.ptr);
}
std::string fmt(float v) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof(buf), v);
    return std::string(buf, r.ptr);
}
std::string fmt(std::uint64_t v) { return std::to_string(v); }

/// Reads fields in the format's byte order from a body, checking every read
/// against the bytes that remain. The first failure is kept; later reads
/// then return zeros, so a parser can run to its end and look once.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> body) : data_(body) {}

    bool ok() const noexcept { return !error_; }
    std::size_t remaining() const noexcept { return data_.size() - pos_; }
    /// Records a fault (the first one wins); returns false.
    bool fail(std::string text) {
        if (!error_) error_ = std::move(text);
        return false;
    }
    /// fail() for parsers that return an optional.
    std::nullopt_t refuse(std::string text) {
        fail(std::move(text));
        return std::nullopt;
    }
    StateError error() const { return StateError{"Invalid saved state: " + error_.value_or("")}; }

    std::uint8_t u8(const char* what) { return get<std::uint8_t>(what); }
    std::int8_t i8(const char* what) { return static_cast<std::int8_t>(get<std::uint8_t>(what)); }
    std::uint32_t u32(const char* what) { return get<std::uint32_t>(what); }
    std::uint64_t u64(const char* what) { return get<std::uint64_t>(what); }
    std::int32_t i32(const char* what) { return static_cast<std::int32_t>(get<std::uint32_t>(what)); }
    float f32(const char* what) { return std::bit_cast<float>(get<std::uint32_t>(what)); }
    double f64(const char* what) { return std::bit_cast<double>(get<std::uint64_t>(what)); }

    template <std::size_t N>
    void f32s(std::array<float, N>& out, const char* what) {
        for (float& v : out) v = f32(what);
    }

    /// A list's count, refused when that many items of `item_size` bytes
    /// cannot fit in what remains: nothing is ever sized from a count the
    /// bytes do not back.
    std::size_t count(std::size_t item_size, const char* what) {
        const std::uint64_t n = u64(what);
        if (!ok()) return 0;
        if (n > remaining() / item_size) {
            fail(std::string(what) + ": " + fmt(n) + " items of at least " + fmt(std::uint64_t{item_size}) +
                 " bytes cannot fit in the " + fmt(std::uint64_t{remaining()}) + " bytes that remain");
            return 0;
        }
        return static_cast<std::size_t>(n);
    }

    /// A list of doubles that must hold exactly `expected` values.
    std::vector<double> f64_list(std::size_t expected, const char* what) {
        const std::size_t n = count(8, what);
        if (!ok()) return {};
        if (n != expected) {
            fail(std::string(what) + ": " + fmt(std::uint64_t{n}) + " values where the object holds " +
                 fmt(std::uint64_t{expected}));
            return {};
        }
        std::vector<double> out(n);
        const std::uint8_t* p = take(8 * n, what);
        if (p == nullptr) return {};
        if constexpr (kLittleHost) {
            if (n != 0) std::memcpy(out.data(), p, 8 * n);
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = std::bit_cast<double>(load<std::uint64_t>(p + 8 * i));
        }
        return out;
    }

    /// A label's bytes (viewed in place).
    std::string_view label(const char* what) {
        const std::uint64_t n = u64(what);
        if (!ok()) return {};
        if (n > remaining()) {
            fail(std::string(what) + ": a label of " + fmt(n) + " bytes where " + fmt(std::uint64_t{remaining()}) +
                 " remain");
            return {};
        }
        const std::uint8_t* p = take(static_cast<std::size_t>(n), what);
        if (p == nullptr) return {};
        return std::string_view(reinterpret_cast<const char*>(p), n);
    }

    /// Refuses bytes left over after the body.
    bool finish() {
        if (ok() && remaining() != 0) fail(fmt(std::uint64_t{remaining()}) + " bytes left over after the body");
        return ok();
    }

private:
    const std::uint8_t* take(std::size_t n, const char* what) {
        if (!ok()) return nullptr;
        if (n > remaining()) {
            fail(std::string(what) + ": truncated (" + fmt(std::uint64_t{n}) + " bytes needed, " +
                 fmt(std::uint64_t{remaining()}) + " remain)");
            return nullptr;
        }
        const std::uint8_t* p = data_.data() + pos_;
        pos_ += n;
        return p;
    }
    template <class U>
    static U load(const std::uint8_t* p) {
        U v = 0;
        for (std::size_t i = 0; i < sizeof(U); ++i) v |= static_cast<U>(static_cast<U>(p[i]) << (8 * i));
        return v;
    }
    template <class U>
    U get(const char* what) {
        const std::uint8_t* p = take(sizeof(U), what);
        return p == nullptr ? U{0} : load<U>(p);
    }

    std::span<const std::uint8_t> data_;
    std::size_t pos_ = 0;
    std::optional<std::string> error_;
};

std::uint64_t load_u64(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return v;
}

StateError invalid(std::string text) { return StateError{"Invalid saved state: " + std::move(text)}; }

/// Checks the header and the checksum of a record that must hold `expected`;
/// the body on success.
Result<std::span<const std::uint8_t>, StateError> open(std::span<const std::uint8_t> bytes, Tag expected) {
    const std::size_t size = bytes.size();
    if (size >= 4 && std::memcmp(bytes.data(), kMagic, 4) != 0) {
        return invalid("wrong magic: these bytes were not made by to_bytes()");
    }
    if (size < kHeaderSize + kChecksumSize) {
        return invalid("truncated: " + fmt(std::uint64_t{size}) + " bytes, and a saved state has at least " +
                       fmt(std::uint64_t{kHeaderSize + kChecksumSize}));
    }
    const std::uint16_t version = static_cast<std::uint16_t>(bytes[4] | bytes[5] << 8);
    if (version == 0) return invalid("format version 0 does not exist");
    if (version > kFormatVersion) {
        return invalid("format version " + fmt(std::uint64_t{version}) + " is newer than this version of lumetra reads (" +
                       fmt(std::uint64_t{kFormatVersion}) + ")");
    }
    const std::uint64_t length = load_u64(bytes.data() + 8);
    if (length != size) {
        return invalid("the header gives a length of " + fmt(length) + " bytes, but " + fmt(std::uint64_t{size}) +
                       (length > size ? " were given (truncated)" : " were given (bytes appended)"));
    }
    const std::size_t body_end = size - kChecksumSize;
    const std::uint8_t* c = bytes.data() + body_end;
    const std::uint32_t stored = static_cast<std::uint32_t>(c[0]) | static_cast<std::uint32_t>(c[1]) << 8 |
                                 static_cast<std::uint32_t>(c[2]) << 16 | static_cast<std::uint32_t>(c[3]) << 24;
    if (crc32c(bytes.first(body_end)) != stored) {
        return invalid("checksum mismatch: the bytes were changed or damaged after they were saved");
    }
    const std::uint8_t tag = bytes[6];
    if (tag == 0 || tag > static_cast<std::uint8_t>(kLastTag)) {
        return invalid("unknown class tag " + fmt(std::uint64_t{tag}));
    }
    if (tag != static_cast<std::uint8_t>(expected)) {
        return invalid("the bytes hold a " + std::string(class_name(static_cast<Tag>(tag))) + ", not a " +
                       std::string(class_name(expected)));
    }
    if (bytes[7] != 0) return invalid("reserved header byte is " + fmt(std::uint64_t{bytes[7]}) + ", not 0");
    // Version 1 is the only layout so far; a later one reads its older
    // versions here, by `version`.
    return bytes.subspan(kHeaderSize, body_end - kHeaderSize);
}

// ---- checks shared by the bodies -------------------------------------------------------------

bool bits_equal(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }
bool bits_equal(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }
bool bits_equal(std::span<const double> a, std::span<const double> b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), 8 * a.size()) == 0);
}
template <std::size_t N>
bool bits_equal(const std::array<float, N>& a, const std::array<float, N>& b) {
    return std::memcmp(a.data(), b.data(), sizeof(float) * N) == 0;
}

/// A count of exact integers no larger than 2^53: what a double counts exactly.
constexpr double kExactCount = 9007199254740992.0;
bool is_count(double v) { return v >= 0.0 && v <= kExactCount && std::floor(v) == v && !std::signbit(v); }

/// The sum of non-negative doubles, compensated (Neumaier): within a
/// relative 2^-52 or so of the exact sum whatever the count, where a plain
/// running sum of n values may be off by n * 2^-53. Infinite when the values
/// overflow.
double compensated_sum(std::span<const double> values) {
    double sum = 0.0, lost = 0.0;
    for (double v : values) {
        const double t = sum + v;
        lost += sum >= v ? (sum - t) + v : (v - t) + sum;
        sum = t;
    }
    return std::isfinite(sum) ? sum + lost : sum;
}

// A decay-mode detector keeps its total beside its weights instead of
// summing them, and the two drift apart by rounding only:
//
// - a sample adds 1.0 to one weight and to the total. Below 2^53 that is
//   exact except when the sum enters a higher binade, where it rounds once,
//   by at most half a unit: a relative 2^-53 of the value;
// - a drift computation multiplies every weight and the total by the decay
//   factor, one rounding each (relative 2^-53);
// - a merge adds the two totals and the two weights of each bin, one
//   rounding each.
//
// With u = 2^-53 and g = |total - sum of weights| / total, a decay step or a
// merge adds at most 2u to g (one rounding of the total, one of each weight,
// the weights summing to about the total), and the samples added until the
// next one at most 4u more (the total and each weight enter at most one
// binade per doubling, so those roundings add up to less than twice the
// value). So g grows by at most 6u per decay step or merge, and new samples,
// of exact weight, dilute it. The tolerance, 2^-20, thus holds for 2^30 decay
// steps and merges without a single new sample in between (a history that
// cannot go on long: weights of at most 2^53 leave the normal range after
// 1075 half-lives), and for any number of them while samples keep coming: g
// then settles below 6u / (1 - f) for the decay factor f, about 9u times the
// half-life (1e-10 for the default one). Values that decayed below the
// normal range round by an absolute 2^-1075 instead, which the allowance of
// one smallest normal double per value covers. Outside all of this is a
// stream pushed past 2^53 samples, where adding 1.0 to the total may be lost
// while a smaller weight still counts it; merges are refused before that
// (merge_streams), and flush mode refuses such a window too.
constexpr double kDecayTotalGap = 0x1p-20;
constexpr double kSubnormalUnit = 0x1p-1022;  // the smallest normal double

bool decay_total_fits(double total, std::span<const double> weights) {
    const double sum = compensated_sum(weights);
    const double allowed = kDecayTotalGap * std::max(total, sum) +
                           kSubnormalUnit * static_cast<double>(weights.size() + 1);
    return std::fabs(total - sum) <= allowed;  // false for an infinite sum
}

/// Sum of unsigned counts without wrapping.
using Wide = unsigned __int128;
constexpr Wide kU64Max = std::numeric_limits<std::uint64_t>::max();

template <class T>
using Criterion = SegmentationCriterion<T>;

void write_criterion(Writer& w, const Criterion<std::int8_t>& c) {
    w.u8(static_cast<std::uint8_t>(c.kind));
    w.i8(c.value);
}
// Every monitor of this version segments by "equal to 1"; nothing can set
// another criterion, so no other is accepted.
void read_criterion(Reader& r, Criterion<std::int8_t>& c, const char* what) {
    const std::uint8_t kind = r.u8(what);
    const std::int8_t value = r.i8(what);
    if (!r.ok()) return;
    if (kind != static_cast<std::uint8_t>(CriterionKind::EqualTo) || value != 1) {
        r.fail(std::string(what) + ": comparison kind " + fmt(std::uint64_t{kind}) + " with value " +
               std::to_string(value) + ", where monitors compare 'equal to 1' (kind 4, value 1)");
        return;
    }
    c = Criterion<std::int8_t>{CriterionKind::EqualTo, value};
}

void write_cells(Writer& w, const ConfusionMatrix& c) {
    w.u64(c.true_positive);
    w.u64(c.false_positive);
    w.u64(c.true_negative);
    w.u64(c.false_negative);
}
void read_cells(Reader& r, ConfusionMatrix& c) {
    c.true_positive = r.u64("true positives");
    c.false_positive = r.u64("false positives");
    c.true_negative = r.u64("true negatives");
    c.false_negative = r.u64("false negatives");
    if (r.ok() && Wide{c.true_positive} + c.false_positive + c.true_negative + c.false_negative > kU64Max) {
        r.fail("the confusion counts add up to more than 2^64 - 1 pairs");
    }
}

bool add_cells(ConfusionMatrix& self, const ConfusionMatrix& other) {
    if (Wide{self.total()} + other.total() > kU64Max) return false;
    self.true_positive += other.true_positive;
    self.false_positive += other.false_positive;
    self.true_negative += other.true_negative;
    self.false_negative += other.false_negative;
    return true;
}

StateError cannot_merge(std::string what) { return StateError{"Cannot merge: " + std::move(what)}; }
StateError overflow() { return cannot_merge("a count would pass 2^64 - 1"); }

/// The first metric whose baseline value differs bit for bit, or nothing.
template <class E, std::size_t N>
std::optional<StateError> baseline_differs(const MetricRecord<E, N>& a, const MetricRecord<E, N>& b) {
    for (std::size_t i = 0; i < N; ++i) {
        if (!bits_equal(a.values[i], b.values[i])) {
            const E m = static_cast<E>(i);
            return cannot_merge("the baselines differ (" + std::string(metric_name(m)) + ": " + fmt(a.values[i]) +
                                " and " + fmt(b.values[i]) + ")");
        }
    }
    return std::nullopt;
}

// Shares counted from `n` values: each a whole count divided by n exactly as
// the baseline computes it, the counts adding up to n.
bool check_shares(Reader& r, const std::vector<double>& shares, std::uint64_t n, const char* what) {
    const double nd = static_cast<double>(n);
    Wide total = 0;
    for (std::size_t i = 0; i < shares.size(); ++i) {
        const double h = shares[i];
        if (!(h >= 0.0 && h <= 1.0) || std::signbit(h)) {
            return r.fail(std::string(what) + ": share " + fmt(std::uint64_t{i}) + " is " + fmt(h) +
                          ", outside [0, 1]");
        }
        const auto c = static_cast<std::uint64_t>(std::nearbyint(h * nd));
        if (!bits_equal(static_cast<double>(c) / nd, h)) {
            return r.fail(std::string(what) + ": share " + fmt(std::uint64_t{i}) + " (" + fmt(h) +
                          ") is no whole count out of the " + fmt(n) + " baseline values");
        }
        total += c;
    }
    if (total != Wide{n}) {
        return r.fail(std::string(what) + ": the shares count " + fmt(static_cast<std::uint64_t>(total)) +
                      " values, not the " + fmt(n) + " of the baseline");
    }
    return true;
}

std::uint64_t read_sample_count(Reader& r, std::uint64_t least) {
    const std::uint64_t n = r.u64("baseline sample count");
    if (r.ok() && (n < least || static_cast<double>(n) > kExactCount)) {
        r.fail("baseline sample count " + fmt(n) + " is outside [" + fmt(least) + ", 2^53]");
    }
    return n;
}

// Well-formed UTF-8 as Python encodes a str: shortest forms only, no
// surrogates, nothing above U+10FFFF.
bool valid_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i < len) return false;
        if (p[i + 1] < lo || p[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if (p[i + k] < 0x80 || p[i + k] > 0xBF) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace

// ---- the classes ------------------------------------------------------------------------------

struct Access {
    // ---- monitors ----

    static void write(Writer& w, const StreamingDataBias& m) {
        write_criterion(w, m.feature_criterion_);
        write_criterion(w, m.outcome_criterion_);
        w.f32s(m.baseline_.values);
        w.u64(m.running_.label_positive_a);
        w.u64(m.running_.len_a);
        w.u64(m.running_.label_positive_d);
        w.u64(m.running_.len_d);
    }
    static std::optional<StreamingDataBias> read(Reader& r, const StreamingDataBias*) {
        StreamingDataBias m;
        read_criterion(r, m.feature_criterion_, "feature criterion");
        read_criterion(r, m.outcome_criterion_, "outcome criterion");
        r.f32s(m.baseline_.values, "baseline");
        FacetCounts& c = m.running_;
        c.label_positive_a = r.u64("positives of facet a");
        c.len_a = r.u64("size of facet a");
        c.label_positive_d = r.u64("positives of facet d");
        c.len_d = r.u64("size of facet d");
        if (!r.finish()) return std::nullopt;
        if (c.label_positive_a > c.len_a || c.label_positive_d > c.len_d) {
            r.fail("a facet has more positive outcomes than members");
        } else if (Wide{c.len_a} + c.len_d > kU64Max) {
            r.fail("the facets hold more than 2^64 - 1 pairs together");
        }
        if (!r.ok()) return std::nullopt;
        return m;
    }
    static Result<void, StateError> merge(StreamingDataBias& self, const StreamingDataBias& other) {
        if (auto e = baseline_differs(self.baseline_, other.baseline_)) return *e;
        if (!same(self.feature_criterion_, other.feature_criterion_) ||
            !same(self.outcome_criterion_, other.outcome_criterion_)) {
            return cannot_merge("the segmentation criteria differ");
        }
        FacetCounts& a = self.running_;
        const FacetCounts& b = other.running_;
        if (Wide{a.len_a} + a.len_d + b.len_a + b.len_d > kU64Max) return overflow();
        a.label_positive_a += b.label_positive_a;
        a.len_a += b.len_a;
        a.label_positive_d += b.label_positive_d;
        a.len_d += b.len_d;
        return {};
    }

    static void write(Writer& w, const StreamingModelBias& m) {
        write_criterion(w, m.feature_criterion_);
        write_criterion(w, m.prediction_criterion_);
        write_criterion(w, m.truth_criterion_);
        w.f32s(m.baseline_.values);
        for (std::uint64_t v : post_training_fields(m.counts_)) w.u64(v);
        w.u64(m.benefits_.benefit_0_count);
        w.u64(m.benefits_.benefit_1_count);
        w.u64(m.benefits_.benefit_2_count);
    }
    static std::optional<StreamingModelBias> read(Reader& r, const StreamingModelBias*) {
        StreamingModelBias m;
        read_criterion(r, m.feature_criterion_, "feature criterion");
        read_criterion(r, m.prediction_criterion_, "prediction criterion");
        read_criterion(r, m.truth_criterion_, "ground-truth criterion");
        r.f32s(m.baseline_.values, "baseline");
        std::array<std::uint64_t, 14> f{};
        for (std::uint64_t& v : f) v = r.u64("post-training counts");
        set_post_training_fields(m.counts_, f);
        BucketGeneralizedEntropy& b = m.benefits_;
        b.benefit_0_count = r.u64("benefit counts");
        b.benefit_1_count = r.u64("benefit counts");
        b.benefit_2_count = r.u64("benefit counts");
        if (!r.finish()) return std::nullopt;
        // The counts and the benefits describe the same examples: each facet's
        // size is its four cells, its positives and predicted positives follow
        // from the cells, and the benefits regroup the cells of both facets.
        const PostTraining& c = m.counts_;
        auto facet = [&](const char* name, std::uint64_t tp, std::uint64_t fp, std::uint64_t tn, std::uint64_t fn,
                         std::uint64_t len, std::uint64_t label_pos, std::uint64_t pred_pos) {
            if (Wide{tp} + fp + tn + fn != len) return r.fail(std::string("facet ") + name + ": its size is not the sum of its cells");
            if (Wide{tp} + fn != label_pos) return r.fail(std::string("facet ") + name + ": its positives are not its true positives and false negatives");
            if (Wide{tp} + fp != pred_pos) return r.fail(std::string("facet ") + name + ": its predicted positives are not its true and false positives");
            return true;
        };
        if (facet("a", c.true_positive_a, c.false_positive_a, c.true_negative_a, c.false_negative_a, c.len_a,
                  c.label_positive_a, c.pred_positive_a) &&
            facet("d", c.true_positive_d, c.false_positive_d, c.true_negative_d, c.false_negative_d, c.len_d,
                  c.label_positive_d, c.pred_positive_d)) {
            if (Wide{c.len_a} + c.len_d > kU64Max) {
                r.fail("the facets hold more than 2^64 - 1 examples together");
            } else if (Wide{c.true_positive_a} + c.true_positive_d != b.benefit_1_count ||
                       Wide{c.false_negative_a} + c.false_negative_d != b.benefit_0_count ||
                       Wide{c.false_positive_a} + c.true_negative_a + c.false_positive_d + c.true_negative_d !=
                           b.benefit_2_count) {
                r.fail("the benefit counts do not match the confusion cells");
            }
        }
        if (!r.ok()) return std::nullopt;
        return m;
    }
    static Result<void, StateError> merge(StreamingModelBias& self, const StreamingModelBias& other) {
        if (auto e = baseline_differs(self.baseline_, other.baseline_)) return *e;
        if (!same(self.feature_criterion_, other.feature_criterion_) ||
            !same(self.prediction_criterion_, other.prediction_criterion_) ||
            !same(self.truth_criterion_, other.truth_criterion_)) {
            return cannot_merge("the segmentation criteria differ");
        }
        // Every other count is bounded by the examples of its facet.
        if (Wide{self.counts_.len_a} + self.counts_.len_d + other.counts_.len_a + other.counts_.len_d > kU64Max) {
            return overflow();
        }
        auto a = post_training_fields(self.counts_);
        const auto b = post_training_fields(other.counts_);
        for (std::size_t i = 0; i < a.size(); ++i) a[i] += b[i];
        set_post_training_fields(self.counts_, a);
        self.benefits_.benefit_0_count += other.benefits_.benefit_0_count;
        self.benefits_.benefit_1_count += other.benefits_.benefit_1_count;
        self.benefits_.benefit_2_count += other.benefits_.benefit_2_count;
        return {};
    }

    static void write(Writer& w, const BinaryClassificationStreaming& m) {
        w.i32(m.positive_label_);
        w.f32s(m.baseline_.values);
        write_cells(w, m.stream_);
    }
    static std::optional<BinaryClassificationStreaming> read(Reader& r, const BinaryClassificationStreaming*) {
        BinaryClassificationStreaming m;
        const std::int32_t label = r.i32("positive label");
        if (r.ok() && label != 1) r.fail("positive label " + std::to_string(label) + ", where the monitor counts 1");
        r.f32s(m.baseline_.values, "baseline");
        read_cells(r, m.stream_);
        if (!r.finish()) return std::nullopt;
        return m;
    }
    static Result<void, StateError> merge(BinaryClassificationStreaming& self,
                                          const BinaryClassificationStreaming& other) {
        if (auto e = baseline_differs(self.baseline_, other.baseline_)) return *e;
        if (self.positive_label_ != other.positive_label_) return cannot_merge("the positive labels differ");
        if (!add_cells(self.stream_, other.stream_)) return overflow();
        return {};
    }

    static void write(Writer& w, const LinearRegressionStreaming& m) {
        w.f32s(m.baseline_.values);
        for (double v : regression_fields(m.stream_)) w.f64(v);
    }
    static std::optional<LinearRegressionStreaming> read(Reader& r, const LinearRegressionStreaming*) {
        LinearRegressionStreaming m;
        r.f32s(m.baseline_.values, "baseline");
        std::array<double, 10> f{};
        for (double& v : f) v = r.f64("stream sums");
        if (!r.finish()) return std::nullopt;
        set_regression_fields(m.stream_, f);
        const LinearRegressionErrorBuckets& s = m.stream_;
        // Sums of terms that are never negative (squares, absolute values)
        // cannot be negative, or -0.0, though they may be NaN or infinite.
        const std::pair<const char*, double> non_negative[] = {
            {"squared error sum", s.squared_error_sum},
            {"absolute error sum", s.absolute_error_sum},
            {"squared log error sum", s.squared_log_error_sum},
            {"absolute percentage error sum", s.absolute_percentage_error_sum},
            {"sum of squared true values", s.y_true_squared_sum},
            {"sum of squared predictions", s.y_pred_squared_sum},
        };
        if (!is_count(s.pair_count)) {
            r.fail("pair count " + fmt(s.pair_count) + " is not a whole number of pairs");
        } else if (std::isnan(s.max_absolute_error) || s.max_absolute_error < 0.0 ||
                   std::signbit(s.max_absolute_error)) {
            // The running maximum ignores NaN and starts at 0.
            r.fail("maximum absolute error " + fmt(s.max_absolute_error) + " is negative or NaN");
        } else {
            for (const auto& [name, v] : non_negative) {
                if (v < 0.0 || (v == 0.0 && std::signbit(v))) {
                    r.fail(std::string(name) + " " + fmt(v) + " is negative");
                    break;
                }
            }
        }
        if (r.ok() && s.pair_count == 0.0) {
            for (double v : f) {
                if (std::bit_cast<std::uint64_t>(v) != 0) {
                    r.fail("an empty stream holds a sum other than 0");
                    break;
                }
            }
        }
        if (!r.ok()) return std::nullopt;
        return m;
    }
    static Result<void, StateError> merge(LinearRegressionStreaming& self, const LinearRegressionStreaming& other) {
        if (auto e = baseline_differs(self.baseline_, other.baseline_)) return *e;
        LinearRegressionErrorBuckets& a = self.stream_;
        const LinearRegressionErrorBuckets& b = other.stream_;
        // Each sum is the sum of the two partial sums; the maximum is the
        // NaN-ignoring maximum of the two, as the running one is kept.
        a.squared_error_sum = a.squared_error_sum + b.squared_error_sum;
        a.absolute_error_sum = a.absolute_error_sum + b.absolute_error_sum;
        a.max_absolute_error = std::fmax(a.max_absolute_error, b.max_absolute_error);
        a.squared_log_error_sum = a.squared_log_error_sum + b.squared_log_error_sum;
        a.absolute_percentage_error_sum = a.absolute_percentage_error_sum + b.absolute_percentage_error_sum;
        a.y_true_sum = a.y_true_sum + b.y_true_sum;
        a.pair_count = a.pair_count + b.pair_count;
        a.y_true_squared_sum = a.y_true_squared_sum + b.y_true_squared_sum;
        a.y_pred_squared_sum = a.y_pred_squared_sum + b.y_pred_squared_sum;
        a.true_pred_product_sum = a.true_pred_product_sum + b.true_pred_product_sum;
        return {};
    }

    static void write(Writer& w, const LogisticRegressionStreaming& m) {
        w.f32(m.decision_threshold_);
        w.u8(m.clamp_ ? 1 : 0);
        w.f32(m.clamp_ ? m.clamp_->lo : 0.0f);
        w.f32(m.clamp_ ? m.clamp_->hi : 0.0f);
        w.f32s(m.baseline_.values);
        write_cells(w, m.cells_);
        w.f64(m.log_loss_sum_);
    }
    static std::optional<LogisticRegressionStreaming> read(Reader& r, const LogisticRegressionStreaming*) {
        LogisticRegressionStreaming m;
        m.decision_threshold_ = r.f32("decision threshold");
        const std::uint8_t present = r.u8("score clamp");
        const float lo = r.f32("score clamp");
        const float hi = r.f32("score clamp");
        r.f32s(m.baseline_.values, "baseline");
        read_cells(r, m.cells_);
        m.log_loss_sum_ = r.f64("log-loss sum");
        if (!r.finish()) return std::nullopt;
        // The clamp is the one an epsilon gives (the epsilon the monitor
        // captured when it was made or last flushed), or absent with zeros.
        if (present == 1) {
            const auto clamp = ScoreClamp::from_epsilon(static_cast<double>(lo));
            if (!clamp || !bits_equal(clamp->lo, lo) || !bits_equal(clamp->hi, hi)) {
                r.fail("score clamp [" + fmt(lo) + ", " + fmt(hi) + "] is not the clamp of an epsilon");
            } else {
                m.clamp_ = clamp;
            }
        } else if (present != 0 || !bits_equal(lo, 0.0f) || !bits_equal(hi, 0.0f)) {
            r.fail("score clamp flag " + fmt(std::uint64_t{present}) + " with bounds " + fmt(lo) + ", " + fmt(hi));
        }
        if (r.ok() && m.cells_.total() == 0 && std::bit_cast<std::uint64_t>(m.log_loss_sum_) != 0) {
            r.fail("an empty stream holds a log-loss sum of " + fmt(m.log_loss_sum_));
        }
        if (!r.ok()) return std::nullopt;
        return m;
    }
    static Result<void, StateError> merge(LogisticRegressionStreaming& self, const LogisticRegressionStreaming& other) {
        if (auto e = baseline_differs(self.baseline_, other.baseline_)) return *e;
        if (!bits_equal(self.decision_threshold_, other.decision_threshold_)) {
            return cannot_merge("the decision thresholds differ (" + fmt(self.decision_threshold_) + " and " +
                                fmt(other.decision_threshold_) + ")");
        }
        // The terms of each stream were clamped with its own epsilon.
        const bool same_clamp = self.clamp_.has_value() == other.clamp_.has_value() &&
                                (!self.clamp_ || bits_equal(self.clamp_->lo, other.clamp_->lo));
        if (!same_clamp) return cannot_merge("the stability epsilons of the two streams differ");
        if (Wide{self.cells_.total()} + other.cells_.total() > kU64Max) return overflow();
        add_cells(self.cells_, other.cells_);
        self.log_loss_sum_ = self.log_loss_sum_ + other.log_loss_sum_;
        return {};
    }

    // ---- baselines ----

    static void write(Writer& w, const drift::BaselineContinuousBins& b) {
        w.u8(static_cast<std::uint8_t>(b.quantile_type_));
        w.u64(b.sample_count_);
        w.f64(b.minimum());
        w.f64(b.maximum_);
        w.u64(b.num_bins_);
        w.f64_list(b.bin_edges_);
        w.f64_list(b.baseline_hist_);
    }
    static std::optional<drift::BaselineContinuousBins> read_continuous(Reader& r) {
        const std::uint8_t rule = r.u8("bin rule");
        if (r.ok() && rule > static_cast<std::uint8_t>(drift::QuantileType::Sturges)) {
            r.fail("unknown bin rule " + fmt(std::uint64_t{rule}));
        }
        const std::uint64_t n = read_sample_count(r, 2);
        const double lo = r.f64("baseline minimum");
        const double hi = r.f64("baseline maximum");
        if (r.ok() && !(std::isfinite(lo) && std::isfinite(hi) && lo <= hi && std::isfinite(hi - lo))) {
            r.fail("baseline minimum " + fmt(lo) + " and maximum " + fmt(hi) +
                   " are not a finite range of finite width");
        }
        const std::uint64_t bins = r.u64("bin count");
        if (r.ok() && (bins < 3 || bins > drift::kMaxBins || (lo == hi && bins != 3))) {
            r.fail("bin count " + fmt(bins) + (lo == hi ? ", where an all-equal baseline has 3"
                                                        : " is outside [3, 16777216]"));
        }
        if (!r.ok()) return std::nullopt;
        const std::size_t num_edges = lo == hi ? 1 : static_cast<std::size_t>(bins - 2);
        std::vector<double> edges = r.f64_list(num_edges, "bin edges");
        std::vector<double> shares = r.f64_list(static_cast<std::size_t>(bins), "baseline shares");
        if (!r.ok()) return std::nullopt;
        if (!check_shares(r, shares, n, "baseline shares")) return std::nullopt;
        // No baseline value lies below its minimum; an all-equal one lies on it.
        if (!bits_equal(shares[0], 0.0)) return r.refuse("baseline shares: the bin below the minimum is not empty");
        if (lo == hi && !bits_equal(shares[1], 1.0)) {
            return r.refuse("baseline shares: an all-equal baseline lies wholly in the bin of its value");
        }
        // The edges follow from the extremes and the bin count; laying them
        // out again also builds the lookup exactly as the constructor did.
        drift::BaselineContinuousBins b;
        b.quantile_type_ = static_cast<drift::QuantileType>(rule);
        b.init_baseline_hist(lo, hi, bins);
        if (!bits_equal(b.bin_edges_, edges)) {
            return r.refuse("bin edges are not the equal-width edges of the baseline's range and bin count");
        }
        b.baseline_hist_ = std::move(shares);
        b.sample_count_ = n;
        b.maximum_ = hi;
        return b;
    }

    static void write(Writer& w, const drift::BaselineCategoricalBins& b) {
        w.u64(b.sample_count_);
        const auto& labels = b.index_.labels();
        w.u64(labels.size());
        for (const std::string& l : labels) w.label(l);
        w.f64_list(b.baseline_hist_);
    }
    static std::optional<drift::BaselineCategoricalBins> read_categorical(Reader& r) {
        const std::uint64_t n = read_sample_count(r, 1);
        const std::size_t count = r.count(8, "labels");
        if (r.ok() && count == 0) r.fail("labels: a baseline has at least one label");
        if (r.ok() && count > std::numeric_limits<std::uint32_t>::max() - 1) r.fail("labels: too many labels");
        if (!r.ok()) return std::nullopt;
        // Grown label by label: storage follows the bytes actually read.
        std::vector<std::string> labels;
        std::string_view previous;
        for (std::size_t i = 0; i < count; ++i) {
            const std::string_view l = r.label("labels");
            if (!r.ok()) return std::nullopt;
            if (!valid_utf8(l)) return r.refuse("label " + fmt(std::uint64_t{i}) + " is not valid UTF-8");
            if (i > 0 && !(previous < l)) {
                return r.refuse("label " + fmt(std::uint64_t{i}) + " does not follow the one before it (labels are "
                              "distinct and ascending byte-wise)");
            }
            previous = l;
            labels.emplace_back(l);
        }
        std::vector<double> shares = r.f64_list(count + 1, "baseline shares");
        if (!r.ok()) return std::nullopt;
        if (!check_shares(r, shares, n, "baseline shares")) return std::nullopt;
        for (std::size_t i = 0; i < count; ++i) {
            if (shares[i] == 0.0) {
                return r.refuse("baseline shares: label " + fmt(std::uint64_t{i}) + " has no baseline value");
            }
        }
        if (!bits_equal(shares[count], 0.0)) {
            return r.refuse("baseline shares: the unseen-label slot is not empty");
        }
        drift::BaselineCategoricalBins b;
        b.index_ = drift::LabelIndex::from_sorted(std::move(labels));
        b.baseline_hist_ = std::move(shares);
        b.sample_count_ = n;
        return b;
    }

    static std::optional<StateError> drift_baseline_differs(const drift::BaselineContinuousBins& a,
                                                      const drift::BaselineContinuousBins& b) {
        if (a.quantile_type_ != b.quantile_type_) return cannot_merge("the bin rules differ");
        if (a.sample_count_ != b.sample_count_ || !bits_equal(a.minimum(), b.minimum()) ||
            !bits_equal(a.maximum_, b.maximum_) || a.num_bins_ != b.num_bins_ || !bits_equal(a.bin_edges_, b.bin_edges_)) {
            return cannot_merge("the baselines differ (bin edges)");
        }
        if (!bits_equal(a.baseline_hist_, b.baseline_hist_)) return cannot_merge("the baselines differ (shares)");
        return std::nullopt;
    }
    static std::optional<StateError> drift_baseline_differs(const drift::BaselineCategoricalBins& a,
                                                      const drift::BaselineCategoricalBins& b) {
        if (a.index_.labels() != b.index_.labels()) return cannot_merge("the baselines differ (label index)");
        if (a.sample_count_ != b.sample_count_ || !bits_equal(a.baseline_hist_, b.baseline_hist_)) {
            return cannot_merge("the baselines differ (shares)");
        }
        return std::nullopt;
    }

    // ---- batch detectors ----

    static void write(Writer& w, const drift::ContinuousDataDrift& d) { write(w, d.baseline_); }
    static std::optional<drift::ContinuousDataDrift> read(Reader& r, const drift::ContinuousDataDrift*) {
        auto b = read_continuous(r);
        if (!b || !r.finish()) return std::nullopt;
        return drift::ContinuousDataDrift(std::move(*b));
    }
    static void write(Writer& w, const drift::CategoricalDataDrift& d) { write(w, d.baseline_); }
    static std::optional<drift::CategoricalDataDrift> read(Reader& r, const drift::CategoricalDataDrift*) {
        auto b = read_categorical(r);
        if (!b || !r.finish()) return std::nullopt;
        return drift::CategoricalDataDrift(std::move(*b));
    }

    // ---- streaming detectors ----

    static void write(Writer& w, const drift::StreamState& s) {
        if (s.mode_ == drift::StreamMode::Decay) {
            w.f64(s.decay_factor_);
            w.f64(s.stream_total_);
            w.f64_list(s.runtime_bins_);
            return;
        }
        w.f64(s.flush_rate_);
        w.u64(s.flush_cadence_.secs);
        w.f64(s.stream_total_);
        w.f64_list(s.runtime_bins_);
        const drift::Instant age = s.window_age();
        w.u64(age.secs);
        w.u32(age.nanos);
    }
    static std::optional<drift::StreamState> read_stream(Reader& r, drift::StreamMode mode, std::size_t bins) {
        drift::StreamState s;
        s.mode_ = mode;
        if (mode == drift::StreamMode::Decay) {
            s.decay_factor_ = r.f64("decay factor");
            // exp2(-1/h) for a half-life of h >= 1 computations.
            if (r.ok() && !(s.decay_factor_ >= 0.5 && s.decay_factor_ <= 1.0)) {
                r.fail("decay factor " + fmt(s.decay_factor_) + " is outside [0.5, 1]");
            }
        } else {
            s.flush_rate_ = r.f64("flush rate");
            if (r.ok() && !(s.flush_rate_ >= 0.0 && s.flush_rate_ <= 18446744073709551616.0 &&
                            std::floor(s.flush_rate_) == s.flush_rate_ && !std::signbit(s.flush_rate_))) {
                r.fail("flush rate " + fmt(s.flush_rate_) + " is not a whole sample count");
            }
            s.flush_cadence_ = drift::Instant{r.u64("flush cadence"), 0};
        }
        s.stream_total_ = r.f64("stream total");
        s.runtime_bins_ = r.f64_list(bins, "stream weights");
        drift::Instant age{};
        if (mode == drift::StreamMode::Flush) {
            age.secs = r.u64("window age");
            age.nanos = r.u32("window age");
            if (r.ok() && age.nanos >= 1000000000u) r.fail("window age has " + fmt(std::uint64_t{age.nanos}) + " nanoseconds");
        }
        if (!r.ok()) return std::nullopt;
        const double total = s.stream_total_;
        if (mode == drift::StreamMode::Decay) {
            // Weights are whole samples scaled down by decay steps; the total
            // is rounded the same way at every step, so it never falls below
            // any one weight.
            if (!(std::isfinite(total) && total >= 0.0) || std::signbit(total)) {
                return r.refuse("stream total " + fmt(total) + " is not a weight");
            }
            for (std::size_t i = 0; i < bins; ++i) {
                const double v = s.runtime_bins_[i];
                if (!(std::isfinite(v) && v >= 0.0) || std::signbit(v) || v > total) {
                    return r.refuse("stream weight " + fmt(std::uint64_t{i}) + " (" + fmt(v) +
                                  ") is negative, not finite, or above the stream total");
                }
            }
            // ... and they add up to it, up to the rounding the updates leave.
            if (!decay_total_fits(total, s.runtime_bins_)) {
                return r.refuse("stream total " + fmt(total) + " is not the sum of the stream weights (" +
                                fmt(compensated_sum(s.runtime_bins_)) + ")");
            }
        } else {
            // Whole samples since the last flush, counted exactly.
            if (!is_count(total)) return r.refuse("stream total " + fmt(total) + " is not a sample count");
            Wide sum = 0;
            for (std::size_t i = 0; i < bins; ++i) {
                const double v = s.runtime_bins_[i];
                if (!is_count(v)) {
                    return r.refuse("stream weight " + fmt(std::uint64_t{i}) + " (" + fmt(v) + ") is not a sample count");
                }
                sum += static_cast<std::uint64_t>(v);
            }
            if (sum != static_cast<Wide>(static_cast<std::uint64_t>(total))) {
                const std::string added =
                    sum > kU64Max ? std::string("more than 2^64") : fmt(static_cast<std::uint64_t>(sum));
                return r.refuse("stream total " + fmt(total) + " is not the sum of the stream weights (" + added + ")");
            }
            // now - age, at the clock's zero when the clock reads less.
            s.last_flush_ = drift::elapsed_between(age, drift::monotonic_now());
        }
        return s;
    }

    static Result<void, StateError> merge_streams(drift::StreamState& a, const drift::StreamState& b) {
        if (a.mode_ != b.mode_) return cannot_merge("one detector decays, the other flushes");
        if (a.mode_ == drift::StreamMode::Decay) {
            if (!bits_equal(a.decay_factor_, b.decay_factor_)) {
                return cannot_merge("the half-lives differ (decay factors " + fmt(a.decay_factor_) + " and " +
                                    fmt(b.decay_factor_) + ")");
            }
        } else {
            if (!bits_equal(a.flush_rate_, b.flush_rate_)) {
                return cannot_merge("the flush rates differ (" + fmt(a.flush_rate_) + " and " + fmt(b.flush_rate_) +
                                    ")");
            }
            if (a.flush_cadence_ != b.flush_cadence_) {
                return cannot_merge("the flush cadences differ (" + fmt(a.flush_cadence_.secs) + " s and " +
                                    fmt(b.flush_cadence_.secs) + " s)");
            }
        }
        if (a.runtime_bins_.size() != b.runtime_bins_.size()) return cannot_merge("the bin counts differ");
        // A flush window counts whole samples exactly, which a double does up
        // to 2^53; past that the sum of the weights would drift from the total.
        if (a.mode_ == drift::StreamMode::Flush &&
            Wide{drift::saturating_u64(a.stream_total_)} + drift::saturating_u64(b.stream_total_) >
                Wide{std::uint64_t{1} << 53}) {
            return cannot_merge("the window would hold more than 2^53 samples");
        }
        // Decayed weights are samples too: past 2^53 a new sample may no
        // longer add to the total (and far past it the total overflows), so
        // the total would part from its weights (see decay_total_fits). Each
        // merged weight is at most the merged total: it is bounded as well.
        if (a.mode_ == drift::StreamMode::Decay && !(a.stream_total_ + b.stream_total_ <= kExactCount)) {
            return cannot_merge("the stream would weigh more than 2^53 samples");
        }
        // Weights add as they stand; the window, its age and the flush
        // bookkeeping stay self's.
        for (std::size_t i = 0; i < a.runtime_bins_.size(); ++i) {
            a.runtime_bins_[i] = a.runtime_bins_[i] + b.runtime_bins_[i];
        }
        a.stream_total_ = a.stream_total_ + b.stream_total_;
        return {};
    }

    template <class D>
    static void write_streaming(Writer& w, const D& d) {
        write(w, d.baseline_);
        write(w, d.state_);
    }
    static std::optional<drift::StreamingContinuousDataDrift> read(Reader& r, drift::StreamMode mode,
                                                                   const drift::StreamingContinuousDataDrift*) {
        auto b = read_continuous(r);
        if (!b) return std::nullopt;
        auto s = read_stream(r, mode, b->baseline_hist().size());
        if (!s || !r.finish()) return std::nullopt;
        return drift::StreamingContinuousDataDrift(std::move(*b), std::move(*s));
    }
    static std::optional<drift::StreamingCategoricalDataDrift> read(Reader& r, drift::StreamMode mode,
                                                                    const drift::StreamingCategoricalDataDrift*) {
        auto b = read_categorical(r);
        if (!b) return std::nullopt;
        auto s = read_stream(r, mode, b->baseline_hist().size());
        if (!s || !r.finish()) return std::nullopt;
        return drift::StreamingCategoricalDataDrift(std::move(*b), std::move(*s));
    }
    template <class D>
    static Result<void, StateError> merge_streaming(D& self, const D& other) {
        if (auto e = drift_baseline_differs(self.baseline_, other.baseline_)) return *e;
        return merge_streams(self.state_, other.state_);
    }

private:
    static bool same(const Criterion<std::int8_t>& a, const Criterion<std::int8_t>& b) {
        return a.kind == b.kind && a.value == b.value;
    }
    static std::array<std::uint64_t, 14> post_training_fields(const PostTraining& c) {
        return {c.true_positive_a, c.false_positive_a, c.true_negative_a, c.false_negative_a,
                c.true_positive_d, c.false_positive_d, c.true_negative_d, c.false_negative_d,
                c.len_a,           c.label_positive_a, c.pred_positive_a, c.len_d,
                c.label_positive_d, c.pred_positive_d};
    }
    static void set_post_training_fields(PostTraining& c, const std::array<std::uint64_t, 14>& f) {
        c.true_positive_a = f[0];
        c.false_positive_a = f[1];
        c.true_negative_a = f[2];
        c.false_negative_a = f[3];
        c.true_positive_d = f[4];
        c.false_positive_d = f[5];
        c.true_negative_d = f[6];
        c.false_negative_d = f[7];
        c.len_a = f[8];
        c.label_positive_a = f[9];
        c.pred_positive_a = f[10];
        c.len_d = f[11];
        c.label_positive_d = f[12];
        c.pred_positive_d = f[13];
    }
    static std::array<double, 10> regression_fields(const LinearRegressionErrorBuckets& s) {
        return {s.squared_error_sum,   s.absolute_error_sum, s.max_absolute_error, s.squared_log_error_sum,
                s.absolute_percentage_error_sum, s.y_true_sum, s.pair_count,     s.y_true_squared_sum,
                s.y_pred_squared_sum,  s.true_pred_product_sum};
    }
    static void set_regression_fields(LinearRegressionErrorBuckets& s, const std::array<double, 10>& f) {
        s.squared_error_sum = f[0];
        s.absolute_error_sum = f[1];
        s.max_absolute_error = f[2];
        s.squared_log_error_sum = f[3];
        s.absolute_percentage_error_sum = f[4];
        s.y_true_sum = f[5];
        s.pair_count = f[6];
        s.y_true_squared_sum = f[7];
        s.y_pred_squared_sum = f[8];
        s.true_pred_product_sum = f[9];
    }
};

// ---- the public functions -----------------------------------------------------------------------

namespace {

template <class T>
std::vector<std::uint8_t> record(Tag tag, const T& obj, std::size_t body_hint = 64) {
    Writer w(tag, body_hint);
    Access::write(w, obj);
    return w.finish();
}

template <class D>
std::size_t stream_hint(const D& d) {
    return 16 * d.baseline().baseline_hist().size() + 128;
}

Tag stream_tag(drift::StreamMode mode, bool continuous) {
    if (continuous) return mode == drift::StreamMode::Decay ? Tag::StreamingContinuousDecay : Tag::StreamingContinuousFlush;
    return mode == drift::StreamMode::Decay ? Tag::StreamingCategoricalDecay : Tag::StreamingCategoricalFlush;
}

template <class T>
Result<T, StateError> parse(std::span<const std::uint8_t> bytes, Tag tag) {
    LUMETRA_TRY(std::span<const std::uint8_t> body, open(bytes, tag));
    Reader r(body);
    std::optional<T> out;
    if constexpr (std::is_same_v<T, drift::StreamingContinuousDataDrift> ||
                  std::is_same_v<T, drift::StreamingCategoricalDataDrift>) {
        const bool decay = tag == Tag::StreamingContinuousDecay || tag == Tag::StreamingCategoricalDecay;
        out = Access::read(r, decay ? drift::StreamMode::Decay : drift::StreamMode::Flush, static_cast<const T*>(nullptr));
    } else {
        out = Access::read(r, static_cast<const T*>(nullptr));
    }
    if (!out) return r.error();
    return std::move(*out);
}

// The tags each core type may be read from.
template <class T>
bool tag_fits(Tag tag) {
    if constexpr (std::is_same_v<T, StreamingDataBias>) return tag == Tag::DataBiasStreaming;
    if constexpr (std::is_same_v<T, StreamingModelBias>) return tag == Tag::ModelBiasStreaming;
    if constexpr (std::is_same_v<T, BinaryClassificationStreaming>) return tag == Tag::BinaryClassificationStreaming;
    if constexpr (std::is_same_v<T, LinearRegressionStreaming>) return tag == Tag::LinearRegressionStreaming;
    if constexpr (std::is_same_v<T, LogisticRegressionStreaming>) return tag == Tag::LogisticRegressionStreaming;
    if constexpr (std::is_same_v<T, drift::ContinuousDataDrift>) return tag == Tag::ContinuousDataDrift;
    if constexpr (std::is_same_v<T, drift::CategoricalDataDrift>) return tag == Tag::CategoricalDataDrift;
    if constexpr (std::is_same_v<T, drift::StreamingContinuousDataDrift>) {
        return tag == Tag::StreamingContinuousDecay || tag == Tag::StreamingContinuousFlush;
    }
    if constexpr (std::is_same_v<T, drift::StreamingCategoricalDataDrift>) {
        return tag == Tag::StreamingCategoricalDecay || tag == Tag::StreamingCategoricalFlush;
    }
    return false;
}

}  // namespace

std::vector<std::uint8_t> to_bytes(const StreamingDataBias& m) { return record(Tag::DataBiasStreaming, m); }
std::vector<std::uint8_t> to_bytes(const StreamingModelBias& m) { return record(Tag::ModelBiasStreaming, m, 256); }
std::vector<std::uint8_t> to_bytes(const BinaryClassificationStreaming& m) {
    return record(Tag::BinaryClassificationStreaming, m);
}
std::vector<std::uint8_t> to_bytes(const LinearRegressionStreaming& m) {
    return record(Tag::LinearRegressionStreaming, m, 128);
}
std::vector<std::uint8_t> to_bytes(const LogisticRegressionStreaming& m) {
    return record(Tag::LogisticRegressionStreaming, m, 128);
}
std::vector<std::uint8_t> to_bytes(const drift::ContinuousDataDrift& d) {
    return record(Tag::ContinuousDataDrift, d, stream_hint(d));
}
std::vector<std::uint8_t> to_bytes(const drift::CategoricalDataDrift& d) {
    std::size_t hint = stream_hint(d);
    for (const std::string& l : d.baseline().label_index().labels()) hint += 8 + l.size();
    return record(Tag::CategoricalDataDrift, d, hint);
}
std::vector<std::uint8_t> to_bytes(const drift::StreamingContinuousDataDrift& d) {
    Writer w(stream_tag(d.state().mode(), true), stream_hint(d));
    Access::write_streaming(w, d);
    return w.finish();
}
std::vector<std::uint8_t> to_bytes(const drift::StreamingCategoricalDataDrift& d) {
    std::size_t hint = stream_hint(d);
    for (const std::string& l : d.baseline().label_index().labels()) hint += 8 + l.size();
    Writer w(stream_tag(d.state().mode(), false), hint);
    Access::write_streaming(w, d);
    return w.finish();
}

template <class T>
Result<T, StateError> from_bytes(std::span<const std::uint8_t> bytes, Tag tag) {
    if (!tag_fits<T>(tag)) return StateError{"Invalid saved state: internal mix-up of class and tag"};
    return parse<T>(bytes, tag);
}

template Result<StreamingDataBias, StateError> from_bytes(std::span<const std::uint8_t>, Tag);
template Result<StreamingModelBias, StateError> from_bytes(std::span<const std::uint8_t>, Tag);
template Result<BinaryClassificationStreaming, StateError> from_bytes(std::span<const std::uint8_t>, Tag);
template Result<LinearRegressionStreaming, StateError> from_bytes(std::span<const std::uint8_t>, Tag);
template Result<LogisticRegressionStreaming, StateError> from_bytes(std::span<const std::uint8_t>, Tag);
template Result<drift::ContinuousDataDrift, StateError> from_bytes(std::span<const std::uint8_t>, Tag);
template Result<drift::CategoricalDataDrift, StateError> from_bytes(std::span<const std::uint8_t>, Tag);
template Result<drift::StreamingContinuousDataDrift, StateError> from_bytes(std::span<const std::uint8_t>, Tag);
template Result<drift::StreamingCategoricalDataDrift, StateError> from_bytes(std::span<const std::uint8_t>, Tag);

Result<void, StateError> merge(StreamingDataBias& self, const StreamingDataBias& other) {
    return Access::merge(self, other);
}
Result<void, StateError> merge(StreamingModelBias& self, const StreamingModelBias& other) {
    return Access::merge(self, other);
}
Result<void, StateError> merge(BinaryClassificationStreaming& self, const BinaryClassificationStreaming& other) {
    return Access::merge(self, other);
}
Result<void, StateError> merge(LinearRegressionStreaming& self, const LinearRegressionStreaming& other) {
    return Access::merge(self, other);
}
Result<void, StateError> merge(LogisticRegressionStreaming& self, const LogisticRegressionStreaming& other) {
    return Access::merge(self, other);
}
Result<void, StateError> merge(drift::StreamingContinuousDataDrift& self,
                               const drift::StreamingContinuousDataDrift& other) {
    return Access::merge_streaming(self, other);
}
Result<void, StateError> merge(drift::StreamingCategoricalDataDrift& self,
                               const drift::StreamingCategoricalDataDrift& other) {
    return Access::merge_streaming(self, other);
}

}  // namespace lumetra::state
