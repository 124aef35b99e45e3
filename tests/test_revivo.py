"""vantry.comfyui.revivo against real HTTP servers on the loopback interface.

The scripted server runs in a thread on an ephemeral port and answers each
request with the next step of its script: a status code, or "drop" to close
the connection without a response. A closed port stands for a server that is
down. Long waits run on a fake clock (time.time / time.sleep patched), so
nothing here waits for more than a few requests. ComfyUIServer emulates the
reboot routes of each generation of the ComfyUI manager, restart included.
"""

import contextlib
import http.client
import http.server
import io
import json
import logging
import socket
import sys
import threading
import time
import types
from fractions import Fraction

import pytest
import requests
import urllib3

from conftest import assert_no_leak, raises
from vantry.comfyui import revivo
from vantry.comfyui.revivo import ComfyUIManager

REBOOT_CALLED = "%s 调用重启接口 url=%s"
REBOOT_DROPPED = "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"
REBOOT_CONN_ERROR = "%s 连接异常：%s url=%s"
REBOOT_ERROR = "%s 发起重启请求异常: %s url=%s"
REBOOT_REFUSED = "%s 重启请求被拒绝，状态码 %s url=%s"
REBOOT_GATEWAY = "%s 重启指令送达未知（网关状态码 %s），继续等待恢复 url=%s"
REBOOT_REDIRECTED = "%s 重启请求被重定向，状态码 %s 指向 %s，未跟随 url=%s"
POLL_START = "%s 开始轮询 %s，最长等待 %ss"
POLL_READY = "%s 服务已恢复正常，状态码200"
POLL_STATUS = "%s 接口返回异常状态码 %s，继续等待..."
POLL_TIMEOUT = "%s 超时 %ss，服务未恢复"
FLOW_READY = "%s 重启完成，服务正常可用"
FLOW_TIMEOUT = "%s 重启后超时未恢复"
REFUSED_LINE = " 服务未启动/连接拒绝，等待中..."
STATS, REBOOT, V2, QUEUE = "/api/system_stats", "/api/manager/reboot", "/api/v2/manager/reboot", "/api/queue"
DROPPED = requests.exceptions.ConnectionError("Remote end closed connection without response")
REFUSED = requests.exceptions.ConnectionError("refused")


# ---- the server, the clock and the logger -----------------------------------------


DRIP, DRIP_HEAD, ENDLESS = "drip", "drip head", "endless"
SLACK = 1.0  # seconds a loaded machine may add to a bound
real_sleep = time.sleep  # the handlers' pauses, untouched by the fake clock


def redirect(url):
    return ("redirect", url)


class ScriptedServer:
    """HTTP server whose answers per path follow a script; the last step repeats.

    GET requests are keyed by their path, POST requests by "POST " + path.
    A step is a status code; "drop" closes the connection without a response;
    DRIP answers 200 and then its body one byte every 50 ms, DRIP_HEAD sends its
    status line and then a header one byte every 50 ms, ENDLESS answers 200
    with a body that never ends, and redirect(url) answers 302 to url.
    `auth` lists the Authorization header of each request.
    """

    def __init__(self):
        self.script, self.paths, self.auth = {}, [], []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.answer(self.path)

            def do_POST(self):
                self.answer("POST " + self.path)

            def answer(self, key):
                outer.paths.append(key)
                outer.auth.append(self.headers.get("Authorization"))
                steps = outer.script.get(key, [404])
                step = steps.pop(0) if len(steps) > 1 else steps[0]
                if step == "drop":
                    self.close_connection = True
                    return
                if step == DRIP_HEAD:
                    self.close_connection = True
                    self.wfile.write(b"HTTP/1.1 200 OK\r\nX-Slow: ")
                    return self.drip(b"x", 0.05)
                if step in (DRIP, ENDLESS):
                    self.send_response(200)
                    self.send_header("Content-Length", str(10**12))
                    self.end_headers()
                    self.close_connection = True
                    return self.drip(b"x" if step == DRIP else b"x" * 65536, 0.05 if step == DRIP else 0)
                status, location = (302, step[1]) if isinstance(step, tuple) else (step, None)
                self.send_response(status)
                if location:
                    self.send_header("Location", location)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def drip(self, chunk, pause):
                with contextlib.suppress(OSError):  # until the client hangs up
                    while True:
                        self.wfile.write(chunk)
                        real_sleep(pause)

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=5)


@pytest.fixture(autouse=True)
def no_proxy(monkeypatch):
    for name in ("HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")


@pytest.fixture
def server():
    srv = ScriptedServer()
    yield srv
    srv.close()


RESTART, LATE_RESTART = "restart", "late restart"
OLD_ROUTES, NEW_ROUTES = (REBOOT, "/manager/reboot"), (V2, "/v2/manager/reboot")


def routes(paths, method, answer):
    return {(method, path): answer for path in paths}


# The reboot routes of each generation of the ComfyUI manager, as served by
# ComfyUI 0.8: a status, RESTART (the connection drops as the server goes
# down) or LATE_RESTART (200, and down a moment later). A GET on a route not
# listed falls to ComfyUI's static route (404); a POST there is 405.
GENERATIONS = {
    "manager 3.x": routes(OLD_ROUTES, "GET", RESTART),
    "manager 3.40+": routes(OLD_ROUTES, "POST", RESTART),
    "manager 4.0.x": routes(NEW_ROUTES, "GET", RESTART) | routes(NEW_ROUTES, "POST", 405),
    "manager 4.3": routes(NEW_ROUTES, "POST", RESTART),
    "manager 4.3, late restart": routes(NEW_ROUTES, "POST", LATE_RESTART),
    "manager 3.x, strong": routes(OLD_ROUTES, "GET", 403),
    "manager 3.40+, strong": routes(OLD_ROUTES, "POST", 403),
    "manager 4.0.x, strong": routes(NEW_ROUTES, "GET", 403) | routes(NEW_ROUTES, "POST", 405),
    "manager 4.3, strong": routes(NEW_ROUTES, "POST", 403),
    "no manager": {},
}


class ComfyUIServer:
    """A ComfyUI server on loopback whose manager serves `routes`.

    A restart goes as the manager's does, which re-executes the server
    process: the listening socket closes, the reboot connection drops without
    an answer (or, for LATE_RESTART, gets its 200 first), and the server
    listens again on the same port DOWNTIME later, with an empty queue.
    A POST that restarts takes no body or a JSON one (400 for form or text).
    /api/system_stats answers 200; /api/queue answers the next of `queues`
    (running, pending) counts, the last one repeating, or 404 when there is
    none (an old ComfyUI). `events` lists the requests received and
    "down"/"up" as the server goes away and comes back.
    """

    DOWNTIME, LATE = 0.6, 0.2

    def __init__(self, routes, queues=((0, 0),)):
        self.routes, self.queues, self.events, self.port, self.relisten = routes, list(queues), [], 0, None
        self._listen()
        self.url = f"http://127.0.0.1:{self.port}"

    def _listen(self):
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                outer._answer(self, "GET")

            def do_POST(self):
                outer._answer(self, "POST")

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", self.port), Handler)
        self.port = self.httpd.server_address[1]
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True)
        self.thread.start()

    def _come_back(self):
        self._listen()
        self.events.append("up")

    def _queue_body(self):
        running, pending = self.queues.pop(0) if len(self.queues) > 1 else self.queues[0]
        item = lambda n: [n, f"prompt-{n}", {}, {}, []]  # noqa: E731
        queue = {"queue_running": [item(n) for n in range(running)],
                 "queue_pending": [item(n) for n in range(running, running + pending)]}
        return json.dumps(queue).encode()

    def _answer(self, handler, method):
        key = (method, handler.path)
        self.events.append(key)
        handler.rfile.read(int(handler.headers.get("Content-Length") or 0))
        body = b""
        if key == ("GET", STATS):
            answer = 200
        elif key == ("GET", QUEUE) and self.queues:
            answer, body = 200, self._queue_body()
        else:
            answer = self.routes.get(key, 404 if method == "GET" else 405)
        content_type = handler.headers.get("Content-Type")
        restart = answer in (RESTART, LATE_RESTART)
        if restart and method == "POST" and content_type and not content_type.startswith("application/json"):
            answer, restart = 400, False
        if answer == RESTART:
            self._restart(0)
            handler.close_connection = True  # the handler returns without a word and the socket closes
            return
        handler.send_response(200 if restart else answer)
        handler.send_header("Content-Length", str(len(body)))
        handler.end_headers()
        handler.wfile.write(body)
        if restart:
            self._restart(self.LATE)

    def _restart(self, delay):
        def go_down():
            self._stop()
            self.events.append("down")
            self.queues = [(0, 0)] if self.queues else []  # the queue does not survive the restart
            self.relisten = threading.Timer(self.DOWNTIME, self._come_back)
            self.relisten.start()

        if delay:
            self.relisten = threading.Timer(delay, go_down)
            self.relisten.start()
        else:
            go_down()

    def _stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=5)
        self.httpd = None

    def close(self):
        while self.relisten and self.relisten.is_alive():
            self.relisten.join(timeout=5)
        if self.httpd:
            self._stop()


class GatewayProxy:
    """A reverse proxy on loopback in front of `backend`, as nginx is: each
    request is passed on, and one whose upstream connection fails or drops
    without an answer gets 502."""

    def __init__(self, backend):
        self.backend = backend

        class Handler(http.server.BaseHTTPRequestHandler):
            def relay(self):
                port = int(backend.url.rsplit(":", 1)[1])
                try:
                    upstream = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                    upstream.request(self.command, self.path)
                    reply = upstream.getresponse()
                    status, body = reply.status, reply.read()
                    upstream.close()
                except OSError:  # refused, reset, or closed without an answer
                    status, body = 502, b"<html>502 Bad Gateway</html>"
                self.send_response(status)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            do_GET = do_POST = relay

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True)
        self.thread.start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=5)


@pytest.fixture
def comfyui():
    servers = []

    def start(routes, **kw):
        servers.append(ComfyUIServer(routes, **kw))
        return servers[-1]

    yield start
    for srv in servers:
        srv.close()


@pytest.fixture
def closed_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}"


class FakeClock:
    """time.time that moves only when time.sleep is called."""

    def __init__(self, record=True):
        self.now, self.pauses, self.record = 1000.0, [], record

    def time(self):
        return self.now

    def sleep(self, seconds):
        if seconds < 0:
            raise ValueError("sleep length must be non-negative")
        if self.record:
            self.pauses.append(seconds)
        self.now += seconds


@pytest.fixture
def clock(monkeypatch):
    c = FakeClock()
    monkeypatch.setattr(time, "time", c.time)
    monkeypatch.setattr(time, "sleep", c.sleep)
    return c


class RecordingLogger:
    """Records (level, format, args); formats named in `fail` raise their error instead."""

    def __init__(self, fail=None):
        self.records, self.fail = [], fail or {}

    def _log(self, level, fmt, args):
        if fmt in self.fail:
            raise self.fail[fmt](fmt)
        self.records.append((level, fmt, args))

    def debug(self, fmt, *args):
        self._log("DEBUG", fmt, args)

    def error(self, fmt, *args):
        self._log("ERROR", fmt, args)

    def formats(self):
        return [(level, fmt) for level, fmt, _ in self.records]


def manager(url, log=None, **kw):
    kw = {"timeout": 2, "max_wait_seconds": 3, "poll_interval": 1, **kw}
    return ComfyUIManager(url, logger=log if log is not None else RecordingLogger(), **kw)


def failing_get(error):
    def get(url, **kwargs):
        raise error.with_traceback(None)  # a fresh traceback, not one grown over calls

    return get


def reboot_records(m, *lines):
    """The records trigger_reboot should write, from (format, path) or
    (format, error text or status, path); the URLs are under m.base_url."""
    level = {REBOOT_REFUSED: "ERROR", REBOOT_REDIRECTED: "ERROR"}
    return [(level.get(fmt, "DEBUG"), fmt, (m.flag, *args[:-1], m.base_url + args[-1])) for fmt, *args in lines]


# ---- construction ----------------------------------------------------------------------


@pytest.mark.parametrize("suffix", ["", "/", "///"])
def test_trailing_slashes_are_stripped_but_flag_keeps_them(suffix):
    m = ComfyUIManager("http://host:9" + suffix)
    root = "http://host:9"
    assert (m.base_url, m.reboot_api, m.stats_api) == (root, root + REBOOT, root + STATS)
    assert m.flag == f"comfyui服务重启 [http://host:9{suffix}]"


def test_defaults():
    assert vars(ComfyUIManager()) == {
        "base_url": "http://127.0.0.1:8188",
        "reboot_api": "http://127.0.0.1:8188/api/manager/reboot",
        "stats_api": "http://127.0.0.1:8188/api/system_stats",
        "timeout": 5,
        "max_wait": 60,
        "poll_interval": 2.0,
        "flag": "comfyui服务重启 [http://127.0.0.1:8188]",
        "logger": logging.getLogger("vantry.comfyui.revivo"),
    }


@pytest.mark.parametrize(
    "args, kw, attr, expected",
    [
        ((), {"timeout": 2.9}, "timeout", 2),
        ((), {"timeout": -2.9}, "timeout", -2),
        ((), {"timeout": True}, "timeout", 1),
        ((), {"max_wait_seconds": Fraction(7, 2)}, "max_wait", 3),
        ((), {"poll_interval": 1}, "poll_interval", 1.0),
        (("http://h", 1, 2, Fraction(1, 4)), {}, "poll_interval", 0.25),
        (("http://h", 1, 7.5), {}, "max_wait", 7),
    ],
)
def test_number_conversions(args, kw, attr, expected):
    value = getattr(ComfyUIManager(*args, **kw), attr)
    assert value == expected and type(value) is type(expected)


class Str(str):
    pass


@pytest.mark.parametrize(
    "args, kw, message",
    [
        ((), {"timeout": "5"}, "Argument 'timeout' has incorrect type (expected int, got str)"),
        ((), {"max_wait_seconds": None}, "Argument 'max_wait_seconds' has incorrect type (expected int, got NoneType)"),
        ((), {"poll_interval": "2"}, "Argument 'poll_interval' has incorrect type (expected float, got str)"),
        ((None,), {}, "Argument 'base_url' has incorrect type (expected str, got NoneType)"),
        ((b"http://h",), {}, "Argument 'base_url' has incorrect type (expected str, got bytes)"),
        ((Str("http://h"),), {}, "Argument 'base_url' has incorrect type (expected str, got Str)"),
        (("u", 1, 2, 3, None, 6), {}, None),
        ((), {"retries": 3}, None),
    ],
)
def test_bad_arguments_fail_before_any_attribute_is_set(args, kw, message):
    m = ComfyUIManager.__new__(ComfyUIManager)
    with pytest.raises(TypeError) as info:
        m.__init__(*args, **kw)
    assert message is None or str(info.value) == message
    assert vars(m) == {}


class FalsyLogger(RecordingLogger):
    def __bool__(self):
        return False


def test_logger_choice():
    custom, default = RecordingLogger(), logging.getLogger("vantry.comfyui.revivo")
    assert ComfyUIManager(logger=custom).logger is custom
    assert ComfyUIManager(logger=FalsyLogger()).logger is default
    assert ComfyUIManager(logger=0).logger is default


# ---- trigger_reboot -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "script, result, lines",
    [
        ({REBOOT: [200]}, True, [(REBOOT_CALLED, REBOOT)]),
        ({REBOOT: ["drop"]}, True, [(REBOOT_DROPPED, REBOOT)]),
        ({REBOOT: [500]}, False, [(REBOOT_CALLED, REBOOT), (REBOOT_REFUSED, 500, REBOOT)]),
        # 404 and 405 mean "no such route": the same route by POST is tried, then the
        # newer manager's route, by POST, then by GET
        (
            {REBOOT: [405], "POST " + REBOOT: [404], "POST " + V2: [500]},
            False,
            [(REBOOT_CALLED, REBOOT), (REBOOT_CALLED, REBOOT), (REBOOT_CALLED, V2), (REBOOT_REFUSED, 500, V2)],
        ),
        (
            {REBOOT: [404], "POST " + REBOOT: [405], "POST " + V2: [405], V2: [204]},
            True,
            [(REBOOT_CALLED, REBOOT), (REBOOT_CALLED, REBOOT), (REBOOT_CALLED, V2), (REBOOT_CALLED, V2)],
        ),
        (
            {REBOOT: [404], "POST " + REBOOT: [404], "POST " + V2: ["drop"]},
            True,
            [(REBOOT_CALLED, REBOOT), (REBOOT_CALLED, REBOOT), (REBOOT_DROPPED, V2)],
        ),
    ],
)
def test_reboot_against_the_server(server, script, result, lines):
    server.script.update(script)
    log = RecordingLogger()
    m = manager(server.url + "/", log)
    assert m.trigger_reboot() is result
    assert server.paths == list(script)
    assert log.records == reboot_records(m, *lines)


@pytest.mark.parametrize(
    "error, result, fmt",
    [(DROPPED, True, REBOOT_DROPPED), (REFUSED, None, REBOOT_CONN_ERROR), (ValueError("x"), None, REBOOT_ERROR)],
)
def test_errors_on_the_newer_route_name_its_url(server, monkeypatch, error, result, fmt):
    server.script.update({REBOOT: [404], "POST " + REBOOT: [404]})
    real_post = requests.post
    monkeypatch.setattr(requests, "post", lambda url, **kw: (failing_get(error) if V2 in url else real_post)(url, **kw))
    log = RecordingLogger()
    m = manager(server.url, log)
    assert m.trigger_reboot() is result
    text = () if error is DROPPED else (str(error),)
    assert log.records == reboot_records(m, (REBOOT_CALLED, REBOOT), (REBOOT_CALLED, REBOOT), (fmt, *text, V2))


def test_reboot_refused_logs_the_error_text(closed_url):
    log = RecordingLogger()
    m = manager(closed_url, log)
    assert m.trigger_reboot() is None
    [(level, fmt, (flag, text, url))] = log.records
    assert (level, fmt, flag, url) == ("DEBUG", REBOOT_CONN_ERROR, m.flag, m.reboot_api)
    assert type(text) is str and "Connection refused" in text


def test_reboot_requests_are_sent_with_the_instance_timeout_and_no_body(server, monkeypatch):
    seen = []

    def spy(verb):
        real = getattr(requests, verb)
        return lambda *args, **kwargs: seen.append((verb, args, kwargs)) or real(*args, **kwargs)

    monkeypatch.setattr(requests, "get", spy("get"))
    monkeypatch.setattr(requests, "post", spy("post"))
    m = manager(server.url, timeout=2.9)
    assert m.trigger_reboot() is False  # 404 everywhere
    v2, kw = m.base_url + V2, {"timeout": 2, "stream": True, "allow_redirects": False}
    old = m.reboot_api
    assert seen == [("get", (old,), kw), ("post", (old,), kw), ("post", (v2,), kw), ("get", (v2,), kw)]


@pytest.mark.parametrize("error", [ValueError("bad url"), requests.exceptions.ReadTimeout("slow")])
def test_reboot_other_errors_are_logged(monkeypatch, error):
    monkeypatch.setattr(requests, "get", failing_get(error))
    log = RecordingLogger()
    m = manager("http://h", log)
    m.trigger_reboot()
    assert log.records == [("DEBUG", REBOOT_ERROR, (m.flag, str(error), m.reboot_api))]


def test_reboot_absorbs_an_error_of_its_own_first_log_call(server):
    server.script[REBOOT] = [200]
    log = RecordingLogger(fail={REBOOT_CALLED: RuntimeError})
    m = manager(server.url, log)
    m.trigger_reboot()
    assert log.records == [("DEBUG", REBOOT_ERROR, (m.flag, REBOOT_CALLED, m.reboot_api))]


def test_reboot_handler_runs_with_the_error_being_handled(closed_url):
    class ExcInfoLogger(RecordingLogger):
        def debug(self, fmt, *args):
            self.records.append(sys.exc_info()[1])

    log = ExcInfoLogger()
    manager(closed_url, log).trigger_reboot()
    assert [type(e) for e in log.records] == [requests.exceptions.ConnectionError]
    assert sys.exc_info() == (None, None, None)


def test_reboot_error_in_the_handler_propagates_with_context(closed_url):
    m = manager(closed_url, RecordingLogger(fail={REBOOT_CONN_ERROR: OSError}))
    with pytest.raises(OSError) as info:
        m.trigger_reboot()
    assert isinstance(info.value.__context__, requests.exceptions.ConnectionError)
    assert sys.exc_info() == (None, None, None)


@pytest.mark.parametrize("error", [KeyboardInterrupt(), SystemExit(3)])
def test_reboot_lets_non_exceptions_through(monkeypatch, error):
    monkeypatch.setattr(requests, "get", failing_get(error))
    log = RecordingLogger()
    with pytest.raises(type(error)) as info:
        manager("http://h", log).trigger_reboot()
    assert info.value is error and log.records == []


def test_module_globals_are_looked_up_at_each_call(monkeypatch):
    class Refused(Exception):
        pass

    exceptions = types.SimpleNamespace(ConnectionError=Refused)
    fake = types.SimpleNamespace(get=failing_get(Refused("nobody home")), exceptions=exceptions)
    monkeypatch.setattr(revivo, "requests", fake)
    log = RecordingLogger()
    m = manager("http://h", log)
    m.trigger_reboot()
    assert log.records == [("DEBUG", REBOOT_CONN_ERROR, (m.flag, "nobody home", m.reboot_api))]
    monkeypatch.delattr(revivo, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        m.wait_service_ready()


# ---- wait_service_ready ------------------------------------------------------------------------


def test_503_then_200_pauses_once(server, clock):
    server.script[STATS] = [503, 200]
    log = RecordingLogger()
    m = manager(server.url, log, poll_interval=0.5)
    assert m.wait_service_ready() is True
    assert server.paths == [STATS] * 2 and clock.pauses == [0.5]
    assert log.records == [
        ("DEBUG", POLL_START, (m.flag, m.stats_api, 3)),
        ("DEBUG", POLL_STATUS, (m.flag, 503)),
        ("DEBUG", POLL_READY, (m.flag,)),
    ]


def test_never_recovers_times_out(server, clock):
    server.script[STATS] = [500]
    log = RecordingLogger()
    m = manager(server.url, log, max_wait_seconds=3, poll_interval=1)
    assert m.wait_service_ready() is False
    assert len(server.paths) == 3 and clock.pauses == [1.0] * 3
    assert log.formats()[1:] == [("DEBUG", POLL_STATUS)] * 3 + [("ERROR", POLL_TIMEOUT)]
    assert log.records[-1][2] == (m.flag, 3)


@pytest.mark.parametrize("max_wait", [0, -5])
def test_no_time_to_wait_sends_nothing(server, clock, max_wait):
    log = RecordingLogger()
    m = manager(server.url, log, max_wait_seconds=max_wait)
    assert m.wait_service_ready() is False
    assert server.paths == [] and clock.pauses == []
    assert log.records == [
        ("DEBUG", POLL_START, (m.flag, m.stats_api, max_wait)),
        ("ERROR", POLL_TIMEOUT, (m.flag, max_wait)),
    ]


def test_real_clock_deadline_is_bounded(closed_url):
    m = manager(closed_url, max_wait_seconds=1, poll_interval=0.2, timeout=1)
    began = time.monotonic()
    with contextlib.redirect_stdout(io.StringIO()) as out:
        assert m.wait_service_ready() is False
    assert time.monotonic() - began < 3
    assert 2 <= out.getvalue().count("\n") <= 6


def test_refused_lines_go_to_sys_stdout_not_the_logger(closed_url, clock, capfd):
    log = RecordingLogger()
    m = manager(closed_url + "/", log, max_wait_seconds=2)
    with contextlib.redirect_stdout(io.StringIO()) as out:
        assert m.wait_service_ready() is False
    assert out.getvalue() == (m.flag + REFUSED_LINE + "\n") * 2
    assert capfd.readouterr().out == ""
    assert log.formats() == [("DEBUG", POLL_START), ("ERROR", POLL_TIMEOUT)]


def test_other_poll_errors_are_printed(monkeypatch, clock, capsys):
    monkeypatch.setattr(requests, "get", failing_get(requests.exceptions.InvalidURL("no host")))
    m = manager("http://h", max_wait_seconds=1)
    assert m.wait_service_ready() is False
    assert capsys.readouterr().out == m.flag + " 请求异常: no host\n"


def test_failing_log_call_inside_an_attempt_is_absorbed(server, clock, capsys):
    server.script[STATS] = [200]
    m = manager(server.url, RecordingLogger(fail={POLL_READY: RuntimeError}), max_wait_seconds=2)
    assert m.wait_service_ready() is False
    assert capsys.readouterr().out == f"{m.flag} 请求异常: {POLL_READY}\n" * 2


def test_attributes_are_read_at_each_call(server, clock):
    server.script.update({STATS: [200], REBOOT: [404], "POST " + V2: ["drop"]})
    m = manager("http://127.0.0.1:1")
    m.stats_api = server.url + STATS
    assert m.wait_service_ready() is True
    m.reboot_api, m.base_url = server.url + REBOOT, server.url
    assert m.trigger_reboot() is True
    assert server.paths == [STATS, REBOOT, "POST " + REBOOT, "POST " + V2]


def test_patched_sleep_controls_the_pause(server):
    from unittest import mock

    server.script[STATS] = [503, 503, 200]
    with mock.patch("time.sleep") as sleep:
        assert manager(server.url, poll_interval=7, max_wait_seconds=30).wait_service_ready() is True
    assert sleep.call_args_list == [mock.call(7.0)] * 2


class BrokenStdout:
    def write(self, text):
        raise BrokenPipeError("pipe closed")


@pytest.mark.parametrize(
    "setup, error",
    [
        (lambda m: setattr(m, "poll_interval", -1.0), ValueError),
        (lambda m: setattr(m, "logger", RecordingLogger(fail={POLL_START: LookupError})), LookupError),
        (lambda m: setattr(m, "logger", RecordingLogger(fail={POLL_TIMEOUT: LookupError})), LookupError),
        (lambda m: setattr(m, "max_wait", "soon"), TypeError),
        (lambda m: [setattr(m, "stats_api", "http://127.0.0.1:1"), setattr(sys, "stdout", BrokenStdout())], BrokenPipeError),
    ],
)
def test_errors_outside_an_attempt_propagate(server, clock, monkeypatch, setup, error):
    monkeypatch.setattr(sys, "stdout", sys.stdout)  # restored after the BrokenStdout case
    server.script[STATS] = [503]
    log = RecordingLogger()
    m = manager(server.url, log)
    setup(m)
    with pytest.raises(error) as info:
        m.wait_service_ready()
    assert ("ERROR", POLL_TIMEOUT) not in log.formats()
    if error is BrokenPipeError:  # raised by the handler of a refused poll
        assert isinstance(info.value.__context__, requests.exceptions.ConnectionError)


def test_interrupt_during_a_poll_propagates(monkeypatch, clock):
    monkeypatch.setattr(requests, "get", failing_get(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        manager("http://h").wait_service_ready()
    assert clock.pauses == []


def test_default_logger_receives_the_records(server, clock, caplog):
    server.script[STATS] = [200]
    m = ComfyUIManager(server.url)
    with caplog.at_level(logging.DEBUG, logger="vantry.comfyui.revivo"):
        assert m.wait_service_ready() is True
    assert [(r.name, r.levelname, r.msg, r.getMessage()) for r in caplog.records] == [
        ("vantry.comfyui.revivo", "DEBUG", POLL_START, f"{m.flag} 开始轮询 {m.stats_api}，最长等待 60s"),
        ("vantry.comfyui.revivo", "DEBUG", POLL_READY, f"{m.flag} 服务已恢复正常，状态码200"),
    ]


# ---- run_reboot_and_wait -------------------------------------------------------------------------


def test_full_flow_against_a_restarting_server(server, clock):
    server.script[REBOOT], server.script[STATS] = ["drop"], [503, 200]
    log = RecordingLogger()
    m = manager(server.url, log)
    assert m.run_reboot_and_wait() is True
    assert server.paths == [REBOOT, STATS, STATS]
    assert log.formats() == [("DEBUG", f) for f in (REBOOT_DROPPED, POLL_START, POLL_STATUS, POLL_READY, FLOW_READY)]
    assert log.records[-1][2] == (m.flag,)


def test_full_flow_against_a_dead_server(closed_url, clock, capsys):
    log = RecordingLogger()
    m = manager(closed_url, log, max_wait_seconds=2)
    assert m.run_reboot_and_wait() is False
    assert log.formats() == [
        ("DEBUG", REBOOT_CONN_ERROR),
        ("DEBUG", POLL_START),
        ("ERROR", POLL_TIMEOUT),
        ("ERROR", FLOW_TIMEOUT),
    ]
    assert capsys.readouterr().out.count(REFUSED_LINE) == 2


ALL_ROUTES = [("GET", REBOOT), ("POST", REBOOT), ("POST", V2), ("GET", V2)]


@pytest.mark.parametrize(
    "generation, sent, refusal",
    [
        ("manager 3.x", ALL_ROUTES[:1], None),  # the one request of old, nothing else
        ("manager 3.40+", ALL_ROUTES[:2], None),  # GET is 404 through the static route
        ("manager 4.0.x", ALL_ROUTES, None),
        ("manager 4.3", ALL_ROUTES[:3], None),
        ("manager 3.x, strong", ALL_ROUTES[:1], 403),
        ("manager 3.40+, strong", ALL_ROUTES[:2], 403),  # 403, not the GET's 404
        ("manager 4.0.x, strong", ALL_ROUTES, 403),
        ("manager 4.3, strong", ALL_ROUTES[:3], 403),
        ("no manager", ALL_ROUTES, 404),  # the 404s, not the POSTs' 405s
    ],
)
def test_restart_against_each_manager_generation(comfyui, capsys, generation, sent, refusal):
    srv = comfyui(GENERATIONS[generation])
    log = RecordingLogger()
    m = manager(srv.url, log, max_wait_seconds=10, poll_interval=0.1)
    result = m.run_reboot_and_wait()
    lines = [(REBOOT_CALLED, path) for _, path in sent]
    if refusal is None:
        # Down, then back on the same port, where the first poll that connects finds it ready.
        assert result is True
        assert srv.events == [*sent, "down", "up", ("GET", STATS)]
        lines[-1] = (REBOOT_DROPPED, sent[-1][1])
        polls = [("DEBUG", POLL_START, (m.flag, m.stats_api, 10)), ("DEBUG", POLL_READY, (m.flag,))]
        assert log.records == reboot_records(m, *lines) + polls + [("DEBUG", FLOW_READY, (m.flag,))]
    else:
        # Refused: the server stays up, nobody polls it, one ERROR line names the status and the URL.
        assert result is False
        assert srv.events == sent
        assert log.records == reboot_records(m, *lines, (REBOOT_REFUSED, refusal, sent[-1][1]))
        assert capsys.readouterr().out == ""


def test_restart_behind_a_gateway(comfyui):
    # nginx in front of a 4.3 server: the dropped reboot connection comes back as
    # 502, delivery unknown; the polls get 502 while the server is down, then 200.
    srv = comfyui(GENERATIONS["manager 4.3"])
    proxy = GatewayProxy(srv)
    log = RecordingLogger()
    m = manager(proxy.url, log, max_wait_seconds=10, poll_interval=0.1)
    try:
        assert m.run_reboot_and_wait() is True
    finally:
        proxy.close()
    assert srv.events == [*ALL_ROUTES[:3], "down", "up", ("GET", STATS)]
    lines = [(REBOOT_CALLED, REBOOT), (REBOOT_CALLED, REBOOT), (REBOOT_CALLED, V2), (REBOOT_GATEWAY, 502, V2)]
    assert log.records[:4] == reboot_records(m, *lines)
    polls = log.formats()[4:]
    assert polls[0] == ("DEBUG", POLL_START) and polls[-2:] == [("DEBUG", POLL_READY), ("DEBUG", FLOW_READY)]
    assert set(polls[1:-2]) == {("DEBUG", POLL_STATUS)} and {args[1] for _, _, args in log.records[5:-2]} == {502}


@pytest.mark.parametrize(
    "method, step, result, seconds",
    [
        # A 200 whose body never ends, or drips: the status is enough, the body is never read.
        ("trigger_reboot", ENDLESS, True, 0),
        ("trigger_reboot", DRIP, True, 0),
        ("wait_service_ready", ENDLESS, True, 0),
        ("wait_service_ready", DRIP, True, 0),
        # Headers that drip: the request ends at its time limit (timeout=1), the wait at its
        # deadline plus one request and one pause. Each bound gets SLACK for a loaded machine.
        ("trigger_reboot", DRIP_HEAD, None, 1),
        ("wait_service_ready", DRIP_HEAD, False, 1 + 1 + 0.1),
        # A redirect is not followed: not an accepted restart, not a ready server.
        ("trigger_reboot", "redirect", False, 0),
        ("wait_service_ready", "redirect", False, 1 + 1 + 0.1),
    ],
)
def test_requests_are_bounded_and_never_redirected(server, method, step, result, seconds):
    elsewhere = ScriptedServer()  # another local service, answering 200 everywhere it is sent
    elsewhere.script.update({"/login": [200], STATS: [200]})
    path = REBOOT if method == "trigger_reboot" else STATS
    server.script[path] = [redirect(elsewhere.url + ("/login" if path == REBOOT else STATS)) if step == "redirect" else step]
    log = RecordingLogger()
    m = manager(server.url, log, timeout=1, max_wait_seconds=1, poll_interval=0.1)
    began = time.monotonic()
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            assert getattr(m, method)() is result
    finally:
        elsewhere.close()
    assert time.monotonic() - began < seconds + SLACK
    assert elsewhere.paths == []
    if method == "trigger_reboot" and step == "redirect":
        assert log.records == reboot_records(m, (REBOOT_CALLED, REBOOT), (REBOOT_REDIRECTED, 302, elsewhere.url + "/login", REBOOT))


@pytest.mark.parametrize(
    "step, expected",
    [
        (200, (200, b"")),
        (ENDLESS, (200, b"x" * 1025)),  # cut after limit + 1 bytes
        (DRIP, urllib3.exceptions.ReadTimeoutError),  # the body outlasts the time limit
        (redirect("http://127.0.0.1:1/"), (302, b"")),
    ],
)
def test_fetch_reads_a_bounded_body(server, step, expected):
    server.script[QUEUE] = [step]
    began = time.monotonic()
    if isinstance(expected, tuple):
        assert revivo._fetch(server.url + QUEUE, 1, limit=1024) == expected
    else:
        with pytest.raises(expected):
            revivo._fetch(server.url + QUEUE, 1, limit=1024)
    assert time.monotonic() - began < 1 + SLACK


@pytest.mark.parametrize("reachable", [True, False])
def test_credentials_are_used_but_never_shown(server, closed_url, clock, capsys, reachable):
    import base64

    server.script.update({REBOOT: [404], "POST " + REBOOT: [403]})
    root = server.url if reachable else closed_url
    log = RecordingLogger()
    m = manager(root.replace("http://", "http://admin:s3cret@") + "/", log, max_wait_seconds=2)
    m.trigger_reboot()
    m.wait_service_ready()
    shown = [fmt % args for _, fmt, args in log.records] + capsys.readouterr().out.splitlines()
    assert len(shown) >= 4 and not any("s3cret" in line or "admin" in line for line in shown)
    assert m.flag == f"comfyui服务重启 [{root.replace('http://', 'http://***@')}/]"
    assert "s3cret" in m.base_url  # used for the requests
    if reachable:
        assert set(server.auth) == {"Basic " + base64.b64encode(b"admin:s3cret").decode()}


def flow_subclass(calls, ready, rebooted="ignored"):
    class Custom(ComfyUIManager):
        def trigger_reboot(self):
            calls.append("reboot")
            return rebooted

        def wait_service_ready(self):
            calls.append("wait")
            if isinstance(ready, BaseException):
                raise ready
            return ready

    return Custom


@pytest.mark.parametrize(
    "rebooted, ready, levels, calls",
    [
        ("ignored", "yes", ["DEBUG"], ["reboot", "wait"]),
        ("ignored", 0, ["ERROR"], ["reboot", "wait"]),
        ("ignored", ArithmeticError("clock"), [], ["reboot", "wait"]),
        # only False itself means refused; anything else still waits
        (False, "yes", [], ["reboot"]),
        (0, "yes", ["DEBUG"], ["reboot", "wait"]),
        (None, "yes", ["DEBUG"], ["reboot", "wait"]),
        (True, 0, ["ERROR"], ["reboot", "wait"]),
    ],
)
def test_flow_goes_through_the_instance(rebooted, ready, levels, calls):
    made, log = [], RecordingLogger()
    m = flow_subclass(made, ready, rebooted)(logger=log)
    if isinstance(ready, BaseException):
        with pytest.raises(ArithmeticError):
            m.run_reboot_and_wait()
    else:
        assert m.run_reboot_and_wait() is (False if rebooted is False else ready)
    assert made == calls
    assert [level for level, _, _ in log.records] == levels


# ---- reference leaks --------------------------------------------------------------------------------


class NullLogger:
    def debug(self, *args):
        pass

    error = debug


class Sink:
    def write(self, text):
        pass


class FakeResponse:
    def __init__(self, status_code):
        self.status_code, self.headers = status_code, {"Location": "/login"}

    def close(self):
        pass


def scripted_get(*outcomes):
    """A requests.get that cycles through statuses and exceptions, without a network."""
    count = iter(range(10**9))

    def get(url, **kwargs):
        outcome = outcomes[next(count) % len(outcomes)]
        if isinstance(outcome, BaseException):
            raise outcome.with_traceback(None)
        return FakeResponse(outcome)

    return get


@pytest.fixture
def offline(monkeypatch):
    """No network, no real pauses and no output: only the module's own work is left."""
    stepping = FakeClock(record=False)
    monkeypatch.setattr(time, "time", stepping.time)
    monkeypatch.setattr(time, "sleep", stepping.sleep)
    monkeypatch.setattr(sys, "stdout", Sink())

    def script(*outcomes):
        send = scripted_get(*outcomes)  # get and post share one script
        monkeypatch.setattr(requests, "get", send)
        monkeypatch.setattr(requests, "post", send)

    return script



@pytest.mark.parametrize(
    "method, outcomes",
    [
        ("trigger_reboot", (200,)),
        ("trigger_reboot", (DROPPED, REFUSED, ValueError("x"))),
        ("trigger_reboot", (404, 405, 403, 405, DROPPED, 404, REFUSED, 404, 404, ValueError("x"))),
        ("run_reboot_and_wait", (404, 405, 404)),
        ("wait_service_ready", (503, DROPPED, ValueError("x"), 200)),
        ("run_reboot_and_wait", (DROPPED, 200)),
        ("run_reboot_and_wait", (REFUSED,)),
    ],
)
def test_methods_do_not_leak(offline, method, outcomes):
    offline(*outcomes)
    m = ComfyUIManager("http://h/", 2.5, 3, 1, NullLogger())
    assert_no_leak(getattr(m, method), calls=500)
    # Shared objects keep their reference counts: nothing released twice or kept.
    reused = [m.flag, m.base_url, m.reboot_api, m.stats_api, m.logger, DROPPED, DROPPED.args[0]]
    before = [sys.getrefcount(obj) for obj in reused]
    for _ in range(100):
        getattr(m, method)()
    assert [sys.getrefcount(obj) for obj in reused] == before


def test_error_paths_do_not_leak(offline):
    offline(KeyboardInterrupt())
    assert_no_leak(raises(KeyboardInterrupt, ComfyUIManager(logger=NullLogger()).wait_service_ready), calls=500)
    offline(200)
    broken = ComfyUIManager(logger=RecordingLogger(fail={REBOOT_CALLED: OSError, REBOOT_ERROR: OSError}))
    assert_no_leak(raises(OSError, broken.trigger_reboot), calls=500)
    # A logger that fails on the refusal: the refusal is not mistaken for an unknown outcome.
    offline(404, 405, 403)
    class FailingError(NullLogger):
        def error(self, fmt, *args):
            raise OSError(fmt)

    assert_no_leak(raises(OSError, ComfyUIManager(logger=FailingError()).run_reboot_and_wait), calls=500)


@pytest.mark.parametrize(
    "path, step, call",
    [
        (REBOOT, 200, lambda m: m.trigger_reboot()),
        (STATS, 200, lambda m: m.wait_service_ready()),
        (QUEUE, ENDLESS, lambda m: revivo._fetch(m.base_url + QUEUE, 2, limit=100)),
        (REBOOT, redirect("/login"), lambda m: m.trigger_reboot()),
    ],
)
def test_the_bounded_transport_does_not_leak(server, path, step, call):
    server.script[path] = [step]
    m = ComfyUIManager(server.url, 2, 3, 1, NullLogger())

    def once():
        call(m)
        server.paths.clear(), server.auth.clear()

    assert_no_leak(once, calls=300)


def test_constructor_does_not_leak():
    log = NullLogger()
    assert_no_leak(lambda: ComfyUIManager("http://h", 1.5, True, 2, log))
    assert_no_leak(lambda: ComfyUIManager())
    assert_no_leak(raises(TypeError, ComfyUIManager, timeout="5"))
    assert_no_leak(raises(TypeError, ComfyUIManager, b"x"))
