#include "kernels/columns.hpp"

#include <limits>
#include <utility>

#include "binding/convert.hpp"

namespace lumetra::kernels {

bool convert(PyObject* o, RuleValue& out) {
    out = RuleValue{};
    if (o == Py_None) return true;
    if (PyFloat_Check(o)) {
        out.kind = RuleValue::Kind::Float;
        out.real = PyFloat_AS_DOUBLE(o);
        return true;
    }
    if (!PyLong_Check(o)) return py::wrong_type(o, "int or float");
    // An int (or subclass) is read by its value: none of these calls runs
    // the subclass's own methods.
    out.kind = RuleValue::Kind::Int;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (v == -1 && PyErr_Occurred()) return false;
    if (overflow == 0) {
        out.fits_i64 = true;
        out.i64 = v;
        out.fits_u64 = v >= 0;
        out.u64 = static_cast<std::uint64_t>(v);
    } else if (overflow > 0) {
        const unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
            PyErr_Clear();
        } else {
            out.fits_u64 = true;
            out.u64 = u;
        }
    }
    out.real = PyLong_AsDouble(o);
    if (out.real == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
        PyErr_Clear();
        out.real_overflows = true;
    }
    return true;
}

bool convert(PyObject* o, DecisionThreshold& out) { return py::convert(o, out.value); }

PyObject* codes_not_integer() {
    PyErr_SetString(PyExc_TypeError, "groups must hold integer group codes");
    return nullptr;
}

std::optional<Codes> codes_of(const NumericArg& groups, std::uint64_t n_groups) {
    const py::NativeColumn c = groups.view();
    if (!py::is_integer(c.type)) {
        codes_not_integer();
        return std::nullopt;
    }
    // Refused before any table is sized by it: a tally of 2**40 groups would
    // ask the allocator for terabytes.
    if (n_groups > (std::uint64_t{1} << 32)) {
        PyErr_SetString(PyExc_ValueError, "n_groups is too large (at most 2**32)");
        return std::nullopt;
    }
    return Codes{c, static_cast<std::size_t>(n_groups)};
}

std::optional<Outcome> outcome_of(const NumericArg& column, const std::optional<std::string>& rule,
                                  const RuleValue& value, const char* argument, std::size_t rows) {
    const py::NativeColumn c = column.view();
    if (c.n != rows) {
        PyErr_Format(PyExc_ValueError, "%s must have one value per row (%zu rows, got %zu)", argument, rows, c.n);
        return std::nullopt;
    }
    if (!rule || value.kind == RuleValue::Kind::None) {
        PyErr_Format(PyExc_TypeError, "%s needs a rule and a value", argument);
        return std::nullopt;
    }
    return Outcome{c, *rule, value, argument};
}

namespace {

// The rule's value as the column's element type: an int within the type's
// range for integer columns (booleans are 0/1 bytes), a real number for float
// columns. False with the Python error set.
template <class V>
bool rule_value(const Outcome& o, V& out) {
    const RuleValue& v = o.value;
    if constexpr (std::is_floating_point_v<V>) {
        if (v.real_overflows) {
            PyErr_Format(PyExc_OverflowError, "%s value is too large to convert to float", o.argument);
            return false;
        }
        out = static_cast<V>(v.real);
        return true;
    } else {
        if (v.kind != RuleValue::Kind::Int) {
            PyErr_Format(PyExc_TypeError, "%s value must be an int for an integer column", o.argument);
            return false;
        }
        bool in_range = false;
        if constexpr (std::is_signed_v<V>) {
            in_range = v.fits_i64 && std::in_range<V>(v.i64);
            out = static_cast<V>(v.i64);
        } else {
            in_range = v.fits_u64 && std::in_range<V>(v.u64);
            out = static_cast<V>(v.u64);
        }
        if (!in_range) {
            PyErr_Format(PyExc_ValueError, "%s value is out of the column's integer range", o.argument);
            return false;
        }
        return true;
    }
}

}  // namespace

template <class V>
bool outcome_criterion(const Outcome& o, SegmentationCriterion<V>& out) {
    if (o.rule == "==") {
        out.kind = CriterionKind::EqualTo;
    } else if (o.rule == ">=") {
        out.kind = CriterionKind::GreaterThanEqualTo;
    } else {
        PyErr_Format(PyExc_ValueError, "%s rule must be '==' or '>='", o.argument);
        return false;
    }
    return rule_value<V>(o, out.value);
}

template bool outcome_criterion(const Outcome&, SegmentationCriterion<double>&);
template bool outcome_criterion(const Outcome&, SegmentationCriterion<std::int8_t>&);
template bool outcome_criterion(const Outcome&, SegmentationCriterion<std::int16_t>&);
template bool outcome_criterion(const Outcome&, SegmentationCriterion<std::int32_t>&);
template bool outcome_criterion(const Outcome&, SegmentationCriterion<std::int64_t>&);
template bool outcome_criterion(const Outcome&, SegmentationCriterion<std::uint8_t>&);
template bool outcome_criterion(const Outcome&, SegmentationCriterion<std::uint16_t>&);
template bool outcome_criterion(const Outcome&, SegmentationCriterion<std::uint32_t>&);
template bool outcome_criterion(const Outcome&, SegmentationCriterion<std::uint64_t>&);

std::optional<OutcomeMarker> outcome_marker(const Outcome& o, unsigned bit) {
    return with_outcome<OutcomeMarker>(o, [bit](const auto& src, const auto& criterion) {
        return OutcomeMarker([src, criterion, bit](std::size_t begin, std::size_t end, std::uint8_t* flags) {
            mark_outcome(src, criterion, bit, begin, end, flags);
        });
    });
}

std::optional<OutcomeMarker> outcomes_marker(const Outcome& truth, const std::optional<Outcome>& prediction) {
    auto t = outcome_marker(truth, kTruthBit);
    if (!t || !prediction) return t;
    auto p = outcome_marker(*prediction, kPredictionBit);
    if (!p) return std::nullopt;
    return OutcomeMarker([t = std::move(*t), p = std::move(*p)](std::size_t begin, std::size_t end,
                                                                 std::uint8_t* flags) {
        t(begin, end, flags);
        p(begin, end, flags);
    });
}

}  // namespace lumetra::kernels
