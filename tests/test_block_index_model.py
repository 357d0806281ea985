"""A plain-Python twin of the block index's red-black store.

It follows the native tree step for step (same rotations, same fix-up cases,
same tie-breaks, same chain order), so after any sequence of operations both
hold the same shape: the pre-order of sizes that `get_size_distribution`
reports and the height must agree. The tests at the bottom check the twin
itself: its red-black invariants and a few shapes worked out by hand.
"""

import math
import random

import pytest

RED, BLACK = 0, 1


class Node:
    __slots__ = ("parent", "left", "right", "color", "size", "blocks")

    def __init__(self, size, block):
        self.parent = self.left = self.right = None
        self.color = RED
        self.size = size
        # blocks[0] is the tree node's own block; the rest is the chain, most
        # recently linked first.
        self.blocks = [block]


def _is_red(node):
    return node is not None and node.color == RED


class BlockIndexModel:
    def __init__(self):
        self.root = None
        self.count = 0

    def __len__(self):
        return self.count

    # Lookups ------------------------------------------------------------
    def _find_node(self, size):
        node = self.root
        while node is not None:
            if size == node.size:
                return node
            node = node.left if size < node.size else node.right
        return None

    def _find_best_fit_node(self, size):
        candidate, node = None, self.root
        while node is not None:
            if node.size >= size:
                if candidate is None or node.size < candidate.size:
                    candidate = node
                node = node.left
            else:
                node = node.right
        return candidate

    # Operations as the tree exposes them ----------------------------------
    def insert(self, size, block):
        existing = self._find_node(size)
        self.count += 1
        if existing is not None:
            existing.blocks.insert(1, block)
            return True
        node = Node(size, block)
        if self.root is None:
            node.color = BLACK
            self.root = node
            return True
        parent = self.root
        while True:
            side = "left" if size < parent.size else "right"
            child = getattr(parent, side)
            if child is None:
                node.parent = parent
                setattr(parent, side, node)
                break
            parent = child
        self._fixup_insert(node)
        return True

    def find_best_fit(self, size):
        node = self._find_best_fit_node(size)
        return None if node is None else node.blocks[0]

    def find_all_exact(self, size):
        node = self._find_node(size)
        return [] if node is None else list(node.blocks)

    def delete(self, size, block):
        node = self._find_node(size)
        if node is None:
            return False
        for index, stored in enumerate(node.blocks):
            if stored == block:
                self._remove_at(node, index)
                return True
        return False

    def remove_ge(self, size):
        node = self._find_best_fit_node(size)
        if node is None:
            return (None, None)
        block = node.blocks[0]
        self._remove_at(node, 0)
        return (node.size, block)

    def clear(self):
        self.root = None
        self.count = 0

    def _remove_at(self, node, index):
        self.count -= 1
        del node.blocks[index]
        if not node.blocks:
            self._delete_node(node)

    # Shape ----------------------------------------------------------------
    def size_distribution(self):
        dist = {}

        def walk(node):
            if node is not None:
                dist[node.size] = len(node.blocks)
                walk(node.left)
                walk(node.right)

        walk(self.root)
        return dist

    def height(self):
        def depth(node):
            return 0 if node is None else 1 + max(depth(node.left), depth(node.right))

        return depth(self.root)

    def check_invariants(self):
        """Asserts search order, parent links and the red-black colouring."""

        def black_height(node, low, high):
            if node is None:
                return 1
            assert (low is None or node.size > low) and (high is None or node.size < high)
            for child in (node.left, node.right):
                if child is not None:
                    assert child.parent is node
                    assert not (_is_red(node) and _is_red(child)), "red node with a red child"
            left = black_height(node.left, low, node.size)
            right = black_height(node.right, node.size, high)
            assert left == right, "unequal black heights"
            return left + (node.color == BLACK)

        assert self.root is None or (self.root.color == BLACK and self.root.parent is None)
        black_height(self.root, None, None)
        distinct = len(self.size_distribution())
        assert self.height() <= 2 * math.log2(distinct + 1)
        assert self.count == sum(self.size_distribution().values())

    # Rebalancing, the same cases in the same order as the native store ------
    def _replace_child(self, child, replacement):
        parent = child.parent
        if parent is None:
            self.root = replacement
        elif child is parent.left:
            parent.left = replacement
        else:
            parent.right = replacement

    def _rotate_left(self, x):
        y = x.right
        x.right = y.left
        if y.left is not None:
            y.left.parent = x
        y.parent = x.parent
        self._replace_child(x, y)
        y.left = x
        x.parent = y

    def _rotate_right(self, x):
        y = x.left
        x.left = y.right
        if y.right is not None:
            y.right.parent = x
        y.parent = x.parent
        self._replace_child(x, y)
        y.right = x
        x.parent = y

    def _fixup_insert(self, z):
        while z.parent is not None and z.parent.color == RED:
            p = z.parent
            g = p.parent
            if p is g.left:
                uncle = g.right
                if _is_red(uncle):
                    p.color = uncle.color = BLACK
                    g.color = RED
                    z = g
                    continue
                if z is p.right:
                    z = p
                    self._rotate_left(z)
                z.parent.color = BLACK
                z.parent.parent.color = RED
                self._rotate_right(z.parent.parent)
            else:
                uncle = g.left
                if _is_red(uncle):
                    p.color = uncle.color = BLACK
                    g.color = RED
                    z = g
                    continue
                if z is p.left:
                    z = p
                    self._rotate_right(z)
                z.parent.color = BLACK
                z.parent.parent.color = RED
                self._rotate_left(z.parent.parent)
        self.root.color = BLACK

    def _transplant(self, u, v):
        self._replace_child(u, v)
        if v is not None:
            v.parent = u.parent

    def _delete_node(self, z):
        removed_color = z.color
        if z.left is None:
            x, x_parent = z.right, z.parent
            self._transplant(z, z.right)
        elif z.right is None:
            x, x_parent = z.left, z.parent
            self._transplant(z, z.left)
        else:
            y = z.right
            while y.left is not None:
                y = y.left
            removed_color = y.color
            x = y.right
            if y.parent is z:
                x_parent = y
                if x is not None:
                    x.parent = y
            else:
                x_parent = y.parent
                self._transplant(y, y.right)
                y.right = z.right
                y.right.parent = y
            self._transplant(z, y)
            y.left = z.left
            y.left.parent = y
            y.color = z.color
        if removed_color == BLACK:
            self._fixup_delete(x, x_parent)

    def _fixup_delete(self, x, x_parent):
        while x is not self.root and not _is_red(x):
            if x is x_parent.left:
                near, far = "left", "right"
                rotate_toward, rotate_away = self._rotate_left, self._rotate_right
            else:
                near, far = "right", "left"
                rotate_toward, rotate_away = self._rotate_right, self._rotate_left
            w = getattr(x_parent, far)
            if _is_red(w):
                w.color = BLACK
                x_parent.color = RED
                rotate_toward(x_parent)
                w = getattr(x_parent, far)
            if w is None or (not _is_red(w.left) and not _is_red(w.right)):
                if w is not None:
                    w.color = RED
                x, x_parent = x_parent, x_parent.parent
                continue
            if not _is_red(getattr(w, far)):
                getattr(w, near).color = BLACK
                w.color = RED
                rotate_away(w)
                w = getattr(x_parent, far)
            w.color = x_parent.color
            x_parent.color = BLACK
            if getattr(w, far) is not None:
                getattr(w, far).color = BLACK
            rotate_toward(x_parent)
            x = self.root
        if x is not None:
            x.color = BLACK


# The twin's own checks --------------------------------------------------------


def _colours(model):
    out = {}

    def walk(node):
        if node is not None:
            out[node.size] = "black" if node.color == BLACK else "red"
            walk(node.left)
            walk(node.right)

    walk(model.root)
    return out


def test_ascending_sizes_give_height_17():
    model = BlockIndexModel()
    for size in range(1, 1001):
        model.insert(size, object())
    model.check_invariants()
    assert model.height() == 17


def test_removal_of_black_leaf_rebalances_through_empty_slot():
    model = BlockIndexModel()
    for size in (10, 20, 30, 40):
        model.insert(size, object())
    assert list(model.size_distribution()) == [20, 10, 30, 40]
    assert _colours(model) == {20: "black", 10: "black", 30: "black", 40: "red"}
    assert model.height() == 3

    assert model.delete(10, model.find_best_fit(10))
    assert list(model.size_distribution()) == [30, 20, 40]
    assert _colours(model) == {30: "black", 20: "black", 40: "black"}
    assert model.height() == 2


def test_chain_reads_head_then_most_recent_first():
    model = BlockIndexModel()
    a, b, c = object(), object(), object()
    for block in (a, b, c):
        model.insert(100, block)
    assert model.find_all_exact(100) == [a, c, b]
    assert [model.remove_ge(100) for _ in range(4)] == [(100, a), (100, c), (100, b), (None, None)]


@pytest.mark.parametrize("seed", range(6))
def test_random_operations_keep_red_black_invariants(seed):
    rng = random.Random(seed)
    model = BlockIndexModel()
    span = rng.choice([8, 64, 1000])
    for _ in range(3000):
        size = rng.randrange(span)
        if rng.random() < 0.55:
            model.insert(size, object())
        else:
            model.remove_ge(size)
        model.check_invariants()
