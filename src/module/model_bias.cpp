// Post-training bias: the analyses of a feature, the ground truth and the
// predictions, and the runtime checks of their twelve metrics.
#include "module/lumetra.hpp"

#include "core/model_bias.hpp"
#include "binding/gil.hpp"
#include "binding/intake.hpp"
#include "module/runtime.hpp"
#include "binding/segmentation.hpp"

namespace lumetra::py {
namespace {

PyObject* metrics_or_raise(const Result<MetricMap<ModelBiasMetric>, BiasError>& metrics) {
    if (!metrics.ok()) return raise(metrics.error());
    return report_to_py_dict(metrics.value());
}

PyObject* analyzer(const ArrayArg& feature, const ArrayArg& truth, const ArrayArg& prediction,
                   const AnyArg& feature_label, const AnyArg& truth_label, const AnyArg& prediction_label) {
    // Predictions are segmented first, then the ground truth, then the
    // feature: the first of them that fails is the error reported. Arrays
    // read in place are segmented as they are counted: no mask.
    std::array<std::unique_ptr<GroupCodes>, 3> codes;
    const bool ok = codes_in_order(codes, [&](std::size_t i, bool& ran) {
        switch (i) {
            case 0: return implicit_codes(prediction.obj, prediction_label.obj, ran);
            case 1: return implicit_codes(truth.obj, truth_label.obj, ran);
            default: return implicit_codes(feature.obj, feature_label.obj, ran);
        }
    });
    if (!ok) return nullptr;
    return metrics_or_raise(
        released(codes[0]->size(), [&] { return model_bias_from_codes(*codes[2], *codes[0], *codes[1]); }));
}

using OptionalText = std::optional<std::string>;

PyObject* analyzer_explicit_seg(const ArrayArg& feature, const std::optional<double>& feat_threshold,
                                const OptionalText& feat_label, const OptionalText& feat_type, const ArrayArg& truth,
                                const std::optional<double>& gt_threshold, const OptionalText& gt_label,
                                const OptionalText& gt_type, const ArrayArg& prediction,
                                const std::optional<double>& pred_threshold, const OptionalText& pred_label,
                                const OptionalText& pred_type) {
    // Explicit segmentation runs in parameter order: feature, truth, prediction.
    std::array<std::unique_ptr<GroupCodes>, 3> codes;
    const bool ok = codes_in_order(codes, [&](std::size_t i, bool& ran) {
        switch (i) {
            case 0: return explicit_codes(feature.obj, feat_threshold, feat_label, feat_type, ran);
            case 1: return explicit_codes(truth.obj, gt_threshold, gt_label, gt_type, ran);
            default: return explicit_codes(prediction.obj, pred_threshold, pred_label, pred_type, ran);
        }
    });
    if (!ok) return nullptr;
    return metrics_or_raise(
        released(codes[0]->size(), [&] { return model_bias_from_codes(*codes[0], *codes[2], *codes[1]); }));
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
