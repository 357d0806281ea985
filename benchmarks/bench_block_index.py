"""Best-fit block index: FastRedBlackTree against two sortedcontainers peers.

    python benchmarks/bench_block_index.py [--blocks 10000 1000000] [--ops 20000] [--granularity 16]

Each peer is what a Python developer would write for the same job, guarded by
a threading.Lock as the tree is: a SortedList of (size, sequence, block)
tuples, and a SortedDict mapping each size to a list of its blocks. Every
structure is filled with the same blocks of mixed sizes, then a sample of
operations is timed per structure (best of a few repeats, the state restored
between repeats). The last column is the tree's speed-up over the faster peer.
Native memory per stored block is measured with tracemalloc, which sees the
interpreter's raw allocator.
"""

import argparse
import os
import random
import sys
import threading
import time
import tracemalloc

try:
    import vantrel  # noqa: F401
except ImportError:  # run from a checkout with modules built in place
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src"))

from sortedcontainers import SortedDict, SortedList

from vantrel.memory.block_index import FastRedBlackTree
from vantrel.memory.memory_block import MemoryBlock

PAIR_TARGET = 5.0
REPEATS = 3


class SortedListIndex:
    def __init__(self, items=()):
        self._lock = threading.Lock()
        self._seq = 0
        self._items = SortedList()
        self.bulk_load(items)

    def bulk_load(self, items):
        with self._lock:
            start = self._seq
            self._items.update((size, start + i, block) for i, (size, block) in enumerate(items))
            self._seq += len(items)

    def insert(self, size, block):
        with self._lock:
            self._seq += 1
            self._items.add((size, self._seq, block))
        return True

    def find_best_fit(self, size):
        with self._lock:
            i = self._items.bisect_left((size,))
            return self._items[i][2] if i < len(self._items) else None

    def remove_ge(self, size):
        with self._lock:
            i = self._items.bisect_left((size,))
            if i == len(self._items):
                return (None, None)
            found, _, block = self._items.pop(i)
            return (found, block)

    def delete(self, size, block):
        with self._lock:
            items = self._items
            i = items.bisect_left((size,))
            while i < len(items) and items[i][0] == size:
                if items[i][2] == block:
                    del items[i]
                    return True
                i += 1
            return False


class SortedDictIndex:
    def __init__(self, items=()):
        self._lock = threading.Lock()
        grouped = {}
        for size, block in items:
            grouped.setdefault(size, []).append(block)
        self._by_size = SortedDict(grouped)

    def insert(self, size, block):
        with self._lock:
            blocks = self._by_size.get(size)
            if blocks is None:
                self._by_size[size] = [block]
            else:
                blocks.append(block)
        return True

    def find_best_fit(self, size):
        with self._lock:
            i = self._by_size.bisect_left(size)
            if i == len(self._by_size):
                return None
            return self._by_size.peekitem(i)[1][-1]

    def remove_ge(self, size):
        with self._lock:
            i = self._by_size.bisect_left(size)
            if i == len(self._by_size):
                return (None, None)
            found, blocks = self._by_size.peekitem(i)
            block = blocks.pop()
            if not blocks:
                del self._by_size[found]
            return (found, block)

    def delete(self, size, block):
        with self._lock:
            blocks = self._by_size.get(size)
            if blocks is None:
                return False
            for i, stored in enumerate(blocks):
                if stored == block:
                    del blocks[i]
                    if not blocks:
                        del self._by_size[size]
                    return True
            return False


GRANULARITY = 16  # bytes; --granularity


def mixed_size(rng):
    """Any multiple of GRANULARITY up to 1 MiB. With the default 16 bytes that
    is 65 536 distinct sizes, so a large index holds both many distinct sizes
    and same-size runs (about 15 blocks a size at 1 000 000 blocks). Coarser
    granularity means fewer distinct sizes and longer runs, which makes every
    peer's delete-by-value a linear scan."""
    return GRANULARITY * rng.randrange(1, (1 << 20) // GRANULARITY + 1)


def make_blocks(count, rng, first_address=0):
    return [(size, MemoryBlock(first_address + i, size))
            for i, size in enumerate(mixed_size(rng) for _ in range(count))]


def build_tree(items):
    tree = FastRedBlackTree()
    insert = tree.insert
    for size, block in items:
        insert(size, block)
    return tree


def per_op_ns(action, count):
    start = time.perf_counter_ns()
    action()
    return (time.perf_counter_ns() - start) / count


def measure(index, rng, ops, first_address):
    """Per-operation nanoseconds for one structure; leaves it as it found it."""
    insert, delete, remove_ge, find = index.insert, index.delete, index.remove_ge, index.find_best_fit
    results = {name: float("inf") for name in ("insert", "remove_ge", "find_best_fit", "delete", "pair")}
    for repeat in range(REPEATS):
        fresh = make_blocks(ops, rng, first_address + repeat * ops)
        # Each phase gets its own probes, so none walks paths that an earlier
        # phase has just brought into the cache.
        find_probes, remove_probes, pair_probes = ([mixed_size(rng) for _ in range(ops)] for _ in range(3))
        doomed = fresh[:]
        rng.shuffle(doomed)

        def do_inserts():
            for size, block in fresh:
                insert(size, block)

        def do_deletes():
            for size, block in doomed:
                delete(size, block)

        def do_finds():
            for size in find_probes:
                find(size)

        taken = []

        def do_removes():
            append = taken.append
            for size in remove_probes:
                append(remove_ge(size))

        def do_pairs():
            for size in pair_probes:
                found, block = remove_ge(size)
                if block is not None:
                    insert(found, block)

        results["insert"] = min(results["insert"], per_op_ns(do_inserts, ops))
        results["delete"] = min(results["delete"], per_op_ns(do_deletes, ops))
        results["find_best_fit"] = min(results["find_best_fit"], per_op_ns(do_finds, ops))
        results["remove_ge"] = min(results["remove_ge"], per_op_ns(do_removes, ops))
        for size, block in taken:
            if block is not None:
                insert(size, block)
        results["pair"] = min(results["pair"], per_op_ns(do_pairs, ops))
    return results


def native_bytes_per_block(items):
    """Memory the tree allocates per stored block, the empty tree excluded."""
    tree = FastRedBlackTree()
    insert = tree.insert
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for size, block in items:
            insert(size, block)
        after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()
    assert len(tree) == len(items)
    return (after - before) / len(items)


def run(count, ops, seed):
    rng = random.Random(seed)
    items = make_blocks(count, rng)
    started = time.perf_counter()
    structures = {
        "FastRedBlackTree": build_tree(items),
        "SortedList(tuples)": SortedListIndex(items),
        "SortedDict(lists)": SortedDictIndex(items),
    }
    timings = {name: measure(index, random.Random(seed + 1), ops, first_address=count)
               for name, index in structures.items()}
    for name, index in structures.items():
        if name == "FastRedBlackTree":
            assert len(index) == count, f"{name} changed size during the run"
    del structures
    bytes_per_block = native_bytes_per_block(items)

    names = list(timings)
    print(f"\n{count:,} stored blocks, {ops:,} timed operations each, best of {REPEATS}"
          f" (setup and timing {time.perf_counter() - started:.1f} s)")
    header = f"{'operation':<22}" + "".join(f"{n:>20}" for n in names) + f"{'vs faster peer':>16}"
    print(header)
    print("-" * len(header))
    labels = {"pair": "remove_ge + insert"}
    speedups = {}
    for op in ("insert", "remove_ge", "find_best_fit", "delete", "pair"):
        ours = timings[names[0]][op]
        best_peer = min(timings[n][op] for n in names[1:])
        speedups[op] = best_peer / ours
        cells = "".join(f"{timings[n][op] / 1000:>17.3f} us" for n in names)
        print(f"{labels.get(op, op):<22}{cells}{speedups[op]:>15.1f}x")
    verdict = "met" if speedups["pair"] >= PAIR_TARGET else "NOT met"
    print(f"target remove_ge + insert >= {PAIR_TARGET:.0f}x faster than the faster peer: {verdict}")
    print(f"native memory per stored block (tracemalloc): {bytes_per_block:.1f} bytes (limit 56)")
    return speedups["pair"] >= PAIR_TARGET and bytes_per_block <= 56


def main():
    global GRANULARITY
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--blocks", type=int, nargs="+", default=[10_000, 1_000_000])
    parser.add_argument("--ops", type=int, default=20_000, help="timed operations per kind")
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--granularity", type=int, default=GRANULARITY, help="block sizes are multiples of this")
    args = parser.parse_args()
    GRANULARITY = args.granularity
    print(f"Python {sys.version.split()[0]}; block sizes: multiples of {args.granularity} bytes up to 1 MiB")
    ok = all([run(count, args.ops, args.seed) for count in args.blocks])
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
