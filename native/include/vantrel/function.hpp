// The function object of the package: a vectorcall callable built from a
// `FunctionDef`. It carries __name__, __qualname__, __module__, __doc__,
// __defaults__, __annotations__, __text_signature__ and __signature__, and it
// is a method descriptor, so a call through an instance (`counter.load()`)
// reaches it with the instance as first argument and no bound-method object is
// allocated; plain attribute access binds like a Python function.
//
// Implementations are ordinary C++ functions; `bind<&impl>()` generates the
// code that converts each bound argument according to the C++ type of the
// matching implementation parameter (see `Convert`) and turns the C++ result
// into a Python object. A first parameter `T*`, where T is a native instance
// struct with `static inline PyTypeObject* type`, is the implicit self of a
// native method: it is not listed in the description and its type is checked.
#pragma once

#include <cstdint>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "index_int.hpp"
#include "signature.hpp"

namespace vantrel {

// ---------------------------------------------------------------------------
// Conversion of arguments by implementation parameter type.

template <class T>
struct Convert;

template <>
struct Convert<PyObject*> {
    static PyObject* from(PyObject* obj, const Param&) { return obj; }
};
template <>
struct Convert<int64_t> {
    static int64_t from(PyObject* obj, const Param&) { return to_int64(obj); }
};
template <>
struct Convert<int32_t> {
    static int32_t from(PyObject* obj, const Param&) { return to_int32(obj); }
};
template <>
struct Convert<uint32_t> {
    static uint32_t from(PyObject* obj, const Param&) { return to_uint32(obj); }
};
template <>
struct Convert<uint64_t> {
    static uint64_t from(PyObject* obj, const Param&) { return to_uint64(obj); }
};
template <>
struct Convert<double> {
    static double from(PyObject* obj, const Param&) { return to_double(obj); }
};
template <>
struct Convert<bool> {
    static bool from(PyObject* obj, const Param&) { return to_truth(obj); }
};
template <>
struct Convert<PyInt> {
    static PyInt from(PyObject* obj, const Param& p) { return {to_python_int(obj, p.name)}; }
};
template <>
struct Convert<IndexInt> {
    static IndexInt from(PyObject* obj, const Param&) { return IndexInt(obj); }
};
template <>
struct Convert<Str> {
    static Str from(PyObject* obj, const Param& p) { return {exact_or_none(obj, &PyUnicode_Type, p.name)}; }
};
template <>
struct Convert<Tuple> {
    static Tuple from(PyObject* obj, const Param& p) { return {exact_or_none(obj, &PyTuple_Type, p.name)}; }
};
template <>
struct Convert<List> {
    static List from(PyObject* obj, const Param& p) { return {exact_or_none(obj, &PyList_Type, p.name)}; }
};

// ---------------------------------------------------------------------------
// Conversion of results (new references).

inline PyObject* to_result(Ref value) noexcept { return value.release(); }
inline PyObject* to_result(bool value) noexcept { return Py_NewRef(value ? Py_True : Py_False); }
inline PyObject* to_result(int64_t value) noexcept { return PyLong_FromLong(value); }
inline PyObject* to_result(int32_t value) noexcept { return PyLong_FromLong(value); }
inline PyObject* to_result(uint64_t value) noexcept { return PyLong_FromUnsignedLong(value); }
inline PyObject* to_result(double value) noexcept { return PyFloat_FromDouble(value); }

namespace detail {

template <class T>
concept NativeInstance = requires { { T::type } -> std::convertible_to<PyTypeObject*>; };

template <class First>
struct SelfOf {
    static constexpr bool implicit = false;
};
template <NativeInstance T>
struct SelfOf<T*> {
    static constexpr bool implicit = true;
    static T* cast(PyObject* self) noexcept { return reinterpret_cast<T*>(self); }
    static constexpr PyTypeObject* const* type = &T::type;
};

// Constructors receive the class being instantiated (a Python subclass,
// possibly) in place of self; they are called through `construct`.
template <>
struct SelfOf<PyTypeObject*> {
    static constexpr bool implicit = true;
    static PyTypeObject* cast(PyObject* self) noexcept { return reinterpret_cast<PyTypeObject*>(self); }
    static constexpr PyTypeObject* const* type = nullptr;
};

template <auto Impl, class R, class Self, class... Args, std::size_t... I>
PyObject* call_method(const FunctionDef& def, PyObject* self, PyObject* const* args,
                      std::index_sequence<I...>) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        // Braced initialisation converts the arguments strictly left to right.
        std::tuple<std::decay_t<Args>...> converted{
            Convert<std::decay_t<Args>>::from(args[I], def.params[I])...};
        if constexpr (std::is_void_v<R>) {
            Impl(SelfOf<Self>::cast(self), std::move(std::get<I>(converted))...);
            return Py_NewRef(Py_None);
        } else {
            return to_result(Impl(SelfOf<Self>::cast(self), std::move(std::get<I>(converted))...));
        }
    });
}

template <auto Impl, class R, class... Args, std::size_t... I>
PyObject* call_function(const FunctionDef& def, PyObject*, PyObject* const* args,
                        std::index_sequence<I...>) noexcept {
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        std::tuple<std::decay_t<Args>...> converted{
            Convert<std::decay_t<Args>>::from(args[I], def.params[I])...};
        if constexpr (std::is_void_v<R>) {
            Impl(std::move(std::get<I>(converted))...);
            return Py_NewRef(Py_None);
        } else {
            return to_result(Impl(std::move(std::get<I>(converted))...));
        }
    });
}

template <auto Impl, class Signature>
struct Binder;

template <auto Impl, class R>
struct Binder<Impl, R (*)()> {
    static PyObject* thunk(const FunctionDef& def, PyObject* self, PyObject* const* args) noexcept {
        return call_function<Impl, R>(def, self, args, std::index_sequence<>{});
    }
    static constexpr Binding binding{&thunk, 0, nullptr};
};

template <auto Impl, class R, class First, class... Rest>
struct Binder<Impl, R (*)(First, Rest...)> {
    using Self = SelfOf<First>;
    static PyObject* thunk(const FunctionDef& def, PyObject* self, PyObject* const* args) noexcept {
        if constexpr (Self::implicit) {
            return call_method<Impl, R, First, Rest...>(def, self, args,
                                                        std::index_sequence_for<Rest...>{});
        } else {
            return call_function<Impl, R, First, Rest...>(def, self, args,
                                                          std::index_sequence_for<First, Rest...>{});
        }
    }
    static constexpr Binding binding = [] {
        if constexpr (Self::implicit) {
            return Binding{&thunk, static_cast<int>(sizeof...(Rest)), Self::type};
        } else {
            return Binding{&thunk, static_cast<int>(1 + sizeof...(Rest)), nullptr};
        }
    }();
};

}  // namespace detail

// The binding of an implementation function, for `FunctionDef::binding`.
template <auto Impl>
constexpr Binding bind() {
    return detail::Binder<Impl, decltype(Impl)>::binding;
}

// ---------------------------------------------------------------------------
// The function object type.

namespace detail {

inline constexpr int max_params = 16;

struct Function {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    const FunctionDef* def;
    Py_ssize_t n_params;
    Py_ssize_t n_required;  // parameters without a default (they come first)
    PyObject* name;         // interned
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;     // tuple, or None
    PyObject* annotations;  // dict
    PyObject* param_names;  // tuple of interned names, for keyword matching
    PyObject* signature;    // inspect.Signature, built on first request
};

inline Function* as_function(PyObject* obj) { return reinterpret_cast<Function*>(obj); }

// Argument-count and keyword errors, in the wording of compiled Python code.
[[noreturn]] inline void raise_count(const char* name, Py_ssize_t min, Py_ssize_t max,
                                     Py_ssize_t expected, Py_ssize_t given) {
    if (max == 0) raise_format(PyExc_TypeError, "%.200s() takes no arguments (%zd given)", name, given);
    const char* bound = min == max ? "exactly" : (expected == min ? "at least" : "at most");
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
                 bound, expected, expected == 1 ? "" : "s", given);
}

inline Py_ssize_t find_param(const Function* f, PyObject* key) {
    PyObject* const* names = &PyTuple_GET_ITEM(f->param_names, 0);
    for (Py_ssize_t i = 0; i < f->n_params; ++i) {
        if (names[i] == key) return i;
    }
    for (Py_ssize_t i = 0; i < f->n_params; ++i) {
        if (PyUnicode_Compare(names[i], key) == 0) return i;
    }
    return -1;
}

// Fills `bound` (one borrowed object per parameter) from positional and
// keyword arguments and the defaults; raises the interpreter's errors.
inline void bind_arguments(const Function* f, const char* name, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames, PyObject** bound) {
    const Py_ssize_t n = f->n_params;
    if (nargs > n) raise_count(name, f->n_required, n, n, nargs);
    for (Py_ssize_t i = 0; i < n; ++i) bound[i] = i < nargs ? args[i] : nullptr;
    PyObject* unexpected = nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > 0 && n == 0) raise_format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%.200s() keywords must be strings", name);
        Py_ssize_t index = find_param(f, key);
        if (index < 0) {
            if (unexpected == nullptr) unexpected = key;
            continue;
        }
        if (bound[index] != nullptr) {
            raise_format(PyExc_TypeError, "%.200s() got multiple values for keyword argument '%U'", name, key);
        }
        bound[index] = args[nargs + k];
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (bound[i] != nullptr) continue;
        if (i < f->n_required) raise_count(name, f->n_required, n, f->n_required, i);
        bound[i] = PyTuple_GET_ITEM(f->defaults, i - f->n_required);
    }
    if (unexpected != nullptr) {
        raise_format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'", name, unexpected);
    }
}

// Binding with keywords, or with a count the fast paths do not cover. Kept out
// of line so that the fast paths of `function_vectorcall` stay in registers.
[[gnu::noinline]] inline PyObject* call_with_binding(Function* f, PyObject* self, PyObject* const* args,
                                                    Py_ssize_t nargs, PyObject* kwnames) noexcept {
    const FunctionDef& def = *f->def;
    PyObject* bound[max_params];
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        bind_arguments(f, def.name, args, nargs, kwnames, bound);
        return def.binding.call(def, self, bound);
    });
}

[[gnu::noinline]] inline PyObject* raise_bad_self(Function* f, PyTypeObject* type, PyObject* const* args,
                                                 Py_ssize_t nargs) noexcept {
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "descriptor '%U' of '%.100s' object needs an argument", f->name,
                     type->tp_name);
    } else {
        PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%.100s' objects doesn't apply to a '%.100s' object",
                     f->name, type->tp_name, Py_TYPE(args[0])->tp_name);
    }
    return nullptr;
}

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                                     PyObject* kwnames) noexcept {
    Function* f = as_function(callable);
    const FunctionDef& def = *f->def;
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* self = nullptr;
    if (def.binding.self_type != nullptr) {
        PyTypeObject* type = *def.binding.self_type;
        if (nargs < 1 || !PyObject_TypeCheck(args[0], type)) return raise_bad_self(f, type, args, nargs);
        self = args[0];
        ++args;
        --nargs;
    }
    if (kwnames == nullptr) {
        // The common calls: every parameter given by position, or the leading
        // ones with the defaults after them.
        if (nargs == f->n_params) return def.binding.call(def, self, args);
        if (nargs >= f->n_required && nargs < f->n_params) {
            PyObject* bound[max_params];
            for (Py_ssize_t i = 0; i < nargs; ++i) bound[i] = args[i];
            for (Py_ssize_t i = nargs; i < f->n_params; ++i) {
                bound[i] = PyTuple_GET_ITEM(f->defaults, i - f->n_required);
            }
            return def.binding.call(def, self, bound);
        }
    }
    return call_with_binding(f, self, args, nargs, kwnames);
}

// tp_new of a native class whose constructor is described by `constructor`
// (a function object made from a FunctionDef named "__cinit__" whose
// implementation takes the class first): binds the tuple/dict arguments.
inline PyObject* construct(PyObject* constructor, PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    Function* f = as_function(constructor);
    const FunctionDef& def = *f->def;
    PyObject* const* items = &PyTuple_GET_ITEM(args, 0);
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    PyObject* self = reinterpret_cast<PyObject*>(type);
    const bool no_keywords = kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0;
    if (no_keywords && nargs == f->n_params) return def.binding.call(def, self, items);
    PyObject* bound[max_params];
    return boundary<PyObject*>(nullptr, [&]() -> PyObject* {
        if (no_keywords) {
            bind_arguments(f, def.name, items, nargs, nullptr, bound);
        } else {
            // Lay the arguments out as a vectorcall would: positionals, then
            // keyword values, with their names in a tuple.
            const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
            std::vector<PyObject*> flat(static_cast<std::size_t>(nargs + nkw));
            Ref kwnames = Ref::steal(PyTuple_New(nkw));
            for (Py_ssize_t i = 0; i < nargs; ++i) flat[i] = items[i];
            Py_ssize_t pos = 0, k = 0;
            PyObject *key, *value;
            while (PyDict_Next(kwargs, &pos, &key, &value)) {
                PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(key));
                flat[nargs + k++] = value;
            }
            bind_arguments(f, def.name, flat.data(), nargs, kwnames.get(), bound);
        }
        return def.binding.call(def, self, bound);
    });
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Function* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->defaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->signature);
    return 0;
}

inline int function_clear(PyObject* self) {
    Function* f = as_function(self);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->module);
    Py_CLEAR(f->doc);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->param_names);
    Py_CLEAR(f->signature);
    return 0;
}

inline void function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->qualname, self);
}

inline Ref default_object(const Default& value) {
    switch (value.kind) {
        case Default::Kind::none: return none();
        case Default::Kind::boolean: return boolean(value.integer != 0);
        case Default::Kind::integer: return Ref::steal(PyLong_FromLongLong(value.integer));
        case Default::Kind::real: return Ref::steal(PyFloat_FromDouble(value.real));
        case Default::Kind::required: break;
    }
    raise(PyExc_SystemError, "parameter has no default");
}

// "($self, /, delta=1)" for a native method, "(self, delta=1)" otherwise.
inline Ref text_signature(const Function* f) {
    std::string text = "(";
    if (f->def->binding.self_type != nullptr) text += f->n_params ? "$self, /, " : "$self, /";
    for (Py_ssize_t i = 0; i < f->n_params; ++i) {
        const Param& p = f->def->params[i];
        if (i) text += ", ";
        text += p.name;
        if (i >= f->n_required) {
            Ref repr = Ref::steal(PyObject_Repr(PyTuple_GET_ITEM(f->defaults, i - f->n_required)));
            const char* utf8 = PyUnicode_AsUTF8(repr.get());
            if (utf8 == nullptr) throw PythonError{};
            text += "=";
            text += utf8;
        }
    }
    text += ")";
    return Ref::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

inline Ref build_signature(const Function* f) {
    Ref inspect = Ref::steal(PyImport_ImportModule("inspect"));
    Ref parameter = Ref::steal(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature = Ref::steal(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref positional_only = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_ONLY"));
    Ref positional_or_keyword = Ref::steal(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
    Ref params = Ref::steal(PyList_New(0));
    auto add = [&](const char* name, PyObject* kind, PyObject* default_value, const char* annotation) {
        Ref args = Ref::steal(Py_BuildValue("(sO)", name, kind));
        Ref kwargs = Ref::steal(PyDict_New());
        if (default_value) check(PyDict_SetItemString(kwargs.get(), "default", default_value));
        if (annotation) {
            Ref text = Ref::steal(PyUnicode_FromString(annotation));
            check(PyDict_SetItemString(kwargs.get(), "annotation", text.get()));
        }
        Ref p = Ref::steal(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
        check(PyList_Append(params.get(), p.get()));
    };
    if (f->def->binding.self_type != nullptr) add("self", positional_only.get(), nullptr, nullptr);
    for (Py_ssize_t i = 0; i < f->n_params; ++i) {
        const Param& p = f->def->params[i];
        add(p.name, positional_or_keyword.get(),
            i >= f->n_required ? PyTuple_GET_ITEM(f->defaults, i - f->n_required) : nullptr, p.annotation);
    }
    Ref args = Ref::steal(PyTuple_Pack(1, params.get()));
    Ref kwargs = Ref::steal(PyDict_New());
    if (f->def->returns) {
        Ref text = Ref::steal(PyUnicode_FromString(f->def->returns));
        check(PyDict_SetItemString(kwargs.get(), "return_annotation", text.get()));
    }
    return Ref::steal(PyObject_Call(signature.get(), args.get(), kwargs.get()));
}

inline PyObject* get_signature(PyObject* self, void*) {
    Function* f = as_function(self);
    if (f->signature == nullptr) {
        f->signature = boundary<PyObject*>(nullptr, [&] { return build_signature(f).release(); });
        if (f->signature == nullptr) return nullptr;
    }
    return Py_NewRef(f->signature);
}

inline PyObject* get_text_signature(PyObject* self, void*) {
    return boundary<PyObject*>(nullptr, [&] { return text_signature(as_function(self)).release(); });
}

template <std::size_t Offset>
PyObject* get_field(PyObject* self, void*) {
    PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
    return Py_NewRef(value ? value : Py_None);
}

#define VANTREL_FUNCTION_FIELD(field) \
    &::vantrel::detail::get_field<offsetof(::vantrel::detail::Function, field)>

inline PyGetSetDef function_getset[] = {
    {"__name__", VANTREL_FUNCTION_FIELD(name), nullptr, nullptr, nullptr},
    {"__qualname__", VANTREL_FUNCTION_FIELD(qualname), nullptr, nullptr, nullptr},
    {"__module__", VANTREL_FUNCTION_FIELD(module), nullptr, nullptr, nullptr},
    {"__doc__", VANTREL_FUNCTION_FIELD(doc), nullptr, nullptr, nullptr},
    {"__defaults__", VANTREL_FUNCTION_FIELD(defaults), nullptr, nullptr, nullptr},
    {"__annotations__", VANTREL_FUNCTION_FIELD(annotations), nullptr, nullptr, nullptr},
    {"__text_signature__", &get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", &get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#undef VANTREL_FUNCTION_FIELD

inline PyMemberDef function_members[] = {
    {"__vectorcalloffset__", VANTREL_T_PYSSIZET, offsetof(Function, vectorcall), VANTREL_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The type is created once per extension module, on first use.
inline PyTypeObject* function_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        static PyType_Slot slots[] = {
            {Py_tp_dealloc, reinterpret_cast<void*>(&function_dealloc)},
            {Py_tp_traverse, reinterpret_cast<void*>(&function_traverse)},
            {Py_tp_clear, reinterpret_cast<void*>(&function_clear)},
            {Py_tp_call, reinterpret_cast<void*>(&PyVectorcall_Call)},
            {Py_tp_descr_get, reinterpret_cast<void*>(&function_descr_get)},
            {Py_tp_repr, reinterpret_cast<void*>(&function_repr)},
            {Py_tp_getset, function_getset},
            {Py_tp_members, function_members},
            {0, nullptr},
        };
        static PyType_Spec type_spec = {
            "vantrel.native_function", sizeof(Function), 0,
            Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
            slots};
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
        if (type == nullptr) throw PythonError{};
    }
    return type;
}

}  // namespace detail

// Creates the function object of `def` (which must outlive it: descriptions
// are static). `module` is the __module__ string.
inline Ref make_function(const FunctionDef& def, PyObject* module) {
    using detail::Function;
    const Py_ssize_t n = static_cast<Py_ssize_t>(def.params.size());
    if (def.binding.call == nullptr || def.binding.arity != n || n > detail::max_params) {
        raise_format(PyExc_SystemError, "function %s: description does not match its implementation", def.name);
    }
    Function* f = PyObject_GC_New(Function, detail::function_type());
    if (f == nullptr) throw PythonError{};
    f->vectorcall = &detail::function_vectorcall;
    f->def = &def;
    f->n_params = n;
    f->n_required = n;
    f->name = f->qualname = f->module = f->doc = f->defaults = f->annotations = f->param_names = f->signature =
        nullptr;
    Ref owner = Ref::steal(reinterpret_cast<PyObject*>(f));

    f->name = PyUnicode_InternFromString(def.name);
    if (!f->name) throw PythonError{};
    f->qualname = Ref::steal(PyUnicode_FromString(def.qualname ? def.qualname : def.name)).release();
    f->module = Py_NewRef(module);
    f->doc = def.doc ? Ref::steal(PyUnicode_FromString(def.doc)).release() : Py_NewRef(Py_None);

    Ref names = Ref::steal(PyTuple_New(n));
    Ref annotations = Ref::steal(PyDict_New());
    Ref defaults = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Param& p = def.params[i];
        PyObject* name = PyUnicode_InternFromString(p.name);
        if (!name) throw PythonError{};
        PyTuple_SET_ITEM(names.get(), i, name);
        if (p.annotation) {
            Ref text = Ref::steal(PyUnicode_FromString(p.annotation));
            check(PyDict_SetItem(annotations.get(), name, text.get()));
        }
        if (p.value.kind == Default::Kind::required) {
            if (PyList_GET_SIZE(defaults.get()) != 0) {
                raise_format(PyExc_SystemError, "function %s: parameter without default after one with", def.name);
            }
            continue;
        }
        if (f->n_required == n) f->n_required = i;
        check(PyList_Append(defaults.get(), detail::default_object(p.value).get()));
    }
    if (def.returns) {
        Ref text = Ref::steal(PyUnicode_FromString(def.returns));
        check(PyDict_SetItemString(annotations.get(), "return", text.get()));
    }
    f->param_names = names.release();
    f->annotations = annotations.release();
    f->defaults = PyList_GET_SIZE(defaults.get()) ? PyList_AsTuple(defaults.get()) : Py_NewRef(Py_None);
    if (!f->defaults) throw PythonError{};
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return owner;
}

}  // namespace vantrel
