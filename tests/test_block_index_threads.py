"""FastRedBlackTree shared by several threads: nothing lost, nothing doubled."""


import pytest
from thread_runner import run_threads

from vantrel.memory.block_index import FastRedBlackTree
from vantrel.memory.memory_block import MemoryBlock

THREADS = 6
ROUNDS = 3000


pytestmark = pytest.mark.usefixtures("frequent_switches")


def run_all(targets):
    run_threads(lambda index: targets[index](), len(targets))


def test_concurrent_insert_and_remove_ge_lose_and_duplicate_nothing():
    tree = FastRedBlackTree(sample_rate=1)
    taken = [[] for _ in range(THREADS)]

    def worker(index):
        def body():
            for i in range(ROUNDS):
                size = (i * 7 + index) % 50
                tree.insert(size, MemoryBlock(index * ROUNDS + i, size))
                if i % 3 != 2:
                    got_size, block = tree.remove_ge((i * 13) % 50)
                    if block is not None:
                        assert got_size >= (i * 13) % 50 and block.size == got_size
                        taken[index].append(block)
        return body

    run_all([worker(i) for i in range(THREADS)])

    remaining = []
    while tree:
        remaining.append(tree.remove_ge(0)[1])
    addresses = [b.address for b in remaining] + [b.address for part in taken for b in part]
    assert sorted(addresses) == list(range(THREADS * ROUNDS))
    stats = tree.get_stats()
    assert stats["total_insertions"] == stats["operation_count"] == THREADS * ROUNDS
    assert stats["total_deletions"] == THREADS * ROUNDS
    assert stats["sampled_operations"] == THREADS * ROUNDS
    assert stats["total_blocks"] == stats["node_count"] == 0


def test_readers_beside_writers_count_every_read():
    tree = FastRedBlackTree()
    for size in range(0, 400, 4):
        tree.insert(size, MemoryBlock(size, size))
    reads_per_thread = 2000

    def reader():
        for i in range(reads_per_thread):
            block = tree.find_best_fit(i % 401)
            assert block is None or block.size >= i % 401
            for found in tree.find_all_exact(i % 400):
                assert found.size == i % 400

    def writer(offset):
        def body():
            for i in range(reads_per_thread):
                size = (i * 4 + offset) % 400
                tree.insert(size, MemoryBlock(10**6 + offset * 10**5 + i, size))
                assert tree.delete(size, MemoryBlock(10**6 + offset * 10**5 + i, size)) is True
        return body

    run_all([reader, reader, writer(1), writer(2), tree.get_size_distribution])
    assert tree.read_lock_acquisitions == 2 * 2 * reads_per_thread
    stats = tree.get_stats()
    assert stats["total_searches"] == 2 * 2 * reads_per_thread
    assert len(tree) == 100 and stats["total_blocks"] == 100
    assert tree.get_size_distribution() == {size: 1 for size in range(0, 400, 4)}


def test_clear_beside_inserts_keeps_counts_consistent():
    tree = FastRedBlackTree()

    def inserter():
        for i in range(ROUNDS):
            tree.insert(i % 17, MemoryBlock(i, i % 17))

    def clearer():
        for _ in range(200):
            tree.clear()

    run_all([inserter, inserter, clearer])
    stats = tree.get_stats()
    dist = tree.get_size_distribution()
    assert len(tree) == sum(dist.values()) == stats["total_blocks"] == stats["node_count"]
