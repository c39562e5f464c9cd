// Diagnostics of a model's scores and predictions (core/diagnostics.hpp):
// ROC and precision-recall curves, calibration, and the regression pictures
// (predicted against actual, residuals, errors by quantile of the
// prediction). Columns are read in place; the lock is released around the
// reads and the computation.
#include "kernels/results.hpp"

#include <limits>

#include "core/diagnostics.hpp"
#include "binding/convert.hpp"

namespace lumetra::kernels {
namespace {

namespace dg = diagnostics;

// Arguments with the defaults their signatures show.
template <std::uint64_t Default>
struct CountArg {
    std::uint64_t value = Default;
};
template <std::uint64_t Default>
bool convert(PyObject* o, CountArg<Default>& out) {
    return py::convert(o, out.value);
}
struct LowArg {
    double value = 0.0;
};
struct HighArg {
    double value = 1.0;
};
bool convert(PyObject* o, LowArg& out) { return py::convert(o, out.value); }
bool convert(PyObject* o, HighArg& out) { return py::convert(o, out.value); }

using RowsArg = OrNone<NumericArg>;

// A count argument within [low, high]; ValueError naming it otherwise.
bool in_range(std::uint64_t value, std::uint64_t low, std::uint64_t high, const char* argument) {
    if (value >= low && value <= high) return true;
    PyErr_Format(PyExc_ValueError, "%s must be from %llu to %llu", argument, static_cast<unsigned long long>(low),
                 static_cast<unsigned long long>(high));
    return false;
}

bool range_ok(double low, double high, const char* low_name, const char* high_name) {
    if (std::isfinite(low) && std::isfinite(high) && low < high && std::isfinite(high - low)) return true;
    PyErr_Format(PyExc_ValueError, "%s and %s must be finite, %s below %s, with a finite difference", low_name,
                 high_name, low_name, high_name);
    return false;
}

// The rows column: integer codes, one per row, or nullopt with the error set.
std::optional<py::NativeColumn> rows_of(const RowsArg& rows, std::size_t n) {
    const py::NativeColumn c = rows.get()->view();
    if (!py::is_integer(c.type)) {
        PyErr_SetString(PyExc_TypeError, "rows must hold integer codes");
        return std::nullopt;
    }
    if (c.n != n) {
        PyErr_Format(PyExc_ValueError, "rows must have one value per row (%zu rows, got %zu)", n, c.n);
        return std::nullopt;
    }
    return c;
}

// Marks the rows whose code is negative: 0 in keep (which starts at 1).
void leave_out_negative(const py::NativeColumn& codes, std::uint8_t* keep) {
    py::visit_numeric(codes, [&](const auto& view) {
        using T = std::remove_cvref_t<decltype(view[0])>;
        if constexpr (std::is_signed_v<T> && std::is_integral_v<T>) {
            for (std::size_t i = 0; i < view.size(); ++i) {
                if (view[i] < 0) keep[i] = 0;
            }
        }
        return 0;
    });
}

PyObject* nan_score(std::size_t row) {
    PyErr_Format(PyExc_ValueError, "scores holds NaN at row %zu", row);
    return nullptr;
}

PyObject* diagnostics_error(dg::DiagnosticsError e) {
    // Arguments are checked before the core runs; these stand behind them.
    PyErr_SetString(PyExc_ValueError, e == dg::DiagnosticsError::BadRange ? "a range is empty or not finite"
                                                                          : "a count of bins is out of range");
    return nullptr;
}

bool put(PyObject* d, std::string_view key, double v) { return py::dict_set_steal(d, key, PyFloat_FromDouble(v)); }
bool put(PyObject* d, std::string_view key, std::uint64_t v) {
    return py::dict_set_steal(d, key, PyLong_FromUnsignedLongLong(v));
}
template <class T>
bool put(PyObject* d, std::string_view key, const std::vector<T>& v) {
    return set_array(d, key, v);
}

// The scored rows of (label, rule, value) and scores, or nullopt with the
// error set. The lock is released around the reading.
std::optional<dg::ScoredRows> scored_rows(const NumericArg& label, const Rule& label_rule,
                                          const RuleValue& label_value, const NumericArg& scores,
                                          const RowsArg& rows) {
    const py::NativeColumn s = scores.view();
    const std::size_t n = s.n;
    auto truth = outcome_of(label, label_rule, label_value, "label", n);
    if (!truth) return std::nullopt;
    auto mark = outcome_marker(*truth, kTruthBit);
    if (!mark) return std::nullopt;
    std::optional<py::NativeColumn> codes;
    if (rows.get() != nullptr) {
        codes = rows_of(rows, n);
        if (!codes) return std::nullopt;
    }
    auto read = py::released(n, [&] {
        std::vector<std::uint8_t> classes(n);
        if (n != 0) (*mark)(0, n, classes.data());
        for (auto& c : classes) c &= 1u << kTruthBit;
        if (codes) {
            std::vector<std::uint8_t> keep(n, 1);
            leave_out_negative(*codes, keep.data());
            for (std::size_t i = 0; i < n; ++i) {
                if (keep[i] == 0) classes[i] = dg::kLeftOut;
            }
        }
        return py::visit_numeric(s, [&](const auto& view) { return dg::scored_rows(view, classes); });
    });
    if (!read) {
        nan_score(read.error().row);
        return std::nullopt;
    }
    return std::move(read.value());
}

PyObject* score_curves(const NumericArg& label, const Rule& label_rule, const RuleValue& label_value,
                       const NumericArg& scores, const RowsArg& rows, const CountArg<200>& points) {
    if (!in_range(points.value, dg::kMinCurvePoints, dg::kMaxCurvePoints, "points")) return nullptr;
    auto read = scored_rows(label, label_rule, label_value, scores, rows);
    if (!read) return nullptr;
    const std::size_t n = read->score.size();
    auto curves = py::released(n, [&] { return dg::score_curves(std::move(*read), points.value); });
    if (!curves) return diagnostics_error(curves.error());
    const dg::ScoreCurves& c = curves.value();
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    PyObject* d = out.get();
    if (!put(d, "positives", c.positives) || !put(d, "negatives", c.negatives) ||
        !put(d, "thresholds", c.thresholds) || !put(d, "auc", c.auc) ||
        !put(d, "average_precision", c.average_precision) || !put(d, "fpr", c.fpr) || !put(d, "tpr", c.tpr) ||
        !put(d, "roc_threshold", c.roc_threshold) || !put(d, "recall", c.recall) ||
        !put(d, "precision", c.precision) || !put(d, "pr_threshold", c.pr_threshold)) {
        return nullptr;
    }
    return out.release();
}

constexpr const char* kScoreCurvesDoc =
    "The ROC and precision-recall curves of scores (any numeric column, read in double precision)\n"
    "against the label's classes (positive where the label meets its rule), one threshold per distinct\n"
    "score. Rows whose code in rows is negative are left out; a NaN score of another row is refused.\n"
    "Returns a dict: positives, negatives, thresholds (distinct scores), auc (the trapezoid over every\n"
    "point; NaN without both classes), average_precision (sum of (R_k - R_k-1) P_k over the thresholds\n"
    "in decreasing order; NaN without positives), and the curves thinned to at most `points` points\n"
    "(float64): fpr, tpr, roc_threshold from (0, 0) at +inf, empty without both classes; recall,\n"
    "precision, pr_threshold, empty without positives.";

PyObject* calibration(const NumericArg& label, const Rule& label_rule, const RuleValue& label_value,
                      const NumericArg& scores, const RowsArg& rows, const CountArg<10>& bins, const LowArg& low,
                      const HighArg& high) {
    if (!in_range(bins.value, 1, dg::kMaxBins, "bins") || !range_ok(low.value, high.value, "low", "high")) {
        return nullptr;
    }
    auto read = scored_rows(label, label_rule, label_value, scores, rows);
    if (!read) return nullptr;
    auto result = py::released(read->score.size(), [&] {
        return dg::calibration(*read, bins.value, low.value, high.value);
    });
    if (!result) return diagnostics_error(result.error());
    const dg::Calibration& c = result.value();
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    PyObject* d = out.get();
    const std::vector<std::uint64_t> below(c.below, c.below + 2), above(c.above, c.above + 2);
    if (!put(d, "edges", c.edges) || !put(d, "negatives", c.negatives) || !put(d, "positives", c.positives) ||
        !put(d, "score_sum", c.score_sum) || !put(d, "mean_score", c.mean_score) ||
        !put(d, "positive_rate", c.positive_rate) || !put(d, "below", below) || !put(d, "above", above)) {
        return nullptr;
    }
    return out.release();
}

constexpr const char* kCalibrationDoc =
    "Calibration of scores over `bins` equal-width bins of [low, high] (edges as np.linspace gives them;\n"
    "bin j holds (e_j, e_j+1], the first bin its lower edge too, as sklearn's calibration_curve bins).\n"
    "Rows and classes are read as score_curves reads them. Returns a dict of arrays per bin: edges,\n"
    "negatives and positives (uint64 rows of each class), score_sum (in row order), mean_score and\n"
    "positive_rate (NaN for an empty bin); below and above: [negatives, positives] outside [low, high].";

// The regression pairs of label and prediction (single precision, as the
// performance kernels read them), or nullopt with the error set.
std::optional<dg::Pairs> pairs_of(const NumericArg& label, const NumericArg& prediction, const RowsArg& rows) {
    const py::NativeColumn t = label.view(), p = prediction.view();
    const std::size_t n = t.n;
    if (p.n != n) {
        PyErr_Format(PyExc_ValueError, "prediction must have one value per row (%zu rows, got %zu)", n, p.n);
        return std::nullopt;
    }
    std::optional<py::NativeColumn> codes;
    if (rows.get() != nullptr) {
        codes = rows_of(rows, n);
        if (!codes) return std::nullopt;
    }
    std::vector<float> true_scratch, pred_scratch;
    const auto y_true = py::f32_values(t, true_scratch);
    if (!y_true) {
        PyErr_SetString(PyExc_TypeError, "label must be numeric");
        return std::nullopt;
    }
    const auto y_pred = py::f32_values(p, pred_scratch);
    if (!y_pred) {
        PyErr_SetString(PyExc_TypeError, "prediction must be numeric");
        return std::nullopt;
    }
    return py::released(n, [&] {
        if (!codes) return dg::regression_pairs(*y_true, *y_pred, [](std::size_t) { return true; });
        std::vector<std::uint8_t> keep(n, 1);
        leave_out_negative(*codes, keep.data());
        return dg::regression_pairs(*y_true, *y_pred, [&](std::size_t i) { return keep[i] != 0; });
    });
}

PyObject* regression_extent(const NumericArg& label, const NumericArg& prediction, const RowsArg& rows) {
    auto pairs = pairs_of(label, prediction, rows);
    if (!pairs) return nullptr;
    const dg::Extent e = dg::extent(*pairs);
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    PyObject* d = out.get();
    if (!put(d, "pairs", static_cast<std::uint64_t>(pairs->actual.size())) || !put(d, "nonfinite", pairs->nonfinite) ||
        !put(d, "low", e.low) || !put(d, "high", e.high) || !put(d, "residual_low", e.residual_low) ||
        !put(d, "residual_high", e.residual_high)) {
        return nullptr;
    }
    return out.release();
}

constexpr const char* kRegressionExtentDoc =
    "The extremes of the finite (label, prediction) pairs (each value in single precision, as the\n"
    "regression metrics read it; rows with a negative code in rows left out): low and high of the\n"
    "labels and predictions together, residual_low and residual_high of label - prediction (NaN without\n"
    "pairs), pairs, and nonfinite (rows left out for a value that is not finite).";

PyObject* regression_diagnostics(const NumericArg& label, const NumericArg& prediction, const double& low,
                                 const double& high, const double& residual_low, const double& residual_high,
                                 const RowsArg& rows, const CountArg<40>& bins, const CountArg<40>& residual_bins,
                                 const CountArg<10>& quantiles) {
    if (!in_range(bins.value, 1, dg::kMaxGridBins, "bins") ||
        !in_range(residual_bins.value, 1, dg::kMaxBins, "residual_bins") ||
        !in_range(quantiles.value, 1, dg::kMaxQuantiles, "quantiles") || !range_ok(low, high, "low", "high") ||
        !range_ok(residual_low, residual_high, "residual_low", "residual_high")) {
        return nullptr;
    }
    auto pairs = pairs_of(label, prediction, rows);
    if (!pairs) return nullptr;
    auto result = py::released(pairs->actual.size(), [&] {
        return dg::regression(*pairs, low, high, bins.value, residual_low, residual_high, residual_bins.value,
                              quantiles.value);
    });
    if (!result) return diagnostics_error(result.error());
    const dg::Regression& r = result.value();
    const dg::Quantiles& q = r.quantiles;
    Ref out = Ref::steal(PyDict_New());
    if (!out) return nullptr;
    PyObject* d = out.get();
    if (!put(d, "pairs", static_cast<std::uint64_t>(pairs->actual.size())) || !put(d, "nonfinite", pairs->nonfinite) ||
        !put(d, "edges", r.edges) ||
        !py::dict_set_steal(d, "density", new_array(r.density, bins.value, bins.value, true)) ||
        !put(d, "outside", r.outside) || !put(d, "residual_edges", r.residual_edges) ||
        !put(d, "residuals", r.residuals) || !put(d, "residual_outside", r.residual_outside) ||
        !put(d, "count", q.count) || !put(d, "low_prediction", q.low) || !put(d, "high_prediction", q.high) ||
        !put(d, "mean_predicted", q.mean_predicted) || !put(d, "mean_actual", q.mean_actual) ||
        !put(d, "mean_absolute_error", q.mean_absolute_error) || !put(d, "mean_error", q.mean_error)) {
        return nullptr;
    }
    return out.release();
}

constexpr const char* kRegressionDiagnosticsDoc =
    "Regression diagnostics of the finite (label, prediction) pairs, read as regression_extent reads\n"
    "them: density (uint64, bins x bins: label bin by prediction bin over the edges of [low, high]) and\n"
    "outside (pairs off the grid); residuals (uint64 per bin of label - prediction over the edges of\n"
    "[residual_low, residual_high]) and residual_outside; bins hold [e_j, e_j+1), the last both edges, as\n"
    "np.histogram's. Per quantile of the predictions (by rank, ties in row order): count, low_prediction,\n"
    "high_prediction, mean_predicted, mean_actual, mean_absolute_error and mean_error (of label -\n"
    "prediction, summed in row order; NaN for an empty quantile). Also pairs, nonfinite, edges and\n"
    "residual_edges.";

constexpr Callable kFunctions[] = {
    py::function<score_curves>("score_curves",
                               {"label", "label_rule", "label_value", "scores", "rows=None", "points=200"},
                               kScoreCurvesDoc),
    py::function<calibration>("calibration",
                              {"label", "label_rule", "label_value", "scores", "rows=None", "bins=10", "low=0.0",
                               "high=1.0"},
                              kCalibrationDoc),
    py::function<regression_extent>("regression_extent", {"label", "prediction", "rows=None"},
                                    kRegressionExtentDoc),
    py::function<regression_diagnostics>("regression_diagnostics",
                                         {"label", "prediction", "low", "high", "residual_low", "residual_high",
                                          "rows=None", "bins=40", "residual_bins=40", "quantiles=10"},
                                         kRegressionDiagnosticsDoc),
};

}  // namespace

std::span<const Callable> diagnostics_functions() { return kFunctions; }

}  // namespace lumetra::kernels
