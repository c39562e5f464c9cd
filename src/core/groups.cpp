#include "groups.hpp"

namespace lumetra {

std::uint64_t GroupTallies::rows(std::size_t g) const noexcept {
    std::uint64_t n = 0;
    for (std::size_t k = 0; k < width; ++k) n += of(g)[k];
    return n;
}

SideCells tally_totals(const GroupTallies& t) noexcept {
    SideCells totals{};
    for (std::size_t g = 0; g < t.groups; ++g) {
        for (std::size_t k = 0; k < t.width; ++k) totals[k] += t.of(g)[k];
    }
    return totals;
}

SideCells other_side(const GroupTallies& t, std::size_t g, std::optional<std::size_t> reference,
                     const SideCells& totals) noexcept {
    // The reference group compared with itself has all its rows in facet a
    // and none on the other side.
    SideCells side{};
    if (reference && *reference == g) return side;
    for (std::size_t k = 0; k < t.width; ++k) side[k] = reference ? t.of(*reference)[k] : totals[k] - t.of(g)[k];
    return side;
}

FacetCounts facet_counts(const std::uint64_t* a, const std::uint64_t* d) noexcept {
    FacetCounts c;
    c.label_positive_a = a[1];
    c.len_a = a[0] + a[1];
    c.label_positive_d = d[1];
    c.len_d = d[0] + d[1];
    return c;
}

PostTraining post_training_counts(const std::uint64_t* a, const std::uint64_t* d) noexcept {
    // Cells by outcome flags: 0 neither positive, 1 truth only, 2 prediction
    // only, 3 both.
    PostTraining r;
    r.true_negative_a = a[0];
    r.false_negative_a = a[1];
    r.false_positive_a = a[2];
    r.true_positive_a = a[3];
    r.len_a = a[0] + a[1] + a[2] + a[3];
    r.label_positive_a = a[1] + a[3];
    r.pred_positive_a = a[2] + a[3];
    r.true_negative_d = d[0];
    r.false_negative_d = d[1];
    r.false_positive_d = d[2];
    r.true_positive_d = d[3];
    r.len_d = d[0] + d[1] + d[2] + d[3];
    r.label_positive_d = d[1] + d[3];
    r.pred_positive_d = d[2] + d[3];
    return r;
}

ConfusionMatrix confusion_of(const std::uint64_t* cells) noexcept {
    ConfusionMatrix m;
    m.true_negative = cells[0];
    m.false_negative = cells[1];
    m.false_positive = cells[2];
    m.true_positive = cells[3];
    return m;
}

}  // namespace lumetra
