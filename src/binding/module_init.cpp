#include "binding/module_init.hpp"

#include <string>

#include "binding/guard.hpp"

namespace lumetra::py {
namespace {

PyObject* build(PyModuleDef& def, const ModuleContents& contents) {
    if (!init_internal_error_type((std::string(def.m_name) + ".InternalError").c_str())) return nullptr;
    Ref module = Ref::steal(PyModule_Create(&def));
    if (!module) return nullptr;
    for (std::span<const Callable> group : contents.functions) {
        PyMethodDef* defs = method_defs(group, nullptr);
        if (defs == nullptr) return nullptr;
        for (PyMethodDef* d = defs; d->ml_name != nullptr; ++d) {
            Ref fn = Ref::steal(PyCFunction_NewEx(d, nullptr, nullptr));
            if (!fn) return nullptr;
            if (PyModule_AddObjectRef(module.get(), d->ml_name, fn.get()) < 0) return nullptr;
        }
    }
    for (std::span<const ClassDecl> group : contents.classes) {
        for (const ClassDecl& c : group) {
            PyType_Spec* spec = class_spec(c, def.m_name);
            if (spec == nullptr) return nullptr;
            Ref type = Ref::steal(PyType_FromModuleAndSpec(module.get(), spec, nullptr));
            if (!type) return nullptr;
            if (PyModule_AddType(module.get(), reinterpret_cast<PyTypeObject*>(type.get())) < 0) return nullptr;
            register_class(reinterpret_cast<PyTypeObject*>(type.get()));  // the module keeps the type
        }
    }
    return module.release();
}

}  // namespace

PyObject* init_module(PyModuleDef& def, ModuleCache& cache, const ModuleContents& contents) noexcept {
    return guarded([&]() -> PyObject* {
        PyInterpreterState* here = PyInterpreterState_Get();
        if (cache.module != nullptr) {
            if (here != cache.owner) {
                PyErr_Format(PyExc_ImportError,
                             "%s does not support sub-interpreters: it is already initialised "
                             "in another interpreter of this process",
                             def.m_name);
                return nullptr;
            }
            return Ref::borrow(cache.module).release();
        }
        PyObject* module = build(def, contents);
        if (module == nullptr) return nullptr;
        cache.module = Ref::borrow(module).release();  // kept for the process
        cache.owner = here;
        return module;
    });
}

}  // namespace lumetra::py
