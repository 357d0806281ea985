// Entry point of the shared layer: every module includes Python.h through this
// header so that PY_SSIZE_T_CLEAN and the version gates are the same everywhere.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#if PY_VERSION_HEX < 0x030B0000
#error "vantrel requires CPython 3.11 or later"
#endif

#if PY_VERSION_HEX >= 0x030C0000
#define VANTREL_PY312_PLUS 1
#else
#define VANTREL_PY312_PLUS 0
#endif

#if PY_VERSION_HEX >= 0x030D0000
#define VANTREL_PY313_PLUS 1
#else
#define VANTREL_PY313_PLUS 0
#endif

// Member-table constants were renamed (and moved out of structmember.h) in 3.12.
#if VANTREL_PY312_PLUS
#define VANTREL_T_OBJECT Py_T_OBJECT_EX
#define VANTREL_T_PYSSIZET Py_T_PYSSIZET
#define VANTREL_READONLY Py_READONLY
#else
#include <structmember.h>
#define VANTREL_T_OBJECT T_OBJECT_EX
#define VANTREL_T_PYSSIZET T_PYSSIZET
#define VANTREL_READONLY READONLY
#endif
