// Significance tests and p-value adjustments (core/stats.hpp) for the
// package's lumetra.stats, which keeps SciPy's and statsmodels' names and
// result objects around them. Columns are read in place, any numeric dtype
// and stride; samples are keyed, sorted and tested with the lock released.
#include "kernels/results.hpp"

#include <cmath>

#include "core/special.hpp"
#include "core/stats.hpp"

namespace lumetra::kernels {

/// A bool argument: exactly True or False.
struct Flag {
    bool value = false;
};
bool convert(PyObject* o, Flag& out) {
    if (!PyBool_Check(o)) return py::wrong_type(o, "bool");
    out.value = o == Py_True;
    return true;
}

namespace {

using sorting::KeyKind;

// ---- options ---------------------------------------------------------------------------

// Looks `text` up among the names; ValueError listing them when absent.
template <class E, std::size_t N>
std::optional<E> choice(const std::string& text, const char* argument, const char* const (&names)[N],
                        const E (&values)[N]) {
    for (std::size_t i = 0; i < N; ++i) {
        if (text == names[i]) return values[i];
    }
    std::string accepted;
    for (std::size_t i = 0; i < N; ++i) {
        if (i > 0) accepted += ", ";
        accepted += "'";
        accepted += names[i];
        accepted += "'";
    }
    PyErr_Format(PyExc_ValueError, "%s must be one of %s; got '%s'", argument, accepted.c_str(), text.c_str());
    return std::nullopt;
}

std::optional<stats::NanPolicy> nan_policy_of(const std::string& text) {
    constexpr const char* names[] = {"propagate", "raise", "omit"};
    constexpr stats::NanPolicy values[] = {stats::NanPolicy::Propagate, stats::NanPolicy::Raise,
                                           stats::NanPolicy::Omit};
    return choice(text, "nan_policy", names, values);
}

// ---- samples ---------------------------------------------------------------------------

bool is_float(py::NativeType t) noexcept { return t == py::NativeType::F32 || t == py::NativeType::F64; }
bool is_unsigned(py::NativeType t) noexcept {
    return t == py::NativeType::U8 || t == py::NativeType::U16 || t == py::NativeType::U32 ||
           t == py::NativeType::U64;
}
bool is_signed(py::NativeType t) noexcept {
    return t == py::NativeType::I8 || t == py::NativeType::I16 || t == py::NativeType::I32 ||
           t == py::NativeType::I64;
}

// How the values of columns of these types compare once NumPy promotes them
// to one type: as floats if one is a float or a signed type meets uint64,
// else as signed or unsigned integers (bool counts as neither).
KeyKind key_kind(std::span<const py::NativeType> types) noexcept {
    bool any_float = false, any_signed = false, any_unsigned = false, any_u64 = false;
    for (py::NativeType t : types) {
        any_float = any_float || is_float(t);
        any_signed = any_signed || is_signed(t);
        any_unsigned = any_unsigned || is_unsigned(t);
        any_u64 = any_u64 || t == py::NativeType::U64;
    }
    if (any_float || (any_signed && any_u64)) return KeyKind::Float;
    if (any_signed) return KeyKind::Signed;
    return KeyKind::Unsigned;
}

stats::SampleSource source_of(const py::NativeColumn& c, KeyKind kind) {
    return py::visit_numeric(c, [&](const auto& view) { return stats::source_of(view, kind); });
}

PyObject* location_of(std::uint64_t key, KeyKind kind) {
    switch (kind) {
        case KeyKind::Float: return PyFloat_FromDouble(sorting::float_of_key(key));
        case KeyKind::Signed: return PyLong_FromLongLong(sorting::signed_of_key(key));
        case KeyKind::Unsigned: return PyLong_FromUnsignedLongLong(key);
    }
    return PyFloat_FromDouble(std::nan(""));
}

// ---- Kolmogorov-Smirnov ------------------------------------------------------------

PyObject* ks_2samp(const NumericArg& data1, const NumericArg& data2, const std::string& alternative,
                   const std::string& method, const std::string& nan_policy) {
    constexpr const char* alt_names[] = {"two-sided", "less", "greater"};
    constexpr stats::Alternative alt_values[] = {stats::Alternative::TwoSided, stats::Alternative::Less,
                                                 stats::Alternative::Greater};
    const auto alt = choice(alternative, "alternative", alt_names, alt_values);
    if (!alt) return nullptr;
    constexpr const char* method_names[] = {"auto", "exact", "asymp"};
    constexpr stats::KsMethod method_values[] = {stats::KsMethod::Auto, stats::KsMethod::Exact,
                                                 stats::KsMethod::Asymp};
    const auto mode = choice(method, "method", method_names, method_values);
    if (!mode) return nullptr;
    const auto policy = nan_policy_of(nan_policy);
    if (!policy) return nullptr;
    const py::NativeColumn x = data1.view(), y = data2.view();
    const py::NativeType types[] = {x.type, y.type};
    const KeyKind kind = key_kind(types);
    auto result = py::released(x.n + y.n, [&] {
        return stats::ks_2samp(source_of(x, kind), source_of(y, kind), *alt, *mode, *policy);
    });
    if (!result) return py::raise(result.error());
    const stats::KsResult& r = result.value();
    const double nan = std::nan("");
    Ref location = Ref::steal(r.undefined ? PyFloat_FromDouble(nan) : location_of(r.location, kind));
    if (!location) return nullptr;
    Ref sign = Ref::steal(r.undefined ? PyFloat_FromDouble(nan) : PyLong_FromLong(r.sign));
    if (!sign) return nullptr;
    return Py_BuildValue("(ddOOI)", r.statistic, r.pvalue, location.get(), sign.get(), r.notes);
}

constexpr const char* kKsDoc =
    "The two-sample Kolmogorov-Smirnov test of two 1-D numeric arrays: (statistic, pvalue, location,\n"
    "sign, notes), location a value of the samples (float, or int for integer samples), sign +1 or -1\n"
    "(location and sign NaN when the result is), notes the bits of the conditions to warn about\n"
    "(1 small sample, 2 small after omitting NaN, 4 exact impossible, 8 exact failed).";

// ---- Cramer-von Mises --------------------------------------------------------------

PyObject* cramervonmises_2samp(const NumericArg& x_arg, const NumericArg& y_arg, const std::string& method,
                               const std::string& nan_policy) {
    constexpr const char* method_names[] = {"auto", "exact", "asymptotic"};
    constexpr stats::CvmMethod method_values[] = {stats::CvmMethod::Auto, stats::CvmMethod::Exact,
                                                  stats::CvmMethod::Asymptotic};
    const auto mode = choice(method, "method", method_names, method_values);
    if (!mode) return nullptr;
    const auto policy = nan_policy_of(nan_policy);
    if (!policy) return nullptr;
    const py::NativeColumn x = x_arg.view(), y = y_arg.view();
    const py::NativeType types[] = {x.type, y.type};
    const KeyKind kind = key_kind(types);
    auto result = py::released(x.n + y.n, [&] {
        return stats::cramervonmises_2samp(source_of(x, kind), source_of(y, kind), *mode, *policy);
    });
    if (!result) return py::raise(result.error());
    const stats::CvmResult& r = result.value();
    return Py_BuildValue("(ddI)", r.statistic, r.pvalue, r.notes);
}

constexpr const char* kCvmDoc =
    "The two-sample Cramer-von Mises test of two 1-D numeric arrays: (statistic, pvalue, notes), notes\n"
    "as ks_2samp's.";

// ---- Anderson-Darling --------------------------------------------------------------

PyObject* anderson_ksamp(const NumericArg& values_arg, const NumericArg& sizes_arg, const std::string& variant) {
    constexpr const char* names[] = {"midrank", "right", "continuous"};
    constexpr stats::AdVariant variants[] = {stats::AdVariant::Midrank, stats::AdVariant::Right,
                                             stats::AdVariant::Continuous};
    const auto v = choice(variant, "variant", names, variants);
    if (!v) return nullptr;
    const py::NativeColumn values = values_arg.view(), sizes_column = sizes_arg.view();
    if (!py::is_integer(sizes_column.type)) {
        PyErr_SetString(PyExc_TypeError, "sizes must be an integer array");
        return nullptr;
    }
    // The samples' sizes, which must add up to the values given.
    std::vector<std::size_t> sizes;
    bool sizes_ok = true;
    std::size_t total = 0;
    py::visit_numeric(sizes_column, [&](const auto& view) {
        for (std::size_t i = 0; i < view.size(); ++i) {
            const auto s = view[i];
            if (s < 0 || static_cast<std::uint64_t>(s) > values.n - total) {
                sizes_ok = false;
                return;
            }
            sizes.push_back(static_cast<std::size_t>(s));
            total += static_cast<std::size_t>(s);
        }
    });
    if (!sizes_ok || total != values.n) {
        PyErr_SetString(PyExc_ValueError, "sizes must be non-negative and add up to the number of values");
        return nullptr;
    }
    const py::NativeType types[] = {values.type};
    const KeyKind kind = key_kind(types);
    auto result = py::released(values.n, [&] {
        std::vector<stats::SampleSource> samples;
        samples.reserve(sizes.size());
        std::size_t start = 0;
        for (std::size_t s : sizes) {
            py::NativeColumn part = values;
            part.data = values.data + static_cast<std::ptrdiff_t>(start) * values.stride;
            part.n = s;
            samples.push_back(source_of(part, kind));
            start += s;
        }
        return stats::anderson_ksamp(std::move(samples), *v);
    });
    if (!result) return py::raise(result.error());
    const stats::AdResult& r = result.value();
    const std::vector<double> critical(r.critical, r.critical + 7);
    Ref crit = Ref::steal(new_array(critical, critical.size()));
    if (!crit) return nullptr;
    return Py_BuildValue("(dOdI)", r.statistic, crit.get(), r.pvalue, r.notes);
}

constexpr const char* kAdDoc =
    "The k-sample Anderson-Darling test of the samples laid end to end in values (a 1-D numeric array),\n"
    "sizes[i] values each: (statistic, critical values (float64, 7), pvalue, notes), notes bits 16 p-value\n"
    "capped, 32 p-value floored.";

// ---- chi-square and G on bins -------------------------------------------------------

// The counts as one element type: both columns as they are when they share
// it, else both copied into the type NumPy promotes them to (float64 when
// either is a float, else int64 or uint64).
struct Counts {
    py::NativeColumn reference, current;
    std::vector<double> f64[2];
    std::vector<std::int64_t> i64[2];
    std::vector<std::uint64_t> u64[2];
};

void unify(Counts& c) {
    auto copy_into = [](const py::NativeColumn& col, auto& out) {
        using T = typename std::remove_cvref_t<decltype(out)>::value_type;
        out.resize(col.n);
        py::visit_numeric(col, [&](const auto& view) {
            for (std::size_t i = 0; i < view.size(); ++i) out[i] = static_cast<T>(view[i]);
        });
    };
    auto as_column = [](const auto& v, py::NativeType type) {
        using T = typename std::remove_cvref_t<decltype(v)>::value_type;
        return py::NativeColumn{type, reinterpret_cast<const char*>(v.data()), static_cast<std::ptrdiff_t>(sizeof(T)),
                                v.size(), sizeof(T)};
    };
    const py::NativeType types[] = {c.reference.type, c.current.type};
    const bool any_bool = c.reference.type == py::NativeType::Bool || c.current.type == py::NativeType::Bool;
    if (c.reference.type == c.current.type && !any_bool) return;
    switch (key_kind(types)) {
        case KeyKind::Float:
            copy_into(c.reference, c.f64[0]);
            copy_into(c.current, c.f64[1]);
            c.reference = as_column(c.f64[0], py::NativeType::F64);
            c.current = as_column(c.f64[1], py::NativeType::F64);
            break;
        case KeyKind::Signed:
            copy_into(c.reference, c.i64[0]);
            copy_into(c.current, c.i64[1]);
            c.reference = as_column(c.i64[0], py::NativeType::I64);
            c.current = as_column(c.i64[1], py::NativeType::I64);
            break;
        case KeyKind::Unsigned:
            copy_into(c.reference, c.u64[0]);
            copy_into(c.current, c.u64[1]);
            c.reference = as_column(c.u64[0], py::NativeType::U64);
            c.current = as_column(c.u64[1], py::NativeType::U64);
            break;
    }
}

// Calls f(reference_view, current_view) with both columns viewed as one Strided<T>.
template <class F>
decltype(auto) visit_counts(const Counts& c, F&& f) {
    return py::visit_numeric(c.reference, [&](const auto& ref) {
        using View = std::remove_cvref_t<decltype(ref)>;
        if constexpr (std::is_same_v<View, py::BoolStrided>) {
            // unify() copies bool columns: never reached.
            return f(Strided<std::uint8_t>{ref.data, ref.stride, ref.n},
                     Strided<std::uint8_t>{c.current.data, c.current.stride, c.current.n});
        } else {
            return f(ref, View{c.current.data, c.current.stride, c.current.n});
        }
    });
}

PyObject* contingency_bins(const NumericArg& reference, const NumericArg& current, const Flag& correction,
                           const double& lambda) {
    Counts c;
    c.reference = reference.view();
    c.current = current.view();
    if (c.reference.n != c.current.n) {
        PyErr_Format(PyExc_ValueError, "reference_counts and current_counts must have one count per bin (%zu and %zu)",
                     c.reference.n, c.current.n);
        return nullptr;
    }
    py::released(c.reference.n, [&] { unify(c); });
    auto totals = py::released(2 * c.reference.n, [&] {
        return visit_counts(c, [](const auto& ref, const auto& cur) { return stats::scan_bins(ref, cur); });
    });
    if (!totals) return py::raise(totals.error());
    const stats::BinTotals t = totals.value();
    // The expected frequencies are written straight into the array returned.
    npy_intp dims[2] = {2, static_cast<npy_intp>(t.kept)};
    Ref expected = Ref::steal(PyArray_SimpleNew(2, dims, NPY_FLOAT64));
    if (!expected) return nullptr;
    auto* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(expected.get())));
    const stats::ContingencyResult r = py::released(2 * c.reference.n, [&] {
        return visit_counts(c, [&](const auto& ref, const auto& cur) {
            return stats::contingency_bins(ref, cur, t, correction.value, lambda, out);
        });
    });
    return Py_BuildValue("(ddLO)", r.statistic, r.pvalue, static_cast<long long>(r.dof), expected.get());
}

constexpr const char* kContingencyDoc =
    "Chi-square (lambda_ 1) or G (lambda_ 0, or any power divergence) test of two samples' counts on the\n"
    "same bins (two 1-D numeric arrays of equal length), as scipy.stats.chi2_contingency tests the 2 x B\n"
    "table of the bins where either count is non-zero: (statistic, pvalue, dof, expected frequencies\n"
    "(float64, 2 x kept bins)).";

// ---- p-value adjustments ------------------------------------------------------------

PyObject* multipletests(const Column<py::Float64>& pvals, const double& alpha, const std::string& method,
                        const Flag& is_sorted, const Flag& returnsorted) {
    constexpr const char* names[] = {"bonferroni", "sidak", "holm-sidak", "holm", "simes-hochberg", "fdr_bh",
                                     "fdr_by"};
    constexpr stats::Correction values[] = {stats::Correction::Bonferroni,    stats::Correction::Sidak,
                                            stats::Correction::HolmSidak,     stats::Correction::Holm,
                                            stats::Correction::SimesHochberg, stats::Correction::FdrBH,
                                            stats::Correction::FdrBY};
    const auto correction = choice(method, "method", names, values);
    if (!correction) return nullptr;
    return pvals.visit([&](std::span<const double> p) -> PyObject* {
        // The results are written straight into the arrays returned.
        npy_intp dims[1] = {static_cast<npy_intp>(p.size())};
        Ref reject = Ref::steal(PyArray_SimpleNew(1, dims, NPY_BOOL));
        if (!reject) return nullptr;
        Ref corrected = Ref::steal(PyArray_SimpleNew(1, dims, NPY_FLOAT64));
        if (!corrected) return nullptr;
        auto* r = static_cast<std::uint8_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(reject.get())));
        auto* q = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(corrected.get())));
        auto result = py::released(p.size(), [&] {
            return stats::adjust_pvalues(p, alpha, *correction, is_sorted.value, returnsorted.value, r, q);
        });
        if (!result) return py::raise(result.error());
        return PyTuple_Pack(2, reject.get(), corrected.get());
    });
}

constexpr const char* kMultipletestsDoc =
    "Adjusted p-values of a contiguous 1-D float64 array of p-values, as statsmodels' multipletests\n"
    "adjusts them (method one of 'bonferroni', 'sidak', 'holm-sidak', 'holm', 'simes-hochberg', 'fdr_bh',\n"
    "'fdr_by'): (reject (bool), pvals_corrected (float64)), in the order given unless returnsorted.";

// ---- the distributions themselves -----------------------------------------------------

PyObject* special(const std::string& name, const double& a, const Column<py::Float64>& x) {
    enum class Fn { Chi2Sf, Chi2Isf, GammaQ, GammaP, Smirnov, KolmogorovSf, KolmogorovCdf, BesselK, CvmLimitCdf };
    constexpr const char* names[] = {"chi2_sf", "chi2_isf",       "gamma_q",  "gamma_p",      "smirnov",
                                     "kolmogorov_sf", "kolmogorov_cdf", "bessel_k", "cvm_limit_cdf"};
    constexpr Fn values[] = {Fn::Chi2Sf,       Fn::Chi2Isf,       Fn::GammaQ,  Fn::GammaP,     Fn::Smirnov,
                             Fn::KolmogorovSf, Fn::KolmogorovCdf, Fn::BesselK, Fn::CvmLimitCdf};
    const auto fn = choice(name, "name", names, values);
    if (!fn) return nullptr;
    const bool needs_count = *fn == Fn::Smirnov || *fn == Fn::KolmogorovSf || *fn == Fn::KolmogorovCdf;
    if (needs_count && !(a >= 1.0 && a <= 9.0e15 && a == std::floor(a))) {
        PyErr_SetString(PyExc_ValueError, "a must be a whole number of observations from 1 to 9e15");
        return nullptr;
    }
    return x.visit([&](std::span<const double> v) -> PyObject* {
        std::vector<double> out(v.size());
        py::released(v.size(), [&] {
            const auto n = static_cast<std::int64_t>(needs_count ? a : 1.0);
            for (std::size_t i = 0; i < v.size(); ++i) {
                switch (*fn) {
                    case Fn::Chi2Sf: out[i] = special::chi2_sf(v[i], a); break;
                    case Fn::Chi2Isf: out[i] = special::chi2_isf(v[i], a); break;
                    case Fn::GammaQ: out[i] = special::gamma_q(a, v[i]); break;
                    case Fn::GammaP: out[i] = special::gamma_p(a, v[i]); break;
                    case Fn::Smirnov: out[i] = special::smirnov_sf(n, v[i]); break;
                    case Fn::KolmogorovSf: out[i] = special::kolmogorov_n(n, v[i], false); break;
                    case Fn::KolmogorovCdf: out[i] = special::kolmogorov_n(n, v[i], true); break;
                    case Fn::BesselK: out[i] = special::bessel_k(a, v[i]); break;
                    case Fn::CvmLimitCdf: out[i] = special::cvm_limit_cdf(v[i]); break;
                }
            }
        });
        return new_array(out, out.size());
    });
}

constexpr const char* kSpecialDoc =
    "The distribution functions behind the tests at each of x (a contiguous float64 array), with\n"
    "parameter a: 'chi2_sf' and its inverse 'chi2_isf' of a probability (a degrees of freedom), 'gamma_q'\n"
    "and 'gamma_p' (shape a), 'smirnov', 'kolmogorov_sf', 'kolmogorov_cdf' (a observations), 'bessel_k'\n"
    "(order a, |a| <= 1/2),\n"
    "'cvm_limit_cdf' (a unused).";

constexpr Callable kFunctions[] = {
    py::function<ks_2samp>("ks_2samp", {"data1", "data2", "alternative", "method", "nan_policy"}, kKsDoc),
    py::function<cramervonmises_2samp>("cramervonmises_2samp", {"x", "y", "method", "nan_policy"}, kCvmDoc),
    py::function<anderson_ksamp>("anderson_ksamp", {"values", "sizes", "variant"}, kAdDoc),
    py::function<contingency_bins>("contingency_bins", {"reference_counts", "current_counts", "correction", "lambda_"},
                                   kContingencyDoc),
    py::function<multipletests>("multipletests", {"pvals", "alpha", "method", "is_sorted", "returnsorted"},
                                kMultipletestsDoc),
    py::function<special>("special", {"name", "a", "x"}, kSpecialDoc),
};

}  // namespace

std::span<const Callable> stats_functions() { return kFunctions; }

}  // namespace lumetra::kernels
