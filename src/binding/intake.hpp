// Intake of array arguments. Reading an array has two steps: describing its
// buffer (dtype, layout, address), which needs the interpreter, and walking it
// (range and encoding checks, narrowing copies, the computation itself),
// which is plain C++ over the description and the core's view types. Arrays
// that cannot be read in place, and every other sequence, are copied by
// Python iteration instead.
//
// Every array argument is a Column<Reader>, one reader per element shape:
// Float64 (drift baselines and runtime data), Float32 (values narrowed to
// single precision), IntLabels<T> (integer labels), StrLabels (string
// labels), and for the package's kernels AnyNumeric (a column of any numeric
// or bool dtype, dispatched on by its reader) and CountTable (a table of
// counts). OrNone<...> lets None stand for an absent column. A column is
// converted in two phases. Converting reads it: a
// qualifying array is described and kept in place, anything else is copied.
// Once every argument is converted, the binder settles the columns kept in
// place (binding/binding.hpp): if any conversion may have run user code, which
// can resize, retype or rewrite an array, each of them is read again as it now
// stands.
#pragma once

#include "binding/numpy_api.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

#include "core/drift.hpp"
#include "core/intake.hpp"
#include "core/model_perf.hpp"
#include "binding/convert.hpp"
#include "binding/gil.hpp"
#include "binding/ref.hpp"

namespace lumetra::py {

// ---- describing a buffer -------------------------------------------------------

/// The element kind of a NumPy array, decided from its dtype.
ElementKind determine_type(PyObject* array);

/// Native element types whose 1-D buffers are read directly.
enum class NativeType : std::uint8_t { F32, F64, I8, I16, I32, I64, U8, U16, U32, U64, Bool, Unicode };

/// True for the eight integer types.
bool is_integer(NativeType t) noexcept;

/// A 1-D array in native byte order with a directly readable dtype. Reading
/// it gives the same values as Python iteration of the array would.
struct NativeColumn {
    NativeType type;
    const char* data;
    std::ptrdiff_t stride;
    std::size_t n;
    std::size_t itemsize;

    bool contiguous() const noexcept { return stride == static_cast<std::ptrdiff_t>(itemsize); }
};

/// The direct-read description of `array`, or nullopt when the array must be
/// read by Python iteration (other shapes, byte-swapped, other dtypes).
std::optional<NativeColumn> native_column(PyObject* array);

/// A boolean column read as 0/1 bytes: any non-zero byte is true, as NumPy's
/// own truth conversion of a bool element has it.
struct BoolStrided {
    const char* data;
    std::ptrdiff_t stride;
    std::size_t n;
    std::size_t size() const noexcept { return n; }
    std::uint8_t operator[](std::size_t i) const noexcept {
        return static_cast<std::uint8_t>(data[static_cast<std::ptrdiff_t>(i) * stride] != 0);
    }
};

/// Calls f(view) with a Strided<T> of the column's numeric element type, or a
/// BoolStrided for booleans. Must not be called for Unicode columns.
template <class F>
decltype(auto) visit_numeric(const NativeColumn& c, F&& f) {
    auto view = [&](auto tag) {
        using T = decltype(tag);
        return Strided<T>{c.data, c.stride, c.n};
    };
    switch (c.type) {
        case NativeType::F32: return f(view(float{}));
        case NativeType::F64: return f(view(double{}));
        case NativeType::I8: return f(view(std::int8_t{}));
        case NativeType::I16: return f(view(std::int16_t{}));
        case NativeType::I32: return f(view(std::int32_t{}));
        case NativeType::I64: return f(view(std::int64_t{}));
        case NativeType::U8: return f(view(std::uint8_t{}));
        case NativeType::U16: return f(view(std::uint16_t{}));
        case NativeType::U32: return f(view(std::uint32_t{}));
        case NativeType::U64: return f(view(std::uint64_t{}));
        case NativeType::Bool:
        case NativeType::Unicode: break;
    }
    return f(BoolStrided{c.data, c.stride, c.n});
}

/// The values of a numeric column in single precision: float32 and float64
/// viewed in place, integers narrowed through double (as Python's float
/// conversion of each element gives them) into `scratch`, which the view then
/// shows. nullopt for bool and unicode columns, which are not numbers here.
std::optional<F32Column> f32_values(const NativeColumn& c, std::vector<float>& scratch);

/// The column as UCS-4 strings (type must be Unicode).
inline Ucs4Column ucs4_column(const NativeColumn& c) { return Ucs4Column{c.data, c.stride, c.n, c.itemsize / 4}; }

// ---- Python iteration -----------------------------------------------------------

/// How many items to reserve for a Python iteration expected to yield `rows`.
/// A row count alone is no evidence of memory (a (2**40, 0) array has no
/// elements, and the first row may fail to convert), so it is capped; the
/// vector grows past the cap as items actually arrive.
inline std::size_t reserve_for_rows(std::size_t rows) noexcept {
    constexpr std::size_t kCap = std::size_t{1} << 16;
    return rows < kCap ? rows : kCap;
}

/// How many items Python iteration of `obj` yields, when cheaply known (a
/// reservation hint, capped for arrays by reserve_for_rows).
std::size_t iteration_hint(PyObject* obj);

/// Walks the items Python iteration of `obj` yields, handing each to `take`,
/// which returns false with an exception set to stop. An exact list is walked
/// by index with each item held while `take` runs: user code may shrink or
/// clear the list, which ends the walk as the list's iterator would. Exact
/// tuples are walked in place; anything else through its iterator.
template <class Take>
bool for_each_item(PyObject* obj, Take&& take) {
    if (PyList_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
            Ref item = Ref::borrow(PyList_GET_ITEM(obj, i));
            if (!take(item.get())) return false;
        }
        return true;
    }
    if (PyTuple_CheckExact(obj)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i) {
            if (!take(PyTuple_GET_ITEM(obj, i))) return false;
        }
        return true;
    }
    Ref it = Ref::steal(PyObject_GetIter(obj));
    if (!it) return false;
    while (true) {
        Ref item = Ref::steal(PyIter_Next(it.get()));
        if (!item) return !PyErr_Occurred();
        if (!take(item.get())) return false;
    }
}

/// Copies the items Python iteration of `obj` yields, each through
/// conv(item, T&) (false with an exception set to stop).
template <class T, class Conv>
bool copy_items(PyObject* obj, std::vector<T>& out, Conv&& conv) {
    out.clear();
    out.reserve(iteration_hint(obj));
    return for_each_item(obj, [&](PyObject* item) {
        T v{};
        if (!conv(item, v)) return false;
        out.push_back(std::move(v));
        return true;
    });
}

/// Copies items with Python's float conversion, narrowed to T (float or double).
template <class T>
bool copy_floats(PyObject* obj, std::vector<T>& out) {
    return copy_items(obj, out, [](PyObject* item, T& v) {
        double d;
        if (!convert(item, d)) return false;
        v = static_cast<T>(d);
        return true;
    });
}

// ---- array arguments ----------------------------------------------------------------

/// A NumPy array of any dtype and shape, kept as it is for a reader that reads
/// it later (segmentation, the performance functions).
struct ArrayArg {
    static constexpr bool kInert = true;
    PyObject* obj = nullptr;
};
bool convert(PyObject* o, ArrayArg& out);

/// An array argument read by `Reader` (see the readers below), in place or copied.
template <class Reader>
class Column {
public:
    using Place = typename Reader::Place;
    using Owned = typename Reader::Owned;

    /// Reads `o`: described and kept in place when it qualifies, otherwise
    /// copied. False with an exception set.
    bool read(PyObject* o) {
        obj_ = o;
        place_.reset();
        ran_code_ = false;
        return Reader::read(o, place_, owned_, ran_code_);
    }
    /// Reads a column kept in place again, as it now stands; sets `ran_code`
    /// when that read had to copy it by Python iteration.
    bool settle(bool& ran_code) {
        if (!place_) return true;
        if (!read(obj_)) return false;
        ran_code = ran_code || ran_code_;
        return true;
    }
    /// Whether reading it may have run user code (it was copied by iteration).
    bool ran_code() const noexcept { return ran_code_; }
    /// Runs a check the reader left to the consumer (see RangeCheck), for a
    /// column read in place; false with an exception set when it fails.
    bool check_late() const {
        if constexpr (requires { Reader::check_late(obj_); }) {
            return !(place_ || borrows()) || Reader::check_late(obj_);
        } else {
            return true;
        }
    }
    bool in_place() const noexcept { return place_.has_value(); }

    /// Calls f with the column's view (the reader's view types).
    template <class F>
    decltype(auto) visit(F&& f) const {
        return Reader::visit(place_, owned_, f);
    }
    /// The view itself, for readers whose views all have one type.
    auto view() const {
        return visit([](const auto& v) { return v; });
    }

private:
    // Whether the owned part is the caller's object itself, read by the consumer.
    bool borrows() const noexcept {
        if constexpr (requires { owned_.borrowed; }) {
            return owned_.borrowed;
        } else {
            return false;
        }
    }

    PyObject* obj_ = nullptr;
    std::optional<Place> place_;
    Owned owned_;
    bool ran_code_ = false;
};

template <class Reader>
bool convert(PyObject* o, Column<Reader>& out) {
    return out.read(o);
}

/// An array argument that may be None (or omitted): no column then.
template <class C>
class OrNone {
public:
    bool read(PyObject* o) {
        if (o == Py_None) {
            column_.reset();
            return true;
        }
        return convert(o, column_.emplace());
    }
    bool settle(bool& ran_code) { return !column_ || column_->settle(ran_code); }
    bool ran_code() const noexcept { return column_ && column_->ran_code(); }
    /// The column, or null when None was given.
    const C* get() const noexcept { return column_ ? &*column_ : nullptr; }

private:
    std::optional<C> column_;
};

template <class C>
bool convert(PyObject* o, OrNone<C>& out) {
    return out.read(o);
}

template <class T>
struct is_column : std::false_type {};
template <class Reader>
struct is_column<Column<Reader>> : std::true_type {};

/// Calls f(args...) with each column argument replaced by its view; other
/// arguments pass as they are.
template <class F>
decltype(auto) with_views(F&& f) {
    return f();
}
template <class F, class First, class... Rest>
decltype(auto) with_views(F&& f, const First& first, const Rest&... rest) {
    auto next = [&](const auto& view) -> decltype(auto) {
        return with_views([&](const auto&... views) -> decltype(auto) { return f(view, views...); }, rest...);
    };
    if constexpr (is_column<First>::value) {
        return first.visit(next);
    } else {
        return next(first);
    }
}

// ---- the readers ------------------------------------------------------------------------

/// A 1-D float64 NumPy array (anything else is refused with TypeError). It is
/// always kept in place; its view is its own memory when native and aligned,
/// else a byte-swapped or realigned copy. A non-contiguous array is refused
/// when it is viewed.
struct Float64 {
    struct Place {
        const char* data;
        std::size_t n;
        bool contiguous;
        bool native;  // native byte order and aligned
        bool swapped;
    };
    struct Owned {
        mutable std::vector<double> scratch;
    };
    static bool read(PyObject* o, std::optional<Place>& place, Owned& owned, bool& ran_code);
    /// f(std::span<const double>), or nullptr with TypeError for a non-contiguous array.
    template <class F>
    static PyObject* visit(const std::optional<Place>& place, const Owned& owned, F&& f) {
        const auto values = view(*place, owned.scratch);
        if (!values) return nullptr;
        return f(*values);
    }
    static std::optional<std::span<const double>> view(const Place& place, std::vector<double>& scratch);
};

/// What the readers of native columns share: an in-place column is described
/// by its NativeColumn, a copy is a vector of T.
template <class T>
struct NativeReader {
    using Place = NativeColumn;
    using Owned = std::vector<T>;
};

/// Values narrowed to single precision, viewed as an F32Column: a 1-D float32
/// or float64 array in place (any stride); integer arrays through double into
/// a copy, as Python's float conversion gives them; any other sequence by
/// Python iteration with float conversion of each item. A str or a
/// non-sequence is refused.
struct Float32 : NativeReader<float> {
    static bool read(PyObject* o, std::optional<Place>& place, Owned& owned, bool& ran_code);
    template <class F>
    static decltype(auto) visit(const std::optional<Place>& place, const Owned& owned, F&& f) {
        if (!place) return f(F32Column::of(owned));
        if (place->type == NativeType::F64) return f(F32Column::float64(place->data, place->stride, place->n));
        return f(F32Column::float32(place->data, place->stride, place->n));
    }
};

/// When the range of NumPy's default integers is checked against narrower labels.
enum class RangeCheck {
    OnRead,    ///< as the column is read (a pass of its own)
    Counting,  ///< by the consumer while it counts (see UncheckedInt64)
};

/// Integer labels of type T (int8 or int32): an aligned contiguous array of T
/// or int64 in place (int64 after a range check), other integer arrays
/// narrowed into a copy after the same check, any other sequence by Python
/// iteration with T's integer conversion of each item. A value out of T's
/// range raises the OverflowError that converting it alone raises. A str or a
/// non-sequence is refused.
///
/// With RangeCheck::Counting an int64 array in place is viewed unchecked, as
/// UncheckedInt64, and its consumer checks it in its counting pass. When the
/// call fails for any reason, the binder first runs the check of every such
/// argument in parameter order (`check_late`), so a value out of range still
/// raises its OverflowError ahead of any other error, as with OnRead.
template <class T, RangeCheck When = RangeCheck::OnRead>
struct IntLabels : NativeReader<T> {
    using typename NativeReader<T>::Place;
    using typename NativeReader<T>::Owned;
    static bool read(PyObject* o, std::optional<Place>& place, Owned& owned, bool& ran_code);
    /// f(Packed<T>), and f(Packed<std::int64_t>) or f(UncheckedInt64).
    template <class F>
    static decltype(auto) visit(const std::optional<Place>& place, const Owned& owned, F&& f) {
        if (!place) return f(Packed<T>{owned.data(), owned.size()});
        if (place->type == NativeType::I64) {
            const auto* data = reinterpret_cast<const std::int64_t*>(place->data);
            if constexpr (When == RangeCheck::Counting) {
                return f(UncheckedInt64{data, place->n});
            } else {
                return f(Packed<std::int64_t>{data, place->n});
            }
        }
        return f(Packed<T>{reinterpret_cast<const T*>(place->data), place->n});
    }
    /// The late range check of `o` as it stands now (it is described afresh:
    /// user code may have changed it since it was read). False with the
    /// OverflowError set.
    static bool check_late(PyObject* o)
        requires(When == RangeCheck::Counting);
};

/// String labels: a NumPy unicode array (exactly ndarray: a subclass may
/// iterate its own way) whose code points all have a UTF-8 form is read in
/// place as UCS-4; any other sequence is snapshotted by Python iteration, then
/// each item must be a str, whose UTF-8 text is viewed while the snapshot
/// holds it. A str is refused.
struct StrLabels {
    using Place = Ucs4Column;
    struct Owned {
        Ref items;  // a tuple or a list
        std::vector<std::string_view> views;
        // `items` is the caller's exact list itself, whose texts are read
        // where they are (see UncheckedStrLabels); `views` is empty.
        bool borrowed = false;
    };
    static bool read(PyObject* o, std::optional<Place>& place, Owned& owned, bool& ran_code);
    /// f(const Ucs4Column&) or f(std::span<const std::string_view>).
    template <class F>
    static decltype(auto) visit(const std::optional<Place>& place, const Owned& owned, F&& f) {
        if (place) return f(*place);
        return f(std::span<const std::string_view>(owned.views));
    }
};

/// An exact list of labels whose texts are read where they are, with the
/// interpreter lock kept (see UncheckedStrLabels).
struct ListTexts {
    PyObject* list;
    /// The items as the core reads them: each compact ASCII str's text
    /// viewed in place, on any thread, while the caller keeps the lock; any
    /// other item (no str, a non-ASCII str, a str laid out otherwise, as a
    /// subclass's is) is unreadable there.
    drift::ItemTexts items() const noexcept;
    /// Every item's UTF-8 text viewed, under the lock; false with the error
    /// set at the first item that is no str or has no UTF-8 form.
    bool view_all(std::vector<std::string_view>& views) const;
};

/// StrLabels whose unicode array in place is not checked for code points
/// without a UTF-8 form as it is read: its consumer bins it checking each
/// distinct cell as it first meets it (drift::Labels with a flag), instead of
/// a pass over every code point. When the call fails for any reason, the
/// binder runs `check_late`, which reads the argument as StrLabels does, so
/// such a code point still raises its UnicodeEncodeError ahead of any other
/// error. An exact list is neither snapshotted nor viewed as it is read: the
/// consumer reads its items' texts where they are (ListTexts), as the list
/// stands then, with the interpreter lock kept, so nothing can replace an
/// item and free its str meanwhile; `check_late` reads it too, so an item
/// that is no str still raises its TypeError ahead of any other error.
struct UncheckedStrLabels : StrLabels {
    static bool read(PyObject* o, std::optional<Place>& place, Owned& owned, bool& ran_code);
    /// As StrLabels::visit, or f(ListTexts) for a borrowed list, with the
    /// interpreter lock kept until f returns.
    template <class F>
    static decltype(auto) visit(const std::optional<Place>& place, const Owned& owned, F&& f) {
        if (!place && owned.borrowed) {
            const KeepLock keep;
            return f(ListTexts{owned.items.get()});
        }
        return StrLabels::visit(place, owned, f);
    }
    /// Reads `o` as StrLabels would; false with its error set.
    static bool check_late(PyObject* o);
};

/// A 1-D NumPy array of any numeric or bool dtype in native byte order, read
/// in place at its own stride; anything else (a list, another shape or
/// dtype, a byte-swapped array) is refused with TypeError. For kernels that
/// dispatch on the element type themselves (visit_numeric): the view is the
/// NativeColumn.
struct AnyNumeric {
    using Place = NativeColumn;
    struct Owned {};
    static bool read(PyObject* o, std::optional<Place>& place, Owned& owned, bool& ran_code);
    template <class F>
    static decltype(auto) visit(const std::optional<Place>& place, const Owned&, F&& f) {
        return f(*place);
    }
};

/// Counts in rows of equal width: a 2-D NumPy array of an integer dtype that
/// casts safely to uint64, viewed C-contiguous (NumPy copies it when it must).
/// Other dtypes raise NumPy's casting TypeError, other shapes a TypeError.
struct CountTable {
    struct View {
        const std::uint64_t* cells;
        std::size_t rows;
        std::size_t width;
    };
    struct Place {
        Ref array;  // the input itself, or NumPy's contiguous uint64 copy of it
        View view;
    };
    struct Owned {};
    static bool read(PyObject* o, std::optional<Place>& place, Owned& owned, bool& ran_code);
    template <class F>
    static decltype(auto) visit(const std::optional<Place>& place, const Owned&, F&& f) {
        return f(place->view);
    }
};

}  // namespace lumetra::py
