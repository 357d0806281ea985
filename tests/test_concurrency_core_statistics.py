"""LockFreeStatistics against a pure-Python model of its recording rules, and
its counters reached through their Python-level methods (so replaced
attributes are honoured)."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from vantrel.memory.concurrency_core import AtomicCounter, LockFreeStatistics

FIGURES = [
    "total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
    "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
    "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns",
]
SNAPSHOT_KEYS = [
    "total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
    "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
    "bucketed_allocation_ratio", "alignment_padding_bytes", "average_allocation_time_ns",
    "average_deallocation_time_ns", "allocation_mode",
]


def expected_snapshot(f):
    """The snapshot of the figures `f` (a dict of the twelve values)."""
    ratio = f["bucketed_allocations"] / f["total_allocations"] * 100.0 if f["total_allocations"] > 0 else 0.0
    snapshot = {key: f[key] for key in FIGURES[:9]}
    snapshot["bucketed_allocation_ratio"] = f"{ratio:.1f}%"
    snapshot["alignment_padding_bytes"] = f["alignment_padding_bytes"]
    snapshot["average_allocation_time_ns"] = (
        f["total_allocation_time_ns"] / f["total_allocations"] if f["total_allocations"] > 0 else 0.0)
    snapshot["average_deallocation_time_ns"] = (
        f["total_deallocation_time_ns"] / f["total_deallocations"] if f["total_deallocations"] > 0 else 0.0)
    snapshot["allocation_mode"] = "lock-free C11 atomics"
    return snapshot


class StatisticsModel:
    def __init__(self):
        self.f = dict.fromkeys(FIGURES, 0)

    def record_allocation(self, size, is_bucketed=True, padding=0, time_ns=0):
        f = self.f
        f["total_allocations"] += 1
        f["current_allocations"] += 1
        f["bytes_allocated"] += int(size)
        f["bucketed_allocations" if is_bucketed else "fallback_allocations"] += 1
        f["alignment_padding_bytes"] += max(int(padding), 0)
        f["total_allocation_time_ns"] += max(int(time_ns), 0)
        f["peak_allocations"] = max(f["peak_allocations"], f["current_allocations"])
        f["peak_bytes_allocated"] = max(f["peak_bytes_allocated"], f["bytes_allocated"])

    def record_deallocation(self, size, time_ns=0):
        f = self.f
        f["total_deallocations"] += 1
        f["current_allocations"] -= 1
        f["bytes_allocated"] -= int(size)
        f["total_deallocation_time_ns"] += max(int(time_ns), 0)

    def reset(self):
        self.f = dict.fromkeys(FIGURES, 0)


def assert_snapshot(stats, figures):
    snapshot = stats.get_snapshot()
    assert list(snapshot) == SNAPSHOT_KEYS
    expected = expected_snapshot(figures)
    assert snapshot == expected
    assert [type(v) for v in snapshot.values()] == [type(v) for v in expected.values()]


amounts = st.integers(-(2**40), 2**40) | st.floats(-1e9, 1e9) | st.booleans()
events = st.one_of(
    st.tuples(st.just("record_allocation"), amounts, st.sampled_from([True, False, 0, 1, "", "x", None]),
              amounts, amounts),
    st.tuples(st.just("record_deallocation"), amounts, amounts),
    st.tuples(st.just("reset")),
)


@given(st.lists(events, max_size=30))
def test_statistics_follow_the_model(steps):
    stats, model = LockFreeStatistics(), StatisticsModel()
    for name, *args in steps:
        assert getattr(stats, name)(*args) is None
        getattr(model, name)(*args)
        assert_snapshot(stats, model.f)


@given(st.fixed_dictionaries({name: st.integers(-(2**63), 2**63 - 1) for name in FIGURES}))
def test_snapshot_derives_ratio_and_averages_from_any_figures(figures):
    stats = LockFreeStatistics()
    for name, value in figures.items():
        getattr(stats, name).store(value)
    assert_snapshot(stats, figures)


class Fixed:
    """A replaced figure whose load() returns a fixed value."""

    def __init__(self, value):
        self.value = value

    def load(self):
        return self.value


@given(st.fixed_dictionaries({name: st.floats() | st.integers(-(2**63), 2**63 - 1) for name in FIGURES}))
def test_snapshot_of_replaced_figures_formats_like_python(figures):
    # Floats (nan, infinities, -0.0 included) take the same ratio text and
    # averages as Python's own format(ratio, ".1f") and true division.
    stats = LockFreeStatistics()
    for name, value in figures.items():
        setattr(stats, name, Fixed(value))
    snapshot = stats.get_snapshot()
    assert list(snapshot) == SNAPSHOT_KEYS
    assert [repr(v) for v in snapshot.values()] == [repr(v) for v in expected_snapshot(figures).values()]


def test_new_object_snapshot():
    assert_snapshot(LockFreeStatistics(), dict.fromkeys(FIGURES, 0))
    assert LockFreeStatistics().get_snapshot()["bucketed_allocation_ratio"] == "0.0%"


def test_recording_sequence():
    stats = LockFreeStatistics()
    stats.record_allocation(100)
    s = stats.get_snapshot()
    assert (s["total_allocations"], s["current_allocations"], s["bytes_allocated"], s["bucketed_allocations"],
            s["fallback_allocations"], s["peak_allocations"], s["peak_bytes_allocated"],
            s["bucketed_allocation_ratio"]) == (1, 1, 100, 1, 0, 1, 100, "100.0%")
    stats.record_allocation(50, False, 8, 500)
    stats.record_allocation(10, True, 0, 300)
    s = stats.get_snapshot()
    assert (s["bucketed_allocations"], s["fallback_allocations"], s["bucketed_allocation_ratio"],
            s["alignment_padding_bytes"], s["average_allocation_time_ns"], s["peak_allocations"],
            s["peak_bytes_allocated"]) == (2, 1, "66.7%", 8, 266.6666666666667, 3, 160)
    stats.record_deallocation(100, 40)
    s = stats.get_snapshot()
    assert (s["total_deallocations"], s["current_allocations"], s["bytes_allocated"],
            s["average_deallocation_time_ns"], s["peak_allocations"], s["peak_bytes_allocated"]) == (
        1, 2, 60, 40.0, 3, 160)
    assert stats.reset() is None
    assert_snapshot(stats, dict.fromkeys(FIGURES, 0))


def test_keywords_and_edge_values():
    stats = LockFreeStatistics()
    stats.record_allocation(size=10, padding=-5, time_ns=-1)
    stats.record_allocation(2.9, is_bucketed=[])
    stats.record_deallocation(time_ns=7, size=1)
    s = stats.get_snapshot()
    assert (s["bytes_allocated"], s["alignment_padding_bytes"], s["average_allocation_time_ns"],
            s["fallback_allocations"], s["average_deallocation_time_ns"]) == (11, 0, 0.0, 1, 7.0)
    fresh = LockFreeStatistics()
    fresh.record_deallocation(10)
    assert (fresh.current_allocations.load(), fresh.bytes_allocated.load()) == (-1, -10)


def test_update_peaks_only_raises():
    stats = LockFreeStatistics()
    assert stats._update_peaks(5, 10) is None
    assert (stats.peak_allocations.load(), stats.peak_bytes_allocated.load()) == (5, 10)
    stats._update_peaks(current_bytes=20, current_allocs=3)
    assert (stats.peak_allocations.load(), stats.peak_bytes_allocated.load()) == (5, 20)
    stats._update_peaks(-1, 2.9)
    assert (stats.peak_allocations.load(), stats.peak_bytes_allocated.load()) == (5, 20)


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda s: s.record_allocation("x"), TypeError, "Argument 'size' has incorrect type (expected int, got str)"),
        (lambda s: s.record_allocation(None, padding="p"), TypeError,
         "Argument 'size' has incorrect type (expected int, got NoneType)"),
        (lambda s: s.record_allocation(1, True, [], "t"), TypeError,
         "Argument 'padding' has incorrect type (expected int, got list)"),
        (lambda s: s.record_allocation(1, time_ns=b""), TypeError,
         "Argument 'time_ns' has incorrect type (expected int, got bytes)"),
        (lambda s: s.record_allocation(1, Truthless()), ZeroDivisionError, "no truth"),
        (lambda s: s.record_deallocation(1, time_ns=()), TypeError,
         "Argument 'time_ns' has incorrect type (expected int, got tuple)"),
        (lambda s: s._update_peaks(1, "2"), TypeError,
         "Argument 'current_bytes' has incorrect type (expected int, got str)"),
        (lambda s: s.record_allocation(), TypeError, "record_allocation() takes at least 1 positional argument (0 given)"),
        (lambda s: s.record_allocation(1, True, 0, 0, 0), TypeError,
         "record_allocation() takes at most 4 positional arguments (5 given)"),
        (lambda s: s.record_deallocation(1, padding=0), TypeError,
         "record_deallocation() got an unexpected keyword argument 'padding'"),
        (lambda s: s._update_peaks(1), TypeError, "_update_peaks() takes exactly 2 positional arguments (1 given)"),
        (lambda s: s.get_snapshot(1), TypeError, "get_snapshot() takes no arguments (1 given)"),
    ],
)
def test_bad_arguments_change_nothing(call, error, message):
    stats = LockFreeStatistics()
    stats.record_allocation(64)
    before = stats.get_snapshot()
    with pytest.raises(error) as raised:
        call(stats)
    assert str(raised.value) == message
    assert stats.get_snapshot() == before


def test_recording_is_not_transactional():
    # The counts are raised before the size is found not to fit in 64 bits.
    stats = LockFreeStatistics()
    with pytest.raises(OverflowError):
        stats.record_allocation(2**63)
    assert (stats.total_allocations.load(), stats.current_allocations.load(), stats.bytes_allocated.load(),
            stats.bucketed_allocations.load()) == (1, 1, 0, 0)


def test_constructor_ignores_its_arguments():
    stats = LockFreeStatistics(1, 2, mode="x")
    assert_snapshot(stats, dict.fromkeys(FIGURES, 0))


def test_each_figure_is_its_own_atomic_counter():
    stats = LockFreeStatistics()
    counters = [getattr(stats, name) for name in FIGURES]
    assert all(type(c) is AtomicCounter for c in counters)
    assert len({id(c) for c in counters}) == 12
    assert [getattr(stats, name) for name in FIGURES] == counters  # the same objects each time


# Replaced figures: any object offering the counter methods is used through them.


class LoggingCounter:
    """A duck-typed counter that logs the calls it receives."""

    def __init__(self, name, log, value=0):
        self.name, self.log, self.value = name, log, value

    def increment(self, delta=1):
        self.log.append((self.name, "increment", delta))
        self.value += delta
        return self.value

    def decrement(self, delta=1):
        self.log.append((self.name, "decrement", delta))
        self.value -= delta
        return self.value

    def load(self):
        self.log.append((self.name, "load"))
        return self.value

    def store(self, value):
        self.log.append((self.name, "store", value))
        self.value = value

    def compare_and_swap(self, expected, new_value):
        self.log.append((self.name, "compare_and_swap", expected, new_value))
        if self.value != expected:
            return False
        self.value = new_value
        return True


@pytest.fixture
def logged():
    """Statistics whose twelve figures all log their calls."""
    stats, log = LockFreeStatistics(), []
    for name in FIGURES:
        setattr(stats, name, LoggingCounter(name, log))
    return stats, log


def test_record_allocation_calls_the_counters_in_order(logged):
    stats, log = logged
    size = 10**30  # beyond 64 bits: a replaced counter takes any int, passed on as the same object
    stats.record_allocation(size, False, 3, 4)
    assert log == [
        ("total_allocations", "increment", 1),
        ("current_allocations", "increment", 1),
        ("bytes_allocated", "increment", size),
        ("fallback_allocations", "increment", 1),
        ("alignment_padding_bytes", "increment", 3),
        ("total_allocation_time_ns", "increment", 4),
        ("current_allocations", "load"),
        ("bytes_allocated", "load"),
        ("peak_allocations", "load"),
        ("peak_allocations", "compare_and_swap", 0, 1),
        ("peak_bytes_allocated", "load"),
        ("peak_bytes_allocated", "compare_and_swap", 0, size),
    ]
    assert log[2][2] is size
    assert stats.get_snapshot()["peak_bytes_allocated"] == size


def test_record_deallocation_reset_and_snapshot_call_the_counters(logged):
    stats, log = logged
    stats.record_deallocation(7, 0)
    assert log == [("total_deallocations", "increment", 1), ("current_allocations", "decrement", 1),
                   ("bytes_allocated", "decrement", 7)]
    del log[:]
    stats.reset()
    assert log == [(name, "store", 0) for name in FIGURES]
    del log[:]
    stats.get_snapshot()
    assert log == [(name, "load") for name in FIGURES]


def test_peak_loop_retries_when_the_mark_moved(logged):
    stats, log = logged
    peak = stats.peak_allocations
    swaps = []

    def racing_cas(expected, new_value):
        # Another thread raises the mark to 3 between the load and the first swap.
        swaps.append((expected, new_value))
        if len(swaps) == 1:
            peak.value = 3
            return False
        return LoggingCounter.compare_and_swap(peak, expected, new_value)

    peak.compare_and_swap = racing_cas
    stats._update_peaks(5, 0)
    assert swaps == [(0, 5), (3, 5)]
    assert peak.value == 5
    peak.value = 9
    stats._update_peaks(5, 0)  # the mark is higher already: no swap
    assert swaps == [(0, 5), (3, 5)] and peak.value == 9


def test_replaced_figure_is_reported():
    stats = LockFreeStatistics()
    stats.bytes_reserved = AtomicCounter(7)
    assert stats.get_snapshot()["bytes_reserved"] == 7
    stats.reset()
    assert stats.bytes_reserved.load() == 0


def test_subclass_of_atomic_counter_is_reached_through_its_methods():
    class Doubling(AtomicCounter):
        def increment(self, delta=1):
            return super().increment(2 * delta)

    stats = LockFreeStatistics()
    stats.bytes_allocated = Doubling()
    stats.record_allocation(10)
    assert stats.get_snapshot()["bytes_allocated"] == 20
    assert stats.peak_bytes_allocated.load() == 20


def test_deleted_figure_becomes_none():
    stats = LockFreeStatistics()
    del stats.bytes_reserved
    assert stats.bytes_reserved is None
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'load'"):
        stats.get_snapshot()
    del stats.total_allocations
    with pytest.raises(AttributeError, match="'NoneType' object has no attribute 'increment'"):
        stats.record_allocation(1)
    stats.bytes_reserved = 5  # stored without a check
    assert stats.bytes_reserved == 5


def test_error_from_a_replaced_figure_propagates_after_earlier_steps():
    stats = LockFreeStatistics()
    stats.fallback_allocations = object()
    with pytest.raises(AttributeError):
        stats.record_allocation(10, is_bucketed=False)
    assert (stats.total_allocations.load(), stats.bytes_allocated.load(), stats.peak_allocations.load()) == (1, 10, 0)


def test_subclass_update_peaks_is_called():
    calls = []

    class Recording(LockFreeStatistics):
        def _update_peaks(self, current_allocs, current_bytes):
            calls.append((current_allocs, current_bytes))
            super()._update_peaks(current_allocs, current_bytes)

    stats = Recording()
    stats.record_allocation(100)
    stats.record_allocation(28, padding=4)
    stats.record_deallocation(100)
    stats.record_allocation(1)
    assert calls == [(1, 100), (2, 128), (2, 29)]
    assert (stats.peak_allocations.load(), stats.peak_bytes_allocated.load()) == (2, 128)


def test_py_aliases_record_like_the_methods():
    stats = LockFreeStatistics()
    stats.py_record_allocation(5)
    stats.py_record_deallocation(size=2)
    assert (stats.total_allocations.load(), stats.bytes_allocated.load()) == (1, 3)
