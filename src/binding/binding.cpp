#include "binding/binding.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "binding/ref.hpp"

namespace lumetra::py {
namespace {

// Index of the parameter named `key`, or -1; -2 with an exception set.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.display);
        return -2;
    }
    for (std::size_t i = 0; i < sig.size(); ++i) {
        if (sig.interned[i] == key) return static_cast<Py_ssize_t>(i);
    }
    for (std::size_t i = 0; i < sig.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.name(i)) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

std::string quoted_list(const std::vector<const char*>& names) {
    // Python's wording: 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                out += " and ";
            } else {
                out += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

// The general road of both binding forms: positionals, then each keyword,
// surplus positionals, missing arguments. `kw_at(k)` yields the k-th
// (name, value) keyword pair.
template <class KwAt>
bool fill_slots(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, Py_ssize_t nkw, KwAt&& kw_at,
                  std::array<PyObject*, kMaxParams>& slots) {
    slots.fill(nullptr);
    const auto nparams = static_cast<Py_ssize_t>(sig.size());
    for (Py_ssize_t i = 0; i < std::min(nargs, nparams); ++i) slots[static_cast<std::size_t>(i)] = args[i];
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        auto [key, value] = kw_at(k);
        const Py_ssize_t idx = find_param(sig, key);
        if (idx == -2) return false;
        if (idx < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, key);
            return false;
        }
        if (slots[static_cast<std::size_t>(idx)] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display,
                         sig.name(static_cast<std::size_t>(idx)));
            return false;
        }
        slots[static_cast<std::size_t>(idx)] = value;
    }
    if (nargs > nparams) {
        const auto required = static_cast<Py_ssize_t>(sig.required);
        const char* was = nargs == 1 ? "was" : "were";
        if (required == nparams) {
            PyErr_Format(PyExc_TypeError, "%s takes %zd positional argument%s but %zd %s given", sig.display,
                         nparams, nparams == 1 ? "" : "s", nargs, was);
        } else {
            PyErr_Format(PyExc_TypeError, "%s takes from %zd to %zd positional arguments but %zd %s given",
                         sig.display, required, nparams, nargs, was);
        }
        return false;
    }
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < sig.required; ++i) {
        if (slots[i] == nullptr) missing.push_back(sig.name(i));
    }
    if (!missing.empty()) {
        const std::string list = quoted_list(missing);
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.display,
                     missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool bind_general(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  BoundArgs& out) {
    out.slots_ = out.storage_.data();
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    return fill_slots(
        sig, args, nargs, nkw, [&](Py_ssize_t k) { return std::pair{PyTuple_GET_ITEM(kwnames, k), args[nargs + k]}; },
        out.storage_);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* const* positional = &PyTuple_GET_ITEM(args, 0);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        if (static_cast<std::size_t>(nargs) == sig.size()) {
            out.slots_ = positional;
            return true;
        }
        out.slots_ = out.storage_.data();
        return fill_slots(
            sig, positional, nargs, 0, [](Py_ssize_t) { return std::pair<PyObject*, PyObject*>{}; }, out.storage_);
    }
    out.slots_ = out.storage_.data();
    // The constructor's kwargs dict belongs to this call alone; binding runs no
    // Python code, so walking it with PyDict_Next is safe.
    std::vector<std::pair<PyObject*, PyObject*>> items;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) items.emplace_back(key, value);
    return fill_slots(
        sig, positional, nargs, static_cast<Py_ssize_t>(items.size()),
        [&](Py_ssize_t k) { return items[static_cast<std::size_t>(k)]; }, out.storage_);
}

void prefix_argument_error(const char* name) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref text = Ref::steal(value != nullptr ? PyObject_Str(value) : nullptr);
    Ref cause = Ref::steal(value);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (!text) return;  // the failure of str() is the exception now set
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

}  // namespace lumetra::py
