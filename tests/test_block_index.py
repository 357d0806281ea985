"""FastRedBlackTree: its module, arguments, operations, counters and text form."""

import copy
import pickle
import threading

import pytest

from vantrel.memory import block_index
from vantrel.memory.block_index import FastRedBlackTree
from vantrel.memory.memory_block import MemoryBlock


def blk(address, size=64):
    return MemoryBlock(address, size)


@pytest.fixture
def tree():
    return FastRedBlackTree()


# Module ----------------------------------------------------------------------


def test_module_attributes_in_creation_order():
    import math
    import time
    import typing

    from vantrel.memory import concurrency_core

    expected = [
        "threading", "time", "math", "Any", "Dict", "List", "Optional", "Tuple",
        "MemoryBlock", "__build_token__", "AtomicCounter", "ATOMIC_AVAILABLE", "FastRedBlackTree",
    ]
    names = [name for name in vars(block_index) if name in expected]
    assert names == expected
    assert block_index.threading is threading
    assert block_index.time is time and block_index.math is math
    assert all(getattr(block_index, name) is getattr(typing, name)
               for name in ("Any", "Dict", "List", "Optional", "Tuple"))
    assert block_index.MemoryBlock is MemoryBlock
    assert block_index.AtomicCounter is concurrency_core.AtomicCounter
    assert block_index.ATOMIC_AVAILABLE is True
    assert block_index.__build_token__ == "f30-locked-reads-v2"
    assert not hasattr(block_index, "logger")


def test_class_refuses_pickling_and_copying(tree):
    message = "no default __reduce__ due to non-trivial __cinit__"
    for attempt in (lambda: pickle.dumps(tree), lambda: copy.copy(tree),
                    lambda: copy.deepcopy(tree), tree.__reduce__,
                    lambda: tree.__setstate__({})):
        with pytest.raises(TypeError) as info:
            attempt()
        assert str(info.value) == message


def test_instances_have_no_dict_but_subclasses_work(tree):
    with pytest.raises(AttributeError):
        tree.extra = 1

    class Pool(FastRedBlackTree):
        pass

    pool = Pool(sample_rate=3)
    pool.extra = 1
    assert pool.insert(8, blk(1)) is True
    assert repr(pool) == "FastRedBlackTree(blocks=1, native=True)"


def test_method_metadata():
    cls = FastRedBlackTree
    table = {
        "insert": ({"size": "int", "block": "MemoryBlock", "return": "bool"}, None),
        "find_best_fit": ({"size": "int", "alignment": "int", "return": "Optional[MemoryBlock]"}, (1,)),
        "find_all_exact": ({"size": "int", "return": "List[MemoryBlock]"}, None),
        "delete": ({"size": "int", "block": "MemoryBlock", "return": "bool"}, None),
        "remove_ge": ({"size": "int", "return": "Tuple[Optional[int], Optional[MemoryBlock]]"}, None),
        "size": ({"return": "int"}, None),
        "clear": ({"return": "None"}, None),
        "get_stats": ({"return": "Dict[str, Any]"}, None),
        "get_size_distribution": ({"return": "Dict[int, int]"}, None),
        "reset_circuit_breaker": ({"return": "None"}, None),
        "get_statistics": ({"return": "Dict[int, List[float]]"}, None),
    }
    for name, (annotations, defaults) in table.items():
        method = getattr(cls, name)
        assert method.__name__ == name
        assert method.__qualname__ == f"FastRedBlackTree.{name}"
        assert method.__annotations__ == annotations, name
        assert method.__defaults__ == defaults, name
    sanitize = cls.__dict__["_sanitize_size"]
    assert isinstance(sanitize, staticmethod)
    assert cls._sanitize_size.__annotations__ == {"size": "int", "return": "int"}


# Constructor -----------------------------------------------------------------


@pytest.mark.parametrize("argument, error, message", [
    (-1, OverflowError, "can't convert negative value to uint32_t"),
    (2**32, OverflowError, "value too large to convert to uint32_t"),
    ("7", TypeError, "an integer is required"),
    (None, TypeError, "an integer is required"),
])
def test_constructor_rejects_bad_sample_rate(argument, error, message):
    with pytest.raises(error) as info:
        FastRedBlackTree(sample_rate=argument)
    assert str(info.value) == message


def test_constructor_argument_count():
    with pytest.raises(TypeError) as info:
        FastRedBlackTree(1, 2)
    assert str(info.value) == "__cinit__() takes at most 1 positional argument (2 given)"
    with pytest.raises(TypeError) as info:
        FastRedBlackTree(rate=1)
    assert str(info.value) == "__cinit__() got an unexpected keyword argument 'rate'"


@pytest.mark.parametrize("argument, every", [(2**32 - 1, 2**32 - 1), (2.9, 2), (True, 1), (3, 3)])
def test_sample_rate_conversion(argument, every):
    tree = FastRedBlackTree(argument)
    for i in range(min(every, 6)):
        tree.insert(i, blk(i))
    assert tree.get_stats()["sampled_operations"] == (1 if every <= 6 else 0)


# Size arguments and validation ------------------------------------------------


@pytest.mark.parametrize("size, stored", [(64, 64), (64.9, 64), (True, 1), (-0.5, 0), (0, 0),
                                          (2**64 - 1, 2**64 - 1)])
def test_insert_converts_size(tree, size, stored):
    block = blk(1)
    assert tree.insert(size, block) is True
    assert tree.get_size_distribution() == {stored: 1}
    assert tree.find_all_exact(stored)[0] is block


@pytest.mark.parametrize("size, error, message", [
    (-1, ValueError, "Invalid size: -1"),
    (-2.5, ValueError, "Invalid size: -2"),
    ("64", TypeError, "Argument 'size' has incorrect type (expected int, got str)"),
    (None, TypeError, "Argument 'size' has incorrect type (expected int, got NoneType)"),
    ([1], TypeError, "Argument 'size' has incorrect type (expected int, got list)"),
    (2**64, OverflowError, None),
])
def test_insert_rejects_size_and_stores_nothing(tree, size, error, message):
    with pytest.raises(error) as info:
        tree.insert(size, blk(1))
    if message is not None:
        assert str(info.value) == message
    assert len(tree) == 0
    assert tree.get_stats()["total_insertions"] == 0


@pytest.mark.parametrize("call, rejected", [
    (lambda t: t.find_best_fit(-1), None),
    (lambda t: t.find_all_exact(-1), []),
    (lambda t: t.delete(-1, blk(1)), False),
    (lambda t: t.remove_ge(-1), (None, None)),
])
def test_negative_size_is_a_miss_that_counts_nothing(tree, call, rejected):
    tree.insert(8, blk(1))
    assert call(tree) == rejected
    assert tree.read_lock_acquisitions == 0
    stats = tree.get_stats()
    assert stats["total_searches"] == 0 and stats["total_deletions"] == 0 and len(tree) == 1


@pytest.mark.parametrize("call", [
    lambda t: t.find_best_fit("1"),
    lambda t: t.find_all_exact("1"),
    lambda t: t.delete("1", None),
    lambda t: t.remove_ge("1"),
    lambda t: FastRedBlackTree._sanitize_size("1"),
])
def test_every_size_parameter_checks_its_type(tree, call):
    with pytest.raises(TypeError) as info:
        call(tree)
    assert str(info.value) == "Argument 'size' has incorrect type (expected int, got str)"


@pytest.mark.parametrize("call", [
    lambda t: t.find_best_fit(2**64),
    lambda t: t.find_all_exact(2**64),
    lambda t: t.delete(2**64, None),
    lambda t: t.remove_ge(2**64),
])
def test_size_beyond_64_bits_overflows(tree, call):
    with pytest.raises(OverflowError):
        call(tree)
    assert tree.read_lock_acquisitions == 0


def test_alignment_is_converted_first_then_ignored(tree):
    block = blk(1)
    tree.insert(100, block)
    assert tree.find_best_fit(50, alignment=4096) is block
    assert tree.find_best_fit(50, -7) is block
    assert tree.find_best_fit(size=50, alignment=2.5) is block
    # Both arguments are converted before validation, so a bad alignment
    # is reported even for a size that validation would reject.
    with pytest.raises(TypeError) as info:
        tree.find_best_fit(-1, "4")
    assert str(info.value) == "Argument 'alignment' has incorrect type (expected int, got str)"


@pytest.mark.parametrize("size, result", [(0, 0), (5, 5), (5.7, 5), (True, 1), (2**70, 2**70)])
def test_sanitize_size_accepts(size, result):
    value = FastRedBlackTree._sanitize_size(size)
    assert value == result and type(value) is int
    assert FastRedBlackTree()._sanitize_size(size=size) == result


def test_sanitize_size_rejects_negative():
    with pytest.raises(ValueError) as info:
        FastRedBlackTree._sanitize_size(-12)
    assert str(info.value) == "Invalid size: -12"


class RoundingTree(FastRedBlackTree):
    """Validates sizes by rounding them up to a multiple of 16."""

    @staticmethod
    def _sanitize_size(size):
        if size > 1000:
            raise ValueError("too large")
        return -(-size // 16) * 16


def test_subclass_validation_is_used_by_every_operation():
    tree = RoundingTree()
    a, b = blk(1), blk(2)
    tree.insert(1, a)
    tree.insert(17, b)
    assert tree.get_size_distribution() == {16: 1, 32: 1}
    assert tree.find_all_exact(3) == [a]
    assert tree.find_best_fit(20) is b
    assert tree.delete(30, b) is True
    assert tree.remove_ge(9) == (16, a)
    # A ValueError from the replacement counts as a rejected size.
    assert tree.find_best_fit(5000) is None
    assert tree.find_all_exact(5000) == []
    assert tree.delete(5000, a) is False
    assert tree.remove_ge(5000) == (None, None)
    with pytest.raises(ValueError, match="too large"):
        tree.insert(5000, a)


@pytest.mark.parametrize("returned, outcome", [
    (7.9, 7),
    ("7", TypeError("Expected int, got str")),
    (None, TypeError("Expected int, got NoneType")),
    (-1, OverflowError("can't convert negative value to uint64_t")),
])
def test_subclass_validation_result_is_converted(returned, outcome):
    class Odd(FastRedBlackTree):
        def _sanitize_size(self, size):
            return returned

    tree = Odd()
    if isinstance(outcome, Exception):
        with pytest.raises(type(outcome)) as info:
            tree.insert(1, blk(1))
        assert str(info.value) == str(outcome)
        assert len(tree) == 0
    else:
        tree.insert(1, blk(1))
        assert tree.get_size_distribution() == {outcome: 1}


def test_other_errors_from_validation_propagate():
    class Failing(FastRedBlackTree):
        def _sanitize_size(self, size):
            raise KeyError(size)

    tree = Failing()
    for call in (lambda: tree.find_best_fit(1), lambda: tree.remove_ge(1),
                 lambda: tree.delete(1, None), lambda: tree.find_all_exact(1)):
        with pytest.raises(KeyError):
            call()


# Operations --------------------------------------------------------------------


def test_blocks_of_one_size_leave_head_first_then_most_recent(tree):
    a, b, c = blk(1), blk(2), blk(3)
    for block in (a, b, c):
        tree.insert(100, block)
    assert tree.find_all_exact(100) == [a, c, b]
    assert tree.find_best_fit(50) is a
    removed = [tree.remove_ge(100) for _ in range(4)]
    assert removed == [(100, a), (100, c), (100, b), (None, None)]
    assert removed[0][1] is a and removed[1][1] is c and removed[2][1] is b


def test_remove_ge_takes_the_smallest_size_large_enough(tree):
    small, large = blk(1, 32), blk(2, 128)
    tree.insert(32, small)
    tree.insert(128, large)
    size, block = tree.remove_ge(60)
    assert (size, block) == (128, large) and block is large and type(size) is int
    assert tree.remove_ge(60) == (None, None)
    assert tree.remove_ge(0) == (32, small)


def test_find_best_fit_edges(tree):
    blocks = {size: blk(size, size) for size in (0, 7, 2**63, 2**64 - 1)}
    for size, block in blocks.items():
        tree.insert(size, block)
    assert tree.find_best_fit(0) is blocks[0]
    assert tree.find_best_fit(7) is blocks[7]
    assert tree.find_best_fit(8) is blocks[2**63]  # unsigned order above 2**63
    assert tree.find_best_fit(2**63 + 1) is blocks[2**64 - 1]
    assert tree.find_best_fit(2**64 - 1) is blocks[2**64 - 1]
    assert len(tree) == 4


def test_find_all_exact_returns_a_new_list(tree):
    assert tree.find_all_exact(10) == []
    tree.insert(10, blk(1))
    first = tree.find_all_exact(10)
    first.append("x")
    assert tree.find_all_exact(10) == [blk(1)]


def test_delete_by_value(tree):
    stored = blk(1, 100)
    tree.insert(100, stored)
    assert tree.delete(200, stored) is False
    assert tree.delete(100, blk(2, 100)) is False
    probe = blk(1, 100)
    assert probe is not stored
    assert tree.delete(100, probe) is True
    assert len(tree) == 0 and tree.find_all_exact(100) == []
    assert tree.delete(100, probe) is False


def test_delete_of_head_promotes_most_recent_remaining(tree):
    a, b, c, d = (blk(i, 100) for i in range(4))
    for block in (a, b, c, d):
        tree.insert(100, block)
    assert tree.find_all_exact(100) == [a, d, c, b]
    assert tree.delete(100, a) is True
    assert tree.find_all_exact(100) == [d, c, b]
    assert tree.delete(100, c) is True
    assert tree.find_all_exact(100) == [d, b]
    assert tree.get_size_distribution() == {100: 2}


def test_delete_removes_only_the_first_equal_block(tree):
    twins = [blk(1, 100) for _ in range(3)]
    for block in twins:
        tree.insert(100, block)
    assert tree.delete(100, blk(1, 100)) is True
    remaining = tree.find_all_exact(100)
    assert len(remaining) == 2
    assert remaining[0] is twins[2] and remaining[1] is twins[1]


class Recording:
    """A block that logs its comparisons; equal when the keys match."""

    log = []

    def __init__(self, key):
        self.key = key

    def __eq__(self, other):
        Recording.log.append((self.key, getattr(other, "key", other)))
        if other == "boom":
            raise RuntimeError("comparison failed")
        return isinstance(other, Recording) and self.key == other.key

    __hash__ = object.__hash__


def test_delete_compares_stored_block_on_the_left_in_chain_order(tree):
    Recording.log.clear()
    for key in "abc":
        tree.insert(5, Recording(key))
    assert tree.delete(5, "zzz") is False
    assert Recording.log == [("a", "zzz"), ("c", "zzz"), ("b", "zzz")]


def test_exception_from_comparison_propagates_and_releases_the_lock(tree):
    tree.insert(5, Recording("a"))
    with pytest.raises(RuntimeError, match="comparison failed"):
        tree.delete(5, "boom")
    assert len(tree) == 1
    assert tree.get_write_lock().locked() is False
    assert tree.get_stats()["total_deletions"] == 0


def test_comparison_result_uses_truth_value(tree):
    class Truthy:
        def __init__(self, answer):
            self.answer = answer

        def __eq__(self, other):
            return self.answer

    tree.insert(1, Truthy([]))
    tree.insert(1, Truthy([0]))
    assert tree.delete(1, object()) is True
    assert len(tree) == 1 and tree.find_all_exact(1)[0].answer == []


def test_same_object_may_be_stored_many_times(tree):
    block = blk(1)
    for size in (8, 8, 16):
        tree.insert(size, block)
    assert tree.get_size_distribution() == {8: 2, 16: 1}
    assert tree.delete(8, block) and tree.delete(8, block) and tree.delete(16, block)
    assert len(tree) == 0


def test_size_len_truth_and_repr(tree):
    assert tree.size() == 0 and len(tree) == 0 and not tree
    assert repr(tree) == "FastRedBlackTree(blocks=0, native=True)"
    tree.insert(8, blk(1))
    tree.insert(8, blk(2))
    assert tree.size() == 2 and len(tree) == 2 and tree
    assert repr(tree) == "FastRedBlackTree(blocks=2, native=True)"
    tree.clear()
    assert len(tree) == 0 and not tree


def test_len_and_truth_go_through_size():
    class Fixed(FastRedBlackTree):
        def size(self):
            return 5

    class Empty(FastRedBlackTree):
        def size(self):
            return 0

    fixed, empty = Fixed(), Empty()
    assert len(fixed) == 5 and bool(fixed)
    empty.insert(1, blk(1))
    assert len(empty) == 0 and not empty
    assert repr(empty) == "FastRedBlackTree(blocks=1, native=True)"


def test_get_write_lock_is_the_trees_one_lock(tree):
    lock = tree.get_write_lock()
    assert lock is tree.get_write_lock()
    assert type(lock) is type(threading.Lock())
    assert FastRedBlackTree().get_write_lock() is not lock

    inserted = threading.Event()
    with lock:
        worker = threading.Thread(target=lambda: (tree.insert(1, blk(1)), inserted.set()))
        worker.start()
        worker.join(0.2)
        assert not inserted.is_set(), "insert ran while another thread held the tree's lock"
    worker.join()
    assert inserted.is_set() and len(tree) == 1


def test_clear_empties_the_tree(tree):
    for size in (5, 5, 9, 1):
        tree.insert(size, blk(size))
    assert tree.clear() is None
    assert len(tree) == 0 and tree.get_size_distribution() == {}
    assert tree.remove_ge(0) == (None, None)
    tree.insert(3, blk(3))
    assert tree.get_size_distribution() == {3: 1}


# Statistics --------------------------------------------------------------------

EMPTY_STATS = {
    "total_blocks": 0, "total_insertions": 0, "total_deletions": 0, "total_searches": 0,
    "bucket_hits": 0, "tree_hits": 0, "operation_count": 0, "node_count": 0, "height": 0,
    "sampled_operations": 0, "is_valid": True,
}


def test_new_tree_stats(tree):
    stats = tree.get_stats()
    assert list(stats.items()) == list(EMPTY_STATS.items())
    assert tree.read_lock_acquisitions == 1
    assert tree.get_stats() is not stats


def test_stats_follow_the_operations(tree):
    for address in range(3):
        tree.insert(10 * address, blk(address))
    tree.remove_ge(0)
    tree.find_best_fit(1)
    tree.find_all_exact(10)
    tree.find_best_fit(10**6)
    tree.delete(20, blk(2))
    tree.delete(20, blk(2))
    stats = tree.get_stats()
    assert {k: stats[k] for k in ("total_blocks", "total_insertions", "total_deletions",
                                  "total_searches", "operation_count", "node_count", "height")} == {
        "total_blocks": 1, "total_insertions": 3, "total_deletions": 2, "total_searches": 3,
        "operation_count": 3, "node_count": 1, "height": 1}
    assert stats["bucket_hits"] == stats["tree_hits"] == 0
    assert tree.read_lock_acquisitions == 4


def test_returned_stats_are_a_snapshot(tree):
    stats = tree.get_stats()
    tree.insert(1, blk(1))
    assert stats["total_insertions"] == 0
    stats["total_insertions"] = 99
    assert tree.get_stats()["total_insertions"] == 1


def test_searches_count_only_validated_sizes(tree):
    tree.find_best_fit(-5)
    assert tree.read_lock_acquisitions == 0
    tree.find_best_fit(5)
    assert tree.read_lock_acquisitions == 1
    assert tree.get_stats()["total_searches"] == 1


def test_size_distribution_does_not_count_as_a_read(tree):
    assert tree.get_size_distribution() == {}
    for size in (64, 32, 128, 64, 64, 128):
        tree.insert(size, blk(size))
    dist = tree.get_size_distribution()
    assert list(dist.items()) == [(64, 3), (32, 1), (128, 2)]
    assert all(type(k) is int and type(v) is int for k, v in dist.items())
    assert tree.read_lock_acquisitions == 0


@pytest.mark.parametrize("rate, inserts, sampled", [
    (100, 99, 0), (100, 100, 1), (100, 250, 2), (1, 7, 7), (0, 50, 0), (3, 10, 3),
])
def test_sampling_counts_every_nth_insertion(rate, inserts, sampled):
    tree = FastRedBlackTree(rate)
    for i in range(inserts):
        tree.insert(i % 7, blk(i))
    stats = tree.get_stats()
    assert stats["sampled_operations"] == sampled
    assert stats["operation_count"] == inserts


def test_clear_restarts_sampling_and_counters_but_keeps_reads():
    tree = FastRedBlackTree(sample_rate=2)
    for i in range(3):
        tree.insert(i, blk(i))
    tree.find_best_fit(0)
    tree.reset_circuit_breaker()
    tree.clear()
    tree.insert(1, blk(1))
    stats = tree.get_stats()
    assert "circuit_breaker_trips" not in stats
    assert stats["sampled_operations"] == 0 and stats["total_insertions"] == 1
    tree.insert(1, blk(2))
    assert tree.get_stats()["sampled_operations"] == 1
    assert tree.read_lock_acquisitions == 3


def test_reset_circuit_breaker(tree):
    for i in range(4):
        tree.insert(i, blk(i))
    assert tree.reset_circuit_breaker() is None
    stats = tree.get_stats()
    assert list(stats)[6:9] == ["operation_count", "circuit_breaker_trips", "node_count"]
    assert stats["operation_count"] == 0 and stats["circuit_breaker_trips"] == 0
    assert stats["total_insertions"] == 4
    tree.insert(9, blk(9))
    assert tree.get_stats()["operation_count"] == 1


def test_get_statistics_is_always_a_new_empty_dict(tree):
    first = tree.get_statistics()
    assert first == {} and tree.get_statistics() is not first
    tree.insert(1, blk(1))
    assert tree.get_statistics() == {}


@pytest.mark.parametrize("value, stored", [(5, 5), (2**64 - 1, 2**64 - 1), (5.9, 5), (True, 1)])
def test_read_lock_acquisitions_assignment(tree, value, stored):
    tree.read_lock_acquisitions = value
    assert tree.read_lock_acquisitions == stored and type(tree.read_lock_acquisitions) is int


@pytest.mark.parametrize("value, error, message", [
    (-1, OverflowError, "can't convert negative value to uint64_t"),
    (2**64, OverflowError, None),
    ("1", TypeError, "an integer is required"),
])
def test_read_lock_acquisitions_rejects(tree, value, error, message):
    tree.read_lock_acquisitions = 7
    with pytest.raises(error) as info:
        tree.read_lock_acquisitions = value
    if message is not None:
        assert str(info.value) == message
    assert tree.read_lock_acquisitions == 7


def test_read_lock_acquisitions_cannot_be_deleted(tree):
    with pytest.raises(NotImplementedError) as info:
        del tree.read_lock_acquisitions
    assert str(info.value) == "__del__"


def test_replaced_counter_class_is_used_through_its_methods(monkeypatch):
    calls = []

    class Counting(block_index.AtomicCounter):
        def increment(self, delta=1):
            calls.append("increment")
            return super().increment(delta)

        def load(self):
            calls.append("load")
            return super().load()

    monkeypatch.setattr(block_index, "AtomicCounter", Counting)
    tree = FastRedBlackTree(sample_rate=2)
    for i in range(4):
        tree.insert(i, blk(i))
    assert tree.get_stats()["sampled_operations"] == 2
    # Four counted insertions, two of them sampled, then one read.
    assert calls == ["increment"] * 6 + ["load"]
    tree.clear()  # looks the class up again
    tree.insert(1, blk(1))
    assert calls[-1] == "increment" and len(calls) == 8


def test_trees_without_the_counter_class_do_not_sample(monkeypatch):
    monkeypatch.setattr(block_index, "ATOMIC_AVAILABLE", False)
    tree = FastRedBlackTree(sample_rate=1)
    tree.insert(1, blk(1))
    assert tree.get_stats()["sampled_operations"] == 0
    assert all(type(r).__name__ != "AtomicCounter" for r in __import__("gc").get_referents(tree))


def test_signatures_for_introspection():
    import inspect

    assert str(inspect.signature(FastRedBlackTree)) == "(sample_rate=100)"
    assert str(inspect.signature(FastRedBlackTree.find_best_fit)) == (
        "(self, /, size: 'int', alignment: 'int' = 1) -> 'Optional[MemoryBlock]'")
    assert str(inspect.signature(FastRedBlackTree._sanitize_size)) == "(size: 'int') -> 'int'"
    assert FastRedBlackTree.__doc__.startswith("Red-black tree of free memory blocks")


def test_stub_lists_the_class_surface():
    import ast
    import pathlib

    stub_path = pathlib.Path(block_index.__file__).with_name("block_index.pyi")
    stub = ast.parse(stub_path.read_text())
    (cls,) = [n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "FastRedBlackTree"]
    stubbed = {n.name for n in cls.body if isinstance(n, ast.FunctionDef) and not n.name.startswith("__")}
    assert stubbed == {name for name in vars(FastRedBlackTree) if not name.startswith("__")}
    assigned = {t.id for n in stub.body if isinstance(n, ast.AnnAssign) for t in [n.target]}
    assert assigned == {"__build_token__", "AtomicCounter", "ATOMIC_AVAILABLE"}
