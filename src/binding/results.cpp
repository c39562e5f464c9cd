#include "binding/results.hpp"

namespace lumetra::py {

bool dict_set_steal(PyObject* d, std::string_view key, PyObject* value) {
    Ref v = Ref::steal(value);
    if (!v) return false;
    Ref k = Ref::steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
    if (!k) return false;
    return PyDict_SetItem(d, k.get(), v.get()) == 0;
}

PyObject* float_list(std::span<const double> values) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* f = PyFloat_FromDouble(values[i]);
        if (f == nullptr) return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), f);
    }
    return list.release();
}

PyObject* label_dict(const std::vector<std::string>& labels, std::span<const double> values) {
    Ref d = Ref::steal(PyDict_New());
    if (!d) return nullptr;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (!dict_set_steal(d.get(), labels[i], PyFloat_FromDouble(values[i]))) return nullptr;
    }
    return d.release();
}

PyObject* report_dict(bool passed, const std::vector<NamedDrift>& failed) {
    Ref dict = Ref::steal(PyDict_New());
    if (!dict) return nullptr;
    if (!dict_set_steal(dict.get(), "passed", Ref::borrow(passed ? Py_True : Py_False).release())) return nullptr;
    if (passed) return dict.release();
    Ref list = Ref::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const auto& [name, drift] : failed) {
        Ref entry = Ref::steal(PyDict_New());
        if (!entry) return nullptr;
        if (!dict_set_steal(entry.get(), "metric",
                            PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())))) {
            return nullptr;
        }
        if (!dict_set_steal(entry.get(), "drift", to_py(drift))) return nullptr;
        if (PyList_Append(list.get(), entry.get()) < 0) return nullptr;
    }
    if (!dict_set_steal(dict.get(), "failed_report", list.release())) return nullptr;
    return dict.release();
}

}  // namespace lumetra::py
