"""Thread hammers on one shared object, each ending in an exact count."""

from collections import Counter

import pytest
from thread_runner import run_threads

from vantrel.memory.concurrency_core import AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics

THREADS = 8


pytestmark = pytest.mark.usefixtures("frequent_switches")


def test_increments_are_never_lost():
    counter = AtomicCounter()

    def work(_):
        increment = counter.increment
        for _ in range(100_000):
            increment()

    run_threads(work)
    assert counter.load() == 800_000


def test_mixed_additions_sum_exactly():
    counter = AtomicCounter(5)

    def work(index):
        for _ in range(10_000):
            counter.increment(index)
            counter.decrement()
            counter.fetch_and_add(-index)
            counter.decrement(-2)

    run_threads(work)
    assert counter.load() == 5 + THREADS * 10_000


def test_fetch_and_add_hands_out_each_value_once():
    counter = AtomicCounter()
    taken = run_threads(lambda _: [counter.fetch_and_add(1) for _ in range(10_000)])
    assert sorted(v for values in taken for v in values) == list(range(THREADS * 10_000))
    assert all(values == sorted(values) for values in taken)  # each thread sees its values rise


def test_compare_and_swap_loops_lose_no_update():
    counter = AtomicCounter()

    def work(_):
        retries = 0
        for _ in range(10_000):
            while True:
                seen = counter.load()
                if counter.compare_and_swap(seen, seen + 1):
                    break
                retries += 1
        return retries

    run_threads(work)
    assert counter.load() == THREADS * 10_000


def test_native_operations_are_atomic_without_the_interpreter_lock(counter_table):
    increment, fetch_and_add = counter_table._c_increment, counter_table._c_fetch_and_add
    counter = AtomicCounter()

    def work(_):
        taken = []
        for _ in range(5_000):
            increment(counter, 2)
            taken.append(fetch_and_add(counter, 1))
            counter.increment()  # Python method and native call on the same cell
        return taken

    taken = run_threads(work, 4)
    assert counter.load() == 4 * 5_000 * 4
    assert len({v for values in taken for v in values}) == 4 * 5_000


def test_pushed_items_are_each_popped_once():
    stack = LockFreeStack()

    def work(index):
        for i in range(10_000):
            stack.push((index, i))

    run_threads(work)
    assert stack.size() == 80_000
    popped = [stack.pop() for _ in range(80_000)]
    assert stack.pop() is None and stack.is_empty() and stack.size() == 0
    assert sorted(popped) == [(t, i) for t in range(THREADS) for i in range(10_000)]
    for t in range(THREADS):  # last in, first out within each pushing thread
        mine = [i for owner, i in popped if owner == t]
        assert mine == sorted(mine, reverse=True)


def test_concurrent_pushers_and_poppers_hand_over_every_item_once():
    stack = LockFreeStack()
    per_pusher, pushers = 10_000, THREADS // 2
    total = per_pusher * pushers
    popped_count = AtomicCounter()

    def work(index):
        if index < pushers:
            for i in range(per_pusher):
                stack.push((index, i))
            return []
        taken = []
        while popped_count.load() < total:
            item = stack.pop()
            if item is not None:
                taken.append(item)
                popped_count.increment()
        return taken

    results = run_threads(work)
    popped = Counter(item for taken in results for item in taken)
    assert len(popped) == total and set(popped.values()) == {1}
    assert stack.size() == 0 and stack.is_empty()


def test_pointer_compare_and_swap_counts_every_success():
    start = 10**6  # ints made by addition are new objects, so identity follows the value
    cell = AtomicPointer(start)

    def work(_):
        for _ in range(2_000):
            while True:
                seen = cell.load()
                if cell.compare_and_swap(seen, seen + 1):
                    break

    run_threads(work)
    assert cell.load() == start + THREADS * 2_000
    assert cell.get_version() == THREADS * 2_000


def test_concurrent_allocations_keep_exact_totals_and_true_peaks():
    stats = LockFreeStatistics()
    per_thread = 5_000

    def work(index):
        for i in range(per_thread):
            stats.record_allocation(index + 1, i % 2 == 0, 1, 3)

    run_threads(work)
    n = THREADS * per_thread
    total_bytes = per_thread * sum(range(1, THREADS + 1))
    s = stats.get_snapshot()
    assert (s["total_allocations"], s["current_allocations"], s["bytes_allocated"], s["bucketed_allocations"],
            s["fallback_allocations"], s["alignment_padding_bytes"], s["average_allocation_time_ns"]) == (
        n, n, total_bytes, n // 2, n // 2, n, 3.0)
    # Counts only grow, so the last recorder reads the final totals: they are the peaks.
    assert (s["peak_allocations"], s["peak_bytes_allocated"]) == (n, total_bytes)


def test_concurrent_allocate_release_pairs_keep_peaks_within_what_was_outstanding():
    stats = LockFreeStatistics()
    sizes = [10 * (index + 1) for index in range(THREADS)]

    def work(index):
        for _ in range(5_000):
            stats.record_allocation(sizes[index])
            stats.record_deallocation(sizes[index])

    run_threads(work)
    s = stats.get_snapshot()
    assert (s["total_allocations"], s["total_deallocations"], s["current_allocations"], s["bytes_allocated"]) == (
        THREADS * 5_000, THREADS * 5_000, 0, 0)
    # Each thread has at most one allocation outstanding.
    assert 1 <= s["peak_allocations"] <= THREADS
    assert max(sizes) <= s["peak_bytes_allocated"] <= sum(sizes)


def test_concurrent_peak_updates_end_at_the_largest_value_offered():
    stats = LockFreeStatistics()
    offered = [[(v * 7919 + index) % 100_003 for v in range(3_000)] for index in range(THREADS)]

    def work(index):
        for v in offered[index]:
            stats._update_peaks(v, 2 * v)

    run_threads(work)
    largest = max(max(values) for values in offered)
    assert (stats.peak_allocations.load(), stats.peak_bytes_allocated.load()) == (largest, 2 * largest)
