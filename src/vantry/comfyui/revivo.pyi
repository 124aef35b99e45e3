import logging as logging
import time as time
from typing import Any, Protocol

import requests as requests

class _Logger(Protocol):
    def debug(self, msg: str, /, *args: Any) -> Any: ...
    def error(self, msg: str, /, *args: Any) -> Any: ...

class ComfyUIManager:
    base_url: str
    reboot_api: str
    stats_api: str
    timeout: int
    max_wait: int
    poll_interval: float
    flag: str
    logger: _Logger
    def __init__(
        self,
        base_url: str = "http://127.0.0.1:8188",
        timeout: int = 5,
        max_wait_seconds: int = 60,
        poll_interval: float = 2.0,
        logger: _Logger | None = None,
    ) -> None: ...
    def trigger_reboot(self) -> bool | None: ...
    def wait_service_ready(self) -> bool: ...
    def run_reboot_and_wait(self) -> bool: ...

def _fetch(url: str, timeout: float = 5, limit: int = 65536) -> tuple[int, bytes]: ...
