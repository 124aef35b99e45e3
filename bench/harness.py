"""A small benchmark harness: time an operation against its floor.

Two ways of measuring, chosen per row:

- Image operations that take less than ``SHORT_CALL`` a call (header reads,
  small images) are measured in ``workers()`` fresh processes (21; 3 in quick
  mode), as pyperf does (it runs 20 by default). On this kind of machine the
  same code runs a few percent faster or slower from one process to the next
  (where code and data land in memory), and for a call of a few microseconds
  that spread is larger than the overhead being measured. In each process the
  two sides run alternately in ``blocks()`` pairs of short blocks
  (``BLOCK_TIME``); each pair gives one ratio and the process reports the
  median ratio. The row shows the median over the processes, and the median
  time per call of each side. Pairing neighbouring blocks cancels a slow
  minute of the machine, the median over processes a lucky or unlucky layout.
- Everything else runs in this process. The loop count of each side is first
  chosen so that one run lasts at least ``min_time``; then the two sides are
  run alternately, ``repeat`` times each, and the best run of each side is
  kept. A row that misses its target is measured again (``RETRIES`` times) and
  keeps the best figure of each side over all its runs; the count of runs is
  reported. For calls of milliseconds and more the spread between processes is
  well below a percent.

Garbage collection stays on, as in real use. Image rows hand the timer the
call itself (``functools.partial`` of the method or of the floor function), so
neither side pays for a wrapping lambda frame.

Two kinds of rows:

- image operations: the floor is the bare Pillow calls the operation must make;
  the figure is ``ratio = vantry / floor`` (1.00 means no overhead at all);
- pure operations: the floor is the same operation in plain Python; the figure
  is ``speedup = floor / vantry``.

Benchmarks report; they never fail a build.
"""

import gc
import json
import os
import statistics
import subprocess
import sys
import timeit
from dataclasses import dataclass

QUICK = bool(os.environ.get("VANTRY_BENCH_QUICK"))
IMAGE, PURE, MEMORY = "image", "pure", "memory"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # where `python -m bench` runs
RETRIES = 4
SLOW_CALL = 0.5  # seconds: calls this slow get fewer repeats
SHORT_CALL = 2e-3  # seconds: image calls shorter than this are measured across processes


def workers():
    """How many fresh processes measure a short image row (odd, for a plain median)."""
    return 3 if QUICK else 21


def blocks():
    """Pairs of neighbouring blocks each process times."""
    return 6 if QUICK else 60


BLOCK_TIME = 0.01  # seconds a block lasts at least


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


def _is_short(fn):
    """Whether one call of fn takes less than SHORT_CALL, leaving aside the first call's one-time costs."""
    fn()  # the first image call in a process also loads Pillow's format plugins
    return _calibrate(timeit.Timer(fn), SHORT_CALL)[1] < SHORT_CALL


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


def measure_paired_median(ours, floor):
    """(median seconds per call of ours, of floor, median of the paired ratios ours/floor).

    The two sides run in neighbouring blocks, in alternating order, and each
    pair of blocks gives one ratio.
    """
    timers = [timeit.Timer(ours, setup=gc.enable), timeit.Timer(floor, setup=gc.enable)]
    counts = [_calibrate(t, BLOCK_TIME)[0] for t in timers]
    per_call = ([], [])
    for n in range(blocks()):
        for side in (0, 1) if n % 2 == 0 else (1, 0):
            per_call[side].append(timers[side].timeit(counts[side]) / counts[side])
    ratios = [a / b for a, b in zip(*per_call)]
    return statistics.median(per_call[0]), statistics.median(per_call[1]), statistics.median(ratios)


def fmt_bytes(size):
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if abs(size) >= scale:
            return f"{size / scale:.3g} {unit}"
    return f"{size:.0f} B"


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
    processes: int = 0  # measured in this many fresh processes (0: in this one)
    ratio: float | None = None  # median of paired ratios, when measured across processes

    @property
    def figure(self):
        if self.ratio is not None:
            return self.ratio
        return self.ours / self.floor if self.kind in (IMAGE, MEMORY) else self.floor / self.ours

    @property
    def met(self):
        if self.target is None:
            return None
        return self.figure <= self.target if self.kind in (IMAGE, MEMORY) else self.figure >= self.target

    def target_text(self):
        if self.target is None:
            return ""
        bound = f"≤ {self.target:.2f}" if self.kind in (IMAGE, MEMORY) else f"≥ {self.target:g}x"
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
    """Collects rows of (operation, work size, vantry time, floor time) and renders them.

    ``begin(module)`` starts the rows of one benchmark module and ``end()``
    measures the ones that need fresh processes, by running that module again
    in each of them (``python -m bench --worker MODULE --rows ...``).
    """

    def __init__(self, title=""):
        self.title = title
        self.rows = []
        self.module = None
        self._calls = 0
        self._pending = {}  # compare-call index -> row measured across processes

    def begin(self, module):
        self.module, self._calls, self._pending = module, 0, {}

    def _next_index(self):
        """The position of this compare call in the module's run: how a worker finds the same row."""
        self._calls += 1
        return self._calls - 1

    def compare(self, operation, size, vantry_fn, floor_fn, kind=PURE, target=None, series=None):
        index = self._next_index()
        if kind == IMAGE and self.module and _is_short(vantry_fn):
            row = Row(operation, size, kind, float("nan"), float("nan"), target, 1, series, processes=workers())
            self._pending[index] = row
            self.rows.append(row)
            return
        ours, floor = measure_pair(vantry_fn, floor_fn)
        row = Row(operation, size, kind, ours, floor, target, 1, series)
        while row.met is False and row.runs <= RETRIES:
            again = measure_pair(vantry_fn, floor_fn)
            row.ours, row.floor = min(row.ours, again[0]), min(row.floor, again[1])
            row.runs += 1
        self.rows.append(row)

    def memory(self, operation, size, ours_bytes, floor_bytes, target=None):
        """A row of memory held (bytes) against the floor's; lower is better."""
        self.rows.append(Row(operation, size, MEMORY, float(ours_bytes), float(floor_bytes), target))

    def end(self):
        if not self._pending:
            return
        rows = ",".join(map(str, self._pending))
        command = [sys.executable, "-m", "bench", "--worker", self.module, "--rows", rows] + (["--quick"] if QUICK else [])
        results = {index: [] for index in self._pending}
        for _ in range(workers()):
            out = subprocess.run(command, check=True, capture_output=True, text=True, cwd=ROOT).stdout
            for index, (operation, size, ours, floor, ratio) in json.loads(out).items():
                row = self._pending[int(index)]
                assert (operation, size) == (row.operation, row.size), "worker measured another row"
                results[int(index)].append((ours, floor, ratio))
        for index, row in self._pending.items():
            ours, floor, ratio = zip(*results[index])
            row.ours, row.floor, row.ratio = (statistics.median(v) for v in (ours, floor, ratio))
        self._pending = {}

    def cells(self):
        for r in self.rows:
            ratio = f"{r.figure:.3f}" if r.kind in (IMAGE, MEMORY) else ""
            speedup = f"{r.figure:.2f}x" if r.kind == PURE else ""
            target = r.target_text() + (f" ({r.runs} runs)" if r.runs > 1 else "")
            target += f" (median of {r.processes} processes)" if r.processes else ""
            fmt = fmt_bytes if r.kind == MEMORY else fmt_time
            yield (r.operation, r.size, fmt(r.ours), fmt(r.floor), ratio, speedup, target)

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


class WorkerTable(Table):
    """The worker side of ``Table.end``: measures only the given compare calls of one module."""

    def __init__(self, indexes):
        super().__init__()
        self.indexes = set(indexes)
        self.results = {}

    def compare(self, operation, size, vantry_fn, floor_fn, kind=PURE, target=None, series=None):
        index = self._next_index()
        if index in self.indexes:
            self.results[index] = (operation, size, *measure_paired_median(vantry_fn, floor_fn))

