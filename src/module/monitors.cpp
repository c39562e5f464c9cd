// The five streaming monitors: what differs between them. Their methods come
// from the class template in module/monitor.hpp.
#include "module/lumetra.hpp"
#include "module/monitor.hpp"

namespace lumetra::py {
namespace {

using Int8Labels = Column<IntLabels<std::int8_t>>;
// The binary monitor counts NumPy's default integers in one pass, checking
// their range as it goes.
using Int32Labels = Column<IntLabels<std::int32_t, RangeCheck::Counting>>;
using Values = Column<Float32>;

// Names: class, constructor parameters, push parameters, batch parameters.
constexpr MonitorNames<2> kDataBias{"PyDataBiasStreaming", {"feature_data", "gt_data"}, {"f", "g"}, {"f", "g"}};
constexpr MonitorNames<3> kModelBias{
    "PyModelBiasStreaming", {"features", "predictions", "ground_truth"}, {"feature", "pred", "gt"},
    {"feature", "pred", "gt"}};
constexpr MonitorNames<2> kBinary{
    "PyBinaryClassificationStreaming", {"y_true", "y_pred"}, {"y_true", "y_pred"}, {"y_true", "y_pred"}};
constexpr MonitorNames<2> kRegression{
    "PyLinearRegressionStreaming", {"y_true", "y_pred"}, {"t", "p"}, {"y_true", "y_pred"}};
constexpr MonitorNames<2, 3> kLogistic{
    "PyLogisticRegressionStreaming", {"y_true", "y_pred", "threshold"}, {"y_true", "y_pred"}, {"y_true", "y_pred"}};

using Tag = state::Tag;
using DataBias = MonitorOf<StreamingDataBias, Int8Labels, std::int8_t, parse_data_bias_metrics, kDataBias,
                           Tag::DataBiasStreaming>;
using ModelBias = MonitorOf<StreamingModelBias, Int8Labels, std::int8_t, parse_model_bias_metrics, kModelBias,
                            Tag::ModelBiasStreaming>;
using Binary = MonitorOf<BinaryClassificationStreaming, Int32Labels, std::int32_t, parse_classification_metrics,
                         kBinary, Tag::BinaryClassificationStreaming>;
using Regression = MonitorOf<LinearRegressionStreaming, Values, float, parse_regression_metrics, kRegression,
                             Tag::LinearRegressionStreaming>;

// The logistic monitor also takes its decision threshold, when made and when
// its baseline is reset.
struct Logistic : MonitorOf<LogisticRegressionStreaming, Values, float, parse_logistic_metrics, kLogistic,
                            Tag::LogisticRegressionStreaming> {
    using CtorArgs = Args<Values, Values, float>;

    struct ResetWithThreshold {
        decltype(auto) operator()(Core& m, const F32Column& t, const F32Column& p, float threshold) const {
            return m.reset_baseline_and_decision_threshold(t, p, threshold);
        }
    };
    template <class Monitor>
    static consteval auto extra_methods() {
        return std::array{
            method<&Monitor::template Changing<ResetWithThreshold, CtorArgs>::body>(
                "reset_baseline_and_decision_threshold", {"y_true", "y_pred", "threshold"}),
        };
    }
};

constexpr ClassDecl kClasses[] = {
    monitor_class<DataBias>,   monitor_class<ModelBias>, monitor_class<Binary>,
    monitor_class<Regression>, monitor_class<Logistic>,
};

}  // namespace

std::span<const ClassDecl> monitor_classes() { return kClasses; }

}  // namespace lumetra::py
