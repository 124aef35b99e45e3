"""The benchmark suite: ``python -m bench [--quick] [--write-docs] [--out DIR]``.

Runs every module's benchmark into one table (see bench/harness.py for the
method), prints it, and writes it as Markdown with the growth plot:
``bench/out/table.md`` and ``bench/out/growth.png`` (``--write-docs`` also
writes ``docs/performance.md`` and ``docs/performance.png``). ``--quick`` runs
few repetitions on small sizes, for CI. The exit status never depends on a
timing: a missed target is reported, not failed.
"""

import argparse
import importlib
import os
import pathlib
import platform
import shlex
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
MODULES = ["aspecta", "imaging", "gridlum", "wordsift", "excode", "revivo", "cli"]


def parse_args(argv):
    parser = argparse.ArgumentParser(prog="python -m bench", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="few repetitions, small sizes (CI)")
    parser.add_argument("--write-docs", action="store_true", help="also write docs/performance.{md,png}")
    parser.add_argument("--out", type=pathlib.Path, default=HERE / "out", help="where table.md and growth.png go")
    parser.add_argument("--only", action="append", choices=MODULES, help="run only these modules (repeatable)")
    # Internal: one fresh process measuring some rows of one module, for the harness.
    parser.add_argument("--worker", choices=MODULES, help=argparse.SUPPRESS)
    parser.add_argument("--rows", default="", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def run_worker(module, rows):
    """Measure the given rows of one module and print them as JSON for the parent."""
    import json

    from bench import harness

    table = harness.WorkerTable(int(i) for i in rows.split(","))
    importlib.import_module(f"bench.{module}_bench").run(table)
    print(json.dumps(table.results))
    return 0


def machine_line():
    load = " / ".join(f"{v:.2f}" for v in os.getloadavg())
    import PIL

    return (f"CPython {platform.python_version()}, Pillow {PIL.__version__}, {platform.machine()}, "
            f"{os.cpu_count()} cores, load average at start {load}")


def render(table, command, started, elapsed):
    from bench import harness

    missed = table.missed()
    verdict = "Every target met" if not missed else "Targets missed: " + "; ".join(
        f"{r.operation} {r.size}" for r in missed)
    return (
        f"Command: `{command}`\n\n"
        f"Machine: {started}\n\n"
        f"{table.markdown()}\n"
        f"Image operations: ratio = vantry time / time of the bare Pillow calls (target ≤ 1.15 at 64x64, "
        f"≤ 1.03 from 1024x1024). Pure operations: speedup = floor time / vantry time, the floor being the "
        f"same operation in plain Python or what a user would write with another library (the row says which). "
        f"Command rows: speedup = time of the baseline command (-j 1, the default PNG level) / time with "
        f"the option. Rows \"X vs ASCII\": ratio = vantry's time on prompts in script X / its time on ASCII "
        f"prompts of the same lengths. Times of rows over many prompts are per prompt. "
        f"Image calls under {harness.SHORT_CALL * 1e3:g} ms are the median of {harness.workers()} fresh processes "
        f"(median of paired ratios of neighbouring blocks in each); other rows are the best of alternating runs "
        f"in one process (see bench/harness.py). {verdict}. Run time {elapsed:.0f} s.\n"
    )


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    sys.path.insert(0, str(HERE.parent))
    from bench import growth, harness

    harness.set_quick(args.quick or harness.QUICK)
    if args.worker:
        return run_worker(args.worker, args.rows)
    command = "python -m bench " + " ".join(shlex.quote(a) for a in (sys.argv[1:] if argv is None else argv))
    started, t0 = machine_line(), time.monotonic()
    table = harness.Table()
    for name in args.only or MODULES:
        print(f"== {name}", file=sys.stderr, flush=True)
        table.begin(name)
        importlib.import_module(f"bench.{name}_bench").run(table)
        table.end()
    elapsed = time.monotonic() - t0

    table.print()
    text = render(table, command.strip(), started, elapsed)
    targets = [args.out]
    if args.write_docs:
        targets.append(HERE.parent / "docs")
    for folder in targets:
        folder.mkdir(parents=True, exist_ok=True)
    (args.out / "table.md").write_text(text, encoding="utf-8")
    plotted = growth.plot(table.rows, args.out / "growth.png")
    if args.write_docs:
        (HERE.parent / "docs" / "performance.md").write_text(
            text.replace("growth.png", "performance.png"), encoding="utf-8")
        if plotted:
            (HERE.parent / "docs" / "performance.png").write_bytes((args.out / "growth.png").read_bytes())
    print(f"\nwrote {args.out / 'table.md'}" + (f" and {args.out / 'growth.png'}" if plotted else ""))
    for row in table.missed():
        print(f"target missed (reported, not failed): {row.operation} {row.size}: {row.target_text()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
