#include "python/report.hpp"

#include "python/binding.hpp"

namespace lumetra::py {

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
        if (!dict_set_steal(entry.get(), "metric", PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))))
            return nullptr;
        if (!dict_set_steal(entry.get(), "drift", to_py(drift))) return nullptr;
        if (PyList_Append(list.get(), entry.get()) < 0) return nullptr;
    }
    if (!dict_set_steal(dict.get(), "failed_report", list.release())) return nullptr;
    return dict.release();
}

}  // namespace lumetra::py
