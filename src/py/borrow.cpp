#include "py/borrow.hpp"

#include <Python.h>

#include "py/error.hpp"

namespace drovik::py {

BorrowState::Shared BorrowState::shared() {
    int seen = holders_.load(std::memory_order_relaxed);
    do {
        if (seen == kExclusive) raise(PyExc_RuntimeError, "Already mutably borrowed");
    } while (!holders_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire));
    return Shared(this);
}

BorrowState::Exclusive BorrowState::exclusive() {
    int expected = 0;
    if (!holders_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire)) {
        raise(PyExc_RuntimeError, "Already borrowed");
    }
    return Exclusive(this);
}

}  // namespace drovik::py
