#include "python/binding.hpp"

#include <cstring>
#include <limits>

namespace lumetra::py {

// ---- internal failures -------------------------------------------------------

namespace {
PyObject* g_internal_error = nullptr;  // strong, lives as long as the process
}

bool init_internal_error_type() noexcept {
    if (g_internal_error != nullptr) return true;
    g_internal_error = PyErr_NewExceptionWithDoc(
        "_lumetra.InternalError",
        "A broken internal invariant of the statistics engine; please report it.",
        nullptr, nullptr);
    return g_internal_error != nullptr;
}

PyObject* internal_error_type() noexcept { return g_internal_error; }

void raise_internal(std::string_view text) noexcept {
    PyObject* type = g_internal_error != nullptr ? g_internal_error : PyExc_SystemError;
    PyErr_Format(type, "%.*s", static_cast<int>(text.size()), text.data());
}

// ---- binding -----------------------------------------------------------------

namespace {

using InternedNames = std::array<PyObject*, kMaxParams>;

// Interned parameter names, created once per signature so keywords match by
// identity first; names built at run time fall back to text comparison.
// nullptr when interning failed (the text comparison then does all the work).
// The pointer is valid until the next call.
const InternedNames* interned_names(const Signature& sig) {
    struct Cache {
        const Signature* sig;
        InternedNames names;
    };
    static std::vector<Cache> caches;
    for (const Cache& c : caches) {
        if (c.sig == &sig) return &c.names;
    }
    Cache c{&sig, {}};
    for (std::size_t k = 0; k < sig.size(); ++k) {
        c.names[k] = PyUnicode_InternFromString(sig.name(k));  // kept for the process
        if (c.names[k] == nullptr) {
            PyErr_Clear();
            return nullptr;
        }
    }
    caches.push_back(c);
    return &caches.back().names;
}

// Index of the parameter named `key`, or -1; -2 with an exception set.
Py_ssize_t find_param(const Signature& sig, PyObject* key) {
    if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.display);
        return -2;
    }
    if (const InternedNames* names = interned_names(sig)) {
        for (std::size_t i = 0; i < sig.size(); ++i) {
            if ((*names)[i] == key) return static_cast<Py_ssize_t>(i);
        }
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

// The shared tail of both binding forms: keywords, surplus positionals, missing.
// `kw_at(k)` yields the k-th (name, value) keyword pair.
template <class KwAt>
bool bind_common(const Signature& sig, Py_ssize_t nargs, Py_ssize_t nkw, KwAt&& kw_at, BoundArgs& out) {
    const auto nparams = static_cast<Py_ssize_t>(sig.size());
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        auto [key, value] = kw_at(k);
        const Py_ssize_t idx = find_param(sig, key);
        if (idx == -2) return false;
        if (idx < 0) {
            PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.display, key);
            return false;
        }
        if (out.slots[static_cast<std::size_t>(idx)] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.display,
                         sig.name(static_cast<std::size_t>(idx)));
            return false;
        }
        out.slots[static_cast<std::size_t>(idx)] = value;
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
        if (out.slots[i] == nullptr) missing.push_back(sig.name(i));
    }
    if (!missing.empty()) {
        const std::string list = quoted_list(missing);
        PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.display,
                     missing.size(), missing.size() == 1 ? "" : "s", list.c_str());
        return false;
    }
    return true;
}

void bind_positionals(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, BoundArgs& out) {
    out.slots.fill(nullptr);
    const auto n = std::min<Py_ssize_t>(nargs, static_cast<Py_ssize_t>(sig.size()));
    for (Py_ssize_t i = 0; i < n; ++i) out.slots[static_cast<std::size_t>(i)] = args[i];
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, BoundArgs& out) {
    bind_positionals(sig, args, nargs, out);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    return bind_common(
        sig, nargs, nkw,
        [&](Py_ssize_t k) { return std::pair{PyTuple_GET_ITEM(kwnames, k), args[nargs + k]}; }, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, BoundArgs& out) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    bind_positionals(sig, &PyTuple_GET_ITEM(args, 0), nargs, out);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0) {
        return bind_common(sig, nargs, 0, [](Py_ssize_t) { return std::pair<PyObject*, PyObject*>{}; }, out);
    }
    // The constructor's kwargs dict belongs to this call alone; binding runs no
    // Python code, so walking it with PyDict_Next is safe.
    std::vector<std::pair<PyObject*, PyObject*>> items;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) items.emplace_back(key, value);
    return bind_common(
        sig, nargs, static_cast<Py_ssize_t>(items.size()), [&](Py_ssize_t k) { return items[static_cast<std::size_t>(k)]; },
        out);
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

// ---- converters ------------------------------------------------------------

bool wrong_type(PyObject* o, const char* expected) {
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'", Py_TYPE(o)->tp_name, expected);
    return false;
}

bool convert(PyObject* o, AnyArg& out) {
    out.obj = o;
    return true;
}

bool convert(PyObject* o, double& out) {
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) return false;
    out = v;
    return true;
}

bool convert(PyObject* o, float& out) {
    double v;
    if (!convert(o, v)) return false;
    out = static_cast<float>(v);
    return true;
}

namespace {

// None leaves the optional empty; any other object converts as a T.
template <class T>
bool convert_optional(PyObject* o, std::optional<T>& out) {
    if (o == Py_None) {
        out.reset();
        return true;
    }
    T v{};
    if (!convert(o, v)) return false;
    out = std::move(v);
    return true;
}

}  // namespace

bool convert(PyObject* o, std::optional<double>& out) { return convert_optional(o, out); }

bool str_text(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) return wrong_type(o, "str");
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(o, &len);
    if (text == nullptr) return false;
    out.assign(text, static_cast<std::size_t>(len));
    return true;
}

bool convert(PyObject* o, std::string& out) { return str_text(o, out); }

bool convert(PyObject* o, std::optional<std::string>& out) { return convert_optional(o, out); }

bool refuse_str_as_sequence() {
    PyErr_SetString(PyExc_TypeError, "a str is not accepted as a sequence of str");
    return false;
}

bool convert(PyObject* o, StrList& out) {
    if (PyUnicode_Check(o)) return refuse_str_as_sequence();
    if (!PySequence_Check(o)) return wrong_type(o, "Sequence");
    // A tuple snapshot holds its own references: item conversion cannot be
    // disturbed by code that mutates the caller's sequence.
    Ref items = Ref::steal(PySequence_Tuple(o));
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string text;
        if (!str_text(PyTuple_GET_ITEM(items.get(), i), text)) return false;
        out.push_back(std::move(text));
    }
    return true;
}

bool convert(PyObject* o, NamedValues& out) {
    if (!PyDict_Check(o)) return wrong_type(o, "dict");
    // Items are copied out first: a value's __float__ may mutate the dict.
    Ref items = Ref::steal(PyDict_Items(o));
    if (!items) return false;
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    out.clear();
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        std::string key;
        if (!str_text(PyTuple_GET_ITEM(pair, 0), key)) return false;
        float value;
        if (!convert(PyTuple_GET_ITEM(pair, 1), value)) return false;
        out.emplace_back(std::move(key), value);
    }
    return true;
}

namespace {

template <class T>
bool convert_integer(PyObject* o, T& out, const char* what) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    if constexpr (std::is_signed_v<T>) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (v == -1 && PyErr_Occurred()) return false;
        if (overflow != 0 || v < std::numeric_limits<T>::min() || v > std::numeric_limits<T>::max()) {
            PyErr_Format(PyExc_OverflowError, "Python int out of range for %s", what);
            return false;
        }
        out = static_cast<T>(v);
    } else {
        if (_PyLong_Sign(index.get()) < 0) {
            PyErr_Format(PyExc_OverflowError, "can't convert negative int to %s", what);
            return false;
        }
        const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_OverflowError, "Python int out of range for %s", what);
            }
            return false;
        }
        out = static_cast<T>(v);
    }
    return true;
}

}  // namespace

bool convert(PyObject* o, std::int8_t& out) { return convert_integer(o, out, "a signed 8-bit integer"); }
bool convert(PyObject* o, std::int32_t& out) { return convert_integer(o, out, "a signed 32-bit integer"); }
bool convert(PyObject* o, std::uint64_t& out) { return convert_integer(o, out, "an unsigned 64-bit integer"); }

bool convert(PyObject* o, std::optional<std::uint64_t>& out) { return convert_optional(o, out); }

// ---- borrows -------------------------------------------------------------------

SharedBorrow::SharedBorrow(BorrowFlag& f) noexcept {
    if (f.try_shared()) {
        flag_ = &f;
    } else {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    }
}

ExclusiveBorrow::ExclusiveBorrow(BorrowFlag& f) noexcept {
    if (f.try_exclusive()) {
        flag_ = &f;
    } else {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    }
}

// ---- results -------------------------------------------------------------------

bool dict_set_steal(PyObject* d, const char* key, std::size_t key_len, PyObject* value) {
    Ref v = Ref::steal(value);
    if (!v) return false;
    Ref k = Ref::steal(PyUnicode_FromStringAndSize(key, static_cast<Py_ssize_t>(key_len)));
    if (!k) return false;
    return PyDict_SetItem(d, k.get(), v.get()) == 0;
}

bool dict_set_steal(PyObject* d, std::string_view key, PyObject* value) {
    return dict_set_steal(d, key.data(), key.size(), value);
}

PyObject* float_list(const std::vector<double>& values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(values[i]);
        if (f == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

}  // namespace lumetra::py
