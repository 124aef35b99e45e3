"""comfyui restart: ask a ComfyUI server to restart, wait until it answers again,
and say truthfully what happened.

ComfyUIManager reports through a logger; the command hands it one (_Watch) that
shows each record with a timestamp and an English gloss, and notes from the
records what the restart request came to: reached the server, failed to, or
was refused (the manager's one ERROR record with the status and the route).
"""

from __future__ import annotations

import argparse
import contextlib
import io
import logging
import sys
import time
import urllib.parse
from typing import Any

from vantry.cli.common import UsageError, epilog, error, non_negative, positive, with_gloss

# The manager's messages about the restart request, by format string.
ANSWERED = "%s 调用重启接口 url=%s"
DROPPED = "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"
CONNECT_FAILED = "%s 连接异常：%s url=%s"
REQUEST_FAILED = "%s 发起重启请求异常: %s url=%s"
REFUSED = "%s 重启请求被拒绝，状态码 %s url=%s"
POLLING = "%s 开始轮询 %s，最长等待 %ss"
# Short names for the usual reasons a request fails, found in requests' long error texts.
FAILURES = ("Connection refused", "timed out", "Name or service not known", "No route to host",
            "Connection reset by peer")


class _Glossed(logging.Formatter):
    def formatMessage(self, record: logging.LogRecord) -> str:
        return with_gloss(super().formatMessage(record))


def _display(verbosity: int) -> logging.Logger:
    """-q: errors only; default: progress (INFO) and errors; -v: the manager's DEBUG lines too."""
    logger = logging.getLogger("vantry.cli.comfyui")
    logger.propagate = False
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_Glossed("%(asctime)s %(levelname)s %(message)s"))
    handler.setLevel({-1: logging.ERROR, 0: logging.INFO, 1: logging.DEBUG}[verbosity])
    logger.handlers[:] = [handler]
    logger.setLevel(logging.DEBUG)
    return logger


def _failure(text: str) -> str:
    return next((reason.lower() for reason in FAILURES if reason in text), text)


class _Watch:
    """The logger handed to ComfyUIManager: passes every record on, notes the outcome."""

    def __init__(self, display: logging.Logger) -> None:
        self.display = display
        self.reached: bool | None = None  # whether the last restart request reached the server
        self.failure = ""  # why it did not
        self.refusal: tuple[Any, Any] | None = None  # (status, route) of a refused restart

    def debug(self, msg: str, *args: Any) -> None:
        self._note(msg, args)
        self.display.debug(msg, *args)

    def error(self, msg: str, *args: Any) -> None:
        self._note(msg, args)
        self.display.error(msg, *args)

    def _note(self, msg: str, args: tuple[Any, ...]) -> None:
        if msg in (ANSWERED, DROPPED):
            self.reached = True
        elif msg in (CONNECT_FAILED, REQUEST_FAILED):
            self.reached, self.failure = False, _failure(str(args[1]))
        elif msg == REFUSED:
            self.refusal = (args[1], args[2])
        elif msg == POLLING:
            if self.reached:
                self.display.info("restart requested; waiting up to %s s for the server to come back", args[2])
            else:
                self.display.info("the restart request did not reach the server (%s); waiting up to %s s "
                                  "in case it is starting", self.failure, args[2])


class _LinesToLog(io.TextIOBase):
    """Standard output during the wait: the manager prints its polling lines there."""

    def __init__(self, display: logging.Logger) -> None:
        self.display = display
        self.pending = ""

    def write(self, text: str) -> int:
        *lines, self.pending = (self.pending + text).split("\n")
        for line in lines:
            if line.strip():
                self.display.debug("%s", line)
        return len(text)


def _checked_url(url: str) -> str:
    try:
        parts = urllib.parse.urlsplit(url)
        parts.port  # noqa: B018 - reading it checks that the port is a number
    except ValueError:
        parts = urllib.parse.urlsplit("")
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise UsageError(f"--url {url!r} is not an http(s) URL such as http://127.0.0.1:8188")
    return url.rstrip("/")


def _refusal_meaning(status: Any) -> str:
    if status == 403:
        return ("ComfyUI-Manager's security level forbids restarts; set security_level = normal in the "
                "manager's config.ini (in ComfyUI's user directory) and restart ComfyUI by hand once")
    if status in (404, 405):
        return ("no ComfyUI-Manager answers on any restart route; install it, or start ComfyUI with "
                "--enable-manager for the pip-installed manager")
    if isinstance(status, int) and status >= 500:
        return "the server failed while handling the restart; its own log says why"
    return "the server does not allow it"


def cmd_restart(args: argparse.Namespace) -> int:
    url = _checked_url(args.url)
    from vantry.comfyui.revivo import ComfyUIManager

    display = _display(args.verbosity)
    watch = _Watch(display)
    manager = ComfyUIManager(base_url=url, timeout=args.timeout, max_wait_seconds=args.max_wait,
                             poll_interval=args.interval, logger=watch)
    display.info("asking ComfyUI at %s to restart", url)
    started = time.monotonic()
    with contextlib.redirect_stdout(_LinesToLog(display)):
        ready = manager.run_reboot_and_wait()
    if watch.refusal is not None:
        status, route = watch.refusal
        error(f"ComfyUI at {url} refused the restart (HTTP {status} from {route}): {_refusal_meaning(status)}")
    elif ready and watch.reached:
        display.info("ComfyUI at %s is back after %.1f s", url, time.monotonic() - started)
        print("ready")
        return 0
    elif ready:
        error(f"the restart request did not reach ComfyUI at {url} ({watch.failure}); the server answers now, "
              "but this command did not restart it")
    elif watch.reached:
        error(f"ComfyUI at {url} accepted the restart but did not answer within {args.max_wait} s")
    else:
        error(f"ComfyUI at {url} could not be asked to restart ({watch.failure}) and did not answer "
              f"within {args.max_wait} s")
    print("not ready")
    return 1


def register(sub: Any, formatter: type[argparse.HelpFormatter]) -> None:
    codes = {0: "the restart was accepted and the server answers again",
             1: "the restart was refused, could not be asked, or the server did not come back in time",
             2: "bad usage, such as a --url that is not http(s)"}
    examples = ["vantry comfyui restart", "vantry comfyui restart --url http://gpu-box:8188 --max-wait 120 -v"]
    p = sub.add_parser("comfyui", help="manage a ComfyUI server", formatter_class=formatter,
                       epilog=epilog(examples, codes))
    actions = p.add_subparsers(dest="action", required=True, metavar="ACTION")
    r = actions.add_parser(
        "restart", help="restart the server and wait until it answers (exit 1 when it does not)",
        formatter_class=formatter,
        description="Ask ComfyUI-Manager to restart the server, then poll it until it answers. Log lines with "
                    "timestamps go to standard error; 'ready' or 'not ready' to standard output.",
        epilog=epilog(examples, codes))
    r.add_argument("--url", default="http://127.0.0.1:8188", help="server base URL (default http://127.0.0.1:8188)")
    r.add_argument("--max-wait", type=int, default=60, metavar="SECONDS",
                   help="give up when the server has not answered after this long (default 60)")
    r.add_argument("--interval", type=non_negative, default=2.0, metavar="SECONDS",
                   help="pause between polls (default 2)")
    r.add_argument("--timeout", type=positive, default=5, metavar="SECONDS",
                   help="time limit of one request (default 5)")
    loudness = r.add_mutually_exclusive_group()
    loudness.add_argument("-q", "--quiet", dest="verbosity", action="store_const", const=-1, default=0,
                          help="show errors only")
    loudness.add_argument("-v", "--verbose", dest="verbosity", action="store_const", const=1,
                          help="show every request and poll (the manager's DEBUG lines)")
    r.set_defaults(func=cmd_restart)
