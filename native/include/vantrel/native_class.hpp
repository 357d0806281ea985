// Native classes: heap types created from a PyType_Spec, immutable (like
// built-in types: attributes cannot be replaced on the class, so a method
// looked up on an exact instance is the class's own), subclassable from
// Python, without instance dictionary, with their methods as the package's
// function objects and pickling/copying refused.
//
// Instance structs start with PyObject_HEAD and keep their class in
// `static inline PyTypeObject* type` (one interpreter per process, so one
// class object per process). Object fields are plain pointers released by
// tp_clear/tp_dealloc.
#pragma once

#include <initializer_list>
#include <utility>

#include "function.hpp"

namespace vantrel {

namespace detail {

[[noreturn]] inline void refuse_pickling() {
    raise(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
}
inline Ref reduce_impl(PyObject*) { refuse_pickling(); }
inline Ref setstate_impl(PyObject*, PyObject*) { refuse_pickling(); }

inline constexpr Param setstate_params[] = {{"self"}, {"state"}};
inline constexpr Param reduce_params[] = {{"self"}};

}  // namespace detail

// The function object describing the constructor of T, when T's arguments
// are bound (see `bound_new`).
template <class T>
inline PyObject* constructor_of = nullptr;

// A method definition placed in a class under `name`, which may differ from
// the function's own __name__ (aliases such as `py_load`).
struct ClassEntry {
    const char* name;
    const FunctionDef* def;
};

// Creates the class from `type_spec`, stores it in `T::type` and adds the methods
// (each FunctionDef becomes one function object; entries naming the same
// FunctionDef share that object) and the pickling refusal.
// `constructor`, when given, describes tp_new's arguments (named "__cinit__"
// in errors); its implementation takes the class to instantiate first.
template <class T>
Ref create_class(PyType_Spec& type_spec, std::initializer_list<ClassEntry> entries,
                 const FunctionDef* constructor = nullptr) {
    static const FunctionDef reduce{"__reduce__", nullptr, nullptr, detail::reduce_params, nullptr,
                                    bind<&detail::reduce_impl>()};
    static const FunctionDef setstate{"__setstate__", nullptr, nullptr, detail::setstate_params, nullptr,
                                      bind<&detail::setstate_impl>()};
    Ref type = Ref::steal(PyType_FromSpec(&type_spec));
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    Ref module = Ref::steal(PyObject_GetAttrString(type.get(), "__module__"));
    Ref made = Ref::steal(PyDict_New());  // FunctionDef address -> function object
    auto add = [&](const char* name, const FunctionDef& def) {
        Ref key = Ref::steal(PyLong_FromVoidPtr(const_cast<FunctionDef*>(&def)));
        Ref function = Ref::borrow(PyDict_GetItemWithError(made.get(), key.get()));
        if (!function) {
            if (PyErr_Occurred()) throw PythonError{};
            function = make_function(def, module.get());
            check(PyDict_SetItem(made.get(), key.get(), function.get()));
        }
        check(PyDict_SetItemString(tp->tp_dict, name, function.get()));
    };
    for (const ClassEntry& entry : entries) add(entry.name, *entry.def);
    add("__reduce__", reduce);
    add("__setstate__", setstate);
    if (constructor != nullptr) constructor_of<T> = make_function(*constructor, module.get()).release();
    PyType_Modified(tp);
    T::type = tp;
    return type;
}

// tp_dealloc for classes whose instances hold no references.
template <class T>
void plain_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// tp_dealloc for GC classes: untracks, runs tp_clear, frees.
template <class T, int (*Clear)(PyObject*)>
void gc_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    Clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

// tp_new that binds its arguments to the constructor description of T.
template <class T>
PyObject* bound_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return detail::construct(constructor_of<T>, type, args, kwargs);
}

// Allocates an instance of `type` (possibly a Python subclass); the caller
// fills it in. Fields are zeroed by the allocator.
inline Ref allocate(PyTypeObject* type) { return Ref::steal(type->tp_alloc(type, 0)); }

template <class T>
T* instance(const Ref& object) noexcept {
    return reinterpret_cast<T*>(object.get());
}

// Adds a plain attribute to a class after its creation (classes are
// immutable from Python).
inline void add_class_attribute(PyTypeObject* type, const char* name, const Ref& value) {
    check(PyDict_SetItemString(type->tp_dict, name, value.get()));
    PyType_Modified(type);
}

}  // namespace vantrel
