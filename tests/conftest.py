import ctypes
import sys
from types import SimpleNamespace

import pytest

COUNTER_API_NAME = b"vantrel.memory.concurrency_core.AtomicCounter._c_api"


@pytest.fixture(scope="session")
def counter_table():
    """The six native AtomicCounter operations for compiled callers, read
    from the class's capsule and called through ctypes. ctypes releases the
    interpreter lock around each call, as a compiled caller may."""
    from vantrel.memory.concurrency_core import AtomicCounter

    get_pointer = ctypes.PYFUNCTYPE(ctypes.c_void_p, ctypes.py_object, ctypes.c_char_p)(
        ("PyCapsule_GetPointer", ctypes.pythonapi))
    slots = ctypes.cast(get_pointer(AtomicCounter._c_api, COUNTER_API_NAME),
                        ctypes.POINTER(ctypes.c_void_p * 6)).contents
    i64, obj = ctypes.c_int64, ctypes.py_object
    prototypes = {
        "_c_load": ctypes.CFUNCTYPE(i64, obj),
        "_c_store": ctypes.CFUNCTYPE(None, obj, i64),
        "_c_increment": ctypes.CFUNCTYPE(i64, obj, i64),
        "_c_decrement": ctypes.CFUNCTYPE(i64, obj, i64),
        "_c_compare_and_swap": ctypes.CFUNCTYPE(ctypes.c_int, obj, i64, i64),
        "_c_fetch_and_add": ctypes.CFUNCTYPE(i64, obj, i64),
    }
    return SimpleNamespace(**{name: prototype(slots[i]) for i, (name, prototype) in enumerate(prototypes.items())})


@pytest.fixture
def frequent_switches():
    """Threads hand over the interpreter far more often than by default, so
    that operations of different threads interleave finely."""
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)
