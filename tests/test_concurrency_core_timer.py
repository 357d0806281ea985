"""PerformanceTimer, read against a clock the test controls: the timer looks
up `time` in the module table at each call, so replacing
time.perf_counter_ns steers it."""

import sys
import time
import types

import pytest

from vantrel.memory.concurrency_core import PerformanceTimer


@pytest.fixture
def clock(monkeypatch):
    """Sets what time.perf_counter_ns returns next."""
    reading = types.SimpleNamespace(now=0)
    monkeypatch.setattr(time, "perf_counter_ns", lambda: reading.now)
    return reading


def test_readings_in_three_units(clock):
    timer = PerformanceTimer()
    clock.now = 5_000
    assert timer.start() is None
    clock.now = 12_345_000
    ns = timer.elapsed_ns()
    assert ns == 12_340_000 and type(ns) is int
    assert timer.elapsed_us() == 12_340.0 and type(timer.elapsed_us()) is float
    assert timer.elapsed_ms() == 12.34


def test_restart_and_a_timer_never_started(clock):
    clock.now = 777
    timer = PerformanceTimer()
    assert timer.elapsed_ns() == 777  # start time 0: the raw clock reading
    timer.start()
    clock.now = 1_000
    timer.start()
    clock.now = 1_500
    assert timer.elapsed_ns() == 500


@pytest.mark.parametrize(
    "reading, elapsed_at_10000",
    [(2_900.7, 7_100), (True, 9_999), (2**63 - 1, 10_000 - (2**63 - 1)), (-(2**63), 10_000 + 2**63)],
)
def test_start_reading_is_converted_to_64_bits(clock, reading, elapsed_at_10000):
    timer = PerformanceTimer()
    clock.now = reading
    timer.start()
    clock.now = 10_000
    assert timer.elapsed_ns() == elapsed_at_10000


@pytest.mark.parametrize("reading, error", [(2**63, OverflowError), ("now", TypeError)])
def test_unusable_start_reading_raises_and_keeps_the_old_start(clock, reading, error):
    timer = PerformanceTimer()
    clock.now = 100
    timer.start()
    clock.now = reading
    with pytest.raises(error):
        timer.start()
    clock.now = 150
    assert timer.elapsed_ns() == 50


def test_elapsed_uses_python_arithmetic_on_the_reading(clock):
    timer = PerformanceTimer()
    clock.now = 2**70  # beyond 64 bits: only the start is converted
    assert timer.elapsed_ns() == 2**70
    clock.now = 10.5
    assert timer.elapsed_ns() == 10.5


def test_clock_errors_propagate(monkeypatch):
    def broken():
        raise RuntimeError("clock stopped")

    monkeypatch.setattr(time, "perf_counter_ns", broken)
    timer = PerformanceTimer()
    for call in (timer.start, timer.elapsed_ns, timer.elapsed_us):
        with pytest.raises(RuntimeError, match="clock stopped"):
            call()


def test_time_is_looked_up_in_the_module_table(monkeypatch):
    monkeypatch.setitem(sys.modules, "time", types.SimpleNamespace(perf_counter_ns=lambda: 42))
    assert PerformanceTimer().elapsed_ns() == 42


def test_real_clock_readings_do_not_go_back():
    timer = PerformanceTimer()
    timer.start()
    first = timer.elapsed_ns()
    second = timer.elapsed_ns()
    assert 0 <= first <= second


def test_constructor_ignores_its_arguments_and_methods_take_none(clock):
    timer = PerformanceTimer(5, unit="ms")
    clock.now = 3
    assert timer.elapsed_ns() == 3
    with pytest.raises(TypeError) as raised:
        timer.start(1)
    assert str(raised.value) == "start() takes no arguments (1 given)"
