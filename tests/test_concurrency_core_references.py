"""Every object handed to the concurrency core is released exactly once: on
success, on a failed conversion, on a failed compare-and-swap and when a
container is destroyed with items still inside."""

import gc
import sys
import tracemalloc
from decimal import Decimal

import pytest

from vantrel.memory.concurrency_core import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


def test_stack_references_follow_push_pop_and_destruction():
    items = [object() for _ in range(4)]
    start = refcounts(items)
    s = LockFreeStack()
    for _ in range(2):
        for i in range(len(items)):
            s.push(items[i])
    assert [r - b for r, b in zip(refcounts(items), start)] == [2, 2, 2, 2]
    for _ in range(5):
        s.pop()
    assert [r - b for r, b in zip(refcounts(items), start)] == [1, 1, 1, 0]
    del s  # destroyed while it still holds three items
    assert refcounts(items) == start


def test_cell_references_follow_store_cas_and_destruction():
    a, b, c = object(), object(), object()
    start = refcounts([a, b, c])
    p = AtomicPointer(a)
    assert refcounts([a, b, c]) == [start[0] + 1, start[1], start[2]]
    p.store(b)
    assert refcounts([a, b, c]) == [start[0], start[1] + 1, start[2]]
    assert p.compare_and_swap(a, c) is False  # failure keeps nothing of c
    assert refcounts([a, b, c]) == [start[0], start[1] + 1, start[2]]
    assert p.compare_and_swap(b, c) is True
    assert refcounts([a, b, c]) == [start[0], start[1], start[2] + 1]
    loaded = p.load()
    assert refcounts([a, b, c]) == [start[0], start[1], start[2] + 2]
    del loaded
    p.store(None)
    assert refcounts([a, b, c]) == start
    p.store(a)
    del p
    assert refcounts([a, b, c]) == start


class IntResult:
    """__int__ hands out an object the test keeps, so a reference to the
    result that is never released shows up in its count."""

    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class Number:
    """A number whose int() the test keeps."""

    def __init__(self, result):
        self.result = result

    def __index__(self):
        return self.result


def counter_calls(x):
    c = AtomicCounter()
    return [lambda: AtomicCounter(x), lambda: c.store(x), lambda: c.increment(x), lambda: c.decrement(delta=x),
            lambda: c.fetch_and_add(x), lambda: c.compare_and_swap(x, 0), lambda: c.compare_and_swap(0, new_value=x)]


def annotated_int_calls(x):
    s = LockFreeStatistics()
    w = AtomicCounterWrapper()
    return [lambda: s.record_allocation(x), lambda: s.record_allocation(1, padding=x), lambda: s.record_allocation(
        1, True, 0, x), lambda: s.record_deallocation(x), lambda: s.record_deallocation(1, x),
        lambda: s._update_peaks(x, 1), lambda: s._update_peaks(1, x), lambda: AtomicCounterWrapper(x),
        lambda: w.store(x), lambda: w.increment(x), lambda: w.compare_and_swap(0, x), lambda: w.fetch_and_add(x)]


def run_all(calls, error=None):
    for call in calls:
        if error is None:
            call()
        else:
            with pytest.raises(error):
                call()


@pytest.mark.parametrize(
    "make_argument, calls, error",
    [
        (lambda: IntResult(1.5), counter_calls, TypeError),
        (lambda: IntResult(10**30), counter_calls, OverflowError),
        (lambda: ["not", "a", "number"], counter_calls, TypeError),
        (lambda: 10**30 + 1, counter_calls, OverflowError),
        (lambda: "".join(["si", "ze"]), annotated_int_calls, TypeError),
        (lambda: Number(10**30), annotated_int_calls, OverflowError),
    ],
    ids=["int-returns-float", "int-returns-huge", "no-int", "huge-int", "str-for-int", "index-to-huge"],
)
def test_failed_calls_release_their_arguments(make_argument, calls, error):
    argument = make_argument()
    kept = [argument, getattr(argument, "result", argument)]
    start = refcounts(kept)
    run_all(calls(argument), error)
    assert refcounts(kept) == start


@pytest.mark.parametrize(
    "make_argument, calls",
    [
        (lambda: IntResult(123456789), counter_calls),
        (lambda: 2**62 + 12345, counter_calls),
        (lambda: Number(123456789), annotated_int_calls),
        (lambda: Decimal("123456789.5"), annotated_int_calls),
    ],
)
def test_successful_calls_release_their_arguments(make_argument, calls):
    argument = make_argument()
    kept = [argument, getattr(argument, "result", argument)]
    start = refcounts(kept)
    run_all(calls(argument))
    assert refcounts(kept) == start


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c, x, y: c.compare_and_swap(x), "takes exactly 2 positional arguments"),
        (lambda c, x, y: c.increment(x, y), "takes at most 1 positional argument"),
        (lambda c, x, y: c.increment(x, step=y), "unexpected keyword argument 'step'"),
        (lambda c, x, y: c.compare_and_swap(x, expected=y), "multiple values for keyword argument 'expected'"),
        (lambda c, x, y: AtomicCounter(x, y), r"__cinit__\(\) takes at most 1 positional argument"),
        (lambda c, x, y: AtomicPointer(x, initial_value=y), "multiple values for keyword argument"),
    ],
)
def test_binding_errors_release_their_arguments(call, message):
    x, y = object(), object()
    start = refcounts([x, y])
    with pytest.raises(TypeError, match=message):
        call(AtomicCounter(), x, y)
    assert refcounts([x, y]) == start


def test_ignored_constructor_arguments_are_not_kept():
    x = object()
    start = sys.getrefcount(x)
    kept = [LockFreeStack(x, key=x), LockFreeStatistics(x, key=x), PerformanceTimer(x, key=x)]
    assert sys.getrefcount(x) == start
    del kept


def test_statistics_release_replaced_counters():
    stats = LockFreeStatistics()
    replacement = AtomicCounter(3)
    start = sys.getrefcount(replacement)
    stats.bytes_reserved = replacement
    assert sys.getrefcount(replacement) == start + 1
    assert stats.get_snapshot()["bytes_reserved"] == 3
    del stats.bytes_reserved
    assert sys.getrefcount(replacement) == start
    stats.bytes_reserved = replacement
    del stats
    gc.collect()
    assert sys.getrefcount(replacement) == start


@pytest.mark.parametrize("base", [AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics, PerformanceTimer])
def test_instances_of_python_subclasses_release_their_class(base):
    subclass = type("Sub", (base,), {})
    gc.collect()  # classes made by earlier tests die in cycles; let them go first
    start = sys.getrefcount(subclass), sys.getrefcount(base)
    for _ in range(50):
        subclass()
        base()
    gc.collect()
    assert (sys.getrefcount(subclass), sys.getrefcount(base)) == start


def node_memory_left(action):
    """Bytes still allocated, from this file, after `action` has run."""
    tracemalloc.start()
    try:
        before = tracemalloc.take_snapshot()
        action()
        gc.collect()
        after = tracemalloc.take_snapshot()
    finally:
        tracemalloc.stop()
    only_here = [tracemalloc.Filter(True, __file__)]
    diff = after.filter_traces(only_here).compare_to(before.filter_traces(only_here), "filename")
    return sum(stat.size_diff for stat in diff)


ITEMS = [object() for _ in range(2000)]


def push_all(s):
    for item in ITEMS:
        s.push(item)


def push_and_pop_all():
    s = LockFreeStack()
    push_all(s)
    while not s.is_empty():
        s.pop()


def push_all_then_drop():
    push_all(LockFreeStack())


@pytest.mark.parametrize("action", [push_and_pop_all, push_all_then_drop])
def test_stack_nodes_are_freed(action):
    # A leaked node per item would leave 2000 nodes attributed to push_all.
    assert node_memory_left(action) < 2000 * 8
