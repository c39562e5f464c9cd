#include "binding/classes.hpp"

#include <string>
#include <vector>

namespace lumetra::py {

namespace {
// The classes made so far; kept for the process, like the types themselves.
std::vector<PyTypeObject*>& registered() {
    static auto* types = new std::vector<PyTypeObject*>();
    return *types;
}
}  // namespace

void register_class(PyTypeObject* type) { registered().push_back(type); }

bool is_registered_instance(PyObject* o) noexcept {
    for (PyTypeObject* t : registered()) {
        if (Py_TYPE(o) == t) return true;  // the classes are final: no subclass to look for
    }
    return false;
}

bool convert(PyObject* o, Peer& out) {
    if (!is_registered_instance(o)) {
        PyErr_Format(PyExc_TypeError, "'%s' object is not a lumetra monitor or detector", Py_TYPE(o)->tp_name);
        return false;
    }
    out.obj = o;
    return true;
}

PyType_Spec* class_spec(const ClassDecl& c, const char* module_name) {
    if (!prepare_constructor(c.constructor, c.name)) return nullptr;
    PyMethodDef* methods = method_defs(c.methods, c.name);
    if (methods == nullptr) return nullptr;
    // Kept for the process: a type may refer to its spec's name and tables.
    auto* doc = new std::string(signature_doc(c.name, c.constructor));
    auto* slots = new std::vector<PyType_Slot>{
        {Py_tp_new, reinterpret_cast<void*>(c.constructor.construct)},
        {Py_tp_dealloc, reinterpret_cast<void*>(c.dealloc)},
        {Py_tp_methods, methods},
        {Py_tp_doc, doc->data()},
    };
    if (!c.getters.empty()) slots->push_back({Py_tp_getset, getset_defs(c.getters)});
    slots->push_back({0, nullptr});
    auto* name = new std::string(std::string(module_name) + "." + c.name);
    return new PyType_Spec{name->c_str(), c.basicsize, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
                           slots->data()};
}

}  // namespace lumetra::py
