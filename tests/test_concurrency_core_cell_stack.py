"""AtomicPointer (identity compare-and-swap with a version count) and
LockFreeStack (last in, first out, with a size readable without the lock)."""

import gc

import pytest
from hypothesis import given
from hypothesis import strategies as st

from vantrel.memory.concurrency_core import AtomicPointer, LockFreeStack


def test_pointer_starts_empty_or_with_the_very_object():
    assert AtomicPointer().load() is None
    assert AtomicPointer(None).get_version() == 0
    content = [1]
    assert AtomicPointer(content).load() is content
    assert AtomicPointer(initial_value=content).load() is content
    assert AtomicPointer(content).get_version() == 0


def test_pointer_store_counts_every_replacement():
    p = AtomicPointer()
    assert p.store("a") is None
    assert (p.load(), p.get_version()) == ("a", 1)
    p.store(None)
    assert (p.load(), p.get_version()) == (None, 2)
    p.store(None)  # empty over empty still counts
    same = object()
    p.store(same)
    p.store(same)
    assert p.load() is same and p.get_version() == 5
    p.store(value=7)
    assert p.load() == 7 and p.get_version() == 6


def test_pointer_compare_and_swap_matches_by_identity():
    content = [1]
    p = AtomicPointer(content)
    assert p.compare_and_swap([1], 5) is False  # equal, not identical
    assert p.load() is content and p.get_version() == 0
    assert p.compare_and_swap(content, 5) is True
    assert p.load() == 5 and p.get_version() == 1
    assert p.compare_and_swap(None, "x") is False
    assert p.compare_and_swap(new_value=None, expected=p.load()) is True
    assert p.load() is None and p.get_version() == 2


def test_pointer_compare_and_swap_on_an_empty_cell():
    p = AtomicPointer()
    assert p.compare_and_swap(None, "b") is True
    assert p.load() == "b" and p.get_version() == 1
    empty = AtomicPointer()
    assert empty.compare_and_swap(None, None) is True
    assert empty.load() is None and empty.get_version() == 1


class PointerModel:
    def __init__(self):
        self.value, self.version = None, 0

    def store(self, value):
        self.value, self.version = value, self.version + 1

    def compare_and_swap(self, expected, new_value):
        if self.value is not expected:
            return False
        self.store(new_value)
        return True


POOL = [None, object(), object(), [1], [1]]  # the two lists are equal, not identical


@given(st.lists(st.tuples(st.booleans(), st.sampled_from(POOL), st.sampled_from(POOL)), max_size=30))
def test_pointer_follows_its_model(steps):
    p, model = AtomicPointer(), PointerModel()
    for is_cas, a, b in steps:
        if is_cas:
            assert p.compare_and_swap(a, b) is model.compare_and_swap(a, b)
        else:
            p.store(a)
            model.store(a)
        assert p.load() is model.value
        assert p.get_version() == model.version


def test_stack_is_last_in_first_out():
    s = LockFreeStack()
    assert (s.size(), s.is_empty(), s.pop()) == (0, True, None)
    for item in (1, 2, 3):
        assert s.push(item) is None
    assert (s.size(), s.is_empty()) == (3, False)
    assert [s.pop(), s.pop(), s.pop(), s.pop()] == [3, 2, 1, None]
    assert (s.size(), s.is_empty()) == (0, True)


def test_stack_holds_none_as_an_item():
    s = LockFreeStack()
    s.push(item=None)
    assert (s.size(), s.is_empty()) == (1, False)
    assert s.pop() is None
    assert (s.size(), s.is_empty()) == (0, True)


@given(st.lists(st.one_of(st.none(), st.integers(-5, 5))))
def test_stack_follows_a_list(steps):
    # An integer is pushed, None pops.
    s, model = LockFreeStack(), []
    for step in steps:
        if step is None:
            assert s.pop() == (model.pop() if model else None)
        else:
            s.push(step)
            model.append(step)
        assert s.size() == len(model)
        assert s.is_empty() is (not model)


def test_stack_hands_back_the_very_objects():
    items = [object() for _ in range(5)]
    s = LockFreeStack()
    for item in items:
        s.push(item)
    assert [s.pop() for _ in items] == items[::-1]


def test_constructors_ignore_or_bind_their_arguments():
    assert LockFreeStack(1, 2, key=3).size() == 0
    with pytest.raises(TypeError) as raised:
        AtomicPointer(1, 2)
    assert str(raised.value) == "__cinit__() takes at most 1 positional argument (2 given)"
    with pytest.raises(TypeError) as raised:
        AtomicPointer(value=1)
    assert str(raised.value) == "__cinit__() got an unexpected keyword argument 'value'"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda p, s: p.store(), "store() takes exactly 1 positional argument (0 given)"),
        (lambda p, s: p.compare_and_swap(1), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda p, s: p.load(1), "load() takes no arguments (1 given)"),
        (lambda p, s: p.get_version(now=1), "get_version() takes no keyword arguments"),
        (lambda p, s: s.push(), "push() takes exactly 1 positional argument (0 given)"),
        (lambda p, s: s.push(1, 2), "push() takes exactly 1 positional argument (2 given)"),
        (lambda p, s: s.push(1, value=2), "push() got an unexpected keyword argument 'value'"),
        (lambda p, s: s.pop(1), "pop() takes no arguments (1 given)"),
    ],
)
def test_argument_binding_errors_change_nothing(call, message):
    p, s = AtomicPointer("kept"), LockFreeStack()
    s.push("kept")
    with pytest.raises(TypeError) as raised:
        call(p, s)
    assert str(raised.value) == message
    assert (p.load(), p.get_version(), s.size()) == ("kept", 0, 1)


class Finaliser:
    """Re-enters the container that drops it: a finaliser that ran while the
    container's lock was held would deadlock on that lock."""

    def __init__(self, action):
        self.action = action
        self.ran = False

    def __del__(self):
        self.action()
        self.ran = True


def test_old_cell_content_is_released_outside_the_lock():
    p = AtomicPointer()
    seen = []
    p.store(Finaliser(lambda: seen.append((p.load(), p.get_version()))))
    p.store("next")
    assert seen == [("next", 2)]


def test_destroying_a_stack_runs_the_finalisers_of_its_items():
    s = LockFreeStack()
    seen = []
    for name in "abc":
        s.push(Finaliser(lambda name=name: seen.append(name)))
    del s
    gc.collect()
    assert sorted(seen) == ["a", "b", "c"]
