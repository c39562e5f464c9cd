#include "python/monitors.hpp"

#include "python/numpy_api.hpp"

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "python/binding.hpp"
#include "python/classes.hpp"
#include "core/monitors.hpp"
#include "python/errors.hpp"
#include "python/intake.hpp"
#include "python/metrics.hpp"
#include "python/report.hpp"

namespace lumetra::py {
namespace {

// ============================================================================
// Sequence arguments
//
// A sequence argument is read in place when it is a 1-D NumPy array of a
// native dtype the monitor can use as it is; any other sequence (lists,
// tuples, other arrays) is converted item by item into an owned vector, with
// the conversion Python applies to a single value, so both roads give the
// same values and the same errors. A str is refused as a sequence.
// ============================================================================

/// Integer labels of type T (int8 or int32).
template <class T>
struct IntSeq {
    std::vector<T> owned;
    PyObject* array = nullptr;  // borrowed from the call's arguments; read in place when set
    NativeColumn col{};
};

/// Values narrowed to single precision.
struct FloatSeq {
    std::vector<float> owned;
    PyObject* array = nullptr;
    NativeColumn col{};
};

bool refuse_sequence(PyObject* o) { return wrong_type(o, "Sequence"); }

/// n values of type T packed one after the other. The stride is known at
/// compile time, so counting loops over it vectorise.
template <class T>
struct Contiguous {
    const char* data = nullptr;
    std::size_t n = 0;

    std::size_t size() const noexcept { return n; }
    T operator[](std::size_t i) const noexcept {
        T v;
        std::memcpy(&v, data + i * sizeof(T), sizeof(T));
        return v;
    }
};

template <class T>
Contiguous<T> contiguous_of(const std::vector<T>& v) {
    return Contiguous<T>{reinterpret_cast<const char*>(v.data()), v.size()};
}

bool is_contiguous(const NativeColumn& c) { return c.stride == static_cast<std::ptrdiff_t>(c.itemsize); }

/// Calls f with a view of an integer or float column: contiguous when the
/// stride allows it, strided otherwise.
template <class F>
void visit_column(const NativeColumn& c, F&& f) {
    visit_numeric(c, [&](const auto& src) {
        using V = std::remove_cvref_t<decltype(src[0])>;
        if constexpr (std::is_same_v<V, std::uint8_t> && std::is_same_v<std::remove_cvref_t<decltype(src)>, BoolStrided>) {
            f(src);
        } else if (is_contiguous(c)) {
            f(Contiguous<V>{c.data, c.n});
        } else {
            f(src);
        }
    });
}

template <class T>
bool convert_items(PyObject* seq, std::vector<T>& out) {
    out.clear();
    out.reserve(iteration_hint(seq));
    return for_each_item(seq, [&](PyObject* item) {
        T v;
        if (!convert(item, v)) return false;
        out.push_back(v);
        return true;
    });
}

bool is_integer_type(NativeType t) {
    switch (t) {
        case NativeType::I8:
        case NativeType::I16:
        case NativeType::I32:
        case NativeType::I64:
        case NativeType::U8:
        case NativeType::U16:
        case NativeType::U32:
        case NativeType::U64: return true;
        default: return false;
    }
}

// Raises the error the scalar converter gives for an out-of-range value, so
// an array element fails exactly like the same value in a list.
template <class T, class V>
bool raise_out_of_range(V value) {
    Ref big = Ref::steal(std::is_signed_v<V> ? PyLong_FromLongLong(static_cast<long long>(value))
                                             : PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
    if (!big) return false;
    T ignored;
    if (!convert(big.get(), ignored)) return false;
    raise_internal("integer label expected to be out of range");
    return false;
}

template <class T, class Src>
bool check_range_of(const Src& src) {
    using V = std::remove_cvref_t<decltype(src[0])>;
    if constexpr (!std::is_integral_v<V> || std::is_same_v<Src, BoolStrided>) {
        return true;
    } else if constexpr (std::in_range<T>(std::numeric_limits<V>::min()) &&
                         std::in_range<T>(std::numeric_limits<V>::max())) {
        return true;  // every value of V fits T
    } else {
        const std::size_t n = src.size();
        bool all = true;
        for (std::size_t i = 0; i < n; ++i) all &= std::in_range<T>(src[i]);
        if (all) return true;
        for (std::size_t i = 0; i < n; ++i) {
            if (!std::in_range<T>(src[i])) return raise_out_of_range<T>(src[i]);
        }
        return true;
    }
}

// Checks that every element of an integer column fits T; raises the scalar
// converter's OverflowError for the first one that does not.
template <class T>
bool check_range(const NativeColumn& c) {
    bool ok = true;
    visit_column(c, [&](const auto& src) { ok = check_range_of<T>(src); });
    return ok;
}

// Integer columns the monitors read in place: int8 labels as they are, and
// int64 (NumPy's default integer) after a range check. int32 columns serve
// the int32 monitors in place.
template <class T>
bool read_in_place(const NativeColumn& c) {
    if constexpr (std::is_same_v<T, std::int8_t>) {
        return (c.type == NativeType::I8 || c.type == NativeType::I64) && is_contiguous(c);
    } else {
        return c.type == NativeType::I32 || (c.type == NativeType::I64 && is_contiguous(c));
    }
}

template <class T>
bool convert(PyObject* o, IntSeq<T>& out) {
    if (PyUnicode_Check(o) || !PySequence_Check(o)) return refuse_sequence(o);
    const auto col = native_column(o);
    if (col && is_integer_type(col->type)) {
        if (!check_range<T>(*col)) return false;
        if (read_in_place<T>(*col)) {
            out.array = o;
            out.col = *col;
            return true;
        }
        // Other integer widths are narrowed into an owned column (checked above).
        out.owned.resize(col->n);
        visit_column(*col, [&](const auto& src) {
            for (std::size_t i = 0; i < src.size(); ++i) out.owned[i] = static_cast<T>(src[i]);
        });
        return true;
    }
    return convert_items(o, out.owned);
}

bool convert(PyObject* o, FloatSeq& out) {
    if (PyUnicode_Check(o) || !PySequence_Check(o)) return refuse_sequence(o);
    const auto col = native_column(o);
    if (col && (col->type == NativeType::F32 || col->type == NativeType::F64)) {
        out.array = o;
        out.col = *col;
        return true;
    }
    if (col && is_integer_type(col->type)) {
        // Python's float conversion of an integer element rounds it to the
        // nearest double; the narrowing to single precision follows.
        out.owned.resize(col->n);
        visit_column(*col, [&](const auto& src) {
            for (std::size_t i = 0; i < src.size(); ++i) {
                out.owned[i] = static_cast<float>(static_cast<double>(src[i]));
            }
        });
        return true;
    }
    return convert_items(o, out.owned);
}

// After every argument is converted, arrays read in place are described
// afresh: user code run by a later argument's conversion may have resized
// or rewritten them. `recheck` repeats the range check in that case.
template <class S>
bool settle_one(const char* name, S& seq, bool recheck) {
    if (seq.array == nullptr) return true;
    const auto col = native_column(seq.array);
    if (!col || col->type != seq.col.type || is_contiguous(*col) != is_contiguous(seq.col)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': the array changed while the arguments were converted", name);
        return false;
    }
    seq.col = *col;
    if constexpr (!std::is_same_v<S, FloatSeq>) {
        using T = typename decltype(seq.owned)::value_type;
        if (recheck && !check_range<T>(seq.col)) return false;
    }
    return true;
}

/// Describes in-place arrays again after conversion. `ran_code` tells whether
/// any conversion may have run user code (anything but in-place arrays did).
template <class... S>
bool settle(const Signature& sig, bool ran_code, S&... seqs) {
    const bool any_converted = ((seqs.array == nullptr) || ...);
    std::size_t i = 0;
    return (settle_one(sig.name(i++), seqs, ran_code || any_converted) && ...);
}

/// Converts sequence arguments in parameter order, then describes the arrays
/// read in place again (only the conversions themselves could run user code).
template <class... S>
bool convert_sequences(const Signature& sig, const BoundArgs& b, S&... seqs) {
    return convert_args(sig, b, seqs...) && settle(sig, false, seqs...);
}

/// Calls f with a column view of int8 labels.
template <class F>
decltype(auto) with_labels(const IntSeq<std::int8_t>& s, F&& f) {
    if (s.array != nullptr && s.col.type == NativeType::I64) return f(Contiguous<std::int64_t>{s.col.data, s.col.n});
    if (s.array != nullptr) return f(Contiguous<std::int8_t>{s.col.data, s.col.n});
    return f(contiguous_of(s.owned));
}

/// Calls f with the column views of two int8 label sequences.
template <class F>
decltype(auto) with_labels(const IntSeq<std::int8_t>& a, const IntSeq<std::int8_t>& b, F&& f) {
    return with_labels(a, [&](const auto& av) { return with_labels(b, [&](const auto& bv) { return f(av, bv); }); });
}

/// Calls f with a column view of int32 labels.
template <class F>
decltype(auto) with_labels32(const IntSeq<std::int32_t>& s, F&& f) {
    if (s.array != nullptr && s.col.type == NativeType::I64) return f(Contiguous<std::int64_t>{s.col.data, s.col.n});
    if (s.array != nullptr) return f(Strided<std::int32_t>{s.col.data, s.col.stride, s.col.n});
    return f(Strided<std::int32_t>(view_of(s.owned)));
}

template <class F>
decltype(auto) with_labels32(const IntSeq<std::int32_t>& t, const IntSeq<std::int32_t>& p, F&& f) {
    return with_labels32(t, [&](const auto& tv) { return with_labels32(p, [&](const auto& pv) { return f(tv, pv); }); });
}

F32Column values32(const FloatSeq& s) {
    if (s.array == nullptr) return F32Column::of(s.owned);
    if (s.col.type == NativeType::F64) return F32Column::float64(s.col.data, s.col.stride, s.col.n);
    return F32Column::float32(s.col.data, s.col.stride, s.col.n);
}

// ============================================================================
// Scalar arguments of push: exact ints and floats take a direct road; every
// other object (and every out-of-range value) goes through the general
// converter, which gives each error its exact form.
// ============================================================================

template <class T>
struct Label {
    T value = 0;
};

template <class T>
bool convert(PyObject* o, Label<T>& out) {
    if (PyLong_CheckExact(o)) {
        int overflow = 0;
        const long v = PyLong_AsLongAndOverflow(o, &overflow);
        if (overflow == 0 && v >= std::numeric_limits<T>::min() && v <= std::numeric_limits<T>::max()) {
            out.value = static_cast<T>(v);
            return true;
        }
    }
    return lumetra::py::convert(o, out.value);
}

struct Value {
    float value = 0.0f;
};

bool convert(PyObject* o, Value& out) {
    if (PyFloat_CheckExact(o)) {
        out.value = static_cast<float>(PyFloat_AS_DOUBLE(o));
        return true;
    }
    return lumetra::py::convert(o, out.value);
}

/// Binds a call; a plain positional call with every parameter skips the
/// general binder (it would bind the same way).
bool bind_call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& b) {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == sig.size()) {
        for (std::size_t i = 0; i < sig.size(); ++i) b.slots[i] = args[i];
        return true;
    }
    return bind(sig, args, nargs, kwnames, b);
}

/// Binds and converts the scalar arguments of a push. A plain positional
/// call converts straight from the argument vector, with the same argument
/// prefix on a TypeError as the general road.
template <class... T>
bool push_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, T&... outs) {
    if (kwnames == nullptr && static_cast<std::size_t>(nargs) == sizeof...(T)) {
        std::size_t i = 0;
        auto one = [&](auto& out) {
            const std::size_t k = i++;
            if (convert(args[k], out)) return true;
            prefix_argument_error(sig.name(k));
            return false;
        };
        return (one(outs) && ...);
    }
    BoundArgs b;
    return bind(sig, args, nargs, kwnames, b) && convert_args(sig, b, outs...);
}

// ============================================================================
// Shared method bodies
// ============================================================================

/// Runs f(monitor&) -> Result<void, E> under an exclusive borrow; None or the raised error.
template <class T, class F>
PyObject* change(PyObject* self, F&& f) {
    auto r = with_exclusive<T>(self, std::forward<F>(f));
    if (!r) return nullptr;
    if (!r->ok()) return raise(r->error());
    return none();
}

/// Runs f(monitor&), which cannot fail, under an exclusive borrow; None.
template <class T, class F>
PyObject* apply(PyObject* self, F&& f) {
    ExclusiveBorrow borrow(instance<T>(self)->borrow);
    if (!borrow.ok()) return nullptr;
    f(instance<T>(self)->value());
    return none();
}

/// Runs f(const monitor&) -> Result<X, E> under a shared borrow, then builds
/// the Python result from X once the borrow is released.
template <class T, class F, class Build>
PyObject* read(PyObject* self, F&& f, Build&& build) {
    auto r = with_shared<T>(self, std::forward<F>(f));
    if (!r) return nullptr;
    if (!r->ok()) return raise(r->error());
    return build(r->value());
}

template <class Record>
PyObject* record_dict(const Record& rec) {
    return report_to_py_dict(rec.to_map());
}

/// flush(): no arguments, exclusive.
template <class T>
PyObject* flush_method(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        return apply<T>(self, [](T& m) { m.flush(); });
    });
}

template <class T>
PyObject* performance_snapshot_method(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        return read<T>(self, [](const T& m) { return m.current(); }, [](const auto& rec) { return record_dict(rec); });
    });
}

template <class T>
PyObject* drift_snapshot_method(PyObject* self, PyObject*) noexcept {
    return guarded([&]() -> PyObject* {
        return read<T>(
            self, [](const T& m) { return m.drift_snapshot(); },
            [](const auto& map) { return report_to_py_dict(map); });
    });
}

template <class T>
PyObject* drift_report_impl(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    BoundArgs b;
    if (!bind(sig, args, nargs, kwnames, b)) return nullptr;
    float threshold = 0.0f;
    if (!convert_args(sig, b, threshold)) return nullptr;
    return read<T>(
        self, [&](const T& m) { return m.drift_report(threshold); },
        [](const auto& report) { return report_to_py(report); });
}

/// drift_report_partial_metrics: the names are parsed before the monitor is read.
template <class T, class Parse>
PyObject* drift_report_partial_impl(const Signature& sig, Parse&& parse, PyObject* self, PyObject* const* args,
                                    Py_ssize_t nargs, PyObject* kwnames) {
    BoundArgs b;
    if (!bind(sig, args, nargs, kwnames, b)) return nullptr;
    StrList names;
    float threshold = 0.0f;
    if (!convert_args(sig, b, names, threshold)) return nullptr;
    auto metrics = parse(names);
    if (!metrics) return raise(metrics.error());
    const auto& only = metrics.value();
    return read<T>(
        self, [&](const T& m) { return m.drift_report(threshold, &only); },
        [](const auto& report) { return report_to_py(report); });
}

// ============================================================================
// PyDataBiasStreaming
// ============================================================================

namespace data_bias_streaming {

using M = StreamingDataBias;

const Signature kNew{"PyDataBiasStreaming()", {"feature_data", "gt_data"}, 2};
const Signature kPush{"PyDataBiasStreaming.push()", {"f", "g"}, 2};
const Signature kPushBatch{"PyDataBiasStreaming.push_batch()", {"f", "g"}, 2};
const Signature kReset{"PyDataBiasStreaming.reset_baseline()", {"f", "g"}, 2};
const Signature kReport{"PyDataBiasStreaming.drift_report()", {"drift_threshold"}, 1};
const Signature kPartial{"PyDataBiasStreaming.drift_report_partial_metrics()", {"metrics", "drift_threshold"}, 2};

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kNew, args, kwargs, b)) return nullptr;
        IntSeq<std::int8_t> f, g;
        if (!convert_sequences(kNew, b, f, g)) return nullptr;
        auto made = with_labels(f, g, [](const auto& fv, const auto& gv) { return M::create(fv, gv); });
        if (!made) return raise(made.error());
        return create(type, std::move(made).value());
    });
}

PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Label<std::int8_t> f, g;
        if (!push_args(kPush, args, nargs, kwnames, f, g)) return nullptr;
        return apply<M>(self, [&](M& mon) { mon.push(f.value, g.value); });
    });
}

PyObject* push_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind_call(kPushBatch, args, nargs, kwnames, b)) return nullptr;
        IntSeq<std::int8_t> f, g;
        if (!convert_sequences(kPushBatch, b, f, g)) return nullptr;
        return change<M>(self, [&](M& m) {
            return with_labels(f, g, [&](const auto& fv, const auto& gv) { return m.push_batch(fv, gv); });
        });
    });
}

PyObject* reset_baseline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind_call(kReset, args, nargs, kwnames, b)) return nullptr;
        IntSeq<std::int8_t> f, g;
        if (!convert_sequences(kReset, b, f, g)) return nullptr;
        return change<M>(self, [&](M& m) {
            return with_labels(f, g, [&](const auto& fv, const auto& gv) { return m.reset_baseline(fv, gv); });
        });
    });
}

PyObject* drift_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* { return drift_report_impl<M>(kReport, self, args, nargs, kwnames); });
}

PyObject* drift_report_partial(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        return drift_report_partial_impl<M>(kPartial, parse_data_bias_metrics, self, args, nargs, kwnames);
    });
}

PyMethodDef g_methods[] = {
    {"push", fastcall<push>(), kFastKw, "push($self, f, g)\n--\n\n"},
    {"push_batch", fastcall<push_batch>(), kFastKw, "push_batch($self, f, g)\n--\n\n"},
    {"flush", flush_method<M>, METH_NOARGS, "flush($self)\n--\n\n"},
    {"reset_baseline", fastcall<reset_baseline>(), kFastKw, "reset_baseline($self, f, g)\n--\n\n"},
    {"performance_snapshot", performance_snapshot_method<M>, METH_NOARGS, "performance_snapshot($self)\n--\n\n"},
    {"drift_snapshot", drift_snapshot_method<M>, METH_NOARGS, "drift_snapshot($self)\n--\n\n"},
    {"drift_report", fastcall<drift_report>(), kFastKw, "drift_report($self, drift_threshold)\n--\n\n"},
    {"drift_report_partial_metrics", fastcall<drift_report_partial>(), kFastKw,
     "drift_report_partial_metrics($self, metrics, drift_threshold)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<M>)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("PyDataBiasStreaming(feature_data, gt_data)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = make_spec<M>("_lumetra.PyDataBiasStreaming", g_slots);

}  // namespace data_bias_streaming

// ============================================================================
// PyModelBiasStreaming
// ============================================================================

namespace model_bias_streaming {

using M = StreamingModelBias;

const Signature kNew{"PyModelBiasStreaming()", {"features", "predictions", "ground_truth"}, 3};
const Signature kPush{"PyModelBiasStreaming.push()", {"feature", "pred", "gt"}, 3};
const Signature kPushBatch{"PyModelBiasStreaming.push_batch()", {"feature", "pred", "gt"}, 3};
const Signature kReset{"PyModelBiasStreaming.reset_baseline()", {"feature", "pred", "gt"}, 3};
const Signature kReport{"PyModelBiasStreaming.drift_report()", {"drift_threshold"}, 1};
const Signature kPartial{"PyModelBiasStreaming.drift_report_partial_metrics()", {"metrics", "drift_threshold"}, 2};

struct Triple {
    IntSeq<std::int8_t> feature, prediction, truth;
};

bool label_triple(const Signature& sig, const BoundArgs& b, Triple& t) {
    return convert_sequences(sig, b, t.feature, t.prediction, t.truth);
}

// Calls f(feature, prediction, truth) with the three column views.
template <class F>
decltype(auto) with_triple(const Triple& t, F&& f) {
    return with_labels(t.feature, [&](const auto& fv) {
        return with_labels(t.prediction, [&](const auto& pv) {
            return with_labels(t.truth, [&](const auto& gv) { return f(fv, pv, gv); });
        });
    });
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kNew, args, kwargs, b)) return nullptr;
        Triple t;
        if (!label_triple(kNew, b, t)) return nullptr;
        auto made = with_triple(t, [](const auto& f, const auto& p, const auto& g) { return M::create(f, p, g); });
        if (!made) return raise(made.error());
        return create(type, std::move(made).value());
    });
}

PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Label<std::int8_t> f, p, g;
        if (!push_args(kPush, args, nargs, kwnames, f, p, g)) return nullptr;
        return apply<M>(self, [&](M& mon) { mon.push(f.value, p.value, g.value); });
    });
}

PyObject* push_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind_call(kPushBatch, args, nargs, kwnames, b)) return nullptr;
        Triple t;
        if (!label_triple(kPushBatch, b, t)) return nullptr;
        return change<M>(self, [&](M& m) {
            return with_triple(t, [&](const auto& f, const auto& p, const auto& g) { return m.push_batch(f, p, g); });
        });
    });
}

PyObject* reset_baseline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind_call(kReset, args, nargs, kwnames, b)) return nullptr;
        Triple t;
        if (!label_triple(kReset, b, t)) return nullptr;
        return change<M>(self, [&](M& m) {
            return with_triple(t, [&](const auto& f, const auto& p, const auto& g) {
                return m.reset_baseline(f, p, g);
            });
        });
    });
}

PyObject* drift_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* { return drift_report_impl<M>(kReport, self, args, nargs, kwnames); });
}

PyObject* drift_report_partial(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        return drift_report_partial_impl<M>(kPartial, parse_model_bias_metrics, self, args, nargs, kwnames);
    });
}

PyMethodDef g_methods[] = {
    {"push", fastcall<push>(), kFastKw, "push($self, feature, pred, gt)\n--\n\n"},
    {"push_batch", fastcall<push_batch>(), kFastKw, "push_batch($self, feature, pred, gt)\n--\n\n"},
    {"flush", flush_method<M>, METH_NOARGS, "flush($self)\n--\n\n"},
    {"reset_baseline", fastcall<reset_baseline>(), kFastKw, "reset_baseline($self, feature, pred, gt)\n--\n\n"},
    {"drift_report", fastcall<drift_report>(), kFastKw, "drift_report($self, drift_threshold)\n--\n\n"},
    {"drift_report_partial_metrics", fastcall<drift_report_partial>(), kFastKw,
     "drift_report_partial_metrics($self, metrics, drift_threshold)\n--\n\n"},
    {"drift_snapshot", drift_snapshot_method<M>, METH_NOARGS, "drift_snapshot($self)\n--\n\n"},
    {"performance_snapshot", performance_snapshot_method<M>, METH_NOARGS, "performance_snapshot($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<M>)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("PyModelBiasStreaming(features, predictions, ground_truth)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = make_spec<M>("_lumetra.PyModelBiasStreaming", g_slots);

}  // namespace model_bias_streaming

// ============================================================================
// PyBinaryClassificationStreaming
// ============================================================================

namespace binary_streaming {

using M = BinaryClassificationStreaming;

const Signature kNew{"PyBinaryClassificationStreaming()", {"y_true", "y_pred"}, 2};
const Signature kPush{"PyBinaryClassificationStreaming.push()", {"y_true", "y_pred"}, 2};
const Signature kPushBatch{"PyBinaryClassificationStreaming.push_batch()", {"y_true", "y_pred"}, 2};
const Signature kReset{"PyBinaryClassificationStreaming.reset_baseline()", {"y_true", "y_pred"}, 2};
const Signature kReport{"PyBinaryClassificationStreaming.drift_report()", {"drift_threshold"}, 1};
const Signature kPartial{"PyBinaryClassificationStreaming.drift_report_partial_metrics()",
                         {"metrics", "drift_threshold"},
                         2};

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kNew, args, kwargs, b)) return nullptr;
        IntSeq<std::int32_t> t, p;
        if (!convert_sequences(kNew, b, t, p)) return nullptr;
        auto made = with_labels32(t, p, [](const auto& tv, const auto& pv) { return M::create(tv, pv); });
        if (!made) return raise(made.error());
        return create(type, std::move(made).value());
    });
}

PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Label<std::int32_t> t, p;
        if (!push_args(kPush, args, nargs, kwnames, t, p)) return nullptr;
        return apply<M>(self, [&](M& mon) { mon.push(t.value, p.value); });
    });
}

PyObject* push_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind_call(kPushBatch, args, nargs, kwnames, b)) return nullptr;
        IntSeq<std::int32_t> t, p;
        if (!convert_sequences(kPushBatch, b, t, p)) return nullptr;
        return change<M>(self, [&](M& m) {
            return with_labels32(t, p, [&](const auto& tv, const auto& pv) { return m.push_batch(tv, pv); });
        });
    });
}

PyObject* reset_baseline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind_call(kReset, args, nargs, kwnames, b)) return nullptr;
        IntSeq<std::int32_t> t, p;
        if (!convert_sequences(kReset, b, t, p)) return nullptr;
        return change<M>(self, [&](M& m) {
            return with_labels32(t, p, [&](const auto& tv, const auto& pv) { return m.reset_baseline(tv, pv); });
        });
    });
}

PyObject* drift_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* { return drift_report_impl<M>(kReport, self, args, nargs, kwnames); });
}

PyObject* drift_report_partial(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        return drift_report_partial_impl<M>(kPartial, parse_classification_metrics, self, args, nargs, kwnames);
    });
}

PyMethodDef g_methods[] = {
    {"push", fastcall<push>(), kFastKw, "push($self, y_true, y_pred)\n--\n\n"},
    {"push_batch", fastcall<push_batch>(), kFastKw, "push_batch($self, y_true, y_pred)\n--\n\n"},
    {"flush", flush_method<M>, METH_NOARGS, "flush($self)\n--\n\n"},
    {"reset_baseline", fastcall<reset_baseline>(), kFastKw, "reset_baseline($self, y_true, y_pred)\n--\n\n"},
    {"performance_snapshot", performance_snapshot_method<M>, METH_NOARGS, "performance_snapshot($self)\n--\n\n"},
    {"drift_snapshot", drift_snapshot_method<M>, METH_NOARGS, "drift_snapshot($self)\n--\n\n"},
    {"drift_report", fastcall<drift_report>(), kFastKw, "drift_report($self, drift_threshold)\n--\n\n"},
    {"drift_report_partial_metrics", fastcall<drift_report_partial>(), kFastKw,
     "drift_report_partial_metrics($self, metrics, drift_threshold)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<M>)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("PyBinaryClassificationStreaming(y_true, y_pred)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = make_spec<M>("_lumetra.PyBinaryClassificationStreaming", g_slots);

}  // namespace binary_streaming

// ============================================================================
// PyLinearRegressionStreaming
// ============================================================================

namespace regression_streaming {

using M = LinearRegressionStreaming;

const Signature kNew{"PyLinearRegressionStreaming()", {"y_true", "y_pred"}, 2};
const Signature kPush{"PyLinearRegressionStreaming.push()", {"t", "p"}, 2};
const Signature kPushBatch{"PyLinearRegressionStreaming.push_batch()", {"y_true", "y_pred"}, 2};
const Signature kReset{"PyLinearRegressionStreaming.reset_baseline()", {"y_true", "y_pred"}, 2};
const Signature kReport{"PyLinearRegressionStreaming.drift_report()", {"drift_threshold"}, 1};
const Signature kPartial{"PyLinearRegressionStreaming.drift_report_partial_metrics()",
                         {"metrics", "drift_threshold"},
                         2};

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kNew, args, kwargs, b)) return nullptr;
        FloatSeq t, p;
        if (!convert_sequences(kNew, b, t, p)) return nullptr;
        auto made = M::create(values32(t), values32(p));
        if (!made) return raise(made.error());
        return create(type, std::move(made).value());
    });
}

PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Value t, p;
        if (!push_args(kPush, args, nargs, kwnames, t, p)) return nullptr;
        return apply<M>(self, [&](M& mon) { mon.push(t.value, p.value); });
    });
}

PyObject* push_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind_call(kPushBatch, args, nargs, kwnames, b)) return nullptr;
        FloatSeq t, p;
        if (!convert_sequences(kPushBatch, b, t, p)) return nullptr;
        return change<M>(self, [&](M& m) { return m.push_batch(values32(t), values32(p)); });
    });
}

PyObject* reset_baseline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind_call(kReset, args, nargs, kwnames, b)) return nullptr;
        FloatSeq t, p;
        if (!convert_sequences(kReset, b, t, p)) return nullptr;
        return change<M>(self, [&](M& m) { return m.reset_baseline(values32(t), values32(p)); });
    });
}

PyObject* drift_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* { return drift_report_impl<M>(kReport, self, args, nargs, kwnames); });
}

PyObject* drift_report_partial(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        return drift_report_partial_impl<M>(kPartial, parse_regression_metrics, self, args, nargs, kwnames);
    });
}

PyMethodDef g_methods[] = {
    {"push", fastcall<push>(), kFastKw, "push($self, t, p)\n--\n\n"},
    {"push_batch", fastcall<push_batch>(), kFastKw, "push_batch($self, y_true, y_pred)\n--\n\n"},
    {"flush", flush_method<M>, METH_NOARGS, "flush($self)\n--\n\n"},
    {"reset_baseline", fastcall<reset_baseline>(), kFastKw, "reset_baseline($self, y_true, y_pred)\n--\n\n"},
    {"performance_snapshot", performance_snapshot_method<M>, METH_NOARGS, "performance_snapshot($self)\n--\n\n"},
    {"drift_snapshot", drift_snapshot_method<M>, METH_NOARGS, "drift_snapshot($self)\n--\n\n"},
    {"drift_report", fastcall<drift_report>(), kFastKw, "drift_report($self, drift_threshold)\n--\n\n"},
    {"drift_report_partial_metrics", fastcall<drift_report_partial>(), kFastKw,
     "drift_report_partial_metrics($self, metrics, drift_threshold)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<M>)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("PyLinearRegressionStreaming(y_true, y_pred)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = make_spec<M>("_lumetra.PyLinearRegressionStreaming", g_slots);

}  // namespace regression_streaming

// ============================================================================
// PyLogisticRegressionStreaming
// ============================================================================

namespace logistic_streaming {

using M = LogisticRegressionStreaming;

const Signature kNew{"PyLogisticRegressionStreaming()", {"y_true", "y_pred", "threshold"}, 3};
const Signature kPush{"PyLogisticRegressionStreaming.push()", {"y_true", "y_pred"}, 2};
const Signature kPushBatch{"PyLogisticRegressionStreaming.push_batch()", {"y_true", "y_pred"}, 2};
const Signature kReset{"PyLogisticRegressionStreaming.reset_baseline()", {"y_true", "y_pred"}, 2};
const Signature kResetThreshold{"PyLogisticRegressionStreaming.reset_baseline_and_decision_threshold()",
                                {"y_true", "y_pred", "threshold"},
                                3};
const Signature kReport{"PyLogisticRegressionStreaming.drift_report()", {"drift_threshold"}, 1};
const Signature kPartial{"PyLogisticRegressionStreaming.drift_report_partial_metrics()",
                         {"metrics", "drift_threshold"},
                         2};

// Two sequences and a threshold; the threshold's conversion may run user
// code after the arrays were looked at, so they are always described again.
bool values_and_threshold(const Signature& sig, const BoundArgs& b, FloatSeq& t, FloatSeq& p, float& threshold) {
    return convert_args(sig, b, t, p, threshold) && settle(sig, true, t, p);
}

PyObject* tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind(kNew, args, kwargs, b)) return nullptr;
        FloatSeq t, p;
        float threshold = 0.0f;
        if (!values_and_threshold(kNew, b, t, p, threshold)) return nullptr;
        auto made = M::create(values32(t), values32(p), threshold);
        if (!made) return raise(made.error());
        return create(type, std::move(made).value());
    });
}

PyObject* push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        Value t, p;
        if (!push_args(kPush, args, nargs, kwnames, t, p)) return nullptr;
        return change<M>(self, [&](M& m) { return m.push(t.value, p.value); });
    });
}

PyObject* push_batch(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind_call(kPushBatch, args, nargs, kwnames, b)) return nullptr;
        FloatSeq t, p;
        if (!convert_sequences(kPushBatch, b, t, p)) return nullptr;
        return change<M>(self, [&](M& m) { return m.push_batch(values32(t), values32(p)); });
    });
}

PyObject* reset_baseline(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind_call(kReset, args, nargs, kwnames, b)) return nullptr;
        FloatSeq t, p;
        if (!convert_sequences(kReset, b, t, p)) return nullptr;
        return change<M>(self, [&](M& m) { return m.reset_baseline(values32(t), values32(p)); });
    });
}

PyObject* reset_baseline_and_decision_threshold(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                                PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        BoundArgs b;
        if (!bind_call(kResetThreshold, args, nargs, kwnames, b)) return nullptr;
        FloatSeq t, p;
        float threshold = 0.0f;
        if (!values_and_threshold(kResetThreshold, b, t, p, threshold)) return nullptr;
        return change<M>(self, [&](M& m) {
            return m.reset_baseline_and_decision_threshold(values32(t), values32(p), threshold);
        });
    });
}

PyObject* drift_report(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* { return drift_report_impl<M>(kReport, self, args, nargs, kwnames); });
}

PyObject* drift_report_partial(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return guarded([&]() -> PyObject* {
        return drift_report_partial_impl<M>(kPartial, parse_logistic_metrics, self, args, nargs, kwnames);
    });
}

PyMethodDef g_methods[] = {
    {"push", fastcall<push>(), kFastKw, "push($self, y_true, y_pred)\n--\n\n"},
    {"push_batch", fastcall<push_batch>(), kFastKw, "push_batch($self, y_true, y_pred)\n--\n\n"},
    {"flush", flush_method<M>, METH_NOARGS, "flush($self)\n--\n\n"},
    {"reset_baseline", fastcall<reset_baseline>(), kFastKw, "reset_baseline($self, y_true, y_pred)\n--\n\n"},
    {"reset_baseline_and_decision_threshold", fastcall<reset_baseline_and_decision_threshold>(), kFastKw,
     "reset_baseline_and_decision_threshold($self, y_true, y_pred, threshold)\n--\n\n"},
    {"performance_snapshot", performance_snapshot_method<M>, METH_NOARGS, "performance_snapshot($self)\n--\n\n"},
    {"drift_snapshot", drift_snapshot_method<M>, METH_NOARGS, "drift_snapshot($self)\n--\n\n"},
    {"drift_report", fastcall<drift_report>(), kFastKw, "drift_report($self, drift_threshold)\n--\n\n"},
    {"drift_report_partial_metrics", fastcall<drift_report_partial>(), kFastKw,
     "drift_report_partial_metrics($self, metrics, drift_threshold)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(tp_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc<M>)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("PyLogisticRegressionStreaming(y_true, y_pred, threshold)\n--\n\n")},
    {0, nullptr},
};

PyType_Spec g_spec = make_spec<M>("_lumetra.PyLogisticRegressionStreaming", g_slots);

}  // namespace logistic_streaming

}  // namespace

PyType_Spec* data_bias_streaming_spec() { return &data_bias_streaming::g_spec; }
PyType_Spec* model_bias_streaming_spec() { return &model_bias_streaming::g_spec; }
PyType_Spec* binary_classification_streaming_spec() { return &binary_streaming::g_spec; }
PyType_Spec* linear_regression_streaming_spec() { return &regression_streaming::g_spec; }
PyType_Spec* logistic_regression_streaming_spec() { return &logistic_streaming::g_spec; }

}  // namespace lumetra::py
