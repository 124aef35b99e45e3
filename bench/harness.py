"""A small benchmark harness: time an operation against its floor.

Method. Each side of a row is timed with ``timeit`` (garbage collection left
on, as in real use). The loop count of each side is first chosen so that one
run lasts at least ``min_time``; then the two sides are run alternately,
``repeat`` times each, and the best run of each side is kept. Alternating
means a burst of load from elsewhere on the machine hits both sides alike, and
the best run is the least disturbed estimate of what the code itself costs.
A row that misses its target is measured again (``RETRIES`` times) and keeps
the best figure of each side over all its runs, so one noisy moment does not
decide it; the count of runs is reported. Image rows hand the timer the call
itself (``functools.partial`` of the method or of the floor function), so
neither side pays for a wrapping lambda frame.

Two kinds of rows:

- image operations: the floor is the bare Pillow calls the operation must make;
  the figure is ``ratio = vantry / floor`` (1.00 means no overhead at all);
- pure operations: the floor is the same operation in plain Python; the figure
  is ``speedup = floor / vantry``.

Benchmarks report; they never fail a build.
"""

import gc
import os
import timeit
from dataclasses import dataclass

QUICK = bool(os.environ.get("VANTRY_BENCH_QUICK"))
IMAGE, PURE = "image", "pure"
RETRIES = 4
SLOW_CALL = 0.5  # seconds: calls this slow get fewer repeats


def set_quick(flag):
    global QUICK
    QUICK = bool(flag)


def _calibrate(timer, min_time):
    number = 1
    while True:
        elapsed = timer.timeit(number)
        if elapsed >= min_time or number >= 10**7:
            return number, elapsed / number
        # Jump close to the needed count once a run is long enough to estimate from.
        number = number * 10 if elapsed < 1e-4 else max(number * 2, int(number * min_time / elapsed) + 1)


def measure_pair(ours, floor, repeat=None, min_time=None):
    """Best seconds per call of ``ours`` and of ``floor``, timed alternately."""
    repeat = repeat or (3 if QUICK else 7)
    min_time = min_time or (0.01 if QUICK else 0.2)
    timers = [timeit.Timer(ours, setup=gc.enable), timeit.Timer(floor, setup=gc.enable)]
    counts, best = zip(*(_calibrate(t, min_time) for t in timers))
    best = list(best)
    if max(best) > SLOW_CALL:
        repeat = min(repeat, 3)
    for _ in range(repeat):
        for side, timer in enumerate(timers):
            best[side] = min(best[side], timer.timeit(counts[side]) / counts[side])
    return best[0], best[1]


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


@dataclass
class Row:
    operation: str
    size: str
    kind: str
    ours: float
    floor: float
    target: float | None = None
    runs: int = 1
    series: tuple | None = None  # (plot name, line label, x value) for the growth plot

    @property
    def figure(self):
        return self.ours / self.floor if self.kind == IMAGE else self.floor / self.ours

    @property
    def met(self):
        if self.target is None:
            return None
        return self.figure <= self.target if self.kind == IMAGE else self.figure >= self.target

    def target_text(self):
        if self.target is None:
            return ""
        bound = f"≤ {self.target:.2f}" if self.kind == IMAGE else f"≥ {self.target:g}x"
        return f"{bound} {'met' if self.met else 'MISSED'}"


HEADER = (
    "operation",
    "work size",
    "vantry / call",
    "floor / call",
    "ratio vantry/floor (image ops)",
    "speedup floor/vantry (pure ops)",
    "target",
)


class Table:
    """Collects rows of (operation, work size, vantry time, floor time) and renders them."""

    def __init__(self, title=""):
        self.title = title
        self.rows = []

    def compare(self, operation, size, vantry_fn, floor_fn, kind=PURE, target=None, series=None):
        ours, floor = measure_pair(vantry_fn, floor_fn)
        row = Row(operation, size, kind, ours, floor, target, 1, series)
        while row.met is False and row.runs <= RETRIES:
            again = measure_pair(vantry_fn, floor_fn)
            row.ours, row.floor = min(row.ours, again[0]), min(row.floor, again[1])
            row.runs += 1
        self.rows.append(row)
        return row.ours, row.floor

    def cells(self):
        for r in self.rows:
            ratio = f"{r.figure:.3f}" if r.kind == IMAGE else ""
            speedup = f"{r.figure:.2f}x" if r.kind == PURE else ""
            target = r.target_text() + (f" ({r.runs} runs)" if r.runs > 1 else "")
            yield (r.operation, r.size, fmt_time(r.ours), fmt_time(r.floor), ratio, speedup, target)

    def markdown(self):
        lines = ["| " + " | ".join(HEADER) + " |", "|" + "|".join(["---"] * 2 + ["---:"] * 4 + ["---"]) + "|"]
        lines += ["| " + " | ".join(c.replace("|", "\\|") for c in row) + " |" for row in self.cells()]
        return "\n".join(lines) + "\n"

    def print(self):
        lines = [HEADER, *self.cells()]
        widths = [max(len(str(row[i])) for row in lines) for i in range(len(HEADER))]
        if self.title:
            print(f"\n{self.title}")
        for n, row in enumerate(lines):
            print("  ".join(str(cell).ljust(widths[i]) for i, cell in enumerate(row)).rstrip())
            if n == 0:
                print("  ".join("-" * w for w in widths))

    def missed(self):
        return [r for r in self.rows if r.met is False]
