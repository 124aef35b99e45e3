"""screen: prompts against the ban lexicon, one verdict line per prompt."""

from __future__ import annotations

import argparse
import io
import itertools
import json
import os
import select
import stat
import sys
from collections.abc import Iterator, Sequence
from typing import Any

from vantry.cli.common import UsageError, describe, epilog
from vantry.cli.files import RefusedInput, check_input, read_input

PICKLE_SUFFIXES = (".pkl", ".pickle")
# The longest line of standard input taken as one prompt: a bound on what one line
# can take (a stream without line ends, such as /dev/zero, is refused, not read whole).
MAX_PROMPT_CHARS = 2**20


# Prompts screened at once: check_many scans a block across the cores.
BLOCK_LINES = 8192
# Characters of a regular file read at once (larger pieces cost more in page faults than they save).
CHUNK_CHARS = 1 << 16


def _waits_for_writer(stream: Any) -> Any:
    """None when reading `stream` never waits for its writer (a regular file, an in-memory stream);
    else a test of whether its descriptor has data now (a pipe, a terminal)."""
    try:
        fd = stream.fileno()
        if stat.S_ISREG(os.fstat(fd).st_mode):
            return None
    except (AttributeError, OSError, ValueError):  # io.StringIO and the like
        return None
    return lambda: bool(select.select([fd], [], [], 0)[0])


def _too_long(number: int) -> UsageError:
    return UsageError(f"line {number} of standard input is longer than {MAX_PROMPT_CHARS} characters, "
                      "the longest prompt screen reads; the lines before it are answered")


def _blocks_of_file(stream: Any) -> Iterator[list[str]]:
    """The lines of a stream that never waits, read a piece at a time, in blocks of BLOCK_LINES."""
    number, pending = 0, ""
    block: list[str] = []
    while piece := stream.read(CHUNK_CHARS):
        text = pending + piece
        lines = text.split("\n")
        pending = lines.pop()
        if "\r" in text:
            lines = [line.removesuffix("\r") for line in lines]
        if lines and max(map(len, lines)) > MAX_PROMPT_CHARS:
            first = next(i for i, line in enumerate(lines) if len(line) > MAX_PROMPT_CHARS)
            block += lines[:first]
            if block:
                yield block
            raise _too_long(number + first + 1)
        number += len(lines)
        block += lines
        if len(pending.removesuffix("\r")) > MAX_PROMPT_CHARS:  # a line without its end yet is too long already
            if block:
                yield block
            raise _too_long(number + 1)
        while len(block) >= BLOCK_LINES:
            yield block[:BLOCK_LINES]
            block = block[BLOCK_LINES:]
    if pending:
        block.append(pending.removesuffix("\r"))
    if block:
        yield block


def _blocks_of_pipe(stream: Any, ready: Any) -> Iterator[list[str]]:
    """The lines of a pipe or a terminal: a block ends early when the writer has sent nothing more
    yet, so a program that feeds prompts one at a time gets each answer before it sends the next."""
    number = 0
    block: list[str] = []
    while True:
        if block and (len(block) >= BLOCK_LINES or not ready()):
            yield block
            block = []
        # Room for the longest prompt and its CRLF: a longer line shows as a longer prompt.
        line = stream.readline(MAX_PROMPT_CHARS + 2)
        if not line:
            break
        number += 1
        prompt = line.removesuffix("\n").removesuffix("\r")
        if len(prompt) > MAX_PROMPT_CHARS:
            if block:
                yield block
            raise _too_long(number)
        block.append(prompt)
    if block:
        yield block


def _prompt_blocks(texts: Sequence[str]) -> Iterator[list[str]]:
    """The prompts given, or one per line of stdin, in blocks: every line, blank ones too, so that
    output line N answers input line N; line ends (LF or CRLF) are not part of a prompt."""
    if texts:
        yield list(texts)
        return
    if isinstance(sys.stdin, io.TextIOWrapper):
        sys.stdin.reconfigure(errors="replace")  # a stray byte costs one character, not the run
    ready = _waits_for_writer(sys.stdin)
    yield from _blocks_of_file(sys.stdin) if ready is None else _blocks_of_pipe(sys.stdin, ready)


def _lexicon_problem(path: str | None, exc: Exception) -> str:
    """Why the lexicon did not load, and how to fix it."""
    if isinstance(exc, UnicodeDecodeError):
        return (f"{path} is not UTF-8 text (byte 0x{exc.object[exc.start]:02x} at offset {exc.start}); "
                "save it as UTF-8, one word a line")
    text = describe(exc)
    own_message = "pickle 文件" in text  # the module's refusals of a real pickle (code, not a list)
    if path and path.lower().endswith(PICKLE_SUFFIXES) and not own_message and not isinstance(exc, OSError):
        return (f"{path} is not a pickled word list ({text}); a plain word list needs another name "
                "such as words.txt, and PromptBanChecker.create_pickle_file writes a pickle")
    return text


def _refuse_special_file(path: str | None) -> None:
    """A lexicon file that is a FIFO, a device or too large is refused before the module opens it;
    a missing one is left to the module, which says so in its own words."""
    if path is None or not os.path.exists(path):
        return
    try:
        check_input(path)
    except RefusedInput as exc:
        raise UsageError(f"cannot load the lexicon: {path}: {exc}") from None


def _allowed_words(args: argparse.Namespace) -> list[str]:
    """The --allow words, then the lines of each --allow-file (UTF-8, blank lines skipped)."""
    words = list(args.allow)
    for path in args.allow_file:
        try:
            text = read_input(path).decode("utf-8-sig")  # a FIFO or a device is refused unread
        except UnicodeDecodeError as exc:
            raise UsageError(f"cannot read the allow list: {path} is not UTF-8 text "
                             f"(byte 0x{exc.object[exc.start]:02x} at offset {exc.start})") from None
        except (OSError, RefusedInput) as exc:
            raise UsageError(f"cannot read the allow list {path}: {describe(exc)}") from None
        words.extend(line.strip() for line in text.splitlines() if line.strip())
    return words


def _checker(args: argparse.Namespace) -> Any:
    from vantry.wordsift import PromptBanChecker

    _refuse_special_file(args.words_file)
    allowed = _allowed_words(args)
    try:
        return PromptBanChecker(
            ban_word_file=args.words_file,
            ignore_case=not args.case_sensitive,
            builtin_words=list(args.add),
            use_default=not args.no_builtin,
            exclude_words=list(args.exclude),
            normalize=args.normalize,
            allow_words=allowed or None,
        )
    except Exception as exc:  # unreadable file, refused pickle, not a list...
        raise UsageError(f"cannot load the lexicon: {_lexicon_problem(args.words_file, exc)}") from None


def cmd_screen(args: argparse.Namespace) -> int:
    checker = _checker(args)
    from_stdin = not args.text
    banned_any = False
    for block in _prompt_blocks(args.text):
        words = {i: _hits(checker, block[i]) for i in itertools.compress(range(len(block)), checker.check_many(block))}
        banned_any = banned_any or any(words.values())
        if args.json:
            lines = [json.dumps({"prompt": p, "banned": bool(words.get(i)), "words": words.get(i, [])},
                                ensure_ascii=False) for i, p in enumerate(block)]
        else:
            lines = ["ok"] * len(block)
            for i, hits in words.items():
                if hits:
                    lines[i] = "banned: " + ", ".join(hits)
        _write_lines(lines)
        # Flushed block by block from stdin, so a program feeding prompts one at a time reads each answer.
        if from_stdin:
            sys.stdout.flush()
    return 1 if banned_any else 0


def _hits(checker: Any, prompt: str) -> list[str]:
    """The sorted banned words of a prompt that check_many flagged, as check reports them."""
    from vantry.excode import PromptBanError

    try:
        checker.check(prompt)
    except PromptBanError as exc:
        return sorted(exc.data or [])
    return []


def _write_lines(lines: list[str]) -> None:
    """The lines at once; where one cannot be encoded, one at a time, so every line before it is written."""
    try:
        sys.stdout.write("\n".join(lines) + "\n")
    except UnicodeEncodeError:
        for line in lines:
            sys.stdout.write(line + "\n")


def register(sub: Any, formatter: type[argparse.HelpFormatter]) -> None:
    p = sub.add_parser(
        "screen", help="screen prompts against the ban lexicon (exit 1 when one is banned)", formatter_class=formatter,
        description="Check each prompt against the built-in ban lexicon (about 900 English and Chinese entries) "
                    "plus your own words; print ok or the banned words, one line per prompt.",
        epilog=epilog(['vantry screen "a lighthouse at dawn" "a bag of cocaine"',
                       'vantry screen --normalize "c.o.c.a.i.n.e" "一只大麻雀"',
                       "vantry screen --json --words-file extra.txt < prompts.txt > verdicts.jsonl"],
                      {0: "every prompt is clean", 1: "a prompt holds a banned word",
                       2: "bad usage, a lexicon file that cannot be read, or a line of standard input "
                          f"longer than {MAX_PROMPT_CHARS} characters"}))
    p.add_argument("text", nargs="*", metavar="TEXT",
                   help="prompts to screen; without any, one prompt per line of standard input, "
                        "answered line for line (blank lines too)")
    p.add_argument("--words-file", metavar="PATH",
                   help="extra lexicon: UTF-8 text with one word a line, or a pickled list named .pkl/.pickle")
    p.add_argument("--add", action="append", default=[], metavar="WORD", help="ban WORD too (repeatable)")
    p.add_argument("--exclude", action="append", default=[], metavar="WORD", help="never ban WORD (repeatable)")
    p.add_argument("--case-sensitive", action="store_true",
                   help="match letter case exactly (--normalize always folds case)")
    p.add_argument("--normalize", action="store_true",
                   help="also catch disguised words: full-width and styled letters, accents, invisible "
                        "characters, look-alike Cyrillic/Greek letters, traditional characters, and "
                        "punctuation or spaces inside a word (c.o.c.a.i.n.e, 裸 体); common Chinese words "
                        "such as 大麻雀 are allowed")
    p.add_argument("--allow", action="append", default=[], metavar="WORD",
                   help="a banned word inside WORD is not reported (repeatable)")
    p.add_argument("--allow-file", action="append", default=[], metavar="PATH",
                   help="allowed words, UTF-8 text with one word a line (repeatable)")
    p.add_argument("--no-builtin", action="store_true", help="leave the built-in lexicon out")
    p.add_argument("--json", action="store_true", help="one JSON object per prompt: prompt, banned, words")
    p.set_defaults(func=cmd_screen)
