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

Besides those, three measurements for rows whose single calls cannot be
repeated as they are:

- ``compare_fresh``: every call gets a new input (a lexicon no earlier call has
  seen), made before each timed run and outside it; results are kept until the
  run's timer has stopped, so freeing them is not timed either.
- ``fresh_processes``: the first call in a new interpreter, each side in
  ``workers()`` processes run alternately; each process prints the seconds of
  the one call it timed, the row shows the medians and the median of the
  paired speedups.
- ``throughput``: whole jobs (a data set screened end to end), each run once
  per repeat, alternately; the row shows seconds per item and items per second.

Kinds of rows:

- image operations: the floor is the bare Pillow calls the operation must make;
  the figure is ``ratio = vantry / floor`` (1.00 means no overhead at all);
- pure operations: the floor is the same operation in plain Python, or what a
  user would write with another library; the figure is ``speedup = floor / vantry``;
- memory: bytes held against the floor's, ``ratio = vantry / floor``;
- relative: vantry against vantry itself on a reference input (a prompt in
  another script against the same-length ASCII prompts), ``ratio = vantry / reference``.

A row may also carry an absolute bound on vantry's time per call (``bound``)
and a note with figures the columns do not show.

Benchmarks report; they never fail a build.
"""

import gc
import json
import os
import statistics
import subprocess
import sys
import time
import timeit
from dataclasses import dataclass

QUICK = bool(os.environ.get("VANTRY_BENCH_QUICK"))
IMAGE, PURE, MEMORY, RELATIVE = "image", "pure", "memory", "relative"
LOWER_IS_BETTER = (IMAGE, MEMORY, RELATIVE)
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


def _timed_run(fn, fresh, count):
    """Seconds per call of fn over `count` new inputs made beforehand; results outlive the timer."""
    inputs = [fresh() for _ in range(count)]
    start = time.perf_counter()
    results = [fn(x) for x in inputs]
    elapsed = time.perf_counter() - start
    del results
    return elapsed / count


def measure_pair_fresh(ours, floor, fresh, repeat=None, min_time=None):
    """Best seconds per call of ``ours(x)`` and ``floor(x)``, every call on a new ``x = fresh()``."""
    repeat = repeat or (3 if QUICK else 7)
    min_time = min_time or (0.01 if QUICK else 0.2)
    sides, counts, best = (ours, floor), [], []
    for fn in sides:
        count = 1
        while True:
            per_call = _timed_run(fn, fresh, count)
            if per_call * count >= min_time or count >= 10**6:
                break
            count = max(count * 2, int(count * min_time / (per_call * count)) + 1)
        counts.append(count)
        best.append(per_call)
    if max(best) > SLOW_CALL:
        repeat = min(repeat, 3)
    for _ in range(repeat):
        for side, fn in enumerate(sides):
            best[side] = min(best[side], _timed_run(fn, fresh, counts[side]))
    return best[0], best[1]


def measure_in_fresh_processes(ours_argv, floor_argv, runs=None):
    """(median seconds of ours, of floor, median of the paired speedups floor/ours).

    Each command is a whole interpreter that prints the seconds of the call it
    timed as its last output word; the two run alternately, ``runs`` times each.
    """
    seconds = ([], [])
    for n in range(runs or workers()):
        for side in (0, 1) if n % 2 == 0 else (1, 0):
            argv = (ours_argv, floor_argv)[side]
            out = subprocess.run(argv, check=True, capture_output=True, text=True, cwd=ROOT).stdout
            seconds[side].append(float(out.split()[-1]))
    speedups = [floor / ours for ours, floor in zip(*seconds)]
    return statistics.median(seconds[0]), statistics.median(seconds[1]), statistics.median(speedups)


def time_jobs(jobs, repeat=None):
    """{name: best seconds of one run} for whole jobs run round-robin, ``repeat`` times each."""
    repeat = repeat or (3 if QUICK else 1)
    best = {name: float("inf") for name in jobs}
    for _ in range(repeat):
        for name, job in jobs.items():
            start = time.perf_counter()
            job()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


def fmt_bytes(size):
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if abs(size) >= scale:
            return f"{size / scale:.3g} {unit}"
    return f"{size:.0f} B"


def fmt_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if float(f"{seconds / scale:.3g}") >= 1:  # 999.6 ns shows as 1 µs, not 1e+03 ns
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
    ratio: float | None = None  # median of paired figures (ratio or speedup), when measured across processes
    bound: float | None = None  # seconds vantry may take at most, when the target is a time
    note: str = ""

    @property
    def figure(self):
        if self.ratio is not None:
            return self.ratio
        return self.ours / self.floor if self.kind in LOWER_IS_BETTER else self.floor / self.ours

    @property
    def met(self):
        verdicts = []
        if self.target is not None:
            lower = self.kind in LOWER_IS_BETTER
            verdicts.append(self.figure <= self.target if lower else self.figure >= self.target)
        if self.bound is not None:
            verdicts.append(self.ours <= self.bound)
        return all(verdicts) if verdicts else None

    def target_text(self):
        bounds = []
        if self.target is not None:
            bounds.append(f"≤ {self.target:.2f}" if self.kind in LOWER_IS_BETTER else f"≥ {self.target:g}x")
        if self.bound is not None:
            bounds.append(f"vantry ≤ {fmt_time(self.bound)}")
        if not bounds:
            return ""
        return f"{', '.join(bounds)} {'met' if self.met else 'MISSED'}"


HEADER = (
    "operation",
    "work size",
    "vantry / call",
    "floor / call",
    "ratio vantry/floor (image, memory, vs ASCII)",
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

    def wants(self, rows):
        """Whether any of the next ``rows`` compare calls is measured here; if none is, they are
        passed over, so a benchmark can skip making their inputs (a worker process measures a few)."""
        return True

    def compare(self, operation, size, vantry_fn, floor_fn, kind=PURE, target=None, series=None, per=1, bound=None):
        """One row of vantry_fn against floor_fn; ``per``: items each call handles (the row shows time per item)."""
        index = self._next_index()
        if kind == IMAGE and self.module and _is_short(vantry_fn):
            row = Row(operation, size, kind, float("nan"), float("nan"), target, 1, series, processes=workers())
            self._pending[index] = row
            self.rows.append(row)
            return
        self._measured(Row(operation, size, kind, 0.0, 0.0, target, 0, series, bound=bound),
                       lambda: measure_pair(vantry_fn, floor_fn), per)

    def compare_fresh(self, operation, size, vantry_fn, floor_fn, fresh, target=None, series=None):
        """A row of ``vantry_fn(x)`` against ``floor_fn(x)`` where every call gets a new ``x = fresh()``."""
        self._measured(Row(operation, size, PURE, 0.0, 0.0, target, 0, series),
                       lambda: measure_pair_fresh(vantry_fn, floor_fn, fresh))

    def _measured(self, row, measure, per=1):
        """Measure a row, again up to RETRIES times while it misses its target, keeping each side's best."""
        while row.runs == 0 or (row.met is False and row.runs <= RETRIES):
            ours, floor = (t / per for t in measure())
            row.ours = ours if row.runs == 0 else min(row.ours, ours)
            row.floor = floor if row.runs == 0 else min(row.floor, floor)
            row.runs += 1
        self.rows.append(row)

    def fresh_processes(self, operation, size, vantry_argv, floor_argv, target=None, bound=None):
        """A row of one call timed in fresh interpreters (see measure_in_fresh_processes)."""
        ours, floor, speedup = measure_in_fresh_processes(vantry_argv, floor_argv)
        self.rows.append(Row(operation, size, PURE, ours, floor, target, processes=workers(), ratio=speedup,
                             bound=bound, note=f"ratio vantry/floor {1 / speedup:.2f}"))

    def throughput(self, operation, size, ours_seconds, floor_seconds, items, unit, note=""):
        """A row of two whole jobs over ``items`` items each, already timed: time per item and items per second."""
        rates = f"{items / ours_seconds:,.0f} vs {items / floor_seconds:,.0f} {unit}/s"
        self.rows.append(Row(operation, size, PURE, ours_seconds / items, floor_seconds / items,
                             note="; ".join(t for t in (rates, note) if t)))

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
            ratio = f"{r.figure:.3f}" if r.kind in LOWER_IS_BETTER else ""
            speedup = f"{r.figure:.2f}x" if r.kind == PURE else ""
            target = r.target_text() + (f" ({r.runs} runs)" if r.runs > 1 else "")
            target += f" (median of {r.processes} processes)" if r.processes else ""
            target = "; ".join(t for t in (target.strip(), r.note) if t)
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

    def wants(self, rows):
        if self.indexes.isdisjoint(range(self._calls, self._calls + rows)):
            self._calls += rows
            return False
        return True

    def compare(self, operation, size, vantry_fn, floor_fn, kind=PURE, target=None, series=None, per=1, bound=None):
        index = self._next_index()
        if index in self.indexes:
            self.results[index] = (operation, size, *measure_paired_median(vantry_fn, floor_fn))

    # Rows that are never measured across processes.
    def compare_fresh(self, *args, **kwargs):
        pass

    def fresh_processes(self, *args, **kwargs):
        pass

    def throughput(self, *args, **kwargs):
        pass

