"""FastRedBlackTree against its plain-Python twin and a sortedcontainers oracle.

The twin (test_block_index_model) runs the same algorithm, so returned blocks
must be the very same objects, and the pre-order of sizes in
`get_size_distribution` plus the height must agree: together they pin down
the tree's shape after every step. The oracle knows nothing of red-black
trees and checks only what a best-fit index must answer.
"""

import math
import random

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule
from sortedcontainers import SortedDict

from test_block_index_model import BlockIndexModel
from vantrel.memory.block_index import FastRedBlackTree
from vantrel.memory.memory_block import MemoryBlock

# Few distinct small sizes force chains and deletions of every kind; the wide
# range covers unsigned order above 2**63.
sizes = st.one_of(st.integers(0, 24), st.integers(0, 2**64 - 1))


class Oracle:
    """A best-fit multiset: size -> blocks, compared by identity."""

    def __init__(self):
        self.by_size = SortedDict()

    def insert(self, size, block):
        self.by_size.setdefault(size, []).append(block)

    def take(self, size, block):
        blocks = self.by_size[size]
        index = next(i for i, b in enumerate(blocks) if b is block)
        del blocks[index]
        if not blocks:
            del self.by_size[size]

    def smallest_at_least(self, size):
        index = self.by_size.bisect_left(size)
        return self.by_size.keys()[index] if index < len(self.by_size) else None

    def __len__(self):
        return sum(map(len, self.by_size.values()))


def identities(blocks):
    return sorted(map(id, blocks))


class TreeMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.tree = FastRedBlackTree(sample_rate=3)
        self.model = BlockIndexModel()
        self.oracle = Oracle()
        self.inserted = 0

    @rule(size=sizes, address=st.integers(0, 5))
    def insert(self, size, address):
        # Blocks with the same address are equal but distinct objects.
        block = MemoryBlock(address, size)
        assert self.tree.insert(size, block) is True
        self.model.insert(size, block)
        self.oracle.insert(size, block)
        self.inserted += 1

    @rule(size=sizes, address=st.integers(0, 5))
    def delete_by_value(self, size, address):
        probe = MemoryBlock(address, size)
        before = self.model.find_all_exact(size)
        removed = self.tree.delete(size, probe)
        assert removed is self.model.delete(size, probe)
        assert removed is (probe in before)
        if removed:
            after = self.model.find_all_exact(size)
            (gone,) = [b for b in before if all(b is not a for a in after)]
            assert gone == probe
            self.oracle.take(size, gone)

    @precondition(lambda self: len(self.model) > 0)
    @rule(data=st.data())
    def delete_stored(self, data):
        size = data.draw(st.sampled_from(list(self.oracle.by_size.keys())))
        block = data.draw(st.sampled_from(self.oracle.by_size[size]))
        assert self.tree.delete(size, block) is self.model.delete(size, block) is True
        # The first equal block goes, which need not be `block` itself.
        before = self.oracle.by_size[size]
        remaining = self.model.find_all_exact(size)
        (gone,) = [b for b in before if all(b is not r for r in remaining)]
        self.oracle.take(size, gone)

    @rule(size=sizes)
    def remove_ge(self, size):
        result = self.tree.remove_ge(size)
        expected = self.model.remove_ge(size)
        assert result[0] == expected[0] and result[1] is expected[1]
        assert result[0] == self.oracle.smallest_at_least(size)
        if result[1] is not None:
            self.oracle.take(result[0], result[1])

    @rule(size=sizes)
    def find_best_fit(self, size):
        found = self.tree.find_best_fit(size)
        assert found is self.model.find_best_fit(size)
        best = self.oracle.smallest_at_least(size)
        assert (found is None) if best is None else any(found is b for b in self.oracle.by_size[best])

    @rule(size=sizes)
    def find_all_exact(self, size):
        found = self.tree.find_all_exact(size)
        expected = self.model.find_all_exact(size)
        assert len(found) == len(expected) and all(a is b for a, b in zip(found, expected))
        assert identities(found) == identities(self.oracle.by_size.get(size, []))

    @rule()
    def clear(self):
        self.tree.clear()
        self.model.clear()
        self.oracle = Oracle()
        self.inserted = 0

    @invariant()
    def same_contents_and_shape(self):
        assert len(self.tree) == len(self.model) == len(self.oracle)
        dist = self.tree.get_size_distribution()
        assert list(dist.items()) == list(self.model.size_distribution().items())
        assert dist == {size: len(blocks) for size, blocks in self.oracle.by_size.items()}
        stats = self.tree.get_stats()
        assert stats["height"] == self.model.height()
        assert stats["height"] <= 2 * math.log2(len(dist) + 1)
        assert stats["node_count"] == stats["total_blocks"] == len(self.model)
        assert stats["sampled_operations"] == self.inserted // 3
        self.model.check_invariants()


TestTreeMachine = TreeMachine.TestCase
TestTreeMachine.settings = settings(max_examples=150, stateful_step_count=60, deadline=None)


@pytest.mark.parametrize("seed, span", [(1, 16), (2, 300), (3, 5000), (4, 2**64)])
def test_long_random_runs_keep_the_twins_shape(seed, span):
    """Deep trees, which short hypothesis runs rarely reach."""
    rng = random.Random(seed)
    tree, model = FastRedBlackTree(), BlockIndexModel()
    for step in range(20000):
        size = rng.randrange(span)
        if rng.random() < 0.55:
            block = MemoryBlock(step, size)
            tree.insert(size, block)
            model.insert(size, block)
        elif rng.random() < 0.5:
            result, expected = tree.remove_ge(size), model.remove_ge(size)
            assert result[0] == expected[0] and result[1] is expected[1]
        else:
            node = model._find_best_fit_node(size)
            if node is not None:
                victim = rng.choice(node.blocks)
                assert tree.delete(node.size, victim) is model.delete(node.size, victim) is True
        if step % 500 == 0:
            assert list(tree.get_size_distribution().items()) == list(model.size_distribution().items())
    assert list(tree.get_size_distribution().items()) == list(model.size_distribution().items())
    assert tree.get_stats()["height"] == model.height()
    assert len(tree) == len(model)


def test_ascending_sizes_give_height_17():
    tree = FastRedBlackTree()
    for size in range(1, 1001):
        tree.insert(size, MemoryBlock(size, size))
    assert tree.get_stats()["height"] == 17


def test_removing_a_black_leaf_rebalances():
    tree = FastRedBlackTree()
    for size in (10, 20, 30, 40):
        tree.insert(size, MemoryBlock(size, size))
    assert list(tree.get_size_distribution()) == [20, 10, 30, 40]
    assert tree.get_stats()["height"] == 3
    assert tree.remove_ge(5) == (10, MemoryBlock(10, 10))
    assert list(tree.get_size_distribution()) == [30, 20, 40]
    assert tree.get_stats()["height"] == 2
