#include <doctest/doctest.h>

#include "binding/borrow.hpp"

using lumetra::py::BorrowFlag;

TEST_CASE("shared borrows stack; an exclusive borrow excludes every other") {
    BorrowFlag flag;
    REQUIRE(flag.try_shared());
    REQUIRE(flag.try_shared());
    CHECK_FALSE(flag.try_exclusive());  // "Already borrowed"
    flag.release_shared();
    CHECK_FALSE(flag.try_exclusive());  // one reader left
    flag.release_shared();
    CHECK(flag.idle());

    REQUIRE(flag.try_exclusive());
    CHECK_FALSE(flag.try_shared());     // "Already mutably borrowed"
    CHECK_FALSE(flag.try_exclusive());  // "Already borrowed"
    flag.release_exclusive();
    CHECK(flag.idle());
    CHECK(flag.try_shared());
}
