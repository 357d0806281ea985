"""Call costs of vantrel.gpu.device_planning next to their peers, measured in
one run: every constant-work function against the floor of a trivial C call
(math.copysign(1.0, 2.0)), and compute_chunk_shapes against a straightforward
pure-Python implementation of the same rule.

Run: python benchmarks/bench_device_planning.py [--quick]
"""

import math
import operator
import sys
import timeit

from vantrel.gpu import device_planning as dp

FLOOR = "math.copysign(1.0, 2.0)"


def python_compute_chunk_shapes(shape, element_size, max_chunk_bytes):
    """The chunking rule written plainly in Python, as a caller might."""
    dims = tuple(operator.index(d) for d in shape)
    if 0 in dims:
        return [dims]
    row_bytes = element_size * math.prod(dims[1:])
    rows_per_chunk = 1 if row_bytes > max_chunk_bytes else max(1, max_chunk_bytes // row_bytes)
    if -(-dims[0] // rows_per_chunk) > 1000000:
        raise ValueError("too many chunks")
    rest = dims[1:]
    chunks = []
    remaining = dims[0]
    while remaining > 0:
        rows = min(rows_per_chunk, remaining)
        chunks.append((rows,) + rest)
        remaining -= rows
    return chunks


# (label, statement) of each constant-work call, held to 2x the floor.
CONSTANT_WORK = [
    ("estimate_allocation_bytes 3-d", "dp.estimate_allocation_bytes((512, 256, 64), 4)"),
    ("estimate_allocation_bytes 3-d + overhead",
     "dp.estimate_allocation_bytes((512, 256, 64), 4, 1.25)"),
    ("calculate_safe_limit", "dp.calculate_safe_limit(8589934592, 0.2)"),
    ("decide_allocation_strategy fits",
     "dp.decide_allocation_strategy(1048576, 8589934592, 0.2, True)"),
    ("decide_allocation_strategy host", "dp.decide_allocation_strategy(10**10, 8589934592, 0.2, False)"),
    ("calculate_optimal_chunks", "dp.calculate_optimal_chunks(10**11, 8589934592, 0.2)"),
    ("calculate_memory_pressure", "dp.calculate_memory_pressure(6442450944, 8589934592)"),
    ("recommend_headroom", "dp.recommend_headroom(0.7)"),
    ("is_oom_error (match)",
     "dp.is_oom_error('CUDA out of memory. Tried to allocate 2.00 GiB', 'RuntimeError')"),
    ("is_oom_error (no match)", "dp.is_oom_error('index 7 is out of bounds for axis 0', 'IndexError')"),
    ("is_chunkable_operation", "dp.is_chunkable_operation('random.randn')"),
    ("score_gpu_suitability", "dp.score_gpu_suitability(10**9, 'matmul', 8589934592, 0.2)"),
]
# (label, statement, peer statement, largest cost allowed as a ratio to the peer)
CASES = [(label, stmt, FLOOR, 2.0) for label, stmt in CONSTANT_WORK] + [
    ("decide_allocation_strategy chunked",
     "dp.decide_allocation_strategy(10**11, 8589934592, 0.2, True)", FLOOR, 4.0),
    ("compute_chunk_shapes, 1000 chunks", "dp.compute_chunk_shapes((10000, 64), 8, 5120)",
     "python_compute_chunk_shapes((10000, 64), 8, 5120)", 1 / 5),
]


def measure(statements, budget, rounds):
    """Seconds per call of each statement: the best of `rounds` batches, the
    statements taking turns within each round so that a busy moment on the
    machine affects the floor and the functions alike."""
    timers = {stmt: timeit.Timer(stmt, globals=globals()) for stmt in statements}
    numbers = {}
    for stmt, timer in timers.items():
        number, elapsed = timer.autorange()
        numbers[stmt] = max(1, int(number * budget / max(elapsed, 1e-9)))
    best = dict.fromkeys(statements, float("inf"))
    for _ in range(rounds):
        for stmt, timer in timers.items():
            best[stmt] = min(best[stmt], timer.timeit(numbers[stmt]) / numbers[stmt])
    return best


def main():
    quick = "--quick" in sys.argv
    assert dp.compute_chunk_shapes((10000, 64), 8, 5120) == \
        python_compute_chunk_shapes((10000, 64), 8, 5120)
    assert len(dp.compute_chunk_shapes((10000, 64), 8, 5120)) == 1000
    statements = list(dict.fromkeys([FLOOR] + [s for case in CASES for s in case[1:3]]))
    cost = measure(statements, budget=0.004 if quick else 0.01, rounds=5 if quick else 15)
    floor = cost[FLOOR]
    print(f"Python {sys.version.split()[0]}; floor {FLOOR}: {floor * 1e9:.1f} ns")
    rows = []
    for label, stmt, peer, limit in CASES:
        mine, theirs = cost[stmt], cost[peer]
        ratio = mine / theirs
        peer_label = "floor" if peer == FLOOR else "pure Python"
        rows.append((label, mine * 1e9, peer_label, theirs * 1e9, ratio, limit, ratio <= limit))
    width = max(len(row[0]) for row in rows)
    print(f"{'operation':<{width}}  {'ns/call':>10}  {'peer':<11}  {'peer ns':>10}  "
          f"{'ratio':>6}  {'target':>7}")
    for label, mine, peer_label, theirs, ratio, limit, ok in rows:
        if limit >= 1:
            target, shown = f"<= {limit:g}x", f"{ratio:.2f}"
        else:
            target, shown = f">= {1 / limit:g}x faster", f"{ratio:.4f} ({1 / ratio:.0f}x faster)"
        print(f"{label:<{width}}  {mine:>10.1f}  {peer_label:<11}  {theirs:>10.1f}  "
              f"{shown:>6}  {target:>7}  {'ok' if ok else 'MISSED'}")
    missed = [row[0] for row in rows if not row[6]]
    print("all targets met" if not missed else f"missed: {', '.join(missed)}")


if __name__ == "__main__":
    main()
