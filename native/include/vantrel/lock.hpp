// A private threading.Lock held by a native object, called through its bound
// `acquire` and `release` methods looked up once at construction (no attribute
// lookup per operation). Waiting for a contended lock lets other Python
// threads run, as threading.Lock does.
//
// `ThreadLock` is a plain struct of pointers so it can live inside an instance
// struct; the owner calls `create()` in tp_new, `traverse()`/`clear()` from its
// GC slots. `LockGuard` holds the lock for a scope and releases it on every
// exit path.
#pragma once

#include "ref.hpp"

namespace vantrel {

struct ThreadLock {
    PyObject* lock;
    PyObject* acquire_method;
    PyObject* release_method;

    void create() {
        Ref threading = Ref::steal(PyImport_ImportModule("threading"));
        Ref factory = Ref::steal(PyObject_GetAttrString(threading.get(), "Lock"));
        Ref new_lock = Ref::steal(PyObject_CallNoArgs(factory.get()));
        Ref acquire = Ref::steal(PyObject_GetAttrString(new_lock.get(), "acquire"));
        Ref release = Ref::steal(PyObject_GetAttrString(new_lock.get(), "release"));
        lock = new_lock.release();
        acquire_method = acquire.release();
        release_method = release.release();
    }

    void acquire() const { Ref::steal(call_without_arguments(acquire_method)); }
    void release() const { Ref::steal(call_without_arguments(release_method)); }

    // Calls a bound method with no arguments. For the built-in methods of
    // threading.Lock the C function behind the method is called directly,
    // which skips the generic call machinery (a noticeable part of a short
    // critical section); anything else goes through vectorcall.
    static PyObject* call_without_arguments(PyObject* method) noexcept {
        if (PyCFunction_Check(method)) {
            PyCFunction function = PyCFunction_GET_FUNCTION(method);
            PyObject* self = PyCFunction_GET_SELF(method);
            switch (PyCFunction_GET_FLAGS(method) & ~(METH_CLASS | METH_STATIC | METH_COEXIST)) {
                case METH_NOARGS:
                    return function(self, nullptr);
                case METH_VARARGS | METH_KEYWORDS: {
                    static PyObject* const no_arguments = PyTuple_New(0);
                    if (no_arguments == nullptr) break;
                    return reinterpret_cast<PyCFunctionWithKeywords>(reinterpret_cast<void (*)()>(function))(
                        self, no_arguments, nullptr);
                }
                case METH_FASTCALL | METH_KEYWORDS:
                    using FastWithKeywords = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
                    return reinterpret_cast<FastWithKeywords>(reinterpret_cast<void (*)()>(function))(
                        self, nullptr, 0, nullptr);
                default:
                    break;
            }
        }
        return PyObject_Vectorcall(method, nullptr, 0, nullptr);
    }

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(lock);
        Py_VISIT(acquire_method);
        Py_VISIT(release_method);
        return 0;
    }
    void clear() {
        Py_CLEAR(acquire_method);
        Py_CLEAR(release_method);
        Py_CLEAR(lock);
    }
};

// GC slots of a native object whose only references the collector sees are
// those of its ThreadLock member `lock`.
template <class T>
int traverse_lock(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return reinterpret_cast<T*>(self)->lock.traverse(visit, arg);
}
template <class T>
int clear_lock(PyObject* self) {
    reinterpret_cast<T*>(self)->lock.clear();
    return 0;
}

class LockGuard {
public:
    explicit LockGuard(const ThreadLock& lock) : lock_(lock) { lock_.acquire(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

    // Releases now, reporting a failure to release as an exception.
    void unlock() {
        held_ = false;
        lock_.release();
    }

    ~LockGuard() {
        if (!held_) return;
        // Leaving by an exception: keep that one; a failure to release on top
        // of it can only be reported as unraisable.
        ErrorSaver saver;
        PyObject* result = ThreadLock::call_without_arguments(lock_.release_method);
        if (result == nullptr) {
            PyErr_WriteUnraisable(lock_.lock);
        } else {
            Py_DECREF(result);
        }
    }

private:
    const ThreadLock& lock_;
    bool held_ = true;
};

}  // namespace vantrel
