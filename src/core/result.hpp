// Result<T, E>: the value-or-error type every computing function returns.
// The core never throws on bad input; the Python boundary turns the error
// half into an exception through one table.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>

namespace lumetra {

/// Marks an error when constructing a Result whose T and E could be confused.
template <class E>
struct Err {
    E error;
};
template <class E>
Err(E) -> Err<E>;

/// A computed value of type T or an error value of type E.
template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
    template <class F>
    Result(Err<F> err) : v_(std::in_place_index<1>, E(std::move(err.error))) {}  // NOLINT
    Result(E err)  // NOLINT: implicit so `return SomeError::X;` reads naturally
        requires(!std::is_same_v<T, E>)
        : v_(std::in_place_index<1>, std::move(err)) {}

    /// True when a value is held.
    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }

    /// The value; only when ok().
    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    /// The error; only when !ok().
    const E& error() const& { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, E> v_;
};

/// Success-or-error for operations that produce no value.
template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    Result(E err) : err_(std::move(err)) {}  // NOLINT
    template <class F>
    Result(Err<F> err) : err_(E(std::move(err.error))) {}  // NOLINT

    /// True when no error is held.
    bool ok() const noexcept { return !err_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    /// The error; only when !ok().
    const E& error() const& { return *err_; }
    E&& error() && { return std::move(*err_); }

private:
    // optional, so error types without a default value (ModelPerformanceError) fit.
    std::optional<E> err_;
};

namespace detail {
/// Errors of a few plain bytes, kept packed in one integer by Result<void, E>.
template <class E>
concept SmallError = std::is_trivially_copyable_v<E> && std::has_unique_object_representations_v<E> &&
                     sizeof(E) < sizeof(std::uint64_t);
}  // namespace detail

/// The same for small errors (an error kind and a detail byte): the error's
/// bytes and a flag in one integer. Held as separate bytes, such a result is
/// returned in a register, then written to memory a byte at a time and read
/// back whole, which the processor cannot forward from the stores: a stall
/// on every call, the larger part of a monitor's push.
template <class E>
    requires detail::SmallError<E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    Result(E err) noexcept : word_(pack(err)) {}  // NOLINT
    template <class F>
    Result(Err<F> err) noexcept : word_(pack(E(std::move(err.error)))) {}  // NOLINT

    /// True when no error is held.
    bool ok() const noexcept { return word_ == 0; }
    explicit operator bool() const noexcept { return ok(); }
    /// The error; only when !ok().
    E error() const noexcept {
        std::array<unsigned char, sizeof(E)> bytes;
        for (std::size_t i = 0; i < sizeof(E); ++i) bytes[i] = static_cast<unsigned char>(word_ >> (8 * (i + 1)));
        return std::bit_cast<E>(bytes);
    }

private:
    static std::uint64_t pack(E err) noexcept {
        const auto bytes = std::bit_cast<std::array<unsigned char, sizeof(E)>>(err);
        std::uint64_t word = 1;  // the flag: never 0 with an error
        for (std::size_t i = 0; i < sizeof(E); ++i) word |= std::uint64_t{bytes[i]} << (8 * (i + 1));
        return word;
    }
    std::uint64_t word_ = 0;
};

}  // namespace lumetra

/// Evaluates `expr` (a Result); on error returns the error from the enclosing
/// function, otherwise binds the value to `decl`.
#define LUMETRA_CONCAT_INNER(a, b) a##b
#define LUMETRA_CONCAT(a, b) LUMETRA_CONCAT_INNER(a, b)
#define LUMETRA_TRY(decl, expr) LUMETRA_TRY_IMPL(LUMETRA_CONCAT(lumetra_try_, __LINE__), decl, expr)
#define LUMETRA_TRY_IMPL(tmp, decl, expr)          \
    auto tmp = (expr);                             \
    if (!tmp.ok()) return std::move(tmp).error();  \
    decl = std::move(tmp).value()

/// Same for Results without a value.
#define LUMETRA_CHECK(expr)                                                   \
    do {                                                                      \
        auto lumetra_check_ = (expr);                                         \
        if (!lumetra_check_.ok()) return std::move(lumetra_check_).error();   \
    } while (0)
