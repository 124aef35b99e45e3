"""A small benchmark harness: time an operation against its floor.

Each case is timed with ``timeit`` (auto-ranged loop count, best of several
repeats, garbage collection left on as in real use) and reported as the time
per call of vantry, of the floor, and their ratio. The floor is either the
same operation in plain Python or the bare library calls the operation must
make. Benchmarks report; they never fail a build.
"""

import gc
import os
import timeit

QUICK = bool(os.environ.get("VANTRY_BENCH_QUICK"))


def time_per_call(fn, repeat=None, min_time=None):
    """Best seconds per call of ``fn`` over ``repeat`` runs of about ``min_time`` seconds."""
    repeat = repeat or (2 if QUICK else 7)
    min_time = min_time or (0.02 if QUICK else 0.2)
    timer = timeit.Timer(fn, setup=gc.enable)
    number = 1
    while timer.timeit(number) < min_time and number < 10**7:
        number *= 2
    return min(timer.repeat(repeat=repeat, number=number)) / number


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


class Table:
    """Collects rows of (operation, work size, vantry time, floor time) and prints them."""

    def __init__(self, title):
        self.title = title
        self.rows = []

    def compare(self, operation, size, vantry_fn, floor_fn):
        ours = time_per_call(vantry_fn)
        floor = time_per_call(floor_fn)
        self.rows.append((operation, size, ours, floor))
        return ours, floor

    def print(self):
        header = ("operation", "work size", "vantry/call", "floor/call", "floor/vantry")
        lines = [header] + [
            (op, size, fmt_time(ours), fmt_time(floor), f"{floor / ours:.2f}x") for op, size, ours, floor in self.rows
        ]
        widths = [max(len(str(row[i])) for row in lines) for i in range(len(header))]
        print(f"\n{self.title}")
        for n, row in enumerate(lines):
            print("  ".join(str(cell).ljust(widths[i]) for i, cell in enumerate(row)))
            if n == 0:
                print("  ".join("-" * w for w in widths))
