"""The module as a whole: its attributes, the import banner, one initialisation
per process and the capsule through which compiled callers reach
AtomicCounter."""

import ctypes
import json
import logging
import os
import subprocess
import sys
import textwrap
import threading
import time
import types
import typing

import pytest

import vantrel
import vantrel.memory.concurrency_core as core

MODULE = "vantrel.memory.concurrency_core"
BANNER = "Vantrel Kiln Concurrency Core loaded - C11 atomics active (10-20\u00d7 speedup)"
REINITIALISATION = "Module 'concurrency_core' has already been imported. Re-initialisation is not supported."
SECOND_INTERPRETER = ("Interpreter change detected - this module can only be loaded into one interpreter per "
                      "process.")


def run_python(source):
    """Runs `source` in a fresh interpreter that imports vantrel from where
    this process did; returns its standard output."""
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(vantrel.__file__)))
    done = subprocess.run([sys.executable, "-W", "error", "-c", textwrap.dedent(source)], env=env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_attributes_in_the_order_the_module_body_creates_them():
    public = [name for name in vars(core) if not (name.startswith("__") and name.endswith("__"))]
    assert public == ["threading", "time", "Optional", "TypeVar", "Generic", "AtomicCounter", "AtomicPointer",
                      "LockFreeStack", "LockFreeStatistics", "PerformanceTimer", "AtomicCounterWrapper", "logging",
                      "logger", "KILN_ATOMICS_AVAILABLE"]
    assert list(vars(core))[-1] == "__build_token__"
    assert core.threading is threading and core.time is time and core.logging is logging
    assert (core.Optional, core.TypeVar, core.Generic) == (typing.Optional, typing.TypeVar, typing.Generic)
    assert core.logger is logging.getLogger(MODULE)
    assert core.KILN_ATOMICS_AVAILABLE is True
    assert core.__build_token__ == "m5-slab-header-stats-2026-06-09"


def test_module_docstring_describes_each_class_strategy():
    doc = core.__doc__
    for name in ("AtomicCounter", "AtomicPointer", "LockFreeStack", "LockFreeStatistics"):
        assert name in doc


def test_a_fresh_import_logs_one_banner_and_a_second_import_returns_the_same_module():
    # -W error: a build for this interpreter's own version warns of nothing.
    output = run_python(f"""
        import importlib, json, logging, sys
        records = []

        class Keep(logging.Handler):
            def emit(self, record):
                records.append([record.name, record.levelname, record.getMessage()])

        logging.getLogger().addHandler(Keep())
        logging.getLogger().setLevel(logging.DEBUG)
        import {MODULE} as first
        after_first = len(records)
        del sys.modules["{MODULE}"]
        import {MODULE} as second
        same = second is first and importlib.reload(second) is first and sys.modules["{MODULE}"] is first
        print(json.dumps([records, after_first, same, first.KILN_ATOMICS_AVAILABLE]))
        """)
    records, after_first, same, available = json.loads(output)
    assert records == [[MODULE, "INFO", BANNER]]
    assert after_first == 1 and same is True and available is True


def test_initialisation_on_another_module_object_is_refused():
    get_def = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object)(("PyModule_GetDef", ctypes.pythonapi))
    exec_def = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_void_p)(
        ("PyModule_ExecDef", ctypes.pythonapi))
    definition = get_def(core)
    assert definition
    for name in (MODULE, "elsewhere"):
        with pytest.raises(RuntimeError) as raised:
            exec_def(types.ModuleType(name), definition)
        assert str(raised.value) == REINITIALISATION
    counter_class = core.AtomicCounter
    assert exec_def(core, definition) == 0  # the module itself: already initialised, nothing runs again
    assert core.AtomicCounter is counter_class


IN_SUB_INTERPRETER = f"""
import os
try:
    import {MODULE}
    message = "imported"
except ImportError as error:
    message = str(error)
os.write(WRITE_END, message.encode())
"""


def test_loading_into_a_second_interpreter_is_refused():
    output = run_python(f"""
        import os, sys
        import {MODULE}
        try:
            if sys.version_info >= (3, 13):
                import _interpreters as interpreters
                interpreter = interpreters.create(interpreters.new_config("legacy"))
            elif sys.version_info >= (3, 12):
                import _xxsubinterpreters as interpreters
                interpreter = interpreters.create(isolated=False)
            else:
                import _xxsubinterpreters as interpreters
                interpreter = interpreters.create()
        except (ImportError, AttributeError, TypeError):
            print("no sub-interpreters")
            raise SystemExit
        read_end, write_end = os.pipe()
        interpreters.run_string(interpreter, {IN_SUB_INTERPRETER!r}.replace("WRITE_END", str(write_end)))
        interpreters.destroy(interpreter)
        print(os.read(read_end, 1000).decode())
        """)
    if output.strip() == "no sub-interpreters":
        pytest.skip("this interpreter offers no sub-interpreters")
    assert output.strip() == SECOND_INTERPRETER


CAPSULE_NAME = b"vantrel.memory.concurrency_core.AtomicCounter._c_api"


def test_native_table_is_published_in_a_named_capsule():
    api = ctypes.pythonapi
    is_valid = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_char_p)(("PyCapsule_IsValid", api))
    get_name = ctypes.PYFUNCTYPE(ctypes.c_char_p, ctypes.py_object)(("PyCapsule_GetName", api))
    get_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(("PyCapsule_GetPointer", api))
    import_capsule = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int)(("PyCapsule_Import", api))
    capsule = core.AtomicCounter._c_api
    assert type(capsule).__name__ == "PyCapsule"
    assert is_valid(capsule, CAPSULE_NAME) == 1
    assert is_valid(capsule, b"vantrel.memory.concurrency_core.AtomicCounter") == 0
    assert get_name(capsule) == CAPSULE_NAME
    assert import_capsule(CAPSULE_NAME, 0) == get_pointer(capsule, CAPSULE_NAME)


def test_native_table_works_on_the_counter_cell(counter_table):
    t = counter_table
    counter = core.AtomicCounter(10)
    assert t._c_load(counter) == 10
    assert t._c_increment(counter, 5) == 15 and counter.load() == 15
    assert t._c_decrement(counter, 20) == -5
    assert t._c_fetch_and_add(counter, 7) == -5 and counter.load() == 2
    assert t._c_compare_and_swap(counter, 3, 9) == 0 and counter.load() == 2
    assert t._c_compare_and_swap(counter, 2, 9) == 1 and counter.load() == 9
    t._c_store(counter, 2**63 - 1)
    assert t._c_increment(counter, 1) == -(2**63)

    class Sub(core.AtomicCounter):
        pass

    sub = Sub(4)
    assert t._c_increment(sub, 1) == 5 and sub.load() == 5
