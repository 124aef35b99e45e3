import math as math
import re as re
from io import BytesIO as BytesIO
from typing import Any, Literal, Optional as Optional, Tuple as Tuple, overload

from PIL import Image as Image

class Aspecta:
    STANDARD_RATIO_LIST: list[str]
    proportion: str | None
    need_adjust: str
    fill_color: Any
    kwargs: dict[str, Any]
    _std_ratio_map: dict[str, float]
    def __init__(
        self,
        proportion: str | None = None,
        need_adjust: str = "fill",
        fill_color: Any = (255, 255, 255, 0),
        **kwargs: Any,
    ) -> None: ...
    @staticmethod
    def _parse_ratio(ratio_str: str) -> tuple[int, int]: ...
    def _get_closest_standard_ratio(self, width: int, height: int) -> str: ...
    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: Literal[False] = False, expand_percent: float = 10.0
    ) -> bytes: ...
    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: Literal[True], expand_percent: float = 10.0
    ) -> tuple[bytes, str]: ...
    @overload
    def adjust_size(
        self, image_bytes: bytes, return_origin_ratio: object, expand_percent: float = 10.0
    ) -> bytes | tuple[bytes, str]: ...
