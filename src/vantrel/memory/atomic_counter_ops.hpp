// The six atomic operations of AtomicCounter on a 64-bit cell, as plain C++.
// Every operation is one sequentially consistent atomic instruction; arithmetic
// wraps modulo 2**64. They take no lock and cannot fail.
#pragma once

#include <atomic>
#include <cstdint>

namespace vantrel::atomics {

using Cell = int64_t;

inline int64_t wrapping_add(int64_t a, int64_t b) noexcept {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrapping_sub(int64_t a, int64_t b) noexcept {
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

inline int64_t load(Cell& cell) noexcept { return std::atomic_ref<Cell>(cell).load(); }
inline void store(Cell& cell, int64_t value) noexcept { std::atomic_ref<Cell>(cell).store(value); }

// Returns the new value.
inline int64_t increment(Cell& cell, int64_t delta) noexcept {
    return wrapping_add(std::atomic_ref<Cell>(cell).fetch_add(delta), delta);
}
inline int64_t decrement(Cell& cell, int64_t delta) noexcept {
    return wrapping_sub(std::atomic_ref<Cell>(cell).fetch_sub(delta), delta);
}

// Returns the value before the addition.
inline int64_t fetch_and_add(Cell& cell, int64_t delta) noexcept {
    return std::atomic_ref<Cell>(cell).fetch_add(delta);
}

// Strong compare-exchange: true exactly when the value was `expected` and is
// now `desired`.
inline bool compare_and_swap(Cell& cell, int64_t expected, int64_t desired) noexcept {
    return std::atomic_ref<Cell>(cell).compare_exchange_strong(expected, desired);
}

}  // namespace vantrel::atomics
