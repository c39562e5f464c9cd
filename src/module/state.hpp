// The members that move state, the same on every class: to_bytes() and the
// class method from_bytes(data) over the core's format (core/state.hpp),
// __reduce__ on top of them (pickle, copy, deepcopy), and merge(other) on
// the classes that accumulate a stream. The boundary only turns bytes in and
// out; reading, checking and merging are the core's.
#pragma once

#include <array>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/state.hpp"
#include "binding/callables.hpp"
#include "binding/classes.hpp"
#include "binding/convert.hpp"
#include "binding/errors.hpp"
#include "binding/ref.hpp"

namespace lumetra::py {

/// A class's name without its module ("PyDataBiasStreaming").
inline const char* short_name(PyTypeObject* type) noexcept {
    const char* name = type->tp_name;
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p == '.') name = p + 1;
    }
    return name;
}

/// The state members of a class wrapping `Core` whose records carry `Tag`.
template <class Core, state::Tag Tag>
struct StateMembers {
    static PyObject* to_bytes(PyObject* self) {
        return inspect<Core>(
            self, [](const Core& c) { return state::to_bytes(c); },
            [](const std::vector<std::uint8_t>& b) {
                return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                                 static_cast<Py_ssize_t>(b.size()));
            });
    }

    static PyObject* from_bytes(PyTypeObject* type, const BytesArg& data) {
        return create_or_raise(type, state::from_bytes<Core>(data.bytes(), Tag));
    }

    // (cls.from_bytes, (self.to_bytes(),)): pickling stores the bytes and the
    // class by name; copies are rebuilt from the bytes and share nothing.
    static PyObject* reduce(PyObject* self) {
        Ref bytes = Ref::steal(to_bytes(self));
        if (!bytes) return nullptr;
        Ref rebuild = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes"));
        if (!rebuild) return nullptr;
        return Py_BuildValue("(O(O))", rebuild.get(), bytes.get());
    }

    // `other` is read under a shared borrow and `self` changed under an
    // exclusive one: distinct objects never conflict. Merging an object into
    // itself is refused (it is nearly always a reduction that visits one
    // shard twice); a copy doubles a stream explicitly.
    static PyObject* merge(PyObject* self, const Peer& other) {
        if (other.obj == self) {
            PyErr_SetString(PyExc_ValueError,
                            "Cannot merge an object into itself (merge a copy to double its stream)");
            return nullptr;
        }
        if (Py_TYPE(other.obj) != Py_TYPE(self)) {
            PyErr_Format(PyExc_ValueError, "Cannot merge a %s into a %s", short_name(Py_TYPE(other.obj)),
                         short_name(Py_TYPE(self)));
            return nullptr;
        }
        Instance<Core>* peer = instance<Core>(other.obj);
        SharedBorrow held(peer->borrow);
        if (!held.ok()) return nullptr;
        return change<Core>(self, [&](Core& mine) { return state::merge(mine, std::as_const(peer->value())); });
    }
};

#define LUMETRA_TO_BYTES_DOC                                                                     \
    "Return the whole state as bytes: baseline, configuration and what has\n"                   \
    "accumulated. `from_bytes` rebuilds an object that answers exactly as this\n"               \
    "one; the format is stable across versions and platforms. A flush detector\n"             \
    "saves the age of its current window, and the restored window started that\n"             \
    "long before the restore."
#define LUMETRA_FROM_BYTES_DOC                                                                   \
    "Rebuild an object from the bytes of `to_bytes` (any bytes-like object).\n"                 \
    "Bytes that are not an intact state of this class raise ValueError."
#define LUMETRA_MERGE_DOC                                                                        \
    "Add what `other` (same class, baseline and configuration) has accumulated\n"               \
    "since its last flush, as if this object had received it too, and return\n"                \
    "None. `other` is unchanged; on ValueError this object is unchanged too.\n"                \
    "Merging an object into itself raises ValueError.\n\n"                                     \
    "Counts add exactly; double-precision sums add as the sum of the two\n"                   \
    "partial sums. A flush detector keeps its own window and flush bookkeeping;\n"            \
    "a decay detector adds the decayed weights as they stand, and later decay\n"              \
    "applies to the sum as one stream."

/// to_bytes, from_bytes and __reduce__ of a class wrapping `Core`.
template <class Core, state::Tag Tag>
inline constexpr std::array saving_methods{
    noargs_method<&StateMembers<Core, Tag>::to_bytes>("to_bytes", LUMETRA_TO_BYTES_DOC),
    class_method<&StateMembers<Core, Tag>::from_bytes>("from_bytes", {"data"}, LUMETRA_FROM_BYTES_DOC),
    noargs_method<&StateMembers<Core, Tag>::reduce>("__reduce__", "Pickling and copying go through to_bytes()."),
};

/// saving_methods and merge, for the classes that accumulate a stream.
template <class Core, state::Tag Tag>
inline constexpr auto streaming_state_methods = join(
    saving_methods<Core, Tag>,
    std::array{method<&StateMembers<Core, Tag>::merge>("merge", {"other"}, LUMETRA_MERGE_DOC)});

}  // namespace lumetra::py
