// Owned references and the error boundary.
//
// Rules of use:
// - A `Ref` owns exactly one strong reference (or nothing) and releases it in
//   its destructor. Its constructors say where the reference comes from:
//   `Ref::steal(p)` takes over a new reference returned by the C API and throws
//   `PythonError` when `p` is null (the API has set an error); `Ref::borrow(p)`
//   takes a new reference to a borrowed pointer.
// - Inside a module, a failed C-API call throws `PythonError` ("a Python error
//   is set"). Every entry point seen by the interpreter is `noexcept` and turns
//   the exception into NULL or -1 through `boundary()`.
#pragma once

#include <new>
#include <utility>

#include "python.hpp"

namespace vantrel {

// Thrown after a Python exception has been set; carries nothing itself.
struct PythonError {};

// Sets `type` with `message` and throws.
[[noreturn]] inline void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw PythonError{};
}

template <class... Args>
[[noreturn]] inline void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PythonError{};
}

// Throws when a C-API status means failure (-1 with an error set).
inline int check(int status) {
    if (status < 0) throw PythonError{};
    return status;
}

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref& other) noexcept : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    ~Ref() { Py_XDECREF(ptr_); }

    Ref& operator=(Ref other) noexcept {
        std::swap(ptr_, other.ptr_);
        return *this;
    }

    // Takes over a new reference; a null pointer means the call that produced
    // it has failed and set an error.
    static Ref steal(PyObject* ptr) {
        if (ptr == nullptr) throw PythonError{};
        return Ref(ptr);
    }
    // Takes over a new reference that may legitimately be null.
    static Ref steal_or_null(PyObject* ptr) noexcept { return Ref(ptr); }
    // Takes a new reference to a borrowed pointer (null allowed).
    static Ref borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Gives the reference to the caller (for returning from an entry point).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    void reset() noexcept { Py_CLEAR(ptr_); }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

// An interned string kept for the life of the process (attribute and method
// names used on hot paths are created once, at module initialisation).
inline PyObject* interned(const char* text) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (name == nullptr) throw PythonError{};
    return name;
}

inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool value) noexcept { return Ref::borrow(value ? Py_True : Py_False); }

// Runs `body` and translates the C++ exceptions of the layer into the
// interpreter's convention: `failure` is returned with a Python error set.
template <class Result, class Body>
Result boundary(Result failure, Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonError&) {
        return failure;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return failure;
    }
}

// Saves the current exception (if any) for the lifetime of the object and puts
// it back afterwards, so cleanup code may call into Python while an error is
// propagating.
class ErrorSaver {
public:
#if VANTREL_PY312_PLUS
    ErrorSaver() noexcept : exc_(PyErr_GetRaisedException()) {}
    ~ErrorSaver() {
        if (exc_ != nullptr) PyErr_SetRaisedException(exc_);
    }
#else
    ErrorSaver() noexcept { PyErr_Fetch(&type_, &exc_, &traceback_); }
    ~ErrorSaver() {
        if (type_ != nullptr) PyErr_Restore(type_, exc_, traceback_);
    }
#endif
    ErrorSaver(const ErrorSaver&) = delete;
    ErrorSaver& operator=(const ErrorSaver&) = delete;

private:
#if !VANTREL_PY312_PLUS
    PyObject* type_ = nullptr;
    PyObject* traceback_ = nullptr;
#endif
    PyObject* exc_ = nullptr;
};

}  // namespace vantrel
