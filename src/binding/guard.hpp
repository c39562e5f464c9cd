// The guard every entry point runs its body through: no C++ exception crosses
// into the interpreter. Allocation failures become MemoryError; anything else
// becomes the module's own exception for broken internal invariants.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace lumetra::py {

/// Creates the internal-failure exception type once, under `qualified_name`
/// ("module.InternalError"); false with an exception set.
bool init_internal_error_type(const char* qualified_name) noexcept;
/// Raises the internal-failure exception (SystemError before the type exists).
void raise_internal(std::string_view text) noexcept;

/// Runs `body`, turning any escaping C++ exception into a Python exception.
/// `failure` is what the entry point returns with an exception set.
template <class R, class F>
R guarded_as(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal(e.what());
    } catch (...) {
        raise_internal("unknown C++ exception");
    }
    return failure;
}

/// guarded_as for entry points that return a new reference, nullptr on failure.
template <class F>
PyObject* guarded(F&& body) noexcept {
    return guarded_as<PyObject*>(nullptr, std::forward<F>(body));
}

}  // namespace lumetra::py
