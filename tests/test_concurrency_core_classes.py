"""What the classes and their function objects show to Python: names,
signatures, defaults and annotations; aliases; subclassing; no instance
dictionary; no pickling or copying."""

import copy
import gc
import inspect
import pickle
import pydoc
import re
import weakref

import pytest

from vantrel.memory.concurrency_core import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)

MODULE = "vantrel.memory.concurrency_core"
NATIVE_CLASSES = [AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics, PerformanceTimer]
REFUSAL = "no default __reduce__ due to non-trivial __cinit__"

# class, method, parameters as (name, default or REQUIRED), parameter annotations, return annotation, docstring
REQUIRED = inspect.Parameter.empty
METHODS = [
    (AtomicCounter, "load", [], {}, "int", "Atomically load value."),
    (AtomicCounter, "store", [("value", REQUIRED)], {}, None, "Atomically store value."),
    (AtomicCounter, "increment", [("delta", 1)], {}, "int", "Atomically increment and return new value."),
    (AtomicCounter, "decrement", [("delta", 1)], {}, "int", "Atomically decrement and return new value."),
    (AtomicCounter, "compare_and_swap", [("expected", REQUIRED), ("new_value", REQUIRED)], {}, "bool",
     "Atomically compare and swap."),
    (AtomicCounter, "fetch_and_add", [("delta", REQUIRED)], {}, "int", "Atomically fetch and add."),
    (AtomicPointer, "load", [], {}, "Optional[object]", "Atomically load pointer value."),
    (AtomicPointer, "store", [("value", REQUIRED)], {}, None, "Atomically store new pointer value."),
    (AtomicPointer, "compare_and_swap", [("expected", REQUIRED), ("new_value", REQUIRED)], {}, "bool",
     "Atomically compare and swap pointer."),
    (AtomicPointer, "get_version", [], {}, "int", "Get current version for ABA detection."),
    (LockFreeStack, "push", [("item", REQUIRED)], {}, None, "Push item onto stack."),
    (LockFreeStack, "pop", [], {}, "Optional[object]", "Pop item from stack."),
    (LockFreeStack, "is_empty", [], {}, "bool", "Check if stack is empty."),
    (LockFreeStack, "size", [], {}, "int", "Get approximate stack size."),
    (LockFreeStatistics, "record_allocation",
     [("size", REQUIRED), ("is_bucketed", True), ("padding", 0), ("time_ns", 0)],
     {"size": "int", "is_bucketed": "bool", "padding": "int", "time_ns": "int"}, "None",
     "Record an allocation event."),
    (LockFreeStatistics, "record_deallocation", [("size", REQUIRED), ("time_ns", 0)],
     {"size": "int", "time_ns": "int"}, "None", "Record a deallocation event."),
    (LockFreeStatistics, "_update_peaks", [("current_allocs", REQUIRED), ("current_bytes", REQUIRED)],
     {"current_allocs": "int", "current_bytes": "int"}, "None", "Update peak values using compare-and-swap."),
    (LockFreeStatistics, "get_snapshot", [], {}, "dict", "Get atomic snapshot of statistics."),
    (LockFreeStatistics, "reset", [], {}, None, "Reset all statistics to zero."),
    (PerformanceTimer, "start", [], {}, None, "Start timing."),
    (PerformanceTimer, "elapsed_ns", [], {}, "int", "Get elapsed time in nanoseconds."),
    (PerformanceTimer, "elapsed_us", [], {}, "float", "Get elapsed time in microseconds."),
    (PerformanceTimer, "elapsed_ms", [], {}, "float", "Get elapsed time in milliseconds."),
]
# The wrapper's functions take self as an ordinary first parameter.
WRAPPER_FUNCTIONS = [
    ("__init__", [("initial_value", 0)], {"initial_value": "int"}, None),
    ("load", [], {}, "int"),
    ("store", [("value", REQUIRED)], {"value": "int"}, None),
    ("increment", [("delta", 1)], {"delta": "int"}, "int"),
    ("decrement", [("delta", 1)], {"delta": "int"}, "int"),
    ("compare_and_swap", [("expected", REQUIRED), ("new_value", REQUIRED)], {"expected": "int", "new_value": "int"},
     "bool"),
    ("fetch_and_add", [("delta", REQUIRED)], {"delta": "int"}, "int"),
]


def expected_defaults(params):
    defaults = tuple(default for _, default in params if default is not REQUIRED)
    return defaults or None


def expected_annotations(annotations, returns):
    return dict(annotations, **({"return": returns} if returns else {}))


@pytest.mark.parametrize("cls, name, params, annotations, returns, doc", METHODS,
                         ids=[f"{m[0].__name__}.{m[1]}" for m in METHODS])
def test_method_function_objects(cls, name, params, annotations, returns, doc):
    function = vars(cls)[name]
    assert (function.__name__, function.__qualname__, function.__module__) == (name, f"{cls.__name__}.{name}", MODULE)
    assert function.__doc__.splitlines()[0] == doc
    assert function.__defaults__ == expected_defaults(params)
    assert function.__annotations__ == expected_annotations(annotations, returns)

    signature = inspect.signature(function)
    self_param, *rest = signature.parameters.values()
    assert self_param.name == "self"
    assert [(p.name, p.default) for p in rest] == params
    assert {p.kind for p in rest} <= {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert {p.name: p.annotation for p in rest if p.annotation is not REQUIRED} == annotations
    assert signature.return_annotation == (returns if returns else inspect.Signature.empty)

    bound = getattr(cls(), name)
    assert [(p.name, p.default) for p in inspect.signature(bound).parameters.values()] == params


@pytest.mark.parametrize("name, params, annotations, returns", WRAPPER_FUNCTIONS,
                         ids=[f[0] for f in WRAPPER_FUNCTIONS])
def test_wrapper_function_objects(name, params, annotations, returns):
    function = vars(AtomicCounterWrapper)[name]
    assert (function.__name__, function.__qualname__, function.__module__) == (
        name, f"AtomicCounterWrapper.{name}", MODULE)
    assert function.__doc__ is None
    assert function.__defaults__ == expected_defaults(params)
    assert function.__annotations__ == expected_annotations(annotations, returns)
    signature = inspect.signature(function)
    assert [(p.name, p.default) for p in signature.parameters.values()] == [("self", REQUIRED)] + params
    assert {p.kind for p in signature.parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    bound = getattr(AtomicCounterWrapper(), name)
    assert bound.__func__ is function
    assert [p.name for p in inspect.signature(bound).parameters.values()] == [p for p, _ in params]


def test_help_shows_the_real_parameters():
    text = pydoc.render_doc(AtomicCounter, renderer=pydoc.plaintext)
    assert re.search(r"increment\(self, (/, )?delta=1\) -> 'int'", text)
    assert re.search(r"compare_and_swap\(self, (/, )?expected, new_value\) -> 'bool'", text)
    text = pydoc.render_doc(LockFreeStatistics, renderer=pydoc.plaintext)
    assert re.search(r"record_deallocation\(self, (/, )?size: 'int', time_ns: 'int' = 0\) -> 'None'", text)
    text = pydoc.render_doc(AtomicCounterWrapper, renderer=pydoc.plaintext)
    assert "increment(self, delta: 'int' = 1) -> 'int'" in text


def test_wrapper_is_a_plain_class():
    assert AtomicCounterWrapper.__bases__ == (object,)
    assert AtomicCounterWrapper.__module__ == MODULE
    assert AtomicCounterWrapper.__doc__ == "Python wrapper for Kiln AtomicCounter (backward compatibility)."
    w = AtomicCounterWrapper(3)
    assert vars(w) == {"_counter": w._counter}
    w.extra = 1  # an ordinary instance dictionary
    with pytest.raises(TypeError, match=REFUSAL):
        pickle.dumps(w)


def test_timer_class_docstring():
    assert PerformanceTimer.__doc__ == "High-resolution timer for performance measurement."


ALIASES = [(AtomicCounter, name) for name in
           ("load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add")] + [
    (LockFreeStatistics, "record_allocation"), (LockFreeStatistics, "record_deallocation")]


@pytest.mark.parametrize("cls, name", ALIASES)
def test_py_aliases_are_the_very_same_functions(cls, name):
    alias = getattr(cls, "py_" + name)
    assert alias is getattr(cls, name) is vars(cls)[name]
    assert alias.__name__ == name


def test_methods_bind_like_python_functions():
    counter = AtomicCounter(4)
    method = counter.increment
    assert method.__self__ is counter and method.__func__ is AtomicCounter.increment
    assert method(2) == 6
    assert AtomicCounter.increment.__get__(None, AtomicCounter) is AtomicCounter.increment


@pytest.mark.parametrize("cls", NATIVE_CLASSES)
def test_instances_have_no_dictionary_and_no_weak_references(cls):
    obj = cls()
    assert not hasattr(obj, "__dict__")
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("cls", NATIVE_CLASSES)
def test_classes_cannot_be_changed_from_python(cls):
    with pytest.raises(TypeError):
        cls.load = None
    assert cls.__module__ == MODULE


@pytest.mark.parametrize("cls", NATIVE_CLASSES)
@pytest.mark.parametrize(
    "attempt",
    [pickle.dumps, copy.copy, copy.deepcopy, lambda obj: obj.__reduce__(), lambda obj: obj.__reduce_ex__(2),
     lambda obj: obj.__setstate__({})],
    ids=["pickle", "copy", "deepcopy", "__reduce__", "__reduce_ex__", "__setstate__"],
)
def test_pickling_and_copying_are_refused(cls, attempt):
    with pytest.raises(TypeError) as raised:
        attempt(cls())
    assert str(raised.value) == REFUSAL


@pytest.mark.parametrize("cls, tracked", [(AtomicCounter, False), (PerformanceTimer, False),
                                          (AtomicPointer, True), (LockFreeStack, True), (LockFreeStatistics, True)])
def test_garbage_collector_tracking(cls, tracked):
    assert gc.is_tracked(cls()) is tracked


def test_statistics_cycles_are_collected():
    class Holder:
        pass

    holder = Holder()
    stats = LockFreeStatistics()
    stats.bytes_reserved = holder
    holder.stats = stats
    alive = weakref.ref(holder)
    del holder, stats
    gc.collect()
    assert alive() is None


# Subclassing from Python.


def test_counter_subclass():
    class Named(AtomicCounter):
        __slots__ = ("name",)

        def increment(self, delta=1):
            return super().increment(delta * 10)

    counter = Named(initial_value=2)
    counter.name = "hits"
    assert counter.increment() == 12 and counter.load() == 12
    assert Named.py_increment is AtomicCounter.increment  # the alias still names the base method
    assert counter.py_increment() == 13
    assert isinstance(counter, AtomicCounter)


def test_pointer_and_stack_subclasses():
    class Cell(AtomicPointer):
        def swap(self, value):
            old = self.load()
            self.store(value)
            return old

    class Stack(LockFreeStack):
        def drain(self):
            items = []
            while not self.is_empty():
                items.append(self.pop())
            return items

    cell = Cell("a")
    assert cell.swap("b") == "a" and cell.load() == "b" and cell.get_version() == 1
    stack = Stack(1, 2)
    for item in "xyz":
        stack.push(item)
    assert stack.drain() == ["z", "y", "x"] and stack.size() == 0


def test_statistics_subclass_overriding_update_peaks():
    offered = []

    class Watched(LockFreeStatistics):
        def _update_peaks(self, current_allocs, current_bytes):
            offered.append((current_allocs, current_bytes))

    stats = Watched()
    stats.record_allocation(40)
    stats.record_allocation(2)
    assert offered == [(1, 40), (2, 42)]
    assert stats.peak_allocations.load() == 0  # the override did not raise the marks


def test_timer_subclass_overriding_elapsed_ns():
    class FixedTimer(PerformanceTimer):
        def elapsed_ns(self):
            return 2_500_000

    timer = FixedTimer()
    assert timer.elapsed_us() == 2500.0
    assert timer.elapsed_ms() == 2.5
