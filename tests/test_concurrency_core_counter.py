"""AtomicCounter (and the AtomicCounterWrapper that forwards to it) against a
small pure-Python model of 64-bit two's-complement arithmetic."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from vantrel.memory.concurrency_core import AtomicCounter, AtomicCounterWrapper

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1
TOO_LARGE = "Python int too large to convert to C long"


def wrap(value):
    return (value - INT64_MIN) % 2**64 + INT64_MIN


class CounterModel:
    """The rules of AtomicCounter in plain Python: arguments go through int()
    (bools count as 1 or 0, floats are truncated), must fit in 64 bits, and
    arithmetic wraps modulo 2**64. A failed conversion changes nothing."""

    def __init__(self, initial_value=0):
        (self.value,) = self.convert(initial_value)

    @staticmethod
    def in_range(value):
        if not INT64_MIN <= value <= INT64_MAX:
            raise OverflowError(TOO_LARGE)
        return value

    def convert(self, *args):
        # Each argument completely, one after the other.
        return [self.in_range(int(arg)) for arg in args]  # int() raises as the counter for nan / inf

    def load(self):
        return self.value

    def store(self, value):
        (self.value,) = self.convert(value)

    def increment(self, delta=1):
        (delta,) = self.convert(delta)
        self.value = wrap(self.value + delta)
        return self.value

    def decrement(self, delta=1):
        (delta,) = self.convert(delta)
        self.value = wrap(self.value - delta)
        return self.value

    def compare_and_swap(self, expected, new_value):
        expected, new_value = self.convert(expected, new_value)
        if self.value != expected:
            return False
        self.value = new_value
        return True

    def fetch_and_add(self, delta):
        (delta,) = self.convert(delta)
        old = self.value
        self.value = wrap(old + delta)
        return old


class WrapperModel(CounterModel):
    """AtomicCounterWrapper turns every argument into an int first; the
    counter it forwards to then checks the range."""

    def convert(self, *args):
        return [self.in_range(value) for value in [int(arg) for arg in args]]


class CounterSubclass(AtomicCounter):
    pass


class TableCounter:
    """An AtomicCounter driven through its native operation table; the
    arguments are converted as the Python methods would, since the table
    takes 64-bit integers only."""

    def __init__(self, table, initial_value=0):
        self.table, self.counter = table, AtomicCounter(initial_value)
        self.convert = CounterModel().convert

    def load(self):
        return self.table._c_load(self.counter)

    def store(self, value):
        self.table._c_store(self.counter, *self.convert(value))

    def increment(self, delta=1):
        return self.table._c_increment(self.counter, *self.convert(delta))

    def decrement(self, delta=1):
        return self.table._c_decrement(self.counter, *self.convert(delta))

    def compare_and_swap(self, expected, new_value):
        return self.table._c_compare_and_swap(self.counter, *self.convert(expected, new_value)) == 1

    def fetch_and_add(self, delta):
        return self.table._c_fetch_and_add(self.counter, *self.convert(delta))


def outcome(call, *args):
    """What a call produced, comparable between the counter and the model:
    the result with its exact type, or the exception type."""
    try:
        result = call(*args)
    except (TypeError, ValueError, OverflowError) as error:
        return ("raised", type(error))
    return ("returned", type(result), result)


EDGES = [INT64_MIN, INT64_MIN + 1, -1, 0, 1, INT64_MAX - 1, INT64_MAX]
in_range = st.integers(INT64_MIN, INT64_MAX) | st.sampled_from(EDGES)
out_of_range = st.integers(INT64_MAX + 1, 2**70) | st.integers(-(2**70), INT64_MIN - 1)
arguments = in_range | out_of_range | st.floats() | st.booleans()

ARITY = {"load": (0, 0), "store": (1, 1), "increment": (0, 1), "decrement": (0, 1),
         "compare_and_swap": (2, 2), "fetch_and_add": (1, 1)}
operations = st.sampled_from(sorted(ARITY)).flatmap(
    lambda name: st.tuples(st.just(name), st.lists(arguments, min_size=ARITY[name][0], max_size=ARITY[name][1])))


COUNTERS = {
    "AtomicCounter": (lambda table, initial: AtomicCounter(initial), CounterModel),
    "subclass": (lambda table, initial: CounterSubclass(initial), CounterModel),
    "wrapper": (lambda table, initial: AtomicCounterWrapper(initial), WrapperModel),
    "native-table": (TableCounter, CounterModel),
}


@pytest.mark.parametrize("kind", sorted(COUNTERS))
@settings(max_examples=300)
@given(initial=in_range | st.floats(-1e18, 1e18) | st.booleans(), steps=st.lists(operations, max_size=40))
def test_counter_follows_the_64_bit_wrapping_model(counter_table, kind, initial, steps):
    make_counter, model_class = COUNTERS[kind]
    counter, model = make_counter(counter_table, initial), model_class(initial)
    for name, args in steps:
        expected = outcome(getattr(model, name), *args)
        assert outcome(getattr(counter, name), *args) == expected, (name, args)
        assert counter.load() == model.value


@pytest.mark.parametrize(
    "start, operation, args, result, after",
    [
        (0, "load", (), 0, 0),
        (10, "increment", (), 11, 11),
        (10, "increment", (5,), 15, 15),
        (10, "decrement", (), 9, 9),
        (10, "decrement", (10,), 0, 0),
        (5, "fetch_and_add", (3,), 5, 8),
        (0, "increment", (-3,), -3, -3),
        (8, "compare_and_swap", (8, 20), True, 20),
        (20, "compare_and_swap", (8, 30), False, 20),
        (0, "store", (7,), None, 7),
        (INT64_MAX, "increment", (), INT64_MIN, INT64_MIN),
        (INT64_MIN, "decrement", (), INT64_MAX, INT64_MAX),
        (INT64_MAX, "fetch_and_add", (1,), INT64_MAX, INT64_MIN),
        (0, "increment", (2.9,), 2, 2),
        (0, "increment", (-2.9,), -2, -2),
        (0, "increment", (True,), 1, 1),
    ],
)
def test_operations(start, operation, args, result, after):
    counter = AtomicCounter(start)
    returned = getattr(counter, operation)(*args)
    assert returned == result and type(returned) is type(result)
    assert counter.load() == after


def test_construction_and_keywords():
    assert AtomicCounter().load() == 0
    assert AtomicCounter(5).load() == AtomicCounter(initial_value=5).load() == 5
    assert AtomicCounter(-7.9).load() == -7
    counter = AtomicCounter(1)
    assert counter.increment(delta=4) == 5
    assert counter.decrement(delta=2) == 3
    assert counter.fetch_and_add(delta=10) == 3
    assert counter.compare_and_swap(new_value=0, expected=13) is True
    assert counter.store(value=9) is None and counter.load() == 9


class WithIntReturning:
    def __init__(self, result):
        self.result = result

    def __int__(self):
        return self.result


class IndexOnly:
    def __index__(self):
        return 3


class IntSubclass(int):
    def __int__(self):  # an int subclass is taken as is, its __int__ is not consulted
        raise AssertionError("not called")


@pytest.mark.parametrize(
    "argument, error, message",
    [
        ("1", TypeError, "an integer is required"),
        (None, TypeError, "an integer is required"),
        (b"1", TypeError, "an integer is required"),
        (IndexOnly(), TypeError, "an integer is required"),
        (WithIntReturning(1.5), TypeError, "__int__ returned non-int (type float)"),
        (WithIntReturning("7"), TypeError, "__int__ returned non-int (type str)"),
        (WithIntReturning(2**64), OverflowError, TOO_LARGE),
        (2**63, OverflowError, TOO_LARGE),
        (INT64_MIN - 1, OverflowError, TOO_LARGE),
        (9.3e18, OverflowError, TOO_LARGE),
        (math.inf, OverflowError, "cannot convert float infinity to integer"),
        (math.nan, ValueError, "cannot convert float NaN to integer"),
    ],
)
@pytest.mark.parametrize(
    "call",
    [
        lambda c, x: c.store(x),
        lambda c, x: c.increment(x),
        lambda c, x: c.decrement(delta=x),
        lambda c, x: c.fetch_and_add(x),
        lambda c, x: c.compare_and_swap(x, 0),
        lambda c, x: c.compare_and_swap(41, x),
    ],
    ids=["store", "increment", "decrement", "fetch_and_add", "cas_expected", "cas_new_value"],
)
def test_bad_arguments_raise_before_any_change(call, argument, error, message):
    counter = AtomicCounter(41)
    with pytest.raises(error) as raised:
        call(counter, argument)
    assert str(raised.value) == message
    assert counter.load() == 41


@pytest.mark.parametrize(
    "argument, error, message",
    [
        ("1", TypeError, "an integer is required"),
        (WithIntReturning(None), TypeError, "__int__ returned non-int (type NoneType)"),
        (2**63, OverflowError, TOO_LARGE),
    ],
)
def test_bad_initial_value(argument, error, message):
    with pytest.raises(error) as raised:
        AtomicCounter(argument)
    assert str(raised.value) == message


def test_integer_like_arguments_are_accepted():
    counter = AtomicCounter(IntSubclass(5))
    assert counter.increment(WithIntReturning(IntSubclass(3))) == 8
    assert counter.increment(WithIntReturning(True)) == 9


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.fetch_and_add(), "fetch_and_add() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.increment(1, 2), "increment() takes at most 1 positional argument (2 given)"),
        (lambda c: c.compare_and_swap(1), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda c: c.compare_and_swap(1, 2, 3), "compare_and_swap() takes exactly 2 positional arguments (3 given)"),
        (lambda c: c.store(), "store() takes exactly 1 positional argument (0 given)"),
        (lambda c: c.increment(step=1), "increment() got an unexpected keyword argument 'step'"),
        (lambda c: c.store(1, delta=2), "store() got an unexpected keyword argument 'delta'"),
        (lambda c: AtomicCounter(1, 2), "__cinit__() takes at most 1 positional argument (2 given)"),
        (lambda c: AtomicCounter(value=1), "__cinit__() got an unexpected keyword argument 'value'"),
    ],
)
def test_argument_binding_errors(call, message):
    counter = AtomicCounter(3)
    with pytest.raises(TypeError) as raised:
        call(counter)
    assert str(raised.value) == message
    assert counter.load() == 3


def test_methods_called_on_the_class():
    counter = CounterSubclass(2)
    assert AtomicCounter.increment(counter, 3) == 5
    assert AtomicCounter.py_load(counter) == 5
    with pytest.raises(TypeError):
        AtomicCounter.load(5)
    with pytest.raises(TypeError):
        AtomicCounter.load()


# AtomicCounterWrapper: parameters annotated "int" are checked and converted
# before the counter is reached; results annotated "int" are checked after.


def test_wrapper_operations():
    w = AtomicCounterWrapper()
    assert isinstance(w._counter, AtomicCounter) and type(w._counter) is AtomicCounter
    assert [w.load(), w.increment(), w.increment(5), w.decrement(2), w.fetch_and_add(10), w.load()] == [
        0, 1, 6, 4, 4, 14]
    assert w.compare_and_swap(14, 0) is True
    assert w.compare_and_swap(14, 1) is False
    assert w.store(3) is None and w.load() == 3
    assert AtomicCounterWrapper.load(w) == 3
    assert AtomicCounterWrapper(7).load() == 7
    assert AtomicCounterWrapper(initial_value=2.9).load() == 2
    assert w.increment(delta=True) == 4


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda w: w.increment(None), "Argument 'delta' has incorrect type (expected int, got NoneType)"),
        (lambda w: w.store("3"), "Argument 'value' has incorrect type (expected int, got str)"),
        (lambda w: w.compare_and_swap(0, []), "Argument 'new_value' has incorrect type (expected int, got list)"),
        (lambda w: w.compare_and_swap("a", []), "Argument 'expected' has incorrect type (expected int, got str)"),
        (lambda w: w.fetch_and_add(), "fetch_and_add() takes exactly 2 positional arguments (1 given)"),
        (lambda w: w.increment(1, 2), "increment() takes at most 2 positional arguments (3 given)"),
        (lambda w: AtomicCounterWrapper(initial_value=None),
         "Argument 'initial_value' has incorrect type (expected int, got NoneType)"),
    ],
)
def test_wrapper_argument_errors_leave_the_counter_alone(call, message):
    w = AtomicCounterWrapper(5)
    with pytest.raises(TypeError) as raised:
        call(w)
    assert str(raised.value) == message
    assert w.load() == 5


def test_wrapper_propagates_counter_errors():
    w = AtomicCounterWrapper()
    with pytest.raises(OverflowError, match=f"^{TOO_LARGE}$"):
        w.increment(2**63)
    assert w.load() == 0


class ScriptedCounter:
    """Stands in for the wrapper's counter: records each call and answers
    with a fixed result."""

    def __init__(self, result):
        self.result = result
        self.calls = []

    def __getattr__(self, name):
        def method(*args):
            self.calls.append((name, args))
            return self.result
        return method


@pytest.mark.parametrize(
    "result, expected",
    [(7, 7), (True, True), (None, None), (2.9, 2), (-2.9, -2)],
)
def test_wrapper_checks_integer_results(result, expected):
    w = AtomicCounterWrapper()
    w._counter = ScriptedCounter(result)
    for call in (w.load, w.increment, w.decrement, lambda: w.fetch_and_add(1)):
        got = call()
        assert got == expected and type(got) is type(expected)
    assert w._counter.calls == [("py_load", ()), ("py_increment", (1,)), ("py_decrement", (1,)),
                                ("py_fetch_and_add", (1,))]


def test_wrapper_rejects_non_numeric_results_and_passes_cas_through():
    w = AtomicCounterWrapper()
    w._counter = ScriptedCounter("seven")
    with pytest.raises(TypeError, match=r"^Expected int, got str$"):
        w.load()
    assert w.compare_and_swap(1, 2) == "seven"
    assert w.store(4.5) is None
    assert w._counter.calls[-2:] == [("py_compare_and_swap", (1, 2)), ("py_store", (4,))]
