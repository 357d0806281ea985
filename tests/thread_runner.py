"""Starts test threads together and reports their failures."""

import threading


def run_threads(work, count=8):
    """Runs work(index) on `count` threads released together; returns their
    results in index order and re-raises the first failure."""
    barrier = threading.Barrier(count)
    results, errors = [None] * count, []

    def body(index):
        try:
            barrier.wait()
            results[index] = work(index)
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    if errors:
        raise errors[0]
    return results
