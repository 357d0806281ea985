"""FastRedBlackTree and the references it holds: every block handed in is
released exactly once, finalisers may re-enter the tree, and the module works
without the concurrency core."""

import gc
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from vantrel.memory.block_index import FastRedBlackTree
from vantrel.memory.memory_block import MemoryBlock


def refcounts(objects):
    return [sys.getrefcount(o) for o in objects]


@pytest.fixture
def blocks():
    # Some sizes repeat, so chains are involved everywhere.
    return [(size, MemoryBlock(i, size)) for i, size in enumerate([8, 8, 8, 16, 4, 32, 16, 64, 8, 2])]


def filled(blocks):
    tree = FastRedBlackTree()
    for size, block in blocks:
        tree.insert(size, block)
    return tree


def test_lookups_hand_out_new_references(blocks):
    objects = [b for _, b in blocks]
    start = refcounts(objects)
    tree = filled(blocks)
    stored = refcounts(objects)
    assert [s - b for s, b in zip(stored, start)] == [1] * len(objects)
    found = [tree.find_best_fit(size) for size, _ in blocks] + tree.find_all_exact(8)
    tree.get_size_distribution()
    del found
    assert refcounts(objects) == stored
    del tree
    assert refcounts(objects) == start


def drain(tree, blocks, how):
    if how == "remove_ge":
        while tree:
            tree.remove_ge(0)
    elif how == "delete_head_first":
        for size, block in blocks:
            assert tree.delete(size, block)
    elif how == "delete_chain_first":
        for size, block in reversed(blocks):
            assert tree.delete(size, MemoryBlock(block.address, block.size))
    elif how == "clear":
        tree.clear()


@pytest.mark.parametrize("how", ["remove_ge", "delete_head_first", "delete_chain_first", "clear"])
def test_references_return_to_their_start(blocks, how):
    objects = [b for _, b in blocks]
    start = refcounts(objects)
    tree = filled(blocks)
    drain(tree, blocks, how)
    assert len(tree) == 0
    assert refcounts(objects) == start
    drain(tree, blocks, "clear")
    del tree
    assert refcounts(objects) == start


def test_destroying_a_filled_tree_releases_every_block(blocks):
    objects = [b for _, b in blocks]
    start = refcounts(objects)
    tree = filled(blocks)
    del tree
    assert refcounts(objects) == start


def test_the_same_object_stored_many_times_is_released_as_often():
    block = MemoryBlock(1, 1)
    start = sys.getrefcount(block)
    tree = FastRedBlackTree()
    for size in (1, 1, 2, 3, 3, 3):
        tree.insert(size, block)
    assert sys.getrefcount(block) == start + 6
    tree.delete(3, block)
    tree.remove_ge(2)
    assert sys.getrefcount(block) == start + 4
    del tree
    assert sys.getrefcount(block) == start


def test_failed_comparison_keeps_references():
    class Touchy:
        def __eq__(self, other):
            raise ArithmeticError

        __hash__ = object.__hash__

    stored, probe = Touchy(), object()
    start = refcounts([stored, probe])
    tree = FastRedBlackTree()
    tree.insert(5, stored)
    with pytest.raises(ArithmeticError):
        tree.delete(5, probe)
    assert refcounts([stored, probe]) == [start[0] + 1, start[1]]
    tree.clear()
    assert refcounts([stored, probe]) == start


def test_insert_is_all_or_nothing_when_memory_runs_out():
    testcapi = pytest.importorskip("_testcapi")
    block = MemoryBlock(1, 3)
    messages = set()
    for failing in range(40):
        tree = FastRedBlackTree(sample_rate=0)
        tree.insert(7, MemoryBlock(0, 7))
        start = sys.getrefcount(block)
        try:
            testcapi.set_nomemory(failing, failing + 1)  # only that one allocation fails
            tree.insert(3, block)
        except MemoryError as exc:
            testcapi.remove_mem_hooks()
            messages.add(str(exc))
            assert sys.getrefcount(block) == start
            stats = tree.get_stats()
            assert (len(tree), stats["total_insertions"], stats["total_blocks"]) == (1, 1, 1)
            assert tree.get_size_distribution() == {7: 1}
            assert tree.get_write_lock().locked() is False
        else:
            testcapi.remove_mem_hooks()
            assert tree.get_size_distribution() == {7: 1, 3: 1}
            break
    assert "Failed to allocate RB node" in messages


class Returning:
    """A block that, when its last reference goes, hands a fresh block for
    the same memory back to its tree, as a pool's blocks do."""

    def __init__(self, tree, address, size):
        self.tree, self.address, self.size = tree, address, size

    def __eq__(self, other):
        return (self.address, self.size) == (getattr(other, "address", None), getattr(other, "size", None))

    __hash__ = object.__hash__

    def __del__(self):
        self.tree.insert(self.size, MemoryBlock(self.address, self.size))


def without_hang(action):
    """Runs `action` in a thread; a deadlock fails the test instead of hanging it."""
    outcome = []
    worker = threading.Thread(target=lambda: outcome.append(action()), daemon=True)
    worker.start()
    worker.join(60)
    assert not worker.is_alive(), "deadlocked on the tree's own lock"
    return outcome[0]


@pytest.mark.parametrize("chained", [False, True])
def test_finaliser_inserting_into_the_same_tree_on_delete(chained):
    tree = FastRedBlackTree()
    if chained:
        tree.insert(64, MemoryBlock(99, 64))
    tree.insert(64, Returning(tree, 1, 64))
    assert without_hang(lambda: tree.delete(64, MemoryBlock(1, 64))) is True
    gc.collect()
    assert MemoryBlock(1, 64) in tree.find_all_exact(64)
    assert len(tree) == 1 + chained


def test_finaliser_inserting_into_the_same_tree_on_clear():
    tree = FastRedBlackTree()
    for address, size in [(1, 64), (2, 64), (3, 32), (4, 128)]:
        tree.insert(size, Returning(tree, address, size))
    without_hang(tree.clear)
    assert tree.get_size_distribution().keys() == {32, 64, 128}
    assert sorted(b.address for size in (32, 64, 128) for b in tree.find_all_exact(size)) == [1, 2, 3, 4]
    assert tree.get_stats()["total_insertions"] == 4


def test_finaliser_inserting_into_the_same_tree_on_remove_ge():
    tree = FastRedBlackTree()
    tree.insert(64, Returning(tree, 1, 64))
    without_hang(lambda: tree.remove_ge(10))
    assert tree.find_all_exact(64) == [MemoryBlock(1, 64)]


def test_error_in_finaliser_during_destruction_is_reported_not_raised(monkeypatch):
    reported = []
    monkeypatch.setattr(sys, "unraisablehook", reported.append)

    class Failing:
        def __del__(self):
            raise LookupError("from finaliser")

    tree = FastRedBlackTree()
    tree.insert(1, Failing())
    tree.insert(2, MemoryBlock(1, 2))
    del tree
    assert [type(r.exc_value) for r in reported] == [LookupError]


def test_collector_sees_lock_and_counters_but_not_blocks():
    tree = FastRedBlackTree()
    block = MemoryBlock(1, 1)
    tree.insert(1, block)
    referents = gc.get_referents(tree)
    assert any(r is tree.get_write_lock() for r in referents)
    assert sum(type(r).__name__ == "AtomicCounter" for r in referents) == 2
    assert all(r is not block for r in referents)


def run_python(code):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env)


BLOCK_CONCURRENCY_CORE = """
    import sys

    class Refuse:
        def find_spec(self, name, path=None, target=None):
            if name == "vantrel.memory.concurrency_core":
                raise {error}("blocked for the test")

    sys.meta_path.insert(0, Refuse())
"""


def test_module_works_without_the_concurrency_core():
    result = run_python(BLOCK_CONCURRENCY_CORE.format(error="ImportError") + """
    from vantrel.memory import block_index
    from vantrel.memory.memory_block import MemoryBlock
    assert block_index.ATOMIC_AVAILABLE is False and block_index.AtomicCounter is None
    assert "vantrel.memory.concurrency_core" not in sys.modules
    tree = block_index.FastRedBlackTree(sample_rate=1)
    for i in range(5):
        tree.insert(i, MemoryBlock(i, i))
    assert tree.remove_ge(3) == (3, MemoryBlock(3, 3))
    tree.clear()
    tree.insert(1, MemoryBlock(1, 1))
    stats = tree.get_stats()
    assert stats["sampled_operations"] == 0 and stats["total_insertions"] == 1, stats
    print("ok")
    """)
    assert result.stdout == "ok\n", result.stderr


def test_other_import_errors_of_the_concurrency_core_fail_the_import():
    result = run_python(BLOCK_CONCURRENCY_CORE.format(error="RuntimeError") + """
    try:
        from vantrel.memory import block_index
    except RuntimeError as exc:
        print("refused:", exc)
    """)
    assert result.stdout == "refused: blocked for the test\n", result.stderr


def test_importing_again_hands_back_the_initialised_module():
    result = run_python("""
    import importlib, sys
    import vantrel.memory.block_index as first
    del sys.modules["vantrel.memory.block_index"]
    second = importlib.import_module("vantrel.memory.block_index")
    print(second is first, second.FastRedBlackTree is first.FastRedBlackTree)
    """)
    assert result.stdout == "True True\n", result.stderr
