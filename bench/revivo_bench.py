"""ComfyUIManager against the same flow written as plain Python.

The HTTP call is replaced by an in-process function and the pause by a no-op,
so the table shows the cost of the manager's own work per poll (attribute
reads, log calls, error classification); one row runs a real request to a
loopback server to show what a poll costs in practice.
"""

import http.server
import itertools
import logging
import threading
import time

import requests

from bench import harness
from bench.harness import Table
from vantry.comfyui.revivo import ComfyUIManager


class PythonManager:
    """The floor: the readiness loop and the reboot call in plain Python."""

    def __init__(
        self, base_url="http://127.0.0.1:8188", timeout=5, max_wait_seconds=60, poll_interval=2.0, logger=None
    ):
        self.base_url = base_url.rstrip("/")
        self.reboot_api = self.base_url + "/api/manager/reboot"
        self.stats_api = self.base_url + "/api/system_stats"
        self.timeout = int(timeout)
        self.max_wait = int(max_wait_seconds)
        self.poll_interval = float(poll_interval)
        self.flag = f"comfyui服务重启 [{base_url}]"
        self.logger = logger or logging.getLogger("vantry.comfyui.revivo")

    def trigger_reboot(self):
        routes = [(requests.get, self.reboot_api), (requests.post, self.reboot_api),
                  (requests.post, self.base_url + "/api/v2/manager/reboot"),
                  (requests.get, self.base_url + "/api/v2/manager/reboot")]
        named = None
        try:
            for send, url in routes:
                resp = send(url, timeout=self.timeout, stream=True, allow_redirects=False)
                resp.close()
                status = resp.status_code
                self.logger.debug("%s 调用重启接口 url=%s", self.flag, url)
                if status in (404, 405):
                    if named is None or status == 404 or named[0] == 405:
                        named = (status, url)
                    continue
                named = (status, url)
                break
        except requests.exceptions.ConnectionError as e:
            if "Remote end closed connection" in str(e):
                message = "%s 服务接收重启指令，主动断开连接，开始等待恢复 url=%s"
                self.logger.debug(message, self.flag, url)
                return True
            self.logger.debug("%s 连接异常：%s url=%s", self.flag, str(e), url)
            return None
        except Exception as e:
            self.logger.debug("%s 发起重启请求异常: %s url=%s", self.flag, str(e), url)
            return None
        status, url = named
        if 200 <= status < 300:
            return True
        if status in (502, 503, 504):
            self.logger.debug("%s 重启指令送达未知（网关状态码 %s），继续等待恢复 url=%s", self.flag, status, url)
            return None
        if 300 <= status < 400:
            location = resp.headers.get("Location")
            self.logger.error("%s 重启请求被重定向，状态码 %s 指向 %s，未跟随 url=%s", self.flag, status, location, url)
            return False
        self.logger.error("%s 重启请求被拒绝，状态码 %s url=%s", self.flag, status, url)
        return False

    def wait_service_ready(self):
        start_time = time.time()
        self.logger.debug("%s 开始轮询 %s，最长等待 %ss", self.flag, self.stats_api, self.max_wait)
        while time.time() - start_time < self.max_wait:
            try:
                resp = requests.get(self.stats_api, timeout=self.timeout, stream=True, allow_redirects=False)
                resp.close()
                if resp.status_code == 200:
                    self.logger.debug("%s 服务已恢复正常，状态码200", self.flag)
                    return True
                self.logger.debug("%s 接口返回异常状态码 %s，继续等待...", self.flag, resp.status_code)
            except requests.exceptions.ConnectionError:
                print(f"{self.flag} 服务未启动/连接拒绝，等待中...")
            except Exception as e:
                print(f"{self.flag} 请求异常: {e}")
            time.sleep(self.poll_interval)
        self.logger.error("%s 超时 %ss，服务未恢复", self.flag, self.max_wait)
        return False

    def run_reboot_and_wait(self):
        if self.trigger_reboot() is False:
            return False
        return self.wait_service_ready()


class Answer:
    """What a stand-in request returns: a status, and close()."""

    def __init__(self, status_code):
        self.status_code, self.headers = status_code, {}

    def close(self):
        pass


class Responder:
    """A requests.get stand-in: `attempts - 1` answers of 503, then 200."""

    def __init__(self, attempts):
        self.attempts = attempts
        self.count = 0
        self.busy = Answer(503)
        self.ready = Answer(200)

    def get(self, url, **kwargs):
        self.count += 1
        if self.count % self.attempts == 0:
            return self.ready
        return self.busy


def answering(*statuses):
    """A requests.get/post stand-in that answers these statuses in turn, over and over."""
    answers = itertools.cycle([Answer(status) for status in statuses])
    return lambda url, **kwargs: next(answers)


def dropped_get(url, **kwargs):
    raise requests.exceptions.ConnectionError("Remote end closed connection without response")


class QuietHandler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"

    def do_GET(self):
        self.send_response(200)
        self.send_header("Content-Length", "0")
        self.end_headers()

    def log_message(self, *args):
        pass


def run(table):
    logger = logging.getLogger("vantry.bench.revivo")
    logger.disabled = True
    ours, floor = ComfyUIManager(logger=logger), PythonManager(logger=logger)
    real_get, real_post, real_sleep = requests.get, requests.post, time.sleep
    time.sleep = lambda seconds: None
    try:
        for attempts in [1, 10] if harness.QUICK else [1, 10, 100]:
            responder = Responder(attempts)
            requests.get = responder.get
            table.compare("ComfyUIManager.wait_service_ready", f"{attempts} polls", ours.wait_service_ready, floor.wait_service_ready)
        requests.get = dropped_get
        table.compare("ComfyUIManager.trigger_reboot dropped", "1 request", ours.trigger_reboot, floor.trigger_reboot)
        requests.get = requests.post = answering(404, 405, 405, 200)
        table.compare("ComfyUIManager.trigger_reboot newer manager", "4 requests", ours.trigger_reboot,
                      floor.trigger_reboot)
        requests.get = answering(200, 503, 200)
        table.compare("ComfyUIManager.run_reboot_and_wait", "1 reboot, 2 polls", ours.run_reboot_and_wait,
                      floor.run_reboot_and_wait)
    finally:
        requests.get, requests.post, time.sleep = real_get, real_post, real_sleep

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), QuietHandler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = f"http://127.0.0.1:{server.server_address[1]}"
    ours, floor = ComfyUIManager(url, logger=logger), PythonManager(url, logger=logger)
    try:
        table.compare("ComfyUIManager.wait_service_ready, loopback HTTP", "1 real poll", ours.wait_service_ready, floor.wait_service_ready)
    finally:
        server.shutdown()
        server.server_close()


if __name__ == "__main__":
    table = Table("vantry.comfyui.revivo: ComfyUIManager against plain Python")
    run(table)
    table.print()
