// Columns of the package's kernels: group codes and outcome columns read in
// place from 1-D NumPy buffers, outcome rules ("==" or ">=" a value), and
// running pure computations with the interpreter lock released.
#pragma once

#include "python/numpy_api.hpp"

#include <exception>
#include <optional>
#include <string>

#include "core/groups.hpp"
#include "python/intake.hpp"

namespace lumetra::kernels {

/// Calls f(view) with a Strided<T> of the column's signed integer type (the
/// codes the package makes); nullptr without an error set for other dtypes.
template <class F>
PyObject* visit_signed_codes(const py::NativeColumn& c, F&& f) {
    auto view = [&](auto tag) {
        using T = decltype(tag);
        return Strided<T>{c.data, c.stride, c.n};
    };
    switch (c.type) {
        case py::NativeType::I8: return f(view(std::int8_t{}));
        case py::NativeType::I16: return f(view(std::int16_t{}));
        case py::NativeType::I32: return f(view(std::int32_t{}));
        case py::NativeType::I64: return f(view(std::int64_t{}));
        default: return nullptr;
    }
}

/// A 1-D NumPy array in native byte order read in place, or nullopt with
/// TypeError naming `argument` set.
std::optional<py::NativeColumn> column_arg(PyObject* array, const char* argument);

/// Calls f(view) with a Strided<T> of the column's integer type; TypeError
/// (and nullptr) for any other dtype.
template <class F>
PyObject* visit_codes(const py::NativeColumn& c, const char* argument, F&& f) {
    auto view = [&](auto tag) {
        using T = decltype(tag);
        return Strided<T>{c.data, c.stride, c.n};
    };
    switch (c.type) {
        case py::NativeType::I8: return f(view(std::int8_t{}));
        case py::NativeType::I16: return f(view(std::int16_t{}));
        case py::NativeType::I32: return f(view(std::int32_t{}));
        case py::NativeType::I64: return f(view(std::int64_t{}));
        case py::NativeType::U8: return f(view(std::uint8_t{}));
        case py::NativeType::U16: return f(view(std::uint16_t{}));
        case py::NativeType::U32: return f(view(std::uint32_t{}));
        case py::NativeType::U64: return f(view(std::uint64_t{}));
        default: break;
    }
    PyErr_Format(PyExc_TypeError, "%s must hold integer group codes", argument);
    return nullptr;
}

/// The criterion of an outcome rule: "==" or ">=" against `value`, held as V
/// (the type the column is compared in). False with the Python error set.
template <class V>
bool outcome_criterion(const std::string& rule, PyObject* value, const char* argument,
                       SegmentationCriterion<V>& out);

/// Calls f(view, criterion) with a typed view of an outcome column and the
/// criterion of `rule` against `value`. Integer and boolean columns compare
/// as integers with an int value in the column's range, float columns in
/// double precision with a float or int value. nullopt with TypeError or
/// ValueError naming `argument` set.
template <class R, class F>
std::optional<R> with_outcome(const py::NativeColumn& column, const std::string& rule, PyObject* value,
                              const char* argument, F&& f) {
    if (column.type == py::NativeType::Unicode) {
        PyErr_Format(PyExc_TypeError, "%s must be numeric or bool", argument);
        return std::nullopt;
    }
    return py::visit_numeric(column, [&](const auto& src) -> std::optional<R> {
        using T = std::decay_t<decltype(src[0])>;
        // Floats compare in double precision; integers and bool bytes in their own type.
        using V = std::conditional_t<std::is_floating_point_v<T>, double, T>;
        SegmentationCriterion<V> criterion;
        if (!outcome_criterion<V>(rule, value, argument, criterion)) return std::nullopt;
        return R(f(src, criterion));
    });
}

/// The marker that sets outcome bit `bit` of the rows of `column` whose value
/// meets `rule` against `value` (as with_outcome compares them).
std::optional<OutcomeMarker> outcome_marker(const py::NativeColumn& column, const std::string& rule,
                                            PyObject* value, unsigned bit, const char* argument);

/// Runs f() with the interpreter lock released. f must only read NumPy
/// buffers and memory of its own; an exception it throws is rethrown once
/// the lock is held again.
template <class F>
void without_gil(F&& f) {
    std::exception_ptr error;
    Py_BEGIN_ALLOW_THREADS
    try {
        f();
    } catch (...) {
        error = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (error) std::rethrow_exception(error);
}

}  // namespace lumetra::kernels
