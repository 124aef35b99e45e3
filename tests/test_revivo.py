"""vantry.comfyui.revivo against a real HTTP server on the loopback interface.

The server runs in a thread on an ephemeral port and answers each request
with the next behaviour of its script: a status code, or "drop" to close the
connection without a response. A closed port stands for a server that is
down. Long waits run on a fake clock (time.time / time.sleep patched), so
nothing here waits for more than a few requests.
"""

import contextlib
import http.server
import io
import logging
import socket
import sys
import threading
import time
import types
from fractions import Fraction

import pytest
import requests

from conftest import assert_no_leak, raises
from vantry.comfyui import revivo
from vantry.comfyui.revivo import ComfyUIManager

REBOOT_CALLED = "%s 调用重启接口 url=%s"
REBOOT_DROPPED = "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"
REBOOT_CONN_ERROR = "%s 连接异常：%s url=%s"
REBOOT_ERROR = "%s 发起重启请求异常: %s url=%s"
POLL_START = "%s 开始轮询 %s，最长等待 %ss"
POLL_READY = "%s 服务已恢复正常，状态码200"
POLL_STATUS = "%s 接口返回异常状态码 %s，继续等待..."
POLL_TIMEOUT = "%s 超时 %ss，服务未恢复"
FLOW_READY = "%s 重启完成，服务正常可用"
FLOW_TIMEOUT = "%s 重启后超时未恢复"
REFUSED_LINE = " 服务未启动/连接拒绝，等待中..."


# ---- the server, the clock and the logger -----------------------------------------


class ScriptedServer:
    """HTTP server whose answers per path follow a script; the last entry repeats."""

    def __init__(self):
        self.script = {}
        self.requests = []
        outer = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                outer.requests.append((self.path, self.headers.get("Content-Length")))
                steps = outer.script.get(self.path, [404])
                step = steps.pop(0) if len(steps) > 1 else steps[0]
                if step == "drop":
                    self.close_connection = True
                    return
                self.send_response(step)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = f"http://127.0.0.1:{self.httpd.server_address[1]}"
        self.thread = threading.Thread(target=self.httpd.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def paths(self):
        return [path for path, _ in self.requests]

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        self.thread.join(timeout=5)


@pytest.fixture(autouse=True)
def no_proxy(monkeypatch):
    for name in ("HTTP_PROXY", "http_proxy", "HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"):
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setenv("NO_PROXY", "127.0.0.1,localhost")


@pytest.fixture
def server():
    srv = ScriptedServer()
    yield srv
    srv.close()


@pytest.fixture
def closed_url():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    return f"http://127.0.0.1:{port}"


class FakeClock:
    """time.time that moves only when time.sleep is called."""

    def __init__(self):
        self.now = 1000.0
        self.pauses = []

    def time(self):
        return self.now

    def sleep(self, seconds):
        if seconds < 0:
            raise ValueError("sleep length must be non-negative")
        self.pauses.append(seconds)
        self.now += seconds


@pytest.fixture
def clock(monkeypatch):
    c = FakeClock()
    monkeypatch.setattr(time, "time", c.time)
    monkeypatch.setattr(time, "sleep", c.sleep)
    return c


class RecordingLogger:
    def __init__(self):
        self.records = []

    def debug(self, fmt, *args):
        self.records.append(("DEBUG", fmt, args))

    def error(self, fmt, *args):
        self.records.append(("ERROR", fmt, args))

    def formats(self):
        return [(level, fmt) for level, fmt, _ in self.records]


def manager(url, log=None, **kw):
    kw.setdefault("timeout", 2)
    kw.setdefault("max_wait_seconds", 3)
    kw.setdefault("poll_interval", 1)
    return ComfyUIManager(url, logger=log or RecordingLogger(), **kw)


# ---- construction ----------------------------------------------------------------------


@pytest.mark.parametrize("suffix", ["", "/", "///"])
def test_trailing_slashes_are_stripped_but_flag_keeps_them(suffix):
    m = ComfyUIManager("http://host:9" + suffix)
    assert m.base_url == "http://host:9"
    assert m.reboot_api == "http://host:9/api/manager/reboot"
    assert m.stats_api == "http://host:9/api/system_stats"
    assert m.flag == f"comfyui服务重启 [http://host:9{suffix}]"


def test_defaults():
    m = ComfyUIManager()
    assert vars(m) == {
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
    "kw, attr, expected",
    [
        ({"timeout": 2.9}, "timeout", 2),
        ({"timeout": -2.9}, "timeout", -2),
        ({"timeout": True}, "timeout", 1),
        ({"max_wait_seconds": Fraction(7, 2)}, "max_wait", 3),
        ({"poll_interval": 1}, "poll_interval", 1.0),
        ({"poll_interval": Fraction(1, 4)}, "poll_interval", 0.25),
    ],
)
def test_number_conversions(kw, attr, expected):
    value = getattr(ComfyUIManager(**kw), attr)
    assert value == expected and type(value) is type(expected)


def test_positional_arguments():
    log = RecordingLogger()
    m = ComfyUIManager("http://h", 1, 2, 3, log)
    assert (m.timeout, m.max_wait, m.poll_interval, m.logger) == (1, 2, 3.0, log)


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
    if message:
        assert str(info.value) == message
    assert vars(m) == {}


class FalsyLogger(RecordingLogger):
    def __bool__(self):
        return False


def test_logger_choice():
    custom = RecordingLogger()
    assert ComfyUIManager(logger=custom).logger is custom
    default = logging.getLogger("vantry.comfyui.revivo")
    assert ComfyUIManager(logger=FalsyLogger()).logger is default
    assert ComfyUIManager(logger=0).logger is default


# ---- trigger_reboot -------------------------------------------------------------------------


@pytest.mark.parametrize("status", [200, 404, 500])
def test_reboot_any_status_logs_the_call(server, status):
    server.script["/api/manager/reboot"] = [status]
    log = RecordingLogger()
    m = manager(server.url + "/", log)
    assert m.trigger_reboot() is None
    assert server.requests == [("/api/manager/reboot", None)]
    assert log.records == [("DEBUG", REBOOT_CALLED, (m.flag, m.reboot_api))]


def test_reboot_dropped_connection_counts_as_accepted(server):
    server.script["/api/manager/reboot"] = ["drop"]
    log = RecordingLogger()
    m = manager(server.url, log)
    assert m.trigger_reboot() is None
    assert log.records == [("DEBUG", REBOOT_DROPPED, (m.flag, m.reboot_api))]


def test_reboot_refused_logs_the_error_text(closed_url):
    log = RecordingLogger()
    m = manager(closed_url, log)
    assert m.trigger_reboot() is None
    [(level, fmt, (flag, text, url))] = log.records
    assert (level, fmt, flag, url) == ("DEBUG", REBOOT_CONN_ERROR, m.flag, m.reboot_api)
    assert type(text) is str and "Connection refused" in text


def test_reboot_request_is_sent_with_the_instance_timeout(server, monkeypatch):
    seen = []
    real_get = requests.get

    def spy(*args, **kwargs):
        seen.append((args, kwargs))
        return real_get(*args, **kwargs)

    monkeypatch.setattr(requests, "get", spy)
    m = manager(server.url, timeout=2.9)
    m.trigger_reboot()
    assert seen == [((m.reboot_api,), {"timeout": 2})]


class FailingFirstDebug(RecordingLogger):
    def debug(self, fmt, *args):
        if not self.records:
            self.records.append(("FAILED", fmt, args))
            raise RuntimeError("handler full")
        super().debug(fmt, *args)


def failing_get(error):
    def get(url, timeout):
        raise error.with_traceback(None)  # a fresh traceback, not one grown over calls

    return get


@pytest.mark.parametrize(
    "error, text",
    [(ValueError("bad url"), "bad url"), (requests.exceptions.ReadTimeout("slow"), "slow")],
)
def test_reboot_other_errors_are_logged(monkeypatch, error, text):
    monkeypatch.setattr(requests, "get", failing_get(error))
    log = RecordingLogger()
    m = manager("http://h", log)
    m.trigger_reboot()
    assert log.records == [("DEBUG", REBOOT_ERROR, (m.flag, text, m.reboot_api))]


def test_reboot_absorbs_an_error_of_its_own_first_log_call(server):
    server.script["/api/manager/reboot"] = [200]
    log = FailingFirstDebug()
    m = manager(server.url, log)
    m.trigger_reboot()
    assert log.records[1] == ("DEBUG", REBOOT_ERROR, (m.flag, "handler full", m.reboot_api))


class BrokenLogger(RecordingLogger):
    def debug(self, fmt, *args):
        raise OSError("disk full")


def test_reboot_error_in_the_handler_propagates_with_context(closed_url):
    m = manager(closed_url, BrokenLogger())
    with pytest.raises(OSError, match="disk full") as info:
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

    def get(url, timeout):
        raise Refused("nobody home")

    fake = types.SimpleNamespace(get=get, exceptions=types.SimpleNamespace(ConnectionError=Refused))
    monkeypatch.setattr(revivo, "requests", fake)
    log = RecordingLogger()
    m = manager("http://h", log)
    m.trigger_reboot()
    assert log.records == [("DEBUG", REBOOT_CONN_ERROR, (m.flag, "nobody home", m.reboot_api))]


def test_a_removed_global_is_a_name_error(monkeypatch):
    monkeypatch.delattr(revivo, "time")
    with pytest.raises(NameError, match="name 'time' is not defined"):
        manager("http://h").wait_service_ready()


# ---- wait_service_ready ------------------------------------------------------------------------


def test_503_then_200_pauses_once(server, clock):
    server.script["/api/system_stats"] = [503, 200]
    log = RecordingLogger()
    m = manager(server.url, log, poll_interval=0.5)
    assert m.wait_service_ready() is True
    assert server.paths() == ["/api/system_stats"] * 2
    assert clock.pauses == [0.5]
    assert log.records == [
        ("DEBUG", POLL_START, (m.flag, m.stats_api, 3)),
        ("DEBUG", POLL_STATUS, (m.flag, 503)),
        ("DEBUG", POLL_READY, (m.flag,)),
    ]


def test_never_recovers_times_out(server, clock):
    server.script["/api/system_stats"] = [500]
    log = RecordingLogger()
    m = manager(server.url, log, max_wait_seconds=3, poll_interval=1)
    assert m.wait_service_ready() is False
    assert len(server.requests) == 3 and clock.pauses == [1.0] * 3
    assert log.records[-1] == ("ERROR", POLL_TIMEOUT, (m.flag, 3))
    assert log.formats()[1:-1] == [("DEBUG", POLL_STATUS)] * 3


@pytest.mark.parametrize("max_wait", [0, -5])
def test_no_time_to_wait_sends_nothing(server, clock, max_wait):
    log = RecordingLogger()
    m = manager(server.url, log, max_wait_seconds=max_wait)
    assert m.wait_service_ready() is False
    assert server.requests == [] and clock.pauses == []
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
    m = manager(closed_url + "/", log, max_wait_seconds=2, poll_interval=1)
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
    server.script["/api/system_stats"] = [200]

    class FailingReady(RecordingLogger):
        def debug(self, fmt, *args):
            if fmt == POLL_READY:
                raise RuntimeError("no")
            super().debug(fmt, *args)

    m = manager(server.url, FailingReady(), max_wait_seconds=2)
    assert m.wait_service_ready() is False
    assert capsys.readouterr().out == (m.flag + " 请求异常: no\n") * 2


def test_attributes_are_read_at_each_call(server, clock):
    server.script["/api/system_stats"] = [200]
    m = manager("http://127.0.0.1:1")
    m.stats_api = server.url + "/api/system_stats"
    assert m.wait_service_ready() is True


def test_patched_sleep_controls_the_pause(server):
    from unittest import mock

    server.script["/api/system_stats"] = [503, 503, 200]
    with mock.patch("time.sleep") as sleep:
        assert manager(server.url, poll_interval=7, max_wait_seconds=30).wait_service_ready() is True
    assert sleep.call_args_list == [mock.call(7.0)] * 2


class PollsRaising(RecordingLogger):
    def __init__(self, fmt):
        super().__init__()
        self.fmt = fmt

    def debug(self, fmt, *args):
        if fmt == self.fmt:
            raise LookupError(fmt)
        super().debug(fmt, *args)

    error = debug


@pytest.mark.parametrize(
    "setup, error",
    [
        (lambda m: setattr(m, "poll_interval", -1.0), ValueError),
        (lambda m: setattr(m, "logger", PollsRaising(POLL_START)), LookupError),
        (lambda m: setattr(m, "logger", PollsRaising(POLL_TIMEOUT)), LookupError),
        (lambda m: setattr(m, "max_wait", "soon"), TypeError),
    ],
)
def test_errors_outside_an_attempt_propagate(server, clock, setup, error):
    server.script["/api/system_stats"] = [503]
    log = RecordingLogger()
    m = manager(server.url, log)
    setup(m)
    with pytest.raises(error):
        m.wait_service_ready()
    assert ("ERROR", POLL_TIMEOUT) not in log.formats()


def test_error_while_printing_propagates_with_context(closed_url, clock, monkeypatch):
    class BrokenStdout:
        def write(self, text):
            raise BrokenPipeError("pipe closed")

    monkeypatch.setattr(sys, "stdout", BrokenStdout())
    with pytest.raises(BrokenPipeError) as info:
        manager(closed_url).wait_service_ready()
    assert isinstance(info.value.__context__, requests.exceptions.ConnectionError)
    assert clock.pauses == []


def test_interrupt_during_a_poll_propagates(monkeypatch, clock):
    monkeypatch.setattr(requests, "get", failing_get(KeyboardInterrupt()))
    with pytest.raises(KeyboardInterrupt):
        manager("http://h").wait_service_ready()
    assert clock.pauses == []


def test_default_logger_receives_the_records(server, clock, caplog):
    server.script["/api/system_stats"] = [200]
    m = ComfyUIManager(server.url)
    with caplog.at_level(logging.DEBUG, logger="vantry.comfyui.revivo"):
        assert m.wait_service_ready() is True
    assert [(r.name, r.levelname, r.msg, r.getMessage()) for r in caplog.records] == [
        ("vantry.comfyui.revivo", "DEBUG", POLL_START, f"{m.flag} 开始轮询 {m.stats_api}，最长等待 60s"),
        ("vantry.comfyui.revivo", "DEBUG", POLL_READY, f"{m.flag} 服务已恢复正常，状态码200"),
    ]


# ---- run_reboot_and_wait -------------------------------------------------------------------------


def test_full_flow_against_a_restarting_server(server, clock):
    server.script["/api/manager/reboot"] = ["drop"]
    server.script["/api/system_stats"] = [503, 200]
    log = RecordingLogger()
    m = manager(server.url, log)
    assert m.run_reboot_and_wait() is True
    assert server.paths() == ["/api/manager/reboot"] + ["/api/system_stats"] * 2
    assert log.formats() == [
        ("DEBUG", REBOOT_DROPPED),
        ("DEBUG", POLL_START),
        ("DEBUG", POLL_STATUS),
        ("DEBUG", POLL_READY),
        ("DEBUG", FLOW_READY),
    ]
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


@pytest.mark.parametrize("ready, level", [("yes", "DEBUG"), (0, "ERROR")])
def test_flow_goes_through_the_instance(ready, level):
    calls = []

    class Custom(ComfyUIManager):
        def trigger_reboot(self):
            calls.append("reboot")
            return "ignored"

        def wait_service_ready(self):
            calls.append("wait")
            return ready

    log = RecordingLogger()
    assert Custom(logger=log).run_reboot_and_wait() is ready
    assert calls == ["reboot", "wait"]
    assert [level for level, _, _ in log.records] == [level]


def test_flow_error_skips_the_final_line():
    class Failing(ComfyUIManager):
        def wait_service_ready(self):
            raise ArithmeticError("clock")

        def trigger_reboot(self):
            pass

    log = RecordingLogger()
    with pytest.raises(ArithmeticError):
        Failing(logger=log).run_reboot_and_wait()
    assert log.records == []


# ---- reference leaks --------------------------------------------------------------------------------


class NullLogger:
    def debug(self, *args):
        pass

    error = debug


class Sink:
    def write(self, text):
        pass


def scripted_get(*outcomes):
    """A requests.get that cycles through statuses and exceptions, without a network."""
    state = {"i": 0}

    def get(url, timeout):
        outcome = outcomes[state["i"] % len(outcomes)]
        state["i"] += 1
        if isinstance(outcome, BaseException):
            raise outcome.with_traceback(None)
        return types.SimpleNamespace(status_code=outcome)

    return get


class SteppingClock:
    """A fake clock that keeps no history, so it holds no memory between calls."""

    def __init__(self):
        self.now = 0.0

    def time(self):
        return self.now

    def sleep(self, seconds):
        self.now += seconds


@pytest.fixture
def offline(monkeypatch):
    """No network, no real pauses and no output: only the module's own work is left."""
    stepping = SteppingClock()
    monkeypatch.setattr(time, "time", stepping.time)
    monkeypatch.setattr(time, "sleep", stepping.sleep)
    monkeypatch.setattr(sys, "stdout", Sink())
    return lambda *outcomes: monkeypatch.setattr(requests, "get", scripted_get(*outcomes))


DROPPED = requests.exceptions.ConnectionError("Remote end closed connection without response")
REFUSED = requests.exceptions.ConnectionError("refused")


@pytest.mark.parametrize(
    "method, outcomes",
    [
        ("trigger_reboot", (200,)),
        ("trigger_reboot", (DROPPED, REFUSED, ValueError("x"))),
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
    reused = [m.flag, m.reboot_api, m.stats_api, m.logger, DROPPED, DROPPED.args[0]]
    before = [sys.getrefcount(obj) for obj in reused]
    for _ in range(100):
        getattr(m, method)()
    assert [sys.getrefcount(obj) for obj in reused] == before


def test_error_paths_do_not_leak(offline):
    offline(KeyboardInterrupt())
    assert_no_leak(raises(KeyboardInterrupt, ComfyUIManager(logger=NullLogger()).wait_service_ready), calls=500)
    offline(200)
    assert_no_leak(raises(OSError, ComfyUIManager(logger=BrokenLogger()).trigger_reboot), calls=500)


def test_constructor_does_not_leak():
    log = NullLogger()
    assert_no_leak(lambda: ComfyUIManager("http://h", 1.5, True, 2, log))
    assert_no_leak(lambda: ComfyUIManager())
    assert_no_leak(raises(TypeError, ComfyUIManager, timeout="5"))
    assert_no_leak(raises(TypeError, ComfyUIManager, b"x"))
