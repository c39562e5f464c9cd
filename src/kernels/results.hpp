// What the kernels of lumetra._kernels share: their results as new NumPy
// arrays and dicts, and the per-group pass over a chunk's codes. Each family
// of kernels is a file of its own and gives the module its table of callables.
#pragma once

#include "binding/numpy_api.hpp"

#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/metrics.hpp"
#include "kernels/columns.hpp"
#include "binding/callables.hpp"
#include "binding/errors.hpp"
#include "binding/gil.hpp"
#include "binding/results.hpp"

namespace lumetra::kernels {

using py::Callable;
using py::Column;
using py::OrNone;
using py::Ref;
using Rule = std::optional<std::string>;

std::span<const Callable> group_functions();        // groups.cpp: tally, bias
std::span<const Callable> entropy_functions();      // entropy.cpp
std::span<const Callable> performance_functions();  // performance.cpp
std::span<const Callable> drift_functions();        // drift.cpp
std::span<const Callable> vocabulary_functions();   // vocabulary.cpp
std::span<const Callable> interval_functions();     // intervals.cpp
std::span<const Callable> stats_functions();        // stats.cpp
std::span<const Callable> diagnostics_functions();  // diagnostics.cpp

// ---- results -----------------------------------------------------------------

template <class T>
constexpr int npy_type() {
    if constexpr (std::is_same_v<T, double>) return NPY_FLOAT64;
    if constexpr (std::is_same_v<T, float>) return NPY_FLOAT32;
    return NPY_UINT64;
}

// A new 1-D (or, with `table`, rows x cols) array holding a copy of `values`.
template <class T>
PyObject* new_array(const std::vector<T>& values, std::size_t rows, std::size_t cols = 0, bool table = false) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    Ref a = Ref::steal(PyArray_SimpleNew(cols == 0 && !table ? 1 : 2, dims, npy_type<T>()));
    if (!a) return nullptr;
    if (!values.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(a.get())), values.data(),
                    values.size() * sizeof(T));
    }
    return a.release();
}

// Sets d[key] to a new array of `values` (one per group).
template <class T>
bool set_array(PyObject* d, std::string_view key, const std::vector<T>& values) {
    return py::dict_set_steal(d, key, new_array(values, values.size()));
}

// Sets d[key] to a list of one str per group, None where the text is empty.
inline bool put_texts(PyObject* d, std::string_view key, const std::vector<std::string>& texts) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(texts.size())));
    if (!list) return false;
    for (std::size_t g = 0; g < texts.size(); ++g) {
        PyObject* item = texts[g].empty()
                             ? py::none()
                             : PyUnicode_FromStringAndSize(texts[g].data(), static_cast<Py_ssize_t>(texts[g].size()));
        if (item == nullptr) return false;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(g), item);
    }
    return py::dict_set_steal(d, key, list.release());
}

// One column of metric values per metric of family E, in enum order, plus
// the error text of each group (empty when the group has its metrics).
template <class E>
struct MetricColumns {
    std::vector<std::vector<double>> values;
    std::vector<std::string> errors;

    explicit MetricColumns(std::size_t groups)
        : values(metric_count<E>, std::vector<double>(groups, std::numeric_limits<double>::quiet_NaN())),
          errors(groups) {}

    template <class Map>
    void set(std::size_t g, const Map& map) {
        map.for_each([&](E m, float v) { values[static_cast<std::size_t>(m)][g] = static_cast<double>(v); });
    }

    // Adds "name": array for each metric, then "error": [str or None, ...].
    bool put(PyObject* d) const {
        for (std::size_t m = 0; m < values.size(); ++m) {
            if (!set_array(d, metric_name(static_cast<E>(m)), values[m])) return false;
        }
        return put_texts(d, "error", errors);
    }
};


inline PyObject* code_out_of_range() {
    PyErr_SetString(PyExc_ValueError, "groups holds a code at or beyond n_groups");
    return nullptr;
}

// Runs a per-group pass over the codes (the lock released for long ones);
// false for a code at or beyond the groups (error set).
template <class Pass>
bool group_pass(const Codes& codes, Pass&& pass) {
    return visit_codes(codes, [&](const auto& view) -> PyObject* {
        const bool ok = py::released(view.size(), [&] { return pass(view); });
        return ok ? Py_None : code_out_of_range();
    }) != nullptr;
}

}  // namespace lumetra::kernels
