// Module initialisation. Every extension module of the package is created
// once per process, in one interpreter:
// - loading it into a second interpreter raises ImportError;
// - importing it again (for example after deleting it from sys.modules) hands
//   back the same, already initialised module object, and its body does not
//   run again;
// - running its initialisation on any other module object raises RuntimeError;
// - a build for another major.minor version of the interpreter warns.
//
// A module's .cpp defines a `ModuleDef` whose `body` fills the module in the
// order its attributes must appear, then writes
// `VANTREL_MODULE(short_name, definition)`.
#pragma once

#include <cstring>
#include <initializer_list>

#include "function.hpp"

namespace vantrel {

struct ModuleDef {
    const char* name;  // dotted name, e.g. "vantrel.memory.concurrency_core"
    const char* doc;
    void (*body)(PyObject* module);
};

namespace detail {

struct ModuleRecord {
    const ModuleDef* def = nullptr;
    PyObject* module = nullptr;  // strong: the module lives for the process
    bool initialised = false;
    int64_t interpreter_id = -1;
    PyModuleDef_Slot slots[3] = {};
    PyModuleDef python_def = {};
};

inline ModuleRecord& module_record() {
    static ModuleRecord record;
    return record;
}

inline const char* short_name(const char* dotted) {
    const char* dot = std::strrchr(dotted, '.');
    return dot ? dot + 1 : dotted;
}

inline PyObject* module_create(PyObject* module_spec, PyModuleDef*) noexcept {
    ModuleRecord& record = module_record();
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (record.interpreter_id == -1) {
        record.interpreter_id = current;
    } else if (record.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (record.module != nullptr) return Py_NewRef(record.module);
    return boundary<PyObject*>(nullptr, [&] {
        Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
        Ref module = Ref::steal(PyModule_NewObject(name.get()));
        record.module = Py_NewRef(module.get());
        return module.release();
    });
}

inline void warn_on_version_mismatch(const char* name) {
    const int runtime_major = static_cast<int>((Py_Version >> 24) & 0xFF);
    const int runtime_minor = static_cast<int>((Py_Version >> 16) & 0xFF);
    if (runtime_major == PY_MAJOR_VERSION && runtime_minor == PY_MINOR_VERSION) return;
    char message[200];
    PyOS_snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  PY_MAJOR_VERSION, PY_MINOR_VERSION, name, "does not match", runtime_major, runtime_minor);
    check(PyErr_WarnEx(nullptr, message, 1));
}

inline int module_exec(PyObject* module) noexcept {
    ModuleRecord& record = module_record();
    if (module != record.module) {
        PyErr_Format(PyExc_RuntimeError,
                     "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name(record.def->name));
        return -1;
    }
    if (record.initialised) return 0;
    record.initialised = true;
    int status = boundary(-1, [&] {
        warn_on_version_mismatch(record.def->name);
        record.def->body(module);
        return 0;
    });
    if (status < 0) {
        // A failed import leaves nothing behind; the next import starts afresh.
        record.initialised = false;
        Py_CLEAR(record.module);
    }
    return status;
}

}  // namespace detail

inline PyObject* init_module(const ModuleDef& def) noexcept {
    detail::ModuleRecord& record = detail::module_record();
    record.def = &def;
    record.slots[0] = {Py_mod_create, reinterpret_cast<void*>(&detail::module_create)};
    record.slots[1] = {Py_mod_exec, reinterpret_cast<void*>(&detail::module_exec)};
    record.slots[2] = {0, nullptr};
    record.python_def = {PyModuleDef_HEAD_INIT, def.name, def.doc, 0, nullptr, record.slots,
                         nullptr, nullptr, nullptr};
    return PyModuleDef_Init(&record.python_def);
}

#define VANTREL_MODULE(short_name, definition)                                      \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_##short_name() { \
        return ::vantrel::init_module(definition);                                  \
    }

// ---------------------------------------------------------------------------
// Helpers for module bodies; each sets one or more attributes, in call order.

inline void set_attribute(PyObject* module, const char* name, Ref value) {
    check(PyObject_SetAttrString(module, name, value.get()));
}

// `import name` (the attribute is the last component, as for `import a.b`
// written as `from a import b`); returns the module.
inline Ref import_module(PyObject* module, const char* name) {
    Ref imported = Ref::steal(PyImport_ImportModule(name));
    set_attribute(module, detail::short_name(name), imported);
    return imported;
}

// `from source import names...`
inline void import_names(PyObject* module, const char* source, std::initializer_list<const char*> names) {
    Ref imported = Ref::steal(PyImport_ImportModule(source));
    for (const char* name : names) {
        set_attribute(module, name, Ref::steal(PyObject_GetAttrString(imported.get(), name)));
    }
}

inline void add_function(PyObject* module, const FunctionDef& def) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    set_attribute(module, def.name, make_function(def, module_name.get()));
}

// The value a name lookup in the module's own code would see now: the module
// namespace `globals`, then the builtins; NameError when neither has it. A new
// reference, since the namespace may change once other code runs.
inline Ref module_global(PyObject* globals, PyObject* name) {
    PyObject* value = PyDict_GetItemWithError(globals, name);
    if (value == nullptr && !PyErr_Occurred()) value = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
    if (value == nullptr) {
        if (PyErr_Occurred()) throw PythonError{};
        raise_format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return Ref::borrow(value);
}

// `import logging; logger = logging.getLogger(__name__); logger.info(banner)`
inline void log_banner(PyObject* module, const char* banner) {
    Ref logging = import_module(module, "logging");
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    Ref logger = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "O", module_name.get()));
    set_attribute(module, "logger", logger);
    Ref ignored = Ref::steal(PyObject_CallMethod(logger.get(), "info", "s", banner));
}

}  // namespace vantrel
