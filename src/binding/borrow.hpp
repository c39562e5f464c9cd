// The access state of a class instance, kept free of Python headers so its
// rules can be tested on their own; the boundary raises the errors.
#pragma once

namespace lumetra::py {

/// Shared/exclusive access state of one instance. Under the GIL a conflict can
/// only come from a re-entrant call; it is refused, never waited for.
class BorrowFlag {
public:
    bool try_shared() noexcept {
        if (state_ < 0) return false;
        ++state_;
        return true;
    }
    bool try_exclusive() noexcept {
        if (state_ != 0) return false;
        state_ = -1;
        return true;
    }
    void release_shared() noexcept { --state_; }
    void release_exclusive() noexcept { state_ = 0; }
    bool idle() const noexcept { return state_ == 0; }

private:
    long state_ = 0;  // > 0: shared borrows; -1: exclusive
};

}  // namespace lumetra::py
