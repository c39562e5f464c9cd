#include "binding/intake.hpp"

#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "binding/guard.hpp"

namespace lumetra::py {
namespace {

PyArrayObject* as_array(PyObject* o) { return reinterpret_cast<PyArrayObject*>(o); }

bool equiv(int t, int other) { return PyArray_EquivTypenums(t, other) != 0; }

std::optional<NativeType> native_type_of(int t) {
    if (t == NPY_UNICODE) return NativeType::Unicode;
    if (t == NPY_BOOL) return NativeType::Bool;
    // Type numbers are compared by equivalence: on Linux int64 is NPY_LONG,
    // while NPY_LONGLONG is a different number for the same type.
    static constexpr std::pair<int, NativeType> table[] = {
        {NPY_FLOAT64, NativeType::F64}, {NPY_FLOAT32, NativeType::F32}, {NPY_INT8, NativeType::I8},
        {NPY_INT16, NativeType::I16},   {NPY_INT32, NativeType::I32},   {NPY_INT64, NativeType::I64},
        {NPY_UINT8, NativeType::U8},    {NPY_UINT16, NativeType::U16},  {NPY_UINT32, NativeType::U32},
        {NPY_UINT64, NativeType::U64},
    };
    for (const auto& [num, type] : table) {
        if (equiv(t, num)) return type;
    }
    return std::nullopt;
}

// A str or a non-sequence where a sequence of values is expected.
bool is_sequence_of_values(PyObject* o) { return !PyUnicode_Check(o) && PySequence_Check(o); }

}  // namespace

// ---- describing a buffer -------------------------------------------------------

ElementKind determine_type(PyObject* array) {
    const int t = PyArray_TYPE(as_array(array));
    if (equiv(t, NPY_FLOAT64) || equiv(t, NPY_FLOAT32)) return ElementKind::Float;
    for (int num : {NPY_INT8, NPY_INT16, NPY_INT32, NPY_INT64, NPY_UINT8, NPY_UINT16, NPY_UINT32, NPY_UINT64}) {
        if (equiv(t, num)) return ElementKind::Integer;
    }
    if (t == NPY_BOOL) return ElementKind::Boolean;
    return ElementKind::Other;
}

bool is_integer(NativeType t) noexcept {
    switch (t) {
        case NativeType::I8:
        case NativeType::I16:
        case NativeType::I32:
        case NativeType::I64:
        case NativeType::U8:
        case NativeType::U16:
        case NativeType::U32:
        case NativeType::U64: return true;
        default: return false;
    }
}

std::optional<NativeColumn> native_column(PyObject* array) {
    if (!PyArray_Check(array)) return std::nullopt;
    PyArrayObject* a = as_array(array);
    if (PyArray_NDIM(a) != 1 || !PyArray_ISNOTSWAPPED(a)) return std::nullopt;
    const auto type = native_type_of(PyArray_TYPE(a));
    if (!type) return std::nullopt;
    return NativeColumn{*type, static_cast<const char*>(PyArray_DATA(a)), PyArray_STRIDE(a, 0),
                        static_cast<std::size_t>(PyArray_DIM(a, 0)), static_cast<std::size_t>(PyArray_ITEMSIZE(a))};
}

std::size_t iteration_hint(PyObject* obj) {
    if (PyList_CheckExact(obj)) return static_cast<std::size_t>(PyList_GET_SIZE(obj));
    if (PyTuple_CheckExact(obj)) return static_cast<std::size_t>(PyTuple_GET_SIZE(obj));
    if (PyArray_Check(obj) && PyArray_NDIM(as_array(obj)) > 0) {
        return reserve_for_rows(static_cast<std::size_t>(PyArray_DIM(as_array(obj), 0)));
    }
    return 0;
}

bool convert(PyObject* o, ArrayArg& out) {
    if (!PyArray_Check(o)) return wrong_type(o, "PyUntypedArray");
    out.obj = o;
    return true;
}

// ---- Float64 ----------------------------------------------------------------------

namespace {
constexpr const char* kNotF64Array = "the array must be one-dimensional with dtype float64";
constexpr const char* kNotContiguous = "The given array is not contiguous";
}  // namespace

bool Float64::read(PyObject* o, std::optional<Place>& place, Owned&, bool&) {
    if (!PyArray_Check(o)) return wrong_type(o, "PyUntypedArray");
    PyArrayObject* a = as_array(o);
    if (PyArray_NDIM(a) != 1 || !equiv(PyArray_TYPE(a), NPY_FLOAT64)) {
        PyErr_SetString(PyExc_TypeError, kNotF64Array);
        return false;
    }
    const bool swapped = !PyArray_ISNOTSWAPPED(a);
    place = Place{static_cast<const char*>(PyArray_DATA(a)), static_cast<std::size_t>(PyArray_DIM(a, 0)),
                  PyArray_IS_C_CONTIGUOUS(a) || PyArray_IS_F_CONTIGUOUS(a), !swapped && PyArray_ISALIGNED(a),
                  swapped};
    return true;
}

std::optional<std::span<const double>> Float64::view(const Place& p, std::vector<double>& scratch) {
    if (!p.contiguous) {
        PyErr_SetString(PyExc_TypeError, kNotContiguous);
        return std::nullopt;
    }
    if (p.native) return std::span<const double>(reinterpret_cast<const double*>(p.data), p.n);
    scratch.resize(p.n);
    for (std::size_t i = 0; i < p.n; ++i) {
        unsigned char bytes[8];
        std::memcpy(bytes, p.data + i * 8, 8);
        if (p.swapped) {
            for (int k = 0; k < 4; ++k) std::swap(bytes[k], bytes[7 - k]);
        }
        std::memcpy(&scratch[i], bytes, 8);
    }
    return std::span<const double>(scratch);
}

// ---- Float32 ----------------------------------------------------------------------

bool Float32::read(PyObject* o, std::optional<Place>& place, Owned& owned, bool& ran_code) {
    if (!is_sequence_of_values(o)) return wrong_type(o, "Sequence");
    const auto col = native_column(o);
    if (col && (col->type == NativeType::F32 || col->type == NativeType::F64)) {
        place = *col;
        return true;
    }
    if (col && is_integer(col->type)) {
        f32_values(*col, owned);
        return true;
    }
    ran_code = true;
    return copy_floats(o, owned);
}

std::optional<F32Column> f32_values(const NativeColumn& c, std::vector<float>& scratch) {
    if (c.type == NativeType::F64) return F32Column::float64(c.data, c.stride, c.n);
    if (c.type == NativeType::F32) return F32Column::float32(c.data, c.stride, c.n);
    if (!is_integer(c.type)) return std::nullopt;
    // Python's float conversion of an integer element rounds it to the
    // nearest double; the narrowing to single precision follows.
    scratch.resize(c.n);
    visit_numeric(c, [&](const auto& src) {
        with_packed(src, [&](const auto& s) {
            for (std::size_t i = 0; i < s.size(); ++i) scratch[i] = static_cast<float>(static_cast<double>(s[i]));
        });
    });
    return F32Column::of(scratch);
}

// ---- IntLabels ---------------------------------------------------------------------

namespace {

// Raises the error the scalar converter gives for an out-of-range value, so
// an array element fails exactly like the same value in a list.
template <class T, class V>
bool raise_out_of_range(V value) {
    Ref big = Ref::steal(std::is_signed_v<V> ? PyLong_FromLongLong(static_cast<long long>(value))
                                             : PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(value)));
    if (!big) return false;
    T ignored;
    if (!convert(big.get(), ignored)) return false;
    raise_internal("integer label expected to be out of range");
    return false;
}

// Checks that every element of an integer column fits T; raises the scalar
// converter's OverflowError for the first one that does not.
template <class T>
bool check_range(const NativeColumn& c) {
    return visit_numeric(c, [&](const auto& src) {
        using V = std::remove_cvref_t<decltype(src[0])>;
        if constexpr (!std::is_integral_v<V> || std::is_same_v<std::remove_cvref_t<decltype(src)>, BoolStrided>) {
            return true;
        } else if constexpr (std::in_range<T>(std::numeric_limits<V>::min()) &&
                             std::in_range<T>(std::numeric_limits<V>::max())) {
            return true;  // every value of V fits T
        } else {
            return with_packed(src, [&](const auto& s) {
                bool all = true;
                if constexpr (std::is_same_v<std::remove_cvref_t<decltype(s)>, Packed<std::int64_t>>) {
                    all = detail::kernels::all_within(s.data, s.size(), std::numeric_limits<T>::min(),
                                                      std::numeric_limits<T>::max());
                } else {
                    for (std::size_t i = 0; i < s.size(); ++i) all &= std::in_range<T>(s[i]);
                }
                if (all) return true;
                for (std::size_t i = 0; i < s.size(); ++i) {
                    if (!std::in_range<T>(s[i])) return raise_out_of_range<T>(s[i]);
                }
                return true;
            });
        }
    });
}

template <class T>
constexpr NativeType native_type_of_label() {
    return std::is_same_v<T, std::int8_t> ? NativeType::I8 : NativeType::I32;
}

}  // namespace

template <class T, RangeCheck When>
bool IntLabels<T, When>::read(PyObject* o, std::optional<Place>& place, Owned& owned, bool& ran_code) {
    if (!is_sequence_of_values(o)) return wrong_type(o, "Sequence");
    const auto col = native_column(o);
    if (!col || !is_integer(col->type)) {
        ran_code = true;
        return copy_items(o, owned, [](PyObject* item, T& v) { return convert(item, v); });
    }
    // In place: labels of T itself, or int64 (NumPy's default integer), packed
    // and aligned so that counting loops vectorise.
    const bool own_type = col->type == native_type_of_label<T>() || col->type == NativeType::I64;
    const bool aligned = reinterpret_cast<std::uintptr_t>(col->data) % col->itemsize == 0;
    const bool in_place = own_type && col->contiguous() && aligned;
    const bool late = When == RangeCheck::Counting && in_place && col->type == NativeType::I64;
    if (!late && !check_range<T>(*col)) return false;
    if (in_place) {
        place = *col;
        return true;
    }
    // Every other layout and width is narrowed into a copy (checked above).
    owned.resize(col->n);
    visit_numeric(*col, [&](const auto& src) {
        with_packed(src, [&](const auto& s) {
            for (std::size_t i = 0; i < s.size(); ++i) owned[i] = static_cast<T>(s[i]);
        });
    });
    return true;
}

template <class T, RangeCheck When>
bool IntLabels<T, When>::check_late(PyObject* o)
    requires(When == RangeCheck::Counting)
{
    const auto col = native_column(o);
    return !col || !is_integer(col->type) || check_range<T>(*col);
}

template struct IntLabels<std::int8_t>;
template struct IntLabels<std::int32_t, RangeCheck::Counting>;

// ---- StrLabels ----------------------------------------------------------------------

namespace {
// The snapshot of an exact list and the views of its texts, in one pass over
// the items: each str (scattered in memory, ten million of them a cache
// miss each) is touched once for both. True when done (owned.items null with
// an exception set when an item is no str); false, with no exception set,
// when the list changed size while the snapshot was allocated (a collection
// it triggered may run finalisers), for the caller's other road.
bool snapshot_list_with_views(PyObject* list, StrLabels::Owned& owned) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    Ref tuple = Ref::steal(PyTuple_New(n));
    if (!tuple) return true;
    if (PyList_GET_SIZE(list) != n) return false;
    // The snapshot holds strs only and no one else sees it, so it can be in no
    // reference cycle: kept out of the collector, a collection meanwhile does
    // not walk its items.
    PyObject_GC_UnTrack(tuple.get());
    owned.views.clear();
    owned.views.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        // Reading a text runs no Python code, so the list stays as it is.
        PyObject* item = PyList_GET_ITEM(list, i);
        std::string_view text;
        if (!str_text(item, text)) return true;  // owned.items stays null; the partly filled snapshot is released
        Py_INCREF(item);
        PyTuple_SET_ITEM(tuple.get(), i, item);
        owned.views.push_back(text);
    }
    owned.items = std::move(tuple);
    return true;
}

// ASCII strs' texts viewed in place (ascii_text reads the strs' own fields
// only), so any thread may run it while the caller keeps the lock.
std::size_t fill_ascii_texts(const void* items, std::size_t begin, std::size_t count,
                             std::string_view* out) noexcept {
    PyObject* const* objs = static_cast<PyObject* const*>(items) + begin;
    for (std::size_t j = 0; j < count; ++j) {
        if (!ascii_text(objs[j], out[j])) return j;
    }
    return count;
}

// `borrow_list`: keep an exact list itself, for its consumer to read as it
// then stands (UncheckedStrLabels); not in a build without the interpreter
// lock, where another thread could change the list meanwhile.
bool read_str_labels(PyObject* o, bool check_code_points, bool borrow_list, std::optional<Ucs4Column>& place,
                     StrLabels::Owned& owned, bool& ran_code) {
    owned.borrowed = false;
    if (PyUnicode_Check(o)) return refuse_str_as_sequence();
    if (PyArray_CheckExact(o)) {
        const auto col = native_column(o);
        if (col && col->type == NativeType::Unicode &&
            (!check_code_points || ucs4_all_encodable(ucs4_column(*col)))) {
            place = ucs4_column(*col);
            return true;
        }
    }
    if (!PySequence_Check(o)) return wrong_type(o, "Sequence");
#ifndef Py_GIL_DISABLED
    if (borrow_list && PyList_CheckExact(o)) {
        owned.items = Ref::borrow(o);
        owned.views.clear();
        owned.borrowed = true;
        return true;
    }
#endif
    ran_code = true;
    // The snapshot holds every item: code that later mutates the caller's
    // sequence cannot free a viewed text. An exact list or tuple is copied at
    // its size; anything else is iterated item by item (a row count is no
    // size to allocate for, see reserve_for_rows).
    if (PyTuple_CheckExact(o)) {
        owned.items = Ref::borrow(o);
    } else if (PyList_CheckExact(o)) {
        if (snapshot_list_with_views(o, owned)) return owned.items.get() != nullptr;
        owned.items = Ref::steal(PyList_AsTuple(o));
    } else {
        // Each item is checked as it arrives, so an iterable of endless or
        // countless non-text items (the rows of a (2**40, 0) array) fails at
        // its first item instead of being collected first.
        owned.items = Ref::steal(PyList_New(0));
        PyObject* list = owned.items.get();
        std::string_view text;
        if (list != nullptr && !for_each_item(o, [&](PyObject* item) {
                return str_text(item, text) && PyList_Append(list, item) == 0;
            })) {
            return false;
        }
    }
    if (!owned.items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(owned.items.get());
    PyObject** items = PySequence_Fast_ITEMS(owned.items.get());
    owned.views.clear();
    owned.views.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view text;
        if (!str_text(items[i], text)) return false;  // the UTF-8 text is cached by the str
        owned.views.push_back(text);
    }
    return true;
}
}  // namespace

drift::ItemTexts ListTexts::items() const noexcept {
    return drift::ItemTexts{PySequence_Fast_ITEMS(list), static_cast<std::size_t>(PyList_GET_SIZE(list)),
                            fill_ascii_texts};
}

bool ListTexts::view_all(std::vector<std::string_view>& views) const {
    // Reading a text runs no Python code, so the list stays as it is.
    const Py_ssize_t n = PyList_GET_SIZE(list);
    views.clear();
    views.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string_view text;
        if (!str_text(PyList_GET_ITEM(list, i), text)) return false;
        views.push_back(text);
    }
    return true;
}

bool StrLabels::read(PyObject* o, std::optional<Place>& place, Owned& owned, bool& ran_code) {
    return read_str_labels(o, true, false, place, owned, ran_code);
}

bool UncheckedStrLabels::read(PyObject* o, std::optional<Place>& place, Owned& owned, bool& ran_code) {
    return read_str_labels(o, false, true, place, owned, ran_code);
}

bool UncheckedStrLabels::check_late(PyObject* o) {
    std::optional<Place> place;
    Owned owned;
    bool ran_code = false;
    return StrLabels::read(o, place, owned, ran_code);
}

// ---- AnyNumeric and CountTable ------------------------------------------------------

bool AnyNumeric::read(PyObject* o, std::optional<Place>& place, Owned&, bool&) {
    const auto col = native_column(o);
    if (!col || col->type == NativeType::Unicode) {
        return wrong_type(o, "1-D NumPy array of a numeric or bool dtype in native byte order");
    }
    place = *col;
    return true;
}

bool CountTable::read(PyObject* o, std::optional<Place>& place, Owned&, bool&) {
    if (!PyArray_Check(o)) return wrong_type(o, "2-D NumPy array of counts");
    // A safe cast of an ndarray (subclasses taken as base-class views) runs
    // no user code; an object array does not cast safely and is refused.
    Ref a = Ref::steal(PyArray_FROM_OTF(o, NPY_UINT64, NPY_ARRAY_IN_ARRAY | NPY_ARRAY_ENSUREARRAY));
    if (!a) return false;
    PyArrayObject* t = as_array(a.get());
    if (PyArray_NDIM(t) != 2) {
        PyErr_Format(PyExc_TypeError, "expected a 2-D NumPy array of counts, got %d dimensions", PyArray_NDIM(t));
        return false;
    }
    const View view{static_cast<const std::uint64_t*>(PyArray_DATA(t)), static_cast<std::size_t>(PyArray_DIM(t, 0)),
                    static_cast<std::size_t>(PyArray_DIM(t, 1))};
    place = Place{std::move(a), view};
    return true;
}

}  // namespace lumetra::py
