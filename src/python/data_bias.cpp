#include "python/data_bias.hpp"

#include "python/binding.hpp"
#include "core/data_bias.hpp"
#include "python/errors.hpp"
#include "python/intake.hpp"
#include "python/metrics.hpp"

namespace lumetra::py {

const char* const kDataBiasAnalyzerDoc =
    "py_data_bias_analyzer(feature_array, ground_truth_array, feature_label_or_threshold, "
    "ground_truth_label_or_threshold)\n--\n\nMethod to perform data bias analysis";

const char* const kDataBiasAnalyzerExplicitSegDoc =
    "py_data_bias_analyzer_explicit_seg(feature_array, feat_segmentation_threshold, feat_segmentation_label, "
    "feat_threshold_type, ground_truth_array, gt_segmentation_threshold, gt_segmentation_label, "
    "gt_threshold_type)\n--\n\n";

namespace {

const Signature kAnalyzerSig{
    "py_data_bias_analyzer()",
    {"feature_array", "ground_truth_array", "feature_label_or_threshold", "ground_truth_label_or_threshold"},
    4};

const Signature kExplicitSig{"py_data_bias_analyzer_explicit_seg()",
                             {"feature_array", "feat_segmentation_threshold", "feat_segmentation_label",
                              "feat_threshold_type", "ground_truth_array", "gt_segmentation_threshold",
                              "gt_segmentation_label", "gt_threshold_type"},
                             8};

PyObject* analyse(const GroupMask& feature, const GroupMask& truth) {
    auto metrics = data_bias_analysis_core(feature, truth);
    if (!metrics) return raise(metrics.error());
    return report_to_py_dict(metrics.value());
}

// Segments the feature and counts it against the outcome mask. A numeric
// column read in place is counted while it is segmented, with no mask of its
// own; the results are the same either way.
PyObject* analyse_implicit(PyObject* feature, PyObject* label, const GroupMask& truth) {
    return segment_implicit(
        feature, label,
        [&](const auto& column, auto v) -> PyObject* {
            if (column.size() != truth.size()) return raise(BiasError::DataLengthError);
            auto metrics = data_bias_from_counts(count_facets_segmented<decltype(v)>(column, v, truth));
            if (!metrics) return raise(metrics.error());
            return report_to_py_dict(metrics.value());
        },
        [&](const GroupMask& mask) { return analyse(mask, truth); });
}

}  // namespace

PyObject* py_data_bias_analyzer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kAnalyzerSig, args, nargs, kwnames, b)) return nullptr;
        ArrayArg feature, truth;
        AnyArg feature_label, truth_label;
        if (!convert_args(kAnalyzerSig, b, feature, truth, feature_label, truth_label)) return nullptr;
        // The ground truth is segmented first, so its error wins when both fail.
        auto truth_mask = apply_label(truth.obj, truth_label.obj);
        if (!truth_mask) return nullptr;
        return analyse_implicit(feature.obj, feature_label.obj, *truth_mask);
    });
}

PyObject* py_data_bias_analyzer_explicit_seg(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kExplicitSig, args, nargs, kwnames, b)) return nullptr;
        ArrayArg feature, truth;
        std::optional<double> feat_threshold, gt_threshold;
        std::optional<std::string> feat_label, feat_type, gt_label, gt_type;
        if (!convert_args(kExplicitSig, b, feature, feat_threshold, feat_label, feat_type, truth, gt_threshold,
                          gt_label, gt_type)) {
            return nullptr;
        }
        auto feature_mask = label_explicit(feature.obj, feat_threshold, feat_label, feat_type);
        if (!feature_mask) return nullptr;
        auto truth_mask = label_explicit(truth.obj, gt_threshold, gt_label, gt_type);
        if (!truth_mask) return nullptr;
        return analyse(*feature_mask, *truth_mask);
    });
}

}  // namespace lumetra::py
