// Converters, one per argument kind. Each takes a borrowed object and either
// returns the converted value or raises the documented Python error and throws
// `PythonError`. The function-object layer picks them by the C++ parameter
// type of an implementation (see `Convert` in function.hpp); modules also call
// them directly where a conversion happens in the middle of a body.
#pragma once

#include <climits>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "ref.hpp"

namespace vantrel {

static_assert(sizeof(long) == 8, "the converters assume an LP64 platform");

// Integer of a fixed width, accepted "as an int": an int (or subclass) as is,
// anything else through its __int__. Returns a new reference to an int.
inline Ref int_via_dunder_int(PyObject* obj) {
    if (PyLong_Check(obj)) return Ref::borrow(obj);
    PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        raise(PyExc_TypeError, "an integer is required");
    }
    Ref result = Ref::steal(number->nb_int(obj));
    if (!PyLong_Check(result.get())) {
        raise_format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(result.get())->tp_name);
    }
    return result;
}

namespace detail {

// Reads an exact int of at most two digits (below 2**60 in magnitude with
// 30-bit digits) straight from its representation, the way compiled
// extension code commonly does; anything else returns false and goes
// through the C API. The layout differs between 3.11 and 3.12+.
inline bool read_small_int(PyObject* value, long long& out) noexcept {
    if (!PyLong_CheckExact(value)) return false;
    auto* number = reinterpret_cast<PyLongObject*>(value);
#if VANTREL_PY312_PLUS
    const std::uintptr_t tag = number->long_value.lv_tag;
    const std::uintptr_t ndigits = tag >> _PyLong_NON_SIZE_BITS;
    const long long sign = 1 - static_cast<long long>(tag & _PyLong_SIGN_MASK);
    const digit* digits = number->long_value.ob_digit;
#else
    const Py_ssize_t size = Py_SIZE(number);
    const std::size_t ndigits = static_cast<std::size_t>(size < 0 ? -size : size);
    const long long sign = size < 0 ? -1 : (size > 0 ? 1 : 0);
    const digit* digits = number->ob_digit;
#endif
    if (ndigits > 2) return false;
    unsigned long long magnitude = ndigits == 0 ? 0 : digits[0];
    if (ndigits == 2) magnitude |= static_cast<unsigned long long>(digits[1]) << PyLong_SHIFT;
    out = sign * static_cast<long long>(magnitude);
    return true;
}

}  // namespace detail

// Signed 64-bit; out of range raises the interpreter's OverflowError.
inline int64_t int64_from_int(PyObject* value) {
    long long small = 0;
    if (detail::read_small_int(value, small)) return small;
    long result = PyLong_AsLong(value);
    if (result == -1 && PyErr_Occurred()) throw PythonError{};
    return result;
}

inline int64_t to_int64(PyObject* obj) {
    if (PyLong_CheckExact(obj)) return int64_from_int(obj);
    return int64_from_int(int_via_dunder_int(obj).get());
}

// An int as a C long; `overflow` becomes -1 or 1 (and the result
// meaningless) when it lies outside that range.
inline long as_long(PyObject* value, int& overflow) {
    long result = PyLong_AsLongAndOverflow(value, &overflow);
    if (result == -1 && PyErr_Occurred()) throw PythonError{};
    return result;
}

inline int32_t to_int32(PyObject* obj) {
    Ref value = int_via_dunder_int(obj);
    int overflow = 0;
    long result = as_long(value.get(), overflow);
    if (overflow != 0 || result < INT32_MIN || result > INT32_MAX) {
        raise(PyExc_OverflowError, "value too large to convert to int");
    }
    return static_cast<int32_t>(result);
}

inline bool int_is_negative(PyObject* value) {
    int overflow = 0;
    long small = as_long(value, overflow);
    return overflow < 0 || (overflow == 0 && small < 0);
}

// Unsigned 64-bit from an int; a value of 2**64 or more raises the
// interpreter's OverflowError.
inline uint64_t uint64_from_int(PyObject* value) {
    if (int_is_negative(value)) {
        raise(PyExc_OverflowError, "can't convert negative value to uint64_t");
    }
    unsigned long result = PyLong_AsUnsignedLong(value);
    if (result == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw PythonError{};
    return result;
}

inline uint64_t to_uint64(PyObject* obj) {
    if (PyLong_CheckExact(obj)) return uint64_from_int(obj);
    return uint64_from_int(int_via_dunder_int(obj).get());
}

inline uint32_t to_uint32(PyObject* obj) {
    Ref value = int_via_dunder_int(obj);
    if (int_is_negative(value.get())) {
        raise(PyExc_OverflowError, "can't convert negative value to uint32_t");
    }
    int overflow = 0;
    long result = as_long(value.get(), overflow);
    if (overflow != 0 || result > static_cast<long>(UINT32_MAX)) {
        raise(PyExc_OverflowError, "value too large to convert to uint32_t");
    }
    return static_cast<uint32_t>(result);
}

inline double to_double(PyObject* obj) {
    if (PyFloat_CheckExact(obj)) return PyFloat_AS_DOUBLE(obj);
    double result = PyFloat_AsDouble(obj);
    if (result == -1.0 && PyErr_Occurred()) throw PythonError{};
    return result;
}

inline bool to_truth(PyObject* obj) { return check(PyObject_IsTrue(obj)) != 0; }

[[noreturn]] inline void raise_argument_type(const char* param, const char* expected,
                                             PyObject* given) {
    raise_format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 param, expected, Py_TYPE(given)->tp_name);
}

// A parameter annotated `int`: an exact int as is; any other number is
// replaced by int(value); anything else is an argument-type error.
inline Ref to_python_int(PyObject* obj, const char* param) {
    if (PyLong_CheckExact(obj)) return Ref::borrow(obj);
    if (!PyNumber_Check(obj)) raise_argument_type(param, "int", obj);
    return Ref::steal(PyNumber_Long(obj));
}

// Checks a result that must be an int: an int (or None, meaning "nothing") is
// passed on, another number is converted with int(), anything else raises
// "Expected int, got <type>".
inline Ref expect_python_int(Ref result) {
    if (PyLong_Check(result.get()) || result.get() == Py_None) return result;
    if (!PyNumber_Check(result.get())) {
        raise_format(PyExc_TypeError, "Expected %.200s, got %.200s", "int",
                     Py_TYPE(result.get())->tp_name);
    }
    return Ref::steal(PyNumber_Long(result.get()));
}

// As `expect_python_int`, for a result that must be a number: None is an
// error too ("Expected int, got NoneType").
inline Ref expect_int(Ref result) {
    if (result.get() != Py_None) return expect_python_int(std::move(result));
    raise_format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(result.get())->tp_name);
}

inline Ref to_index(PyObject* obj) { return Ref::steal(PyNumber_Index(obj)); }

// Exactly the built-in type (no subclass) or None.
inline PyObject* exact_or_none(PyObject* obj, PyTypeObject* type, const char* param) {
    if (obj != Py_None && Py_TYPE(obj) != type) raise_argument_type(param, type->tp_name, obj);
    return obj;
}

// Parameter kinds whose value is a Python object; the function-object layer
// converts into them by type.
struct PyInt {  // annotated `int`: an exact int
    Ref value;
};
struct Str {  // an exact str or None (borrowed)
    PyObject* object;
};
struct Tuple {  // an exact tuple or None (borrowed)
    PyObject* object;
};
struct List {  // an exact list or None (borrowed)
    PyObject* object;
};

}  // namespace vantrel
