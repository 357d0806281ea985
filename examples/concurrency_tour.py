"""A short tour of the concurrency core: counters, a stack and allocation
statistics shared by several threads.

Run: python examples/concurrency_tour.py
"""

import threading

from vantrel.memory.concurrency_core import (
    AtomicCounter,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)

THREADS = 8
EVENTS_PER_THREAD = 20_000


def main():
    requests = AtomicCounter()
    free_blocks = LockFreeStack()
    stats = LockFreeStatistics()
    latest = AtomicPointer()

    def worker(worker_id):
        for i in range(EVENTS_PER_THREAD):
            requests.increment()
            size = 64 << (i % 4)
            stats.record_allocation(size, is_bucketed=size <= 256, time_ns=120)
            free_blocks.push((worker_id, i))
            free_blocks.pop()
            stats.record_deallocation(size, time_ns=80)
        latest.store(f"worker {worker_id} done")

    timer = PerformanceTimer()
    timer.start()
    threads = [threading.Thread(target=worker, args=(n,)) for n in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed_ms = timer.elapsed_ms()

    snapshot = stats.get_snapshot()
    print(f"{THREADS} threads x {EVENTS_PER_THREAD} events in {elapsed_ms:.1f} ms")
    print(f"requests counted:              {requests.load()} (expected {THREADS * EVENTS_PER_THREAD})")
    print(f"stack left empty:              {free_blocks.is_empty()} (size {free_blocks.size()})")
    print(f"last message:                  {latest.load()!r} (version {latest.get_version()})")
    for key in ("total_allocations", "current_allocations", "peak_allocations", "peak_bytes_allocated",
                "bucketed_allocation_ratio", "average_allocation_time_ns", "allocation_mode"):
        print(f"{key + ':':30s} {snapshot[key]}")


if __name__ == "__main__":
    main()
