"""The ``vantry`` command: the package's modules for operators and shell pipelines.

Exit codes: 0 success, 1 a banned prompt / a server that did not come back /
a batch with a bad file, 2 bad usage. Extension modules are imported inside
the subcommands so ``vantry --help`` loads none of them.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import logging
import pathlib
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any

# A batch shows a progress bar from this many files on, and only on a terminal.
PROGRESS_MIN_FILES = 8


class UsageError(Exception):
    """Bad input the user can fix; printed as one line, exit code 2."""


def _error(msg: str) -> None:
    print(f"vantry: error: {msg}", file=sys.stderr)


def _describe(exc: BaseException) -> str:
    """One line for the user: no object reprs, no stack."""
    if type(exc).__name__ == "UnidentifiedImageError":
        return "not an image file Pillow can read"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    text = str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


# --- screen -----------------------------------------------------------------

def _prompts(texts: Sequence[str]) -> Iterator[str]:
    if texts:
        yield from texts
        return
    for line in sys.stdin:
        line = line.rstrip("\n")
        if line.strip():
            yield line


def cmd_screen(args: argparse.Namespace) -> int:
    from vantry.excode import PromptBanError
    from vantry.wordsift import PromptBanChecker

    try:
        checker = PromptBanChecker(
            ban_word_file=args.words_file,
            ignore_case=not args.case_sensitive,
            builtin_words=list(args.add),
            use_default=not args.no_builtin,
            exclude_words=list(args.exclude),
        )
    except Exception as exc:  # unreadable file, refused pickle, not a list...
        raise UsageError(f"cannot load the lexicon: {_describe(exc)}") from None
    banned_any = False
    for prompt in _prompts(args.text):
        try:
            checker.check(prompt)
            hits: list[str] = []
        except PromptBanError as exc:
            hits = sorted(exc.data or [])
        banned_any = banned_any or bool(hits)
        if args.json:
            print(json.dumps({"prompt": prompt, "banned": bool(hits), "words": hits}, ensure_ascii=False))
        elif hits:
            print("banned: " + ", ".join(hits))
        else:
            print("ok")
    return 1 if banned_any else 0


# --- size -------------------------------------------------------------------

def cmd_size(args: argparse.Namespace) -> int:
    from vantry.excode import ServiceError
    from vantry.gridlum import GridlumSizeCalculator

    try:
        result = GridlumSizeCalculator.calc_size(args.ratio, args.resolution, args.strict)
    except ServiceError as exc:
        raise UsageError(f"{exc.message} ({args.ratio})") from None
    except (ValueError, ZeroDivisionError):
        raise UsageError(f"bad ratio {args.ratio!r}, expected W:H such as 16:9") from None
    if args.json:
        print(json.dumps(result, ensure_ascii=False))
    else:
        flag = "" if result["valid"] else " (not valid for the service)"
        print(f"{result['size']} ({result['pixels']} pixels, {result['aspect_ratio']} at {result['resolution']}){flag}")
    return 0


# --- batches ----------------------------------------------------------------

def _progress(items: list[pathlib.Path]) -> Iterable[pathlib.Path]:
    if len(items) < PROGRESS_MIN_FILES or not sys.stderr.isatty():
        return items
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]
    except ImportError:  # a bare install without the optional bar still works
        return items
    bar: Iterable[pathlib.Path] = tqdm(items, unit="file", file=sys.stderr)
    return bar


def _run_batch(
    files: Sequence[str],
    work: Callable[[pathlib.Path], str],
    verb: str,
) -> int:
    """Run `work` on each file; a failing file is reported and counted, never fatal."""
    paths = [pathlib.Path(f) for f in files]
    failed = 0
    for path in _progress(paths):
        try:
            line = work(path)
        except Exception as exc:  # any bad file: Pillow, OS and value errors alike
            failed += 1
            print(f"vantry: {path}: {_describe(exc)}", file=sys.stderr)
            continue
        if line:
            print(line)
    done = len(paths) - failed
    print(f"{done} {verb}, {failed} failed", file=sys.stderr)
    return 1 if failed else 0


def _output_dir(out: str) -> pathlib.Path:
    path = pathlib.Path(out)
    try:
        path.mkdir(parents=True, exist_ok=True)
    except OSError as exc:
        raise UsageError(f"cannot create output directory {out}: {exc.strerror}") from None
    return path


class _Targets:
    """Output paths of one batch: IMAGE -> OUT/<stem>.png, refusing any path that
    would overwrite an input of the batch or a file written earlier in it."""

    def __init__(self, out: pathlib.Path, sources: Iterable[str]) -> None:
        self.out = out
        self.inputs = {pathlib.Path(source).resolve() for source in sources}
        self.taken: set[pathlib.Path] = set()

    def __call__(self, source: pathlib.Path) -> pathlib.Path:
        target = self.out / f"{source.stem}.png"
        resolved = target.resolve()
        if resolved in self.inputs:
            raise ValueError(f"output {target} would overwrite an input; choose another -o directory")
        if resolved in self.taken:
            raise ValueError(f"output {target} was already written by an earlier file of this batch")
        self.taken.add(resolved)
        return target


def _write_batch(args: argparse.Namespace, produce: Callable[[pathlib.Path, pathlib.Path], str], verb: str) -> int:
    """A batch into the -o directory: `produce(image, target)` writes one output and
    returns its report line; the target is checked before any work is done."""
    target_of = _Targets(_output_dir(args.output), args.images)
    return _run_batch(args.images, lambda path: produce(path, target_of(path)), verb)


def _pillow_batch(args: argparse.Namespace, transform: Callable[[Any], Any], verb: str) -> int:
    """A batch whose step is a function of the decoded image, saved as PNG."""

    def produce(path: pathlib.Path, target: pathlib.Path) -> str:
        result = transform(_open_image(path))
        _save_png(result, target)
        return f"{path} -> {target} ({result.width}x{result.height})"

    return _write_batch(args, produce, verb)


def _save_png(image: Any, target: pathlib.Path) -> None:
    # PNG holds L, LA, RGB, RGBA, P, I, 1; other modes (CMYK, YCbCr...) go through RGB(A).
    if image.mode not in {"1", "L", "LA", "P", "RGB", "RGBA", "I", "I;16"}:
        image = image.convert("RGBA" if "A" in image.mode else "RGB")
    image.save(target, format="PNG")


def _open_image(path: pathlib.Path) -> Any:
    from PIL import Image

    # Loaded fully, so the file is closed when the block ends and the image stays usable.
    with Image.open(path) as img:
        img.load()
        return img


def cmd_ratio(args: argparse.Namespace) -> int:
    from vantry.simplora import ImageSimplora

    tool = ImageSimplora(approx_search_range=args.range)

    def work(path: pathlib.Path) -> str:
        data = path.read_bytes()
        exact, approx = tool.get_raw_simple_ratio(data), tool.get_approx_simple_ratio(data)
        if args.json:
            return json.dumps({"file": str(path), "exact": exact, "approx": approx})
        return f"{path}: {exact} (about {approx})"

    return _run_batch(args.images, work, "measured")


def cmd_normalise(args: argparse.Namespace) -> int:
    from PIL import Image

    from vantry.aspecta import Aspecta

    tool = Aspecta(proportion=args.proportion, need_adjust=args.mode)

    def produce(path: pathlib.Path, target: pathlib.Path) -> str:
        data = path.read_bytes()
        result, ratio = tool.adjust_size(data, return_origin_ratio=True, expand_percent=args.expand)
        if result is data:
            # The ratio gate handed the input back untouched; still write PNG.
            with Image.open(io.BytesIO(data)) as img:
                _save_png(img, target)
            return f"{path} -> {target} (unchanged: its nearest ratio is not {ratio})"
        target.write_bytes(result)
        return f"{path} -> {target} ({ratio})"

    return _write_batch(args, produce, "normalised")


def _parse_colour(text: str) -> tuple[int, int, int]:
    parts = text.split(",")
    try:
        values = tuple(int(p) for p in parts)
    except ValueError:
        values = ()
    if len(values) != 3 or not all(0 <= v <= 255 for v in values):
        raise argparse.ArgumentTypeError(f"expected R,G,B with 0-255 each, got {text!r}")
    return values[0], values[1], values[2]


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def cmd_letterbox(args: argparse.Namespace) -> int:
    from vantry.resize import image_resize

    return _pillow_batch(args, lambda image: image_resize(image, args.width, args.height, args.bg), "letterboxed")


def cmd_scale(args: argparse.Namespace) -> int:
    from vantry.prefora import PreforaImageScale

    return _pillow_batch(args, lambda image: PreforaImageScale(image).start(), "scaled")


# --- comfyui ----------------------------------------------------------------

def cmd_comfyui_restart(args: argparse.Namespace) -> int:
    from vantry.comfyui.revivo import ComfyUIManager

    logger = logging.getLogger("vantry.cli.comfyui")
    logger.propagate = False
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(message)s"))
    logger.handlers[:] = [handler]
    logger.setLevel(logging.DEBUG)
    manager = ComfyUIManager(
        base_url=args.url.rstrip("/"),
        timeout=args.timeout,
        max_wait_seconds=args.max_wait,
        poll_interval=args.interval,
        logger=logger,
    )
    # The manager prints its polling lines; they are log lines here, so stderr.
    with contextlib.redirect_stdout(sys.stderr):
        ready = manager.run_reboot_and_wait()
    print("ready" if ready else "not ready")
    return 0 if ready else 1


# --- parser -----------------------------------------------------------------

def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="vantry", description="Image normalisation and prompt screening for image-generation pipelines."
    )
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = sub.add_parser("screen", help="screen prompts against the ban lexicon (exit 1 when one is banned)")
    p.add_argument("text", nargs="*", metavar="TEXT", help="prompts to screen; one per line on stdin when none")
    p.add_argument("--words-file", metavar="PATH", help="extra lexicon: UTF-8 one word a line, or .pkl/.pickle")
    p.add_argument("--add", action="append", default=[], metavar="WORD", help="ban WORD too (repeatable)")
    p.add_argument("--exclude", action="append", default=[], metavar="WORD", help="never ban WORD (repeatable)")
    p.add_argument("--case-sensitive", action="store_true", help="match letter case exactly")
    p.add_argument("--no-builtin", action="store_true", help="leave the built-in lexicon out")
    p.add_argument("--json", action="store_true", help="one JSON object per prompt")
    p.set_defaults(func=cmd_screen)

    p = sub.add_parser("size", help="the service output size for an aspect ratio")
    p.add_argument("ratio", metavar="RATIO", help="W:H such as 16:9, or auto")
    p.add_argument("--resolution", default="2k", help="1k, 2k or 4k (default 2k)")
    p.add_argument("--strict", action="store_true", help="refuse ratios beyond 3:1 instead of clamping")
    p.add_argument("--json", action="store_true", help="print the full size mapping as JSON")
    p.set_defaults(func=cmd_size)

    p = sub.add_parser("ratio", help="exact and approximate aspect ratios of images")
    p.add_argument("images", nargs="+", metavar="IMAGE")
    p.add_argument("--range", type=_positive, default=10, metavar="N", help="largest term of the approximation (default 10)")
    p.add_argument("--json", action="store_true", help="one JSON object per image")
    p.set_defaults(func=cmd_ratio)

    p = sub.add_parser("normalise", help="enlarge the shorter side of images, write PNG into OUT")
    p.add_argument("images", nargs="+", metavar="IMAGE")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="output directory, created if missing")
    p.add_argument("--proportion", metavar="W:H", help="only process images whose nearest standard ratio is this")
    p.add_argument("--mode", choices=("fill", "resize"), default="fill", help="pad onto a canvas or stretch (default fill)")
    p.add_argument("--expand", type=float, default=10.0, metavar="PERCENT", help="enlargement of the shorter side (default 10)")
    p.set_defaults(func=cmd_normalise)

    p = sub.add_parser("letterbox", help="fit images into WIDTH x HEIGHT on a background, write PNG into OUT")
    p.add_argument("images", nargs="+", metavar="IMAGE")
    p.add_argument("width", type=_positive, metavar="WIDTH")
    p.add_argument("height", type=_positive, metavar="HEIGHT")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="output directory, created if missing")
    p.add_argument("--bg", type=_parse_colour, default=(0, 0, 0), metavar="R,G,B", help="background (default 0,0,0)")
    p.set_defaults(func=cmd_letterbox)

    p = sub.add_parser("scale", help="scale images to the editing model's nearest preferred size, write PNG into OUT")
    p.add_argument("images", nargs="+", metavar="IMAGE")
    p.add_argument("-o", "--output", required=True, metavar="OUT", help="output directory, created if missing")
    p.set_defaults(func=cmd_scale)

    p = sub.add_parser("comfyui", help="manage a ComfyUI server")
    csub = p.add_subparsers(dest="action", required=True, metavar="ACTION")
    r = csub.add_parser("restart", help="restart the server and wait until it answers (exit 1 when it does not)")
    r.add_argument("--url", default="http://127.0.0.1:8188", help="server base URL (default http://127.0.0.1:8188)")
    r.add_argument("--max-wait", type=int, default=60, metavar="SECONDS", help="give up after this long (default 60)")
    r.add_argument("--interval", type=float, default=2.0, metavar="SECONDS", help="pause between polls (default 2)")
    r.add_argument("--timeout", type=_positive, default=5, metavar="SECONDS", help="time limit of one request (default 5)")
    r.set_defaults(func=cmd_comfyui_restart)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        code: int = args.func(args)
        return code
    except UsageError as exc:
        _error(str(exc))
        return 2
    except (OSError, ValueError, TypeError) as exc:
        # Unreadable lexicon files and the like: one line, not a traceback.
        _error(_describe(exc))
        return 2
    except KeyboardInterrupt:
        return 130


if __name__ == "__main__":
    sys.exit(main())
