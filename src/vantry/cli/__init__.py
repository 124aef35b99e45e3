"""The ``vantry`` command: the package's modules for operators and shell pipelines.

This file holds the parser, ``main`` and the script's entry; batch.py runs the
image batches (input order, jobs, Dask, progress, the overwrite guard, the
summary and exit code); files.py reads inputs (regular files only, of bounded
size) and writes outputs (through exclusively created temporary files);
images.py, screen.py, size.py and comfyui.py hold the subcommands. Extension
modules are imported inside the subcommands, so ``vantry --help`` loads none.
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence
from typing import NoReturn

from vantry import __version__
from vantry.cli import comfyui, images, screen, size
from vantry.cli.common import HelpFormatter, UsageError, describe, epilog, error

EXIT_CODES = {
    0: "success",
    1: "a banned prompt, a failed file in a batch, or a ComfyUI restart refused or not confirmed",
    2: "bad usage: an unknown option or a bad value, found before any work is done",
    130: "interrupted (Ctrl-C)",
    141: "standard output closed early (| head): the command stops quietly",
}


class _Parser(argparse.ArgumentParser):
    """Reports bad usage in one line, as every other error of the command."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="vantry", formatter_class=HelpFormatter,
        description="Image normalisation, letterboxing and scaling, service sizes, prompt screening and ComfyUI "
                    "restarts for image-generation pipelines.",
        epilog=epilog(["vantry normalise photos/*.jpg -o out -j 4",
                       'vantry screen --json < prompts.txt | head -1'], EXIT_CODES))
    parser.add_argument("--version", action="version", version=f"vantry {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    screen.register(sub, HelpFormatter)
    size.register(sub, HelpFormatter)
    images.register(sub, HelpFormatter)
    comfyui.register(sub, HelpFormatter)
    return parser


def _quiet_stdout() -> None:
    """After a closed pipe: point stdout at /dev/null, so the flush at exit cannot fail again."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):  # no file descriptor behind stdout (a test's capture)
        pass


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        code: int = args.func(args)
        return code
    except UsageError as exc:
        error(str(exc))
        return 2
    except BrokenPipeError:
        _quiet_stdout()
        return 141
    except (OSError, ValueError, TypeError) as exc:
        # Unreadable lexicon files and the like: one line, not a traceback.
        error(describe(exc))
        return 2
    except KeyboardInterrupt:
        return 130


def _exit_now(code: int) -> NoReturn:
    """End the process without waiting for other threads (or running exit handlers)."""
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError):
            pass
    os._exit(code)


def command() -> NoReturn:
    """The `vantry` script and `python -m vantry`. After Ctrl-C the process ends at once:
    the batch has already given up the files in hand, and the threads still busy with
    them (a large decode, a slow disk) must not keep it alive; only this thread writes
    outputs, so nothing is left half written."""
    try:
        code = main()
    except KeyboardInterrupt:  # before main's own handler is in place (imports, parsing)
        code = 130
    if code == 130:
        _exit_now(code)
    sys.exit(code)


if __name__ == "__main__":
    command()
