"""Cost per operation of the concurrency core next to its peers.

Run: python benchmarks/bench_concurrency_core.py [--quick]

Every row is measured in the same run: single-threaded, and with 4 threads
running the same operation on shared objects (ns per operation = wall time /
all operations). The floor is `(0).bit_length()`, the cheapest call of a C
method; each ratio is to the floor measured the same way.
"""

import argparse
import itertools
import threading
import timeit

from vantrel.memory.concurrency_core import AtomicCounter, LockFreeStack, LockFreeStatistics


class LockedInt:
    """What the counter replaces: a Python int guarded by a threading.Lock."""

    def __init__(self):
        self._lock = threading.Lock()
        self._value = 0

    def increment(self):
        with self._lock:
            self._value += 1
            return self._value


def make_namespace():
    stack = LockFreeStack()
    stack.push(0)
    return {
        "counter": AtomicCounter(),
        "stack": stack,
        "stats": LockFreeStatistics(),
        "locked": LockedInt(),
        "sequence": itertools.count(),
    }


OPERATIONS = [
    ("floor: (0).bit_length()", "(0).bit_length()"),
    ("AtomicCounter.increment", "counter.increment()"),
    ("AtomicCounter.load", "counter.load()"),
    ("AtomicCounter.compare_and_swap", "counter.compare_and_swap(0, 0)"),
    ("AtomicCounter.fetch_and_add", "counter.fetch_and_add(1)"),
    ("LockFreeStack.push+pop", "stack.push(1); stack.pop()"),
    ("LockFreeStack.size", "stack.size()"),
    ("LockFreeStatistics.record_allocation", "stats.record_allocation(64)"),
    ("LockFreeStatistics.get_snapshot", "stats.get_snapshot()"),
    ("peer: Lock-guarded int increment", "locked.increment()"),
    ("peer: itertools.count __next__", "next(sequence)"),
]


def single_thread_ns(statement, namespace, number, repeat):
    timer = timeit.Timer(statement, globals=namespace)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def contended_ns(statement, namespace, number, threads, repeat):
    best = float("inf")
    for _ in range(repeat):
        timer = timeit.Timer(statement, globals=namespace)
        barrier = threading.Barrier(threads + 1)

        def work():
            barrier.wait()
            timer.timeit(number)

        workers = [threading.Thread(target=work) for _ in range(threads)]
        for worker in workers:
            worker.start()
        barrier.wait()
        start = timeit.default_timer()
        for worker in workers:
            worker.join()
        best = min(best, (timeit.default_timer() - start) / (number * threads) * 1e9)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer iterations")
    parser.add_argument("--threads", type=int, default=4)
    args = parser.parse_args()
    number = 50_000 if args.quick else 300_000
    repeat = 3 if args.quick else 5

    rows = {}
    for name, statement in OPERATIONS:
        single = single_thread_ns(statement, make_namespace(), number, repeat)
        contended = contended_ns(statement, make_namespace(), number // args.threads, args.threads, repeat)
        rows[name] = (single, contended)

    floor_single, floor_contended = rows[OPERATIONS[0][0]]
    header = f"{'operation':40s} {'1 thread':>10s} {'x floor':>8s} {f'{args.threads} threads':>10s} {'x floor':>8s}"
    print(header)
    print("-" * len(header))
    for name, (single, contended) in rows.items():
        print(f"{name:40s} {single:8.1f}ns {single / floor_single:7.2f}x {contended:8.1f}ns "
              f"{contended / floor_contended:7.2f}x")

    increment = rows["AtomicCounter.increment"]
    locked = rows["peer: Lock-guarded int increment"]
    print()
    print(f"LockFreeStack.size / floor:              {rows['LockFreeStack.size'][0] / floor_single:5.2f}x (target <= 2)")
    print(f"AtomicCounter.increment / floor:         {increment[0] / floor_single:5.2f}x (target <= 2.5)")
    print(f"record_allocation / floor:               "
          f"{rows['LockFreeStatistics.record_allocation'][0] / floor_single:5.2f}x (target <= 6)")
    print(f"Lock-guarded int / increment, {args.threads} threads: {locked[1] / increment[1]:5.2f}x faster (target >= 3)")


if __name__ == "__main__":
    main()
