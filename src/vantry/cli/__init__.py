"""The ``vantry`` command: the package's modules for operators and shell pipelines.

This file holds the parser, ``main`` and the script's entry; batch.py runs the
image batches (input order, jobs, Dask, progress, the overwrite guard, the
summary and exit code); files.py reads inputs (regular files only, of bounded
size) and writes outputs (through exclusively created temporary files);
images.py, screen.py, size.py and comfyui.py hold the subcommands.

Start-up is kept to what the command line asks for: ``--version`` imports
nothing, ``--help`` only argparse, and a subcommand only its own file (which
imports the extension modules when it runs). The other subcommands appear in
the parser by name and summary alone.
"""

from __future__ import annotations

import sys

from vantry import __version__

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from collections.abc import Sequence
    from typing import NoReturn

EXIT_CODES = {
    0: "success",
    1: "a banned prompt, a failed file in a batch, or a ComfyUI restart refused or not confirmed",
    2: "bad usage: an unknown option or a bad value, found before any work is done",
    130: "interrupted (Ctrl-C)",
    141: "standard output closed early (| head): the command stops quietly",
}

# Every subcommand: the file that registers it, and its line in `vantry --help`.
SUBCOMMANDS = {
    "screen": ("screen", "screen prompts against the ban lexicon (exit 1 when one is banned)"),
    "size": ("size", "the service output size for an aspect ratio"),
    "ratio": ("images", "exact and approximate aspect ratios of images"),
    "normalise": ("images", "enlarge the shorter side of images, write them into OUT"),
    "letterbox": ("images", "fit images into WIDTH x HEIGHT on a background, write them into OUT"),
    "scale": ("images", "scale images to the editing model's nearest preferred size, write them into OUT"),
    "comfyui": ("comfyui", "manage a ComfyUI server"),
}


def _chosen(argv: Sequence[str]) -> str | None:
    """The subcommand named on the command line: the first word that is not an option."""
    return next((word for word in argv if not word.startswith("-")), None)


def build_parser(argv: Sequence[str] | None = None) -> argparse.ArgumentParser:
    """The parser, with the whole of the subcommand that `argv` names and the
    others by name and summary; with every subcommand whole when argv is None."""
    import importlib

    from vantry.cli.common import HelpFormatter, Parser, epilog

    parser = Parser(
        prog="vantry", formatter_class=HelpFormatter,
        description="Image normalisation, letterboxing and scaling, service sizes, prompt screening and ComfyUI "
                    "restarts for image-generation pipelines.",
        epilog=epilog(["vantry normalise photos/*.jpg -o out -j 4",
                       'vantry screen --json < prompts.txt | head -1'], EXIT_CODES))
    parser.add_argument("--version", action="version", version=f"vantry {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    if argv is None:
        whole = {module for module, _ in SUBCOMMANDS.values()}
    else:
        chosen = _chosen(argv)
        whole = {SUBCOMMANDS[chosen][0]} if chosen in SUBCOMMANDS else set()
    registered: set[str] = set()
    for name, (module, summary) in SUBCOMMANDS.items():
        if module not in whole:
            sub.add_parser(name, help=summary, add_help=False)
        elif module not in registered:  # a file registers all of its subcommands at once
            registered.add(module)
            importlib.import_module(f"vantry.cli.{module}").register(sub, HelpFormatter)
    return parser


def _quiet_stdout() -> None:
    """After a closed pipe: point stdout at /dev/null, so the flush at exit cannot fail again."""
    import os

    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):  # no file descriptor behind stdout (a test's capture)
        pass


def main(argv: Sequence[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv == ["--version"]:
        print(f"vantry {__version__}")
        return 0
    args = build_parser(argv).parse_args(argv)

    from vantry.cli.common import UsageError, describe, error

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
    import os

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
