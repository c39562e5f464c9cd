// The initialisation every compiled module of the project shares: a module
// built once from its declared functions and classes, in their public order.
// Single-phase init: CPython calls the initialiser again on a re-import, and
// the same module object is returned; the module belongs to the interpreter
// that built it, and another interpreter is refused.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <initializer_list>
#include <span>

#include "binding/callables.hpp"
#include "binding/classes.hpp"

namespace lumetra::py {

/// What a module registers, in its public order: groups of functions, then
/// groups of classes.
struct ModuleContents {
    std::initializer_list<std::span<const Callable>> functions;
    std::initializer_list<std::span<const ClassDecl>> classes;
};

/// The module once built, and the interpreter that built it.
struct ModuleCache {
    PyObject* module = nullptr;  // strong, kept for the process
    PyInterpreterState* owner = nullptr;
};

/// The body of a PyInit function: the cached module (a new reference), or the
/// module built from `contents` (NumPy's C API must be imported first, in the
/// initialiser's own file). nullptr with an exception set.
PyObject* init_module(PyModuleDef& def, ModuleCache& cache, const ModuleContents& contents) noexcept;

}  // namespace lumetra::py
