#include "python/drift.hpp"

#include "python/numpy_api.hpp"

#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "python/binding.hpp"
#include "python/classes.hpp"
#include "core/drift.hpp"
#include "python/errors.hpp"
#include "python/intake.hpp"

namespace lumetra::py {

using drift::BaselineContinuousBins;
using drift::CategoricalDataDrift;
using drift::ContinuousDataDrift;
using drift::DataDriftType;
using drift::Labels;
using drift::QuantileType;
using drift::StreamingCategoricalDataDrift;
using drift::StreamingContinuousDataDrift;

namespace {

// ---- argument kinds -----------------------------------------------------------

constexpr const char* kNotF64Array = "the array must be one-dimensional with dtype float64";
constexpr const char* kNotContiguous = "The given array is not contiguous";

PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

bool is_1d_f64(PyObject* o) {
    return PyArray_Check(o) && PyArray_NDIM(as_array(o)) == 1 &&
           PyArray_EquivTypenums(PyArray_TYPE(as_array(o)), NPY_FLOAT64);
}

/// A one-dimensional float64 NumPy array, borrowed from the call. Its buffer
/// is read only after every argument has been converted (values()), since
/// user code in a later conversion could reshape or reallocate it.
struct F64ArrayArg {
    PyObject* obj = nullptr;
};

bool convert(PyObject* o, F64ArrayArg& out) {
    if (!PyArray_Check(o)) return wrong_type(o, "PyUntypedArray");
    if (!is_1d_f64(o)) {
        PyErr_SetString(PyExc_TypeError, kNotF64Array);
        return false;
    }
    out.obj = o;
    return true;
}

/// The array's values for the core: its own buffer when native and aligned,
/// else a copy in `scratch`. Refuses a non-contiguous array.
std::optional<std::span<const double>> f64_values(const F64ArrayArg& arg, std::vector<double>& scratch) {
    PyObject* o = arg.obj;
    if (!is_1d_f64(o)) {
        PyErr_SetString(PyExc_TypeError, kNotF64Array);
        return std::nullopt;
    }
    PyArrayObject* a = as_array(o);
    if (!PyArray_IS_C_CONTIGUOUS(a) && !PyArray_IS_F_CONTIGUOUS(a)) {
        PyErr_SetString(PyExc_TypeError, kNotContiguous);
        return std::nullopt;
    }
    const auto n = static_cast<std::size_t>(PyArray_DIM(a, 0));
    const char* data = static_cast<const char*>(PyArray_DATA(a));
    if (PyArray_ISNOTSWAPPED(a) && PyArray_ISALIGNED(a)) {
        return std::span<const double>(reinterpret_cast<const double*>(data), n);
    }
    scratch.resize(n);
    const bool swapped = !PyArray_ISNOTSWAPPED(a);
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char bytes[8];
        std::memcpy(bytes, data + i * 8, 8);
        if (swapped) {
            for (int k = 0; k < 4; ++k) std::swap(bytes[k], bytes[7 - k]);
        }
        std::memcpy(&scratch[i], bytes, 8);
    }
    return std::span<const double>(scratch);
}

/// A sequence of str. A native 1-D unicode array is read in place as UCS-4;
/// anything else is snapshotted into a tuple whose str items stay alive, so
/// their UTF-8 texts can be viewed without copies.
struct LabelsArg {
    Ref owner;
    std::vector<std::string_view> views;
    bool from_array = false;
    Ucs4Column column{};

    Labels labels() const { return from_array ? Labels(column) : Labels(views); }
};

bool labels_from_sequence(PyObject* o, LabelsArg& out) {
    if (!PySequence_Check(o)) return wrong_type(o, "Sequence");
    Ref items = Ref::steal(PySequence_Tuple(o));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    out.views.clear();
    out.views.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(items.get(), i);
        if (!PyUnicode_Check(item)) return wrong_type(item, "str");
        Py_ssize_t len = 0;
        const char* text = PyUnicode_AsUTF8AndSize(item, &len);  // cached by the str itself
        if (text == nullptr) return false;
        out.views.emplace_back(text, static_cast<std::size_t>(len));
    }
    out.owner = std::move(items);
    out.from_array = false;
    return true;
}

std::optional<NativeColumn> unicode_column(PyObject* o) {
    if (!PyArray_CheckExact(o)) return std::nullopt;  // subclasses may iterate differently
    auto native = native_column(o);
    if (!native || native->type != NativeType::Unicode) return std::nullopt;
    return native;
}

bool convert(PyObject* o, LabelsArg& out) {
    if (PyUnicode_Check(o)) return refuse_str_as_sequence();
    if (auto native = unicode_column(o); native && ucs4_all_encodable(ucs4_column(*native))) {
        out.owner = Ref::borrow(o);
        out.from_array = true;
        out.column = ucs4_column(*native);
        return true;
    }
    return labels_from_sequence(o, out);
}

/// Re-reads an in-place unicode array after all conversions: user code may
/// have replaced its buffer meanwhile, or written into it code points with no
/// UTF-8 form (so the text is checked again even when the buffer is the same).
/// Falls back to the tuple snapshot.
bool finalize(LabelsArg& arg) {
    if (!arg.from_array) return true;
    PyObject* o = arg.owner.get();
    auto native = unicode_column(o);
    if (native && ucs4_all_encodable(ucs4_column(*native))) {
        arg.column = ucs4_column(*native);
        return true;
    }
    Ref keep = std::move(arg.owner);
    return labels_from_sequence(keep.get(), arg);
}

// ---- results -------------------------------------------------------------------

PyObject* u64_to_py(std::uint64_t v) { return PyLong_FromUnsignedLongLong(v); }

PyObject* label_dict(const std::vector<std::string>& labels, std::span<const double> values) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (!dict_set_steal(d.get(), labels[i], PyFloat_FromDouble(values[i]))) return nullptr;
    }
    return d.release();
}

PyObject* scores_or_raise(const Result<std::vector<double>, DriftError>& r) {
    if (!r.ok()) return raise(r.error());
    return float_list(r.value());
}

PyObject* none_or_raise(const Result<void, DriftError>& r) {
    if (!r.ok()) return raise(r.error());
    return none();
}

// Parses a list of metric names, raising on the first unknown one.
std::optional<std::vector<DataDriftType>> parse_types(const StrList& names) {
    auto r = drift::parse_drift_types(names);
    if (!r.ok()) {
        raise(r.error());
        return std::nullopt;
    }
    return std::move(r).value();
}

std::optional<DataDriftType> parse_type(const std::string& name) {
    auto r = drift::parse_drift_type(name);
    if (!r.ok()) {
        raise(r.error());
        return std::nullopt;
    }
    return r.value();
}

std::optional<QuantileType> parse_rule(const std::optional<std::string>& text) {
    auto r = drift::parse_optional_quantile_type(text);
    if (!r.ok()) {
        raise(r.error());
        return std::nullopt;
    }
    return r.value();
}

// ---- docs -------------------------------------------------------------------------

#define LUMETRA_METRICS_PARAGRAPH                                                  \
    "`drift_type` must be one of: `\"JensenShannon\"`, `\"PopulationStabilityIndex\"`,\n" \
    "`\"WassersteinDistance\"`, `\"KullbackLeibler\"`."

constexpr const char* kBatchComputeDriftDoc =
    "compute_drift($self, runtime_data, drift_type)\n--\n\n"
    "Compute a single drift metric against `runtime_data`.\n\n" LUMETRA_METRICS_PARAGRAPH;
constexpr const char* kBatchMultipleDoc = "compute_drift_mutliple_criteria($self, runtime_data, drift_types)\n--\n\n";
constexpr const char* kContResetDoc =
    "reset_baseline($self, baseline_data)\n--\n\n"
    "Replace the baseline with a new data slice, recomputing the histogram.";
constexpr const char* kCatResetDoc =
    "reset_baseline($self, new_baseline)\n--\n\n"
    "Replace the baseline with a new set of labels, recomputing the distribution.";
constexpr const char* kContExportBaselineDoc =
    "export_baseline($self)\n--\n\n"
    "Return the baseline as a normalized probability distribution (sums to 1.0).";
constexpr const char* kCatExportBaselineDoc =
    "export_baseline($self)\n--\n\n"
    "Return the baseline label frequencies as a normalized distribution.";

constexpr const char* kStreamContUpdateDoc =
    "update_stream($self, runtime_example)\n--\n\nAdd a single runtime sample to the stream buffer.";
constexpr const char* kStreamCatUpdateDoc =
    "update_stream($self, runtime_example)\n--\n\nAdd a single runtime label to the stream buffer.";
constexpr const char* kStreamContBatchDoc =
    "update_stream_batch($self, runtime_data)\n--\n\nAdd a batch of runtime samples to the stream buffer.";
constexpr const char* kStreamCatBatchDoc =
    "update_stream_batch($self, runtime_data)\n--\n\nAdd a batch of runtime labels to the stream buffer.";
constexpr const char* kDecayComputeDoc =
    "compute_drift($self, drift_type)\n--\n\n"
    "Apply decay to stream bins and compute a single drift metric.\n\n" LUMETRA_METRICS_PARAGRAPH;
constexpr const char* kFlushComputeDoc =
    "compute_drift($self, drift_type)\n--\n\n"
    "Compute a single drift metric against the current stream bins. Triggers a\n"
    "flush if the configured flush cadence or rate has been reached.\n\n" LUMETRA_METRICS_PARAGRAPH;
constexpr const char* kDecayMultipleDoc =
    "compute_drift_multiple_criteria($self, drift_types)\n--\n\n"
    "Apply decay and compute multiple drift metrics in a single pass. Returns\n"
    "scores in the same order as `drift_types`.";
constexpr const char* kFlushMultipleDoc =
    "compute_drift_multiple_criteria($self, drift_types)\n--\n\n"
    "Compute multiple drift metrics in a single pass. Returns scores in the same\n"
    "order as `drift_types`.";
constexpr const char* kStreamContResetDoc =
    "reset_baseline($self, baseline_data)\n--\n\n"
    "Replace the baseline distribution with a new data slice and clear the stream.";
constexpr const char* kStreamCatResetDoc =
    "reset_baseline($self, new_baseline)\n--\n\n"
    "Replace the baseline distribution with a new set of labels and clear the stream.";
constexpr const char* kStreamContSnapshotDoc =
    "export_snapshot($self)\n--\n\n"
    "Export the current stream histogram as a map of bin label to bin values.";
constexpr const char* kStreamCatSnapshotDoc =
    "export_snapshot($self)\n--\n\n"
    "Export the current stream label counts as a map of label to count.";
constexpr const char* kStreamContFlushDoc =
    "flush($self)\n--\n\nFlush the stream, resetting accumulated runtime bins.";
constexpr const char* kStreamCatFlushDoc =
    "flush($self)\n--\n\nFlush the stream, resetting accumulated runtime label counts.";

// ---- batch continuous ------------------------------------------------------------------

const Signature kContNewSig{"PyContinuousDataDrift()", {"baseline_data", "quantile_type_str"}, 2};
const Signature kContComputeSig{"PyContinuousDataDrift.compute_drift()", {"runtime_data", "drift_type"}, 2};
const Signature kContMultipleSig{"PyContinuousDataDrift.compute_drift_mutliple_criteria()",
                                 {"runtime_data", "drift_types"}, 2};
const Signature kContResetSig{"PyContinuousDataDrift.reset_baseline()", {"baseline_data"}, 1};
const Signature kContExportSig{"PyContinuousDataDrift.export_baseline()", {}, 0};

PyObject* cont_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kContNewSig, args, kwargs, b)) return nullptr;
        F64ArrayArg baseline;
        std::optional<std::string> rule_text;
        if (!convert_args(kContNewSig, b, baseline, rule_text)) return nullptr;
        const auto rule = parse_rule(rule_text);
        if (!rule) return nullptr;
        std::vector<double> scratch;
        const auto values = f64_values(baseline, scratch);
        if (!values) return nullptr;
        auto detector = ContinuousDataDrift::create(*rule, *values);
        if (!detector.ok()) return raise(detector.error());
        return create(type, std::move(detector).value());
    });
}

PyObject* cont_compute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kContComputeSig, args, nargs, kwnames, b)) return nullptr;
        F64ArrayArg runtime;
        std::string name;
        if (!convert_args(kContComputeSig, b, runtime, name)) return nullptr;
        const auto type = parse_type(name);
        if (!type) return nullptr;
        std::vector<double> scratch;
        const auto values = f64_values(runtime, scratch);
        if (!values) return nullptr;
        auto r = with_exclusive<ContinuousDataDrift>(self, [&](ContinuousDataDrift& d) {
            return d.compute_drift(*values, *type);
        });
        if (!r) return nullptr;
        if (!r->ok()) return raise(r->error());
        return PyFloat_FromDouble(r->value());
    });
}

PyObject* cont_multiple(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kContMultipleSig, args, nargs, kwnames, b)) return nullptr;
        F64ArrayArg runtime;
        StrList names;
        if (!convert_args(kContMultipleSig, b, runtime, names)) return nullptr;
        const auto types = parse_types(names);
        if (!types) return nullptr;
        std::vector<double> scratch;
        const auto values = f64_values(runtime, scratch);
        if (!values) return nullptr;
        auto r = with_exclusive<ContinuousDataDrift>(self, [&](ContinuousDataDrift& d) {
            return d.compute_drift_multiple(*values, *types);
        });
        if (!r) return nullptr;
        return scores_or_raise(*r);
    });
}

PyObject* cont_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kContResetSig, args, nargs, kwnames, b)) return nullptr;
        F64ArrayArg baseline;
        if (!convert_args(kContResetSig, b, baseline)) return nullptr;
        std::vector<double> scratch;
        const auto values = f64_values(baseline, scratch);
        if (!values) return nullptr;
        auto r = with_exclusive<ContinuousDataDrift>(self,
                                                [&](ContinuousDataDrift& d) { return d.reset_baseline(*values); });
        if (!r) return nullptr;
        return none_or_raise(*r);
    });
}

PyObject* cont_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kContExportSig, args, nargs, kwnames, b)) return nullptr;
        auto hist = with_shared<ContinuousDataDrift>(
            self, [](const ContinuousDataDrift& d) { return d.baseline().baseline_hist(); });
        if (!hist) return nullptr;
        return float_list(*hist);
    });
}

PyObject* cont_num_bins(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        auto n = with_shared<ContinuousDataDrift>(
            self, [](const ContinuousDataDrift& d) { return d.baseline().num_bins(); });
        if (!n) return nullptr;
        return u64_to_py(*n);
    });
}

PyMethodDef g_cont_methods[] = {
    {"compute_drift", fastcall<cont_compute>(), kFastKw, kBatchComputeDriftDoc},
    {"compute_drift_mutliple_criteria", fastcall<cont_multiple>(), kFastKw, kBatchMultipleDoc},
    {"reset_baseline", fastcall<cont_reset>(), kFastKw, kContResetDoc},
    {"export_baseline", fastcall<cont_export>(), kFastKw, kContExportBaselineDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_cont_getset[] = {
    {"num_bins", cont_num_bins, nullptr, "Number of histogram bins used for this baseline.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_cont_slots[] = {
    {Py_tp_doc, const_cast<char*>("PyContinuousDataDrift(baseline_data, quantile_type_str)\n--\n\n"
                                  "Batch continuous data drift detector. Computes drift metrics between a fixed\n"
                                  "baseline histogram and a runtime data slice on each call.")},
    {Py_tp_new, reinterpret_cast<void*>(cont_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<ContinuousDataDrift>)},
    {Py_tp_methods, g_cont_methods},
    {Py_tp_getset, g_cont_getset},
    {0, nullptr},
};

PyType_Spec g_cont_spec = make_spec<ContinuousDataDrift>("_lumetra.PyContinuousDataDrift", g_cont_slots);

// ---- batch categorical ------------------------------------------------------------------

const Signature kCatNewSig{"PyCategoricalDataDrift()", {"baseline_data"}, 1};
const Signature kCatComputeSig{"PyCategoricalDataDrift.compute_drift()", {"runtime_data", "drift_type"}, 2};
const Signature kCatMultipleSig{"PyCategoricalDataDrift.compute_drift_mutliple_criteria()",
                                {"runtime_data", "drift_types"}, 2};
const Signature kCatResetSig{"PyCategoricalDataDrift.reset_baseline()", {"new_baseline"}, 1};
const Signature kCatExportSig{"PyCategoricalDataDrift.export_baseline()", {}, 0};

PyObject* cat_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kCatNewSig, args, kwargs, b)) return nullptr;
        LabelsArg baseline;
        if (!convert_args(kCatNewSig, b, baseline) || !finalize(baseline)) return nullptr;
        auto detector = CategoricalDataDrift::create(baseline.labels());
        if (!detector.ok()) return raise(detector.error());
        return create(type, std::move(detector).value());
    });
}

PyObject* cat_compute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kCatComputeSig, args, nargs, kwnames, b)) return nullptr;
        LabelsArg runtime;
        std::string name;
        if (!convert_args(kCatComputeSig, b, runtime, name)) return nullptr;
        const auto type = parse_type(name);
        if (!type || !finalize(runtime)) return nullptr;
        auto r = with_exclusive<CategoricalDataDrift>(self, [&](CategoricalDataDrift& d) {
            return d.compute_drift(runtime.labels(), *type);
        });
        if (!r) return nullptr;
        if (!r->ok()) return raise(r->error());
        return PyFloat_FromDouble(r->value());
    });
}

PyObject* cat_multiple(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kCatMultipleSig, args, nargs, kwnames, b)) return nullptr;
        LabelsArg runtime;
        StrList names;
        if (!convert_args(kCatMultipleSig, b, runtime, names)) return nullptr;
        const auto types = parse_types(names);
        if (!types || !finalize(runtime)) return nullptr;
        auto r = with_exclusive<CategoricalDataDrift>(self, [&](CategoricalDataDrift& d) {
            return d.compute_drift_multiple(runtime.labels(), *types);
        });
        if (!r) return nullptr;
        return scores_or_raise(*r);
    });
}

PyObject* cat_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kCatResetSig, args, nargs, kwnames, b)) return nullptr;
        LabelsArg baseline;
        if (!convert_args(kCatResetSig, b, baseline) || !finalize(baseline)) return nullptr;
        auto r = with_exclusive<CategoricalDataDrift>(
            self, [&](CategoricalDataDrift& d) { return d.reset_baseline(baseline.labels()); });
        if (!r) return nullptr;
        return none_or_raise(*r);
    });
}

// Baseline shares per label, labels ascending byte-wise (no unseen-label slot).
std::pair<std::vector<std::string>, std::vector<double>> label_shares(const drift::BaselineCategoricalBins& b) {
    return {b.label_index().labels(), b.baseline_hist()};
}

PyObject* cat_export(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kCatExportSig, args, nargs, kwnames, b)) return nullptr;
        auto shares = with_shared<CategoricalDataDrift>(
            self, [](const CategoricalDataDrift& d) { return label_shares(d.baseline()); });
        if (!shares) return nullptr;
        return label_dict(shares->first, shares->second);
    });
}

PyObject* cat_num_bins(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        auto n = with_shared<CategoricalDataDrift>(
            self, [](const CategoricalDataDrift& d) { return d.baseline().num_bins(); });
        if (!n) return nullptr;
        return u64_to_py(*n);
    });
}

PyMethodDef g_cat_methods[] = {
    {"compute_drift", fastcall<cat_compute>(), kFastKw, kBatchComputeDriftDoc},
    {"compute_drift_mutliple_criteria", fastcall<cat_multiple>(), kFastKw, kBatchMultipleDoc},
    {"reset_baseline", fastcall<cat_reset>(), kFastKw, kCatResetDoc},
    {"export_baseline", fastcall<cat_export>(), kFastKw, kCatExportBaselineDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_cat_getset[] = {
    {"num_bins", cat_num_bins, nullptr, "", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_cat_slots[] = {
    {Py_tp_doc, const_cast<char*>("PyCategoricalDataDrift(baseline_data)\n--\n\n"
                                  "Batch categorical data drift detector. Computes drift metrics between a fixed\n"
                                  "baseline label distribution and a runtime label slice on each call.")},
    {Py_tp_new, reinterpret_cast<void*>(cat_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<CategoricalDataDrift>)},
    {Py_tp_methods, g_cat_methods},
    {Py_tp_getset, g_cat_getset},
    {0, nullptr},
};

PyType_Spec g_cat_spec = make_spec<CategoricalDataDrift>("_lumetra.PyCategoricalDataDrift", g_cat_slots);

// ---- streaming: members shared by the four classes -------------------------------------------

// The runtime input of a streaming detector type: a batch (array of float64
// or sequence of str) and a single example (float or str).
template <class T>
struct StreamTraits;

template <>
struct StreamTraits<StreamingContinuousDataDrift> {
    using Batch = F64ArrayArg;
    using Example = double;
};

template <>
struct StreamTraits<StreamingCategoricalDataDrift> {
    using Batch = LabelsArg;
    using Example = std::string;
};

// The signatures of one streaming class, built from its name.
struct StreamSignatures {
    Signature update, batch, compute, multiple, reset, snapshot, baseline, flush;
};

template <class T>
PyObject* stream_update(const StreamSignatures& s, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    // One positional float or str is the per-sample hot path: it skips the
    // general binder and reads the value in place (no user code can run).
    if (kwnames == nullptr && nargs == 1) {
        PyObject* o = args[0];
        if constexpr (std::is_same_v<T, StreamingContinuousDataDrift>) {
            if (PyFloat_CheckExact(o)) {
                const double v = PyFloat_AS_DOUBLE(o);
                auto r = with_exclusive<T>(self, [v](T& d) {
                    d.update_stream(v);
                    return true;
                });
                return r ? none() : nullptr;
            }
        } else {
            if (PyUnicode_CheckExact(o)) {
                Py_ssize_t len = 0;
                const char* text = PyUnicode_AsUTF8AndSize(o, &len);
                if (text == nullptr) return nullptr;
                const std::string_view label(text, static_cast<std::size_t>(len));
                auto r = with_exclusive<T>(self, [label](T& d) {
                    d.update_stream(label);
                    return true;
                });
                return r ? none() : nullptr;
            }
        }
    }
    BoundArgs b;
    if (!bind(s.update, args, nargs, kwnames, b)) return nullptr;
    typename StreamTraits<T>::Example example{};
    if (!convert_args(s.update, b, example)) return nullptr;
    auto r = with_exclusive<T>(self, [&](T& d) {
        d.update_stream(example);
        return true;
    });
    if (!r) return nullptr;
    return none();
}

template <class T>
PyObject* stream_batch(const StreamSignatures& s, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    BoundArgs b;
    if (!bind(s.batch, args, nargs, kwnames, b)) return nullptr;
    typename StreamTraits<T>::Batch batch;
    if (!convert_args(s.batch, b, batch)) return nullptr;
    if constexpr (std::is_same_v<T, StreamingContinuousDataDrift>) {
        std::vector<double> scratch;
        const auto values = f64_values(batch, scratch);
        if (!values) return nullptr;
        auto r = with_exclusive<T>(self, [&](T& d) { return d.update_stream_batch(*values); });
        if (!r) return nullptr;
        return none_or_raise(*r);
    } else {
        if (!finalize(batch)) return nullptr;
        auto r = with_exclusive<T>(self, [&](T& d) { return d.update_stream_batch(batch.labels()); });
        if (!r) return nullptr;
        return none_or_raise(*r);
    }
}

template <class T>
PyObject* stream_compute(const StreamSignatures& s, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    BoundArgs b;
    if (!bind(s.compute, args, nargs, kwnames, b)) return nullptr;
    std::string name;
    if (!convert_args(s.compute, b, name)) return nullptr;
    const auto type = parse_type(name);
    if (!type) return nullptr;
    const DataDriftType one[1] = {*type};
    auto r = with_exclusive<T>(self, [&](T& d) { return d.compute_drift_multiple(one); });
    if (!r) return nullptr;
    if (!r->ok()) return raise(r->error());
    return PyFloat_FromDouble(r->value()[0]);
}

template <class T>
PyObject* stream_multiple(const StreamSignatures& s, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    BoundArgs b;
    if (!bind(s.multiple, args, nargs, kwnames, b)) return nullptr;
    StrList names;
    if (!convert_args(s.multiple, b, names)) return nullptr;
    const auto types = parse_types(names);
    if (!types) return nullptr;
    auto r = with_exclusive<T>(self, [&](T& d) { return d.compute_drift_multiple(*types); });
    if (!r) return nullptr;
    return scores_or_raise(*r);
}

template <class T>
PyObject* stream_reset(const StreamSignatures& s, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    BoundArgs b;
    if (!bind(s.reset, args, nargs, kwnames, b)) return nullptr;
    typename StreamTraits<T>::Batch baseline;
    if (!convert_args(s.reset, b, baseline)) return nullptr;
    if constexpr (std::is_same_v<T, StreamingContinuousDataDrift>) {
        std::vector<double> scratch;
        const auto values = f64_values(baseline, scratch);
        if (!values) return nullptr;
        auto r = with_exclusive<T>(self, [&](T& d) { return d.reset_baseline(*values); });
        if (!r) return nullptr;
        return none_or_raise(*r);
    } else {
        if (!finalize(baseline)) return nullptr;
        auto r = with_exclusive<T>(self, [&](T& d) { return d.reset_baseline(baseline.labels()); });
        if (!r) return nullptr;
        return none_or_raise(*r);
    }
}

struct ContinuousSnapshot {
    std::vector<double> edges, baseline, stream;
};

template <class T>
PyObject* stream_snapshot(const StreamSignatures& s, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    BoundArgs b;
    if (!bind(s.snapshot, args, nargs, kwnames, b)) return nullptr;
    if constexpr (std::is_same_v<T, StreamingContinuousDataDrift>) {
        auto snap = with_shared<T>(self, [](const T& d) -> Result<ContinuousSnapshot, DriftError> {
            LUMETRA_TRY(std::vector<double> shares, d.stream_shares());
            return ContinuousSnapshot{d.baseline().bin_edges(), d.baseline().baseline_hist(), std::move(shares)};
        });
        if (!snap) return nullptr;
        if (!snap->ok()) return raise(snap->error());
        const ContinuousSnapshot& v = snap->value();
        Ref d = Ref::steal(PyDict_New());
        if (!d) return nullptr;
        if (!dict_set_steal(d.get(), "binEdges", float_list(v.edges)) ||
            !dict_set_steal(d.get(), "baselineBins", float_list(v.baseline)) ||
            !dict_set_steal(d.get(), "streamBins", float_list(v.stream))) {
            return nullptr;
        }
        return d.release();
    } else {
        auto weights = with_shared<T>(self, [](const T& d) { return d.label_weights(); });
        if (!weights) return nullptr;
        Ref d = Ref::steal(PyDict_New());
        if (!d) return nullptr;
        for (const auto& [label, w] : *weights) {
            if (!dict_set_steal(d.get(), label, PyFloat_FromDouble(w))) return nullptr;
        }
        return d.release();
    }
}

template <class T>
PyObject* stream_baseline(const StreamSignatures& s, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    BoundArgs b;
    if (!bind(s.baseline, args, nargs, kwnames, b)) return nullptr;
    if constexpr (std::is_same_v<T, StreamingContinuousDataDrift>) {
        auto hist = with_shared<T>(self, [](const T& d) { return d.baseline().baseline_hist(); });
        if (!hist) return nullptr;
        return float_list(*hist);
    } else {
        auto shares = with_shared<T>(self, [](const T& d) { return label_shares(d.baseline()); });
        if (!shares) return nullptr;
        return label_dict(shares->first, shares->second);
    }
}

template <class T>
PyObject* stream_flush(const StreamSignatures& s, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    BoundArgs b;
    if (!bind(s.flush, args, nargs, kwnames, b)) return nullptr;
    auto r = with_exclusive<T>(self, [](T& d) {
        d.state().flush_now();
        return true;
    });
    if (!r) return nullptr;
    return none();
}

template <class T>
PyObject* stream_total_samples(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        auto n = with_shared<T>(self, [](const T& d) { return d.state().total_samples(); });
        if (!n) return nullptr;
        return u64_to_py(*n);
    });
}

template <class T>
PyObject* stream_n_bins(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        auto n = with_shared<T>(self, [](const T& d) { return d.state().runtime_bins().size(); });
        if (!n) return nullptr;
        return u64_to_py(*n);
    });
}

template <class T>
PyObject* stream_last_flush(PyObject* self, void*) noexcept {
    return guarded([&]() -> PyObject* {
        auto n = with_shared<T>(self, [](const T& d) { return d.state().seconds_since_flush(); });
        if (!n) return nullptr;
        return u64_to_py(*n);
    });
}

// Binds the shared member implementations to one class's signatures.
template <class T, const StreamSignatures& S>
struct StreamMembers {
    static PyObject* update(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
        return guarded([&] { return stream_update<T>(S, self, a, n, k); });
    }
    static PyObject* batch(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
        return guarded([&] { return stream_batch<T>(S, self, a, n, k); });
    }
    static PyObject* compute(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
        return guarded([&] { return stream_compute<T>(S, self, a, n, k); });
    }
    static PyObject* multiple(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
        return guarded([&] { return stream_multiple<T>(S, self, a, n, k); });
    }
    static PyObject* reset(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
        return guarded([&] { return stream_reset<T>(S, self, a, n, k); });
    }
    static PyObject* snapshot(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
        return guarded([&] { return stream_snapshot<T>(S, self, a, n, k); });
    }
    static PyObject* baseline(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
        return guarded([&] { return stream_baseline<T>(S, self, a, n, k); });
    }
    static PyObject* flush(PyObject* self, PyObject* const* a, Py_ssize_t n, PyObject* k) noexcept {
        return guarded([&] { return stream_flush<T>(S, self, a, n, k); });
    }
};

#define LUMETRA_STREAM_SIGNATURES(cls, reset_param)                                                  \
    StreamSignatures {                                                                               \
        {cls ".update_stream()", {"runtime_example"}, 1}, {cls ".update_stream_batch()", {"runtime_data"}, 1}, \
            {cls ".compute_drift()", {"drift_type"}, 1},                                             \
            {cls ".compute_drift_multiple_criteria()", {"drift_types"}, 1},                          \
            {cls ".reset_baseline()", {reset_param}, 1}, {cls ".export_snapshot()", {}, 0},          \
            {cls ".export_baseline()", {}, 0}, {cls ".flush()", {}, 0},                              \
    }

const StreamSignatures kContFlushSigs = LUMETRA_STREAM_SIGNATURES("PyStreamingContinuousDataDriftFlush", "baseline_data");
const StreamSignatures kContDecaySigs = LUMETRA_STREAM_SIGNATURES("PyStreamingContinuousDataDriftDecay", "baseline_data");
const StreamSignatures kCatFlushSigs = LUMETRA_STREAM_SIGNATURES("PyStreamingCategoricalDataDriftFlush", "new_baseline");
const StreamSignatures kCatDecaySigs = LUMETRA_STREAM_SIGNATURES("PyStreamingCategoricalDataDriftDecay", "new_baseline");

using ContFlush = StreamMembers<StreamingContinuousDataDrift, kContFlushSigs>;
using ContDecay = StreamMembers<StreamingContinuousDataDrift, kContDecaySigs>;
using CatFlush = StreamMembers<StreamingCategoricalDataDrift, kCatFlushSigs>;
using CatDecay = StreamMembers<StreamingCategoricalDataDrift, kCatDecaySigs>;

// ---- streaming constructors ------------------------------------------------------------------

const Signature kContFlushNewSig{"PyStreamingContinuousDataDriftFlush()",
                                 {"baseline_data", "quantile_type_str", "flush_rate_opt", "flush_cadence_opt"}, 4};
const Signature kContDecayNewSig{"PyStreamingContinuousDataDriftDecay()",
                                 {"baseline_data", "quantile_type_str", "decay_opt"}, 3};
const Signature kCatFlushNewSig{"PyStreamingCategoricalDataDriftFlush()",
                                {"baseline_data", "flush_rate", "flush_cadence"}, 3};
const Signature kCatDecayNewSig{"PyStreamingCategoricalDataDriftDecay()", {"baseline_data", "half_life_opt"},
                                2};

PyObject* cont_flush_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kContFlushNewSig, args, kwargs, b)) return nullptr;
        F64ArrayArg baseline;
        std::optional<std::string> rule_text;
        std::optional<std::uint64_t> rate, cadence;
        if (!convert_args(kContFlushNewSig, b, baseline, rule_text, rate, cadence)) return nullptr;
        std::vector<double> scratch;
        const auto values = f64_values(baseline, scratch);
        if (!values) return nullptr;
        const auto rule = parse_rule(rule_text);
        if (!rule) return nullptr;
        auto detector = StreamingContinuousDataDrift::new_flush(*values, *rule, rate, cadence);
        if (!detector.ok()) return raise(detector.error());
        return create(type, std::move(detector).value());
    });
}

PyObject* cont_decay_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kContDecayNewSig, args, kwargs, b)) return nullptr;
        F64ArrayArg baseline;
        std::optional<std::string> rule_text;
        std::optional<std::uint64_t> half_life;
        if (!convert_args(kContDecayNewSig, b, baseline, rule_text, half_life)) return nullptr;
        std::vector<double> scratch;
        const auto values = f64_values(baseline, scratch);
        if (!values) return nullptr;
        const auto rule = parse_rule(rule_text);
        if (!rule) return nullptr;
        auto detector = StreamingContinuousDataDrift::new_decay(*values, *rule, half_life);
        if (!detector.ok()) return raise(detector.error());
        return create(type, std::move(detector).value());
    });
}

PyObject* cat_flush_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kCatFlushNewSig, args, kwargs, b)) return nullptr;
        LabelsArg baseline;
        std::optional<std::uint64_t> rate, cadence;
        if (!convert_args(kCatFlushNewSig, b, baseline, rate, cadence) || !finalize(baseline)) return nullptr;
        auto detector = StreamingCategoricalDataDrift::new_flush(baseline.labels(), rate, cadence);
        if (!detector.ok()) return raise(detector.error());
        return create(type, std::move(detector).value());
    });
}

PyObject* cat_decay_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kCatDecayNewSig, args, kwargs, b)) return nullptr;
        LabelsArg baseline;
        std::optional<std::uint64_t> half_life;
        if (!convert_args(kCatDecayNewSig, b, baseline, half_life) || !finalize(baseline)) return nullptr;
        auto detector = StreamingCategoricalDataDrift::new_decay(baseline.labels(), half_life);
        if (!detector.ok()) return raise(detector.error());
        return create(type, std::move(detector).value());
    });
}

// ---- streaming tables ------------------------------------------------------------------------

PyMethodDef g_cont_flush_methods[] = {
    {"update_stream", fastcall<ContFlush::update>(), kFastKw, kStreamContUpdateDoc},
    {"update_stream_batch", fastcall<ContFlush::batch>(), kFastKw, kStreamContBatchDoc},
    {"compute_drift", fastcall<ContFlush::compute>(), kFastKw, kFlushComputeDoc},
    {"compute_drift_multiple_criteria", fastcall<ContFlush::multiple>(), kFastKw, kFlushMultipleDoc},
    {"reset_baseline", fastcall<ContFlush::reset>(), kFastKw, kStreamContResetDoc},
    {"export_snapshot", fastcall<ContFlush::snapshot>(), kFastKw, kStreamContSnapshotDoc},
    {"export_baseline", fastcall<ContFlush::baseline>(), kFastKw, kContExportBaselineDoc},
    {"flush", fastcall<ContFlush::flush>(), kFastKw, kStreamContFlushDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef g_cont_decay_methods[] = {
    {"update_stream", fastcall<ContDecay::update>(), kFastKw, kStreamContUpdateDoc},
    {"update_stream_batch", fastcall<ContDecay::batch>(), kFastKw, kStreamContBatchDoc},
    {"compute_drift", fastcall<ContDecay::compute>(), kFastKw, kDecayComputeDoc},
    {"compute_drift_multiple_criteria", fastcall<ContDecay::multiple>(), kFastKw, kDecayMultipleDoc},
    {"reset_baseline", fastcall<ContDecay::reset>(), kFastKw, kStreamContResetDoc},
    {"export_snapshot", fastcall<ContDecay::snapshot>(), kFastKw, kStreamContSnapshotDoc},
    {"export_baseline", fastcall<ContDecay::baseline>(), kFastKw, kContExportBaselineDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef g_cat_flush_methods[] = {
    {"update_stream", fastcall<CatFlush::update>(), kFastKw, kStreamCatUpdateDoc},
    {"update_stream_batch", fastcall<CatFlush::batch>(), kFastKw, kStreamCatBatchDoc},
    {"compute_drift", fastcall<CatFlush::compute>(), kFastKw, kFlushComputeDoc},
    {"compute_drift_multiple_criteria", fastcall<CatFlush::multiple>(), kFastKw, kFlushMultipleDoc},
    {"reset_baseline", fastcall<CatFlush::reset>(), kFastKw, kStreamCatResetDoc},
    {"export_snapshot", fastcall<CatFlush::snapshot>(), kFastKw, kStreamCatSnapshotDoc},
    {"export_baseline", fastcall<CatFlush::baseline>(), kFastKw, kCatExportBaselineDoc},
    {"flush", fastcall<CatFlush::flush>(), kFastKw, kStreamCatFlushDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef g_cat_decay_methods[] = {
    {"update_stream", fastcall<CatDecay::update>(), kFastKw, kStreamCatUpdateDoc},
    {"update_stream_batch", fastcall<CatDecay::batch>(), kFastKw, kStreamCatBatchDoc},
    {"compute_drift", fastcall<CatDecay::compute>(), kFastKw, kDecayComputeDoc},
    {"compute_drift_multiple_criteria", fastcall<CatDecay::multiple>(), kFastKw, kDecayMultipleDoc},
    {"reset_baseline", fastcall<CatDecay::reset>(), kFastKw, kStreamCatResetDoc},
    {"export_snapshot", fastcall<CatDecay::snapshot>(), kFastKw, kStreamCatSnapshotDoc},
    {"export_baseline", fastcall<CatDecay::baseline>(), kFastKw, kCatExportBaselineDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kDecayTotalDoc = "Effective sample count after decay weighting.";
constexpr const char* kFlushTotalDoc = "Total number of runtime samples accumulated since the last flush.";
// Describes what the property returns: the age of the current window.
constexpr const char* kLastFlushDoc = "Whole seconds elapsed since the last flush (monotonic clock).";

PyGetSetDef g_cont_flush_getset[] = {
    {"total_samples", stream_total_samples<StreamingContinuousDataDrift>, nullptr, kFlushTotalDoc, nullptr},
    {"n_bins", stream_n_bins<StreamingContinuousDataDrift>, nullptr, "Number of histogram bins.", nullptr},
    {"last_flush", stream_last_flush<StreamingContinuousDataDrift>, nullptr, kLastFlushDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef g_cont_decay_getset[] = {
    {"total_samples", stream_total_samples<StreamingContinuousDataDrift>, nullptr, kDecayTotalDoc, nullptr},
    {"n_bins", stream_n_bins<StreamingContinuousDataDrift>, nullptr, "Number of histogram bins.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef g_cat_flush_getset[] = {
    {"total_samples", stream_total_samples<StreamingCategoricalDataDrift>, nullptr, kFlushTotalDoc, nullptr},
    {"n_bins", stream_n_bins<StreamingCategoricalDataDrift>, nullptr, "Number of distinct label bins.", nullptr},
    {"last_flush", stream_last_flush<StreamingCategoricalDataDrift>, nullptr, kLastFlushDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
PyGetSetDef g_cat_decay_getset[] = {
    {"total_samples", stream_total_samples<StreamingCategoricalDataDrift>, nullptr, kDecayTotalDoc, nullptr},
    {"n_bins", stream_n_bins<StreamingCategoricalDataDrift>, nullptr, "Number of distinct label bins.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_cont_flush_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("PyStreamingContinuousDataDriftFlush(baseline_data, quantile_type_str, flush_rate_opt, "
                       "flush_cadence_opt)\n--\n\n"
                       "Streaming continuous data drift detector in flush mode. Accumulates runtime\n"
                       "samples and resets accumulated bins on each flush.")},
    {Py_tp_new, reinterpret_cast<void*>(cont_flush_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<StreamingContinuousDataDrift>)},
    {Py_tp_methods, g_cont_flush_methods},
    {Py_tp_getset, g_cont_flush_getset},
    {0, nullptr},
};
PyType_Slot g_cont_decay_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "PyStreamingContinuousDataDriftDecay(baseline_data, quantile_type_str, decay_opt)\n--\n\n"
                    "Streaming continuous data drift detector in decay mode. Applies exponential\n"
                    "decay to accumulated runtime bins on each drift computation, giving more weight\n"
                    "to recent samples.")},
    {Py_tp_new, reinterpret_cast<void*>(cont_decay_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<StreamingContinuousDataDrift>)},
    {Py_tp_methods, g_cont_decay_methods},
    {Py_tp_getset, g_cont_decay_getset},
    {0, nullptr},
};
PyType_Slot g_cat_flush_slots[] = {
    {Py_tp_doc, const_cast<char*>("PyStreamingCategoricalDataDriftFlush(baseline_data, flush_rate, flush_cadence)"
                                  "\n--\n\n"
                                  "Streaming categorical data drift detector in flush mode. Accumulates runtime\n"
                                  "label counts and resets accumulated bins on each flush.")},
    {Py_tp_new, reinterpret_cast<void*>(cat_flush_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<StreamingCategoricalDataDrift>)},
    {Py_tp_methods, g_cat_flush_methods},
    {Py_tp_getset, g_cat_flush_getset},
    {0, nullptr},
};
PyType_Slot g_cat_decay_slots[] = {
    {Py_tp_doc, const_cast<char*>("PyStreamingCategoricalDataDriftDecay(baseline_data, half_life_opt)\n--\n\n"
                                  "Streaming categorical data drift detector in decay mode. Applies exponential\n"
                                  "decay to accumulated label counts on each drift computation, giving more weight\n"
                                  "to recent samples.")},
    {Py_tp_new, reinterpret_cast<void*>(cat_decay_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<StreamingCategoricalDataDrift>)},
    {Py_tp_methods, g_cat_decay_methods},
    {Py_tp_getset, g_cat_decay_getset},
    {0, nullptr},
};

PyType_Spec g_cont_flush_spec =
    make_spec<StreamingContinuousDataDrift>("_lumetra.PyStreamingContinuousDataDriftFlush", g_cont_flush_slots);
PyType_Spec g_cont_decay_spec =
    make_spec<StreamingContinuousDataDrift>("_lumetra.PyStreamingContinuousDataDriftDecay", g_cont_decay_slots);
PyType_Spec g_cat_flush_spec =
    make_spec<StreamingCategoricalDataDrift>("_lumetra.PyStreamingCategoricalDataDriftFlush", g_cat_flush_slots);
PyType_Spec g_cat_decay_spec =
    make_spec<StreamingCategoricalDataDrift>("_lumetra.PyStreamingCategoricalDataDriftDecay", g_cat_decay_slots);

// ---- module functions -----------------------------------------------------------------------------

const Signature kCategoricalFnSig{"py_compute_drift_categorical_distribtuion()",
                                  {"baseline", "candidate", "drift_metrics"}, 3};
const Signature kContinuousFnSig{"py_compute_drift_continuous_distribtuion()",
                                 {"baseline", "candidate", "drift_metrics", "quantile_type"}, 4};

}  // namespace

const char* const kComputeDriftCategoricalDoc =
    "py_compute_drift_categorical_distribtuion(baseline, candidate, drift_metrics)\n--\n\n";
const char* const kComputeDriftContinuousDoc =
    "py_compute_drift_continuous_distribtuion(baseline, candidate, drift_metrics, quantile_type)\n--\n\n";

PyObject* py_compute_drift_categorical_distribtuion(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kCategoricalFnSig, args, nargs, kwnames, b)) return nullptr;
        LabelsArg baseline, candidate;
        StrList names;
        if (!convert_args(kCategoricalFnSig, b, baseline, candidate, names)) return nullptr;
        const auto types = parse_types(names);
        const bool candidate_in_place = candidate.from_array;
        if (!types || !finalize(baseline) || !finalize(candidate)) return nullptr;
        // A candidate that had to be read by iteration allocated Python
        // objects, whose garbage collection can run finalisers that move the
        // baseline array: describe the baseline again.
        if (candidate_in_place && !candidate.from_array && !finalize(baseline)) return nullptr;
        return scores_or_raise(
            drift::compute_drift_categorical_distribution(baseline.labels(), candidate.labels(), *types));
    });
}

PyObject* py_compute_drift_continuous_distribtuion(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                   PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kContinuousFnSig, args, nargs, kwnames, b)) return nullptr;
        F64ArrayArg baseline, candidate;
        StrList names;
        std::optional<std::string> rule_text;
        if (!convert_args(kContinuousFnSig, b, baseline, candidate, names, rule_text)) return nullptr;
        std::vector<double> base_scratch, cand_scratch;
        const auto base_values = f64_values(baseline, base_scratch);
        if (!base_values) return nullptr;
        const auto cand_values = f64_values(candidate, cand_scratch);
        if (!cand_values) return nullptr;
        const auto types = parse_types(names);
        if (!types) return nullptr;
        const auto rule = parse_rule(rule_text);
        if (!rule) return nullptr;
        return scores_or_raise(drift::compute_drift_continuous_distribution(*base_values, *cand_values, *types, *rule));
    });
}

PyType_Spec* categorical_data_drift_spec() { return &g_cat_spec; }
PyType_Spec* continuous_data_drift_spec() { return &g_cont_spec; }
PyType_Spec* streaming_continuous_flush_spec() { return &g_cont_flush_spec; }
PyType_Spec* streaming_continuous_decay_spec() { return &g_cont_decay_spec; }
PyType_Spec* streaming_categorical_flush_spec() { return &g_cat_flush_spec; }
PyType_Spec* streaming_categorical_decay_spec() { return &g_cat_decay_spec; }

}  // namespace lumetra::py
