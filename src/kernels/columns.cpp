#include "columns.hpp"

#include <cstdint>
#include <limits>
#include <type_traits>

namespace lumetra::kernels {
namespace {

// The rule's value as the column's element type: an int within the type's
// range for integer columns (booleans are 0/1 bytes), a real number for float
// columns. False with the Python error set.
template <class V>
bool rule_value(PyObject* value, V& out, const char* argument) {
    if constexpr (std::is_floating_point_v<V>) {
        if (!PyFloat_Check(value) && !PyLong_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s value must be a real number", argument);
            return false;
        }
        const double v = PyFloat_AsDouble(value);
        if (v == -1.0 && PyErr_Occurred()) return false;
        out = static_cast<V>(v);
        return true;
    } else {
        if (!PyLong_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s value must be an int for an integer column", argument);
            return false;
        }
        bool in_range = false;
        if constexpr (std::is_signed_v<V>) {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (v == -1 && PyErr_Occurred()) return false;
            in_range = overflow == 0 && v >= std::numeric_limits<V>::min() && v <= std::numeric_limits<V>::max();
            out = static_cast<V>(v);
        } else {
            int overflow = 0;
            const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
            if (v == -1 && PyErr_Occurred()) return false;
            if (overflow > 0) {
                const unsigned long long u = PyLong_AsUnsignedLongLong(value);
                if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
                    PyErr_Clear();
                } else {
                    in_range = u <= std::numeric_limits<V>::max();
                    out = static_cast<V>(u);
                }
            } else if (overflow == 0 && v >= 0) {
                in_range = static_cast<unsigned long long>(v) <= std::numeric_limits<V>::max();
                out = static_cast<V>(v);
            }
        }
        if (!in_range) {
            PyErr_Format(PyExc_ValueError, "%s value is out of the column's integer range", argument);
            return false;
        }
        return true;
    }
}

}  // namespace

std::optional<py::NativeColumn> column_arg(PyObject* array, const char* argument) {
    auto c = py::native_column(array);
    if (!c || c->type == py::NativeType::Unicode) {
        PyErr_Format(PyExc_TypeError, "%s must be a 1-D NumPy array of a numeric or bool dtype in native byte order",
                     argument);
        return std::nullopt;
    }
    return c;
}

template <class V>
bool outcome_criterion(const std::string& rule, PyObject* value, const char* argument,
                       SegmentationCriterion<V>& out) {
    if (rule == "==") {
        out.kind = CriterionKind::EqualTo;
    } else if (rule == ">=") {
        out.kind = CriterionKind::GreaterThanEqualTo;
    } else {
        PyErr_Format(PyExc_ValueError, "%s rule must be '==' or '>='", argument);
        return false;
    }
    return rule_value<V>(value, out.value, argument);
}

template bool outcome_criterion(const std::string&, PyObject*, const char*, SegmentationCriterion<double>&);
template bool outcome_criterion(const std::string&, PyObject*, const char*, SegmentationCriterion<std::int8_t>&);
template bool outcome_criterion(const std::string&, PyObject*, const char*, SegmentationCriterion<std::int16_t>&);
template bool outcome_criterion(const std::string&, PyObject*, const char*, SegmentationCriterion<std::int32_t>&);
template bool outcome_criterion(const std::string&, PyObject*, const char*, SegmentationCriterion<std::int64_t>&);
template bool outcome_criterion(const std::string&, PyObject*, const char*, SegmentationCriterion<std::uint8_t>&);
template bool outcome_criterion(const std::string&, PyObject*, const char*, SegmentationCriterion<std::uint16_t>&);
template bool outcome_criterion(const std::string&, PyObject*, const char*, SegmentationCriterion<std::uint32_t>&);
template bool outcome_criterion(const std::string&, PyObject*, const char*, SegmentationCriterion<std::uint64_t>&);

std::optional<OutcomeMarker> outcome_marker(const py::NativeColumn& column, const std::string& rule,
                                            PyObject* value, unsigned bit, const char* argument) {
    return with_outcome<OutcomeMarker>(column, rule, value, argument, [bit](const auto& src, const auto& criterion) {
        return OutcomeMarker([src, criterion, bit](std::size_t begin, std::size_t end, std::uint8_t* flags) {
            mark_outcome(src, criterion, bit, begin, end, flags);
        });
    });
}

}  // namespace lumetra::kernels
