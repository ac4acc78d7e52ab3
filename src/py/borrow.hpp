// The borrow state every object of the module carries. Calls keep the GIL, so
// conflicts come only from re-entrant calls (Python code run by an argument's
// conversion) or from the few calls that release the GIL while they wait.
#pragma once

#include <atomic>

namespace drovik::py {

class BorrowState {
public:
    class Shared;
    class Exclusive;

    // Raise RuntimeError "Already mutably borrowed" / "Already borrowed" on conflict.
    Shared shared();
    Exclusive exclusive();

private:
    static constexpr int kExclusive = -1;
    std::atomic<int> holders_{0};  // shared holders, or kExclusive
};

class BorrowState::Shared {
public:
    Shared(Shared&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;
    ~Shared() {
        if (state_ != nullptr) state_->holders_.fetch_sub(1, std::memory_order_release);
    }

private:
    friend class BorrowState;
    explicit Shared(BorrowState* state) noexcept : state_(state) {}
    BorrowState* state_;
};

class BorrowState::Exclusive {
public:
    Exclusive(Exclusive&& other) noexcept : state_(other.state_) { other.state_ = nullptr; }
    Exclusive(const Exclusive&) = delete;
    Exclusive& operator=(const Exclusive&) = delete;
    ~Exclusive() {
        if (state_ != nullptr) state_->holders_.store(0, std::memory_order_release);
    }

private:
    friend class BorrowState;
    explicit Exclusive(BorrowState* state) noexcept : state_(state) {}
    BorrowState* state_;
};

}  // namespace drovik::py
