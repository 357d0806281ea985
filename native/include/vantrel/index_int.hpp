// Integers taken through operator.index and read without losing width.
//
// Rules of use:
// - `IndexInt` holds the result of operator.index(obj): the object itself
//   (borrowed, no new reference) when it already is an exact int, else the
//   new reference that __index__ produced. It lives no longer than the call
//   that received `obj`.
// - `int_magnitude` reads any int as a sign and, below 2**64, a magnitude,
//   so code can decide on 64-bit values and still tell "wider than 64 bits"
//   (positive or negative) apart from an error. It never raises for an int.
#pragma once

#include <cstdint>

#include "convert.hpp"

namespace vantrel {

class IndexInt {
public:
    explicit IndexInt(PyObject* obj) {
        if (PyLong_CheckExact(obj)) {
            value_ = obj;
        } else {
            owned_ = to_index(obj);
            value_ = owned_.get();
        }
    }

    // Borrowed; valid while this object lives.
    PyObject* get() const noexcept { return value_; }
    // A new reference, for storing the int in a result.
    Ref new_ref() const noexcept { return Ref::borrow(value_); }

private:
    PyObject* value_;
    Ref owned_;
};

struct IntMagnitude {
    int sign;                // -1, 0 or 1
    bool fits;               // the magnitude is below 2**64
    std::uint64_t magnitude; // meaningful when `fits`

    bool negative() const noexcept { return sign < 0; }
    bool positive() const noexcept { return sign > 0; }
};

namespace detail {

// The magnitude of an int known to lie outside the signed 64-bit range.
inline IntMagnitude wide_magnitude(PyObject* value, int sign) {
    Ref absolute = sign < 0 ? Ref::steal(PyNumber_Negative(value)) : Ref::borrow(value);
    unsigned long long magnitude = PyLong_AsUnsignedLongLong(absolute.get());
    if (magnitude == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonError{};
        PyErr_Clear();
        return {sign, false, 0};
    }
    return {sign, true, magnitude};
}

inline IntMagnitude magnitude_of(long long small) noexcept {
    if (small < 0) return {-1, true, 0 - static_cast<std::uint64_t>(small)};
    return {small > 0 ? 1 : 0, true, static_cast<std::uint64_t>(small)};
}

}  // namespace detail

// `value` must be an int (exact or subclass).
inline IntMagnitude int_magnitude(PyObject* value) {
    long long small = 0;
    if (detail::read_small_int(value, small)) return detail::magnitude_of(small);
    int overflow = 0;
    small = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (small == -1 && PyErr_Occurred()) throw PythonError{};
    if (overflow != 0) return detail::wide_magnitude(value, overflow);
    return detail::magnitude_of(small);
}

}  // namespace vantrel
