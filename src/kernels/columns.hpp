// Columns of the package's kernels: group codes and outcome columns read in
// place through the boundary's intake (binding/intake.hpp) and outcome rules
// ("==" or ">=" a value). Passes over them release the interpreter lock
// through the boundary's binding/gil.hpp.
#pragma once

#include "binding/numpy_api.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "core/groups.hpp"
#include "binding/intake.hpp"

namespace lumetra::kernels {

/// A column argument of the kernels: any numeric or bool 1-D array in place.
using NumericArg = py::Column<py::AnyNumeric>;

/// The value of an outcome rule: an int or a float (None when absent), taken
/// whole at conversion so that nothing reads the object again once the
/// columns have been described. An int keeps its exact value where 64 bits
/// hold it, and Python's float conversion of it.
struct RuleValue {
    enum class Kind : std::uint8_t { None, Int, Float };
    Kind kind = Kind::None;
    double real = 0.0;          // the value as Python's float() gives it
    bool real_overflows = false;  // an int beyond the double range
    bool fits_i64 = false;
    bool fits_u64 = false;
    std::int64_t i64 = 0;
    std::uint64_t u64 = 0;
};
bool convert(PyObject* o, RuleValue& out);

/// The decision threshold of the logistic kernels: 0.5 when omitted, as
/// their signatures show; narrowed to single precision like the module's.
struct DecisionThreshold {
    float value = 0.5f;
};
bool convert(PyObject* o, DecisionThreshold& out);

/// The integer group codes of `groups` (each row's group, a negative code
/// leaves the row out) and the number of groups. nullopt with TypeError or
/// ValueError set.
struct Codes {
    py::NativeColumn column;
    std::size_t groups;
};
std::optional<Codes> codes_of(const NumericArg& groups, std::uint64_t n_groups);

/// The TypeError of group codes of another dtype; nullptr.
PyObject* codes_not_integer();

/// Calls f(view) with a Strided<T> of the codes' integer type (codes_of has
/// checked the type).
template <class F>
PyObject* visit_codes(const Codes& codes, F&& f) {
    return py::visit_numeric(codes.column, [&](const auto& view) -> PyObject* {
        using View = std::remove_cvref_t<decltype(view)>;
        using T = std::remove_cvref_t<decltype(view[0])>;
        if constexpr (std::is_integral_v<T> && !std::is_same_v<View, py::BoolStrided>) {
            return f(view);
        } else {
            return codes_not_integer();
        }
    });
}

/// An outcome column with its rule, one value per row of the codes.
struct Outcome {
    py::NativeColumn column;
    std::string rule;
    RuleValue value;
    const char* argument;  // the column's parameter name, for messages
};

/// The outcome (column, rule, value) given as `argument`: TypeError unless
/// both a rule and a value are given, ValueError unless the column has
/// `rows` values. nullopt with the error set.
std::optional<Outcome> outcome_of(const NumericArg& column, const std::optional<std::string>& rule,
                                  const RuleValue& value, const char* argument, std::size_t rows);

/// The criterion of an outcome rule: "==" or ">=" against the value, held
/// as V (the type the column is compared in). False with the Python error set.
template <class V>
bool outcome_criterion(const Outcome& o, SegmentationCriterion<V>& out);

/// Calls f(view, criterion) with a typed view of the outcome column and the
/// criterion of its rule. Integer and boolean columns compare as integers
/// with an int value in the column's range, float columns in double
/// precision with a float or int value. nullopt with TypeError or ValueError
/// naming the argument set.
template <class R, class F>
std::optional<R> with_outcome(const Outcome& o, F&& f) {
    return py::visit_numeric(o.column, [&](const auto& src) -> std::optional<R> {
        using T = std::decay_t<decltype(src[0])>;
        // Floats compare in double precision; integers and bool bytes in their own type.
        using V = std::conditional_t<std::is_floating_point_v<T>, double, T>;
        SegmentationCriterion<V> criterion;
        if (!outcome_criterion<V>(o, criterion)) return std::nullopt;
        return R(f(src, criterion));
    });
}

/// The marker that sets outcome bit `bit` of the rows whose value meets the
/// outcome's rule (as with_outcome compares them).
std::optional<OutcomeMarker> outcome_marker(const Outcome& o, unsigned bit);

/// The truth's marker, with the prediction's added when one is given.
std::optional<OutcomeMarker> outcomes_marker(const Outcome& truth, const std::optional<Outcome>& prediction);

/// A list or tuple of array arguments, each read by `Reader` and held by a
/// reference for the call: the kernels of many columns take one. The items
/// are taken first, before any of them is read (reading one may run user code
/// that changes the list).
template <class Reader>
class ColumnList {
public:
    bool read(PyObject* o) {
        if (!PyList_Check(o) && !PyTuple_Check(o)) {
            PyErr_Format(PyExc_TypeError, "expected a list or tuple of arrays, got %.200s", Py_TYPE(o)->tp_name);
            return false;
        }
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        items_.clear();
        items_.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i) items_.push_back(py::Ref::borrow(PySequence_Fast_GET_ITEM(o, i)));
        columns_ = std::vector<py::Column<Reader>>(items_.size());
        for (std::size_t i = 0; i < items_.size(); ++i) {
            if (!columns_[i].read(items_[i].get())) return false;
        }
        return true;
    }
    bool settle(bool& ran_code) {
        for (auto& c : columns_) {
            if (!c.settle(ran_code)) return false;
        }
        return true;
    }
    bool ran_code() const noexcept {
        for (const auto& c : columns_) {
            if (c.ran_code()) return true;
        }
        return false;
    }
    std::size_t size() const noexcept { return columns_.size(); }
    const py::Column<Reader>& operator[](std::size_t i) const noexcept { return columns_[i]; }

private:
    std::vector<py::Ref> items_;
    std::vector<py::Column<Reader>> columns_;
};

template <class Reader>
bool convert(PyObject* o, ColumnList<Reader>& out) {
    return out.read(o);
}

}  // namespace lumetra::kernels
