#include <doctest/doctest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "core/groups.hpp"

using namespace lumetra;

namespace {

// Rows of (group code, truth, prediction); a negative code is a row left out.
struct Rows {
    std::vector<std::int32_t> code;
    std::vector<std::uint8_t> truth, prediction;

    static Rows random(std::size_t n, int groups, unsigned seed, int left_out_every = 0) {
        std::mt19937 rng(seed);
        Rows r;
        for (std::size_t i = 0; i < n; ++i) {
            const bool out = left_out_every != 0 && i % static_cast<std::size_t>(left_out_every) == 0;
            r.code.push_back(out ? -1 : static_cast<std::int32_t>(rng() % static_cast<unsigned>(groups)));
            r.truth.push_back(static_cast<std::uint8_t>(rng() % 3 == 0));
            r.prediction.push_back(static_cast<std::uint8_t>(rng() % 2));
        }
        return r;
    }
    Strided<std::int32_t> codes() const { return view_of(code); }
    OutcomeMarker marker(bool with_prediction) const {
        const SegmentationCriterion<std::uint8_t> one{CriterionKind::EqualTo, 1};
        return [this, one, with_prediction](std::size_t b, std::size_t e, std::uint8_t* flags) {
            mark_outcome(view_of(truth), one, kTruthBit, b, e, flags);
            if (with_prediction) mark_outcome(view_of(prediction), one, kPredictionBit, b, e, flags);
        };
    }
    // The 0/1 masks of the rows a comparison holds, in row order.
    void masks(int a, int d, GroupMask& feature, GroupMask& t, GroupMask& p) const {
        std::vector<std::uint8_t> f, tt, pp;
        for (std::size_t i = 0; i < code.size(); ++i) {
            if (code[i] < 0) continue;
            const bool in_a = code[i] == a;
            if (!in_a && d >= 0 && code[i] != d) continue;
            f.push_back(in_a);
            tt.push_back(truth[i]);
            pp.push_back(prediction[i]);
        }
        feature.assign(f.begin(), f.end());
        t.assign(tt.begin(), tt.end());
        p.assign(pp.begin(), pp.end());
    }
};

bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST_CASE("tally_groups counts every row once by group and outcome, in one pass or in chunks") {
    // Sizes around the block length and a table large enough to skip the lanes.
    for (const auto& [n, groups] : {std::pair<std::size_t, int>{0, 3}, {5, 3}, {4097, 7}, {20000, 2}, {9000, 3000}}) {
        const Rows r = Rows::random(n, groups, 7, 5);
        std::vector<std::uint64_t> cells(static_cast<std::size_t>(groups) * 4, 0);
        REQUIRE(tally_groups(r.codes(), static_cast<std::size_t>(groups), 4, r.marker(true), cells.data()));
        std::vector<std::uint64_t> expected(cells.size(), 0);
        for (std::size_t i = 0; i < n; ++i) {
            if (r.code[i] >= 0) expected[static_cast<std::size_t>(r.code[i]) * 4 + r.truth[i] + 2 * r.prediction[i]] += 1;
        }
        CHECK(cells == expected);

        // The truth alone, tested as rows are counted, gives the truth's cells.
        std::vector<std::uint64_t> truth_only(static_cast<std::size_t>(groups) * 2, 0);
        const SegmentationCriterion<std::uint8_t> positive{CriterionKind::EqualTo, 1};
        REQUIRE(tally_groups(r.codes(), static_cast<std::size_t>(groups), view_of(r.truth), positive,
                             truth_only.data()));
        for (std::size_t g = 0; g < static_cast<std::size_t>(groups); ++g) {
            CHECK(truth_only[g * 2] == expected[g * 4] + expected[g * 4 + 2]);
            CHECK(truth_only[g * 2 + 1] == expected[g * 4 + 1] + expected[g * 4 + 3]);
        }

        // Two chunks tallied separately add up to the whole.
        const std::size_t half = n / 2;
        std::vector<std::uint64_t> merged(cells.size(), 0);
        const Strided<std::int32_t> first{reinterpret_cast<const char*>(r.code.data()), 4, half};
        const Strided<std::int32_t> second{reinterpret_cast<const char*>(r.code.data() + half), 4, n - half};
        const SegmentationCriterion<std::uint8_t> one{CriterionKind::EqualTo, 1};
        auto marker_from = [&](std::size_t offset) -> OutcomeMarker {
            return [&, offset](std::size_t b, std::size_t e, std::uint8_t* flags) {
                const Strided<std::uint8_t> t{reinterpret_cast<const char*>(r.truth.data() + offset), 1, n - offset};
                const Strided<std::uint8_t> p{reinterpret_cast<const char*>(r.prediction.data() + offset), 1,
                                              n - offset};
                mark_outcome(t, one, kTruthBit, b, e, flags);
                mark_outcome(p, one, kPredictionBit, b, e, flags);
            };
        };
        REQUIRE(tally_groups(first, static_cast<std::size_t>(groups), 4, marker_from(0), merged.data()));
        REQUIRE(tally_groups(second, static_cast<std::size_t>(groups), 4, marker_from(half), merged.data()));
        CHECK(merged == expected);
    }
}

TEST_CASE("tally_groups refuses a code beyond the groups") {
    const std::vector<std::int32_t> code{0, 1, 2};
    const std::vector<std::uint8_t> truth{1, 0, 1};
    std::vector<std::uint64_t> cells(4, 0);
    const SegmentationCriterion<std::uint8_t> one{CriterionKind::EqualTo, 1};
    const OutcomeMarker mark = [&](std::size_t b, std::size_t e, std::uint8_t* f) {
        mark_outcome(view_of(truth), one, kTruthBit, b, e, f);
    };
    CHECK_FALSE(tally_groups(view_of(code), 2, 2, mark, cells.data()));
    const std::vector<std::uint8_t> unsigned_code{0, 1, 255};
    CHECK_FALSE(tally_groups(view_of(unsigned_code), 2, 2, mark, cells.data()));
}

TEST_CASE("mark_outcome compares in the criterion's type") {
    const std::vector<double> x{0.5, 1.0, 1.5, std::nan("")};
    std::uint8_t flags[4];
    mark_outcome(view_of(x), SegmentationCriterion<double>{CriterionKind::GreaterThanEqualTo, 1.0}, 0, 0, 4, flags);
    CHECK(std::vector<int>(flags, flags + 4) == std::vector<int>{0, 1, 1, 0});
    mark_outcome(view_of(x), SegmentationCriterion<double>{CriterionKind::EqualTo, 0.5}, 1, 0, 4, flags);
    CHECK(std::vector<int>(flags, flags + 4) == std::vector<int>{2, 1, 1, 0});
    const std::vector<std::uint64_t> big{18446744073709551615ull, 1};
    mark_outcome(view_of(big), SegmentationCriterion<std::uint64_t>{CriterionKind::EqualTo, 18446744073709551615ull},
                 0, 0, 2, flags);
    CHECK(std::vector<int>(flags, flags + 2) == std::vector<int>{1, 0});
}

TEST_CASE("group records equal the batch analysis of the group's masks") {
    const Rows r = Rows::random(3000, 4, 11, 7);
    std::vector<std::uint64_t> cells(16, 0);
    REQUIRE(tally_groups(r.codes(), 4, 4, r.marker(true), cells.data()));
    const GroupTallies t{cells.data(), 4, 4};
    const SideCells totals = tally_totals(t);
    std::vector<std::uint64_t> truth_cells(8, 0);
    REQUIRE(tally_groups(r.codes(), 4, 2, r.marker(false), truth_cells.data()));
    const GroupTallies t2{truth_cells.data(), 4, 2};
    const SideCells totals2 = tally_totals(t2);
    const auto entropy_rest = grouped_generalized_entropy(r.codes(), 4, r.marker(true), std::nullopt);
    const auto entropy_ref = grouped_generalized_entropy(r.codes(), 4, r.marker(true), std::size_t{2});
    REQUIRE(entropy_rest);
    REQUIRE(entropy_ref);
    GroupMask feature, truth, prediction;
    for (int reference : {-1, 2}) {
        for (int g = 0; g < 4; ++g) {
            std::optional<std::size_t> ref;
            if (reference >= 0) ref = static_cast<std::size_t>(reference);
            const SideCells d = other_side(t, static_cast<std::size_t>(g), ref, totals);
            r.masks(g, reference, feature, truth, prediction);

            const SideCells d2 = other_side(t2, static_cast<std::size_t>(g), ref, totals2);
            const auto data = data_bias_from_counts(facet_counts(t2.of(static_cast<std::size_t>(g)), d2.data()));
            const auto data_masks = data_bias_analysis_core(feature, truth);
            REQUIRE(data.ok() == data_masks.ok());
            if (g == reference) CHECK(data.error() == data_masks.error());  // the reference against itself
            if (data.ok()) {
                data_masks.value().for_each([&](DataBiasMetric m, float v) { CHECK(same_bits(*data.value().get(m), v)); });
            }

            DiscretePostTraining record;
            record.counts = post_training_counts(t.of(static_cast<std::size_t>(g)), d.data());
            const auto& entropy = reference >= 0 ? *entropy_ref : *entropy_rest;
            record.generalized_entropy = entropy[static_cast<std::size_t>(g)];
            const auto from_masks = DiscretePostTraining::from_masks(feature, prediction, truth);
            REQUIRE(from_masks.ok());
            CHECK(record.counts == from_masks.value().counts);
            CHECK(same_bits(record.generalized_entropy, from_masks.value().generalized_entropy));
        }
    }
}

TEST_CASE("grouped generalized entropy: groups without rows are NaN, a bad reference is refused") {
    const std::vector<std::int32_t> code{0, 0, 2, -1, 2};
    const std::vector<std::uint8_t> ones{1, 0, 1, 1, 0};
    const SegmentationCriterion<std::uint8_t> one{CriterionKind::EqualTo, 1};
    const OutcomeMarker mark = [&](std::size_t b, std::size_t e, std::uint8_t* f) {
        mark_outcome(view_of(ones), one, kTruthBit, b, e, f);
        mark_outcome(view_of(ones), one, kPredictionBit, b, e, f);
    };
    const auto all = grouped_generalized_entropy(view_of(code), 3, mark, std::nullopt);
    REQUIRE(all);
    CHECK(std::isnan((*all)[1]));
    CHECK((*all)[0] == (*all)[2]);
    const auto against = grouped_generalized_entropy(view_of(code), 3, mark, std::size_t{0});
    REQUIRE(against);
    CHECK(std::isnan((*against)[1]));
    CHECK_FALSE(grouped_generalized_entropy(view_of(code), 3, mark, std::size_t{3}));
}

TEST_CASE("per-group performance sums equal the batch functions on each group's rows") {
    const Rows r = Rows::random(2000, 3, 5, 9);
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(-0.2, 1.2);
    std::vector<double> t(r.code.size()), p(r.code.size());
    for (std::size_t i = 0; i < t.size(); ++i) {
        t[i] = r.truth[i];
        p[i] = u(rng);
    }
    const F32Column tc = F32Column::float64(reinterpret_cast<const char*>(t.data()), 8, t.size());
    const F32Column pc = F32Column::float64(reinterpret_cast<const char*>(p.data()), 8, p.size());
    std::vector<LinearRegressionErrorBuckets> regression(3);
    REQUIRE(regression_by_group(r.codes(), tc, pc, regression));
    const auto clamp = ScoreClamp::from_epsilon(1e-12);
    std::vector<LogisticSums> logistic(3);
    REQUIRE(logistic_by_group(r.codes(), r.marker(false), pc, 0.5f, *clamp, logistic));
    for (int g = 0; g < 3; ++g) {
        std::vector<double> tg, pg;
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (r.code[i] == g) {
                tg.push_back(t[i]);
                pg.push_back(p[i]);
            }
        }
        const F32Column tgc = F32Column::float64(reinterpret_cast<const char*>(tg.data()), 8, tg.size());
        const F32Column pgc = F32Column::float64(reinterpret_cast<const char*>(pg.data()), 8, pg.size());
        const auto batch = linear_regression_runtime(tgc, pgc);
        REQUIRE(batch.ok());
        const auto grouped = regression_metrics(regression[static_cast<std::size_t>(g)]);
        for (std::size_t m = 0; m < grouped.values.size(); ++m) CHECK(same_bits(grouped.values[m], batch.value().values[m]));

        const auto log_batch = logistic_regression_runtime(tgc, pgc, 0.5f, 1e-12);
        const auto log_grouped = logistic_metrics(logistic[static_cast<std::size_t>(g)]);
        REQUIRE(log_batch.ok());
        REQUIRE(log_grouped.ok());
        for (std::size_t m = 0; m < log_grouped.value().values.size(); ++m) {
            CHECK(same_bits(log_grouped.value().values[m], log_batch.value().values[m]));
        }
    }
    CHECK_FALSE(logistic_metrics(LogisticSums{}).ok());
}

TEST_CASE("entropy sums carried through chunks in row order equal one pass") {
    const Rows r = Rows::random(3000, 4, 11, 7);
    const std::size_t cuts[] = {0, 1, 1000, 1000, 2999, 3000};  // with empty chunks and a one-row chunk
    for (const std::optional<std::size_t> reference : {std::optional<std::size_t>{}, std::optional<std::size_t>{1}}) {
        const std::size_t comparisons = reference ? 4 : 1;
        const auto whole = grouped_generalized_entropy(r.codes(), 4, r.marker(true), reference);
        REQUIRE(whole);
        // The first pass adds the benefits, the second the terms they give.
        auto pass = [&](const std::vector<float>& terms) {
            std::vector<float> sums(comparisons, 0.0f);
            for (std::size_t k = 0; k + 1 < std::size(cuts); ++k) {
                const std::size_t b = cuts[k], e = cuts[k + 1];
                const Strided<std::int32_t> codes{reinterpret_cast<const char*>(r.code.data() + b),
                                                  sizeof(std::int32_t), e - b};
                const OutcomeMarker shifted = [&, b](std::size_t i, std::size_t j, std::uint8_t* flags) {
                    r.marker(true)(b + i, b + j, flags);
                };
                REQUIRE(continue_entropy_sums(codes, 4, shifted, reference, terms.data(), sums.data()));
            }
            return sums;
        };
        std::vector<float> counting;
        for (std::size_t c = 0; c < comparisons; ++c) counting.insert(counting.end(), {0.0f, 1.0f, 2.0f});
        const std::vector<float> totals = pass(counting);
        std::vector<float> terms(3 * comparisons);
        for (std::size_t c = 0; c < comparisons; ++c) {
            GroupMask feature, truth, prediction;
            r.masks(static_cast<int>(c), reference ? static_cast<int>(*reference) : -1, feature, truth, prediction);
            float t[3];
            generalized_entropy_terms(totals[c], truth.size(), t);
            std::copy(t, t + 3, terms.begin() + static_cast<std::ptrdiff_t>(3 * c));
        }
        const std::vector<float> chained = pass(terms);
        for (std::size_t g = 0; g < 4; ++g) CHECK(same_bits(chained[reference ? g : 0], (*whole)[g]));
    }
    std::vector<float> one{0.0f, 1.0f, 2.0f}, sum{0.0f};
    CHECK_FALSE(continue_entropy_sums(r.codes(), 3, r.marker(true), std::nullopt, one.data(), sum.data()));
    CHECK_FALSE(continue_entropy_sums(r.codes(), 4, r.marker(true), std::size_t{4}, one.data(), sum.data()));
}

namespace {

// Rows drawn for the one-pass comparison sums: `groups` groups whose codes
// are stored as C (every other element of a wider buffer when `strided`), a
// share of rows left out, and a reference group holding `ref_share` of the
// rows when one is asked for.
template <class C>
struct CodedRows {
    std::vector<C> store;
    std::vector<std::uint8_t> truth, prediction;
    bool strided = false;

    CodedRows(std::size_t n, std::size_t groups, std::optional<std::size_t> reference, double ref_share,
              double positive, unsigned seed, bool strided_codes)
        : strided(strided_codes) {
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        store.resize(strided ? 2 * n : n, C{-7});
        for (std::size_t i = 0; i < n; ++i) {
            C c = static_cast<C>(rng() % groups);
            if (reference && u(rng) < ref_share) c = static_cast<C>(*reference);
            if (u(rng) < 0.03) c = C{-1};
            store[strided ? 2 * i : i] = c;
            truth.push_back(static_cast<std::uint8_t>(u(rng) < positive));
            prediction.push_back(static_cast<std::uint8_t>(u(rng) < 0.5));
        }
    }
    std::size_t size() const { return truth.size(); }
    C code(std::size_t i) const { return store[strided ? 2 * i : i]; }
    Strided<C> codes() const {
        return Strided<C>{reinterpret_cast<const char*>(store.data()),
                          static_cast<std::ptrdiff_t>((strided ? 2 : 1) * sizeof(C)), size()};
    }
    OutcomeMarker marker() const {
        const SegmentationCriterion<std::uint8_t> one{CriterionKind::EqualTo, 1};
        return [this, one](std::size_t b, std::size_t e, std::uint8_t* flags) {
            mark_outcome(view_of(truth), one, kTruthBit, b, e, flags);
            mark_outcome(view_of(prediction), one, kPredictionBit, b, e, flags);
        };
    }
    // Each comparison's sum, its rows' terms added one by one in row order.
    std::vector<float> one_by_one(std::size_t groups, std::optional<std::size_t> reference,
                                  const std::vector<float>& terms, std::vector<float> sums) const {
        for (std::size_t i = 0; i < size(); ++i) {
            const C c = code(i);
            if (c < 0) continue;
            const std::size_t b = truth[i] == 0 ? 2 : prediction[i] == 1 ? 1 : 0;
            if (!reference) {
                sums[0] += terms[b];
            } else if (static_cast<std::size_t>(c) != *reference) {
                sums[static_cast<std::size_t>(c)] += terms[3 * static_cast<std::size_t>(c) + b];
            } else {
                for (std::size_t k = 0; k < groups; ++k) sums[k] += terms[3 * k + b];
            }
        }
        return sums;
    }
};

// Terms and starting sums that meet every case of the in-binade shortcut:
// sums that start at zero, near a binade's ends or far inside, terms that
// are ties at some units, tiny and large.
std::vector<float> random_floats(std::size_t n, std::mt19937_64& rng, bool terms) {
    std::vector<float> out(n);
    for (float& x : out) {
        const unsigned pick = static_cast<unsigned>(rng() % 6);
        const float u = static_cast<float>(rng() % 1000000) / 1000000.0f;
        if (terms) {
            const float choices[6] = {-1.0f, 0.5f, 1.5f * u, -u * 1e-3f, 3.0f + u, -0.25f};
            x = choices[pick];
        } else {
            const float choices[6] = {0.0f, 1024.0f - 3.0f, -(2048.0f + 1.0f), u * 1e5f, 0x1p24f - 2.0f, -0.0f};
            x = choices[pick];
        }
    }
    return out;
}

template <class C>
void check_comparison_sums(std::size_t n, std::size_t groups, std::optional<std::size_t> reference, double ref_share,
                           double positive, bool strided, unsigned seed) {
    const CodedRows<C> rows(n, groups, reference, ref_share, positive, seed, strided);
    const std::size_t comparisons = reference ? groups : 1;
    std::mt19937_64 rng(seed + 1);
    const std::vector<float> terms = random_floats(3 * comparisons, rng, true);
    const std::vector<float> start = random_floats(comparisons, rng, false);
    const std::vector<float> want = rows.one_by_one(groups, reference, terms, start);
    std::vector<float> got = start;
    REQUIRE(continue_entropy_sums(rows.codes(), groups, rows.marker(), reference, terms.data(), got.data()));
    for (std::size_t c = 0; c < comparisons; ++c) {
        CAPTURE(c);
        CHECK(same_bits(got[c], want[c]));
    }
}

}  // namespace

TEST_CASE("comparison sums in one pass are each comparison's terms added one by one in row order") {
    unsigned seed = 100;
    for (std::size_t groups : {1, 2, 3, 50, 127, 1000}) {
        for (std::size_t n : {0, 1, 9, 4096, 5000, 70000}) {
            for (const std::optional<std::size_t> reference :
                 {std::optional<std::size_t>{}, std::optional<std::size_t>{0}, std::optional<std::size_t>{groups - 1}}) {
                for (const double ref_share : {0.0, 0.6}) {
                    CAPTURE(groups);
                    CAPTURE(n);
                    CAPTURE(reference.value_or(9999));
                    CAPTURE(ref_share);
                    ++seed;
                    if (groups < 128) {
                        check_comparison_sums<std::int8_t>(n, groups, reference, ref_share, 0.5, seed % 2 == 0, seed);
                    }
                    check_comparison_sums<std::int16_t>(n, groups, reference, ref_share, 0.9, seed % 3 == 0, seed);
                }
            }
        }
    }
}

TEST_CASE("grouped generalized entropy equals the batch entropy of each comparison's masks, 2 to 1000 groups") {
    unsigned seed = 7;
    for (std::size_t groups : {2, 3, 50, 128, 1000}) {
        for (const std::optional<std::size_t> reference :
             {std::optional<std::size_t>{}, std::optional<std::size_t>{1}, std::optional<std::size_t>{groups - 1}}) {
            for (const double positive : {0.02, 0.5, 1.0}) {
                CAPTURE(groups);
                CAPTURE(reference.value_or(9999));
                CAPTURE(positive);
                const CodedRows<std::int16_t> rows(60000, groups, reference, 0.3, positive, ++seed, false);
                const auto got = grouped_generalized_entropy(rows.codes(), groups, rows.marker(), reference);
                REQUIRE(got);
                // The comparison of group g, as the batch analysis takes it: its
                // rows and the reference's (or every row kept), in row order.
                for (std::size_t g = 0; g < groups; g += groups > 50 ? 37 : 1) {
                    GroupMask truth, prediction;
                    bool own = false;
                    for (std::size_t i = 0; i < rows.size(); ++i) {
                        const auto c = rows.code(i);
                        if (c < 0) continue;
                        own = own || static_cast<std::size_t>(c) == g;
                        if (reference && static_cast<std::size_t>(c) != g && static_cast<std::size_t>(c) != *reference) {
                            continue;
                        }
                        truth.push_back(rows.truth[i]);
                        prediction.push_back(rows.prediction[i]);
                    }
                    CAPTURE(g);
                    if (!own) {
                        CHECK(std::isnan((*got)[g]));
                        continue;
                    }
                    CHECK(same_bits((*got)[g], batch_generalized_entropy(prediction, truth)));
                }
            }
        }
    }
}
