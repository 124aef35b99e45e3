"""The one batch runner of the image subcommands.

A subcommand hands over a *step*: a picklable callable that turns the bytes of
one file into an Outcome (the file to write, if any, the facts its line
reports and its notes). This module decides how the files are done: one after another
(-j 1), in threads (-j N; Pillow releases the GIL while it decodes, resamples
and encodes), or on a Dask cluster (--dask: the files are read here, their bytes
scattered to the workers, the results written here). Whichever way, the per-file
lines come in input order, outputs are written by this process only (complete
or not at all), a failing file is reported and counted but never stops the
batch, and the summary and exit code are the same. A library warning raised
while a file is done (Pillow's decompression-bomb warning) becomes one line
naming that file.
"""

from __future__ import annotations

import argparse
import collections
import contextlib
import os
import sys
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import Any, NamedTuple, Protocol, TextIO

from vantry.cli import output
from vantry.cli.common import UsageError, compress_level, describe, positive
from vantry.cli.files import read_input, write_replacing

TYPE_CHECKING = False
if TYPE_CHECKING:  # pathlib costs a run that writes nothing (ratio) a twentieth of its time
    import pathlib

# A batch shows a progress bar from this many files on, and only on a terminal.
PROGRESS_MIN_FILES = 8
# How many files each worker may have queued ahead of the one being reported.
AHEAD_PER_WORKER = 2
DASK_CONNECT_TIMEOUT = "10s"


class Outcome(NamedTuple):
    data: bytes | None  # the file to write into -o (None: the command writes nothing)
    facts: tuple[str, ...]  # what the file's line reports: sizes, ratios
    notes: tuple[str, ...] = ()  # one line each on standard error: frames not used, a warning


class Step(Protocol):
    """What a subcommand hands over: picklable plain settings, called with what `read` gave of one file."""

    def __call__(self, data: bytes, /) -> Outcome: ...


Read = Callable[[str], bytes]  # what a step gets of a file (named as shown_path shows it): by default its bytes
Line = Callable[[str, "pathlib.Path | None", Outcome], str]


class Batch(NamedTuple):
    files: Sequence[str]
    step: Step  # runs in a thread or on a Dask worker: plain settings only
    line: Line  # the file's report line, made here from its outcome
    verb: str  # for the summary: "3 normalised, 1 failed"
    output: str | None = None  # the -o directory, when the command writes files
    read: Read = read_input  # runs where the file is read: in a thread, or here for --dask


def add_options(parser: argparse.ArgumentParser, writes: bool, threads_help: bool = True) -> None:
    """The batch options; threads_help False: a subcommand whose files gain nothing from threads
    (header reads hold the GIL) does them one after another unless -j asks otherwise."""
    if writes:
        parser.add_argument("-o", "--output", required=True, metavar="OUT",
                            help="output directory, created if missing; each IMAGE becomes OUT/<name>.png "
                                 "(.jpg, .webp with --format)")
        parser.add_argument("--keep-tree", action="store_true",
                            help="mirror the inputs' folders under OUT, from their common parent folder: "
                                 "day1/a.jpg and day2/a.jpg become OUT/day1/a.png and OUT/day2/a.png")
        output.add_options(parser)
        parser.add_argument("--compress-level", type=compress_level, metavar="0-9",
                            help="PNG compression level: 0 stored, 1 fastest, 9 smallest; "
                                 "default: 6")
        parser.add_argument("--png-encoder", choices=("fast", "pillow"),
                            help="fast (default): Pillow's PNG filters with a faster deflate (zlib-ng when "
                                 "installed, else zlib), large images deflated in several threads; same pixels, "
                                 "no larger on photos or flat graphics. pillow: Pillow's own PNG writer, the "
                                 "extension modules' exact bytes")
    jobs_help = (f"files done at once (default: the usable CPUs, here {usable_cpus()}); -j 1 does one after another"
                 if threads_help else "files done at once (default 1: header reads gain nothing from threads)")
    parser.add_argument("-j", "--jobs", type=positive, metavar="N", help=jobs_help)
    parser.set_defaults(default_jobs=None if threads_help else 1)
    parser.add_argument("--dask", metavar="ADDRESS",
                        help="run the batch on the Dask cluster whose scheduler is ADDRESS (tcp://host:8786); "
                             "needs the dask extra")


def usable_cpus() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


# --- where the steps run ------------------------------------------------------

class _Pending(Protocol):
    def result(self) -> Any: ...

    def cancel(self) -> Any: ...


# A file in hand: its path, its output path, and its result to come (or why it never started).
_Launched = tuple[str, "pathlib.Path | None", "_Pending | Exception"]


class _Runner(Protocol):
    ahead: int

    def submit(self, step: Step, read: Read, path: str) -> _Pending: ...

    def close(self, wait: bool) -> None: ...


# Per thread: the notes of the file whose step runs in it, while it runs; and, in
# the thread running a batch, that other warnings become one line too.
_noting = threading.local()
_hook_lock = threading.Lock()
_shown_before: Any = warnings.showwarning  # the hook replaced by _note_warning


def _note_warning(message: Warning | str, category: type[Warning], filename: str, lineno: int,
                  file: TextIO | None = None, line: str | None = None) -> None:
    """warnings.showwarning while vantry runs steps: one line, a note of the file being done."""
    text = " ".join(f"{category.__name__}: {message}".split())
    notes = getattr(_noting, "notes", None)
    if notes is not None:
        notes.append(f"warning: {text}")
    elif getattr(_noting, "in_batch", False):
        print(f"vantry: warning: {text}", file=sys.stderr)
    else:  # another task's warning on a shared Dask worker
        _shown_before(message, category, filename, lineno, file, line)


def _hook_warnings() -> None:
    global _shown_before
    with _hook_lock:
        if warnings.showwarning is not _note_warning:
            _shown_before = warnings.showwarning
            warnings.showwarning = _note_warning


def run_noting_warnings(step: Step, data: bytes) -> Outcome:
    """step(data), with the warnings it raises as notes of its outcome. Runs in a
    thread of this process or on a Dask worker, which it sets up on first use."""
    _hook_warnings()
    notes: list[str] = []
    _noting.notes = notes
    try:
        outcome = step(data)
    finally:
        del _noting.notes
    # A file opened twice warns twice: each warning is one note.
    return outcome._replace(notes=tuple(dict.fromkeys(outcome.notes + tuple(notes)))) if notes else outcome


def _read_and_run(step: Step, read: Read, path: str) -> Outcome:
    return run_noting_warnings(step, read(path))


class _Done:
    """A file already done: its outcome, or the error it raised."""

    def __init__(self, outcome: Outcome | None, error: Exception | None) -> None:
        self.outcome, self.error = outcome, error

    def result(self) -> Outcome | None:
        if self.error is not None:
            raise self.error
        return self.outcome

    def cancel(self) -> bool:
        return False


class _InOrder:
    """-j 1: each file is done when it is submitted, exactly as a plain loop."""

    ahead = 1

    def submit(self, step: Step, read: Read, path: str) -> _Pending:
        try:
            return _Done(_read_and_run(step, read, path), None)
        except Exception as exc:
            return _Done(None, exc)

    def close(self, wait: bool) -> None:
        pass


class _Threads:
    """-j N: a thread pool. Closing it drops the files not started; after Ctrl-C it
    does not wait for the ones in hand (the threads' results are never written)."""

    def __init__(self, jobs: int) -> None:
        self.ahead = jobs * AHEAD_PER_WORKER
        import concurrent.futures  # here: one file after another needs none of it

        self.pool = concurrent.futures.ThreadPoolExecutor(jobs, thread_name_prefix="vantry-batch")

    def submit(self, step: Step, read: Read, path: str) -> _Pending:
        return self.pool.submit(_read_and_run, step, read, path)

    def close(self, wait: bool) -> None:
        self.pool.shutdown(wait=wait, cancel_futures=True)


class _Cluster:
    """--dask: the bytes go to the workers, the outcomes come back here."""

    def __init__(self, address: str) -> None:
        try:
            import distributed
        except ImportError:
            raise UsageError("--dask needs Dask's distributed package: pip install '.[dask]' in vantry's "
                             "checkout") from None
        connect: Any = distributed.Client  # its annotations are incomplete
        try:
            self.client = connect(address, timeout=DASK_CONNECT_TIMEOUT, set_as_default=False)
        except Exception as exc:  # refused, timed out, bad address
            raise UsageError(f"cannot reach the Dask scheduler at {address}: {describe(exc)}") from None
        threads = sum(self.client.nthreads().values()) or 1
        self.ahead = threads * AHEAD_PER_WORKER

    def submit(self, step: Step, read: Read, path: str) -> _Pending:
        # The bytes go to a worker on their own, not inside the task graph (which Dask
        # warns about from 10 MB on). pure=False: two files with the same bytes are
        # still two tasks, each reported.
        data = self.client.scatter(read(path), hash=False)
        future: _Pending = self.client.submit(run_noting_warnings, step, data, pure=False)
        return future

    def close(self, wait: bool) -> None:
        self.client.close()


def _runner(args: argparse.Namespace) -> _Runner:
    if args.dask is not None:
        if args.jobs is not None:
            raise UsageError("-j/--jobs is for local runs; with --dask the cluster's workers set how many run at once")
        return _Cluster(args.dask)
    jobs = args.jobs or getattr(args, "default_jobs", None) or usable_cpus()
    return _InOrder() if jobs == 1 else _Threads(jobs)


# --- the run ------------------------------------------------------------------

def shown_path(name: str) -> str:
    """str(pathlib.PurePosixPath(name)), as each file is named in its line: empty and "."
    parts dropped, repeated slashes made one (two leading slashes are kept)."""
    root = ""
    if name.startswith("/"):
        stripped = name.lstrip("/")
        root = "//" if len(name) - len(stripped) == 2 else "/"
        name = stripped
    return root + "/".join(part for part in name.split("/") if part and part != ".") or "."


class _Targets:
    """Output paths of one batch: IMAGE -> OUT/<stem><suffix> (with keep_tree, the
    image's folder below the inputs' common parent folder in between), refusing any
    path that would overwrite an input of the batch or a file written earlier in it."""

    def __init__(self, out: pathlib.Path, sources: Sequence[str], suffix: str, keep_tree: bool) -> None:
        import pathlib

        self.out = out
        self.suffix = suffix
        self.inputs = {pathlib.Path(source).resolve() for source in sources}
        self.taken: set[pathlib.Path] = set()
        folders = [os.path.dirname(os.path.abspath(source)) for source in sources]
        self.root = os.path.commonpath(folders) if keep_tree and folders else None

    def __call__(self, name: str) -> pathlib.Path:
        import pathlib

        source = pathlib.Path(name)
        folder = self.out
        if self.root is not None:
            folder = folder / os.path.relpath(os.path.dirname(os.path.abspath(source)), self.root)
        target = folder / f"{source.stem}{self.suffix}"
        resolved = target.resolve()
        if resolved in self.inputs:
            raise ValueError(f"output {target} would overwrite an input; choose another -o directory")
        if resolved in self.taken:
            raise ValueError(f"output {target} was already written by an earlier file of this batch")
        self.taken.add(resolved)
        return target


def _output_dir(out: str) -> pathlib.Path:
    import pathlib

    path = pathlib.Path(out)
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"cannot create output directory {out}: {exc.strerror}") from None
    return path


class _Progress(contextlib.AbstractContextManager["_Progress"]):
    """Per-file lines and, for a long batch on a terminal, a tqdm bar that the
    lines never overwrite (they go through tqdm.write, which lifts the bar)."""

    def __init__(self, total: int) -> None:
        self.bar: Any = None
        if total >= PROGRESS_MIN_FILES and sys.stderr.isatty():
            try:
                from tqdm import tqdm  # type: ignore[import-untyped]
            except ImportError:  # a bare install without the optional bar still works
                return
            self.bar = tqdm(total=total, unit="file", file=sys.stderr)

    def say(self, text: str, stream: TextIO) -> None:
        if self.bar is None:
            print(text, file=stream)
        else:
            self.bar.write(text, file=stream)

    def advance(self) -> None:
        if self.bar is not None:
            self.bar.update(1)

    def __exit__(self, *exc: object) -> None:
        if self.bar is not None:
            self.bar.close()


def _show_every_warning() -> None:
    """Inside catch_warnings: every warning is shown each time (above "default" and "once",
    which -X dev and -W put first), except what a filter hides, which stays hidden."""
    hidden = [entry for entry in warnings.filters if entry[0] == "ignore"]
    warnings.simplefilter("always")
    for _, message, category, module, lineno in reversed(hidden):
        if isinstance(category, type):  # always so through the warnings API
            warnings.filterwarnings("ignore", message.pattern if message else "", category,
                                    module.pattern if module else "", lineno)


def run(batch: Batch, args: argparse.Namespace) -> int:
    """Run the batch as -j/--dask say; 0 when every file succeeded, 1 when one failed,
    130 when interrupted. Options are checked, and the output directory made,
    before the first file is read. Warnings are one line each, every time."""
    with warnings.catch_warnings():
        _show_every_warning()
        _hook_warnings()
        _noting.in_batch = True
        try:
            return _run(batch, args)
        finally:
            del _noting.in_batch


def _run(batch: Batch, args: argparse.Namespace) -> int:
    runner = _runner(args)
    targets = None
    if batch.output is not None:
        suffix = output.FORMATS[args.format][1]
        targets = _Targets(_output_dir(batch.output), batch.files, suffix, args.keep_tree)
    paths = [shown_path(f) for f in batch.files]
    waiting: collections.deque[_Launched] = collections.deque()

    def launch(path: str) -> _Launched:
        try:
            target = targets(path) if targets is not None else None
            return path, target, runner.submit(batch.step, batch.read, path)
        except Exception as exc:  # a refused output path; for --dask, an unreadable file
            return path, None, exc

    def in_order() -> Iterator[_Launched]:
        # Up to runner.ahead files are in hand at once; they are reported in input order.
        for path in paths:
            waiting.append(launch(path))
            if len(waiting) >= runner.ahead:
                yield waiting.popleft()
        while waiting:
            yield waiting.popleft()

    done = failed = 0
    interrupted = False
    try:
        with _Progress(len(paths)) as progress:
            for path, target, pending in in_order():
                try:
                    if isinstance(pending, Exception):
                        raise pending
                    outcome: Outcome = pending.result()
                    if target is not None and outcome.data is not None:
                        target.parent.mkdir(parents=True, exist_ok=True)  # a folder of --keep-tree
                        write_replacing(target, outcome.data)
                except Exception as exc:  # any bad file: Pillow, OS, value and worker errors alike
                    failed += 1
                    progress.say(f"vantry: {path}: {describe(exc)}", sys.stderr)
                else:
                    done += 1
                    for note in outcome.notes:
                        progress.say(f"vantry: {path}: {note}", sys.stderr)
                    line = batch.line(path, target, outcome)
                    if line:
                        progress.say(line, sys.stdout)
                progress.advance()
    except KeyboardInterrupt:
        interrupted = True
        for _, _, pending in waiting:
            if not isinstance(pending, Exception):
                pending.cancel()
        print(f"interrupted: {done} {batch.verb}, {failed} failed, {len(paths) - done - failed} not done",
              file=sys.stderr)
        return 130
    finally:
        runner.close(wait=not interrupted)
    print(f"{done} {batch.verb}, {failed} failed", file=sys.stderr)
    return 1 if failed else 0
