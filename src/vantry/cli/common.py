"""What every subcommand shares: the usage error, one-line descriptions of
errors (with an English gloss beside the library's Chinese messages) and the
argparse value types."""

from __future__ import annotations

import argparse
import math
import sys

from vantry.cli import epilog as epilog  # where the subcommands take it from
from vantry.cli import terminal_columns

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import NoReturn


class UsageError(Exception):
    """Bad input the user can fix; printed as one line, exit code 2."""


def error(msg: str) -> None:
    print(f"vantry: error: {msg}", file=sys.stderr)


# The modules speak Chinese; each message is kept as it is and gets its English
# meaning in brackets. Matched by a fragment, first match wins, so a fragment
# that another one contains ("请求异常" in "发起重启请求异常") comes after it.
GLOSSES: tuple[tuple[str, str], ...] = (
    ("比例格式错误", "bad ratio format; a ratio looks like 3:4"),
    ("need_adjust 仅支持", "need_adjust supports only resize or fill"),
    ("图像宽高比不合法", "invalid aspect ratio: the sides differ too much"),
    ("违禁词文件不存在", "the banned-word file does not exist"),
    ("pickle 文件内容必须是 list", "a lexicon pickle must hold a list"),
    ("pickle 文件禁止引用全局对象", "a lexicon pickle may not refer to code"),
    ("pickle 文件数据越界", "a lexicon pickle declares more data than it holds"),
    ("重启请求被拒绝", "the restart request was refused"),
    ("重启请求被重定向", "the restart request was redirected; not followed"),
    ("重启指令送达未知", "a gateway answered: delivery unknown, waiting"),
    ("调用重启接口", "restart request answered"),
    ("主动断开连接", "the server dropped the connection: restart accepted"),
    ("连接异常", "could not connect"),
    ("发起重启请求异常", "the restart request failed"),
    ("开始轮询", "polling starts"),
    ("接口返回异常状态码", "not ready yet, still waiting"),
    ("服务已恢复正常", "the server answers again"),
    ("服务未启动/连接拒绝", "not up yet (connection refused), waiting"),
    ("请求异常", "a poll failed"),
    ("服务未恢复", "timed out: the server did not come back"),
    ("重启完成", "restart finished, the server is usable"),
    ("重启后超时未恢复", "not back in time after the restart"),
)


def with_gloss(text: str) -> str:
    for fragment, english in GLOSSES:
        if fragment in text:
            return f"{text} ({english})"
    return text


def describe(exc: BaseException) -> str:
    """One line for the user: no object reprs, no stack."""
    if type(exc).__name__ == "UnidentifiedImageError":
        return "not an image file Pillow can read"
    if isinstance(exc, OSError) and exc.strerror:
        return exc.strerror
    text = str(exc).strip()
    return with_gloss(text.splitlines()[0]) if text else type(exc).__name__


# --- argparse value types -----------------------------------------------------

def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value <= 0:
        raise argparse.ArgumentTypeError(f"expected a positive integer, got {text!r}")
    return value


def non_negative(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value >= 0):
        raise argparse.ArgumentTypeError(f"expected a number 0 or above, got {text!r}")
    return value


def compress_level(text: str) -> int:
    if text not in {str(level) for level in range(10)}:
        raise argparse.ArgumentTypeError(f"expected a PNG compression level 0 to 9, got {text!r}")
    return int(text)


def colour(text: str) -> tuple[int, int, int]:
    parts = text.split(",")
    try:
        values = tuple(int(p) for p in parts)
    except ValueError:
        values = ()
    if len(values) != 3 or not all(0 <= v <= 255 for v in values):
        raise argparse.ArgumentTypeError(f"expected R,G,B with 0-255 each, got {text!r}")
    return values[0], values[1], values[2]


class Parser(argparse.ArgumentParser):
    """Reports bad usage in one line, as every other error of the command."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


class HelpFormatter(argparse.HelpFormatter):
    """Wraps one-paragraph texts as argparse does, keeps the lines of the examples and exit codes."""

    def __init__(self, prog: str, indent_increment: int = 2, max_help_position: int = 24,
                 width: int | None = None) -> None:
        super().__init__(prog, indent_increment, max_help_position, terminal_columns() - 2 if width is None else width)

    def _fill_text(self, text: str, width: int, indent: str) -> str:
        if "\n" in text:
            return "".join(indent + line for line in text.splitlines(keepends=True))
        return super()._fill_text(text, width, indent)
