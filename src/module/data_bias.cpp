// Pre-training bias: the analyses of a feature against the ground truth and
// the runtime checks of their seven metrics.
#include "module/lumetra.hpp"

#include "core/data_bias.hpp"
#include "binding/gil.hpp"
#include "binding/intake.hpp"
#include "module/runtime.hpp"
#include "binding/segmentation.hpp"

namespace lumetra::py {
namespace {

PyObject* metrics_or_raise(const Result<MetricMap<DataBiasMetric>, BiasError>& metrics) {
    if (!metrics.ok()) return raise(metrics.error());
    return report_to_py_dict(metrics.value());
}

// The metrics of a segmented feature against the segmented ground truth,
// counted with the lock released (the codes read array buffers only).
PyObject* analyse(GroupCodes& feature, GroupCodes& truth) {
    if (feature.size() != truth.size()) return raise(BiasError::DataLengthError);
    return metrics_or_raise(
        released(feature.size(), [&] { return data_bias_from_counts(count_facets(feature, truth)); }));
}

PyObject* analyzer(const ArrayArg& feature, const ArrayArg& truth, const AnyArg& feature_label,
                   const AnyArg& truth_label) {
    // The ground truth is segmented first, so its error wins when both fail.
    // Arrays read in place are segmented as they are counted: no mask.
    std::array<std::unique_ptr<GroupCodes>, 2> codes;
    const bool ok = codes_in_order(codes, [&](std::size_t i, bool& ran) {
        return i == 0 ? implicit_codes(truth.obj, truth_label.obj, ran)
                      : implicit_codes(feature.obj, feature_label.obj, ran);
    });
    if (!ok) return nullptr;
    return analyse(*codes[1], *codes[0]);
}

PyObject* analyzer_explicit_seg(const ArrayArg& feature, const std::optional<double>& feat_threshold,
                                const std::optional<std::string>& feat_label,
                                const std::optional<std::string>& feat_type, const ArrayArg& truth,
                                const std::optional<double>& gt_threshold, const std::optional<std::string>& gt_label,
                                const std::optional<std::string>& gt_type) {
    std::array<std::unique_ptr<GroupCodes>, 2> codes;
    const bool ok = codes_in_order(codes, [&](std::size_t i, bool& ran) {
        return i == 0 ? explicit_codes(feature.obj, feat_threshold, feat_label, feat_type, ran)
                      : explicit_codes(truth.obj, gt_threshold, gt_label, gt_type, ran);
    });
    if (!ok) return nullptr;
    return analyse(*codes[0], *codes[1]);
}

PyObject* runtime_check(const NamedValues& baseline, const NamedValues& latest, const Threshold& threshold) {
    // The full check accepts only the seven names: foreign keys of the
    // baseline, then of the latest, before any missing name.
    auto baseline_map = convert_db_analysis(baseline);
    if (!baseline_map.ok()) return raise(baseline_map.error());
    auto latest_map = convert_db_analysis(latest);
    if (!latest_map.ok()) return raise(latest_map.error());
    auto baseline_record = DataBiasRuntime::from_metric_map(baseline_map.value());
    if (!baseline_record.ok()) return raise(baseline_record.error());
    auto latest_record = DataBiasRuntime::from_metric_map(latest_map.value());
    if (!latest_record.ok()) return raise(latest_record.error());
    const auto failures = DataBiasRuntime::runtime_check(latest_record.value(), baseline_record.value(),
                                                         all_metrics<DataBiasMetric>(), threshold.value);
    return report_to_py(DriftReport<DataBiasMetric>::from_runtime(failures));
}

constexpr Callable kFunctions[] = {
    function<analyzer>("py_data_bias_analyzer",
                       {"feature_array", "ground_truth_array", "feature_label_or_threshold",
                        "ground_truth_label_or_threshold"},
                       "Method to perform data bias analysis"),
    function<runtime_check>("py_data_bias_runtime_check", {"baseline", "latest", "threshold=0.10"}),
    function<bias_partial_check<DataBiasRuntime, parse_data_bias_metrics>>(
        "py_data_bias_partial_check", {"baseline", "latest", "metrics", "threshold=0.10"}),
    function<analyzer_explicit_seg>("py_data_bias_analyzer_explicit_seg",
                                    {"feature_array", "feat_segmentation_threshold", "feat_segmentation_label",
                                     "feat_threshold_type", "ground_truth_array", "gt_segmentation_threshold",
                                     "gt_segmentation_label", "gt_threshold_type"}),
};

}  // namespace

std::span<const Callable> data_bias_functions() { return kFunctions; }

}  // namespace lumetra::py
