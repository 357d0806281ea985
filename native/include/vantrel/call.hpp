// Calls into Python objects by interned name, without creating a bound method.
//
// Rules of use:
// - `name` is an interned string kept for the life of the process (see
//   `interned()` in ref.hpp); looking it up on the object follows the usual
//   attribute rules, so a subclass's override is honoured.
// - Arguments are borrowed; the result is a new reference, and a failure
//   throws `PythonError` with the interpreter's error set.
#pragma once

#include "ref.hpp"

namespace vantrel {

// `obj.name(args...)` through the method-call protocol.
template <class... Args>
Ref call_method(PyObject* obj, PyObject* name, Args... args) {
    PyObject* stack[] = {obj, args...};
    return Ref::steal(PyObject_VectorcallMethod(name, stack, (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                nullptr));
}

}  // namespace vantrel
