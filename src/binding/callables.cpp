#include "binding/callables.hpp"

#include <deque>
#include <string_view>
#include <vector>

namespace lumetra::py {
namespace {

// Texts and tables CPython keeps pointers to for as long as the functions
// and types exist: made once and never freed.
std::deque<std::string>& texts() {
    static auto* kept = new std::deque<std::string>();
    return *kept;
}

const char* keep(std::string text) { return texts().emplace_back(std::move(text)).c_str(); }

std::string_view param_name(const char* param) {
    const std::string_view p(param);
    return p.substr(0, p.find('='));
}

// Fills the binder's view of a declaration: display name, names, required
// count and interned names. False with an exception set.
bool prepare(const Callable& c, std::string display) {
    Signature& sig = *c.signature;
    // One body serves one declaration: a second would take over its messages.
    if (sig.display[0] != '\0' && display != sig.display) {
        raise_internal("one body is declared as both " + std::string(sig.display) + " and " + display);
        return false;
    }
    sig.display = keep(std::move(display));
    sig.count = c.count;
    sig.required = 0;
    for (std::size_t i = 0; i < c.count; ++i) {
        const std::string_view name = param_name(c.params[i]);
        if (name.size() == std::string_view(c.params[i]).size()) sig.required = i + 1;
        sig.names[i] = keep(std::string(name));
        sig.interned[i] = PyUnicode_InternFromString(sig.names[i]);  // kept for the process
        if (sig.interned[i] == nullptr) return false;
    }
    return true;
}

}  // namespace

std::string signature_doc(const char* name, const Callable& c) {
    std::string text = name;
    text += '(';
    const bool self = c.kind == CallKind::Method || c.kind == CallKind::NoArgsMethod || c.kind == CallKind::ClassMethod;
    if (self) text += c.kind == CallKind::ClassMethod ? "$type" : "$self";
    for (std::size_t i = 0; i < c.count; ++i) {
        if (self || i > 0) text += ", ";
        text += c.params[i];
    }
    text += ")\n--\n\n";
    if (c.doc != nullptr) text += c.doc;
    return text;
}

PyMethodDef* method_defs(std::span<const Callable> rows, const char* owner) {
    auto* defs = new std::vector<PyMethodDef>();  // kept for the process
    defs->reserve(rows.size() + 1);
    for (const Callable& c : rows) {
        PyMethodDef def{c.name, nullptr, 0, keep(signature_doc(c.name, c))};
        if (c.kind == CallKind::NoArgsMethod) {
            def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(c.noargs));
            def.ml_flags = METH_NOARGS;
        } else {
            const std::string display = owner != nullptr ? std::string(owner) + "." + c.name : std::string(c.name);
            if (!prepare(c, display + "()")) return nullptr;
            def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(c.fast));
            def.ml_flags = METH_FASTCALL | METH_KEYWORDS | (c.kind == CallKind::ClassMethod ? METH_CLASS : 0);
        }
        defs->push_back(def);
    }
    defs->push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    return defs->data();
}

PyGetSetDef* getset_defs(std::span<const Callable> rows) {
    auto* defs = new std::vector<PyGetSetDef>();  // kept for the process
    defs->reserve(rows.size() + 1);
    for (const Callable& c : rows) {
        defs->push_back(PyGetSetDef{c.name, c.get, nullptr, c.doc, nullptr});
    }
    defs->push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});
    return defs->data();
}

bool prepare_constructor(const Callable& c, const char* class_name) {
    return prepare(c, std::string(class_name) + "()");
}

}  // namespace lumetra::py
