// The data description of a callable: name, qualified name, docstring,
// parameters with annotations and defaults, return annotation. One
// description drives argument binding (and its error texts), __defaults__,
// __annotations__, __text_signature__ and __signature__.
#pragma once

#include <span>

#include "python.hpp"

namespace vantrel {

// A default value, restricted to the literals the modules need so that a
// description can be a compile-time constant.
struct Default {
    enum class Kind { required, none, boolean, integer, real };
    Kind kind = Kind::required;
    long long integer = 0;
    double real = 0.0;

    static constexpr Default none_value() { return {Kind::none}; }
    static constexpr Default of(bool value) { return {Kind::boolean, value ? 1 : 0}; }
    static constexpr Default of(int value) { return {Kind::integer, value}; }
    static constexpr Default of(long long value) { return {Kind::integer, value}; }
    static constexpr Default of(double value) { return {Kind::real, 0, value}; }
};

struct Param {
    const char* name;
    const char* annotation = nullptr;  // stored as a string in __annotations__
    Default value = {};
};

struct FunctionDef;

// Produced by `bind<Impl>()` (function.hpp): converts the bound arguments and
// runs the implementation. `args` holds exactly one borrowed object per
// parameter of the description, in order.
using Thunk = PyObject* (*)(const FunctionDef& def, PyObject* self, PyObject* const* args) noexcept;

struct Binding {
    Thunk call = nullptr;
    int arity = 0;                            // parameters after the implicit self
    PyTypeObject* const* self_type = nullptr;  // native methods: where their class is kept
};

struct FunctionDef {
    const char* name;
    const char* qualname;  // e.g. "AtomicCounter.load"
    const char* doc;
    std::span<const Param> params;  // without the implicit self of native methods
    const char* returns;            // return annotation, or nullptr
    Binding binding;
};

}  // namespace vantrel
