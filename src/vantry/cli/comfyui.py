"""comfyui restart: ask a ComfyUI server to restart, wait until it has gone away
and answers again, and say truthfully what happened.

ComfyUIManager reports through a logger; the command hands it one (_Watch) that
shows each record with a timestamp and an English gloss, and notes from the
records what the restart request came to (accepted, delivery unknown behind a
gateway, refused, redirected, or not delivered) and what the polls saw: a
restart counts only once the server was seen gone (a refused connection, or an
answer other than 200) and then answering 200 again. Before the restart the
command reads the server's queue and refuses to drop prompts that are running
or pending unless told to.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import logging
import sys
import time
import urllib.parse
from typing import Any, NamedTuple

from vantry.cli.common import UsageError, epilog, error, non_negative, positive, with_gloss

# The manager's messages about the restart request and the polls, by format string.
ANSWERED = "%s 调用重启接口 url=%s"
DROPPED = "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"
GATEWAY = "%s 重启指令送达未知（网关状态码 %s），继续等待恢复 url=%s"
CONNECT_FAILED = "%s 连接异常：%s url=%s"
REQUEST_FAILED = "%s 发起重启请求异常: %s url=%s"
REFUSED = "%s 重启请求被拒绝，状态码 %s url=%s"
REDIRECTED = "%s 重启请求被重定向，状态码 %s 指向 %s，未跟随 url=%s"
POLL_STATUS = "%s 接口返回异常状态码 %s，继续等待..."
POLL_READY = "%s 服务已恢复正常，状态码200"
# The two lines a poll writes to standard output, after the flag.
POLL_REFUSED_LINE, POLL_ERROR_LINE = " 服务未启动/连接拒绝，等待中...", " 请求异常: "
# Short names for the usual reasons a request fails, found in requests' long error texts.
FAILURES = ("Connection refused", "timed out", "Name or service not known", "No route to host",
            "Connection reset by peer")
PROGRESS_EVERY = 10.0  # seconds between the "still waiting" lines
QUEUE_LIMIT = 1 << 20  # bytes of /api/queue read; a longer answer is a busy queue


class _Glossed(logging.Formatter):
    def formatMessage(self, record: logging.LogRecord) -> str:
        return with_gloss(super().formatMessage(record))


def _display(verbosity: int) -> logging.Logger:
    """-q: errors only; default: progress (INFO), warnings and errors; -v: the manager's DEBUG lines too."""
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


def _masked(url: str) -> str:
    """The URL as it may be shown: credentials as ***, as the manager shows them."""
    netloc = urllib.parse.urlsplit(url).netloc
    userinfo = netloc.rpartition("@")[0]
    return url.replace(userinfo + "@", "***@") if userinfo else url


class _Watch:
    """The logger handed to ComfyUIManager: passes every record on and notes what
    the restart request came to and what the polls saw."""

    def __init__(self, display: logging.Logger, shown_url: str, max_wait: int) -> None:
        self.display, self.shown_url, self.max_wait = display, shown_url, max_wait
        self.delivery = ""  # "accepted", "gateway" or "failed" once the restart request ended
        self.failure = ""  # why it failed
        self.gateway_status: Any = None
        self.refusal: tuple[Any, Any] | None = None  # (status, route) of a refused restart
        self.redirect: tuple[Any, Any, Any] | None = None  # (status, location, route)
        self.went_down = False  # a poll found the server gone since the restart request
        self.back = False  # and a later one found it answering 200
        self.answering = False  # the last poll found it answering 200
        self.last_seen = ""
        self.started = self.last_progress = time.monotonic()

    def debug(self, msg: str, *args: Any) -> None:
        self._note(msg, args)
        self.display.debug(msg, *args)

    def error(self, msg: str, *args: Any) -> None:
        self._note(msg, args)
        self.display.error(msg, *args)

    def _note(self, msg: str, args: tuple[Any, ...]) -> None:
        if msg in (ANSWERED, DROPPED):
            self.delivery = "accepted"
        elif msg == GATEWAY:
            self.delivery, self.gateway_status = "gateway", args[1]
        elif msg in (CONNECT_FAILED, REQUEST_FAILED):
            self.delivery, self.failure = "failed", _failure(str(args[1]))
        elif msg == REFUSED:
            self.refusal = (args[1], args[2])
        elif msg == REDIRECTED:
            self.redirect = (args[1], args[2], args[3])
        elif msg == POLL_STATUS:
            self.gone(f"HTTP {args[1]}")
        elif msg == POLL_READY:
            self.back, self.answering = self.went_down, True
            self.seen("answering 200")

    def gone(self, how: str) -> None:
        self.went_down, self.answering = True, False
        self.seen(how)

    def seen(self, what: str) -> None:
        """One poll's outcome; a progress line when the last one is ~10 s old."""
        self.last_seen = what
        now = time.monotonic()
        if now - self.last_progress >= PROGRESS_EVERY and not self.back:
            self.last_progress = now
            self.display.info("still waiting for ComfyUI at %s (%s), %.0f s of %s s", self.shown_url, what,
                              now - self.started, self.max_wait)


class _LinesToLog(io.TextIOBase):
    """Standard output during the wait: the manager prints its polling lines there."""

    def __init__(self, display: logging.Logger, watch: _Watch) -> None:
        self.display, self.watch = display, watch
        self.pending = ""

    def write(self, text: str) -> int:
        *lines, self.pending = (self.pending + text).split("\n")
        for line in lines:
            if line.strip():
                if POLL_REFUSED_LINE in line:
                    self.watch.gone("connection refused")
                elif POLL_ERROR_LINE in line:  # a timeout, say: not proof that the server went away
                    self.watch.seen(_failure(line.split(POLL_ERROR_LINE, 1)[1]))
                self.display.debug("%s", line)
        return len(text)


def _checked_url(url: str) -> str:
    shown = _masked(url)
    try:
        parts = urllib.parse.urlsplit(url)
        parts.port  # noqa: B018 - reading it checks that the port is a number
    except ValueError:
        parts = urllib.parse.urlsplit("")
    if parts.scheme not in ("http", "https") or not parts.hostname:
        raise UsageError(f"--url {shown!r} is not an http(s) URL such as http://127.0.0.1:8188")
    if "?" in url or "#" in url:
        raise UsageError(f"--url {shown!r} has a query or a fragment; give the server's base URL only, "
                         "such as http://127.0.0.1:8188")
    return url.rstrip("/")


# ---- the queue -------------------------------------------------------------------------


class _Queue(NamedTuple):
    running: int = 0
    pending: int = 0
    unreadable: str = ""  # why the queue could not be read
    overflowing: bool = False  # an answer longer than QUEUE_LIMIT: busy, counts unknown

    @property
    def busy(self) -> bool:
        return self.overflowing or self.running + self.pending > 0

    def __str__(self) -> str:
        if self.overflowing:
            return f"more prompts queued than fit in {QUEUE_LIMIT >> 20} MiB"
        return f"{self.running} prompt{'s' * (self.running != 1)} running and {self.pending} pending"


def _read_queue(url: str, timeout: int) -> _Queue:
    """GET /api/queue, bounded as every request of the manager is."""
    from vantry.comfyui.revivo import _fetch

    try:
        status, body = _fetch(url + "/api/queue", timeout, limit=QUEUE_LIMIT)
    except Exception as exc:  # noqa: BLE001 - any failed request makes the queue unreadable, nothing more
        return _Queue(unreadable=_failure(str(exc)))
    if status != 200:
        return _Queue(unreadable=f"HTTP {status}{': an older ComfyUI?' if status == 404 else ''}")
    if len(body) > QUEUE_LIMIT:
        if body.startswith(b'{"queue_running"'):
            return _Queue(overflowing=True)
        return _Queue(unreadable=f"an answer over {QUEUE_LIMIT >> 20} MiB")
    try:
        queue = json.loads(body)
        return _Queue(len(queue["queue_running"]), len(queue["queue_pending"]))
    except (ValueError, TypeError, KeyError):
        return _Queue(unreadable="not ComfyUI's queue")


def _queue_allows_restart(args: argparse.Namespace, url: str, shown: str, display: logging.Logger) -> bool:
    """False, after one error line, when prompts would be lost without --force."""
    queue = _read_queue(url, args.timeout)
    if queue.busy and args.wait_idle and not args.force:
        display.info("ComfyUI at %s has %s; waiting up to %s s for its queue to empty", shown, queue, args.wait_idle)
        began = last_progress = time.monotonic()
        until = began + args.wait_idle
        while queue.busy and time.monotonic() < until:
            time.sleep(min(max(args.interval, 0.1), max(until - time.monotonic(), 0)))
            queue = _read_queue(url, args.timeout)
            if queue.busy and time.monotonic() - last_progress >= PROGRESS_EVERY:
                last_progress = time.monotonic()
                display.info("still waiting for the queue of ComfyUI at %s to empty (%s), %.0f s of %g s", shown,
                             queue, last_progress - began, args.wait_idle)
        if queue.busy:
            error(f"ComfyUI at {shown} still has {queue} after {args.wait_idle:g} s; a restart would lose them "
                  "(--force restarts anyway)")
            return False
    if queue.unreadable:
        display.warning("could not read the queue of ComfyUI at %s (%s); restarting without knowing whether "
                        "prompts are running", shown, queue.unreadable)
    elif queue.busy and args.force:
        display.warning("ComfyUI at %s has %s; restarting anyway (--force): they will be lost", shown, queue)
    elif queue.busy:
        error(f"ComfyUI at {shown} has {queue}; a restart would lose them: --force restarts anyway, "
              "--wait-idle SECONDS waits for the queue to empty first")
        return False
    return True


# ---- the restart ---------------------------------------------------------------------------


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


def _wait_for_restart(manager: Any, watch: _Watch, deadline: float, interval: float) -> None:
    """Polls until the server was seen gone and back, or the deadline passes.

    wait_service_ready returns at the first 200, which may come from the old
    process before it goes away; then it is asked again after a pause.
    """
    while True:
        manager.max_wait = max(round(deadline - time.monotonic(), 1), 0.1)  # shown in the polling line
        if not manager.wait_service_ready() or watch.back:
            return
        pause = min(interval, deadline - time.monotonic())
        if pause <= 0:
            return
        time.sleep(pause)


def cmd_restart(args: argparse.Namespace) -> int:
    url = _checked_url(args.url)
    shown = _masked(url)
    from vantry.comfyui.revivo import ComfyUIManager

    display = _display(args.verbosity)
    if not _queue_allows_restart(args, url, shown, display):
        print("not ready")
        return 1
    watch = _Watch(display, shown, args.max_wait)
    manager = ComfyUIManager(base_url=url, timeout=args.timeout, max_wait_seconds=args.max_wait,
                             poll_interval=args.interval, logger=watch)
    display.info("asking ComfyUI at %s to restart", shown)
    started = time.monotonic()
    with contextlib.redirect_stdout(_LinesToLog(display, watch)):
        manager.trigger_reboot()
        if watch.refusal is None and watch.redirect is None:
            if watch.delivery == "failed":
                display.info("the restart request did not reach the server (%s); waiting up to %s s in case "
                             "it is starting", watch.failure, args.max_wait)
                manager.wait_service_ready()
            else:
                display.info("restart requested; waiting up to %s s for the server to go away and come back",
                             args.max_wait)
                _wait_for_restart(manager, watch, started + args.max_wait, args.interval)
    return _verdict(watch, shown, args.max_wait, time.monotonic() - started, display)


def _verdict(watch: _Watch, shown: str, max_wait: int, took: float, display: logging.Logger) -> int:
    """The last line and the exit code."""
    if watch.refusal is not None:
        status, route = watch.refusal
        error(f"ComfyUI at {shown} refused the restart (HTTP {status} from {route}): {_refusal_meaning(status)}")
    elif watch.redirect is not None:
        status, location, route = watch.redirect
        error(f"ComfyUI at {shown} redirected the restart request (HTTP {status} from {route} to {location}), "
              "not followed: a login page or a proxy rule is in front of the manager")
    elif watch.delivery == "failed":
        if watch.answering:
            error(f"the restart request did not reach ComfyUI at {shown} ({watch.failure}); the server answers "
                  "now, but this command did not restart it")
        else:
            error(f"ComfyUI at {shown} could not be asked to restart ({watch.failure}) and did not answer "
                  f"within {max_wait} s")
    elif watch.back:
        display.info("ComfyUI at %s is back after %.1f s", shown, took)
        print("ready")
        return 0
    elif not watch.went_down:
        asked = "accepted" if watch.delivery == "accepted" else f"answered HTTP {watch.gateway_status} to"
        error(f"ComfyUI at {shown} {asked} the restart, but the server never went down: not restarted?")
    elif watch.delivery == "gateway":
        error(f"the restart request to ComfyUI at {shown} got HTTP {watch.gateway_status} from a gateway, and the "
              f"server did not answer within {max_wait} s")
    else:
        error(f"ComfyUI at {shown} accepted the restart but did not answer within {max_wait} s")
    print("not ready")
    return 1


def register(sub: Any, formatter: type[argparse.HelpFormatter]) -> None:
    codes = {0: "the server went away after the restart request and answers again",
             1: "refused (security level, no manager, a redirect, prompts in the queue), not delivered, never "
                "went down, or not back in time",
             2: "bad usage, such as a --url that is not http(s) or has a query or fragment"}
    examples = ["vantry comfyui restart", "vantry comfyui restart --url http://gpu-box:8188 --wait-idle 600 -v"]
    p = sub.add_parser("comfyui", help="manage a ComfyUI server", formatter_class=formatter,
                       epilog=epilog(examples, codes))
    actions = p.add_subparsers(dest="action", required=True, metavar="ACTION")
    r = actions.add_parser(
        "restart", help="restart the server and wait until it answers (exit 1 when it does not)",
        formatter_class=formatter,
        description="Ask ComfyUI-Manager to restart the server, then poll it until it has gone away and answers "
                    "again. Prompts running or queued are not dropped unless --force is given. Log lines with "
                    "timestamps go to standard error; 'ready' or 'not ready' to standard output.",
        epilog=epilog(examples, codes))
    r.add_argument("--url", default="http://127.0.0.1:8188",
                   help="server base URL (default http://127.0.0.1:8188); credentials in it are used, shown as ***")
    r.add_argument("--max-wait", type=int, default=60, metavar="SECONDS",
                   help="give up when the server has not come back after this long (default 60)")
    r.add_argument("--interval", type=non_negative, default=2.0, metavar="SECONDS",
                   help="pause between polls (default 2)")
    r.add_argument("--timeout", type=positive, default=5, metavar="SECONDS",
                   help="time limit of one request, answer included (default 5)")
    r.add_argument("--force", action="store_true",
                   help="restart even when prompts are running or pending (they are lost)")
    r.add_argument("--wait-idle", type=non_negative, default=0, metavar="SECONDS",
                   help="when prompts are running or pending, wait up to this long for the queue to empty first")
    loudness = r.add_mutually_exclusive_group()
    loudness.add_argument("-q", "--quiet", dest="verbosity", action="store_const", const=-1, default=0,
                          help="show errors only")
    loudness.add_argument("-v", "--verbose", dest="verbosity", action="store_const", const=1,
                          help="show every request and poll (the manager's DEBUG lines)")
    r.set_defaults(func=cmd_restart)
