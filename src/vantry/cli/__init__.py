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


DESCRIPTION = ("Image normalisation, letterboxing and scaling, service sizes, prompt screening and ComfyUI restarts "
               "for image-generation pipelines.")
EXAMPLES = ["vantry normalise photos/*.jpg -o out -j 4", 'vantry screen --json < prompts.txt | head -1']
# The top-level options, as argparse lists them.
OPTIONS = {"-h, --help": "show this help message and exit", "--version": "show program's version number and exit"}
USAGE = "usage: vantry [-h] [--version] COMMAND ..."


def epilog(examples: list[str], exit_codes: dict[int, str]) -> str:
    """The end of a command's --help: examples and what its exit codes mean."""
    shown = "".join(f"\n  {example}" for example in examples)
    codes = "".join(f"\n  {code:<4} {meaning}" for code, meaning in exit_codes.items())
    return f"examples:{shown}\n\nexit codes:{codes}"


def terminal_columns() -> int:
    """The width help is wrapped to, found as shutil.get_terminal_size finds it (argparse
    would import shutil for it, a fifth of the command's start-up): $COLUMNS, else the
    terminal's, else 80."""
    import os

    try:
        columns = int(os.environ.get("COLUMNS", 0))
    except ValueError:
        columns = 0
    if columns <= 0:
        try:
            columns = os.get_terminal_size(sys.__stdout__.fileno()).columns  # type: ignore[union-attr]
        except (AttributeError, ValueError, OSError):
            columns = 0
    return columns or 80


def _no_catalogue() -> bool:
    """Whether gettext has no catalogue of messages for the running locale (the usual case):
    then argparse's messages are its English ones."""
    import os

    if "gettext" not in sys.modules and not os.path.isdir(os.path.join(sys.base_prefix, "share", "locale")):
        return True  # gettext's own folder, as nothing can have bound another before it is imported
    import gettext

    domain = gettext.textdomain()
    folder = gettext.bindtextdomain(domain)
    # No folder, no catalogue: then find (which imports locale) is not needed either.
    return not os.path.isdir(folder) or gettext.find(domain, folder) is None


# Set by command(): the process is the command's own, so argparse may be changed for it;
# a host calling main() keeps its argparse as it is.
_RUN_AS_COMMAND = False


def _untranslated_argparse() -> None:
    """argparse looks each of its messages up in gettext's catalogue, and a lookup that finds
    none searches the locale folders again (about 70 us; a parser asks twenty times). When
    there is no catalogue every lookup gives the message itself: argparse is handed that
    answer directly."""
    import argparse

    if _no_catalogue():
        setattr(argparse, "_", str)
        setattr(argparse, "ngettext", lambda singular, plural, n: singular if n == 1 else plural)


def build_parser(argv: Sequence[str] | None = None) -> argparse.ArgumentParser:
    """The parser, with the whole of the subcommand that `argv` names and the
    others by name and summary; with every subcommand whole when argv is None."""
    import importlib

    if _RUN_AS_COMMAND:
        _untranslated_argparse()

    from vantry.cli.common import HelpFormatter, Parser

    parser = Parser(prog="vantry", formatter_class=HelpFormatter, description=DESCRIPTION,
                    epilog=epilog(EXAMPLES, EXIT_CODES))
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


# ---- `vantry --help` without argparse ---------------------------------------------
# Importing argparse (with re and gettext) and building the parser was most of the
# top-level help's cost. The same text is laid out here as argparse's HelpFormatter
# lays it out; where a text could wrap in a way this simple wrapper does not follow
# (a long word, a dash, a format sign) or the layout would change (a narrow terminal,
# the coloured help of newer Pythons), argparse prints it.

def _chunks(text: str) -> list[str] | None:
    """The pieces textwrap breaks a plain text into: words, the spaces between them, and the
    parts of words joined by hyphens; None for a text it would split otherwise."""
    chunks: list[str] = []
    for word in text.split():
        parts = word.split("-")
        if "%" in word or (len(parts) > 1 and not all(len(p) >= 2 and p.isascii() and p.isalpha() for p in parts)):
            return None
        if chunks:
            chunks.append(" ")
        chunks += [part + "-" for part in parts[:-1]] + [parts[-1]]
    return chunks


def _wrapped(text: str, width: int) -> list[str] | None:
    """textwrap.wrap(text, width) of a plain text: lines filled greedily with whole pieces,
    no space at either end. None when a piece is longer than a line (textwrap breaks it)."""
    chunks = _chunks(text)
    if chunks is None or any(len(chunk) > width for chunk in chunks):
        return None
    chunks.reverse()
    lines: list[str] = []
    while chunks:
        if lines and chunks[-1] == " ":
            chunks.pop()
        line: list[str] = []
        length = 0
        while chunks and length + len(chunks[-1]) <= width:
            length += len(chunks[-1])
            line.append(chunks.pop())
        if line and line[-1] == " ":
            line.pop()
        if line:
            lines.append("".join(line))
    return lines


def _top_help(columns: int) -> str | None:
    """The text of `vantry --help` at that terminal width, or None when argparse must lay it out."""
    width = columns - 2  # what HelpFormatter gives argparse
    if sys.version_info >= (3, 14) or len(USAGE) > width or width - 20 < 24:
        return None
    # argparse places the help column past the widest name and its indent; before 3.13 it
    # counted the subcommands' names at the indent of the options.
    indent = 4 if sys.version_info >= (3, 13) else 2
    widest = max([len(name) + 2 for name in (*OPTIONS, "COMMAND")] + [len(name) + indent for name in SUBCOMMANDS])
    position = min(widest + 2, 24)

    def entry(indent: int, name: str, summary: str) -> list[str] | None:
        lines = _wrapped(summary, max(width - position, 11))
        if lines is None:
            return None
        first = (f"{'':{indent}}{name:{position - indent - 2}}  " if len(name) <= position - indent - 2
                 else f"{'':{indent}}{name}\n{'':{position}}")
        return [first + lines[0], *(f"{'':{position}}{line}" for line in lines[1:])]

    description = _wrapped(DESCRIPTION, width)
    entries = [entry(4, name, summary) for name, (_, summary) in SUBCOMMANDS.items()]
    options = [entry(2, name, summary) for name, summary in OPTIONS.items()]
    if description is None or None in entries or None in options:
        return None
    parts = [USAGE, "", *description, "", "positional arguments:", "  COMMAND"]
    parts += [line for lines in entries for line in lines or ()]
    parts += ["", "options:", *(line for lines in options for line in lines or ()), "", epilog(EXAMPLES, EXIT_CODES)]
    return "\n".join(parts) + "\n"


def _print_top_help() -> bool:
    """Print `vantry --help` as argparse would (its file.write, errors ignored); False when argparse must."""
    text = _top_help(terminal_columns())
    if text is None or not _no_catalogue():  # argparse would translate its headings
        return False
    try:
        sys.stdout.write(text)
    except (AttributeError, OSError):
        pass
    return True


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
    if argv in (["--help"], ["-h"]) and _print_top_help():
        sys.exit(0)
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
    global _RUN_AS_COMMAND
    _RUN_AS_COMMAND = True
    try:
        code = main()
    except KeyboardInterrupt:  # before main's own handler is in place (imports, parsing)
        code = 130
    if code == 130:
        _exit_now(code)
    sys.exit(code)


if __name__ == "__main__":
    command()
