// Post-training bias: the analyses of a feature, the ground truth and the
// predictions, and the runtime checks of their twelve metrics.
#include "python/lumetra.hpp"

#include "core/model_bias.hpp"
#include "python/gil.hpp"
#include "python/intake.hpp"
#include "python/runtime.hpp"
#include "python/segmentation.hpp"

namespace lumetra::py {
namespace {

PyObject* metrics_or_raise(const Result<MetricMap<ModelBiasMetric>, BiasError>& metrics) {
    if (!metrics.ok()) return raise(metrics.error());
    return report_to_py_dict(metrics.value());
}

// The metrics of three masks.
PyObject* analyse_masks(const GroupMask& feature, const GroupMask& prediction, const GroupMask& truth) {
    return metrics_or_raise(
        released(feature.size(), [&] { return model_bias_analysis_core(feature, prediction, truth); }));
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
            return metrics_or_raise(released(column.size(), [&] {
                const MembershipSums sums = sum_memberships_segmented<decltype(v)>(column, v, prediction, truth);
                return model_bias_from_sums(sums, prediction, truth);
            }));
        },
        [&](const GroupMask& mask) { return analyse_masks(mask, prediction, truth); });
}

PyObject* analyzer(const ArrayArg& feature, const ArrayArg& truth, const ArrayArg& prediction,
                   const AnyArg& feature_label, const AnyArg& truth_label, const AnyArg& prediction_label) {
    // Predictions are segmented first, then the ground truth, then the
    // feature: the first of them that fails is the error reported.
    auto prediction_mask = apply_label(prediction.obj, prediction_label.obj);
    if (!prediction_mask) return nullptr;
    auto truth_mask = apply_label(truth.obj, truth_label.obj);
    if (!truth_mask) return nullptr;
    return analyse_implicit(feature.obj, feature_label.obj, *prediction_mask, *truth_mask);
}

using OptionalText = std::optional<std::string>;

PyObject* analyzer_explicit_seg(const ArrayArg& feature, const std::optional<double>& feat_threshold,
                                const OptionalText& feat_label, const OptionalText& feat_type, const ArrayArg& truth,
                                const std::optional<double>& gt_threshold, const OptionalText& gt_label,
                                const OptionalText& gt_type, const ArrayArg& prediction,
                                const std::optional<double>& pred_threshold, const OptionalText& pred_label,
                                const OptionalText& pred_type) {
    // Explicit segmentation runs in parameter order: feature, truth, prediction.
    auto feature_mask = label_explicit(feature.obj, feat_threshold, feat_label, feat_type);
    if (!feature_mask) return nullptr;
    auto truth_mask = label_explicit(truth.obj, gt_threshold, gt_label, gt_type);
    if (!truth_mask) return nullptr;
    auto prediction_mask = label_explicit(prediction.obj, pred_threshold, pred_label, pred_type);
    if (!prediction_mask) return nullptr;
    return analyse_masks(*feature_mask, *prediction_mask, *truth_mask);
}

PyObject* runtime_check(const NamedValues& baseline, const NamedValues& latest, const Threshold& threshold) {
    return check_named<ModelBiasRuntime>(baseline, latest, all_metrics<ModelBiasMetric>(), threshold.value);
}

constexpr Callable kFunctions[] = {
    function<analyzer>("py_model_bias_analyzer",
                       {"feature_array", "ground_truth_array", "prediction_array", "feature_label_or_threshold",
                        "ground_truth_label_or_threshold", "prediction_label_or_threshold"}),
    function<runtime_check>("py_model_bias_runtime_check", {"baseline", "latest", "threshold=0.10"}),
    function<bias_partial_check<ModelBiasRuntime, parse_model_bias_metrics>>(
        "py_model_bias_partial_check", {"baseline", "latest", "metrics", "threshold=0.10"}),
    function<analyzer_explicit_seg>(
        "py_model_bias_analyzer_explicit_seg",
        {"feature_array", "feat_segmentation_threshold", "feat_segmentation_label", "feat_threshold_type",
         "ground_truth_array", "gt_segmentation_threshold", "gt_segmentation_label", "gt_threshold_type",
         "prediction_array", "pred_segmentation_threshold", "pred_segmentation_label", "pred_threshold_type"}),
};

}  // namespace

std::span<const Callable> model_bias_functions() { return kFunctions; }

}  // namespace lumetra::py
