"""Measurement helpers: timeit-style autorange with repeats, thread throughput, RSS."""

from __future__ import annotations

import gc
import os
import statistics
import threading
import time
import timeit
from collections.abc import Callable
from dataclasses import dataclass, field


@dataclass(frozen=True)
class Settings:
    min_time: float = 0.1  # seconds a timed batch must last at least
    repeat: int = 5  # batches per measurement; the minimum and median are kept
    max_total: float = 3.0  # a slow operation gets fewer batches (never fewer than 2)
    window: float = 0.3  # seconds of one throughput window


@dataclass
class Sample:
    """Seconds per operation over several batches."""

    name: str
    times: list[float]
    number: int  # operations per batch
    extra: dict = field(default_factory=dict)

    @property
    def best(self) -> float:
        return min(self.times)

    @property
    def median(self) -> float:
        return statistics.median(self.times)

    @property
    def worst(self) -> float:
        return max(self.times)


def per_op(name: str, stmt: str | Callable[[], object], namespace: dict | None,
           settings: Settings, *, min_repeat: int = 2,
           clock: Callable[[], float] = time.perf_counter) -> Sample:
    """Times `stmt` like timeit: batches of 1, 2, 5, 10, ... calls until one lasts
    settings.min_time, then settings.repeat batches of that size (garbage
    collection off while timing, as timeit does). `clock` may be
    time.process_time, to count the process's CPU time rather than wall time."""
    timer = timeit.Timer(stmt, timer=clock, globals=namespace)
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= settings.min_time:
            break
        # Jump close to the target instead of climbing one step at a time.
        guess = int(number * settings.min_time / max(elapsed, 1e-9) * 1.1) + 1
        number = max(number * 2, min(guess, number * 100))
    per_batch = elapsed
    repeat = settings.repeat
    if per_batch * repeat > settings.max_total:
        repeat = max(min_repeat, int(settings.max_total / per_batch))
    times = [timer.timeit(number) / number for _ in range(repeat)]
    return Sample(name, times, number)


def throughput(name: str, make_worker: Callable[[], Callable[[], None]], threads: int,
               settings: Settings) -> Sample:
    """Aggregate seconds per operation of `threads` threads that each call their own
    worker (which runs a batch of `batch` operations) for one window; repeated."""
    batch = 100
    times = []
    for _ in range(settings.repeat):
        stop = False
        counts = [0] * threads
        ready = threading.Barrier(threads + 1)

        def run(slot: int) -> None:
            work = make_worker()
            done = 0
            ready.wait()
            while not stop:
                work()
                done += batch
            counts[slot] = done

        pool = [threading.Thread(target=run, args=(i,)) for i in range(threads)]
        for thread in pool:
            thread.start()
        gc_was_enabled = gc.isenabled()
        gc.disable()
        try:
            ready.wait()
            start = time.perf_counter()
            time.sleep(settings.window)
            stop = True
            for thread in pool:
                thread.join()
            elapsed = time.perf_counter() - start
        finally:
            if gc_was_enabled:
                gc.enable()
        times.append(elapsed / sum(counts))
    return Sample(name, times, batch, {"threads": threads})


PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes() -> int:
    """Resident set of the whole process (every thread) from /proc/self/statm."""
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * PAGE
