// Package-relative imports run from a module body, as Python code in that
// module would write them: `from .memory_block import MemoryBlock` is
// `import_from(module, 1, "memory_block", "MemoryBlock")`.
//
// Rules of use:
// - Call it while the module is being executed: the import resolves against
//   the module's own __spec__ / __package__, set by the import system before
//   the module body runs.
// - Every failure is an ImportError (or whatever the imported module raised
//   while loading), so callers that fall back on ImportError catch exactly what
//   Python's `except ImportError` would.
#pragma once

#include "ref.hpp"

namespace vantrel {

// `from <level dots><name> import <attribute>`; returns the attribute.
inline Ref import_from(PyObject* module, int level, const char* name, const char* attribute) {
    PyObject* globals = PyModule_GetDict(module);  // borrowed
    if (globals == nullptr) throw PythonError{};
    Ref wanted = Ref::steal(PyUnicode_FromString(attribute));
    Ref fromlist = Ref::steal(PyTuple_Pack(1, wanted.get()));
    Ref source = Ref::steal(PyImport_ImportModuleLevel(name, globals, nullptr, fromlist.get(), level));
    Ref value = Ref::steal_or_null(PyObject_GetAttr(source.get(), wanted.get()));
    if (!value) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
        PyErr_Clear();
        Ref source_name = Ref::steal(PyModule_GetNameObject(source.get()));
        raise_format(PyExc_ImportError, "cannot import name '%s' from '%U'", attribute, source_name.get());
    }
    return value;
}

}  // namespace vantrel
