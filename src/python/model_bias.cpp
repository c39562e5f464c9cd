#include "python/model_bias.hpp"

#include "python/binding.hpp"
#include "core/model_bias.hpp"
#include "python/errors.hpp"
#include "python/intake.hpp"
#include "python/metrics.hpp"

namespace lumetra::py {

const char* const kModelBiasAnalyzerDoc =
    "py_model_bias_analyzer(feature_array, ground_truth_array, prediction_array, feature_label_or_threshold, "
    "ground_truth_label_or_threshold, prediction_label_or_threshold)\n--\n\n";

const char* const kModelBiasAnalyzerExplicitSegDoc =
    "py_model_bias_analyzer_explicit_seg(feature_array, feat_segmentation_threshold, feat_segmentation_label, "
    "feat_threshold_type, ground_truth_array, gt_segmentation_threshold, gt_segmentation_label, "
    "gt_threshold_type, prediction_array, pred_segmentation_threshold, pred_segmentation_label, "
    "pred_threshold_type)\n--\n\n";

namespace {

const Signature kAnalyzerSig{"py_model_bias_analyzer()",
                             {"feature_array", "ground_truth_array", "prediction_array", "feature_label_or_threshold",
                              "ground_truth_label_or_threshold", "prediction_label_or_threshold"},
                             6};

const Signature kExplicitSig{
    "py_model_bias_analyzer_explicit_seg()",
    {"feature_array", "feat_segmentation_threshold", "feat_segmentation_label", "feat_threshold_type",
     "ground_truth_array", "gt_segmentation_threshold", "gt_segmentation_label", "gt_threshold_type",
     "prediction_array", "pred_segmentation_threshold", "pred_segmentation_label", "pred_threshold_type"},
    12};

PyObject* dict_or_raise(const Result<MetricMap<ModelBiasMetric>, BiasError>& metrics) {
    if (!metrics) return raise(metrics.error());
    return report_to_py_dict(metrics.value());
}

PyObject* analyse(const GroupMask& feature, const GroupMask& prediction, const GroupMask& truth) {
    return dict_or_raise(model_bias_analysis_core(feature, prediction, truth));
}

// Segments the feature and sums it with the prediction and truth masks; a
// numeric column read in place is summed while it is segmented, with no mask
// of its own. The results are the same either way.
PyObject* analyse_implicit(PyObject* feature, PyObject* label, const GroupMask& prediction, const GroupMask& truth) {
    return segment_implicit(
        feature, label,
        [&](const auto& column, auto v) -> PyObject* {
            if (column.size() == 0 || column.size() != prediction.size() || column.size() != truth.size()) {
                return raise(BiasError::DataLengthError);
            }
            const MembershipSums sums = sum_memberships_segmented<decltype(v)>(column, v, prediction, truth);
            return dict_or_raise(model_bias_from_sums(sums, prediction, truth));
        },
        [&](const GroupMask& mask) { return analyse(mask, prediction, truth); });
}

}  // namespace

PyObject* py_model_bias_analyzer(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kAnalyzerSig, args, nargs, kwnames, b)) return nullptr;
        ArrayArg feature, truth, prediction;
        AnyArg feature_label, truth_label, prediction_label;
        if (!convert_args(kAnalyzerSig, b, feature, truth, prediction, feature_label, truth_label, prediction_label)) {
            return nullptr;
        }
        // Predictions are segmented first, then the ground truth, then the
        // feature: the first of them that fails is the error reported.
        auto prediction_mask = apply_label(prediction.obj, prediction_label.obj);
        if (!prediction_mask) return nullptr;
        auto truth_mask = apply_label(truth.obj, truth_label.obj);
        if (!truth_mask) return nullptr;
        return analyse_implicit(feature.obj, feature_label.obj, *prediction_mask, *truth_mask);
    });
}

PyObject* py_model_bias_analyzer_explicit_seg(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kExplicitSig, args, nargs, kwnames, b)) return nullptr;
        ArrayArg feature, truth, prediction;
        std::optional<double> feat_threshold, gt_threshold, pred_threshold;
        std::optional<std::string> feat_label, feat_type, gt_label, gt_type, pred_label, pred_type;
        if (!convert_args(kExplicitSig, b, feature, feat_threshold, feat_label, feat_type, truth, gt_threshold,
                          gt_label, gt_type, prediction, pred_threshold, pred_label, pred_type)) {
            return nullptr;
        }
        // Explicit segmentation runs in parameter order: feature, truth, prediction.
        auto feature_mask = label_explicit(feature.obj, feat_threshold, feat_label, feat_type);
        if (!feature_mask) return nullptr;
        auto truth_mask = label_explicit(truth.obj, gt_threshold, gt_label, gt_type);
        if (!truth_mask) return nullptr;
        auto prediction_mask = label_explicit(prediction.obj, pred_threshold, pred_label, pred_type);
        if (!prediction_mask) return nullptr;
        return analyse(*feature_mask, *prediction_mask, *truth_mask);
    });
}

}  // namespace lumetra::py
