#include "binding/guard.hpp"

namespace lumetra::py {
namespace {
PyObject* g_internal_error = nullptr;  // strong, lives as long as the process
}

bool init_internal_error_type(const char* qualified_name) noexcept {
    if (g_internal_error != nullptr) return true;
    g_internal_error = PyErr_NewExceptionWithDoc(
        qualified_name, "A broken internal invariant of the statistics engine; please report it.", nullptr, nullptr);
    return g_internal_error != nullptr;
}

void raise_internal(std::string_view text) noexcept {
    PyObject* type = g_internal_error != nullptr ? g_internal_error : PyExc_SystemError;
    PyErr_Format(type, "%.*s", static_cast<int>(text.size()), text.data());
}

}  // namespace lumetra::py
